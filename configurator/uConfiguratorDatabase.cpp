#include "configurator/uConfiguratorDatabase.h"

#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVLogging.h"
#include "configurator/uBackgroundJobs.h"

namespace uConfiguratorDatabase {

QFuture<TQueryResult> Run(const QString& AArea, TOpenFunction AOpen) {
    return uBackgroundJobs::Run(uBackgroundJobs::TPool::Database, [AArea, AOpen] {
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
        return result;
    });
}

bool Busy() {
    return uBackgroundJobs::Busy(uBackgroundJobs::TPool::Database);
}

} // namespace uConfiguratorDatabase
