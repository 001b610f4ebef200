#include "tests/support/TestAppLogger.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVCodePage.h"
#include "common/uOVLogging.h"
#include "tests/support/TestLogSink.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <QDir>

namespace testsupport {

using uBrevoltRPro9ConnectorCommon::AppLogger;

namespace {
std::shared_ptr<TTestLogSink> TheSink; // of the logger in memory
} // namespace

void StartTestAppLogger(const QString& AModuleName, TTestLog ATo) {
    EndTestAppLogger();
    AppLogger = new TOVLogger(AModuleName, true);
    uOVLogging::SetDefaultLogger(AppLogger);
    AppLogger->SetLogLevel(9);
    TheSink = ATo == TTestLog::Memory ? std::make_shared<TTestLogSink>(AModuleName) : nullptr;
    AppLogger->StartLogging(TheSink);
}

void EndTestAppLogger() {
    if (!AppLogger)
        return;
    AppLogger->EndLogging();
    delete AppLogger;
    AppLogger = nullptr;
    uOVLogging::SetDefaultLogger(nullptr);
}

QString TestAppLoggerText() {
    if (!TheSink) {
        EndTestAppLogger();
        return LogFilesText(uOVLogging::LogDir());
    }
    // A line leaves the queue once the sink holds it.
    if (AppLogger) {
        EXPECT_TRUE(WaitUntil([] { return AppLogger->GetQueueSize() == 0; }));
    }
    return TheSink->Text();
}

QString LogFilesText(const QString& AFolder) {
    QString text;
    const QDir dir(AFolder);
    for (const QString& name : dir.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name))
        text += uOVCodePage::FromAnsi(ReadFileBytes(dir.filePath(name)));
    return text;
}

} // namespace testsupport
