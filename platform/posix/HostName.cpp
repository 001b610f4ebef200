#include "platform/HostName.h"

#include <climits>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

std::string LocalHostFullName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    std::string result = name;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* info = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &info) == 0 && info) {
        if (info->ai_canonname && info->ai_canonname[0] != '\0')
            result = info->ai_canonname;
        freeaddrinfo(info);
    }
    return result;
}

std::string LocalAddressToward(const std::string& AHost, int APort) {
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
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        sockaddr_storage local{};
        socklen_t size = sizeof local;
        char text[NI_MAXHOST] = {};
        const bool ok = connect(fd, a->ai_addr, a->ai_addrlen) == 0 &&
                        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
                        getnameinfo(reinterpret_cast<sockaddr*>(&local), size, text, sizeof text,
                                    nullptr, 0, NI_NUMERICHOST) == 0;
        close(fd);
        if (ok)
            return std::string(text, strcspn(text, "%")); // without a zone ("%eth0")
    }
    return {};
}

} // namespace platform
