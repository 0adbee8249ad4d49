// The Type 2 Tag reader against in-memory tags: the TLV area in all its forms (NULL, Lock Control
// and Memory Control TLVs whose areas the message skips, 1- and 3-byte lengths, proprietary
// TLVs, the terminator), the tags it must refuse, what identifying a tag says, and the commands
// it needs to read a whole message.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MemoryTags.h"
#include "Type2TagReader.h"

using namespace korvat_test;

namespace {

// An NDEF message of exactly `size` bytes (at least 3): one record of unknown type.
std::string messageOfSize(size_t size)
{
    Bytes message = size <= 258 ? Bytes{0xD5, 0x00, static_cast<uint8_t>(size - 3)}
                                : Bytes{0xC5, 0x00, 0, 0, static_cast<uint8_t>((size - 6) >> 8),
                                        static_cast<uint8_t>(size - 6)};
    while (message.size() < size) {
        message.push_back(static_cast<uint8_t>(message.size()));
    }
    return hex(message);
}

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

}  // namespace

TEST(Type2TagReader, TlvAreaIsWalkedAndReservedAreasAreSkipped)
{
    const std::string m12 = messageOfSize(12);
    const std::string m300 = messageOfSize(300);
    // Memory Control TLV naming bytes 32 to 39 (page 2 of 16 bytes, offset 0, 8 bytes), which the
    // message's bytes go around; Lock Control TLV naming 2 bytes at 160, past the data area.
    const std::string controls = "0103A01044" "0203200844";
    MemoryType2Tag reserved = type2Tag(144, controls + "030C" + m12.substr(0, 8) + "EEEEEEEEEEEEEEEE" + m12.substr(8) + "FE");
    struct Case {
        const char *what;
        MemoryType2Tag tag;
        TagReadOutcome outcome;
        std::string report;
        std::string message;
        bool ndefPresent;
    } cases[] = {
        {"1-byte length", type2Tag(144, "030C" + m12 + "FE"), TagReadOutcome::Message, "", m12, true},
        {"NULL TLVs first", type2Tag(144, "000000" "030C" + m12 + "FE"), TagReadOutcome::Message, "", m12, true},
        {"proprietary TLV skipped", type2Tag(144, "FD02ABCD" "030C" + m12), TagReadOutcome::Message, "", m12, true},
        {"3-byte length", type2Tag(504, "03FF012C" + m300 + "FE"), TagReadOutcome::Message, "", m300, true},
        {"control TLVs and a reserved area inside the message", reserved, TagReadOutcome::Message, "", m12, true},
        {"empty NDEF TLV", type2Tag(144, "0300FE"), TagReadOutcome::NoMessage, "", "", true},
        {"terminator before any NDEF TLV", type2Tag(144, "FE030C" + m12), TagReadOutcome::NoMessage, "", "", false},
        {"NULL TLVs to the end", type2Tag(144, ""), TagReadOutcome::NoMessage, "", "", false},
        {"NDEF TLV past the capacity", type2Tag(144, "03FF0100" + m12), TagReadOutcome::InvalidTag,
         "TLV 03 at byte 16 of 256 bytes runs past the end of the data area", "", false},
        {"1-byte length past the capacity", type2Tag(8, "0309" + messageOfSize(6)), TagReadOutcome::InvalidTag,
         "TLV 03 at byte 16 of 9 bytes runs past the end of the data area", "", false},
        {"length cut by the end of the data area", type2Tag(8, "00000000000000" "03"), TagReadOutcome::InvalidTag,
         "TLV 03 at byte 23 runs past the end of the data area", "", false},
        {"proprietary TLV past the capacity", type2Tag(144, "FDFF0400"), TagReadOutcome::InvalidTag,
         "TLV FD at byte 16 of 1024 bytes runs past the end of the data area", "", false},
        {"lock control of 2 bytes", type2Tag(144, "0102A010" "0300"), TagReadOutcome::InvalidTag,
         "TLV 01 at byte 16 has a length of 2, 3 expected", "", false},
        {"memory control over the TLVs before it", type2Tag(144, "0203100844" "0300"), TagReadOutcome::InvalidTag,
         "TLV 02 at byte 16 names bytes 16 to 23, which are not after it", "", false},
        {"no capability container", [] { MemoryType2Tag t = type2Tag(144, "0300FE"); t.memory[12] = 0; return t; }(),
         TagReadOutcome::InvalidTag, "no NDEF capability container (byte 0 is 00, E1 expected)", "", false},
        {"mapping version 2.0", [] { MemoryType2Tag t = type2Tag(144, "0300FE"); t.memory[13] = 0x20; return t; }(),
         TagReadOutcome::InvalidTag, "mapping version 2.0 is not supported (1.x is)", "", false},
        {"read access not granted", type2Tag(144, "0300FE", "0000", "80"), TagReadOutcome::InvalidTag,
         "read access is not granted (CC byte 3 is 80)", "", false},
    };
    for (const Case &c : cases) {
        MemoryType2Tag tag = c.tag;
        Type2TagReader reader;
        drive(reader, tag);
        EXPECT_STREQ(outcomeName(reader.outcome()), outcomeName(c.outcome)) << c.what << ": " << reader.report();
        EXPECT_EQ(reader.report(), c.report) << c.what;
        EXPECT_EQ(hex(reader.message()), c.message) << c.what;
        EXPECT_EQ(reader.layout().ndefPresent, c.ndefPresent) << c.what;
    }
}

TEST(Type2TagReader, IdentifiesCapacityAndWhetherTheTagIsWritable)
{
    struct Case {
        const char *what;
        MemoryType2Tag tag;
        size_t capacity;
        bool writable;
    } cases[] = {
        {"48-byte tag", type2Tag(48, "0300FE"), 46, true},
        {"144-byte tag after a lock control TLV", type2Tag(144, "0103A01044" "0300FE"), 137, true},
        {"504-byte tag: the 3-byte length form", type2Tag(504, "0300FE"), 500, true},
        {"room for 257 bytes: the 1-byte form still holds more", type2Tag(264, "0000000000" "0000" "0300FE"), 254, true},
        {"CC write access 0F", type2Tag(144, "0300FE", "0000", "0F"), 142, false},
        {"static lock bit of page 4", type2Tag(144, "0300FE", "1000"), 142, false},
        {"static lock bit of page 15", type2Tag(144, "0300FE", "0080"), 142, false},
        {"only the block-locking bits", type2Tag(144, "0300FE", "0700"), 142, true},
        {"no NDEF TLV: a new one goes after the control TLVs, not in a page's last byte", type2Tag(144, "FD01AA" "FE"), 138,
         true},
    };
    for (const Case &c : cases) {
        MemoryType2Tag tag = c.tag;
        Type2TagReader reader;
        drive(reader, tag);
        EXPECT_EQ(reader.capacity(), c.capacity) << c.what << ": " << reader.report();
        EXPECT_EQ(reader.writable(), c.writable) << c.what;
    }
}

TEST(Type2TagReader, AMessageThatCrossesPage255IsRefusedNotReadFromPage0)
{
    // A data area of 2040 bytes whose READ reaches pages 0 to 255 only (a READ of page 255 goes
    // on with pages 0 to 2): a proprietary TLV up to byte 999, then an NDEF TLV whose message runs
    // from byte 1002 to 1029, past page 255.
    MemoryType2Tag tag = type2Tag(2040, "FDFF03D4" + std::string(980 * 2, 'A') + "031C" + messageOfSize(28) + "FE");
    tag.memory.resize(256 * 4);
    // FAST_READ of pages 0 to 126 and 127 to 253, then a READ of page 254 that gives pages 254,
    // 255, 0 and 1.
    Type2TagReader reader(Type2ReadOptions{true, 508});
    drive(reader, tag);
    EXPECT_STREQ(outcomeName(reader.outcome()), "InvalidTag") << hex(reader.message());
    EXPECT_NE(reader.report().find("page 256"), std::string::npos) << reader.report();
}

TEST(Type2TagReader, ReadsTheWholeMessageWithAsFewCommandsAsTheLinkAllows)
{
    const std::string m480 = messageOfSize(480);
    const std::string m10 = messageOfSize(10);
    struct Case {
        const char *what;
        Type2ReadOptions options;
        std::string tlvs;
        std::vector<std::string> commands;
    } cases[] = {
        {"small message, READ only", {false, 16}, "030A" + m10 + "FE", {"3000", "3004"}},
        {"small message, FAST_READ: the first 16 pages hold it", {true, 252}, "030A" + m10 + "FE", {"3A000F"}},
        {"504-byte tag, FAST_READ of 240 bytes", {true, 240}, "03FF01E0" + m480 + "FE",
         {"3A000F", "3A104B", "3A4C7C"}},
        {"504-byte tag, FAST_READ carried 16 bytes at a time is READ", {true, 16}, "030A" + m10, {"3000", "3004"}},
    };
    for (const Case &c : cases) {
        MemoryType2Tag tag = type2Tag(504, c.tlvs);
        Type2TagReader reader(c.options);
        std::vector<std::string> commands;
        for (const Bytes &command : drive(reader, tag)) {
            commands.push_back(hex(command));
        }
        EXPECT_EQ(reader.outcome(), TagReadOutcome::Message) << c.what << ": " << reader.report();
        EXPECT_EQ(commands, c.commands) << c.what;
    }
    // With READ only, a 480-byte message at page 4 takes 16-byte steps up to its last byte.
    MemoryType2Tag tag = type2Tag(504, "03FF01E0" + m480 + "FE");
    Type2TagReader reader;
    const std::vector<Bytes> sent = drive(reader, tag);
    EXPECT_EQ(hex(reader.message()), m480);
    EXPECT_EQ(hex(sent.back()), "307C");  // bytes 496 to 511 hold the message's last bytes (16 + 4 + 480)
}

TEST(Type2TagReader, NakAndAnswersOfTheWrongSizeEndTheRead)
{
    struct Case {
        const char *what;
        std::string answer;
        TagReadOutcome outcome;
        std::string report;
    } cases[] = {
        {"NAK", "00", TagReadOutcome::Refused, "the tag refused the READ from page 0 (NAK 00)"},
        {"short answer", "E110", TagReadOutcome::InvalidTag, "the tag sent 2 bytes instead of 16 to the READ from page 0"},
        {"nothing", "", TagReadOutcome::InvalidTag, "the tag sent 0 bytes instead of 16 to the READ from page 0"},
    };
    for (const Case &c : cases) {
        Type2TagReader reader;
        auto card = [&](const Bytes &) { return unhex(c.answer); };
        drive(reader, card);
        EXPECT_STREQ(outcomeName(reader.outcome()), outcomeName(c.outcome)) << c.what;
        EXPECT_EQ(reader.report(), c.report) << c.what;
    }
}
