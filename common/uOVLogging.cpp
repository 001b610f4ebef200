#include "common/uOVLogging.h"

#include "common/uOVCodePage.h"
#include "common/uOVLogThread.h"
#include "platform/SystemInfo.h"

#include <cmath>
#include <cstdio>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QThreadStorage>

using uOVUtils::FormatDateTime;
using uOVUtils::JoinPath;

namespace uOVLogging {

namespace {
const QString InitialLogDir = QStringLiteral("logs") + QDir::separator();

std::mutex& LogDirLock() {
    static std::mutex lock;
    return lock;
}

std::mutex& ListLock() {
    static std::mutex lock;
    return lock;
}

TLoggerList TheLoggerList; // guarded by ListLock

void AddToList(TOVLogger* ALogger) {
    std::lock_guard lock(ListLock());
    if (!TheLoggerList.contains(ALogger))
        TheLoggerList.append(ALogger);
}

void RemoveFromList(TOVLogger* ALogger) {
    std::lock_guard lock(ListLock());
    TheLoggerList.removeAll(ALogger);
}

std::mutex& SettingsLock() {
    static std::mutex lock;
    return lock;
}

TLogSettings TheSettings; // guarded by SettingsLock

std::atomic<TOVLogger*> TheDefaultLogger{nullptr};

// The longest line whose buffer a calling thread keeps for the next one.
constexpr qsizetype KeptLineChars = 64 * 1024;

QString Q(const std::string& AText) {
    return QString::fromStdString(AText);
}

// Read and changed under LogDirLock only.
QString& LogDirValue() {
    static QString dir = InitialLogDir;
    return dir;
}
} // namespace

void SetLogDir(const QString& AValue) {
    std::lock_guard lock(LogDirLock());
    LogDirValue() = AValue;
}

QString LogDir() {
    std::lock_guard lock(LogDirLock());
    return LogDirValue();
}

TLogSettings Settings() {
    std::lock_guard lock(SettingsLock());
    return TheSettings;
}

void SetSettings(const TLogSettings& AValue) {
    std::lock_guard lock(SettingsLock());
    TheSettings = AValue;
}

void ChangeSettings(const std::function<void(TLogSettings&)>& AChange) {
    std::lock_guard lock(SettingsLock());
    AChange(TheSettings);
}

TOVLogger* DefaultLogger() {
    return TheDefaultLogger.load();
}

void SetDefaultLogger(TOVLogger* ALogger) {
    TheDefaultLogger.store(ALogger);
}

TLoggerList Loggers() {
    std::lock_guard lock(ListLock());
    return TheLoggerList;
}

namespace {
struct TWriteProblems {
    std::mutex Lock;
    QString Pending;
    bool Told = false;
    TDateTime LastTold = 0;
};

TWriteProblems& WriteProblems() {
    static TWriteProblems problems;
    return problems;
}

constexpr qint64 TellIntervalMs = 60 * 1000;
} // namespace

void StartModule() {
    {
        TWriteProblems& problems = WriteProblems();
        std::lock_guard lock(problems.Lock);
        problems.Pending.clear();
        problems.Told = false;
    }

    const QString switchChars = QStringLiteral("-/");
    const auto value = [&](const char* AName) {
        return uOVUtils::GetCmdLineSwitchValue(QLatin1String(AName), switchChars, true).trimmed();
    };
    const QString level = value("loglevel");
    const QString machine = value("logmachine");
    const QString trace = value("tracelogdir");
    const int current = GetDefaultLogLevel();
    ChangeSettings([&](TLogSettings& S) {
        S.DefaultLogLevel = 1;
        S.DefaultLoggingEnabled = true;
        S.LogMachineInfo = false;
        S.TraceLogDir = trace;
        if (!level.isEmpty()) {
            bool ok = false;
            const int number = level.toInt(&ok);
            S.DefaultLogLevel = ok ? number : current;
            S.DefaultLoggingEnabled = S.DefaultLogLevel != 0;
        }
        if (!machine.isEmpty()) {
            const QChar c = machine.at(0).toUpper();
            S.LogMachineInfo =
                c == QLatin1Char('1') || c == QLatin1Char('T') || c == QLatin1Char('Y');
            S.DefaultLoggingEnabled = S.DefaultLoggingEnabled || S.LogMachineInfo;
        }
    });
}

void EndModule() {
    for (;;) {
        TOVLogger* logger = nullptr;
        {
            std::lock_guard lock(ListLock());
            if (TheLoggerList.isEmpty())
                break;
            logger = TheLoggerList.takeLast();
        }
        try {
            if (logger->GetLoggingStarted())
                logger->EndLogging();
            delete logger;
        } catch (...) {
        }
    }
}

void log(int ALevel, const QString& AMsg, const QString& AType, const QString& AArea) {
    if (TOVLogger* logger = DefaultLogger())
        logger->log(ALevel, AMsg, AType, AArea);
}

void logenter(int ALevel, const QString& AArea, const QString& AProcID) {
    if (TOVLogger* logger = DefaultLogger())
        logger->logenter(ALevel, AArea, AProcID);
}

void logexit(int ALevel, const QString& AArea, const QString& AProcID) {
    if (TOVLogger* logger = DefaultLogger())
        logger->logexit(ALevel, AArea, AProcID);
}

void dbg(const QString& AMsg, const QString& AMethod) {
    if (TOVLogger* logger = DefaultLogger())
        logger->dbg(AMsg, AMethod);
}

void exc(const std::exception& E, const QString& AMethod, const QString& AProcID) {
    if (TOVLogger* logger = DefaultLogger())
        logger->exc(E, AMethod, AProcID);
}

void err(const QString& AMsg, const QString& AMethod) {
    if (TOVLogger* logger = DefaultLogger())
        logger->err(AMsg, AMethod);
}

void info(int ALevel, const QString& AMsg, const QString& AArea) {
    if (TOVLogger* logger = DefaultLogger())
        logger->info(ALevel, AMsg, AArea);
}

void SetDefaultLogLevel(int Value) {
    ChangeSettings([Value](TLogSettings& S) { S.DefaultLogLevel = Value; });
    if (TOVLogger* logger = DefaultLogger())
        logger->SetLogLevel(Value);
}

int GetDefaultLogLevel() {
    const TOVLogger* logger = DefaultLogger();
    return logger ? logger->LogLevel() : -1;
}

void SetDefaultLoggingEnabled(bool Value) {
    ChangeSettings([Value](TLogSettings& S) { S.DefaultLoggingEnabled = Value; });
    if (TOVLogger* logger = DefaultLogger())
        logger->SetLoggingEnabled(Value);
}

void ReportLogWriteProblem(const QString& AError) {
    const TDateTime now = uOVUtils::Now();
    const QString text = QStringLiteral("Log file cannot be written: ") + AError;
    TWriteProblems& problems = WriteProblems();
    std::lock_guard lock(problems.Lock);
    if (problems.Pending.isEmpty())
        problems.Pending =
            text + QStringLiteral(" (since ") +
            uOVUtils::FormatDateTimeFixed(QStringLiteral("yyyy-mm-dd hh:nn:ss"), now) +
            QLatin1Char(')');
    // A clock set back counts as time gone by, so that it cannot mute the line.
    const qint64 sinceToldMs = std::llround(std::fabs(now - problems.LastTold) * 86400000.0);
    if (!problems.Told || sinceToldMs >= TellIntervalMs) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        problems.Told = true;
        problems.LastTold = now;
    }
}

QString TakeLogWriteProblem() {
    TWriteProblems& problems = WriteProblems();
    std::lock_guard lock(problems.Lock);
    QString text;
    text.swap(problems.Pending);
    return text;
}

} // namespace uOVLogging

using namespace uOVLogging;

TOVLogger::TOVLogger(const QString& AModuleName, bool AIncludeTime)
    : TOVLogger(AModuleName, AIncludeTime, Settings()) {}

TOVLogger::TOVLogger(const QString& AModuleName, bool AIncludeTime, const TLogSettings& ASettings)
    : FModuleName(AModuleName), FIncludeTime(AIncludeTime), FLogLevel(ASettings.DefaultLogLevel),
      FLoggingEnabled(ASettings.DefaultLoggingEnabled), FQueueLimit(ASettings.DefaultQueueLimit),
      FFlushLimit(ASettings.DefaultFlushLimit), FAreaWidth(ASettings.AreaWidth) {
    if (AIncludeTime)
        FStartTime = uOVUtils::Now();
    AddToList(this);
}

TOVLogger::~TOVLogger() {
    if (Thread())
        EndLogging();
    RemoveFromList(this);
    TOVLogger* self = this;
    TheDefaultLogger.compare_exchange_strong(self, nullptr);
}

std::shared_ptr<TLogThread> TOVLogger::Thread() const {
    std::lock_guard lock(FRefLock);
    return FLogThread;
}

std::shared_ptr<TLogOutput> TOVLogger::Output() const {
    std::lock_guard lock(FRefLock);
    return FLogOutput;
}

void TOVLogger::StartLogging(std::shared_ptr<TLogOutput> AOutput) {
    try {
        if (GetLoggingStarted())
            return;
        {
            std::lock_guard lock(LogDirLock());
            if (LogDirValue() == InitialLogDir)
                LogDirValue() = uOVUtils::ExeDir() + InitialLogDir;
        }
        const QString dir = LogDir();
        const TLogSettings settings = Settings();
        if (!settings.TraceLogDir.isEmpty()) {
            try {
                QFile trace(JoinPath({settings.TraceLogDir, QStringLiteral("orvlogger.log")}));
                if (trace.open(QIODevice::WriteOnly | QIODevice::Truncate))
                    trace.write(uOVCodePage::ToAnsi(QStringLiteral("LogDir = \"") + dir +
                                                    QStringLiteral("\"\r\n")));
            } catch (...) {
            }
        }
        if (!QDir(dir).exists()) {
            // Owner and group only: the logs hold customer data.
            if (QDir().mkdir(dir))
                uOVUtils::RestrictToOwnerAndGroup(dir);
        }

        std::shared_ptr<TLogOutput> output = std::move(AOutput);
        if (!output)
            output = std::make_shared<THandleLogOutput>(FModuleName, FIncludeTime, &LogDir);
        TLogWriterSettings writer;
        writer.LogDir = &LogDir;
        writer.QueueLimit = FQueueLimit;
        writer.FlushLimit = FFlushLimit;
        writer.FilesToKeep = settings.LogFilesToKeep;
        writer.RetryPauseMinMs = settings.WriteRetryPauseMinMs;
        writer.RetryPauseMaxMs = settings.WriteRetryPauseMaxMs;
        writer.OnWriteProblem = &ReportLogWriteProblem;
        auto thread = std::make_shared<TLogThread>(output, std::move(writer));
        {
            std::lock_guard lock(FRefLock);
            FLogOutput = output;
            FLogThread = thread;
        }
        thread->Start();
        AddToList(this);
        WriteHeader();
    } catch (...) {
    }
}

void TOVLogger::WriteHeader() {
    const QString rule(86, QLatin1Char('='));
    const QString lines[] = {
        QString(), rule,      QStringLiteral("START OF LOG"),
        rule,      QString(), QStringLiteral("LogLevel = ") + QString::number(FLogLevel),
        QString()};
    for (const QString& line : lines)
        log(0, line);
    try {
        const QLocale locale = QLocale::system();
        const bool known =
            locale.language() != QLocale::C && locale.language() != QLocale::AnyLanguage;
        log(0, QStringLiteral("Language : ") +
                   (known ? QLocale::languageToString(locale.language()) + QStringLiteral(" (") +
                                QLocale::territoryToString(locale.territory()) + QLatin1Char(')')
                          : QStringLiteral("[could not be determined]")));
        log(0, QStringLiteral("Locale   : ") + QLocale::languageToString(locale.language()));
        log(0, QStringLiteral("Computer : ") + Q(platform::ComputerName()));
        log(0, QStringLiteral("Domain   : ") + Q(platform::DomainName()));
        if (Settings().LogMachineInfo)
            WriteMachineInfo();
    } catch (...) {
        log(0, QStringLiteral("*** full system information could not be obtained ***"));
    }
    log(0, QString());
    log(0, uOVUtils::WindowsVersionText());
}

namespace {
QString BiosDateText(const std::string& ADate) {
    const QString text = Q(ADate);
    const QDate date = QDate::fromString(text, QStringLiteral("MM/dd/yyyy"));
    if (!date.isValid())
        return text;
    return FormatDateTime(QStringLiteral("mm/dd/yyyy hh:nn:ss"),
                          uOVUtils::ToDateTime(QDateTime(date, QTime(0, 0))));
}

QString VolumeTypeText(platform::VolumeType AType) {
    // In the order of platform::VolumeType.
    static const char* const names[] = {"Floppy", "Fixed", "Network", "CDROM", "RAM", "Unknown"};
    const auto i = static_cast<size_t>(AType);
    return QLatin1String(i < std::size(names) ? names[i] : "Unknown");
}
} // namespace

void TOVLogger::WriteMachineInfo() {
    const platform::MachineInfo m = platform::ReadMachineInfo();
    const QString owner = Q(m.os.owner);
    const std::pair<const char*, QString> lines[] = {
        {"CPU      : ", QString::number(m.cpu.count)},
        {"     Processor    : ", Q(m.cpu.type)},
        {"     Family       : ", Q(m.cpu.family)},
        {"     Model        : ", Q(m.cpu.model)},
        {"     Step         : ", Q(m.cpu.stepping)},
        {"     Vendor       : ", Q(m.cpu.vendor)},
        {"     Manufacturer : ", Q(m.cpu.manufacturer)},
        {"     Name         : ", Q(m.cpu.name)},
        {"BIOS     : ", Q(m.bios.name)},
        {"     Copyright    : ", Q(m.bios.copyright)},
        {"     Extended     : ", Q(m.bios.extended)},
        {"     Date         : ", BiosDateText(m.bios.date)},
        {"Windows  : ", Q(m.os.productName)},
        {"     Service pack : ", Q(m.os.servicePack)},
        {"     Owner        : ", owner},
        {"     Registered to: ", Q(m.os.organisation)},
        {"MAC addresses:", QString()},
    };
    for (const auto& [label, value] : lines)
        log(0, QLatin1String(label) + value);
    try {
        for (const std::string& mac : m.macAddresses)
            log(0, QStringLiteral("     ") + Q(mac));
    } catch (...) {
    }
    for (const platform::VolumeInfo& v : m.volumes) {
        const bool fixed = v.type == platform::VolumeType::Fixed;
        const QString access = !v.available ? QStringLiteral("n/a")
                               : v.readOnly ? QStringLiteral("R/O")
                                            : QStringLiteral("R/W");
        const std::pair<const char*, QString> block[] = {
            {"", Q(v.mountPoint) + QStringLiteral("    :")},
            {"     Owner        : ", owner},
            {"     Type         :", VolumeTypeText(v.type)},
            {"     VolumeInfo   :", Q(v.label)},
            {"     SerialNo     :",
             QStringLiteral("%1").arg(v.serial, 8, 16, QLatin1Char('0')).toUpper()},
            {"     ReadWrite    :", access},
            {"     DriveSize    :", QString::number(fixed ? v.size : 0)},
            {"     DriveFree    :", QString::number(fixed ? v.free : 0)},
        };
        for (const auto& [label, value] : block)
            log(0, QLatin1String(label) + value);
    }
}

void TOVLogger::EndLogging() {
    std::shared_ptr<TLogThread> thread;
    std::shared_ptr<TLogOutput> output;
    {
        // From here on log() finds no writer and drops new lines.
        std::lock_guard lock(FRefLock);
        thread = std::move(FLogThread);
        output = std::move(FLogOutput);
        FLogThread.reset();
        FLogOutput.reset();
    }
    try {
        if (thread)
            thread->Stop(Settings().EndLoggingTimeoutMs);
    } catch (...) {
    }
    RemoveFromList(this);
}

void TOVLogger::log(int ALevel, const QString& AMsg, const QString& AType,
                    const QString& AArea) noexcept {
    try {
        if (ALevel > FLogLevel)
            return;
        const std::shared_ptr<TLogThread> thread = Thread();
        if (!thread) // Enqueue drops the line once the writer was told to stop
            return;
        // Built in a buffer of the calling thread that keeps its memory: a
        // line costs no allocation. Qt's thread storage, not thread_local:
        // MinGW's runtime can free a thread_local's memory before its
        // destructor runs as the thread ends, which corrupted the heap.
        static QThreadStorage<QString> buffers;
        QString& text = buffers.localData();
        const int width = FAreaWidth;
        const QStringView area = QStringView(AArea).left(width); // all of it when negative
        text.resize(0);
        text.append(AType).append(QLatin1Char('|')).append(area);
        text.resize(text.size() + std::max<qsizetype>(width - area.size(), 0), QLatin1Char(' '));
        text.append(QLatin1String("| ")).append(AMsg);
        thread->Enqueue(text);
        if (text.capacity() > KeptLineChars) // a long line does not keep its memory
            text = QString();
    } catch (...) {
    }
}

namespace {
QString WithProcID(const QString& AProcID, const QString& AText) {
    return AProcID.isEmpty() ? AText : QLatin1Char('[') + AProcID + QStringLiteral("] ") + AText;
}
} // namespace

void TOVLogger::logenter(int ALevel, const QString& AArea, const QString& AProcID) {
    log(ALevel, WithProcID(AProcID, QStringLiteral("BEGIN")), LOG_ENTER, AArea);
}

void TOVLogger::logexit(int ALevel, const QString& AArea, const QString& AProcID) {
    log(ALevel, WithProcID(AProcID, QStringLiteral("END")), LOG_EXIT, AArea);
}

void TOVLogger::logvalue(int ALevel, const QString& AValueName, qint64 AValue, int ADots,
                         const QString& AType, const QString& AArea) {
    if (ALevel > FLogLevel) // skip building a text that would be dropped
        return;
    logvalue(ALevel, AValueName, QString::number(AValue), ADots, AType, AArea);
}

void TOVLogger::logvalue(int ALevel, const QString& AValueName, double AValue, int ADots,
                         const QString& AType, const QString& AArea) {
    if (ALevel > FLogLevel) // skip building a text that would be dropped
        return;
    logvalue(ALevel, AValueName, QString::number(AValue, 'f', 6), ADots, AType, AArea);
}

void TOVLogger::logvalue(int ALevel, const QString& AValueName, bool AValue, int ADots,
                         const QString& AType, const QString& AArea) {
    if (ALevel > FLogLevel) // skip building a text that would be dropped
        return;
    logvalue(ALevel, AValueName, AValue ? QStringLiteral("True") : QStringLiteral("False"), ADots,
             AType, AArea);
}

void TOVLogger::logvalue(int ALevel, const QString& AValueName, const QString& AValue, int ADots,
                         const QString& AType, const QString& AArea) {
    if (ALevel > FLogLevel) // skip building a text that would be dropped
        return;
    try {
        log(ALevel, AValueName.leftJustified(ADots, QLatin1Char('.')) + AValue, AType, AArea);
    } catch (...) {
    }
}

void TOVLogger::logvalue(int ALevel, const QString& AValueName, const QStringList* AValue,
                         int ADots, const QString& AType, const QString& AArea) {
    try {
        if (!AValue) {
            logvalue(ALevel, AValueName, QStringLiteral("NIL"), ADots, AType, AArea);
        } else if (AValue->isEmpty()) {
            logvalue(ALevel, AValueName, QStringLiteral("[empty]"), ADots, AType, AArea);
        } else {
            const QString indent(std::max(ADots, 0), QLatin1Char(' '));
            for (qsizetype i = 0; i < AValue->size(); ++i)
                log(ALevel,
                    indent + QLatin1Char('[') + QString::number(i) + QStringLiteral("] ") +
                        AValue->at(i),
                    AType, AArea);
        }
    } catch (...) {
    }
}

void TOVLogger::dbg(const QString& AMsg, const QString& AMethod) {
    if (FLoggingEnabled)
        log(9, AMsg, LOG_DEBUG, AMethod);
}

void TOVLogger::exc(const std::exception& E, const QString& AMethod, const QString& AProcID) {
    try {
        QString msg = WithProcID(AProcID, ExceptionClassName(E));
        if (!AMethod.isEmpty())
            msg += QStringLiteral(" in ") + AMethod + QStringLiteral(": ") + ExceptionMessage(E);
        log(0, msg, LOG_ERROR, QString());
    } catch (...) {
    }
}

void TOVLogger::err(const QString& AMsg, const QString& AMethod) {
    log(0, AMsg, LOG_ERROR, AMethod);
}

void TOVLogger::info(int ALevel, const QString& AMsg, const QString& AArea) {
    log(ALevel, AMsg, LOG_INFO, AArea);
}

void TOVLogger::warn(int ALevel, const QString& AMsg, const QString& AArea) {
    log(ALevel, AMsg, LOG_WARNING, AArea);
}

void TOVLogger::SetLogLevel(int Value) {
    FLogLevel = Value;
    if (Value != 0 && Settings().LogLevelChangesLogged)
        log(0, QStringLiteral("LogLevel set to ") + QString::number(Value), LOG_INFO, QString());
}

void TOVLogger::SetQueueLimit(int Value) {
    FQueueLimit = Value;
    if (const auto thread = Thread())
        thread->SetQueueLimit(Value);
}

void TOVLogger::SetFlushLimit(int Value) {
    FFlushLimit = Value;
    if (const auto thread = Thread())
        thread->SetFlushLimit(Value);
}

bool TOVLogger::GetLoggingStarted() const {
    return Output() != nullptr;
}

QString TOVLogger::GetOutputPath() const {
    const auto output = Output();
    return output ? output->FileName() : QString();
}

QString TOVLogger::GetLastError() const {
    const auto thread = Thread();
    return thread ? thread->LastError() : QString();
}

int TOVLogger::GetQueueSize() const {
    const auto thread = Thread();
    return thread ? thread->QueueSize() : 0;
}
