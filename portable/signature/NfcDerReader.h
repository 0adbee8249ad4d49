// The few DER structures the signer check reads itself: the header of one element, and the
// time-stamp token's TSTInfo (the imprint of the signature it stamps and the time it names).
// Pure code: the callers hash and compare with the platform's functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace NfcDer {

// One element: a single-byte tag, a definite length, and its content inside the input.
struct Element {
    uint8_t tag = 0;
    const uint8_t *content = nullptr;
    size_t length = 0;
    size_t size = 0;  // header and content
};

// Reads the element at the start of [data, data + size). False when the header is not DER this
// reader knows (multi-byte tag, indefinite or over-long length) or the content runs past the end.
bool readElement(const uint8_t *data, size_t size, Element &element);

// The content octets of the one element that fills the input exactly (the part a PKCS #7
// message digest covers when the signed content is not plain data). False otherwise.
bool contentOf(const uint8_t *data, size_t size, const uint8_t *&content, size_t &length);

// The dotted form of an OBJECT IDENTIFIER's content ("2.16.840.1.101.3.4.2.1"); empty when it is
// malformed.
std::string objectIdentifier(const uint8_t *content, size_t length);

// A time as the token names it, in UTC.
struct UtcTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};

// What the signer check uses of a TSTInfo.
struct TimeStampInfo {
    std::string imprintAlgorithm;   // dotted OID of the hash the imprint was made with
    std::vector<uint8_t> imprint;   // hash of the stamped signature value
    UtcTime time;                   // genTime
};

// Parses a DER TSTInfo (version 1) that fills the input exactly. genTime must be
// YYYYMMDDHHMMSS[.f...]Z with a valid date; fractions beyond milliseconds are dropped.
bool parseTimeStampInfo(const uint8_t *data, size_t size, TimeStampInfo &info);

}  // namespace NfcDer
