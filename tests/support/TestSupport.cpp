#include "tests/support/TestSupport.h"

#include "platform/Process.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QTimeZone>
#include <stdexcept>

namespace testsupport {

namespace {
// As both programs do first thing: the zone a test runs in is the system's.
const bool FollowsSystemTimeZone = (platform::FollowSystemTimeZone(), true);
} // namespace

QString FixturePath(const QString& ARelative) {
    return QStringLiteral(BREVOLT_FIXTURES_DIR "/") + ARelative;
}

bool InTimeZone(const char* AId) {
    return QTimeZone::systemTimeZoneId() == QByteArray(AId);
}

QByteArray ReadFileBytes(const QString& APath) {
    QFile f(APath);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + APath.toStdString());
    return f.readAll();
}

void WriteFileBytes(const QString& APath, const QByteArray& ABytes) {
    QFile f(APath);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(ABytes) != ABytes.size())
        throw std::runtime_error("cannot write " + APath.toStdString());
}

namespace {

// Checks ACondition until it holds or ATimeoutMs have passed, running
// ABetween after each failed check.
bool PollUntil(const std::function<bool()>& ACondition, int ATimeoutMs,
               const std::function<void()>& ABetween) {
    QElapsedTimer timer;
    timer.start();
    while (!ACondition()) {
        if (timer.elapsed() > ATimeoutMs)
            return false;
        ABetween();
    }
    return true;
}

} // namespace

bool WaitUntil(const std::function<bool()>& ACondition, int ATimeoutMs, int AStepMs) {
    return PollUntil(ACondition, ATimeoutMs, [AStepMs] { QThread::msleep(AStepMs); });
}

bool RunUntil(const std::function<bool()>& ACondition, int ATimeoutMs, int AStepMs) {
    return PollUntil(ACondition, ATimeoutMs, [AStepMs] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, AStepMs);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });
}

TTempDir::TTempDir() : FDir(QDir::tempPath() + QStringLiteral("/brevolt-test-XXXXXX")) {
    if (!FDir.isValid())
        throw std::runtime_error("cannot create a temporary folder");
}

} // namespace testsupport
