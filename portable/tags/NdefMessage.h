// NDEF messages as read from a tag: records with every length checked against the bytes that
// are really there, chunked records joined, and a one-line description of the common well-known
// records. Pure functions of a byte span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One record exactly as stored: the header byte and the places of its fields in the message.
struct NdefRawRecord {
    uint8_t header = 0;
    size_t offset = 0;  // of the header byte
    size_t typeOffset = 0;
    size_t typeLength = 0;
    size_t idOffset = 0;
    size_t idLength = 0;
    size_t payloadOffset = 0;
    size_t payloadLength = 0;
    size_t end = 0;  // offset of the byte after the record
};

// A record of the message, chunks joined.
struct NdefRecord {
    uint8_t tnf = 0;
    std::vector<uint8_t> type;
    std::vector<uint8_t> id;
    std::vector<uint8_t> payload;
    unsigned chunks = 1;
};

class NdefMessage {
public:
    // Header bits.
    static constexpr uint8_t MessageBegin = 0x80;
    static constexpr uint8_t MessageEnd = 0x40;
    static constexpr uint8_t ChunkFlag = 0x20;
    static constexpr uint8_t ShortRecord = 0x10;
    static constexpr uint8_t IdLengthPresent = 0x08;
    static constexpr uint8_t TnfMask = 0x07;
    // Type name formats with a meaning of their own here.
    static constexpr uint8_t TnfEmpty = 0x00;
    static constexpr uint8_t TnfWellKnown = 0x01;
    static constexpr uint8_t TnfExternal = 0x04;  // 1 to 4 name a type in the type field
    static constexpr uint8_t TnfUnknown = 0x05;
    static constexpr uint8_t TnfUnchanged = 0x06;
    static constexpr uint8_t TnfReserved = 0x07;

    // Reads the record that starts at `offset`: every length is checked against `size` before it
    // is used, so no field can reach past the span. False: `error` says what is wrong.
    static bool readRawRecord(const uint8_t *data, size_t size, size_t offset, NdefRawRecord &record,
                              std::string &error);
    // Writes a raw record back: the same bytes as were read.
    static void appendRawRecord(const uint8_t *data, const NdefRawRecord &record, std::vector<uint8_t> &out);

    // A whole message of exactly `size` bytes (an empty span is not a message). Chunked records:
    // the first chunk has CF, a type name format other than 0 (empty) and 6 (unchanged) and, for
    // formats 1 to 4, a type; each following chunk has format 6, no type and no ID; no chunk with
    // CF ends the message. False: `error`
    // says what is wrong and at which byte; `records` then holds the records before the fault.
    // `errorOffset`, when given, receives the byte at which the fault is (the record that could
    // not be read, or the bytes after the message end).
    static bool parse(const uint8_t *data, size_t size, std::vector<NdefRecord> &records, std::string &error,
                      size_t *errorOffset = nullptr);

    // The text that a URI record's identifier code stands for; null for a reserved code.
    static const char *uriPrefix(uint8_t code);

    // One line for a record: a URI, a text with its language, or the record's TNF, type and
    // payload in hex.
    static std::string describe(const NdefRecord &record);

    // A well-known URI record ("U") as its full URI: the prefix its identifier code stands for
    // and the rest. False for any other record, an empty payload or a reserved code.
    static bool uriOf(const NdefRecord &record, std::string &uri);
    // A well-known Text record ("T"): its language code and its text in UTF-8 (a UTF-16 text,
    // with or without a byte order mark, is converted). False for any other record, a language
    // longer than the payload or UTF-16 that is cut or has unpaired surrogates.
    static bool textOf(const NdefRecord &record, std::string &language, std::string &utf8);
};
