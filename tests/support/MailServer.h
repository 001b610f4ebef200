#pragma once
// Mail servers on 127.0.0.1 for the tests: aiosmtpd ("real": AUTH LOGIN,
// STARTTLS, implicit TLS) or a scripted server that misbehaves on purpose,
// each in its own Python process on a free port, recording every connection.
#include "tests/support/TestSupport.h"

#include <QJsonArray>
#include <QString>
#include <sys/types.h>

namespace testsupport {

struct TMailServerOptions {
    // "real", or a scripted mode: "ehlo-refused", "drop-after-354",
    // "drop-after-dot", "silent" (never greets), "silent-at-quit".
    QString Mode = QStringLiteral("real");
    QString Tls = QStringLiteral("none");   // "none", "starttls", "implicit"
    QString Auth = QStringLiteral("login"); // "login" (LOGIN and PLAIN), "plain-only"
    bool AuthRequired = false;
    QString User;
    QString Password;
    QString RefusePrefix;                        // recipients starting with it are refused with 550
    QString CertStem = QStringLiteral("server"); // or "wrong-name"
};

// The folder of throw-away certificates (ca.pem, other-ca.pem, server.*,
// wrong-name.*), made once per test program.
QString TestCertificatesDir();

class TMailServer {
public:
    explicit TMailServer(const TMailServerOptions& AOptions = {});
    ~TMailServer();
    TMailServer(const TMailServer&) = delete;
    TMailServer& operator=(const TMailServer&) = delete;

    int Port() const { return FPort; }
    // The connections that have ended, each {"commands": [...], "tls": bool,
    // "auth_user": str|null, "mails": [{"from", "rcpts", "data"}]}; waits up
    // to ATimeoutMs until there are at least ACount.
    QJsonArray Sessions(int ACount = 1, int ATimeoutMs = 5000) const;

private:
    TTempDir FDir;
    pid_t FPid = -1;
    int FPort = 0;
};

} // namespace testsupport
