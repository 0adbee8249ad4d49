// Registry list values: cut to the most characters used, split at ",", spaces trimmed.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "NfcRegistryList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const size_t most = input.byte() * 16u + input.byte();
    const std::vector<uint8_t> bytes = input.rest();
    const std::string value(bytes.begin(), bytes.end());
    std::vector<std::string> items;
    const size_t count = NfcRegistryList::parse(value, most, items);
    FUZZ_CHECK(count == items.size());

    const std::string used = value.substr(0, most);
    if (used.empty()) {
        FUZZ_CHECK(count == 0);
        return 0;
    }
    size_t commas = 0;
    size_t characters = 0;
    for (char c : used) {
        commas += c == ',';
        characters += c != ',' && c != ' ';
    }
    // One item per separator plus one; no item keeps a separator or an outer space, and no
    // other character is lost or invented.
    FUZZ_CHECK(count == commas + 1);
    size_t kept = 0;
    for (const std::string &item : items) {
        FUZZ_CHECK(item.find(',') == std::string::npos);
        FUZZ_CHECK(item.empty() || (item.front() != ' ' && item.back() != ' '));
        for (char c : item) {
            kept += c != ' ';
        }
        FUZZ_CHECK(NfcRegistryList::trimSpaces(item) == item);
    }
    FUZZ_CHECK(kept == characters);
    return 0;
}
