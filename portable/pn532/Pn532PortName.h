// Names of the PN532 plug-in's configuration: the position of its category in the library's
// category list, and the serial device of a port name.
#pragma once

#include <string>

namespace pn532 {

// Position of `name` among the items of a category list split as the library splits it (first
// 4096 characters, items at ",", spaces around items removed, at most 256 items); -1: absent.
int categoryPosition(const std::string &list, const std::string &name);

// "COM" and a number from 1 to 255 (no leading zero) gives the Windows device "\\.\COMn",
// which also reaches COM10 and above. False for any other name.
bool serialDeviceName(const std::string &portName, std::string &device);

}  // namespace pn532
