// The FTP client against a real server on loopback.
#include "common/uOVFtp.h"
#include "tests/support/FtpServer.h"

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
