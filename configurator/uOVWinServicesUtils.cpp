#include "configurator/uOVWinServicesUtils.h"

#include "common/uOVClock.h"

namespace uOVWinServicesUtils {

namespace {

void ClockSleep(int AMilliseconds) {
    Clock().Sleep(AMilliseconds);
}

} // namespace

int GetServiceState(const QString& AMachine, const QString& AService) {
    return platform::GetServiceState(AMachine.toStdString(), AService.toStdString());
}

bool StartServiceAndWait(const QString& AMachine, const QString& AService, int ABudgetSeconds) {
    return platform::StartServiceAndWait(AMachine.toStdString(), AService.toStdString(),
                                         ABudgetSeconds, ClockSleep);
}

bool StopServiceAndWait(const QString& AMachine, const QString& AService) {
    return platform::StopServiceAndWait(AMachine.toStdString(), AService.toStdString(), ClockSleep);
}

} // namespace uOVWinServicesUtils
