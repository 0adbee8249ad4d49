// The byte link to the chip, as the PN532 dialogue sees it: a serial port on Windows, a
// pseudo-terminal in the native tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pn532 {

class Link {
public:
    virtual ~Link() = default;
    // Writes all bytes; false: the port failed.
    virtual bool write(const uint8_t *data, size_t length) = 0;
    // Waits up to `waitMs` for bytes and returns as soon as some have come: their number,
    // 0 when none came in time, -1 when the port failed.
    virtual long read(uint8_t *buffer, size_t capacity, uint32_t waitMs) = 0;
    // Drops bytes received and not yet read.
    virtual void discardInput() = 0;
    // A monotonic clock in milliseconds.
    virtual uint32_t milliseconds() = 0;
    // Closes the port and opens it again, for a reader that went away and may have come back
    // (a USB-serial adapter unplugged and plugged in). False: it cannot be opened now.
    virtual bool reopen() = 0;
};

}  // namespace pn532
