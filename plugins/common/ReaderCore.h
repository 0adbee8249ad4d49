// A Reader whose port is one object of a portable reader core (pn532::Reader, pcsc::Reader):
// the calls of an open port go straight to it. The plug-in adds its description, its port
// names and how it makes the core (open) and lets it go (close).
#pragma once

#include <memory>

#include "ReaderPlugin.h"

namespace korvat_plugin {

template <class Core>
class ReaderCore : public Reader {
public:
    bool isOpen() const override { return m_Core != nullptr; }
    bool startPollMode(uint32_t targetDevice, Error &error) override { return m_Core->startPollMode(targetDevice, error); }
    bool stopPollMode(Error &error) override { return m_Core->stopPollMode(error); }
    bool startDeviceAccess(uint32_t targetNumber, Error &error) override
    {
        return m_Core->startDeviceAccess(targetNumber, error);
    }
    bool stopDeviceAccess(uint32_t stopMode, Error &error) override { return m_Core->stopDeviceAccess(stopMode, error); }
    bool selectDevice(Error &error) override { return m_Core->selectDevice(error); }
    bool deselectDevice(Error &error) override { return m_Core->deselectDevice(error); }
    bool exchange(const uint8_t *command, uint16_t length, std::vector<uint8_t> &response, Error &error) override
    {
        return m_Core->exchange(command, length, response, error);
    }
    bool setTimeout(int32_t timeout, Error &error) override { return m_Core->setTimeout(timeout, error); }
    int32_t timeout() const override { return m_Core->timeout(); }
    uint32_t pollStep() override { return m_Core->pollStep(); }
    void takeReports(std::deque<StatusReport> &events, StatusReport &steady) override
    {
        m_Core->takeReports(events, steady);
    }

protected:
    // Closes the core (its own failures are given up with the port) and lets it go.
    void closeCore()
    {
        Error ignored;
        m_Core->close(ignored);
        m_Core.reset();
    }

    std::unique_ptr<Core> m_Core;
};

}  // namespace korvat_plugin
