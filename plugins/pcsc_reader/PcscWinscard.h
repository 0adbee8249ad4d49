// pcsc::Scard over winscard.dll: one context, one reader's state at a time, one card connection.
#pragma once

#include <windows.h>
#include <winscard.h>

#include "PcscReader.h"

class PcscWinscard : public pcsc::Scard {
public:
    ~PcscWinscard() override;  // calls nothing: see the source

    uint32_t establishContext() override;
    void releaseContext() override;
    uint32_t listReaders(std::vector<std::string> &readers) override;
    uint32_t readerState(const std::string &reader, uint32_t currentState, uint32_t &eventState,
                         std::vector<uint8_t> &atr) override;
    uint32_t connect(const std::string &reader) override;
    void disconnect() override;
    uint32_t transmit(const uint8_t *command, size_t length, std::vector<uint8_t> &answer) override;
    uint32_t milliseconds() override;
    void trace(const std::string &line) override;

    // The port's name in trace lines ("PCSC0").
    void setPortName(const std::string &name) { m_PortName = name; }

private:
    SCARDCONTEXT m_Context = 0;
    bool m_HasContext = false;
    SCARDHANDLE m_Card = 0;
    bool m_HasCard = false;
    DWORD m_Protocol = 0;
    std::string m_PortName;
    std::vector<uint8_t> m_Answer;  // the receive buffer, kept between transmits
};
