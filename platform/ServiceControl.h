#pragma once
// Control of a service from outside it: read its state, start it or stop it
// and wait until the service manager reports the outcome. The waits block
// the calling thread; a window calls them from a worker thread.
//
// AMachine empty is the local machine, the only one reachable where the
// service manager offers no remote access (every query of another machine is
// then unknown and every request fails).
#include <functional>
#include <string>

namespace platform {

// The states, numbered as the utility shows them.
inline constexpr int ServiceStopped = 1;
inline constexpr int ServiceStartPending = 2;
inline constexpr int ServiceStopPending = 3;
inline constexpr int ServiceRunning = 4;
inline constexpr int ServiceContinuePending = 5;
inline constexpr int ServicePausePending = 6;
inline constexpr int ServicePaused = 7;
// Not installed, the service manager unreachable, or the request refused.
inline constexpr int ServiceStateUnknown = -1;

// One reading of a service's state with the progress of a pending state.
struct ServiceStatus {
    int State = ServiceStateUnknown;
    // Grows while a pending state makes progress; going down means the
    // service gave up.
    int CheckPoint = 0;
    // How long the service expects until its next progress report.
    int WaitHintMs = 0;
};

// A pause of the calling thread; tests pass one that only moves a clock.
using SleepFunction = std::function<void(int AMilliseconds)>;
// Reads the status afresh into its argument; false when it cannot be read.
using StatusQuery = std::function<bool(ServiceStatus&)>;

// A real pause.
void SleepFor(int AMilliseconds);

// The state of AService, or ServiceStateUnknown.
int GetServiceState(const std::string& AMachine, const std::string& AService);

// Requests the start and waits while it progresses, for at most
// ABudgetSeconds; true when the service runs at the end.
bool StartServiceAndWait(const std::string& AMachine, const std::string& AService,
                         int ABudgetSeconds, const SleepFunction& ASleep = SleepFor);

// Requests the stop and waits while it progresses (at most
// StopWaitLimitMs); true when the service is stopped at the end.
bool StopServiceAndWait(const std::string& AMachine, const std::string& AService,
                        const SleepFunction& ASleep = SleepFor);

// The waits themselves, the same for every service manager. AStatus is the
// reading right after the request.

// While not running and budget is left: pauses for the wait hint (whole
// seconds, at most 10 and at most the budget left, one second at a time, each
// taking a second off the budget), reads again; ends early when a pass
// paused for nothing, a reading fails or the check point goes down.
bool WaitForServiceStart(ServiceStatus AStatus, const StatusQuery& AQuery, int ABudgetSeconds,
                         const SleepFunction& ASleep);

inline constexpr int StopWaitLimitMs = 60000;
// While not stopped: pauses for the wait hint (at most 10 s, at least 1 s so
// a service without hints is not polled in a spin), reads again; ends when
// a reading fails, the check point goes down or StopWaitLimitMs have passed.
bool WaitForServiceStop(ServiceStatus AStatus, const StatusQuery& AQuery,
                        const SleepFunction& ASleep);

} // namespace platform
