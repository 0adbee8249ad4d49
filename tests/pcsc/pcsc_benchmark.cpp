// Figures of the PC/SC reader plug-in under Wine 10 (prints them; asserts nothing about speed):
//  - what korvatlib_nfc_thru through the library and pcsc_reader.gp adds to a bare SCardTransmit
//    of the same APDU to the same card, in the same run: the two alternate, exchange by exchange,
//    over two shared connections to one card (median and 90th percentile of each, and of the
//    difference of each pair);
//  - the time from a card's arrival, as the resource manager shows it, to the library's find
//    message (the plug-in's step and the library's status cycle set it).
// Run by tests/pcsc/pcsc_benchmark.sh, which brings the cards (tests/pcsc/pcsc_card_control.py).
#include <winsock2.h>
#include <winscard.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HexText.h"
#include "PcscCardControl.h"
#include "TestSupport.h"

using namespace korvat_test;

namespace {

const char Reader[] = "Virtual PCD 00 00";
const int Exchanges = 2000;
const int Arrivals = 8;

double nowUs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

void print(const char *what, const std::vector<double> &values, const char *unit, double scale)
{
    std::printf("[x64] %-58s median %9.1f %s, p90 %9.1f %s (%zu)\n", what, percentile(values, 0.5) / scale, unit,
                percentile(values, 0.9) / scale, unit, values.size());
}

// The reader's state bits now (SCARD_STATE_*), through a context of our own.
DWORD readerState(SCARDCONTEXT context)
{
    SCARD_READERSTATEA state = {};
    state.szReader = Reader;
    return SCardGetStatusChangeA(context, 0, &state, 1) == SCARD_S_SUCCESS ? state.dwEventState : 0;
}

int fail(const char *step)
{
    std::printf("pcsc_benchmark: %s\n", step);
    return 1;
}

uint32_t targetNumber(const ReceivedMessage &m)
{
    return m.bytes.size() < 8 ? 0 : m.bytes[4] | m.bytes[5] << 8 | m.bytes[6] << 16 | static_cast<uint32_t>(m.bytes[7]) << 24;
}

}  // namespace

int main()
{
    CardControl &cards = control();
    if (!cards.connected()) {
        return fail("no card controller (run through tests/pcsc/pcsc_benchmark.sh)");
    }
    RegistryConfiguration registry;
    registry.setString("plugins_home_directory", binDirectory() + "pcsc_plugins");
    registry.setString("category_name_list", "PCSC");
    registry.setString("port_name_list", "PCSC0");
    registry.setString("pcsc_reader_filter", "Virtual PCD");
    SCARDCONTEXT context;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return fail("SCardEstablishContext failed");
    }
    KorvatDll dll;
    MessageWindow window("korvat.pcsc.bench.find", "korvat.pcsc.bench.enable");
    char port[16] = "PCSC0";
    if (!dll.loaded() || !dll.initialize() || !dll.open(port) ||
        !dll.set_poll_callback_parameters(window.handle(), "korvat.pcsc.bench.find", "korvat.pcsc.bench.enable") ||
        !dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) {
        return fail("the library did not open PCSC0 and start polling");
    }

    // Arrival to find: the card's process is started, the resource manager shows it (looked at
    // every millisecond), the find message comes.
    std::vector<double> arrivalToFind;
    uint32_t lastTarget = 0;
    for (int i = 0; i < Arrivals; ++i) {
        VirtualCard card("--card t4a --profile plain");
        double present = 0;
        const size_t before = window.messages.size();
        const DWORD begun = GetTickCount();
        while (GetTickCount() - begun < 10000) {
            if (present == 0 && (readerState(context) & SCARD_STATE_PRESENT) != 0) {
                present = nowUs();
            }
            window.pump(1);
            bool found = false;
            for (size_t m = before; m < window.messages.size(); ++m) {
                if (window.messages[m].message == window.findMessage() && window.messages[m].wParam == KORVAT_NFC_FIND_TARGET) {
                    found = true;
                    lastTarget = targetNumber(window.messages[m]);
                }
            }
            if (found && present != 0) {
                arrivalToFind.push_back(nowUs() - present);
                break;
            }
        }
        if (i + 1 < Arrivals) {
            card.remove();
            while ((readerState(context) & SCARD_STATE_EMPTY) == 0 && GetTickCount() - begun < 20000) {
                Sleep(5);
            }
            continue;
        }
        // The last card stays for the exchanges.
        if (lastTarget == 0 || !dll.start_dev_access(lastTarget)) {
            return fail("start_dev_access failed");
        }
        SCARDHANDLE handle;
        DWORD protocol = 0;
        if (SCardConnectA(context, Reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle,
                          &protocol) != SCARD_S_SUCCESS) {
            return fail("SCardConnect failed");
        }
        const SCARD_IO_REQUEST pci = {protocol, sizeof(SCARD_IO_REQUEST)};
        const std::vector<uint8_t> select = unhex("00A4040007D276000085010100");
        std::vector<double> bare, thru, added;
        uint8_t answer[4096];
        for (int e = 0; e < Exchanges; ++e) {
            DWORD length = sizeof answer;
            const double t0 = nowUs();
            const LONG transmitted =
                SCardTransmit(handle, &pci, select.data(), static_cast<DWORD>(select.size()), nullptr, answer, &length);
            const double t1 = nowUs();
            uint16_t thruLength = sizeof answer;
            const bool ok = dll.thru(select.data(), static_cast<uint16_t>(select.size()), answer, &thruLength) != 0;
            const double t2 = nowUs();
            if (transmitted != SCARD_S_SUCCESS || !ok) {
                return fail("an exchange failed");
            }
            bare.push_back(t1 - t0);
            thru.push_back(t2 - t1);
            added.push_back((t2 - t1) - (t1 - t0));
        }
        SCardDisconnect(handle, SCARD_LEAVE_CARD);
        print("bare SCardTransmit of a SELECT", bare, "us", 1);
        print("korvatlib_nfc_thru of the same SELECT (library + plug-in)", thru, "us", 1);
        print("added by library + plug-in, pair by pair", added, "us", 1);
        std::printf("[x64] %-58s %9.1f us\n", "added by library + plug-in, difference of the medians",
                    percentile(thru, 0.5) - percentile(bare, 0.5));
    }
    print("card arrival (resource manager) to find message", arrivalToFind, "ms", 1000);
    dll.stop_dev_access(0);
    dll.stop_poll_mode();
    dll.close();
    dll.uninitialize();
    SCardReleaseContext(context);
    return 0;
}
