// The service program as a real child process: service mode with its
// controls (signals), status datagrams, bootstrap trace and log; forms mode
// under the offscreen platform; installation into a temporary unit folder.
#include "platform/posix/SystemdUnit.h"
#include "platform/Registry.h"
#include "tests/service/ServiceProcess.h"
#include "tests/support/FtpServer.h"

#include <poll.h>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace testsupport;
using namespace servicetest;

namespace {

const QString ServicesKey =
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\BrevoltRPro9Connector");
const QString ServiceDirectoryKey =
    QStringLiteral("SOFTWARE\\OrvaneSoftware\\Brevolt\\BrevoltRPro9Connector");

const QStringList StartTrace = {"Brevolt Connector: Service starting.",
                                "Brevolt Connector: Started.", "Brevolt Connector: Entering loop."};
const QStringList StopTrace = {"Brevolt Connector: Service stopping.",
                               "Brevolt Connector: Service stopped.",
                               "Brevolt Connector: Exiting loop."};

// A datagram socket standing in for systemd's NOTIFY_SOCKET.
class TNotifySocket {
public:
    explicit TNotifySocket(const QString& APath) : FPath(APath) {
        FSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = APath.toLocal8Bit();
        memcpy(address.sun_path, path.constData(), path.size());
        if (bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind the notify socket");
    }
    ~TNotifySocket() { close(FSocket); }
    const QString& Path() const { return FPath; }
    // The next datagram, empty when none comes in time.
    QString Receive(int AMilliseconds = 10000) {
        pollfd p{FSocket, POLLIN, 0};
        if (poll(&p, 1, AMilliseconds) <= 0)
            return QString();
        char buffer[512];
        const ssize_t n = recv(FSocket, buffer, sizeof buffer, 0);
        return n > 0 ? QString::fromUtf8(buffer, n) : QString();
    }

private:
    QString FPath;
    int FSocket = -1;
};

// An exclusive lock on the sample database: every query of the service
// waits (up to its busy time-out) while it is held.
class TDatabaseLock {
public:
    explicit TDatabaseLock(const QString& AFile) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
        db.setDatabaseName(AFile);
        if (!db.open() || !QSqlQuery(db).exec(QStringLiteral("begin exclusive")))
            throw std::runtime_error("cannot lock the sample database");
    }
    ~TDatabaseLock() {
        Release();
        QSqlDatabase::removeDatabase(Name);
    }
    void Release() {
        QSqlDatabase db = QSqlDatabase::database(Name, false);
        if (db.isOpen()) {
            QSqlQuery(db).exec(QStringLiteral("commit"));
            db.close();
        }
    }

private:
    const QString Name = QStringLiteral("TDatabaseLock");
};

class ServiceTest : public TServiceProcessTest {
protected:
    // Starts service mode with a status socket; returns once it reported
    // READY and entered its loop.
    TNotifySocket& StartNotified() {
        WriteConfig();
        FNotify = std::make_unique<TNotifySocket>(FDir.File("notify.sock"));
        FEnvironment.insert("NOTIFY_SOCKET", FNotify->Path());
        Start();
        EXPECT_EQ(FNotify->Receive(), "READY=1\nSTATUS=Running");
        EXPECT_TRUE(WaitForLog("Brevolt for Retail Pro 9 service entering execution loop"));
        return *FNotify;
    }

    std::unique_ptr<TNotifySocket> FNotify;
};

TEST_F(ServiceTest, StartsReportsReadyAndStopsCleanlyOnSigterm) {
    TNotifySocket& notify = StartNotified();
    ASSERT_TRUE(WaitUntil([&] { return TraceLines().size() == 3; }, ChildWaitMs, ChildPollMs));
    EXPECT_EQ(TraceLines(), StartTrace);

    EXPECT_TRUE(StopsPromptly());
    EXPECT_EQ(notify.Receive(), "STOPPING=1\nSTATUS=Stopping");
    EXPECT_EQ(TraceLines(), StopTrace);
    // The log is in the service directory named by the registry.
    const QString execute = QStringLiteral("Connector.TBrevoltRPro9Connector.ServiceExecute");
    const QString stop = QStringLiteral("Connector.ServiceStop");
    EXPECT_TRUE(InOrder(LogText(),
                        {Line("", "Service started."), Line(execute, "Entering service loop"),
                         Line(execute, "Calling logic.Enable"),
                         ">> ENTER" + Line("TdlgConnectorLogic.Enable", "BEGIN"),
                         "<< EXIT " + Line("TdlgConnectorLogic.Enable", "END"),
                         Line(execute, "Brevolt for Retail Pro 9 service entering execution loop"),
                         ">> ENTER" + Line(stop, "BEGIN"), Line(stop, "Service stopping..."),
                         Line(stop, "Service stopped"), "<< EXIT " + Line(stop, "END"),
                         Line("", "Brevolt for Retail Pro 9 service shutting down"),
                         "<< EXIT " + Line(execute, "END")}));
}

TEST_F(ServiceTest, RunsWithoutTheTraceFolderAndNeverCreatesIt) {
    WriteConfig();
    FEnvironment.insert("BREVOLT_TRACE_FILE", FDir.File("missing/Brevolt.log"));
    Start();
    ASSERT_TRUE(WaitForLog("service entering execution loop"));
    EXPECT_TRUE(StopsPromptly(SIGINT));
    EXPECT_FALSE(QFileInfo::exists(FDir.File("missing")));
}

TEST_F(ServiceTest, StopEndsTheOraclePausePromptly) {
    // Scheduling by slot leaves the whole settle delay to Enable.
    WriteConfig([](TConnectorConfig& c) {
        c.scanscheduling = 1;
        c.oracledelay = 600000;
    });
    Start();
    ASSERT_TRUE(WaitForLog("seconds to allow Oracle to settle..."));
    EXPECT_TRUE(StopsPromptly());
    EXPECT_EQ(TraceLines(), StopTrace);
    EXPECT_TRUE(InOrder(LogText(), {"Service stopping...", "service shutting down"}));
}

TEST_F(ServiceTest, StopEndsTheMissingConfigurationWaitPromptly) {
    WriteConfig();
    {
        // The configuration is there for the start-up; the probe of Enable is
        // held until it has gone, so Enable finds it missing.
        TDatabaseLock lock(FSample.Paths().DatabaseFile);
        Start();
        ASSERT_TRUE(WaitForLog(">> ENTER|TdlgConnectorLogic.InitDatabase"));
        ASSERT_TRUE(QFile::remove(SvcDir() + "Brevoltconnector.cfg"));
    }
    ASSERT_TRUE(WaitForLog("Configuration not found.  Pausing..."));
    EXPECT_TRUE(StopsPromptly());
    EXPECT_EQ(TraceLines(), StopTrace);
}

TEST_F(ServiceTest, AStopDuringARunWaitsForTheRun) {
    WriteConfig([](TConnectorConfig& c) {
        c.scaninterval = 1500;
        c.locations = QStringList{"001.001"};
    });
    Start({"-skiptransmit"});
    ASSERT_TRUE(WaitForLog("service entering execution loop"));
    TDatabaseLock lock(FSample.Paths().DatabaseFile); // the run's probe waits
    ASSERT_TRUE(WaitForLog("======Starting run========"));

    Signal(SIGTERM);
    EXPECT_FALSE(FProcess->waitForFinished(1500)) << "stopped in the middle of a run";
    lock.Release();
    ASSERT_TRUE(FProcess->waitForFinished(10000));
    EXPECT_EQ(ExitCode(), 0);
    EXPECT_TRUE(InOrder(LogText(), {"======Starting run========", "======Run completed=======",
                                    "Service stopping...", "service shutting down"}));
    EXPECT_EQ(TraceLines(), StopTrace);
}

TEST_F(ServiceTest, PauseHoldsTheServiceAndAStopWhilePausedStillStops) {
    TNotifySocket& notify = StartNotified();

    Signal(SIGTSTP);
    EXPECT_EQ(notify.Receive(), "STATUS=Paused");
    Signal(SIGCONT);
    EXPECT_EQ(notify.Receive(), "STATUS=Running");
    ASSERT_TRUE(WaitForLog("Service continued."));
    Signal(SIGTSTP);
    EXPECT_EQ(notify.Receive(), "STATUS=Paused");
    EXPECT_EQ(FProcess->state(), QProcess::Running); // paused, not stopped by the terminal signal

    EXPECT_TRUE(StopsPromptly());
    EXPECT_EQ(TraceLines(), StopTrace);
}

struct TRunOnceCase {
    const char* name;
    const char* password;
    bool succeeds;
};

class RunOnceTest : public ServiceTest, public ::testing::WithParamInterface<TRunOnceCase> {};

TEST_P(RunOnceTest, StopsAfterOneRunWithTheRunsOutcomeAsExitCode) {
    TFtpServer ftp;
    ASSERT_TRUE(ftp.Running());
    WriteConfig([&](TConnectorConfig& c) {
        c.locations = QStringList{"001.001"};
        c.ftpserver = ftp.Address();
        c.ftpusername = QStringLiteral("shopone");
        c.ftppassword = QString::fromLatin1(GetParam().password);
    });
    Start({"/RunOnce"});
    ASSERT_TRUE(FProcess->waitForFinished(30000));
    EXPECT_EQ(ExitCode() == 0, GetParam().succeeds) << "exit code " << ExitCode();
    EXPECT_NE(ExitCode(), -1);
    EXPECT_EQ(ftp.Commands().filter(QRegularExpression("^STOR ")).size(),
              GetParam().succeeds ? 1 : 0);
    EXPECT_TRUE(InOrder(
        LogText(), {"======Run completed=======", "Service stopping...", "service shutting down"}));
    EXPECT_EQ(TraceLines(), StopTrace);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, RunOnceTest,
                         ::testing::Values(TRunOnceCase{"Uploaded", "secret", true},
                                           TRunOnceCase{"WrongPassword", "wrong", false}),
                         [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(ServiceTest, InstallWritesTheUnitAndRegistryAndUninstallRemovesThem) {
    QDir().mkpath(FDir.File("units"));
    const QString unitFile = FDir.File("units/BrevoltRPro9Connector.service");

    QProcess& install = Start({"/INSTALL", "-Silent", "-loglevel=5", "/x=a b"});
    ASSERT_TRUE(install.waitForFinished(10000));
    EXPECT_EQ(ExitCode(), 0) << install.readAllStandardError().toStdString();
    EXPECT_EQ(install.readAllStandardOutput(), QByteArray()); // silent
    EXPECT_EQ(ReadFileBytes(unitFile), "[Unit]\n"
                                       "Description=Brevolt connector service for Retail Pro 9.\n"
                                       "Wants=network-online.target\n"
                                       "After=network-online.target\n"
                                       "\n"
                                       "[Service]\n"
                                       "Type=notify\n"
                                       "ExecStart=" +
                                           Exe().toUtf8() +
                                           " -loglevel=5 \"/x=a b\"\n"
                                           "TimeoutStopSec=10min\n"
                                           "Restart=on-failure\n"
                                           "RestartSec=60s\n"
                                           "\n"
                                           "[Install]\n"
                                           "WantedBy=multi-user.target\n");
    auto services = platform::RegistryKey::OpenLocalMachine(ServicesKey.toStdString());
    ASSERT_TRUE(services);
    EXPECT_EQ(services->ReadString("Description"),
              std::optional<std::string>("Brevolt connector service for Retail Pro 9."));
    auto directory = platform::RegistryKey::OpenLocalMachine(ServiceDirectoryKey.toStdString());
    ASSERT_TRUE(directory);
    EXPECT_EQ(directory->ReadString("ServiceDirectory"),
              std::optional<std::string>(FBin.toStdString()));
    EXPECT_TRUE(LogTextOf(FBin + "logs").contains("Registry key for execution path was created."));

    QProcess& uninstall = Start({"-uninstall"});
    ASSERT_TRUE(uninstall.waitForFinished(10000));
    EXPECT_EQ(ExitCode(), 0) << uninstall.readAllStandardError().toStdString();
    const QByteArray confirmation = uninstall.readAllStandardOutput();
    EXPECT_EQ(confirmation.count('\n'), 1);
    EXPECT_TRUE(confirmation.contains("BrevoltRPro9Connector uninstalled")) << confirmation.data();
    EXPECT_FALSE(QFileInfo::exists(unitFile));
    EXPECT_FALSE(services->ValueExists("Description"));
    EXPECT_FALSE(directory->ValueExists("ServiceDirectory"));
    EXPECT_TRUE(InOrder(LogTextOf(FBin + "logs"),
                        {"Service installed.", "Uninstalling service", "Service uninstalled."}));

    QProcess& again = Start({"-UNINSTALL", "-SILENT"});
    ASSERT_TRUE(again.waitForFinished(10000));
    EXPECT_NE(ExitCode(), 0);
    EXPECT_TRUE(again.readAllStandardError().contains("is not installed"));
}

TEST_F(ServiceTest, InstallIntoAMissingFolderFailsWithAnError) {
    QProcess& install = Start({"-install"});
    ASSERT_TRUE(install.waitForFinished(10000));
    EXPECT_NE(ExitCode(), 0);
    EXPECT_TRUE(install.readAllStandardError().contains("cannot write"));
    EXPECT_EQ(install.readAllStandardOutput(), QByteArray());
    EXPECT_FALSE(platform::RegistryKey::OpenLocalMachine(ServicesKey.toStdString()));
}

struct TFormsCase {
    const char* name;
    const char* consoleSwitch;
    int oracledelay;
    const char* awaited; // the log line that shows how far the start-up came
};

class FormsModeTest : public ServiceTest, public ::testing::WithParamInterface<TFormsCase> {};

TEST_P(FormsModeTest, RunsHeadlessAndEndsOnSigterm) {
    // Forms mode reads no registry: everything is in the program folder.
    WriteConfig(
        [&](TConnectorConfig& c) {
            c.scanscheduling = 1;
            c.oracledelay = GetParam().oracledelay;
        },
        FBin);
    Start({QString::fromLatin1(GetParam().consoleSwitch)});
    ASSERT_TRUE(WaitForLog(QString::fromLatin1(GetParam().awaited), 10000, FBin + "logs"));
    EXPECT_EQ(TraceLines(), QStringList({"Brevolt Connector: Executing", "Running in forms mode"}));
    EXPECT_TRUE(StopsPromptly());
    EXPECT_FALSE(LogTextOf(FBin + "logs").contains("Oracle pause completed"));
}

INSTANTIATE_TEST_SUITE_P(Switches, FormsModeTest,
                         ::testing::Values(TFormsCase{"DashMixedCaseStarted", "-Console", 0,
                                                      "<< EXIT |TdlgConnectorLogic.InitDatabase"},
                                           TFormsCase{"SlashUpperCaseInOraclePause", "/CONSOLE",
                                                      600000,
                                                      "seconds to allow Oracle to settle..."}),
                         [](const auto& AInfo) { return std::string(AInfo.param.name); });

struct TNoConfigurationCase {
    const char* name;
    bool registryFile;
    const char* configuration; // nullptr: no file
    const char* reason;
};

class RunOnceWithoutConfigurationTest : public ServiceTest,
                                        public ::testing::WithParamInterface<TNoConfigurationCase> {
};

TEST_P(RunOnceWithoutConfigurationTest, EndsAtOnceWithTheReasonOnStderr) {
    if (!GetParam().registryFile)
        FEnvironment.insert("BREVOLT_REGISTRY", FDir.File("missing.reg"));
    if (GetParam().configuration) {
        QFile file(SvcDir() + "Brevoltconnector.cfg");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(GetParam().configuration);
    }
    Start({"-runonce"});
    ASSERT_TRUE(FProcess->waitForFinished(10000)) << "still waiting for a configuration";
    EXPECT_EQ(ExitCode(), 1);
    const QString error = QString::fromUtf8(FProcess->readAllStandardError());
    EXPECT_EQ(error.count('\n'), 1) << error.toStdString();
    EXPECT_TRUE(error.contains("Single run not started: ")) << error.toStdString();
    EXPECT_TRUE(error.contains(QLatin1String(GetParam().reason))) << error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunOnceWithoutConfigurationTest,
    ::testing::Values(TNoConfigurationCase{"NoRegistryFile", false, nullptr,
                                           "the registry names no service directory"},
                      TNoConfigurationCase{"NoConfigurationFile", true, nullptr,
                                           "there is no configuration file "},
                      TNoConfigurationCase{"EmptyConfigurationFile", true, "",
                                           "is empty or cannot be read"}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(ServiceTest, ADatabaseFoundUnreadableEndsTheServiceOnlyWhenARestartIsAskedFor) {
    const QString database = FSample.Paths().DatabaseFile;
    ASSERT_TRUE(QFile::rename(database, database + ".away"));
    const QString marker = SvcDir() + "Brevoltconnector.restart";
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "restart on" : "restart off");
        WriteConfig([&](TConnectorConfig& c) {
            c.scaninterval = 1000;
            c.locations = QStringList{"001.001"};
            c.restartonmissingdata = restart;
        });
        const qsizetype skippedBefore = LogText().count("skipping this run...");
        Start();
        if (restart) {
            // A failure status, for the service manager to start it again.
            ASSERT_TRUE(FProcess->waitForFinished(15000));
            EXPECT_EQ(ExitCode(), 1);
            EXPECT_TRUE(QFileInfo::exists(marker));
            EXPECT_TRUE(
                InOrder(LogText().mid(LogText().lastIndexOf("Service started.")),
                        {"skipping this run...", "ending the service so that it is restarted",
                         "Service stopping...", "service shutting down"}));
        } else {
            ASSERT_TRUE(WaitUntil(
                [&] { return LogText().count("skipping this run...") >= skippedBefore + 2; },
                ChildWaitMs, ChildPollMs));
            EXPECT_TRUE(StopsPromptly());
            EXPECT_FALSE(QFileInfo::exists(marker));
        }
        // A skipped run writes no batch.
        EXPECT_TRUE(QDir(SvcDir() + "Batch").entryList(QDir::Files).isEmpty());
    }
}

TEST_F(ServiceTest, SkipTransmitIsLoggedAtLevelZeroAtStartAndWithEveryRun) {
    WriteConfig([](TConnectorConfig& c) {
        uOVLogging::SetDefaultLogLevel(0);
        c.scaninterval = 1000;
        c.locations = QStringList{"001.001"};
    });
    Start({"-skiptransmit"});
    const QString warning = "\"SkipTransmit\" is on: batch files are archived without being "
                            "uploaded";
    // Once at start-up and once for each of two runs.
    ASSERT_TRUE(WaitUntil([&] { return LogText().count(warning) >= 3; }, ChildWaitMs, ChildPollMs))
        << LogText().toStdString();
    EXPECT_TRUE(StopsPromptly());
    EXPECT_FALSE(LogText().contains("======Starting run========")); // level 1
}

TEST_F(ServiceTest, BatchesLeftBehindByACrashAreFiledAtStartUp) {
    WriteConfig();
    const QString batch = SvcDir() + "Batch/";
    QDir().mkpath(batch + "Unsent");
    const QByteArray header = "\"LocationId\",\"First Name\"\r\n";
    const QDateTime now = QDateTime::currentDateTime();
    struct File {
        QString path;
        QByteArray bytes;
        int ageSeconds;
    };
    const File files[] = {
        {batch + "Unsent/shopone_1.csv", header + "\"001.001\",\"kept before\"\r\n", 400},
        {batch + "shopone_2.csv", header + "\"001.001\",\"older\"\r\n", 300},
        {batch + "shopone_3.csv", header + "\"001.001\",\"newest with invoices\"\r\n", 200},
        {batch + "shopone_4.csv", header, 100}, // newest, but nothing to keep
    };
    for (const File& f : files) {
        QFile file(f.path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(f.bytes);
        file.flush(); // before the time is set, or the write would set it again
        ASSERT_TRUE(
            file.setFileTime(now.addSecs(-f.ageSeconds), QFileDevice::FileModificationTime));
    }
    Start();
    ASSERT_TRUE(WaitForLog("service entering execution loop"));
    EXPECT_TRUE(StopsPromptly());
    EXPECT_EQ(QDir(batch).entryList(QDir::Files), QStringList());
    EXPECT_EQ(QDir(batch + "Unsent").entryList(QDir::Files), QStringList{"shopone_3.csv"});
    EXPECT_EQ(ReadFileBytes(batch + "Unsent/shopone_3.csv"), files[2].bytes);
    EXPECT_TRUE(LogText().contains("shopone_3.csv\" was left behind by an earlier run"));
    EXPECT_TRUE(LogText().contains("shopone_2.csv\" left behind by an earlier run removed"));
}

TEST(UnitFileTest, QuotesAndEscapesExecStartWords) {
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/brevolt/BrevoltRPro9Service", "/opt/brevolt/BrevoltRPro9Service"},
        {"/opt/my folder/x", "\"/opt/my folder/x\""},
        {"-a=\"q\"", "\"-a=\\\"q\\\"\""},
        {"c:\\dir", "\"c:\\\\dir\""},
        {"100%", "100%%"},
        {"$HOME", "$$HOME"},
        {"", "\"\""},
        {";", "\";\""},
        {"line\nbreak", "\"line\\nbreak\""},
    };
    for (const auto& [word, quoted] : cases)
        EXPECT_EQ(platform::QuoteUnitWord(word), quoted) << word;
}

} // namespace
