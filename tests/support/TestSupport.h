#pragma once
// Helpers shared by the test areas: temporary folders, file contents and the
// paths of fixtures and built programs.
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

#include <QByteArray>
#include <ostream>
// Readable QString and QByteArray values in test failures.
inline void PrintTo(const QString& AText, std::ostream* os) { *os << '"' << AText.toStdString() << '"'; }
inline void PrintTo(const QByteArray& ABytes, std::ostream* os) {
    *os << '"' << ABytes.toStdString() << '"';
}
