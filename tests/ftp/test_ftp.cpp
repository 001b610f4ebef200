// The FTP client against a real server on loopback.
#include "common/uOVFtp.h"
#include "tests/support/FtpServer.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <QBuffer>
#include <QElapsedTimer>

using namespace testsupport;

namespace {

class FtpClientTest : public TFtpServerTest {
protected:
    void SetUp() override {
        TFtpServerTest::SetUp();
        Client.Host = Server().Address();
        Client.Username = QStringLiteral("shopone");
        Client.Password = QStringLiteral("secret");
    }

    void Upload(const QByteArray& AContent, const QString& AName) {
        QBuffer source;
        source.setData(AContent);
        source.open(QIODevice::ReadOnly);
        Client.Connect();
        ASSERT_TRUE(Client.Connected());
        Client.Put(source, AName);
        Client.Disconnect();
    }

    TOVFtpClient Client;
};

TEST_F(FtpClientTest, EveryLineGoesOutOnceWithCrLf) {
    struct Case {
        const char* Name;
        QByteArray Content;
    };
    const QByteArray expected("\"a\",\"b\"\r\n\"c\",\"d\"\r\n");
    const Case cases[] = {
        {"crlf.csv", expected},
        {"lf.csv", QByteArray("\"a\",\"b\"\n\"c\",\"d\"\n")},
        {"mixed.csv", QByteArray("\"a\",\"b\"\r\n\"c\",\"d\"\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Upload(c.Content, QString::fromLatin1(c.Name));
        EXPECT_EQ(Server().Received(QString::fromLatin1(c.Name)), expected);
        EXPECT_EQ(WithLfLineEnds(Server().Stored(QString::fromLatin1(c.Name))),
                  WithLfLineEnds(expected));
    }
}

TEST_F(FtpClientTest, LineEndsAtTheEdgesOfTheClientsReadsGoOutOnce) {
    // A bare LF closing the first 64 KiB read, a CR LF split between the
    // second and the third, then lines of every length with both endings.
    QByteArray source = QByteArray(65535, 'a') + "\n" + QByteArray(65535, 'b') + "\r\n";
    QByteArray expected = QByteArray(65535, 'a') + "\r\n" + QByteArray(65535, 'b') + "\r\n";
    for (int i = 0; source.size() < 1024 * 1024; ++i) {
        const QByteArray text(1 + i % 257, char('c' + i % 20));
        source += text + (i % 3 ? "\n" : "\r\n");
        expected += text + "\r\n";
    }
    Upload(source, QStringLiteral("edges.csv"));
    EXPECT_EQ(Server().Received(QStringLiteral("edges.csv")), expected);
}

TEST_F(FtpClientTest, LogsInPassiveAsciiStoreThenQuits) {
    Upload(QByteArrayLiteral("x\r\n"), QStringLiteral("order.csv"));
    const QStringList commands = Server().Commands();
    ASSERT_GE(commands.size(), 4);
    EXPECT_EQ(commands.mid(0, 3),
              (QStringList{QStringLiteral("CONNECT"), QStringLiteral("USER shopone"),
                           QStringLiteral("PASS ******")}));
    EXPECT_EQ(commands.count(QStringLiteral("CONNECT")), 1)
        << commands.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(commands.contains(QStringLiteral("PASV")));
    EXPECT_FALSE(commands.contains(QStringLiteral("EPSV")));
    const qsizetype store = commands.indexOf(QStringLiteral("STOR order.csv"));
    ASSERT_GE(store, 1);
    EXPECT_EQ(commands[store - 1], QStringLiteral("TYPE A"));
    EXPECT_EQ(commands.last(), QStringLiteral("QUIT"));
}

TEST_F(FtpClientTest, ReplacesAFileOfTheSameName) {
    Upload(QByteArrayLiteral("first line, a long one\r\nsecond\r\n"), QStringLiteral("same.csv"));
    Upload(QByteArrayLiteral("short\r\n"), QStringLiteral("same.csv"));
    EXPECT_EQ(WithLfLineEnds(Server().Stored(QStringLiteral("same.csv"))), QByteArray("short\n"));
}

TEST_F(FtpClientTest, UploadsFromTheCurrentPositionAndStreamsLargeFiles) {
    QByteArray big;
    for (int i = 0; i < 60000; ++i)
        big += "\"001005\",\"Line " + QByteArray::number(i) + "\",\"x@example.com\"\r\n";
    QBuffer source;
    source.setData(QByteArray("skipped\r\n") + big);
    source.open(QIODevice::ReadOnly);
    source.seek(9);
    Client.Connect();
    Client.Put(source, QStringLiteral("big.csv"));
    Client.Disconnect();
    EXPECT_EQ(Server().Received(QStringLiteral("big.csv")), big);
}

TEST_F(FtpClientTest, WrongPasswordIsRefusedWithTheServersReply) {
    Client.Password = QStringLiteral("wrong");
    try {
        Client.Connect();
        FAIL() << "log-in accepted";
    } catch (const EOVFtpError& E) {
        EXPECT_TRUE(E.Message().startsWith(QStringLiteral("530 "))) << E.Message().toStdString();
    }
    EXPECT_FALSE(Client.Connected());
    QBuffer source;
    source.open(QIODevice::ReadOnly);
    EXPECT_THROW(Client.Put(source, QStringLiteral("never.csv")), EOVFtpError);
    EXPECT_FALSE(Server().Commands().contains(QStringLiteral("STOR never.csv")));
}

TEST_F(FtpClientTest, SplitsHostAndPort) {
    struct Case {
        const char* Host;
        const char* Name;
        int Port;
    };
    const Case cases[] = {
        {"ftp.example.com", "ftp.example.com", 21},
        {" 127.0.0.1:2121 ", "127.0.0.1", 2121},
        {"host:", "host:", 21},
        {"host:abc", "host:abc", 21},
        {"host:70000", "host:70000", 21},
        {"[::1]:2121", "::1", 2121},
        {" [fe80::1] ", "fe80::1", 21},
        {"::1", "::1", 21},
        {"2001:db8::7", "2001:db8::7", 21},
        {"[::1]:abc", "[::1]:abc", 21},
        {"", "", 21},
    };
    for (const Case& c : cases) {
        QString name;
        int port = 0;
        TOVFtpClient::SplitHost(QString::fromLatin1(c.Host), name, port);
        EXPECT_EQ(name, QString::fromLatin1(c.Name)) << c.Host;
        EXPECT_EQ(port, c.Port) << c.Host;
    }
}

// The client pointed at AServer as its user "shopone".
void PointAt(TOVFtpClient& AClient, const TFtpServer& AServer) {
    AClient.Host = AServer.Address();
    AClient.Username = QStringLiteral("shopone");
    AClient.Password = QStringLiteral("secret");
}

// Uploads AContent as AName on the client's open connection.
void PutBytes(TOVFtpClient& AClient, const QByteArray& AContent, const QString& AName) {
    QBuffer source;
    source.setData(AContent);
    source.open(QIODevice::ReadOnly);
    AClient.Put(source, AName);
}

QString Joined(const QStringList& AList) {
    return AList.join(QLatin1Char('|'));
}

TEST(FtpClientRename, TemporaryUploadRenamedOntoTheBatchNameOnTheSameConnection) {
    TFtpServer server;
    ASSERT_TRUE(server.Running());
    TOVFtpClient client;
    PointAt(client, server);
    client.Connect();
    struct Case {
        const char* Final;
        QByteArray Old; // already on the server under Final when not empty
    };
    const Case cases[] = {
        {"first.csv", {}},
        {"second.csv", QByteArrayLiteral("an older and longer batch\r\n")},
    };
    QStringList expected;
    for (const Case& c : cases) {
        const QString final = QString::fromLatin1(c.Final);
        SCOPED_TRACE(c.Final);
        if (!c.Old.isEmpty())
            PutBytes(client, c.Old, final);
        const QByteArray content = QByteArray("\"") + c.Final + "\",\"x\"\r\n";
        PutBytes(client, content, QStringLiteral("upload.tmp"));
        client.Rename(QStringLiteral("upload.tmp"), final);
        expected.append(final);
        EXPECT_EQ(server.Files(), expected);
        EXPECT_EQ(WithLfLineEnds(server.Stored(final)), WithLfLineEnds(content));
    }
    client.Disconnect();
    const QStringList commands = server.Commands();
    EXPECT_EQ(commands.count(QStringLiteral("CONNECT")), 1) << Joined(commands).toStdString();
    const qsizetype from = commands.indexOf(QStringLiteral("RNFR upload.tmp"));
    ASSERT_GE(from, 0);
    EXPECT_EQ(commands.value(from + 1), QStringLiteral("RNTO first.csv"));
}

TEST(FtpClientRename, RefusedRenameLeavesTheTemporaryFileForDelete) {
    struct Case {
        const char* StartMode;
        const char* SetMode; // switched to after the start, when given
    };
    for (const Case c : {Case{"norename", nullptr}, Case{"normal", "norename"}}) {
        SCOPED_TRACE(c.SetMode ? c.SetMode : c.StartMode);
        TFtpServer server(QStringLiteral("shopone"), QStringLiteral("secret"),
                          QString::fromLatin1(c.StartMode));
        ASSERT_TRUE(server.Running());
        if (c.SetMode)
            server.SetMode(QString::fromLatin1(c.SetMode));
        TOVFtpClient client;
        PointAt(client, server);
        client.Connect();
        PutBytes(client, QByteArrayLiteral("a line\r\n"), QStringLiteral("upload.tmp"));
        try {
            client.Rename(QStringLiteral("upload.tmp"), QStringLiteral("batch.csv"));
            ADD_FAILURE() << "rename accepted";
        } catch (const EOVFtpRefused& E) {
            EXPECT_EQ(E.Message(), QStringLiteral("550 Renaming is not allowed here."));
        }
        EXPECT_EQ(server.Files(), QStringList{QStringLiteral("upload.tmp")});
        client.Delete(QStringLiteral("upload.tmp"));
        EXPECT_EQ(server.Files(), QStringList());
        // Nothing left to delete: the server's refusal again.
        EXPECT_THROW(client.Delete(QStringLiteral("upload.tmp")), EOVFtpRefused);
        client.Disconnect();
        const QStringList commands = server.Commands();
        EXPECT_TRUE(commands.contains(QStringLiteral("RNFR upload.tmp")));
        EXPECT_TRUE(commands.contains(QStringLiteral("DELE upload.tmp")));
    }
}

TEST(FtpClientRename, ModeChangesWhileTheServerRuns) {
    TFtpServer server;
    ASSERT_TRUE(server.Running());
    TOVFtpClient client;
    PointAt(client, server);
    client.Connect();
    struct Step {
        const char* Mode;
        bool Renames;
    };
    for (const Step step : {Step{"norename", false}, Step{"normal", true}}) {
        SCOPED_TRACE(step.Mode);
        server.SetMode(QString::fromLatin1(step.Mode));
        PutBytes(client, QByteArrayLiteral("x\r\n"), QStringLiteral("upload.tmp"));
        if (step.Renames) {
            client.Rename(QStringLiteral("upload.tmp"), QStringLiteral("batch.csv"));
            EXPECT_EQ(server.Files(), QStringList{QStringLiteral("batch.csv")});
        } else {
            EXPECT_THROW(client.Rename(QStringLiteral("upload.tmp"), QStringLiteral("batch.csv")),
                         EOVFtpRefused);
            client.Delete(QStringLiteral("upload.tmp"));
        }
    }
    // A mode read when a connection opens.
    server.SetMode(QStringLiteral("mute"));
    TOVFtpClient second;
    PointAt(second, server);
    second.ConnectTimeout = 500;
    EXPECT_THROW(second.Connect(), EOVFtpError);
    server.SetMode(QStringLiteral("normal"));
    second.Connect();
    EXPECT_TRUE(second.Connected());
}

TEST_F(FtpClientTest, NamesWithLineBreaksOrNulAreRefusedBeforeAnythingIsSent) {
    Upload(QByteArrayLiteral("keep\r\n"), QStringLiteral("keep.csv"));
    const QString bad[] = {QStringLiteral("x.tmp\r\nDELE keep.csv"),
                           QStringLiteral("x.tmp\nDELE keep.csv"),
                           QStringLiteral("x.tmp") + QChar(0) + QStringLiteral("keep.csv")};
    const QString good = QStringLiteral("keep.csv");
    Client.Connect();
    Server().ClearCommands();
    for (const QString& name : bad) {
        SCOPED_TRACE(name.toStdString());
        QBuffer source;
        source.setData(QByteArrayLiteral("y\r\n"));
        source.open(QIODevice::ReadOnly);
        const std::function<void()> operations[] = {
            [&] { Client.Put(source, name); },
            [&] { Client.Rename(name, good); },
            [&] { Client.Rename(good, name); },
            [&] { Client.Delete(name); },
        };
        for (const auto& operation : operations) {
            try {
                operation();
                ADD_FAILURE() << "name accepted";
            } catch (const EOVFtpRefused&) {
                ADD_FAILURE() << "sent to the server";
            } catch (const EOVFtpError& E) {
                EXPECT_TRUE(E.Message().contains(QStringLiteral("line break")))
                    << E.Message().toStdString();
            }
        }
    }
    EXPECT_EQ(Server().Commands(), QStringList());
    EXPECT_FALSE(Client.StorSent());
    Client.Disconnect();
    EXPECT_EQ(WithLfLineEnds(Server().Stored(good)), QByteArray("keep\n"));
}

TEST(FtpClientStorSent, TellsWhetherTheServerMayHoldTheFile) {
    TFtpServer server;
    ASSERT_TRUE(server.Running());
    struct Case {
        const char* Mode;
        const char* Password;
        bool Connects;
        bool PutFails;
        bool StorSent;
    };
    const Case cases[] = {
        {"normal", "secret", true, false, true},
        {"normal", "wrong", false, true, false},
        {"drop", "secret", true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Mode) + " " + c.Password);
        TOVFtpClient client;
        PointAt(client, server);
        // A successful upload first, so that each reset shows.
        server.SetMode(QStringLiteral("normal"));
        client.Connect();
        PutBytes(client, QByteArrayLiteral("x\r\n"), QStringLiteral("before.csv"));
        ASSERT_TRUE(client.StorSent());
        server.SetMode(QString::fromLatin1(c.Mode));
        server.ClearCommands();
        client.Password = QString::fromLatin1(c.Password);
        if (c.Connects) {
            client.Connect();
        } else {
            EXPECT_THROW(client.Connect(), EOVFtpError);
            EXPECT_FALSE(client.StorSent());
        }
        QBuffer source;
        source.setData(QByteArray(1024 * 1024, 'x') + "\r\n");
        source.open(QIODevice::ReadOnly);
        if (c.PutFails)
            EXPECT_THROW(client.Put(source, QStringLiteral("batch.csv")), EOVFtpError);
        else
            client.Put(source, QStringLiteral("batch.csv"));
        EXPECT_EQ(client.StorSent(), c.StorSent);
        EXPECT_EQ(server.Commands().contains(QStringLiteral("STOR batch.csv")), c.StorSent);
        if (c.PutFails && c.StorSent) {
            EXPECT_LT(server.Received(QStringLiteral("batch.csv")).size(), source.size());
        }
    }
}

TEST(FtpClientStorSent, MissingFinalReplyTimesOutWithTheFileStored) {
    TFtpServer server(QStringLiteral("shopone"), QStringLiteral("secret"),
                      QStringLiteral("late226"));
    ASSERT_TRUE(server.Running());
    // The test override of ReadTimeout's default, and values it ignores.
    struct Case {
        const char* Value;
        int ReadTimeout;
    };
    const Case cases[] = {{"abc", 60000}, {"0", 60000}, {"-5", 60000}, {"1000", 1000}};
    for (const Case& c : cases) {
        qputenv("BREVOLT_FTP_READ_TIMEOUT_MS", c.Value);
        EXPECT_EQ(TOVFtpClient().ReadTimeout, c.ReadTimeout) << c.Value;
    }
    TOVFtpClient client;
    qunsetenv("BREVOLT_FTP_READ_TIMEOUT_MS");
    PointAt(client, server);
    client.Connect();
    QByteArray content;
    for (int i = 0; i < 2000; ++i)
        content += "\"line " + QByteArray::number(i) + "\"\r\n";
    QElapsedTimer timer;
    timer.start();
    QBuffer source;
    source.setData(content);
    source.open(QIODevice::ReadOnly);
    EXPECT_THROW(client.Put(source, QStringLiteral("batch.csv")), EOVFtpError);
    // Bounded by ReadTimeout, not by the server's 5 s delay.
    EXPECT_LT(timer.elapsed(), 4000);
    EXPECT_TRUE(client.StorSent());
    EXPECT_EQ(WithLfLineEnds(server.Stored(QStringLiteral("batch.csv"))), WithLfLineEnds(content));
    client.Disconnect();
}

// Servers that fail in the middle, each on its own.
TEST(FtpClientFailures, UnreachableServerFailsAtOnce) {
    TOVFtpClient client;
    client.Host = QStringLiteral("127.0.0.1:") + QString::number(TFtpServer::ClosedPort());
    QElapsedTimer timer;
    timer.start();
    EXPECT_THROW(client.Connect(), EOVFtpError);
    EXPECT_FALSE(client.Connected());
    EXPECT_LT(timer.elapsed(), 5000);
}

TEST(FtpClientFailures, DataConnectionClosedMidUploadFails) {
    TFtpServer server(QStringLiteral("shopone"), QStringLiteral("secret"), QStringLiteral("drop"));
    ASSERT_TRUE(server.Running());
    TOVFtpClient client;
    client.Host = server.Address();
    client.Username = QStringLiteral("shopone");
    client.Password = QStringLiteral("secret");
    QBuffer source;
    source.setData(QByteArray(4 * 1024 * 1024, 'x') + "\r\n");
    source.open(QIODevice::ReadOnly);
    client.Connect();
    EXPECT_THROW(client.Put(source, QStringLiteral("cut.csv")), EOVFtpError);
    client.Disconnect();
    EXPECT_LT(server.Received(QStringLiteral("cut.csv")).size(), source.size());
}

TEST(FtpClientFailures, ServerThatStopsAnsweringTimesOut) {
    struct Case {
        const char* Mode;
        bool FailsAtConnect;
    };
    for (const Case c : {Case{"mute", true}, Case{"stall", false}}) {
        SCOPED_TRACE(c.Mode);
        TFtpServer server(QStringLiteral("shopone"), QStringLiteral("secret"),
                          QString::fromLatin1(c.Mode));
        ASSERT_TRUE(server.Running());
        TOVFtpClient client;
        client.Host = server.Address();
        client.Username = QStringLiteral("shopone");
        client.Password = QStringLiteral("secret");
        client.ConnectTimeout = 1000;
        client.ReadTimeout = 1000;
        QBuffer source;
        source.setData(QByteArrayLiteral("a line\r\n"));
        source.open(QIODevice::ReadOnly);
        QElapsedTimer timer;
        timer.start();
        if (c.FailsAtConnect) {
            EXPECT_THROW(client.Connect(), EOVFtpError);
        } else {
            client.Connect();
            EXPECT_THROW(client.Put(source, QStringLiteral("stalled.csv")), EOVFtpError);
        }
        client.Disconnect();
        EXPECT_LT(timer.elapsed(), 8000);
    }
}

} // namespace

TEST(FtpClientFailures, UploadRefusedOnTheWayLeavesNothingOnTheServer) {
    TFtpServer server(QStringLiteral("shopone"), QStringLiteral("secret"), QStringLiteral("quota"));
    ASSERT_TRUE(server.Running());
    TOVFtpClient client;
    PointAt(client, server);
    QBuffer source;
    source.setData(QByteArray(64 * 1024, 'x') + "\r\n");
    source.open(QIODevice::ReadOnly);
    client.Connect();
    try {
        client.Put(source, QStringLiteral("full.csv"));
        FAIL() << "upload accepted";
    } catch (const EOVFtpRefused& E) {
        // The refusal is what is told, not the clean-up after it.
        EXPECT_EQ(E.Message(), "552 Quota exceeded; upload aborted.");
    }
    EXPECT_TRUE(client.StorSent());
    client.Disconnect();
    EXPECT_EQ(server.Received(QStringLiteral("full.csv")).left(16), QByteArray(16, 'x'));
    EXPECT_TRUE(server.Files().isEmpty()) << Joined(server.Files()).toStdString();
    EXPECT_TRUE(server.Commands().contains(QStringLiteral("DELE full.csv")));
}

TEST(FtpClientFailures, ServerRepliesReadAsUtf8OrWindows1252) {
    for (const char* encoding : {"utf8", "ansi"}) {
        TFtpServer server(QStringLiteral("shopone"), QStringLiteral("secret"),
                          QStringLiteral("refuselogin:") + QLatin1String(encoding));
        ASSERT_TRUE(server.Running());
        TOVFtpClient client;
        PointAt(client, server);
        try {
            client.Connect();
            FAIL() << "log-in accepted";
        } catch (const EOVFtpError& E) {
            EXPECT_EQ(E.Message(), QStringLiteral("530 Anmeldung f\u00fcr \u201eshop.one\u201c "
                                                  "fehlgeschlagen."))
                << encoding;
        }
    }
}
