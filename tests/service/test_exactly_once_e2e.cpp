// Every invoice reaches the receiver once, end to end: the built service
// program as -runonce child processes on one service directory, the sample
// store and a real FTP server that misbehaves on purpose (an upload that
// hangs, a final reply that comes too late, a refused rename), a process
// killed in the middle of its upload, two processes at once, and the
// service's own files unwritable, cut, changed or gone. What counts is what
// a receiver sees: the batch files on the server under their own names.
#include "tests/service/ServiceProcess.h"
#include "tests/support/FtpServer.h"

#include <QDir>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <vector>

using namespace testsupport;
using namespace servicetest;

namespace {

const QString PendingFile = QStringLiteral("Brevoltconnector.pending");
const QString LedgerFile = QStringLiteral("Brevoltconnector.sent");
const QString ResentNotice = QStringLiteral("\" again under its own name: an earlier upload of it "
                                            "may have reached the server");

// The values of one batch line: quoted, "" inside a value, comma between.
QStringList BatchValues(const QByteArray& ALine) {
    QStringList values;
    QString value;
    bool quoted = false;
    for (qsizetype i = 0; i < ALine.size(); ++i) {
        const char c = ALine.at(i);
        if (quoted && c == '"' && i + 1 < ALine.size() && ALine.at(i + 1) == '"') {
            value += QLatin1Char('"');
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            values.append(value);
            value.clear();
        } else if (c != '\r') {
            value += QLatin1Char(c);
        }
    }
    values.append(value);
    return values;
}

// An invoice as a receiver tells it apart: e-mail and SalesDate (m/d/yyyy).
QString InvoiceKey(const QString& AEmail, const QDate& ADate) {
    return AEmail + QLatin1Char(' ') +
           QStringLiteral("%1/%2/%3").arg(ADate.month()).arg(ADate.day()).arg(ADate.year());
}

class ExactlyOnceTest : public TServiceProcessTest {
protected:
    void SetUp() override {
        TServiceProcessTest::SetUp();
        ASSERT_TRUE(FFtp.Running());
        WriteStoreConfig();
        // The invoices of store 001.001 after "lastquery" whose customer has
        // an e-mail address (tools/uBrevoltSampleDatabase.h): 1, 2, 3 and 5
        // of the reference day, 11 and 12 of the day before.
        const QDate day = FSample.Now().date();
        const QDate before = day.addDays(-1);
        FExpected = {InvoiceKey("jose.mueller@example.com", day),
                     InvoiceKey("zoe.pena@example.com", day),
                     InvoiceKey("anne.obrien@example.com", day),
                     InvoiceKey("peter.schmidt@example.com", day),
                     InvoiceKey("jose.mueller@example.com", before),
                     InvoiceKey("zoe.pena@example.com", before)};
        // And one of a minute ago, which every later run reads again within
        // its look-back: only the ledger keeps it from going out twice.
        AddSale("recent", QDateTime::currentDateTime().addSecs(-60));
    }

    void TearDown() override {
        for (const auto& run : FRuns)
            if (run->state() != QProcess::NotRunning) {
                run->kill();
                run->waitForFinished(5000);
            }
        TServiceProcessTest::TearDown();
    }

    void WriteStoreConfig(int ALogLevel = 9) {
        WriteConfig([&](TConnectorConfig& c) {
            c.locations = QStringList{"001.001"};
            c.ftpserver = FFtp.Address();
            c.ftpusername = QStringLiteral("shopone");
            c.ftppassword = QStringLiteral("secret");
            uOVLogging::SetDefaultLogLevel(ALogLevel);
        });
    }

    // Starts "-runonce" in a process of its own; AReadTimeoutMs is the FTP
    // client's wait for a reply (0: its default).
    QProcess& Launch(int AReadTimeoutMs = 0) {
        QProcessEnvironment environment = FEnvironment;
        environment.remove("BREVOLT_FTP_READ_TIMEOUT_MS");
        if (AReadTimeoutMs > 0)
            environment.insert("BREVOLT_FTP_READ_TIMEOUT_MS", QString::number(AReadTimeoutMs));
        FRuns.push_back(std::make_unique<QProcess>());
        QProcess& run = *FRuns.back();
        run.setProgram(Exe());
        run.setArguments({"-runonce"});
        run.setProcessEnvironment(environment);
        run.start();
        EXPECT_TRUE(run.waitForStarted(5000));
        return run;
    }

    // The exit code once ARun ended; -1 when it crashed or still runs after
    // AMilliseconds.
    static int Finished(QProcess& ARun, int AMilliseconds = 30000 + ServiceStartMs) {
        if (!ARun.waitForFinished(AMilliseconds))
            return -1;
        return ARun.exitStatus() == QProcess::NormalExit ? ARun.exitCode() : -1;
    }

    int RunOnce(int AReadTimeoutMs = 0) { return Finished(Launch(AReadTimeoutMs)); }

    // A sale at store 001.001 to a customer of its own, ANAME@example.com,
    // created at ACreated (local time, as the point of sale writes it).
    void AddSale(const QString& AName, const QDateTime& ACreated) {
        static qint64 next = 700000;
        const qint64 sid = ++next;
        const QString connection = QStringLiteral("exactly-once-sale");
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
            db.setDatabaseName(FSample.Paths().DatabaseFile);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
            ASSERT_TRUE(db.open()) << db.lastError().text().toStdString();
            ASSERT_TRUE(db.transaction());
            const std::pair<const char*, QVariantList> rows[] = {
                {"insert into customer values (?, ?, 'Sale', ?, 1, 1)",
                 {sid, AName, QString(AName + "@example.com")}},
                {"insert into cust_address values (?, 1, '555-0001', null)", {sid}},
                {"insert into invoice values (?, ?, 1, 1, ?, 12, 0, 0, ?)",
                 {sid, 1000 + sid, sid,
                  ACreated.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))}},
            };
            for (const auto& [sql, values] : rows) {
                QSqlQuery q(db);
                ASSERT_TRUE(q.prepare(QString::fromLatin1(sql)));
                for (const QVariant& v : values)
                    q.addBindValue(v);
                ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
            }
            ASSERT_TRUE(db.commit());
        }
        QSqlDatabase::removeDatabase(connection);
        FExpected.append(InvoiceKey(AName + "@example.com", ACreated.toLocalTime().date()));
    }

    // The invoices in the batch files the server holds under their own
    // names: what a receiver takes up (a file replaced counts once).
    QStringList Delivered() const {
        QStringList keys;
        for (const QString& name : FFtp.Files()) {
            if (!name.endsWith(".csv"))
                continue;
            const QList<QByteArray> lines = WithLfLineEnds(FFtp.Stored(name)).split('\n');
            for (const QByteArray& line : lines.mid(1))
                if (const QStringList values = BatchValues(line); values.size() > 8)
                    keys.append(values.at(6) + QLatin1Char(' ') + values.at(8));
        }
        keys.sort();
        return keys;
    }

    ::testing::AssertionResult EachInvoiceOnce() const {
        QStringList expected = FExpected;
        expected.sort();
        const QStringList delivered = Delivered();
        if (delivered == expected)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "delivered:\n  " << delivered.join("\n  ").toStdString() << "\nexpected:\n  "
               << expected.join("\n  ").toStdString()
               << "\nserver files: " << FFtp.Files().join(' ').toStdString();
    }

    // Whether the log has a line of ALevel ("WARNING", "ERROR") whose message
    // matches APattern.
    ::testing::AssertionResult Logged(const QString& ALevel, const QString& APattern) const {
        const QString log = LogText();
        if (QRegularExpression(QStringLiteral("\\|  ") + ALevel +
                               QStringLiteral(" *\\|[^|\\n]*\\| [^\\n]*") + APattern)
                .match(log)
                .hasMatch())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no " << ALevel.toStdString() << " line matching \""
                                             << APattern.toStdString() << "\" in:\n"
                                             << log.toStdString();
    }

    QStringList PartsOnServer() const {
        return FFtp.Files().filter(QRegularExpression("\\.part$"));
    }
    QStringList CsvOnServer() const { return FFtp.Files().filter(QRegularExpression("\\.csv$")); }
    QStringList Commands(const char* AVerb) const {
        return FFtp.Commands().filter(QRegularExpression(QStringLiteral("^") + AVerb + " "));
    }
    // The batch names the uploads went out for, in order (".part" dropped).
    QStringList StoredBatchNames() const {
        QStringList names;
        for (const QString& stor : Commands("STOR"))
            names.append(stor.mid(5).remove(QRegularExpression("\\.part$")));
        return names;
    }
    QStringList BatchFolderFiles(const QString& ASub = QString()) const {
        return QDir(SvcDir() + "Batch/" + ASub).entryList({"*.csv"}, QDir::Files);
    }

    TFtpServer FFtp;
    QStringList FExpected;
    std::vector<std::unique_ptr<QProcess>> FRuns;
};

TEST_F(ExactlyOnceTest, TwoRunsStartedAtOnceSendEachInvoiceOnce) {
    QProcess& first = Launch();
    QProcess& second = Launch();
    // One takes the run, the other waits for it and then finds nothing new:
    // what it reads again, the ledger holds.
    EXPECT_EQ(Finished(first), 0);
    EXPECT_EQ(Finished(second), 0);
    EXPECT_EQ(Commands("STOR").size(), 1) << FFtp.Commands().join('\n').toStdString();
    EXPECT_TRUE(InOrder(LogText(), {"     Sent before.1", "No invoices were found to transmit"}));
    EXPECT_EQ(LogText().count("No invoices were found to transmit"), 1);
    EXPECT_TRUE(EachInvoiceOnce());
    EXPECT_TRUE(PartsOnServer().isEmpty());
}

// An upload that went out, without the service knowing whether it arrived.
struct TMayHaveArrivedCase {
    const char* name;
    const char* mode;     // the server's during the first run
    int readTimeoutMs;    // the first run's wait for a reply
    bool killAtStor;      // the first run is killed once its STOR is seen
    bool ledgerDirectory; // the ledger cannot be saved in the first run
    bool storedUnderName; // the first run leaves the batch under its name
    const char* firstLog; // what the first run logs at level ERROR (unless killed)
};

void PrintTo(const TMayHaveArrivedCase& ACase, std::ostream* os) {
    *os << ACase.name;
}

class MayHaveArrivedTest : public ExactlyOnceTest,
                           public ::testing::WithParamInterface<TMayHaveArrivedCase> {};

TEST_P(MayHaveArrivedTest, TheSameBatchIsSentAgainUnderItsOwnName) {
    const TMayHaveArrivedCase& c = GetParam();
    FFtp.SetMode(QString::fromLatin1(c.mode));
    if (c.ledgerDirectory) {
        // A directory in its place: no account, root included, replaces it.
        ASSERT_TRUE(QDir().mkdir(SvcDir() + LedgerFile));
    }

    QProcess& first = Launch(c.readTimeoutMs);
    if (c.killAtStor) {
        ASSERT_TRUE(WaitUntil([&] { return !Commands("STOR").isEmpty(); }, 20000, ChildPollMs))
            << LogText().toStdString();
        // While the upload hangs, the run is held: another -runonce waits for
        // it, then skips its run and names the process that holds it.
        QElapsedTimer waited;
        waited.start();
        EXPECT_NE(Finished(Launch()), 0);
        EXPECT_GE(waited.elapsed(), 14000);
        EXPECT_LE(waited.elapsed(), 22000 + ServiceStartMs);
        EXPECT_EQ(first.state(), QProcess::Running);
        EXPECT_TRUE(Logged("WARNING",
                           QStringLiteral("Another process is running a scan in this service "
                                          "directory \\([^\\n]*, process %1 \\(-runonce\\)[^\\n]*"
                                          "\\); skipping this run")
                               .arg(first.processId())));
        first.kill();
        EXPECT_TRUE(first.waitForFinished(5000));
    } else {
        EXPECT_NE(Finished(first), 0);
        EXPECT_TRUE(Logged("ERROR", QRegularExpression::escape(QLatin1String(c.firstLog))));
        EXPECT_TRUE(LogText().contains("\" may have reached the server; it stays to be sent "
                                       "again under its own name before a new batch is made"));
    }
    const QStringList names = StoredBatchNames();
    ASSERT_EQ(names.size(), 1) << FFtp.Commands().join('\n').toStdString();
    const QString name = names.at(0);
    EXPECT_EQ(Commands("STOR").at(0), "STOR " + name + ".part");
    const QByteArray firstBytes = FFtp.Received(name + ".part");
    EXPECT_EQ(CsvOnServer(), c.storedUnderName ? QStringList{name} : QStringList());
    const QByteArray firstStored = FFtp.Stored(name);
    // The batch and its record wait for the next run.
    EXPECT_EQ(BatchFolderFiles(), QStringList{name});
    EXPECT_TRUE(QFileInfo(SvcDir() + PendingFile).isFile());

    FFtp.SetMode("normal");
    if (c.ledgerDirectory) {
        ASSERT_TRUE(QDir().rmdir(SvcDir() + LedgerFile));
    }
    const qsizetype logBefore = LogText().size();
    ASSERT_EQ(RunOnce(), 0);
    // Sent again first and committed; then the scan finds nothing new.
    EXPECT_TRUE(InOrder(LogText().mid(logBefore),
                        {"Sending the batch file \"", name + ResentNotice, "     Sent before.1",
                         "No invoices were found to transmit"}));
    EXPECT_EQ(StoredBatchNames(), QStringList({name, name}));
    EXPECT_EQ(Commands("RNTO").last(), "RNTO " + name);
    // The same bytes as the first attempt's, complete under the batch's name.
    const QByteArray archived = ReadFileBytes(SvcDir() + "Batch/Archive/" + name);
    EXPECT_EQ(FFtp.Received(name + ".part"), archived);
    if (!firstBytes.isEmpty()) {
        EXPECT_EQ(firstBytes, archived);
    }
    EXPECT_EQ(FFtp.Stored(name), WithLfLineEnds(archived));
    if (c.storedUnderName) {
        EXPECT_EQ(FFtp.Stored(name), firstStored);
    }
    EXPECT_TRUE(EachInvoiceOnce());
    EXPECT_TRUE(PartsOnServer().isEmpty()) << FFtp.Files().join(' ').toStdString();
    EXPECT_TRUE(BatchFolderFiles().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(SvcDir() + PendingFile));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MayHaveArrivedTest,
    ::testing::Values(
        // The server stores the file but replies after the client gave up.
        TMayHaveArrivedCase{"FinalReplyAfterTheTimeOut", "late226:3", 1000, false, false, false,
                            "EOVFtpError in TdlgConnectorLogic.TransmitBatch: "},
        // The server stops reading; the process is killed in the upload.
        TMayHaveArrivedCase{"KilledInAStalledUpload", "stall", 60000, true, false, false, nullptr},
        // Uploaded and renamed, but the ledger cannot take it.
        TMayHaveArrivedCase{"LedgerUnwritableAfterTheUpload", "normal", 0, false, true, true,
                            " was sent, but the ledger of sent invoices cannot be saved ("}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(ExactlyOnceTest, ASingleRunEndsAsSoonAsItsWorkIsDone) {
    ASSERT_EQ(RunOnce(), 0);
    // The stop after the run ends the service loop at once, not at a timer.
    const QStringList lines = LogText().split(QLatin1Char('\n'));
    const auto timeOf = [&](const QString& AText) {
        for (const QString& line : lines)
            if (line.contains(AText))
                return QDateTime::fromString(line.left(23), "yyyy-MM-dd HH:mm:ss.zzz");
        return QDateTime();
    };
    const QDateTime stopping = timeOf("| Single run succeeded; stopping the service");
    const QDateTime ended = timeOf(Line("Connector.TBrevoltRPro9Connector.ServiceExecute", "END"));
    ASSERT_TRUE(stopping.isValid() && ended.isValid()) << LogText().toStdString();
    EXPECT_LT(stopping.msecsTo(ended), 2000);
}

TEST_F(ExactlyOnceTest, NothingIsUploadedWhileTheUploadCannotBeRecorded) {
    // A directory in its place: no account, root included, replaces it.
    ASSERT_TRUE(QDir().mkdir(SvcDir() + PendingFile));
    EXPECT_NE(RunOnce(), 0);
    EXPECT_TRUE(Commands("STOR").isEmpty()) << FFtp.Commands().join('\n').toStdString();
    EXPECT_TRUE(Logged("ERROR", "The batch file is not uploaded, because what it holds cannot "
                                "be recorded first: "));
    EXPECT_TRUE(FFtp.Files().isEmpty());

    ASSERT_TRUE(QDir().rmdir(SvcDir() + PendingFile));
    EXPECT_EQ(RunOnce(), 0);
    EXPECT_EQ(Commands("STOR").size(), 1);
    EXPECT_TRUE(EachInvoiceOnce());
    EXPECT_TRUE(PartsOnServer().isEmpty());
}

struct TLedgerDamageCase {
    const char* name;
    std::function<void(const QString&)> damage; // given the ledger's path
    const char* problem;
};

void PrintTo(const TLedgerDamageCase& ACase, std::ostream* os) {
    *os << ACase.name;
}

class LedgerDamageTest : public ExactlyOnceTest,
                         public ::testing::WithParamInterface<TLedgerDamageCase> {};

TEST_P(LedgerDamageTest, TheNextRunSendsWhatCameSinceAndNothingTwice) {
    // Only level 0 reaches the log: the warning must be among it.
    WriteStoreConfig(0);
    ASSERT_EQ(RunOnce(), 0);
    ASSERT_EQ(BatchFolderFiles("Archive").size(), 1);
    // Created after the first run's start, which the next run reads from;
    // the sale of a minute ago that the first run sent lies before it.
    const QDateTime now = QDateTime::currentDateTime();
    AddSale("after1", now);
    AddSale("after2", now.addMSecs(1));
    const QString ledger = SvcDir() + LedgerFile;
    GetParam().damage(ledger);

    ASSERT_EQ(RunOnce(), 0);
    EXPECT_TRUE(
        Logged("WARNING", QRegularExpression::escape("The ledger of sent invoices \"" +
                                                     QDir::toNativeSeparators(ledger) + "\" " +
                                                     QLatin1String(GetParam().problem))));
    EXPECT_FALSE(LogText().contains("======Starting run========")); // level 1
    EXPECT_EQ(Commands("STOR").size(), 2);
    EXPECT_TRUE(EachInvoiceOnce());
    EXPECT_TRUE(PartsOnServer().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Damage, LedgerDamageTest,
    ::testing::Values(TLedgerDamageCase{"CutAtALineEnd",
                                        [](const QString& APath) {
                                            // Its last two CR LF lines dropped.
                                            QList<QByteArray> lines =
                                                ReadFileBytes(APath).split('\n');
                                            ASSERT_GT(lines.size(), 3);
                                            ASSERT_TRUE(lines.last().isEmpty());
                                            lines.resize(lines.size() - 3);
                                            WriteFileBytes(APath, lines.join('\n') + '\n');
                                        },
                                        "ends before its last line: it was cut short"},
                      TLedgerDamageCase{"Changed",
                                        [](const QString& APath) {
                                            // One digit of the previous cursor.
                                            QByteArray text = ReadFileBytes(APath);
                                            const qsizetype at = text.indexOf("previous=");
                                            ASSERT_GE(at, 0);
                                            text[at + 9] = text[at + 9] == '1' ? '2' : '1';
                                            WriteFileBytes(APath, text);
                                        },
                                        "was changed after it was written"},
                      TLedgerDamageCase{
                          "Deleted",
                          [](const QString& APath) { ASSERT_TRUE(QFile::remove(APath)); },
                          "is missing"}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(ExactlyOnceTest, AServerRefusingRenamesGetsEachBatchUnderItsOwnName) {
    FFtp.SetMode("norename");
    ASSERT_EQ(RunOnce(), 0);
    // A minute old: within the look-back behind what the first run read.
    const QDateTime earlier = QDateTime::currentDateTime().addSecs(-60);
    AddSale("norename1", earlier);
    AddSale("norename2", earlier.addMSecs(1));
    ASSERT_EQ(RunOnce(), 0);

    EXPECT_EQ(Commands("STOR").size(), 4); // each batch as ".part", then under its name
    EXPECT_EQ(CsvOnServer().size(), 2);
    EXPECT_TRUE(EachInvoiceOnce());
    EXPECT_TRUE(PartsOnServer().isEmpty()) << FFtp.Files().join(' ').toStdString();
    // The warning once in each process's log.
    const QDir logs(SvcDir() + "logs");
    const QStringList files = logs.entryList({"*.log"}, QDir::Files, QDir::Name);
    ASSERT_EQ(files.size(), 2);
    for (const QString& file : files) {
        const QString text = uOVCodePage::FromAnsi(ReadFileBytes(logs.filePath(file)));
        EXPECT_EQ(text.count("|  WARNING " + Line("TdlgConnectorLogic.TransmitBatch",
                                                  "The FTP server refused to rename an upload (")),
                  1)
            << text.toStdString();
    }
}

} // namespace
