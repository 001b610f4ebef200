#pragma once
// The asynchronous file logger of both programs: callers build a fixed-layout
// line and queue it; one writer thread per logger stamps and appends it to a
// daily log file and purges old files of its module.
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <QList>
#include <QString>
#include <QStringList>

#include "common/uOVUtils.h"

class TLogThread;
class TLogOutput;

namespace uOVLogging {

// Line types: nine characters that fill the type column.
inline const QString LOG_INFO = QStringLiteral(" INFO    ");
inline const QString LOG_WARNING = QStringLiteral(" WARNING ");
inline const QString LOG_ERROR = QStringLiteral(" ERROR   ");
inline const QString LOG_DEBUG = QStringLiteral(" DEBUG   ");
inline const QString LOG_ENTER = QStringLiteral(" >> ENTER");
inline const QString LOG_EXIT = QStringLiteral(" << EXIT ");

// Module-wide settings, read by value and changed under a lock. New loggers
// copy the four defaults and the area width; writers take theirs at start.
struct TLogSettings {
    int DefaultLogLevel = 1;
    bool DefaultLoggingEnabled = true;
    int DefaultQueueLimit = 100000;
    int DefaultFlushLimit = 100;
    int LogFilesToKeep = 30;
    int AreaWidth = 50;
    bool LogMachineInfo = false;
    QString TraceLogDir;
    // The configuration utility logs every change of level ("LogLevel set to ").
    bool LogLevelChangesLogged = false;
    // How long EndLogging waits for the writer to write the queued lines (ms);
    // what is still queued after that is dropped.
    int EndLoggingTimeoutMs = 10000;
    // The pause before the writer tries again to open or write the file grows
    // from the first value to the second (ms).
    int WriteRetryPauseMinMs = 50;
    int WriteRetryPauseMaxMs = 2000;
};

} // namespace uOVLogging

class TOVLogger {
public:
    TOVLogger(const QString& AModuleName, bool AIncludeTime);
    ~TOVLogger();
    TOVLogger(const TOVLogger&) = delete;
    TOVLogger& operator=(const TOVLogger&) = delete;

    // Writes to AOutput in place of the daily log file when one is given
    // (tests keep the lines in memory that way).
    void StartLogging(std::shared_ptr<TLogOutput> AOutput = nullptr);
    // Stops the writer after it has written the queued lines (bounded wait),
    // frees the output and leaves the list of loggers.
    void EndLogging();

    // Never raises; may be called from any thread.
    void log(int ALevel, const QString& AMsg, const QString& AType = uOVLogging::LOG_INFO,
             const QString& AArea = QString()) noexcept;
    void logenter(int ALevel, const QString& AArea, const QString& AProcID = QString());
    void logexit(int ALevel, const QString& AArea, const QString& AProcID = QString());
    void logvalue(int ALevel, const QString& AValueName, qint64 AValue, int ADots,
                  const QString& AType = uOVLogging::LOG_INFO, const QString& AArea = QString());
    void logvalue(int ALevel, const QString& AValueName, double AValue, int ADots,
                  const QString& AType = uOVLogging::LOG_INFO, const QString& AArea = QString());
    void logvalue(int ALevel, const QString& AValueName, bool AValue, int ADots,
                  const QString& AType = uOVLogging::LOG_INFO, const QString& AArea = QString());
    void logvalue(int ALevel, const QString& AValueName, const QString& AValue, int ADots,
                  const QString& AType = uOVLogging::LOG_INFO, const QString& AArea = QString());
    // nullptr stands for "no list" (NIL).
    void logvalue(int ALevel, const QString& AValueName, const QStringList* AValue, int ADots,
                  const QString& AType = uOVLogging::LOG_INFO, const QString& AArea = QString());
    void dbg(const QString& AMsg, const QString& AMethod = QString());
    void exc(const std::exception& E, const QString& AMethod = QString(),
             const QString& AProcID = QString());
    void err(const QString& AMsg, const QString& AMethod = QString());
    void info(int ALevel, const QString& AMsg, const QString& AArea = QString());
    void warn(int ALevel, const QString& AMsg, const QString& AArea = QString());

    void SetLogLevel(int Value);
    void SetQueueLimit(int Value);
    void SetFlushLimit(int Value);

    const QString& ModuleName() const { return FModuleName; }
    bool IncludeTime() const { return FIncludeTime; }
    TDateTime StartTime() const { return FStartTime; }
    int LogLevel() const { return FLogLevel; }
    bool LoggingEnabled() const { return FLoggingEnabled; }
    void SetLoggingEnabled(bool Value) { FLoggingEnabled = Value; }
    int QueueLimit() const { return FQueueLimit; }
    int FlushLimit() const { return FFlushLimit; }
    bool GetLoggingStarted() const;
    QString GetOutputPath() const;
    QString GetLastError() const;
    int GetQueueSize() const;

private:
    TOVLogger(const QString& AModuleName, bool AIncludeTime,
              const uOVLogging::TLogSettings& ASettings);
    std::shared_ptr<TLogThread> Thread() const;
    std::shared_ptr<TLogOutput> Output() const;
    void WriteHeader();
    void WriteMachineInfo();

    QString FModuleName;
    bool FIncludeTime;
    // Read by log() on any thread; replaced only by StartLogging/EndLogging.
    std::shared_ptr<TLogThread> FLogThread;
    std::shared_ptr<TLogOutput> FLogOutput;
    mutable std::mutex FRefLock; // guards the two references above
    std::atomic<int> FLogLevel;
    std::atomic<bool> FLoggingEnabled;
    TDateTime FStartTime = 0;
    int FQueueLimit;
    int FFlushLimit;
    int FAreaWidth;
};

using TLoggerList = QList<TOVLogger*>;

namespace uOVLogging {

// The log folder: "logs" and the platform's separator until StartLogging
// resolves it to ExeDir() + "logs/". Writer threads read it at every file
// open, so it is read and changed under a lock.
QString LogDir();
void SetLogDir(const QString& AValue);

TLogSettings Settings();
void SetSettings(const TLogSettings& AValue);
// Changes some settings in one step under the lock.
void ChangeSettings(const std::function<void(TLogSettings&)>& AChange);

// The logger the module-level functions write to; nullptr for none.
TOVLogger* DefaultLogger();
void SetDefaultLogger(TOVLogger* ALogger);
// The loggers that exist, in the order they were made.
TLoggerList Loggers();

// Module start: resets the level, machine-information and trace settings and
// reads "loglevel", "logmachine" and "tracelogdir" from the command line.
// Module end: ends and destroys every logger still listed.
void StartModule();
void EndModule();

// Forward to DefaultLogger; do nothing while it is unset.
void log(int ALevel, const QString& AMsg, const QString& AType = LOG_INFO,
         const QString& AArea = QString());
void logenter(int ALevel, const QString& AArea, const QString& AProcID = QString());
void logexit(int ALevel, const QString& AArea, const QString& AProcID = QString());
void dbg(const QString& AMsg, const QString& AMethod = QString());
void exc(const std::exception& E, const QString& AMethod = QString(),
         const QString& AProcID = QString());
void err(const QString& AMsg, const QString& AMethod = QString());
void info(int ALevel, const QString& AMsg, const QString& AArea = QString());

void SetDefaultLogLevel(int Value);
int GetDefaultLogLevel();
void SetDefaultLoggingEnabled(bool Value);

// The writer reports here each failure to open or write a log file, which
// would otherwise go unseen: one line on stderr (the journal keeps it) at the
// first failure and then at most once a minute, and the text for the next
// notice. Module start forgets both.
void ReportLogWriteProblem(const QString& AError);
// The first problem reported since the last call, with the time it began;
// empty when there was none. Clears it.
QString TakeLogWriteProblem();

} // namespace uOVLogging
