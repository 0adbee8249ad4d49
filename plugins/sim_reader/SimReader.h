// The simulated reader: its port, poll mode, the cards of the scenario passing its field, and
// device access to the one card it serves. Times are GetTickCount values passed in by the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ReaderError.h"
#include "ReaderReports.h"
#include "SimScenario.h"
#include "SimType2Tag.h"
#include "SimType3Tag.h"
#include "SimType4Tag.h"
#include "korvat_nfc_plugin.h"

namespace sim {

class SimReader {
public:
    SimReader();
    ~SimReader();

    // Each operation returns false with the plug-in's error pair in `error`. The time-out is kept
    // whether or not the port is open: the reader has nothing to wait for.
    bool open(const Scenario &scenario, reader::Error &error);
    bool close(reader::Error &error);
    bool startPollMode(uint32_t targetDevice, uint32_t now, reader::Error &error);
    bool stopPollMode(reader::Error &error);
    bool startDeviceAccess(uint32_t targetNumber, uint32_t now, reader::Error &error);
    bool stopDeviceAccess(uint32_t stopMode, uint32_t now, reader::Error &error);
    bool selectDevice(uint32_t now, reader::Error &error);
    bool deselectDevice(uint32_t now, reader::Error &error);
    bool exchange(const uint8_t *command, size_t length, uint32_t now, std::vector<uint8_t> &response,
                  reader::Error &error);
    void setTimeout(int32_t timeout) { m_Timeout = timeout; }
    int32_t timeout() const { return m_Timeout; }
    bool isOpen() const { return m_Open; }
    // The additional data of a found card are copied into the report.
    bool readDriverStatus(uint32_t now, reader::StatusReport &report, reader::Error &error);
    // Whether readDriverStatus would now answer other than the state it answered last: a card
    // found, a departure, or another state (access enabled, poll mode stopped).
    bool statusChangePending(uint32_t now) const;
    // Departures are reported (a card error with GP_TARGET_DEPARTED, once per card that left the
    // field) only while the library watches the status with an event: a library before that saw
    // no departure from the simulator, and still sees none.
    void reportDepartures(bool reported) { m_ReportDepartures = reported; }

private:
    enum class Phase { Found, Waiting, Accessing };
    // The card's tag model (CardModels), made once per open.
    struct VirtualCard : CardModels {
        CardDescription description;
        bool served = false;                 // released with stop_mode 0 in round `servedRound`
        uint32_t servedRound = 0;
    };

    bool inField(const VirtualCard &card, uint32_t now, uint32_t &round) const;
    // Drops the served card once it has left the field; true if it was being accessed.
    bool dropCardThatLeft(uint32_t now);
    bool findNextCard(uint32_t now);
    // The card findNextCard would take, -1: none.
    int cardToFind(uint32_t now) const;
    void buildAdditionalData();
    bool requireOpen(reader::Error &error) const;
    bool requireAccess(uint32_t now, reader::Error &error);

    bool m_Open = false;
    bool m_Polling = false;
    uint32_t m_TargetDevice = 0;
    uint32_t m_PollStart = 0;
    uint32_t m_RepeatMs = 0;
    std::vector<VirtualCard> m_Cards;

    int m_Current = -1;  // index of the card being served, -1: none
    uint32_t m_CurrentRound = 0;
    Phase m_Phase = Phase::Found;
    bool m_Halted = false;
    uint32_t m_TargetNumber = 0;
    uint32_t m_NextTargetNumber = 1;

    int32_t m_Timeout;
    std::vector<uint8_t> m_AdditionalData;

    bool m_ReportDepartures = false;
    bool m_DeparturePending = false;  // the served card left; m_Departed is its found report
    reader::StatusReport m_Departed;
    uint32_t m_Answered = GP_STATUS_STATE_IDLE;  // the state of the last answer (a find: waiting)
};

}  // namespace sim
