// The ODBC path for real: the session, the invoice query, the store list and
// a whole scan through QODBC and unixODBC, with Debian's SQLite3 ODBC driver
// over the sample database standing in for Oracle's, chosen by the registry
// values an administrator sets ("DatabaseDriver", "OdbcDriver",
// "OdbcAttributes"); and the errors of a driver that is not registered, of a
// refused log-in and of a server that never answers (the PostgreSQL ODBC
// driver against servers of this test on 127.0.0.1).
//
// The drivers are registered in an odbcinst.ini of a temporary folder that
// ODBCSYSINI names for this process; /etc/odbcinst.ini is not read.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVClock.h"
#include "common/uOVDataAccess.h"
#include "common/uOVLogging.h"
#include "common/uOVUtils.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "tests/support/SampleEnvironment.h"
#include "tests/support/TestAppLogger.h"
#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMap>
#include <QSqlDatabase>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace uBrevoltRPro9ConnectorSQLs;
using namespace testsupport;

namespace {

const QString SqliteDriver = QStringLiteral("Brevolt SQLite3 stand-in");
const QString PostgresDriver = QStringLiteral("Brevolt PostgreSQL stand-in");
const QString BrokenDriver = QStringLiteral("Brevolt driver without its library");

// --- The drivers, registered for this process only ---------------------------------

class TOdbcDrivers : public ::testing::Environment {
public:
    void SetUp() override {
        FDir.emplace();
        const QString ini =
            QStringLiteral("[%1]\nDescription=SQLite3 ODBC driver\nDriver=%2\n\n"
                           "[%3]\nDescription=PostgreSQL ODBC driver (Unicode)\nDriver=%4\n\n"
                           "[%5]\nDriver=%6\n")
                .arg(SqliteDriver, QStringLiteral(BREVOLT_SQLITE_ODBC_DRIVER), PostgresDriver,
                     QStringLiteral(BREVOLT_POSTGRESQL_ODBC_DRIVER), BrokenDriver,
                     FDir->File(QStringLiteral("libmissing.so")));
        WriteFileBytes(FDir->File(QStringLiteral("odbcinst.ini")), ini.toUtf8());
        ::setenv("ODBCSYSINI", FDir->Path().toUtf8().constData(), 1);
        ::unsetenv("ODBCINSTINI"); // the file's default name
    }
    void TearDown() override { FDir.reset(); }

private:
    std::optional<TTempDir> FDir;
};

const auto* const Drivers = ::testing::AddGlobalTestEnvironment(new TOdbcDrivers);

// What the tests need installed, with the package that brings it.
void RequireOdbc() {
    TSampleEnvironment::EnsureCoreApplication();
    ASSERT_TRUE(QSqlDatabase::drivers().contains(QStringLiteral("QODBC")))
        << "the Qt ODBC driver is missing: libqt6sql6-odbc (tools/install-deps.sh)";
    ASSERT_TRUE(QFileInfo(QStringLiteral(BREVOLT_SQLITE_ODBC_DRIVER)).isFile())
        << BREVOLT_SQLITE_ODBC_DRIVER " is missing: libsqliteodbc (tools/install-deps.sh)";
    ASSERT_TRUE(QFileInfo(QStringLiteral(BREVOLT_POSTGRESQL_ODBC_DRIVER)).isFile())
        << BREVOLT_POSTGRESQL_ODBC_DRIVER " is missing: odbc-postgresql (tools/install-deps.sh)";
}

// A value under the connector's key of the sample environment's registry;
// an empty AValue deletes it.
void SetConnectorValue(const char* AName, const QString& AValue) {
    auto key = platform::RegistryKey::OpenLocalMachine(
        uOVDataAccess::ConnectorRegistryKey.toStdString(), true);
    ASSERT_TRUE(key.has_value());
    if (AValue.isEmpty())
        key->DeleteValue(AName);
    else
        key->WriteString(AName, AValue.toStdString());
}

// The sample database through the SQLite3 ODBC driver, as an administrator
// would set it up for any other ODBC driver.
void UseOdbcStandIn(const TSampleEnvironment& AEnv) {
    SetConnectorValue("DatabaseDriver", QStringLiteral("QODBC"));
    SetConnectorValue("OdbcDriver", SqliteDriver);
    // NoCreat: a wrong path fails instead of creating an empty database.
    SetConnectorValue("OdbcAttributes",
                      QStringLiteral("Database=%1;NoCreat=1").arg(AEnv.Paths().DatabaseFile));
}

// --- The stand-in for Oracle ------------------------------------------------------------

class OdbcStandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        RequireOdbc();
        ResetSession();
        ClearVersionCache();
        FEnv.emplace();
        UseOdbcStandIn(*FEnv);
    }
    void TearDown() override {
        ResetSession();
        ClearVersionCache();
    }
    // Each row's values by column ("<null>" for null, SalesDate as a
    // date-time), sorted.
    static QStringList Rows(TConnectorDataset& AQuery) {
        QStringList rows;
        for (AQuery.First(); !AQuery.Eof(); AQuery.Next()) {
            QStringList cells;
            for (const QString& name : AQuery.FieldNames()) {
                const TConnectorField f = AQuery.FieldByName(name);
                cells << (f.IsNull() ? QStringLiteral("<null>")
                          : name == QLatin1String("SalesDate")
                              ? QString::number(f.AsDateTime(), 'f', 10)
                              : f.AsString());
            }
            rows << cells.join(QLatin1Char('|'));
        }
        rows.sort();
        return rows;
    }
    TDateTime Ago(qint64 ASeconds) const {
        return uOVUtils::ToDateTime(FEnv->Now().addSecs(-ASeconds));
    }

    std::optional<TSampleEnvironment> FEnv;
};

TEST_F(OdbcStandInTest, SessionAndProbesGoThroughTheOdbcDriver) {
    GetSession();
    ASSERT_EQ(Session()->DriverName(), "QODBC");
    EXPECT_TRUE(Session()->Connected());
    QString schema, build;
    GetRProVersion(Session(), schema, build);
    EXPECT_EQ(schema, "9.30");
    EXPECT_EQ(build, "9.30.0152.1");
    qint32 sbs = 0, store = 0;
    GetSbsAndStoreNo(Session(), sbs, store);
    EXPECT_EQ(sbs, 1);
    EXPECT_EQ(store, 1);
    EXPECT_TRUE(DoesLocalUPCExist(Session()));
    ReleaseSession();

    // The stand-in opens only the file the attributes name.
    const QString missing = FEnv->Dir() + QStringLiteral("missing.db");
    SetConnectorValue("OdbcAttributes", QStringLiteral("Database=%1;NoCreat=1").arg(missing));
    EXPECT_THROW(GetSession(), EDatabaseError);
    EXPECT_FALSE(QFileInfo::exists(missing));
}

TEST_F(OdbcStandInTest, InvoiceQueryReadsWhatTheSqliteDriverReads) {
    const struct {
        const char* name;
        QString sbs, store, sid;
        TDateTime since;
        int count;
    } cases[] = {
        {"every invoice of 001.001", "1", "1", "", 0, 7},
        {"one day: the invoice exactly one day old is not after it", "1", "1", "", Ago(86400), 5},
        {"exactly the newest invoice's time", "1", "1", "", Ago(3600), 0},
        {"a millisecond before it", "1", "1", "", Ago(3600) - 0.001 / 86400, 1},
        {"another subsidiary", "2", "1", "", 0, 1},
        {"one invoice by its SID", "x", "y", " 10 ", Ago(900), 1},
        {"a store that is not a number", "1", "abc", "", 0, 0},
    };
    QList<QStringList> odbc, sqlite;
    GetSession();
    ASSERT_EQ(Session()->DriverName(), "QODBC");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto q = OpenQuery(Session(), c.sbs, c.store, c.sid, c.since);
        EXPECT_EQ(q->RecordCount(), c.count);
        odbc.append(Rows(*q));
    }
    ReleaseSession();

    SetConnectorValue("DatabaseDriver", QStringLiteral("QSQLITE"));
    GetSession();
    ASSERT_EQ(Session()->DriverName(), "QSQLITE");
    for (const auto& c : cases)
        sqlite.append(Rows(*OpenQuery(Session(), c.sbs, c.store, c.sid, c.since)));
    ReleaseSession();
    for (qsizetype i = 0; i < odbc.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(odbc[i], sqlite[i]);
    }
    // Names, phones and dates as the sample holds them.
    EXPECT_TRUE(odbc[0].filter(QStringLiteral("1001|1|1|José|Müller|555-0101|555-0102|")).size() ==
                1)
        << odbc[0].join(QLatin1Char('\n')).toStdString();
}

TEST_F(OdbcStandInTest, StoreListThroughTheOdbcDriver) {
    const QStringList expected{
        "1|1|001|Flagship Store|Main Subsidiary", "1|2|002|Mall Store|Main Subsidiary",
        "2|1|201|Outlet Nord|Outlet Süd", "2|5|205|Outlet München|Outlet Süd"};
    const auto rows = [](TConnectorDataset& AQuery) {
        QStringList r;
        for (AQuery.First(); !AQuery.Eof(); AQuery.Next()) {
            QStringList cells;
            for (const char* f : {"sbs_no", "store_no", "store_code", "store_name", "sbs_name"})
                cells << AQuery.FieldByName(QString::fromLatin1(f)).AsString();
            r << cells.join(QLatin1Char('|'));
        }
        return r;
    };
    GetSession();
    // The worker opens a QODBC connection of its own from the session's
    // connect string.
    auto q = OpenQueryOnStores(Session());
    ASSERT_TRUE(q->Active());
    EXPECT_EQ(rows(*q), expected);
    EXPECT_EQ(rows(*OpenStoresQuery(Session())), expected);
    ReleaseSession();
}

// A whole scan run of the engine (no upload) through the stand-in writes the
// same batch file as through the SQLite driver.
TEST_F(OdbcStandInTest, ScanWritesWhatItWritesThroughTheSqliteDriver) {
    using namespace uBrevoltRPro9ConnectorCommon;
    const QDateTime runStart = FEnv->Now().addSecs(60);
    const auto scan = [&](const QString& ADriver) {
        FEnv.reset();
        FEnv.emplace();
        if (ADriver == QLatin1String("QODBC"))
            UseOdbcStandIn(*FEnv);
        ClearVersionCache();
        TManualClock clock(runStart);
        SetClock(&clock);
        uOVUtils::SetExeDir(FEnv->Paths().ServiceDirectory);
        uOVLogging::SetLogDir(uOVUtils::ExeDir() + QStringLiteral("logs/"));
        QDir().mkpath(uOVLogging::LogDir());
        platform::SetCommandLine(std::vector<std::string>{"-skiptransmit"});
        ConsoleMode = false;
        DebugMode = false;
        DatabaseReady = false;
        StartTestAppLogger(QStringLiteral("OdbcScanTest"));
        Config() = TConnectorConfig();
        Config().ftpusername = QStringLiteral("shopone");
        Config().locations = {QStringLiteral("001.001"), QStringLiteral("001.002"),
                              QStringLiteral("002.001")};
        SaveConfig();
        QByteArray batch;
        {
            TdlgConnectorLogic engine;
            engine.InitDatabase();
            EXPECT_TRUE(DatabaseReady) << ADriver.toStdString();
            GetSession();
            EXPECT_EQ(Session()->DriverName(), ADriver);
            EXPECT_NO_THROW(engine.ScanDatabase()) << ADriver.toStdString();
            ReleaseSession();
            const QString archive = uOVUtils::ExeDir() + QStringLiteral("Batch/Archive/");
            const QStringList files = QDir(archive).entryList(QDir::Files);
            EXPECT_EQ(files.size(), 1) << ADriver.toStdString();
            if (!files.isEmpty())
                batch = ReadFileBytes(archive + files.first());
        }
        const QString log = TestAppLoggerText();
        EXPECT_FALSE(log.contains(QStringLiteral("EDatabaseError"))) << log.toStdString();
        SetClock(nullptr);
        platform::SetCommandLine(std::vector<std::string>{});
        return batch;
    };
    const QByteArray sqlite = scan(QStringLiteral("QSQLITE"));
    const QByteArray odbc = scan(QStringLiteral("QODBC"));
    // The header and the invoices with an e-mail address of the three stores.
    EXPECT_GT(odbc.count("\r\n"), 5);
    EXPECT_EQ(odbc, sqlite);
}

// --- Servers of this test on 127.0.0.1 --------------------------------------------------

// A server thread on a free loopback port that hands each connection in turn
// to AServe, which tells whether to hold it open. Held connections are
// closed when the server goes, or after a minute at the latest, so that a
// client that waits without a time-out fails instead of hanging the test.
class TLoopbackServer {
public:
    explicit TLoopbackServer(std::function<bool(int)> AServe) : FServe(std::move(AServe)) {
        FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(FSocket, 16) != 0 ||
            ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            ::pipe2(FStop, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        FPort = ntohs(addr.sin_port);
        FThread = std::thread([this] { Run(); });
    }
    ~TLoopbackServer() {
        (void)!::write(FStop[1], "x", 1);
        FThread.join();
        ::close(FSocket);
        ::close(FStop[0]);
        ::close(FStop[1]);
    }
    int Port() const { return FPort; }

private:
    void Run() {
        std::vector<int> held;
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p[2] = {{FSocket, POLLIN, 0}, {FStop[0], POLLIN, 0}};
            if (left.count() <= 0 || ::poll(p, 2, int(left.count())) < 0 || p[1].revents)
                break;
            if (!(p[0].revents & POLLIN))
                continue;
            const int client = ::accept4(FSocket, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            if (FServe(client))
                held.push_back(client);
            else
                ::close(client);
        }
        for (int client : held)
            ::close(client);
    }

    std::function<bool(int)> FServe;
    int FSocket = -1;
    int FPort = 0;
    int FStop[2] = {-1, -1};
    std::thread FThread;
};

// Takes connections and never answers.
class TSilentServer {
public:
    int Port() const { return FServer.Port(); }

private:
    TLoopbackServer FServer{[](int) {
        return true;
    }};
};

// A PostgreSQL server that asks for the password in clear text and refuses
// it, as a server does whose user has another password. It keeps what the
// client sent.
class TRefusingServer {
public:
    int Port() const { return FServer.Port(); }
    // "user", "database" and "password" of the last log-in.
    QMap<QString, QString> Received() const {
        std::lock_guard lock(FLock);
        return FReceived;
    }

private:
    // False when the client went away or stayed silent for 10 s.
    static bool ReadExact(int AFd, char* ABuf, size_t ASize) {
        while (ASize > 0) {
            pollfd p{AFd, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1)
                return false;
            const ssize_t n = ::read(AFd, ABuf, ASize);
            if (n <= 0)
                return false;
            ABuf += n;
            ASize -= size_t(n);
        }
        return true;
    }
    static bool ReadMessage(int AFd, QByteArray& ABody) {
        quint32 len = 0;
        if (!ReadExact(AFd, reinterpret_cast<char*>(&len), 4) || ntohl(len) < 4 ||
            ntohl(len) > 65536)
            return false;
        ABody.resize(ntohl(len) - 4);
        return ReadExact(AFd, ABody.data(), size_t(ABody.size()));
    }
    static void Send(int AFd, char AType, const QByteArray& ABody) {
        const quint32 len = htonl(quint32(ABody.size() + 4));
        const QByteArray message =
            QByteArray(1, AType) + QByteArray(reinterpret_cast<const char*>(&len), 4) + ABody;
        (void)!::write(AFd, message.constData(), size_t(message.size()));
    }
    bool Talk(int AFd) {
        QByteArray startup;
        if (!ReadMessage(AFd, startup) || startup.size() < 4)
            return false;
        if (startup.startsWith(QByteArray::fromHex("04d2162f"))) { // SSLRequest: no
            (void)!::write(AFd, "N", 1);
            if (!ReadMessage(AFd, startup) || startup.size() < 4)
                return false;
        }
        QMap<QString, QString> received;
        const QList<QByteArray> pairs = startup.mid(4).split('\0');
        for (qsizetype i = 0; i + 1 < pairs.size(); i += 2)
            received.insert(QString::fromUtf8(pairs[i]), QString::fromUtf8(pairs[i + 1]));
        const quint32 cleartext = htonl(3);
        Send(AFd, 'R', QByteArray(reinterpret_cast<const char*>(&cleartext), 4));
        char type = 0;
        QByteArray password;
        if (!ReadExact(AFd, &type, 1) || type != 'p' || !ReadMessage(AFd, password))
            return false;
        received.insert(QStringLiteral("password"),
                        QString::fromUtf8(password.left(password.indexOf('\0'))));
        {
            std::lock_guard lock(FLock);
            FReceived = received;
        }
        // Severity, code and message, each ended by a zero byte, then one more.
        QByteArray error;
        for (const QByteArray& field :
             {QByteArray("SFATAL"), QByteArray("VFATAL"), QByteArray("C28P01"),
              QByteArray("Mpassword authentication failed for user \"" +
                         received.value(QStringLiteral("user")).toUtf8() + '"')})
            error += field + '\0';
        Send(AFd, 'E', error + '\0');
        return false;
    }

    mutable std::mutex FLock;
    QMap<QString, QString> FReceived;
    // Last, so that it stops before the record it writes goes.
    TLoopbackServer FServer{[this](int AClient) {
        return Talk(AClient);
    }};
};

// --- Errors an administrator meets ------------------------------------------------------

TEST(OdbcErrors, SayWhatWentWrong) {
    RequireOdbc();
    TSampleEnvironment env;
    enum TServer { None, Refusing, Silent };
    const QString unregistered = QStringLiteral(
        "Connecting to the database through QODBC failed: the ODBC driver \"%1\" (registry value "
        "\"OdbcDriver\") is not registered with the ODBC driver manager (odbcinst.ini), or its "
        "library cannot be loaded: ");
    const QString server = QStringLiteral("Servername=127.0.0.1;Port=$PORT;Database=rpro");
    const struct {
        const char* name;
        QString driver, attributes, timeout;
        TServer server;
        QStringList expected; // parts of the message
        double minSeconds, maxSeconds;
    } cases[] = {
        {"no driver named: the default name, not registered here",
         "",
         "",
         "",
         None,
         {unregistered.arg(QStringLiteral("Oracle 19 ODBC driver"))},
         0,
         10},
        {"a driver name that is not registered",
         "Brevolt no such driver",
         "",
         "",
         None,
         {unregistered.arg(QStringLiteral("Brevolt no such driver"))},
         0,
         10},
        {"a registered driver whose library is missing",
         BrokenDriver,
         "",
         "",
         None,
         {unregistered.arg(BrokenDriver), QStringLiteral("libmissing.so")},
         0,
         10},
        {"the database refuses the log-in",
         PostgresDriver,
         server,
         "",
         Refusing,
         {QStringLiteral("Connecting to the database through QODBC failed: "),
          QStringLiteral("password authentication failed for user \"custom\"")},
         0,
         10},
        {"a server that never answers: the log-in time-out ends the wait",
         PostgresDriver,
         server,
         "2",
         Silent,
         {QStringLiteral("Connecting to the database through QODBC failed: no answer within the "
                         "log-in time-out of 2 s (registry value \"OdbcLoginTimeout\"): ")},
         1.8,
         20},
        {"a log-in time-out that is not a number",
         PostgresDriver,
         server,
         "2s",
         None,
         {QStringLiteral("The registry value \"OdbcLoginTimeout\" under "
                         "\"SOFTWARE\\OrvaneSoftware\\Brevolt\\BrevoltRPro9Connector\" is "
                         "\"2s\", not a number of seconds from 1 to 3600")},
         0,
         10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<TRefusingServer> refusing;
        std::optional<TSilentServer> silent;
        int port = 0;
        if (c.server == Refusing)
            port = refusing.emplace().Port();
        else if (c.server == Silent)
            port = silent.emplace().Port();
        SetConnectorValue("DatabaseDriver", QStringLiteral("QODBC"));
        SetConnectorValue("OdbcDriver", c.driver);
        SetConnectorValue(
            "OdbcAttributes",
            QString(c.attributes).replace(QStringLiteral("$PORT"), QString::number(port)));
        SetConnectorValue("OdbcLoginTimeout", c.timeout);
        ResetSession();
        QElapsedTimer clock;
        clock.start();
        QString message;
        try {
            GetSession();
            ADD_FAILURE() << "connected";
        } catch (const EDatabaseError& E) {
            message = E.Message();
        }
        const double seconds = clock.elapsed() / 1000.0;
        for (const QString& part : c.expected)
            EXPECT_TRUE(message.contains(part)) << message.toStdString();
        EXPECT_GE(seconds, c.minSeconds);
        EXPECT_LT(seconds, c.maxSeconds);
        if (refusing) {
            // The fixed log-on and the administrator's attributes reached the server.
            const QMap<QString, QString> received = refusing->Received();
            EXPECT_EQ(received.value(QStringLiteral("user")), "custom");
            EXPECT_EQ(received.value(QStringLiteral("password")), "q5rn2w");
            EXPECT_EQ(received.value(QStringLiteral("database")), "rpro");
        }
    }
    ResetSession();
}

} // namespace
