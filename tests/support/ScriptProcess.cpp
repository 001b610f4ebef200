#include "tests/support/ScriptProcess.h"

#include <QFile>
#include <stdexcept>

namespace testsupport {

std::optional<int> TScriptProcess::Wait(int ATimeoutMs) {
    const auto ended = [this] {
        if (!FExitCode)
            FExitCode = Reap();
        return FExitCode.has_value();
    };
    if (!ended() && ATimeoutMs > 0)
        WaitUntil(ended, ATimeoutMs, 10);
    return FExitCode;
}

std::optional<int> TScriptProcess::WaitForPortFile(const QString& APath) {
    WaitUntil([&] { return QFile::exists(APath) || Wait(); }, 15000, 10);
    if (!QFile::exists(APath))
        return std::nullopt;
    return ReadFileBytes(APath).trimmed().toInt();
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
