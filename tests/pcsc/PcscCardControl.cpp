#include "PcscCardControl.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace korvat_test {

CardControl::CardControl()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const char *port = std::getenv("KORVAT_PCSC_CONTROL");
    if (port == nullptr) {
        return;
    }
    m_Socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_Socket != INVALID_SOCKET && connect(m_Socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        closesocket(m_Socket);
        m_Socket = INVALID_SOCKET;
    }
}

CardControl::~CardControl()
{
    if (m_Socket != INVALID_SOCKET) {
        closesocket(m_Socket);
    }
    WSACleanup();
}

std::string CardControl::ask(const std::string &command)
{
    const std::string line = command + "\n";
    if (!connected() || send(m_Socket, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size())) {
        return "error not connected";
    }
    std::string answer;
    char c = 0;
    while (recv(m_Socket, &c, 1, 0) == 1 && c != '\n') {
        answer += c;
    }
    return answer;
}

CardControl &control()
{
    static CardControl c;
    return c;
}

VirtualCard::VirtualCard(const std::string &options)
{
    const std::string answer = control().ask("card " + options);
    if (answer.compare(0, 3, "ok ") == 0) {
        m_Pid = answer.substr(3);
    } else {
        ADD_FAILURE() << "card " << options << ": " << answer;
    }
}

VirtualCard::~VirtualCard()
{
    remove();
}

void VirtualCard::remove()
{
    if (!m_Pid.empty()) {
        EXPECT_EQ(control().ask("card-stop " + m_Pid), "ok");
        m_Pid.clear();
    }
}

}  // namespace korvat_test
