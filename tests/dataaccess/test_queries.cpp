// The invoice query, the version, controller and UPC probes, and the store
// list opened on a worker thread, against the sample database.
#include "DataAccessTestSupport.h"

#include "common/uBrevoltRPro9ConnectorSQLs.h"

#include <algorithm>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>

using namespace uBrevoltRPro9ConnectorSQLs;
using uBrevoltSampleDatabase::FixedInvoices;

namespace {

const QString Base = QStringLiteral(
    "select i.invc_no as \"InvoiceNum\", i.sbs_no as \"LocationId01\", i.store_no as "
    "\"LocationId02\", c.first_name as \"FirstName\", c.last_name as \"LastName\", a.phone1 as "
    "\"Phone1\", a.phone2 as \"Phone2\", c.email_addr as \"Email\", ce.email_addr as "
    "\"SalesPersonEmail\", i.created_date as \"SalesDate\", c.allow_phone as \"Allow_Call\", "
    "c.allow_email as \"Allow_Email\", cast(i.invc_sid as varchar(40)) as \"InvoiceSID\" from "
    "invoice i join customer c on c.cust_sid=i.cust_sid "
    "left join cust_address a on a.cust_sid=c.cust_sid and a.addr_no=1 left join employee e on "
    "e.empl_id=i.cashier_id left join customer ce on ce.cust_sid=e.cust_sid where i.invc_type=0 "
    "and i.status=0 ");
const QString SinceLine = QStringLiteral("AND ( i.created_date > :createddate )");
const QString LocationLine = QStringLiteral("AND ( i.sbs_no=:sbsno ) AND ( i.store_no=:storeno )");
const QString InvoiceLine = QStringLiteral("AND ( i.invc_sid=:invoicesid )");

class QueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSession();
        ClearVersionCache();
        GetSession();
    }
    void TearDown() override {
        ResetSession();
        ClearVersionCache();
    }
    TDateTime Ago(qint64 ASeconds) const {
        return uOVUtils::ToDateTime(FEnv.Now().addSecs(-ASeconds));
    }
    static QStringList Column(TConnectorDataset& AQuery, const char* AName) {
        QStringList values;
        for (AQuery.First(); !AQuery.Eof(); AQuery.Next())
            values << AQuery.FieldByName(AName).AsString();
        values.sort();
        return values;
    }
    QStringList Invoices(const QString& ASbs, const QString& AStore, const QString& ASid,
                         TDateTime ASince) {
        auto q = OpenQuery(Session(), ASbs, AStore, ASid, ASince);
        EXPECT_EQ(q->RecordCount(), Column(*q, "InvoiceNum").size());
        return Column(*q, "InvoiceNum");
    }

    testsupport::TSampleEnvironment FEnv;
    dataaccesstest::TLogCapture FLog;
};

TEST_F(QueryTest, InvoicesOfOneLocationWithTheirCustomerAndCashier) {
    auto q = OpenQuery(Session(), "1", "1", "", 0);
    ASSERT_EQ(q->RecordCount(), 7) << "each invoice once: 1-5, 11, 12";
    EXPECT_EQ(q->FieldNames(),
              QStringList({"InvoiceNum", "LocationId01", "LocationId02", "FirstName", "LastName",
                           "Phone1", "Phone2", "Email", "SalesPersonEmail", "SalesDate",
                           "Allow_Call", "Allow_Email", "InvoiceSID"}));
    struct Row {
        QString num, first, last, phone1, phone2, email, cashier;
        int call, mail;
    };
    const Row rows[] = {
        {"1001", "José", "Müller", "555-0101", "555-0102", "jose.mueller@example.com",
         "clara@store.example", 1, 1},
        {"1002", "Zoë", "Peña", "", "", "zoe.pena@example.com", "carl@store.example", 0, 1},
        {"1003", "Anne", "O\"Brien, Jr.", "555-0301", "", "anne.obrien@example.com", "", 1, 0},
        {"1004", "Ñandú", "Gómez", "555-0401", "555-0402", "", "clara@store.example", 1, 1},
        {"1005", "Peter", "Schmidt", "", "", "peter.schmidt@example.com", "", 0, 0},
    };
    int seen = 0;
    for (q->First(); !q->Eof(); q->Next()) {
        const QString num = q->FieldByName("InvoiceNum").AsString();
        auto row = std::find_if(std::begin(rows), std::end(rows),
                                [&](const Row& r) { return r.num == num; });
        if (row == std::end(rows))
            continue;
        SCOPED_TRACE(num.toStdString());
        ++seen;
        EXPECT_EQ(q->FieldByName("LocationId01").AsString(), "1");
        EXPECT_EQ(q->FieldByName("LocationId02").AsString(), "1");
        EXPECT_EQ(q->FieldByName("FirstName").AsString(), row->first);
        EXPECT_EQ(q->FieldByName("LastName").AsString(), row->last);
        EXPECT_EQ(q->FieldByName("Phone1").AsString(), row->phone1);
        EXPECT_EQ(q->FieldByName("Phone2").AsString(), row->phone2);
        EXPECT_EQ(q->FieldByName("Email").AsString(), row->email);
        EXPECT_EQ(q->FieldByName("SalesPersonEmail").AsString(), row->cashier);
        EXPECT_EQ(q->FieldByName("Allow_Call").AsInteger(), row->call);
        EXPECT_EQ(q->FieldByName("Allow_Email").AsInteger(), row->mail);
        const qint64 sid = num.toLongLong() - 1000;
        EXPECT_EQ(q->FieldByName("InvoiceSID").AsString(), QString::number(sid));
        EXPECT_DOUBLE_EQ(q->FieldByName("SalesDate").AsDateTime(),
                         Ago(FixedInvoices[sid - 1].SecondsBeforeNow));
    }
    EXPECT_EQ(seen, 5);
    EXPECT_EQ(FLog.Messages("OpenQuery").filter("SQL: [").value(0),
              "SQL: [" + Base + "\r\n" + LocationLine + "\r\n]");
}

TEST_F(QueryTest, TheInvoiceSidComesAsTextWithEveryDigit) {
    FEnv.Execute("update invoice set invc_sid=5046623640000044161 where invc_sid=12");
    auto q = OpenQuery(Session(), "1", "1", "", 0);
    const QStringList sids = Column(*q, "InvoiceSID");
    EXPECT_EQ(sids, QStringList({"1", "11", "2", "3", "4", "5", "5046623640000044161"}));
}

TEST_F(QueryTest, TimeBoundInvoiceIdAndLocationTexts) {
    const QStringList all{"1001", "1002", "1003", "1004", "1005", "1011", "1012"};
    const struct {
        const char* name;
        QString sbs, store, sid;
        TDateTime since;
        QStringList expected;
    } cases[] = {
        {"no bound", "1", "1", "", 0, all},
        {"negative bound", "1", "1", "", -1, all},
        {"one day: the invoice exactly one day old is not after it",
         "1",
         "1",
         "",
         Ago(86400),
         {"1001", "1002", "1003", "1004", "1005"}},
        {"exactly the newest invoice's time", "1", "1", "", Ago(3600), {}},
        {"a millisecond before it", "1", "1", "", Ago(3600) - 0.001 / 86400, {"1001"}},
        {"spaces around the numbers", " 1 ", "1 ", "", 0, all},
        {"store not a number", "1", "abc", "", 0, {}},
        {"subsidiary not a number", "x", "1", "", 0, {}},
        {"invoice id replaces the location", "1", "1", " 10 ", 0, {"1010"}},
        {"invoice id within the bound", "x", "y", "10", Ago(900), {"1010"}},
        {"invoice id outside the bound", "1", "1", "10", Ago(300), {}},
        {"invoice id of a return", "1", "1", "6", 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Invoices(c.sbs, c.store, c.sid, c.since), c.expected);
    }
    const QStringList sql = FLog.Messages("OpenQuery").filter("SQL: [");
    ASSERT_EQ(sql.size(), 12);
    EXPECT_EQ(sql[2], "SQL: [" + Base + "\r\n" + SinceLine + "\r\n" + LocationLine + "\r\n]");
    EXPECT_EQ(sql[8], "SQL: [" + Base + "\r\n" + InvoiceLine + "\r\n]");
    EXPECT_EQ(sql[9], "SQL: [" + Base + "\r\n" + SinceLine + "\r\n" + InvoiceLine + "\r\n]");
    const QStringList values =
        FLog.Messages("OpenQuery").filter(QRegularExpression("^[A-Za-z]+\\.\\.+"));
    ASSERT_EQ(values.size(), 12 * 6);
    EXPECT_EQ(values.mid(5 * 6, 6),
              QStringList({"ASbsNo.............. 1 ", "AStoreNo............1 ",
                           "AInvoiceSID.........", "ASince..............12/30/1899 00:00:00",
                           "tmpSbsNo............1", "tmpStoreNo..........1"}));
    EXPECT_EQ(values[7 * 6 + 4], "tmpSbsNo............-1");
    EXPECT_EQ(values[8 * 6 + 2], "AInvoiceSID.........10");
    EXPECT_EQ(values[2 * 6 + 3], "ASince..............05/09/2024 12:00:00");
}

TEST_F(QueryTest, VersionIsReadOnceAndAnEmptyVersionTableFails) {
    OpenQuery(Session(), "1", "1", "", 0);
    EXPECT_EQ(CachedSchemaVersion(), "9.30");
    EXPECT_EQ(CachedBuildVersion(), "9.30.0152.1");
    FEnv.Execute("delete from version");
    EXPECT_EQ(OpenQuery(Session(), "1", "1", "", 0)->RecordCount(), 7) << "from the cache";
    ClearVersionCache();
    EXPECT_THROW(OpenQuery(Session(), "1", "1", "", 0), EConvertError);
    QString schema, build;
    EXPECT_THROW(GetRProVersion(Session(), schema, build), EConvertError);

    EXPECT_EQ(FLog.Messages("OpenQuery").filter("Retrieving RPro version").size(), 2);
    QStringList versionLines;
    for (const auto& e : FLog.Entries())
        if (e.Area.isEmpty() && e.Msg.contains(" version "))
            versionLines << e.Msg;
    EXPECT_EQ(versionLines, QStringList({"Schema version = 9.30", "Build version  = 9.30.0152.1"}));
    EXPECT_EQ(FLog.Errors().filter("in GetRProVersion").size(), 2);
    EXPECT_EQ(FLog.Errors().filter("in OpenQuery").size(), 1);
}

TEST_F(QueryTest, LocalInstallationAndLocalUpcProbe) {
    qint32 sbs = 0, store = 0;
    GetSbsAndStoreNo(Session(), sbs, store);
    EXPECT_EQ(sbs, 1);
    EXPECT_EQ(store, 1);
    EXPECT_TRUE(DoesLocalUPCExist(Session()));
    FEnv.Execute("alter table invn_sbs drop column local_upc");
    EXPECT_FALSE(DoesLocalUPCExist(Session()));
    FEnv.Execute("update controller set is_local=0");
    EXPECT_THROW(GetSbsAndStoreNo(Session(), sbs, store), EConvertError);

    EXPECT_EQ(FLog.Messages("DoesLocalUPCExist"), QStringList({"BEGIN", "END", "BEGIN", "END"}));
    EXPECT_EQ(FLog.Errors().size(), 1) << FLog.Errors().join("\n").toStdString();
}

// --- The store list ---------------------------------------------------------

QStringList StoreRows(TConnectorDataset& AQuery) {
    QStringList rows;
    for (AQuery.First(); !AQuery.Eof(); AQuery.Next()) {
        QStringList cells;
        for (const char* f : {"sbs_no", "store_no", "store_code", "store_name", "sbs_name"})
            cells << AQuery.FieldByName(f).AsString();
        rows << cells.join('|');
    }
    return rows;
}

TEST_F(QueryTest, StoreListOrderAndFilters) {
    auto q = OpenQueryOnStores(Session());
    ASSERT_TRUE(q->Active());
    EXPECT_EQ(
        StoreRows(*q),
        QStringList({"1|1|001|Flagship Store|Main Subsidiary", "1|2|002|Mall Store|Main Subsidiary",
                     "2|1|201|Outlet Nord|Outlet Süd", "2|5|205|Outlet München|Outlet Süd"}));
    EXPECT_FALSE(StoresQueryOpening());
    FEnv.Execute("update store set active=0");
    q = OpenQueryOnStores(Session());
    ASSERT_TRUE(q->Active());
    EXPECT_EQ(q->RecordCount(), 0);
    EXPECT_EQ(FLog.Messages("OpenQueryOnStores"), QStringList({"BEGIN", "END", "BEGIN", "END"}));
}

TEST_F(QueryTest, FailingStoreListReturnsAClosedQuery) {
    FEnv.Execute("drop table store");
    auto q = OpenQueryOnStores(Session());
    EXPECT_FALSE(q->Active());
    EXPECT_THROW(q->RecordCount(), EDatabaseError);
    EXPECT_FALSE(StoresQueryOpening());
    const QStringList errors = FLog.Errors();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("in TOpenThread.Execute: ") &&
                errors[0].contains("no such table: store"))
        << errors[0].toStdString();
}

// A writer holding the database locked, released from an event of this
// thread: the store list can only finish if events run while it waits.
class TDatabaseLock {
public:
    explicit TDatabaseLock(const QString& AFile) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "lock");
        db.setDatabaseName(AFile);
        EXPECT_TRUE(db.open());
        EXPECT_TRUE(QSqlQuery(db).exec("begin exclusive"));
    }
    ~TDatabaseLock() {
        Release();
        QSqlDatabase::removeDatabase("lock");
    }
    void Release() {
        QSqlDatabase db = QSqlDatabase::database("lock", false);
        if (db.isOpen()) {
            QSqlQuery(db).exec("commit");
            db.close();
        }
    }
};

TEST_F(QueryTest, StoreListKeepsTheCallersEventsRunning) {
    OpenQuery(Session(), "1", "1", "", 0); // version cache filled before the lock
    TDatabaseLock lock(FEnv.Paths().DatabaseFile);
    bool openingSeen = false;
    std::unique_ptr<TConnectorDataset> inner;
    // A second store list requested from an event during the wait ends at
    // once (no connect string) while the first worker is still blocked.
    QTimer::singleShot(20, [&] {
        TConnectorConnection unusable;
        inner = OpenQueryOnStores(&unusable);
    });
    QTimer::singleShot(150, [&] {
        openingSeen = StoresQueryOpening();
        lock.Release();
    });
    auto q = OpenQueryOnStores(Session());
    ASSERT_NE(inner, nullptr);
    EXPECT_FALSE(inner->Active());
    EXPECT_TRUE(openingSeen);
    ASSERT_TRUE(q->Active()) << FLog.Errors().join("\n").toStdString();
    EXPECT_EQ(q->RecordCount(), 4);
    EXPECT_FALSE(StoresQueryOpening());
}

} // namespace
