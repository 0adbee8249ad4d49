// The test programs' side of tests/pcsc/pcsc_card_control.py: virtual cards brought into the
// reader "Virtual PCD 00 00" and taken away, pcscd stopped and started, from a program under
// Wine 10 in the PC/SC root (KORVAT_PCSC_CONTROL names the controller's port on the loopback).
#pragma once

#include <winsock2.h>

#include <string>

namespace korvat_test {

class CardControl {
public:
    CardControl();
    ~CardControl();
    bool connected() const { return m_Socket != INVALID_SOCKET; }
    // One command; its answer line ("ok ...", "error ...").
    std::string ask(const std::string &command);

    CardControl(const CardControl &) = delete;
    CardControl &operator=(const CardControl &) = delete;

private:
    SOCKET m_Socket = INVALID_SOCKET;
};

// The process's one connection to the controller.
CardControl &control();

// A virtual card (virtual_card.py options) in the reader while this lives.
class VirtualCard {
public:
    explicit VirtualCard(const std::string &options);
    ~VirtualCard();
    void remove();

    VirtualCard(const VirtualCard &) = delete;
    VirtualCard &operator=(const VirtualCard &) = delete;

private:
    std::string m_Pid;
};

}  // namespace korvat_test
