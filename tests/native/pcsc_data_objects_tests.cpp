// BER-TLV data objects of the transparent session: tag and length forms, nesting, truncation,
// the answer with its status object and card answer, and the commands built from objects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HexText.h"
#include "PcscDataObjects.h"
#include "PcscErrorCodes.h"

namespace {

using korvat_test::hex;
using korvat_test::unhex;
using pcsc::DataObject;
using pcsc::ObjectsCheck;

std::vector<DataObject> parseOk(const std::string &text)
{
    const std::vector<uint8_t> bytes = unhex(text);
    std::vector<DataObject> objects;
    EXPECT_EQ(pcsc::parseDataObjects(bytes.data(), bytes.size(), objects), ObjectsCheck::Valid) << text;
    return objects;
}

TEST(PcscDataObjects, TagAndLengthFormsGiveTheirValues)
{
    const std::string value200(400, 'A');  // 200 bytes of AA
    const std::string value300(600, 'B');  // 300 bytes of BB
    struct Case {
        const char *name;
        std::string bytes;
        uint16_t tag;
        std::string value;
    };
    const Case cases[] = {
        {"one-byte tag, short length", "9703D50100", 0x97, "D50100"},
        {"empty value", "8100", 0x81, ""},
        {"two-byte tag", "5F460440420F00", 0x5F46, "40420F00"},
        {"length 81 xx", "9781C8" + value200, 0x97, value200},
        {"length 82 xx xx", "9782012C" + value300, 0x97, value300},
        {"length 81 below 80 (not shortest, still read)", "97810201FF", 0x97, "01FF"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<DataObject> objects = parseOk(c.bytes);
        ASSERT_EQ(objects.size(), 1u);
        EXPECT_EQ(objects[0].tag, c.tag);
        EXPECT_EQ(hex(objects[0].value), c.value);
        EXPECT_TRUE(objects[0].children.empty());
    }
}

TEST(PcscDataObjects, SequenceAndNestedObjectsAreReadInOrder)
{
    // C0 status, a constructed 7F 21 holding 81 and a constructed A1 holding 97, then 96.
    const std::vector<DataObject> objects = parseOk("C003009000" "7F210B81008F0203006103970101" "96020000");
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0].tag, 0xC0);
    EXPECT_EQ(hex(objects[0].value), "009000");
    EXPECT_EQ(objects[1].tag, 0x7F21);
    ASSERT_TRUE(objects[1].constructed());
    ASSERT_EQ(objects[1].children.size(), 3u);
    EXPECT_EQ(objects[1].children[1].tag, 0x8F);
    EXPECT_EQ(hex(objects[1].children[1].value), "0300");
    EXPECT_EQ(objects[1].children[2].tag, 0x61);
    ASSERT_EQ(objects[1].children[2].children.size(), 1u);
    EXPECT_EQ(hex(objects[1].children[2].children[0].value), "01");
    EXPECT_EQ(objects[2].tag, 0x96);
    // Encoding gives the same bytes back.
    std::string again;
    for (const DataObject &object : objects) {
        again += hex(pcsc::encodeDataObject(object));
    }
    EXPECT_EQ(again, "C003009000" "7F210B81008F0203006103970101" "96020000");
}

TEST(PcscDataObjects, BrokenObjectsAreRefusedWithTheirReason)
{
    struct Case {
        const char *name;
        const char *bytes;
        ObjectsCheck check;
    };
    const Case cases[] = {
        {"two-byte tag cut", "C0030090005F", ObjectsCheck::TruncatedTag},
        {"three-byte tag", "5F8101" "00", ObjectsCheck::TagTooLong},
        {"no length", "97", ObjectsCheck::TruncatedLength},
        {"81 without its byte", "9781", ObjectsCheck::TruncatedLength},
        {"82 with one byte", "978201", ObjectsCheck::TruncatedLength},
        {"indefinite length 80", "978000", ObjectsCheck::BadLengthForm},
        {"length form 83", "9783000001AA", ObjectsCheck::BadLengthForm},
        {"value past the end", "9705D501", ObjectsCheck::ValueBeyondEnd},
        {"81 length past the end", "978180D5", ObjectsCheck::ValueBeyondEnd},
        {"child past its parent", "E1039705D5", ObjectsCheck::ValueBeyondEnd},
        {"too deep", "E108E106E104E1029700", ObjectsCheck::TooDeep},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes = unhex(c.bytes);
        std::vector<DataObject> objects{DataObject()};
        EXPECT_EQ(pcsc::parseDataObjects(bytes.data(), bytes.size(), objects), c.check);
        EXPECT_TRUE(objects.empty());
    }
}

TEST(PcscDataObjects, EncodingPicksTheShortestLengthForm)
{
    EXPECT_EQ(hex(pcsc::encodeDataObject(0x95, std::vector<uint8_t>(0x7F, 0))).substr(0, 4), "957F");
    EXPECT_EQ(hex(pcsc::encodeDataObject(0x95, std::vector<uint8_t>(0x80, 0))).substr(0, 6), "958180");
    EXPECT_EQ(hex(pcsc::encodeDataObject(0x95, std::vector<uint8_t>(0x100, 0))).substr(0, 8), "95820100");
    EXPECT_EQ(hex(pcsc::encodeDataObject(0x5F46, {1, 2})), "5F46020102");
}

TEST(PcscDataObjects, SessionAnswersGiveStatusCardAnswerAndStatusWord)
{
    struct Case {
        const char *name;
        const char *answer;
        bool parses;
        uint32_t error;  // the pair's code when it does not parse, or sessionAnswerOk's
        uint32_t detail;
        const char *cardAnswer;  // null: no object 97
    };
    const Case cases[] = {
        {"start session done", "C0030090009000", true, 0, 0, nullptr},
        {"card answer", "C0030090009703D50100" "9000", true, 0, 0, "D50100"},
        {"card answer first, status after", "9702AABBC003009000" "9000", true, 0, 0, "AABB"},
        {"session error object", "C00301640190" "00", true, PCSC_E_SESSION_STATUS, 0x016401, nullptr},
        {"status word alone: refused", "6A81", true, PCSC_E_READER_REFUSED, 0x6A81, nullptr},
        {"objects with a failing SW", "C0030090006F00", true, PCSC_E_READER_REFUSED, 0x6F00, nullptr},
        {"broken objects with a failing SW", "97059900" "6F00", true, PCSC_E_READER_REFUSED, 0x6F00, nullptr},
        {"no C0 with a failing SW", "9701AA" "6A81", true, PCSC_E_READER_REFUSED, 0x6A81, nullptr},
        {"90 00 without objects", "9000", false, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_SESSION_STATUS, nullptr},
        {"no C0", "9701AA9000", false, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_SESSION_STATUS, nullptr},
        {"C0 of two bytes", "C00290009000", false, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_SESSION_STATUS, nullptr},
        {"cut object", "C003009000970599" "9000", false, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_DATA_OBJECTS,
         nullptr},
        {"one byte", "90", false, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_STATUS_WORD, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes = unhex(c.answer);
        pcsc::SessionAnswer answer;
        pcsc::Error error;
        const bool parsed = pcsc::parseSessionAnswer(bytes.data(), bytes.size(), answer, error);
        ASSERT_EQ(parsed, c.parses);
        if (parsed) {
            EXPECT_EQ(pcsc::sessionAnswerOk(answer, error), c.error == 0);
        }
        EXPECT_EQ(error.code, c.error);
        EXPECT_EQ(error.detail, c.detail);
        EXPECT_EQ(answer.hasCardAnswer, c.cardAnswer != nullptr);
        if (c.cardAnswer != nullptr) {
            EXPECT_EQ(hex(answer.cardAnswer), c.cardAnswer);
        }
    }
}

TEST(PcscDataObjects, CommandsCarryTheirObjects)
{
    EXPECT_EQ(hex(pcsc::startSessionCommand()), "FFC20000028100");
    EXPECT_EQ(hex(pcsc::endSessionCommand()), "FFC20000028200");
    EXPECT_EQ(hex(pcsc::switchProtocolCommand(pcsc::SessionStandardFelica, 0x00)), "FFC20002048F020300");
    EXPECT_EQ(hex(pcsc::timerObject(1000000)), "5F460440420F00");

    const std::vector<uint8_t> polling = unhex("0600FFFF0100");
    std::vector<uint8_t> command;
    ASSERT_TRUE(pcsc::transceiveCommand(polling.data(), polling.size(), 0, command));
    EXPECT_EQ(hex(command), "FFC2000108" "95060600FFFF0100");
    ASSERT_TRUE(pcsc::transceiveCommand(polling.data(), polling.size(), 6000000, command));
    EXPECT_EQ(hex(command), "FFC200010F" "5F4604808D5B00" "95060600FFFF0100");

    // The objects must fit a short Lc: 95 81 FC <252 bytes> is 255.
    const std::vector<uint8_t> longest(252, 0x11), tooLong(253, 0x11);
    ASSERT_TRUE(pcsc::transceiveCommand(longest.data(), longest.size(), 0, command));
    EXPECT_EQ(hex(std::vector<uint8_t>(command.begin(), command.begin() + 8)), "FFC20001FF9581FC");
    EXPECT_FALSE(pcsc::transceiveCommand(tooLong.data(), tooLong.size(), 0, command));
    EXPECT_TRUE(command.empty());
}

}  // namespace
