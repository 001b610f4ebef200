#pragma once
// Helpers shared by the test areas: temporary folders, file contents, the
// paths of fixtures and built programs, and waiting for a condition.
#include <functional>
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

QString FixturePath(const QString& ARelative);
// Whether the process runs in the time zone AId (IANA name): tests whose
// expected texts hold one zone's offsets skip elsewhere.
bool InTimeZone(const char* AId);
QByteArray ReadFileBytes(const QString& APath);
void WriteFileBytes(const QString& APath, const QByteArray& ABytes);

// Checks ACondition every AStepMs until it holds, for at most ATimeoutMs, the
// thread sleeping in between: for what other threads or processes do.
// Whether it held.
bool WaitUntil(const std::function<bool()>& ACondition, int ATimeoutMs = 5000, int AStepMs = 20);
// The same on the thread of windows and timers: in between it handles the
// thread's events for up to AStepMs, as the program's event loop would, and
// deletes what asked for deleteLater (processEvents alone keeps what was
// marked from outside any event).
bool RunUntil(const std::function<bool()>& ACondition, int ATimeoutMs = 5000, int AStepMs = 20);

// A fresh temporary folder, removed with the object; Path() ends without a
// separator, Dir() with one (like ExeDir).
class TTempDir {
public:
    TTempDir();
    QString Path() const { return FDir.path(); }
    QString Dir() const { return FDir.path() + QLatin1Char('/'); }
    QString File(const QString& AName) const { return FDir.filePath(AName); }

private:
    QTemporaryDir FDir;
};

} // namespace testsupport

#include <ostream>
#include <QByteArray>
// Readable QString and QByteArray values in test failures.
inline void PrintTo(const QString& AText, std::ostream* os) {
    *os << '"' << AText.toStdString() << '"';
}
inline void PrintTo(const QByteArray& ABytes, std::ostream* os) {
    *os << '"' << ABytes.toStdString() << '"';
}
