// TagSession: the tag kind a target information record describes, and identify, read, write and
// format of each kind against the in-memory tags and the simulator's tag models, with the
// refusals (read-only, too large, not NDEF formatted, refused commands, no answer) and the choice
// between READ and FAST_READ on Type 2 Tags.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "korvat_nfc.h"
#include "MemoryTags.h"
#include "NdefBuilder.h"
#include "SimType2Tag.h"
#include "SimType3Tag.h"
#include "SimType4Tag.h"
#include "TagSession.h"
#include "TestMessages.h"

using namespace korvat_test;

namespace {

// ---------------------------------------------------------------------------------------------
// Target information records, built field by field from the header's layouts
// ---------------------------------------------------------------------------------------------

template <class Record>
Bytes recordBytes(const Record &record, size_t variableSize)
{
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&record);
    return Bytes(p, p + sizeof(Record) - 1 + variableSize);
}

Bytes recordA(uint8_t selRes, const Bytes &ats, uint8_t nfcid1Size = 7)
{
    std::vector<uint8_t> storage(sizeof(DEVICE_DATA_NFC_14443A_18092_106K) + ats.size());
    auto *a = reinterpret_cast<DEVICE_DATA_NFC_14443A_18092_106K *>(storage.data());
    a->target_device = DEVICE_TYPE_NFC_14443A_18092_106K;
    a->target_number = 1;
    a->sens_res = 0x4400;
    a->sel_res = selRes;
    a->NFCID1_size = nfcid1Size;
    std::memset(a->NFCID1, 0x04, sizeof(a->NFCID1));
    a->ATS_size = static_cast<uint8_t>(ats.size());
    std::copy(ats.begin(), ats.end(), a->ATS);
    return Bytes(storage.begin(), storage.begin() + KORVAT_NFC_14443A_RECORD_SIZE(ats.size()));
}

Bytes recordB(const Bytes &attrib)
{
    std::vector<uint8_t> storage(sizeof(DEVICE_DATA_NFC_14443B_106K) + attrib.size());
    auto *b = reinterpret_cast<DEVICE_DATA_NFC_14443B_106K *>(storage.data());
    b->target_device = DEVICE_TYPE_NFC_14443B_106K;
    b->target_number = 2;
    std::memset(b->ATQB, 0x50, sizeof(b->ATQB));
    b->ATTRIB_size = static_cast<uint8_t>(attrib.size());
    std::copy(attrib.begin(), attrib.end(), b->ATTRIB);
    return Bytes(storage.begin(), storage.begin() + KORVAT_NFC_14443B_RECORD_SIZE(attrib.size()));
}

Bytes recordF(uint32_t device, const Bytes &nfcid2, const Bytes &rd)
{
    std::vector<uint8_t> storage(sizeof(DEVICE_DATA_NFC_18092_212_424K) + rd.size());
    auto *f = reinterpret_cast<DEVICE_DATA_NFC_18092_212_424K *>(storage.data());
    f->target_device = device;
    f->id = 1;
    f->target_number = 3;
    std::memcpy(f->NFCID2, nfcid2.data(), 8);
    std::memset(f->Pad, 0xFF, sizeof(f->Pad));
    f->RD_size = static_cast<uint8_t>(rd.size());
    std::copy(rd.begin(), rd.end(), f->RD);
    return Bytes(storage.begin(), storage.begin() + KORVAT_NFC_18092_RECORD_SIZE(rd.size()));
}

Bytes withWord(Bytes record, uint32_t device)
{
    std::memcpy(record.data(), &device, 4);
    return record;
}

Bytes cut(Bytes record, size_t less)
{
    record.resize(record.size() - less);
    return record;
}

const char *statusName(TagStatus status)
{
    switch (status) {
    case TagStatus::Ok: return "Ok";
    case TagStatus::InvalidArgument: return "InvalidArgument";
    case TagStatus::UnsupportedTarget: return "UnsupportedTarget";
    case TagStatus::NotNdefFormatted: return "NotNdefFormatted";
    case TagStatus::ReadOnly: return "ReadOnly";
    case TagStatus::TooLarge: return "TooLarge";
    case TagStatus::Refused: return "Refused";
    case TagStatus::InvalidTag: return "InvalidTag";
    default: return "ExchangeFailed";
    }
}

// ---------------------------------------------------------------------------------------------
// A link in front of a card: GET_VERSION answered or not, answers longer than the link carries
// lost, every command kept.
// ---------------------------------------------------------------------------------------------

const Bytes NtagVersion = unhex("0004040201000F03");      // vendor 04, product type 04 (144 bytes)
const Bytes OtherVersion = unhex("0004030101000B03");     // vendor 04, product type 03: no FAST_READ

struct Link {
    explicit Link(std::function<Bytes(const Bytes &)> card_, Bytes version_ = {}, size_t largestAnswer_ = 100000)
        : card(std::move(card_)), version(std::move(version_)), largestAnswer(largestAnswer_)
    {
    }

    std::function<Bytes(const Bytes &)> card;
    Bytes version;                  // empty: GET_VERSION gets no answer
    size_t largestAnswer = 100000;  // longer answers are lost (the exchange fails)
    std::vector<Bytes> sent;

    TagSession::Exchange exchange()
    {
        return [this](const Bytes &command, Bytes &response) {
            sent.push_back(command);
            if (command == Bytes{0x60}) {
                response = version;
                return !version.empty();
            }
            response = card(command);
            return response.size() <= largestAnswer;
        };
    }
};

template <class Card>
std::function<Bytes(const Bytes &)> by(Card &card)
{
    return [&card](const Bytes &command) { return card(command); };
}

TagTarget targetOf(TagKind kind, const Bytes &idm = Bytes())
{
    TagTarget target;
    target.kind = kind;
    target.idm = idm;
    return target;
}

std::string identityText(const TagIdentity &id)
{
    return "type " + std::to_string(static_cast<unsigned>(id.kind)) + ", capacity " + std::to_string(id.capacity) +
           (id.writable ? ", writable" : ", read-only") + (id.ndefPresent ? ", NDEF" : ", no NDEF") + ", message " +
           std::to_string(id.messageSize);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Target information records
// ---------------------------------------------------------------------------------------------

TEST(TagSession, TheRecordTellsTheTagKindAndEverySizeIsChecked)
{
    const Bytes idm = unhex("012E4C5D6E7F8091");
    const Bytes f212 = recordF(DEVICE_TYPE_NFC_18092_212K, idm, unhex("12FC"));
    struct Case {
        const char *what;
        Bytes record;
        TagStatus status;
        TagKind kind;
    } cases[] = {
        {"A, SEL_RES 00, no ATS", recordA(0x00, {}), TagStatus::Ok, TagKind::Type2},
        {"A, SEL_RES 20, no ATS", recordA(0x20, {}), TagStatus::Ok, TagKind::Type4},
        {"A, SEL_RES 00 with an ATS", recordA(0x00, unhex("0578807002")), TagStatus::Ok, TagKind::Type4},
        {"A, SEL_RES 08 (other bits only)", recordA(0x08, {}), TagStatus::Ok, TagKind::Type2},
        {"B", recordB(unhex("10")), TagStatus::Ok, TagKind::Type4},
        {"F 212", f212, TagStatus::Ok, TagKind::Type3},
        {"F 424", recordF(DEVICE_TYPE_NFC_18092_424K, idm, {}), TagStatus::Ok, TagKind::Type3},
        {"A with bytes beyond the record", [] { Bytes r = recordA(0x00, {}); r.resize(300, 0xEE); return r; }(),
         TagStatus::Ok, TagKind::Type2},
        {"A cut in its fixed part", cut(recordA(0x00, {}), 1), TagStatus::InvalidArgument, TagKind::Unknown},
        {"A cut in its ATS", cut(recordA(0x00, unhex("0578807002")), 1), TagStatus::InvalidArgument, TagKind::Unknown},
        {"A with NFCID1_size 11", recordA(0x00, {}, 11), TagStatus::InvalidArgument, TagKind::Unknown},
        {"B cut in its ATTRIB", cut(recordB(unhex("10")), 1), TagStatus::InvalidArgument, TagKind::Unknown},
        {"F cut before RD_size", cut(recordF(DEVICE_TYPE_NFC_18092_212K, idm, {}), 1), TagStatus::InvalidArgument,
         TagKind::Unknown},
        {"F cut in its RD", cut(f212, 1), TagStatus::InvalidArgument, TagKind::Unknown},
        {"three bytes", unhex("010000"), TagStatus::InvalidArgument, TagKind::Unknown},
        {"no bytes", {}, TagStatus::InvalidArgument, TagKind::Unknown},
        {"target_device 3 (two kinds at once)", withWord(f212, 3), TagStatus::UnsupportedTarget, TagKind::Unknown},
        {"target_device 16", withWord(recordA(0x00, {}), 16), TagStatus::UnsupportedTarget, TagKind::Unknown},
    };
    for (const Case &c : cases) {
        TagTarget target;
        std::string error;
        const TagStatus status = TagSession::parseTarget(c.record.data(), c.record.size(), target, error);
        EXPECT_STREQ(statusName(status), statusName(c.status)) << c.what << ": " << error;
        EXPECT_EQ(target.kind, c.kind) << c.what;
        EXPECT_EQ(status == TagStatus::Ok, error.empty()) << c.what << ": " << error;
        EXPECT_EQ(hex(target.idm), c.kind == TagKind::Type3 ? hex(idm) : "") << c.what;
    }
}

// ---------------------------------------------------------------------------------------------
// Identify, read, write, read back
// ---------------------------------------------------------------------------------------------

namespace {

struct RoundTripCase {
    const char *what;
    TagTarget target;
    std::function<Bytes(const Bytes &)> card;  // owns its tag
    Bytes version;
    TagIdentity identity;  // expected before the write
    Bytes before;
    Bytes written;
};

template <class Tag>
std::function<Bytes(const Bytes &)> owning(Tag tag)
{
    auto shared = std::make_shared<Tag>(tag);
    return [shared](const Bytes &command) { return (*shared)(command); };
}

TagIdentity identity(TagKind kind, size_t capacity, bool writable, bool ndef, size_t message)
{
    TagIdentity id;
    id.kind = kind;
    id.capacity = capacity;
    id.writable = writable;
    id.ndefPresent = ndef;
    id.messageSize = message;
    return id;
}

std::vector<RoundTripCase> roundTripCases()
{
    const Bytes old12 = unhex("D50009010203040506070809");
    const Bytes uri = uriMessage("https://www.example.com/a/rather/long/path");
    const Bytes long300 = textMessage(290);
    const Bytes idm = unhex("0102030405060708");
    return {
        // 144-byte data area, NDEF TLV first: 2 bytes of T and L, at most 254 bytes of value.
        {"Type 2 without GET_VERSION, READ", targetOf(TagKind::Type2), owning(type2Tag(144, "030C" + hex(old12) + "FE")),
         {}, identity(TagKind::Type2, 144 - 2, true, true, 12), old12, uri},
        {"Type 2 answering GET_VERSION as an NTAG, FAST_READ", targetOf(TagKind::Type2),
         owning(type2Tag(504, "030C" + hex(old12) + "FE")), NtagVersion,
         identity(TagKind::Type2, 504 - 4, true, true, 12), old12, long300},
        {"Type 2 initialised and empty", targetOf(TagKind::Type2), owning(type2Tag(48, "0300FE")), OtherVersion,
         identity(TagKind::Type2, 48 - 2, true, true, 0), {}, uri},
        {"Type 3, Nbr 4", targetOf(TagKind::Type3, idm), owning(type3Tag(4, 1, 24, 0x01, old12)), {},
         identity(TagKind::Type3, 24 * 16, true, true, 12), old12, long300},
        {"Type 4, a 512-byte NDEF file", targetOf(TagKind::Type4), owning(type4Tag(0x80, 512, 0x00, old12)), {},
         identity(TagKind::Type4, 512 - 2, true, true, 12), old12, long300},
        {"Type 4 initialised and empty", targetOf(TagKind::Type4), owning(type4Tag(0x80, 64, 0x00, {})), {},
         identity(TagKind::Type4, 64 - 2, true, true, 0), {}, uri},
    };
}

}  // namespace

TEST(TagSession, EachKindIsIdentifiedReadWrittenAndReadBack)
{
    for (const RoundTripCase &c : roundTripCases()) {
        Link link(c.card, c.version);
        TagSession session(c.target, link.exchange());
        TagIdentity id;
        ASSERT_EQ(session.identify(id), TagStatus::Ok) << c.what << ": " << session.report();
        EXPECT_EQ(identityText(id), identityText(c.identity)) << c.what;
        Bytes message;
        ASSERT_EQ(session.readNdef(message), TagStatus::Ok) << c.what << ": " << session.report();
        EXPECT_EQ(hex(message), hex(c.before)) << c.what;
        ASSERT_EQ(session.writeNdef(c.written), TagStatus::Ok) << c.what << ": " << session.report();
        // A new session: nothing of the first one is remembered.
        Link again(c.card, c.version);
        TagSession reader(c.target, again.exchange());
        ASSERT_EQ(reader.readNdef(message), TagStatus::Ok) << c.what << ": " << reader.report();
        EXPECT_EQ(hex(message), hex(c.written)) << c.what;
        ASSERT_EQ(reader.identify(id), TagStatus::Ok) << c.what;
        EXPECT_EQ(id.messageSize, c.written.size()) << c.what;
        EXPECT_EQ(session.commandsSent(), link.sent.size()) << c.what;
        // An empty message leaves the tag initialised and empty.
        ASSERT_EQ(reader.writeNdef({}), TagStatus::Ok) << c.what << ": " << reader.report();
        ASSERT_EQ(reader.readNdef(message), TagStatus::Ok) << c.what;
        EXPECT_EQ(hex(message), "") << c.what;
    }
}

TEST(TagSession, ReadOnlyTagsAndMessagesPastTheCapacityAreRefusedAndTheTagKeepsItsMessage)
{
    const Bytes old12 = unhex("D50009010203040506070809");
    const std::string t2 = "030C" + hex(old12) + "FE";
    const Bytes idm = unhex("0102030405060708");
    struct Case {
        const char *what;
        TagTarget target;
        std::function<Bytes(const Bytes &)> card;
        Bytes message;
        TagStatus status;
    } cases[] = {
        {"Type 2, CC write access 0F", targetOf(TagKind::Type2), owning(type2Tag(144, t2, "0000", "0F")),
         uriMessage("tel:1"), TagStatus::ReadOnly},
        {"Type 2, static lock bit of page 4", targetOf(TagKind::Type2), owning(type2Tag(144, t2, "1000")),
         uriMessage("tel:1"), TagStatus::ReadOnly},
        {"Type 2, one byte past the capacity", targetOf(TagKind::Type2), owning(type2Tag(48, t2)), textMessage(40),
         TagStatus::TooLarge},
        {"Type 3, RWFlag 00", targetOf(TagKind::Type3, idm), owning(type3Tag(4, 1, 8, 0x00, old12)),
         uriMessage("tel:1"), TagStatus::ReadOnly},
        {"Type 3, one byte past Nmaxb blocks", targetOf(TagKind::Type3, idm), owning(type3Tag(4, 2, 2, 0x01, old12)),
         textMessage(26), TagStatus::TooLarge},
        {"Type 4, write access FF", targetOf(TagKind::Type4), owning(type4Tag(16, 128, 0xFF, old12)),
         uriMessage("tel:1"), TagStatus::ReadOnly},
        {"Type 4, one byte past the NDEF file", targetOf(TagKind::Type4), owning(type4Tag(64, 64, 0x00, old12)),
         textMessage(56), TagStatus::TooLarge},
    };
    for (const Case &c : cases) {
        Link link(c.card);
        TagSession session(c.target, link.exchange());
        TagIdentity id;
        ASSERT_EQ(session.identify(id), TagStatus::Ok) << c.what << ": " << session.report();
        EXPECT_EQ(id.writable, c.status != TagStatus::ReadOnly) << c.what;
        EXPECT_STREQ(statusName(session.writeNdef(c.message)), statusName(c.status)) << c.what << ": " << session.report();
        // TooLarge names the capacity identify gave, and it is below the message's size.
        EXPECT_EQ(session.detail(), c.status == TagStatus::TooLarge ? id.capacity : 0u) << c.what;
        EXPECT_LT(id.capacity, c.status == TagStatus::TooLarge ? c.message.size() : SIZE_MAX) << c.what;
        Bytes message;
        ASSERT_EQ(session.readNdef(message), TagStatus::Ok) << c.what;
        EXPECT_EQ(hex(message), hex(old12)) << c.what;
    }
}

TEST(TagSession, RefusedCommandsAndLostAnswersEndTheOperationWithTheirDetail)
{
    const Bytes idm = unhex("0102030405060708");
    MemoryType2Tag t2 = type2Tag(144, "0300FE");
    MemoryType3Tag t3 = type3Tag(4, 1, 8, 0x01, {});
    MemoryType4Tag t4 = type4Tag(16, 128, 0x00, {});
    struct Case {
        const char *what;
        TagTarget target;
        std::function<Bytes(const Bytes &)> card;
        std::function<bool(const Bytes &)> lost;  // commands whose answer is lost
        TagStatus status;
        uint32_t detail;
    } cases[] = {
        {"Type 2: page 5 NAKs its WRITE", targetOf(TagKind::Type2),
         [&](const Bytes &c) { return c[0] == 0xA2 && c[1] == 5 ? Bytes{0x01} : t2(c); }, nullptr, TagStatus::Refused,
         0x01},
        {"Type 2: a READ NAKed", targetOf(TagKind::Type2),
         [&](const Bytes &c) { return c[0] == 0x30 ? Bytes{0x04} : t2(c); }, nullptr, TagStatus::Refused, 0x04},
        {"Type 2: the WRITE's answer is lost", targetOf(TagKind::Type2), by(t2),
         [](const Bytes &c) { return c[0] == 0xA2; }, TagStatus::ExchangeFailed, 0},
        {"Type 3: the data write refused", targetOf(TagKind::Type3, idm),
         [&](const Bytes &c) {
             Bytes a = t3(c);
             if (c[1] == 0x08 && c[14 + 1] != 0x00) {
                 a[10] = 0xFF;
                 a[11] = 0x70;
             }
             return a;
         },
         nullptr, TagStatus::Refused, 0xFF70},
        {"Type 3: no answer at all", targetOf(TagKind::Type3, idm), by(t3), [](const Bytes &) { return true; },
         TagStatus::ExchangeFailed, 0},
        {"Type 4: UPDATE BINARY refused", targetOf(TagKind::Type4),
         [&](const Bytes &c) { return c[1] == 0xD6 ? unhex("6581") : t4(c); }, nullptr, TagStatus::Refused, 0x6581},
    };
    for (const Case &c : cases) {
        TagSession session(c.target, [&](const Bytes &command, Bytes &response) {
            response = c.card(command);
            return command != Bytes{0x60} && !(c.lost && c.lost(command));
        });
        EXPECT_STREQ(statusName(session.writeNdef(uriMessage("https://www.example.com/a/rather/long/path"))),
                     statusName(c.status))
            << c.what << ": " << session.report();
        EXPECT_EQ(session.detail(), c.detail) << c.what;
        EXPECT_FALSE(session.report().empty()) << c.what;
    }
}

// ---------------------------------------------------------------------------------------------
// Tags without NDEF, and making them NDEF-ready
// ---------------------------------------------------------------------------------------------

TEST(TagSession, TagsWithoutNdefAreIdentifiedAsSuchAndFormattedWhereTheyAllowIt)
{
    MemoryType2Tag blank = type2Tag(144, "");
    std::fill(blank.memory.begin() + 12, blank.memory.begin() + 16, 0x00);
    MemoryType2Tag blankLocked = blank;
    blankLocked.memory[10] = 0x08;  // the CC page
    const Bytes idm = unhex("0102030405060708");
    MemoryType3Tag noService;  // no blocks: every read is refused with status flags 01 A8
    const auto noApplication = [](const Bytes &) { return unhex("6A82"); };
    struct Case {
        const char *what;
        TagTarget target;
        std::function<Bytes(const Bytes &)> card;
        Bytes version;
        bool writable;           // identify: can be made NDEF-ready
        uint32_t readDetail;     // of NotNdefFormatted
        TagStatus format;
        size_t capacityAfter;    // identify after format
    } cases[] = {
        {"blank Type 2 that names its size", targetOf(TagKind::Type2), owning(blank), NtagVersion, true, 0, TagStatus::Ok,
         144 - 2},
        {"blank Type 2 that does not answer GET_VERSION: the smallest size", targetOf(TagKind::Type2), owning(blank), {},
         true, 0, TagStatus::Ok, 48 - 2},
        {"blank Type 2 with its CC page locked", targetOf(TagKind::Type2), owning(blankLocked), NtagVersion, false, 0,
         TagStatus::ReadOnly, 0},
        {"Type 3 without the NDEF service", targetOf(TagKind::Type3, idm), owning(noService), {}, false, 0x01A8,
         TagStatus::UnsupportedTarget, 0},
        {"Type 4 without the NDEF application", targetOf(TagKind::Type4), noApplication, {}, false, 0x6A82,
         TagStatus::NotNdefFormatted, 0},
    };
    for (const Case &c : cases) {
        Link link(c.card, c.version);
        TagSession session(c.target, link.exchange());
        TagIdentity id;
        ASSERT_EQ(session.identify(id), TagStatus::Ok) << c.what << ": " << session.report();
        EXPECT_EQ(identityText(id), identityText(identity(c.target.kind, 0, c.writable, false, 0))) << c.what;
        Bytes message;
        EXPECT_STREQ(statusName(session.readNdef(message)), "NotNdefFormatted") << c.what;
        EXPECT_EQ(session.detail(), c.readDetail) << c.what;
        EXPECT_STREQ(statusName(session.writeNdef(uriMessage("tel:1"))), "NotNdefFormatted") << c.what;
        EXPECT_STREQ(statusName(session.format()), statusName(c.format)) << c.what << ": " << session.report();
        if (c.format == TagStatus::Ok) {
            ASSERT_EQ(session.identify(id), TagStatus::Ok) << c.what;
            EXPECT_EQ(identityText(id), identityText(identity(c.target.kind, c.capacityAfter, true, true, 0))) << c.what;
            ASSERT_EQ(session.writeNdef(uriMessage("tel:1")), TagStatus::Ok) << c.what << ": " << session.report();
            ASSERT_EQ(session.readNdef(message), TagStatus::Ok) << c.what;
            EXPECT_EQ(hex(message), hex(uriMessage("tel:1"))) << c.what;
        }
    }
}

TEST(TagSession, FormattingATagThatIsNdefReadyKeepsType2MessagesAndClearsType4Ones)
{
    const Bytes old12 = unhex("D50009010203040506070809");
    struct Case {
        const char *what;
        TagTarget target;
        std::function<Bytes(const Bytes &)> card;
        Bytes after;
    } cases[] = {
        {"Type 2", targetOf(TagKind::Type2), owning(type2Tag(144, "030C" + hex(old12) + "FE")), old12},
        {"Type 4", targetOf(TagKind::Type4), owning(type4Tag(16, 128, 0x00, old12)), {}},
    };
    for (const Case &c : cases) {
        Link link(c.card);
        TagSession session(c.target, link.exchange());
        ASSERT_EQ(session.format(), TagStatus::Ok) << c.what << ": " << session.report();
        Bytes message;
        ASSERT_EQ(session.readNdef(message), TagStatus::Ok) << c.what;
        EXPECT_EQ(hex(message), hex(c.after)) << c.what;
    }
    Link readOnly(owning(type4Tag(16, 128, 0xFF, old12)));
    TagSession session(targetOf(TagKind::Type4), readOnly.exchange());
    EXPECT_STREQ(statusName(session.format()), "ReadOnly");
}

// ---------------------------------------------------------------------------------------------
// READ or FAST_READ
// ---------------------------------------------------------------------------------------------

TEST(TagSession, Type2TagsOfTheFastReadFamilyAreReadInFramesOfAtMost240Bytes)
{
    const Bytes message = textMessage(480);  // 3-byte length: the whole 504-byte data area is read
    MemoryType2Tag tag = type2Tag(504, "03FF" + hex({static_cast<uint8_t>(message.size() >> 8),
                                                      static_cast<uint8_t>(message.size())}) + hex(message) + "FE");
    struct Case {
        const char *what;
        Bytes version;
        size_t linkCarries;  // longest answer the link passes
        size_t fastReadBytes;  // longest FAST_READ answer after the last lost one (0: READ only)
        size_t lostFastReads;
    } cases[] = {
        {"NTAG-like: FAST_READ of 240 bytes", NtagVersion, 100000, 240, 0},
        {"NTAG-like behind a 130-byte link: one lost FAST_READ, then 120 bytes", NtagVersion, 130, 120, 1},
        {"NTAG-like behind a 64-byte link: 120 bytes lost too, then 60", NtagVersion, 64, 60, 2},
        {"another product type: READ", OtherVersion, 100000, 0, 0},
        {"no answer to GET_VERSION: READ", {}, 100000, 0, 0},
    };
    for (const Case &c : cases) {
        Link link(by(tag), c.version, c.linkCarries);
        TagSession session(targetOf(TagKind::Type2), link.exchange());
        Bytes read;
        ASSERT_EQ(session.readNdef(read), TagStatus::Ok) << c.what << ": " << session.report();
        EXPECT_EQ(hex(read), hex(message)) << c.what;
        // The header first: GET_VERSION only once its capability container shows a large tag.
        ASSERT_GT(link.sent.size(), 2u);
        EXPECT_EQ(hex(link.sent[0]), "3000") << c.what;
        EXPECT_EQ(hex(link.sent[1]), "60") << c.what;
        size_t longest = 0, lost = 0;
        for (size_t i = 2; i < link.sent.size(); ++i) {
            const Bytes &command = link.sent[i];
            if (c.fastReadBytes == 0) {
                EXPECT_EQ(command[0], 0x30) << c.what << ": " << hex(command);
                continue;
            }
            if (i + 1 == link.sent.size() && command[0] == 0x30) {
                continue;  // the last four pages or fewer: READ carries them as well
            }
            ASSERT_EQ(command[0], 0x3A) << c.what << ": " << hex(command);
            const size_t bytes = (command[2] - command[1] + 1) * 4u;
            EXPECT_LE(bytes, 240u) << c.what;
            if (bytes > c.linkCarries) {
                ++lost;
                longest = 0;
            } else {
                longest = std::max(longest, bytes);
            }
        }
        EXPECT_EQ(longest, c.fastReadBytes) << c.what;
        EXPECT_EQ(lost, c.lostFastReads) << c.what;
        EXPECT_EQ(session.type2Options().fastRead, c.fastReadBytes != 0) << c.what;
    }
    EXPECT_EQ(TagSession::blankType2DataSize(unhex("0004040201001103")), 504u);
    EXPECT_EQ(TagSession::blankType2DataSize(unhex("0004040201001303")), 888u);
    EXPECT_EQ(TagSession::blankType2DataSize(unhex("0004040201007703")), 48u);
}

// ---------------------------------------------------------------------------------------------
// The simulator's tag models
// ---------------------------------------------------------------------------------------------

TEST(TagSession, Type2TagsWithoutGetVersionThatFallSilentOnItAreIdentifiedReadWrittenAndFormatted)
{
    const Bytes uid = unhex("04A1B2C3D4E5F6");
    const Bytes before = uriMessage("https://example.com");
    const Bytes after = uriMessage("https://example.org/written");
    // The strict tags of the simulator (GET_VERSION, FAST_READ or a NAK put them to sleep until
    // the next activation, which never comes within a session), and for contrast the same tags
    // that know GET_VERSION.
    struct Case {
        const char *what;
        size_t size;
        bool strict;
        bool versionAsked;  // whether the session asks GET_VERSION (once)
    } cases[] = {
        {"strict, 144 bytes", 144, true, false},
        {"knows GET_VERSION, 144 bytes: READ is enough", 144, false, false},
        {"knows GET_VERSION, 504 bytes: asked for FAST_READ", 504, false, true},
    };
    for (const Case &c : cases) {
        sim::SimType2Tag tag(uid, c.size, before, false, {});
        tag.setStrict(c.strict);
        std::vector<Bytes> sent;
        const auto exchange = [&](const Bytes &command, Bytes &response) {
            sent.push_back(command);
            return tag.answer(command.data(), command.size(), response);
        };
        const auto run = [&](const std::function<TagStatus(TagSession &)> &operation) {
            tag.reset();  // each operation of the library begins with a newly activated target
            TagSession session(targetOf(TagKind::Type2), exchange);
            const TagStatus status = operation(session);
            EXPECT_STREQ(statusName(status), "Ok") << c.what << ": " << session.report();
        };
        TagIdentity id;
        run([&](TagSession &s) { return s.identify(id); });
        EXPECT_EQ(identityText(id), identityText(identity(TagKind::Type2, sim::SimType2Tag::ndefCapacity(c.size),
                                                          true, true, before.size())))
            << c.what;
        Bytes read;
        run([&](TagSession &s) { return s.readNdef(read); });
        EXPECT_EQ(hex(read), hex(before)) << c.what;
        run([&](TagSession &s) { return s.writeNdef(after); });
        run([&](TagSession &s) { return s.readNdef(read); });
        EXPECT_EQ(hex(read), hex(after)) << c.what;
        run([&](TagSession &s) { return s.format(); });  // NDEF-ready already: kept
        run([&](TagSession &s) { return s.readNdef(read); });
        EXPECT_EQ(hex(read), hex(after)) << c.what;
        const size_t asked = static_cast<size_t>(std::count(sent.begin(), sent.end(), Bytes{0x60}));
        EXPECT_EQ(asked, c.versionAsked ? 6u : 0u) << c.what;
    }
}

TEST(TagSession, TheSimulatorsType2TagsOfEachSizeTakeAMessageThatFillsThemAndReadItBack)
{
    const Bytes uid = unhex("04A1B2C3D4E5F6");
    for (size_t size : {144u, 504u, 888u}) {
        const std::string what = std::to_string(size) + " bytes";
        sim::SimType2Tag tag(uid, size, uriMessage("https://example.com"), false, {});
        // The simulated reader's frame carries 130 bytes at most.
        const auto exchange = [&tag](const Bytes &command, Bytes &response) {
            return tag.answer(command.data(), command.size(), response) && response.size() <= 130;
        };
        TagSession session(targetOf(TagKind::Type2), exchange);
        TagIdentity id;
        ASSERT_EQ(session.identify(id), TagStatus::Ok) << what << ": " << session.report();
        EXPECT_EQ(identityText(id),
                  identityText(identity(TagKind::Type2, sim::SimType2Tag::ndefCapacity(size), true, true,
                                        uriMessage("https://example.com").size())))
            << what;
        // A Text record of the whole capacity: 1 header, 1 type length, 1 or 4 payload length,
        // 1 type, 1 status byte and 2 of language come before the text.
        size_t characters = id.capacity - 7;
        Bytes full = textMessage(characters);
        if (full.size() != id.capacity) {
            characters = id.capacity - 10;
            full = textMessage(characters);
        }
        ASSERT_EQ(full.size(), id.capacity) << what;
        ASSERT_EQ(session.writeNdef(full), TagStatus::Ok) << what << ": " << session.report();
        Bytes read;
        ASSERT_EQ(session.readNdef(read), TagStatus::Ok) << what << ": " << session.report();
        EXPECT_EQ(hex(read), hex(full)) << what;
        EXPECT_STREQ(statusName(session.writeNdef(textMessage(characters + 1))), "TooLarge") << what;
        EXPECT_EQ(session.detail(), id.capacity) << what;

        sim::SimType2Tag readOnly(uid, size, uriMessage("https://example.com"), true, {});
        TagSession refused(targetOf(TagKind::Type2), [&readOnly](const Bytes &command, Bytes &response) {
            return readOnly.answer(command.data(), command.size(), response) && response.size() <= 130;
        });
        EXPECT_STREQ(statusName(refused.writeNdef(full)), "ReadOnly") << what;
    }
}

TEST(TagSession, TheSimulatorsType3AndType4TagsAreIdentifiedAndRead)
{
    const Bytes message = uriMessage("https://example.org/sim");
    const Bytes idm = unhex("012E4C5D6E7F8091");
    sim::SimType3Tag t3(idm, unhex("03014B024F4993FF"), unhex("12FC"), message);
    sim::SimType4Tag t4(message);
    struct Case {
        const char *what;
        TagTarget target;
        TagSession::Exchange exchange;
    } cases[] = {
        {"Type 3", targetOf(TagKind::Type3, idm),
         [&](const Bytes &c, Bytes &r) { return t3.answer(c.data(), c.size(), r); }},
        {"Type 4", targetOf(TagKind::Type4),
         [&](const Bytes &c, Bytes &r) {
             r = t4.answer(c.data(), c.size());
             return true;
         }},
    };
    for (const Case &c : cases) {
        TagSession session(c.target, c.exchange);
        TagIdentity id;
        ASSERT_EQ(session.identify(id), TagStatus::Ok) << c.what << ": " << session.report();
        EXPECT_TRUE(id.ndefPresent) << c.what;
        EXPECT_EQ(id.messageSize, message.size()) << c.what;
        EXPECT_GE(id.capacity, message.size()) << c.what;
        Bytes read;
        ASSERT_EQ(session.readNdef(read), TagStatus::Ok) << c.what << ": " << session.report();
        EXPECT_EQ(hex(read), hex(message)) << c.what;
    }
}
