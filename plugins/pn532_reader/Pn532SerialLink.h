// The PN532's host link over a Windows serial port: 115200 8N1, no flow control.
#pragma once

#include <windows.h>

#include <string>

#include "Pn532Link.h"

class Pn532SerialLink : public pn532::Link {
public:
    Pn532SerialLink() = default;
    ~Pn532SerialLink() override;

    // Opens and sets up the device (\\.\COMn); false with the Windows error code.
    bool open(const std::string &device, DWORD &windowsError);
    void close();

    bool write(const uint8_t *data, size_t length) override;
    long read(uint8_t *buffer, size_t capacity, uint32_t waitMs) override;
    void discardInput() override;
    uint32_t milliseconds() override;

    Pn532SerialLink(const Pn532SerialLink &) = delete;
    Pn532SerialLink &operator=(const Pn532SerialLink &) = delete;

private:
    bool setReadWait(uint32_t waitMs);

    HANDLE m_Port = INVALID_HANDLE_VALUE;
    uint32_t m_ReadWait = 0xFFFFFFFFu;  // the wait the port's time-outs are set for
};
