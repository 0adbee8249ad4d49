// The demo's tag reading: NDEF messages, and the Type 4 and Type 3 Tag readers driven against
// small fake cards, each fed the malformed values a tag could hold. Every case names the report
// that the demo prints.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "HexText.h"
#include "NdefMessage.h"
#include "Type3TagReader.h"
#include "Type4TagReader.h"

namespace {

using korvat_test::hex;
using korvat_test::unhex;

using Bytes = std::vector<uint8_t>;

const char *outcomeName(TagReadOutcome outcome)
{
    switch (outcome) {
    case TagReadOutcome::Reading: return "Reading";
    case TagReadOutcome::Message: return "Message";
    case TagReadOutcome::NoMessage: return "NoMessage";
    case TagReadOutcome::Refused: return "Refused";
    default: return "InvalidTag";
    }
}

// Runs a reader against a card; returns the commands sent. Stops after 10000 commands.
template <class Reader>
std::vector<Bytes> drive(Reader &reader, const std::function<Bytes(const Bytes &)> &card)
{
    std::vector<Bytes> sent;
    Bytes command;
    while (sent.size() < 10000 && reader.nextCommand(command)) {
        sent.push_back(command);
        const Bytes answer = card(command);
        reader.takeResponse(answer.data(), answer.size());
    }
    return sent;
}

// ---------------------------------------------------------------------------------------------
// A Type 4 Tag that answers from its two files, whatever they hold.
// ---------------------------------------------------------------------------------------------

struct FakeType4Tag {
    Bytes cc;
    Bytes ndefFile;
    std::string selectApplicationStatus = "9000";
    const Bytes *selected = nullptr;

    Bytes operator()(const Bytes &apdu)
    {
        if (apdu.size() >= 5 && apdu[1] == 0xA4 && apdu[2] == 0x04) {
            return unhex(selectApplicationStatus);
        }
        if (apdu.size() == 7 && apdu[1] == 0xA4) {
            const uint16_t id = static_cast<uint16_t>(apdu[5] << 8 | apdu[6]);
            const uint16_t ndefId = cc.size() >= 11 ? static_cast<uint16_t>(cc[9] << 8 | cc[10]) : 0;
            selected = id == 0xE103 ? &cc : id == ndefId ? &ndefFile : nullptr;
            return unhex(selected != nullptr ? "9000" : "6A82");
        }
        if (apdu.size() == 5 && apdu[1] == 0xB0 && selected != nullptr) {
            const size_t offset = static_cast<size_t>(apdu[2] << 8 | apdu[3]);
            if (offset > selected->size()) {
                return unhex("6B00");
            }
            const size_t count = std::min<size_t>(apdu[4], selected->size() - offset);
            Bytes answer(selected->begin() + offset, selected->begin() + offset + count);
            const Bytes sw = unhex(count < apdu[4] ? "6282" : "9000");
            answer.insert(answer.end(), sw.begin(), sw.end());
            return answer;
        }
        return unhex("6D00");
    }
};

// CCLEN 15, version 2.0, MLe and MLc, NDEF file control TLV (E104, size), read and write access.
std::string capabilityContainer(const std::string &version, const std::string &mle, const std::string &tlv,
                                const std::string &fileId, const std::string &size, const std::string &read)
{
    return "000F" + version + mle + "0034" + tlv + fileId + size + read + "FF";
}

const std::string Cc = capabilityContainer("20", "000F", "0406", "E104", "0080", "00");

}  // namespace

// ---------------------------------------------------------------------------------------------
// NDEF
// ---------------------------------------------------------------------------------------------

TEST(NdefMessage, RecordsAreReadWithEveryLengthCheckedAndChunksJoined)
{
    struct Case {
        const char *what;
        std::string message;
        std::vector<std::string> records;  // descriptions
        std::string error;                 // empty: valid
    } cases[] = {
        {"empty record", "D00000", {"empty record"}, ""},
        {"URI", "D101085502" "6578616D706C65", {"URI  https://www.example"}, ""},
        {"two records", "9101035402656E" "5101045505" "74656C", {"text [en] \"\"", "URI  tel:tel"}, ""},
        {"long record", "C101000000035402656E", {"text [en] \"\""}, ""},
        {"record with an ID", "D9010301" "54" "AA" "02656E", {"text [en] \"\""}, ""},
        {"chunked text", "B101035402656E" "3600024869" "56000121", {"text [en] \"Hi!\" (3 chunks)"}, ""},
        {"unknown type name format", "D500020102", {"TNF 5, type \"\", 2 payload bytes: 01 02"}, ""},
        {"32-bit payload length that would wrap a 32-bit sum", "C101FFFFFFF054", {},
         "payload length 4294967280 runs past the end of the message (record at byte 0)"},
        {"type past the end", "D1050154", {}, "type runs past the end of the message (record at byte 0)"},
        {"ID past the end", "D901010554", {}, "ID runs past the end of the message (record at byte 0)"},
        {"header cut short", "C10100", {}, "record header cut short (record at byte 0)"},
        {"first record without message begin", "510101540A", {}, "first record without message begin (record at byte 0)"},
        {"message begin twice", "910101540A" "D10101540A", {"TNF 1, type \"T\", 1 payload bytes: 0A"},
         "message begin inside the message (record at byte 5)"},
        {"no message end", "910101540A", {"TNF 1, type \"T\", 1 payload bytes: 0A"},
         "message ends without a record marked as its end"},
        {"bytes after the message end", "D0000000", {"empty record"}, "1 bytes after the message end (byte 3)"},
        {"reserved type name format", "D7000000", {}, "reserved type name format 7 (record at byte 0)"},
        {"empty record with a payload", "D0000100", {}, "empty record with a type, ID or payload (record at byte 0)"},
        {"unknown type name format with a type", "D50100" "41", {}, "type name format 5 with a type (record at byte 0)"},
        {"chunk marks the message end", "F101015441", {}, "chunk with more to follow marks the message end (record at byte 0)"},
        {"continuation with its own type", "B101015441" "510101544A", {"TNF 1, type \"T\", 1 payload bytes: 41"},
         "chunk continuation without type name format 6, or with an ID (record at byte 5)"},
        {"type name format 6 alone", "D6000141", {}, "type name format 6 outside a chunked record (record at byte 0)"},
        {"a chunked empty record", "B00000" "56000141", {}, "empty record (type name format 0) marked as chunked (record at byte 0)"},
        {"a first chunk without the type its format names", "B1000141" "56000142", {},
         "first chunk of type name format 1 without a type (record at byte 0)"},
        {"a first chunk of a media type without one", "B2000141" "56000142", {},
         "first chunk of type name format 2 without a type (record at byte 0)"},
        {"a continuation with an ID", "B101015441" "5E0001014243", {"TNF 1, type \"T\", 1 payload bytes: 41"},
         "chunk continuation without type name format 6, or with an ID (record at byte 5)"},
        {"a chunk of unknown type (no type needed)", "B5000141" "56000142", {"TNF 5, type \"\", 2 payload bytes: 41 42 (2 chunks)"}, ""},
        {"a message that ends inside a chunked record", "B101015441" "36000141", {"text [A] \"\" (2 chunks)"},
         "message ends without a record marked as its end"},
        {"nothing", "", {}, "empty NDEF message (no record)"},
    };
    for (const Case &c : cases) {
        const Bytes message = unhex(c.message);
        std::vector<NdefRecord> records;
        std::string error;
        const bool valid = NdefMessage::parse(message.data(), message.size(), records, error);
        EXPECT_EQ(valid, c.error.empty()) << c.what << ": " << error;
        if (!valid) {
            EXPECT_EQ(error, c.error) << c.what;
        }
        std::vector<std::string> descriptions;
        for (const NdefRecord &record : records) {
            descriptions.push_back(NdefMessage::describe(record));
        }
        EXPECT_EQ(descriptions, c.records) << c.what;
    }
}

TEST(NdefMessage, RawRecordsWriteBackTheBytesTheyWereReadFrom)
{
    for (const char *text : {"D00000", "C101000000035402656E", "D9010301" "54" "AA" "02656E",
                             "B101035402656E" "3600024869" "56000121"}) {
        const Bytes message = unhex(text);
        Bytes written;
        size_t offset = 0;
        while (offset < message.size()) {
            NdefRawRecord raw;
            std::string error;
            ASSERT_TRUE(NdefMessage::readRawRecord(message.data(), message.size(), offset, raw, error)) << text;
            NdefMessage::appendRawRecord(message.data(), raw, written);
            offset = raw.end;
        }
        EXPECT_EQ(hex(written), hex(message));
    }
}

// ---------------------------------------------------------------------------------------------
// Type 4 Tag
// ---------------------------------------------------------------------------------------------

TEST(Type4TagReader, MalformedTagsAreReportedAndNothingIsReadBeyondWhatTheyAllow)
{
    const std::string message = "D101075502" "6578616D706C65" "D00000D00000D00000";  // 21 bytes
    struct Case {
        const char *what;
        std::string cc;
        std::string ndefFile;
        TagReadOutcome outcome;
        std::string report;
    } cases[] = {
        {"valid, read in pieces of MLe", Cc, "0015" + message, TagReadOutcome::Message, ""},
        {"initialised, no message", Cc, "0000", TagReadOutcome::NoMessage, ""},
        {"mapping version 1.0", capabilityContainer("10", "000F", "0406", "E104", "0080", "00"), "0000",
         TagReadOutcome::InvalidTag, "capability container: mapping version 1.0 is not supported (2.x and 3.x are)"},
        {"mapping version 4.0", capabilityContainer("40", "000F", "0406", "E104", "0080", "00"), "0000",
         TagReadOutcome::InvalidTag, "capability container: mapping version 4.0 is not supported (2.x and 3.x are)"},
        {"read access not granted", capabilityContainer("20", "000F", "0406", "E104", "0080", "80"), "0000",
         TagReadOutcome::InvalidTag, "capability container: read access to the NDEF file is not granted (80)"},
        {"MLe below 15", capabilityContainer("20", "000E", "0406", "E104", "0080", "00"), "0000",
         TagReadOutcome::InvalidTag, "capability container: MLe 14 is below 15"},
        {"no NDEF file control TLV", capabilityContainer("20", "000F", "0506", "E104", "0080", "00"), "0000",
         TagReadOutcome::InvalidTag, "capability container: no NDEF file control TLV (found T 05, L 06)"},
        {"extended NDEF file", capabilityContainer("30", "000F", "0608", "E104", "0080", "00"), "0000",
         TagReadOutcome::InvalidTag, "capability container: extended NDEF file (32-bit lengths) is not supported"},
        {"reserved file identifier", capabilityContainer("20", "000F", "0406", "E103", "0080", "00"), "0000",
         TagReadOutcome::InvalidTag, "capability container: NDEF file identifier E103 is reserved"},
        {"file size below 5", capabilityContainer("20", "000F", "0406", "E104", "0004", "00"), "0000",
         TagReadOutcome::InvalidTag, "capability container: maximum NDEF file size 4 is invalid"},
        {"CCLEN below 15", "000E" + Cc.substr(4), "0000", TagReadOutcome::InvalidTag,
         "capability container: capability container length 14 is invalid"},
        {"NLEN beyond the file size", capabilityContainer("20", "000F", "0406", "E104", "0020", "00"), "0040",
         TagReadOutcome::InvalidTag, "NLEN 64 exceeds the NDEF file size 32 of the capability container"},
        {"NLEN needs offsets of 8000 and above", capabilityContainer("20", "00FF", "0406", "E104", "FFFE", "00"),
         "8000", TagReadOutcome::InvalidTag,
         "NLEN 32768 needs READ BINARY offsets above 7FFF, which this reader does not use"},
        {"file shorter than NLEN", Cc, "0015" + message.substr(0, 20), TagReadOutcome::Refused,
         "the card refused the READ BINARY of the NDEF message: status word 6282"},
    };
    for (const Case &c : cases) {
        FakeType4Tag card{unhex(c.cc), unhex(c.ndefFile)};
        Type4TagReader reader;
        const std::vector<Bytes> sent = drive(reader, std::ref(card));
        EXPECT_STREQ(outcomeName(reader.outcome()), outcomeName(c.outcome)) << c.what << ": " << reader.report();
        EXPECT_EQ(reader.report(), c.report) << c.what;
        if (c.outcome == TagReadOutcome::Message) {
            EXPECT_EQ(hex(reader.message()), message) << c.what;
        }
        // Each READ BINARY: offset within 15 bits, Le within MLe (when the CC was valid).
        const size_t mle = static_cast<size_t>(card.cc[3] << 8 | card.cc[4]);
        for (const Bytes &apdu : sent) {
            if (apdu[1] == 0xB0) {
                EXPECT_LT(apdu[2], 0x80) << c.what;
                EXPECT_LE(apdu[4], std::max<size_t>(mle, 15)) << c.what;
            }
        }
    }
}

TEST(Type4TagReader, RefusalsAndAnswersOfTheWrongSizeEndTheRead)
{
    FakeType4Tag refusing{unhex(Cc), unhex("0000"), "6A82"};
    Type4TagReader first;
    EXPECT_EQ(drive(first, std::ref(refusing)).size(), 1u);
    EXPECT_EQ(first.outcome(), TagReadOutcome::Refused);
    EXPECT_EQ(first.report(), "the card refused the SELECT of the NDEF application: status word 6A82");

    struct Case {
        const char *what;
        std::string answer;
        std::string report;
    } cases[] = {
        {"no status word", "90", "answer to the SELECT of the NDEF application has no status word"},
        {"nothing at all", "", "answer to the SELECT of the NDEF application has no status word"},
    };
    for (const Case &c : cases) {
        Type4TagReader reader;
        drive(reader, [&](const Bytes &) { return unhex(c.answer); });
        EXPECT_EQ(reader.outcome(), TagReadOutcome::InvalidTag) << c.what;
        EXPECT_EQ(reader.report(), c.report) << c.what;
    }
    // A card that sends more than it was asked for.
    Type4TagReader greedy;
    drive(greedy, [](const Bytes &apdu) {
        return apdu[1] == 0xB0 ? unhex("000F20000F00340406E10400800000FF" "9000") : unhex("9000");
    });
    EXPECT_EQ(greedy.outcome(), TagReadOutcome::InvalidTag);
    EXPECT_EQ(greedy.report(), "the card sent 16 bytes instead of 15 to the READ BINARY of the capability container");
}

TEST(Type4TagReader, ReadBinaryCommandsCarryFifteenBitOffsetsAndShortLe)
{
    Bytes apdu;
    ASSERT_TRUE(Type4TagReader::readBinaryCommand(0x7FFF, 255, apdu));
    EXPECT_EQ(hex(apdu), "00B07FFFFF");
    EXPECT_FALSE(Type4TagReader::readBinaryCommand(0x8000, 1, apdu));  // would select a short file id
    EXPECT_FALSE(Type4TagReader::readBinaryCommand(0, 256, apdu));
    EXPECT_FALSE(Type4TagReader::readBinaryCommand(0, 0, apdu));
}

// ---------------------------------------------------------------------------------------------
// Type 3 Tag
// ---------------------------------------------------------------------------------------------

namespace {

const std::string Idm = "0102030405060708";

// Attribute block with its checksum: version, Nbr, Nmaxb, WriteF, Ln.
std::string attributeBlock(uint8_t version, uint8_t nbr, uint16_t nmaxb, uint8_t writeFlag, uint32_t ln)
{
    Bytes block{version, nbr, 1, static_cast<uint8_t>(nmaxb >> 8), static_cast<uint8_t>(nmaxb), 0, 0, 0, 0,
                writeFlag, 0, static_cast<uint8_t>(ln >> 16), static_cast<uint8_t>(ln >> 8), static_cast<uint8_t>(ln)};
    unsigned sum = 0;
    for (uint8_t b : block) {
        sum += b;
    }
    block.push_back(static_cast<uint8_t>(sum >> 8));
    block.push_back(static_cast<uint8_t>(sum));
    return hex(block);
}

// A Type 3 Tag that answers Read Without Encryption from its blocks, whatever they hold.
struct FakeType3Tag {
    Bytes blocks;  // block 0 first
    std::string statusFlags = "0000";

    Bytes operator()(const Bytes &frame)
    {
        Bytes answer = unhex("00" "07" + Idm);
        const Bytes flags = unhex(statusFlags);
        answer.insert(answer.end(), flags.begin(), flags.end());
        if (statusFlags == "0000") {
            const size_t count = frame[13];
            answer.push_back(static_cast<uint8_t>(count));
            size_t position = 14;
            for (size_t i = 0; i < count; ++i) {
                size_t block;
                if (frame[position] & 0x80) {
                    block = frame[position + 1];
                    position += 2;
                } else {
                    block = static_cast<size_t>(frame[position + 1] | frame[position + 2] << 8);
                    position += 3;
                }
                for (size_t j = 0; j < 16; ++j) {
                    const size_t at = block * 16 + j;
                    answer.push_back(at < blocks.size() ? blocks[at] : 0);
                }
            }
        }
        answer[0] = static_cast<uint8_t>(answer.size());
        return answer;
    }
};

}  // namespace

TEST(Type3TagReader, MalformedAttributeBlocksAreReportedBeforeAnyDataIsRead)
{
    const std::string message = "D101075502" "6578616D706C65" "D00000D00000D00000" "D00000D00000D00000" "D00000";  // 33
    struct Case {
        const char *what;
        std::string attributes;
        TagReadOutcome outcome;
        std::string report;
        size_t commands;
    } cases[] = {
        {"valid, two reads of Nbr 2 blocks", attributeBlock(0x10, 2, 3, 0, 33), TagReadOutcome::Message, "", 3},
        {"initialised, no message", attributeBlock(0x10, 4, 3, 0, 0), TagReadOutcome::NoMessage, "", 1},
        {"Ln beyond Nmaxb blocks", attributeBlock(0x10, 4, 1, 0, 17), TagReadOutcome::InvalidTag,
         "Ln 17 exceeds Nmaxb 1 blocks of 16 bytes", 1},
        {"Ln of a million blocks", attributeBlock(0x10, 1, 0, 0, 0xFFFFFF), TagReadOutcome::InvalidTag,
         "Ln 16777215 exceeds Nmaxb 0 blocks of 16 bytes", 1},
        {"Nbr 0", attributeBlock(0x10, 0, 3, 0, 33), TagReadOutcome::InvalidTag, "Nbr 0 is outside 1 to 15", 1},
        {"Nbr 16", attributeBlock(0x10, 16, 3, 0, 33), TagReadOutcome::InvalidTag, "Nbr 16 is outside 1 to 15", 1},
        {"mapping version 2.0", attributeBlock(0x20, 4, 3, 0, 33), TagReadOutcome::InvalidTag,
         "mapping version 2.0 is not supported (1.x is)", 1},
        {"a write in progress or cut: no valid message", attributeBlock(0x10, 4, 3, 0x0F, 33), TagReadOutcome::NoMessage,
         "a write was cut (WriteFlag 0F): no valid message until the next write", 1},
        {"WriteFlag neither 00 nor 0F", attributeBlock(0x10, 4, 3, 0x01, 33), TagReadOutcome::InvalidTag,
         "WriteFlag 01 is invalid", 1},
        {"checksum", attributeBlock(0x10, 4, 3, 0, 33).substr(0, 30) + "00", TagReadOutcome::InvalidTag,
         "attribute information block: checksum error", 1},
    };
    for (const Case &c : cases) {
        FakeType3Tag card{unhex(c.attributes + message)};
        Type3TagReader reader(unhex(Idm));
        const std::vector<Bytes> sent = drive(reader, std::ref(card));
        EXPECT_STREQ(outcomeName(reader.outcome()), outcomeName(c.outcome)) << c.what << ": " << reader.report();
        EXPECT_EQ(reader.report(), c.report) << c.what;
        EXPECT_EQ(sent.size(), c.commands) << c.what;
        if (c.outcome == TagReadOutcome::Message) {
            EXPECT_EQ(hex(reader.message()), message) << c.what;
        }
        for (const Bytes &frame : sent) {
            EXPECT_EQ(frame[0], frame.size()) << c.what;
        }
    }
}

TEST(Type3TagReader, RefusedAndMalformedAnswersEndTheRead)
{
    FakeType3Tag refusing{unhex(attributeBlock(0x10, 4, 3, 0, 33)), "FFA8"};
    Type3TagReader refused(unhex(Idm));
    drive(refused, std::ref(refusing));
    EXPECT_EQ(refused.outcome(), TagReadOutcome::Refused);
    EXPECT_EQ(refused.report(),
              "the card refused the Read Without Encryption of the attribute information block: status flags FF A8");

    struct Case {
        const char *what;
        std::string answer;
        std::string report;
    } cases[] = {
        {"another card's IDm", "1D070102030405060709000001" + attributeBlock(0x10, 4, 3, 0, 0),
         "malformed answer to the Read Without Encryption of the attribute information block"},
        {"wrong length byte", "1E070102030405060708000001" + attributeBlock(0x10, 4, 3, 0, 0),
         "malformed answer to the Read Without Encryption of the attribute information block"},
        {"two blocks for one", "2D070102030405060708000002" + attributeBlock(0x10, 4, 3, 0, 0) +
                                   attributeBlock(0x10, 4, 3, 0, 0),
         "answer to the Read Without Encryption of the attribute information block does not hold the 1 blocks "
         "asked for"},
        {"cut short", "0B0701020304050607080000", "malformed answer to the Read Without Encryption of the attribute "
                                                  "information block"},
    };
    for (const Case &c : cases) {
        Type3TagReader reader(unhex(Idm));
        drive(reader, [&](const Bytes &) { return unhex(c.answer); });
        EXPECT_EQ(reader.outcome(), TagReadOutcome::InvalidTag) << c.what;
        EXPECT_EQ(reader.report(), c.report) << c.what;
    }

    Type3TagReader shortIdm(unhex("01020304050607"));
    Bytes frame;
    EXPECT_FALSE(shortIdm.nextCommand(frame));
    EXPECT_EQ(shortIdm.report(), "NFCID2 of 7 bytes, 8 needed");
}

TEST(Type3TagReader, ReadFramesAddressSixteenBitBlocksAndAtMostFifteenOfThem)
{
    const Bytes idm = unhex(Idm);
    Bytes frame;
    ASSERT_TRUE(Type3TagReader::readCommand(idm.data(), 0xFF, 2, frame));
    EXPECT_EQ(hex(frame), "13" "06" + Idm + "010B00" "02" "80FF" "000001");
    ASSERT_TRUE(Type3TagReader::readCommand(idm.data(), 0xFFF1, 15, frame));
    EXPECT_EQ(frame[0], frame.size());
    EXPECT_EQ(frame.size(), 14u + 15 * 3);
    EXPECT_FALSE(Type3TagReader::readCommand(idm.data(), 0xFFF2, 15, frame));  // block 0x10000
    EXPECT_FALSE(Type3TagReader::readCommand(idm.data(), 0x10000, 1, frame));
    EXPECT_FALSE(Type3TagReader::readCommand(idm.data(), 1, 16, frame));
    EXPECT_FALSE(Type3TagReader::readCommand(idm.data(), 1, 0, frame));
}
