#include "platform/HostName.h"

#include <climits>
#include <cstring>
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

} // namespace platform
