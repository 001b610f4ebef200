// The writer thread and its file output: batches, flushes, purging old files,
// and riding out a log folder that is missing for a while.
#include "LoggingTestSupport.h"

#include "common/uOVLogThread.h"

#include <memory>
#include <QFileInfo>
#include <sys/stat.h>

using namespace loggingtest;
using namespace uOVLogging;

namespace {

struct TWriter {
    std::shared_ptr<THandleLogOutput> output;
    std::shared_ptr<TLogThread> thread;
};

// A writer into LogDir() that reports its write problems as a logger's does.
TWriter MakeWriter(const QString& AModule, TLogWriterSettings ASettings = {}) {
    ASettings.LogDir = &LogDir;
    ASettings.OnWriteProblem = &ReportLogWriteProblem;
    auto output = std::make_shared<THandleLogOutput>(AModule, false, &LogDir);
    return {output, std::make_shared<TLogThread>(output, std::move(ASettings))};
}

void Touch(const QString& APath, const QDateTime& AModified) {
    testsupport::WriteFileBytes(APath, "x");
    QFile file(APath);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(AModified, QFileDevice::FileModificationTime));
}

} // namespace

TEST_F(LoggingTest, OneBatchIsOneOpenWithAFlushEvery101Lines) {
    TWriter w = MakeWriter(QStringLiteral("Batch"));
    // Queued before the writer runs, so that its first pass takes all 250.
    for (int i = 0; i < 250; ++i)
        ASSERT_TRUE(w.thread->Enqueue(QStringLiteral("line %1").arg(i)));
    EXPECT_EQ(w.thread->QueueSize(), 250);
    w.thread->Start();
    EXPECT_TRUE(w.thread->Stop(10000));
    EXPECT_EQ(w.output->OpenCount(), 1);
    EXPECT_EQ(w.output->FlushCount(), 2);
    EXPECT_EQ(w.output->CloseCount(), 1);
    EXPECT_FALSE(w.output->IsOpen());
    const QStringList lines = ReadLines(FTemp.File("Batch_20240305.log"));
    ASSERT_EQ(lines.size(), 250);
    for (int i = 0; i < 250; ++i)
        EXPECT_EQ(lines[i], QStringLiteral("2024-03-05 10:20:30.456 | line %1").arg(i));
    EXPECT_FALSE(w.thread->Enqueue(QStringLiteral("after stop")));
}

TEST_F(LoggingTest, LinesStayQueuedWhileTheFolderIsMissing) {
    const QString dir = FTemp.File("later/logs/");
    SetLogDir(dir);
    TWriter w = MakeWriter(QStringLiteral("Late"));
    for (const char* msg : {"a", "b", "c"})
        w.thread->Enqueue(QLatin1String(msg));
    w.thread->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    // Tries at 0, 50, 150 and 350 ms: retried, but without spinning.
    EXPECT_GE(w.output->OpenCount(), 2);
    EXPECT_LE(w.output->OpenCount(), 8);
    EXPECT_EQ(w.thread->QueueSize(), 3);
    EXPECT_TRUE(w.thread->LastError().startsWith("EInOutError: cannot open " + dir));
    ASSERT_TRUE(QDir().mkpath(dir));
    // The stop request cuts the pause short; everything is written.
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(w.thread->Stop(10000));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    EXPECT_EQ(ReadLines(dir + "Late_20240305.log"),
              (QStringList{"2024-03-05 10:20:30.456 | a", "2024-03-05 10:20:30.456 | b",
                           "2024-03-05 10:20:30.456 | c"}));
}

TEST_F(LoggingTest, FolderAppearingWhileLoggingLosesNothing) {
    const QString dir = FTemp.File("a/b/");
    SetLogDir(dir);
    TOVLogger logger(QStringLiteral("Heal"), false);
    logger.StartLogging();
    for (int i = 0; i < 5; ++i)
        logger.info(0, QStringLiteral("queued %1").arg(i));
    ASSERT_TRUE(WaitUntil([&] { return !logger.GetLastError().isEmpty(); }));
    ASSERT_TRUE(QDir().mkpath(dir));
    // Written on a later retry, without being asked to stop.
    ASSERT_TRUE(WaitUntil([&] { return logger.GetQueueSize() == 0; }));
    logger.info(0, QStringLiteral("afterwards"));
    logger.EndLogging();
    EXPECT_EQ(
        Messages(Body(ReadLines(dir + "Heal_20240305.log"))),
        (QStringList{"queued 0", "queued 1", "queued 2", "queued 3", "queued 4", "afterwards"}));
}

TEST_F(LoggingTest, PurgeKeepsTheNewestFiles) {
    struct Case {
        int files;
        int deleted;
    };
    const Case cases[] = {{33, 4}, {32, 0}, {40, 11}};
    for (const Case& c : cases) {
        testsupport::TTempDir dir;
        SetLogDir(dir.Dir());
        // Names run against the dates, so only the date can give the order;
        // files 0 and 1 share a day and are told apart by name.
        QStringList oldestFirst;
        for (int i = 0; i < c.files; ++i) {
            const QString name = QStringLiteral("Mod_%1.log").arg(999 - i);
            const QDate day = QDate(2024, 1, 1).addDays(i == 0 ? 1 : i);
            Touch(dir.File(name), QDateTime(day, QTime(12, 0)));
            oldestFirst << name;
        }
        std::swap(oldestFirst[0], oldestFirst[1]); // "Mod_998" sorts before "Mod_999"
        Touch(dir.File("Other_1.log"), QDateTime(QDate(2000, 1, 1), QTime(0, 0)));
        Touch(dir.File("Mod_hidden.txt"), QDateTime(QDate(2000, 1, 1), QTime(0, 0)));
        QDir().mkdir(dir.File("Mod_folder.log"));

        TWriter w = MakeWriter(QStringLiteral("Mod"));
        w.thread->PurgeOldLogs();
        QStringList expected = oldestFirst.mid(c.deleted);
        expected << "Other_1.log";
        expected.sort();
        EXPECT_EQ(LogFiles(dir.Path()), expected) << c.files;
        EXPECT_TRUE(QFileInfo::exists(dir.File("Mod_folder.log")));
    }
}

TEST_F(LoggingTest, FirstPassPurgesAndLaterPassesWaitAMinute) {
    for (int i = 0; i < 33; ++i)
        Touch(FTemp.File(QStringLiteral("Old_%1.log").arg(i, 2, 10, QLatin1Char('0'))),
              QDateTime(QDate(2023, 1, 1).addDays(i), QTime(0, 0)));
    TWriter w = MakeWriter(QStringLiteral("Old"));
    w.thread->Enqueue(QStringLiteral("first"));
    w.thread->Start();
    // 33 old files and the new one: 5 go, 29 remain.
    ASSERT_TRUE(WaitUntil([&] { return LogFiles(FTemp.Path()).size() == 29; }));
    for (int i = 0; i < 10; ++i)
        Touch(FTemp.File(QStringLiteral("Old_x%1.log").arg(i)),
              QDateTime(QDate(2022, 1, 1), QTime(0, 0)));
    w.thread->Enqueue(QStringLiteral("within the minute"));
    ASSERT_TRUE(WaitUntil([&] { return w.thread->QueueSize() == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(LogFiles(FTemp.Path()).size(), 39);
    FClock.Advance(61 * 1000);
    w.thread->Enqueue(QStringLiteral("a minute later"));
    EXPECT_TRUE(WaitUntil([&] { return LogFiles(FTemp.Path()).size() == 29; }));
    EXPECT_TRUE(w.thread->Stop(10000));
}

// Log lines hold customer data: under the usual umask nothing is left for others.
TEST_F(LoggingTest, NewLogFileIsForOwnerAndGroupOnly) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX file modes; on Windows the folder's access list decides";
#else
    const mode_t old = ::umask(022);
    TWriter w = MakeWriter(QStringLiteral("Modes"));
    w.thread->Enqueue(QStringLiteral("a"));
    w.thread->Start();
    EXPECT_TRUE(w.thread->Stop(10000));
    ::umask(old);
    const auto perms = QFileInfo(FTemp.File("Modes_20240305.log")).permissions();
    EXPECT_TRUE(perms & QFileDevice::ReadGroup);
    EXPECT_TRUE(perms & QFileDevice::WriteGroup);
    EXPECT_FALSE(perms &
                 (QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther));
#endif
}

// Lines go out in the ANSI code page whether they take the short way (within
// Latin-1) or the general conversion, and alike when both kinds share a write.
TEST_F(LoggingTest, LinesAreWrittenInTheAnsiCodePage) {
    const QString texts[] = {
        QStringLiteral("plain ascii"),
        QString::fromUtf16(u"latin-1: \u00a0\u00e9\u00ff"),
        QString::fromUtf16(u"cp1252 only: \u20ac\u201c\u0152"),
        QString::fromUtf16(u"the C1 range: \u0080\u0081\u009f"),
        QString::fromUtf16(u"outside: \u0100\u03a9\u4e2d \U0001F600"),
        QString(QChar(0)) + QStringLiteral("nul, tab\t"),
        QString(),
    };
    TWriter w = MakeWriter(QStringLiteral("Ansi"));
    QByteArray expected;
    for (const QString& text : texts) {
        w.thread->Enqueue(text);
        expected += "2024-03-05 10:20:30.456 | " + uOVCodePage::ToAnsi(text) + "\r\n";
    }
    w.thread->Start();
    EXPECT_TRUE(w.thread->Stop(10000));
    EXPECT_EQ(testsupport::ReadFileBytes(FTemp.File("Ansi_20240305.log")), expected);
}

// Lines longer than a queue block, and lines that end a block exactly, come
// out whole and in order.
TEST_F(LoggingTest, LongLinesKeepTheirOrderAcrossQueueBlocks) {
    const int lengths[] = {1, 32760, 8, 40000, 3, 32768, 0, 100000, 70000, 2};
    TWriter w = MakeWriter(QStringLiteral("Long"));
    QByteArray expected;
    for (int i = 0; i < int(std::size(lengths)); ++i) {
        const QString text(lengths[i], QLatin1Char('a' + i));
        w.thread->Enqueue(text);
        expected += "2024-03-05 10:20:30.456 | " + text.toLatin1() + "\r\n";
    }
    w.thread->Start();
    EXPECT_TRUE(w.thread->Stop(10000));
    EXPECT_TRUE(testsupport::ReadFileBytes(FTemp.File("Long_20240305.log")) == expected);
}

TEST_F(LoggingTest, StampsAsTheFixedDateTimeFormat) {
    const QDateTime times[] = {
        StartOfTest,
        QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59, 999)),
        QDateTime(QDate(2024, 3, 1), QTime(0, 0)),
        QDateTime(QDate(1999, 12, 31), QTime(12, 0, 0, 1)),
        QDateTime(QDate(2038, 1, 19), QTime(3, 14, 7, 500)),
        QDateTime(QDate(2024, 3, 1), QTime(9, 8, 7, 6)),
    };
    TLogStamp stamp;
    for (const QDateTime& time : times) {
        const TDateTime value = uOVUtils::ToDateTime(time);
        EXPECT_EQ(QString::fromLatin1(stamp.Format(value)),
                  uOVUtils::FormatDateTimeFixed("yyyy-mm-dd hh:nn:ss.zzz", value) + " | ")
            << time.toString(Qt::ISODateWithMs).toStdString();
    }
    // Half a millisecond before midnight rounds into the next day.
    const TDateTime beforeMidnight =
        uOVUtils::ToDateTime(QDateTime(QDate(2024, 3, 5), QTime(0, 0))) - 0.4 / 86400000.0;
    EXPECT_EQ(stamp.Format(beforeMidnight), QByteArrayView("2024-03-05 00:00:00.000 | "));
}

// A folder that cannot be written is told on stderr at the first failure,
// then at most once a minute, and kept for the next notice.
TEST_F(LoggingTest, UnwritableLogFolderIsToldOnStderrAndKeptForTheNotice) {
    testsupport::WriteFileBytes(FTemp.File("blocker"), "x");
    const QString dir = FTemp.File("blocker/logs/");
    SetLogDir(dir);
    // The reason is the system's own text, in the locale's language.
    const QString prefix =
        "Log file cannot be written: cannot open " + dir + "Blocked_20240305.log: ";
    TLogWriterSettings quickRetry;
    quickRetry.RetryPauseMinMs = 1;
    quickRetry.RetryPauseMaxMs = 5;
    TWriter w = MakeWriter(QStringLiteral("Blocked"), quickRetry);
    const auto failures = [&](int ACount) {
        const int from = w.output->OpenCount();
        return WaitUntil([&] { return w.output->OpenCount() >= from + ACount; });
    };

    testing::internal::CaptureStderr();
    w.thread->Enqueue(QStringLiteral("kept"));
    w.thread->Start();
    ASSERT_TRUE(failures(5));
    FClock.Advance(59 * 1000);
    ASSERT_TRUE(failures(3));
    const QString told = QString::fromLocal8Bit(testing::internal::GetCapturedStderr());
    EXPECT_TRUE(told.startsWith(prefix)) << told.toStdString();
    EXPECT_EQ(told.count('\n'), 1);
    EXPECT_TRUE(told.endsWith('\n'));

    testing::internal::CaptureStderr();
    FClock.Advance(1000);
    ASSERT_TRUE(failures(3));
    EXPECT_EQ(QString::fromLocal8Bit(testing::internal::GetCapturedStderr()), told);

    // The notice gets the problem once, with the time it began.
    const QString problem = TakeLogWriteProblem();
    EXPECT_EQ(problem, told.chopped(1) + " (since 2024-03-05 10:20:30)");
    EXPECT_EQ(TakeLogWriteProblem(), "");
    // Still failing: the next notice hears of it again.
    FClock.Advance(1000);
    ASSERT_TRUE(failures(2));
    EXPECT_TRUE(TakeLogWriteProblem().endsWith("(since 2024-03-05 10:21:31)"));

    // Nothing was lost meanwhile.
    QFile::remove(FTemp.File("blocker"));
    ASSERT_TRUE(QDir().mkpath(dir));
    EXPECT_TRUE(w.thread->Stop(10000));
    EXPECT_EQ(ReadLines(dir + "Blocked_20240305.log"),
              QStringList{"2024-03-05 10:21:31.456 | kept"});
}

TEST_F(LoggingTest, WriteProblemIsToldAtMostOnceAMinute) {
    struct Case {
        qint64 atMs; // from the first failure
        bool told;
    };
    const Case cases[] = {{0, true},      {1000, false},   {59999, false},
                          {60000, true},  {60001, false},  {119999, false},
                          {120000, true}, {-600000, true}, {-599000, false}};
    for (const Case& c : cases) {
        FClock.Set(StartOfTest.addMSecs(c.atMs));
        testing::internal::CaptureStderr();
        ReportLogWriteProblem(QStringLiteral("disk full"));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.told ? "Log file cannot be written: disk full\n" : "")
            << c.atMs;
    }
    EXPECT_EQ(TakeLogWriteProblem(),
              "Log file cannot be written: disk full (since 2024-03-05 10:20:30)");
    EXPECT_EQ(TakeLogWriteProblem(), "");
}
