#include "common/uBrevoltRPro9ConnectorSQLs.h"

#include "common/uOVClock.h"
#include "common/uOVLogging.h"
#include "common/uOVOraUtils.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <QCoreApplication>
#include <thread>

namespace uBrevoltRPro9ConnectorSQLs {

namespace {

const QString AreaSession = QStringLiteral("GetSession");

const QString StoresStatement = QStringLiteral(
    "select st.sbs_no as sbs_no, st.store_no as store_no, st.store_code as store_code, "
    "st.store_name as store_name, sbs.sbs_name as sbs_name from store st "
    "join subsidiary sbs on sbs.sbs_no=st.sbs_no where st.active=1 "
    "order by st.sbs_no asc, st.store_no asc");

std::mutex SessionLock;
TConnectorConnection* SharedSession = nullptr;
int ReferenceCounter = 0;

std::mutex CacheLock;
QString SchemaVersionCache;
QString BuildVersionCache;

std::atomic<int> OpeningWorkers{0};

void Info(const QString& AMsg, const QString& AArea) {
    uOVLogging::info(9, AMsg, AArea);
}

void LogValue(const QString& AName, const QString& AValue) {
    if (TOVLogger* log = uOVLogging::DefaultLogger())
        log->logvalue(9, AName, AValue, 20, uOVLogging::LOG_INFO, QStringLiteral("OpenQuery"));
}

void LogValue(const QString& AName, qint64 AValue) {
    if (TOVLogger* log = uOVLogging::DefaultLogger())
        log->logvalue(9, AName, AValue, 20, uOVLogging::LOG_INFO, QStringLiteral("OpenQuery"));
}

qint32 WholeNumberOr(const QString& AText, qint32 ADefault) {
    bool ok = false;
    const qint32 v = AText.trimmed().toInt(&ok);
    return ok ? v : ADefault;
}

void FillVersionCache(TConnectorConnection* AConnection) {
    if (!CachedSchemaVersion().isEmpty())
        return;
    QString schema, build;
    GetRProVersion(AConnection, schema, build);
    std::lock_guard lock(CacheLock);
    SchemaVersionCache = schema;
    BuildVersionCache = build;
}

// A query of one statement whose first row is read and then closed.
template <typename F>
void ReadFirstRow(TConnectorConnection* AConnection, const QString& ASql, F AReadRow) {
    TConnectorDataset q(AConnection);
    q.AddSQL(ASql);
    q.Open();
    AReadRow(q);
    try {
        q.Close();
    } catch (...) {
    }
}

struct TOpenState {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Done = false;
};

} // namespace

const QString& InvoiceStatement() {
    // The customer's address number 1 is part of the join, not of the
    // filter, so that customers without one still come (with empty phones);
    // the cashier's addresses are not joined at all, because they supplied
    // nothing and repeated each invoice once per address. The SID comes last
    // and as text: the scan's ledger of sent invoices keys on it, and a
    // 19-digit number would not survive as a floating-point value.
    static const QString statement = QStringLiteral(
        "select i.invc_no as \"InvoiceNum\", i.sbs_no as \"LocationId01\", "
        "i.store_no as \"LocationId02\", c.first_name as \"FirstName\", "
        "c.last_name as \"LastName\", a.phone1 as \"Phone1\", a.phone2 as \"Phone2\", "
        "c.email_addr as \"Email\", ce.email_addr as \"SalesPersonEmail\", "
        "i.created_date as \"SalesDate\", c.allow_phone as \"Allow_Call\", "
        "c.allow_email as \"Allow_Email\", "
        "cast(i.invc_sid as varchar(40)) as \"InvoiceSID\" from invoice i "
        "join customer c on c.cust_sid=i.cust_sid "
        "left join cust_address a on a.cust_sid=c.cust_sid and a.addr_no=1 "
        "left join employee e on e.empl_id=i.cashier_id "
        "left join customer ce on ce.cust_sid=e.cust_sid "
        "where i.invc_type=0 and i.status=0 ");
    return statement;
}

QString SessionConnectString(const QString& ADescriptor) {
    return QStringLiteral("Provider=OraOLEDB.Oracle;Data Source=") + ADescriptor +
           QStringLiteral(";;User Id=") + RProUser + QStringLiteral(";Password=") + RProPassword +
           QLatin1Char(';');
}

void GetSession() {
    uOVLogging::logenter(9, AreaSession);
    {
        std::lock_guard lock(SessionLock);
        try {
            if (SharedSession) {
                Info(QStringLiteral("Session already exists, exiting"), AreaSession);
            } else {
                Info(QStringLiteral("Instantiating session"), AreaSession);
                // Registered before it connects: a failed attempt leaves it
                // for the caller's ReleaseSession to free.
                SharedSession = new TConnectorConnection();
                Info(QStringLiteral("Connecting session using host name \"\""), AreaSession);
                const QString descriptor = uOVOraUtils::TNSNamesConnectString(RProAlias);
                SharedSession->SetConnectionString(SessionConnectString(descriptor));
                SharedSession->SetLoginPrompt(false);
                SharedSession->Open();
                Info(QStringLiteral("Session connected"), AreaSession);
            }
            Info(QStringLiteral("Incrementing session reference counter"), AreaSession);
            ++ReferenceCounter;
            Info(QStringLiteral("Reference counter set to %1").arg(ReferenceCounter), AreaSession);
        } catch (const std::exception& E) {
            uOVLogging::exc(E, AreaSession);
            throw;
        }
    }
    uOVLogging::logexit(9, AreaSession);
}

void ReleaseSession() {
    uOVLogging::logenter(9, AreaSession);
    {
        std::lock_guard lock(SessionLock);
        Info(QStringLiteral("Decrementing session reference counter"), AreaSession);
        --ReferenceCounter;
        if (ReferenceCounter <= 0) {
            Info(QStringLiteral("Session reference counter is zero, freeing session..."),
                 AreaSession);
            TConnectorConnection* old = SharedSession;
            SharedSession = nullptr;
            delete old;
        } else {
            Info(QStringLiteral("Session reference counter not zero, exiting..."), AreaSession);
        }
    }
    uOVLogging::logexit(9, AreaSession);
}

TConnectorConnection* Session() {
    std::lock_guard lock(SessionLock);
    return SharedSession;
}

int SessionReferenceCount() {
    std::lock_guard lock(SessionLock);
    return ReferenceCounter;
}

void ResetSession() {
    std::lock_guard lock(SessionLock);
    delete SharedSession;
    SharedSession = nullptr;
    ReferenceCounter = 0;
}

QString CachedSchemaVersion() {
    std::lock_guard lock(CacheLock);
    return SchemaVersionCache;
}

QString CachedBuildVersion() {
    std::lock_guard lock(CacheLock);
    return BuildVersionCache;
}

void ClearVersionCache() {
    std::lock_guard lock(CacheLock);
    SchemaVersionCache.clear();
    BuildVersionCache.clear();
}

std::unique_ptr<TConnectorDataset> OpenQuery(TConnectorConnection* AConnection,
                                             const QString& ASbsNo, const QString& AStoreNo,
                                             const QString& AInvoiceSID, TDateTime ASince,
                                             TRowStore ARows) {
    const QString area = QStringLiteral("OpenQuery");
    uOVLogging::logenter(9, area);
    try {
        const qint32 tmpSbsNo = WholeNumberOr(ASbsNo, -1);
        const qint32 tmpStoreNo = WholeNumberOr(AStoreNo, -1);
        const QString invoiceSid = AInvoiceSID.trimmed();
        LogValue(QStringLiteral("ASbsNo"), ASbsNo);
        LogValue(QStringLiteral("AStoreNo"), AStoreNo);
        LogValue(QStringLiteral("AInvoiceSID"), invoiceSid);
        LogValue(QStringLiteral("ASince"),
                 uOVUtils::FormatDateTime(QStringLiteral("mm/dd/yyyy hh:nn:ss"), ASince));
        LogValue(QStringLiteral("tmpSbsNo"), qint64(tmpSbsNo));
        LogValue(QStringLiteral("tmpStoreNo"), qint64(tmpStoreNo));

        Info(QStringLiteral("Instantiating Oracle dataset"), area);
        auto q = std::make_unique<TConnectorDataset>(AConnection);
        q->SetEnableBCD(false);
        q->SetRowStore(ARows);
        if (CachedSchemaVersion().isEmpty()) {
            Info(QStringLiteral("Retrieving RPro version"), area);
            FillVersionCache(AConnection);
        }
        q->AddSQL(InvoiceStatement());
        // On Oracle the dataset sends the bound as TO_DATE(text), a DATE like
        // the column, so that its index serves (uOVDataAccess::BoundDateTime).
        if (ASince > 0)
            q->AddSQL(QStringLiteral("AND ( i.created_date > :createddate )"));
        if (!invoiceSid.isEmpty()) {
            q->AddSQL(QStringLiteral("AND ( i.invc_sid=:invoicesid )"));
            q->SetParamText(QStringLiteral("invoicesid"), invoiceSid);
        } else {
            q->AddSQL(QStringLiteral("AND ( i.sbs_no=:sbsno ) AND ( i.store_no=:storeno )"));
            q->SetParamInteger(QStringLiteral("sbsno"), tmpSbsNo);
            q->SetParamInteger(QStringLiteral("storeno"), tmpStoreNo);
        }
        if (ASince > 0)
            q->SetParamDateTime(QStringLiteral("createddate"), ASince);
        Info(QStringLiteral("SQL: [") + q->SQLText() + QLatin1Char(']'), area);
        Info(QStringLiteral("opening result set"), area);
        q->Open();
        q->First();
        Info(QStringLiteral("result set open."), area);
        uOVLogging::logexit(9, area);
        return q;
    } catch (const std::exception& E) {
        uOVLogging::exc(E, area);
        throw;
    }
}

void GetRProVersion(TConnectorConnection* AConnection, QString& ASchemaVersion,
                    QString& ABuildVersion) {
    const QString area = QStringLiteral("GetRProVersion");
    uOVLogging::logenter(9, area);
    try {
        ReadFirstRow(AConnection,
                     QStringLiteral("select v.component_type, v.version from version v where "
                                    "v.component_id in ( 0, 1 ) order by v.component_id"),
                     [&](TConnectorDataset& q) {
                         ASchemaVersion = q.FieldByName(QStringLiteral("component_type"))
                                              .RequireString(QStringLiteral("component_type"));
                         ABuildVersion = q.FieldByName(QStringLiteral("version"))
                                             .RequireString(QStringLiteral("version"));
                     });
        uOVLogging::log(2, QStringLiteral("Schema version = ") + ASchemaVersion);
        uOVLogging::log(2, QStringLiteral("Build version  = ") + ABuildVersion);
    } catch (const std::exception& E) {
        uOVLogging::exc(E, area);
        throw;
    }
    uOVLogging::logexit(9, area);
}

void GetSbsAndStoreNo(TConnectorConnection* AConnection, qint32& ASbsNo, qint32& AStoreNo) {
    const QString area = QStringLiteral("GetSbsAndStoreNo");
    uOVLogging::logenter(9, area);
    try {
        ReadFirstRow(
            AConnection,
            QStringLiteral("select sbs_no as sbsno, store_no as storeno from controller "
                           "where is_local=1"),
            [&](TConnectorDataset& q) {
                ASbsNo =
                    q.FieldByName(QStringLiteral("sbsno")).RequireInteger(QStringLiteral("sbsno"));
                AStoreNo = q.FieldByName(QStringLiteral("storeno"))
                               .RequireInteger(QStringLiteral("storeno"));
            });
    } catch (const std::exception& E) {
        uOVLogging::exc(E, area);
        throw;
    }
    uOVLogging::logexit(9, area);
}

bool DoesLocalUPCExist(TConnectorConnection* AConnection) {
    const QString area = QStringLiteral("DoesLocalUPCExist");
    uOVLogging::logenter(9, area);
    bool exists = false;
    try {
        ReadFirstRow(AConnection, QStringLiteral("select local_upc from invn_sbs where rownum=1"),
                     [&](TConnectorDataset&) { exists = true; });
    } catch (...) {
        // Only the answer matters: no column, no local UPC.
    }
    uOVLogging::logexit(9, area);
    return exists;
}

TDateTime GetDatabaseNow(TConnectorConnection* AConnection) {
    const QString area = QStringLiteral("GetDatabaseNow");
    uOVLogging::logenter(9, area);
    TDateTime now = 0;
    try {
        if (!AConnection)
            throw EDatabaseError(QStringLiteral("Missing Connection or ConnectionString"));
        if (!AConnection->Connected())
            AConnection->Open();
        if (AConnection->IsOracle()) {
            // As text: a DATE bound to a date-time type would pass through a
            // time zone on its way.
            ReadFirstRow(AConnection,
                         QStringLiteral("select to_char(sysdate, 'YYYY-MM-DD HH24:MI:SS') "
                                        "as dbnow from dual"),
                         [&](TConnectorDataset& q) {
                             const QString text = q.FieldByName(QStringLiteral("dbnow"))
                                                      .RequireString(QStringLiteral("dbnow"));
                             if (!uOVUtils::ParseWallClockText(text + QStringLiteral(".000"), now))
                                 throw EConvertError(
                                     QStringLiteral("'%1' is not a valid date and time").arg(text));
                         });
        } else {
            const QDateTime local = DatabaseClock().Now().toLocalTime();
            now = uOVUtils::WallClock(local.date(), local.time());
        }
        Info(QStringLiteral("Database time ") + uOVUtils::WallClockText(now), area);
    } catch (const std::exception& E) {
        uOVLogging::exc(E, area);
        throw;
    }
    uOVLogging::logexit(9, area);
    return now;
}

// Opens one store list on a thread of its own and frees itself when done.
class TOpenThread {
public:
    TOpenThread(TConnectorDataset* AQry, QString AConnectString, std::shared_ptr<TOpenState> AState)
        : FQry(AQry), FConnectString(std::move(AConnectString)), FState(std::move(AState)) {
        ++OpeningWorkers;
        try {
            std::thread([this] {
                Execute();
                delete this;
            }).detach();
        } catch (...) {
            --OpeningWorkers;
            throw;
        }
    }

private:
    void Execute() {
        try {
            // A Qt SQL connection serves only the thread that opened it, so
            // the worker opens its own from the session's connect string
            // instead of borrowing the caller's.
            TConnectorConnection connection;
            connection.SetConnectionString(FConnectString);
            FQry->OpenOn(connection);
        } catch (const std::exception& E) {
            uOVLogging::exc(E, QStringLiteral("TOpenThread.Execute"));
        } catch (...) {
        }
        --OpeningWorkers;
        std::lock_guard lock(FState->Lock);
        FState->Done = true;
        FState->Changed.notify_all();
    }

    TConnectorDataset* FQry;
    QString FConnectString;
    std::shared_ptr<TOpenState> FState;
};

std::unique_ptr<TConnectorDataset> OpenQueryOnStores(TConnectorConnection* AConnection) {
    const QString area = QStringLiteral("OpenQueryOnStores");
    uOVLogging::logenter(9, area);
    auto q = std::make_unique<TConnectorDataset>(AConnection);
    auto state = std::make_shared<TOpenState>();
    try {
        if (!AConnection)
            throw EDatabaseError(QStringLiteral("Missing Connection or ConnectionString"));
        FillVersionCache(AConnection);
        q->ClearSQL();
        q->AddSQL(StoresStatement);
        new TOpenThread(q.get(), AConnection->ConnectionString(), state);
    } catch (const std::exception& E) {
        uOVLogging::exc(E, area);
        throw;
    }
    // Each call waits for its own worker: a store list requested from an
    // event handled during this wait must not end this wait early while the
    // first worker still fills its query.
    for (;;) {
        {
            std::unique_lock lock(state->Lock);
            if (state->Changed.wait_for(lock, std::chrono::milliseconds(10),
                                        [&] { return state->Done; }))
                break;
        }
        QCoreApplication::processEvents();
    }
    uOVLogging::logexit(9, area);
    return q;
}

bool StoresQueryOpening() {
    return OpeningWorkers.load() > 0;
}

std::unique_ptr<TConnectorDataset> OpenStoresQuery(TConnectorConnection* AConnection) {
    const QString area = QStringLiteral("OpenStoresQuery");
    uOVLogging::logenter(9, area);
    try {
        if (!AConnection)
            throw EDatabaseError(QStringLiteral("Missing Connection or ConnectionString"));
        FillVersionCache(AConnection);
        auto q = std::make_unique<TConnectorDataset>(AConnection);
        q->AddSQL(StoresStatement);
        q->Open();
        uOVLogging::logexit(9, area);
        return q;
    } catch (const std::exception& E) {
        uOVLogging::exc(E, area);
        throw;
    }
}

} // namespace uBrevoltRPro9ConnectorSQLs
