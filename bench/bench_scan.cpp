// One scan run of the engine over a generated sample database: how fast the
// rows become batch lines, and what the memory does meanwhile.
//
//   bench_scan [--invoices N] [--dir FOLDER]
//
// Runs two child processes, one with N / 10 invoices and one with N
// (default 1,000,000), each measuring one scan from a clean start, and
// prints one table column per size. "--run N" is the child's own switch.
//
// For runs of the service program itself (bench/scan.sh):
//   bench_scan --prepare N --dir FOLDER [--reference "YYYY-MM-DD HH:MM:SS"]
//       the sample environment of N invoices in FOLDER
//   bench_scan --configure FOLDER --level L [--stores 50] [--nothing-new]
//              [--lookback MINUTES] [--reference ...] --out FILE
//       a configuration file for that environment's service directory, and
//       FILE.sql, the run's invoice statements as it executes them, for
//       "sqlite3 -csv"
#include "bench/BenchSupport.h"
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVClock.h"
#include "common/uOVDataAccess.h"
#include "common/uOVLogging.h"
#include "common/uOVUtils.h"
#include "platform/Process.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "tools/uBrevoltSampleDatabase.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <thread>
#include <vector>

using namespace benchsupport;
using namespace uBrevoltRPro9ConnectorCommon;

namespace {

// The sample rows are dated back from here; the scan runs a minute later.
const QDateTime Reference(QDate(2026, 12, 10), QTime(12, 0));
const QDateTime RunStart = Reference.addSecs(60);
const QString FtpUser = QStringLiteral("bench");
// The four active stores: about 80 % of the generated invoices, the largest
// (001.001, about 40 %) first.
const QStringList Locations = {QStringLiteral("001.001"), QStringLiteral("001.002"),
                               QStringLiteral("002.001"), QStringLiteral("002.005")};

// The sample rows of the service program's runs are dated back from here,
// so that under the real clock no invoice falls inside the look-back window.
const QDateTime ServiceReference(QDate(2026, 12, 1), QTime(12, 0));

// One reading of the sampler.
struct TSample {
    double Seconds;
    qint64 RssKiB;
    qint64 PeakKiB;
    qint64 Heap;
    qint64 FileBytes; // size of the batch file, -1 while there is none
};

// Reads memory and the batch file's size every 10 ms on its own
// thread while the scan runs.
class TSampler {
public:
    explicit TSampler(std::string APath) : FPath(std::move(APath)) {
        FThread = std::thread([this] { Run(); });
    }
    ~TSampler() { Stop(); }
    void Stop() {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
    }
    const std::vector<TSample>& Samples() const { return FSamples; }

private:
    void Run() {
        const TStopwatch clock;
        while (!FStop) {
            std::error_code error;
            const auto size = std::filesystem::file_size(FPath, error);
            const TMemory memory = ReadMemory();
            FSamples.push_back({clock.Seconds(), memory.RssKiB, memory.PeakKiB, HeapInUse(),
                                error ? -1 : static_cast<qint64>(size)});
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    std::string FPath;
    std::atomic<bool> FStop{false};
    std::vector<TSample> FSamples;
    std::thread FThread;
};

// What the samples tell about the first location's row loop: the first
// stretch of samples during which the batch file kept growing. Only samples
// with growth on both sides count, so that neither the query's opening nor
// the freeing of its dataset falls inside.
struct TWritePhase {
    TSample First{};
    TSample Last{};
    bool Found = false;
};

TWritePhase FirstWritePhase(const std::vector<TSample>& ASamples) {
    const auto grew = [&ASamples](size_t AIndex) {
        return ASamples[AIndex - 1].FileBytes >= 0 &&
               ASamples[AIndex].FileBytes > ASamples[AIndex - 1].FileBytes;
    };
    TWritePhase phase;
    int inside = 0;
    for (size_t i = 1; i + 1 < ASamples.size(); ++i) {
        if (grew(i) && grew(i + 1)) {
            if (inside++ == 0)
                phase.First = ASamples[i];
            phase.Last = ASamples[i];
        } else if (inside > 0) {
            break;
        }
    }
    // Fewer than ten samples (0.1 s) tell nothing.
    phase.Found = inside >= 10;
    return phase;
}

[[noreturn]] void Fail(const QString& AText) {
    std::fprintf(stderr, "bench_scan: %s\n", qPrintable(AText));
    std::exit(1);
}

// The scan of one database size, in this process; prints one "M", name,
// value line per measure.
int RunOne(qint64 AInvoices, const QString& AFolder, bool AKeep) {
    QTemporaryDir dir(AFolder + QStringLiteral("/bench_scan-XXXXXX"));
    if (!dir.isValid())
        Fail(QStringLiteral("cannot create a folder in ") + AFolder);
    // "--keep": the database, batch file and log stay for a look.
    dir.setAutoRemove(!AKeep);

    std::fprintf(stderr, "bench_scan: generating %s invoices...\n", qPrintable(Count(AInvoices)));
    uBrevoltSampleDatabase::TSampleOptions options;
    options.Invoices = AInvoices;
    options.Now = Reference;
    TStopwatch generation;
    const auto paths = uBrevoltSampleDatabase::CreateSampleEnvironment(dir.path(), options);
    const double generationSeconds = generation.Seconds();
    ::setenv("BREVOLT_REGISTRY", paths.RegistryFile.toUtf8().constData(), 1);

    // The service as it runs: its own folder, its logger, no upload.
    TManualClock clock(RunStart);
    SetClock(&clock);
    uOVUtils::SetExeDir(paths.ServiceDirectory);
    const QString logDir = paths.ServiceDirectory + QStringLiteral("logs/");
    QDir().mkpath(logDir);
    uOVLogging::SetLogDir(logDir);
    platform::SetCommandLine(std::vector<std::string>{"-skiptransmit"});
    ConsoleMode = false;
    DebugMode = false;
    AppLogger = new TOVLogger(QStringLiteral("BrevoltRPro9Service"), true);
    uOVLogging::SetDefaultLogger(AppLogger);
    AppLogger->StartLogging();

    Config() = TConnectorConfig();
    Config().ftpusername = FtpUser;
    Config().locations = Locations;
    SaveConfig();
    auto engine = std::make_unique<TdlgConnectorLogic>();
    // Every invoice of the week (a 0 does not come back as 0 from the file);
    // the query measured on its own below reads them again.
    Config().lastquery = 0;
    // Normal progress only: no per-row or per-value lines.
    AppLogger->SetLogLevel(1);
    engine->InitDatabase();
    if (!DatabaseReady)
        Fail(QStringLiteral("the sample database could not be opened"));

    const QString batchName =
        FtpUser + QLatin1Char('_') +
        uOVUtils::FormatDateTime(QStringLiteral("yyyymmddhhnnsszzz"), uOVUtils::Now()) +
        QStringLiteral(".csv");
    const QString batchPath = paths.ServiceDirectory + QStringLiteral("Batch/") + batchName;
    const QString archivedPath =
        paths.ServiceDirectory + QStringLiteral("Batch/Archive/") + batchName;

    ResetPeak();
    const TMemory before = ReadMemory();
    const qint64 heapBefore = HeapInUse();
    TSampler sampler(batchPath.toStdString());
    const TStopwatch scanClock;
    // The run frame's part around the scan.
    uBrevoltRPro9ConnectorSQLs::GetSession();
    try {
        engine->ScanDatabase();
    } catch (const std::exception& E) {
        Fail(QStringLiteral("the scan failed: ") + QString::fromUtf8(E.what()));
    }
    uBrevoltRPro9ConnectorSQLs::ReleaseSession();
    const double scanSeconds = scanClock.Seconds();
    sampler.Stop();
    const TMemory after = ReadMemory();
    const qint64 heapAfter = HeapInUse();

    const qint64 fileBytes = QFileInfo(archivedPath).size();
    const qint64 lines = CountLines(archivedPath);
    if (lines < 1)
        Fail(QStringLiteral("no batch file at ") + archivedPath);
    const qint64 written = lines - 1; // the header

    // Too short a run for the sampler shows no phase: its cells stay "-".
    const TWritePhase phase = FirstWritePhase(sampler.Samples());
    const auto sampled = [&phase](const QString& AText) {
        return phase.Found ? AText : QStringLiteral("-");
    };
    const double bytesPerLine = double(fileBytes) / double(lines);
    const qint64 phaseLines =
        qint64((phase.Last.FileBytes - phase.First.FileBytes) / bytesPerLine + 0.5);
    const qint64 heapDrift = phase.Last.Heap - phase.First.Heap;

    // The largest location's query on its own: what its dataset holds with
    // the rows in memory (as the preview keeps them) and in a temporary file
    // (as the scan reads them).
    struct TOpened {
        double Seconds = 0;
        qint64 Bytes = 0;
        int Rows = 0;
    };
    const auto open = [](TRowStore ARows) {
        uBrevoltRPro9ConnectorSQLs::TSessionLease session;
        const qint64 heapBefore = HeapInUse();
        const TStopwatch clock;
        auto query = uBrevoltRPro9ConnectorSQLs::OpenQuery(
            session.Connection(), QStringLiteral("1"), QStringLiteral("1"), QString(), 0, ARows);
        return TOpened{clock.Seconds(), HeapInUse() - heapBefore, query->RecordCount()};
    };
    const TOpened inMemory = open(TRowStore::Memory);
    const TOpened inFile = open(TRowStore::TemporaryFile);

    engine.reset();
    AppLogger->EndLogging();
    delete AppLogger;
    AppLogger = nullptr;
    uOVLogging::SetDefaultLogger(nullptr);
    SetClock(nullptr);

    const double phaseSeconds = phase.Last.Seconds - phase.First.Seconds;
    const QList<QStringList> measures = {
        {QStringLiteral("database generation s"), Fixed(generationSeconds, 1)},
        {QStringLiteral("lines written"), Count(written)},
        {QStringLiteral("scan s (queries + writing)"), Fixed(scanSeconds, 2)},
        {QStringLiteral("lines/s, whole scan"), Count(qint64(written / scanSeconds))},
        {QStringLiteral("batch file MiB"), MiB(fileBytes)},
        {QStringLiteral("peak RSS MiB before the scan"), KiBToMiB(before.PeakKiB)},
        {QStringLiteral("peak RSS MiB after opening the first query"),
         sampled(KiBToMiB(phase.First.PeakKiB))},
        {QStringLiteral("peak RSS MiB at the end"), KiBToMiB(after.PeakKiB)},
        {QStringLiteral("RSS MiB at the end"), KiBToMiB(after.RssKiB)},
        {QStringLiteral("heap MiB kept after the scan"), MiB(heapAfter - heapBefore)},
        {QStringLiteral("001.001: query rows"), Count(inMemory.Rows)},
        {QStringLiteral("001.001: query open s, rows in memory"), Fixed(inMemory.Seconds, 2)},
        {QStringLiteral("001.001: dataset MiB, rows in memory"), MiB(inMemory.Bytes)},
        {QStringLiteral("001.001: dataset bytes/row, rows in memory"),
         Count(inMemory.Rows ? inMemory.Bytes / inMemory.Rows : 0)},
        {QStringLiteral("001.001: query open s, rows in a file"), Fixed(inFile.Seconds, 2)},
        {QStringLiteral("001.001: dataset MiB, rows in a file"), MiB(inFile.Bytes)},
        {QStringLiteral("001.001 row loop: lines sampled"), sampled(Count(phaseLines))},
        {QStringLiteral("001.001 row loop: lines/s"),
         sampled(Count(phaseSeconds > 0 ? qint64(phaseLines / phaseSeconds) : 0))},
        {QStringLiteral("001.001 row loop: heap growth bytes/line"),
         sampled(Fixed(phaseLines ? double(heapDrift) / double(phaseLines) : 0.0, 2))},
        {QStringLiteral("001.001 row loop: RSS growth MiB"),
         sampled(KiBToMiB(phase.Last.RssKiB - phase.First.RssKiB))},
    };
    for (const QStringList& measure : measures)
        std::printf("M\t%s\t%s\n", qPrintable(measure[0]), qPrintable(measure[1]));
    std::fflush(stdout);
    return 0;
}

// "--reference": when the sample rows end, ServiceReference by default.
QDateTime ReferenceOption(int argc, char** argv) {
    if (!HasOption(argc, argv, "reference"))
        return ServiceReference;
    const QDateTime value = QDateTime::fromString(TextOption(argc, argv, "reference", QString()),
                                                  QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!value.isValid())
        Fail(QStringLiteral("--reference needs \"YYYY-MM-DD HH:MM:SS\""));
    return value;
}

int Prepare(qint64 AInvoices, const QString& AFolder, const QDateTime& AReference) {
    uBrevoltSampleDatabase::TSampleOptions options;
    options.Invoices = AInvoices;
    options.Now = AReference;
    uBrevoltSampleDatabase::CreateSampleEnvironment(AFolder, options);
    return 0;
}

// The statement a location's query executes on the sample database, with
// its parameters written in.
QString InvoiceStatementFor(const QString& AItem, TDateTime ASince) {
    const QStringList parts = AItem.split(QLatin1Char('.'));
    QString sql = uBrevoltRPro9ConnectorSQLs::InvoiceStatement() + QStringLiteral("\r\n");
    if (ASince > 0)
        sql += QStringLiteral("AND ( i.created_date > '%1' )\r\n")
                   .arg(uOVUtils::ToQDateTime(ASince).toString(
                       QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")));
    return sql + QStringLiteral("AND ( i.sbs_no=%1 ) AND ( i.store_no=%2 )\r\n;\n")
                     .arg(parts.value(0).toInt())
                     .arg(parts.value(1).toInt());
}

int Configure(const QString& AFolder, int ALevel, int AStores, bool ANothingNew, int ALookBack,
              const QDateTime& AReference, const QString& AOut) {
    const QString serviceDir = AFolder + QStringLiteral("/service/");
    uOVUtils::SetExeDir(serviceDir);
    uOVLogging::SetDefaultLogLevel(ALevel);
    TConnectorConfig& config = Config();
    config = TConnectorConfig();
    config.scanscheduling = 0;
    config.scaninterval = 600000;
    config.oracledelay = 0;
    config.ftpserver = QStringLiteral("127.0.0.1:1"); // never reached: -skiptransmit
    config.ftpusername = FtpUser;
    config.locations = Locations;
    config.lookbackminutes = ALookBack;
    // Subsidiaries 1 to 5, stores 1 to 10: the four active stores among them.
    if (AStores > Locations.size()) {
        config.locations.clear();
        for (int i = 0; i < AStores; ++i)
            config.locations.append(
                LocationKey(QString::number(i / 10 + 1), QString::number(i % 10 + 1)));
    }
    // Whole seconds, so that the value read back from the file is the same.
    config.lastquery =
        uOVUtils::ToDateTime(ANothingNew ? AReference.addSecs(60) : AReference.addDays(-8));
    SaveConfig();
    QFile::remove(AOut);
    if (!QFile::rename(uBrevoltRPro9ConnectorCommon::ConfigFilePath(), AOut))
        Fail(QStringLiteral("cannot write ") + AOut);

    QFile sql(AOut + QStringLiteral(".sql"));
    if (!sql.open(QIODevice::WriteOnly | QIODevice::Truncate))
        Fail(QStringLiteral("cannot write ") + sql.fileName());
    for (const QString& item : config.locations)
        sql.write(InvoiceStatementFor(item, config.lastquery).toUtf8());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (HasOption(argc, argv, "configure"))
        return Configure(TextOption(argc, argv, "configure", QString()),
                         int(IntOption(argc, argv, "level", 1, 0)),
                         int(IntOption(argc, argv, "stores", 4)),
                         HasOption(argc, argv, "nothing-new"),
                         int(IntOption(argc, argv, "lookback", DefaultLookBackMinutes, 0)),
                         ReferenceOption(argc, argv), TextOption(argc, argv, "out", QString()));
    const QString folder = WorkFolder(argc, argv);
    if (HasOption(argc, argv, "prepare"))
        return Prepare(IntOption(argc, argv, "prepare", 0), folder, ReferenceOption(argc, argv));
    if (HasOption(argc, argv, "run"))
        return RunOne(IntOption(argc, argv, "run", 0), folder, HasOption(argc, argv, "keep"));

    const qint64 invoices = IntOption(argc, argv, "invoices", 1000000, 100);
    // One column per database size, one row per measure.
    QList<QStringList> rows = {{QStringLiteral("invoices in the database")}};
    for (const qint64 size : {invoices / 10, invoices}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--run"), QString::number(size), QStringLiteral("--dir"), folder});
        if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit ||
            child.exitCode() != 0)
            Fail(QStringLiteral("the run with %1 invoices failed").arg(size));
        rows[0].append(Count(size));
        qsizetype row = 1;
        for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
            const QList<QByteArray> parts = line.split('\t');
            if (parts.size() != 3 || parts[0] != "M")
                continue;
            if (rows.size() <= row)
                rows.append({QString::fromUtf8(parts[1])});
            rows[row++].append(QString::fromUtf8(parts[2]));
        }
    }
    PrintTable(QStringLiteral("bench_scan: one ScanDatabase, -skiptransmit, log level 1, "
                              "locations 001.001|001.002|002.001|002.005"),
               rows);
    return 0;
}
