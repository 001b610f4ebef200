#pragma once
// The service framework of the platform: the system's service manager
// registers the program, runs it, sends it controls and shows its status
// reports. The program's service module supplies the handlers; the
// framework runs them on the right thread.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

enum class ServiceControl { Stop, Pause, Continue, Shutdown };

// Turns the requests the system sends the process (stop, and with
// APauseControls pause and continue) into controls that one thread reads in
// arrival order; the process's former handling is restored when the object
// goes. One object per process at a time.
class ControlSource {
public:
    explicit ControlSource(bool APauseControls);
    ~ControlSource();
    ControlSource(const ControlSource&) = delete;
    ControlSource& operator=(const ControlSource&) = delete;

    // Blocks until the next control; nullopt once Wake has been called.
    std::optional<ServiceControl> Wait();
    // Any thread: makes Wait return nullopt, now or at its next call.
    void Wake();

private:
    struct TState;
    std::unique_ptr<TState> FState;
};

struct ServiceDefinition {
    std::string Name;        // the service's name in the service manager
    std::string Description; // shown by the service manager
    std::string Title;       // the application title, used in confirmations
};

class ServiceHost {
public:
    explicit ServiceHost(ServiceDefinition ADefinition);
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    const ServiceDefinition& Definition() const { return FDefinition; }

    // Switches of the command line ("INSTALL", "UNINSTALL", "SILENT").
    bool Installing() const { return FInstall || FUninstall; }

    // Handlers run on the calling (main) thread during INSTALL / UNINSTALL.
    std::function<void()> AfterInstall;
    std::function<void()> BeforeUninstall;
    std::function<void()> AfterUninstall;
    // Service mode: starts the service thread and returns at once.
    std::function<void()> StartServiceThread;
    // Receives every control on the main thread; must only forward it.
    std::function<void(ServiceControl)> Controller;

    // INSTALL, UNINSTALL or service mode; returns the process exit code.
    // Install and uninstall print a one-line confirmation unless SILENT;
    // errors go to stderr with a non-zero code. Service mode forwards the
    // controls until ServiceThreadEnded is called.
    int Run();

    // Any thread. The service thread has finished; Run returns AExitCode.
    void ServiceThreadEnded(int AExitCode);

    // Status reports to the service manager (silent when the program was not
    // started by it).
    void ReportRunning();
    void ReportStopping();
    void ReportStatus(const std::string& AText);

    // On the service thread: blocks while the service is paused, until a
    // continue (true) or a stop (false) arrives.
    bool WaitWhilePaused();

private:
    int Install();
    int Uninstall();
    int Serve();
    void Print(const std::string& ALine) const;

    ServiceDefinition FDefinition;
    bool FInstall = false;
    bool FUninstall = false;
    bool FSilent = false;

    std::mutex FLock;
    std::condition_variable FChanged;
    bool FPaused = false;
    bool FStopping = false;
    bool FEnded = false;
    int FExitCode = 0;
    ControlSource* FControls = nullptr;
};

} // namespace platform
