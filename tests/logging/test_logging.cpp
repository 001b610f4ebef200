// The logger as the programs use it: line layout, levels, files per day and
// per start, the header, the command-line switches and the module procedures.
#include "LoggingTestSupport.h"

#include "platform/SystemInfo.h"

#include <memory>
#include <thread>

using namespace loggingtest;
using namespace uOVLogging;

namespace {

// Runs one logger over AWork and returns the lines of its file.
QStringList RunLogger(const std::function<void(TOVLogger&)>& AWork, bool AIncludeTime = false,
                      const QString& AModule = QStringLiteral("Mod")) {
    TOVLogger logger(AModule, AIncludeTime);
    logger.StartLogging();
    AWork(logger);
    const QString path = logger.GetOutputPath();
    logger.EndLogging();
    return QFile::exists(path) ? ReadLines(path) : QStringList();
}

const QString Area50 = QString(50, QLatin1Char('x'));

} // namespace

TEST_F(LoggingTest, LineLayoutOfEveryKindOfCall) {
    struct Case {
        std::function<void(TOVLogger&)> call;
        QStringList types, areas, msgs;
    };
    const QString scan = QStringLiteral("TdlgConnectorLogic.ScanDatabase");
    const QStringList two{QStringLiteral("a"), QStringLiteral("b c")};
    const QStringList none;
    const Case cases[] = {
        {[&](TOVLogger& l) { l.info(0, QStringLiteral("hello"), scan); },
         {LOG_INFO},
         {scan},
         {"hello"}},
        {[&](TOVLogger& l) { l.info(0, QStringLiteral("m"), Area50 + QStringLiteral("cut")); },
         {LOG_INFO},
         {Area50},
         {"m"}},
        {[&](TOVLogger& l) { l.warn(1, QStringLiteral("w")); }, {LOG_WARNING}, {""}, {"w"}},
        {[&](TOVLogger& l) { l.err(QStringLiteral("e"), QStringLiteral("Init")); },
         {LOG_ERROR},
         {"Init"},
         {"e"}},
        {[&](TOVLogger& l) {
             l.SetLogLevel(9);
             l.dbg(QStringLiteral("d"), QStringLiteral("Run"));
         },
         {LOG_DEBUG},
         {"Run"},
         {"d"}},
        {[&](TOVLogger& l) { l.log(0, QStringLiteral("raw"), LOG_EXIT, QStringLiteral("A")); },
         {LOG_EXIT},
         {"A"},
         {"raw"}},
        {[&](TOVLogger& l) { l.logenter(0, scan); }, {LOG_ENTER}, {scan}, {"BEGIN"}},
        {[&](TOVLogger& l) { l.logenter(0, scan, QStringLiteral("7")); },
         {LOG_ENTER},
         {scan},
         {"[7] BEGIN"}},
        {[&](TOVLogger& l) { l.logexit(0, scan, QStringLiteral("7")); },
         {LOG_EXIT},
         {scan},
         {"[7] END"}},
        {[&](TOVLogger& l) {
             l.exc(EConvertError(QStringLiteral("bad")), QStringLiteral("LoadConfig"));
         },
         {LOG_ERROR},
         {""},
         {"EConvertError in LoadConfig: bad"}},
        {[&](TOVLogger& l) { l.exc(EConvertError(QStringLiteral("bad"))); },
         {LOG_ERROR},
         {""},
         {"EConvertError"}},
        {[&](TOVLogger& l) {
             l.exc(EInOutError(QStringLiteral("x")), QStringLiteral("M"), QStringLiteral("p"));
         },
         {LOG_ERROR},
         {""},
         {"[p] EInOutError in M: x"}},
        {[&](TOVLogger& l) { l.logvalue(0, QStringLiteral("ASbsNo"), QStringLiteral("1"), 20); },
         {LOG_INFO},
         {""},
         {"ASbsNo..............1"}},
        {[&](TOVLogger& l) { l.logvalue(0, QStringLiteral("LongerThanFive"), qint64(-42), 5); },
         {LOG_INFO},
         {""},
         {"LongerThanFive-42"}},
        {[&](TOVLogger& l) {
             l.logvalue(0, QStringLiteral("F"), 0.5, 4, LOG_WARNING, QStringLiteral("Z"));
         },
         {LOG_WARNING},
         {"Z"},
         {"F...0.500000"}},
        {[&](TOVLogger& l) { l.logvalue(0, QStringLiteral("B"), true, 2); },
         {LOG_INFO},
         {""},
         {"B.True"}},
        {[&](TOVLogger& l) {
             l.logvalue(0, QStringLiteral("L"), static_cast<const QStringList*>(nullptr), 3);
         },
         {LOG_INFO},
         {""},
         {"L..NIL"}},
        {[&](TOVLogger& l) { l.logvalue(0, QStringLiteral("L"), &none, 3); },
         {LOG_INFO},
         {""},
         {"L..[empty]"}},
        {[&](TOVLogger& l) { l.logvalue(0, QStringLiteral("L"), &two, 3); },
         {LOG_INFO, LOG_INFO},
         {"", ""},
         {"   [0] a", "   [1] b c"}},
        {[&](TOVLogger& l) { l.info(0, QStringLiteral("caf\u00e9 \u20ac")); },
         {LOG_INFO},
         {""},
         {"caf\u00e9 \u20ac"}},
    };
    for (const Case& c : cases) {
        const QList<TLine> body = Body(RunLogger(c.call));
        ASSERT_EQ(body.size(), c.msgs.size()) << c.msgs.join('/').toStdString();
        for (qsizetype i = 0; i < body.size(); ++i) {
            EXPECT_EQ(body[i].stamp, "2024-03-05 10:20:30.456");
            EXPECT_EQ(body[i].type, c.types[i]);
            EXPECT_EQ(body[i].area, c.areas[i].leftJustified(50));
            EXPECT_EQ(body[i].msg, c.msgs[i]);
        }
        QFile::remove(FTemp.File("Mod_20240305.log"));
    }
}

TEST_F(LoggingTest, ExactBytesOfOneLine) {
    TOVLogger logger(QStringLiteral("Bytes"), false);
    logger.StartLogging();
    logger.info(0, QStringLiteral("\u00e9"), QStringLiteral("A"));
    logger.EndLogging();
    const QByteArray bytes = testsupport::ReadFileBytes(FTemp.File("Bytes_20240305.log"));
    const QByteArray expected =
        "2024-03-05 10:20:30.456 |  INFO    |A" + QByteArray(49, ' ') + "| \xE9\r\n";
    EXPECT_TRUE(bytes.endsWith(expected)) << bytes.right(100).toStdString();
}

TEST_F(LoggingTest, LevelDecidesWhatIsWritten) {
    struct Case {
        int loggerLevel, callLevel;
        int expectedLines;
    };
    const Case cases[] = {{1, 2, 0}, {1, 0, 1}, {1, 1, 1}, {9, 9, 1}, {0, 1, 0}, {-1, 0, 0}};
    for (const Case& c : cases) {
        const QStringList lines = RunLogger([&](TOVLogger& l) {
            l.SetLogLevel(c.loggerLevel);
            l.info(c.callLevel, QStringLiteral("probe"));
        });
        EXPECT_EQ(lines.filter(QStringLiteral("| probe")).size(), c.expectedLines)
            << c.loggerLevel << " " << c.callLevel;
        QFile::remove(FTemp.File("Mod_20240305.log"));
    }
    // Below 0 not even the header is written, so no file appears.
    ChangeSettings([](TLogSettings& S) { S.DefaultLogLevel = -1; });
    RunLogger([](TOVLogger& l) { l.info(0, QStringLiteral("x")); });
    EXPECT_TRUE(LogFiles(FTemp.Path()).isEmpty());
}

TEST_F(LoggingTest, LinesBeforeStartAndAfterEndAreDropped) {
    TOVLogger logger(QStringLiteral("Mod"), false);
    EXPECT_FALSE(logger.GetLoggingStarted());
    EXPECT_EQ(logger.GetOutputPath(), "");
    EXPECT_EQ(logger.GetQueueSize(), 0);
    EXPECT_EQ(logger.GetLastError(), "");
    logger.info(0, QStringLiteral("before"));
    logger.StartLogging();
    EXPECT_TRUE(logger.GetLoggingStarted());
    EXPECT_EQ(logger.GetOutputPath(), FTemp.File("Mod_20240305.log"));
    logger.info(0, QStringLiteral("during"));
    logger.EndLogging();
    logger.info(0, QStringLiteral("after"));
    EXPECT_FALSE(logger.GetLoggingStarted());
    EXPECT_EQ(Messages(Body(ReadLines(FTemp.File("Mod_20240305.log")))), QStringList{"during"});
    EXPECT_FALSE(Loggers().contains(&logger));
}

TEST_F(LoggingTest, FilesPerDayAndPerStart) {
    // The utility: two runs on one day share one file, a new day starts another.
    RunLogger([](TOVLogger& l) { l.info(0, QStringLiteral("run 1")); });
    RunLogger([](TOVLogger& l) { l.info(0, QStringLiteral("run 2")); });
    EXPECT_EQ(LogFiles(FTemp.Path()), QStringList{"Mod_20240305.log"});
    const QStringList lines = ReadLines(FTemp.File("Mod_20240305.log"));
    EXPECT_EQ(lines.filter(QStringLiteral("START OF LOG")).size(), 2);
    EXPECT_EQ(lines.filter(QStringLiteral("| run ")).size(), 2);

    // The service: every start gets its own file, named with the time.
    for (int i = 0; i < 2; ++i) {
        RunLogger([](TOVLogger& l) { l.info(0, QStringLiteral("start")); }, true,
                  QStringLiteral("Svc"));
        FClock.Advance(1001);
    }
    EXPECT_EQ(LogFiles(FTemp.Path()), (QStringList{"Mod_20240305.log", "Svc_20240305_102030456.log",
                                                   "Svc_20240305_102031457.log"}));
}

TEST_F(LoggingTest, NewDayMovesToANewFileWhileRunning) {
    struct Case {
        bool includeTime;
        QStringList files;
    };
    const Case cases[] = {
        {false, {"Day_20240305.log", "Day_20240306.log"}},
        {true, {"Day_20240305_102030456.log", "Day_20240306_000000100.log"}},
    };
    for (const Case& c : cases) {
        FClock.Set(StartOfTest);
        TOVLogger logger(QStringLiteral("Day"), c.includeTime);
        logger.StartLogging();
        logger.info(0, QStringLiteral("first day"));
        ASSERT_TRUE(WaitUntil([&] { return logger.GetQueueSize() == 0; }));
        FClock.Set(QDateTime(QDate(2024, 3, 6), QTime(0, 0, 0, 100)));
        logger.info(0, QStringLiteral("second day"));
        logger.EndLogging();
        EXPECT_EQ(LogFiles(FTemp.Path()), c.files);
        EXPECT_EQ(Messages(Body(ReadLines(FTemp.File(c.files[1])))), QStringList{"second day"});
        for (const QString& f : c.files)
            QFile::remove(FTemp.File(f));
    }
}

TEST_F(LoggingTest, HeaderLines) {
    ChangeSettings([](TLogSettings& S) { S.LogMachineInfo = true; });
    const QStringList lines = RunLogger([](TOVLogger&) {});
    QStringList msgs;
    for (const QString& line : lines) {
        const TLine parsed = ParseLine(line);
        ASSERT_EQ(parsed.type, LOG_INFO) << line.toStdString();
        ASSERT_EQ(parsed.area, QString(50, ' '));
        msgs << parsed.msg;
    }
    const QString rule(86, '=');
    ASSERT_GE(msgs.size(), 13);
    EXPECT_EQ(msgs.mid(0, 7),
              (QStringList{"", rule, "START OF LOG", rule, "", "LogLevel = 1", ""}));
#ifdef _WIN32
    // Windows always has a user language and locale.
    EXPECT_TRUE(msgs[7].startsWith("Language : ") && !msgs[7].contains("could not"))
        << msgs[7].toStdString();
    EXPECT_TRUE(msgs[8].startsWith("Locale   : ") && msgs[8].size() > 11) << msgs[8].toStdString();
#else
    EXPECT_EQ(msgs[7], "Language : [could not be determined]");
    EXPECT_EQ(msgs[8], "Locale   : C");
#endif
    EXPECT_EQ(msgs[9], "Computer : " + QString::fromStdString(platform::ComputerName()));
    EXPECT_TRUE(msgs[10].startsWith("Domain   : "));
    EXPECT_EQ(msgs.last(), uOVUtils::WindowsVersionText());
    EXPECT_EQ(msgs[msgs.size() - 2], "");

    // The machine block: its labels in order, then one block per volume.
    const char* labels[] = {"CPU      : ",          "     Processor    : ", "     Family       : ",
                            "     Model        : ", "     Step         : ", "     Vendor       : ",
                            "     Manufacturer : ", "     Name         : ", "BIOS     : ",
                            "     Copyright    : ", "     Extended     : ", "     Date         : ",
                            "Windows  : ",          "     Service pack : ", "     Owner        : ",
                            "     Registered to: ", "MAC addresses:"};
    qsizetype at = 11;
    for (const char* label : labels)
        EXPECT_TRUE(msgs.value(at++).startsWith(QLatin1String(label))) << label;
    EXPECT_GT(msgs[11].mid(11).toInt(), 0);
    // The volume of the system: the root folder, or drive C.
#ifdef _WIN32
    const qsizetype root = msgs.indexOf("c    :");
#else
    const qsizetype root = msgs.indexOf("/    :");
#endif
    ASSERT_GT(root, at) << msgs.join('\n').toStdString();
    EXPECT_EQ(msgs[root + 2], "     Type         :Fixed");
    EXPECT_TRUE(msgs[root + 4].contains(QRegularExpression("^     SerialNo     :[0-9A-F]{8}$")));
    EXPECT_TRUE(msgs[root + 5] == "     ReadWrite    :R/W" ||
                msgs[root + 5] == "     ReadWrite    :R/O");
    EXPECT_GT(msgs[root + 6].mid(19).toLongLong(), 0);
}

TEST_F(LoggingTest, HeaderWithoutMachineBlockAndLevelInIt) {
    ChangeSettings([](TLogSettings& S) { S.DefaultLogLevel = 7; });
    const QStringList lines = RunLogger([](TOVLogger&) {});
    EXPECT_EQ(lines.size(), 13);
    EXPECT_TRUE(lines.filter(QStringLiteral("| LogLevel = 7")).size() == 1);
    EXPECT_TRUE(lines.filter(QStringLiteral("CPU      : ")).isEmpty());
}

TEST_F(LoggingTest, CommandLineSwitches) {
    struct Case {
        std::vector<std::string> args;
        int level;
        bool enabled, machine;
        QString traceDir;
    };
    const Case cases[] = {
        {{}, 1, true, false, ""},
        {{"-loglevel=0"}, 0, false, false, ""},
        {{"/LogLevel:5"}, 5, true, false, ""},
        {{"-loglevel= 7 "}, 7, true, false, ""},
        {{"-loglevel=abc"}, -1, true, false, ""},
        {{"loglevel=5"}, 1, true, false, ""},
        {{"-loglevel="}, 1, true, false, ""},
        {{"-logmachine=yes"}, 1, true, true, ""},
        {{"-logmachine=no"}, 1, true, false, ""},
        {{"-loglevel=0", "/LOGMACHINE:1"}, 0, true, true, ""},
        {{"-tracelogdir=/tmp/trace"}, 1, true, false, "/tmp/trace"},
    };
    for (const Case& c : cases) {
        platform::SetCommandLine(c.args);
        StartModule();
        TOVLogger logger(QStringLiteral("Sw"), false);
        const std::string what = c.args.empty() ? "(none)" : c.args.front();
        const TLogSettings settings = Settings();
        EXPECT_EQ(settings.DefaultLogLevel, c.level) << what;
        EXPECT_EQ(logger.LogLevel(), c.level) << what;
        EXPECT_EQ(logger.LoggingEnabled(), c.enabled) << what;
        EXPECT_EQ(settings.LogMachineInfo, c.machine) << what;
        EXPECT_EQ(settings.TraceLogDir, c.traceDir) << what;
    }
}

TEST_F(LoggingTest, UnreadableLevelWritesNothingUntilALevelIsSet) {
    platform::SetCommandLine(std::vector<std::string>{"-loglevel=abc"});
    StartModule();
    TOVLogger logger(QStringLiteral("Abc"), false);
    logger.StartLogging();
    logger.info(0, QStringLiteral("silent"));
    EXPECT_TRUE(WaitUntil([&] { return logger.GetQueueSize() == 0; }));
    EXPECT_TRUE(LogFiles(FTemp.Path()).isEmpty());
    logger.SetLogLevel(0);
    logger.info(0, QStringLiteral("heard"));
    logger.EndLogging();
    EXPECT_EQ(ReadLines(FTemp.File("Abc_20240305.log")).filter("| heard").size(), 1);
}

TEST_F(LoggingTest, TraceFileAndLogFolderResolution) {
    testsupport::TTempDir exe;
    testsupport::TTempDir trace;
    const QString savedExeDir = uOVUtils::ExeDir();
    uOVUtils::SetExeDir(exe.Dir());
    // The initial value, "logs" and the system's separator, is the program folder's.
    const QString initial = QStringLiteral("logs") + QDir::separator();
    SetLogDir(initial);
    ChangeSettings([&](TLogSettings& S) { S.TraceLogDir = trace.Path(); });
    RunLogger([](TOVLogger& l) { l.info(0, QStringLiteral("x")); });
    uOVUtils::SetExeDir(savedExeDir);
    EXPECT_EQ(LogDir(), exe.Dir() + initial);
    EXPECT_EQ(LogFiles(exe.File("logs")), QStringList{"Mod_20240305.log"});
    EXPECT_EQ(testsupport::ReadFileBytes(trace.File("orvlogger.log")),
              "LogDir = \"" + (exe.Dir() + initial).toUtf8() + "\"\r\n");
    // Any other value is kept as it stands.
    SetLogDir(FTemp.Dir());
    RunLogger([](TOVLogger&) {});
    EXPECT_EQ(LogDir(), FTemp.Dir());
}

TEST_F(LoggingTest, LevelChangesLoggedOnlyWhenAsked) {
    struct Case {
        bool logged;
        int value;
        int lines;
    };
    const Case cases[] = {{true, 5, 1}, {true, 0, 0}, {false, 5, 0}, {true, -1, 0}};
    for (const Case& c : cases) {
        ChangeSettings([&](TLogSettings& S) { S.LogLevelChangesLogged = c.logged; });
        const QStringList lines = RunLogger([&](TOVLogger& l) { l.SetLogLevel(c.value); });
        EXPECT_EQ(
            lines.filter("|" + QString(50, ' ') + "| LogLevel set to " + QString::number(c.value))
                .size(),
            c.lines)
            << c.logged << " " << c.value;
        QFile::remove(FTemp.File("Mod_20240305.log"));
    }
}

TEST_F(LoggingTest, ModuleProceduresForwardToTheDefaultLogger) {
    info(0, QStringLiteral("nobody listens"));
    EXPECT_EQ(GetDefaultLogLevel(), -1);
    auto* logger = new TOVLogger(QStringLiteral("Def"), false);
    SetDefaultLogger(logger);
    SetDefaultLogLevel(9);
    SetDefaultLoggingEnabled(false);
    EXPECT_EQ(GetDefaultLogLevel(), 9);
    EXPECT_FALSE(logger->LoggingEnabled());
    logger->StartLogging();
    log(0, QStringLiteral("l"), LOG_WARNING, QStringLiteral("A"));
    logenter(1, QStringLiteral("B"));
    logexit(1, QStringLiteral("B"));
    dbg(QStringLiteral("hidden"));
    exc(EConvertError(QStringLiteral("bad")), QStringLiteral("C"));
    err(QStringLiteral("e"));
    info(2, QStringLiteral("i"));
    const QString path = logger->GetOutputPath();
    auto* idle = new TOVLogger(QStringLiteral("Idle"), false);
    ASSERT_EQ(Loggers().size(), 2);
    // Module end ends and frees every logger still listed.
    EndModule();
    EXPECT_TRUE(Loggers().isEmpty());
    EXPECT_EQ(DefaultLogger(), nullptr);
    (void)idle;
    EXPECT_EQ(Messages(Body(ReadLines(path))),
              (QStringList{"l", "BEGIN", "END", "EConvertError in C: bad", "e", "i"}));
}

TEST_F(LoggingTest, ManyThreadsLoseNothingWithASmallQueue) {
    constexpr int threads = 4, perThread = 500;
    TOVLogger logger(QStringLiteral("Par"), false);
    logger.SetQueueLimit(7);
    logger.StartLogging();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                logger.info(0, QStringLiteral("%1 %2").arg(t).arg(i));
        });
    for (auto& w : workers)
        w.join();
    logger.EndLogging();
    int next[threads] = {};
    for (const QString& msg : Messages(Body(ReadLines(FTemp.File("Par_20240305.log"))))) {
        const QStringList parts = msg.split(' ');
        const int t = parts.at(0).toInt();
        EXPECT_EQ(parts.at(1).toInt(), next[t]++) << "thread " << t;
    }
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(next[t], perThread);
}

TEST_F(LoggingTest, ThreadsThatLoggedEndWithoutHarmingTheHeap) {
    // Each thread's line buffer goes as the thread ends; with MinGW's
    // thread_local that corrupted the heap, and the program crashed later.
    TOVLogger logger(QStringLiteral("Ends"), false);
    logger.StartLogging();
    // Four at a time, so that the others' allocations reuse what one frees.
    constexpr int rounds = 100, threads = 4 * rounds;
    for (int r = 0; r < rounds; ++r) {
        std::vector<std::thread> four;
        for (int t = 0; t < 4; ++t)
            four.emplace_back([&] { logger.info(0, QString(300, QLatin1Char('x'))); });
        for (auto& t : four)
            t.join();
    }
    logger.EndLogging();
    EXPECT_EQ(Body(ReadLines(FTemp.File("Ends_20240305.log"))).size(), threads);
}

TEST_F(LoggingTest, LineQueuedLaterIsWrittenWithoutAnotherLine) {
    TOVLogger logger(QStringLiteral("Late"), false);
    logger.StartLogging();
    const QString path = logger.GetOutputPath();
    const auto written = [&](const char* AMsg) {
        return WaitUntil([&] {
            return QFile::exists(path) && ReadLines(path).filter(QLatin1String(AMsg)).size() == 1;
        });
    };
    logger.info(0, QStringLiteral("one"));
    EXPECT_TRUE(written("| one"));
    logger.info(0, QStringLiteral("two"));
    EXPECT_TRUE(written("| two"));
    logger.EndLogging();
}

TEST_F(LoggingTest, EndLoggingIsBoundedWhenTheFolderNeverAppears) {
    ChangeSettings([](TLogSettings& S) { S.EndLoggingTimeoutMs = 300; });
    SetLogDir(FTemp.File("missing/deeper/"));
    TOVLogger logger(QStringLiteral("Gone"), false);
    logger.StartLogging();
    logger.info(0, QStringLiteral("cannot be written"));
    ASSERT_TRUE(WaitUntil([&] { return !logger.GetLastError().isEmpty(); }));
    EXPECT_TRUE(logger.GetLastError().startsWith("EInOutError: cannot open "))
        << logger.GetLastError().toStdString();
    EXPECT_GT(logger.GetQueueSize(), 0);
    const auto begin = std::chrono::steady_clock::now();
    logger.EndLogging();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - begin)
                        .count();
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 2500);
    EXPECT_FALSE(logger.GetLoggingStarted());
    logger.info(0, QStringLiteral("dropped"));
    QDir().mkpath(FTemp.File("missing/deeper"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(LogFiles(FTemp.File("missing/deeper")).isEmpty());
}
