// The PN532's host link over a Windows serial port: 115200 8N1, no flow control. A read waits in
// slices of ReadSliceMs, so that cancel(true), from another thread, cuts it short within one
// slice; while cancelled every read, write and reopen fails at once.
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
    // Whether the serial device ("\\.\COMn") exists now, without opening it (bounded, no loader
    // work: it may be waited for under the loader lock).
    static bool present(const std::string &device);
    void close();

    bool write(const uint8_t *data, size_t length) override;
    long read(uint8_t *buffer, size_t capacity, uint32_t waitMs) override;
    void discardInput() override;
    uint32_t milliseconds() override;
    bool reopen() override;
    void cancel(bool on);

    Pn532SerialLink(const Pn532SerialLink &) = delete;
    Pn532SerialLink &operator=(const Pn532SerialLink &) = delete;

    static const uint32_t ReadSliceMs = 50;

private:
    bool setReadWait(uint32_t waitMs);
    bool cancelled() const;

    HANDLE m_Port = INVALID_HANDLE_VALUE;
    uint32_t m_ReadWait = 0xFFFFFFFFu;  // the wait the port's time-outs are set for
    std::string m_Device;               // what open() opened, for reopen()
    volatile LONG m_Cancelled = 0;
};
