#pragma once
// The utility's database work, off the window's thread: the database worker
// (uBackgroundJobs) takes the shared session, runs one query and releases the
// session again, so the window keeps handling input while Oracle logs in, and
// Qt SQL always sees its connections used by the thread that opened them.
//
//   auto future = uConfiguratorDatabase::Run(area, [](TConnectorConnection* c) {
//       return uBrevoltRPro9ConnectorSQLs::OpenStoresQuery(c);
//   });
//   watcher.setFuture(future);   // finished() on the window's thread
#include "common/uOVDataAccess.h"

#include <functional>
#include <memory>
#include <QFuture>
#include <QString>

namespace uConfiguratorDatabase {

// The query result (whole, needing no connection), or the error's own text.
struct TQueryResult {
    std::shared_ptr<TConnectorDataset> Dataset;
    QString Error;
};

using TOpenFunction = std::function<std::unique_ptr<TConnectorDataset>(TConnectorConnection*)>;

// Queues AOpen on the worker between GetSession and ReleaseSession. An error
// is logged as an exception entry under AArea and returned as Error.
QFuture<TQueryResult> Run(const QString& AArea, TOpenFunction AOpen);

// True while a query runs or waits.
bool Busy();

} // namespace uConfiguratorDatabase
