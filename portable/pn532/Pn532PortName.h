// The serial device of a PN532 port name (the category's position: ReaderPortName.h).
#pragma once

#include <string>

namespace pn532 {

// "COM" and a number from 1 to 255 (no leading zero) gives the Windows device "\\.\COMn",
// which also reaches COM10 and above. False for any other name.
bool serialDeviceName(const std::string &portName, std::string &device);

}  // namespace pn532
