#include "service/uBootstrapTrace.h"

#include "common/uOVCodePage.h"

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
    return path.isEmpty() ? QStringLiteral("/var/log/OrvaneSoftware/Brevolt.log") : path;
}

void Rewrite(const QString& ALine) {
    WriteLine(ALine, QIODevice::Truncate);
}

void Append(const QString& ALine) {
    WriteLine(ALine, QIODevice::Append);
}

} // namespace uBootstrapTrace
