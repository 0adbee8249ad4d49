// pn532_emulator: a PN532 on the end of a pseudo-terminal, for tests of PN532 hosts.
//
//   pn532_emulator [--scenario FILE] [--link PATH] [--pace] [--trace] [--firmware HEX8]
//                  [--fault KIND [--fault-command HEX] [--fault-skip N] [--fault-count N]
//                   [--fault-delay MS]] [--replug MS]
//
// Prints the path of the client's end of the pseudo-terminal on its first line of output,
// then serves whoever opens it until SIGTERM or SIGINT. The cards of the scenario (the
// simulated reader's scenario format) enter and leave the field counted from the start of each
// session (the host's SAMConfiguration). --link makes a symbolic link PATH to the client's end
// (for example a Wine prefix's dosdevices/com7). --pace writes the chip's bytes at the pace of
// 115200 baud, and answers no sooner than the command's bytes would have taken to arrive.
// Faults (applied to the answers of the matching commands): delayed-ack (--fault-delay ms),
// bad-checksum, nack, dropped-byte, no-answer, disconnect (the emulator closes its end and
// exits), babble (no answer; from then on a stray byte every 5 ms for --fault-delay ms, 0: for
// ever, whatever the host sends). --replug MS: after a disconnect the reader comes back MS later
// on a new pseudo-terminal (the --link is made again), as a freshly powered chip without the
// fault. --trace writes every frame to stderr. --firmware gives another GetFirmwareVersion
// answer (IC, Ver, Rev, Support), for example that of a chip that is not a PN532.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Pn532Emulator.h"
#include "SimScenario.h"

// BuiltInScenario: the simulated reader's default scenario, made by the build.
#include "sim_default_scenario.inc"

namespace {

volatile sig_atomic_t g_Stop = 0;

void onSignal(int)
{
    g_Stop = 1;
}

uint64_t nowMicroseconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// One byte at 115200 baud, 8N1: ten bit times.
const uint64_t ByteMicroseconds = 87;

struct Options {
    std::string scenarioFile;
    std::string link;
    bool pace = false;
    bool trace = false;
    pn532emu::Fault fault;
    long replugMs = -1;  // -1: a disconnect ends the emulator
    std::vector<uint8_t> firmware;
};

void usage()
{
    std::fprintf(stderr,
                 "usage: pn532_emulator [--scenario FILE] [--link PATH] [--pace] [--trace] [--firmware HEX8]\n"
                 "                      [--fault delayed-ack|bad-checksum|nack|dropped-byte|no-answer|disconnect\n"
                 "                       [--fault-command HEX] [--fault-skip N] [--fault-count N] [--fault-delay MS]]\n"
                 "                      [--replug MS]\n");
}

bool parseNumber(const char *text, int base, unsigned long &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, base);
    return *text != '\0' && *end == '\0' && errno == 0;
}

bool parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--pace") {
            options.pace = true;
            continue;
        }
        if (option == "--trace") {
            options.trace = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const char *value = argv[++i];
        unsigned long number = 0;
        if (option == "--scenario") {
            options.scenarioFile = value;
        } else if (option == "--firmware" && std::strlen(value) == 8 && parseNumber(value, 16, number)) {
            for (int shift = 24; shift >= 0; shift -= 8) {
                options.firmware.push_back(static_cast<uint8_t>(number >> shift));
            }
        } else if (option == "--link") {
            options.link = value;
        } else if (option == "--fault") {
            if (!pn532emu::parseFaultKind(value, options.fault.kind)) {
                return false;
            }
        } else if (option == "--fault-command" && parseNumber(value, 16, number) && number <= 0xFF) {
            options.fault.command = static_cast<int>(number);
        } else if (option == "--fault-skip" && parseNumber(value, 10, number)) {
            options.fault.skip = static_cast<uint32_t>(number);
        } else if (option == "--fault-count" && parseNumber(value, 10, number)) {
            options.fault.count = static_cast<uint32_t>(number);
        } else if (option == "--fault-delay" && parseNumber(value, 10, number) && number <= 600000) {
            options.fault.delayMs = static_cast<uint32_t>(number);
        } else if (option == "--replug" && parseNumber(value, 10, number) && number <= 600000) {
            options.replugMs = static_cast<long>(number);
        } else {
            return false;
        }
    }
    return true;
}

void trace(const Options &options, const char *direction, const uint8_t *bytes, size_t length)
{
    if (!options.trace || length == 0) {
        return;
    }
    static const uint64_t begun = nowMicroseconds();
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%8.3f ", (nowMicroseconds() - begun) / 1e6);
    std::string line = std::string(stamp) + direction;
    char pair[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof(pair), " %02X", bytes[i]);
        line += pair;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

bool writeAll(int fd, const uint8_t *bytes, size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                pollfd out{fd, POLLOUT, 0};
                poll(&out, 1, 10);
                continue;
            }
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

struct Scheduled {
    uint64_t due;  // microseconds
    std::vector<uint8_t> bytes;
    bool disconnect;
};

// The chip's end of a pseudo-terminal in raw mode at 115200 baud, and the client's end kept
// open as well: without it, reads of the master fail with EIO whenever no client holds the port
// open (between sessions).
struct Pty {
    int master = -1;
    int keepOpen = -1;
    std::string clientPath;
};

bool openPty(const Options &options, Pty &pty)
{
    pty.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        std::perror("pn532_emulator: posix_openpt");
        return false;
    }
    pty.clientPath = ptsname(pty.master);
    pty.keepOpen = open(pty.clientPath.c_str(), O_RDWR | O_NOCTTY);
    termios tio;
    if (pty.keepOpen < 0 || tcgetattr(pty.keepOpen, &tio) != 0) {
        std::perror("pn532_emulator: client end");
        return false;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(pty.keepOpen, TCSANOW, &tio);
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    if (!options.link.empty()) {
        unlink(options.link.c_str());
        if (symlink(pty.clientPath.c_str(), options.link.c_str()) != 0) {
            std::perror("pn532_emulator: symlink");
            return false;
        }
    }
    return true;
}

void closePty(const Options &options, Pty &pty)
{
    close(pty.master);
    close(pty.keepOpen);
    if (!options.link.empty()) {
        unlink(options.link.c_str());
    }
    pty = Pty();
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage();
        return 2;
    }
    std::string text = BuiltInScenario;
    if (!options.scenarioFile.empty()) {
        std::ifstream in(options.scenarioFile, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "pn532_emulator: cannot read %s\n", options.scenarioFile.c_str());
            return 1;
        }
        std::ostringstream contents;
        contents << in.rdbuf();
        text = contents.str();
    }
    sim::Scenario scenario;
    uint32_t errorLine = 0;
    if (!sim::parseScenario(text, scenario, errorLine)) {
        std::fprintf(stderr, "pn532_emulator: scenario error in line %u\n", errorLine);
        return 1;
    }

    Pty pty;
    if (!openPty(options, pty)) {
        return 1;
    }
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    signal(SIGPIPE, SIG_IGN);
    std::printf("%s\n", pty.clientPath.c_str());
    std::fflush(stdout);

    std::unique_ptr<pn532emu::Emulator> chip(new pn532emu::Emulator(scenario, options.fault));
    if (!options.firmware.empty()) {
        chip->setFirmware(options.firmware);
    }
    const uint64_t start = nowMicroseconds();
    std::vector<Scheduled> pending;
    uint64_t lineFreeAt = 0;  // with --pace: when the chip's last byte has left
    const uint64_t NotBabbling = 0;
    uint64_t babbleEnd = NotBabbling;  // microseconds; UINT64_MAX: for ever
    uint64_t nextBabble = 0;
    int status = 0;
    while (!g_Stop) {
        // Wait to the microsecond: a wait rounded up to whole milliseconds would make every answer
        // up to a millisecond late, which no chip does.
        const uint64_t now = nowMicroseconds();
        uint64_t waitUs = 200000;
        if (!pending.empty()) {
            waitUs = pending.front().due <= now ? 0 : pending.front().due - now;
        }
        if (babbleEnd != NotBabbling) {
            const uint64_t babbleWait = nextBabble <= now ? 0 : nextBabble - now;
            waitUs = babbleWait < waitUs ? babbleWait : waitUs;
        }
        pollfd in{pty.master, POLLIN, 0};
        const timespec wait{static_cast<time_t>(waitUs / 1000000u), static_cast<long>(waitUs % 1000000u) * 1000L};
        const int ready = ppoll(&in, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0 && (in.revents & POLLIN) != 0) {
            uint8_t buffer[1024];
            const ssize_t n = read(pty.master, buffer, sizeof(buffer));
            if (n > 0) {
                trace(options, "H>", buffer, static_cast<size_t>(n));
                const uint64_t arrived = nowMicroseconds();
                std::vector<pn532emu::Output> outputs;
                bool cancel = false;
                chip->receive(buffer, static_cast<size_t>(n), static_cast<uint32_t>((arrived - start) / 1000),
                                 outputs, cancel);
                if (cancel) {
                    pending.clear();
                }
                // Paced: the command took its bytes' time to arrive before the chip saw it.
                const uint64_t base = arrived + (options.pace ? ByteMicroseconds * static_cast<uint64_t>(n) : 0);
                for (pn532emu::Output &output : outputs) {
                    if (output.babble) {
                        // Not cancelled by what the host sends next: the chip has gone astray.
                        babbleEnd = options.fault.delayMs == 0 ? UINT64_MAX : arrived + options.fault.delayMs * 1000ull;
                        nextBabble = arrived;
                        continue;
                    }
                    pending.push_back({base + output.delayMs * 1000ull, std::move(output.bytes), output.disconnect});
                }
            }
        }
        // Write what is due, in order.
        while (!pending.empty() && pending.front().due <= nowMicroseconds()) {
            Scheduled next = std::move(pending.front());
            pending.erase(pending.begin());
            if (next.disconnect) {
                std::fprintf(stderr, "pn532_emulator: disconnecting\n");
                closePty(options, pty);
                pending.clear();
                if (options.replugMs < 0) {
                    return 0;
                }
                usleep(static_cast<useconds_t>(options.replugMs) * 1000u);
                if (!openPty(options, pty)) {
                    return 1;
                }
                std::fprintf(stderr, "pn532_emulator: plugged in again at %s\n", pty.clientPath.c_str());
                chip.reset(new pn532emu::Emulator(scenario, pn532emu::Fault()));
                if (!options.firmware.empty()) {
                    chip->setFirmware(options.firmware);
                }
                break;
            }
            trace(options, "E<", next.bytes.data(), next.bytes.size());
            if (!options.pace) {
                writeAll(pty.master, next.bytes.data(), next.bytes.size());
                continue;
            }
            // 115200 baud: the bytes leave one by one, 87 us apart, after what is still going out.
            uint64_t t = lineFreeAt > nowMicroseconds() ? lineFreeAt : nowMicroseconds();
            for (size_t i = 0; i < next.bytes.size(); i += 8) {
                const size_t piece = next.bytes.size() - i < 8 ? next.bytes.size() - i : 8;
                t += ByteMicroseconds * piece;
                const uint64_t current = nowMicroseconds();
                if (t > current) {
                    usleep(static_cast<useconds_t>(t - current));
                }
                writeAll(pty.master, next.bytes.data() + i, piece);
            }
            lineFreeAt = t;
        }
        if (babbleEnd != NotBabbling) {
            const uint64_t current = nowMicroseconds();
            if (current >= babbleEnd) {
                babbleEnd = NotBabbling;
            } else if (current >= nextBabble) {
                trace(options, "E<", &pn532emu::BabbleByte, 1);
                writeAll(pty.master, &pn532emu::BabbleByte, 1);
                nextBabble = current + pn532emu::BabbleIntervalMs * 1000u;
            }
        }
    }
    const pn532emu::EmulatorCounters &c = chip->counters();
    std::fprintf(stderr, "pn532_emulator: %u commands, %u NACKs, %u aborts, %u faults applied\n", c.commands,
                 c.nacksReceived, c.abortsReceived, c.faultsApplied);
    closePty(options, pty);
    return status;
}
