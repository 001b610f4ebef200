#pragma once
// A sample Retail Pro 9 database in SQLite, and a complete sample client
// environment around it (registry file, Oracle home with tnsnames.ora), for
// the tests, the demo and the benchmarks. Everything is deterministic for a
// given invoice count and reference time. Needs a QCoreApplication (Qt loads
// its SQL drivers as plugins).
//
// Tables and columns, with Retail Pro 9's names (only those the connector
// reads): invoice, customer, cust_address, employee, version, controller,
// invn_sbs, store, subsidiary. Date-times are text "YYYY-MM-DD HH:MM:SS.SSS"
// in local time. invn_sbs has a constant column "rownum" standing in for
// Oracle's pseudo-column of that name.
#include <array>
#include <QDateTime>
#include <QString>

namespace uBrevoltSampleDatabase {

// --- The fixed rows ----------------------------------------------------------
//
// Subsidiaries: 1 "Main Subsidiary", 2 "Outlet Süd", 3 "Señor Depot".
// Stores (sbs.store code name active): 1.1 001 Flagship Store 1,
//   1.2 002 Mall Store 1, 1.3 003 Closed Store 0, 2.1 201 Outlet Nord 1,
//   2.5 205 Outlet München 1, 3.1 301 Depot Store 0, 4.1 401 Orphan Store 1
//   (subsidiary 4 has no record). Active stores with a subsidiary, in
//   order: 1.1, 1.2, 2.1, 2.5.
// Controller: the local installation is subsidiary 1, store 1.
// Version: component 0 "9.30" / "9.30.0152.1", component 1 "9.30" / "9.30.0152.7".
//
// Customers (cust_sid name e-mail allow_phone allow_email; addresses):
//   1001 José Müller jose.mueller@example.com 1 1; address 1 555-0101/555-0102, address 2
//   1002 Zoë Peña zoe.pena@example.com 0 1; no address
//   1003 Anne |O"Brien, Jr.| anne.obrien@example.com 1 0; address 1 555-0301/(null)
//   1004 Ñandú Gómez (no e-mail) 1 1; address 1 555-0401/555-0402
//   1005 Peter Schmidt peter.schmidt@example.com 0 0; addresses 2 and 3 only
//   2001 Clara Kassierer clara@store.example (cashier's record); addresses 1 and 2
//   2002 Carl Cashier carl@store.example (cashier's record); address 1
// Employees (empl_id cust_sid): 10 2001, 11 2002, 12 none. Cashier 99 has
// no employee record.

constexpr qint64 CustomerJose = 1001, CustomerZoe = 1002, CustomerAnne = 1003, CustomerNandu = 1004,
                 CustomerPeter = 1005, CustomerClara = 2001, CustomerCarl = 2002;

struct TFixedInvoice {
    qint64 InvcSid; // invc_no is 1000 + InvcSid
    int SbsNo;
    int StoreNo;
    qint64 CustSid;
    int CashierId;
    int InvcType;
    int Status;
    qint64 SecondsBeforeNow; // created_date = reference time minus this
    const char* Case;
};

// Invoices 1 to 12, always present; generated invoices follow from sid 13.
inline constexpr std::array<TFixedInvoice, 12> FixedInvoices{{
    {1, 1, 1, CustomerJose, 10, 0, 0, 3600, "cashier whose customer record has two addresses"},
    {2, 1, 1, CustomerZoe, 11, 0, 0, 7200, "customer without any address"},
    {3, 1, 1, CustomerAnne, 12, 0, 0, 10800,
     "quote and comma in the name; cashier without customer"},
    {4, 1, 1, CustomerNandu, 10, 0, 0, 14400, "customer without e-mail"},
    {5, 1, 1, CustomerPeter, 99, 0, 0, 18000, "no address number 1; cashier without employee"},
    {6, 1, 1, CustomerJose, 10, 2, 0, 21600, "invoice type 2 (return)"},
    {7, 1, 1, CustomerJose, 10, 0, 1, 25200, "status 1 (not a final sale)"},
    {8, 1, 1, 7777, 10, 0, 0, 28800, "customer without a record"},
    {9, 1, 2, CustomerJose, 11, 0, 0, 108000, "other store, 30 hours old"},
    {10, 2, 1, CustomerAnne, 10, 0, 0, 600, "other subsidiary, 10 minutes old"},
    {11, 1, 1, CustomerJose, 11, 0, 0, 93600, "26 hours old"},
    {12, 1, 1, CustomerZoe, 10, 0, 0, 86400, "exactly one day old"},
}};
constexpr int FixedInvoiceCount = static_cast<int>(FixedInvoices.size());

// --- Creating ---------------------------------------------------------------

struct TSampleOptions {
    qint64 Invoices = 200; // at least the fixed ones
    QDateTime Now;         // reference time; invalid: now, whole seconds
};

// Creates (or replaces) the database at APath: built beside it and renamed
// into place. Raises std::runtime_error on failure.
void CreateSampleDatabase(const QString& APath, const TSampleOptions& AOptions);

// The created_date text of a fixed invoice for a reference time.
QString CreatedDateText(const QDateTime& ANow, qint64 ASecondsBeforeNow);

// A complete client environment in AFolder:
//   registry.reg                       the Oracle home key KEY_OraClient19Home1
//                                      (ORACLE_BASE = AFolder/oracle) and the
//                                      connector key ("DatabaseDriver"="QSQLITE",
//                                      "DatabaseName", "ServiceDirectory")
//   oracle/OraClient19Home1/NETWORK/ADMIN/tnsnames.ora   holding RPROODS
//   rpro9.db                           the sample database
//   service/                           the service directory
struct TSampleEnvironmentPaths {
    QString RegistryFile;
    QString OracleBase;
    QString TnsNamesFile;
    QString DatabaseFile;
    QString ServiceDirectory; // with a trailing '/'
};
TSampleEnvironmentPaths CreateSampleEnvironment(const QString& AFolder,
                                                const TSampleOptions& AOptions);

// The descriptor that tnsnames.ora holds for RPROODS, as the lookup returns it.
QString SampleDescriptor();

} // namespace uBrevoltSampleDatabase
