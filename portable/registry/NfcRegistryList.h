// Splitting of the registry's list values: items separated by ",", blanks (spaces only)
// trimmed around each item, empty items kept in place. No platform calls.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class NfcRegistryList {
public:
    static std::string trimSpaces(const std::string &text);
    // Returns the number of items; a text without "," is one item, an empty text none.
    static size_t splitList(const std::string &text, std::vector<std::string> &list, char separator = ',');
    // The list value as the library reads it: cut to mostCharacters, then split.
    static size_t parse(const std::string &value, size_t mostCharacters, std::vector<std::string> &list);
};
