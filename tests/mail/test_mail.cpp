// SendMail against real mail servers on 127.0.0.1: aiosmtpd for what a real
// server does, a scripted server for what one will not do on demand.
#include "common/uOVClock.h"
#include "common/uOVNet.h"
#include "platform/HostName.h"
#include "tests/support/MailServer.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <QJsonDocument>
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

// The name SendMail greets with from this machine: its own when fully
// qualified, otherwise ALiteral, the literal of its address.
QString EhloFrom(const QString& ALiteral) {
    const QString name = QString::fromStdString(platform::LocalHostFullName());
    return name.contains('.') && !name.startsWith("localhost") ? name : ALiteral;
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
    EXPECT_EQ(Commands(sessions, QStringLiteral("EHLO")),
              QStringList{"EHLO " + EhloFrom("[127.0.0.1]")});
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

TEST(AddressList, EntriesNamesAndInvalidOnes) {
    using uOVNet::TMailAddress;
    struct Case {
        QString Text;
        QList<TMailAddress> Addresses;
        QStringList Invalid;
    };
    const Case cases[] = {
        {"a@shop.test, b@shop.test", {{"", "a@shop.test"}, {"", "b@shop.test"}}, {}},
        {" a@shop.test ;b@shop.test; ,", {{"", "a@shop.test"}, {"", "b@shop.test"}}, {}},
        {"\"Smith, Jr.\" <sales@shop.example>", {{"Smith, Jr.", "sales@shop.example"}}, {}},
        {"Zoë  Müller <zoe@shop.example>", {{"Zoë Müller", "zoe@shop.example"}}, {}},
        {"\"a \\\"b\\\" c\" <x@shop.test>, <y@shop.test>, z@shop.test (night desk)",
         {{"a \"b\" c", "x@shop.test"}, {"", "y@shop.test"}, {"", "z@shop.test"}},
         {}},
        {"ops@shop.test, Ops Desk, @shop.test, a@, a@b@c, a b@shop.test, x@shop.test",
         {{"", "ops@shop.test"}, {"", "x@shop.test"}},
         {"Ops Desk", "@shop.test", "a@", "a@b@c", "a b@shop.test"}},
        {"Ops <ops@shop.test> <evil@shop.test>; Ops <ops@shop.test; \"q\"@shop.test; <<a@b.c>>",
         {},
         {"Ops <ops@shop.test> <evil@shop.test>", "Ops <ops@shop.test", "\"q\"@shop.test",
          "<<a@b.c>>"}},
        {"ops@shop.test>\r\nRCPT TO:<evil@shop.test",
         {},
         {"ops@shop.test>\r\nRCPT TO:<evil@shop.test"}},
        {"Ops\r\n <ops@shop.test>, \"open, b@shop.test",
         {},
         {"Ops\r\n <ops@shop.test>", "\"open, b@shop.test"}},
        {"", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text.toStdString());
        const uOVNet::TAddressList list = uOVNet::ParseAddressList(c.Text);
        ASSERT_EQ(list.Addresses.size(), c.Addresses.size());
        for (qsizetype i = 0; i < list.Addresses.size(); ++i) {
            EXPECT_EQ(list.Addresses.at(i).Name, c.Addresses.at(i).Name);
            EXPECT_EQ(list.Addresses.at(i).Address, c.Addresses.at(i).Address);
        }
        EXPECT_EQ(list.Invalid, c.Invalid);
    }
}

// What a strict reader finds in the To header, and the envelope beside it;
// entries that are not an address are skipped and reported.
TEST_F(SendMailTest, AddressListReachesTheEnvelopeAndAStrictReader) {
    TMailServer server(RealServer());
    const uOVNet::TMailResult result = SendMail(
        Host, server.Port(), false, User, Password, From, QString(),
        QStringLiteral("\"Smith, Jr.\" <sales@shop.example>; Zoë Müller <zoe@shop.example>, "
                       "ops@shop.test, Ops Desk,, "
                       "Very Long Display Name Of A Shared Mailbox <shared@shop.example>"),
        QStringLiteral("s"), {QStringLiteral("b")});
    EXPECT_EQ(result.Invalid, QStringList{"Ops Desk"});
    EXPECT_TRUE(result.Refused.isEmpty());
    const QJsonObject mail = OnlyMail(server.Sessions());
    EXPECT_EQ(Strings(mail[QStringLiteral("rcpts")]),
              QStringList({"sales@shop.example", "zoe@shop.example", "ops@shop.test",
                           "shared@shop.example"}));
    const QJsonArray expected = {
        QJsonObject{{"name", "Smith, Jr."}, {"address", "sales@shop.example"}},
        QJsonObject{{"name", "Zoë Müller"}, {"address", "zoe@shop.example"}},
        QJsonObject{{"name", ""}, {"address", "ops@shop.test"}},
        QJsonObject{{"name", "Very Long Display Name Of A Shared Mailbox"},
                    {"address", "shared@shop.example"}},
    };
    EXPECT_EQ(mail[QStringLiteral("to")], expected)
        << QJsonDocument(mail[QStringLiteral("to")].toArray()).toJson().toStdString()
        << mail[QStringLiteral("data")].toString().toStdString();
    // The non-ASCII name travels as an encoded word.
    EXPECT_TRUE(mail[QStringLiteral("data")].toString().contains("=?UTF-8?B?"));
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

// LOGIN when offered, else CRAM-MD5, else PLAIN; without any of them, or
// without a user name, no log-in. AUTH never before STARTTLS.
TEST_F(SendMailTest, LogInMethodFollowsWhatTheServerOffers) {
    struct Case {
        const char* Name;
        QString Mode;
        QString Offered;
        QString Tls;
        QString User;
        QString Auth;    // the AUTH command sent, without its data; empty: none
        int Connections; // a second after LOGIN was not offered
    };
    const Case cases[] = {
        {"LOGIN and PLAIN", "real", "LOGIN PLAIN", "none", User, "AUTH LOGIN", 1},
        {"all three", "real", "LOGIN PLAIN CRAM-MD5", "none", User, "AUTH LOGIN", 1},
        {"PLAIN only", "real", "PLAIN", "none", User, "AUTH PLAIN", 2},
        {"PLAIN and CRAM-MD5", "real", "PLAIN CRAM-MD5", "none", User, "AUTH CRAM-MD5", 2},
        {"PLAIN only, STARTTLS", "real", "PLAIN", "starttls", User, "AUTH PLAIN", 2},
        {"no known method", "real", "X-OTHER", "none", User, "", 2},
        {"no AUTH at all", "plain", "", "none", User, "", 1},
        {"no user name", "real", "LOGIN PLAIN", "none", QString(), "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TMailServerOptions options = RealServer(c.Tls);
        options.Mode = c.Mode;
        options.AuthMechanisms = c.Offered;
        TMailServer server(options);
        EXPECT_NO_THROW(Send(server, QStringLiteral("ops@shop.test"), c.Tls != "none", c.User));
        const QJsonArray sessions = server.Sessions(c.Connections);
        ASSERT_EQ(sessions.size(), c.Connections);
        OnlyMail(sessions);
        // Sessions are recorded when they end: the last one is the mail's.
        const QJsonObject last = sessions.at(sessions.size() - 1).toObject();
        const QStringList commands = Strings(last[QStringLiteral("commands")]);
        QStringList auth;
        for (const QString& command : Commands(sessions, QStringLiteral("AUTH")))
            auth << command.section(' ', 0, 1);
        EXPECT_EQ(auth, c.Auth.isEmpty() ? QStringList() : QStringList{c.Auth});
        EXPECT_EQ(last[QStringLiteral("auth_user")].toString(), c.Auth.isEmpty() ? "" : User);
        if (c.Tls == "starttls") {
            EXPECT_TRUE(last[QStringLiteral("tls")].toBool());
            EXPECT_LT(commands.indexOf(QStringLiteral("STARTTLS")),
                      commands.indexOf(QRegularExpression(QStringLiteral("AUTH .*"))))
                << commands.join('|').toStdString();
        }
    }
}

// One refused recipient costs the others nothing: the caller learns who was
// refused, with the server's reply.
TEST_F(SendMailTest, RefusedRecipientsAreReportedAndTheOthersGetTheMail) {
    TMailServer server(RealServer());
    const uOVNet::TMailResult result =
        SendMail(Host, server.Port(), false, User, Password, From, QString(),
                 QStringLiteral("a@shop.test, refused-x@shop.test, b@shop.test"),
                 QStringLiteral("s"), {QStringLiteral("b")});
    EXPECT_EQ(result.Refused,
              QStringList{"refused-x@shop.test: 550 5.1.1 <refused-x@shop.test>: Recipient "
                          "address rejected"});
    EXPECT_TRUE(result.Invalid.isEmpty());
    EXPECT_EQ(Strings(OnlyMail(server.Sessions())[QStringLiteral("rcpts")]),
              QStringList({"a@shop.test", "b@shop.test"}));
}

// Reply texts arrive as UTF-8 when they are, else as Windows-1252.
TEST_F(SendMailTest, ReplyTextInUtf8OrWindows1252ReachesTheCaller) {
    const QString expected = QString::fromUtf8("550 Empfänger „x“ unbekannt");
    for (const QByteArray& refusal :
         {expected.toUtf8(), QByteArray("550 Empf\xE4nger \x84x\x93 unbekannt")}) {
        SCOPED_TRACE(refusal.toHex().toStdString());
        TMailServerOptions options = Scripted(QStringLiteral("plain"));
        options.RefusePrefix = QStringLiteral("x@");
        options.Refusal = refusal;
        TMailServer server(options);
        try {
            Send(server, QStringLiteral("x@shop.test"), false, QString(), QString());
            ADD_FAILURE() << "no error";
        } catch (const ESMTPReplyError& E) {
            EXPECT_EQ(E.ReplyCode(), 550);
            EXPECT_EQ(E.Message(), expected);
        }
    }
}

// The server's refusal, with its code and text; a log-in the server requires
// without offering a known method says so.
TEST_F(SendMailTest, ServerRefusalsReachTheCallerWithCodeAndText) {
    struct Case {
        const char* Name;
        QString Offered;
        bool AuthRequired;
        QString Password;
        QString Recipients;
        int Code; // 0: not a reply error
        QString Message;
    };
    const QString invalid = QStringLiteral("535 5.7.8 Authentication credentials invalid");
    const Case cases[] = {
        {"LOGIN refused", "LOGIN PLAIN", false, "wrong", "ops@shop.test", 535, invalid},
        {"PLAIN refused", "PLAIN", false, "wrong", "ops@shop.test", 535, invalid},
        {"CRAM-MD5 refused", "CRAM-MD5 PLAIN", false, "wrong", "ops@shop.test", 535, invalid},
        {"log-in required, no known method", "X-OTHER", true, Password, "ops@shop.test", 0,
         "The mail server requires a log-in but offers none of the methods LOGIN, PLAIN, "
         "CRAM-MD5 (it offers X-OTHER): 530 5.7.0 Authentication required"},
        {"every recipient refused", "LOGIN PLAIN", false, Password,
         "refused@shop.test, refused2@shop.test", 550,
         "550 5.1.1 <refused2@shop.test>: Recipient address rejected"},
        {"message refused after its data", "LOGIN PLAIN", false, Password, "data-refused@shop.test",
         554, "554 5.6.0 Message refused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TMailServerOptions options = RealServer();
        options.AuthMechanisms = c.Offered;
        options.AuthRequired = c.AuthRequired;
        TMailServer server(options);
        try {
            Send(server, c.Recipients, false, User, c.Password);
            ADD_FAILURE() << "no error";
        } catch (const ESMTPError& E) {
            const auto* reply = dynamic_cast<const ESMTPReplyError*>(&E);
            EXPECT_EQ(reply ? reply->ReplyCode() : 0, c.Code);
            EXPECT_EQ(E.Message(), c.Message);
            EXPECT_EQ(E.ClassName(), c.Code ? "ESMTPReplyError" : "ESMTPError");
        }
        for (const QJsonValue& session : server.Sessions(1))
            EXPECT_TRUE(session[QStringLiteral("mails")].toArray().isEmpty());
    }
}

TEST_F(SendMailTest, FallsBackToHeloWithTheSameName) {
    TMailServer server(Scripted(QStringLiteral("ehlo-refused")));
    Send(server, QStringLiteral("ops@shop.test"), false, QString(), QString());
    const QJsonArray sessions = server.Sessions();
    const QString name = EhloFrom(QStringLiteral("[127.0.0.1]"));
    EXPECT_EQ(Commands(sessions, QStringLiteral("EHLO")), QStringList{"EHLO " + name});
    EXPECT_EQ(Commands(sessions, QStringLiteral("HELO")), QStringList{"HELO " + name});
    OnlyMail(sessions);
}

// A server that refuses a bare host name takes the machine's full name or
// the literal of its address toward the server.
void SendThroughStrictServer(const QString& ABind, const QList<QString>& AHosts,
                             const QString& ALiteral) {
    TMailServerOptions options = Scripted(QStringLiteral("strict-helo"));
    options.Bind = ABind;
    TMailServer server(options);
    for (const QString& host : AHosts) {
        SCOPED_TRACE(host.toStdString());
        EXPECT_NO_THROW(SendMail(host, server.Port(), false, QString(), QString(), From, QString(),
                                 QStringLiteral("ops@shop.test"), QStringLiteral("s"),
                                 {QStringLiteral("b")}));
    }
    const QJsonArray sessions = server.Sessions(int(AHosts.size()));
    EXPECT_EQ(Commands(sessions, QStringLiteral("EHLO")),
              QStringList(AHosts.size(), "EHLO " + EhloFrom(ALiteral)));
    EXPECT_EQ(Commands(sessions, QStringLiteral("MAIL")).size(), AHosts.size());
}

TEST_F(SendMailTest, StrictServerTakesTheEhloName) {
    SendThroughStrictServer(QStringLiteral("127.0.0.1"), {Host}, QStringLiteral("[127.0.0.1]"));
}

TEST_F(SendMailTest, SendsOverIPv6) {
    if (!HasIPv6Loopback())
        GTEST_SKIP() << "this machine has no IPv6 loopback address ::1";
    SendThroughStrictServer(QStringLiteral("::1"), {QStringLiteral("::1"), QStringLiteral("[::1]")},
                            QStringLiteral("[IPv6:::1]"));
}

// A host name that resolves to ::1 alone, from the usual hosts-file names.
TEST_F(SendMailTest, HostNameThatResolvesOnlyToIPv6) {
    if (!HasIPv6Loopback())
        GTEST_SKIP() << "this machine has no IPv6 loopback address ::1";
    QString name;
    for (const char* candidate : {"ip6-localhost", "ip6-loopback", "localhost6"})
        if (ResolvesOnlyToIPv6Loopback(candidate))
            name = QString::fromLatin1(candidate);
    if (name.isEmpty())
        GTEST_SKIP() << "no host name resolves to ::1 alone here (a hosts-file line "
                        "\"::1 ip6-localhost\" gives one)";
    SendThroughStrictServer(QStringLiteral("::1"), {name}, QStringLiteral("[IPv6:::1]"));
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
    // Not one recipient address.
    for (const char* recipients : {"", " , ;", "Ops Desk"})
        EXPECT_THROW(SendMail(Host, server.Port(), false, User, Password, From, QString(),
                              QString::fromUtf8(recipients), QStringLiteral("s"), {}),
                     ESMTPError)
            << recipients;
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
