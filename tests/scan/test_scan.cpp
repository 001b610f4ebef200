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
#include "platform/Process.h"
#include "service/dBrevoltRPro9ConnectorBatch.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "tests/support/FtpServer.h"
#include "tests/support/SampleEnvironment.h"
#include "tests/support/TestAppLogger.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <optional>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

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
        ExeDir() = FEnv.ServiceDirectory;
        uOVLogging::LogDir() = ExeDir() + QStringLiteral("logs/");
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
        SetClock(nullptr);
        platform::SetCommandLine(std::vector<std::string>{});
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

    static int CountOf(const QString& AText, const QString& APart) {
        return int(AText.count(APart));
    }

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
    EXPECT_EQ(Server().Received(BatchName), archived);
    EXPECT_EQ(WithLfLineEnds(Server().Stored(BatchName)), WithLfLineEnds(archived));
    EXPECT_TRUE(Server().Commands().contains(QStringLiteral("USER shopone")));

    const TDateTime start = ToDateTime(RunStart);
    EXPECT_NEAR(Config().lastquery, start, 1e-8);
    EXPECT_TRUE(ConfigSaved());
    EXPECT_NEAR(SavedLastQuery(), start, 2e-8);

    const QString log = LogText();
    EXPECT_TRUE(log.contains("Creating output stream on \"" + BatchDir() + BatchName + "\"..."));
    EXPECT_TRUE(log.contains("Starting transmission of batch file."));
    EXPECT_TRUE(log.contains("Updating configuration with last transmission timestamp."));
    EXPECT_TRUE(log.contains("     Subsidiary..[001]"));
    EXPECT_EQ(CountOf(log, " ERROR   |"), 0) << log.toStdString();
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
    EXPECT_EQ(Server().Received(BatchName), expected);
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
    EXPECT_EQ(Server().Received(BatchName), ArchivedFile());
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
    EXPECT_EQ(Server().Received(BatchName), ArchivedFile());
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

TEST_F(ScanTest, FailedUploadsKeepLastQueryAndArchiveTheFile) {
    struct Case {
        const char* Name;
        const char* Mode;
        const char* Password;
        bool Reachable;
    };
    const Case cases[] = {
        {"wrong password", "normal", "wrong", true},
        {"data connection closed mid-upload", "drop", "secret", true},
        {"nothing listening", "normal", "secret", false},
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

        EXPECT_EQ(Archived(), QStringList{BatchName});
        EXPECT_EQ(ArchivedFile().count("\r\n"), 1501);
        EXPECT_FALSE(server.HasStored(BatchName) &&
                     WithLfLineEnds(server.Stored(BatchName)) == WithLfLineEnds(ArchivedFile()));
        EXPECT_NEAR(Config().lastquery, ToDateTime(Reference.addDays(-7)), 1e-8);
        EXPECT_TRUE(ConfigSaved());
        EXPECT_NEAR(SavedLastQuery(), ToDateTime(Reference.addDays(-7)), 2e-8);
        if (QString::fromLatin1(c.Password) == QLatin1String("wrong")) {
            EXPECT_FALSE(server.Commands().contains(QStringLiteral("STOR ") + BatchName));
        }
        const QString log = LogText();
        EXPECT_EQ(CountOf(log, " ERROR   |"), 1) << log.toStdString();
        EXPECT_EQ(CountOf(log, "EOVFtpError in TdlgConnectorLogic.TransmitBatch: "), 1);
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
    EXPECT_EQ(ArchivedFile().count("\r\n"), 3);
    EXPECT_TRUE(ArchivedFile().contains("\"Good\""));
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

} // namespace
