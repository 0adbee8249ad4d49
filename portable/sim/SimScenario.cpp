#include "SimScenario.h"

#include <cstdlib>
#include <sstream>

#include "SimType2Tag.h"
#include "SimType3Tag.h"
#include "SimType4Tag.h"

namespace sim {

namespace {

const size_t MaximumNdefMessageSize = 1024;
const size_t MaximumImageSize = 4 + 255 * 8;  // the capability container and the largest data area

bool parseHex(const std::string &text, std::vector<uint8_t> &bytes)
{
    if (text.size() % 2 != 0) {
        return false;
    }
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        char *end = nullptr;
        const std::string pair = text.substr(i, 2);
        const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) {
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return true;
}

bool parseDecimal(const std::string &text, uint32_t &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) {
        return false;
    }
    value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

// Identifiers of a card line without keys.
CardDescription defaultCard(CardKind kind, bool type2)
{
    CardDescription card;
    card.kind = kind;
    if (type2) {
        card.type2 = true;
        card.nfcid1 = {0x04, 0x6B, 0x2D, 0x1A, 0x5C, 0x73, 0x80};
        card.sensRes = 0x0044;
        card.selRes = 0x00;
        card.dataAreaSize = 144;
        return card;
    }
    switch (kind) {
    case CardKind::TypeA:
        card.nfcid1 = {0x04, 0x5A, 0x3C, 0x91, 0x2B, 0x6E, 0x80};
        card.sensRes = 0x0044;
        card.selRes = 0x20;
        card.ats = {0x05, 0x78, 0x80, 0x70, 0x02};
        break;
    case CardKind::TypeB:
        // Protocol info: 106 kbit/s only; frame size 128, ISO/IEC 14443-4; FWI 8 (about 77 ms;
        // 15 is reserved), ADC and FO bits set.
        card.atqb = {0x50, 0x1A, 0x2B, 0x3C, 0x4D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x71, 0x8F};
        card.attrib = {0x10};
        break;
    default:
        card.nfcid2 = {0x01, 0x2E, 0x4C, 0x5D, 0x6E, 0x7F, 0x80, 0x91};
        card.pad = {0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF};
        card.rd = {0x12, 0xFC};
        break;
    }
    return card;
}

bool parseKind(const std::string &word, CardKind &kind, bool &type2)
{
    type2 = word == "T2";
    if (word == "A" || type2) {
        kind = CardKind::TypeA;
    } else if (word == "B") {
        kind = CardKind::TypeB;
    } else if (word == "F") {
        kind = CardKind::TypeF212;
    } else if (word == "F424") {
        kind = CardKind::TypeF424;
    } else {
        return false;
    }
    return true;
}

bool applyType2Key(CardDescription &card, const std::string &pair)
{
    const size_t equals = pair.find('=');
    const std::string key = pair.substr(0, equals);
    const std::string value = equals == std::string::npos ? std::string() : pair.substr(equals + 1);
    std::vector<uint8_t> bytes;
    if (pair == "readonly") {
        card.readOnly = true;
    } else if (pair == "blank") {
        card.blank = true;
    } else if (pair == "strict") {
        card.strict = true;
    } else if (key == "image" && parseHex(value, bytes) && bytes.size() % SimType2Tag::PageSize == 0 &&
               bytes.size() >= 2 * SimType2Tag::PageSize && bytes.size() <= MaximumImageSize) {
        card.image = bytes;
    } else if (key == "size" && equals != std::string::npos) {
        uint32_t size = 0;
        if (!parseDecimal(value, size) || !SimType2Tag::isDataAreaSize(size)) {
            return false;
        }
        card.dataAreaSize = size;
    } else if (key == "uid" && parseHex(value, bytes) && bytes.size() == SimType2Tag::UidLength) {
        card.nfcid1 = bytes;
    } else if (key == "sig" && parseHex(value, bytes) && bytes.size() == SimType2Tag::SignatureLength) {
        card.signature = bytes;
    } else {
        return false;
    }
    return true;
}

bool applyKey(CardDescription &card, const std::string &key, const std::vector<uint8_t> &bytes)
{
    const bool a = card.kind == CardKind::TypeA;
    const bool b = card.kind == CardKind::TypeB;
    const bool f = !a && !b;
    if (a && key == "nfcid1" && !bytes.empty() && bytes.size() <= 10) {
        card.nfcid1 = bytes;
    } else if (a && key == "sens_res" && bytes.size() == 2) {
        card.sensRes = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    } else if (a && key == "sel_res" && bytes.size() == 1) {
        card.selRes = bytes[0];
    } else if (a && key == "ats" && bytes.size() <= 64) {
        card.ats = bytes;
    } else if (b && key == "atqb" && bytes.size() == 12) {
        card.atqb = bytes;
    } else if (b && key == "attrib" && bytes.size() <= 64) {
        card.attrib = bytes;
    } else if (f && key == "nfcid2" && bytes.size() == 8) {
        card.nfcid2 = bytes;
    } else if (f && key == "pad" && bytes.size() == 8) {
        card.pad = bytes;
    } else if (f && key == "rd" && bytes.size() <= 16) {
        card.rd = bytes;
    } else {
        return false;
    }
    return true;
}

// "ndef_size=N" of a Type 4 or Type 3 Tag: false when N is not a size such a tag may have.
bool applyNdefSize(CardDescription &card, const std::string &value)
{
    const bool type4 = card.kind == CardKind::TypeA || card.kind == CardKind::TypeB;
    const size_t smallest = type4 ? SimType4Tag::SmallestWritableFileSize : SimType3Tag::SmallestWritableCapacity;
    const size_t largest = type4 ? SimType4Tag::LargestWritableFileSize : SimType3Tag::LargestWritableCapacity;
    uint32_t size = 0;
    if (!parseDecimal(value, size) || size < smallest || size > largest) {
        return false;
    }
    card.ndefSize = size;
    return true;
}

bool parseCard(std::istringstream &words, CardDescription &card)
{
    std::string kindWord, enter, leave;
    CardKind kind;
    bool type2 = false;
    if (!(words >> kindWord >> enter >> leave) || !parseKind(kindWord, kind, type2)) {
        return false;
    }
    card = defaultCard(kind, type2);
    if (!parseDecimal(enter, card.enterMs) || !parseDecimal(leave, card.leaveMs) ||
        card.leaveMs <= card.enterMs) {
        return false;
    }
    std::string pair;
    bool sizeGiven = false;
    while (words >> pair) {
        const size_t equals = pair.find('=');
        const std::string key = pair.substr(0, equals);
        std::vector<uint8_t> bytes;
        bool ok = true;
        if (card.type2) {
            ok = applyType2Key(card, pair);
        } else if (pair == "writable") {
            card.writable = true;
        } else if (key == "ndef_size" && equals != std::string::npos) {
            ok = applyNdefSize(card, pair.substr(equals + 1));
            sizeGiven = true;
        } else {
            ok = equals != std::string::npos && parseHex(pair.substr(equals + 1), bytes) && applyKey(card, key, bytes);
        }
        if (!ok) {
            return false;
        }
    }
    // A size belongs to a writable tag; a blank tag cannot be read only; an image is the whole tag.
    return !(sizeGiven && !card.writable) && !(card.blank && card.readOnly) &&
           !(!card.image.empty() && (card.blank || card.readOnly));
}

std::string restOfLine(std::istringstream &words)
{
    std::string rest;
    std::getline(words, rest);
    const size_t start = rest.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : rest.substr(start);
}

bool parseRecord(const std::string &directive, std::istringstream &words, CardDescription &card)
{
    NdefRecordDescription record;
    if (directive == "empty") {
        record.kind = NdefRecordDescription::Kind::Empty;
        if (!restOfLine(words).empty()) {
            return false;
        }
    } else if (directive == "uri") {
        record.kind = NdefRecordDescription::Kind::Uri;
        record.value = restOfLine(words);
        if (record.value.empty()) {
            return false;
        }
    } else {
        record.kind = NdefRecordDescription::Kind::Text;
        if (!(words >> record.language) || record.language.size() > 63) {
            return false;
        }
        record.value = restOfLine(words);
    }
    card.records.push_back(record);
    return encodeNdefMessage(card.records).size() <= ndefCapacity(card);
}

// "port <name> <present ms> <absent ms> [reader name...]": a SIM port name of at most 63 bytes,
// listed once, present at least 1 ms; the reader's name at most 127 bytes.
bool parsePort(std::istringstream &words, const std::vector<PortSchedule> &listed, PortSchedule &port)
{
    std::string present, absent;
    if (!(words >> port.portName >> present >> absent) || port.portName.compare(0, 3, "SIM") != 0 ||
        port.portName.size() > 63 || !parseDecimal(present, port.presentMs) || port.presentMs == 0 ||
        !parseDecimal(absent, port.absentMs)) {
        return false;
    }
    for (const PortSchedule &other : listed) {
        if (other.portName == port.portName) {
            return false;
        }
    }
    port.readerName = restOfLine(words);
    if (port.readerName.empty()) {
        port.readerName = DefaultReaderName;
    }
    return port.readerName.size() <= 127;
}

}  // namespace

size_t ndefCapacity(const CardDescription &card)
{
    if (card.type2) {
        return card.blank || !card.image.empty() ? 0 : SimType2Tag::ndefCapacity(card.dataAreaSize);
    }
    if (!card.writable) {
        return MaximumNdefMessageSize;
    }
    const bool type4 = card.kind == CardKind::TypeA || card.kind == CardKind::TypeB;
    // A Type 4 file holds NLEN before the message; a Type 3 Tag has whole blocks.
    return type4 ? card.ndefSize - 2
                 : (card.ndefSize + SimType3Tag::BlockSize - 1) / SimType3Tag::BlockSize * SimType3Tag::BlockSize;
}

bool parseScenario(const std::string &text, Scenario &scenario, uint32_t &errorLine)
{
    Scenario result;
    std::istringstream lines(text);
    std::string line;
    uint32_t number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // Only whole lines are comments: "#" may appear in a URI or a text.
        std::istringstream words(line);
        std::string directive;
        if (!(words >> directive) || directive[0] == '#') {
            continue;
        }
        bool ok;
        if (directive == "card") {
            result.cards.emplace_back();
            ok = parseCard(words, result.cards.back());
        } else if (directive == "uri" || directive == "text" || directive == "empty") {
            ok = !result.cards.empty() && parseRecord(directive, words, result.cards.back());
        } else if (directive == "port") {
            PortSchedule port;
            ok = parsePort(words, result.ports, port);
            result.ports.push_back(port);
        } else if (directive == "repeat") {
            std::string period, extra;
            ok = (words >> period) && parseDecimal(period, result.repeatMs) && result.repeatMs > 0 &&
                 !(words >> extra);
        } else {
            ok = false;
        }
        if (!ok) {
            errorLine = number;
            return false;
        }
    }
    scenario = result;
    return true;
}

static void makeTagModel(const CardDescription &description, CardModels &models);

void CardModels::reset()
{
    if (type2) {
        type2->reset();
    }
    if (type4) {
        type4->reset();
    }
}

void makeCardModels(const CardDescription &description, CardModels &models)
{
    makeTagModel(description, models);
    if (models.type2) {
        models.type2->setStrict(description.strict);
    }
}

static void makeTagModel(const CardDescription &description, CardModels &models)
{
    const std::vector<uint8_t> ndef = encodeNdefMessage(description.records);
    if (description.type2 && !description.image.empty()) {
        models.type2.reset(
            new SimType2Tag(SimType2Tag::imageTag(description.nfcid1, description.image, description.signature)));
    } else if (description.type2 && description.blank) {
        models.type2.reset(new SimType2Tag(
            SimType2Tag::blankTag(description.nfcid1, description.dataAreaSize, description.signature)));
    } else if (description.type2) {
        models.type2.reset(new SimType2Tag(description.nfcid1, description.dataAreaSize, ndef, description.readOnly,
                                           description.signature));
    } else if (description.kind == CardKind::TypeA || description.kind == CardKind::TypeB) {
        models.type4.reset(description.writable ? new SimType4Tag(ndef, description.ndefSize) : new SimType4Tag(ndef));
    } else if (description.writable) {
        models.type3.reset(
            new SimType3Tag(description.nfcid2, description.pad, description.rd, ndef, description.ndefSize));
    } else {
        models.type3.reset(new SimType3Tag(description.nfcid2, description.pad, description.rd, ndef));
    }
}

}  // namespace sim
