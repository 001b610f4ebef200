#include "tests/support/TestAppLogger.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVCodePage.h"
#include "common/uOVLogging.h"
#include "tests/support/TestSupport.h"

#include <QDir>

namespace testsupport {

using uBrevoltRPro9ConnectorCommon::AppLogger;

void StartTestAppLogger(const QString& AModuleName) {
    AppLogger = new TOVLogger(AModuleName, true);
    uOVLogging::DefaultLogger = AppLogger;
    AppLogger->SetLogLevel(9);
    AppLogger->StartLogging();
}

void EndTestAppLogger() {
    if (!AppLogger)
        return;
    AppLogger->EndLogging();
    delete AppLogger;
    AppLogger = nullptr;
    uOVLogging::DefaultLogger = nullptr;
}

QString TestAppLoggerText() {
    EndTestAppLogger();
    return LogFilesText(uOVLogging::LogDir());
}

QString LogFilesText(const QString& AFolder) {
    QString text;
    const QDir dir(AFolder);
    for (const QString& name : dir.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name))
        text += uOVCodePage::FromAnsi(ReadFileBytes(dir.filePath(name)));
    return text;
}

} // namespace testsupport
