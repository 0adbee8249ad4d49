#include "Pn532PortName.h"

#include "pn532_reader.h"

namespace pn532 {

namespace {

const size_t CategoryListCharacters = 4096;
const int CategoryListItems = 256;

std::string trimSpaces(const std::string &text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

int categoryPosition(const std::string &list, const std::string &name)
{
    const std::string used = list.substr(0, CategoryListCharacters);
    size_t start = 0;
    for (int position = 0; position < CategoryListItems; ++position) {
        const size_t comma = used.find(',', start);
        const std::string item = used.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!name.empty() && trimSpaces(item) == name) {
            return position;
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
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
