// Registry access of the library core: the shared company key handle and the one reader of the
// values of the library's key. It writes no trace (the log front end uses it at load, for
// debug_log_file_name, before any writer is on): what went wrong on the way is handed back in a
// Trouble record, and NfcConfiguration, the traced reads of the configuration, traces it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

class NfcRegistry {
public:
    static const size_t PathBufferSize = 260;

    // What reading one value found.
    enum ValueState {
        ValueRead,        // bytes and type hold the value, whatever its length
        ValueMissing,     // the key is there, the value is not
        KeyMissing,       // no "Korvat NFC Library" subkey, or no company key open
        ValueUnreadable,  // the key or the value exists but cannot be read (access denied, ...)
    };

    // What a read met besides its result, for the caller to trace.
    struct Trouble {
        bool noValueName = false;      // the value's name was null
        bool subkeyNotClosed = false;  // RegCloseKey of the library's subkey failed
    };

    // Opens HKLM\SOFTWARE\Ravo Corporation with KEY_READ into the shared handle.
    static bool openCompanyKey();
    // Closes the shared handle and sets it to null; false when it was null or closing failed.
    static bool closeCompanyKey();
    // The one reader: every stored byte of a value of the "Korvat NFC Library" subkey of the
    // open company key, whatever its length and type (no terminator added or required), and its
    // registry type. The text of the bytes is NfcRegistryValue::text. `error` (may be null)
    // receives the system's code when the state is not ValueRead; `trouble` (may be null) what
    // else went wrong.
    static ValueState readValue(const char *valueName, std::string &bytes, DWORD *type, LONG *error = nullptr,
                                Trouble *trouble = nullptr);
    // The value's text as read into a buffer of bufferSize bytes (NfcRegistryValue::textInBuffer):
    // a missing value, or one that does not fit, leaves the empty string. False only when the
    // buffer is null, no company key is open, or the subkey cannot be opened.
    static bool readRegistryValue(char *buffer, size_t bufferSize, const char *valueName, Trouble *trouble = nullptr);

private:
    static HKEY s_CompanyKey;
};
