// Decoding of a found target's additional data (plug-in's block) into the target information
// record handed to the application. Pure code: every check reads only inside the declared
// block, so any bytes and any size may be handed over.
#pragma once

#include <cstddef>
#include <cstdint>

enum class NfcTargetCheck {
    Valid,
    IllegalSize,        // block shorter than its fixed part, or size not fixed part + variable part
    IllegalNfcid1Size,  // card type 1 with NFCID1_size above 10
    UnsupportedType,    // no record for this card type
};

class NfcTargetDecoder {
public:
    // Card types with a record: 1 (14443 A / 18092 106k), 2 and 4 (18092 212/424k), 8 (14443 B).
    static bool hasRecord(uint32_t cardType);
    static NfcTargetCheck check(uint32_t cardType, const uint8_t *data, uint32_t size);
    // Bytes of the record of a valid block, as the application header defines them.
    static size_t recordSize(uint32_t cardType, const uint8_t *data);
    // Bytes a buffer must have to take the record: the record itself, nothing more.
    static size_t blockSize(uint32_t cardType, const uint8_t *data);
    // Writes the record of a valid block into block (blockSize bytes); padding is not written.
    static void fill(uint32_t cardType, const uint8_t *data, uint8_t *block);
    static uint32_t targetNumber(const uint8_t *data);

    static constexpr uint8_t MaximumNfcid1Size = 10;
};
