// The data-access layer: what a connect string becomes, connecting, and the
// dataset's parameters, whole result and closed-state errors.
#include "DataAccessTestSupport.h"

#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVDataAccess.h"

#include <QFile>

using namespace uOVDataAccess;

namespace {

const QString Descriptor = QStringLiteral("(DESCRIPTION = (ADDRESS = (HOST = h)(PORT = 1521)))");

TEST(ConnectStringMapping, MapsOntoQtSqlDrivers) {
    const QString session = uBrevoltRPro9ConnectorSQLs::SessionConnectString(Descriptor);
    ASSERT_EQ(session, QStringLiteral("Provider=OraOLEDB.Oracle;Data Source=") + Descriptor +
                           QStringLiteral(";;User Id=custom;Password=q5rn2w;"));
    const QStringList withOci{"QSQLITE", "QODBC", "QOCI"}, withOdbc{"QSQLITE", "QODBC"};
    struct Case {
        const char* name;
        QString connect;
        TDataAccessSettings settings;
        QStringList drivers;
        TConnectionMapping expected;
    };
    const Case cases[] = {
        {"sample database",
         session,
         {"QSQLITE", "/data/rpro9.db", "", "", ""},
         withOci,
         {"QSQLITE", "/data/rpro9.db", "", "", "QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000",
          "", 0}},
        {"OCI when installed",
         session,
         {},
         withOci,
         {"QOCI", Descriptor, "custom", "q5rn2w", "", "", 0}},
        {"ODBC otherwise, default driver name",
         session,
         {},
         withOdbc,
         {"QODBC", "DRIVER={Oracle 19 ODBC driver};DBQ=" + Descriptor + ";UID=custom;PWD=q5rn2w;",
          "", "", "SQL_ATTR_LOGIN_TIMEOUT=30", "Oracle 19 ODBC driver", 30}},
        {"ODBC named in the registry, chosen over OCI",
         session,
         {"qodbc", "", "Oracle in instantclient_19_20", "", ""},
         withOci,
         {"QODBC",
          "DRIVER={Oracle in instantclient_19_20};DBQ=" + Descriptor + ";UID=custom;PWD=q5rn2w;",
          "", "", "SQL_ATTR_LOGIN_TIMEOUT=30", "Oracle in instantclient_19_20", 30}},
        {"ODBC values with separators are braced",
         "Provider=OraOLEDB.Oracle;Data Source=X;;User Id=u;Password=\"a;b}\";",
         {},
         withOdbc,
         {"QODBC", "DRIVER={Oracle 19 ODBC driver};DBQ=X;UID=u;PWD={a;b}}};", "", "",
          "SQL_ATTR_LOGIN_TIMEOUT=30", "Oracle 19 ODBC driver", 30}},
        {"the driver's own attributes last, and a log-in time-out of their own",
         session,
         {"", "", "SQLite3", "Database=/data/rpro9.db;NoCreat=1", " 5"},
         withOdbc,
         {"QODBC",
          "DRIVER={SQLite3};DBQ=" + Descriptor +
              ";UID=custom;PWD=q5rn2w;Database=/data/rpro9.db;NoCreat=1;",
          "", "", "SQL_ATTR_LOGIN_TIMEOUT=5", "SQLite3", 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TConnectionMapping m = MapConnectString(c.connect, c.settings, c.drivers);
        EXPECT_EQ(m.Driver, c.expected.Driver);
        EXPECT_EQ(m.DatabaseName, c.expected.DatabaseName);
        EXPECT_EQ(m.UserName, c.expected.UserName);
        EXPECT_EQ(m.Password, c.expected.Password);
        EXPECT_EQ(m.ConnectOptions, c.expected.ConnectOptions);
        EXPECT_EQ(m.OdbcDriver, c.expected.OdbcDriver);
        EXPECT_EQ(m.LoginTimeoutSeconds, c.expected.LoginTimeoutSeconds);
    }
    const QMap<QString, QString> parts = ParseConnectString(session);
    EXPECT_EQ(parts.value("DATA SOURCE"), Descriptor);
    EXPECT_EQ(parts.value("USER ID"), "custom");

    const struct {
        QString connect;
        TDataAccessSettings settings;
    } bad[] = {{"Provider=MSDASQL;Data Source=x;", {}},
               {session, {"QMYSQL", "", "", "", ""}},
               {"Provider=OraOLEDB.Oracle;;User Id=custom;", {}},
               {session, {"QSQLITE", "", "", "", ""}},
               // 0 would be no time-out at all.
               {session, {"QODBC", "", "", "", "0"}},
               {session, {"QODBC", "", "", "", "3601"}},
               {session, {"QODBC", "", "", "", "ten"}}};
    for (const auto& b : bad)
        EXPECT_THROW(MapConnectString(b.connect, b.settings, withOci), EDatabaseError)
            << b.connect.toStdString();
}

class ConnectionTest : public ::testing::Test {
protected:
    testsupport::TSampleEnvironment FEnv;
    TConnectorConnection FConnection;
    void SetUp() override {
        FConnection.SetConnectionString(uBrevoltRPro9ConnectorSQLs::SessionConnectString("(D)"));
    }
};

TEST_F(ConnectionTest, ConnectsReadOnlyAndNeverCreatesAMissingDatabase) {
    FConnection.Open();
    EXPECT_TRUE(FConnection.Connected());
    EXPECT_EQ(FConnection.DriverName(), "QSQLITE");
    TConnectorDataset write(&FConnection);
    write.AddSQL("delete from invoice");
    EXPECT_THROW(write.Open(), EDatabaseError);
    FConnection.Close();
    EXPECT_FALSE(FConnection.Connected());

    QFile::remove(FEnv.Paths().DatabaseFile);
    try {
        FConnection.Open();
        ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& E) {
        EXPECT_EQ(E.Message(),
                  "The database file \"" + FEnv.Paths().DatabaseFile + "\" does not exist");
    }
    EXPECT_FALSE(QFile::exists(FEnv.Paths().DatabaseFile));

    TConnectorConnection none;
    EXPECT_THROW(none.Open(), EDatabaseError);
}

TEST(DateTimeBinding, OracleComparesADateWithADate) {
    // Cut to the second, not rounded into the next minute.
    const TDateTime t = uOVUtils::ToDateTime(QDateTime(QDate(2024, 5, 9), QTime(13, 4, 59, 999)));
    EXPECT_EQ(BoundDateTime(t, TDateTimeBinding::Oracle), QVariant("2024-05-09 13:04:59"));
    EXPECT_EQ(BoundDateTime(t, TDateTimeBinding::SqliteText), QVariant("2024-05-09 13:04:59.999"));
    EXPECT_EQ(BoundDateTime(t, TDateTimeBinding::Native).toDateTime(),
              QDateTime(QDate(2024, 5, 9), QTime(13, 4, 59, 999)));
    // A bound in the hour daylight saving skips (New York, this test's zone)
    // is the wall-clock time as written: through a local time it came out
    // empty, and the query matched nothing.
    const TDateTime gap = uOVUtils::WallClock(QDate(2026, 3, 8), QTime(2, 45));
    EXPECT_EQ(BoundDateTime(gap, TDateTimeBinding::Oracle), QVariant("2026-03-08 02:45:00"));
    EXPECT_EQ(BoundDateTime(gap, TDateTimeBinding::SqliteText),
              QVariant("2026-03-08 02:45:00.000"));

    const QString sql = "select ':since' as t from x\r\nwhere a > :since and b <= :SINCE and "
                        "c = :since2 and d = :n\r\n";
    EXPECT_EQ(DateTimeStatement(sql, {"SINCE"}, TDateTimeBinding::Oracle),
              "select ':since' as t from x\r\nwhere a > TO_DATE(:since, 'YYYY-MM-DD HH24:MI:SS') "
              "and b <= TO_DATE(:SINCE, 'YYYY-MM-DD HH24:MI:SS') and c = :since2 and d = :n\r\n");
    EXPECT_EQ(DateTimeStatement(sql, {"SINCE"}, TDateTimeBinding::SqliteText), sql);
    EXPECT_EQ(DateTimeStatement(sql, {"SINCE"}, TDateTimeBinding::Native), sql);
    EXPECT_EQ(DateTimeStatement(sql, {}, TDateTimeBinding::Oracle), sql);
}

TEST_F(ConnectionTest, DatasetHoldsTheWholeResultWithTypedParameters) {
    TConnectorDataset q(&FConnection); // connects on first use
    q.AddSQL("select invc_sid, created_date, ':notaparam' as t from invoice");
    q.AddSQL("where sbs_no = :sbs and cust_sid = :Cust and created_date > :since");
    q.AddSQL("order by invc_sid");
    EXPECT_EQ(q.SQLText(), q.SQL().join("\r\n") + "\r\n");
    EXPECT_THROW(q.SetParamText("notaparam", "x"), EDatabaseError);
    q.SetParamInteger("SBS", 1);
    EXPECT_THROW(q.Open(), EDatabaseError) << "parameters without value";
    q.SetParamText("cust", "1001");
    const QDateTime now = FEnv.Now();
    // Exactly the creation time of invoice 11 (26 hours old) is not after it.
    q.SetParamDateTime("since", uOVUtils::ToDateTime(now.addSecs(-93600)));
    EXPECT_THROW(q.RecordCount(), EDatabaseError);
    q.Open();
    EXPECT_TRUE(FConnection.Connected());
    // Jose's invoices of subsidiary 1: 9 (30 hours) and 11 (26 hours) are not after the bound.
    ASSERT_EQ(q.RecordCount(), 3);
    QStringList sids;
    for (q.First(); !q.Eof(); q.Next())
        sids << q.FieldByName("INVC_SID").AsString();
    EXPECT_EQ(sids, QStringList({"1", "6", "7"}));
    q.First();
    EXPECT_EQ(q.FieldByName("invc_sid").AsInteger(), 1);
    EXPECT_DOUBLE_EQ(q.FieldByName("created_date").AsDateTime(),
                     uOVUtils::ToDateTime(now.addSecs(-3600)));
    EXPECT_EQ(q.FieldByName("t").AsString(), ":notaparam");
    EXPECT_THROW(q.FieldByName("nope"), EDatabaseError);
    EXPECT_THROW(q.FieldByName("t").AsInteger(), EConvertError);
    q.Close();
    EXPECT_THROW(q.Eof(), EDatabaseError);
    EXPECT_THROW(q.FieldByName("t"), EDatabaseError);
}

} // namespace
