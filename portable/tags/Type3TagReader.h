// Reading the NDEF message of an NFC Forum Type 3 Tag with Read Without Encryption of the NDEF
// service: the attribute information block (block 0) gives the message length Ln and how many
// blocks one command may read (Nbr), then the data blocks follow. Every value the tag gives is
// checked before it is used. A tag whose WriteFlag is 0F (a write in progress, or cut) holds no
// valid data: it reads as initialised and empty (NoMessage), as the next write leaves it at once. Pure code: the caller sends each frame and hands the answer back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TagReadOutcome.h"

struct Type3AttributeInformation {
    uint8_t version = 0;           // major version in the high nibble
    uint8_t blocksPerRead = 0;     // Nbr
    uint8_t blocksPerWrite = 0;    // Nbw
    uint16_t maximumBlocks = 0;    // Nmaxb: data blocks available to NDEF
    uint8_t writeFlag = 0;         // 0x0F: a write is in progress
    uint8_t accessFlag = 0;        // 0x00 read only, 0x01 read/write
    uint32_t messageLength = 0;    // Ln
};

class Type3TagReader {
public:
    static constexpr size_t BlockSize = 16;
    static constexpr size_t IdmSize = 8;
    // A Read Without Encryption answer holds 13 + 16 * blocks bytes behind a one-byte length:
    // more than 15 blocks cannot be answered.
    static constexpr size_t MostBlocksPerRead = 15;

    // Checks the block; WriteFlag may be 00 or 0F (a write in progress, or one that was cut).
    static bool parseAttributeBlock(const uint8_t *block, size_t size, Type3AttributeInformation &info,
                                    std::string &error);
    // Most bytes of an NDEF message the tag holds: Nmaxb blocks.
    static size_t capacity(const Type3AttributeInformation &info)
    {
        return static_cast<size_t>(info.maximumBlocks) * BlockSize;
    }
    // The Read Without Encryption frame (length byte first) of `count` blocks from `first` of
    // the NDEF service; false when count is 0 or above 15 or a block number is above 0xFFFF.
    static bool readCommand(const uint8_t *idm, size_t first, size_t count, std::vector<uint8_t> &frame);

    // `idm`: the card's NFCID2 (8 bytes; any other size makes the tag invalid at once).
    explicit Type3TagReader(const std::vector<uint8_t> &idm);

    bool nextCommand(std::vector<uint8_t> &frame);
    void takeResponse(const uint8_t *response, size_t length);

    TagReadOutcome outcome() const { return m_Outcome; }
    const std::string &report() const { return m_Report; }
    const std::vector<uint8_t> &message() const { return m_Message; }
    const Type3AttributeInformation &attributes() const { return m_Info; }

private:
    void fail(TagReadOutcome outcome, const std::string &report);

    std::vector<uint8_t> m_Idm;
    bool m_AttributesRead = false;
    bool m_Done = false;
    TagReadOutcome m_Outcome = TagReadOutcome::Reading;
    std::string m_Report;
    Type3AttributeInformation m_Info;
    size_t m_NextBlock = 0;
    size_t m_Asked = 0;       // blocks asked for by the last frame
    size_t m_DataBlocks = 0;  // blocks holding the message
    std::vector<uint8_t> m_Message;
};
