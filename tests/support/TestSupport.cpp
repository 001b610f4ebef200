#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTimeZone>
#include <stdexcept>

namespace testsupport {

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

TTempDir::TTempDir() : FDir(QDir::tempPath() + QStringLiteral("/brevolt-test-XXXXXX")) {
    if (!FDir.isValid())
        throw std::runtime_error("cannot create a temporary folder");
}

} // namespace testsupport
