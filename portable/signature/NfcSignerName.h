// The signer a plug-in's certificate must name, compared in the certificate's own characters
// (UTF-16), never through an 8-bit code page: a conversion there may map look-alike letters
// (full-width, for example) onto the ASCII ones. No platform calls.
#pragma once

#include <string>

class NfcSignerName {
public:
    static const char Expected[];  // "Ravo Corporation"

    // True when the common name is the expected name, whole, with only the ASCII letters A-Z
    // and a-z taken as equal in either case.
    static bool isExpected(const std::u16string &commonName);
    // The name for a trace line: printable ASCII as it is, every other character as \uXXXX.
    static std::string printable(const std::u16string &name);
};
