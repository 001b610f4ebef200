#pragma once
// A helper program of the tests (a Python server, vsftpd) as a child process
// on the machine that runs the tests, its output in a log file and its
// standard input empty. Under Wine the Windows test starts it as a Linux
// process beside itself: Wine cannot wait for such a process or send it a
// signal, so a small shell wrapper (run_detached.sh) reports its pid and
// exit code in files.
#include "tests/support/TestSupport.h"

#include <optional>
#include <QString>
#include <QStringList>

namespace testsupport {

// APath (of this process's file system) as the helper programs see it: the
// Linux path of a Windows one under Wine, APath itself elsewhere.
QString HostPath(const QString& APath);

// Whether the machine has the program AProgram (a host path).
bool HostHasProgram(const QString& AProgram);

class TScriptProcess {
public:
    // Starts AProgram (a host path) with AArguments; throws when it cannot.
    TScriptProcess(const QString& AProgram, const QStringList& AArguments, const QString& ALogFile);
    ~TScriptProcess();
    TScriptProcess(const TScriptProcess&) = delete;
    TScriptProcess& operator=(const TScriptProcess&) = delete;

    // Its exit code once it has ended, waiting up to ATimeoutMs for that.
    std::optional<int> Wait(int ATimeoutMs = 0);
    // The port a server wrote into APath once it listens; nullopt when it
    // ended or 15 s passed first.
    std::optional<int> WaitForPortFile(const QString& APath);
    // Sends SIGTERM and waits for the end (SIGKILL after 5 s).
    void Stop();

private:
    // Per system: the exit code once the process has ended, and SIGTERM
    // (SIGKILL with AKill).
    std::optional<int> Reap();
    void Signal(bool AKill);

    struct TState;
    TState* FState;
    std::optional<int> FExitCode;
};

// Runs AScript (a Python file of the test support) with /usr/bin/python3
// and waits for its end; throws with its standard error when it fails.
void RunPythonScript(const QString& AScript, const QStringList& AArguments);

} // namespace testsupport
