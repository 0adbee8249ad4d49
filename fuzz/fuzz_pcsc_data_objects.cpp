// Fuzz target of what a PC/SC reader answers: BER-TLV data objects, transparent-session
// answers, the probe plan, one exchange per profile and PN532 listings. The first byte picks
// the parser. Rules checked:
//  - objects that parse re-encode (shortest length form) to bytes that parse to the same
//    objects, never longer than the input; a refused span leaves no objects;
//  - a session answer keeps its trailing status word, and its card answer lies inside it;
//  - the probe plan ends within its four commands whatever the answers, with a profile its
//    steps allow;
//  - an exchange never answers more than the maximum, asks again only with the PN532's
//    continuation and after its answer grew (so a chain always ends), and fails only with a
//    pair of the reader's range;
//  - a listing that parses gives a block the library's decoder accepts.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzCheck.h"
#include "NfcTargetDecoder.h"
#include "PcscDataObjects.h"
#include "PcscProfile.h"
#include "PcscTargetRecord.h"

namespace {

bool sameObjects(const std::vector<pcsc::DataObject> &a, const std::vector<pcsc::DataObject> &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        // A constructed object's value is re-encoded from its children, maybe shorter.
        if (a[i].tag != b[i].tag || !sameObjects(a[i].children, b[i].children) ||
            (!a[i].constructed() && a[i].value != b[i].value)) {
            return false;
        }
    }
    return true;
}

bool inRange(const pcsc::Error &error)
{
    return (error.code & 0xFFFF0000u) == 0xE0540000u;
}

void checkObjects(const std::vector<uint8_t> &bytes)
{
    std::vector<pcsc::DataObject> objects;
    if (pcsc::parseDataObjects(bytes.data(), bytes.size(), objects) != pcsc::ObjectsCheck::Valid) {
        FUZZ_CHECK(objects.empty());
        return;
    }
    std::vector<uint8_t> encoded;
    for (const pcsc::DataObject &object : objects) {
        const std::vector<uint8_t> one = pcsc::encodeDataObject(object);
        encoded.insert(encoded.end(), one.begin(), one.end());
    }
    FUZZ_CHECK(encoded.size() <= bytes.size());
    std::vector<pcsc::DataObject> again;
    FUZZ_CHECK(pcsc::parseDataObjects(encoded.data(), encoded.size(), again) == pcsc::ObjectsCheck::Valid);
    FUZZ_CHECK(sameObjects(objects, again));
}

void checkSessionAnswer(const std::vector<uint8_t> &bytes)
{
    pcsc::SessionAnswer answer;
    pcsc::Error error;
    if (!pcsc::parseSessionAnswer(bytes.data(), bytes.size(), answer, error)) {
        FUZZ_CHECK(inRange(error));
        return;
    }
    FUZZ_CHECK(bytes.size() >= 2);
    FUZZ_CHECK(answer.statusWord == (bytes[bytes.size() - 2] << 8 | bytes[bytes.size() - 1]));
    FUZZ_CHECK(!answer.hasCardAnswer || answer.cardAnswer.size() + 4 <= bytes.size());
    pcsc::Error judged;
    FUZZ_CHECK(pcsc::sessionAnswerOk(answer, judged) || inRange(judged));
}

void checkProbe(FuzzInput &input)
{
    const pcsc::CardKind kind = static_cast<pcsc::CardKind>(input.byte() % 6);
    pcsc::ProbePlan plan(kind);
    int steps = 0;
    while (!plan.finished()) {
        FUZZ_CHECK(++steps <= 4 && !plan.command().empty());
        const std::vector<uint8_t> answer = input.chunk();
        if (answer.size() == 1) {
            pcsc::Error error;
            if (plan.transmitFailed(0x80100000u | answer[0], error) == pcsc::ProbeOutcome::Failed) {
                FUZZ_CHECK(inRange(error) && plan.finished());
            }
        } else {
            plan.answer(answer.data(), answer.size());
        }
    }
    FUZZ_CHECK(plan.profile() != pcsc::Profile::StoragePages || kind == pcsc::CardKind::TypeAPart3);
    FUZZ_CHECK(plan.profile() == pcsc::Profile::Pn532 || plan.firmware() == 0);
}

void checkExchange(FuzzInput &input)
{
    const pcsc::Profile profile = static_cast<pcsc::Profile>(input.byte() % 4);
    const pcsc::CardKind kind = static_cast<pcsc::CardKind>(input.byte() % 6);
    const std::vector<uint8_t> frame = input.chunk();
    pcsc::Exchange exchange;
    pcsc::Error error;
    if (!exchange.begin(profile, kind, frame.data(), frame.size(), input.byte(), error)) {
        FUZZ_CHECK(inRange(error));
        return;
    }
    FUZZ_CHECK(!exchange.command().empty());
    for (int step = 0; step < 8; ++step) {
        const size_t gathered = exchange.response().size();
        const std::vector<uint8_t> answer = input.chunk();
        switch (exchange.answer(answer.data(), answer.size(), error)) {
        case pcsc::Exchange::Step::Done:
            FUZZ_CHECK(exchange.response().size() <= pcsc::MaximumResponseSize);
            return;
        case pcsc::Exchange::Step::Failed:
            FUZZ_CHECK(inRange(error));
            return;
        case pcsc::Exchange::Step::Again:
            FUZZ_CHECK(profile == pcsc::Profile::Pn532 && exchange.response().size() > gathered);
            FUZZ_CHECK(exchange.command() == pcsc::pn532Command({0x40, pcsc::Pn532Target}));
            break;
        }
    }
}

void checkListing(FuzzInput &input)
{
    const pcsc::CardKind kind = static_cast<pcsc::CardKind>(input.byte() % 6);
    const std::vector<uint8_t> answer = input.rest();
    pcsc::CardRecord record;
    pcsc::Error error;
    if (!pcsc::cardRecordFromListing(kind, answer.data(), answer.size(), record, error)) {
        FUZZ_CHECK(inRange(error));
        return;
    }
    const uint32_t cardType = pcsc::libraryCardType(record.kind);
    const std::vector<uint8_t> block = pcsc::additionalData(record, 2);
    FUZZ_CHECK(NfcTargetDecoder::check(cardType, block.data(), static_cast<uint32_t>(block.size())) ==
               NfcTargetCheck::Valid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    switch (input.byte() % 5) {
    case 0: checkObjects(input.rest()); break;
    case 1: checkSessionAnswer(input.rest()); break;
    case 2: checkProbe(input); break;
    case 3: checkExchange(input); break;
    default: checkListing(input); break;
    }
    return 0;
}
