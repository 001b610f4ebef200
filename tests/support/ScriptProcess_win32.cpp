#include "tests/support/ScriptProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <stdexcept>
#include <windows.h>

namespace testsupport {

namespace {

// Wine's own export: the Linux name of a Windows path.
using TUnixFileName = char* (*)(const wchar_t*);

TUnixFileName UnixFileName() {
    static const auto function = reinterpret_cast<TUnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!function)
        throw std::runtime_error("the test helpers run as Linux programs beside the test, "
                                 "which needs Wine");
    return function;
}

// A helper program started through Wine as a Linux process; it cannot be
// waited for, hence the wrapper's files.
bool StartOnHost(const QString& AProgram, const QStringList& AArguments) {
    return QProcess::startDetached(QStringLiteral("Z:") + AProgram, AArguments);
}

std::optional<QByteArray> ReadWhole(const QString& APath) {
    QFile file(APath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

} // namespace

QString HostPath(const QString& APath) {
    const std::wstring native =
        QDir::toNativeSeparators(QFileInfo(APath).absoluteFilePath()).toStdWString();
    char* unixName = UnixFileName()(native.c_str());
    if (!unixName)
        throw std::runtime_error("no Linux name for " + APath.toStdString());
    const QString result = QString::fromUtf8(unixName);
    HeapFree(GetProcessHeap(), 0, unixName);
    return result;
}

bool HostHasProgram(const QString& AProgram) {
    return QFileInfo::exists(QStringLiteral("Z:") + AProgram);
}

struct TScriptProcess::TState {
    TTempDir Control;
    QString Pid;
};

TScriptProcess::TScriptProcess(const QString& AProgram, const QStringList& AArguments,
                               const QString& ALogFile)
    : FState(new TState) {
    try {
        if (!StartOnHost(
                QStringLiteral("/bin/sh"),
                QStringList{HostPath(QStringLiteral(BREVOLT_TEST_SUPPORT_DIR "/run_detached.sh")),
                            HostPath(FState->Control.Path()), HostPath(ALogFile), AProgram} +
                    AArguments))
            throw std::runtime_error("cannot start /bin/sh through Wine");
        const QString pidFile = FState->Control.File(QStringLiteral("pid"));
        if (!WaitUntil([&] { return QFile::exists(pidFile); }, 15000, 10))
            throw std::runtime_error("the wrapper of " + AProgram.toStdString() + " did not start");
        FState->Pid = QString::fromLatin1(ReadFileBytes(pidFile).trimmed());
    } catch (...) {
        delete FState;
        throw;
    }
}

TScriptProcess::~TScriptProcess() {
    Stop();
    delete FState;
}

std::optional<int> TScriptProcess::Reap() {
    if (const auto rc = ReadWhole(FState->Control.File(QStringLiteral("rc"))))
        return rc->trimmed().toInt();
    return std::nullopt;
}

void TScriptProcess::Signal(bool AKill) {
    StartOnHost(QStringLiteral("/bin/kill"),
                {AKill ? QStringLiteral("-KILL") : QStringLiteral("-TERM"), FState->Pid});
}

} // namespace testsupport
