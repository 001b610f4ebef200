// The event log is the syslog, facility daemon, with the event source as the
// ident.
#include "platform/EventLog.h"

#include <mutex>
#include <syslog.h>

namespace platform {

void WriteEvent(const std::string& ASource, EventType AType, const std::string& AMessage) {
    // openlog keeps the ident pointer: the lock keeps it valid until closelog.
    static std::mutex lock;
    std::lock_guard guard(lock);
    int priority = LOG_INFO;
    switch (AType) {
    case EventType::Error:
        priority = LOG_ERR;
        break;
    case EventType::Warning:
        priority = LOG_WARNING;
        break;
    case EventType::Information:
        priority = LOG_INFO;
        break;
    }
    openlog(ASource.c_str(), LOG_PID, LOG_DAEMON);
    syslog(priority, "%s", AMessage.c_str());
    closelog();
}

} // namespace platform
