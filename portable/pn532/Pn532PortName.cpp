#include "Pn532PortName.h"

#include <algorithm>
#include <vector>

#include "NfcRegistryList.h"
#include "Pn532Limits.h"

namespace pn532 {

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

bool serialDeviceName(const std::string &portName, std::string &device)
{
    const std::string prefix = PN532_CATEGORY_NAME;
    if (portName.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::string digits = portName.substr(prefix.size());
    if (digits.empty() || digits.size() > 3 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 255) {
        return false;
    }
    device = "\\\\.\\" + portName;
    return true;
}

}  // namespace pn532
