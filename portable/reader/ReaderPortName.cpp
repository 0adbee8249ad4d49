#include "ReaderPortName.h"

#include <algorithm>
#include <vector>

#include "NfcRegistryList.h"

namespace reader {

namespace {

const size_t CategoryListCharacters = 4096;
const size_t CategoryListItems = 256;

}  // namespace

// The list is split by the library's own rule, so that both find the same position.
int categoryPosition(const std::string &list, const std::string &name)
{
    std::vector<std::string> items;
    const size_t count = std::min(NfcRegistryList::parse(list, CategoryListCharacters, items), CategoryListItems);
    for (size_t position = 0; position < count; ++position) {
        if (!name.empty() && items[position] == name) {
            return static_cast<int>(position);
        }
    }
    return -1;
}

bool numberedPort(const std::string &portName, const std::string &prefix, unsigned largest, unsigned &number)
{
    if (portName.size() <= prefix.size() || portName.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::string digits = portName.substr(prefix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || (digits.size() > 1 && digits[0] == '0') ||
        digits.size() > std::to_string(largest).size()) {
        return false;
    }
    const unsigned long value = std::stoul(digits);
    if (value > largest) {
        return false;
    }
    number = static_cast<unsigned>(value);
    return true;
}

}  // namespace reader
