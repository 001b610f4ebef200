// SendMail against real mail servers on 127.0.0.1: aiosmtpd for what a real
// server does, a scripted server for what one will not do on demand.
#include "common/uOVClock.h"
#include "common/uOVNet.h"
#include "platform/HostName.h"
#include "tests/support/MailServer.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <QJsonObject>

using namespace testsupport;
using uOVNet::SendMail;

namespace {

const QString Host = QStringLiteral("127.0.0.1");
const QString User = QStringLiteral("mailuser");
const QString Password = QStringLiteral("s3cret");
const QString From = QStringLiteral("svc@shop.test");

TMailServerOptions RealServer(const QString& ATls = QStringLiteral("none")) {
    TMailServerOptions o;
    o.Tls = ATls;
    o.User = User;
    o.Password = Password;
    o.RefusePrefix = QStringLiteral("refused");
    return o;
}

TMailServerOptions Scripted(const QString& AMode) {
    TMailServerOptions o;
    o.Mode = AMode;
    return o;
}

QStringList Strings(const QJsonValue& AArray) {
    QStringList result;
    for (const QJsonValue& v : AArray.toArray())
        result.append(v.toString());
    return result;
}

QStringList Commands(const QJsonArray& ASessions, const QString& AVerb) {
    QStringList result;
    for (const QJsonValue& s : ASessions)
        for (const QString& c : Strings(s.toObject().value(QStringLiteral("commands"))))
            if (c.startsWith(AVerb))
                result.append(c);
    return result;
}

QJsonObject OnlyMail(const QJsonArray& ASessions) {
    QJsonArray mails;
    for (const QJsonValue& s : ASessions)
        for (const QJsonValue& m : s.toObject().value(QStringLiteral("mails")).toArray())
            mails.append(m);
    EXPECT_EQ(mails.size(), 1);
    return mails.isEmpty() ? QJsonObject() : mails.at(0).toObject();
}

class SendMailTest : public ::testing::Test {
protected:
    void SetUp() override {
        FSaved = uOVNet::SMTPSettings();
        qputenv("SSL_CERT_FILE", (TestCertificatesDir() + QStringLiteral("/ca.pem")).toUtf8());
        qunsetenv("SSL_CERT_DIR");
        SetClock(&FClock);
    }
    void TearDown() override {
        uOVNet::SMTPSettings() = FSaved;
        SetClock(nullptr);
    }
    // A mail with the usual settings; the arguments that tests vary.
    void Send(const TMailServer& AServer, const QString& ARecipients, bool AUseTLS = false,
              const QString& AUser = User, const QString& APassword = Password) {
        SendMail(Host, AServer.Port(), AUseTLS, AUser, APassword, From,
                 QStringLiteral("Brevolt Service"), ARecipients, QStringLiteral("Hello"),
                 {QStringLiteral("Body")});
    }

    uOVNet::TSMTPSettings FSaved;
    // Tuesday, 7 January 2025, 09:30 in New York (the test's time zone).
    TManualClock FClock{QDateTime(QDate(2025, 1, 7), QTime(9, 30, 0))};
};

TEST_F(SendMailTest, DeliversHeadersBodyAndEnvelope) {
    TMailServer server(RealServer());
    SendMail(Host, server.Port(), false, User, Password, From, QStringLiteral("Brevolt Service"),
             QStringLiteral("ops@shop.test, boss@shop.test"),
             QStringLiteral("Brevolt service started"),
             {QStringLiteral("The Brevolt service was started"), QStringLiteral(".dot first"),
              QStringLiteral("last line")});
    const QJsonArray sessions = server.Sessions();
    ASSERT_EQ(sessions.size(), 1);
    const QString helo = QString::fromStdString(platform::LocalHostFullName());
    EXPECT_EQ(Commands(sessions, QStringLiteral("EHLO")), QStringList{"EHLO " + helo});
    EXPECT_EQ(Commands(sessions, QStringLiteral("AUTH")), QStringList{"AUTH LOGIN"});
    EXPECT_EQ(sessions.at(0)[QStringLiteral("auth_user")].toString(), User);

    const QJsonObject mail = OnlyMail(sessions);
    EXPECT_EQ(mail[QStringLiteral("from")].toString(), From);
    EXPECT_EQ(Strings(mail[QStringLiteral("rcpts")]),
              QStringList({"ops@shop.test", "boss@shop.test"}));
    const QString data = mail[QStringLiteral("data")].toString();
    for (const char* header :
         {"Date: Tue, 7 Jan 2025 09:30:00 -0500\r\n",
          "From: \"Brevolt Service\" <svc@shop.test>\r\n", "To: ops@shop.test, boss@shop.test\r\n",
          "Subject: Brevolt service started\r\n", "Content-Type: text/plain; charset=us-ascii\r\n"})
        EXPECT_TRUE(data.contains(QLatin1String(header))) << header << "\n" << data.toStdString();
    EXPECT_TRUE(
        data.endsWith("\r\n\r\nThe Brevolt service was started\r\n.dot first\r\nlast line\r\n"))
        << data.toStdString();
}

TEST_F(SendMailTest, RecipientsSplitAtCommasOnly) {
    struct Case {
        QString Recipients;
        QStringList Expected;
    };
    const Case cases[] = {
        {"a@shop.test, b@shop.test", {"a@shop.test", "b@shop.test"}},
        {" a@shop.test ,b@shop.test ", {"a@shop.test", "b@shop.test"}},
        {"a@shop.test; b@shop.test", {"a@shop.test; b@shop.test"}},
        {"a@shop.test,", {"a@shop.test", ""}},
        {"", {""}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(uOVNet::SplitRecipients(c.Recipients), c.Expected) << c.Recipients.toStdString();

    // On the wire: the semicolon stays inside one address, the trailing comma
    // gives an empty one that the server refuses.
    TMailServer server(RealServer());
    EXPECT_THROW(Send(server, QStringLiteral("a@shop.test;b@shop.test")), ESMTPReplyError);
    EXPECT_EQ(Commands(server.Sessions(1), QStringLiteral("RCPT")),
              QStringList{"RCPT TO:<a@shop.test;b@shop.test>"});
    EXPECT_THROW(Send(server, QStringLiteral("a@shop.test,")), ESMTPReplyError);
    EXPECT_EQ(
        Commands(server.Sessions(2), QStringLiteral("RCPT")),
        QStringList({"RCPT TO:<a@shop.test;b@shop.test>", "RCPT TO:<a@shop.test>", "RCPT TO:<>"}));
}

TEST_F(SendMailTest, TlsModes) {
    struct Case {
        const char* Name;
        QString ServerTls;
        bool UseTLS;
        bool LibraryHasTLS;
        bool ImplicitPort;
        bool ExpectStartTls;
        bool ExpectEncrypted;
    };
    const Case cases[] = {
        {"STARTTLS offered", "starttls", true, true, false, true, true},
        {"TLS not asked for", "starttls", false, true, false, false, false},
        {"implicit TLS", "implicit", true, true, true, false, true},
        {"no TLS library", "starttls", true, false, false, false, false},
        {"no TLS library, implicit port", "none", true, false, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TMailServer server(RealServer(c.ServerTls));
        uOVNet::SMTPSettings().ImplicitTLSPort = c.ImplicitPort ? server.Port() : 465;
        uOVNet::SMTPSettings().TLSAvailable = c.LibraryHasTLS ? nullptr : +[] {
            return false;
        };
        EXPECT_NO_THROW(Send(server, QStringLiteral("ops@shop.test"), c.UseTLS));
        const QJsonArray sessions = server.Sessions();
        EXPECT_EQ(Commands(sessions, QStringLiteral("STARTTLS")).size(), c.ExpectStartTls ? 1 : 0);
        EXPECT_EQ(sessions.at(0)[QStringLiteral("tls")].toBool(), c.ExpectEncrypted);
        EXPECT_EQ(OnlyMail(sessions)[QStringLiteral("rcpts")].toArray().size(), 1);
    }
}

TEST_F(SendMailTest, TlsAskedForButNotOfferedSendsNothing) {
    TMailServer server(RealServer());
    try {
        Send(server, QStringLiteral("ops@shop.test"), true);
        ADD_FAILURE() << "sent without TLS";
    } catch (const ESMTPError& E) {
        EXPECT_TRUE(E.Message().contains(QStringLiteral("offered no TLS")))
            << E.Message().toStdString();
    }
    const QJsonArray sessions = server.Sessions(1);
    ASSERT_EQ(sessions.size(), 1);
    EXPECT_EQ(Commands(sessions, QStringLiteral("EHLO")).size(), 1);
    for (const char* verb : {"AUTH", "MAIL", "RCPT", "DATA"})
        EXPECT_TRUE(Commands(sessions, QString::fromLatin1(verb)).isEmpty()) << verb;
    EXPECT_TRUE(sessions.at(0)[QStringLiteral("auth_user")].isNull());
}

TEST_F(SendMailTest, NameAndAddressFormTakesTheAddressInBrackets) {
    EXPECT_EQ(uOVNet::EnvelopeAddress(QStringLiteral(" Shop Office <svc@shop.test> ")),
              "svc@shop.test");
    struct Case {
        QString From;
        QString Recipients;
        QString EnvelopeFrom;
        QStringList EnvelopeRcpts;
    };
    const Case cases[] = {
        {"Shop Service <svc@shop.test>", "ops@shop.test", "svc@shop.test", {"ops@shop.test"}},
        {From,
         "Ops Desk <ops@shop.test>, boss@shop.test",
         From,
         {"ops@shop.test", "boss@shop.test"}},
        {"\"Service, Shop\" <svc@shop.test>",
         "<ops@shop.test>",
         "svc@shop.test",
         {"ops@shop.test"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.From.toStdString() + " / " + c.Recipients.toStdString());
        TMailServer server(RealServer());
        EXPECT_NO_THROW(SendMail(Host, server.Port(), false, User, Password, c.From,
                                 QStringLiteral("Brevolt Service"), c.Recipients,
                                 QStringLiteral("s"), {QStringLiteral("b")}));
        const QJsonObject mail = OnlyMail(server.Sessions());
        EXPECT_EQ(mail[QStringLiteral("from")].toString(), c.EnvelopeFrom);
        EXPECT_EQ(Strings(mail[QStringLiteral("rcpts")]), c.EnvelopeRcpts);
        EXPECT_TRUE(mail[QStringLiteral("data")].toString().contains("From: \"Brevolt Service\" <" +
                                                                     c.EnvelopeFrom + ">\r\n"));
    }
}

TEST_F(SendMailTest, CertificateThatDoesNotVerifyIsAnError) {
    struct Case {
        const char* Name;
        QString TrustFile;
        QString CertStem;
    };
    const Case cases[] = {
        {"unknown authority", "other-ca.pem", "server"},
        {"wrong host name", "ca.pem", "wrong-name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        qputenv("SSL_CERT_FILE", (TestCertificatesDir() + '/' + c.TrustFile).toUtf8());
        TMailServerOptions options = RealServer(QStringLiteral("starttls"));
        options.CertStem = c.CertStem;
        TMailServer server(options);
        try {
            Send(server, QStringLiteral("ops@shop.test"), true);
            ADD_FAILURE() << "sent despite the certificate";
        } catch (const ESMTPError& E) {
            EXPECT_TRUE(E.Message().contains(QStringLiteral("certificate could not be verified")))
                << E.Message().toStdString();
        }
        EXPECT_TRUE(Commands(server.Sessions(1), QStringLiteral("MAIL")).isEmpty());
    }
}

TEST_F(SendMailTest, AuthenticatesOnlyWithUserNameAndLoginMechanism) {
    {
        SCOPED_TRACE("no user name");
        TMailServer server(RealServer());
        Send(server, QStringLiteral("ops@shop.test"), false, QString(), QString());
        const QJsonArray sessions = server.Sessions();
        EXPECT_TRUE(Commands(sessions, QStringLiteral("AUTH")).isEmpty());
        EXPECT_TRUE(sessions.at(0)[QStringLiteral("auth_user")].isNull());
        OnlyMail(sessions);
    }
    TMailServerOptions plainOnly = RealServer();
    plainOnly.Auth = QStringLiteral("plain-only");
    {
        SCOPED_TRACE("AUTH without LOGIN: sent without authentication");
        TMailServer server(plainOnly);
        Send(server, QStringLiteral("ops@shop.test"));
        const QJsonArray sessions = server.Sessions(2);
        EXPECT_TRUE(Commands(sessions, QStringLiteral("AUTH")).isEmpty());
        OnlyMail(sessions);
    }
    {
        SCOPED_TRACE("AUTH without LOGIN, server requires it: its refusal reaches the caller");
        plainOnly.AuthRequired = true;
        TMailServer server(plainOnly);
        try {
            Send(server, QStringLiteral("ops@shop.test"));
            ADD_FAILURE() << "no error";
        } catch (const ESMTPReplyError& E) {
            EXPECT_EQ(E.ReplyCode(), 530);
        }
        EXPECT_TRUE(Commands(server.Sessions(2), QStringLiteral("AUTH")).isEmpty());
    }
}

TEST_F(SendMailTest, ServerRefusalsReachTheCallerWithCodeAndText) {
    struct Case {
        const char* Name;
        QString Password;
        QString Recipients;
        int Code;
        QString Message;
    };
    const Case cases[] = {
        {"login refused", "wrong", "ops@shop.test", 535,
         "535 5.7.8 Authentication credentials invalid"},
        {"recipient refused", Password, "ops@shop.test, refused@shop.test", 550,
         "550 5.1.1 <refused@shop.test>: Recipient address rejected"},
        {"message refused after its data", Password, "data-refused@shop.test", 554,
         "554 5.6.0 Message refused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TMailServer server(RealServer());
        try {
            Send(server, c.Recipients, false, User, c.Password);
            ADD_FAILURE() << "no error";
        } catch (const ESMTPReplyError& E) {
            EXPECT_EQ(E.ReplyCode(), c.Code);
            EXPECT_EQ(E.Message(), c.Message);
            EXPECT_EQ(E.ClassName(), "ESMTPReplyError");
        }
        EXPECT_TRUE(server.Sessions(1).at(0)[QStringLiteral("mails")].toArray().isEmpty());
    }
}

TEST_F(SendMailTest, FallsBackToHeloWithTheSameName) {
    TMailServer server(Scripted(QStringLiteral("ehlo-refused")));
    Send(server, QStringLiteral("ops@shop.test"), false, QString(), QString());
    const QJsonArray sessions = server.Sessions();
    const QString name = QString::fromStdString(platform::LocalHostFullName());
    EXPECT_EQ(Commands(sessions, QStringLiteral("EHLO")), QStringList{"EHLO " + name});
    EXPECT_EQ(Commands(sessions, QStringLiteral("HELO")), QStringList{"HELO " + name});
    OnlyMail(sessions);
}

TEST_F(SendMailTest, NoHeloFallbackWhenTlsIsAskedFor) {
    TMailServer server(Scripted(QStringLiteral("ehlo-refused")));
    try {
        Send(server, QStringLiteral("ops@shop.test"), true, User, Password);
        ADD_FAILURE() << "sent without TLS";
    } catch (const ESMTPError& E) {
        EXPECT_TRUE(E.Message().contains(QStringLiteral("offered no TLS")))
            << E.Message().toStdString();
    }
    const QJsonArray sessions = server.Sessions();
    for (const char* verb : {"HELO", "AUTH", "MAIL", "DATA"})
        EXPECT_TRUE(Commands(sessions, QString::fromLatin1(verb)).isEmpty()) << verb;
}

TEST_F(SendMailTest, ConnectionLostDuringTransferRaises) {
    for (const char* mode : {"drop-after-354", "drop-after-dot"}) {
        SCOPED_TRACE(mode);
        TMailServer server(Scripted(QString::fromLatin1(mode)));
        try {
            Send(server, QStringLiteral("ops@shop.test"), false, QString(), QString());
            ADD_FAILURE() << "reported as sent";
        } catch (const ESMTPReplyError& E) {
            ADD_FAILURE() << "not a server reply: " << E.Message().toStdString();
        } catch (const ESMTPError& E) {
            EXPECT_TRUE(E.Message().contains(QStringLiteral("while the message was transferred")))
                << E.Message().toStdString();
        }
    }
}

TEST_F(SendMailTest, SilentServerIsGivenUpInTime) {
    struct Case {
        const char* Mode;
        int ReplyTimeoutMs;
        int TotalTimeoutMs;
        bool Delivered; // the mail was accepted before the server fell silent
    };
    const Case cases[] = {
        {"silent", 1000, 30000, false},        // the reply limit
        {"silent", 30000, 2000, false},        // the limit of the whole call
        {"silent-at-quit", 30000, 2000, true}, // ... which bounds the closing QUIT too
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Mode) + " " + std::to_string(c.TotalTimeoutMs));
        uOVNet::SMTPSettings().ReplyTimeoutMs = c.ReplyTimeoutMs;
        uOVNet::SMTPSettings().TotalTimeoutMs = c.TotalTimeoutMs;
        TMailServer server(Scripted(QString::fromLatin1(c.Mode)));
        const auto start = std::chrono::steady_clock::now();
        try {
            Send(server, QStringLiteral("ops@shop.test"), false, QString(), QString());
            EXPECT_TRUE(c.Delivered) << "no error";
        } catch (const ESMTPError& E) {
            EXPECT_FALSE(c.Delivered) << E.Message().toStdString();
            EXPECT_TRUE(E.Message().contains(QStringLiteral("did not answer in time")))
                << E.Message().toStdString();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
    }
}

TEST_F(SendMailTest, RefusedBeforeAnyConnection) {
    TMailServer server(RealServer());
    for (int port : {70000, 65536, -1})
        EXPECT_THROW(SendMail(Host, port, false, User, Password, From, QString(),
                              QStringLiteral("ops@shop.test"), QStringLiteral("s"), {}),
                     ERangeError)
            << port;
    // Addresses that would write SMTP commands of their own.
    struct Case {
        QString From;
        QString Recipients;
    };
    const Case cases[] = {
        {From, "ops@shop.test>\r\nRCPT TO:<evil@shop.test"},
        {From, "ops@shop.test\nDATA"},
        {"svc@shop.test>\r\nRSET", "ops@shop.test"},
        {From, "Ops <ops@shop.test>\r\nRCPT TO:<evil@shop.test>"},
        {From, "Ops <ops@shop.test> <evil@shop.test>"},
        {From, "Ops <ops@shop.test"},
        {From, "ops@shop.test>"},
        {From, "Ops\r\n <ops@shop.test>"},
        {"Svc <svc@shop.test>\r\nRSET", "ops@shop.test"},
        {"Svc <<svc@shop.test>>", "ops@shop.test"},
    };
    for (const Case& c : cases)
        EXPECT_THROW(SendMail(Host, server.Port(), false, User, Password, c.From, QString(),
                              c.Recipients, QStringLiteral("s"), {}),
                     ESMTPError)
            << c.Recipients.toStdString();
    // Server names that would change the address the mail goes to.
    for (const char* host : {"mail server", "user@127.0.0.1", "127.0.0.1/x", "mail\r\n.shop.test"})
        EXPECT_THROW(SendMail(QString::fromLatin1(host), server.Port(), false, User, Password, From,
                              QString(), QStringLiteral("ops@shop.test"), QStringLiteral("s"), {}),
                     ESMTPError)
            << host;
    // Nothing sent, no error: an empty host.
    EXPECT_NO_THROW(SendMail(QString(), server.Port(), false, User, Password, From, QString(),
                             QStringLiteral("ops@shop.test"), QStringLiteral("s"), {}));
    EXPECT_TRUE(server.Sessions(1, 300).isEmpty());
}

TEST_F(SendMailTest, HeaderAndBodyTextStayWellFormed) {
    TMailServer server(RealServer());
    SendMail(Host, server.Port(), false, User, Password, From, QString(),
             QStringLiteral("ops@shop.test"), QStringLiteral("Café\r\nBcc: evil@shop.test"),
             {QStringLiteral("Grüße"), QStringLiteral("two\nlines")});
    const QString data = OnlyMail(server.Sessions())[QStringLiteral("data")].toString();
    EXPECT_TRUE(data.contains(QLatin1String("\r\nFrom: svc@shop.test\r\n"))) << data.toStdString();
    EXPECT_FALSE(data.contains(QLatin1String("\r\nBcc:"))) << data.toStdString();
    EXPECT_TRUE(data.contains(QLatin1String("Subject: =?UTF-8?B?"))) << data.toStdString();
    EXPECT_TRUE(data.contains(QLatin1String("Content-Transfer-Encoding: quoted-printable\r\n")));
    EXPECT_TRUE(data.endsWith(QLatin1String("\r\n\r\nGr=C3=BC=C3=9Fe\r\ntwo\r\nlines\r\n")))
        << data.toStdString();
}

} // namespace
