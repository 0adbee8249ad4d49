// NDEF records of the virtual cards and their encoding into one NDEF message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct NdefRecordDescription {
    // Empty: the NDEF empty record (type name format 0, no type, ID or payload).
    enum class Kind { Uri, Text, Empty };
    Kind kind = Kind::Uri;
    std::string language;  // text records only
    std::string value;     // the URI, or the UTF-8 text
};

// One NDEF message holding the records in order (message begin / end flags set, short
// records where the payload fits in 255 bytes). No records: no message at all (0 bytes), which a
// tag stores as length 0, "initialised"; a message of one empty record is D0 00 00.
std::vector<uint8_t> encodeNdefMessage(const std::vector<NdefRecordDescription> &records);

}  // namespace sim
