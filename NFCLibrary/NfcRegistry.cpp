#include "NfcRegistry.h"

#include <cstring>
#include <new>

#include "NfcLogProxy.h"
#include "NfcRegistryList.h"

// The registry readers are part of the library object's configuration code and trace as it does.
static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcLibrary.cpp";

static const char CompanyKeyPath[] = "SOFTWARE\\Ravo Corporation";
static const char LibrarySubkey[] = "Korvat NFC Library";
static const char LibraryKeyPath[] = "SOFTWARE\\Ravo Corporation\\Korvat NFC Library";

HKEY NfcRegistry::s_CompanyKey = nullptr;

bool NfcRegistry::openCompanyKey()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CompanyKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        s_CompanyKey = nullptr;
        return false;
    }
    s_CompanyKey = key;
    return true;
}

bool NfcRegistry::closeCompanyKey()
{
    if (s_CompanyKey == nullptr) {
        return false;
    }
    if (RegCloseKey(s_CompanyKey) != ERROR_SUCCESS) {
        return false;
    }
    s_CompanyKey = nullptr;
    return true;
}

bool NfcRegistry::readRegistryValue(char *buffer, size_t bufferSize, const char *valueName)
{
    if (buffer == nullptr || bufferSize == 0 || s_CompanyKey == nullptr) {
        return false;
    }
    HKEY subkey = nullptr;
    if (RegOpenKeyExA(s_CompanyKey, LibrarySubkey, 0, KEY_READ, &subkey) != ERROR_SUCCESS) {
        return false;
    }
    // The registry does not promise a terminator, and a value of another type (binary, number)
    // is read as bytes too: the text always ends inside the buffer.
    DWORD size = static_cast<DWORD>(bufferSize);
    if (RegQueryValueExA(subkey, valueName, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size) !=
        ERROR_SUCCESS) {
        buffer[0] = '\0';  // missing, or larger than the buffer
    } else if (size < bufferSize) {
        buffer[size] = '\0';
    } else if (std::memchr(buffer, '\0', bufferSize) == nullptr) {
        buffer[0] = '\0';  // fills the whole buffer without a terminator: too long
    }
    return RegCloseKey(subkey) == ERROR_SUCCESS;
}

size_t NfcRegistry::getRegistryValueSize(const char *valueName)
{
    if (valueName == nullptr) {
        NFC_LOG(0, "ASSERT! : Argument error.\n");
        return 0;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LibraryKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        NFC_LOG(0, "ASSERT! : RegOpenKeyEx failed.\n");
        return 0;
    }
    DWORD size = 0;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        NFC_LOG(0, "ASSERT! : RegQueryValueEx failed.\n");
        size = 0;
    }
    if (RegCloseKey(key) != ERROR_SUCCESS) {
        NFC_LOG(0, "ASSERT! : RegCloseKey failed.\n");
    }
    return size;
}

size_t NfcRegistry::readRegistryList(const char *valueName, size_t mostCharacters, std::vector<std::string> &list)
{
    list.clear();
    const size_t size = getRegistryValueSize(valueName);
    if (size == 0) {
        return 0;
    }
    if (!openCompanyKey()) {
        return 0;
    }
    size_t count = 0;
    // One byte more than the value, so that a value stored without its terminator still fits.
    char *buffer = new (std::nothrow) char[size + 1];
    if (buffer == nullptr) {
        NFC_LOG(0, "ERROR! Memory allocation failed.\n");
    } else {
        if (readRegistryValue(buffer, size + 1, valueName)) {
            count = NfcRegistryList::parse(std::string(buffer), mostCharacters, list);
        }
        delete[] buffer;
    }
    if (!closeCompanyKey()) {
        NFC_LOG(0, "ASSERT! : close_registry_key failed.\n");
    }
    return count;
}
