#include "ReaderTarget.h"

#include "korvat_nfc_plugin.h"

namespace reader {

namespace {

const size_t MaximumTargets = 2;
const size_t AtqbSize = 12;
const size_t FelicaIdSize = 8;
const uint8_t PollingResponseCode = 0x01;
// POL_RES length without RD: itself, the response code, IDm and PMm.
const size_t PollingResponseFixedSize = 2 + 2 * FelicaIdSize;
// The record fields of the library bound the variable parts.
const size_t MaximumNfcid1Size = 10;
const size_t MaximumVariableSize = 0xFF;

// Reads bytes from a span, refusing to go past its end.
class Cursor {
public:
    Cursor(const uint8_t *data, size_t length) : m_Data(data), m_Left(length) {}
    bool byte(uint8_t &value)
    {
        if (m_Left == 0) {
            return false;
        }
        value = *m_Data++;
        --m_Left;
        return true;
    }
    bool bytes(size_t count, std::vector<uint8_t> &out)
    {
        if (count > m_Left) {
            return false;
        }
        out.assign(m_Data, m_Data + count);
        m_Data += count;
        m_Left -= count;
        return true;
    }
    size_t left() const { return m_Left; }

private:
    const uint8_t *m_Data;
    size_t m_Left;
};

bool parseTypeA(Cursor &in, ListedTarget &target)
{
    uint8_t high, low, idLength;
    if (!in.byte(high) || !in.byte(low) || !in.byte(target.selRes) || !in.byte(idLength) ||
        idLength > MaximumNfcid1Size || !in.bytes(idLength, target.nfcid1)) {
        return false;
    }
    target.sensRes = static_cast<uint16_t>(high << 8 | low);
    target.cardType = CardTypeA;
    // An ISO/IEC 14443-4 card (SEL_RES bit 6) is sent RATS by the chip; its ATS follows,
    // beginning with TL, its length including TL.
    target.ats.clear();
    if ((target.selRes & 0x20) != 0 && in.left() > 0) {
        uint8_t tl;
        in.byte(tl);
        std::vector<uint8_t> rest;
        if (tl == 0 || !in.bytes(tl - 1u, rest)) {
            return false;
        }
        target.ats.push_back(tl);
        target.ats.insert(target.ats.end(), rest.begin(), rest.end());
    }
    return true;
}

bool parseTypeB(Cursor &in, ListedTarget &target)
{
    uint8_t attribLength;
    if (!in.bytes(AtqbSize, target.atqb) || target.atqb[0] != 0x50 || !in.byte(attribLength) ||
        !in.bytes(attribLength, target.attribRes)) {
        return false;
    }
    target.cardType = CardTypeB;
    return true;
}

bool parseFelica(Cursor &in, uint32_t cardType, ListedTarget &target)
{
    uint8_t length, code;
    if (!in.byte(length) || length < PollingResponseFixedSize || !in.byte(code) || code != PollingResponseCode ||
        !in.bytes(FelicaIdSize, target.nfcid2) || !in.bytes(FelicaIdSize, target.pad) ||
        !in.bytes(length - PollingResponseFixedSize, target.rd)) {
        return false;
    }
    target.cardType = cardType;
    return true;
}

void putU32(std::vector<uint8_t> &block, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i) {
        block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void putBytes(std::vector<uint8_t> &block, size_t offset, const std::vector<uint8_t> &bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        block[offset + i] = bytes[i];
    }
}

}  // namespace

std::vector<uint8_t> ListedTarget::identifier() const
{
    switch (cardType) {
    case CardTypeA:
        return nfcid1;
    case CardTypeB:
        return atqb.size() == AtqbSize ? std::vector<uint8_t>(atqb.begin() + 1, atqb.begin() + 5) : atqb;
    default:
        return nfcid2;
    }
}

bool ListedTarget::isoDep() const
{
    return cardType == CardTypeB || (cardType == CardTypeA && (selRes & 0x20) != 0);
}

bool parseListedTargets(Modulation modulation, const uint8_t *data, size_t length, std::vector<ListedTarget> &targets)
{
    targets.clear();
    Cursor in(data, length);
    uint8_t count;
    if (!in.byte(count) || count > MaximumTargets) {
        return false;
    }
    for (uint8_t i = 0; i < count; ++i) {
        ListedTarget target;
        if (!in.byte(target.tg)) {
            targets.clear();
            return false;
        }
        bool ok = false;
        switch (modulation) {
        case Modulation::TypeA106:
            ok = parseTypeA(in, target);
            break;
        case Modulation::TypeB106:
            ok = parseTypeB(in, target);
            break;
        case Modulation::Felica212:
            ok = parseFelica(in, CardTypeF212, target);
            break;
        case Modulation::Felica424:
            ok = parseFelica(in, CardTypeF424, target);
            break;
        }
        if (!ok) {
            targets.clear();
            return false;
        }
        targets.push_back(std::move(target));
    }
    if (in.left() != 0) {
        targets.clear();
        return false;
    }
    return true;
}

std::vector<uint8_t> encodeTargetData(Modulation modulation, const ListedTarget &target)
{
    std::vector<uint8_t> out;
    out.reserve(64);
    out.push_back(target.tg);
    switch (modulation) {
    case Modulation::TypeA106:
        out.push_back(static_cast<uint8_t>(target.sensRes >> 8));
        out.push_back(static_cast<uint8_t>(target.sensRes));
        out.push_back(target.selRes);
        out.push_back(static_cast<uint8_t>(target.nfcid1.size()));
        out.insert(out.end(), target.nfcid1.begin(), target.nfcid1.end());
        if ((target.selRes & 0x20) != 0) {
            out.insert(out.end(), target.ats.begin(), target.ats.end());
        }
        break;
    case Modulation::TypeB106:
        out.insert(out.end(), target.atqb.begin(), target.atqb.end());
        out.push_back(static_cast<uint8_t>(target.attribRes.size()));
        out.insert(out.end(), target.attribRes.begin(), target.attribRes.end());
        break;
    case Modulation::Felica212:
    case Modulation::Felica424:
        out.push_back(static_cast<uint8_t>(PollingResponseFixedSize + target.rd.size()));
        out.push_back(PollingResponseCode);
        out.insert(out.end(), target.nfcid2.begin(), target.nfcid2.end());
        out.insert(out.end(), target.pad.begin(), target.pad.end());
        out.insert(out.end(), target.rd.begin(), target.rd.end());
        break;
    }
    return out;
}

std::vector<uint8_t> additionalData(const ListedTarget &target, uint32_t targetNumber)
{
    std::vector<uint8_t> block;
    switch (target.cardType) {
    case CardTypeA: {
        const size_t ats = target.ats.size() < MaximumVariableSize ? target.ats.size() : MaximumVariableSize;
        block.assign(GP_AD_A_ATS + ats, 0);
        block[GP_AD_A_SENS_RES] = static_cast<uint8_t>(target.sensRes);
        block[GP_AD_A_SENS_RES + 1] = static_cast<uint8_t>(target.sensRes >> 8);
        block[GP_AD_A_SEL_RES] = target.selRes;
        block[GP_AD_A_NFCID1_SIZE] = static_cast<uint8_t>(target.nfcid1.size());
        putBytes(block, GP_AD_A_NFCID1, target.nfcid1);
        block[GP_AD_A_ATS_SIZE] = static_cast<uint8_t>(ats);
        putBytes(block, GP_AD_A_ATS, std::vector<uint8_t>(target.ats.begin(), target.ats.begin() + ats));
        break;
    }
    case CardTypeB:
        block.assign(GP_AD_B_ATTRIB + target.attribRes.size(), 0);
        putBytes(block, GP_AD_B_ATQB, target.atqb);
        block[GP_AD_B_ATTRIB_SIZE] = static_cast<uint8_t>(target.attribRes.size());
        putBytes(block, GP_AD_B_ATTRIB, target.attribRes);
        break;
    default:
        block.assign(GP_AD_F_RD + target.rd.size(), 0);
        putBytes(block, GP_AD_F_NFCID2, target.nfcid2);
        putBytes(block, GP_AD_F_PAD, target.pad);
        block[GP_AD_F_RD_SIZE] = static_cast<uint8_t>(target.rd.size());
        putBytes(block, GP_AD_F_RD, target.rd);
        break;
    }
    putU32(block, 0, target.cardType);
    block[GP_AD_ID_BYTE] = static_cast<uint8_t>(target.cardType);
    putU32(block, GP_AD_TARGET_NUMBER, targetNumber);
    block[GP_AD_TARGET_NUMBER + 4] = target.tg;
    return block;
}

}  // namespace reader
