// Fuzz target of the PC/SC ATR parser and of the target record built from an ATR and the
// reader's GET DATA answers. Input: ATR length, ATR, UID answer length, UID answer, ATS answer.
// Rules checked:
//  - a valid ATR has a card kind, its bytes XOR to 0 from T0 on, its historical bytes sit right
//    before TCK, and without its last byte it is truncated; a refused one has no kind;
//  - the storage-card form has 15 historical bytes and its SS where the form puts it; a -4 ATR
//    is type B exactly when the documented rule says so;
//  - a record that builds gives a block the library's decoder accepts, of the kind's card type.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzCheck.h"
#include "NfcTargetDecoder.h"
#include "PcscAtr.h"
#include "PcscTargetRecord.h"
#include "korvat_nfc_plugin.h"

namespace {

void checkAtr(const std::vector<uint8_t> &atr, const pcsc::AtrInfo &info)
{
    if (info.check != pcsc::AtrCheck::Valid) {
        FUZZ_CHECK(info.kind == pcsc::CardKind::Unknown);
        return;
    }
    FUZZ_CHECK(info.kind != pcsc::CardKind::Unknown);
    uint8_t sum = 0;
    for (size_t i = 1; i < atr.size(); ++i) {
        sum ^= atr[i];
    }
    FUZZ_CHECK(sum == 0);
    FUZZ_CHECK(info.historical.size() + 1 < atr.size());
    FUZZ_CHECK(std::vector<uint8_t>(atr.end() - 1 - info.historical.size(), atr.end() - 1) == info.historical);
    FUZZ_CHECK(pcsc::parseAtr(atr.data(), atr.size() - 1).check == pcsc::AtrCheck::Truncated);
    if (info.storageForm) {
        FUZZ_CHECK(info.historical.size() == 15 && info.standard == info.historical[8]);
        FUZZ_CHECK(info.kind != pcsc::CardKind::TypeA4 && info.kind != pcsc::CardKind::TypeB4);
    } else {
        FUZZ_CHECK((info.kind == pcsc::CardKind::TypeB4) == pcsc::looksLikeTypeB(info.historical));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const std::vector<uint8_t> atr = input.chunk();
    const pcsc::AtrInfo info = pcsc::parseAtr(atr.data(), atr.size());
    checkAtr(atr, info);

    const std::vector<uint8_t> uidBytes = input.chunk();
    const std::vector<uint8_t> atsBytes = input.rest();
    const pcsc::GetDataAnswer uid = pcsc::parseGetDataAnswer(uidBytes.data(), uidBytes.size());
    const pcsc::GetDataAnswer ats = pcsc::parseGetDataAnswer(atsBytes.data(), atsBytes.size());
    FUZZ_CHECK(uid.data.size() + 2 <= uidBytes.size() || uid.data.empty());
    pcsc::CardRecord record;
    pcsc::Error error;
    if (!pcsc::buildCardRecord(info, uid, atsBytes.empty() ? nullptr : &ats, record, error)) {
        FUZZ_CHECK((error.code & 0xFFFF0000u) == 0xE0540000u);
        return 0;
    }
    const uint32_t cardType = pcsc::libraryCardType(record.kind);
    FUZZ_CHECK(cardType != 0 && record.target.cardType == cardType);
    const std::vector<uint8_t> block = pcsc::additionalData(record, 1);
    FUZZ_CHECK(NfcTargetDecoder::check(cardType, block.data(), static_cast<uint32_t>(block.size())) ==
               NfcTargetCheck::Valid);
    return 0;
}
