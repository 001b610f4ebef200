#pragma once
// A complete Retail Pro 9 client environment for a test, in a temporary
// folder: a registry file with the Oracle home key and the connector's
// "DatabaseDriver"="QSQLITE" / "DatabaseName" / "ServiceDirectory" values,
// an Oracle home whose NETWORK/ADMIN/tnsnames.ora holds RPROODS, and the
// sample database (rows as documented in tools/uBrevoltSampleDatabase.h).
// While the object lives, BREVOLT_REGISTRY names its registry file (on
// Windows, the values are in the registry itself), so GetSession connects
// to the sample database, and TNS_ADMIN is unset, so
// that the registry's Oracle home holds the tnsnames.ora used; the former
// values come back afterwards. One environment at a time per process.
//
//   testsupport::TSampleEnvironment env;                 // the 12 fixed invoices
//   uBrevoltRPro9ConnectorSQLs::GetSession();
//   env.Execute("update store set active=0");            // bend the data
#include "tests/support/TestRegistry.h"
#include "tests/support/TestSupport.h"
#include "tools/uBrevoltSampleDatabase.h"

#include <QDateTime>
#include <QString>

namespace testsupport {

class TSampleEnvironment {
public:
    // The reference time of the sample rows unless told otherwise:
    // 2024-05-10 12:00:00 local time.
    static QDateTime DefaultNow();

    explicit TSampleEnvironment(qint64 AInvoices = uBrevoltSampleDatabase::FixedInvoiceCount,
                                const QDateTime& ANow = DefaultNow());
    ~TSampleEnvironment();
    TSampleEnvironment(const TSampleEnvironment&) = delete;
    TSampleEnvironment& operator=(const TSampleEnvironment&) = delete;

    const QDateTime& Now() const { return FNow; }
    QString Dir() const { return FDir.Dir(); }
    const uBrevoltSampleDatabase::TSampleEnvironmentPaths& Paths() const { return FPaths; }
    const TTestRegistry& Registry() const { return FRegistry; }

    // Runs one statement on the sample database through a writable
    // connection of its own; raises std::runtime_error on failure.
    void Execute(const QString& ASql) const;

    // Creates a QCoreApplication when the process has none (Qt loads its SQL
    // drivers as plugins only with one).
    static void EnsureCoreApplication();

private:
    TTempDir FDir;
    QDateTime FNow;
    uBrevoltSampleDatabase::TSampleEnvironmentPaths FPaths;
    TTestRegistry FRegistry{FDir.Path()};
    QByteArray FOldTnsAdmin; // null when it was not set
};

} // namespace testsupport
