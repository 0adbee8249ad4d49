// Benchmark (prints figures, asserts nothing): the PN532 host-link code's own CPU cost per
// exchange against the wall time of the whole turnaround with the emulator, without and with
// the emulator pacing its bytes at 115200 baud; and the time from a card entering the field
// to the found report.
#include <time.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "Pn532Reader.h"
#include "Pn532TestSupport.h"
#include "korvat_nfc_plugin.h"

namespace {

double threadCpuMicroseconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double wallMicroseconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

bool findTarget(pn532::Reader &reader, uint32_t targetDevice, reader::StatusReport &found, uint32_t limitMs)
{
    pn532::Error error;
    if (!reader.startPollMode(targetDevice, error)) {
        return false;
    }
    std::deque<reader::StatusReport> events;
    reader::StatusReport steady;
    const double start = wallMicroseconds();
    while (wallMicroseconds() - start < limitMs * 1000.0) {
        reader.pollStep();
        reader.takeReports(events, steady);
        if (!events.empty()) {
            found = events.front();
            return true;
        }
    }
    return false;
}

void exchangeFigures(bool pace, int rounds)
{
    const std::string scenario = pn532test::writeScenario(
        "bench.scenario", "card A 0 6000000 nfcid1=04A1A2A3A4A5A6 sel_res=20 ats=0578807002\nuri https://example.org/\n");
    std::vector<std::string> arguments{"--scenario", scenario};
    if (pace) {
        arguments.push_back("--pace");
    }
    pn532test::EmulatorProcess emulator(arguments);
    pn532test::TtyLink link(emulator.path());
    pn532::Reader reader(link);
    pn532::Error error;
    reader::StatusReport found;
    if (!reader.open(error) || !findTarget(reader, 1, found, 3000) ||
        !reader.startDeviceAccess(found.additionalData[GP_AD_TARGET_NUMBER], error)) {
        std::printf("pn532 exchange%s: setup failed (%08X %08X)\n", pace ? " paced" : "", error.code, error.detail);
        return;
    }
    const std::vector<uint8_t> select{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
    const std::vector<uint8_t> selectCc{0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x03};
    const std::vector<uint8_t> read{0x00, 0xB0, 0x00, 0x00, 0x0F};
    for (const auto &command : {select, read}) {
        std::vector<uint8_t> response;
        if (command == read) {  // READ BINARY of the capability container, selected first
            reader.exchange(selectCc.data(), selectCc.size(), response, error);
        }
        const double cpu0 = threadCpuMicroseconds();
        const double wall0 = wallMicroseconds();
        int done = 0;
        for (; done < rounds; ++done) {
            if (!reader.exchange(command.data(), command.size(), response, error)) {
                break;
            }
        }
        const double cpu = (threadCpuMicroseconds() - cpu0) / (done ? done : 1);
        const double wall = (wallMicroseconds() - wall0) / (done ? done : 1);
        std::printf("pn532 exchange %-12s %s: %d rounds, turnaround %8.1f us, host-link code CPU %6.1f us (%4.1f%%), "
                    "%zu answer bytes\n",
                    command.size() == select.size() ? "SELECT" : "READ CC 15", pace ? "paced 115200" : "unpaced     ", done,
                    wall, cpu, 100.0 * cpu / wall, response.size());
    }
    reader.close(error);
}

void findFigures(int cards)
{
    // Cards enter every 700 ms, 400 ms after the previous one left.
    std::string text;
    for (int i = 0; i < cards; ++i) {
        char line[160];
        std::snprintf(line, sizeof(line), "card A %d %d nfcid1=04A1A2A3A4A5%02X sel_res=20 ats=0578807002\n",
                      1000 + 700 * i, 1300 + 700 * i, i);
        text += line;
    }
    pn532test::EmulatorProcess emulator({"--scenario", pn532test::writeScenario("find.scenario", text)});
    pn532test::TtyLink link(emulator.path());
    pn532::Reader reader(link);
    pn532::Error error;
    const double sessionStart = wallMicroseconds();  // the emulator's clock starts at the open
    if (!reader.open(error)) {
        std::printf("pn532 find: open failed\n");
        return;
    }
    std::deque<reader::StatusReport> events;
    reader::StatusReport steady;
    reader.startPollMode(1 | 2 | 8, error);
    double worst = 0, sum = 0;
    int found = 0;
    while (found < cards && wallMicroseconds() - sessionStart < (1500 + 700.0 * cards) * 1000) {
        reader.pollStep();
        reader.takeReports(events, steady);
        while (!events.empty()) {
            const reader::StatusReport event = events.front();
            events.pop_front();
            if ((event.driverStatus & GP_CONNECT_REPORT_POLL_MODE) == 0) {
                continue;
            }
            const double entered = sessionStart + (1000 + 700.0 * found) * 1000;
            const double latency = (wallMicroseconds() - entered) / 1000;
            sum += latency;
            worst = latency > worst ? latency : worst;
            ++found;
            reader.startDeviceAccess(event.additionalData[GP_AD_TARGET_NUMBER], error);
            reader.stopDeviceAccess(0, error);
        }
    }
    std::printf("pn532 card entering the field -> found report (poll thread steps, kinds A,B,F): %d of %d cards, "
                "mean %.1f ms, worst %.1f ms (upper bound: includes the open's few ms)\n",
                found, cards, found ? sum / found : 0.0, worst);
    reader.close(error);
}

}  // namespace

int main()
{
    exchangeFigures(false, 500);
    exchangeFigures(true, 200);
    findFigures(5);
    return 0;
}
