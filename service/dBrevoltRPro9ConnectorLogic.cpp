#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "BrevoltIdentity.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorNotify.h"
#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVClock.h"
#include "common/uOVFtp.h"
#include "common/uOVLogging.h"
#include "common/uOVTextStream.h"
#include "platform/Registry.h"
#include "service/uBrevoltRPro9ConnectorLedger.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <stdexcept>

using namespace uOVLogging;
using namespace uOVUtils;
using uBrevoltRPro9ConnectorCommon::AppLogger;
using uBrevoltRPro9ConnectorCommon::Config;
using uBrevoltRPro9ConnectorCommon::TFailureKind;

bool ConsoleMode = false;
bool DebugMode = false;
bool DatabaseReady = false;
TDateTime ServiceStartTime = 0;
bool DailyPingSent = true;
TdlgConnectorLogic* dlgConnectorLogic = nullptr;

namespace {
const QString ServiceName = QString::fromLatin1(BrevoltIdentity::ServiceName);
constexpr double MSecsPerDay = 86400000.0;
// The setting's own start value.
const int DefaultScanInterval = TConnectorConfig().scaninterval;
// How long a run waits for another process's run in the same folder.
constexpr int RunLockWaitMs = 15000;

const QString AreaInitService = QStringLiteral("TdlgConnectorLogic.InitService");
const QString AreaEnable = QStringLiteral("TdlgConnectorLogic.Enable");
const QString AreaInitDatabase = QStringLiteral("TdlgConnectorLogic.InitDatabase");
const QString AreaSetTimerInterval = QStringLiteral("TdlgConnectorLogic.SetTimerInterval");
const QString AreaProcessTimer = QStringLiteral("TdlgConnectorLogic.tmProcessTimer");

TOVLogger& Log() {
    return *AppLogger;
}

// The configuration block of the log: passwords never reach it (the key
// shows a mask, an empty value stays empty), and a value is cut at
// LoggedValueLimit characters, so that a huge one cannot flood the log.
constexpr int LoggedValueLimit = 1024;

QString LoggedConfigText(const QString& AConfigText) {
    QStringList lines = AConfigText.split(QStringLiteral("\r\n"));
    for (QString& line : lines) {
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const qsizetype length = line.size() - eq - 1;
        if (uBrevoltRPro9ConnectorCommon::IsSecretKey(line.left(eq)) && length > 0)
            line = line.left(eq + 1) + QStringLiteral("********");
        else if (length > LoggedValueLimit)
            line = line.left(eq + 1 + LoggedValueLimit) + QStringLiteral("... (cut; ") +
                   QString::number(length) + QStringLiteral(" characters in all)");
    }
    return lines.join(QStringLiteral("\r\n"));
}

// Why there is no configuration to run with, in one line.
QString MissingConfigurationReason() {
    using namespace uBrevoltRPro9ConnectorCommon;
    const QString path = QDir::toNativeSeparators(ConfigFilePath());
    QString reason = QStringLiteral("there is no configuration file ") + path;
    if (QFileInfo::exists(path))
        reason = QStringLiteral("the configuration file ") + path +
                 QStringLiteral(" is empty or cannot be read");
    if (!ConsoleMode && RegisteredServiceDirectory().isEmpty())
        reason += QStringLiteral(" (the registry names no service directory; "
                                 "run -install in the service's folder)");
    return QStringLiteral("Single run not started: ") + reason;
}

// Whole seconds of a time of day, rounded to the millisecond first so that
// 10:00 stored as a day fraction is not read as 09:59:59.
qint64 WholeSeconds(TDateTime ATimeOfDay) {
    return static_cast<qint64>(std::floor(std::llround(ATimeOfDay * MSecsPerDay) / 1000.0));
}

// Milliseconds between two day values; rounded, because a difference of day
// fractions is never exact and truncating would lose a millisecond.
int IntervalMs(TDateTime AFrom, TDateTime ATo) {
    const double ms = std::round((ATo - AFrom) * MSecsPerDay);
    if (ms <= 0)
        return 0;
    return ms >= INT_MAX ? INT_MAX : static_cast<int>(ms);
}
} // namespace

TdlgConnectorLogic::TdlgConnectorLogic(QObject* AOwner)
    : QObject(AOwner), tmProcess(new QTimer(this)), tmIdle(new QTimer(this)),
      IdFTP1(std::make_unique<TOVFtpClient>()) {
    tmProcess->setInterval(60000);
    // A coarse timer fires up to 5 % early: a slot would be run before its
    // time and then found still ahead.
    tmProcess->setTimerType(Qt::PreciseTimer);
    tmIdle->setInterval(5000);
    connect(tmProcess, &QTimer::timeout, this, &TdlgConnectorLogic::tmProcessTimer);
    connect(tmIdle, &QTimer::timeout, this, &TdlgConnectorLogic::tmIdleTimer);
    FormCreate();
}

TdlgConnectorLogic::~TdlgConnectorLogic() {
    if (dlgConnectorLogic == this)
        dlgConnectorLogic = nullptr;
}

void TdlgConnectorLogic::FormCreate() {
    FEnabled = false;
    ServiceStartTime = Now();
    InitService();
    Log().log(1, QStringLiteral("Service started."));
}

void TdlgConnectorLogic::InitService() {
    try {
        if (!ConsoleMode) {
            const QString dir = uBrevoltRPro9ConnectorCommon::RegisteredServiceDirectory();
            if (!dir.isEmpty()) {
                SetExeDir(dir);
                // The logger made its folder under the program's own folder;
                // lines would wait for ever for a missing one here.
                const QString logDir = ExeDir() + QStringLiteral("logs") + QDir::separator();
                if (QDir().mkdir(logDir))
                    uOVUtils::RestrictToOwnerAndGroup(logDir);
                SetLogDir(logDir);
            }
        }
        bool scheduleChanged = false;
        uBrevoltRPro9ConnectorCommon::LoadConfig(scheduleChanged);
        // Made once, by the module start-up (Init), before any engine.
        if (!AppLogger)
            throw std::logic_error("the program's logger is not started");
        AppLogger->SetLogLevel(9);
        const QString rule =
            QStringLiteral("======================================================");
        Log().log(1, rule, LOG_INFO, AreaInitService);
        Log().log(1, QStringLiteral("Configuration:"), LOG_INFO, AreaInitService);
        Log().log(1, rule, LOG_INFO, AreaInitService);
        Log().log(1, LoggedConfigText(Config().ConfigText), LOG_INFO, AreaInitService);
        Log().log(1, rule, LOG_INFO, AreaInitService);
        if (uBrevoltRPro9ConnectorCommon::SkipTransmit())
            Log().log(0, uBrevoltRPro9ConnectorCommon::SkipTransmitWarning, LOG_WARNING,
                      AreaInitService);
        SetTimerInterval();
        Log().logexit(9, AreaInitService);
    } catch (const std::exception& E) {
        if (AppLogger)
            AppLogger->exc(E, AreaInitService);
        throw;
    }
}

bool TdlgConnectorLogic::Pause(int AMilliseconds) {
    auto interrupted = [this] {
        return FStopRequested.load() || FClosing;
    };
    for (int left = AMilliseconds; left > 0 && !interrupted(); left -= 100) {
        Clock().Sleep(std::min(left, 100));
        // In the tray program this is the window thread: keep its menu (Exit)
        // working while the engine waits.
        if (ConsoleMode)
            QCoreApplication::processEvents();
    }
    return !interrupted();
}

void TdlgConnectorLogic::RequestStop() {
    FStopRequested.store(true);
}

void TdlgConnectorLogic::Enable() {
    try {
        Log().logenter(0, AreaEnable);
        if (!FTransmitCS)
            FTransmitCS = std::make_unique<std::mutex>();
        FClosing = false;
        FProcessing = false;
        if (FRunOnce) {
            // Nobody waits for a single run: without a configuration it fails
            // at once instead of waiting for one.
            bool scheduleChanged = false;
            if (!uBrevoltRPro9ConnectorCommon::LoadConfig(scheduleChanged))
                throw std::runtime_error(MissingConfigurationReason().toStdString());
        }
        if (!DatabaseReady) {
            // The record's value comes back with every load; what counts is
            // whether the delay is still ahead of us.
            const int delay = FOracleDelayConsumed ? 0 : Config().oracledelay;
            FOracleDelayConsumed = true;
            const double outstanding = (delay / 1000) / 86400.0 + ServiceStartTime - Now();
            FDelaySecs = static_cast<int>(std::trunc(outstanding * 86400.0 + 1e-6));
            Log().log(1, QStringLiteral("FDelaySecs = ") + QString::number(FDelaySecs), LOG_INFO,
                      AreaEnable);
            if (!ConsoleMode) {
                if (FDelaySecs > 0) {
                    Log().log(1,
                              QStringLiteral("Pausing ") + QString::number(FDelaySecs) +
                                  QStringLiteral(" seconds to allow Oracle to settle..."),
                              LOG_INFO, AreaEnable);
                    Pause(FDelaySecs * 1000);
                    Log().log(1, QStringLiteral("Oracle pause completed, continuing."), LOG_INFO,
                              AreaEnable);
                }
                if (!FStopRequested.load())
                    InitDatabase();
            }
        }
        if (!FClosing && !FStopRequested.load()) {
            bool scheduleChanged = false;
            while (!uBrevoltRPro9ConnectorCommon::LoadConfig(scheduleChanged)) {
                Log().log(0, QStringLiteral("Configuration not found.  Pausing..."), LOG_ERROR);
                if (!Pause(2000))
                    break;
            }
            // Saved during the pause or the wait for the file: the idle ticks
            // compare with this load and would not see it.
            if (scheduleChanged) {
                try {
                    SetTimerInterval();
                } catch (...) {
                    // Logged; the schedule computed at start-up stays.
                }
            }
        }
        if (!FClosing && !FStopRequested.load()) {
            // Another process's run in this folder owns what is in Batch/.
            if (const auto lock = LockRun(0, QStringLiteral("leaving Batch/ as it is")))
                FileLeftoverBatches();
            if (!ConsoleMode)
                StartTimers();
            FEnabled = true;
        }
        Log().logexit(0, AreaEnable);
    } catch (const std::exception& E) {
        Log().exc(E, AreaEnable);
        throw;
    }
}

void TdlgConnectorLogic::StartTimers() {
    if (FRunOnce) {
        FNextRun = Now();
        tmProcess->setInterval(0);
    }
    tmProcess->start();
    tmIdle->start();
}

void TdlgConnectorLogic::Disable() {
    DatabaseReady = false;
    FClosing = true;
    FEnabled = false;
}

void TdlgConnectorLogic::InitDatabase() {
    using namespace uBrevoltRPro9ConnectorSQLs;
    Log().logenter(1, AreaInitDatabase);
    // Every run probes afresh: a database that went away must skip the run.
    DatabaseReady = false;
    try {
        {
            const TSessionLease lease;
            QString schemaVersion, buildVersion;
            GetRProVersion(lease.Connection(), schemaVersion, buildVersion);
            int sbsNo = 0, storeNo = 0;
            GetSbsAndStoreNo(lease.Connection(), sbsNo, storeNo);
            DoesLocalUPCExist(lease.Connection());
            // Invoices are compared with the clock that dated them.
            FDatabaseNow = GetDatabaseNow(lease.Connection());
        }
        DatabaseReady = true;
        uBrevoltRPro9ConnectorCommon::ReportSuccess(TFailureKind::Database);
        FBatchPath = WithTrailingBackslash(JoinPath({ExeDir(), QStringLiteral("Batch")}));
        if (!QDir(FBatchPath).exists() && QDir().mkdir(FBatchPath))
            uOVUtils::RestrictToOwnerAndGroup(FBatchPath);
    } catch (const std::exception& E) {
        Log().exc(E, AreaInitDatabase);
        uBrevoltRPro9ConnectorCommon::ReportFailure(TFailureKind::Database, ExceptionMessage(E));
    }
    Log().logexit(1, AreaInitDatabase);
}

void TdlgConnectorLogic::SetTimerInterval() {
    try {
        Log().logenter(9, AreaSetTimerInterval);
        Log().log(2, QStringLiteral("Calculating next start time"), LOG_INFO, AreaSetTimerInterval);
        TConnectorConfig& cfg = Config();
        if (cfg.runimmediate) {
            Log().log(1, QStringLiteral("Run Immediate detected; setting run time to Now"),
                      LOG_INFO, AreaSetTimerInterval);
            FNextRun = Now();
            tmProcess->setInterval(1000);
            cfg.runimmediate = false;
            SaveConfigKey(QStringLiteral("runimmediate"));
        } else if (cfg.scanscheduling == 0) {
            ScheduleByInterval();
        } else if (cfg.scanscheduling == 1) {
            ScheduleBySlot();
        } else {
            Log().log(
                1,
                QStringLiteral("Schedule type is invalid!  Switching to schedule by interval..."),
                LOG_INFO, AreaSetTimerInterval);
            ScheduleByInterval();
        }
        FTitle = QStringLiteral("Idle.  Next run will start at ") +
                 FormatDateTime(QStringLiteral("mm/dd/yyyy hh:nn:ss"), FNextRun) +
                 QStringLiteral(", timer set to ") + QString::number(tmProcess->interval()) +
                 QStringLiteral(" milliseconds");
        Log().log(1, FTitle, LOG_INFO, AreaSetTimerInterval);
        Q_EMIT TitleChanged(FTitle);
        Log().logexit(9, AreaSetTimerInterval);
    } catch (const std::exception& E) {
        Log().exc(E, AreaSetTimerInterval);
        throw;
    }
}

void TdlgConnectorLogic::ScheduleByInterval() {
    TConnectorConfig& cfg = Config();
    Log().log(1, QStringLiteral("Scheduling by interval"), LOG_INFO, AreaSetTimerInterval);
    // Only the first schedule after start-up waits for Oracle to settle.
    const int delay = FOracleDelayConsumed ? 0 : cfg.oracledelay;
    FOracleDelayConsumed = true;
    if (delay > 0)
        Log().log(1,
                  QStringLiteral("Factoring in Oracle delay of ") + QString::number(delay / 1000) +
                      QStringLiteral(" seconds"),
                  LOG_INFO, AreaSetTimerInterval);
    int interval = cfg.scaninterval;
    if (interval <= 0) {
        // The timer would never fire: fall back to the default interval.
        Log().log(1,
                  QStringLiteral("Scan interval ") + QString::number(interval) +
                      QStringLiteral(" is not positive; using ") +
                      QString::number(DefaultScanInterval) + QStringLiteral(" milliseconds"),
                  LOG_WARNING, AreaSetTimerInterval);
        interval = DefaultScanInterval;
    }
    const qint64 wait = std::max<qint64>(delay, interval);

    const TDateTime now = Now();
    const TDateTime today = std::floor(now);
    FNextRun = now + wait / MSecsPerDay;
    TDateTime b = cfg.sleepbegin;
    TDateTime e = cfg.sleepend;
    if (e < b)
        e += 1;
    const TDateTime t = FNextRun - today;
    if (b < t && t < e) {
        FNextRun = today + e;
        Log().log(
            1,
            QStringLiteral("Next run will be after the configured sleep period, starting at ") +
                FormatDateTime(QStringLiteral("mm/dd/yyyy hh:nn:ss"), FNextRun),
            LOG_INFO, AreaSetTimerInterval);
    }
    tmProcess->setInterval(IntervalMs(now, FNextRun));
}

bool TdlgConnectorLogic::FindNextSlot(int q, int p, TDateTime r, TDateTime& target) const {
    const TConnectorConfig& cfg = Config();
    for (int slot = 0; slot < 6; ++slot) {
        const TDateTime time = cfg.DayTimes[q - 1][slot];
        if (time < 0)
            continue;
        if (WholeSeconds(time) > WholeSeconds(r)) {
            target = p + time;
            return true;
        }
    }
    return false;
}

void TdlgConnectorLogic::ScheduleBySlot() {
    Log().log(1, QStringLiteral("Scheduling by slot"), LOG_INFO, AreaSetTimerInterval);
    const TDateTime now = Now();
    const TDateTime today = std::floor(now);
    const int d = DayOfWeek(now);
    const TDateTime n = now - today;
    TDateTime target = 0;
    bool found = FindNextSlot(d, d, n, target);
    // On a later day every slot lies ahead, a midnight one (0) too.
    constexpr TDateTime beforeMidnight = -1.0 / 86400;
    for (int q = d + 1; !found && q <= 7; ++q)
        found = FindNextSlot(q, q, beforeMidnight, target);
    for (int q = 1; !found && q <= d; ++q)
        found = FindNextSlot(q, q + 7, beforeMidnight, target);
    if (found) {
        Log().log(9,
                  QString::asprintf(
                      "Calculating next interval: target=[%5.4f] thisday=[%d] thistime=[%5.4f]",
                      target, d, n),
                  LOG_INFO, AreaSetTimerInterval);
        tmProcess->setInterval(IntervalMs(d + n, target));
        FNextRun = today + (target - d);
    } else {
        Log().log(9, QStringLiteral("No times configured, setting next batch in 24 hours"),
                  LOG_INFO, AreaSetTimerInterval);
        tmProcess->setInterval(86400000);
        FNextRun = now + 1;
    }
}

void TdlgConnectorLogic::SaveConfigKey(const QString& AKey) {
    uBrevoltRPro9ConnectorCommon::SaveConfigKeys({AKey});
}

bool TdlgConnectorLogic::ReArmIfEarly() {
    // Run early and the scheduler finds the same slot still ahead: wait for
    // the rest instead, so a slot runs once, never before its time.
    const int left = IntervalMs(Now(), FNextRun);
    if (left <= 0)
        return false;
    Log().log(9,
              QStringLiteral("Timer fired ") + QString::number(left) +
                  QStringLiteral(" milliseconds early; waiting until ") +
                  FormatDateTime(QStringLiteral("mm/dd/yyyy hh:nn:ss.zzz"), FNextRun),
              LOG_INFO, AreaProcessTimer);
    tmProcess->setInterval(left);
    tmProcess->start();
    return true;
}

void TdlgConnectorLogic::tmIdleTimer() {
    tmIdle->stop();
    // However the tick ends: not idling any more, and the next tick 5 s later.
    struct RestartIdle {
        TdlgConnectorLogic* FLogic;
        ~RestartIdle() {
            FLogic->FIdling = false;
            FLogic->tmIdle->start();
        }
    } restart{this};
    while (FProcessing)
        Clock().Sleep(125);
    if (FClosing)
        return;
    FIdling = true;
    TConnectorConfig& cfg = Config();

    bool scheduleChanged = false;
    try {
        uBrevoltRPro9ConnectorCommon::LoadConfig(scheduleChanged);
    } catch (...) {
    }

    const int hour = ToQDateTime(Now()).time().hour();
    if (DailyPingSent && hour < 7) {
        DailyPingSent = false;
    } else if (!DailyPingSent && hour > 8) {
        // A failed notice still sets the latch: one attempt per morning.
        uBrevoltRPro9ConnectorCommon::NotifyServiceEvent(
            uBrevoltRPro9ConnectorCommon::TServiceEvent::DailyHealth);
        DailyPingSent = true;
    }

    if ((scheduleChanged || cfg.runimmediate) && tmProcess->isActive()) {
        if (cfg.runimmediate)
            Log().log(2, QStringLiteral("RunImmediate detected; calling SetTimerInterval"),
                      LOG_INFO, QStringLiteral("tmIdleTimer"));
        tmProcess->stop();
        try {
            SetTimerInterval();
        } catch (...) {
            // The process timer must not stay stopped; the error is logged.
        }
        tmProcess->start();
    }
}

std::unique_ptr<platform::TFileLock> TdlgConnectorLogic::LockRun(int AWaitMs,
                                                                 const QString& AInstead) {
    const QString path = JoinPath({ExeDir(), QStringLiteral("Brevoltconnector.lock")});
    const QString holder = QCoreApplication::applicationName() + QStringLiteral(", process ") +
                           QString::number(QCoreApplication::applicationPid()) +
                           (FRunOnce      ? QStringLiteral(" (-runonce)")
                            : ConsoleMode ? QStringLiteral(" (-console)")
                                          : QString()) +
                           QStringLiteral(", running since ") +
                           uBrevoltRPro9ConnectorLedger::CursorText(Now()) + QStringLiteral(" UTC");
    platform::TFileLockAttempt attempt;
    for (int waited = 0;; waited += 250) {
        attempt = platform::TryLockFile(path.toStdString(), holder.toStdString());
        if (attempt.Lock || !attempt.Busy || waited >= AWaitMs || !Pause(250))
            break;
    }
    if (attempt.Lock)
        return std::move(attempt.Lock);
    if (attempt.Busy) {
        const QString other = QString::fromStdString(attempt.Holder).trimmed();
        Log().log(0,
                  QStringLiteral("Another process is running a scan in this service directory (") +
                      (other.isEmpty() ? QStringLiteral("its name is not known") : other) +
                      QStringLiteral("); ") + AInstead,
                  LOG_WARNING, AreaProcessTimer);
    } else {
        // Without the lock nothing can tell two runs apart: none is made.
        Log().log(0,
                  QStringLiteral("The lock of the service directory cannot be taken (") +
                      QString::fromStdString(attempt.Error) + QStringLiteral("); ") + AInstead,
                  LOG_ERROR, AreaProcessTimer);
    }
    return nullptr;
}

void TdlgConnectorLogic::tmProcessTimer() {
    Log().logenter(9, AreaProcessTimer);
    FStep = QStringLiteral("disabling timer");
    tmProcess->stop();
    while (FIdling)
        Clock().Sleep(125);
    if (FClosing || ReArmIfEarly()) {
        Log().logexit(9, AreaProcessTimer);
        return;
    }
    FProcessing = true;
    FRunWritten = 0;
    FTransmitted = false;
    bool completed = false;
    try {
        Log().log(1, QStringLiteral("======Starting run========"), LOG_INFO, AreaProcessTimer);
        try {
            Log().log(1, QStringLiteral("Loglevel: ") + QString::number(Log().LogLevel()));
        } catch (...) {
        }
        if (uBrevoltRPro9ConnectorCommon::SkipTransmit())
            Log().log(0, uBrevoltRPro9ConnectorCommon::SkipTransmitWarning, LOG_WARNING,
                      AreaProcessTimer);
        // The tray program's thread is its window's: it does not wait, since
        // letting the window's events run inside a run could start an idle
        // tick that waits for this run.
        const std::unique_ptr<platform::TFileLock> lock = LockRun(ConsoleMode ? 0 : RunLockWaitMs);
        if (!lock) {
            // Said by LockRun; the other process's run does the work.
        } else if (!SendPendingBatch()) {
            Log().log(1,
                      QStringLiteral("A batch that may have reached the server waits to be sent "
                                     "again; skipping the scan"),
                      LOG_INFO, AreaProcessTimer);
        } else if (InitDatabase(); !DatabaseReady) {
            Log().log(
                0, QStringLiteral("Database could not be properly accessed; skipping this run..."),
                LOG_WARNING, AreaProcessTimer);
            // Only a service has a manager to start it again.
            if (Config().restartonmissingdata && !ConsoleMode && !FRunOnce) {
                Log().log(0,
                          QStringLiteral("\"Restart service when database issues are detected\" "
                                         "is on; ending the service so that it is restarted"),
                          LOG_ERROR, AreaProcessTimer);
                uBrevoltRPro9ConnectorCommon::MarkRestartForMissingData();
                Q_EMIT RestartForMissingData();
            }
        } else {
            using namespace uBrevoltRPro9ConnectorSQLs;
            FStep = QStringLiteral("getting session");
            Log().log(9, FStep, LOG_INFO, AreaProcessTimer);
            {
                const TSessionLease lease;
                FStep = QStringLiteral("scanning database");
                Log().log(9, FStep, LOG_INFO, AreaProcessTimer);
                try {
                    ScanDatabase();
                } catch (...) {
                    Log().log(9, QStringLiteral("releasing session"), LOG_INFO, AreaProcessTimer);
                    // The scan sets its own sub-steps; the failure belongs to the scan.
                    FStep = QStringLiteral("scanning database");
                    throw;
                }
                FStep = QStringLiteral("releasing session");
                Log().log(9, FStep, LOG_INFO, AreaProcessTimer);
            }
            completed = !Config().locations.isEmpty() && (FRunWritten == 0 || FTransmitted);
        }
        if (!lock)
            completed = false;
        Log().log(1, QStringLiteral("======Run completed======="), LOG_INFO, AreaProcessTimer);
        FStep = QStringLiteral("setting timer interval");
    } catch (const std::exception& E) {
        Log().exc(E, AreaProcessTimer + QStringLiteral(" while ") + FStep);
    }
    try {
        SetTimerInterval();
    } catch (...) {
    }
    if (!FRunOnce)
        tmProcess->start();
    FProcessing = false;
    Log().logexit(9, AreaProcessTimer);
    if (FRunOnce) {
        FLastRunSucceeded = completed;
        Q_EMIT RunOnceFinished(completed);
    }
}
