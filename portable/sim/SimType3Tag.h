// An NFC Forum Type 3 Tag (read only): the NDEF service 0x000B with its attribute information
// block and data blocks, answering Polling and Read Without Encryption frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class SimType3Tag {
public:
    SimType3Tag(const std::vector<uint8_t> &idm, const std::vector<uint8_t> &pmm,
                const std::vector<uint8_t> &requestData, const std::vector<uint8_t> &ndefMessage);

    // A frame begins with its length byte. False: the card does not respond.
    bool answer(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const;

private:
    bool answerPolling(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const;
    bool answerRead(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const;
    void finishFrame(std::vector<uint8_t> &response) const;

    std::vector<uint8_t> m_Idm;
    std::vector<uint8_t> m_Pmm;
    std::vector<uint8_t> m_RequestData;  // system code answered to a Polling with request code 1
    std::vector<uint8_t> m_Blocks;       // block 0 (attribute information), then the NDEF data
};

}  // namespace sim
