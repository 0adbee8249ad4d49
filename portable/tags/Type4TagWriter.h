// Writing the NDEF message of an NFC Forum Type 4 Tag so that a write cut at any point leaves the
// old message, an empty one or the new one: NLEN is set to 0, the message is written in UPDATE
// BINARY pieces of at most MLc bytes, and NLEN is written last. The capability container is read
// first for the NDEF file, its size and its write access. Pure code: the caller sends each
// command and hands the answer back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TagWriteOutcome.h"
#include "Type4TagReader.h"

class Type4TagWriter {
public:
    // An UPDATE BINARY of `data` at `offset` with a short Lc; false when the offset needs more
    // than 15 bits or the data is empty or above 255 bytes.
    static bool updateBinaryCommand(size_t offset, const uint8_t *data, size_t size, std::vector<uint8_t> &apdu);

    // Writes `message` (empty: NLEN 0 only).
    explicit Type4TagWriter(const std::vector<uint8_t> &message);

    bool nextCommand(std::vector<uint8_t> &apdu);
    void takeResponse(const uint8_t *response, size_t length);

    TagWriteOutcome outcome() const { return m_Outcome; }
    const std::string &report() const { return m_Report; }
    const Type4CapabilityContainer &capabilityContainer() const { return m_Cc; }

private:
    enum class Step { SelectApplication, SelectCapabilityContainer, ReadCapabilityContainer, SelectNdefFile,
                      ClearLength, WriteMessage, WriteLength, Done };

    void fail(TagWriteOutcome outcome, const std::string &report);
    const char *stepName() const;

    std::vector<uint8_t> m_Message;
    Step m_Step = Step::SelectApplication;
    TagWriteOutcome m_Outcome = TagWriteOutcome::Writing;
    std::string m_Report;
    Type4CapabilityContainer m_Cc;
    size_t m_Written = 0;  // message bytes written
    size_t m_Piece = 0;    // message bytes of the last UPDATE BINARY
};
