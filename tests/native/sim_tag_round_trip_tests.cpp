// The tag writers and readers against the simulator's tag models, the two halves built apart:
// a message written by Type2TagWriter, Type3TagWriter or Type4TagWriter to a writable simulated
// tag reads back whole with Type2TagReader, Type3TagReader or Type4TagReader; read only tags and
// messages past the capacity are refused with the old message still there; a blank Type 2 Tag
// becomes NDEF-ready through Type2TagWriter::formatter and then takes a message.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MemoryTags.h"
#include "NdefBuilder.h"
#include "SimType2Tag.h"
#include "SimType3Tag.h"
#include "SimType4Tag.h"
#include "TestMessages.h"
#include "Type2TagWriter.h"
#include "Type3TagWriter.h"
#include "Type4TagWriter.h"

using namespace korvat_test;

namespace {

const Bytes Idm = unhex("01F1F2F3F4F5F6F7");
const Bytes Uid = unhex("04112233445566");
// FAST_READ in answers as large as the simulated reader's frame carries (32 pages).
const Type2ReadOptions FastRead{true, 128};

// A text record message of exactly `length` bytes (not every length has one: 260-262 do not).
Bytes messageOfLength(size_t length)
{
    for (size_t characters = 0; characters <= length; ++characters) {
        NdefBuilder builder;
        std::string error;
        EXPECT_TRUE(builder.addText("en", std::string(characters, 'a' + characters % 26), error)) << error;
        if (builder.message().size() == length) {
            return builder.message();
        }
    }
    ADD_FAILURE() << "no text message of " << length << " bytes";
    return {};
}

// What a reader makes of a card: the message in hex, "empty", or the reader's report.
template <class Reader>
std::string readBack(Reader &reader, const std::function<Bytes(const Bytes &)> &card)
{
    drive(reader, card);
    switch (reader.outcome()) {
    case TagReadOutcome::Message: return hex(reader.message());
    case TagReadOutcome::NoMessage: return "empty";
    default: return "not read: " + reader.report();
    }
}

// A simulated tag, its reader and its writer; the model lives as long as any copy.
struct SimTag {
    std::function<Bytes(const Bytes &)> card;
    std::function<std::string()> read;
    // Writes a message; the outcome and the writer's report.
    std::function<std::pair<TagWriteOutcome, std::string>(const Bytes &message)> write;
};

template <class Writer>
std::pair<TagWriteOutcome, std::string> writeWith(Writer writer, const std::function<Bytes(const Bytes &)> &card)
{
    drive(writer, card);
    return {writer.outcome(), writer.report()};
}

SimTag type4(const Bytes &message, size_t fileSize)
{
    auto tag = std::make_shared<sim::SimType4Tag>(fileSize == 0 ? sim::SimType4Tag(message)
                                                                : sim::SimType4Tag(message, fileSize));
    SimTag t;
    t.card = [tag](const Bytes &apdu) { return tag->answer(apdu.data(), apdu.size()); };
    t.read = [card = t.card, tag] {
        tag->reset();
        Type4TagReader reader;
        return readBack(reader, card);
    };
    t.write = [card = t.card, tag](const Bytes &m) {
        tag->reset();
        return writeWith(Type4TagWriter(m), card);
    };
    return t;
}

SimTag type3(const Bytes &message, size_t capacity)
{
    const Bytes pmm(8, 0x11), systemCode = unhex("12FC");
    auto tag = std::make_shared<sim::SimType3Tag>(capacity == 0 ? sim::SimType3Tag(Idm, pmm, systemCode, message)
                                                                : sim::SimType3Tag(Idm, pmm, systemCode, message, capacity));
    SimTag t;
    t.card = [tag](const Bytes &frame) {
        Bytes response;
        tag->answer(frame.data(), frame.size(), response);
        return response;
    };
    t.read = [card = t.card] {
        Type3TagReader reader(Idm);
        return readBack(reader, card);
    };
    t.write = [card = t.card](const Bytes &m) { return writeWith(Type3TagWriter(Idm, m), card); };
    return t;
}

SimTag type2(const std::shared_ptr<sim::SimType2Tag> &tag, const Type2ReadOptions &options)
{
    SimTag t;
    t.card = [tag](const Bytes &command) {
        Bytes response;
        tag->answer(command.data(), command.size(), response);
        return response;
    };
    t.read = [card = t.card, options] {
        Type2TagReader reader(options);
        return readBack(reader, card);
    };
    t.write = [card = t.card, options](const Bytes &m) { return writeWith(Type2TagWriter(m, options), card); };
    return t;
}

SimTag type2(size_t size, const Bytes &message, bool readOnly, const Type2ReadOptions &options = Type2ReadOptions())
{
    return type2(std::make_shared<sim::SimType2Tag>(Uid, size, message, readOnly, Bytes()), options);
}

}  // namespace

TEST(SimTagRoundTrip, WritersWriteWhatReadersReadBackAndRefuseWhatDoesNotFit)
{
    const Bytes old = uriMessage("tel:+358401234567");
    const Bytes uri = uriMessage("https://www.example.com/written/by/the/writer");
    const Bytes long600 = messageOfLength(600);
    struct Case {
        const char *what;
        SimTag tag;
        Bytes message;
        TagWriteOutcome outcome;
        std::string report;  // when not written
    } cases[] = {
        {"Type 4, writable", type4(old, 1024), uri, TagWriteOutcome::Written, ""},
        {"Type 4, 600 bytes in pieces of MLc", type4(old, 1024), long600, TagWriteOutcome::Written, ""},
        {"Type 4, a message that fills the file", type4(old, 64), messageOfLength(62), TagWriteOutcome::Written, ""},
        {"Type 4, erased", type4(old, 64), {}, TagWriteOutcome::Written, ""},
        {"Type 4, one byte past the file", type4(old, 64), messageOfLength(63),
         TagWriteOutcome::TooLarge, "a message of 63 bytes does not fit the tag's 62"},
        {"Type 4, read only", type4(old, 0), uri, TagWriteOutcome::ReadOnly, "the NDEF file is read-only (write access FF)"},
        {"Type 3, writable", type3(old, 1024), uri, TagWriteOutcome::Written, ""},
        {"Type 3, 600 bytes, Nbw blocks at a time", type3(old, 1024), long600, TagWriteOutcome::Written, ""},
        {"Type 3, a message that fills the tag", type3(old, 48), messageOfLength(48), TagWriteOutcome::Written, ""},
        {"Type 3, erased", type3(old, 48), {}, TagWriteOutcome::Written, ""},
        {"Type 3, one byte past the tag", type3(old, 48), messageOfLength(49),
         TagWriteOutcome::TooLarge, "a message of 49 bytes does not fit the tag's 48"},
        {"Type 3, read only", type3(old, 0), uri, TagWriteOutcome::ReadOnly, "the tag is read-only (RWFlag 00)"},
        {"Type 2, 144 bytes", type2(144, old, false), uri, TagWriteOutcome::Written, ""},
        {"Type 2, 504 bytes, 600 bytes do not fit", type2(504, old, false, FastRead), long600,
         TagWriteOutcome::TooLarge, "a message of 600 bytes does not fit the tag's 490"},
        {"Type 2, 144 bytes filled", type2(144, old, false), messageOfLength(132), TagWriteOutcome::Written, ""},
        {"Type 2, 504 bytes filled, FAST_READ", type2(504, old, false, FastRead), messageOfLength(490), TagWriteOutcome::Written, ""},
        {"Type 2, 888 bytes filled, FAST_READ", type2(888, old, false, FastRead), messageOfLength(874), TagWriteOutcome::Written, ""},
        {"Type 2, erased", type2(144, old, false), {}, TagWriteOutcome::Written, ""},
        {"Type 2, read only", type2(144, old, true), uri, TagWriteOutcome::ReadOnly, "the tag is read-only (CC write access 0F"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(c.tag.read(), hex(old)) << c.what;
        const auto outcome = c.tag.write(c.message);
        EXPECT_EQ(outcome.first, c.outcome) << c.what << ": " << outcome.second;
        // The report begins with what is wrong; a Type 2 Tag's goes on with the reason.
        EXPECT_EQ(outcome.second.substr(0, c.report.size()), c.report) << c.what;
        const bool written = c.outcome == TagWriteOutcome::Written;
        const std::string expected = !written ? hex(old) : c.message.empty() ? "empty" : hex(c.message);
        EXPECT_EQ(c.tag.read(), expected) << c.what;
    }
}

// A blank tag is no NDEF tag for the reader; the formatter writes its capability container and
// an empty NDEF TLV, after which it reads as empty and takes a message as any other.
TEST(SimTagRoundTrip, FormatterMakesABlankType2TagNdefReady)
{
    for (size_t size : {144u, 504u, 888u}) {
        auto blank = std::make_shared<sim::SimType2Tag>(sim::SimType2Tag::blankTag(Uid, size, {}));
        const SimTag tag = type2(blank, FastRead);
        EXPECT_EQ(tag.read(), "not read: no NDEF capability container (byte 0 is 00, E1 expected)") << size;
        EXPECT_EQ(tag.write(uriMessage("https://example.org")).first, TagWriteOutcome::InvalidTag) << size;

        Type2TagWriter formatter = Type2TagWriter::formatter(size, FastRead);
        drive(formatter, tag.card);
        ASSERT_EQ(formatter.outcome(), TagWriteOutcome::Written) << size << ": " << formatter.report();
        EXPECT_EQ(hex(Bytes(blank->memory().begin() + 12, blank->memory().begin() + 16)),
                  "E110" + hex({static_cast<uint8_t>(size / 8)}) + "00")
            << size;
        EXPECT_EQ(tag.read(), "empty") << size;

        // Without control TLVs the whole data area but the NDEF TLV's header is the capacity.
        const Bytes filling = messageOfLength(size <= 256 ? size - 2 : size - 4);
        const auto written = tag.write(filling);
        EXPECT_EQ(written.first, TagWriteOutcome::Written) << size << ": " << written.second;
        EXPECT_EQ(tag.read(), hex(filling)) << size;
    }
}
