#pragma once
// The writer side of the logger: the queue of finished texts, the thread that
// stamps and appends them to the log file, and the file output itself.
#include "common/uOVUtils.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <QFile>
#include <QString>
#include <thread>

// One queued line.
class TLogQueueEntry {
public:
    TLogQueueEntry(const QString& AMsg, TLogQueueEntry* APrev) : Msg(AMsg) {
        if (APrev)
            APrev->Next = this;
    }
    QString Msg;
    TLogQueueEntry* Next = nullptr;
};

// A log file of one module. The file is opened for each batch of lines and
// closed after it, so that it can be read or copied while the program runs.
class TLogOutput {
public:
    TLogOutput(const QString& AModuleName, bool AIncludeTime);
    virtual ~TLogOutput() = default;
    TLogOutput(const TLogOutput&) = delete;
    TLogOutput& operator=(const TLogOutput&) = delete;

    void OpenLog();
    void CloseLog();
    // A flush closes and reopens the file.
    void FlushLog();
    // Writes one line; never raises. A failure is held for TakeIOError.
    virtual void WriteMsg(const QString& AMsg) = 0;
    // The error of the last open or write, cleared by reading; empty when none.
    QString TakeIOError();

    const QString& ModuleName() const { return FModuleName; }
    bool IncludeTime() const { return FIncludeTime; }
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
    std::atomic<int> FOpenCount{0};
    std::atomic<int> FFlushCount{0};
    std::atomic<int> FCloseCount{0};
};

// The log file as a text file in the ANSI code page with CR LF line ends,
// appended to when it exists.
class THandleLogOutput : public TLogOutput {
public:
    THandleLogOutput(const QString& AModuleName, bool AIncludeTime);
    ~THandleLogOutput() override;
    void WriteMsg(const QString& AMsg) override;

protected:
    void DoCloseLog() override;
    void DoOpenLog() override;

private:
    QFile FFile;
};

// The writer thread of one logger. Any thread queues texts; the writer
// stamps each with the time it writes it and appends it to the output. A
// line leaves the queue only once it was written without error; while the
// file cannot be written the writer retries after a growing pause.
class TLogThread : public std::enable_shared_from_this<TLogThread> {
public:
    explicit TLogThread(std::shared_ptr<TLogOutput> ALogOutput);
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
    bool Stopping() const;

    // Deletes the oldest log files of the module when there are more than
    // LogFilesToKeep + 2 of them.
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
    void Dequeue();
    void DropQueue(); // with FCS held
    void SetLastError(const QString& AError);

    mutable std::mutex FCS;
    TLogQueueEntry* FHead = nullptr;
    TLogQueueEntry* FTail = nullptr;
    std::atomic<int> FQueueSize{0};
    int FLinesSinceFlush = 0;
    std::atomic<int> FQueueLimit;
    std::atomic<int> FFlushLimit;
    std::shared_ptr<TLogOutput> FLogOutput;
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
