#include "tests/support/Vsftpd.h"

#include "tests/support/FtpServer.h"
#include "tests/support/MailServer.h"

#include "tests/support/Loopback.h"

#include <algorithm>
#include <QDir>
#include <QFile>

namespace testsupport {

namespace {
const QString Program = QStringLiteral("/usr/sbin/vsftpd");
} // namespace

bool TVsftpd::Installed() {
    return HostHasProgram(Program);
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
        QStringLiteral("anon_root=") + HostPath(FRoot.Path()),
        QStringLiteral("seccomp_sandbox=NO"),
        QStringLiteral("isolate=NO"),
        QStringLiteral("isolate_network=NO"),
        QStringLiteral("pasv_enable=YES"),
        QStringLiteral("pasv_address=") + FListen,
        QStringLiteral("xferlog_enable=NO"),
        QStringLiteral("dual_log_enable=YES"),
        QStringLiteral("log_ftp_protocol=YES"),
        QStringLiteral("vsftpd_log_file=") + HostPath(FConfig.File(QStringLiteral("vsftpd.log"))),
    };
    if (FRequireTls) {
        const QString certs = HostPath(TestCertificatesDir());
        lines << QStringLiteral("ssl_enable=YES") << QStringLiteral("allow_anon_ssl=YES")
              << QStringLiteral("force_anon_logins_ssl=YES")
              << QStringLiteral("force_anon_data_ssl=YES")
              // The package's default cipher is one OpenSSL 3 no longer offers.
              << QStringLiteral("ssl_ciphers=HIGH")
              << QStringLiteral("rsa_cert_file=") + certs + QStringLiteral("/server.pem")
              << QStringLiteral("rsa_private_key_file=") + certs + QStringLiteral("/server.key");
#ifdef _WIN32
        // Wine's Schannel does not resume the control connection's TLS
        // session on the data connection, which vsftpd asks for by default.
        lines << QStringLiteral("require_ssl_reuse=NO");
#endif
    }
    const QString config = FConfig.File(QStringLiteral("vsftpd.conf"));
    WriteFileBytes(config, lines.join(QLatin1Char('\n')).toUtf8() + '\n');
    FProcess = std::make_unique<TScriptProcess>(Program, QStringList{HostPath(config)},
                                                FConfig.File(QStringLiteral("vsftpd.out")));
    if (WaitUntil([&] { return FProcess->Wait() || AcceptsConnections(FListen, APort); }) &&
        !FProcess->Wait())
        return true;
    FProcess->Stop();
    return false;
}

TVsftpd::~TVsftpd() = default;

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
