// Building NDEF messages (URI with the longest prefix, Text, MIME, any record) and walking them
// in place: what the builder writes, what it refuses, and that every message it writes parses
// back to the records it was given.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "HexText.h"
#include "NdefBuilder.h"
#include "NdefRecordIterator.h"

using korvat_test::hex;
using korvat_test::unhex;
using Bytes = std::vector<uint8_t>;

TEST(NdefBuilder, UriRecordsCarryTheLongestPrefixThatTheUriStartsWith)
{
    struct Case {
        std::string uri;
        std::string payload;  // identifier code, then the rest
    } cases[] = {
        {"https://www.example.com", "02" + hex({'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'c', 'o', 'm'})},
        {"https://example.com", "04" + hex({'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'c', 'o', 'm'})},
        {"http://www.a", "0161"},
        {"tel:+1", "052B31"},
        {"ftp://ftp.a", "0861"},          // not "ftp://" (0D)
        {"ftp://a", "0D61"},
        {"urn:epc:id:a", "1E61"},         // not "urn:epc:" (22) nor "urn:" (13)
        {"urn:nfc:a", "2361"},
        {"urn:x", "1378"},
        {"HTTPS://www.a", "00" + hex({'H', 'T', 'T', 'P', 'S', ':', '/', '/', 'w', 'w', 'w', '.', 'a'})},
        {"a", "0061"},
    };
    for (const Case &c : cases) {
        NdefBuilder builder;
        std::string error;
        ASSERT_TRUE(builder.addUri(c.uri, error)) << c.uri << ": " << error;
        const Bytes message = builder.message();
        EXPECT_EQ(hex(message), "D101" + hex({static_cast<uint8_t>(c.payload.size() / 2)}) + "55" + c.payload) << c.uri;
        std::vector<NdefRecord> records;
        ASSERT_TRUE(NdefMessage::parse(message.data(), message.size(), records, error)) << c.uri;
        EXPECT_EQ(NdefMessage::describe(records[0]), "URI  " + c.uri);
    }
}

TEST(NdefBuilder, MessagesCarryTheRightFlagsAndParseBackToTheSameRecords)
{
    NdefBuilder builder;
    std::string error;
    ASSERT_TRUE(builder.addText("en", "Hi", error));
    ASSERT_TRUE(builder.addMime("text/plain", Bytes(300, 0x41), error));
    ASSERT_TRUE(builder.addRecord(0x04, {'a', ':', 'b'}, {0x01, 0x02}, {}, error));
    ASSERT_TRUE(builder.addText("pt-BR", "\xC3\xA9", error));
    const Bytes message = builder.message();
    // MB and SR on the Text record; a long MIME record; ID length present on the external one;
    // ME on the last.
    const std::string mime = "02" "0A" "0000012C" + hex(Bytes{'t', 'e', 'x', 't', '/', 'p', 'l', 'a', 'i', 'n'}) +
                             hex(Bytes(300, 0x41));
    EXPECT_EQ(hex(message), "91" "01" "05" "54" "02656E" "4869" + mime + "1C" "03" "00" "02" "613A62" "0102" +
                                "51" "01" "08" "54" "0570742D4252" "C3A9");
    std::vector<NdefRecord> records;
    ASSERT_TRUE(NdefMessage::parse(message.data(), message.size(), records, error)) << error;
    ASSERT_EQ(records.size(), builder.records().size());
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].tnf, builder.records()[i].tnf) << i;
        EXPECT_EQ(records[i].type, builder.records()[i].type) << i;
        EXPECT_EQ(records[i].id, builder.records()[i].id) << i;
        EXPECT_EQ(records[i].payload, builder.records()[i].payload) << i;
    }
    // No record: the empty message, one empty record.
    EXPECT_EQ(hex(NdefBuilder().message()), "D00000");
}

TEST(NdefBuilder, RecordsThatWouldNotReadBackAreRefused)
{
    struct Case {
        const char *what;
        std::function<bool(NdefBuilder &, std::string &)> add;
        std::string error;
    } cases[] = {
        {"empty URI", [](NdefBuilder &b, std::string &e) { return b.addUri("", e); }, "empty URI"},
        {"URI in another code page", [](NdefBuilder &b, std::string &e) { return b.addUri("https://example.com/\xE9t\xE9", e); },
         "URI is not UTF-8"},
        {"URI cut inside a character", [](NdefBuilder &b, std::string &e) { return b.addUri("tel:1\xC3", e); },
         "URI is not UTF-8"},
        {"no language", [](NdefBuilder &b, std::string &e) { return b.addText("", "x", e); },
         "language code of 0 characters (1 to 63)"},
        {"language of 64 characters", [](NdefBuilder &b, std::string &e) { return b.addText(std::string(64, 'a'), "x", e); },
         "language code of 64 characters (1 to 63)"},
        {"language with a space", [](NdefBuilder &b, std::string &e) { return b.addText("en US", "x", e); },
         "language code \"en US\" holds a character other than letters, digits and hyphens"},
        {"text cut inside a character", [](NdefBuilder &b, std::string &e) { return b.addText("en", "\xC3", e); },
         "text is not UTF-8"},
        {"overlong form", [](NdefBuilder &b, std::string &e) { return b.addText("en", "\xC0\xAF", e); },
         "text is not UTF-8"},
        {"surrogate", [](NdefBuilder &b, std::string &e) { return b.addText("en", "\xED\xA0\x80", e); },
         "text is not UTF-8"},
        {"media type without a slash", [](NdefBuilder &b, std::string &e) { return b.addMime("text", {}, e); },
         "\"text\" is not a media type"},
        {"media type with a space", [](NdefBuilder &b, std::string &e) { return b.addMime("text/ plain", {}, e); },
         "\"text/ plain\" is not a media type"},
        {"type name format 6", [](NdefBuilder &b, std::string &e) { return b.addRecord(6, {}, {}, {1}, e); },
         "type name format 6 cannot start a record"},
        {"empty record with a payload", [](NdefBuilder &b, std::string &e) { return b.addRecord(0, {}, {}, {1}, e); },
         "an empty record has no type, ID or payload"},
        {"unknown type with a type", [](NdefBuilder &b, std::string &e) { return b.addRecord(5, {'T'}, {}, {}, e); },
         "a record of unknown type has no type"},
        {"well-known type without a type", [](NdefBuilder &b, std::string &e) { return b.addRecord(1, {}, {}, {}, e); },
         "type name format 1 needs a type"},
        {"ID of 256 bytes", [](NdefBuilder &b, std::string &e) { return b.addRecord(4, {'a'}, Bytes(256, 1), {}, e); },
         "a type or an ID of more than 255 bytes"},
    };
    for (const Case &c : cases) {
        NdefBuilder builder;
        std::string error;
        EXPECT_FALSE(c.add(builder, error)) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_TRUE(builder.records().empty()) << c.what;
    }
}

TEST(NdefRecordIterator, WalksChunksInPlaceAndStopsAtWhatFramesTheMessageWrongly)
{
    struct Case {
        const char *what;
        std::string message;
        std::vector<std::string> payloads;  // of each raw record, in hex
        std::string error;
    } cases[] = {
        {"chunks one by one", "B101035402656E" "3600024869" "56000121", {"02656E", "4869", "21"}, ""},
        {"record with an ID", "D9010301" "54" "AA" "02656E", {"02656E"}, ""},
        {"no message end", "910101540A", {"0A"}, "message ends without a record marked as its end"},
        {"bytes after the end", "D0000000", {""}, "1 bytes after the message end (byte 3)"},
        {"message begin twice", "910101540A" "D10101540A", {"0A"}, "message begin inside the message (record at byte 5)"},
        {"cut short", "D1010554", {}, "payload length 5 runs past the end of the message (record at byte 0)"},
        {"nothing", "", {}, "empty NDEF message (no record)"},
    };
    for (const Case &c : cases) {
        const Bytes message = unhex(c.message);
        NdefRecordIterator walk(message.data(), message.size());
        NdefRawRecord record;
        std::vector<std::string> payloads;
        while (walk.next(record)) {
            const uint8_t *payload = walk.payload(record);
            EXPECT_TRUE(payload >= message.data() && payload + record.payloadLength <= message.data() + message.size());
            payloads.push_back(hex(Bytes(payload, payload + record.payloadLength)));
        }
        EXPECT_EQ(payloads, c.payloads) << c.what;
        EXPECT_EQ(walk.error(), c.error) << c.what;
        EXPECT_FALSE(walk.next(record)) << c.what << ": a walk that ended stays ended";
    }
}

TEST(NdefBuilder, RecordsAppendedOneByOneMakeTheMessageTheBuilderMakesOfThemAll)
{
    NdefBuilder all;
    std::string error;
    ASSERT_TRUE(all.addUri("https://example.com/a", error)) << error;
    ASSERT_TRUE(all.addText("en", std::string(300, 't'), error)) << error;  // a long record between
    ASSERT_TRUE(all.addMime("text/plain", {0x41, 0x42}, error)) << error;
    std::vector<uint8_t> message;
    for (const NdefRecord &record : all.records()) {
        NdefBuilder one;
        ASSERT_TRUE(one.addRecord(record.tnf, record.type, record.id, record.payload, error)) << error;
        size_t offset = 0;
        ASSERT_TRUE(NdefBuilder::appendRecord(message, one.message(), error, offset)) << error;
    }
    EXPECT_EQ(hex(message), hex(all.message()));

    // A message that is not valid is left as it is, and the fault's byte is named.
    struct Case {
        const char *what;
        std::string message;
        size_t offset;
    } cases[] = {
        {"the second record has message begin", "9101015500" "D101015500", 5},
        {"bytes after the message end", "D1010155000000", 5},
        {"a payload past the end", "D1010955", 0},
        {"a chunk that ends the message", "F50001AA", 0},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> bad = unhex(c.message);
        size_t offset = 99;
        EXPECT_FALSE(NdefBuilder::appendRecord(bad, all.message(), error, offset)) << c.what;
        EXPECT_EQ(offset, c.offset) << c.what << ": " << error;
        EXPECT_EQ(hex(bad), c.message) << c.what;
    }
}

TEST(NdefMessage, UriAndTextRecordsAreDecodedWhateverTheirEncoding)
{
    const auto record = [](const char *type, const std::string &payload) {
        NdefRecord r;
        r.tnf = NdefMessage::TnfWellKnown;
        r.type.assign(type, type + std::strlen(type));
        r.payload = unhex(payload);
        return r;
    };
    struct UriCase {
        const char *what;
        NdefRecord record;
        bool ok;
        std::string uri;
    } uris[] = {
        {"prefix 04", record("U", "04612E6F7267"), true, "https://a.org"},
        {"no prefix", record("U", "00746573743A31"), true, "test:1"},
        {"reserved code 24", record("U", "2461"), false, ""},
        {"no payload", record("U", ""), false, ""},
        {"a Text record", record("T", "02656E61"), false, ""},
    };
    for (const UriCase &c : uris) {
        std::string uri = "left over";
        EXPECT_EQ(NdefMessage::uriOf(c.record, uri), c.ok) << c.what;
        EXPECT_EQ(uri, c.uri) << c.what;
    }
    struct TextCase {
        const char *what;
        NdefRecord record;
        bool ok;
        std::string language;
        std::string text;
    } texts[] = {
        {"UTF-8", record("T", "02656EC3A46B"), true, "en", "\xC3\xA4k"},
        {"UTF-16 big-endian without a mark", record("T", "8266690041D83DDE00"), true, "fi", "A\xF0\x9F\x98\x80"},
        {"UTF-16 with a big-endian mark", record("T", "826669FEFF00E40041"), true, "fi", "\xC3\xA4" "A"},
        {"UTF-16 of an odd length", record("T", "82666900E400"), false, "", ""},
        {"UTF-16 with a little-endian mark", record("T", "826669FFFEE4004100"), true, "fi", "\xC3\xA4" "A"},
        {"UTF-16 with an unpaired high surrogate", record("T", "826669D83D0041"), false, "", ""},
        {"UTF-16 with a lone low surrogate", record("T", "826669DE00"), false, "", ""},
        {"language longer than the payload", record("T", "05656E"), false, "", ""},
        {"empty text", record("T", "02656E"), true, "en", ""},
        {"a URI record", record("U", "0061"), false, "", ""},
    };
    for (const TextCase &c : texts) {
        std::string language = "x", text = "y";
        EXPECT_EQ(NdefMessage::textOf(c.record, language, text), c.ok) << c.what;
        EXPECT_EQ(language, c.language) << c.what;
        EXPECT_EQ(text, c.text) << c.what;
    }
}
