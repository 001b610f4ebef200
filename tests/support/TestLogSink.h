#pragma once
// A log output that keeps the lines in memory as the daily file would hold
// them (stamp, text through the ANSI code page, CR LF), for tests that look
// only at what was logged.
#include "common/uOVLogThread.h"

#include <mutex>
#include <QString>

namespace testsupport {

class TTestLogSink : public TLogOutput {
public:
    explicit TTestLogSink(const QString& AModuleName);
    int WriteMsgs(QByteArrayView AStamp, std::span<const QStringView> AMsgs) override;
    // Every line written so far.
    QString Text() const;

protected:
    void DoCloseLog() override { FOpen = false; }
    void DoOpenLog() override { FOpen = true; }

private:
    mutable std::mutex FTextLock;
    QString FText;
};

} // namespace testsupport
