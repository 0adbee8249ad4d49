#include "PcscDataObjects.h"

#include "PcscApdu.h"
#include "PcscErrorCodes.h"

namespace pcsc {

namespace {

const uint8_t ConstructedBit = 0x20;
const uint8_t TagNumberMask = 0x1F;
const uint8_t MoreTagBytes = 0x80;
const size_t StatusObjectSize = 3;

uint8_t firstTagByte(uint16_t tag)
{
    return tag > 0xFF ? static_cast<uint8_t>(tag >> 8) : static_cast<uint8_t>(tag);
}

ObjectsCheck parseLevel(const uint8_t *data, size_t length, size_t depth, std::vector<DataObject> &objects)
{
    size_t at = 0;
    while (at < length) {
        DataObject object;
        const uint8_t first = data[at++];
        object.tag = first;
        if ((first & TagNumberMask) == TagNumberMask) {
            if (at == length) {
                return ObjectsCheck::TruncatedTag;
            }
            const uint8_t second = data[at++];
            if ((second & MoreTagBytes) != 0) {
                return ObjectsCheck::TagTooLong;
            }
            object.tag = static_cast<uint16_t>(first << 8 | second);
        }
        if (at == length) {
            return ObjectsCheck::TruncatedLength;
        }
        size_t valueLength = data[at++];
        if (valueLength > 0x7F) {
            const size_t lengthBytes = valueLength & 0x7F;
            if (lengthBytes == 0 || lengthBytes > 2) {
                return ObjectsCheck::BadLengthForm;
            }
            if (length - at < lengthBytes) {
                return ObjectsCheck::TruncatedLength;
            }
            valueLength = 0;
            for (size_t i = 0; i < lengthBytes; ++i) {
                valueLength = valueLength << 8 | data[at++];
            }
        }
        if (length - at < valueLength) {
            return ObjectsCheck::ValueBeyondEnd;
        }
        object.value.assign(data + at, data + at + valueLength);
        if (object.constructed()) {
            if (depth + 1 >= MaximumObjectDepth) {
                return ObjectsCheck::TooDeep;
            }
            const ObjectsCheck inner = parseLevel(data + at, valueLength, depth + 1, object.children);
            if (inner != ObjectsCheck::Valid) {
                return inner;
            }
        }
        at += valueLength;
        objects.push_back(std::move(object));
    }
    return ObjectsCheck::Valid;
}

void appendLength(std::vector<uint8_t> &out, size_t length)
{
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
    } else if (length <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(length));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(length));
    }
}

const DataObject *findObject(const std::vector<DataObject> &objects, uint16_t tag)
{
    for (const DataObject &object : objects) {
        if (object.tag == tag) {
            return &object;
        }
    }
    return nullptr;
}

std::vector<uint8_t> manageCommand(uint16_t tag, const std::vector<uint8_t> &value, uint8_t p2)
{
    std::vector<uint8_t> command;
    sessionCommand(p2, encodeDataObject(tag, value), command);
    return command;
}

}  // namespace

bool DataObject::constructed() const
{
    return (firstTagByte(tag) & ConstructedBit) != 0;
}

ObjectsCheck parseDataObjects(const uint8_t *data, size_t length, std::vector<DataObject> &objects)
{
    objects.clear();
    const ObjectsCheck check = data == nullptr && length != 0 ? ObjectsCheck::TruncatedTag
                                                              : parseLevel(data, length, 0, objects);
    if (check != ObjectsCheck::Valid) {
        objects.clear();
    }
    return check;
}

std::vector<uint8_t> encodeDataObject(uint16_t tag, const std::vector<uint8_t> &value)
{
    std::vector<uint8_t> out;
    out.reserve(value.size() + 5);
    if (tag > 0xFF) {
        out.push_back(static_cast<uint8_t>(tag >> 8));
    }
    out.push_back(static_cast<uint8_t>(tag));
    appendLength(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

std::vector<uint8_t> encodeDataObject(const DataObject &object)
{
    if (!object.constructed() || object.children.empty()) {
        return encodeDataObject(object.tag, object.value);
    }
    std::vector<uint8_t> inner;
    for (const DataObject &child : object.children) {
        const std::vector<uint8_t> one = encodeDataObject(child);
        inner.insert(inner.end(), one.begin(), one.end());
    }
    return encodeDataObject(object.tag, inner);
}

bool parseSessionAnswer(const uint8_t *answer, size_t length, SessionAnswer &result, Error &error)
{
    result = SessionAnswer();
    if (answer == nullptr || length < 2) {
        return fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_STATUS_WORD);
    }
    result.statusWord = statusWord(answer, length);
    // A reader that refuses the command as a whole says so in its status word, with or without
    // objects: the status word is the answer then, whatever the objects look like.
    const bool refused = result.statusWord != StatusWordOk;
    if (parseDataObjects(answer, length - 2, result.objects) != ObjectsCheck::Valid) {
        return refused || fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_DATA_OBJECTS);
    }
    const DataObject *status = findObject(result.objects, TagStatus);
    if (status == nullptr || status->value.size() != StatusObjectSize) {
        return refused || fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_SESSION_STATUS);
    }
    result.hasStatus = true;
    result.status = static_cast<uint32_t>(status->value[0]) << 16 | status->value[1] << 8 | status->value[2];
    const DataObject *card = findObject(result.objects, TagCardAnswer);
    if (card != nullptr) {
        result.hasCardAnswer = true;
        result.cardAnswer = card->value;
    }
    return true;
}

bool sessionAnswerOk(const SessionAnswer &answer, Error &error)
{
    if (answer.statusWord != StatusWordOk) {
        return fail(error, PCSC_E_READER_REFUSED, answer.statusWord);
    }
    if (!answer.hasStatus || answer.status != SessionStatusOk) {
        return fail(error, PCSC_E_SESSION_STATUS, answer.status);
    }
    return true;
}

bool sessionCommand(uint8_t p2, const std::vector<uint8_t> &objects, std::vector<uint8_t> &command)
{
    command.clear();
    if (objects.empty() || objects.size() > ShortLcMaximum) {
        return false;
    }
    command = {0xFF, 0xC2, 0x00, p2, static_cast<uint8_t>(objects.size())};
    command.insert(command.end(), objects.begin(), objects.end());
    return true;
}

std::vector<uint8_t> startSessionCommand()
{
    return manageCommand(TagStartSession, {}, SessionManage);
}

std::vector<uint8_t> endSessionCommand()
{
    return manageCommand(TagEndSession, {}, SessionManage);
}

std::vector<uint8_t> switchProtocolCommand(uint8_t standard, uint8_t layer)
{
    return manageCommand(TagSwitchProtocol, {standard, layer}, SessionSwitch);
}

std::vector<uint8_t> timerObject(uint32_t microseconds)
{
    return encodeDataObject(TagTimer, {static_cast<uint8_t>(microseconds), static_cast<uint8_t>(microseconds >> 8),
                                       static_cast<uint8_t>(microseconds >> 16),
                                       static_cast<uint8_t>(microseconds >> 24)});
}

bool transceiveCommand(const uint8_t *frame, size_t length, uint32_t microseconds, std::vector<uint8_t> &command)
{
    command.clear();
    if (length > ShortLcMaximum) {
        return false;
    }
    std::vector<uint8_t> objects;
    if (microseconds != 0) {
        objects = timerObject(microseconds);
    }
    const std::vector<uint8_t> transceive =
        encodeDataObject(TagTransceive, std::vector<uint8_t>(frame, frame + length));
    objects.insert(objects.end(), transceive.begin(), transceive.end());
    return sessionCommand(SessionExchange, objects, command);
}

}  // namespace pcsc
