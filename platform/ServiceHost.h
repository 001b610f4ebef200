#pragma once
// The service framework of the platform. On Linux the service runs in the
// foreground under systemd (Type=notify): signals are its controls, a
// datagram to NOTIFY_SOCKET its status report, and a unit file its
// registration. The program's service module supplies the handlers; the
// framework runs them on the right thread.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class ServiceControl { Stop, Pause, Continue, Shutdown };

// Turns the control signals of the process into controls that one thread
// reads in arrival order: SIGTERM and SIGINT are Stop and, with
// APauseControls, SIGTSTP is Pause and SIGCONT Continue. The signal handlers
// only write to a pipe, so any thread may receive the signal; the
// dispositions are restored when the object goes. One object per process at
// a time.
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
    int FRead = -1;
    bool FPauseControls;
};

struct ServiceDefinition {
    std::string Name;        // the unit is Name + ".service"
    std::string Description; // the unit's Description=
    std::string Title;       // the application title, used in confirmations
};

// The folder of the unit file: BREVOLT_SYSTEMD_DIR, else /etc/systemd/system.
std::string SystemdUnitDirectory();
// The unit file's text for a service started by AExecStart (program first).
std::string BuildUnitFile(const ServiceDefinition& ADefinition,
                          const std::vector<std::string>& AExecStart);
// One ExecStart= word, quoted and escaped where systemd needs it.
std::string QuoteUnitWord(const std::string& AWord);

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

    // Status reports to the service manager (silent without NOTIFY_SOCKET).
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
    std::string UnitFilePath() const;

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

// Sends one datagram ("READY=1", "STOPPING=1", "STATUS=...") to the socket
// named by NOTIFY_SOCKET; silent when it is unset or cannot be reached.
void NotifyServiceManager(const std::string& AState);

} // namespace platform
