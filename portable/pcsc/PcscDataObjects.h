// BER-TLV data objects of the transparent session (FF C2) of PC/SC storage-card readers: the
// objects of its answers (status C0, card answer 97, ...), the answer with its trailing status
// word, and the commands that carry objects.
//
// Tags of one or two bytes (two when the low five bits of the first are all 1; a third tag
// byte is refused); lengths 00-7F, 81 xx, 82 xx xx (80 and 83 upwards are refused). A
// constructed tag (bit 6 of the first byte) holds objects of its own, read to a bounded depth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "PcscError.h"

namespace pcsc {

struct DataObject {
    uint16_t tag = 0;  // one-byte tags as 00xx
    std::vector<uint8_t> value;
    std::vector<DataObject> children;  // of a constructed object
    bool constructed() const;
};

enum class ObjectsCheck : uint8_t {
    Valid = 0,
    TruncatedTag = 1,     // a two-byte tag cut after its first byte
    TagTooLong = 2,       // a tag of three bytes or more
    TruncatedLength = 3,  // a length cut short
    BadLengthForm = 4,    // 80 or 83..FF
    ValueBeyondEnd = 5,   // the value reaches past the end
    TooDeep = 6,          // constructed objects nested deeper than MaximumObjectDepth
};

const size_t MaximumObjectDepth = 4;

// Reads a sequence of objects filling the whole span; the objects stay empty when it fails.
ObjectsCheck parseDataObjects(const uint8_t *data, size_t length, std::vector<DataObject> &objects);

// One object with the shortest length form; a constructed object's value is its children's
// encoding when it has children.
std::vector<uint8_t> encodeDataObject(const DataObject &object);
std::vector<uint8_t> encodeDataObject(uint16_t tag, const std::vector<uint8_t> &value);

// Tags of the session.
const uint16_t TagStatus = 0xC0;          // C0 03: object number, SW1, SW2 (00 90 00: no error)
const uint16_t TagCardAnswer = 0x97;      // the card's answer to a transceive
const uint16_t TagStartSession = 0x81;
const uint16_t TagEndSession = 0x82;
const uint16_t TagSwitchProtocol = 0x8F;  // standard, layer
const uint16_t TagTransceive = 0x95;
const uint16_t TagTimer = 0x5F46;         // microseconds, 4 bytes, least significant first

// The standards of the switch-protocol object.
const uint8_t SessionStandardTypeA = 0x00;
const uint8_t SessionStandardTypeB = 0x01;
const uint8_t SessionStandardFelica = 0x03;

// P2 of FF C2.
const uint8_t SessionManage = 0x00;
const uint8_t SessionExchange = 0x01;
const uint8_t SessionSwitch = 0x02;

// An answer to FF C2: objects, then SW1 SW2.
struct SessionAnswer {
    uint16_t statusWord = 0;             // the trailing SW1 SW2
    std::vector<DataObject> objects;
    bool hasStatus = false;              // a C0 object of three bytes was there
    uint32_t status = 0;                 // its three bytes, first byte highest
    bool hasCardAnswer = false;
    std::vector<uint8_t> cardAnswer;     // the value of 97
};

const uint32_t SessionStatusOk = 0x009000;

// Reads an answer; false with PCSC_E_MALFORMED_ANSWER when it has no status word, or when its
// status word is 90 00 and its objects do not parse or its C0 object is missing or not three
// bytes (with another status word the reader refused: true, the objects as far as they go).
// The status word and the status object are read, not judged: sessionAnswerOk does that.
bool parseSessionAnswer(const uint8_t *answer, size_t length, SessionAnswer &result, Error &error);
// False with the pair when an answer that parsed reports a failure: SW other than 90 00
// (PCSC_E_READER_REFUSED), status other than 00 90 00 (PCSC_E_SESSION_STATUS).
bool sessionAnswerOk(const SessionAnswer &answer, Error &error);

// FF C2 00 P2 Lc <objects>; false when the objects exceed the 255 bytes of a short Lc.
bool sessionCommand(uint8_t p2, const std::vector<uint8_t> &objects, std::vector<uint8_t> &command);
std::vector<uint8_t> startSessionCommand();
std::vector<uint8_t> endSessionCommand();
std::vector<uint8_t> switchProtocolCommand(uint8_t standard, uint8_t layer);
// 5F 46 04 t0 t1 t2 t3.
std::vector<uint8_t> timerObject(uint32_t microseconds);
// FF C2 00 01 Lc [timer] 95 len frame (the timer only when microseconds is not 0); false when
// it exceeds a short Lc.
bool transceiveCommand(const uint8_t *frame, size_t length, uint32_t microseconds, std::vector<uint8_t> &command);

}  // namespace pcsc
