// An NFC Forum Type 3 Tag: the NDEF service with its attribute information block and data
// blocks, answering Polling and Read Without Encryption (service 0x000B) frames. Read only
// (RWFlag 00, exactly the blocks of the message), or writable: RWFlag 01, a fixed number of data
// blocks (Nmaxb), and Write Without Encryption (service 0x0009) of up to Nbw blocks per frame to
// the attribute block and the data blocks, kept as written (the attribute block's checksum too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class SimType3Tag {
public:
    static const size_t BlockSize = 16;
    // Nbw of a writable tag: the most blocks one Write Without Encryption may carry.
    static const uint8_t MaximumBlocksPerWrite = 4;
    // Data capacities (bytes) a writable tag may have.
    static const size_t SmallestWritableCapacity = 16;
    static const size_t LargestWritableCapacity = 8192;

    // A read only tag holding `ndefMessage`.
    SimType3Tag(const std::vector<uint8_t> &idm, const std::vector<uint8_t> &pmm,
                const std::vector<uint8_t> &requestData, const std::vector<uint8_t> &ndefMessage);
    // A writable tag of `capacity` bytes (within the limits above, rounded up to whole blocks)
    // holding `ndefMessage`, which fits the capacity.
    SimType3Tag(const std::vector<uint8_t> &idm, const std::vector<uint8_t> &pmm,
                const std::vector<uint8_t> &requestData, const std::vector<uint8_t> &ndefMessage, size_t capacity);

    // A frame begins with its length byte. False: the card does not respond.
    bool answer(const uint8_t *frame, size_t length, std::vector<uint8_t> &response);

    // Block 0 (attribute information), then the data blocks.
    const std::vector<uint8_t> &blocks() const { return m_Blocks; }

private:
    // Block 0 and `dataBlocks` blocks holding the message, then zeros.
    void layOut(const std::vector<uint8_t> &ndefMessage, size_t dataBlocks);
    bool answerPolling(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const;
    // The parts of a Read or Write Without Encryption frame after its IDm.
    struct BlockAccess {
        size_t services = 0;
        const uint8_t *serviceList = nullptr;
        std::vector<uint16_t> blockNumbers;
        std::vector<uint8_t> serviceOrders;
        const uint8_t *data = nullptr;  // write: the blocks' data
    };

    bool answerRead(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const;
    bool answerWrite(const uint8_t *frame, size_t length, std::vector<uint8_t> &response);
    // False: the frame is not the card's or is cut short (no response). `dataBlocks`: a write
    // frame ends with the data of its blocks.
    bool parseBlockAccess(const uint8_t *frame, size_t length, bool dataBlocks, BlockAccess &access) const;
    // The status flag 2 of a frame that names `serviceCode` and at most `mostBlocks` blocks; 0: none.
    uint8_t checkBlockAccess(const BlockAccess &access, uint16_t serviceCode, size_t mostBlocks) const;
    void beginResponse(uint8_t code, std::vector<uint8_t> &response) const;
    void finishFrame(std::vector<uint8_t> &response) const;

    std::vector<uint8_t> m_Idm;
    std::vector<uint8_t> m_Pmm;
    std::vector<uint8_t> m_RequestData;  // system code answered to a Polling with request code 1
    std::vector<uint8_t> m_Blocks;       // block 0 (attribute information), then the NDEF data
    bool m_Writable = false;
};

}  // namespace sim
