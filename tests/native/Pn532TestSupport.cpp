#include "Pn532TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace pn532test {

uint32_t monotonicMilliseconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

std::string writeScenario(const std::string &name, const std::string &text)
{
    const char *tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp ? tmp : "/tmp") + "/korvat_pn532_" + std::to_string(getpid()) + "_" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

EmulatorProcess::EmulatorProcess(const std::vector<std::string> &arguments)
{
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        return;
    }
    m_Pid = fork();
    if (m_Pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        std::vector<char *> argv{const_cast<char *>(KORVAT_PN532_EMULATOR)};
        for (const std::string &a : arguments) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_Stderr = err[0];
    fcntl(m_Stderr, F_SETFL, O_NONBLOCK);
    // The first line of its output is the path of the client's end.
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (line.size() < 200 && poll(&p, 1, 5000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(out[0]);
    if (line.rfind("/dev/", 0) == 0) {
        m_Path = line;
    }
}

std::string EmulatorProcess::stop()
{
    std::string text;
    if (m_Pid > 0) {
        kill(m_Pid, SIGTERM);
        int status;
        waitpid(m_Pid, &status, 0);
        m_Pid = -1;
    }
    if (m_Stderr >= 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(m_Stderr, buffer, sizeof(buffer))) > 0) {
            text.append(buffer, static_cast<size_t>(n));
        }
        close(m_Stderr);
        m_Stderr = -1;
    }
    return text;
}

EmulatorProcess::~EmulatorProcess()
{
    stop();
}

TtyLink::TtyLink(const std::string &path) : m_Path(path)
{
    openPath();
}

void TtyLink::openPath()
{
    m_Fd = open(m_Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_Fd < 0) {
        return;
    }
    termios tio;
    tcgetattr(m_Fd, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(m_Fd, TCSANOW, &tio);
}

bool TtyLink::reopen()
{
    if (m_Fd >= 0) {
        close(m_Fd);
        m_Fd = -1;
    }
    openPath();
    return m_Fd >= 0;
}

TtyLink::~TtyLink()
{
    if (m_Fd >= 0) {
        close(m_Fd);
    }
}

bool TtyLink::write(const uint8_t *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(m_Fd, data, length);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                pollfd p{m_Fd, POLLOUT, 0};
                poll(&p, 1, 10);
                continue;
            }
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

long TtyLink::read(uint8_t *buffer, size_t capacity, uint32_t waitMs)
{
    pollfd p{m_Fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(waitMs));
    if (ready < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (ready == 0) {
        return 0;
    }
    if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLIN) == 0) {
        return -1;
    }
    const ssize_t n = ::read(m_Fd, buffer, capacity);
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    return n == 0 ? -1 : n;
}

void TtyLink::discardInput()
{
    tcflush(m_Fd, TCIFLUSH);
}

uint32_t TtyLink::milliseconds()
{
    return monotonicMilliseconds();
}

std::string runProgram(const std::vector<std::string> &command, const std::vector<std::string> &environment,
                       int &exitStatus, unsigned timeoutSeconds)
{
    int out[2];
    exitStatus = -1;
    if (pipe(out) != 0) {
        return "pipe failed";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // No input: a program that asks a question reads end of file (its default answer).
        const int nothing = open("/dev/null", O_RDONLY);
        if (nothing >= 0) {
            dup2(nothing, 0);
            close(nothing);
        }
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        for (const std::string &e : environment) {
            putenv(const_cast<char *>(e.c_str()));
        }
        std::vector<char *> argv;
        for (const std::string &a : command) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    const uint32_t deadline = monotonicMilliseconds() + timeoutSeconds * 1000;
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        const int left = static_cast<int>(deadline - monotonicMilliseconds());
        if (left <= 0) {
            kill(pid, SIGKILL);
            text += "\n[killed: time-out]\n";
            break;
        }
        if (poll(&p, 1, left) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(out[0], buffer, sizeof(buffer));
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return text;
}

}  // namespace pn532test
