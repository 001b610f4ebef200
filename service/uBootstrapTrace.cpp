#include "service/uBootstrapTrace.h"

#include "common/uOVCodePage.h"
#include "platform/LogFolder.h"

#include <QDir>
#include <QFile>

namespace uBootstrapTrace {

namespace {
void WriteLine(const QString& ALine, QIODevice::OpenMode AMode) {
    QFile file(TraceFilePath());
    if (!file.open(QIODevice::WriteOnly | AMode))
        return;
    file.write(uOVCodePage::ToAnsi(ALine) + "\r\n");
    file.close();
}
} // namespace

QString TraceFilePath() {
    const QString path = qEnvironmentVariable("BREVOLT_TRACE_FILE");
    if (!path.isEmpty())
        return path;
    return QDir::fromNativeSeparators(
        QString::fromStdString(platform::MachineLogFolder("OrvaneSoftware")) + "/Brevolt.log");
}

void Rewrite(const QString& ALine) {
    WriteLine(ALine, QIODevice::Truncate);
}

void Append(const QString& ALine) {
    WriteLine(ALine, QIODevice::Append);
}

} // namespace uBootstrapTrace
