#pragma once
// Debian's vsftpd, started by the test itself in the foreground on a free
// loopback port with a private configuration: anonymous log-in (any
// password) into a temporary folder that the uploads land in. With
// ARequireTls, the log-in and every data connection must use TLS (explicit
// FTPS, as "force_anon_logins_ssl" servers demand), with the test
// certificate for 127.0.0.1 and ::1 that TestCertificatesDir() signs.
#include "tests/support/ScriptProcess.h"
#include "tests/support/TestSupport.h"

#include <memory>
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testsupport {

class TVsftpd {
public:
    // AListen: "127.0.0.1" or "::1".
    explicit TVsftpd(bool ARequireTls = false,
                     const QString& AListen = QStringLiteral("127.0.0.1"));
    ~TVsftpd();
    TVsftpd(const TVsftpd&) = delete;
    TVsftpd& operator=(const TVsftpd&) = delete;

    static bool Installed();
    bool Running() const { return FPort > 0; }
    int Port() const { return FPort; }
    // The value for "ftpserver": "127.0.0.1:<port>" or "[::1]:<port>".
    QString Address() const;
    // The user it takes (any password).
    static QString User() { return QStringLiteral("anonymous"); }
    QByteArray Stored(const QString& AName) const;
    // The names of the files in the served folder, sorted.
    QStringList Files() const;
    // The server's protocol log, for failure messages.
    QString Log() const;

private:
    bool Start(int APort);

    TTempDir FRoot;
    TTempDir FConfig;
    QString FListen;
    bool FRequireTls;
    std::unique_ptr<TScriptProcess> FProcess;
    int FPort = 0;
};

} // namespace testsupport
