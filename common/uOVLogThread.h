#pragma once
// The writer side of the logger: the queue of finished texts, the thread that
// stamps and appends them to the log file, and the file output itself.
#include "common/uOVUtils.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <QByteArrayView>
#include <QFile>
#include <QString>
#include <span>
#include <thread>
#include <vector>

// The queue of lines: their texts packed one after the other in blocks that
// are reused once written, so that queueing a line allocates nothing in the
// long run and the memory follows the lines waiting. Guarded by the queue's
// lock; the views that Peek gives stay valid without it until Remove, since
// appending never moves a text already queued.
class TLogLines {
public:
    TLogLines();
    ~TLogLines();
    TLogLines(const TLogLines&) = delete;
    TLogLines& operator=(const TLogLines&) = delete;

    void Append(QStringView AMsg);
    // Views of the first lines, at most AMax of them.
    void Peek(std::vector<QStringView>& AOut, qsizetype AMax) const;
    // Takes the first ACount lines off.
    void Remove(qsizetype ACount);
    void Clear();

private:
    struct TBlock;
    TBlock& BlockFor(qsizetype ALength);

    std::deque<std::unique_ptr<TBlock>> FBlocks;
    std::vector<std::unique_ptr<TBlock>> FSpare;
};

// The time stamp of a line, "yyyy-mm-dd hh:nn:ss.zzz | ", with the same
// separators in every locale so that the lines sort and parse alike (as
// FormatDateTimeFixed writes it). The date part is formatted once a day.
class TLogStamp {
public:
    QByteArrayView Format(TDateTime AValue);

private:
    qint64 FDay = -1;
    QByteArray FText;
};

// Where a log's folder comes from; asked at every file open, so that a
// moved folder is followed.
using TLogFolder = std::function<QString()>;

// What a writer is told by its logger when it starts.
struct TLogWriterSettings {
    TLogFolder LogDir;
    int QueueLimit = 100000;
    int FlushLimit = 100;
    // Log files of the module kept besides the two newest.
    int FilesToKeep = 30;
    // The pause before the writer tries again to open or write the file
    // grows from the first value to the second (ms).
    int RetryPauseMinMs = 50;
    int RetryPauseMaxMs = 2000;
    // Told each failure to open or write the file, which would otherwise go
    // unseen; may be empty.
    std::function<void(const QString&)> OnWriteProblem;
};

// A log file of one module. The file is opened for each batch of lines and
// closed after it, so that it can be read or copied while the program runs.
class TLogOutput {
public:
    TLogOutput(const QString& AModuleName, bool AIncludeTime, TLogFolder ALogDir);
    virtual ~TLogOutput() = default;
    TLogOutput(const TLogOutput&) = delete;
    TLogOutput& operator=(const TLogOutput&) = delete;

    void OpenLog();
    void CloseLog();
    // A flush closes and reopens the file.
    void FlushLog();
    // Moves to another file when the log folder or the day changed since the
    // file was opened, so that no later line lands in the old one.
    void FollowFileName();
    // Writes the lines in one go, each as AStamp, the text and a line end;
    // never raises. Answers how many lines reached the file whole; a failure
    // is held for TakeIOError.
    virtual int WriteMsgs(QByteArrayView AStamp, std::span<const QStringView> AMsgs) = 0;
    // The error of the last open or write, cleared by reading; empty when none.
    QString TakeIOError();

    const QString& ModuleName() const { return FModuleName; }
    bool IncludeTime() const { return FIncludeTime; }
    // The log folder now; empty for an output without files.
    QString Folder() const { return FLogDir ? FLogDir() : QString(); }
    QString FileName() const;
    bool IsOpen() const;
    // Diagnostics: how often the file was opened for a batch, flushed within
    // one, and closed at its end.
    int OpenCount() const { return FOpenCount; }
    int FlushCount() const { return FFlushCount; }
    int CloseCount() const { return FCloseCount; }

protected:
    // Called with FCS held.
    virtual void DoCloseLog() = 0;
    virtual void DoOpenLog() = 0;
    // The folder, module name and start day (and time) of the current file;
    // a new day replaces the start time by now.
    void BuildFileName();
    void SetIOError(const QString& AError);

    QString FLastError;
    QString FModuleName;
    bool FIncludeTime;
    TDateTime FStartTime;
    QString FFilename;
    mutable std::mutex FCS;
    bool FOpen = false;

private:
    TLogFolder FLogDir;
    // What FFilename was built from.
    TDateTime FNamedStart = 0;
    QString FNamedDir;
    std::atomic<int> FOpenCount{0};
    std::atomic<int> FFlushCount{0};
    std::atomic<int> FCloseCount{0};
};

// The log file as a text file in the ANSI code page with CR LF line ends,
// appended to when it exists.
class THandleLogOutput : public TLogOutput {
public:
    THandleLogOutput(const QString& AModuleName, bool AIncludeTime, TLogFolder ALogDir);
    ~THandleLogOutput() override;
    int WriteMsgs(QByteArrayView AStamp, std::span<const QStringView> AMsgs) override;

protected:
    void DoCloseLog() override;
    void DoOpenLog() override;

private:
    QFile FFile;
    QByteArray FBuffer; // reused, so that a batch costs no allocation
};

// The writer thread of one logger. Any thread queues texts; the writer
// stamps them with the time it writes them and appends them to the output,
// up to a flush's worth in one write that gives all of them its time. A
// line leaves the queue only once it was written without error; while the
// file cannot be written the writer retries after a growing pause.
class TLogThread : public std::enable_shared_from_this<TLogThread> {
public:
    TLogThread(std::shared_ptr<TLogOutput> ALogOutput, TLogWriterSettings ASettings);
    ~TLogThread();
    TLogThread(const TLogThread&) = delete;
    TLogThread& operator=(const TLogThread&) = delete;

    // The thread is created idle; Start lets it run. Lines queued before
    // Start are written in its first pass.
    void Start();
    // Waits while the queue is full. False when the line was dropped because
    // the writer was told to stop.
    bool Enqueue(const QString& AMsg);
    // Tells the writer to stop once the queued lines are written and waits
    // for it at most ATimeoutMs; after that the writer drops what it could
    // not write and ends. True when every queued line was written.
    bool Stop(int ATimeoutMs);

    // Deletes the oldest log files of the module when there are more than
    // FilesToKeep + 2 of them.
    void PurgeOldLogs();

    int QueueSize() const { return FQueueSize; }
    QString LastError() const;
    void SetQueueLimit(int AValue) { FQueueLimit = AValue; }
    void SetFlushLimit(int AValue) { FFlushLimit = AValue; }

private:
    void Execute();
    // Writes queued lines until the queue is empty (true) or a line cannot
    // be written (false); the file is closed in all cases.
    bool WritePass();
    // Takes the first ACount lines off once they are written; false once
    // the writer is to stop at once.
    bool Dequeue(int ACount);
    // With FCS held, by the writer or while it does not run.
    void DropQueue();
    void SetLastError(const QString& AError);

    mutable std::mutex FCS;
    TLogLines FQueued; // guarded by FCS
    // The writer's own: the lines of the write in progress and their stamp.
    std::vector<QStringView> FBatch;
    TLogStamp FStamp;
    std::atomic<int> FQueueSize{0}; // the lines in FQueued
    int FLinesSinceFlush = 0;
    std::atomic<int> FQueueLimit;
    std::atomic<int> FFlushLimit;
    std::shared_ptr<TLogOutput> FLogOutput;
    const TLogWriterSettings FSettings;
    QString FLastError; // guarded by FCS

    std::condition_variable FWake;  // lines queued, stop or abandon
    std::condition_variable FSpace; // room in the queue, or stop
    std::condition_variable FDone;  // the writer ended
    bool FTerminated = false;       // stop once the queue is written
    bool FStopSeen = false;         // the writer has retried once since the stop
    bool FAbandoned = false;        // stop now, dropping what is left
    bool FFinished = false;
    std::thread FThread;
};
