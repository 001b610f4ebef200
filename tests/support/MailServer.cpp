#include "tests/support/MailServer.h"

#include <chrono>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

const QString SupportDir = QStringLiteral(BREVOLT_TEST_SUPPORT_DIR);

void Pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

} // namespace

QString TestCertificatesDir() {
    static TTempDir dir;
    static const bool made = [] {
        RunPythonScript(SupportDir + QStringLiteral("/make_test_certs.py"), {HostPath(dir.Path())});
        return true;
    }();
    (void)made;
    return dir.Path();
}

TMailServer::TMailServer(const TMailServerOptions& AOptions) {
    QStringList args = {HostPath(SupportDir + QStringLiteral("/mail_server.py")),
                        QStringLiteral("--mode"),
                        AOptions.Mode,
                        QStringLiteral("--tls"),
                        AOptions.Tls,
                        QStringLiteral("--auth-mechanisms"),
                        AOptions.AuthMechanisms,
                        QStringLiteral("--user"),
                        AOptions.User,
                        QStringLiteral("--password"),
                        AOptions.Password,
                        QStringLiteral("--refuse-prefix"),
                        AOptions.RefusePrefix,
                        QStringLiteral("--bind"),
                        AOptions.Bind,
                        QStringLiteral("--record"),
                        HostPath(FDir.File(QStringLiteral("record.jsonl"))),
                        QStringLiteral("--port-file"),
                        HostPath(FDir.File(QStringLiteral("port")))};
    if (AOptions.AuthRequired)
        args << QStringLiteral("--auth-required");
    if (!AOptions.Refusal.isEmpty())
        args << QStringLiteral("--refusal-hex") << QString::fromLatin1(AOptions.Refusal.toHex());
    if (AOptions.Tls != QStringLiteral("none")) {
        const QString certs =
            HostPath(TestCertificatesDir()) + QLatin1Char('/') + AOptions.CertStem;
        args << QStringLiteral("--cert") << certs + QStringLiteral(".pem")
             << QStringLiteral("--key") << certs + QStringLiteral(".key");
    }
    const QString log = FDir.File(QStringLiteral("server.log"));
    FProcess = std::make_unique<TScriptProcess>(QStringLiteral(BREVOLT_PYTHON), args, log);
    const std::optional<int> port = FProcess->WaitForPortFile(FDir.File(QStringLiteral("port")));
    if (!port)
        throw std::runtime_error("mail server did not start: " + ReadFileBytes(log).toStdString());
    FPort = *port;
}

TMailServer::~TMailServer() = default;

QJsonArray TMailServer::Sessions(int ACount, int ATimeoutMs) const {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
    QJsonArray sessions;
    for (;;) {
        sessions = {};
        QFile f(FDir.File(QStringLiteral("record.jsonl")));
        // Only whole lines: the server may be writing the last one.
        const QByteArray text = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        for (const QByteArray& line : text.left(text.lastIndexOf('\n') + 1).split('\n'))
            if (!line.trimmed().isEmpty())
                sessions.append(QJsonDocument::fromJson(line).object());
        if (sessions.size() >= ACount || std::chrono::steady_clock::now() > giveUp)
            return sessions;
        Pause();
    }
}

} // namespace testsupport
