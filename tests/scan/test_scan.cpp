// The scan run end to end: the engine's ScanDatabase over the sample
// database, with uploads to a real FTP server on loopback and the time
// injected through a manual clock.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVClock.h"
#include "common/uOVCodePage.h"
#include "common/uOVFtp.h"
#include "common/uOVLogging.h"
#include "common/uOVTextStream.h"
#include "platform/FileLock.h"
#include "platform/Process.h"
#include "service/dBrevoltRPro9ConnectorBatch.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "tests/support/FtpServer.h"
#include "tests/support/MailServer.h"
#include "tests/support/ProcessState.h"
#include "tests/support/SampleEnvironment.h"
#include "tests/support/TestAppLogger.h"
#include "tests/support/TestSupport.h"
#include "tests/support/Vsftpd.h"

#include <algorithm>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <optional>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimeZone>
#include <sys/stat.h>

using namespace uBrevoltRPro9ConnectorCommon;
using namespace testsupport;
using namespace uOVUtils;

namespace {

const QDateTime Reference(QDate(2022, 6, 5), QTime(14, 3, 9));
const QDateTime RunStart = Reference.addMSecs(45);
const QString BatchName = QStringLiteral("shopone_20220605140309045.csv");
const QByteArray Header =
    "\"LocationId\",\"First Name\",\"Last Name\",\"Phone1\",\"Phone2\",\"Phone3\",\"Email\","
    "\"SalesPersonEmail\",\"SalesDate\",\"Do_Not_Call\",\"Do_Not_Email\"\r\n";

// Rows added to the sample database for one test.
class TDatabaseEdit {
public:
    explicit TDatabaseEdit(const QString& APath) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
        db.setDatabaseName(APath);
        EXPECT_TRUE(db.open());
        db.transaction();
    }
    ~TDatabaseEdit() {
        {
            QSqlDatabase db = QSqlDatabase::database(Name);
            db.commit();
            db.close();
        }
        QSqlDatabase::removeDatabase(Name);
    }

    void Exec(const QString& ASql, const QVariantList& AValues = {}) {
        QSqlQuery q(QSqlDatabase::database(Name));
        ASSERT_TRUE(q.prepare(ASql)) << q.lastError().text().toStdString();
        for (const QVariant& v : AValues)
            q.addBindValue(v);
        ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
    }
    // A customer with address number 1.
    void Customer(qint64 ASid, const QVariant& AFirst, const QVariant& ALast,
                  const QVariant& AEmail, const QVariant& AAllowPhone = 1,
                  const QVariant& AAllowEmail = 1,
                  const QVariant& APhone1 = QStringLiteral("555-0001"),
                  const QVariant& APhone2 = QVariant()) {
        Exec(QStringLiteral("insert into customer values (?, ?, ?, ?, ?, ?)"),
             {ASid, AFirst, ALast, AEmail, AAllowPhone, AAllowEmail});
        Exec(QStringLiteral("insert into cust_address values (?, 1, ?, ?)"),
             {ASid, APhone1, APhone2});
    }
    // A customer with an e-mail address and ACount invoices at 007.007.
    void Buyer(qint64 ASid, const QString& AFirst, int ACount) {
        Customer(ASid, AFirst, QStringLiteral("Buyer"), QString(AFirst.toLower() + "@example.com"));
        Invoices(7, 7, ASid, ACount);
    }
    // One invoice at 007.007 for a customer of its own, AName@example.com,
    // created at ACreated as the point of sale's clock shows it.
    qint64 Sale(const QString& AName, const QDateTime& ACreated) {
        const qint64 customer = FNextCustomer++;
        Customer(customer, AName, QStringLiteral("Sale"),
                 QString(AName + QStringLiteral("@example.com")));
        const qint64 sid = FNextSid++;
        Exec(QStringLiteral("insert into invoice values (?, ?, 7, 7, ?, 12, 0, 0, ?)"),
             {sid, 1000 + sid, customer,
              ACreated.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))});
        return sid;
    }
    // ACount invoices of one location and customer, a second apart, the last
    // one an hour before the reference time; cashier 12 has no e-mail.
    void Invoices(int ASbs, int AStore, qint64 ACustomer, int ACount, int ACashier = 12) {
        for (int i = 0; i < ACount; ++i) {
            const qint64 sid = FNextSid++;
            Exec(QStringLiteral("insert into invoice values (?, ?, ?, ?, ?, ?, 0, 0, ?)"),
                 {sid, 1000 + sid, ASbs, AStore, ACustomer, ACashier,
                  Reference.addSecs(-3600 - (ACount - i))
                      .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))});
        }
    }

private:
    static inline const QString Name = QStringLiteral("scan-test-edit");
    static inline qint64 FNextSid = 500000;
    static inline qint64 FNextCustomer = 800000;
};

class ScanTest : public TFtpServerTest {
protected:
    static void SetUpTestSuite() {
        TSampleEnvironment::EnsureCoreApplication();
        TFtpServerTest::SetUpTestSuite();
    }
    void SetUp() override {
        TFtpServerTest::SetUp();
        Begin();
    }

    // A fresh sample environment, record and log.
    void Begin() {
        FEngine.reset();
        EndLog();
        Server().ClearCommands();
        FSample.reset();
        FSample.emplace(200, Reference);
        FEnv = FSample->Paths();
        SetExeDir(FEnv.ServiceDirectory);
        uOVLogging::SetLogDir(ExeDir() + QStringLiteral("logs/"));
        QDir().mkpath(uOVLogging::LogDir());
        SetClock(&FClock);
        platform::SetCommandLine(std::vector<std::string>{});
        ConsoleMode = false;
        DebugMode = false;
        DatabaseReady = false;
        uBrevoltRPro9ConnectorSQLs::ClearVersionCache();
        Config() = TConnectorConfig();
        Config().ftpserver = Server().Address();
        Config().ftpusername = QStringLiteral("shopone");
        Config().ftppassword = QStringLiteral("secret");
        Config().locations = {QStringLiteral("007.007")};
        StartTestAppLogger(QStringLiteral("ScanTest"));
    }

    void TearDown() override {
        FEngine.reset();
        EndLog();
        FSample.reset();
        DebugMode = false;
    }

    static void EndLog() { EndTestAppLogger(); }
    static QString LogText() { return TestAppLoggerText(); }

    QString BatchDir() const { return ExeDir() + QStringLiteral("Batch/"); }
    QString ArchiveDir() const { return BatchDir() + QStringLiteral("Archive/"); }
    QStringList Archived() const { return QDir(ArchiveDir()).entryList(QDir::Files); }
    QStringList LeftInBatch() const { return QDir(BatchDir()).entryList(QDir::Files); }
    QByteArray ArchivedFile(const QString& AName = BatchName) const {
        return ReadFileBytes(ArchiveDir() + AName);
    }
    QString UnsentDir() const { return BatchDir() + QStringLiteral("Unsent/"); }
    QStringList Unsent() const { return QDir(UnsentDir()).entryList(QDir::Files); }
    QByteArray UnsentFile(const QString& AName = BatchName) const {
        return ReadFileBytes(UnsentDir() + AName);
    }

    // Saves the record (the engine loads it at creation) and dates the file
    // back, so that a later save shows.
    void SaveSettings() {
        SaveConfig();
        QFile f(ConfigFilePath());
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(QDateTime(QDate(2000, 1, 1), QTime(0, 0)),
                                  QFileDevice::FileModificationTime));
    }
    bool ConfigSaved() const {
        return QFileInfo(ConfigFilePath()).lastModified().date().year() != 2000;
    }
    TDateTime SavedLastQuery() {
        const TConnectorConfig kept = Config();
        bool changed = false;
        EXPECT_TRUE(LoadConfig(changed));
        const TDateTime saved = Config().lastquery;
        Config() = kept;
        return saved;
    }

    TdlgConnectorLogic& Engine() {
        if (!FEngine) {
            SaveSettings();
            FEngine = std::make_unique<TdlgConnectorLogic>();
        }
        return *FEngine;
    }

    // One scan as the run frame does it; true when it raised.
    bool Scan() {
        TdlgConnectorLogic& engine = Engine();
        engine.InitDatabase();
        EXPECT_TRUE(DatabaseReady);
        bool raised = false;
        uBrevoltRPro9ConnectorSQLs::GetSession();
        try {
            engine.ScanDatabase();
        } catch (const std::exception&) {
            raised = true;
        }
        uBrevoltRPro9ConnectorSQLs::ReleaseSession();
        return raised;
    }

    // The bytes that crossed the data connection: uploads go under a
    // temporary name, renamed once complete.
    static QByteArray Uploaded(const QString& AName = BatchName) {
        return Server().Received(AName + QStringLiteral(".part"));
    }

    static int CountOf(const QString& AText, const QString& APart) {
        return int(AText.count(APart));
    }

    testsupport::TProcessState FProcessState;
    std::optional<TSampleEnvironment> FSample;
    uBrevoltSampleDatabase::TSampleEnvironmentPaths FEnv;
    TManualClock FClock{RunStart};
    std::unique_ptr<TdlgConnectorLogic> FEngine;
};

TEST_F(ScanTest, UploadsTheBatchAdvancesLastQueryAndArchives) {
    Config().locations = {QStringLiteral("001.001")};
    EXPECT_FALSE(Scan());

    ASSERT_EQ(Archived(), QStringList{BatchName});
    EXPECT_TRUE(LeftInBatch().isEmpty());
    const QByteArray archived = ArchivedFile();
    EXPECT_TRUE(archived.startsWith(Header));
    EXPECT_GT(archived.count("\r\n"), 3);
    EXPECT_EQ(archived.count('\n'), archived.count("\r\n"));
    // The fixed invoices 1 and 3 of the sample.
    const QByteArray jose =
        uOVCodePage::ToAnsi("\"001001\",\"José\",\"Müller\",\"555-0101\",\"555-0102\",\"\",\"jose."
                            "mueller@example.com\","
                            "\"clara@store.example\",\"6/5/2022\",\"No\",\"No\"\r\n");
    EXPECT_TRUE(archived.contains(jose));
    EXPECT_TRUE(
        archived.contains("\"001001\",\"Anne\",\"O\"\"Brien, Jr.\",\"555-0301\",\"\",\"\","
                          "\"anne.obrien@example.com\",\"\",\"6/5/2022\",\"No\",\"Yes\"\r\n"));
    EXPECT_EQ(Uploaded(), archived);
    EXPECT_EQ(WithLfLineEnds(Server().Stored(BatchName)), WithLfLineEnds(archived));
    EXPECT_TRUE(Server().Commands().contains(QStringLiteral("USER shopone")));

    const TDateTime start = ToDateTime(RunStart);
    EXPECT_NEAR(Config().lastquery, start, 1e-8);
    EXPECT_TRUE(ConfigSaved());
    EXPECT_NEAR(SavedLastQuery(), start, 2e-8);

    const QString log = LogText();
    EXPECT_TRUE(log.contains("Creating output stream on \"" +
                             QDir::toNativeSeparators(BatchDir() + BatchName) + "\"..."));
    EXPECT_TRUE(log.contains("Starting transmission of batch file."));
    EXPECT_TRUE(log.contains("Updating configuration with last transmission timestamp."));
    EXPECT_TRUE(log.contains("     Subsidiary..[001]"));
    EXPECT_EQ(CountOf(log, " ERROR   |"), 0) << log.toStdString();
}

TEST_F(ScanTest, UploadsOverFtpsToAServerThatRequiresTls) {
    if (!TVsftpd::Installed())
        GTEST_SKIP() << "vsftpd is not installed (tools/install-deps.sh installs it)";
    TVsftpd ftps(true);
    ASSERT_TRUE(ftps.Running()) << ftps.Log().toStdString();
    qputenv("SSL_CERT_FILE", (TestCertificatesDir() + QStringLiteral("/ca.pem")).toUtf8());
    Config().ftpserver = ftps.Address();
    Config().ftpusername = TVsftpd::User();
    Config().ftpusetls = true;
    Config().locations = {QStringLiteral("001.001")};
    EXPECT_FALSE(Scan());
    qunsetenv("SSL_CERT_FILE");
    const QString name = QStringLiteral("anonymous_20220605140309045.csv");
    ASSERT_EQ(Archived(), QStringList{name}) << LogText().toStdString();
    EXPECT_EQ(ftps.Files(), QStringList{name}) << ftps.Log().toStdString();
    EXPECT_EQ(ftps.Stored(name), ArchivedFile(name));
    EXPECT_TRUE(ftps.Log().contains("\"AUTH TLS\""));
}

TEST_F(ScanTest, LineLayoutIsExactAndValuesStayOnOneLine) {
    {
        TDatabaseEdit db(FEnv.DatabaseFile);
        db.Customer(9001, QStringLiteral("Zoë \"Zo\""), QStringLiteral("Peña, Jr.\r\nthe 2nd"),
                    QStringLiteral("zoe@example.com"), 1, 0, QStringLiteral("555-1"),
                    QStringLiteral("€ 5"));
        db.Customer(9002, QVariant(), QStringLiteral("Łukasz"), QStringLiteral("l@example.com"),
                    QVariant(), 1, QVariant(), QVariant());
        db.Invoices(7, 12, 9001, 1, 11);
        db.Invoices(7, 13, 9002, 1);
    }
    Config().locations = {QStringLiteral("007.012"), QStringLiteral("007.013")};
    DebugMode = true;
    EXPECT_FALSE(Scan());

    const QByteArray expected =
        Header +
        uOVCodePage::ToAnsi("\"007012\",\"Zoë \"\"Zo\"\"\",\"Peña, Jr.  the 2nd\",\"555-1\",\"€ "
                            "5\",\"\",\"zoe@example.com\",\"carl@store.example\",\"6/5/2022\","
                            "\"No\",\"Yes\"\r\n") +
        QByteArray("\"007013\",\"\",\"?ukasz\",\"\",\"\",\"\",\"l@example.com\",\"\","
                   "\"6/5/2022\",\"Yes\",\"No\"\r\n");
    EXPECT_EQ(ArchivedFile(), expected);
    EXPECT_EQ(Uploaded(), expected);
    const QString log = LogText();
    EXPECT_TRUE(log.contains("     output: \"007012\",\"Zoë \"\"Zo\"\"\""));
    EXPECT_TRUE(log.contains("Do_Not_Call.........No"));
    EXPECT_TRUE(log.contains("LocationId02........012"));
}

TEST_F(ScanTest, SkipsRowsWithoutEmailButKeepsABlankOne) {
    {
        TDatabaseEdit db(FEnv.DatabaseFile);
        db.Customer(9101, QStringLiteral("Empty"), QStringLiteral("Mail"), QStringLiteral(""));
        db.Customer(9102, QStringLiteral("Null"), QStringLiteral("Mail"), QVariant());
        db.Customer(9103, QStringLiteral("Blank"), QStringLiteral("Mail"), QStringLiteral(" "));
        db.Invoices(7, 7, 9101, 1);
        db.Invoices(7, 7, 9102, 1);
        db.Invoices(7, 7, 9103, 1);
    }
    EXPECT_FALSE(Scan());
    const QByteArray archived = ArchivedFile();
    EXPECT_EQ(archived.count("\r\n"), 2);
    EXPECT_TRUE(archived.contains("\"Blank\",\"Mail\",\"555-0001\",\"\",\"\",\" \","));
    const QString log = LogText();
    EXPECT_EQ(CountOf(log, " skipped -- email address missing."), 2);
    EXPECT_TRUE(log.contains("Starting read of item counts for 3 recent invoices..."));
    EXPECT_TRUE(log.contains("     Read........3"));
    EXPECT_TRUE(log.contains("     Written.....1"));
    EXPECT_TRUE(log.contains("     Skipped.....2"));
}

TEST_F(ScanTest, UploadsWhenOnlyTheFirstLocationWritesLines) {
    {
        TDatabaseEdit db(FEnv.DatabaseFile);
        db.Customer(9201, QStringLiteral("With"), QStringLiteral("Mail"),
                    QStringLiteral("w@example.com"));
        db.Customer(9202, QStringLiteral("Without"), QStringLiteral("Mail"), QVariant());
        db.Invoices(7, 7, 9201, 10);
        db.Invoices(7, 8, 9202, 4);
    }
    Config().locations = {QStringLiteral("007.007"), QStringLiteral("007.008")};
    EXPECT_FALSE(Scan());
    EXPECT_EQ(ArchivedFile().count("\r\n"), 11);
    EXPECT_EQ(Uploaded(), ArchivedFile());
    EXPECT_NEAR(Config().lastquery, ToDateTime(RunStart), 1e-8);
    const QString log = LogText();
    EXPECT_TRUE(log.contains("     Written.....10"));
    EXPECT_TRUE(log.contains("     Skipped.....4"));
}

TEST_F(ScanTest, NoInvoicesAnywhereArchivesTheHeaderOnly) {
    Config().locations = {QStringLiteral("005.005"), QStringLiteral("006.006")};
    Config().lastquery = ToDateTime(Reference.addDays(-2));
    EXPECT_FALSE(Scan());
    EXPECT_EQ(ArchivedFile(), Header);
    EXPECT_NEAR(Config().lastquery, ToDateTime(Reference.addDays(-2)), 1e-8);
    EXPECT_FALSE(ConfigSaved());
    EXPECT_TRUE(Server().Commands().isEmpty());
    const QString log = LogText();
    EXPECT_TRUE(log.contains("No invoices were found to transmit"));
    EXPECT_EQ(CountOf(log, "     No recent invoices found for that subsidiary and store."), 2);
}

TEST_F(ScanTest, SkipsEmptyItemsAndReadsAnItemWithoutADotAsStore) {
    TDatabaseEdit(FEnv.DatabaseFile).Buyer(9301, QStringLiteral("A"), 2);
    Config().locations = {QStringLiteral("007007"), QString(), QStringLiteral("007.007")};
    EXPECT_FALSE(Scan());
    EXPECT_EQ(ArchivedFile().count("\r\n"), 3);
    const QString log = LogText();
    EXPECT_TRUE(log.contains("Skipping blank location for slot #1"));
    EXPECT_FALSE(log.contains("Skipping blank location for slot #0"));
    EXPECT_TRUE(log.contains("     parsing [007007]"));
    EXPECT_TRUE(log.contains("     Subsidiary..[]"));
    EXPECT_TRUE(log.contains("     Store.......[007007]"));
    EXPECT_EQ(CountOf(log, "     No recent invoices found for that subsidiary and store."), 1);
}

TEST_F(ScanTest, LogsProgressEveryThousandRows) {
    TDatabaseEdit(FEnv.DatabaseFile).Buyer(9401, QStringLiteral("Many"), 2500);
    EXPECT_FALSE(Scan());
    EXPECT_EQ(ArchivedFile().count("\r\n"), 2501);
    EXPECT_EQ(Uploaded(), ArchivedFile());
    const QString log = LogText();
    EXPECT_EQ(CountOf(log, " records written to the batch file..."), 2);
    EXPECT_TRUE(log.contains("| 1000 records written to the batch file..."));
    EXPECT_TRUE(log.contains("| 2000 records written to the batch file..."));
}

TEST_F(ScanTest, NamesTheFileAfterTheUserAndTheRunStart) {
    struct Case {
        const char* User;
        const char* File;
    };
    for (const Case c :
         {Case{"shop.one", "shopone_20220605140309045.csv"}, Case{"", "_20220605140309045.csv"},
          Case{"a b@c#$%'+,=^~!&()-[]_{}", "abc~!&()-[]_{}_20220605140309045.csv"}}) {
        SCOPED_TRACE(c.User);
        Begin();
        Config().ftpusername = QString::fromLatin1(c.User);
        Config().locations = {QStringLiteral("005.005")};
        EXPECT_FALSE(Scan());
        EXPECT_EQ(Archived(), QStringList{QString::fromLatin1(c.File)});
    }
}

TEST_F(ScanTest, FailedUploadsKeepLastQueryAndTheBatchAsUnsent) {
    struct Case {
        const char* Name;
        const char* Mode;
        const char* Password;
        bool Reachable;
        // Its STOR went out: the batch is kept to be sent again as it is.
        bool MayHaveReached;
    };
    const Case cases[] = {
        {"wrong password", "normal", "wrong", true, false},
        {"data connection closed mid-upload", "drop", "secret", true, true},
        {"nothing listening", "normal", "secret", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Begin();
        TDatabaseEdit(FEnv.DatabaseFile).Buyer(9501, QStringLiteral("Big"), 1500);
        TFtpServer server(QStringLiteral("shopone"), QStringLiteral("secret"),
                          QString::fromLatin1(c.Mode));
        ASSERT_TRUE(server.Running());
        Config().ftpserver =
            c.Reachable ? server.Address()
                        : QStringLiteral("127.0.0.1:") + QString::number(TFtpServer::ClosedPort());
        Config().ftppassword = QString::fromLatin1(c.Password);
        Config().lastquery = ToDateTime(Reference.addDays(-7));
        EXPECT_FALSE(Scan());

        EXPECT_TRUE(Archived().isEmpty());
        const QString kept = (c.MayHaveReached ? BatchDir() : UnsentDir()) + BatchName;
        EXPECT_EQ(c.MayHaveReached ? LeftInBatch() : Unsent(), QStringList{BatchName});
        EXPECT_EQ(ReadFileBytes(kept).count("\r\n"), 1501);
        // The record of the upload names the batch only while it may be there.
        EXPECT_EQ(QFileInfo::exists(ExeDir() + "Brevoltconnector.pending"), c.MayHaveReached);
        // Nothing half-sent is left where a receiver takes files up.
        EXPECT_EQ(server.Files(), QStringList());
        EXPECT_NEAR(Config().lastquery, ToDateTime(Reference.addDays(-7)), 1e-8);
        EXPECT_TRUE(ConfigSaved());
        EXPECT_NEAR(SavedLastQuery(), ToDateTime(Reference.addDays(-7)), 2e-8);
        if (QString::fromLatin1(c.Password) == QLatin1String("wrong")) {
            EXPECT_FALSE(server.Commands().contains(QStringLiteral("STOR ") + BatchName));
        }
        const QString log = LogText();
        EXPECT_EQ(CountOf(log, " ERROR   |"), 1) << log.toStdString();
        // A refusal on the way (the 426 of a dropped upload) is an EOVFtpRefused.
        EXPECT_EQ(CountOf(log, "EOVFtpError in TdlgConnectorLogic.TransmitBatch: ") +
                      CountOf(log, "EOVFtpRefused in TdlgConnectorLogic.TransmitBatch: "),
                  1);
    }
}

TEST_F(ScanTest, SkipTransmitPretendsWithoutConnecting) {
    TDatabaseEdit(FEnv.DatabaseFile).Buyer(9601, QStringLiteral("A"), 3);
    platform::SetCommandLine(std::vector<std::string>{"-SkipTransmit"});
    EXPECT_FALSE(Scan());
    EXPECT_TRUE(Server().Commands().isEmpty());
    EXPECT_EQ(Archived(), QStringList{BatchName});
    EXPECT_NEAR(Config().lastquery, ToDateTime(RunStart), 1e-8);
    EXPECT_NEAR(SavedLastQuery(), ToDateTime(RunStart), 2e-8);
    EXPECT_TRUE(LogText().contains("\"SkipTransmit\" turned on; skipping actual transmission"));
}

TEST_F(ScanTest, PurgesArchivesOlderThanThirtyDays) {
    QDir().mkpath(ArchiveDir());
    for (const auto& [name, days] : {std::pair{"old.csv", 31}, std::pair{"young.csv", 29}}) {
        WriteFileBytes(ArchiveDir() + name, "x\r\n");
        QFile f(ArchiveDir() + name);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(RunStart.addDays(-days), QFileDevice::FileModificationTime));
    }
    Engine().ArchiveBatch(QString());
    EXPECT_EQ(Archived(), QStringList{"young.csv"});
}

TEST_F(ScanTest, KeepsTheBatchWhenTheArchiveHoldsItsName) {
    QDir().mkpath(ArchiveDir());
    WriteFileBytes(ArchiveDir() + BatchName, "older\r\n");
    WriteFileBytes(BatchDir() + BatchName, "newer\r\n");
    Engine().ArchiveBatch(BatchDir() + BatchName);
    EXPECT_EQ(ArchivedFile(), QByteArray("older\r\n"));
    EXPECT_EQ(ReadFileBytes(BatchDir() + BatchName), QByteArray("newer\r\n"));
}

TEST_F(ScanTest, BatchFolderNotWritableEndsTheScanBeforeArchiving) {
    // A file where the folder belongs fails even for root.
    WriteFileBytes(ExeDir() + QStringLiteral("Batch"), "in the way");
    EXPECT_TRUE(Scan());
    EXPECT_FALSE(QFileInfo::exists(ArchiveDir()));
    const QString log = LogText();
    EXPECT_TRUE(log.contains("EFCreateError in TdlgConnectorLogic.ScanDatabase while opening "
                             "stream: Cannot create file"));
}

TEST_F(ScanTest, AFailingRowKeepsThePartialLinesButSendsNothing) {
    {
        TDatabaseEdit db(FEnv.DatabaseFile);
        db.Buyer(9701, QStringLiteral("Good"), 2);
        db.Customer(9702, QStringLiteral("Bad"), QStringLiteral("Row"),
                    QStringLiteral("b@example.com"), QStringLiteral("abc"));
        db.Invoices(7, 7, 9702, 1);
        db.Invoices(7, 7, 9701, 2);
        db.Exec(QStringLiteral("update invoice set created_date = ? where cust_sid = 9702"),
                {Reference.addSecs(-3600 - 2).addMSecs(500).toString("yyyy-MM-dd HH:mm:ss.zzz")});
    }
    Config().locations = {QStringLiteral("007.007"), QStringLiteral("001.001")};
    Config().lastquery = ToDateTime(Reference.addDays(-7));
    EXPECT_TRUE(Scan());
    EXPECT_TRUE(Archived().isEmpty());
    EXPECT_EQ(UnsentFile().count("\r\n"), 3);
    EXPECT_TRUE(UnsentFile().contains("\"Good\""));
    EXPECT_TRUE(Server().Commands().isEmpty());
    EXPECT_NEAR(Config().lastquery, ToDateTime(Reference.addDays(-7)), 1e-8);
    EXPECT_FALSE(ConfigSaved());
    const QString log = LogText();
    EXPECT_TRUE(log.contains("EConvertError in TdlgConnectorLogic.ReadDataset at row 3 while "
                             "updating progress: 'abc' is not a valid integer value"))
        << log.toStdString();
    EXPECT_TRUE(log.contains("     Processed: 2; Skipped: 0"));
    // The run keeps one step text: the scan's line names the row loop's step.
    EXPECT_TRUE(log.contains("EConvertError in TdlgConnectorLogic.ScanDatabase while updating "
                             "progress"));
    EXPECT_FALSE(log.contains("     Subsidiary..[001]"));
}

// --- The cursor: each invoice reaches the server exactly once ----------------

// One step of a scenario: both clocks set (seconds after the scenario's
// start, negative before it), the connector's clock put ahead of the
// database's, the machine's time zone changed, a sale made (its
// created_date seconds from the database's clock, as the point of sale
// dates it), or a run (the service's run frame) with the FTP server
// reachable or not.
struct TStep {
    enum TKind { At, Skew, Zone, Sale, Run, RunFailing } Kind;
    qint64 Seconds = 0;
    const char* Name = "";
};
TStep At(qint64 ASeconds) {
    return {TStep::At, ASeconds};
}
TStep Skew(qint64 ASeconds) {
    return {TStep::Skew, ASeconds};
}
TStep Zone(const char* AZone) {
    return {TStep::Zone, 0, AZone};
}
TStep Sale(const char* AName, qint64 ASeconds) {
    return {TStep::Sale, ASeconds, AName};
}
const TStep RunOk{TStep::Run};
const TStep RunFailing{TStep::RunFailing};

class CursorTest : public ScanTest {
protected:
    // A fresh environment at AStart whose "lastquery" is ALastQuery seconds
    // earlier.
    void Begin(const QDateTime& AStart, qint64 ALastQuery = 3600) {
        ScanTest::Begin();
        if (FZone) {
            qputenv("TZ", *FZone);
            tzset();
            FZone.reset();
        }
        Server().SetMode(QStringLiteral("normal"));
        FStart = AStart;
        FSkew = 0;
        FClock.Set(AStart);
        FDatabaseClock.Set(AStart);
        SetDatabaseClock(&FDatabaseClock);
        FSales.clear();
        Config().lastquery = ToDateTime(AStart.addSecs(-ALastQuery));
        Engine();
    }
    void TearDown() override {
        SetDatabaseClock(nullptr);
        if (FZone) {
            qputenv("TZ", *FZone);
            tzset();
        }
        ScanTest::TearDown();
    }

    void Play(const QList<TStep>& ASteps) {
        for (const TStep& step : ASteps) {
            if (step.Kind == TStep::At) {
                FDatabaseClock.Set(FStart.addSecs(step.Seconds));
                FClock.Set(FStart.addSecs(step.Seconds + FSkew));
            } else if (step.Kind == TStep::Skew) {
                FSkew = step.Seconds;
                FClock.Set(FDatabaseClock.Now().addSecs(FSkew));
            } else if (step.Kind == TStep::Zone) {
                SetZone(step.Name);
            } else if (step.Kind == TStep::Sale) {
                const qint64 sid = TDatabaseEdit(FEnv.DatabaseFile)
                                       .Sale(step.Name, FDatabaseClock.Now().addSecs(step.Seconds));
                FSales.insert(step.Name, sid);
            } else {
                RunOnce(step.Kind == TStep::Run);
            }
        }
    }

    // The machine's zone from now on; the suite's own comes back afterwards.
    void SetZone(const char* AZone) {
        if (!FZone)
            FZone = qgetenv("TZ");
        qputenv("TZ", AZone);
        tzset();
    }

    // A run as the service makes it, after the idle tick's load of the file.
    void RunOnce(bool AReachable) {
        Config().ftpserver =
            AReachable ? Server().Address()
                       : QStringLiteral("127.0.0.1:") + QString::number(TFtpServer::ClosedPort());
        SaveConfigKeys({QStringLiteral("ftpserver")});
        bool changed = false;
        ASSERT_TRUE(LoadConfig(changed));
        TdlgConnectorLogic& engine = Engine();
        engine.FNextRun = 0;
        engine.tmProcessTimer();
    }

    // Replaces the line of AKey in the configuration file; removes it
    // without AValue.
    void EditConfigLine(const QString& AKey, const std::optional<QString>& AValue) {
        auto scramble = [](QByteArray ABytes) {
            for (char& b : ABytes)
                b = static_cast<char>(static_cast<unsigned char>(b) ^ ConfigKeyByte);
            return ABytes;
        };
        QStringList lines = QString::fromLatin1(scramble(ReadFileBytes(ConfigFilePath())))
                                .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        lines.removeIf([&](const QString& ALine) { return ALine.startsWith(AKey + '='); });
        if (AValue)
            lines.append(AKey + '=' + *AValue);
        WriteFileBytes(ConfigFilePath(), scramble((lines.join("\r\n") + "\r\n").toLatin1()));
    }

    // The e-mail address of every invoice line a receiver finds: each file
    // stored under a batch name in this test, once, however often it was
    // replaced.
    QStringList Delivered() const {
        QStringList names;
        for (const QString& command : Server().Commands()) {
            const QString name = command.section(QLatin1Char(' '), 1);
            if ((command.startsWith(QStringLiteral("STOR ")) ||
                 command.startsWith(QStringLiteral("RNTO "))) &&
                name.endsWith(QStringLiteral(".csv")) && !names.contains(name))
                names.append(name);
        }
        QStringList addresses;
        for (const QString& name : names) {
            const QList<QByteArray> lines = Server().Stored(name).split('\n');
            for (const QByteArray& line : lines.mid(1))
                if (const QList<QByteArray> values = line.split(','); values.size() > 6)
                    addresses.append(QString::fromLatin1(values[6]).remove('"'));
        }
        addresses.sort();
        return addresses;
    }
    QStringList Addresses(QStringList ANames) const {
        for (QString& name : ANames)
            name += QStringLiteral("@example.com");
        ANames.sort();
        return ANames;
    }

    QString Ledger() const { return ExeDir() + QStringLiteral("Brevoltconnector.sent"); }
    QString Pending() const { return ExeDir() + QStringLiteral("Brevoltconnector.pending"); }
    static int Count(const QStringList& AList, const QString& AItem) {
        return int(AList.count(AItem));
    }

    QDateTime FStart;
    qint64 FSkew = 0;
    TManualClock FDatabaseClock{RunStart};
    std::optional<QByteArray> FZone;
    QMap<QString, qint64> FSales; // name: SID
};

TEST_F(CursorTest, EveryInvoiceReachesTheServerExactlyOnce) {
    const QDateTime summer(QDate(2022, 6, 5), QTime(14, 3, 9));
    // 01:30 EDT on the night daylight saving ends: 01:00 to 02:00 comes twice.
    const QDateTime fallBack(QDate(2024, 11, 3), QTime(5, 30), Qt::UTC);
    // The mornings daylight saving starts: a look-back of two hours from
    // 04:45 EDT, or from 05:45 EEST, lands in the hour that does not exist.
    const QDateTime springNewYork(QDate(2026, 3, 8), QTime(8, 30), Qt::UTC);
    const QDateTime springHelsinki(QDate(2026, 3, 29), QTime(2, 30), Qt::UTC);
    const QDateTime utcAfternoon(QDate(2022, 6, 5), QTime(15, 0), Qt::UTC);
    struct TScenario {
        const char* Name;
        QDateTime Start;
        QList<TStep> Steps;
        // Only in this zone (the suite runs in several); any when empty.
        const char* Zone = nullptr;
        qint64 LastQuery = 3600;
    };
    const TScenario scenarios[] = {
        {"an invoice dated 2 s before the previous scan's start, committed after it",
         summer,
         {Sale("early", -60), RunOk, Sale("late", -2), At(60), Sale("next", -1), RunOk, At(120),
          RunOk}},
        {"the point of sale's clock 10 minutes behind",
         summer,
         {Sale("before", -630), RunOk, At(20), Sale("behind", -600), At(60), RunOk, At(120),
          Sale("after", -600), RunOk}},
        {"invoices replicated 90 minutes after their created_date, runs every 30 minutes",
         summer,
         {Sale("s0", -60), RunOk, At(1800), Sale("s30", -60), RunOk, At(3600), Sale("s60", -60),
          RunOk, At(5400), Sale("r1", -5400), Sale("r2", -5340), Sale("r3", -5280),
          Sale("s90", -60), RunOk, At(7200), RunOk}},
        {"the repeated hour when daylight saving ends",
         fallBack,
         {At(600), Sale("edt0140", -60), RunOk, At(1500), Sale("edt0155", -60), RunOk, At(2100),
          Sale("est0105", -60), RunOk, At(3000), Sale("est0120", -60), RunOk, At(6000),
          Sale("est0210", -60), RunOk},
         "America/New_York"},
        {"the morning daylight saving starts in New York",
         springNewYork,
         {Sale("ny0429", -60), RunOk, At(900), Sale("ny0444", -60), RunOk, At(86400),
          Sale("nyNextDay", -60), RunOk},
         "America/New_York",
         7200},
        {"the morning daylight saving starts in Helsinki",
         springHelsinki,
         {Sale("fi0529", -60), RunOk, At(900), Sale("fi0544", -60), RunOk, At(86400),
          Sale("fiNextDay", -60), RunOk},
         "Europe/Helsinki",
         7200},
        {"the clock set back 40 minutes",
         summer,
         {Sale("a", -60), RunOk, At(-2400), Sale("b", -60), RunOk, At(-2340), Sale("c", -30), RunOk,
          At(300), Sale("d", -60), RunOk}},
        {"the connector's clock a day ahead for one run",
         summer,
         {Sale("a", -60), RunOk, Skew(86400), At(60), Sale("b", -30), RunOk, Skew(0), At(120),
          Sale("c", -30), RunOk, At(180), Sale("d", -30), RunOk}},
        {"the machine's time zone corrected from UTC to New York between runs",
         utcAfternoon,
         {Zone("UTC"), Sale("utc1", -60), RunOk, At(60), Sale("utc2", -30),
          Zone("America/New_York"), At(120), Sale("ny1", -60), RunOk, At(3600), Sale("ny2", -60),
          RunOk, At(4 * 3600), Sale("ny3", -60), RunOk},
         nullptr,
         2 * 86400},
    };
    for (const TScenario& scenario : scenarios) {
        if (scenario.Zone && QTimeZone::systemTimeZoneId() != scenario.Zone)
            continue;
#ifdef _WIN32
        // A Windows process takes the system's zone; TZ cannot move it.
        if (std::any_of(scenario.Steps.begin(), scenario.Steps.end(),
                        [](const TStep& AStep) { return AStep.Kind == TStep::Zone; })) {
            std::cout << "skipped on Windows (the zone is the system's): " << scenario.Name << '\n';
            continue;
        }
#endif
        SCOPED_TRACE(scenario.Name);
        Begin(scenario.Start, scenario.LastQuery);
        Play(scenario.Steps);
        EXPECT_EQ(Delivered(), Addresses(FSales.keys()))
            << (getenv("DUMPLOG") ? LogText().toStdString() : "");
        EXPECT_EQ(CountOf(LogText(), " ERROR   |"), 0) << LogText().toStdString();
    }
}

// Another process's run holds the service directory: this one waits, then
// skips and says who holds it; once free, the run sends as usual.
TEST_F(CursorTest, OneRunAtATimePerServiceDirectory) {
    Begin(Reference);
    Play({Sale("a", -60)});
    {
        const platform::TFileLockAttempt other = platform::TryLockFile(
            QString(ExeDir() + QStringLiteral("Brevoltconnector.lock")).toStdString(),
            "BrevoltRPro9Service, process 4242 (-runonce)");
        ASSERT_TRUE(other.Lock);
        Play({RunOk});
        EXPECT_TRUE(Delivered().isEmpty());
        const QString log = LogText();
        EXPECT_TRUE(log.contains(" WARNING |"));
        EXPECT_TRUE(log.contains(
            "| Another process is running a scan in this service directory (BrevoltRPro9Service, "
            "process 4242 (-runonce)); skipping this run"))
            << log.toStdString();
    }
    Play({At(60), RunOk});
    EXPECT_EQ(Delivered(), Addresses({"a"}));
}

// A customer with two addresses numbered 1, a cashier id on two employee
// records and a store listed twice each return an invoice more than once:
// the batch holds it once.
TEST_F(CursorTest, EachInvoiceOncePerBatchWhateverTheJoinsReturn) {
    Begin(Reference);
    Play({Sale("twoaddresses", -60), Sale("twocashiers", -50)});
    {
        TDatabaseEdit db(FEnv.DatabaseFile);
        // The tables as a copy without their keys, as restored data may be.
        auto withoutKey = [&db](const QString& ATable, const QString& AColumns) {
            db.Exec("create table copy (" + AColumns + ")");
            db.Exec("insert into copy select * from " + ATable);
            db.Exec("drop table " + ATable);
            db.Exec("alter table copy rename to " + ATable);
        };
        withoutKey("cust_address", "cust_sid integer, addr_no integer, phone1 text, phone2 text");
        withoutKey("employee", "empl_id integer, cust_sid integer");
        db.Exec(QStringLiteral("insert into cust_address select cust_sid, 1, '555-9999', null "
                               "from invoice where invc_sid = ?"),
                {FSales["twoaddresses"]});
        db.Exec(QStringLiteral("update invoice set cashier_id = 77 where invc_sid = ?"),
                {FSales["twocashiers"]});
        db.Exec(QStringLiteral("insert into employee values (77, 2001)"));
        db.Exec(QStringLiteral("insert into employee values (77, 2002)"));
    }
    // Hand-made lists may hold a store twice, also written another way.
    Config().locations = {QStringLiteral("007.007"), QStringLiteral("7.7"),
                          QStringLiteral("007.007")};
    SaveConfigKeys({QStringLiteral("locations")});
    Play({RunOk});
    EXPECT_EQ(Delivered(), Addresses({"twoaddresses", "twocashiers"}));
    const QString log = LogText();
    EXPECT_TRUE(log.contains("     Repeated....2 (rows of invoices already written)"))
        << log.toStdString();
    EXPECT_EQ(CountOf(log, ": it is listed before"), 2);
}

// A ledger that was deleted, cut at a line end or changed is told, at level 0
// and by mail, and the run reads on from "lastquery" without the look-back:
// nothing goes out twice (a late invoice from before it is the price, said
// in the warning).
TEST_F(CursorTest, ADamagedOrMissingLedgerIsToldAndSendsNothingTwice) {
    struct TCase {
        const char* Name;
        std::function<void(const QString&)> Damage;
        const char* Told;
    };
    const TCase cases[] = {
        {"deleted", [](const QString& APath) { QFile::remove(APath); }, "\" is missing"},
        {"cut at a line end",
         [](const QString& APath) {
             QList<QByteArray> lines = ReadFileBytes(APath).split('\n');
             lines.resize(lines.size() - 3); // the last sent line and the end line
             WriteFileBytes(APath, lines.join('\n') + '\n');
         },
         "\" ends before its last line: it was cut short"},
        {"changed",
         [](const QString& APath) {
             QByteArray bytes = ReadFileBytes(APath);
             const qsizetype at = bytes.indexOf("sent=") + 5;
             bytes[at] = bytes[at] == '9' ? '8' : '9';
             WriteFileBytes(APath, bytes);
         },
         "\" was changed after it was written"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Begin(Reference);
        Play({Sale("a", -60), Sale("b", -50), RunOk, At(60)});
        c.Damage(Ledger());
        AppLogger->SetLogLevel(0);
        SaveConfigKeys({QStringLiteral("loglevel")});
        Play({Sale("late", -120), Sale("c", -30), RunOk, At(120), Sale("d", -30), RunOk});

        EXPECT_EQ(Delivered(), Addresses({"a", "b", "c", "d"}));
        const QString log = LogText();
        EXPECT_TRUE(log.contains(" WARNING |")) << log.toStdString();
        EXPECT_TRUE(log.contains(QStringLiteral("The ledger of sent invoices \"") +
                                 QDir::toNativeSeparators(Ledger()) + QString::fromLatin1(c.Told) +
                                 "; reading the invoices created after \"lastquery\" ("))
            << log.toStdString();
        EXPECT_EQ(QFileInfo::exists(Ledger() + ".damaged"), c.Name != std::string("deleted"));
    }
}

TEST_F(CursorTest, LastQueryMovedByHandSkipsForwardLoudlyAndSendsAgainBack) {
    auto utc = [](const QDateTime& ATime) {
        return ATime.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    };
    Begin(Reference);
    Play({Sale("a", -60), RunOk, At(60), Sale("skipped", -30)});
    EditConfigLine(QStringLiteral("lastquery"), utc(Reference.addSecs(60)));
    Play({At(120), Sale("b", -30), RunOk});
    EXPECT_EQ(Delivered(), Addresses({"a", "b"}));
    EXPECT_TRUE(LogText().contains(QStringLiteral(" WARNING |")));
    EXPECT_TRUE(LogText().contains(QStringLiteral("\"lastquery\" was moved from ") +
                                   utc(Reference) + " to " + utc(Reference.addSecs(60)) +
                                   " (UTC): invoices created before "))
        << LogText().toStdString();

    EditConfigLine(QStringLiteral("lastquery"), utc(Reference.addSecs(-3600)));
    Play({At(180), RunOk});
    EXPECT_EQ(Delivered(), Addresses({"a", "a", "b", "b", "skipped"}));
    EXPECT_TRUE(LogText().contains(" are sent again"));
}

TEST_F(CursorTest, ALookBackOutOfRangeIsSaidWithWhatIsUsed) {
    Begin(Reference);
    for (const auto& [value, used] : {std::pair{"abc", 120}, std::pair{"-5", 120},
                                      std::pair{"20000", 10080}, std::pair{" 30 ", 30}}) {
        SCOPED_TRACE(value);
        EditConfigLine(QStringLiteral("lookbackminutes"), QString::fromLatin1(value));
        bool changed = false;
        ASSERT_TRUE(LoadConfig(changed));
        ASSERT_TRUE(LoadConfig(changed));
        EXPECT_EQ(Config().lookbackminutes, used);
        const QString warning = QStringLiteral("\"lookbackminutes\" is \"") +
                                QString::fromLatin1(value).trimmed() +
                                "\", which is not a whole number of minutes from 0 to 10080; "
                                "using " +
                                QString::number(used);
        // Once, not at every load.
        EXPECT_EQ(CountOf(LogText(), warning), used == 30 ? 0 : 1) << LogText().toStdString();
    }
}

// Before anything goes up, the run records what it sends; where that cannot
// be written, nothing is uploaded, and the invoices go out once it can.
TEST_F(CursorTest, NothingIsUploadedWhenTheUploadCannotBeRecordedFirst) {
    Begin(Reference);
    ASSERT_TRUE(QDir().mkpath(Pending())); // in the way, even for root
    Play({Sale("a", -60), RunOk});
    EXPECT_TRUE(Delivered().isEmpty());
    EXPECT_FALSE(Server().Commands().join('\n').contains("STOR"));
    const QString log = LogText();
    EXPECT_TRUE(log.contains(" ERROR   |")) << log.toStdString();
    EXPECT_TRUE(log.contains("The batch file is not uploaded, because what it holds cannot be "
                             "recorded first: "));
    EXPECT_NEAR(SavedLastQuery(), ToDateTime(Reference.addSecs(-3600)), 2e-8);

    ASSERT_TRUE(QDir(Pending()).removeRecursively());
    Play({At(60), Sale("b", -30), RunOk, At(120), RunOk});
    EXPECT_EQ(Delivered(), Addresses({"a", "b"}));
}

// The server may hold a batch whose upload failed after its STOR (cut off,
// its "226" after the time-out) or whose ledger could not be saved after it
// was sent (as when the process dies right after the "226"): the next run
// sends that batch again under its own name, with its own bytes, before it
// makes a new one, so the receiver finds each invoice once.
TEST_F(CursorTest, ABatchThatMayHaveReachedTheServerIsSentAgainUnderItsOwnName) {
    struct TCase {
        const char* Name;
        const char* Mode;
        bool LedgerBlocked;
    };
    const TCase cases[] = {
        {"cut off mid-upload", "drop", false},
        {"the 226 after the time-out", "late226:3", false},
        {"sent, but the ledger cannot be saved", "normal", true},
    };
    const QString first = QStringLiteral("shopone_20220605140309000.csv");
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Begin(Reference);
        Engine().IdFTP1->ReadTimeout = 1000;
        {
            TDatabaseEdit db(FEnv.DatabaseFile);
            for (int i = 0; i < 1500; ++i) {
                const QString name = QStringLiteral("big%1").arg(i);
                FSales.insert(name, db.Sale(name, FDatabaseClock.Now().addSecs(-60)));
            }
        }
        if (c.LedgerBlocked) {
            ASSERT_TRUE(QDir().mkpath(Ledger()));
        }
        Server().SetMode(QString::fromLatin1(c.Mode));
        Play({RunOk});
        EXPECT_TRUE(QFileInfo::exists(Pending()));
        EXPECT_EQ(LeftInBatch(), QStringList{first});
        Server().SetMode(QStringLiteral("normal"));
        if (c.LedgerBlocked) {
            ASSERT_TRUE(QDir(Ledger()).removeRecursively());
        }
        Play({At(60), Sale("after", -30), RunOk});

        EXPECT_EQ(Delivered(), Addresses(FSales.keys()));
        EXPECT_FALSE(QFileInfo::exists(Pending()));
        EXPECT_EQ(Archived(), (QStringList{first, "shopone_20220605140409000.csv"}));
        EXPECT_EQ(Count(Server().Commands(), "RNTO " + first), c.LedgerBlocked ? 2 : 1);
        EXPECT_FALSE(Server().Files().contains(first + ".part"));
    }
}

TEST_F(CursorTest, AServerThatRefusesRenamingGetsTheBatchUnderItsOwnName) {
    Begin(Reference);
    Server().SetMode(QStringLiteral("norename"));
    Play({Sale("a", -60), RunOk, At(60), Sale("b", -30), RunOk});
    EXPECT_EQ(Delivered(), Addresses({"a", "b"}));
    const QString log = LogText();
    EXPECT_EQ(CountOf(log, "The FTP server refused to rename an upload (550 "), 1)
        << log.toStdString();
    for (const QString& name : Server().Files())
        EXPECT_FALSE(name.endsWith(".part")) << name.toStdString();
}

TEST_F(CursorTest, AFailedUploadKeepsOnlyTheNewestBatchUnsentUntilOneIsSent) {
    Begin(Reference);
    Play({Sale("first", -60), RunFailing});
    EXPECT_EQ(Unsent(), QStringList{"shopone_20220605140309000.csv"});
    Play({At(60), Sale("second", -60), RunFailing});
    const QString newest = QStringLiteral("shopone_20220605140409000.csv");
    EXPECT_EQ(Unsent(), QStringList{newest});
    EXPECT_TRUE(UnsentFile(newest).contains("first@example.com"));
    EXPECT_TRUE(UnsentFile(newest).contains("second@example.com"));
    EXPECT_TRUE(Archived().isEmpty());

    Play({At(120), Sale("third", -60), RunOk});
    const QString sent = QStringLiteral("shopone_20220605140509000.csv");
    EXPECT_TRUE(Unsent().isEmpty());
    EXPECT_EQ(Archived(), QStringList{sent});
    EXPECT_EQ(ArchivedFile(sent), Uploaded(sent));
    EXPECT_EQ(Delivered(), Addresses({"first", "second", "third"}));
}

TEST_F(CursorTest, ADamagedOrMissingLastQueryTakesTheLedgersCursorAndSaysSo) {
    const QString cursor = Reference.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    struct TCase {
        const char* Name;
        std::optional<QString> Value;
        QString Found;
    };
    const TCase cases[] = {
        {"cut short", QStringLiteral("2022-06-0"),
         QStringLiteral("\"lastquery\" in the configuration cannot be read (\"2022-06-0\")")},
        {"missing", std::nullopt,
         QStringLiteral("\"lastquery\" is missing from the configuration")},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Begin(Reference);
        // Sent, then two days without a good upload.
        Play({Sale("sent", -60), RunOk, At(86400), Sale("day1", -60), RunFailing, At(2 * 86400),
              Sale("day2", -60), RunFailing});
        EditConfigLine(QStringLiteral("lastquery"), c.Value);
        AppLogger->SetLogLevel(0);
        SaveConfigKeys({QStringLiteral("loglevel")});
        Play({At(3 * 86400), Sale("day3", -60), RunOk});

        EXPECT_EQ(Delivered(), Addresses({"sent", "day1", "day2", "day3"}));
        const QString log = LogText();
        EXPECT_TRUE(log.contains(c.Found +
                                 QStringLiteral("; using the cursor of the ledger of sent "
                                                "invoices instead: ") +
                                 cursor + QStringLiteral(" (UTC)")))
            << log.toStdString();
    }
}

TEST_F(CursorTest, TheLookBackBoundsTheQueryAndTheLedgerKeepsOnlyItsWindow) {
    Begin(Reference);
    EditConfigLine(QStringLiteral("lookbackminutes"), QStringLiteral("30"));
    Play({Sale("s0", -60), RunOk, At(1200), Sale("s20", -60), RunOk, At(2400), Sale("s40", -60),
          RunOk});
    // Turning up late: 25 and 35 minutes before the newest invoice sent.
    Play({Sale("inside", -25 * 60), Sale("outside", -35 * 60)});
#ifndef _WIN32
    ASSERT_EQ(::chmod(QFile::encodeName(Ledger()).constData(), 0640), 0);
#endif
    Play({At(3600), Sale("s60", -60), RunOk});

    EXPECT_EQ(Delivered(), Addresses({"s0", "s20", "s40", "inside", "s60"}));
#ifndef _WIN32
    // Replaced by a new file, which keeps the old one's (POSIX) mode.
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(Ledger()).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
#endif
    auto text = [](const QDateTime& ATime) {
        return ATime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    };
    const QDateTime run = Reference.addSecs(3600);
    QString expected = "version=2\r\ncursor=" + text(run.toUTC()) +
                       "\r\nprevious=" + text(Reference.addSecs(2400).toUTC()) +
                       "\r\ndbnow=" + text(run) + "\r\nlocation=007.007 " + text(run.addSecs(-60)) +
                       ' ' + text(Reference.addSecs(-3600)) + "\r\n";
    for (const auto& [name, created] :
         {std::pair{"s0", -60}, std::pair{"inside", 900}, std::pair{"s20", 1140},
          std::pair{"s40", 2340}, std::pair{"s60", 3540}})
        expected += "sent=" + QString::number(FSales[name]) + ' ' +
                    text(Reference.addSecs(created)) + " 007.007\r\n";
    const QByteArray digest =
        QCryptographicHash::hash(expected.toLatin1(), QCryptographicHash::Md5).toHex().left(16);
    expected += "end=5 " + QString::fromLatin1(digest) + "\r\n";
    EXPECT_EQ(QString::fromLatin1(ReadFileBytes(Ledger())), expected);

    // A day and the look-back later, only what the window holds is kept.
    Play({At(3600 + 86400 + 1900), Sale("later", -60), RunOk});
    const QByteArray ledger = ReadFileBytes(Ledger());
    EXPECT_EQ(ledger.count("\r\nsent="), 1);
    EXPECT_TRUE(ledger.contains(QByteArray("sent=" + QByteArray::number(FSales["later"]) + ' ')));
}

} // namespace

// Batches hold names, e-mails and phones: under the usual umask nothing is
// left for others, neither on the archived or unsent file nor on its folder;
// a batch folder an administrator made setgid keeps its group for them.
TEST_F(ScanTest, BatchFilesAndFoldersAreForOwnerAndGroupOnly) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX file modes; on Windows the folder's access list decides";
#else
    for (const bool uploaded : {true, false}) {
        SCOPED_TRACE(uploaded ? "archived" : "unsent");
        Begin();
        QDir().mkpath(BatchDir());
        ASSERT_EQ(::chmod(QFile::encodeName(BatchDir()).constData(), 02770), 0);
        TDatabaseEdit(FEnv.DatabaseFile).Buyer(9501, QStringLiteral("Big"), 3);
        Config().locations = {QStringLiteral("001.001")};
        if (!uploaded)
            Config().ftppassword = QStringLiteral("wrong");
        const mode_t old = ::umask(022);
        EXPECT_FALSE(Scan());
        ::umask(old);
        const QString folder = uploaded ? ArchiveDir() : UnsentDir();
        ASSERT_EQ(QDir(folder).entryList(QDir::Files), QStringList{BatchName});
        for (const QString& path : QStringList{folder + BatchName, folder, BatchDir()}) {
            SCOPED_TRACE(path.toStdString());
            struct stat st {};
            ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
            EXPECT_EQ(st.st_mode & S_IRWXO, 0u);
            EXPECT_EQ(st.st_mode & (S_IRGRP | S_IRUSR | S_IWUSR),
                      mode_t(S_IRGRP | S_IRUSR | S_IWUSR));
            if (S_ISDIR(st.st_mode)) {
                EXPECT_TRUE(st.st_mode & S_ISGID);
            }
        }
    }
#endif
}
