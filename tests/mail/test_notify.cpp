// Service notices: when they are sent, to whom, with what subject and body.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorNotify.h"
#include "common/uOVNet.h"
#include "tests/support/MailServer.h"

#include <functional>
#include <gtest/gtest.h>
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

} // namespace
