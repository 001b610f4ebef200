// The engine's lifecycle and scheduler, driven by a manual clock: handlers
// are called directly, no test waits for real time.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVClock.h"
#include "common/uOVLogging.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "tests/support/ProcessState.h"
#include "tests/support/SampleEnvironment.h"
#include "tests/support/ScriptedClock.h"
#include "tests/support/TestAppLogger.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>

using namespace uBrevoltRPro9ConnectorCommon;
using namespace uOVUtils;

// Readable times in test failures.
inline void PrintTo(const QDateTime& ATime, std::ostream* os) {
    *os << ATime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toStdString();
}

namespace {

// 2024-01-15 is a Monday.
QDateTime At(int ADay, int AHour, int AMinute, int ASecond = 0, int AMsec = 0) {
    return QDateTime(QDate(2024, 1, ADay), QTime(AHour, AMinute, ASecond, AMsec));
}

TDateTime TimeOfDay(int AHour, int AMinute) {
    return (AHour * 60 + AMinute) / 1440.0;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetExeDir(FDir.Dir());
        uOVLogging::SetLogDir(FDir.Dir() + "logs/");
        QDir().mkpath(uOVLogging::LogDir());
        SetClock(&FClock);
        Config() = TConnectorConfig();
        ConsoleMode = false;
        DatabaseReady = false;
        DailyPingSent = true;
        uBrevoltRPro9ConnectorSQLs::ResetSession(); // a failed probe leaves one registered
        testsupport::StartTestAppLogger("EngineTest");
    }

    void TearDown() override {
        FEngine.reset();
        testsupport::EndTestAppLogger();
    }

    // Everything logged so far; ends the logger.
    QString LogText() { return testsupport::TestAppLoggerText(); }

    TdlgConnectorLogic& Engine() {
        if (!FEngine)
            FEngine = std::make_unique<TdlgConnectorLogic>();
        return *FEngine;
    }

    QDateTime NextRun() { return ToQDateTime(Engine().FNextRun); }

    // What the utility does: the file saved with AChange, while the running
    // engine still holds what it loaded last.
    static void SaveAsTheUtility(const std::function<void(TConnectorConfig&)>& AChange) {
        const TConnectorConfig loaded = Config();
        AChange(Config());
        SaveConfig();
        Config() = loaded;
    }

    testsupport::TProcessState FProcessState;
    testsupport::TTempDir FDir;
    // Empty unless a test writes it.
    testsupport::TTestRegistry FRegistry{FDir.Path()};
    testsupport::TScriptedClock FClock{At(15, 10, 0)};
    std::unique_ptr<TdlgConnectorLogic> FEngine;
};

struct TScheduleCase {
    const char* name;
    int scheduling;
    int interval;
    int oracledelay;
    TDateTime sleepbegin, sleepend;
    std::vector<std::tuple<int, int, TDateTime>> slots; // day 1 = Sunday, slot 1..6
    QDateTime now;
    QDateTime nextRun;
    qint64 timerMs;
};

TEST_F(EngineTest, SchedulesByIntervalAndBySlot) {
    const TDateTime unset = -1;
    const TScheduleCase cases[] = {
        {"oracle delay consumed",
         0,
         60000,
         120000,
         0,
         1.0 / 86400,
         {},
         At(15, 10, 0),
         At(15, 10, 2),
         120000},
        {"moved past the sleep window",
         0,
         3600000,
         0,
         TimeOfDay(22, 0),
         TimeOfDay(6, 0),
         {},
         At(15, 21, 30),
         At(16, 6, 0),
         30600000},
        {"window counts from today's begin",
         0,
         3600000,
         0,
         TimeOfDay(22, 0),
         TimeOfDay(6, 0),
         {},
         At(15, 2, 0),
         At(15, 3, 0),
         3600000},
        {"window compared with today only",
         0,
         4 * 3600000,
         0,
         TimeOfDay(1, 0),
         TimeOfDay(5, 0),
         {},
         At(15, 23, 30),
         At(16, 3, 30),
         4 * 3600000},
        {"exactly at the sleep begin",
         0,
         3600000,
         0,
         TimeOfDay(22, 0),
         TimeOfDay(23, 0),
         {},
         At(15, 21, 0),
         At(15, 22, 0),
         3600000},
        {"exactly at the sleep end",
         0,
         3600000,
         0,
         TimeOfDay(20, 0),
         TimeOfDay(22, 0),
         {},
         At(15, 21, 0),
         At(15, 22, 0),
         3600000},
        {"zero interval uses the default",
         0,
         0,
         0,
         0,
         1.0 / 86400,
         {},
         At(15, 10, 0),
         At(15, 10, 1),
         60000},
        {"invalid type schedules by interval",
         7,
         60000,
         0,
         0,
         1.0 / 86400,
         {},
         At(15, 10, 0),
         At(15, 10, 1),
         60000},
        {"only Monday 10:00, now Monday 11:00",
         1,
         60000,
         120000,
         0,
         0,
         {{2, 1, TimeOfDay(10, 0)}},
         At(15, 11, 0),
         At(22, 10, 0),
         (6 * 24 + 23) * 3600000LL},
        {"half a second before the slot",
         1,
         60000,
         0,
         0,
         0,
         {{2, 1, TimeOfDay(10, 0)}},
         At(15, 9, 59, 59, 500),
         At(15, 10, 0),
         500},
        {"slot just run is not chosen again",
         1,
         60000,
         0,
         0,
         0,
         {{2, 1, TimeOfDay(10, 0)}, {2, 2, TimeOfDay(12, 0)}},
         At(15, 10, 0, 30),
         At(15, 12, 0),
         (2 * 3600 - 30) * 1000LL},
        {"12:00 AM is a slot like any other",
         1,
         60000,
         0,
         0,
         0,
         {{2, 1, 0}, {3, 1, 0}, {4, 1, TimeOfDay(8, 0)}},
         At(15, 10, 0),
         At(16, 0, 0),
         14 * 3600000LL},
        {"12:00 AM of today, a week ahead",
         1,
         60000,
         0,
         0,
         0,
         {{2, 1, 0}},
         At(15, 10, 0),
         At(22, 0, 0),
         (6 * 24 + 14) * 3600000LL},
        {"first qualifying slot in slot order",
         1,
         60000,
         0,
         0,
         0,
         {{2, 1, TimeOfDay(14, 0)}, {2, 2, TimeOfDay(10, 0)}},
         At(15, 9, 0),
         At(15, 14, 0),
         5 * 3600000LL},
        {"sixth slot",
         1,
         60000,
         0,
         0,
         0,
         {{7, 6, TimeOfDay(6, 30)}},
         At(15, 10, 0),
         At(20, 6, 30),
         (4 * 24 + 20) * 3600000LL + 30 * 60000},
        {"next week's Sunday",
         1,
         60000,
         0,
         0,
         0,
         {{1, 1, TimeOfDay(9, 0)}},
         At(15, 10, 0),
         At(21, 9, 0),
         (5 * 24 + 23) * 3600000LL},
        {"no slot anywhere", 1, 60000, 0, 0, 0, {}, At(15, 10, 0), At(16, 10, 0), 86400000},
    };
    for (const TScheduleCase& c : cases) {
        SCOPED_TRACE(c.name);
        Engine();
        TConnectorConfig& cfg = Config();
        cfg.scanscheduling = c.scheduling;
        cfg.scaninterval = c.interval;
        cfg.oracledelay = c.oracledelay;
        cfg.sleepbegin = c.sleepbegin;
        cfg.sleepend = c.sleepend;
        for (auto& row : cfg.DayTimes)
            std::fill(std::begin(row), std::end(row), unset);
        for (const auto& [day, slot, time] : c.slots)
            cfg.DayTimes[day - 1][slot - 1] = time;
        FClock.Set(c.now);
        Engine().SetTimerInterval();
        EXPECT_EQ(NextRun(), c.nextRun);
        EXPECT_EQ(Engine().tmProcess->interval(), c.timerMs);
        EXPECT_EQ(cfg.oracledelay, c.oracledelay); // the record keeps the file's value
    }
    const QString log = LogText();
    EXPECT_TRUE(log.contains("Factoring in Oracle delay of 120 seconds"));
    EXPECT_TRUE(log.contains("Schedule type is invalid!  Switching to schedule by interval..."));
    EXPECT_TRUE(log.contains("Scan interval 0 is not positive; using 60000 milliseconds"));
    EXPECT_TRUE(log.contains("Next run will be after the configured sleep period, starting at "
                             "01/16/2024 06:00:00"));
    EXPECT_TRUE(log.contains("No times configured, setting next batch in 24 hours"));
    EXPECT_TRUE(log.contains("Idle.  Next run will start at 01/15/2024 14:00:00, timer set to "
                             "18000000 milliseconds"));
}

TEST_F(EngineTest, InitServiceLogsTheConfigurationWithPasswordsMasked) {
    Config().ftppassword = "ftp-secret";
    Config().smtppassword = "";
    Config().smtpusername = "mailer";
    SaveConfig();
    Config() = TConnectorConfig();
    Engine();
    const QString log = LogText();
    EXPECT_TRUE(log.contains("| Configuration:"));
    EXPECT_TRUE(log.contains("ftppassword=********"));
    EXPECT_TRUE(log.contains("smtpusername=mailer"));
    EXPECT_FALSE(log.contains("ftp-secret"));
    EXPECT_FALSE(log.contains("smtppassword="));
    EXPECT_EQ(Config().ftppassword, "ftp-secret");
}

TEST_F(EngineTest, InitServiceCutsAHugeConfigurationValueInTheLog) {
    const QString huge(20 * 1024 * 1024, QLatin1Char('x'));
    Config().ftpserver = huge;
    Config().smtpusername = QString(1024, QLatin1Char('y')); // at the limit: whole
    SaveConfig();
    Config() = TConnectorConfig();
    Engine();
    const QString log = LogText();
    EXPECT_LT(log.size(), 64 * 1024);
    EXPECT_TRUE(log.contains("ftpserver=" + QString(1024, QLatin1Char('x')) +
                             "... (cut; 20971520 characters in all)"));
    EXPECT_TRUE(log.contains("smtpusername=" + QString(1024, QLatin1Char('y')) + "\r\n"));
    EXPECT_EQ(Config().ftpserver, huge);
}

TEST_F(EngineTest, ServiceDirectoryComesFromTheRegistry) {
    testsupport::StartTestAppLogger("EngineTest", testsupport::TTestLog::Files);
    testsupport::TTempDir serviceDir;
    FRegistry.WriteServiceDirectory(serviceDir.Dir());
    Engine();
    EXPECT_EQ(ExeDir(), serviceDir.Dir());
    EXPECT_EQ(uOVLogging::LogDir(), serviceDir.Dir() + "logs" + QDir::separator());
    testsupport::EndTestAppLogger();
    EXPECT_TRUE(testsupport::LogFilesText(serviceDir.Dir() + "logs/").contains("Configuration:"));
}

TEST_F(EngineTest, EnablePausesForTheOutstandingOracleDelayOnlyInServiceModeBySlot) {
    struct Case {
        const char* name;
        bool console;
        int scheduling;
        int secondsSinceStart;
        int expectedDelaySecs;
        qint64 expectedPauseMs;
    };
    const Case cases[] = {
        {"service mode by slot", false, 1, 5, 115, 115000},
        {"service mode by interval: delay consumed", false, 0, 0, -0, 0},
        {"forms mode never pauses", true, 1, 0, 120, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Config() = TConnectorConfig();
        Config().scanscheduling = c.scheduling;
        Config().oracledelay = 120000;
        SaveConfig();
        ConsoleMode = c.console;
        DatabaseReady = false;
        FEngine.reset();
        FClock.Set(At(15, 10, 0));
        Engine();
        FClock.Advance(c.secondsSinceStart * 1000);
        const QDateTime before = FClock.Now();
        Engine().Enable();
        EXPECT_EQ(Engine().FDelaySecs <= 0 ? 0 : Engine().FDelaySecs,
                  c.expectedDelaySecs <= 0 ? 0 : c.expectedDelaySecs);
        EXPECT_EQ(before.msecsTo(FClock.Now()), c.expectedPauseMs);
        EXPECT_TRUE(Engine().FEnabled);
        EXPECT_EQ(Engine().tmProcess->isActive(), !c.console);
        EXPECT_EQ(Engine().tmIdle->isActive(), !c.console);
    }
    const QString log = LogText();
    EXPECT_TRUE(log.contains("Pausing 115 seconds to allow Oracle to settle..."));
    EXPECT_TRUE(log.contains("Oracle pause completed, continuing."));
}

TEST_F(EngineTest, StopEndsTheOraclePauseAndTheConfigurationWaitPromptly) {
    Config().scanscheduling = 1;
    Config().oracledelay = 120000;
    SaveConfig();
    Engine();
    int sleeps = 0;
    FClock.OnSleep = [&] {
        if (++sleeps == 3)
            Engine().RequestStop();
    };
    const QDateTime before = FClock.Now();
    Engine().Enable();
    EXPECT_LE(before.msecsTo(FClock.Now()), 300);
    EXPECT_FALSE(Engine().FEnabled);
    EXPECT_FALSE(Engine().tmProcess->isActive());

    // No configuration file: the wait for it ends on a stop as well.
    FEngine.reset();
    QFile::remove(ConfigFilePath());
    Config() = TConnectorConfig();
    Config().scanscheduling = 0; // the interval schedule consumes the delay
    sleeps = 0;
    Engine();
    FClock.OnSleep = [&] {
        if (++sleeps == 45)
            Engine().RequestStop();
    };
    Engine().Enable();
    EXPECT_EQ(sleeps, 45);
    EXPECT_FALSE(Engine().FEnabled);
    EXPECT_FALSE(Engine().tmIdle->isActive());
    EXPECT_TRUE(LogText().contains(" ERROR   |" + QString(50, ' ') +
                                   "| Configuration not found.  Pausing..."));
}

TEST_F(EngineTest, TicksAfterDisableDoNothing) {
    Config().scanscheduling = 0;
    Config().runimmediate = false;
    SaveConfig();
    Engine().Enable();
    Engine().Disable();
    Config().ftpserver = "changed-in-memory";
    Engine().tmIdleTimer();
    Engine().tmProcessTimer();
    EXPECT_EQ(Config().ftpserver, "changed-in-memory"); // no reload
    EXPECT_FALSE(Engine().tmProcess->isActive());
    EXPECT_FALSE(LogText().contains("======Starting run========"));
}

TEST_F(EngineTest, RunImmediateIsServedByTheIdleTick) {
    Config().scanscheduling = 1;
    SaveConfig();
    Engine().Enable();
    ASSERT_TRUE(Engine().tmProcess->isActive());
    Config().runimmediate = true;
    SaveConfig();
    Config().runimmediate = false;

    Engine().tmIdleTimer();
    EXPECT_EQ(Engine().tmProcess->interval(), 1000);
    EXPECT_TRUE(Engine().tmProcess->isActive());
    EXPECT_FALSE(Config().runimmediate);
    bool changed = false;
    Config().runimmediate = true;
    ASSERT_TRUE(LoadConfig(changed));
    EXPECT_FALSE(Config().runimmediate);
    EXPECT_TRUE(LogText().contains("RunImmediate detected; calling SetTimerInterval"));
}

TEST_F(EngineTest, ClearingARunRequestKeepsSettingsTheUtilitySavedSinceTheLastLoad) {
    Config().scanscheduling = 1;
    SaveConfig();
    Engine();
    TConnectorConfig loaded = Config();
    loaded.runimmediate = true; // an idle tick has just loaded a request
    // Then the utility saves a new FTP server, its request still pending.
    Config().ftpserver = "ftp.utility.example";
    Config().runimmediate = true;
    SaveConfig();
    Config() = loaded;

    Engine().SetTimerInterval();
    bool changed = false;
    ASSERT_TRUE(LoadConfig(changed));
    EXPECT_FALSE(Config().runimmediate);
    EXPECT_EQ(Config().ftpserver, "ftp.utility.example");
}

TEST_F(EngineTest, RunImmediateDuringARunWaitsForTheRunsOwnRescheduling) {
    Config().scanscheduling = 1;
    SaveConfig();
    Engine().Enable();
    Engine().tmProcess->stop(); // a run is in progress
    Config().runimmediate = true;
    SaveConfig();
    Engine().tmIdleTimer();
    EXPECT_FALSE(Engine().tmProcess->isActive());
    EXPECT_TRUE(Config().runimmediate);
    Engine().SetTimerInterval(); // the end of the run
    EXPECT_EQ(Engine().tmProcess->interval(), 1000);
    EXPECT_EQ(NextRun(), FClock.Now());
}

TEST_F(EngineTest, OneHealthNoticePerMorningAndNoneOnTheFirstDay) {
    Config().scanscheduling = 1;
    SaveConfig();
    FClock.Set(At(15, 10, 0));
    Engine().Enable();
    struct Step {
        QDateTime now;
        bool sentAfter;
    };
    const Step steps[] = {
        {At(15, 10, 0), true},  {At(15, 23, 0), true}, {At(16, 6, 59), false},
        {At(16, 8, 59), false}, {At(16, 9, 0), true},  {At(16, 9, 5), true},
        {At(17, 6, 0), false},  {At(17, 12, 0), true},
    };
    for (const Step& s : steps) {
        FClock.Set(s.now);
        Engine().tmIdleTimer();
        EXPECT_EQ(DailyPingSent, s.sentAfter) << s.now.toString().toStdString();
    }
}

TEST_F(EngineTest, ARunWithoutDatabaseIsSkippedAndRescheduled) {
    Config().scanscheduling = 0;
    Config().scaninterval = 300000;
    Config().locations = QStringList{"001.001"};
    SaveConfig();
    Engine().Enable();
    FClock.Set(NextRun());
    Engine().tmProcessTimer();
    EXPECT_TRUE(Engine().tmProcess->isActive());
    EXPECT_EQ(Engine().tmProcess->interval(), 300000);
    EXPECT_FALSE(Engine().FProcessing);
    const QString log = LogText();
    EXPECT_TRUE(log.contains("======Starting run========"));
    EXPECT_TRUE(log.contains("Database could not be properly accessed; skipping this run..."));
    EXPECT_TRUE(log.contains("======Run completed======="));
}

TEST_F(EngineTest, TheDatabaseProbeSucceedsOnTheSampleAndFailsWithoutTheDatabase) {
    testsupport::TSampleEnvironment env;
    Engine().InitDatabase();
    EXPECT_TRUE(DatabaseReady);
    EXPECT_EQ(Engine().FBatchPath, env.Paths().ServiceDirectory + "Batch" + QDir::separator());
    EXPECT_TRUE(QDir(Engine().FBatchPath).exists());

    ASSERT_TRUE(QFile::remove(env.Paths().DatabaseFile));
    uBrevoltRPro9ConnectorSQLs::ResetSession();
    DatabaseReady = false;
    Engine().InitDatabase();
    EXPECT_FALSE(DatabaseReady);
    EXPECT_FALSE(QFile::exists(env.Paths().DatabaseFile)); // never created
    uBrevoltRPro9ConnectorSQLs::ResetSession();

    const QString log = LogText();
    EXPECT_TRUE(log.contains("Schema version = 9.30")) << log.toStdString();
    EXPECT_TRUE(log.contains("Build version  = 9.30.0152"));
    EXPECT_TRUE(log.contains(" in TdlgConnectorLogic.InitDatabase: "));
}

// Files anywhere under ADir.
QStringList FilesUnder(const QString& ADir) {
    QStringList files;
    QDirIterator it(ADir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

TEST_F(EngineTest, ADatabaseGoneSinceTheLastRunSkipsTheRunAndWritesNoBatch) {
    testsupport::TSampleEnvironment env;
    Config().scanscheduling = 0;
    Config().scaninterval = 300000;
    Config().locations = QStringList{"001.001"};
    SaveConfig();
    Engine().InitDatabase();
    ASSERT_TRUE(DatabaseReady);
    ASSERT_TRUE(QFile::rename(env.Paths().DatabaseFile, env.Paths().DatabaseFile + ".away"));
    uBrevoltRPro9ConnectorSQLs::ResetSession();

    FClock.Set(NextRun());
    Config().locations = QStringList{"001.001"};
    Engine().tmProcessTimer();
    EXPECT_FALSE(DatabaseReady);
    const QStringList written = FilesUnder(Engine().FBatchPath);
    EXPECT_TRUE(written.isEmpty()) << written.join(' ').toStdString();
    uBrevoltRPro9ConnectorSQLs::ResetSession();
    const QString log = LogText();
    EXPECT_TRUE(log.contains("Database could not be properly accessed; skipping this run..."))
        << log.toStdString();
}

TEST_F(EngineTest, AScanFailureIsLoggedWithTheScanStep) {
    testsupport::TSampleEnvironment env;
    Config().scanscheduling = 0;
    Config().scaninterval = 300000;
    Config().locations = QStringList{"001.001"};
    SaveConfig();
    {
        // The probe does not read invoices; the scan does.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "edit");
        db.setDatabaseName(env.Paths().DatabaseFile);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec(QStringLiteral("drop table invoice")));
    }
    QSqlDatabase::removeDatabase("edit");

    FClock.Set(NextRun());
    Config().locations = QStringList{"001.001"};
    Engine().tmProcessTimer();
    uBrevoltRPro9ConnectorSQLs::ResetSession();
    const QString log = LogText();
    EXPECT_TRUE(log.contains("TdlgConnectorLogic.tmProcessTimer while scanning database"))
        << log.toStdString();
    EXPECT_FALSE(log.contains("while releasing session"));
}

TEST_F(EngineTest, ATimerFiringEarlyWaitsForItsSlotAndTheSlotRunsOnce) {
    Config().scanscheduling = 1;
    Config().oracledelay = 0;
    Config().DayTimes[1][0] = TimeOfDay(2, 10); // Monday
    Config().DayTimes[1][1] = TimeOfDay(4, 0);
    SaveConfig();
    FClock.Set(At(15, 2, 0));
    Engine().Enable();
    ASSERT_EQ(NextRun(), At(15, 2, 10));
    EXPECT_EQ(Engine().tmProcess->timerType(), Qt::PreciseTimer);

    // The ticks seen from a coarse timer: twice before the slot, then at it.
    const std::pair<QDateTime, int> early[] = {{At(15, 2, 9, 59, 424), 576},
                                               {At(15, 2, 9, 59, 998), 2}};
    for (const auto& [firedAt, rest] : early) {
        FClock.Set(firedAt);
        Engine().tmProcessTimer();
        EXPECT_TRUE(Engine().tmProcess->isActive());
        EXPECT_EQ(Engine().tmProcess->interval(), rest);
        EXPECT_EQ(NextRun(), At(15, 2, 10));
    }
    FClock.Set(At(15, 2, 10));
    Engine().tmProcessTimer();
    EXPECT_EQ(NextRun(), At(15, 4, 0));
    EXPECT_EQ(LogText().count("======Starting run========"), 1);
}

// The one test on real time: the platform timer itself must not bring a slot
// round twice.
TEST_F(EngineTest, ASlotOnTheRealTimerRunsOnce) {
    SetClock(nullptr);
    Engine(); // no configuration file: the record below is the schedule
    QDateTime slot = QDateTime::currentDateTime().addMSecs(2000);
    slot.setTime(QTime(slot.time().hour(), slot.time().minute(), slot.time().second()));
    Config().scanscheduling = 1;
    Config().DayTimes[slot.date().dayOfWeek() % 7][0] =
        slot.time().msecsSinceStartOfDay() / 86400000.0;
    Engine().SetTimerInterval();
    ASSERT_EQ(NextRun(), slot);
    Engine().tmProcess->start();

    QEventLoop loop;
    QTimer::singleShot(QDateTime::currentDateTime().msecsTo(slot) + 1500, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(NextRun(), slot.addDays(7));
    EXPECT_EQ(LogText().count("======Starting run========"), 1);
}

TEST_F(EngineTest, TheNextIdleTickReschedulesEveryChangeOfTheSchedule) {
    using TChange = void (*)(TConnectorConfig&);
    struct Case {
        const char* name;
        TChange before, after;
        QDateTime nextRun; // the tick comes at 10:00:05
    };
    const Case cases[] = {
        {"no schedule setting", [](TConnectorConfig&) {},
         [](TConnectorConfig& c) { c.ftpserver = "ftp.other.example"; }, At(15, 10, 10)},
        {"intervals to times", [](TConnectorConfig&) {},
         [](TConnectorConfig& c) { c.scanscheduling = 1; }, At(15, 12, 0)},
        {"times to intervals", [](TConnectorConfig& c) { c.scanscheduling = 1; },
         [](TConnectorConfig& c) { c.scanscheduling = 0; }, At(15, 10, 10, 5)},
        {"interval", [](TConnectorConfig&) {},
         [](TConnectorConfig& c) { c.scaninterval = 1200000; }, At(15, 10, 20, 5)},
        {"sleep window set", [](TConnectorConfig& c) { c.scaninterval = 3600000; },
         [](TConnectorConfig& c) {
             c.sleepbegin = TimeOfDay(10, 30);
             c.sleepend = TimeOfDay(16, 0);
         },
         At(15, 16, 0)},
        {"sleep window's end moved",
         [](TConnectorConfig& c) {
             c.scaninterval = 3600000;
             c.sleepbegin = TimeOfDay(10, 30);
             c.sleepend = TimeOfDay(16, 0);
         },
         [](TConnectorConfig& c) { c.sleepend = TimeOfDay(18, 0); }, At(15, 18, 0)},
        {"sleep window removed",
         [](TConnectorConfig& c) {
             c.scaninterval = 3600000;
             c.sleepbegin = TimeOfDay(10, 30);
             c.sleepend = TimeOfDay(16, 0);
         },
         [](TConnectorConfig& c) { c.sleepbegin = c.sleepend = -1; }, At(15, 11, 0, 5)},
        {"slot added", [](TConnectorConfig& c) { c.scanscheduling = 1; },
         [](TConnectorConfig& c) { c.DayTimes[1][0] = TimeOfDay(11, 0); }, At(15, 11, 0)},
        {"slot moved", [](TConnectorConfig& c) { c.scanscheduling = 1; },
         [](TConnectorConfig& c) { c.DayTimes[1][1] = TimeOfDay(11, 30); }, At(15, 11, 30)},
        {"slot removed", [](TConnectorConfig& c) { c.scanscheduling = 1; },
         [](TConnectorConfig& c) { c.DayTimes[1][1] = -1; }, At(16, 9, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FEngine.reset();
        Config() = TConnectorConfig();
        Config().scanscheduling = 0;
        Config().scaninterval = 600000;
        Config().oracledelay = 0;
        Config().DayTimes[1][1] = TimeOfDay(12, 0); // Monday
        Config().DayTimes[2][0] = TimeOfDay(9, 0);  // Tuesday
        c.before(Config());
        SaveConfig();
        FClock.Set(At(15, 10, 0));
        Engine().Enable();
        FClock.Advance(5000);
        SaveAsTheUtility(c.after);
        Engine().tmIdleTimer();
        EXPECT_EQ(NextRun(), c.nextRun);
        EXPECT_TRUE(Engine().tmProcess->isActive());
    }
}

TEST_F(EngineTest, AScheduleSavedWhileEnableWaitsIsInForceAfterTheNextIdleTick) {
    Config().scanscheduling = 1;
    Config().oracledelay = 120000;
    Config().DayTimes[1][1] = TimeOfDay(12, 0);
    SaveConfig();
    FClock.Set(At(15, 10, 0));
    Engine();
    ASSERT_EQ(NextRun(), At(15, 12, 0));
    bool saved = false;
    FClock.OnSleep = [&saved] {
        if (saved)
            return;
        saved = true;
        SaveAsTheUtility([](TConnectorConfig& c) {
            c.scanscheduling = 0;
            c.scaninterval = 300000;
        });
    };
    Engine().Enable(); // the Oracle pause: two minutes
    Engine().tmIdleTimer();
    EXPECT_EQ(NextRun(), At(15, 10, 7));
}

TEST_F(EngineTest, TheOracleDelayHoldsBackTheFirstRunOnly) {
    Config().scanscheduling = 0;
    Config().scaninterval = 60000;
    Config().oracledelay = 120000;
    SaveConfig();
    FClock.Set(At(15, 10, 0));
    Engine().Enable();
    EXPECT_EQ(NextRun(), At(15, 10, 2));
    FClock.Advance(5000);
    Engine().tmIdleTimer(); // loads the delay again
    EXPECT_EQ(NextRun(), At(15, 10, 2));

    FClock.Set(At(15, 10, 2));
    Engine().tmProcessTimer();
    EXPECT_EQ(NextRun(), At(15, 10, 3));
    EXPECT_EQ(Engine().tmProcess->interval(), 60000);
    SaveAsTheUtility([](TConnectorConfig& c) { c.scaninterval = 90000; });
    Engine().tmIdleTimer();
    EXPECT_EQ(Engine().tmProcess->interval(), 90000);
    EXPECT_EQ(Config().oracledelay, 120000);
    EXPECT_EQ(LogText().count("Factoring in Oracle delay of "), 1);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
