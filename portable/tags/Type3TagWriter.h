// Writing the NDEF message of an NFC Forum Type 3 Tag so that a write cut at any point leaves the
// old message, an empty one (WriteFlag 0F: a write in progress, which Type3TagReader reads as no
// message) or the new message: the attribute information block is written with WriteFlag 0F, then the data blocks
// (Nbw at a time) with Write Without Encryption, then the block again with the new Ln, WriteFlag
// 00 and its checksum. Pure code: the caller sends each frame and hands the answer back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TagWriteOutcome.h"
#include "Type3TagReader.h"

class Type3TagWriter {
public:
    // The Write Without Encryption frame (length byte first) of `count` blocks from `first` of
    // the NDEF service; false when count is 0, a block number is above 0xFFFF, the frame would
    // exceed 255 bytes or `data` does not hold count blocks.
    static bool writeCommand(const uint8_t *idm, size_t first, size_t count, const uint8_t *data, size_t size,
                             std::vector<uint8_t> &frame);
    // The attribute block with the checksum over its first 14 bytes.
    static void sealAttributeBlock(uint8_t *block);

    // `idm`: the card's NFCID2 (8 bytes; any other size makes the tag invalid at once).
    Type3TagWriter(const std::vector<uint8_t> &idm, const std::vector<uint8_t> &message);

    bool nextCommand(std::vector<uint8_t> &frame);
    void takeResponse(const uint8_t *response, size_t length);

    TagWriteOutcome outcome() const { return m_Outcome; }
    const std::string &report() const { return m_Report; }
    const Type3AttributeInformation &attributes() const { return m_Info; }

private:
    enum class Step { ReadAttributes, MarkWriting, WriteBlocks, WriteAttributes, Done };

    void fail(TagWriteOutcome outcome, const std::string &report);
    const char *stepName() const;

    std::vector<uint8_t> m_Idm;
    std::vector<uint8_t> m_Data;  // the message padded to whole blocks
    size_t m_MessageLength = 0;
    Step m_Step = Step::ReadAttributes;
    TagWriteOutcome m_Outcome = TagWriteOutcome::Writing;
    std::string m_Report;
    Type3AttributeInformation m_Info;
    uint8_t m_Attributes[16] = {};
    size_t m_NextBlock = 0;  // data block index (0: block 1)
    size_t m_Sent = 0;       // blocks of the last write
};
