#pragma once
// A real FTP server for the tests: /usr/bin/python3 with pyftpdlib on a free
// 127.0.0.1 port, serving a temporary root. It records the raw bytes of each
// upload's data connection and every command it received.
#include "tests/support/ScriptProcess.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <memory>
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testsupport {

class TFtpServer {
public:
    // AMode: "normal"; "drop" (closes an upload's data connection after its
    // first 64 KiB); "stall" (stops reading an upload and never answers
    // again); "mute" (accepts connections but never greets); "late226" or
    // "late226:SECONDS" (stores an upload completely, then sends its final
    // "226" reply SECONDS later, 5 unless given); "norename" (answers RNFR
    // and RNTO "550 Renaming is not allowed here.").
    explicit TFtpServer(const QString& AUser = QStringLiteral("shopone"),
                        const QString& APassword = QStringLiteral("secret"),
                        const QString& AMode = QStringLiteral("normal"));
    ~TFtpServer();
    TFtpServer(const TFtpServer&) = delete;
    TFtpServer& operator=(const TFtpServer&) = delete;

    bool Running() const { return FPort > 0; }
    int Port() const { return FPort; }
    // The value for "ftpserver": "127.0.0.1:<port>".
    QString Address() const;
    // The file as the server stored it (its own line ends), empty when absent.
    QByteArray Stored(const QString& AName) const;
    bool HasStored(const QString& AName) const;
    // The bytes that crossed the data connection for the last upload of AName.
    QByteArray Received(const QString& AName) const;
    // Commands received, in order ("CONNECT" marks a new control connection;
    // passwords masked).
    QStringList Commands() const;
    void ClearCommands();
    // Switches the running server to AMode (as above): it takes effect at the
    // next connection, command or upload start.
    void SetMode(const QString& AMode);
    // The names of the files in the served root, sorted: what a receiver sees.
    QStringList Files() const;
    void Stop();

    // A loopback port with nothing listening on it.
    static int ClosedPort();

private:
    TTempDir FRoot;
    TTempDir FRecord;
    std::unique_ptr<TScriptProcess> FProcess;
    int FPort = 0;
};

// A test suite sharing one normal server (user "shopone", password
// "secret"), started before its first test and stopped after its last;
// every test starts with an empty command record.
class TFtpServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { FServer = new TFtpServer(); }
    static void TearDownTestSuite() {
        delete FServer;
        FServer = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(FServer && FServer->Running());
        FServer->ClearCommands();
    }
    static TFtpServer& Server() { return *FServer; }

private:
    static inline TFtpServer* FServer = nullptr;
};

// Compares texts whose lines may end with CR LF or LF.
QByteArray WithLfLineEnds(const QByteArray& ABytes);

} // namespace testsupport
