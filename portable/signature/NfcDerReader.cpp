#include "NfcDerReader.h"

namespace NfcDer {

namespace {

const uint8_t TagInteger = 0x02;
const uint8_t TagOctetString = 0x04;
const uint8_t TagNull = 0x05;
const uint8_t TagObjectIdentifier = 0x06;
const uint8_t TagSequence = 0x30;
const uint8_t TagGeneralizedTime = 0x18;

// Walks the elements of one constructed element's content.
class Cursor {
public:
    Cursor(const uint8_t *data, size_t size) : m_Data(data), m_Size(size) {}
    bool next(uint8_t tag, Element &element)
    {
        if (!readElement(m_Data + m_Offset, m_Size - m_Offset, element) || element.tag != tag) {
            return false;
        }
        m_Offset += element.size;
        return true;
    }
    bool atEnd() const { return m_Offset == m_Size; }

private:
    const uint8_t *m_Data;
    size_t m_Size;
    size_t m_Offset = 0;
};

bool digits(const uint8_t *text, int count, int &value)
{
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool parseGeneralizedTime(const uint8_t *text, size_t length, UtcTime &time)
{
    if (length < 15 || text[length - 1] != 'Z') {
        return false;
    }
    if (!digits(text, 4, time.year) || !digits(text + 4, 2, time.month) || !digits(text + 6, 2, time.day) ||
        !digits(text + 8, 2, time.hour) || !digits(text + 10, 2, time.minute) || !digits(text + 12, 2, time.second)) {
        return false;
    }
    time.milliseconds = 0;
    if (length > 15) {
        // ".f...Z": at least one digit; DER forbids a trailing zero, which is not checked.
        if (text[14] != '.' || length < 17) {
            return false;
        }
        int scale = 100;
        for (size_t i = 15; i + 1 < length; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return false;
            }
            time.milliseconds += (text[i] - '0') * scale;
            scale /= 10;
        }
    }
    static const int DaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (time.month < 1 || time.month > 12 || time.day < 1 || time.hour > 23 || time.minute > 59 ||
        time.second > 59) {
        return false;
    }
    const int days = DaysInMonth[time.month - 1] + (time.month == 2 && isLeapYear(time.year) ? 1 : 0);
    return time.day <= days;
}

}  // namespace

bool readElement(const uint8_t *data, size_t size, Element &element)
{
    if (data == nullptr || size < 2 || (data[0] & 0x1F) == 0x1F) {
        return false;
    }
    size_t header = 2;
    size_t length = data[1];
    if ((length & 0x80) != 0) {
        const size_t count = length & 0x7F;
        // 0x80 is the indefinite form (BER only); more than four length bytes is never a file's.
        if (count == 0 || count > 4 || size < 2 + count) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = (length << 8) | data[2 + i];
        }
        header += count;
    }
    if (length > size - header) {
        return false;
    }
    element.tag = data[0];
    element.content = data + header;
    element.length = length;
    element.size = header + length;
    return true;
}

bool contentOf(const uint8_t *data, size_t size, const uint8_t *&content, size_t &length)
{
    Element element;
    if (!readElement(data, size, element) || element.size != size) {
        return false;
    }
    content = element.content;
    length = element.length;
    return true;
}

std::string objectIdentifier(const uint8_t *content, size_t length)
{
    if (content == nullptr || length == 0 || (content[length - 1] & 0x80) != 0) {
        return std::string();
    }
    std::string dotted;
    uint64_t value = 0;
    bool first = true;
    for (size_t i = 0; i < length; ++i) {
        if (value > (UINT64_MAX >> 7)) {
            return std::string();
        }
        value = (value << 7) | (content[i] & 0x7F);
        if ((content[i] & 0x80) != 0) {
            continue;
        }
        if (first) {
            const uint64_t arc = value < 80 ? value / 40 : 2;
            dotted = std::to_string(arc) + "." + std::to_string(value - arc * 40);
            first = false;
        } else {
            dotted += "." + std::to_string(value);
        }
        value = 0;
    }
    return dotted;
}

bool parseTimeStampInfo(const uint8_t *data, size_t size, TimeStampInfo &info)
{
    Element outer;
    if (!readElement(data, size, outer) || outer.tag != TagSequence || outer.size != size) {
        return false;
    }
    Cursor fields(outer.content, outer.length);
    Element version, policy, imprint, serial, genTime;
    if (!fields.next(TagInteger, version) || version.length != 1 || version.content[0] != 1 ||
        !fields.next(TagObjectIdentifier, policy) || !fields.next(TagSequence, imprint) ||
        !fields.next(TagInteger, serial) || !fields.next(TagGeneralizedTime, genTime)) {
        return false;
    }
    // messageImprint: SEQUENCE { AlgorithmIdentifier, OCTET STRING }
    Cursor imprintFields(imprint.content, imprint.length);
    Element algorithm, hash;
    if (!imprintFields.next(TagSequence, algorithm) || !imprintFields.next(TagOctetString, hash) ||
        !imprintFields.atEnd()) {
        return false;
    }
    Cursor algorithmFields(algorithm.content, algorithm.length);
    Element oid, parameters;
    if (!algorithmFields.next(TagObjectIdentifier, oid) ||
        (!algorithmFields.atEnd() && (!algorithmFields.next(TagNull, parameters) || parameters.length != 0 ||
                                      !algorithmFields.atEnd()))) {
        return false;
    }
    info.imprintAlgorithm = objectIdentifier(oid.content, oid.length);
    if (info.imprintAlgorithm.empty() || hash.length == 0) {
        return false;
    }
    info.imprint.assign(hash.content, hash.content + hash.length);
    return parseGeneralizedTime(genTime.content, genTime.length, info.time);
}

}  // namespace NfcDer
