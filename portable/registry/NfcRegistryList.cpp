#include "NfcRegistryList.h"

std::string NfcRegistryList::trimSpaces(const std::string &text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

size_t NfcRegistryList::splitList(const std::string &text, std::vector<std::string> &list, char separator)
{
    list.clear();
    if (text.empty()) {
        return 0;
    }
    std::string rest = trimSpaces(text);
    size_t position;
    while ((position = rest.find(separator)) != std::string::npos) {
        list.push_back(trimSpaces(rest.substr(0, position)));
        rest = trimSpaces(rest.substr(position + 1));
    }
    list.push_back(rest);
    return list.size();
}

size_t NfcRegistryList::parse(const std::string &value, size_t mostCharacters, std::vector<std::string> &list)
{
    return splitList(value.size() > mostCharacters ? value.substr(0, mostCharacters) : value, list);
}
