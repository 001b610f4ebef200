#include "tests/support/MailServer.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

namespace {

const QString SupportDir = QStringLiteral(BREVOLT_TEST_SUPPORT_DIR);

void Pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

pid_t Spawn(const QStringList& AArgs, const QString& ALogFile) {
    std::vector<std::string> args;
    args.push_back(BREVOLT_PYTHON);
    for (const QString& a : AArgs)
        args.push_back(a.toStdString());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = ALogFile.toStdString();
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, BREVOLT_PYTHON, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " BREVOLT_PYTHON);
    return pid;
}

} // namespace

bool HasIPv6Loopback() {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

bool ResolvesOnlyToIPv6Loopback(const char* AName) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(AName, nullptr, &hints, &list) != 0)
        return false;
    bool only = list != nullptr;
    for (const addrinfo* a = list; a; a = a->ai_next)
        only = only && a->ai_family == AF_INET6 &&
               IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
    freeaddrinfo(list);
    return only;
}

QString TestCertificatesDir() {
    static TTempDir dir;
    static const bool made = [] {
        const pid_t pid = Spawn({SupportDir + QStringLiteral("/make_test_certs.py"), dir.Path()},
                                dir.File(QStringLiteral("make.log")));
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error(
                "making test certificates failed: " +
                ReadFileBytes(dir.File(QStringLiteral("make.log"))).toStdString());
        return true;
    }();
    (void)made;
    return dir.Path();
}

TMailServer::TMailServer(const TMailServerOptions& AOptions) {
    QStringList args = {SupportDir + QStringLiteral("/mail_server.py"),
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
                        FDir.File(QStringLiteral("record.jsonl")),
                        QStringLiteral("--port-file"),
                        FDir.File(QStringLiteral("port"))};
    if (AOptions.AuthRequired)
        args << QStringLiteral("--auth-required");
    if (!AOptions.Refusal.isEmpty())
        args << QStringLiteral("--refusal-hex") << QString::fromLatin1(AOptions.Refusal.toHex());
    if (AOptions.Tls != QStringLiteral("none")) {
        const QString certs = TestCertificatesDir() + QLatin1Char('/') + AOptions.CertStem;
        args << QStringLiteral("--cert") << certs + QStringLiteral(".pem")
             << QStringLiteral("--key") << certs + QStringLiteral(".key");
    }
    const QString log = FDir.File(QStringLiteral("server.log"));
    FPid = Spawn(args, log);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!QFile::exists(FDir.File(QStringLiteral("port")))) {
        int status = 0;
        if (waitpid(FPid, &status, WNOHANG) == FPid || std::chrono::steady_clock::now() > giveUp) {
            FPid = -1;
            throw std::runtime_error("mail server did not start: " +
                                     ReadFileBytes(log).toStdString());
        }
        Pause();
    }
    FPort = ReadFileBytes(FDir.File(QStringLiteral("port"))).trimmed().toInt();
}

TMailServer::~TMailServer() {
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        waitpid(FPid, nullptr, 0);
    }
}

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
