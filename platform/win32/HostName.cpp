#include "platform/HostName.h"

#include "platform/win32/ComputerName.h"

namespace platform {

std::string LocalHostFullName() {
    for (const COMPUTER_NAME_FORMAT format :
         {ComputerNameDnsFullyQualified, ComputerNameDnsHostname})
        if (std::string name = win32::ComputerNameOf(format); !name.empty())
            return name;
    return "localhost";
}

} // namespace platform
