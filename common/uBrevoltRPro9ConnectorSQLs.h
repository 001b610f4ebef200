#pragma once
// The shared Retail Pro 9 session of a process and the queries run on it.
//
//   uBrevoltRPro9ConnectorSQLs::GetSession();          // raises on failure
//   auto q = OpenQuery(Session(), "1", "1", "", since);  // caller owns q
//   ... q->FieldByName("Email").AsString() ...
//   ReleaseSession();                                   // also after errors
#include "common/uOVDataAccess.h"
#include "common/uOVUtils.h"

#include <atomic>
#include <memory>
#include <QString>

namespace uBrevoltRPro9ConnectorSQLs {

// The fixed logon of the connector.
inline const QString RProAlias = QStringLiteral("RPROODS");
inline const QString RProUser = QStringLiteral("custom");
inline const QString RProPassword = QStringLiteral("q5rn2w");

// "Provider=OraOLEDB.Oracle;Data Source=<descriptor>;;User Id=custom;Password=q5rn2w;"
QString SessionConnectString(const QString& ADescriptor);

// Reference-counted session: the first GetSession creates and connects it,
// the last ReleaseSession frees it. Session() is the shared connection, or
// nullptr while there is none; SessionReferenceCount() the holders.
void GetSession();
void ReleaseSession();
TConnectorConnection* Session();
int SessionReferenceCount();

// Holds the shared session for a scope: GetSession on construction (which
// raises when it cannot connect), ReleaseSession on destruction.
class TSessionLease {
public:
    TSessionLease() { GetSession(); }
    ~TSessionLease() { ReleaseSession(); }
    TSessionLease(const TSessionLease&) = delete;
    TSessionLease& operator=(const TSessionLease&) = delete;
    TConnectorConnection* Connection() const { return Session(); }
};
// Back to the state at program start (no session, counter 0); for tests.
void ResetSession();

// The version cache (schema version and build version), filled by the first
// OpenQuery or OpenQueryOnStores of the process.
QString CachedSchemaVersion();
QString CachedBuildVersion();
void ClearVersionCache(); // a test's fresh start

// The invoices of type 0 and status 0 of one location (or the one invoice
// AInvoiceSID) created after ASince (no bound when ASince <= 0), open on the
// first row. Columns: InvoiceNum, LocationId01, LocationId02, FirstName,
// LastName, Phone1, Phone2, Email, SalesPersonEmail, SalesDate, Allow_Call,
// Allow_Email, and InvoiceSIDColumn (the invoice's SID as text). ARows:
// TemporaryFile for a caller that reads the rows once, in order.
inline const QString InvoiceSIDColumn = QStringLiteral("InvoiceSID");
// The statement's first line; OpenQuery appends the bounds.
const QString& InvoiceStatement();
std::unique_ptr<TConnectorDataset> OpenQuery(TConnectorConnection* AConnection,
                                             const QString& ASbsNo, const QString& AStoreNo,
                                             const QString& AInvoiceSID, TDateTime ASince,
                                             TRowStore ARows = TRowStore::Memory);
void GetRProVersion(TConnectorConnection* AConnection, QString& ASchemaVersion,
                    QString& ABuildVersion);
void GetSbsAndStoreNo(TConnectorConnection* AConnection, qint32& ASbsNo, qint32& AStoreNo);
bool DoesLocalUPCExist(TConnectorConnection* AConnection);
// The database's own clock as a wall-clock reading (uOVUtils::WallClock), the
// clock its invoices are dated by: Oracle's SYSDATE; for a database without
// a server (SQLite) the local time of DatabaseClock(). Raises on failure.
TDateTime GetDatabaseNow(TConnectorConnection* AConnection);

// The active stores that have a subsidiary (sbs_no, store_no, store_code,
// store_name, sbs_name by subsidiary and store), opened on a worker thread
// while this thread keeps processing its events. Returned closed when the
// open failed (the error is logged under "TOpenThread.Execute").
std::unique_ptr<TConnectorDataset> OpenQueryOnStores(TConnectorConnection* AConnection);
// True while a worker opens a store list.
bool StoresQueryOpening();
// The same store list opened on AConnection on the calling thread, for
// callers that already run it on a thread of their own; raises on failure.
std::unique_ptr<TConnectorDataset> OpenStoresQuery(TConnectorConnection* AConnection);

} // namespace uBrevoltRPro9ConnectorSQLs
