// The DER pieces the signer check reads itself: element headers and the time-stamp token's
// TSTInfo, from a token a time-stamp authority made and from variants built field by field.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NfcDerReader.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string &hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

Bytes element(uint8_t tag, const Bytes &content)
{
    Bytes out{tag};
    if (content.size() < 0x80) {
        out.push_back(static_cast<uint8_t>(content.size()));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(content.size() >> 8));
        out.push_back(static_cast<uint8_t>(content.size()));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

// A TSTInfo made by the build's time-stamp authority for 2020-06-01 00:00:00 UTC (SHA-256
// imprint, accuracy, ordering, nonce).
const char AuthorityToken[] =
    "306E02010106042A0304013031300D060960864801650304020105000420AECF4E8371DB7754DD88F3CC00D924E2EBC60C6C4A32CE"
    "0FB4A7E0F01F77571402090088D0A0AF0B5595CD180F32303230303630313030303030305A300A020101800201F4810164020841CA"
    "21D11A527E9C";

const Bytes Sha256Oid = fromHex("608648016503040201");

// A TSTInfo from its fields; the defaults make a valid one.
struct Fields {
    Bytes version = element(0x02, {0x01});
    Bytes algorithm = element(0x30, concat({element(0x06, Sha256Oid), element(0x05, {})}));
    Bytes imprint = element(0x04, Bytes(32, 0xAB));
    std::string time = "20240229235958.5Z";
    Bytes tail;  // optional fields after genTime
    Bytes build() const
    {
        return element(0x30, concat({version, element(0x06, {0x2A, 0x03}), element(0x30, concat({algorithm, imprint})),
                                     element(0x02, {0x07}), element(0x18, text(time)), tail}));
    }
};

TEST(TimeStampInfo, TheAuthoritysTokenGivesItsImprintAndTime)
{
    const Bytes token = fromHex(AuthorityToken);
    NfcDer::TimeStampInfo info;
    ASSERT_TRUE(NfcDer::parseTimeStampInfo(token.data(), token.size(), info));
    EXPECT_EQ(info.imprintAlgorithm, "2.16.840.1.101.3.4.2.1");
    EXPECT_EQ(info.imprint, fromHex("AECF4E8371DB7754DD88F3CC00D924E2EBC60C6C4A32CE0FB4A7E0F01F775714"));
    const NfcDer::UtcTime &t = info.time;
    EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds}),
              (std::vector<int>{2020, 6, 1, 0, 0, 0, 0}));
}

TEST(TimeStampInfo, OnlyAWellFormedTokenWithAValidUtcTimeIsRead)
{
    struct Case {
        const char *what;
        Fields fields;
        bool read;
    };
    auto with = [](auto change) {
        Fields f;
        change(f);
        return f;
    };
    const Case cases[] = {
        {"leap day, fraction", Fields(), true},
        {"algorithm without parameters", with([](Fields &f) { f.algorithm = element(0x30, element(0x06, Sha256Oid)); }),
         true},
        {"optional fields after the time", with([](Fields &f) { f.tail = element(0x02, {0x01, 0x02}); }), true},
        {"version 2", with([](Fields &f) { f.version = element(0x02, {0x02}); }), false},
        {"empty imprint", with([](Fields &f) { f.imprint = element(0x04, {}); }), false},
        {"imprint not an octet string", with([](Fields &f) { f.imprint = element(0x03, Bytes(32, 1)); }), false},
        {"29 February of a common year", with([](Fields &f) { f.time = "20230229000000Z"; }), false},
        {"29 February 2100", with([](Fields &f) { f.time = "21000229000000Z"; }), false},
        {"29 February 2000", with([](Fields &f) { f.time = "20000229000000Z"; }), true},
        {"local time (no Z)", with([](Fields &f) { f.time = "20200601000000"; }), false},
        {"offset instead of Z", with([](Fields &f) { f.time = "20200601000000+0100"; }), false},
        {"empty fraction", with([](Fields &f) { f.time = "20200601000000.Z"; }), false},
        {"hour 24", with([](Fields &f) { f.time = "20200601240000Z"; }), false},
        {"month 13", with([](Fields &f) { f.time = "20201301000000Z"; }), false},
        {"letter in the date", with([](Fields &f) { f.time = "2020O601000000Z"; }), false},
        {"minutes only", with([](Fields &f) { f.time = "202006010000Z"; }), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes token = c.fields.build();
        NfcDer::TimeStampInfo info;
        EXPECT_EQ(NfcDer::parseTimeStampInfo(token.data(), token.size(), info), c.read);
    }
    const Bytes leap = Fields().build();
    NfcDer::TimeStampInfo info;
    ASSERT_TRUE(NfcDer::parseTimeStampInfo(leap.data(), leap.size(), info));
    EXPECT_EQ((std::vector<int>{info.time.year, info.time.month, info.time.day, info.time.hour, info.time.minute,
                                info.time.second, info.time.milliseconds}),
              (std::vector<int>{2024, 2, 29, 23, 59, 58, 500}));
}

TEST(TimeStampInfo, ATokenCutShortOrFollowedByBytesIsNotRead)
{
    const Bytes token = fromHex(AuthorityToken);
    for (size_t size = 0; size < token.size(); ++size) {
        NfcDer::TimeStampInfo info;
        EXPECT_FALSE(NfcDer::parseTimeStampInfo(token.data(), size, info)) << size << " bytes";
    }
    Bytes longer = token;
    longer.push_back(0);
    NfcDer::TimeStampInfo info;
    EXPECT_FALSE(NfcDer::parseTimeStampInfo(longer.data(), longer.size(), info));
}

TEST(DerElement, HeadersOfEachLengthFormAndTheOnesRefused)
{
    struct Case {
        const char *hex;
        bool read;
        size_t header;
        size_t length;
    };
    const Case cases[] = {
        {"0400", true, 2, 0},
        {"300301020300", true, 2, 3},          // trailing byte outside the element
        {"04810100", true, 3, 1},
        {"0482000100", true, 4, 1},
        {"0480", false, 0, 0},                 // indefinite length
        {"0485000000000100", false, 0, 0},     // five length bytes
        {"1F0100", false, 0, 0},               // multi-byte tag
        {"0402AA", false, 0, 0},               // content past the end
        {"0482", false, 0, 0},                 // length bytes missing
        {"04", false, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hex);
        const Bytes bytes = fromHex(c.hex);
        NfcDer::Element e;
        ASSERT_EQ(NfcDer::readElement(bytes.data(), bytes.size(), e), c.read);
        if (c.read) {
            EXPECT_EQ(e.content - bytes.data(), static_cast<ptrdiff_t>(c.header));
            EXPECT_EQ(e.length, c.length);
            EXPECT_EQ(e.size, c.header + c.length);
        }
    }
    // contentOf wants the element to fill its input.
    const Bytes whole = fromHex("3003020105");
    const uint8_t *content = nullptr;
    size_t length = 0;
    ASSERT_TRUE(NfcDer::contentOf(whole.data(), whole.size(), content, length));
    EXPECT_EQ(Bytes(content, content + length), fromHex("020105"));
    const Bytes more = fromHex("300302010500");
    EXPECT_FALSE(NfcDer::contentOf(more.data(), more.size(), content, length));
}

TEST(DerElement, ObjectIdentifiersInDottedForm)
{
    EXPECT_EQ(NfcDer::objectIdentifier(Sha256Oid.data(), Sha256Oid.size()), "2.16.840.1.101.3.4.2.1");
    const Bytes microsoft = fromHex("2B060104018237030301");
    EXPECT_EQ(NfcDer::objectIdentifier(microsoft.data(), microsoft.size()), "1.3.6.1.4.1.311.3.3.1");
    const Bytes unfinished = fromHex("2B06018237");  // a two-byte arc
    EXPECT_EQ(NfcDer::objectIdentifier(unfinished.data(), unfinished.size()), "1.3.6.1.311");
    const Bytes open = fromHex("2B0682");
    EXPECT_EQ(NfcDer::objectIdentifier(open.data(), open.size()), "");
    EXPECT_EQ(NfcDer::objectIdentifier(nullptr, 0), "");
}

}  // namespace
