#include "tests/support/FtpServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

TFtpServer::TFtpServer(const QString& AUser, const QString& APassword, const QString& AMode) {
    FProcess.setProgram(QStringLiteral(BREVOLT_PYTHON));
    FProcess.setArguments({QStringLiteral(BREVOLT_TEST_SUPPORT_DIR "/ftp_server.py"), FRoot.Path(),
                           FRecord.Path(), AUser, APassword, AMode});
    FProcess.setProcessChannelMode(QProcess::SeparateChannels);
    FProcess.setStandardErrorFile(FRecord.File(QStringLiteral("server.err")));
    FProcess.start();
    if (!FProcess.waitForStarted(10000))
        return;
    QByteArray out;
    while (!out.contains('\n') && FProcess.waitForReadyRead(10000))
        out += FProcess.readAllStandardOutput();
    if (out.startsWith("PORT "))
        FPort = out.mid(5).trimmed().toInt();
}

TFtpServer::~TFtpServer() {
    Stop();
}

void TFtpServer::Stop() {
    if (FProcess.state() == QProcess::NotRunning)
        return;
    // The server ends when its standard input closes.
    FProcess.closeWriteChannel();
    if (!FProcess.waitForFinished(5000)) {
        FProcess.kill();
        FProcess.waitForFinished(5000);
    }
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
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(s);
    return port;
}

QByteArray WithLfLineEnds(const QByteArray& ABytes) {
    QByteArray result = ABytes;
    result.replace("\r\n", "\n");
    return result;
}

} // namespace testsupport
