// The waits after a start or stop request, apart from any service manager:
// each implementation only supplies the readings.
#include "platform/ServiceControl.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace platform {

namespace {
// Reads the status again; false, ending the wait, when it cannot be read or
// its checkpoint went back.
bool ReadAgain(const StatusQuery& AQuery, ServiceStatus& AStatus) {
    const int checkPoint = AStatus.CheckPoint;
    ServiceStatus next;
    if (!AQuery(next))
        return false;
    AStatus = next;
    return AStatus.CheckPoint >= checkPoint;
}
} // namespace

void SleepFor(int AMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
}

bool WaitForServiceStart(ServiceStatus AStatus, const StatusQuery& AQuery, int ABudgetSeconds,
                         const SleepFunction& ASleep) {
    int budget = ABudgetSeconds;
    int lastWait = -1; // no pass yet
    while (AStatus.State != ServiceRunning && budget > 0) {
        // A service that asked for no time last pass is not going to start.
        if (lastWait == 0)
            break;
        const int wait = std::max(0, std::min({AStatus.WaitHintMs / 1000, 10, budget}));
        lastWait = wait;
        for (int i = 0; i < wait; ++i) {
            ASleep(1000);
            --budget;
        }
        if (!ReadAgain(AQuery, AStatus))
            break;
    }
    return AStatus.State == ServiceRunning;
}

bool WaitForServiceStop(ServiceStatus AStatus, const StatusQuery& AQuery,
                        const SleepFunction& ASleep) {
    int waited = 0;
    while (AStatus.State != ServiceStopped && waited < StopWaitLimitMs) {
        const int pause =
            std::min(std::clamp(AStatus.WaitHintMs, 1000, 10000), StopWaitLimitMs - waited);
        ASleep(pause);
        waited += pause;
        if (!ReadAgain(AQuery, AStatus))
            break;
    }
    return AStatus.State == ServiceStopped;
}

} // namespace platform
