#include "NfcRegistry.h"

#include <cstring>

#include "NfcLogProxy.h"
#include "NfcRegistryList.h"
#include "NfcRegistryValue.h"

// The registry readers are part of the library object's configuration code and trace as it does.
static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcLibrary.cpp";

static const char CompanyKeyPath[] = "SOFTWARE\\Ravo Corporation";
static const char LibrarySubkey[] = "Korvat NFC Library";

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

NfcRegistry::ValueState NfcRegistry::readValue(const char *valueName, std::string &bytes, DWORD *type, LONG *error)
{
    bytes.clear();
    LONG status = ERROR_INVALID_HANDLE;
    ValueState state = KeyMissing;
    HKEY subkey = nullptr;
    if (valueName == nullptr) {
        NFC_LOG(0, "ASSERT! : Argument error.\n");
        status = ERROR_INVALID_PARAMETER;
        state = ValueUnreadable;
    } else if (s_CompanyKey != nullptr &&
               (status = RegOpenKeyExA(s_CompanyKey, LibrarySubkey, 0, KEY_READ, &subkey)) == ERROR_SUCCESS) {
        // The size first, then the bytes; a value that grows between the two calls is asked
        // for again with its new size.
        DWORD size = 0;
        status = RegQueryValueExA(subkey, valueName, nullptr, type, nullptr, &size);
        for (int attempt = 0; status == ERROR_SUCCESS && attempt < 4; ++attempt) {
            bytes.assign(size, '\0');
            status = RegQueryValueExA(subkey, valueName, nullptr, type,
                                      size != 0 ? reinterpret_cast<BYTE *>(&bytes[0]) : nullptr, &size);
            if (status == ERROR_SUCCESS) {
                bytes.resize(size);
                break;
            }
            if (status == ERROR_MORE_DATA) {
                status = ERROR_SUCCESS;  // grown since: again with the size just reported
                continue;
            }
        }
        if (status == ERROR_SUCCESS && bytes.size() != size) {
            status = ERROR_MORE_DATA;  // still growing after every attempt
        }
        state = status == ERROR_SUCCESS ? ValueRead : status == ERROR_FILE_NOT_FOUND ? ValueMissing : ValueUnreadable;
        if (RegCloseKey(subkey) != ERROR_SUCCESS) {
            NFC_LOG(0, "ASSERT! : RegCloseKey failed.\n");
        }
    } else if (s_CompanyKey != nullptr && status != ERROR_FILE_NOT_FOUND) {
        state = ValueUnreadable;
    }
    if (state != ValueRead) {
        bytes.clear();
    }
    if (error != nullptr) {
        *error = state == ValueRead ? ERROR_SUCCESS : status;
    }
    return state;
}

bool NfcRegistry::readRegistryValue(char *buffer, size_t bufferSize, const char *valueName)
{
    if (buffer == nullptr || bufferSize == 0 || s_CompanyKey == nullptr) {
        return false;
    }
    buffer[0] = '\0';
    std::string bytes;
    DWORD type = 0;
    const ValueState state = readValue(valueName, bytes, &type);
    if (state == KeyMissing) {
        return false;
    }
    const std::string text = NfcRegistryValue::textInBuffer(bytes, bufferSize);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

size_t NfcRegistry::readRegistryList(const char *valueName, size_t mostCharacters, std::vector<std::string> &list)
{
    list.clear();
    if (!openCompanyKey()) {
        NFC_LOG(0, "ASSERT! : RegOpenKeyEx failed.\n");
        return 0;
    }
    std::string bytes;
    DWORD type = 0;
    size_t count = 0;
    switch (readValue(valueName, bytes, &type)) {
    case ValueRead:
        count = NfcRegistryList::parse(NfcRegistryValue::text(bytes), mostCharacters, list);
        break;
    case KeyMissing:
        NFC_LOG(0, "ASSERT! : RegOpenKeyEx failed.\n");
        break;
    case ValueMissing:
    case ValueUnreadable:
        NFC_LOG(0, "ASSERT! : RegQueryValueEx failed.\n");
        break;
    }
    if (!closeCompanyKey()) {
        NFC_LOG(0, "ASSERT! : close_registry_key failed.\n");
    }
    return count;
}
