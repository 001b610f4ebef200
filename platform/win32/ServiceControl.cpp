// Service control through the Windows service control manager. The access
// rights asked for are those the utility has always asked for: a state query
// opens the manager with full access, so without administrator rights the
// state reads as unknown.
#include "platform/ServiceControl.h"

#include "platform/win32/Handles.h"
#include "platform/win32/WideText.h"

namespace platform {

using win32::TServiceHandle;

namespace {

constexpr DWORD QueryManagerAccess = SC_MANAGER_ALL_ACCESS;
constexpr DWORD QueryServiceAccess = SERVICE_QUERY_STATUS;
constexpr DWORD ControlManagerAccess = SC_MANAGER_CONNECT;
constexpr DWORD StartAccess = SERVICE_START | SERVICE_QUERY_STATUS;
constexpr DWORD StopAccess = SERVICE_STOP | SERVICE_QUERY_STATUS;
static_assert(QueryManagerAccess == 0xF003F && QueryServiceAccess == 4);
static_assert(ControlManagerAccess == 1 && StartAccess == 20 && StopAccess == 36);

// A service opened through its manager; the service is closed first.
struct TOpenService {
    TServiceHandle Manager;
    TServiceHandle Service;

    explicit operator bool() const { return Service != nullptr; }
};

TOpenService Open(const std::string& AMachine, const std::string& AService, DWORD AManagerAccess,
                  DWORD AServiceAccess) {
    TOpenService opened;
    const std::wstring machine = win32::Widen(AMachine);
    opened.Manager.reset(
        OpenSCManagerW(AMachine.empty() ? nullptr : machine.c_str(), nullptr, AManagerAccess));
    if (opened.Manager)
        opened.Service.reset(
            OpenServiceW(opened.Manager.get(), win32::Widen(AService).c_str(), AServiceAccess));
    return opened;
}

bool Query(SC_HANDLE AService, ServiceStatus& AStatus) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(AService, &status))
        return false;
    AStatus.State = static_cast<int>(status.dwCurrentState);
    AStatus.CheckPoint = static_cast<int>(status.dwCheckPoint);
    AStatus.WaitHintMs = static_cast<int>(status.dwWaitHint);
    return true;
}

} // namespace

int GetServiceState(const std::string& AMachine, const std::string& AService) {
    const TOpenService opened = Open(AMachine, AService, QueryManagerAccess, QueryServiceAccess);
    ServiceStatus status;
    if (!opened || !Query(opened.Service.get(), status))
        return ServiceStateUnknown;
    return status.State;
}

bool StartServiceAndWait(const std::string& AMachine, const std::string& AService,
                         int ABudgetSeconds, const SleepFunction& ASleep) {
    const TOpenService opened = Open(AMachine, AService, ControlManagerAccess, StartAccess);
    ServiceStatus status;
    if (!opened || !StartServiceW(opened.Service.get(), 0, nullptr) ||
        !Query(opened.Service.get(), status))
        return false;
    return WaitForServiceStart(
        status, [&](ServiceStatus& AStatus) { return Query(opened.Service.get(), AStatus); },
        ABudgetSeconds, ASleep);
}

bool StopServiceAndWait(const std::string& AMachine, const std::string& AService,
                        const SleepFunction& ASleep) {
    const TOpenService opened = Open(AMachine, AService, ControlManagerAccess, StopAccess);
    SERVICE_STATUS reply{};
    ServiceStatus status;
    if (!opened || !ControlService(opened.Service.get(), SERVICE_CONTROL_STOP, &reply) ||
        !Query(opened.Service.get(), status))
        return false;
    return WaitForServiceStop(
        status, [&](ServiceStatus& AStatus) { return Query(opened.Service.get(), AStatus); },
        ASleep);
}

} // namespace platform
