// Service notices: when they are sent, to whom, with what subject and body.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorNotify.h"
#include "common/uOVClock.h"
#include "common/uOVLogging.h"
#include "common/uOVNet.h"
#include "platform/Process.h"
#include "tests/support/MailServer.h"
#include "tests/support/TestAppLogger.h"

#include <functional>
#include <gtest/gtest.h>
#include <QFile>
#include <QJsonObject>

using namespace testsupport;
using namespace uBrevoltRPro9ConnectorCommon;

namespace {

class NotificationTest : public ::testing::Test {
protected:
    void SetUp() override {
        FSaved = Config();
        FOptions.User = QStringLiteral("notifier");
        FOptions.Password = QStringLiteral("pw");
        FOptions.RefusePrefix = QStringLiteral("refused");
        FServer = std::make_unique<TMailServer>(FOptions);
        TConnectorConfig& c = Config();
        c.notifications = true;
        c.smtpserver = QStringLiteral("127.0.0.1");
        c.smtpport = FServer->Port();
        c.smtpusessltls = false;
        c.smtpusername = FOptions.User;
        c.smtppassword = FOptions.Password;
        c.smtpfrom = QStringLiteral("service@shop.test");
        c.startupemails = QStringLiteral("start1@shop.test, start2@shop.test");
        c.shutdownemails = QStringLiteral("stop@shop.test");
        c.dailypingemails = QStringLiteral("daily@shop.test");
    }
    void TearDown() override { Config() = FSaved; }

    QJsonArray Mails(int AWaitFor = 1, int ATimeoutMs = 5000) const {
        QJsonArray mails;
        for (const QJsonValue& s : FServer->Sessions(AWaitFor, ATimeoutMs))
            for (const QJsonValue& m : s.toObject().value(QStringLiteral("mails")).toArray())
                mails.append(m);
        return mails;
    }

    TConnectorConfig FSaved;
    TMailServerOptions FOptions;
    std::unique_ptr<TMailServer> FServer;
};

QStringList Rcpts(const QJsonValue& AMail) {
    QStringList result;
    for (const QJsonValue& v : AMail[QStringLiteral("rcpts")].toArray())
        result.append(v.toString());
    return result;
}

TEST_F(NotificationTest, EachEventGoesToItsOwnList) {
    struct Case {
        TServiceEvent Event;
        QStringList Recipients;
        const char* Subject;
        const char* Body;
    };
    const Case cases[] = {
        {TServiceEvent::Startup,
         {"start1@shop.test", "start2@shop.test"},
         "Brevolt service started",
         "The Brevolt service was started"},
        {TServiceEvent::Shutdown,
         {"stop@shop.test"},
         "Brevolt service stopped",
         "The Brevolt service was stopped"},
        {TServiceEvent::DailyHealth,
         {"daily@shop.test"},
         "Brevolt service health check",
         "It's after 8am and the Brevolt service is still running"},
    };
    int sent = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Subject);
        NotifyServiceEvent(c.Event);
        const QJsonArray mails = Mails(++sent);
        ASSERT_EQ(mails.size(), sent);
        const QJsonValue mail = mails.at(sent - 1);
        EXPECT_EQ(Rcpts(mail), c.Recipients);
        EXPECT_EQ(mail[QStringLiteral("from")].toString(), "service@shop.test");
        const QString data = mail[QStringLiteral("data")].toString();
        EXPECT_TRUE(data.contains(QLatin1String("\r\nSubject: ") + QLatin1String(c.Subject) +
                                  QLatin1String("\r\n")))
            << data.toStdString();
        EXPECT_TRUE(data.contains(QLatin1String("From: \"Brevolt Service\" <service@shop.test>")));
        EXPECT_TRUE(data.endsWith(QLatin1String("\r\n\r\n") + QLatin1String(c.Body) +
                                  QLatin1String("\r\n")))
            << data.toStdString();
    }
    // Logged in with the configured account.
    for (const QJsonValue& s : FServer->Sessions(3))
        EXPECT_EQ(s[QStringLiteral("auth_user")].toString(), "notifier");
}

TEST_F(NotificationTest, SilentWhenOffOrASettingIsMissing) {
    struct Case {
        const char* Name;
        std::function<void(TConnectorConfig&)> Change;
    };
    const Case cases[] = {
        {"notifications off",
         [](TConnectorConfig& c) {
             c.notifications = false;
         }},
        {"no recipients",
         [](TConnectorConfig& c) {
             c.startupemails.clear();
         }},
        {"no server",
         [](TConnectorConfig& c) {
             c.smtpserver.clear();
         }},
        {"no user name",
         [](TConnectorConfig& c) {
             c.smtpusername.clear();
         }},
        {"no password",
         [](TConnectorConfig& c) {
             c.smtppassword.clear();
         }},
        {"no sender",
         [](TConnectorConfig& c) {
             c.smtpfrom.clear();
         }},
    };
    const TConnectorConfig complete = Config();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Config() = complete;
        c.Change(Config());
        EXPECT_NO_THROW(
            SendNotification(Config().startupemails, QStringLiteral("s"), {QStringLiteral("b")}));
        NotifyServiceEvent(TServiceEvent::Startup);
    }
    EXPECT_TRUE(FServer->Sessions(1, 500).isEmpty());
}

// The log cannot report its own folder: the next notice that goes out does,
// once.
TEST_F(NotificationTest, ALogFolderThatCannotBeWrittenIsToldInTheNextNotice) {
    uOVLogging::ReportLogWriteProblem(QStringLiteral("cannot open /x/a.log: Permission denied"));
    NotifyServiceEvent(TServiceEvent::Startup);
    NotifyServiceEvent(TServiceEvent::Shutdown);
    const QJsonArray mails = Mails(2);
    ASSERT_EQ(mails.size(), 2);
    const QString first = mails.at(0)[QStringLiteral("data")].toString();
    EXPECT_TRUE(first.contains("The Brevolt service was started\r\n\r\nLog file cannot be "
                               "written: cannot open /x/a.log: Permission denied (since "))
        << first.toStdString();
    EXPECT_FALSE(mails.at(1)[QStringLiteral("data")].toString().contains("Log file"));
}

TEST_F(NotificationTest, MailErrorsReachSendNotificationButNotTheEvent) {
    Config().startupemails = QStringLiteral("refused@shop.test");
    try {
        SendNotification(Config().startupemails, QStringLiteral("s"), {QStringLiteral("b")});
        ADD_FAILURE() << "no error";
    } catch (const ESMTPReplyError& E) {
        EXPECT_EQ(E.ReplyCode(), 550);
    }
    EXPECT_NO_THROW(NotifyServiceEvent(TServiceEvent::Startup));
    EXPECT_TRUE(Mails(2).isEmpty());
}

// The notice reaches every good address; a refused recipient and an entry
// that is no address are each a warning, with the server's reply.
TEST_F(NotificationTest, RefusedAndInvalidRecipientsAreWarnings) {
    StartTestAppLogger(QStringLiteral("NotifyTest"));
    Config().startupemails =
        QStringLiteral("start1@shop.test, refused-x@shop.test; Start Desk, start2@shop.test");
    NotifyServiceEvent(TServiceEvent::Startup);
    const QJsonArray mails = Mails();
    ASSERT_EQ(mails.size(), 1);
    EXPECT_EQ(Rcpts(mails.at(0)), QStringList({"start1@shop.test", "start2@shop.test"}));
    const QStringList warnings = TestAppLoggerText().split('\n').filter(" WARNING ");
    EndTestAppLogger();
    ASSERT_EQ(warnings.size(), 2) << warnings.join('\n').toStdString();
    EXPECT_TRUE(warnings.at(0).contains("Notification \"Brevolt service started\": the "
                                        "recipient \"Start Desk\" is not a mail address"))
        << warnings.at(0).toStdString();
    EXPECT_TRUE(warnings.at(1).contains(
        "Notification \"Brevolt service started\" not delivered to refused-x@shop.test: 550 "
        "5.1.1 <refused-x@shop.test>: Recipient address rejected"))
        << warnings.at(1).toStdString();
}

// Error notices: at the first failure of a kind, a reminder at most every
// four hours while it lasts, one when it clears.
TEST(FailureNoticesTest, FirstFailureRemindersAndRecovery) {
    TManualClock clock(QDateTime(QDate(2025, 3, 4), QTime(10, 0)));
    SetClock(&clock);
    QList<TFailureNotice> sent;
    TFailureNotices notices([&](const TFailureNotice& N) { sent.append(N); });
    struct Step {
        int Minutes; // since the previous step
        TFailureKind Kind;
        bool Fails;
        const char* Subject; // nullptr: nothing sent
    };
    const TFailureKind Db = TFailureKind::Database;
    const TFailureKind Up = TFailureKind::Upload;
    const Step steps[] = {
        {0, Up, true, "Brevolt service: upload failing"},
        {5, Up, true, nullptr},
        {60, Up, true, nullptr},
        {5, Db, true, "Brevolt service: database unreadable"},
        {169, Up, true, nullptr},
        {1, Up, true, "Brevolt service: upload failing"}, // four hours after the first
        {5, Up, true, nullptr},
        {5, Up, false, "Brevolt service: upload working again"},
        {5, Up, false, nullptr},
        {5, Db, false, "Brevolt service: database readable again"},
        {5, Up, true, "Brevolt service: upload failing"},
    };
    int i = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(i++);
        clock.Advance(qint64(s.Minutes) * 60000);
        const qsizetype before = sent.size();
        if (s.Fails)
            notices.Failed(s.Kind, QStringLiteral("E") + QString::number(i), 45000.5);
        else
            notices.Succeeded(s.Kind);
        ASSERT_EQ(sent.size(), before + (s.Subject ? 1 : 0));
        if (s.Subject) {
            EXPECT_EQ(sent.last().Subject, QLatin1String(s.Subject));
        }
    }
    // The reminder: the latest error, since the first failure, every run counted.
    const QStringList reminder = sent.at(2).Body;
    EXPECT_TRUE(reminder.contains("Error: E6")) << reminder.join('|').toStdString();
    EXPECT_TRUE(reminder.contains("Failing since: 03/04/2025 10:00:00"));
    EXPECT_TRUE(reminder.contains("Failed runs: 5"));
    EXPECT_TRUE(reminder.contains("Invoices since 03/15/2023 12:00:00 wait to be sent."));
    const QStringList recovered = sent.at(3).Body;
    EXPECT_TRUE(recovered.contains("Failing since: 03/04/2025 10:00:00"));
    EXPECT_TRUE(recovered.contains("Failed runs: 6"));
    // A new outage counts afresh.
    EXPECT_TRUE(sent.last().Body.contains("Failed runs: 1"));
    SetClock(nullptr);
}

// A restart for missing data hands the outage on: no new first notice, the
// reminder on time, the runs counted on.
TEST(FailureNoticesTest, AnOutageOutlivesARestart) {
    TManualClock clock(QDateTime(QDate(2025, 3, 4), QTime(10, 0)));
    SetClock(&clock);
    QStringList subjects;
    auto sender = [&](const TFailureNotice& N) {
        subjects.append(N.Subject + " / " + N.Body.filter("Failed runs").join(""));
    };
    TFailureNotices before(sender);
    before.Failed(TFailureKind::Database, QStringLiteral("gone"), 0);
    clock.Advance(60000);
    before.Failed(TFailureKind::Database, QStringLiteral("gone"), 0);
    const QStringList state = before.StateLines(TFailureKind::Database);
    EXPECT_TRUE(before.StateLines(TFailureKind::Upload).isEmpty());

    TFailureNotices after(sender);
    after.RestoreState(TFailureKind::Database, state);
    EXPECT_TRUE(after.Failing(TFailureKind::Database));
    clock.Advance(60000);
    after.Failed(TFailureKind::Database, QStringLiteral("gone"), 0);
    clock.Advance(4 * 3600000 - 120000);
    after.Failed(TFailureKind::Database, QStringLiteral("gone"), 0);
    after.Succeeded(TFailureKind::Database);
    EXPECT_EQ(subjects, QStringList({"Brevolt service: database unreadable / Failed runs: 1",
                                     "Brevolt service: database unreadable / Failed runs: 4",
                                     "Brevolt service: database readable again / Failed runs: 4"}));

    TFailureNotices damaged(sender);
    damaged.RestoreState(TFailureKind::Database, {QStringLiteral("since=x")});
    EXPECT_FALSE(damaged.Failing(TFailureKind::Database));
    SetClock(nullptr);
}

TEST_F(NotificationTest, ErrorNoticesGoToTheErrorList) {
    Config().erroremails = QStringLiteral("errors@shop.test");
    Config().lastquery = 45000.5;
    ReportFailure(TFailureKind::Upload, QStringLiteral("530 Login incorrect."));
    ReportFailure(TFailureKind::Upload, QStringLiteral("530 Login incorrect."));
    ReportSuccess(TFailureKind::Upload);
    const QJsonArray mails = Mails(2);
    ASSERT_EQ(mails.size(), 2);
    const QStringList subjects = {"Brevolt service: upload failing",
                                  "Brevolt service: upload working again"};
    for (int i = 0; i < 2; ++i) {
        const QString data = mails.at(i)[QStringLiteral("data")].toString();
        EXPECT_EQ(Rcpts(mails.at(i)), QStringList{"errors@shop.test"});
        EXPECT_TRUE(data.contains("\r\nSubject: " + subjects.at(i) + "\r\n")) << data.toStdString();
        EXPECT_TRUE(data.contains(QLatin1String("From: \"Brevolt Service\" <service@shop.test>")));
    }
    const QString first = mails.at(0)[QStringLiteral("data")].toString();
    for (const char* line : {"\r\nError: 530 Login incorrect.\r\n", "\r\nFailed runs: 1\r\n",
                             "\r\nInvoices since 03/15/2023 12:00:00 wait to be sent.\r\n"})
        EXPECT_TRUE(first.contains(QLatin1String(line))) << line << first.toStdString();
    EXPECT_TRUE(mails.at(1)[QStringLiteral("data")].toString().contains("Failed runs: 2"));

    // Silent like the other notices without the list.
    Config().erroremails.clear();
    ReportFailure(TFailureKind::Database, QStringLiteral("gone"));
    ReportSuccess(TFailureKind::Database);
    EXPECT_EQ(FServer->Sessions(3, 500).size(), 2);
}

TEST_F(NotificationTest, StartupAfterARestartForMissingDataAlsoGoesToTheErrorList) {
    TTempDir dir;
    const QString savedDir = uOVUtils::ExeDir();
    uOVUtils::SetExeDir(dir.Path() + QLatin1Char('/'));
    // A quoted comma and a semicolon: two entries, one already a recipient.
    Config().erroremails = QStringLiteral("\"Errors, Night\" <errors@shop.test>; start2@shop.test");
    struct Case {
        const char* Name;
        bool Marker;
        bool NotifyOnStartup;
        QStringList Recipients;
        bool SaysRestarted;
        bool SkipTransmit = false;
    };
    const Case cases[] = {
        {"restarted, notify on",
         true,
         true,
         {"start1@shop.test", "start2@shop.test", "errors@shop.test"},
         true},
        {"restarted, notify off", true, false, {"start1@shop.test", "start2@shop.test"}, true},
        {"plain start, notify on", false, true, {"start1@shop.test", "start2@shop.test"}, false},
        {"skiptransmit", false, false, {"start1@shop.test", "start2@shop.test"}, false, true},
    };
    int sent = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        platform::SetCommandLine(c.SkipTransmit ? std::vector<std::string>{"-skiptransmit"}
                                                : std::vector<std::string>{});
        Config().notifyonstartup = c.NotifyOnStartup;
        if (c.Marker)
            MarkRestartForMissingData();
        EXPECT_EQ(QFile::exists(dir.Path() + "/Brevoltconnector.restart"), c.Marker);
        NotifyServiceEvent(TServiceEvent::Startup);
        // Read at start-up and gone: the next start is an ordinary one.
        EXPECT_FALSE(QFile::exists(dir.Path() + "/Brevoltconnector.restart"));
        const QJsonArray mails = Mails(++sent);
        ASSERT_EQ(mails.size(), sent);
        EXPECT_EQ(Rcpts(mails.at(sent - 1)), c.Recipients);
        const QString data = mails.at(sent - 1)[QStringLiteral("data")].toString();
        EXPECT_EQ(data.contains("restarted"), c.SaysRestarted);
        EXPECT_EQ(data.contains("archived without being uploaded"), c.SkipTransmit);
    }
    platform::SetCommandLine(std::vector<std::string>{});
    uOVUtils::SetExeDir(savedDir);
}

} // namespace
