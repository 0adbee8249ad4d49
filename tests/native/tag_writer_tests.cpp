// The NDEF writers of Type 2, 3 and 4 Tags against in-memory tags: a written message reads back,
// read-only tags and messages past the capacity are refused with nothing written, a write cut
// after any command leaves a tag that reads as the old message, as an empty one or as the new
// one, and a blank Type 2 Tag is made NDEF-ready.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "MemoryTags.h"
#include "NdefBuilder.h"
#include "TagSession.h"
#include "TestMessages.h"
#include "Type2TagWriter.h"
#include "Type3TagReader.h"
#include "Type3TagWriter.h"
#include "Type4TagReader.h"
#include "Type4TagWriter.h"

using namespace korvat_test;

namespace {

const char *outcomeName(TagWriteOutcome outcome)
{
    switch (outcome) {
    case TagWriteOutcome::Writing: return "Writing";
    case TagWriteOutcome::Written: return "Written";
    case TagWriteOutcome::ReadOnly: return "ReadOnly";
    case TagWriteOutcome::TooLarge: return "TooLarge";
    case TagWriteOutcome::Refused: return "Refused";
    default: return "InvalidTag";
    }
}

// What a reader makes of a tag: its message in hex, "empty", or the reader's report.
template <class Reader, class Tag>
std::string readBack(Reader &reader, Tag tag)
{
    drive(reader, tag);
    switch (reader.outcome()) {
    case TagReadOutcome::Message: return hex(reader.message());
    case TagReadOutcome::NoMessage: return "empty";
    default: return reader.report();
    }
}

// One tag and one message to write to it, as any kind of tag.
struct Scenario {
    // Writes with at most `limit` commands; the outcome, the commands sent, and the tag read back.
    std::function<std::string(size_t limit, TagWriteOutcome &outcome, std::vector<Bytes> &sent)> write;
    std::string before;  // the tag read back before any write
};

Scenario type2(const MemoryType2Tag &tag, const Bytes &message, Type2ReadOptions options = Type2ReadOptions())
{
    auto read = [options](const MemoryType2Tag &t) {
        Type2TagReader reader(options);
        return readBack(reader, t);
    };
    return {[=](size_t limit, TagWriteOutcome &outcome, std::vector<Bytes> &sent) {
                MemoryType2Tag card = tag;
                Type2TagWriter writer(message, options);
                sent = drive(writer, card, limit);
                outcome = writer.outcome();
                return read(card);
            },
            read(tag)};
}

Scenario type3(const MemoryType3Tag &tag, const Bytes &message)
{
    auto read = [](const MemoryType3Tag &t) {
        Type3TagReader reader(t.idm);
        return readBack(reader, t);
    };
    return {[=](size_t limit, TagWriteOutcome &outcome, std::vector<Bytes> &sent) {
                MemoryType3Tag card = tag;
                Type3TagWriter writer(card.idm, message);
                sent = drive(writer, card, limit);
                outcome = writer.outcome();
                return read(card);
            },
            read(tag)};
}

Scenario type4(const MemoryType4Tag &tag, const Bytes &message)
{
    auto read = [](const MemoryType4Tag &t) {
        Type4TagReader reader;
        return readBack(reader, t);
    };
    return {[=](size_t limit, TagWriteOutcome &outcome, std::vector<Bytes> &sent) {
                MemoryType4Tag card = tag;
                Type4TagWriter writer(message);
                sent = drive(writer, card, limit);
                outcome = writer.outcome();
                return read(card);
            },
            read(tag)};
}

bool isWrite(const Bytes &command)
{
    return command[0] == 0xA2 || (command.size() > 2 && (command[1] == 0x08 || command[1] == 0xD6));
}

const std::string Old12 = "D5000901020304050607080900";

// A tag whose NDEF TLV must go behind a reserved area: data area 16 to 47, a lock control TLV
// naming bytes 24 to 39, an empty proprietary TLV, a terminator in byte 23 (a page's last byte).
const std::string LockedGapTlvs = "0103608002" "FD00" "FE";
// A lock control TLV naming bytes 24 to 31, NULL TLVs, then the NDEF TLV behind the area.
const std::string LockBeforeNdefTlvs = "0103604002" "000000" "EEEEEEEEEEEEEEEE" "030C";

// A lock control TLV naming bytes 22 and 23, then NULL bytes to the end: a new NDEF TLV has its
// type in byte 21 and its length from byte 24, on the next page.
const std::string LockAfterFreeByteTlvs = "0103521002";

struct WriteCase {
    const char *what;
    Scenario scenario;
    Bytes message;
};

std::vector<WriteCase> writeCases()
{
    const Bytes uri = uriMessage("https://www.example.com/a/rather/long/path");
    const Bytes long300 = textMessage(290);
    const Type2ReadOptions fast{true, 60};
    const std::string m12 = Old12.substr(0, 24);
    return {
        {"Type 2: 1-byte length to 1-byte length", type2(type2Tag(144, "030C" + m12 + "FE"), uri), uri},
        {"Type 2: no NDEF TLV yet, the next free byte is a page's last",
         type2(type2Tag(144, "FD01AA" "FE"), uri), uri},
        {"Type 2: 1-byte length to 3-byte length, FAST_READ", type2(type2Tag(504, "030C" + m12 + "FE"), long300, fast),
         long300},
        {"Type 2: 3-byte length split over two pages to 1-byte length",
         type2(type2Tag(504, "0000" "03FF0133" + hex(long300) + "FE"), uri), uri},
        {"Type 2: a reserved area inside the message",
         type2(type2Tag(144, "0103A01044" "0203200844" "030C" + m12.substr(0, 8) + "EEEEEEEEEEEEEEEE" + m12.substr(8) +
                                 "FE"),
               uri),
         uri},
        {"Type 2: no NDEF TLV yet, a reserved area between the last TLV and the free bytes",
         type2(type2Tag(32, LockedGapTlvs), uriMessage("tel:1")), uriMessage("tel:1")},
        {"Type 2: no NDEF TLV yet, no terminator, a reserved area between the new TLV's type and its 3-byte length",
         type2(type2Tag(504, LockAfterFreeByteTlvs), long300), long300},
        {"Type 2: no NDEF TLV yet, a terminator in a page's last byte, a reserved area between the new TLV's type and "
         "length",
         type2(type2Tag(32, "0103618002" "FD00" "FE" "0000000000000000" "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"), uriMessage("tel:1")),
         uriMessage("tel:1")},
        {"Type 2: no NDEF TLV yet, a reserved area between the new TLV's type and length, the old terminator where "
         "the length goes, bytes that are no TLVs behind it",
         type2(type2Tag(32, LockAfterFreeByteTlvs + "00" "0000" "FE" "FFFFFF" "FFFFFFFF"), uriMessage("tel:1")),
         uriMessage("tel:1")},
        {"Type 2: as before, the old terminator in a page's last byte",
         type2(type2Tag(32, "0103522802" "00" "0000000000" "FE" "FFFFFFFF"), uriMessage("tel:1")), uriMessage("tel:1")},
        {"Type 2: a reserved area before the NDEF TLV",
         type2(type2Tag(144, LockBeforeNdefTlvs + m12 + "FE"), uri), uri},
        {"Type 2: a message that fills the tag, no room for a terminator", type2(type2Tag(48, "0300FE"), textMessage(39)),
         textMessage(39)},
        {"Type 2: erased", type2(type2Tag(144, "030C" + m12 + "FE"), {}), {}},
        {"Type 3: Nbw 1", type3(type3Tag(4, 1, 8, 0x01, unhex(m12)), uri), uri},
        {"Type 3: Nbw 4, 300 bytes", type3(type3Tag(15, 4, 40, 0x01, unhex(m12)), long300), long300},
        {"Type 3: a message that fills the tag", type3(type3Tag(4, 2, 2, 0x01, unhex(m12)), textMessage(25)),
         textMessage(25)},
        {"Type 4: pieces of MLc 16", type4(type4Tag(16, 128, 0x00, unhex(m12)), uri), uri},
        {"Type 4: 300 bytes in pieces of 255", type4(type4Tag(0x0400, 512, 0x00, unhex(m12)), long300), long300},
        {"Type 4: a message that fills the file", type4(type4Tag(64, 64, 0x00, unhex(m12)), textMessage(55)),
         textMessage(55)},
    };
}

}  // namespace

TEST(TagWriters, WrittenMessagesReadBack)
{
    for (const WriteCase &c : writeCases()) {
        TagWriteOutcome outcome;
        std::vector<Bytes> sent;
        const std::string after = c.scenario.write(10000, outcome, sent);
        EXPECT_STREQ(outcomeName(outcome), "Written") << c.what;
        EXPECT_EQ(after, c.message.empty() ? "empty" : hex(c.message)) << c.what;
    }
}

TEST(TagWriters, AWriteCutAfterAnyCommandReadsAsTheOldTheEmptyOrTheNewMessage)
{
    for (const WriteCase &c : writeCases()) {
        TagWriteOutcome outcome;
        std::vector<Bytes> full;
        c.scenario.write(10000, outcome, full);
        ASSERT_EQ(outcome, TagWriteOutcome::Written) << c.what;
        const std::string wanted = c.message.empty() ? "empty" : hex(c.message);
        ASSERT_NE(c.scenario.before, wanted) << c.what << ": the case must change the tag";
        for (size_t cut = 0; cut <= full.size(); ++cut) {
            std::vector<Bytes> sent;
            const std::string after = c.scenario.write(cut, outcome, sent);
            EXPECT_TRUE(after == c.scenario.before || after == "empty" || after == wanted)
                << c.what << ", cut after " << cut << " of " << full.size() << " commands: " << after;
        }
    }
}

TEST(TagWriters, ReadOnlyTagsAndMessagesPastTheCapacityAreRefusedWithNothingWritten)
{
    const Bytes uri = uriMessage("https://example.com");
    const std::string m12 = Old12.substr(0, 24);
    struct Case {
        const char *what;
        Scenario scenario;
        TagWriteOutcome outcome;
    } cases[] = {
        {"Type 2: CC write access 0F", type2(type2Tag(144, "030C" + m12 + "FE", "0000", "0F"), uri),
         TagWriteOutcome::ReadOnly},
        {"Type 2: static lock bit of page 9", type2(type2Tag(144, "030C" + m12 + "FE", "0002"), uri),
         TagWriteOutcome::ReadOnly},
        {"Type 2: one byte past the capacity", type2(type2Tag(48, "0300FE"), textMessage(40)), TagWriteOutcome::TooLarge},
        {"Type 2: no room for an NDEF TLV", type2(type2Tag(8, "FD05AAAAAAAAAA" "00"), {}), TagWriteOutcome::TooLarge},
        {"Type 2: a message reaching past page 255", type2(type2Tag(2040, "0300FE"), textMessage(1100)),
         TagWriteOutcome::TooLarge},
        {"Type 2: one byte past the room behind a reserved area", type2(type2Tag(32, LockedGapTlvs), uriMessage("tel:12")),
         TagWriteOutcome::TooLarge},
        {"Type 3: RWFlag 00", type3(type3Tag(4, 1, 8, 0x00, unhex(m12)), uri), TagWriteOutcome::ReadOnly},
        {"Type 3: one byte past Nmaxb blocks", type3(type3Tag(4, 2, 2, 0x01, unhex(m12)), textMessage(26)),
         TagWriteOutcome::TooLarge},
        {"Type 4: write access FF", type4(type4Tag(16, 128, 0xFF, unhex(m12)), uri), TagWriteOutcome::ReadOnly},
        {"Type 4: one byte past the NDEF file", type4(type4Tag(64, 64, 0x00, unhex(m12)), textMessage(56)),
         TagWriteOutcome::TooLarge},
    };
    for (const Case &c : cases) {
        TagWriteOutcome outcome;
        std::vector<Bytes> sent;
        const std::string after = c.scenario.write(10000, outcome, sent);
        EXPECT_STREQ(outcomeName(outcome), outcomeName(c.outcome)) << c.what;
        EXPECT_EQ(after, c.scenario.before) << c.what;
        for (const Bytes &command : sent) {
            EXPECT_FALSE(isWrite(command)) << c.what << ": " << hex(command);
        }
    }
}

TEST(Type2TagWriter, TheCapacityTheReaderGivesIsExactlyWhatTheWriterTakes)
{
    const std::string m12 = Old12.substr(0, 24);
    struct Case {
        const char *what;
        MemoryType2Tag tag;
    } cases[] = {
        {"no control TLVs", type2Tag(48, "0300FE")},
        {"NDEF TLV in a page's last byte", type2Tag(48, "FD01AA" "FE")},
        {"a reserved area between the last TLV and the free bytes", type2Tag(32, LockedGapTlvs)},
        {"a reserved area before the NDEF TLV", type2Tag(144, LockBeforeNdefTlvs + m12 + "FE")},
        {"reserved areas inside the message",
         type2Tag(144, "0103A01044" "0203200844" "030C" + m12.substr(0, 8) + "EEEEEEEEEEEEEEEE" + m12.substr(8) + "FE")},
        {"a 3-byte length", type2Tag(504, "0300FE")},
        {"a data area past page 255", type2Tag(2040, "0300FE")},
    };
    for (const Case &c : cases) {
        Type2TagReader reader;
        MemoryType2Tag tag = c.tag;
        drive(reader, tag);
        const size_t capacity = reader.capacity();
        ASSERT_GT(capacity, 0u) << c.what;
        for (size_t size : {capacity, capacity + 1}) {
            const Bytes message(size, 0xD0);  // the writer does not parse the message
            MemoryType2Tag card = c.tag;
            Type2TagWriter writer(message);
            drive(writer, card);
            EXPECT_STREQ(outcomeName(writer.outcome()), size == capacity ? "Written" : "TooLarge")
                << c.what << ", " << size << " bytes: " << writer.report();
        }
    }
}

TEST(TagWriters, RefusalsOfTheCardEndTheWriteWithItsReport)
{
    // A Type 2 Tag whose page 5 NAKs every WRITE.
    MemoryType2Tag tag = type2Tag(144, "0300FE");
    Type2TagWriter writer(uriMessage("https://www.example.com/a/rather/long/path"));
    auto card = [&](const Bytes &command) { return command[0] == 0xA2 && command[1] == 5 ? Bytes{0x01} : tag(command); };
    drive(writer, card);
    EXPECT_EQ(writer.outcome(), TagWriteOutcome::Refused);
    EXPECT_EQ(writer.report(), "the tag refused the WRITE of page 5 (NAK 01)");

    MemoryType4Tag t4 = type4Tag(16, 128, 0x00, {});
    Type4TagWriter t4Writer(uriMessage("tel:1"));
    auto t4Card = [&](const Bytes &apdu) { return apdu[1] == 0xD6 ? unhex("6581") : t4(apdu); };
    drive(t4Writer, t4Card);
    EXPECT_EQ(t4Writer.outcome(), TagWriteOutcome::Refused);
    EXPECT_EQ(t4Writer.report(), "the card refused the UPDATE BINARY of NLEN 0: status word 6581");

    MemoryType3Tag t3 = type3Tag(4, 1, 8, 0x01, {});
    Type3TagWriter t3Writer(t3.idm, uriMessage("tel:1"));
    auto t3Card = [&](const Bytes &frame) {
        Bytes answer = t3(frame);
        if (frame[1] == 0x08) {
            answer[10] = 0xFF;
            answer[11] = 0x70;
        }
        return answer;
    };
    drive(t3Writer, t3Card);
    EXPECT_EQ(t3Writer.outcome(), TagWriteOutcome::Refused);
    EXPECT_EQ(t3Writer.report(), "the card refused the Write Without Encryption of WriteFlag 0F: status flags FF 70");
}

TEST(TagWriters, AType3WriteCutBeforeItsEndReadsAsEmptyAndIsFinishedByTheNextWrite)
{
    MemoryType3Tag tag = type3Tag(4, 1, 8, 0x01, unhex(Old12));
    const Bytes uri = uriMessage("https://example.com");
    Type3TagWriter cut(tag.idm, uri);
    drive(cut, tag, 3);  // read, WriteFlag 0F, one data block
    // Until then the tag holds no valid message: initialised and empty, writable.
    Type3TagReader cutReader(tag.idm);
    EXPECT_EQ(readBack(cutReader, tag), "empty");
    TagTarget target;
    target.kind = TagKind::Type3;
    target.idm = tag.idm;
    TagSession session(target, [&](const Bytes &command, Bytes &response) {
        response = tag(command);
        return true;
    });
    TagIdentity id;
    ASSERT_EQ(session.identify(id), TagStatus::Ok) << session.report();
    EXPECT_TRUE(id.ndefPresent && id.writable);
    EXPECT_EQ(id.messageSize, 0u);
    EXPECT_EQ(id.capacity, 8u * 16);
    Bytes read = {0x01};
    ASSERT_EQ(session.readNdef(read), TagStatus::Ok) << session.report();
    EXPECT_TRUE(read.empty());
    Type3TagWriter again(tag.idm, uri);
    drive(again, tag);
    EXPECT_EQ(again.outcome(), TagWriteOutcome::Written) << again.report();
    Type3TagReader reader(tag.idm);
    EXPECT_EQ(readBack(reader, tag), hex(uri));
}

TEST(Type2TagWriter, BlankAndUnformattedTagsAreMadeNdefReady)
{
    MemoryType2Tag blank = type2Tag(144, "");
    std::fill(blank.memory.begin() + 12, blank.memory.begin() + 16, 0x00);
    MemoryType2Tag blankLocked = blank;
    blankLocked.memory[10] = 0x10;  // page 4
    struct Case {
        const char *what;
        MemoryType2Tag tag;
        size_t blankSize;
        TagWriteOutcome outcome;
        std::vector<std::string> writes;
    } cases[] = {
        {"blank: the TLV first, then the CC", blank, 144, TagWriteOutcome::Written, {"A2040300FE00", "A203E1101200"}},
        {"CC but no NDEF TLV: the TLV in page 5, then NULL over the terminator", type2Tag(144, "FD01AA" "FE"), 0,
         TagWriteOutcome::Written, {"A2050300FE00", "A204FD01AA00"}},
        {"CC but no NDEF TLV, a reserved area before the free bytes: NULL in byte 23, the TLV in page 10",
         type2Tag(32, LockedGapTlvs), 0, TagWriteOutcome::Written, {"A20A0300FE00", "A20502FD0000"}},
        {"NDEF-ready already", type2Tag(144, "0300FE"), 144, TagWriteOutcome::Written, {}},
        {"blank, size not given", blank, 0, TagWriteOutcome::InvalidTag, {}},
        {"blank, page 4 locked", blankLocked, 144, TagWriteOutcome::ReadOnly, {}},
    };
    for (const Case &c : cases) {
        MemoryType2Tag tag = c.tag;
        Type2TagWriter writer = Type2TagWriter::formatter(c.blankSize);
        std::vector<std::string> writes;
        for (const Bytes &command : drive(writer, tag)) {
            if (isWrite(command)) {
                writes.push_back(hex(command));
            }
        }
        EXPECT_STREQ(outcomeName(writer.outcome()), outcomeName(c.outcome)) << c.what << ": " << writer.report();
        EXPECT_EQ(writes, c.writes) << c.what;
        if (c.outcome == TagWriteOutcome::Written) {
            Type2TagReader reader;
            drive(reader, tag);
            EXPECT_EQ(reader.outcome(), TagReadOutcome::NoMessage) << c.what;
            EXPECT_TRUE(reader.layout().ndefPresent && reader.writable()) << c.what;
        }
    }
    // A blank tag whose formatting was cut after its first write is still blank.
    MemoryType2Tag tag = blank;
    Type2TagWriter writer = Type2TagWriter::formatter(144);
    drive(writer, tag, 2);
    Type2TagReader reader;
    drive(reader, tag);
    EXPECT_EQ(reader.report(), "no NDEF capability container (byte 0 is 00, E1 expected)");
}

TEST(Type2TagWriter, ReservedBytesInsideTheMessageAreKept)
{
    MemoryType2Tag tag = type2Tag(144, "0203200844" "0300FE");
    std::fill(tag.memory.begin() + 32, tag.memory.begin() + 40, 0xEE);
    Type2TagWriter writer(uriMessage("https://www.example.com/a/rather/long/path"));
    drive(writer, tag);
    ASSERT_EQ(writer.outcome(), TagWriteOutcome::Written) << writer.report();
    EXPECT_EQ(hex(Bytes(tag.memory.begin() + 32, tag.memory.begin() + 40)), "EEEEEEEEEEEEEEEE");
}
