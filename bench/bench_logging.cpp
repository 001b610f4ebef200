// The logger under load: what a log() call costs its caller, how long the
// writer thread needs to get every line into the file, what the waiting lines
// cost in memory, and how often the file is flushed.
//
//   bench_logging [--lines N] [--dir FOLDER]
//   bench_logging --rate [--lines N] [--threads T] [--dir FOLDER]
//
// Cases: N / 10 and N lines (default 1,000,000), each from 1 and from 4
// threads, through a started TOVLogger at level 1; then the writer alone
// (TLogThread over THandleLogOutput) for its open and flush counts.
// With --rate, one case of N lines from T threads (default 1) without the
// memory readings, printing only the lines per second until EndLogging
// returned: every line in the file and the file closed (the figure compared
// with anchor_spdlog).
#include "bench/BenchSupport.h"
#include "common/uOVLogging.h"
#include "common/uOVLogThread.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <thread>
#include <vector>

using namespace benchsupport;

namespace {

const QString Area = QStringLiteral("TdlgConnectorLogic.ReadDataset");

// The string build a caller makes, then the call.
void LogLines(TOVLogger& ALogger, qint64 ACount) {
    for (qint64 i = 1; i <= ACount; ++i)
        ALogger.log(1, QString::number(i) + QStringLiteral(" records written to the batch file..."),
                    uOVLogging::LOG_INFO, Area);
}

[[noreturn]] void Fail(const QString& AText) {
    std::fprintf(stderr, "bench_logging: %s\n", qPrintable(AText));
    std::exit(1);
}

// A fresh log folder for one case.
QString CaseFolder(QTemporaryDir& ADir, const QString& AName) {
    const QString folder = ADir.filePath(AName) + QLatin1Char('/');
    if (!QDir().mkpath(folder))
        Fail(QStringLiteral("cannot create ") + folder);
    uOVLogging::SetLogDir(folder);
    return folder;
}

bool WaitForEmptyQueue(const std::function<int()>& AQueueSize, double ASeconds) {
    const TStopwatch clock;
    while (AQueueSize() > 0) {
        if (clock.Seconds() > ASeconds)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Starts ALogger at level 1 and waits until its header is written; answers
// the lines of the header.
qint64 StartAtLevel1(TOVLogger& ALogger) {
    ALogger.SetLogLevel(1);
    ALogger.StartLogging();
    if (!WaitForEmptyQueue([&] { return ALogger.GetQueueSize(); }, 30))
        Fail(QStringLiteral("the log header was not written"));
    return CountLines(ALogger.GetOutputPath());
}

void CheckWritten(const QString& APath, qint64 ALines) {
    const qint64 inFile = CountLines(APath);
    if (inFile != ALines)
        Fail(QStringLiteral("%1 lines logged, %2 in the file").arg(ALines).arg(inFile));
}

QStringList LoggerCase(QTemporaryDir& ADir, qint64 ALines, int AThreads) {
    const QString name = QStringLiteral("logger-%1-%2").arg(ALines).arg(AThreads);
    CaseFolder(ADir, name);
    TOVLogger logger(QStringLiteral("BenchLogging"), true);
    const qint64 headerLines = StartAtLevel1(logger);
    const QString path = logger.GetOutputPath();

    const qint64 heapBefore = HeapInUse();
    std::atomic<bool> go{false};
    std::atomic<int> running{AThreads};
    std::vector<double> callerSeconds(AThreads, 0);
    std::vector<std::thread> callers;
    const qint64 perThread = ALines / AThreads;
    for (int t = 0; t < AThreads; ++t)
        callers.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            const TStopwatch clock;
            LogLines(logger, perThread);
            callerSeconds[t] = clock.Seconds();
            --running;
        });

    const TStopwatch total;
    go = true;
    int longestQueue = 0;
    qint64 heapPeak = 0;
    double callersDone = 0;
    for (int poll = 0;; ++poll) {
        const int queued = logger.GetQueueSize();
        longestQueue = std::max(longestQueue, queued);
        // The allocator's count takes its locks: every 5 ms only.
        if (poll % 25 == 0)
            heapPeak = std::max(heapPeak, HeapInUse() - heapBefore);
        if (running == 0) {
            if (callersDone == 0)
                callersDone = total.Seconds();
            if (queued == 0)
                break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double writtenSeconds = total.Seconds();
    for (std::thread& caller : callers)
        caller.join();
    logger.EndLogging();

    const qint64 lines = perThread * AThreads;
    CheckWritten(path, headerLines + lines);
    double callerSum = 0;
    for (double seconds : callerSeconds)
        callerSum += seconds;
    return {Count(lines),
            QString::number(AThreads),
            Fixed(callerSum / double(lines) * 1e6, 2),
            Fixed(callersDone, 2),
            Fixed(writtenSeconds, 2),
            Count(qint64(lines / writtenSeconds)),
            Count(longestQueue),
            MiB(heapPeak),
            Count(longestQueue ? heapPeak / longestQueue : 0)};
}

// Lines per second from AThreads callers until EndLogging returned.
double Rate(QTemporaryDir& ADir, qint64 ALines, int AThreads) {
    CaseFolder(ADir, QStringLiteral("rate-%1-%2").arg(ALines).arg(AThreads));
    TOVLogger logger(QStringLiteral("BenchLogging"), true);
    const qint64 headerLines = StartAtLevel1(logger);
    const QString path = logger.GetOutputPath();

    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    const qint64 perThread = ALines / AThreads;
    for (int t = 0; t < AThreads; ++t)
        callers.emplace_back([&] {
            while (!go)
                std::this_thread::yield();
            LogLines(logger, perThread);
        });
    const TStopwatch total;
    go = true;
    for (std::thread& caller : callers)
        caller.join();
    logger.EndLogging();
    const double seconds = total.Seconds();

    const qint64 lines = perThread * AThreads;
    CheckWritten(path, headerLines + lines);
    return double(lines) / seconds;
}

// The writer without a logger in front: lines queued at once, then counted
// file opens, flushes within a pass and closes.
QStringList WriterCase(QTemporaryDir& ADir, qint64 ALines, bool AQueueBeforeStart) {
    CaseFolder(ADir, QStringLiteral("writer-%1").arg(ALines));
    auto output = std::make_shared<THandleLogOutput>(QStringLiteral("BenchWriter"), true,
                                                     &uOVLogging::LogDir);
    TLogWriterSettings settings;
    settings.LogDir = &uOVLogging::LogDir;
    auto writer = std::make_shared<TLogThread>(output, settings);
    const QString text = uOVLogging::LOG_INFO + QLatin1Char('|') +
                         Area.leftJustified(uOVLogging::Settings().AreaWidth) +
                         QStringLiteral("| 1000 records written to the batch file...");
    const TStopwatch clock;
    if (!AQueueBeforeStart)
        writer->Start();
    for (qint64 i = 0; i < ALines; ++i)
        writer->Enqueue(text);
    if (AQueueBeforeStart)
        writer->Start();
    if (!WaitForEmptyQueue([&] { return writer->QueueSize(); }, 600))
        Fail(QStringLiteral("the writer did not finish"));
    const double seconds = clock.Seconds();
    writer->Stop(10000);
    CheckWritten(output->FileName(), ALines);
    return {Count(ALines),
            AQueueBeforeStart ? QStringLiteral("all queued, then started")
                              : QStringLiteral("queued while running"),
            Fixed(seconds, 2),
            Count(qint64(ALines / seconds)),
            Count(output->OpenCount()),
            Count(output->FlushCount()),
            Count(output->CloseCount()),
            Fixed(double(ALines) / double(output->OpenCount() + output->FlushCount()), 1)};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qint64 lines = IntOption(argc, argv, "lines", 1000000, 40);
    QTemporaryDir dir(WorkFolder(argc, argv) + QStringLiteral("/bench_logging-XXXXXX"));
    if (!dir.isValid())
        Fail(QStringLiteral("cannot create a work folder"));
    if (HasOption(argc, argv, "rate")) {
        const int threads = int(IntOption(argc, argv, "threads", 1));
        std::printf("%.0f\n", Rate(dir, lines, threads));
        return 0;
    }

    QList<QStringList> rows = {{QStringLiteral("lines"), QStringLiteral("threads"),
                                QStringLiteral("caller us/line"), QStringLiteral("callers done s"),
                                QStringLiteral("all written s"), QStringLiteral("lines/s"),
                                QStringLiteral("longest queue"), QStringLiteral("queue MiB"),
                                QStringLiteral("B/queued line")}};
    for (const qint64 count : {lines / 10, lines})
        for (const int threads : {1, 4})
            rows.append(LoggerCase(dir, count, threads));
    PrintTable(QStringLiteral("bench_logging: TOVLogger::log at level 1, queue limit %1, flush "
                              "limit %2")
                   .arg(Count(uOVLogging::Settings().DefaultQueueLimit))
                   .arg(uOVLogging::Settings().DefaultFlushLimit),
               rows);

    QList<QStringList> writerRows = {
        {QStringLiteral("lines"), QStringLiteral("how"), QStringLiteral("written s"),
         QStringLiteral("lines/s"), QStringLiteral("opens"), QStringLiteral("flushes"),
         QStringLiteral("closes"), QStringLiteral("lines per open or flush")}};
    writerRows.append(WriterCase(dir, 250, true));
    writerRows.append(WriterCase(dir, lines, false));
    std::fputs("\n", stdout);
    PrintTable(QStringLiteral("bench_logging: the writer thread alone"), writerRows);
    return 0;
}
