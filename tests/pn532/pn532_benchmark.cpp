// Benchmark of the PN532 plug-in under Wine (prints figures, asserts nothing), run through
// tests/pn532/pn532_with_emulators.sh: korvatlib_nfc_thru through the DLL and the plug-in to the
// emulator and back, with the emulator answering at once and pacing its bytes at 115200 baud
// (Wine reports process CPU times too coarsely to split them further: the host-link code's own
// CPU cost is measured natively by pn532_link_benchmark), and the time from a card entering the
// field to the library's find message.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// Waits for the find message, then the enable messages, starting access when asked.
bool reachAccess(MessageWindow &window, DWORD limitMs, double *foundAt = nullptr)
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

}  // namespace

int main()
{
    const std::vector<std::string> list = ports();
    if (list.size() < 6) {
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
    return 0;
}
