// The service under the Windows service control manager: the dispatcher
// runs on the main thread and calls the control handler there; status
// reports carry check points and wait hints while a state is pending.
// Started from a command prompt instead, the program runs in the foreground
// and Ctrl+C or Ctrl+Break is its stop control.
#include "platform/ServiceHost.h"

#include "platform/CommandLineSwitch.h"
#include "platform/EventLog.h"
#include "platform/Process.h"
#include "platform/win32/EventSource.h"
#include "platform/win32/Handles.h"
#include "platform/win32/WideText.h"

#include <deque>
#include <iostream>
#include <stdexcept>

namespace platform {

using win32::TServiceHandle;
using win32::Widen;

namespace {

// How long the service manager is told to wait for the next report while
// starting or stopping.
constexpr DWORD WaitHintMs = 5000;

[[noreturn]] void FailWithLastError(const std::string& AWhat) {
    throw std::runtime_error(AWhat + ": " + win32::SystemErrorText(GetLastError()));
}

// Errors go to the event log as well, where an administrator finds those of
// a service started by the service manager.
void ReportError(const ServiceDefinition& ADefinition, const std::string& AError) {
    const std::string message = ADefinition.Title + ": " + AError;
    std::cerr << message << std::endl;
    WriteEvent(ADefinition.Name, EventType::Error, message);
}

// One word of a command line as CommandLineToArgvW reads it back.
std::wstring QuoteArgument(const std::wstring& AWord) {
    if (!AWord.empty() && AWord.find_first_of(L" \t\"") == std::wstring::npos)
        return AWord;
    std::wstring result = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : AWord) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote.
        result.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, L'\\');
    return result + L"\"";
}

// The controls waiting for the thread that reads them.
struct TControlQueue {
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<ServiceControl> Queue;
    bool Woken = false;

    void Push(ServiceControl AControl) {
        {
            std::lock_guard guard(Lock);
            Queue.push_back(AControl);
        }
        Changed.notify_all();
    }
};

// The console's requests go to the one source in use, for the foreground
// run and forms mode. A logoff is not a stop: services and tray programs
// outlive the user's session.
TControlQueue* ConsoleTarget = nullptr;
std::mutex ConsoleTargetLock;

BOOL WINAPI OnConsoleControl(DWORD AEvent) {
    std::optional<ServiceControl> control;
    if (AEvent == CTRL_C_EVENT || AEvent == CTRL_BREAK_EVENT || AEvent == CTRL_CLOSE_EVENT)
        control = ServiceControl::Stop;
    else if (AEvent == CTRL_SHUTDOWN_EVENT)
        control = ServiceControl::Shutdown;
    std::lock_guard guard(ConsoleTargetLock);
    if (!control || !ConsoleTarget)
        return AEvent == CTRL_LOGOFF_EVENT;
    ConsoleTarget->Push(*control);
    return TRUE;
}

} // namespace

// ---- ControlSource ---------------------------------------------------------

struct ControlSource::TState : TControlQueue {};

// The console has no pause request: APauseControls changes nothing here.
ControlSource::ControlSource(bool) : FState(std::make_unique<TState>()) {
    std::lock_guard guard(ConsoleTargetLock);
    ConsoleTarget = FState.get();
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

ControlSource::~ControlSource() {
    std::lock_guard guard(ConsoleTargetLock);
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    ConsoleTarget = nullptr;
}

std::optional<ServiceControl> ControlSource::Wait() {
    std::unique_lock lock(FState->Lock);
    FState->Changed.wait(lock, [this] { return FState->Woken || !FState->Queue.empty(); });
    if (FState->Woken)
        return std::nullopt;
    const ServiceControl control = FState->Queue.front();
    FState->Queue.pop_front();
    return control;
}

void ControlSource::Wake() {
    {
        std::lock_guard guard(FState->Lock);
        FState->Woken = true;
    }
    FState->Changed.notify_all();
}

// ---- the link to the service manager ---------------------------------------

namespace {

// What the dispatcher's callbacks need, which carry no context of their own
// (one service per process).
struct TScmLink {
    std::mutex Lock;
    SERVICE_STATUS_HANDLE Handle = nullptr;
    SERVICE_STATUS Status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};
    std::wstring Name;
    // Set by Serve: the service module's start and the host's handling of
    // one control.
    std::function<void()> Start;
    std::function<void(ServiceControl)> Forward;

    // AState with the next check point while pending; silent before the
    // service manager has given a handle.
    void Report(DWORD AState, DWORD AExitCode = NO_ERROR) {
        std::lock_guard guard(Lock);
        if (!Handle)
            return;
        const bool pending = AState == SERVICE_START_PENDING || AState == SERVICE_STOP_PENDING ||
                             AState == SERVICE_PAUSE_PENDING || AState == SERVICE_CONTINUE_PENDING;
        Status.dwCheckPoint = pending ? Status.dwCheckPoint + 1 : 0;
        Status.dwWaitHint = pending ? WaitHintMs : 0;
        Status.dwCurrentState = AState;
        // A service that is starting or stopping takes no controls.
        Status.dwControlsAccepted =
            AState == SERVICE_START_PENDING || AState == SERVICE_STOP_PENDING ||
                    AState == SERVICE_STOPPED
                ? 0
                : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
        Status.dwWin32ExitCode = AExitCode == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
        Status.dwServiceSpecificExitCode = AExitCode;
        SetServiceStatus(Handle, &Status);
        if (AState == SERVICE_STOPPED)
            Handle = nullptr; // the manager forgets it
    }

    // The current state, repeated; the check point moves on while pending.
    void Progress() {
        DWORD state = 0;
        {
            std::lock_guard guard(Lock);
            state = Status.dwCurrentState;
        }
        if (state != SERVICE_RUNNING && state != SERVICE_PAUSED && state != SERVICE_STOPPED)
            Report(state);
    }

    DWORD State() {
        std::lock_guard guard(Lock);
        return Status.dwCurrentState;
    }
};

TScmLink& Scm() {
    static TScmLink link;
    return link;
}

DWORD WINAPI OnServiceControl(DWORD AControl, DWORD, void*, void*) {
    TScmLink& scm = Scm();
    switch (AControl) {
    case SERVICE_CONTROL_STOP:
        scm.Forward(ServiceControl::Stop);
        return NO_ERROR;
    case SERVICE_CONTROL_SHUTDOWN:
        scm.Forward(ServiceControl::Shutdown);
        return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
        scm.Forward(ServiceControl::Pause);
        return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
        scm.Forward(ServiceControl::Continue);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        scm.Progress();
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Runs on a thread of the dispatcher: registers the handler, reports the
// start and lets the service module start its thread, which reports
// running when it is ready.
void WINAPI ServiceMain(DWORD, wchar_t**) {
    TScmLink& scm = Scm();
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(scm.Name.c_str(), OnServiceControl, nullptr);
    if (!handle)
        return;
    {
        std::lock_guard guard(scm.Lock);
        scm.Handle = handle;
        scm.Status.dwCheckPoint = 0;
    }
    scm.Report(SERVICE_START_PENDING);
    scm.Start();
}

} // namespace

// ---- ServiceHost -----------------------------------------------------------

ServiceHost::ServiceHost(ServiceDefinition ADefinition)
    : FDefinition(std::move(ADefinition)), FInstall(HasSwitch("INSTALL")),
      FUninstall(HasSwitch("UNINSTALL")), FSilent(HasSwitch("SILENT")) {}

ServiceHost::~ServiceHost() {
    TScmLink& scm = Scm();
    scm.Start = nullptr;
    scm.Forward = nullptr;
}

// A program without a console (the service program is a windowed one)
// confirms in a message box.
void ServiceHost::Print(const std::string& ALine) const {
    if (FSilent)
        return;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE)
        std::cout << ALine << std::endl;
    else
        MessageBoxW(nullptr, Widen(ALine).c_str(), Widen(FDefinition.Title).c_str(),
                    MB_OK | MB_ICONINFORMATION);
}

int ServiceHost::Run() {
    try {
        if (FInstall)
            return Install();
        if (FUninstall)
            return Uninstall();
        return Serve();
    } catch (const std::exception& E) {
        ReportError(FDefinition, E.what());
        return 1;
    }
}

int ServiceHost::Install() {
    const std::string exe = ExecutablePath();
    if (exe.empty())
        throw std::runtime_error("cannot tell the path of the program file");
    // The service is started with the switches of this call but the two that
    // asked for the installation.
    std::wstring command = QuoteArgument(Widen(exe));
    for (const std::string& argument : CommandLineArguments())
        if (!IsSwitch(argument, "INSTALL") && !IsSwitch(argument, "SILENT"))
            command += L" " + QuoteArgument(Widen(argument));

    const TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager)
        FailWithLastError("cannot open the service control manager");
    const std::wstring name = Widen(FDefinition.Name);
    const TServiceHandle service(
        CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_CHANGE_CONFIG,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service)
        FailWithLastError("cannot create the service " + FDefinition.Name);
    std::wstring description = Widen(FDefinition.Description);
    SERVICE_DESCRIPTIONW text{description.data()};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text);
    win32::RegisterEventMessages(FDefinition.Name, exe);
    if (AfterInstall)
        AfterInstall();
    Print(FDefinition.Title + ": service " + FDefinition.Name + " installed.");
    return 0;
}

int ServiceHost::Uninstall() {
    const TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        FailWithLastError("cannot open the service control manager");
    const TServiceHandle service(
        OpenServiceW(manager.get(), Widen(FDefinition.Name).c_str(), DELETE));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            throw std::runtime_error("service " + FDefinition.Name + " is not installed");
        FailWithLastError("cannot open the service " + FDefinition.Name);
    }
    if (BeforeUninstall)
        BeforeUninstall();
    // A running service is removed once it has stopped.
    if (!DeleteService(service.get()))
        FailWithLastError("cannot remove the service " + FDefinition.Name);
    win32::UnregisterEventMessages(FDefinition.Name);
    if (AfterUninstall)
        AfterUninstall();
    Print(FDefinition.Title + ": service " + FDefinition.Name + " uninstalled.");
    return 0;
}

int ServiceHost::Serve() {
    TScmLink& scm = Scm();
    {
        std::lock_guard lock(FLock);
        FEnded = false;
    }
    scm.Name = Widen(FDefinition.Name);
    // A service thread that cannot start ends the service at once.
    scm.Start = [this] {
        try {
            StartServiceThread();
        } catch (const std::exception& E) {
            ReportError(FDefinition, E.what());
            ServiceThreadEnded(1);
        }
    };
    // The pending state is reported under the lock that WaitWhilePaused
    // reports under, so a continue cannot overtake the paused report.
    scm.Forward = [this, &scm](ServiceControl AControl) {
        {
            std::lock_guard lock(FLock);
            const DWORD state = scm.State();
            switch (AControl) {
            case ServiceControl::Pause:
                FPaused = true;
                if (state == SERVICE_RUNNING)
                    scm.Report(SERVICE_PAUSE_PENDING);
                break;
            case ServiceControl::Continue:
                FPaused = false;
                if (state == SERVICE_PAUSED || state == SERVICE_PAUSE_PENDING)
                    scm.Report(SERVICE_CONTINUE_PENDING);
                break;
            case ServiceControl::Stop:
            case ServiceControl::Shutdown:
                FStopping = true;
                scm.Report(SERVICE_STOP_PENDING);
                break;
            }
        }
        FChanged.notify_all();
        if (Controller)
            Controller(AControl);
    };

    wchar_t* name = scm.Name.data();
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table)) {
        std::lock_guard lock(FLock);
        return FExitCode;
    }
    if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        FailWithLastError("cannot connect to the service control manager");

    // Not started by the service manager: the console's requests are the
    // controls, forwarded as the handler would.
    ControlSource controls(false);
    {
        std::lock_guard lock(FLock);
        FControls = &controls;
    }
    StartServiceThread();
    while (const std::optional<ServiceControl> control = controls.Wait())
        scm.Forward(*control);
    std::lock_guard lock(FLock);
    FControls = nullptr;
    return FExitCode;
}

void ServiceHost::ServiceThreadEnded(int AExitCode) {
    {
        std::lock_guard lock(FLock);
        FEnded = true;
        FExitCode = AExitCode;
        if (FControls)
            FControls->Wake();
    }
    // Ends the dispatcher's wait on the main thread.
    Scm().Report(SERVICE_STOPPED, static_cast<DWORD>(AExitCode));
}

void ServiceHost::ReportRunning() {
    Scm().Report(SERVICE_RUNNING);
}

void ServiceHost::ReportStopping() {
    Scm().Report(SERVICE_STOP_PENDING);
}

// The service manager shows no status text; a report while pending is
// progress, so the check point moves on.
void ServiceHost::ReportStatus(const std::string&) {
    Scm().Progress();
}

bool ServiceHost::WaitWhilePaused() {
    std::unique_lock lock(FLock);
    if (FPaused && !FStopping)
        Scm().Report(SERVICE_PAUSED);
    FChanged.wait(lock, [this] { return !FPaused || FStopping; });
    if (FStopping)
        return false;
    Scm().Report(SERVICE_RUNNING);
    return true;
}

} // namespace platform
