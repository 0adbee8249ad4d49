// The names of a reader plug-in's configuration: the position of its category in the library's
// category list, and the number of a port named by its category and a number.
#pragma once

#include <string>

namespace reader {

// Position of `name` among the items of a category list split as the library splits it (first
// 4096 characters, items at ",", spaces around items removed, at most 256 items); -1: absent.
int categoryPosition(const std::string &list, const std::string &name);

// `prefix` followed by a decimal number from 0 to `largest` without a leading zero ("COM3",
// "PCSC0"): true with the number. False for any other name.
bool numberedPort(const std::string &portName, const std::string &prefix, unsigned largest, unsigned &number);

}  // namespace reader
