#include "platform/HostName.h"

// winsock2.h before windows.h, which ComputerName.h brings.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/ComputerName.h"

#include <cstring>
#include <memory>

namespace platform {

std::string LocalHostFullName() {
    for (const COMPUTER_NAME_FORMAT format :
         {ComputerNameDnsFullyQualified, ComputerNameDnsHostname})
        if (std::string name = win32::ComputerNameOf(format); !name.empty())
            return name;
    return "localhost";
}

namespace {
// Winsock counts its users: each call starts it and ends it again.
class TWinsock {
public:
    TWinsock() : FStarted(WSAStartup(MAKEWORD(2, 2), &FData) == 0) {}
    ~TWinsock() {
        if (FStarted)
            WSACleanup();
    }
    TWinsock(const TWinsock&) = delete;
    TWinsock& operator=(const TWinsock&) = delete;
    bool Started() const { return FStarted; }

private:
    WSADATA FData{};
    bool FStarted;
};
} // namespace

std::string LocalAddressToward(const std::string& AHost, int APort) {
    const TWinsock winsock;
    if (!winsock.Started())
        return {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(AHost.c_str(), std::to_string(APort).c_str(), &hints, &found) != 0)
        return {};
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
    // Connecting a datagram socket only picks the route and its source address.
    for (const addrinfo* a = list.get(); a; a = a->ai_next) {
        const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET)
            continue;
        sockaddr_storage local{};
        int size = sizeof local;
        char text[NI_MAXHOST] = {};
        const bool ok =
            connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
            getnameinfo(reinterpret_cast<sockaddr*>(&local), static_cast<socklen_t>(size), text,
                        sizeof text, nullptr, 0, NI_NUMERICHOST) == 0;
        closesocket(s);
        if (ok)
            return std::string(text, strcspn(text, "%")); // without a zone ("%12")
    }
    return {};
}

} // namespace platform
