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

TEST_F(ScanTest, FailedUploadsKeepLastQueryAndTheBatchAsUnsent) {
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

        EXPECT_TRUE(Archived().isEmpty());
        EXPECT_EQ(Unsent(), QStringList{BatchName});
        EXPECT_EQ(UnsentFile().count("\r\n"), 1501);
        EXPECT_FALSE(server.HasStored(BatchName) &&
                     WithLfLineEnds(server.Stored(BatchName)) == WithLfLineEnds(UnsentFile()));
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

// One step of a scenario: the connector's clock set (seconds after the
// scenario's start, negative before it), a sale made (its created_date
// seconds from the connector's clock, as the point of sale dates it), or a
// run with the FTP server reachable or not.
struct TStep {
    enum TKind { At, Sale, Run, RunFailing } Kind;
    qint64 Seconds = 0;
    const char* Name = "";
};
TStep At(qint64 ASeconds) {
    return {TStep::At, ASeconds};
}
TStep Sale(const char* AName, qint64 ASeconds) {
    return {TStep::Sale, ASeconds, AName};
}
const TStep RunOk{TStep::Run};
const TStep RunFailing{TStep::RunFailing};

class CursorTest : public ScanTest {
protected:
    // A fresh environment at AStart whose "lastquery" is an hour earlier.
    void Begin(const QDateTime& AStart) {
        ScanTest::Begin();
        FStart = AStart;
        FClock.Set(AStart);
        FSales.clear();
        Config().lastquery = ToDateTime(AStart.addSecs(-3600));
        Engine();
    }

    void Play(const QList<TStep>& ASteps) {
        for (const TStep& step : ASteps) {
            if (step.Kind == TStep::At) {
                FClock.Set(FStart.addSecs(step.Seconds));
            } else if (step.Kind == TStep::Sale) {
                const qint64 sid = TDatabaseEdit(FEnv.DatabaseFile)
                                       .Sale(step.Name, FClock.Now().addSecs(step.Seconds));
                FSales.insert(step.Name, sid);
            } else {
                RunOnce(step.Kind == TStep::Run);
            }
        }
    }

    // A run as the service makes it, after the idle tick's load of the file.
    void RunOnce(bool AReachable) {
        Config().ftpserver =
            AReachable ? Server().Address()
                       : QStringLiteral("127.0.0.1:") + QString::number(TFtpServer::ClosedPort());
        SaveConfigKeys({QStringLiteral("ftpserver")});
        bool changed = false;
        ASSERT_TRUE(LoadConfig(changed));
        EXPECT_FALSE(Scan());
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

    // The e-mail address of every invoice line uploaded, over all uploads.
    QStringList Delivered() const {
        QStringList addresses;
        for (const QString& command : Server().Commands()) {
            if (!command.startsWith(QStringLiteral("STOR ")))
                continue;
            const QList<QByteArray> lines = Server().Received(command.mid(5)).split('\n');
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

    QDateTime FStart;
    QMap<QString, qint64> FSales; // name: SID
};

TEST_F(CursorTest, EveryInvoiceReachesTheServerExactlyOnce) {
    const QDateTime summer(QDate(2022, 6, 5), QTime(14, 3, 9));
    // 01:30 EDT on the night daylight saving ends: 01:00 to 02:00 comes twice
    // (the suite's own run is in New York; its runs in other zones skip it).
    const QDateTime fallBack(QDate(2024, 11, 3), QTime(5, 30), Qt::UTC);
    const bool newYork = QTimeZone::systemTimeZoneId() == "America/New_York";
    struct TScenario {
        const char* Name;
        QDateTime Start;
        QList<TStep> Steps;
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
          Sale("est0210", -60), RunOk}},
        {"the clock set back 40 minutes",
         summer,
         {Sale("a", -60), RunOk, At(-2400), Sale("b", -60), RunOk, At(-2340), Sale("c", -30), RunOk,
          At(300), Sale("d", -60), RunOk}},
    };
    for (const TScenario& scenario : scenarios) {
        if (scenario.Start == fallBack && !newYork)
            continue;
        SCOPED_TRACE(scenario.Name);
        Begin(scenario.Start);
        Play(scenario.Steps);
        EXPECT_EQ(Delivered(), Addresses(FSales.keys()));
    }
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
    EXPECT_EQ(ArchivedFile(sent), Server().Received(sent));
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
    // Turning up late: 25 and 35 minutes before the last run's start.
    Play({Sale("inside", -25 * 60), Sale("outside", -35 * 60)});
    const QString ledger = ExeDir() + QStringLiteral("Brevoltconnector.sent");
    ASSERT_EQ(::chmod(QFile::encodeName(ledger).constData(), 0640), 0);
    Play({At(3600), Sale("s60", -60), RunOk});

    EXPECT_EQ(Delivered(), Addresses({"s0", "s20", "s40", "inside", "s60"}));
    // Replaced by a new file, which keeps the old one's mode.
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(ledger).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    auto text = [](const QDateTime& ATime) {
        return ATime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    };
    const QDateTime run = Reference.addSecs(3600);
    EXPECT_EQ(
        QString::fromLatin1(ReadFileBytes(ledger)),
        "cursor=" + text(run.toUTC()) + "\r\nprevious=" + text(Reference.addSecs(2400).toUTC()) +
            "\r\nfrom=" + text(run.addSecs(-1800)) + "\r\nsent=" + QString::number(FSales["s40"]) +
            ' ' + text(Reference.addSecs(2340)) + "\r\nsent=" + QString::number(FSales["s60"]) +
            ' ' + text(run.addSecs(-60)) + "\r\n");
}

} // namespace

// Batches hold names, e-mails and phones: under the usual umask nothing is
// left for others, neither on the archived or unsent file nor on its folder;
// a batch folder an administrator made setgid keeps its group for them.
TEST_F(ScanTest, BatchFilesAndFoldersAreForOwnerAndGroupOnly) {
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
}
