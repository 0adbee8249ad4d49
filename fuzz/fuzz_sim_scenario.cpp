// Scenario files: any text is parsed or refused with its line. Every accepted card's NDEF
// message is read back by the demo's parser and, through the simulator's tag model, by the
// demo's tag reader, and both give the very bytes the simulator stored.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "NdefMessage.h"
#include "SimNdef.h"
#include "SimScenario.h"
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
        if (card.kind == sim::CardKind::TypeA || card.kind == sim::CardKind::TypeB) {
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
