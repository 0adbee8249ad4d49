// Scenario files: any text is parsed or refused with its line. Every accepted card's NDEF
// message is read back by the demo's parser and, through the simulator's tag model, by the
// demo's tag reader, and both give the very bytes the simulator stored. A Type 2 Tag, read page
// by page with READ, has the capability container of its size and access, and its TLVs lead to
// the very bytes stored; a blank one reads as zeros; an image one holds its image. A writable Type 4 or Type 3 Tag takes the
// records in reverse order from the tag writer, and the reader then reads that message.
#include <algorithm>
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
#include "Type3TagWriter.h"
#include "Type4TagReader.h"
#include "Type4TagWriter.h"

namespace {

template <class Driver, class Card>
void drive(Driver &driver, Card &&answer)
{
    std::vector<uint8_t> command;
    unsigned commands = 0;
    while (driver.nextCommand(command)) {
        FUZZ_CHECK(++commands < 1000);
        const std::vector<uint8_t> response = answer(command);
        driver.takeResponse(response.empty() ? nullptr : response.data(), response.size());
    }
}

template <class Reader, class Card>
void readThrough(Reader &reader, Card &&answer, const std::vector<uint8_t> &stored)
{
    drive(reader, answer);
    if (stored.empty()) {
        FUZZ_CHECK(reader.outcome() == TagReadOutcome::NoMessage);
    } else {
        FUZZ_CHECK(reader.outcome() == TagReadOutcome::Message);
        FUZZ_CHECK(reader.message() == stored);
    }
}

// Reads the capability container and the whole data area with READ commands.
std::vector<uint8_t> readType2Memory(sim::SimType2Tag &tag, const sim::CardDescription &card)
{
    std::vector<uint8_t> memory;
    const size_t pages = 4 + card.dataAreaSize / 4;
    for (size_t page = 0; page < pages; page += 4) {
        const uint8_t read[] = {0x30, static_cast<uint8_t>(page)};
        std::vector<uint8_t> response;
        FUZZ_CHECK(tag.answer(read, sizeof(read), response) && response.size() == 16);
        memory.insert(memory.end(), response.begin(), response.end());
    }
    return memory;
}

// Walks the TLVs of the data area to the NDEF TLV.
void readType2Through(sim::SimType2Tag &tag, const sim::CardDescription &card, const std::vector<uint8_t> &stored)
{
    const std::vector<uint8_t> memory = readType2Memory(tag, card);
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
        FUZZ_CHECK(stored.size() <= sim::ndefCapacity(card));
        if (!card.records.empty()) {
            std::vector<NdefRecord> records;
            std::string error;
            FUZZ_CHECK(NdefMessage::parse(stored.data(), stored.size(), records, error));
            FUZZ_CHECK(records.size() == card.records.size());
        }
        const std::vector<uint8_t> reversed =
            sim::encodeNdefMessage(std::vector<sim::NdefRecordDescription>(card.records.rbegin(), card.records.rend()));
        // The models the simulated reader and the PN532 emulator make of the card.
        sim::CardModels models;
        sim::makeCardModels(card, models);
        const bool type4 = !card.type2 && (card.kind == sim::CardKind::TypeA || card.kind == sim::CardKind::TypeB);
        FUZZ_CHECK(bool(models.type2) == card.type2 && bool(models.type4) == type4 &&
                   bool(models.type3) == (!card.type2 && !type4));
        FUZZ_CHECK(!models.type2 || models.type2->strict() == card.strict);
        if (card.type2 && !card.image.empty()) {
            // An image tag holds the image from page 3, then zero pages up to page 15.
            FUZZ_CHECK(stored.empty() && !card.blank && !card.readOnly);
            const std::vector<uint8_t> &memory = models.type2->memory();
            FUZZ_CHECK(memory.size() == std::max<size_t>(12 + card.image.size(), 64));
            FUZZ_CHECK(std::equal(card.image.begin(), card.image.end(), memory.begin() + 12));
            FUZZ_CHECK(std::all_of(memory.begin() + 12 + card.image.size(), memory.end(), [](uint8_t b) { return b == 0; }));
        } else if (card.type2 && card.blank) {
            FUZZ_CHECK(stored.empty() && !card.readOnly);
            const std::vector<uint8_t> memory = readType2Memory(*models.type2, card);
            FUZZ_CHECK(std::all_of(memory.begin() + 12, memory.end(), [](uint8_t b) { return b == 0; }));
        } else if (card.type2) {
            readType2Through(*models.type2, card, stored);
        } else if (type4) {
            sim::SimType4Tag &tag = *models.type4;
            auto answer = [&](const std::vector<uint8_t> &apdu) { return tag.answer(apdu.data(), apdu.size()); };
            Type4TagReader reader;
            readThrough(reader, answer, stored);
            if (card.writable) {
                tag.reset();
                Type4TagWriter writer(reversed);
                drive(writer, answer);
                FUZZ_CHECK(writer.outcome() == TagWriteOutcome::Written);
                tag.reset();
                Type4TagReader again;
                readThrough(again, answer, reversed);
            }
        } else {
            sim::SimType3Tag &tag = *models.type3;
            auto answer = [&](const std::vector<uint8_t> &frame) {
                std::vector<uint8_t> response;
                tag.answer(frame.data(), frame.size(), response);
                return response;
            };
            Type3TagReader reader(card.nfcid2);
            readThrough(reader, answer, stored);
            if (card.writable) {
                Type3TagWriter writer(card.nfcid2, reversed);
                drive(writer, answer);
                FUZZ_CHECK(writer.outcome() == TagWriteOutcome::Written);
                Type3TagReader again(card.nfcid2);
                readThrough(again, answer, reversed);
            }
        }
    }
    return 0;
}
