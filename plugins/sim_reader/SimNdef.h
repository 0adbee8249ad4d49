// NDEF records of the virtual cards and their encoding into one NDEF message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct NdefRecordDescription {
    enum class Kind { Uri, Text };
    Kind kind = Kind::Uri;
    std::string language;  // text records only
    std::string value;     // the URI, or the UTF-8 text
};

// One NDEF message holding the records in order (message begin / end flags set, short
// records where the payload fits in 255 bytes). No records: the empty message (0 bytes).
std::vector<uint8_t> encodeNdefMessage(const std::vector<NdefRecordDescription> &records);

}  // namespace sim
