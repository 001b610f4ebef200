#include "common/uOVLogThread.h"

#include "common/uOVCodePage.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <QDir>
#include <QFileInfo>

using uOVUtils::FormatDateTime;
using uOVUtils::FormatDateTimeFixed;
using uOVUtils::JoinPath;

namespace {
constexpr TDateTime CleanupInterval = 1.0 / 1440; // one minute
constexpr qint64 MSecsPerDay = 86400000;
// Lines written in one go at most, whatever the flush limit.
constexpr int MaxBatch = 512;
// Queue blocks: characters in each, and written blocks kept for reuse.
constexpr qsizetype BlockChars = 32 * 1024;
constexpr size_t SpareBlocks = 4;
// The write buffer is kept for reuse up to this size.
constexpr qsizetype KeptWriteBytes = 1024 * 1024;

void AppendDigits(char* AOut, int AValue, int AWidth) {
    for (int i = AWidth - 1; i >= 0; --i, AValue /= 10)
        AOut[i] = static_cast<char>('0' + AValue % 10);
}
} // namespace

// --- TLogLines ------------------------------------------------------------------

struct TLogLines::TBlock {
    explicit TBlock(qsizetype ACapacity)
        : Text(std::make_unique_for_overwrite<char16_t[]>(ACapacity)), Capacity(ACapacity) {}
    std::unique_ptr<char16_t[]> Text;
    qsizetype Capacity;
    qsizetype Size = 0;
    std::vector<qsizetype> Ends; // where each line's text ends
    qsizetype First = 0;         // lines taken off
};

TLogLines::TLogLines() = default;
TLogLines::~TLogLines() = default;

TLogLines::TBlock& TLogLines::BlockFor(qsizetype ALength) {
    if (!FBlocks.empty() && FBlocks.back()->Capacity - FBlocks.back()->Size >= ALength)
        return *FBlocks.back();
    if (ALength <= BlockChars && !FSpare.empty()) {
        FBlocks.push_back(std::move(FSpare.back()));
        FSpare.pop_back();
    } else {
        // A longer line gets a block of its own.
        FBlocks.push_back(std::make_unique<TBlock>(std::max(ALength, BlockChars)));
    }
    return *FBlocks.back();
}

void TLogLines::Append(QStringView AMsg) {
    TBlock& block = BlockFor(AMsg.size());
    block.Ends.push_back(block.Size + AMsg.size());
    std::copy(AMsg.utf16(), AMsg.utf16() + AMsg.size(), block.Text.get() + block.Size);
    block.Size += AMsg.size();
}

void TLogLines::Peek(std::vector<QStringView>& AOut, qsizetype AMax) const {
    AOut.clear();
    for (const auto& block : FBlocks)
        for (qsizetype i = block->First; i < qsizetype(block->Ends.size()); ++i) {
            if (qsizetype(AOut.size()) >= AMax)
                return;
            const qsizetype begin = i == 0 ? 0 : block->Ends[i - 1];
            AOut.emplace_back(block->Text.get() + begin, block->Ends[i] - begin);
        }
}

void TLogLines::Remove(qsizetype ACount) {
    while (ACount > 0 && !FBlocks.empty()) {
        TBlock& block = *FBlocks.front();
        const qsizetype taken = std::min(ACount, qsizetype(block.Ends.size()) - block.First);
        block.First += taken;
        ACount -= taken;
        if (block.First < qsizetype(block.Ends.size()))
            break;
        // Written through: the last block takes the next lines, a few others
        // are kept for reuse, the rest (and a long line's own) give their
        // memory back.
        block.Size = block.First = 0;
        block.Ends.clear();
        const bool usual = block.Capacity == BlockChars;
        if (usual && FBlocks.size() == 1)
            break;
        if (usual && FSpare.size() < SpareBlocks)
            FSpare.push_back(std::move(FBlocks.front()));
        FBlocks.pop_front();
    }
}

void TLogLines::Clear() {
    FBlocks.clear();
}

// --- TLogStamp ------------------------------------------------------------------

QByteArrayView TLogStamp::Format(TDateTime AValue) {
    // Split as FormatDateTimeFixed does: to the nearest millisecond, carried
    // into the day.
    const double whole = std::trunc(AValue);
    qint64 ms = std::llround(std::fabs(AValue - whole) * double(MSecsPerDay));
    qint64 day = static_cast<qint64>(whole);
    if (ms >= MSecsPerDay) {
        ms -= MSecsPerDay;
        day += AValue < 0 ? -1 : 1;
    }
    if (day != FDay || FText.isEmpty()) {
        // "yyyy-mm-dd " once a day; the time and " | " after it are rewritten in place.
        FText = FormatDateTimeFixed(QStringLiteral("yyyy-mm-dd "), double(day)).toLatin1() +
                QByteArrayLiteral("hh:nn:ss.zzz | ");
        FDay = day;
    }
    char* time = FText.data() + FText.size() - 15;
    const int msOfDay = static_cast<int>(ms);
    AppendDigits(time, msOfDay / 3600000, 2);
    AppendDigits(time + 3, msOfDay / 60000 % 60, 2);
    AppendDigits(time + 6, msOfDay / 1000 % 60, 2);
    AppendDigits(time + 9, msOfDay % 1000, 3);
    return FText;
}

// --- TLogOutput ---------------------------------------------------------------

TLogOutput::TLogOutput(const QString& AModuleName, bool AIncludeTime, TLogFolder ALogDir)
    : FModuleName(AModuleName), FIncludeTime(AIncludeTime), FStartTime(uOVUtils::Now()),
      FLogDir(std::move(ALogDir)) {
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

void TLogOutput::FollowFileName() {
    std::lock_guard lock(FCS);
    if (!FOpen)
        return;
    const QString current = FFilename;
    BuildFileName();
    if (FFilename == current)
        return;
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
    // Built once per file: the writer opens it again at every flush.
    QString dir = Folder();
    if (!FFilename.isEmpty() && FStartTime == FNamedStart && dir == FNamedDir)
        return;
    FNamedStart = FStartTime;
    FNamedDir = std::move(dir);
    const QString pattern =
        FIncludeTime ? QStringLiteral("yyyymmdd_hhnnsszzz") : QStringLiteral("yyyymmdd");
    FFilename =
        JoinPath({FNamedDir, FModuleName + QLatin1Char('_') + FormatDateTime(pattern, FStartTime) +
                                 QStringLiteral(".log")});
}

void TLogOutput::SetIOError(const QString& AError) {
    // The first error of a batch is the telling one.
    if (FLastError.isEmpty())
        FLastError = AError;
}

// --- THandleLogOutput -----------------------------------------------------------

THandleLogOutput::THandleLogOutput(const QString& AModuleName, bool AIncludeTime,
                                   TLogFolder ALogDir)
    : TLogOutput(AModuleName, AIncludeTime, std::move(ALogDir)) {}

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

int THandleLogOutput::WriteMsgs(QByteArrayView AStamp, std::span<const QStringView> AMsgs) {
    std::lock_guard lock(FCS);
    if (!FOpen)
        return 0;
    if (!FFile.isOpen()) {
        SetIOError(QStringLiteral("log file not open: ") + FFilename);
        return 0;
    }
    FBuffer.resize(0);
    for (const QStringView msg : AMsgs) {
        FBuffer += AStamp;
        uOVCodePage::AppendAnsi(FBuffer, msg);
        FBuffer += "\r\n";
    }
    const qint64 written = FFile.write(FBuffer);
    int lines = static_cast<int>(AMsgs.size());
    if (written != FBuffer.size()) {
        SetIOError(QStringLiteral("cannot write ") + FFilename + QStringLiteral(": ") +
                   FFile.errorString());
        // The lines that got out whole count as written; the rest are written again.
        lines = written <= 0 ? 0 : static_cast<int>(FBuffer.first(written).count('\n'));
    }
    if (FBuffer.capacity() > KeptWriteBytes) // a batch of long lines
        FBuffer = QByteArray();
    return lines;
}

// --- TLogThread -------------------------------------------------------------------

TLogThread::TLogThread(std::shared_ptr<TLogOutput> ALogOutput, TLogWriterSettings ASettings)
    : FQueueLimit(ASettings.QueueLimit), FFlushLimit(ASettings.FlushLimit),
      FLogOutput(std::move(ALogOutput)), FSettings(std::move(ASettings)) {}

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
    FQueued.Append(AMsg);
    // The writer sleeps only while nothing is queued.
    if (++FQueueSize == 1)
        FWake.notify_one();
    return true;
}

bool TLogThread::Dequeue(int ACount) {
    std::lock_guard lock(FCS);
    FQueued.Remove(ACount);
    FQueueSize -= ACount;
    // Callers held up by a full queue are woken once a tenth of it is
    // written, not after every line (they also look every 10 ms): woken per
    // line, they and the writer take turns at the lock one line at a time,
    // which halves the writer's speed.
    const int limit = FQueueLimit;
    if (FQueueSize <= limit - std::max(1, limit / 10))
        FSpace.notify_all();
    return !FAbandoned;
}

void TLogThread::DropQueue() {
    FQueued.Clear();
    FQueueSize = 0;
    FSpace.notify_all();
}

bool TLogThread::Stop(int ATimeoutMs) {
    std::unique_lock lock(FCS);
    FTerminated = true;
    FWake.notify_all();
    FSpace.notify_all();
    if (!FThread.joinable()) {
        const bool drained = FQueueSize == 0;
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
            // Up to the next flush in one write.
            const qsizetype room =
                std::clamp<qint64>(qint64(FFlushLimit) + 1 - FLinesSinceFlush, 1, MaxBatch);
            {
                std::lock_guard lock(FCS);
                if (FAbandoned)
                    break;
                FQueued.Peek(FBatch, room);
            }
            if (FBatch.empty())
                break;
            FLogOutput->FollowFileName();
            const int written = FLogOutput->WriteMsgs(FStamp.Format(uOVUtils::Now()), FBatch);
            const bool goOn = Dequeue(written);
            FLinesSinceFlush += written;
            const QString error = FLogOutput->TakeIOError();
            if (!error.isEmpty()) {
                SetLastError(QStringLiteral("EInOutError: ") + error);
                if (FSettings.OnWriteProblem)
                    FSettings.OnWriteProblem(error);
                ok = false;
                break;
            }
            if (!goOn)
                break;
            if (FLinesSinceFlush > FFlushLimit) {
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
            pauseMs = pauseMs == 0 ? FSettings.RetryPauseMinMs
                                   : std::min(pauseMs * 2, FSettings.RetryPauseMaxMs);
            FWake.wait_for(lock, std::chrono::milliseconds(std::max(pauseMs, 1)),
                           [this] { return FAbandoned || (FTerminated && !FStopSeen); });
            FStopSeen = FTerminated;
            continue;
        }
        pauseMs = 0;
        if (FTerminated && FQueueSize == 0)
            break;
        FWake.wait(lock, [this] { return FQueueSize > 0 || FTerminated; });
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
    const QString dir = FLogOutput->Folder();
    if (dir.isEmpty())
        return;
    const QFileInfoList files =
        QDir(dir).entryInfoList({FLogOutput->ModuleName() + QStringLiteral("_*.log")},
                                QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
    const int keep = FSettings.FilesToKeep;
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
