#include "PcscAtr.h"

#include "korvat_nfc.h"

namespace pcsc {

namespace {

const uint8_t DirectConvention = 0x3B;
const uint8_t InverseConvention = 0x3F;
// The historical bytes of the storage-card form up to SS.
const uint8_t StoragePrefix[] = {0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03, 0x06};
const size_t StorageHistoricalSize = 15;
const size_t StandardOffset = 8;
const size_t TypeBHistoricalSize = 8;

bool hasStoragePrefix(const std::vector<uint8_t> &historical)
{
    if (historical.size() != StorageHistoricalSize) {
        return false;
    }
    for (size_t i = 0; i < sizeof StoragePrefix; ++i) {
        if (historical[i] != StoragePrefix[i]) {
            return false;
        }
    }
    return true;
}

AtrInfo invalid(AtrInfo info, AtrCheck check)
{
    info.check = check;
    info.kind = CardKind::Unknown;
    return info;
}

}  // namespace

bool looksLikeTypeB(const std::vector<uint8_t> &historical)
{
    return historical.size() == TypeBHistoricalSize && (historical[4] & 0x08) == 0 && (historical[5] & 0x09) == 0x01;
}

uint32_t libraryCardType(CardKind kind)
{
    switch (kind) {
    case CardKind::TypeAPart3:
    case CardKind::TypeA4: return DEVICE_TYPE_NFC_14443A_18092_106K;
    case CardKind::TypeB4: return DEVICE_TYPE_NFC_14443B_106K;
    case CardKind::Felica212: return DEVICE_TYPE_NFC_18092_212K;
    case CardKind::Felica424: return DEVICE_TYPE_NFC_18092_424K;
    default: return 0;
    }
}

AtrInfo parseAtr(const uint8_t *atr, size_t length)
{
    AtrInfo info;
    if (atr == nullptr || length < 2) {
        return invalid(info, AtrCheck::Truncated);
    }
    if (atr[0] != DirectConvention && atr[0] != InverseConvention) {
        return invalid(info, AtrCheck::BadInitialByte);
    }
    // Interface bytes: each Y nibble says which of TA, TB, TC, TD follow; TD carries the next Y
    // and a protocol number. Any protocol other than T=0 makes TCK mandatory.
    size_t at = 1;
    uint8_t y = atr[at] >> 4;
    const size_t historicalCount = atr[at] & 0x0F;
    ++at;
    bool tckPresent = false;
    std::vector<uint8_t> tds;
    while (true) {
        const size_t count = ((y & 1) != 0) + ((y & 2) != 0) + ((y & 4) != 0) + ((y & 8) != 0);
        if (length - at < count) {
            return invalid(info, AtrCheck::Truncated);
        }
        at += count;
        if ((y & 8) == 0) {
            break;
        }
        const uint8_t td = atr[at - 1];
        tds.push_back(td);
        if ((td & 0x0F) != 0) {
            tckPresent = true;
        }
        y = td >> 4;
    }
    if (length - at < historicalCount) {
        return invalid(info, AtrCheck::Truncated);
    }
    info.historical.assign(atr + at, atr + at + historicalCount);
    at += historicalCount;
    if (tckPresent) {
        if (at == length) {
            return invalid(info, AtrCheck::Truncated);
        }
        uint8_t sum = 0;
        for (size_t i = 1; i <= at; ++i) {
            sum ^= atr[i];
        }
        if (sum != 0) {
            return invalid(info, AtrCheck::BadTck);
        }
        ++at;
    }
    if (at != length) {
        return invalid(info, AtrCheck::TrailingBytes);
    }
    // Both contactless forms: T0 with TD1 only, TD1 = 80 (TD2 follows, T=0), TD2 = 01 (T=1).
    const bool contactless = (atr[1] & 0xF0) == 0x80 && tds.size() == 2 && tds[0] == 0x80 && tds[1] == 0x01;
    if (!contactless) {
        return invalid(info, AtrCheck::UnknownForm);
    }
    // A -4 type A card whose ATS happens to carry the same 15 historical bytes is taken for a
    // storage card: the reader made the ATR, and readers give -4 cards no such bytes.
    if (hasStoragePrefix(info.historical)) {
        info.storageForm = true;
        info.standard = info.historical[StandardOffset];
        info.cardName =
            static_cast<uint16_t>(info.historical[StandardOffset + 1] << 8 | info.historical[StandardOffset + 2]);
        if (info.standard == StandardFelica) {
            info.kind = CardKind::Felica212;
        } else if (info.standard != StandardIso14443APart3) {
            return invalid(info, AtrCheck::UnsupportedStandard);
        } else if (info.cardName == CardNameFelica212) {
            info.kind = CardKind::Felica212;
        } else if (info.cardName == CardNameFelica424) {
            info.kind = CardKind::Felica424;
        } else if (info.cardName == CardNameType1) {
            return invalid(info, AtrCheck::UnsupportedCardName);
        } else {
            info.kind = CardKind::TypeAPart3;
        }
    } else {
        info.kind = looksLikeTypeB(info.historical) ? CardKind::TypeB4 : CardKind::TypeA4;
    }
    info.check = AtrCheck::Valid;
    return info;
}

}  // namespace pcsc
