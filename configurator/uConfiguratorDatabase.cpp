#include "configurator/uConfiguratorDatabase.h"

#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVLogging.h"

#include <atomic>
#include <QtConcurrent/QtConcurrentRun>
#include <QThreadPool>

namespace uConfiguratorDatabase {

namespace {

std::atomic<int> PendingJobs{0};

// One thread that never expires: the shared session, once connected, stays
// on the thread that connected it. Never destroyed, so that leaving the
// program does not wait for a job stuck in a log-in.
QThreadPool& Pool() {
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool();
        p->setMaxThreadCount(1);
        p->setExpiryTimeout(-1);
        return p;
    }();
    return *pool;
}

} // namespace

QFuture<TQueryResult> Run(const QString& AArea, TOpenFunction AOpen) {
    ++PendingJobs;
    return QtConcurrent::run(&Pool(), [AArea, AOpen = std::move(AOpen)] {
        TQueryResult result;
        try {
            uBrevoltRPro9ConnectorSQLs::TSessionLease lease;
            result.Dataset = AOpen(lease.Connection());
        } catch (const std::exception& E) {
            uOVLogging::exc(E, AArea);
            result.Error = ExceptionMessage(E);
        } catch (...) {
            result.Error = QStringLiteral("Unknown error");
        }
        --PendingJobs;
        return result;
    });
}

bool Busy() {
    return PendingJobs.load() > 0;
}

} // namespace uConfiguratorDatabase
