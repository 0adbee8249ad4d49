#include "Pn532SerialLink.h"

Pn532SerialLink::~Pn532SerialLink()
{
    close();
}

bool Pn532SerialLink::open(const std::string &device, DWORD &windowsError)
{
    close();
    m_Device = device;
    m_Port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_Port == INVALID_HANDLE_VALUE) {
        windowsError = GetLastError();
        return false;
    }
    DCB dcb;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    bool ok = GetCommState(m_Port, &dcb) != 0;
    if (ok) {
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;  // some adapters power the board from DTR
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fAbortOnError = FALSE;
        ok = SetCommState(m_Port, &dcb) != 0;
    }
    m_ReadWait = 0xFFFFFFFFu;
    ok = ok && setReadWait(0) &&
         PurgeComm(m_Port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR) != 0;
    if (!ok) {
        windowsError = GetLastError();
        close();
        return false;
    }
    return true;
}

// Windows names every serial port in the DOS device namespace. Wine 8 does not for a port that
// is a symbolic link in the prefix's dosdevices to a Unix tty (how adapters and the emulator
// appear there), but it tells a missing one apart when asked for the device's attributes:
// ERROR_BAD_DEV_TYPE (or not found) when the link or its tty is gone, ERROR_INVALID_PARAMETER
// when it is there, open or not. Any answer but "not there" counts as present: a port held
// open elsewhere may refuse the question.
bool Pn532SerialLink::present(const std::string &device)
{
    const std::string dosName = device.substr(device.find_last_of('\\') + 1);
    char target[256];
    if (QueryDosDeviceA(dosName.c_str(), target, sizeof target) != 0) {
        return true;
    }
    if (GetFileAttributesA(device.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_DEV_TYPE:
    case ERROR_INVALID_NAME:
        return false;
    default:
        return true;
    }
}

void Pn532SerialLink::close()
{
    if (m_Port != INVALID_HANDLE_VALUE) {
        CloseHandle(m_Port);
        m_Port = INVALID_HANDLE_VALUE;
    }
}

bool Pn532SerialLink::setReadWait(uint32_t waitMs)
{
    if (waitMs == m_ReadWait) {
        return true;
    }
    // 0: MAXDWORD interval and no total time-out, ReadFile returns at once with what is there.
    // Otherwise a total time-out only: ReadFile of one byte returns when it comes or when the
    // time is up. (The documented "first byte or constant" form, MAXDWORD interval and
    // multiplier, waits the whole constant under Wine even when bytes arrive.)
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = waitMs == 0 ? MAXDWORD : 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = waitMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(m_Port, &timeouts)) {
        return false;
    }
    m_ReadWait = waitMs;
    return true;
}

bool Pn532SerialLink::reopen()
{
    DWORD windowsError = 0;
    return !cancelled() && !m_Device.empty() && open(m_Device, windowsError);
}

void Pn532SerialLink::cancel(bool on)
{
    InterlockedExchange(&m_Cancelled, on ? 1 : 0);
}

bool Pn532SerialLink::cancelled() const
{
    return m_Cancelled != 0;
}

bool Pn532SerialLink::write(const uint8_t *data, size_t length)
{
    if (cancelled()) {
        return false;
    }
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(m_Port, data, static_cast<DWORD>(length), &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

long Pn532SerialLink::read(uint8_t *buffer, size_t capacity, uint32_t waitMs)
{
    // What is there already; else wait for one byte; then what followed it.
    DWORD got = 0;
    if (cancelled() || !setReadWait(0) || !ReadFile(m_Port, buffer, static_cast<DWORD>(capacity), &got, nullptr)) {
        return -1;
    }
    if (got > 0 || waitMs == 0) {
        return static_cast<long>(got);
    }
    const uint32_t begun = milliseconds();
    for (uint32_t spent = 0; got == 0; spent = milliseconds() - begun) {
        if (cancelled()) {
            return -1;
        }
        if (spent >= waitMs) {
            return 0;
        }
        const uint32_t slice = waitMs - spent < ReadSliceMs ? waitMs - spent : ReadSliceMs;
        if (!setReadWait(slice) || !ReadFile(m_Port, buffer, 1, &got, nullptr)) {
            return -1;
        }
    }
    if (capacity == 1) {
        return static_cast<long>(got);
    }
    DWORD more = 0;
    if (!setReadWait(0) || !ReadFile(m_Port, buffer + 1, static_cast<DWORD>(capacity - 1), &more, nullptr)) {
        return -1;
    }
    return static_cast<long>(1 + more);
}

void Pn532SerialLink::discardInput()
{
    PurgeComm(m_Port, PURGE_RXCLEAR);
}

uint32_t Pn532SerialLink::milliseconds()
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<uint32_t>(now.QuadPart * 1000 / frequency.QuadPart);
}
