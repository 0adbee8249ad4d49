// Builds NDEF messages: URI records (the identifier code of the longest prefix the URI starts
// with), Text records (UTF-8 with a language code), MIME records and records of any type name
// format. The message flags are set when the message is taken: message begin on the first
// record, message end on the last, short record wherever the payload is below 256 bytes. Nothing
// it accepts fails to parse back into the same records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "NdefMessage.h"

class NdefBuilder {
public:
    // The identifier code of the longest URI prefix that `uri` starts with (0: none) and that
    // prefix's length.
    static uint8_t uriPrefixCode(const std::string &uri, size_t &prefixLength);

    // False (and `error`) for a record that could not be read back as it was given.
    bool addUri(const std::string &uri, std::string &error);
    // `language`: 1 to 63 letters, digits and hyphens (such as "en" or "pt-BR"); `text`: UTF-8.
    bool addText(const std::string &language, const std::string &text, std::string &error);
    // `type`: a media type such as "text/plain" (printable ASCII with a slash).
    bool addMime(const std::string &type, const std::vector<uint8_t> &payload, std::string &error);
    // Any record but a chunk: type name format 0 to 5, each length within what its field holds.
    bool addRecord(uint8_t tnf, const std::vector<uint8_t> &type, const std::vector<uint8_t> &id,
                   const std::vector<uint8_t> &payload, std::string &error);

    // Appends `single`, a message of one record (as message() gives it), to `message`: the
    // message end flag moves from the last record to the new one, which keeps message begin only
    // when `message` is empty. False when `message` is not a valid NDEF message (`errorOffset`:
    // the byte of the fault); `message` is then unchanged.
    static bool appendRecord(std::vector<uint8_t> &message, const std::vector<uint8_t> &single, std::string &error,
                             size_t &errorOffset);

    const std::vector<NdefRecord> &records() const { return m_Records; }
    // The message; with no record, the one empty record that stands for an empty message.
    std::vector<uint8_t> message() const;

private:
    std::vector<NdefRecord> m_Records;
};
