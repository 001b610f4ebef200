#pragma once
// The service program as a real child process for a test: a copy of the
// program in a temporary folder, the sample environment's registry naming
// the service directory, a configuration file written in-process, the
// bootstrap trace in a temporary file, and the log read back from the
// service directory.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVCodePage.h"
#include "tests/support/SampleEnvironment.h"
#include "tests/support/TestAppLogger.h"
#include "tests/support/TestSupport.h"

#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

namespace servicetest {

using testsupport::WaitUntil;
// How long a test waits by default for what the child process does, and how
// often it looks.
constexpr int ChildWaitMs = 10000;
constexpr int ChildPollMs = 50;
#ifdef _WIN32
// Started from a prompt, the service first offers itself to the service
// manager, which Wine refuses only after 10 s (Windows at once).
constexpr int ServiceStartMs = 10000;
#else
constexpr int ServiceStartMs = 0;
#endif

// A log line's area column and message, as the logger lays them out.
inline QString Line(const QString& AArea, const QString& AMessage) {
    return QLatin1Char('|') + AArea.leftJustified(50) + QStringLiteral("| ") + AMessage;
}

// Each text of AParts found in AText after the one before it.
inline ::testing::AssertionResult InOrder(const QString& AText, const QStringList& AParts) {
    qsizetype from = 0;
    for (const QString& part : AParts) {
        const qsizetype at = AText.indexOf(part, from);
        if (at < 0)
            return ::testing::AssertionFailure()
                   << "\"" << part.toStdString() << "\" missing (in order) from:\n"
                   << AText.toStdString();
        from = at + part.size();
    }
    return ::testing::AssertionSuccess();
}

class TServiceProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        QDir().mkpath(FBin);
        QDir().mkpath(FDir.File("trace"));
        QDir().mkpath(SvcDir() + "logs");
        // A copy of its own, so that the program folder (where the logger
        // starts before the service directory is known) is temporary too.
        ASSERT_TRUE(QFile::copy(QStringLiteral(BREVOLT_SERVICE_EXE), Exe()));
        FEnvironment = QProcessEnvironment::systemEnvironment();
        FEnvironment.insert("BREVOLT_TRACE_FILE", FTraceFile);
        FEnvironment.insert("BREVOLT_SYSTEMD_DIR", FDir.File("units"));
        FEnvironment.insert("QT_QPA_PLATFORM", "offscreen");
        FEnvironment.remove("NOTIFY_SOCKET");
    }

    void TearDown() override {
        if (FProcess && FProcess->state() != QProcess::NotRunning) {
            FProcess->kill();
            FProcess->waitForFinished(5000);
        }
    }

    QString Exe() const { return FBin + QFileInfo(QStringLiteral(BREVOLT_SERVICE_EXE)).fileName(); }
    QString SvcDir() const { return FSample.Paths().ServiceDirectory; }

    // Writes the configuration file of AFolder: no run for ten minutes and
    // no Oracle pause unless AChange says otherwise.
    void WriteConfig(const std::function<void(TConnectorConfig&)>& AChange = {},
                     const QString& AFolder = QString()) {
        using namespace uBrevoltRPro9ConnectorCommon;
        Config() = TConnectorConfig();
        Config().scanscheduling = 0;
        Config().scaninterval = 600000;
        Config().oracledelay = 0;
        Config().lastquery = uOVUtils::ToDateTime(QDateTime(QDate(2024, 5, 1), QTime(0, 0)));
        uOVLogging::SetDefaultLogLevel(9); // the "loglevel" written, unless AChange sets it
        if (AChange)
            AChange(Config());
        uOVUtils::SetExeDir(AFolder.isEmpty() ? SvcDir() : AFolder);
        SaveConfig();
    }

    QProcess& Start(const QStringList& AArguments = {}) {
        FProcess = std::make_unique<QProcess>();
        FProcess->setProgram(Exe());
        FProcess->setArguments(AArguments);
        FProcess->setProcessEnvironment(FEnvironment);
        FProcess->start();
        EXPECT_TRUE(FProcess->waitForStarted(5000));
        return *FProcess;
    }

#ifndef _WIN32
    void Signal(int ASignal) {
        ::kill(static_cast<pid_t>(FProcess->processId()), ASignal);
    }

    // Sends ASignal; the program must end with code 0 within a few seconds.
    ::testing::AssertionResult StopsPromptly(int ASignal = SIGTERM) {
        Signal(ASignal);
        if (!FProcess->waitForFinished(5000))
            return ::testing::AssertionFailure() << "still running 5 s after the signal";
        if (ExitCode() != 0)
            return ::testing::AssertionFailure() << "exit code " << ExitCode();
        return ::testing::AssertionSuccess();
    }
#endif

    int ExitCode() const {
        return FProcess->exitStatus() == QProcess::NormalExit ? FProcess->exitCode() : -1;
    }

    static QString LogTextOf(const QString& AFolder) {
        return testsupport::LogFilesText(AFolder);
    }
    QString LogText() const {
        return LogTextOf(SvcDir() + "logs");
    }

    bool WaitForLog(const QString& AText, int AMilliseconds = ChildWaitMs,
                    const QString& AFolder = QString()) {
        const QString folder = AFolder.isEmpty() ? SvcDir() + "logs" : AFolder;
        const bool found = WaitUntil([&] { return LogTextOf(folder).contains(AText); },
                                     AMilliseconds, ChildPollMs);
        if (!found)
            ADD_FAILURE() << "log line \"" << AText.toStdString() << "\" did not come:\n"
                          << LogTextOf(folder).toStdString();
        return found;
    }

    QStringList TraceLines() const {
        if (!QFile::exists(FTraceFile))
            return {};
        QString text = uOVCodePage::FromAnsi(testsupport::ReadFileBytes(FTraceFile));
        EXPECT_TRUE(text.isEmpty() || text.endsWith("\r\n"));
        text.chop(2);
        return text.isEmpty() ? QStringList() : text.split("\r\n");
    }

    testsupport::TSampleEnvironment FSample;
    testsupport::TTempDir FDir;
    QString FBin = FDir.Dir() + "bin/";
    QString FTraceFile = FDir.File("trace/Brevolt.log");
    QProcessEnvironment FEnvironment;
    std::unique_ptr<QProcess> FProcess;
};

} // namespace servicetest
