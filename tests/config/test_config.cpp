#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVClock.h"
#include "common/uOVCodePage.h"
#include "tests/support/ProcessState.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <thread>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace uBrevoltRPro9ConnectorCommon;
using namespace uOVUtils;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

QByteArray Scrambled(QByteArray ABytes) {
    for (char& b : ABytes)
        b = static_cast<char>(static_cast<unsigned char>(b) ^ 0xC5);
    return ABytes;
}

TDateTime Local(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return ToDateTime(QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms)));
}

QString Stamp(TDateTime AValue) {
    return FormatDateTimeFixed(QStringLiteral("yyyy-mm-dd hh:nn:ss.zzz"), AValue);
}

// For the tests whose expected "lastquery" texts hold New York's offsets.
#define EXPECTS_NEW_YORK()                                                                         \
    if (!testsupport::InTimeZone("America/New_York"))                                              \
    GTEST_SKIP() << "expects New York's offsets"

QString Bool(bool AValue) {
    return AValue ? QStringLiteral("1") : QStringLiteral("0");
}

// Every test gets a fresh program folder, record and clock; the logger only
// where the test starts it.
class ConfigTest : public ::testing::Test {
protected:
    testsupport::TProcessState FProcessState;
    testsupport::TTempDir FDir;
    TManualClock FClock{QDateTime(QDate(2025, 6, 10), QTime(9, 15))};

    void SetUp() override {
        SetExeDir(FDir.Dir());
        uOVLogging::SetLogDir(QStringLiteral("logs") + QDir::separator());
        Config() = TConnectorConfig();
        SetClock(&FClock);
    }
    void TearDown() override { Done(); }

    void StartLogger() {
        Init(QStringLiteral("BrevoltRPro9Configurator"), false);
        ASSERT_NE(AppLogger, nullptr);
        AppLogger->SetLogLevel(9);
    }
    // Ends the logger and gives the lines of its file.
    QStringList LogLines() {
        const QString path = AppLogger->GetOutputPath();
        Done();
        return uOVCodePage::FromAnsi(ReadFileBytes(path)).split(QStringLiteral("\r\n"));
    }
    QString CfgPath() const { return FDir.File(QStringLiteral("Brevoltconnector.cfg")); }
    void WriteText(const QByteArray& AText) { WriteFileBytes(CfgPath(), Scrambled(AText)); }
    QByteArray FileText() const { return Scrambled(ReadFileBytes(CfgPath())); }
    bool Load(bool* AChanged = nullptr) {
        bool changed = false;
        const bool ok = LoadConfig(changed);
        if (AChanged)
            *AChanged = changed;
        return ok;
    }
};

// The log line of the given type, area and message, without its time stamp.
QString LogText(const QString& AType, const QString& AArea, const QString& AMsg) {
    return AType + QLatin1Char('|') + AArea.leftJustified(50, QLatin1Char(' ')) +
           QStringLiteral("| ") + AMsg;
}

// Index of the first line at or after AFrom that ends with AText, else -1.
qsizetype FindLine(const QStringList& ALines, const QString& AText, qsizetype AFrom = 0) {
    for (qsizetype i = AFrom; i < ALines.size(); ++i)
        if (ALines[i].endsWith(QStringLiteral(" | ") + AText))
            return i;
    return -1;
}

TEST_F(ConfigTest, FixtureLoadsIntoTheRecordAndSavesBackByteForByte) {
    EXPECTS_NEW_YORK();
    StartLogger();
    const QByteArray fixture = ReadFileBytes(testsupport::FixturePath("config/full.cfg"));
    WriteFileBytes(CfgPath(), fixture);
    bool changed = false;
    ASSERT_TRUE(Load(&changed));
    EXPECT_TRUE(changed);

    const TConnectorConfig& c = Config();
    EXPECT_EQ(c.scanscheduling, 0);
    EXPECT_EQ(c.scaninterval, 300000);
    EXPECT_EQ(FormatConfigTime(c.sleepbegin), "11:30 PM");
    EXPECT_DOUBLE_EQ(c.sleepend, (5 * 60 + 15) / 1440.0);
    EXPECT_EQ(c.oracledelay, 30000);
    EXPECT_EQ(c.locations, QStringList({"001.001", "001.002", "002.010"}));
    EXPECT_EQ(Stamp(c.lastquery), "2025-01-15 08:30:45.123");
    TDateTime expectedTimes[7][6];
    for (auto& day : expectedTimes)
        for (TDateTime& slot : day)
            slot = -1;
    expectedTimes[0][0] = 8 / 24.0;
    expectedTimes[1][0] = 6 / 24.0;
    expectedTimes[1][1] = 0.5;
    expectedTimes[1][5] = (23 * 60 + 45) / 1440.0;
    expectedTimes[3][2] = 5 / 1440.0;
    expectedTimes[5][3] = 14.5 / 24;
    expectedTimes[6][5] = (19 * 60 + 59) / 1440.0;
    for (int d = 0; d < 7; ++d)
        for (int s = 0; s < 6; ++s)
            EXPECT_DOUBLE_EQ(c.DayTimes[d][s], expectedTimes[d][s]) << d << "/" << s;
    EXPECT_EQ(AppLogger->LogLevel(), 5);
    EXPECT_TRUE(c.runimmediate);
    EXPECT_EQ(c.ftpserver, "ftp.example.com");
    EXPECT_EQ(c.ftpusername, "shop42");
    EXPECT_EQ(c.ftppassword, "s3cr=t!");
    EXPECT_TRUE(c.notifications);
    EXPECT_EQ(c.smtpserver, "smtp.example.com");
    EXPECT_EQ(c.smtpport, 587);
    EXPECT_FALSE(c.smtpusessltls);
    EXPECT_EQ(c.smtpusername, "mailer");
    EXPECT_EQ(c.smtppassword, QString::fromUtf8("p\u00e4$$ w\u00f6rd"));
    EXPECT_EQ(c.smtpfrom, QString::fromUtf8("Zo\u00eb M\u00fcller <zoe@example.com>"));
    EXPECT_EQ(c.startupemails, "a@example.com,b@example.com");
    EXPECT_EQ(c.shutdownemails, "a@example.com");
    EXPECT_EQ(c.dailypingemails, "ops@example.com");
    EXPECT_EQ(c.erroremails, QString::fromUtf8("\u20acrrors@example.com"));
    EXPECT_TRUE(c.restartonmissingdata);
    EXPECT_FALSE(c.notifyonstartup);
    EXPECT_EQ(c.ConfigText, uOVCodePage::FromAnsi(Scrambled(fixture)));

    QFile::remove(CfgPath());
    SaveConfig();
    EXPECT_EQ(ReadFileBytes(CfgPath()), fixture);
}

TEST_F(ConfigTest, SaveRightAfterStartUp) {
    EXPECTS_NEW_YORK();
    StartLogger();
    AppLogger->SetLogLevel(4);
    Config().ConfigText = QStringLiteral("[not loaded]");
    SaveConfig();
    EXPECT_EQ(FileText(), "scanscheduling=1\r\n"
                          "scaninterval=60000\r\n"
                          "sleepbegin=12:00 AM\r\n"
                          "sleepend=12:00 AM\r\n"
                          "oracledelay=120000\r\n"
                          "lastquery=1899-12-30 05:00:00.000\r\n"
                          "loglevel=4\r\n"
                          "runimmediate=0\r\n"
                          "ftpserver=ftp.brevolt.invalid\r\n"
                          "ftpusername=undefined\r\n"
                          "notifications=0\r\n"
                          "smtpport=465\r\n"
                          "smtpusessltls=1\r\n"
                          "restartonmissingdata=False\r\n"
                          "notifyonstartup=False\r\n");
    // Empty texts and an empty list read back empty; day times stay unset.
    Config().ftpusername = QStringLiteral("kept?");
    ASSERT_TRUE(Load());
    EXPECT_TRUE(Config().locations.isEmpty());
    EXPECT_EQ(Config().ftpusername, "undefined");
    EXPECT_TRUE(Config().smtpserver.isEmpty());
    EXPECT_EQ(Config().DayTimes[3][3], -1);
}

TEST_F(ConfigTest, ReadRulesOfEachKey) {
    EXPECTS_NEW_YORK();
    StartLogger();
    struct Case {
        QByteArray File;
        std::function<QString(const TConnectorConfig&)> Field;
        QString Expected;
    };
    auto runImmediate = [](const TConnectorConfig& c) {
        return Bool(c.runimmediate);
    };
    auto notifications = [](const TConnectorConfig& c) {
        return Bool(c.notifications);
    };
    auto port = [](const TConnectorConfig& c) {
        return QString::number(c.smtpport);
    };
    auto interval = [](const TConnectorConfig& c) {
        return QString::number(c.scaninterval);
    };
    auto scheduling = [](const TConnectorConfig& c) {
        return QString::number(c.scanscheduling);
    };
    auto restart = [](const TConnectorConfig& c) {
        return Bool(c.restartonmissingdata);
    };
    auto logLevel = [](const TConnectorConfig&) {
        return QString::number(AppLogger->LogLevel());
    };
    auto lastQuery = [](const TConnectorConfig& c) {
        return Stamp(c.lastquery);
    };
    auto locations = [](const TConnectorConfig& c) {
        return c.locations.join(QLatin1Char(','));
    };
    auto sleepBegin = [](const TConnectorConfig& c) {
        return FormatConfigTime(c.sleepbegin);
    };
    auto monday1 = [](const TConnectorConfig& c) {
        return FormatConfigTime(c.DayTimes[1][0]);
    };
    auto lookBack = [](const TConnectorConfig& c) {
        return QString::number(c.lookbackminutes);
    };
    const Case cases[] = {
        {"runimmediate=1", runImmediate, "1"},
        {"runimmediate= 1", runImmediate, "0"},
        {"runimmediate=1 ", runImmediate, "0"},
        {"notifications= 1", notifications, "1"},
        {"notifications=yes", notifications, "0"},
        {"ftpserver=h", [](const TConnectorConfig& c) { return Bool(c.smtpusessltls); }, "0"},
        {"smtpport=abc", port, "2525"},
        {"smtpport=", port, "2525"},
        {"smtpport= 587 ", port, "587"},
        {"scaninterval=abc", interval, "60000"},
        {"scaninterval=5000", interval, "5000"},
        {"ScanInterval=5000", interval, "5000"},
        {"SCANINTERVAL=1000\r\nscaninterval=2000", interval, "1000"},
        {" scaninterval=5000", interval, "60000"},
        {"scanscheduling=", scheduling, "1"},
        {"scanscheduling= 0 ", scheduling, "0"},
        {"scanscheduling=x", scheduling, "1"},
        {"oracledelay=soon",
         [](const TConnectorConfig& c) { return QString::number(c.oracledelay); }, "120000"},
        {"ftpserver=  host.example  ", [](const TConnectorConfig& c) { return c.ftpserver; },
         "host.example"},
        {"ftppassword=a=b", [](const TConnectorConfig& c) { return c.ftppassword; }, "a=b"},
        {"ftpserver=h", [](const TConnectorConfig& c) { return c.ftpusername; }, ""},
        {"restartonmissingdata=yes", restart, "1"},
        {"restartonmissingdata=1", restart, "1"},
        {"restartonmissingdata=-1", restart, "1"},
        {"restartonmissingdata=TRUE", restart, "1"},
        {"restartonmissingdata=no", restart, "0"},
        {"restartonmissingdata=0", restart, "0"},
        {"restartonmissingdata=", restart, "0"},
        {"loglevel=3", logLevel, "3"},
        {"loglevel=x", logLevel, "9"},
        {"scaninterval=5000\rsmtpport=25\nftpserver=h", port, "25"},
        {"locations=001.001|001.002|002.010", locations, "001.001,001.002,002.010"},
        {"ftpserver=h", locations, ""},
        {"lastquery=", lastQuery, "2025-06-10 00:00:00.000"},
        {"ftpserver=h", lastQuery, "2025-06-10 00:00:00.000"},
        {"lastquery=garbage", lastQuery, "2025-06-09 09:15:00.000"},
        {"lastquery=1899-12-30 00:00:00.000", lastQuery, "2025-06-09 09:15:00.000"},
        {"lastquery=2025-06-10 12:00:00.000", lastQuery, "2025-06-10 08:00:00.000"},
        {"lastquery=  2025-06-10 12:00  ", lastQuery, "2025-06-10 08:00:00.000"},
        {"sleepbegin=", sleepBegin, ""}, // cleared in the utility
        {"ftpserver=h", sleepBegin, ""},
        {"sleepbegin=later", sleepBegin, "06:00 AM"},
        {"sleepbegin=21:15", sleepBegin, "09:15 PM"},
        {"ftpserver=h", monday1, ""},
        {"mondaytime1=2:30 pm", monday1, "02:30 PM"},
        {"ftpserver=h", lookBack, "120"},
        {"lookbackminutes= 45 ", lookBack, "45"},
        {"lookbackminutes=0", lookBack, "0"},
        {"lookbackminutes=-5", lookBack, "120"},
        {"lookbackminutes=2h", lookBack, "120"},
        {"lookbackminutes=99999", lookBack, "10080"},
        {"ftpusetls=1", [](const TConnectorConfig& c) { return Bool(c.ftpusetls); }, "1"},
        {"ftpusetls= 1 ", [](const TConnectorConfig& c) { return Bool(c.ftpusetls); }, "1"},
        {"ftpusetls=yes", [](const TConnectorConfig& c) { return Bool(c.ftpusetls); }, "0"},
    };
    for (const Case& c : cases) {
        Config() = TConnectorConfig();
        Config().smtpport = 2525;
        Config().sleepbegin = 0.25;
        Config().DayTimes[1][0] = 0.5;
        Config().locations = QStringList{"009.009"};
        WriteText(c.File);
        ASSERT_TRUE(Load()) << c.File.toStdString();
        EXPECT_EQ(c.Field(Config()), c.Expected) << c.File.toStdString();
        EXPECT_EQ(
            Config().ConfigText.toLatin1(),
            QByteArray(c.File).replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n") +
                "\r\n")
            << c.File.toStdString();
    }
}

TEST_F(ConfigTest, TheLookBackIsWrittenLastAndOnlyWhenNotTheDefault) {
    StartLogger();
    for (const int minutes : {45, 120}) {
        Config() = TConnectorConfig();
        Config().lookbackminutes = minutes;
        SaveConfig();
        EXPECT_EQ(FileText().endsWith("notifyonstartup=False\r\nlookbackminutes=45\r\n"),
                  minutes == 45);
        EXPECT_EQ(FileText().contains("lookbackminutes"), minutes == 45);
        Config().lookbackminutes = 7;
        ASSERT_TRUE(Load());
        EXPECT_EQ(Config().lookbackminutes, minutes);
    }
}

TEST_F(ConfigTest, FtpsIsWrittenAfterThePasswordAndOnlyWhenOn) {
    StartLogger();
    for (const bool on : {true, false}) {
        Config() = TConnectorConfig();
        Config().ftppassword = "pw";
        Config().ftpusetls = on;
        SaveConfig();
        EXPECT_EQ(FileText().contains("ftppassword=pw\r\nftpusetls=1\r\nnotifications=0\r\n"), on);
        EXPECT_EQ(FileText().contains("ftpusetls"), on);
        Config().ftpusetls = !on;
        ASSERT_TRUE(Load());
        EXPECT_EQ(Config().ftpusetls, on);
    }
}

TEST_F(ConfigTest, ScheduleChangedFlag) {
    struct Case {
        QByteArray File;
        bool Changed;
    };
    const Case cases[] = {
        {"scaninterval=60000", false},    {"ftpserver=h", false},
        {"scaninterval=30000", true},     {"sleepbegin=06:00 AM", false},
        {"sleepbegin=6:00", false},       {"sleepbegin=06:00:30", true},
        {"sleepbegin=06:01 AM", true},    {"sleepend=", true}, // a cleared time
        {"mondaytime1=12:00 PM", false},  {"mondaytime1=12:30 PM", true},
        {"mondaytime1=bad", false},       {"mondaytime1=", true},
        {"saturdaytime6=01:00 AM", true}, {"scaninterval=30000\r\nsleepbegin=06:00 AM", true},
        {"scanscheduling=1", false},      {"scanscheduling=0", true},
    };
    for (const Case& c : cases) {
        Config() = TConnectorConfig();
        Config().sleepbegin = 0.25;
        Config().sleepend = 0;
        Config().DayTimes[1][0] = 0.5;
        // The times held, after the case's line (the first line of a key counts).
        WriteText(c.File + "\r\nsleepbegin=06:00 AM\r\nsleepend=12:00 AM\r\nmondaytime1=12:00 PM");
        bool changed = !c.Changed;
        ASSERT_TRUE(Load(&changed)) << c.File.toStdString();
        EXPECT_EQ(changed, c.Changed) << c.File.toStdString();
    }
}

TEST(ConfigTime, ParseAndFormat) {
    struct Parse {
        QString Text;
        TDateTime Expected; // -7: keeps old
    };
    const TDateTime old = -7;
    const Parse parses[] = {
        {"14:30", 14.5 / 24},
        {"2:30 PM", 14.5 / 24},
        {"02:30 pm", 14.5 / 24},
        {"2:30PM", 14.5 / 24},
        {"12:00 AM", 0},
        {"12:15 PM", 12.25 / 24},
        {"0:30 AM", 0.5 / 24},
        {" 14:30:15 ", (14 * 3600 + 30 * 60 + 15) / 86400.0},
        {"2:30:15 PM", (14 * 3600 + 30 * 60 + 15) / 86400.0},
        {"23:59:59", 86399 / 86400.0},
        {"", old},
        {"14", old},
        {"25:00", old},
        {"14:60", old},
        {"13:00 PM", old},
        {"14:30 XM", old},
        {"14:30:00.5", old},
        {"noon", old},
        {"PM 2:30 PM", old},
        // This process's regional form, after or before the time.
        {"2" + TimeSeparator() + "30 " + TimePMString(), 14.5 / 24},
        {"2" + TimeSeparator() + "30" + TimePMString().toUpper(), 14.5 / 24},
        {"12" + TimeSeparator() + "15 " + TimeAMString(), 0.25 / 24},
        {TimePMString() + " 9" + TimeSeparator() + "05", (21 * 60 + 5) / 1440.0},
        {"14" + TimeSeparator() + "30", 14.5 / 24},
    };
    for (const Parse& p : parses) {
        bool changed = false;
        EXPECT_DOUBLE_EQ(ParseConfigTime(p.Text, old, changed), p.Expected) << p.Text.toStdString();
        EXPECT_EQ(changed, p.Expected != old) << p.Text.toStdString();
    }
    const std::pair<TDateTime, QString> formats[] = {
        {14.5 / 24, "02:30 PM"},
        {0, "12:00 AM"},
        {0.5, "12:00 PM"},
        {-1, ""},
        {-0.5, ""},
        {45000.75, "06:00 PM"},
        {(14 * 60 + 30.99) / 1440, "02:30 PM"},
        {1 / 86400.0, "12:00 AM"},
    };
    for (const auto& [value, text] : formats)
        EXPECT_EQ(FormatConfigTime(value), text) << value;
}

TEST(ConfigLocations, WriteAndReadTheList) {
    const std::pair<QStringList, QString> roundTrips[] = {
        {{"001.001", "001.002", "002.010"}, "001.001|001.002|002.010"},
        {{}, ""},
        {{""}, "\"\""},
        {{"a", "", "b"}, "a||b"},
        {{"a", ""}, "a|"},
        {{"a b"}, "\"a b\""},
        {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
        {{"a|b", "c"}, "\"a|b\"|c"},
        {{"tab\there"}, "\"tab\there\""},
    };
    for (const auto& [items, text] : roundTrips) {
        EXPECT_EQ(LocationsToText(items), text);
        EXPECT_EQ(TextToLocations(text), items) << text.toStdString();
    }
    const std::pair<QString, QStringList> reads[] = {
        {"a b", {"a", "b"}},
        {"  a | b  ", {"a", "b"}},
        {"|a", {"", "a"}},
        {"\"un closed", {"un closed"}},
        {"\"x\"y|z", {"x", "y", "z"}},
        {"   ", {}},
    };
    for (const auto& [text, items] : reads)
        EXPECT_EQ(TextToLocations(text), items) << text.toStdString();
    EXPECT_EQ(LocationKey("1", "5"), "001.005");
    EXPECT_EQ(LocationKey(" 12 ", "1234"), "012.123");
}

TEST_F(ConfigTest, LogLinesOfInitLoadAndSave) {
    Config().DayTimes[2][2] = 0.5;
    Config().locations = QStringList{"001.001"};
    StartLogger();
    EXPECT_EQ(uOVLogging::DefaultLogger(), AppLogger);
    EXPECT_EQ(Config().DayTimes[2][2], -1);
    EXPECT_TRUE(Config().locations.isEmpty());

    EXPECT_FALSE(Load());
    WriteFileBytes(CfgPath(), QByteArray());
    EXPECT_FALSE(Load());
    QFile::remove(CfgPath());
    QDir(FDir.Path()).mkdir(QStringLiteral("Brevoltconnector.cfg"));
    EXPECT_FALSE(Load());
    QDir(FDir.Path()).rmdir(QStringLiteral("Brevoltconnector.cfg"));
    SaveConfig();

    const QStringList lines = LogLines();
    const QString info = uOVLogging::LOG_INFO;
    const QString exeDir = FDir.Dir();
    for (const QString exe : {"BrevoltRPro9Service", "BrevoltRPro9Configurator"})
        EXPECT_GE(FindLine(lines, LogText(info, "Init", exe + " (" + exeDir + exe + "): ")), 0);
    EXPECT_GE(FindLine(lines, LogText(info, "Init", "ExeDir: " + exeDir)), 0);
    EXPECT_GE(
        FindLine(lines, LogText(info, "Init", "LogDir: " + exeDir + "logs" + QDir::separator())),
        0);

    qsizetype at = 0;
    const QString expected[] = {
        LogText(info, "LoadConfig", "Config file not found"),
        LogText(info, "LoadConfig", "Config file empty"),
        LogText(info, "LoadConfig", "Config empty, skipping parse"),
        LogText(uOVLogging::LOG_ERROR, "",
                "EInOutError in LoadConfig: Unable to read the configuration file \"" +
                    QDir::toNativeSeparators(CfgPath()) + "\": "),
        LogText(uOVLogging::LOG_ENTER, "SaveConfig", "BEGIN"),
        LogText(info, "SaveConfig", "Writing config values to list"),
        LogText(info, "SaveConfig", "Encrypting list"),
        LogText(info, "SaveConfig", "Writing config to file"),
        LogText(info, "SaveConfig", "Config values written to list"),
        LogText(uOVLogging::LOG_EXIT, "SaveConfig", "END"),
    };
    for (const QString& text : expected) {
        qsizetype found = FindLine(lines, text, at);
        if (found < 0) // the error line goes on with the system's reason
            for (qsizetype i = at; i < lines.size() && found < 0; ++i)
                if (lines[i].contains(" | " + text))
                    found = i;
        ASSERT_GE(found, 0) << text.toStdString() << "\n" << lines.join('\n').toStdString();
        at = found + 1;
    }
    EXPECT_EQ(AppLogger, nullptr);
    EXPECT_EQ(uOVLogging::DefaultLogger(), nullptr);
}

#ifndef _WIN32
// POSIX file modes, which Windows has not.
mode_t ModeOf(const QString& APath) {
    struct stat st {};
    return ::stat(QFile::encodeName(APath).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
#endif

TEST_F(ConfigTest, SaveKeepsPermissionBitsAndCreates0660) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX file modes; on Windows the folder's access list decides";
#else
    const mode_t oldMask = ::umask(077);
    const std::pair<mode_t, mode_t> cases[] = {{0, 0660}, {0640, 0640}, {0666, 0666}, {0600, 0600}};
    for (const auto& [before, after] : cases) {
        QFile::remove(CfgPath());
        if (before) {
            WriteText("ftpserver=old");
            ::chmod(QFile::encodeName(CfgPath()).constData(), before);
        }
        SaveConfig();
        EXPECT_EQ(ModeOf(CfgPath()), after) << std::oct << before;
    }
    ::umask(oldMask);
#endif
}

TEST_F(ConfigTest, FailedSaveLeavesTheOldFileAndNoTempFiles) {
#ifdef _WIN32
    GTEST_SKIP() << "a full disk is made with POSIX's file size limit, which Windows has not";
#else
    SaveConfig();
    const QByteArray old = ReadFileBytes(CfgPath());
    Config().erroremails = QString(8000, QLatin1Char('x'));

    // A disk that fills up half-way through the write: the file size limit.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 2048;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    QString message;
    try {
        SaveConfig();
    } catch (const EInOutError& e) {
        message = e.Message();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(message.contains("\"" + CfgPath() + "\"")) << message.toStdString();
    EXPECT_TRUE(message.contains(QString::fromLocal8Bit(strerror(EFBIG)))) << message.toStdString();
    EXPECT_EQ(ReadFileBytes(CfgPath()), old);
    EXPECT_EQ(QDir(FDir.Path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
              QStringList{"Brevoltconnector.cfg"});

    // A folder that is not there.
    SetExeDir(FDir.Dir() + QStringLiteral("gone/"));
    try {
        SaveConfig();
        ADD_FAILURE() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_TRUE(e.Message().startsWith("Unable to write the configuration file \"" +
                                           FDir.Dir() + "gone/Brevoltconnector.cfg\": "))
            << e.Message().toStdString();
        EXPECT_GT(e.Message().size(), 60);
    }
#endif
}

TEST_F(ConfigTest, ReaderNeverSeesAPartialFile) {
    Config().ftpserver = QStringLiteral("first.example");
    SaveConfig();
    const QByteArray first = ReadFileBytes(CfgPath());
    Config().ftpserver = QStringLiteral("second.example");
    Config().erroremails = QString(20000, QLatin1Char('e'));
    SaveConfig();
    const QByteArray second = ReadFileBytes(CfgPath());

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, bad{0};
    std::thread reader([&] {
        while (!stop) {
            QByteArray bytes;
            QString error;
            if (!ReadReplacedFile(CfgPath(), bytes, error) || (bytes != first && bytes != second))
                ++bad;
            ++reads;
#ifdef _WIN32
            // Windows refuses the rename while the file is open: a reader that
            // never let go would hold every save off.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
#endif
        }
    });
    for (int i = 0; i < 200; ++i) {
        const bool even = i % 2 == 0;
        Config().ftpserver =
            even ? QStringLiteral("first.example") : QStringLiteral("second.example");
        Config().erroremails = even ? QString() : QString(20000, QLatin1Char('e'));
        SaveConfig();
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(reads, 0);
}

TEST_F(ConfigTest, SaveConfigKeysKeepsWhatTheUtilitySavedMeanwhile) {
    EXPECTS_NEW_YORK();
    WriteFileBytes(CfgPath(), ReadFileBytes(testsupport::FixturePath("config/full.cfg")));
    ASSERT_TRUE(Load());
    const TConnectorConfig service = Config(); // the service's record after its load

    // The utility saves new settings and asks for a run.
    Config().smtpserver = QStringLiteral("mail.new.example");
    Config().locations.append(QStringLiteral("003.001"));
    Config().runimmediate = true;
    SaveConfig();
    const QByteArray utility = FileText();

    // The service, still holding its old record, clears the request and
    // records its run.
    Config() = service;
    Config().runimmediate = false;
    Config().lastquery = Local(2025, 6, 10, 9, 0, 0, 250);
    SaveConfigKeys({"lastquery", "runimmediate"});

    QByteArray expected = utility;
    expected
        .replace("lastquery=2025-01-15 13:30:45.123\r\n", "lastquery=2025-06-10 13:00:00.250\r\n")
        .replace("runimmediate=1\r\n", "runimmediate=0\r\n");
    EXPECT_EQ(FileText(), expected);
    ASSERT_TRUE(Load());
    EXPECT_EQ(Config().smtpserver, "mail.new.example");
    EXPECT_EQ(Config().locations.size(), 4);
    EXPECT_FALSE(Config().runimmediate);
    EXPECT_EQ(Stamp(Config().lastquery), "2025-06-10 09:00:00.250");
}

TEST_F(ConfigTest, SaveConfigKeysEditsOnlyTheGivenLines) {
    EXPECTS_NEW_YORK();
    struct Case {
        const char* Name;
        QByteArray Before;
        std::function<void(TConnectorConfig&)> Change;
        QStringList Keys;
        QByteArray After;
    };
    const Case cases[] = {
        {"missing key goes in key order",
         "scaninterval=1\r\nloglevel=2\r\nftpserver=h\r\n",
         [](TConnectorConfig& c) { c.runimmediate = true; },
         {"runimmediate"},
         "scaninterval=1\r\nloglevel=2\r\nrunimmediate=1\r\nftpserver=h\r\n"},
        {"missing key after every other",
         "scanscheduling=1\r\n",
         [](TConnectorConfig&) {},
         {"notifyonstartup"},
         "scanscheduling=1\r\nnotifyonstartup=False\r\n"},
        {"any case, duplicates dropped",
         "RunImmediate=1\r\nftpserver=h\r\nrunimmediate=0\r\n",
         [](TConnectorConfig& c) { c.runimmediate = false; },
         {"RUNIMMEDIATE"},
         "runimmediate=0\r\nftpserver=h\r\n"},
        {"empty value removes the line",
         "ftpserver=h\r\nftppassword=old\r\nsmtpserver=s\r\n",
         [](TConnectorConfig& c) { c.ftppassword.clear(); },
         {"ftppassword"},
         "ftpserver=h\r\nsmtpserver=s\r\n"},
        {"other lines kept as they are",
         "# note\rzzz=1\n\r\nlastquery=x\r\ncustom=\x81\xe9",
         [](TConnectorConfig& c) { c.lastquery = Local(2025, 1, 2, 3, 4, 5, 6); },
         {"lastquery"},
         "# note\r\nzzz=1\r\n\r\nlastquery=2025-01-02 08:04:05.006\r\ncustom=\x81\xe9\r\n"},
        {"no keys", "a=1\n", [](TConnectorConfig&) {}, {}, "a=1\r\n"},
    };
    for (const Case& c : cases) {
        Config() = TConnectorConfig();
        WriteText(c.Before);
        c.Change(Config());
        SaveConfigKeys(c.Keys);
        EXPECT_EQ(FileText(), c.After) << c.Name;
    }

    // Without a file, or with an empty one, the whole record is written.
    Config() = TConnectorConfig();
    Config().smtpserver = QStringLiteral("s");
    SaveConfig();
    const QByteArray whole = ReadFileBytes(CfgPath());
    for (bool empty : {false, true}) {
        QFile::remove(CfgPath());
        if (empty)
            WriteFileBytes(CfgPath(), QByteArray());
        SaveConfigKeys({"lastquery"});
        EXPECT_EQ(ReadFileBytes(CfgPath()), whole) << empty;
    }

    // An unknown key changes nothing.
    EXPECT_THROW(SaveConfigKeys({"lastquery", "lastqeury"}), Exception);
    EXPECT_EQ(ReadFileBytes(CfgPath()), whole);
}

TEST_F(ConfigTest, LastQueryKeepsItsLocalTimeAcrossDaylightSaving) {
    EXPECTS_NEW_YORK();
    struct Case {
        QDateTime SavedAt;
        TDateTime LastQuery;
        QByteArray Written;
        QDateTime LoadedAt;
    };
    const Case cases[] = {
        {QDateTime(QDate(2025, 1, 15), QTime(12, 0)), Local(2025, 1, 15, 10),
         "2025-01-15 15:00:00.000", QDateTime(QDate(2025, 7, 15), QTime(12, 0))},
        {QDateTime(QDate(2025, 7, 15), QTime(12, 0)), Local(2025, 7, 15, 10),
         "2025-07-15 14:00:00.000", QDateTime(QDate(2025, 12, 15), QTime(12, 0))},
        {QDateTime(QDate(2025, 3, 9), QTime(1, 59)), Local(2025, 3, 9, 1, 59, 59, 999),
         "2025-03-09 06:59:59.999", QDateTime(QDate(2025, 3, 9), QTime(12, 0))},
        {QDateTime(QDate(2025, 11, 2), QTime(0, 45)), Local(2025, 11, 2, 0, 30),
         "2025-11-02 04:30:00.000", QDateTime(QDate(2025, 11, 3), QTime(8, 0))},
    };
    for (const Case& c : cases) {
        FClock.Set(c.SavedAt);
        Config() = TConnectorConfig();
        Config().lastquery = c.LastQuery;
        SaveConfig();
        EXPECT_TRUE(FileText().contains(QByteArray("\r\nlastquery=" + c.Written + "\r\n")))
            << c.Written.toStdString();
        FClock.Set(c.LoadedAt);
        Config().lastquery = 0;
        ASSERT_TRUE(Load());
        EXPECT_EQ(Stamp(Config().lastquery), Stamp(c.LastQuery)) << c.Written.toStdString();
    }
}

TEST_F(ConfigTest, SavesKeepTheReplacedFilesOwnerAndGroup) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX owners and groups; on Windows the folder's access list decides";
#else
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root may give a file to another account";
    const std::pair<const char*, std::function<void()>> saves[] = {
        {"SaveConfig",
         [] {
             SaveConfig();
         }},
        {"SaveConfigKeys",
         [] {
             SaveConfigKeys({"lastquery"});
         }},
    };
    uid_t owner = 4321;
    gid_t group = 4322;
    for (const auto& [name, save] : saves) {
        WriteText("ftpserver=h\r\nlastquery=2025-01-02 08:04:05.006\r\n");
        ASSERT_EQ(::chown(QFile::encodeName(CfgPath()).constData(), ++owner, ++group), 0);
        ::chmod(QFile::encodeName(CfgPath()).constData(), 0640);
        save();
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(CfgPath()).constData(), &st), 0);
        EXPECT_EQ(st.st_uid, owner) << name;
        EXPECT_EQ(st.st_gid, group) << name;
        EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    }
#endif
}

// The file written by a program in each locale and read by another in each
// locale, both in the zone of the run.
TEST(ConfigAcrossLocales, WrittenInOneLocaleReadInEvery) {
    const char* const locales[] = {"C.UTF-8", "fi_FI.UTF-8", "de_DE.UTF-8", "en_CA.UTF-8",
                                   "sv_SE.UTF-8"};
    auto run = [](const char* ALocale, const QString& AMode, const QString& ADir) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LANG", ALocale);
        env.insert("LC_ALL", ALocale);
        child.setProcessEnvironment(env);
        child.start(BREVOLT_CONFIG_CHILD, {AMode, ADir});
        const bool done = child.waitForFinished(10000);
        EXPECT_TRUE(done && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0)
            << AMode.toStdString() << " in " << ALocale << ": "
            << child.readAllStandardError().toStdString();
        // A console's text stream: CR LF on Windows.
        return QString::fromUtf8(child.readAllStandardOutput()).replace("\r\n", "\n");
    };
    const QString expected = "lastquery 2026-09-12 14:30:15.250\n"
                             "sleep 22:30-05:15\n"
                             "slot 0/1 00:00\n"
                             "slot 1/2 12:00\n"
                             "slot 3/3 09:05\n"
                             "slot 6/6 23:59\n";
    for (const char* writer : locales) {
        testsupport::TTempDir dir;
        run(writer, "write", dir.Path());
        for (const char* reader : locales)
            EXPECT_EQ(run(reader, "read", dir.Path()), expected)
                << "written in " << writer << ", read in " << reader << ":\n"
                << Scrambled(ReadFileBytes(dir.File("Brevoltconnector.cfg"))).toStdString();
    }
}

} // namespace
