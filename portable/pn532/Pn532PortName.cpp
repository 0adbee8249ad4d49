#include "Pn532PortName.h"

#include "Pn532Limits.h"
#include "ReaderPortName.h"

namespace pn532 {

namespace {

const unsigned LargestPortNumber = 255;

}  // namespace

bool serialDeviceName(const std::string &portName, std::string &device)
{
    unsigned number = 0;
    if (!reader::numberedPort(portName, PN532_CATEGORY_NAME, LargestPortNumber, number) || number == 0) {
        return false;
    }
    device = "\\\\.\\" + portName;
    return true;
}

}  // namespace pn532
