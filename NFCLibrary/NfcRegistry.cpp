#include "NfcRegistry.h"

#include <cstring>

#include "NfcRegistryValue.h"

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

NfcRegistry::ValueState NfcRegistry::readValue(const char *valueName, std::string &bytes, DWORD *type, LONG *error,
                                               Trouble *trouble)
{
    Trouble met;
    bytes.clear();
    LONG status = ERROR_INVALID_HANDLE;
    ValueState state = KeyMissing;
    HKEY subkey = nullptr;
    if (valueName == nullptr) {
        met.noValueName = true;
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
        met.subkeyNotClosed = RegCloseKey(subkey) != ERROR_SUCCESS;
    } else if (s_CompanyKey != nullptr && status != ERROR_FILE_NOT_FOUND) {
        state = ValueUnreadable;
    }
    if (state != ValueRead) {
        bytes.clear();
    }
    if (error != nullptr) {
        *error = state == ValueRead ? ERROR_SUCCESS : status;
    }
    if (trouble != nullptr) {
        *trouble = met;
    }
    return state;
}

bool NfcRegistry::readRegistryValue(char *buffer, size_t bufferSize, const char *valueName, Trouble *trouble)
{
    if (buffer == nullptr || bufferSize == 0 || s_CompanyKey == nullptr) {
        return false;
    }
    buffer[0] = '\0';
    std::string bytes;
    DWORD type = 0;
    const ValueState state = readValue(valueName, bytes, &type, nullptr, trouble);
    if (state == KeyMissing) {
        return false;
    }
    const std::string text = NfcRegistryValue::textInBuffer(bytes, bufferSize);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}
