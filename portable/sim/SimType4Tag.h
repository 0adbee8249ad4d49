// An NFC Forum Type 4 Tag (read only): the NDEF application with its capability container
// and NDEF file, answering ISO 7816-4 short APDUs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class SimType4Tag {
public:
    explicit SimType4Tag(const std::vector<uint8_t> &ndefMessage);

    // The card was (re)activated: no application and no file is selected.
    void reset();
    // Every APDU is answered: response data, if any, followed by the status word.
    std::vector<uint8_t> answer(const uint8_t *apdu, size_t length);

private:
    enum class SelectedFile { None, CapabilityContainer, Ndef };

    std::vector<uint8_t> select(const uint8_t *apdu, size_t length);
    std::vector<uint8_t> readBinary(const uint8_t *apdu, size_t length) const;
    const std::vector<uint8_t> *selectedFile() const;

    std::vector<uint8_t> m_CapabilityContainer;
    std::vector<uint8_t> m_NdefFile;  // NLEN (2 bytes) and the message
    bool m_ApplicationSelected = false;
    SelectedFile m_File = SelectedFile::None;
};

}  // namespace sim
