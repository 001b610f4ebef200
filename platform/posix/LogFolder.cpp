#include "platform/LogFolder.h"

namespace platform {

std::string MachineLogFolder(const std::string& AVendor) {
    return "/var/log/" + AVendor;
}

} // namespace platform
