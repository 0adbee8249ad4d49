// Reading the NDEF message of an NFC Forum Type 4 Tag, as a sequence of short APDUs: select the
// NDEF application, read the capability container, select the NDEF file, read NLEN, then the
// message in pieces of at most MLe bytes. Every value the tag gives is checked before it is used.
// Pure code: the caller sends each command and hands the answer back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TagReadOutcome.h"

struct Type4CapabilityContainer {
    uint16_t length = 0;           // CCLEN
    uint8_t mappingVersion = 0;    // major version in the high nibble
    uint16_t maximumRead = 0;      // MLe: most data bytes of one READ BINARY answer
    uint16_t maximumCommand = 0;   // MLc
    uint16_t ndefFileId = 0;
    uint16_t maximumNdefSize = 0;  // the NDEF file's size, NLEN included
    uint8_t readAccess = 0;
    uint8_t writeAccess = 0;
};

class Type4TagReader {
public:
    // Bytes of the capability container that are read (up to the NDEF file control TLV).
    static constexpr size_t CapabilityContainerSize = 15;

    // Checks the first CapabilityContainerSize bytes of a capability container.
    static bool parseCapabilityContainer(const uint8_t *data, size_t size, Type4CapabilityContainer &cc,
                                         std::string &error);
    // A READ BINARY of `length` bytes at `offset` with a short Le; false when the offset needs
    // more than the 15 bits that P1-P2 carry (bit 15 of P1 selects a short file identifier
    // instead) or the length is 0 or above 255.
    static bool readBinaryCommand(size_t offset, size_t length, std::vector<uint8_t> &apdu);
    // The commands every session with a Type 4 Tag begins with (a writer's too): SELECT of the
    // NDEF application by its name, and SELECT of a file by its identifier.
    static std::vector<uint8_t> selectApplicationCommand();
    static std::vector<uint8_t> selectFileCommand(uint16_t id);
    static constexpr uint16_t CapabilityContainerFileId = 0xE103;
    static constexpr uint16_t StatusOk = 0x9000;
    // READ and UPDATE BINARY with P1 bit 8 clear carry a 15-bit offset.
    static constexpr size_t LargestOffset = 0x7FFF;
    // Most bytes of an NDEF message the NDEF file holds: the file less NLEN, within the 15-bit
    // offsets (0 before a capability container is read).
    static size_t capacity(const Type4CapabilityContainer &cc);

    // The next command to send; false once reading has ended (outcome() is then final).
    bool nextCommand(std::vector<uint8_t> &apdu);
    // The card's answer (data and status word) to the command last returned.
    void takeResponse(const uint8_t *response, size_t length);

    TagReadOutcome outcome() const { return m_Outcome; }
    // What went wrong, for Refused and InvalidTag.
    const std::string &report() const { return m_Report; }
    const std::vector<uint8_t> &message() const { return m_Message; }
    const Type4CapabilityContainer &capabilityContainer() const { return m_Cc; }

private:
    enum class Step { SelectApplication, SelectCapabilityContainer, ReadCapabilityContainer, SelectNdefFile,
                      ReadLength, ReadMessage, Done };

    void fail(TagReadOutcome outcome, const std::string &report);
    const char *stepName() const;

    Step m_Step = Step::SelectApplication;
    TagReadOutcome m_Outcome = TagReadOutcome::Reading;
    std::string m_Report;
    Type4CapabilityContainer m_Cc;
    size_t m_MessageLength = 0;
    size_t m_Asked = 0;  // data bytes asked for by the last READ BINARY
    std::vector<uint8_t> m_Message;
};
