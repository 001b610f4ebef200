#include "tests/support/FtpServer.h"

#include "tests/support/Loopback.h"

#include <algorithm>
#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace testsupport {

TFtpServer::TFtpServer(const QString& AUser, const QString& APassword, const QString& AMode) {
    FProcess = std::make_unique<TScriptProcess>(
        QStringLiteral(BREVOLT_PYTHON),
        QStringList{HostPath(QStringLiteral(BREVOLT_TEST_SUPPORT_DIR "/ftp_server.py")),
                    HostPath(FRoot.Path()), HostPath(FRecord.Path()), AUser, APassword, AMode},
        FRecord.File(QStringLiteral("server.err")));
    FPort = FProcess->WaitForPortFile(FRecord.File(QStringLiteral("port"))).value_or(0);
}

TFtpServer::~TFtpServer() {
    Stop();
}

void TFtpServer::Stop() {
    if (FProcess)
        FProcess->Stop();
}

QString TFtpServer::Address() const {
    return QStringLiteral("127.0.0.1:") + QString::number(FPort);
}

bool TFtpServer::HasStored(const QString& AName) const {
    return QFile::exists(FRoot.File(AName));
}

QByteArray TFtpServer::Stored(const QString& AName) const {
    return HasStored(AName) ? ReadFileBytes(FRoot.File(AName)) : QByteArray();
}

QByteArray TFtpServer::Received(const QString& AName) const {
    const QString path = FRecord.File(AName);
    return QFile::exists(path) ? ReadFileBytes(path) : QByteArray();
}

QStringList TFtpServer::Commands() const {
    const QString path = FRecord.File(QStringLiteral("commands.log"));
    if (!QFile::exists(path))
        return {};
    return QString::fromUtf8(ReadFileBytes(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TFtpServer::ClearCommands() {
    QFile::remove(FRecord.File(QStringLiteral("commands.log")));
}

void TFtpServer::SetMode(const QString& AMode) {
    // Replaced whole, so that the server never reads half a mode.
    QSaveFile file(FRecord.File(QStringLiteral("mode")));
    if (!file.open(QIODevice::WriteOnly) || file.write(AMode.toUtf8()) < 0 || !file.commit())
        ADD_FAILURE() << "the FTP server's mode cannot be written";
}

QStringList TFtpServer::Files() const {
    QStringList names = QDir(FRoot.Path()).entryList(QDir::Files | QDir::Hidden, QDir::NoSort);
    std::sort(names.begin(), names.end());
    return names;
}

int TFtpServer::ClosedPort() {
    return ClosedLoopbackPort();
}

QByteArray WithLfLineEnds(const QByteArray& ABytes) {
    QByteArray result = ABytes;
    result.replace("\r\n", "\n");
    return result;
}

} // namespace testsupport
