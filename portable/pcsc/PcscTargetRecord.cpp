#include "PcscTargetRecord.h"

#include "PcscApdu.h"
#include "PcscErrorCodes.h"
#include "PcscProfile.h"
#include "Pn532Commands.h"

namespace pcsc {

namespace {

const size_t PupiSize = 4;
const size_t IdmSize = 8;
const uint8_t AtqbCode = 0x50;
const uint8_t SelResIso14443_4 = 0x20;
const uint8_t PadUnknownByte = 0xFF;
using pn532::InListPassiveTarget;

struct NamedSelRes {
    uint16_t name;
    uint8_t selRes;
};
// SEL_RES of the storage-card names whose card family has one fixed value.
const NamedSelRes NamedSelResTable[] = {
    {CardNameType2, 0x00},
    {0x0001, 0x08},
    {0x0002, 0x18},
    {0x0026, 0x09},
};

bool validUidSize(size_t size)
{
    return size == 4 || size == 7 || size == 10;
}

uint16_t derivedSensRes(size_t uidSize)
{
    return uidSize == 4 ? 0x0000 : uidSize == 7 ? 0x0040 : 0x0080;
}

uint8_t selResOfName(uint16_t name)
{
    for (const NamedSelRes &entry : NamedSelResTable) {
        if (entry.name == name) {
            return entry.selRes;
        }
    }
    return 0x00;
}

bool wellFormedAts(const std::vector<uint8_t> &ats)
{
    return !ats.empty() && ats[0] == ats.size();
}

reader::Modulation modulationOf(CardKind kind)
{
    switch (kind) {
    case CardKind::TypeB4: return reader::Modulation::TypeB106;
    case CardKind::Felica212: return reader::Modulation::Felica212;
    case CardKind::Felica424: return reader::Modulation::Felica424;
    default: return reader::Modulation::TypeA106;
    }
}

bool buildTypeA(const AtrInfo &atr, const std::vector<uint8_t> &uid, const GetDataAnswer *ats, CardRecord &record)
{
    reader::ListedTarget &target = record.target;
    target.cardType = reader::CardTypeA;
    target.nfcid1 = uid;
    target.sensRes = derivedSensRes(uid.size());
    record.notes |= NoteSensResDerived | NoteSelResFromAtr;
    if (record.kind == CardKind::TypeAPart3) {
        target.selRes = selResOfName(atr.cardName);
        return true;
    }
    target.selRes = SelResIso14443_4;
    if (ats == nullptr || ats->result != GetDataResult::Ok) {
        record.notes |= NoteAtsNotGiven;
    } else if (!wellFormedAts(ats->data)) {
        record.notes |= NoteAtsMalformed;
    } else {
        target.ats = ats->data;
    }
    return true;
}

}  // namespace

std::vector<uint8_t> getDataCommand(uint8_t p1, uint8_t le)
{
    return {0xFF, 0xCA, p1, 0x00, le};
}

GetDataAnswer parseGetDataAnswer(const uint8_t *answer, size_t length)
{
    GetDataAnswer result;
    if (answer == nullptr || length < 2) {
        return result;
    }
    result.statusWord = statusWord(answer, length);
    switch (result.statusWord) {
    case StatusWordOk:
    case 0x6282:
        result.result = GetDataResult::Ok;
        result.data.assign(answer, answer + length - 2);
        break;
    case 0x6A81:
    case 0x6A82:
    case 0x6D00:
    case 0x6E00:
    case 0x6800:
        result.result = GetDataResult::NotOffered;
        break;
    default:
        result.result = (result.statusWord & 0xFF00) == 0x6C00 ? GetDataResult::WrongLe : GetDataResult::Failed;
        break;
    }
    return result;
}

bool buildCardRecord(const AtrInfo &atr, const GetDataAnswer &uid, const GetDataAnswer *ats, CardRecord &record,
                     Error &error)
{
    record = CardRecord();
    if (atr.check != AtrCheck::Valid) {
        return fail(error, PCSC_E_UNSUPPORTED_CARD, static_cast<uint32_t>(atr.check) | atr.standard << 8);
    }
    if (uid.result == GetDataResult::Malformed) {
        return fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_STATUS_WORD);
    }
    if (uid.result != GetDataResult::Ok) {
        return fail(error, PCSC_E_NO_IDENTIFIER, uid.statusWord);
    }
    record.kind = atr.kind;
    const size_t uidSize = uid.data.size();
    if (record.kind == CardKind::TypeB4 &&
        (uidSize != PupiSize || (ats != nullptr && ats->result == GetDataResult::Ok && wellFormedAts(ats->data)))) {
        record.kind = CardKind::TypeA4;
        record.notes |= NoteTypeFromReader;
    }
    record.target.tg = Pn532Target;
    switch (record.kind) {
    case CardKind::TypeAPart3:
    case CardKind::TypeA4:
        if (!validUidSize(uidSize)) {
            return fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_GET_DATA);
        }
        return buildTypeA(atr, uid.data, ats, record);
    case CardKind::TypeB4: {
        // The ATQB's last seven bytes and the ATTRIB byte are the ATR's eight historical bytes.
        if (!looksLikeTypeB(atr.historical)) {
            break;
        }
        reader::ListedTarget &target = record.target;
        target.cardType = reader::CardTypeB;
        target.atqb.push_back(AtqbCode);
        target.atqb.insert(target.atqb.end(), uid.data.begin(), uid.data.end());
        target.atqb.insert(target.atqb.end(), atr.historical.begin(), atr.historical.begin() + 7);
        target.attribRes.assign(1, atr.historical[7]);
        record.notes |= NoteAttribFromAtr;
        return true;
    }
    case CardKind::Felica212:
    case CardKind::Felica424: {
        if (uidSize != IdmSize) {
            return fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_GET_DATA);
        }
        reader::ListedTarget &target = record.target;
        target.cardType = record.kind == CardKind::Felica212 ? reader::CardTypeF212 : reader::CardTypeF424;
        target.nfcid2 = uid.data;
        target.pad.assign(IdmSize, PadUnknownByte);
        record.notes |= NotePadUnknown | NoteRdUnknown;
        if (atr.standard == StandardFelica) {
            record.notes |= NoteFelicaRateAssumed;
        }
        return true;
    }
    case CardKind::Unknown:
        break;
    }
    return fail(error, PCSC_E_UNSUPPORTED_CARD, static_cast<uint32_t>(atr.check) | atr.standard << 8);
}

std::vector<uint8_t> listTargetCommand(CardKind kind)
{
    const reader::Modulation modulation = modulationOf(kind);
    const uint8_t brTy = static_cast<uint8_t>(modulation);
    switch (modulation) {
    case reader::Modulation::TypeB106:
        // AFI 00: every application family.
        return pn532Command({InListPassiveTarget, 0x01, brTy, 0x00});
    case reader::Modulation::Felica212:
    case reader::Modulation::Felica424:
        // Polling of any system code, asking for the card's system code (RD), one time slot.
        return pn532Command({InListPassiveTarget, 0x01, brTy, 0x00, 0xFF, 0xFF, 0x01, 0x00});
    case reader::Modulation::TypeA106:
        break;
    }
    return pn532Command({InListPassiveTarget, 0x01, brTy});
}

bool cardRecordFromListing(CardKind kind, const uint8_t *answer, size_t length, CardRecord &record, Error &error)
{
    record = CardRecord();
    if (kind == CardKind::Unknown) {
        return fail(error, PCSC_E_UNSUPPORTED_CARD, 0);
    }
    std::vector<uint8_t> data;
    if (!pn532AnswerData(InListPassiveTarget, answer, length, data, error)) {
        return false;
    }
    const reader::Modulation modulation = modulationOf(kind);
    std::vector<reader::ListedTarget> targets;
    if (!reader::parseListedTargets(modulation, data.data(), data.size(), targets)) {
        return fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_TARGET_DATA);
    }
    if (targets.empty()) {
        return fail(error, PCSC_E_NOT_LISTED, static_cast<uint32_t>(modulation));
    }
    record.kind = kind;
    record.target = targets[0];
    // The chip tells A part 3 from A part 4 by SEL_RES; its word counts over the ATR's.
    if (record.target.cardType == reader::CardTypeA) {
        record.kind = (record.target.selRes & SelResIso14443_4) != 0 ? CardKind::TypeA4 : CardKind::TypeAPart3;
    }
    return true;
}

std::vector<uint8_t> additionalData(const CardRecord &record, uint32_t targetNumber)
{
    return reader::additionalData(record.target, targetNumber);
}

}  // namespace pcsc
