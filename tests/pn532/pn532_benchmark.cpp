// Benchmark of the PN532 plug-in under Wine (prints figures, asserts nothing), run through
// tests/pn532/pn532_with_emulators.sh: korvatlib_nfc_thru through the DLL and the plug-in to the
// emulator and back, with the emulator answering at once and pacing its bytes at 115200 baud
// (Wine reports process CPU times too coarsely to split them further: the host-link code's own
// CPU cost is measured natively by pn532_link_benchmark), the time from a card entering the
// field to the library's find message, and the NDEF message of a Type 2, 3 and 4 Tag read and
// written whole through the paced link, next to the time the bytes that had to cross take on the
// wire at 115200 baud.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TagSession.h"
#include "TestSupport.h"
#include "korvat_nfc.h"

using namespace korvat_test;

// Each figure says which build measured it.
const char *const Architecture = sizeof(void *) == 8 ? "x64" : "x86";

namespace {

std::vector<std::string> ports()
{
    std::vector<std::string> list;
    const char *text = std::getenv("KORVAT_PN532_EMULATED_PORTS");
    std::string rest = text ? text : "";
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        list.push_back(rest.substr(0, comma));
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return list;
}

double seconds()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / f.QuadPart;
}

// Waits for the find message, then the enable messages, starting access when asked. `record`
// gets the found target's information record.
bool reachAccess(MessageWindow &window, DWORD limitMs, double *foundAt = nullptr,
                 std::vector<uint8_t> *record = nullptr)
{
    const DWORD start = GetTickCount();
    size_t seen = 0;
    uint32_t number = 0;
    while (GetTickCount() - start < limitMs) {
        window.pump(20);
        for (; seen < window.messages.size(); ++seen) {
            const ReceivedMessage &m = window.messages[seen];
            if (m.message == window.findMessage() && m.wParam == KORVAT_NFC_FIND_TARGET) {
                if (foundAt) {
                    *foundAt = seconds();
                }
                if (record) {
                    *record = m.bytes;
                }
                std::memcpy(&number, m.bytes.data() + 4, 4);
            } else if (m.message == window.enableMessage() && m.wParam == WAITING_ACCESS_TO_TARGET) {
                korvatlib_nfc_start_dev_access(number);
            } else if (m.message == window.enableMessage()) {
                return true;
            }
        }
    }
    return false;
}

void thruFigures(const std::string &port, const char *label, int rounds)
{
    char name[16];
    std::snprintf(name, sizeof(name), "%s", port.c_str());
    MessageWindow window("Pn532Bench.Find", "Pn532Bench.Enable");
    if (!korvatlib_nfc_initialize() || !korvatlib_nfc_open(name) ||
        !korvatlib_nfc_set_poll_callback_parameters(window.handle(), "Pn532Bench.Find", "Pn532Bench.Enable") ||
        !korvatlib_nfc_start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K) || !reachAccess(window, 5000)) {
        std::printf("[%s] pn532 thru %s: setup failed\n", Architecture, label);
        korvatlib_nfc_close();
        korvatlib_nfc_uninitialize();
        return;
    }
    const uint8_t select[] = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
    uint8_t response[4096];
    uint16_t length = 0;
    const double wall0 = seconds();
    int done = 0;
    for (; done < rounds && korvatlib_nfc_thru(select, sizeof(select), response, &length); ++done) {
    }
    const double wall = (seconds() - wall0) / (done ? done : 1) * 1e6;
    // 13 command bytes (+ 9 of framing) out, ACK and 5 answer bytes (+ 9) back: at 115200 baud
    // the line alone takes 0.087 ms per byte.
    std::printf("[%s] pn532 thru SELECT via the DLL %s: %d rounds, %.1f us per thru (wall)\n", Architecture, label,
                done, wall);
    korvatlib_nfc_stop_dev_access(0);
    korvatlib_nfc_stop_poll_mode();
    korvatlib_nfc_close();
    korvatlib_nfc_uninitialize();
}

void findFigure(const std::string &port)
{
    char name[16];
    std::snprintf(name, sizeof(name), "%s", port.c_str());
    MessageWindow window("Pn532Bench.Find", "Pn532Bench.Enable");
    korvatlib_nfc_initialize();
    const double opened = seconds();  // the emulator's session (and its 2 s to the card) starts in the open
    if (!korvatlib_nfc_open(name) ||
        !korvatlib_nfc_set_poll_callback_parameters(window.handle(), "Pn532Bench.Find", "Pn532Bench.Enable") ||
        !korvatlib_nfc_start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) {
        std::printf("[%s] pn532 find: setup failed\n", Architecture);
        korvatlib_nfc_uninitialize();
        return;
    }
    double foundAt = 0;
    reachAccess(window, 5000, &foundAt);
    std::printf("[%s] pn532 card entering the field -> find message through the library: %.0f ms "
                "(the library asks for the driver status every 600 ms)\n",
                Architecture, foundAt > 0 ? (foundAt - opened - 2.0) * 1000 : -1.0);
    korvatlib_nfc_stop_poll_mode();
    korvatlib_nfc_close();
    korvatlib_nfc_uninitialize();
}

// What crossed the serial line for the commands of one tag operation, counted as the plug-in
// frames them: one InDataExchange each, 10 bytes of framing around the command's bytes (preamble,
// start code, length, its checksum, D4 40 Tg, data checksum, postamble), then the chip's ACK (6)
// and its answer frame (10 bytes around the card's answer). At 115200 baud, 8N1, a byte takes
// 1/11520 s.
struct WireCount {
    size_t commands = 0;
    size_t bytes = 0;
    double wireMs() const { return bytes * 1000.0 / 11520.0; }
};

TagSession::Exchange countingThru(WireCount &count)
{
    return [&count](const std::vector<uint8_t> &command, std::vector<uint8_t> &response) {
        uint8_t buffer[4096];
        uint16_t length = 0;
        ++count.commands;
        count.bytes += 10 + command.size() + 6;
        if (!korvatlib_nfc_thru(command.data(), static_cast<uint16_t>(command.size()), buffer, &length)) {
            return false;
        }
        response.assign(buffer, buffer + (length < sizeof(buffer) ? length : sizeof(buffer)));
        count.bytes += 10 + response.size();
        return true;
    };
}

// Reads the tag's NDEF message `rounds` times, then writes a message of the same size back
// `rounds` times, each write changing every letter of the text (the writers leave pages that
// already hold the right bytes alone); each operation is a new session, as the tag library makes
// one per call.
void tagFigures(const std::string &port, const char *label, uint32_t targetDevice, int rounds)
{
    char name[16];
    std::snprintf(name, sizeof(name), "%s", port.c_str());
    MessageWindow window("Pn532Bench.Find", "Pn532Bench.Enable");
    std::vector<uint8_t> record;
    TagTarget target;
    std::string error;
    if (!korvatlib_nfc_initialize() || !korvatlib_nfc_open(name) ||
        !korvatlib_nfc_set_poll_callback_parameters(window.handle(), "Pn532Bench.Find", "Pn532Bench.Enable") ||
        !korvatlib_nfc_start_poll_mode(targetDevice) || !reachAccess(window, 5000, nullptr, &record) ||
        TagSession::parseTarget(record.data(), record.size(), target, error) != TagStatus::Ok) {
        std::printf("[%s] pn532 %s: setup failed %s\n", Architecture, label, error.c_str());
        korvatlib_nfc_close();
        korvatlib_nfc_uninitialize();
        return;
    }
    std::vector<uint8_t> message;
    for (int write = 0; write < 2; ++write) {
        WireCount count;
        int done = 0;
        const double start = seconds();
        for (; done < rounds; ++done) {
            TagSession session(target, countingThru(count));
            std::vector<uint8_t> read;
            if (write) {
                std::replace(message.begin(), message.end(), done % 2 ? 'w' : 'k', done % 2 ? 'k' : 'w');
            }
            const TagStatus status = write ? session.writeNdef(message) : session.readNdef(read);
            if (status != TagStatus::Ok) {
                std::printf("[%s] pn532 %s: %s failed: %s\n", Architecture, label, write ? "write" : "read",
                            session.report().c_str());
                break;
            }
            if (!write) {
                message = read;
            }
        }
        if (done == 0) {
            break;
        }
        const double ms = (seconds() - start) * 1000.0 / done;
        const double wireMs = count.wireMs() / done;
        std::printf("[%s] pn532 paced 115200, %s, NDEF message of %u bytes, %s: %zu commands, %.1f ms "
                    "(wire time of its bytes %.1f ms, %.2fx)\n",
                    Architecture, label, static_cast<unsigned>(message.size()), write ? "write" : "read",
                    count.commands / done, ms, wireMs, ms / wireMs);
    }
    korvatlib_nfc_stop_dev_access(0);
    korvatlib_nfc_stop_poll_mode();
    korvatlib_nfc_close();
    korvatlib_nfc_uninitialize();
}

}  // namespace

int main()
{
    const std::vector<std::string> list = ports();
    if (list.size() < 12) {
        std::printf("run through tests/pn532/pn532_with_emulators.sh\n");
        return 1;
    }
    RegistryConfiguration registry;
    registry.setString("plugins_home_directory", binDirectory() + "pn532_plugins");
    registry.setString("category_name_list", "COM");
    registry.setString("port_name_list", list[0]);
    thruFigures(list[0], "unpaced", 300);
    thruFigures(list[4], "paced 115200", 100);
    findFigure(list[5]);
    tagFigures(list[9], "Type 2 Tag (504-byte data area)", DEVICE_TYPE_NFC_14443A_18092_106K, 5);
    tagFigures(list[10], "Type 4 Tag (ISO/IEC 14443 A)", DEVICE_TYPE_NFC_14443A_18092_106K, 5);
    tagFigures(list[11], "Type 3 Tag (212 kbit/s)", DEVICE_TYPE_NFC_18092_212K, 5);
    return 0;
}
