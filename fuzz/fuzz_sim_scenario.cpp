// Scenario files: any text is parsed or refused with its line. Every accepted card's NDEF
// message is read back by the demo's parser and, through the simulator's tag model, by the
// demo's tag reader, and both give the very bytes the simulator stored. A Type 2 Tag, read page
// by page with READ, has the capability container of its size and access, and its TLVs lead to
// the very bytes stored.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "NdefMessage.h"
#include "SimNdef.h"
#include "SimScenario.h"
#include "SimType2Tag.h"
#include "SimType3Tag.h"
#include "SimType4Tag.h"
#include "Type3TagReader.h"
#include "Type4TagReader.h"

namespace {

template <class Reader, class Card>
void readThrough(Reader &reader, Card &&answer, const std::vector<uint8_t> &stored)
{
    std::vector<uint8_t> command;
    unsigned commands = 0;
    while (reader.nextCommand(command)) {
        FUZZ_CHECK(++commands < 1000);
        const std::vector<uint8_t> response = answer(command);
        reader.takeResponse(response.empty() ? nullptr : response.data(), response.size());
    }
    if (stored.empty()) {
        FUZZ_CHECK(reader.outcome() == TagReadOutcome::NoMessage);
    } else {
        FUZZ_CHECK(reader.outcome() == TagReadOutcome::Message);
        FUZZ_CHECK(reader.message() == stored);
    }
}

// Reads the whole data area with READ commands and walks its TLVs to the NDEF TLV.
void readType2Through(sim::SimType2Tag &tag, const sim::CardDescription &card, const std::vector<uint8_t> &stored)
{
    std::vector<uint8_t> memory;
    const size_t pages = 4 + card.dataAreaSize / 4;
    for (size_t page = 0; page < pages; page += 4) {
        const uint8_t read[] = {0x30, static_cast<uint8_t>(page)};
        std::vector<uint8_t> response;
        FUZZ_CHECK(tag.answer(read, sizeof(read), response) && response.size() == 16);
        memory.insert(memory.end(), response.begin(), response.end());
    }
    FUZZ_CHECK(memory[12] == 0xE1 && memory[13] == 0x10 && memory[14] * 8u == card.dataAreaSize);
    FUZZ_CHECK(memory[15] == (card.readOnly ? 0x0F : 0x00));
    size_t at = 16;
    const size_t end = 16 + card.dataAreaSize;
    while (at < end && memory[at] != 0x03) {
        FUZZ_CHECK(memory[at] == 0x01 || memory[at] == 0x02);  // only the control TLVs come first
        FUZZ_CHECK(at + 2 <= end);
        at += 2 + memory[at + 1];
    }
    FUZZ_CHECK(at + 2 <= end);
    size_t length = memory[at + 1];
    at += 2;
    if (length == 0xFF) {
        FUZZ_CHECK(at + 2 <= end);
        length = static_cast<size_t>(memory[at] << 8 | memory[at + 1]);
        FUZZ_CHECK(length >= 0xFF);
        at += 2;
    }
    FUZZ_CHECK(at + length <= end);
    FUZZ_CHECK(std::vector<uint8_t>(memory.begin() + at, memory.begin() + at + length) == stored);
    FUZZ_CHECK(at + length == end || memory[at + length] == 0xFE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    sim::Scenario scenario;
    uint32_t line = 0;
    if (!sim::parseScenario(text, scenario, line)) {
        FUZZ_CHECK(line >= 1);
        return 0;
    }
    for (const sim::CardDescription &card : scenario.cards) {
        FUZZ_CHECK(card.enterMs < card.leaveMs);
        const std::vector<uint8_t> stored = sim::encodeNdefMessage(card.records);
        FUZZ_CHECK(stored.size() <= 1024);
        if (!card.records.empty()) {
            std::vector<NdefRecord> records;
            std::string error;
            FUZZ_CHECK(NdefMessage::parse(stored.data(), stored.size(), records, error));
            FUZZ_CHECK(records.size() == card.records.size());
        }
        if (card.type2) {
            FUZZ_CHECK(stored.size() <= sim::SimType2Tag::ndefCapacity(card.dataAreaSize));
            sim::SimType2Tag tag(card.nfcid1, card.dataAreaSize, stored, card.readOnly, card.signature);
            readType2Through(tag, card, stored);
        } else if (card.kind == sim::CardKind::TypeA || card.kind == sim::CardKind::TypeB) {
            sim::SimType4Tag tag(stored);
            Type4TagReader reader;
            readThrough(reader, [&](const std::vector<uint8_t> &apdu) { return tag.answer(apdu.data(), apdu.size()); },
                        stored);
        } else {
            const sim::SimType3Tag tag(card.nfcid2, card.pad, card.rd, stored);
            Type3TagReader reader(card.nfcid2);
            readThrough(reader,
                        [&](const std::vector<uint8_t> &frame) {
                            std::vector<uint8_t> response;
                            tag.answer(frame.data(), frame.size(), response);
                            return response;
                        },
                        stored);
        }
    }
    return 0;
}
