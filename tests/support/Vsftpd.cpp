#include "tests/support/Vsftpd.h"

#include "tests/support/FtpServer.h"
#include "tests/support/MailServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <QDir>
#include <QFile>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {
const QString Program = QStringLiteral("/usr/sbin/vsftpd");

// Whether something accepts connections on the loopback address AListen.
bool Accepts(const QString& AListen, int APort) {
    const bool v6 = AListen.contains(QLatin1Char(':'));
    const int s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return false;
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(quint16(APort));
        len = sizeof(*a);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&addr);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a->sin_port = htons(quint16(APort));
        len = sizeof(*a);
    }
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(s);
    return ok;
}
} // namespace

bool TVsftpd::Installed() {
    return QFile::exists(Program);
}

TVsftpd::TVsftpd(bool ARequireTls, const QString& AListen)
    : FListen(AListen), FRequireTls(ARequireTls) {
    if (!Installed())
        return;
    // A port found free may be taken before the server binds it: try again.
    for (int attempt = 0; attempt < 5 && !FPort; ++attempt)
        if (const int port = TFtpServer::ClosedPort(); port > 0 && Start(port))
            FPort = port;
}

bool TVsftpd::Start(int APort) {
    const bool v6 = FListen.contains(QLatin1Char(':'));
    QStringList lines = {
        QStringLiteral("background=NO"),
        v6 ? QStringLiteral("listen=NO") : QStringLiteral("listen=YES"),
        v6 ? QStringLiteral("listen_ipv6=YES") : QStringLiteral("listen_ipv6=NO"),
        (v6 ? QStringLiteral("listen_address6=") : QStringLiteral("listen_address=")) + FListen,
        QStringLiteral("listen_port=") + QString::number(APort),
        // Without root's chroot and privilege separation the served folder
        // may be the log-in folder and writable, as an upload account's is.
        QStringLiteral("run_as_launching_user=YES"),
        QStringLiteral("anonymous_enable=YES"),
        QStringLiteral("no_anon_password=NO"),
        QStringLiteral("local_enable=NO"),
        QStringLiteral("write_enable=YES"),
        QStringLiteral("anon_upload_enable=YES"),
        QStringLiteral("anon_other_write_enable=YES"),
        QStringLiteral("anon_umask=022"),
        QStringLiteral("anon_root=") + FRoot.Path(),
        QStringLiteral("seccomp_sandbox=NO"),
        QStringLiteral("isolate=NO"),
        QStringLiteral("isolate_network=NO"),
        QStringLiteral("pasv_enable=YES"),
        QStringLiteral("pasv_address=") + FListen,
        QStringLiteral("xferlog_enable=NO"),
        QStringLiteral("dual_log_enable=YES"),
        QStringLiteral("log_ftp_protocol=YES"),
        QStringLiteral("vsftpd_log_file=") + FConfig.File(QStringLiteral("vsftpd.log")),
    };
    if (FRequireTls) {
        const QString certs = TestCertificatesDir();
        lines << QStringLiteral("ssl_enable=YES") << QStringLiteral("allow_anon_ssl=YES")
              << QStringLiteral("force_anon_logins_ssl=YES")
              << QStringLiteral("force_anon_data_ssl=YES")
              // The package's default cipher is one OpenSSL 3 no longer offers.
              << QStringLiteral("ssl_ciphers=HIGH")
              << QStringLiteral("rsa_cert_file=") + certs + QStringLiteral("/server.pem")
              << QStringLiteral("rsa_private_key_file=") + certs + QStringLiteral("/server.key");
    }
    const QString config = FConfig.File(QStringLiteral("vsftpd.conf"));
    WriteFileBytes(config, lines.join(QLatin1Char('\n')).toUtf8() + '\n');
    FProcess.setProgram(Program);
    FProcess.setArguments({config});
    FProcess.setProcessChannelMode(QProcess::MergedChannels);
    FProcess.setStandardOutputFile(FConfig.File(QStringLiteral("vsftpd.out")));
    FProcess.start();
    if (!FProcess.waitForStarted(10000))
        return false;
    const bool up =
        WaitUntil([&] { return FProcess.state() != QProcess::Running || Accepts(FListen, APort); });
    if (up && FProcess.state() == QProcess::Running)
        return true;
    FProcess.kill();
    FProcess.waitForFinished(5000);
    return false;
}

TVsftpd::~TVsftpd() {
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.terminate();
    if (!FProcess.waitForFinished(5000)) {
        FProcess.kill();
        FProcess.waitForFinished(5000);
    }
}

QString TVsftpd::Address() const {
    const bool v6 = FListen.contains(QLatin1Char(':'));
    return (v6 ? QLatin1Char('[') + FListen + QLatin1Char(']') : FListen) + QLatin1Char(':') +
           QString::number(FPort);
}

QByteArray TVsftpd::Stored(const QString& AName) const {
    const QString path = FRoot.File(AName);
    return QFile::exists(path) ? ReadFileBytes(path) : QByteArray();
}

QStringList TVsftpd::Files() const {
    QStringList names = QDir(FRoot.Path()).entryList(QDir::Files | QDir::Hidden, QDir::NoSort);
    std::sort(names.begin(), names.end());
    return names;
}

QString TVsftpd::Log() const {
    QString text;
    for (const char* name : {"vsftpd.out", "vsftpd.log"})
        if (const QString path = FConfig.File(QLatin1String(name)); QFile::exists(path))
            text += QString::fromUtf8(ReadFileBytes(path));
    return text;
}

} // namespace testsupport
