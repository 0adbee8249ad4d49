// Native test helpers for the PN532 code: the emulator program on a pseudo-terminal, and the
// host-link interface over a tty, as the plug-in has it over a COM port on Windows.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Pn532Link.h"

namespace pn532test {

// Writes `text` to a fresh file in the test's scratch directory and returns its path.
std::string writeScenario(const std::string &name, const std::string &text);

// The pn532_emulator program, started with `arguments`; stopped (SIGTERM) and reaped when the
// object ends.
class EmulatorProcess {
public:
    explicit EmulatorProcess(const std::vector<std::string> &arguments);
    ~EmulatorProcess();
    bool started() const { return !m_Path.empty(); }
    const std::string &path() const { return m_Path; }  // the client's end
    // Stops it and returns what it wrote to stderr.
    std::string stop();

private:
    pid_t m_Pid = -1;
    int m_Stderr = -1;
    std::string m_Path;
};

// A tty in raw mode at 115200 baud; reopen() opens the same path again (a symbolic link the
// emulator may have pointed at a new pseudo-terminal).
class TtyLink : public pn532::Link {
public:
    explicit TtyLink(const std::string &path);
    ~TtyLink() override;
    bool opened() const { return m_Fd >= 0; }
    bool write(const uint8_t *data, size_t length) override;
    long read(uint8_t *buffer, size_t capacity, uint32_t waitMs) override;
    void discardInput() override;
    uint32_t milliseconds() override;
    bool reopen() override;

private:
    void openPath();

    std::string m_Path;
    int m_Fd = -1;
};

uint32_t monotonicMilliseconds();

// Runs a program with arguments and extra environment, its input /dev/null; returns its stdout
// and stderr together.
std::string runProgram(const std::vector<std::string> &command, const std::vector<std::string> &environment,
                       int &exitStatus, unsigned timeoutSeconds);

}  // namespace pn532test
