#pragma once
// The asynchronous file logger of both programs: callers build a fixed-layout
// line and queue it; one writer thread per logger stamps and appends it to a
// daily log file and purges old files of its module.
#include <atomic>
#include <exception>
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

} // namespace uOVLogging

class TOVLogger {
public:
    TOVLogger(const QString& AModuleName, bool AIncludeTime);
    ~TOVLogger();
    TOVLogger(const TOVLogger&) = delete;
    TOVLogger& operator=(const TOVLogger&) = delete;

    void StartLogging();
    // Stops the writer after it has written the queued lines (bounded wait),
    // frees the output and leaves LoggerList.
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
};

using TLoggerList = QList<TOVLogger*>;

namespace uOVLogging {

// Module-wide settings; new loggers copy the four defaults.
// "logs" and the platform's separator until StartLogging resolves it to
// ExeDir() + "logs/". Writer threads read it at every file open: once a
// logger has started too: read and changed under a lock.
QString LogDir();
void SetLogDir(const QString& AValue);
extern int DefaultLogLevel;
extern bool DefaultLoggingEnabled;
extern int DefaultQueueLimit;
extern int DefaultFlushLimit;
extern int LogFilesToKeep;
extern int AreaWidth;
extern bool LogMachineInfo;
extern QString TraceLogDir;
extern TOVLogger* DefaultLogger;
extern TLoggerList* LoggerList;
// The configuration utility logs every change of level ("LogLevel set to ").
extern bool LogLevelChangesLogged;
// How long EndLogging waits for the writer to write the queued lines (ms);
// what is still queued after that is dropped.
extern int EndLoggingTimeoutMs;
// The pause before the writer tries again to open or write the file grows
// from the first value to the second (ms).
extern int WriteRetryPauseMinMs;
extern int WriteRetryPauseMaxMs;

// Module start: creates LoggerList and reads "loglevel", "logmachine" and
// "tracelogdir" from the command line. Module end: ends and destroys every
// logger still listed.
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
