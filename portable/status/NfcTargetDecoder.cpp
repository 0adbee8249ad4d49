#include "NfcTargetDecoder.h"

#include <cstring>

#include "korvat_nfc.h"
#include "korvat_nfc_plugin.h"

namespace {

uint32_t readU32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void writeU32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Offset of the variable part's length byte, which is also the fixed part's size minus one.
size_t lengthOffset(uint32_t cardType)
{
    switch (cardType) {
    case DEVICE_TYPE_NFC_14443A_18092_106K: return GP_AD_A_ATS_SIZE;
    case DEVICE_TYPE_NFC_14443B_106K: return GP_AD_B_ATTRIB_SIZE;
    default: return GP_AD_F_RD_SIZE;
    }
}

} // namespace

bool NfcTargetDecoder::hasRecord(uint32_t cardType)
{
    return cardType == DEVICE_TYPE_NFC_14443A_18092_106K || cardType == DEVICE_TYPE_NFC_18092_212K ||
           cardType == DEVICE_TYPE_NFC_18092_424K || cardType == DEVICE_TYPE_NFC_14443B_106K;
}

NfcTargetCheck NfcTargetDecoder::check(uint32_t cardType, const uint8_t *data, uint32_t size)
{
    if (!hasRecord(cardType)) {
        return NfcTargetCheck::UnsupportedType;
    }
    const size_t fixedPart = lengthOffset(cardType) + 1;
    if (data == nullptr || size < fixedPart) {
        return NfcTargetCheck::IllegalSize;
    }
    if (size != fixedPart + data[fixedPart - 1]) {
        return NfcTargetCheck::IllegalSize;
    }
    if (cardType == DEVICE_TYPE_NFC_14443A_18092_106K && data[GP_AD_A_NFCID1_SIZE] > MaximumNfcid1Size) {
        return NfcTargetCheck::IllegalNfcid1Size;
    }
    return NfcTargetCheck::Valid;
}

size_t NfcTargetDecoder::blockSize(uint32_t cardType, const uint8_t *data)
{
    return recordSize(cardType, data);
}

size_t NfcTargetDecoder::recordSize(uint32_t cardType, const uint8_t *data)
{
    const size_t variable = data[lengthOffset(cardType)];
    switch (cardType) {
    case DEVICE_TYPE_NFC_14443A_18092_106K: return KORVAT_NFC_14443A_RECORD_SIZE(variable);
    case DEVICE_TYPE_NFC_14443B_106K: return KORVAT_NFC_14443B_RECORD_SIZE(variable);
    default: return KORVAT_NFC_18092_RECORD_SIZE(variable);
    }
}

uint32_t NfcTargetDecoder::targetNumber(const uint8_t *data)
{
    return readU32(data + GP_AD_TARGET_NUMBER);
}

void NfcTargetDecoder::fill(uint32_t cardType, const uint8_t *data, uint8_t *block)
{
    const uint32_t number = targetNumber(data);
    switch (cardType) {
    case DEVICE_TYPE_NFC_14443A_18092_106K: {
        const uint8_t atsSize = data[GP_AD_A_ATS_SIZE];
        writeU32(block + offsetof(DEVICE_DATA_NFC_14443A_18092_106K, target_device), cardType);
        writeU32(block + offsetof(DEVICE_DATA_NFC_14443A_18092_106K, target_number), number);
        block[offsetof(DEVICE_DATA_NFC_14443A_18092_106K, sens_res)] = data[GP_AD_A_SENS_RES];
        block[offsetof(DEVICE_DATA_NFC_14443A_18092_106K, sens_res) + 1] = data[GP_AD_A_SENS_RES + 1];
        block[offsetof(DEVICE_DATA_NFC_14443A_18092_106K, sel_res)] = data[GP_AD_A_SEL_RES];
        block[offsetof(DEVICE_DATA_NFC_14443A_18092_106K, NFCID1_size)] = data[GP_AD_A_NFCID1_SIZE];
        std::memcpy(block + offsetof(DEVICE_DATA_NFC_14443A_18092_106K, NFCID1), data + GP_AD_A_NFCID1, 10);
        block[offsetof(DEVICE_DATA_NFC_14443A_18092_106K, ATS_size)] = atsSize;
        std::memcpy(block + offsetof(DEVICE_DATA_NFC_14443A_18092_106K, ATS), data + GP_AD_A_ATS, atsSize);
        break;
    }
    case DEVICE_TYPE_NFC_14443B_106K: {
        const uint8_t attribSize = data[GP_AD_B_ATTRIB_SIZE];
        writeU32(block + offsetof(DEVICE_DATA_NFC_14443B_106K, target_device), cardType);
        writeU32(block + offsetof(DEVICE_DATA_NFC_14443B_106K, target_number), number);
        std::memcpy(block + offsetof(DEVICE_DATA_NFC_14443B_106K, ATQB), data + GP_AD_B_ATQB, 12);
        block[offsetof(DEVICE_DATA_NFC_14443B_106K, ATTRIB_size)] = attribSize;
        std::memcpy(block + offsetof(DEVICE_DATA_NFC_14443B_106K, ATTRIB), data + GP_AD_B_ATTRIB, attribSize);
        break;
    }
    default: {
        const uint8_t rdSize = data[GP_AD_F_RD_SIZE];
        writeU32(block + offsetof(DEVICE_DATA_NFC_18092_212_424K, target_device), cardType);
        block[offsetof(DEVICE_DATA_NFC_18092_212_424K, id)] = data[GP_AD_ID_BYTE] == 4 ? 0 : 1;
        writeU32(block + offsetof(DEVICE_DATA_NFC_18092_212_424K, target_number), number);
        std::memcpy(block + offsetof(DEVICE_DATA_NFC_18092_212_424K, NFCID2), data + GP_AD_F_NFCID2, 8);
        std::memcpy(block + offsetof(DEVICE_DATA_NFC_18092_212_424K, Pad), data + GP_AD_F_PAD, 8);
        block[offsetof(DEVICE_DATA_NFC_18092_212_424K, RD_size)] = rdSize;
        std::memcpy(block + offsetof(DEVICE_DATA_NFC_18092_212_424K, RD), data + GP_AD_F_RD, rdSize);
        break;
    }
    }
}
