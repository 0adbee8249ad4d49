// Registry access of the library core: the shared company key handle and the value readers
// used at initialisation (configuration) and at load (debug_log_file_name).
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

class NfcRegistry {
public:
    static const size_t PathBufferSize = 260;

    // Opens HKLM\SOFTWARE\Ravo Corporation with KEY_READ into the shared handle.
    static bool openCompanyKey();
    // Closes the shared handle and sets it to null; false when it was null or closing failed.
    static bool closeCompanyKey();
    // Reads one value of the "Korvat NFC Library" subkey of the open company key as text.
    // A missing value, or one that does not fit, leaves the empty string; false only when the
    // buffer is null, no company key is open, or the subkey cannot be opened or closed.
    // The text is always terminated inside the buffer, whatever the value's type or contents.
    static bool readRegistryValue(char *buffer, size_t bufferSize, const char *valueName);
    // Size in bytes of a value (terminator included for strings); 0 when it cannot be learnt.
    static size_t getRegistryValueSize(const char *valueName);
    // Reads a "," separated list value, using its first mostCharacters characters.
    static size_t readRegistryList(const char *valueName, size_t mostCharacters, std::vector<std::string> &list);

private:
    static HKEY s_CompanyKey;
};
