#pragma once
// The service operations of the utility: thin wrappers over the platform's
// service control whose pauses go through the program's clock. Each one may
// block (a start for up to ABudgetSeconds), so windows call them off their
// own thread. AMachine empty is the local machine.
#include "platform/ServiceControl.h"

#include <QString>

namespace uOVWinServicesUtils {

// 1 stopped ... 7 paused (platform::ServiceStopped ...), -1 when unknown.
int GetServiceState(const QString& AMachine, const QString& AService);
// True when the service runs at the end.
bool StartServiceAndWait(const QString& AMachine, const QString& AService, int ABudgetSeconds);
// True when the service is stopped at the end.
bool StopServiceAndWait(const QString& AMachine, const QString& AService);

} // namespace uOVWinServicesUtils
