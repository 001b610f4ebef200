#include "tests/support/TestLogSink.h"

#include "common/uOVCodePage.h"

namespace testsupport {

TTestLogSink::TTestLogSink(const QString& AModuleName) : TLogOutput(AModuleName, true, {}) {}

int TTestLogSink::WriteMsgs(QByteArrayView AStamp, std::span<const QStringView> AMsgs) {
    QByteArray bytes;
    for (const QStringView msg : AMsgs) {
        bytes += AStamp;
        uOVCodePage::AppendAnsi(bytes, msg);
        bytes += "\r\n";
    }
    std::lock_guard lock(FTextLock);
    FText += uOVCodePage::FromAnsi(bytes);
    return static_cast<int>(AMsgs.size());
}

QString TTestLogSink::Text() const {
    std::lock_guard lock(FTextLock);
    return FText;
}

} // namespace testsupport
