// The service program end to end as a child process in service mode: the
// start-up and shutdown notices through a real mail server, a run requested
// through the configuration file, and a run on its own schedule, each
// uploading to a real FTP server.
#include "common/uOVUtils.h"
#include "tests/service/ServiceProcess.h"
#include "tests/support/FtpServer.h"
#include "tests/support/MailServer.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

using namespace testsupport;
using namespace servicetest;

namespace {

const QString AreaSchedule = QStringLiteral("TdlgConnectorLogic.SetTimerInterval");
const QString AreaRun = QStringLiteral("TdlgConnectorLogic.tmProcessTimer");

QStringList Strings(const QJsonValue& AArray) {
    QStringList result;
    for (const QJsonValue& v : AArray.toArray())
        result.append(v.toString());
    return result;
}

struct TMailCase {
    const char* name;
    const char* tls;      // the server's: "starttls" or "implicit"
    const char* password; // the one configured; the server accepts "pw"
    bool delivered;
};

void PrintTo(const TMailCase& ACase, std::ostream* os) {
    *os << ACase.name;
}

class ServiceMailTest : public TServiceProcessTest,
                        public ::testing::WithParamInterface<TMailCase> {};

TEST_P(ServiceMailTest, StartAndStopNoticesGoToTheirListsOverTls) {
    TMailServerOptions options;
    options.Tls = QString::fromLatin1(GetParam().tls);
    options.AuthRequired = true;
    options.User = QStringLiteral("notifier");
    options.Password = QStringLiteral("pw");
    TMailServer server(options);
    FEnvironment.insert("SSL_CERT_FILE", TestCertificatesDir() + QStringLiteral("/ca.pem"));
    FEnvironment.remove("SSL_CERT_DIR");
    if (options.Tls == QLatin1String("implicit"))
        FEnvironment.insert("BREVOLT_SMTP_IMPLICIT_TLS_PORT", QString::number(server.Port()));
    WriteConfig([&](TConnectorConfig& c) {
        c.notifications = true;
        c.smtpserver = QStringLiteral("127.0.0.1");
        c.smtpport = server.Port();
        c.smtpusessltls = true;
        c.smtpusername = options.User;
        c.smtppassword = QString::fromLatin1(GetParam().password);
        c.smtpfrom = QStringLiteral("service@shop.test");
        c.startupemails = QStringLiteral("a@example.com, b@example.com");
        c.shutdownemails = QStringLiteral("c@example.com");
        c.dailypingemails = QStringLiteral("daily@example.com");
    });

    Start();
    ASSERT_TRUE(WaitForLog("service entering execution loop"));
    EXPECT_TRUE(StopsPromptly());

    const QJsonArray sessions = server.Sessions(2);
    ASSERT_EQ(sessions.size(), 2); // one connection per notice, nothing else
    struct TExpected {
        QStringList rcpts;
        QString subject;
        QString body;
    };
    const TExpected expected[] = {
        {{"a@example.com", "b@example.com"},
         "Brevolt service started",
         "The Brevolt service was started"},
        {{"c@example.com"}, "Brevolt service stopped", "The Brevolt service was stopped"},
    };
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(expected[i].subject.toStdString());
        const QJsonObject session = sessions.at(i).toObject();
        EXPECT_TRUE(session["tls"].toBool());
        EXPECT_EQ(Strings(session["commands"]).filter(QRegularExpression("^STARTTLS")).size(),
                  options.Tls == QLatin1String("starttls") ? 1 : 0);
        EXPECT_TRUE(Strings(session["commands"]).contains("AUTH LOGIN"));
        const QJsonArray mails = session["mails"].toArray();
        if (!GetParam().delivered) {
            EXPECT_TRUE(session["auth_user"].isNull());
            EXPECT_TRUE(mails.isEmpty());
            continue;
        }
        EXPECT_EQ(session["auth_user"].toString(), "notifier");
        ASSERT_EQ(mails.size(), 1);
        const QJsonObject mail = mails.at(0).toObject();
        EXPECT_EQ(mail["from"].toString(), "service@shop.test");
        EXPECT_EQ(Strings(mail["rcpts"]), expected[i].rcpts);
        const QString data = mail["data"].toString();
        EXPECT_TRUE(data.contains("\r\nSubject: " + expected[i].subject + "\r\n"))
            << data.toStdString();
        EXPECT_TRUE(data.contains("From: \"Brevolt Service\" <service@shop.test>\r\n"))
            << data.toStdString();
        EXPECT_TRUE(data.endsWith("\r\n\r\n" + expected[i].body + "\r\n")) << data.toStdString();
    }
    // A notice that could not be sent kept the service neither from its loop
    // nor from a clean stop.
    EXPECT_TRUE(InOrder(LogText(), {"service entering execution loop", "Service stopping...",
                                    "service shutting down"}));
}

INSTANTIATE_TEST_SUITE_P(Tls, ServiceMailTest,
                         ::testing::Values(TMailCase{"StartTls", "starttls", "pw", true},
                                           TMailCase{"ImplicitTls", "implicit", "pw", true},
                                           TMailCase{"LoginRefused", "starttls", "wrong", false}),
                         [](const auto& AInfo) { return std::string(AInfo.param.name); });

// A running service that uploads the sample store's invoices to a loopback
// FTP server.
class ServiceRunTest : public TServiceProcessTest {
protected:
    // Notices on, through AServer without TLS as AOptions' user.
    static void UseMailServer(TConnectorConfig& c, const TMailServer& AServer,
                              const TMailServerOptions& AOptions) {
        c.notifications = true;
        c.smtpserver = QStringLiteral("127.0.0.1");
        c.smtpport = AServer.Port();
        c.smtpusessltls = false;
        c.smtpusername = AOptions.User;
        c.smtppassword = AOptions.Password;
        c.smtpfrom = QStringLiteral("service@shop.test");
    }

    void WriteRunConfig(const std::function<void(TConnectorConfig&)>& AChange) {
        WriteConfig([&](TConnectorConfig& c) {
            c.locations = QStringList{"001.001"};
            c.ftpserver = FFtp.Address();
            c.ftpusername = QStringLiteral("shopone");
            c.ftppassword = QStringLiteral("secret");
            AChange(c);
        });
    }

    // Uploads, as the batch names they were renamed to once complete.
    QStringList Uploads() const { return FFtp.Commands().filter(QRegularExpression("^RNTO ")); }

    // The uploaded batch: named after the FTP user and the run's start, the
    // header and invoice lines, and the same bytes in the archive afterwards.
    void ExpectUploadedAndArchived(const QString& ARenamed, TDateTime ARunStart) {
        const QString name = ARenamed.mid(5);
        EXPECT_EQ(name,
                  "shopone_" +
                      uOVUtils::FormatDateTime(QStringLiteral("yyyymmddhhnnsszzz"), ARunStart) +
                      ".csv");
        const QByteArray sent = FFtp.Received(name + ".part");
        EXPECT_GT(sent.count("\r\n"), 1) << sent.toStdString();
        EXPECT_EQ(ReadFileBytes(SvcDir() + "Batch/Archive/" + name), sent);
        EXPECT_FALSE(QFileInfo::exists(SvcDir() + "Batch/" + name));
    }

    static TConnectorConfig LoadedConfig() {
        bool scheduleChanged = false;
        EXPECT_TRUE(uBrevoltRPro9ConnectorCommon::LoadConfig(scheduleChanged));
        return uBrevoltRPro9ConnectorCommon::Config();
    }

    TFtpServer FFtp;
};

TEST_F(ServiceRunTest, RunImmediateRequestStartsARunAtTheNextIdleTick) {
    ASSERT_TRUE(FFtp.Running());
    // By slot without slots: left alone, the next run is a day away.
    WriteRunConfig([](TConnectorConfig& c) { c.scanscheduling = 1; });
    const TDateTime initialLastQuery = uBrevoltRPro9ConnectorCommon::Config().lastquery;
    Start();
    ASSERT_TRUE(WaitForLog("service entering execution loop"));
    EXPECT_TRUE(LogText().contains(", timer set to 86400000 milliseconds"));

    // What the utility's "Run Immediately" does: the file with the flag set.
    LoadedConfig();
    uBrevoltRPro9ConnectorCommon::Config().runimmediate = true;
    const TDateTime requested = uOVUtils::Now();
    QElapsedTimer sinceRequest;
    sinceRequest.start();
    uBrevoltRPro9ConnectorCommon::SaveConfig();

    ASSERT_TRUE(WaitForLog("======Starting run========", 15000));
    // One idle tick (5 s) and the one-second interval, with some slack.
    EXPECT_LT(sinceRequest.elapsed(), 8000);
    ASSERT_TRUE(WaitForLog("======Run completed=======", 10000));
    EXPECT_TRUE(InOrder(
        LogText(),
        {Line("tmIdleTimer", "RunImmediate detected; calling SetTimerInterval"),
         Line(AreaSchedule, "Run Immediate detected; setting run time to Now"),
         ", timer set to 1000 milliseconds", Line(AreaRun, "======Starting run========"),
         Line(AreaRun, "======Run completed======="), Line(AreaSchedule, "Scheduling by slot"),
         ", timer set to 86400000 milliseconds"}));

    const QStringList uploads = Uploads();
    ASSERT_EQ(uploads.size(), 1);
    // The request is cleared on disk and the upload moved the last query time
    // to the run's start.
    const TConnectorConfig saved = LoadedConfig();
    EXPECT_FALSE(saved.runimmediate);
    EXPECT_GT(saved.lastquery, initialLastQuery);
    EXPECT_GE(saved.lastquery, requested);
    ExpectUploadedAndArchived(uploads.at(0), saved.lastquery);
    EXPECT_TRUE(StopsPromptly());
}

TEST_F(ServiceRunTest, IntervalScheduleRunsOnItsOwnAndSchedulesTheNextRun) {
    ASSERT_TRUE(FFtp.Running());
    WriteRunConfig([](TConnectorConfig& c) {
        c.scanscheduling = 0;
        c.scaninterval = 2000;
    });
    Start();
    ASSERT_TRUE(WaitForLog("======Run completed=======", 10000));
    ASSERT_EQ(Uploads().size(), 1);
    const TConnectorConfig saved = LoadedConfig();
    ExpectUploadedAndArchived(Uploads().at(0), saved.lastquery);

    // The next run comes two seconds later and finds nothing new since the
    // last query time, so it uploads nothing.
    ASSERT_TRUE(WaitUntil([&] { return LogText().count("======Run completed=======") >= 2; },
                          ChildWaitMs, ChildPollMs));
    EXPECT_TRUE(StopsPromptly());
    const QRegularExpression next(
        "Idle\\.  Next run will start at \\S+ \\S+, timer set to 2000 milliseconds");
    const QString log = LogText();
    const qsizetype firstRun = log.indexOf("======Run completed=======");
    EXPECT_TRUE(next.match(log, firstRun).hasMatch()) << log.toStdString();
    EXPECT_TRUE(InOrder(log, {"======Run completed=======", "======Starting run========",
                              "No invoices were found to transmit", "======Run completed======="}));
    EXPECT_EQ(Uploads().size(), 1);
    EXPECT_EQ(LoadedConfig().lastquery, saved.lastquery);
}

TEST_F(ServiceRunTest, AnOutageIsMailedAtItsStartAndWhenItClears) {
    ASSERT_TRUE(FFtp.Running());
    const QString database = FSample.Paths().DatabaseFile;
    auto setFtpPassword = [](const char* APassword) {
        LoadedConfig();
        uBrevoltRPro9ConnectorCommon::Config().ftppassword = QString::fromLatin1(APassword);
        uBrevoltRPro9ConnectorCommon::SaveConfigKeys({QStringLiteral("ftppassword")});
    };
    struct Case {
        const char* Name;
        std::function<void()> Break;
        std::function<void()> Repair;
        const char* Failing;
        const char* Cleared;
    };
    const Case cases[] = {
        {"upload", [&] { setFtpPassword("wrong"); }, [&] { setFtpPassword("secret"); },
         "Brevolt service: upload failing", "Brevolt service: upload working again"},
        {"database", [&] { ASSERT_TRUE(QFile::rename(database, database + ".away")); },
         [&] { ASSERT_TRUE(QFile::rename(database + ".away", database)); },
         "Brevolt service: database unreadable", "Brevolt service: database readable again"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TMailServerOptions options;
        options.User = QStringLiteral("notifier");
        options.Password = QStringLiteral("pw");
        TMailServer mail(options);
        WriteRunConfig([&](TConnectorConfig& cfg) {
            cfg.scanscheduling = 0;
            cfg.scaninterval = 2000;
            UseMailServer(cfg, mail, options);
            cfg.erroremails = QStringLiteral("errors@example.com");
        });
        c.Break();
        const qsizetype runsBefore = LogText().count("======Run completed=======");
        Start();
        // Two failed runs, well within the pause between reminders: one notice.
        ASSERT_TRUE(WaitUntil(
            [&] { return LogText().count("======Run completed=======") >= runsBefore + 2; },
            ChildWaitMs, ChildPollMs));
        EXPECT_EQ(mail.Sessions(1).size(), 1);
        c.Repair();
        ASSERT_EQ(mail.Sessions(2, 15000).size(), 2);
        EXPECT_TRUE(StopsPromptly());
        const QJsonArray sessions = mail.Sessions(3, 500);
        ASSERT_EQ(sessions.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const QJsonArray mails = sessions.at(i)["mails"].toArray();
            ASSERT_EQ(mails.size(), 1);
            EXPECT_EQ(Strings(mails.at(0)["rcpts"]), QStringList{"errors@example.com"});
            const QString data = mails.at(0)["data"].toString();
            EXPECT_TRUE(data.contains(QStringLiteral("\r\nSubject: ") +
                                      QLatin1String(i == 0 ? c.Failing : c.Cleared) + "\r\n"))
                << data.toStdString();
            if (i == 0) {
                EXPECT_TRUE(data.contains("\r\nError: ")) << data.toStdString();
                EXPECT_TRUE(data.contains("\r\nFailed runs: 1\r\n")) << data.toStdString();
                EXPECT_TRUE(data.contains(" wait to be sent.\r\n")) << data.toStdString();
            } else {
                EXPECT_FALSE(data.contains("\r\nFailed runs: 1\r\n")) << data.toStdString();
            }
        }
    }
}

TEST_F(ServiceRunTest, AStartAfterARestartForMissingDataIsMailedToTheErrorListToo) {
    TMailServerOptions options;
    options.User = QStringLiteral("notifier");
    options.Password = QStringLiteral("pw");
    TMailServer mail(options);
    WriteRunConfig([&](TConnectorConfig& c) {
        UseMailServer(c, mail, options);
        c.notifyonstartup = true;
        c.startupemails = QStringLiteral("start@example.com");
        c.erroremails = QStringLiteral("errors@example.com");
    });
    // What the service leaves behind when it ends for missing data.
    const QString marker = SvcDir() + "Brevoltconnector.restart";
    QFile file(marker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    Start();
    ASSERT_TRUE(WaitForLog("service entering execution loop"));
    EXPECT_TRUE(StopsPromptly());
    EXPECT_FALSE(QFileInfo::exists(marker));
    const QJsonArray mails = mail.Sessions(1).at(0)["mails"].toArray();
    ASSERT_EQ(mails.size(), 1);
    EXPECT_EQ(Strings(mails.at(0)["rcpts"]),
              QStringList({"start@example.com", "errors@example.com"}));
    EXPECT_TRUE(
        mails.at(0)["data"].toString().contains("\r\nSubject: Brevolt service started\r\n"));
    EXPECT_TRUE(mails.at(0)["data"].toString().contains("database unreadable"));
}

TEST_F(ServiceRunTest, ALateInvoiceIsSentOnceAndAnOutageKeepsOneUnsentBatch) {
    ASSERT_TRUE(FFtp.Running());
    WriteRunConfig([](TConnectorConfig&) {});
    auto runOnce = [&](const char* APassword) {
        LoadedConfig();
        uBrevoltRPro9ConnectorCommon::Config().ftppassword = QString::fromLatin1(APassword);
        uBrevoltRPro9ConnectorCommon::SaveConfigKeys({QStringLiteral("ftppassword")});
        Start({"/RunOnce"});
        EXPECT_TRUE(FProcess->waitForFinished(30000));
        return ExitCode();
    };
    // An invoice of store 001.001 committed now, dated ASeconds after the
    // first run's start.
    int customer = 9000;
    auto sale = [&](const QString& AName, TDateTime AFirstRun, int ASeconds) {
        ++customer;
        FSample.Execute(QStringLiteral("insert into customer values (%1, '%2', 'Late', "
                                       "'%2@example.com', 1, 1)")
                            .arg(customer)
                            .arg(AName));
        FSample.Execute(
            QStringLiteral("insert into invoice values (%1, %1, 1, 1, %1, 12, 0, 0, '%2')")
                .arg(customer)
                .arg(uOVUtils::ToQDateTime(AFirstRun).addSecs(ASeconds).toString(
                    QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))));
    };
    auto files = [&](const QString& AFolder) {
        return QDir(SvcDir() + AFolder).entryList(QDir::Files);
    };

    ASSERT_EQ(runOnce("secret"), 0);
    const TDateTime firstRun = LoadedConfig().lastquery;
    sale("late", firstRun, -2);
    EXPECT_NE(runOnce("wrong"), 0);
    sale("later", firstRun, -1);
    EXPECT_NE(runOnce("wrong"), 0);
    // The newest unsent batch alone, and nothing more in the archive.
    const QStringList unsent = files("Batch/Unsent");
    ASSERT_EQ(unsent.size(), 1);
    const QByteArray kept = ReadFileBytes(SvcDir() + "Batch/Unsent/" + unsent.at(0));
    EXPECT_TRUE(kept.contains("late@example.com") && kept.contains("later@example.com"));
    EXPECT_EQ(files("Batch/Archive").size(), 1);

    EXPECT_EQ(runOnce("secret"), 0);
    EXPECT_TRUE(files("Batch/Unsent").isEmpty());
    EXPECT_EQ(files("Batch/Archive").size(), 2);
    // Over both uploads every invoice once, told apart by address and date:
    // the store's six with an e-mail address, then the two late ones.
    QStringList delivered;
    for (const QString& renamed : Uploads()) {
        const QList<QByteArray> lines = FFtp.Stored(renamed.mid(5)).split('\n');
        for (const QByteArray& line : lines.mid(1))
            if (const QList<QByteArray> values = line.split(','); values.size() > 8)
                delivered.append(QString::fromUtf8(values[6] + values[8]));
    }
    ASSERT_EQ(Uploads().size(), 2);
    EXPECT_EQ(delivered.size(), 8) << delivered.join(' ').toStdString();
    EXPECT_EQ(delivered.size(), QSet<QString>(delivered.begin(), delivered.end()).size());
    EXPECT_TRUE(delivered.filter("late@").size() == 1 && delivered.filter("later@").size() == 1);
}

} // namespace
