#include "common/uOVLogThread.h"

#include "common/uOVCodePage.h"
#include "common/uOVLogging.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <QDir>
#include <QFileInfo>

using uOVUtils::FormatDateTime;
using uOVUtils::JoinPath;

namespace {
// Written with ":" and "." in every locale, so that the lines sort and parse alike.
const QString StampPattern = QStringLiteral("yyyy-mm-dd hh:nn:ss.zzz");
constexpr TDateTime CleanupInterval = 1.0 / 1440; // one minute
} // namespace

// --- TLogOutput ---------------------------------------------------------------

TLogOutput::TLogOutput(const QString& AModuleName, bool AIncludeTime)
    : FModuleName(AModuleName), FIncludeTime(AIncludeTime), FStartTime(uOVUtils::Now()) {
    BuildFileName();
}

void TLogOutput::OpenLog() {
    std::lock_guard lock(FCS);
    ++FOpenCount;
    DoOpenLog();
}

void TLogOutput::CloseLog() {
    std::lock_guard lock(FCS);
    if (FOpen)
        ++FCloseCount;
    DoCloseLog();
}

void TLogOutput::FlushLog() {
    std::lock_guard lock(FCS);
    ++FFlushCount;
    DoCloseLog();
    DoOpenLog();
}

QString TLogOutput::TakeIOError() {
    std::lock_guard lock(FCS);
    QString error;
    error.swap(FLastError);
    return error;
}

QString TLogOutput::FileName() const {
    std::lock_guard lock(FCS);
    return FFilename;
}

bool TLogOutput::IsOpen() const {
    std::lock_guard lock(FCS);
    return FOpen;
}

void TLogOutput::BuildFileName() {
    const TDateTime now = uOVUtils::Now();
    if (std::floor(now) != std::floor(FStartTime))
        FStartTime = now;
    const QString pattern =
        FIncludeTime ? QStringLiteral("yyyymmdd_hhnnsszzz") : QStringLiteral("yyyymmdd");
    FFilename = JoinPath({uOVLogging::GetLogDir(), FModuleName + QLatin1Char('_') +
                                                       FormatDateTime(pattern, FStartTime) +
                                                       QStringLiteral(".log")});
}

void TLogOutput::SetIOError(const QString& AError) {
    // The first error of a batch is the telling one.
    if (FLastError.isEmpty())
        FLastError = AError;
}

// --- THandleLogOutput -----------------------------------------------------------

THandleLogOutput::THandleLogOutput(const QString& AModuleName, bool AIncludeTime)
    : TLogOutput(AModuleName, AIncludeTime) {}

THandleLogOutput::~THandleLogOutput() {
    std::lock_guard lock(FCS);
    DoCloseLog();
}

void THandleLogOutput::DoOpenLog() {
    if (FOpen)
        return;
    BuildFileName();
    FFile.setFileName(FFilename);
    const bool created = !FFile.exists();
    // Owner and group only, whatever the umask: the lines hold customer data,
    // and the group (the utility's users with the service) appends to the file.
    const QFileDevice::Permissions perms = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ReadGroup | QFileDevice::WriteGroup;
    // Unbuffered: a line counts as written only once it reached the file.
    if (!FFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered, perms))
        SetIOError(QStringLiteral("cannot open ") + FFilename + QStringLiteral(": ") +
                   FFile.errorString());
    else if (created)
        // Creation masks the group's write bit under umask 022.
        FFile.setPermissions(perms);
    FOpen = true;
}

void THandleLogOutput::DoCloseLog() {
    if (!FOpen)
        return;
    if (FFile.isOpen()) {
        FFile.flush();
        FFile.close();
    }
    FOpen = false;
}

void THandleLogOutput::WriteMsg(const QString& AMsg) {
    std::lock_guard lock(FCS);
    if (!FOpen)
        return;
    if (!FFile.isOpen()) {
        SetIOError(QStringLiteral("log file not open: ") + FFilename);
        return;
    }
    const QByteArray bytes = uOVCodePage::ToAnsi(AMsg) + QByteArrayLiteral("\r\n");
    if (FFile.write(bytes) != bytes.size())
        SetIOError(QStringLiteral("cannot write ") + FFilename + QStringLiteral(": ") +
                   FFile.errorString());
}

// --- TLogThread -------------------------------------------------------------------

TLogThread::TLogThread(std::shared_ptr<TLogOutput> ALogOutput)
    : FQueueLimit(uOVLogging::DefaultQueueLimit), FFlushLimit(uOVLogging::DefaultFlushLimit),
      FLogOutput(std::move(ALogOutput)) {}

TLogThread::~TLogThread() {
    if (FThread.joinable()) {
        if (FThread.get_id() == std::this_thread::get_id()) {
            FThread.detach(); // the writer held the last reference
        } else {
            {
                std::lock_guard lock(FCS);
                FTerminated = FAbandoned = true;
            }
            FWake.notify_all();
            FThread.join();
        }
    }
    std::lock_guard lock(FCS);
    DropQueue();
}

void TLogThread::Start() {
    if (FThread.joinable())
        return;
    // The writer keeps itself alive: an owner that stops waiting for it can
    // let go without the writer touching freed memory.
    FThread = std::thread([self = shared_from_this()] { self->Execute(); });
}

bool TLogThread::Enqueue(const QString& AMsg) {
    std::unique_lock lock(FCS);
    while (!FTerminated && FQueueSize >= FQueueLimit)
        FSpace.wait_for(lock, std::chrono::milliseconds(10));
    if (FTerminated)
        return false;
    auto* entry = new TLogQueueEntry(AMsg, FTail);
    FTail = entry;
    if (!FHead)
        FHead = entry;
    ++FQueueSize;
    FWake.notify_one();
    return true;
}

void TLogThread::Dequeue() {
    std::lock_guard lock(FCS);
    TLogQueueEntry* head = FHead;
    if (!head)
        return;
    FHead = head->Next;
    if (!FHead)
        FTail = nullptr;
    --FQueueSize;
    delete head;
    // Callers held up by a full queue are woken once a tenth of it is
    // written, not after every line (they also look every 10 ms): woken per
    // line, they and the writer take turns at the lock one line at a time,
    // which halves the writer's speed.
    const int limit = FQueueLimit;
    if (FQueueSize <= limit - std::max(1, limit / 10))
        FSpace.notify_all();
}

void TLogThread::DropQueue() {
    while (FHead) {
        TLogQueueEntry* next = FHead->Next;
        delete FHead;
        FHead = next;
    }
    FTail = nullptr;
    FQueueSize = 0;
    FSpace.notify_all();
}

bool TLogThread::Stopping() const {
    std::lock_guard lock(FCS);
    return FTerminated;
}

bool TLogThread::Stop(int ATimeoutMs) {
    std::unique_lock lock(FCS);
    FTerminated = true;
    FWake.notify_all();
    FSpace.notify_all();
    if (!FThread.joinable()) {
        const bool drained = FHead == nullptr;
        DropQueue();
        return drained;
    }
    const auto finished = [this] {
        return FFinished;
    };
    bool done = FDone.wait_for(lock, std::chrono::milliseconds(std::max(ATimeoutMs, 0)), finished);
    const bool drained = done;
    if (!done) {
        FAbandoned = true;
        FWake.notify_all();
        // A writer blocked inside the file system may not come back soon;
        // it then ends on its own and frees itself.
        done = FDone.wait_for(lock, std::chrono::seconds(1), finished);
    }
    lock.unlock();
    if (done)
        FThread.join();
    else
        FThread.detach();
    return drained;
}

QString TLogThread::LastError() const {
    std::lock_guard lock(FCS);
    return FLastError;
}

void TLogThread::SetLastError(const QString& AError) {
    std::lock_guard lock(FCS);
    FLastError = AError;
}

bool TLogThread::WritePass() {
    bool ok = true;
    try {
        FLogOutput->OpenLog();
        FLinesSinceFlush = 0;
        for (;;) {
            QString msg;
            {
                std::lock_guard lock(FCS);
                if (!FHead || FAbandoned)
                    break;
                msg = FHead->Msg;
            }
            FLogOutput->WriteMsg(uOVUtils::FormatDateTimeFixed(StampPattern, uOVUtils::Now()) +
                                 QStringLiteral(" | ") + msg);
            const QString error = FLogOutput->TakeIOError();
            if (!error.isEmpty()) {
                SetLastError(QStringLiteral("EInOutError: ") + error);
                ok = false;
                break;
            }
            Dequeue();
            if (++FLinesSinceFlush > FFlushLimit) {
                FLogOutput->FlushLog();
                FLinesSinceFlush = 0;
            }
        }
    } catch (...) {
        ok = false;
    }
    try {
        FLogOutput->CloseLog();
    } catch (...) {
    }
    FLinesSinceFlush = 0;
    return ok;
}

void TLogThread::Execute() {
    TDateTime lastCleanup = 0;
    int pauseMs = 0;
    for (;;) {
        bool failed = false;
        if (FQueueSize > 0)
            failed = !WritePass();
        try {
            const TDateTime now = uOVUtils::Now();
            if (now - lastCleanup > CleanupInterval) {
                PurgeOldLogs();
                lastCleanup = now;
            }
        } catch (const std::exception& E) {
            SetLastError(ExceptionClassName(E) + QStringLiteral(": ") + ExceptionMessage(E));
        } catch (...) {
        }

        std::unique_lock lock(FCS);
        if (FAbandoned)
            break;
        if (failed) {
            // Keep the lines and try again later, without spinning; a stop
            // request cuts the pause short once.
            pauseMs = pauseMs == 0 ? uOVLogging::WriteRetryPauseMinMs
                                   : std::min(pauseMs * 2, uOVLogging::WriteRetryPauseMaxMs);
            FWake.wait_for(lock, std::chrono::milliseconds(std::max(pauseMs, 1)),
                           [this] { return FAbandoned || (FTerminated && !FStopSeen); });
            FStopSeen = FTerminated;
            continue;
        }
        pauseMs = 0;
        if (FTerminated && !FHead)
            break;
        FWake.wait(lock, [this] { return FHead != nullptr || FTerminated; });
    }
    {
        std::lock_guard lock(FCS);
        DropQueue();
    }
    try {
        FLogOutput->CloseLog();
    } catch (...) {
    }
    std::lock_guard lock(FCS);
    FFinished = true;
    FDone.notify_all();
}

void TLogThread::PurgeOldLogs() {
    const QString dir = uOVLogging::GetLogDir();
    const QFileInfoList files =
        QDir(dir).entryInfoList({FLogOutput->ModuleName() + QStringLiteral("_*.log")},
                                QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
    const int keep = uOVLogging::LogFilesToKeep;
    if (files.size() <= keep + 2)
        return;
    QStringList keys;
    for (const QFileInfo& file : files)
        keys << file.lastModified().toString(QStringLiteral("yyyyMMdd")) + QLatin1Char('=') +
                    file.fileName();
    std::sort(keys.begin(), keys.end(), [](const QString& A, const QString& B) {
        return A.compare(B, Qt::CaseInsensitive) < 0;
    });
    const int count = static_cast<int>(keys.size()) - keep + 1;
    for (int i = 0; i < count; ++i)
        QFile::remove(JoinPath({dir, keys.at(i).mid(keys.at(i).indexOf(QLatin1Char('=')) + 1)}));
}
