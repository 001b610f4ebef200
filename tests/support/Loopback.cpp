#include "tests/support/Loopback.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace testsupport {

namespace {

#ifdef _WIN32
using TSocket = SOCKET;
const TSocket NoSocket = INVALID_SOCKET;
void CloseSocket(TSocket ASocket) {
    closesocket(ASocket);
}
// Winsock is started once per process, before the first socket.
TSocket OpenSocket(int AFamily) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started ? ::socket(AFamily, SOCK_STREAM, 0) : NoSocket;
}
#else
using TSocket = int;
const TSocket NoSocket = -1;
void CloseSocket(TSocket ASocket) {
    ::close(ASocket);
}
TSocket OpenSocket(int AFamily) {
    return ::socket(AFamily, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
#endif

// The loopback address of the family of AAddress, on APort.
socklen_t LoopbackAddress(const QString& AAddress, int APort, sockaddr_storage& AResult) {
    AResult = {};
    if (AAddress.contains(QLatin1Char(':'))) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&AResult);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(static_cast<unsigned short>(APort));
        return sizeof(*a);
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&AResult);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(static_cast<unsigned short>(APort));
    return sizeof(*a);
}

} // namespace

bool HasIPv6Loopback() {
    const TSocket s = OpenSocket(AF_INET6);
    if (s == NoSocket)
        return false;
    sockaddr_storage address;
    const socklen_t len = LoopbackAddress(QStringLiteral("::1"), 0, address);
    const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&address), len) == 0;
    CloseSocket(s);
    return bound;
}

bool ResolvesOnlyToIPv6Loopback(const char* AName) {
    OpenSocket(AF_INET); // starts Winsock
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(AName, nullptr, &hints, &list) != 0)
        return false;
    bool only = list != nullptr;
    for (const addrinfo* a = list; a; a = a->ai_next)
        only = only && a->ai_family == AF_INET6 &&
               IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
    freeaddrinfo(list);
    return only;
}

int ClosedLoopbackPort() {
    const TSocket s = OpenSocket(AF_INET);
    if (s == NoSocket)
        return 0;
    sockaddr_storage address;
    socklen_t len = LoopbackAddress(QStringLiteral("127.0.0.1"), 0, address);
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), len) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &len) == 0)
        port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    CloseSocket(s);
    return port;
}

bool AcceptsConnections(const QString& AAddress, int APort) {
    sockaddr_storage address;
    const socklen_t len = LoopbackAddress(AAddress, APort, address);
    const TSocket s = OpenSocket(address.ss_family);
    if (s == NoSocket)
        return false;
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&address), len) == 0;
    CloseSocket(s);
    return ok;
}

} // namespace testsupport
