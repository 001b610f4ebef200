#include "tests/support/ScriptProcess.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace testsupport {

std::optional<int> TScriptProcess::Wait(int ATimeoutMs) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (!FExitCode) {
        FExitCode = Reap();
        if (FExitCode || std::chrono::steady_clock::now() >= giveUp)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return FExitCode;
}

void TScriptProcess::Stop() {
    if (Wait())
        return;
    Signal(false);
    if (!Wait(5000)) {
        Signal(true);
        Wait(5000);
    }
}

void RunPythonScript(const QString& AScript, const QStringList& AArguments) {
    TTempDir dir;
    const QString log = dir.File(QStringLiteral("stderr.log"));
    TScriptProcess process(QStringLiteral(BREVOLT_PYTHON),
                           QStringList{HostPath(AScript)} + AArguments, log);
    const std::optional<int> rc = process.Wait(60000);
    if (rc != 0)
        throw std::runtime_error(AScript.toStdString() + " failed (" +
                                 (rc ? std::to_string(*rc) : std::string("did not end")) +
                                 "): " + ReadFileBytes(log).toStdString());
}

} // namespace testsupport
