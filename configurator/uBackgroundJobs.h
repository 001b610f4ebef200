#pragma once
// Work that the utility's windows hand off their thread: database queries,
// connection tests, service control. The windows get the result back through
// a QFutureWatcher and keep handling input meanwhile.
//
// The pools are never destroyed, and leaving the program does not wait for
// their jobs: one may be stuck in a log-in or a time-out, and nothing it could
// return is needed once the window has closed (main() checks Busy()).
#include <atomic>
#include <QFuture>
#include <QtConcurrent/QtConcurrentRun>
#include <QThreadPool>

namespace uBackgroundJobs {

enum class TPool {
    // One thread that never expires: the shared database session, once
    // connected, stays on the thread that connected it.
    Database,
    // Connection tests and service control, a few at a time.
    Network,
};

QThreadPool& Pool(TPool APool);

// Jobs queued or running on APool, or on any pool.
bool Busy(TPool APool);
bool Busy();

namespace detail {
std::atomic<int>& Pending(TPool APool);
// Ends the count of a job (begun when it was queued) once it has returned.
struct TJobDone {
    TPool Pool;
    ~TJobDone() { --Pending(Pool); }
};
} // namespace detail

template <typename F> auto Run(TPool APool, F AJob) {
    ++detail::Pending(APool);
    return QtConcurrent::run(&Pool(APool), [APool, AJob = std::move(AJob)]() mutable {
        const detail::TJobDone done{APool};
        return AJob();
    });
}

} // namespace uBackgroundJobs
