// The service under systemd: SIGTERM and SIGINT are the stop control,
// SIGTSTP and SIGCONT pause and continue; the unit file is written by
// INSTALL and the status goes to NOTIFY_SOCKET.
#include "platform/ServiceHost.h"

#include "platform/CommandLineSwitch.h"
#include "platform/posix/SystemdUnit.h"
#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

// The write end of the control pipe, for the signal handler.
volatile sig_atomic_t ControlPipe = -1;

void OnControlSignal(int ASignal) {
    const int saved = errno;
    const unsigned char code = static_cast<unsigned char>(ASignal);
    if (ControlPipe >= 0)
        (void)!write(ControlPipe, &code, 1);
    errno = saved;
}

const int StopSignals[] = {SIGTERM, SIGINT};
const int PauseSignals[] = {SIGTSTP, SIGCONT};

void SetDisposition(int ASignal, void (*AHandler)(int)) {
    struct sigaction action {};
    action.sa_handler = AHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(ASignal, &action, nullptr);
}

// Only the real system unit folder is announced to systemd; a folder given
// by BREVOLT_SYSTEMD_DIR is not one systemd reads.
bool ManagedBySystemd() {
    const char* dir = std::getenv("BREVOLT_SYSTEMD_DIR");
    return (dir == nullptr || *dir == '\0') && access("/run/systemd/system", F_OK) == 0;
}

// Runs systemctl with AArguments and waits; the child gets the default
// signal mask and dispositions whatever this process has set.
void RunSystemctl(const std::vector<std::string>& AArguments) {
    std::vector<std::string> words{"systemctl"};
    words.insert(words.end(), AArguments.begin(), AArguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "systemctl", nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    std::string command = "systemctl";
    for (const std::string& argument : AArguments)
        command += " " + argument;
    if (rc != 0)
        throw std::runtime_error("cannot run " + command + ": " + std::strerror(rc));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(command + " failed");
}

void WriteFileReplacing(const std::string& APath, const std::string& AText) {
    const std::string temporary = APath + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << AText;
        out.close();
        if (!out)
            throw std::runtime_error("cannot write " + temporary + ": " + std::strerror(errno));
    }
    chmod(temporary.c_str(), 0644);
    if (std::rename(temporary.c_str(), APath.c_str()) != 0) {
        const int error = errno;
        std::remove(temporary.c_str());
        throw std::runtime_error("cannot write " + APath + ": " + std::strerror(error));
    }
}

std::string OneLine(std::string AText) {
    for (char& c : AText)
        if (c == '\n' || c == '\r')
            c = ' ';
    return AText;
}

// Specifiers (%) and variables ($) would be expanded by systemd.
std::string EscapeUnitText(const std::string& AText) {
    std::string result;
    for (const char c : OneLine(AText)) {
        if (c == '%' || c == '$')
            result += c;
        result += c;
    }
    return result;
}

} // namespace

// ---- ControlSource ---------------------------------------------------------

// The signal handlers only write to a pipe, so any thread may receive the
// signal; the read end is what Wait blocks on.
struct ControlSource::TState {
    int Read = -1;
    bool PauseControls = false;
};

ControlSource::ControlSource(bool APauseControls) : FState(std::make_unique<TState>()) {
    FState->PauseControls = APauseControls;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot create the control pipe: ") +
                                 std::strerror(errno));
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    FState->Read = fds[0];
    ControlPipe = fds[1];
    for (const int signal : StopSignals)
        SetDisposition(signal, OnControlSignal);
    if (FState->PauseControls)
        for (const int signal : PauseSignals)
            SetDisposition(signal, OnControlSignal);
}

ControlSource::~ControlSource() {
    for (const int signal : StopSignals)
        SetDisposition(signal, SIG_DFL);
    if (FState->PauseControls)
        for (const int signal : PauseSignals)
            SetDisposition(signal, SIG_DFL);
    const int writeEnd = ControlPipe;
    ControlPipe = -1;
    close(writeEnd);
    close(FState->Read);
}

std::optional<ServiceControl> ControlSource::Wait() {
    for (;;) {
        unsigned char code = 0;
        const ssize_t n = read(FState->Read, &code, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || code == 0) {
            // Woken (or the pipe is gone): leave the byte for later calls.
            if (n > 0)
                Wake();
            return std::nullopt;
        }
        switch (code) {
        case SIGTERM:
        case SIGINT:
            return ServiceControl::Stop;
        case SIGTSTP:
            return ServiceControl::Pause;
        case SIGCONT:
            return ServiceControl::Continue;
        default:
            break;
        }
    }
}

void ControlSource::Wake() {
    const unsigned char code = 0;
    if (ControlPipe >= 0)
        (void)!write(ControlPipe, &code, 1);
}

// ---- unit file -------------------------------------------------------------

std::string SystemdUnitDirectory() {
    const char* dir = std::getenv("BREVOLT_SYSTEMD_DIR");
    return dir && *dir ? std::string(dir) : std::string("/etc/systemd/system");
}

std::string QuoteUnitWord(const std::string& AWord) {
    bool plain = !AWord.empty() && AWord != ";";
    for (const char c : AWord)
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '"' || c == '\'' || c == '\\')
            plain = false;
    std::string result = plain ? "" : "\"";
    for (const char c : AWord) {
        switch (c) {
        case '"':
        case '\\':
            result += '\\';
            result += c;
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        case '%':
        case '$':
            result += c;
            result += c;
            break;
        default:
            result += c;
        }
    }
    if (!plain)
        result += '"';
    return result;
}

std::string BuildUnitFile(const ServiceDefinition& ADefinition,
                          const std::vector<std::string>& AExecStart) {
    std::string execStart;
    for (const std::string& word : AExecStart)
        execStart += (execStart.empty() ? "" : " ") + QuoteUnitWord(word);
    return "[Unit]\n"
           "Description=" +
           EscapeUnitText(ADefinition.Description) +
           "\n"
           "Wants=network-online.target\n"
           "After=network-online.target\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           execStart +
           "\n"
           // A stop waits for the run in progress, which may take minutes.
           "TimeoutStopSec=10min\n"
           // A service that ends with a failure status (a run found the
           // database unreadable) is started again after a pause.
           "Restart=on-failure\n"
           "RestartSec=60s\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

// ---- ServiceHost -----------------------------------------------------------

ServiceHost::ServiceHost(ServiceDefinition ADefinition)
    : FDefinition(std::move(ADefinition)), FInstall(HasSwitch("INSTALL")),
      FUninstall(HasSwitch("UNINSTALL")), FSilent(HasSwitch("SILENT")) {}

ServiceHost::~ServiceHost() = default;

namespace {

std::string UnitFilePath(const ServiceDefinition& ADefinition) {
    std::string dir = SystemdUnitDirectory();
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir + ADefinition.Name + ".service";
}

} // namespace

void ServiceHost::Print(const std::string& ALine) const {
    if (!FSilent)
        std::cout << ALine << std::endl;
}

int ServiceHost::Run() {
    try {
        if (FInstall)
            return Install();
        if (FUninstall)
            return Uninstall();
        return Serve();
    } catch (const std::exception& E) {
        std::cerr << FDefinition.Title << ": " << E.what() << std::endl;
        return 1;
    }
}

int ServiceHost::Install() {
    const std::string exe = ExecutablePath();
    if (exe.empty())
        throw std::runtime_error("cannot tell the path of the program file");
    std::vector<std::string> execStart{exe};
    for (const std::string& argument : CommandLineArguments())
        if (!IsSwitch(argument, "INSTALL") && !IsSwitch(argument, "SILENT"))
            execStart.push_back(argument);
    const std::string unit = UnitFilePath(FDefinition);
    WriteFileReplacing(unit, BuildUnitFile(FDefinition, execStart));
    if (AfterInstall)
        AfterInstall();
    if (ManagedBySystemd()) {
        RunSystemctl({"daemon-reload"});
        RunSystemctl({"enable", FDefinition.Name + ".service"});
    }
    Print(FDefinition.Title + ": service " + FDefinition.Name + " installed (" + unit + ").");
    return 0;
}

int ServiceHost::Uninstall() {
    const std::string unit = UnitFilePath(FDefinition);
    if (access(unit.c_str(), F_OK) != 0)
        throw std::runtime_error("service " + FDefinition.Name + " is not installed (no " + unit +
                                 ")");
    if (BeforeUninstall)
        BeforeUninstall();
    if (ManagedBySystemd())
        RunSystemctl({"disable", FDefinition.Name + ".service"});
    if (std::remove(unit.c_str()) != 0)
        throw std::runtime_error("cannot remove " + unit + ": " + std::strerror(errno));
    if (ManagedBySystemd())
        RunSystemctl({"daemon-reload"});
    if (AfterUninstall)
        AfterUninstall();
    Print(FDefinition.Title + ": service " + FDefinition.Name + " uninstalled.");
    return 0;
}

int ServiceHost::Serve() {
    ControlSource controls(true);
    {
        std::lock_guard lock(FLock);
        FControls = &controls;
        FEnded = false;
    }
    StartServiceThread();
    while (const std::optional<ServiceControl> control = controls.Wait()) {
        {
            std::lock_guard lock(FLock);
            switch (*control) {
            case ServiceControl::Pause:
                FPaused = true;
                break;
            case ServiceControl::Continue:
                FPaused = false;
                break;
            case ServiceControl::Stop:
            case ServiceControl::Shutdown:
                FStopping = true;
                break;
            }
        }
        FChanged.notify_all();
        if (*control == ServiceControl::Stop || *control == ServiceControl::Shutdown)
            ReportStopping();
        if (Controller)
            Controller(*control);
    }
    std::lock_guard lock(FLock);
    FControls = nullptr;
    return FExitCode;
}

void ServiceHost::ServiceThreadEnded(int AExitCode) {
    std::lock_guard lock(FLock);
    FEnded = true;
    FExitCode = AExitCode;
    if (FControls)
        FControls->Wake();
}

void ServiceHost::ReportRunning() {
    NotifyServiceManager("READY=1\nSTATUS=Running");
}

void ServiceHost::ReportStopping() {
    NotifyServiceManager("STOPPING=1\nSTATUS=Stopping");
}

void ServiceHost::ReportStatus(const std::string& AText) {
    NotifyServiceManager("STATUS=" + OneLine(AText));
}

bool ServiceHost::WaitWhilePaused() {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [this] { return !FPaused || FStopping; });
    return !FStopping;
}

void NotifyServiceManager(const std::string& AState) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || *path == '\0')
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@')
        address.sun_path[0] = '\0'; // abstract namespace
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    (void)!sendto(fd, AState.data(), AState.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&address),
                  static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    close(fd);
}

} // namespace platform
