// The reference-counted session: sharing, freeing, a release without a
// session, and failures of the connection and of the descriptor lookup.
#include "DataAccessTestSupport.h"

#include "common/uBrevoltRPro9ConnectorSQLs.h"

#include <QFile>

using namespace uBrevoltRPro9ConnectorSQLs;

namespace {

const QString Area = QStringLiteral("GetSession");
const QString Begin = QStringLiteral("BEGIN"), End = QStringLiteral("END");
const QString Created = QStringLiteral("Instantiating session"),
              Connecting = QStringLiteral("Connecting session using host name \"\""),
              Connected = QStringLiteral("Session connected"),
              Exists = QStringLiteral("Session already exists, exiting"),
              Incrementing = QStringLiteral("Incrementing session reference counter"),
              Decrementing = QStringLiteral("Decrementing session reference counter"),
              Freeing = QStringLiteral("Session reference counter is zero, freeing session..."),
              Keeping = QStringLiteral("Session reference counter not zero, exiting...");
QString CounterSet(int AValue) {
    return QStringLiteral("Reference counter set to %1").arg(AValue);
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSession(); }
    void TearDown() override {
        ResetSession();
        ClearVersionCache();
    }
    testsupport::TSampleEnvironment FEnv;
    dataaccesstest::TLogCapture FLog;
};

TEST_F(SessionTest, HoldersShareOneConnectionUntilTheLastRelease) {
    GetSession();
    TConnectorConnection* first = Session();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->Connected());
    const QString firstName = first->Name();
    EXPECT_EQ(first->ConnectionString(),
              SessionConnectString(uBrevoltSampleDatabase::SampleDescriptor()));
    GetSession();
    EXPECT_EQ(Session(), first);
    EXPECT_EQ(SessionReferenceCount(), 2);
    ReleaseSession();
    EXPECT_EQ(Session(), first);
    EXPECT_TRUE(first->Connected());
    ReleaseSession();
    EXPECT_EQ(Session(), nullptr);
    EXPECT_EQ(SessionReferenceCount(), 0);
    GetSession(); // a new session with a new lookup
    ASSERT_NE(Session(), nullptr);
    EXPECT_NE(Session()->Name(), firstName);
    ReleaseSession();

    const QStringList create{Begin,        Created,       Connecting, Connected,
                             Incrementing, CounterSet(1), End};
    const QStringList share{Begin, Exists, Incrementing, CounterSet(2), End};
    const QStringList keep{Begin, Decrementing, Keeping, End};
    const QStringList release{Begin, Decrementing, Freeing, End};
    EXPECT_EQ(FLog.Messages(Area), create + share + keep + release + create + release);
    EXPECT_EQ(FLog.Messages("GetOracleBase").size(), 2);
}

TEST_F(SessionTest, ReleaseWithoutASessionDrivesTheCounterBelowZero) {
    ReleaseSession();
    EXPECT_EQ(SessionReferenceCount(), -1);
    EXPECT_EQ(Session(), nullptr);
    GetSession();
    EXPECT_EQ(SessionReferenceCount(), 0);
    EXPECT_NE(Session(), nullptr);
    ReleaseSession();
    EXPECT_EQ(Session(), nullptr);
    EXPECT_EQ(FLog.Messages(Area),
              QStringList({Begin, Decrementing, Freeing, End, Begin, Created, Connecting, Connected,
                           Incrementing, CounterSet(0), End, Begin, Decrementing, Freeing, End}));
}

TEST_F(SessionTest, FailedConnectionStaysRegisteredAndConnectsOnFirstUse) {
    QFile::remove(FEnv.Paths().DatabaseFile);
    EXPECT_THROW(GetSession(), EDatabaseError);
    EXPECT_EQ(SessionReferenceCount(), 0);
    ASSERT_NE(Session(), nullptr);
    EXPECT_FALSE(Session()->Connected());
    GetSession();
    EXPECT_EQ(SessionReferenceCount(), 1);
    EXPECT_THROW(OpenQuery(Session(), "1", "1", "", 0), EDatabaseError);
    // Once the database is back, the first query connects with the same string.
    uBrevoltSampleDatabase::CreateSampleDatabase(FEnv.Paths().DatabaseFile, {12, FEnv.Now()});
    EXPECT_EQ(OpenQuery(Session(), "1", "1", "", 0)->RecordCount(), 7);
    EXPECT_TRUE(Session()->Connected());
    ReleaseSession();
    EXPECT_EQ(Session(), nullptr);

    const QString error = "EDatabaseError in GetSession: The database file \"" +
                          FEnv.Paths().DatabaseFile + "\" does not exist";
    EXPECT_TRUE(FLog.Errors().contains(error)) << FLog.Errors().join("\n").toStdString();
    EXPECT_EQ(FLog.Messages(Area).mid(0, 9),
              QStringList({Begin, Created, Connecting, Begin, Exists, Incrementing, CounterSet(1),
                           End, Begin}));
}

TEST_F(SessionTest, FailedLookupLeavesASessionThatCannotConnect) {
    QFile::remove(FEnv.Paths().TnsNamesFile);
    try {
        GetSession();
        ADD_FAILURE() << "no error";
    } catch (const Exception& E) {
        EXPECT_TRUE(E.Message().startsWith("\"" + FEnv.Paths().TnsNamesFile + "\" not found"));
    }
    ASSERT_NE(Session(), nullptr);
    EXPECT_TRUE(Session()->ConnectionString().isEmpty());
    try {
        OpenQuery(Session(), "1", "1", "", 0);
        ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& E) {
        EXPECT_EQ(E.Message(), "Missing Connection or ConnectionString");
    }
    ReleaseSession(); // the caller's cleanup frees the unconnected object
    EXPECT_EQ(Session(), nullptr);
    EXPECT_EQ(SessionReferenceCount(), -1);
}

} // namespace
