// The port list a plug-in hands to the library (gp_list_ports): whatever the bytes, the parser
// ends, reads none past the size, and a list it accepts has bounded, distinct, non-empty port
// names and writes back as the same bytes up to its end.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "ReaderPortList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy of exactly `size` bytes, so that ASan sees a read past the end.
    const std::vector<char> bytes(data, data + size);
    std::vector<reader::PortEntry> entries;
    std::string error;
    if (!reader::parsePortList(bytes.data(), bytes.size(), entries, error)) {
        FUZZ_CHECK(entries.empty() && !error.empty());
        return 0;
    }
    std::string written;
    FUZZ_CHECK(reader::formatPortList(entries, written));
    FUZZ_CHECK(written.size() <= bytes.size());
    FUZZ_CHECK(written == std::string(bytes.data(), written.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        FUZZ_CHECK(!entries[i].portName.empty() && entries[i].portName.size() <= reader::MaximumPortNameLength);
        FUZZ_CHECK(entries[i].readerName.size() <= reader::MaximumReaderNameLength);
        for (size_t j = 0; j < i; ++j) {
            FUZZ_CHECK(entries[j].portName != entries[i].portName);
        }
    }
    return 0;
}
