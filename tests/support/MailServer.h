#pragma once
// Mail servers on 127.0.0.1 or ::1 for the tests: aiosmtpd ("real": AUTH,
// STARTTLS, implicit TLS) or a scripted server that misbehaves on purpose,
// each in its own Python process on a free port, recording every connection.
#include "tests/support/Loopback.h"
#include "tests/support/ScriptProcess.h"
#include "tests/support/TestSupport.h"

#include <memory>
#include <QJsonArray>
#include <QString>

namespace testsupport {

struct TMailServerOptions {
    // "real", or a scripted mode: "ehlo-refused", "drop-after-354",
    // "drop-after-dot", "silent" (never greets), "silent-at-quit",
    // "strict-helo" (504 for an EHLO/HELO name without a dot that is no
    // address literal). Scripted servers offer no AUTH.
    QString Mode = QStringLiteral("real");
    QString Tls = QStringLiteral("none"); // "none", "starttls", "implicit"
    // Those the real server offers, of LOGIN, PLAIN, CRAM-MD5 and X-OTHER (a
    // method no client knows).
    QString AuthMechanisms = QStringLiteral("LOGIN PLAIN");
    bool AuthRequired = false;
    QString User;
    QString Password;
    QString RefusePrefix; // recipients starting with it are refused with 550
    // The scripted server's whole refusal line, as bytes; empty: its default.
    QByteArray Refusal;
    QString Bind = QStringLiteral("127.0.0.1");  // or "::1"
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
    // "auth_user": str|null, "mails": [{"from", "rcpts", "data", "to"}]},
    // "to" being [{"name", "address"}] or {"error"} from a strict reader (real
    // server only); waits up to ATimeoutMs until there are at least ACount.
    QJsonArray Sessions(int ACount = 1, int ATimeoutMs = 5000) const;

private:
    TTempDir FDir;
    std::unique_ptr<TScriptProcess> FProcess;
    int FPort = 0;
};

} // namespace testsupport
