// The service check: the waits after a start or stop on scripted readings,
// the systemd implementation against dbusmock's systemd on a private bus
// (never the machine's own), and the window in-process under the offscreen
// platform.
#include "common/uOVClock.h"
#include "common/uOVUtils.h"
#include "configurator/fBrevolt9Config.h"
#include "configurator/fBrevoltCheckService.h"
#include "configurator/uBackgroundJobs.h"
#include "configurator/uConfiguratorDatabase.h"
#include "configurator/uOVWinServicesUtils.h"
#include "platform/ServiceControl.h"
#include "tests/servicecheck/SystemdMock.h"
#include "tests/support/TestApplication.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <ostream>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <vector>

using platform::ServiceStatus;
using servicechecktest::TSystemdMock;

namespace {

const QString ServiceName = QStringLiteral("BrevoltRPro9Connector");
const QString Unit = ServiceName + QStringLiteral(".service");

// Table rows print as their names.
template <typename T>
requires requires(const T& ACase) {
    ACase.Name;
}
void PrintTo(const T& ACase, std::ostream* AOut) {
    *AOut << ACase.Name;
}

QString Line(const QString& AText) {
    return ServiceName + QStringLiteral(": ") + AText;
}

// ---- the waits on scripted readings ----------------------------------------

// Answers the loop's readings from a script (nullopt: the reading fails),
// repeating the last one, and records the pauses.
struct TScript {
    explicit TScript(std::vector<std::optional<ServiceStatus>> AReadings)
        : Readings(std::move(AReadings)) {}

    std::vector<std::optional<ServiceStatus>> Readings;
    std::vector<int> Sleeps;
    size_t Queries = 0;

    platform::StatusQuery Query() {
        return [this](ServiceStatus& AStatus) {
            const auto& reading = Readings.at(std::min(Queries++, Readings.size() - 1));
            if (reading)
                AStatus = *reading;
            return reading.has_value();
        };
    }
    platform::SleepFunction Sleep() {
        return [this](int AMs) {
            Sleeps.push_back(AMs);
        };
    }
};

struct TWaitCase {
    const char* Name;
    ServiceStatus First;
    std::vector<std::optional<ServiceStatus>> Readings;
    int Budget; // seconds; the start only
    bool Result;
    std::vector<int> Sleeps;
    size_t Queries;
};

std::vector<int> Seconds(int ACount) {
    return std::vector<int>(ACount, 1000);
}

class StartWait : public ::testing::TestWithParam<TWaitCase> {};

TEST_P(StartWait, FollowsHintBudgetAndCheckPoint) {
    const TWaitCase& c = GetParam();
    TScript script(c.Readings);
    EXPECT_EQ(platform::WaitForServiceStart(c.First, script.Query(), c.Budget, script.Sleep()),
              c.Result);
    EXPECT_EQ(script.Sleeps, c.Sleeps);
    EXPECT_EQ(script.Queries, c.Queries);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartWait,
    ::testing::Values(
        TWaitCase{"AlreadyRunning", {4, 0, 0}, {{}}, 10, true, {}, 0},
        TWaitCase{"PendingUntilRunning",
                  {2, 1, 1000},
                  {ServiceStatus{2, 2, 1000}, ServiceStatus{2, 3, 1000}, ServiceStatus{4, 0, 0}},
                  100,
                  true,
                  Seconds(3),
                  3},
        TWaitCase{"HintTakenInSecondsAtMostTen",
                  {2, 1, 25000},
                  {ServiceStatus{4, 0, 0}},
                  100,
                  true,
                  Seconds(10),
                  1},
        // 3 s, then the 2 s left.
        TWaitCase{
            "BudgetRunsOut", {2, 1, 3000}, {ServiceStatus{2, 1, 3000}}, 5, false, Seconds(5), 2},
        TWaitCase{"CheckPointGoesDown",
                  {2, 5, 1000},
                  {ServiceStatus{2, 6, 1000}, ServiceStatus{2, 2, 1000}, ServiceStatus{4, 0, 0}},
                  100,
                  false,
                  Seconds(2),
                  2},
        TWaitCase{"ReadingFails", {2, 1, 1000}, {std::nullopt}, 100, false, Seconds(1), 1},
        // A pass that paused for nothing gets one more reading, then ends.
        TWaitCase{"NoHint", {1, 0, 0}, {ServiceStatus{1, 0, 0}}, 100, false, {}, 1},
        TWaitCase{"HintUnderASecond", {2, 1, 999}, {ServiceStatus{2, 2, 999}}, 100, false, {}, 1},
        TWaitCase{
            "RunningAtTheExtraReading", {1, 0, 0}, {ServiceStatus{4, 0, 0}}, 100, true, {}, 1},
        TWaitCase{"NoBudget", {2, 1, 1000}, {{}}, 0, false, {}, 0}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

class StopWait : public ::testing::TestWithParam<TWaitCase> {};

TEST_P(StopWait, FollowsHintAndCheckPointForAtMostAMinute) {
    const TWaitCase& c = GetParam();
    TScript script(c.Readings);
    EXPECT_EQ(platform::WaitForServiceStop(c.First, script.Query(), script.Sleep()), c.Result);
    EXPECT_EQ(script.Sleeps, c.Sleeps);
    EXPECT_EQ(script.Queries, c.Queries);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StopWait,
    ::testing::Values(
        TWaitCase{"AlreadyStopped", {1, 0, 0}, {{}}, 0, true, {}, 0},
        TWaitCase{"PendingUntilStopped",
                  {3, 1, 3000},
                  {ServiceStatus{3, 2, 3000}, ServiceStatus{1, 0, 0}},
                  0,
                  true,
                  {3000, 3000},
                  2},
        TWaitCase{"HintAtMostTen", {3, 1, 30000}, {ServiceStatus{1, 0, 0}}, 0, true, {10000}, 1},
        TWaitCase{"NoHintPollsEverySecond",
                  {4, 0, 0},
                  {ServiceStatus{3, 1, 0}, ServiceStatus{1, 0, 0}},
                  0,
                  true,
                  Seconds(2),
                  2},
        // Eight 7 s pauses and the 4 s left of the minute.
        TWaitCase{"GivesUpAfterAMinute",
                  {3, 1, 7000},
                  {ServiceStatus{3, 1, 7000}},
                  0,
                  false,
                  {7000, 7000, 7000, 7000, 7000, 7000, 7000, 7000, 4000},
                  9},
        TWaitCase{"CheckPointGoesDown",
                  {3, 4, 1000},
                  {ServiceStatus{3, 1, 1000}, ServiceStatus{1, 0, 0}},
                  0,
                  false,
                  Seconds(1),
                  1},
        TWaitCase{"ReadingFails", {3, 1, 1000}, {std::nullopt}, 0, false, Seconds(1), 1}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// ---- systemd on a private bus -----------------------------------------------

// One bus and one mock for the whole program: the process's system bus
// connection is made once, at its first use.
class TBusEnvironment : public ::testing::Environment {
public:
    static TBusEnvironment* Instance;

    void SetUp() override {
        testsupport::EnsureApplication("test_servicecheck");
        // The no-bus run keeps the address ctest gave it (nothing listens).
        if (qEnvironmentVariableIsSet("BREVOLT_TEST_NO_BUS"))
            return;
        Mock = std::make_unique<TSystemdMock>();
        if (!Mock->Address().isEmpty())
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", Mock->Address().toUtf8());
    }

    void TearDown() override {
        // Requests still waiting end at their next reading once the bus goes.
        Mock.reset();
        EXPECT_TRUE(uBackgroundJobs::Pool(uBackgroundJobs::TPool::Network).waitForDone(10000));
    }

    std::unique_ptr<TSystemdMock> Mock;
};

TBusEnvironment* TBusEnvironment::Instance =
    static_cast<TBusEnvironment*>(::testing::AddGlobalTestEnvironment(new TBusEnvironment));

const QString RefuseCode =
    QStringLiteral("raise dbus.exceptions.DBusException('Interactive authentication required.', "
                   "name='org.freedesktop.DBus.Error.AccessDenied')");

// A request that systemd accepts but whose job never ends: the unit stays in
// AState.
QString StuckCode(const QString& AState) {
    return QStringLiteral("objects[self.units[args[0]]].UpdateProperties("
                          "'org.freedesktop.systemd1.Unit', {'ActiveState': '%1'})\n"
                          "ret = '/org/freedesktop/systemd1/job/1'")
        .arg(AState);
}

class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsSet("BREVOLT_TEST_NO_BUS"))
            GTEST_SKIP() << "no bus in this run";
        ASSERT_TRUE(TBusEnvironment::Instance->Mock);
        ASSERT_FALSE(Mock().Address().isEmpty()) << Mock().Error().toStdString();
        // Readings of a request left over from the test before fail once its
        // unit has gone, which ends the request.
        ASSERT_TRUE(Mock().Reset()) << Mock().Error().toStdString();
        ASSERT_TRUE(uBackgroundJobs::Pool(uBackgroundJobs::TPool::Network).waitForDone(10000));
    }

    void TearDown() override { SetClock(nullptr); }

    static TSystemdMock& Mock() { return *TBusEnvironment::Instance->Mock; }

    // The service's unit in AActiveState; none for an empty state.
    static void Install(const QString& AActiveState,
                        const QString& ALoadState = QStringLiteral("loaded")) {
        if (AActiveState.isEmpty())
            return;
        ASSERT_TRUE(Mock().AddUnit(Unit)) << Mock().Error().toStdString();
        ASSERT_TRUE(Mock().SetUnit(Unit, {{QStringLiteral("ActiveState"), AActiveState},
                                          {QStringLiteral("LoadState"), ALoadState}}))
            << Mock().Error().toStdString();
    }

    // A request method of the manager (StartUnit, StopUnit) running ACode;
    // the template's own when ACode is empty.
    static void Replace(const QString& AMethod, const QString& ACode) {
        if (ACode.isEmpty())
            return;
        ASSERT_TRUE(
            Mock().SetManagerMethod(AMethod, QStringLiteral("ss"), QStringLiteral("o"), ACode))
            << Mock().Error().toStdString();
    }

    static void SetActiveState(const QString& AState) {
        ASSERT_TRUE(Mock().SetUnit(Unit, {{QStringLiteral("ActiveState"), AState}}))
            << Mock().Error().toStdString();
    }
};

struct TMappingCase {
    const char* Name;
    const char* LoadState;
    const char* ActiveState; // "" when the unit does not exist
    int State;
};

class StateMapping : public BusTest, public ::testing::WithParamInterface<TMappingCase> {};

TEST_P(StateMapping, ReadsTheUnitStates) {
    const TMappingCase& c = GetParam();
    Install(QString::fromLatin1(c.ActiveState), QString::fromLatin1(c.LoadState));
    EXPECT_EQ(uOVWinServicesUtils::GetServiceState(QString(), ServiceName), c.State);
}

INSTANTIATE_TEST_SUITE_P(Table, StateMapping,
                         ::testing::Values(TMappingCase{"Inactive", "loaded", "inactive", 1},
                                           TMappingCase{"Failed", "loaded", "failed", 1},
                                           TMappingCase{"Activating", "loaded", "activating", 2},
                                           TMappingCase{"Deactivating", "loaded", "deactivating",
                                                        3},
                                           TMappingCase{"Active", "loaded", "active", 4},
                                           TMappingCase{"Reloading", "loaded", "reloading", 5},
                                           TMappingCase{"OtherState", "loaded", "maintenance", -1},
                                           TMappingCase{"NoUnitFile", "not-found", "inactive", -1},
                                           TMappingCase{"NotInstalled", "", "", -1}),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(BusTest, AnotherMachineIsUnknown) {
    Install(QStringLiteral("active"));
    EXPECT_EQ(uOVWinServicesUtils::GetServiceState(QStringLiteral("pos2"), ServiceName), -1);
    EXPECT_FALSE(uOVWinServicesUtils::StopServiceAndWait(QStringLiteral("pos2"), ServiceName));
    EXPECT_TRUE(Mock().ManagerCalls(QStringLiteral("StopUnit")).isEmpty());
}

struct TRequestCase {
    const char* Name;
    const char* ActiveState; // "" when the unit does not exist
    bool Start;
    QString Code; // replaces the template's StartUnit or StopUnit
    int Budget;
    bool Result;
    int PausedMs; // on the manual clock
};

class ServiceRequest : public BusTest, public ::testing::WithParamInterface<TRequestCase> {};

TEST_P(ServiceRequest, RequestsAndWaitsOnTheProgramClock) {
    const TRequestCase& c = GetParam();
    Install(QString::fromLatin1(c.ActiveState));
    const QString method = c.Start ? QStringLiteral("StartUnit") : QStringLiteral("StopUnit");
    ASSERT_NO_FATAL_FAILURE(Replace(method, c.Code));
    const QDateTime start(QDate(2024, 5, 10), QTime(12, 0));
    TManualClock clock(start);
    SetClock(&clock);

    const bool result =
        c.Start ? uOVWinServicesUtils::StartServiceAndWait(QString(), ServiceName, c.Budget)
                : uOVWinServicesUtils::StopServiceAndWait(QString(), ServiceName);

    EXPECT_EQ(result, c.Result);
    EXPECT_EQ(start.msecsTo(clock.Now()), c.PausedMs);
    const QList<QStringList> calls = Mock().ManagerCalls(method);
    if (*c.ActiveState)
        EXPECT_EQ(calls, (QList<QStringList>{{Unit, QStringLiteral("replace")}}));
    else
        EXPECT_TRUE(calls.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServiceRequest,
    ::testing::Values(TRequestCase{"StartRuns", "inactive", true, {}, 30, true, 0},
                      TRequestCase{"StartRefused", "inactive", true, RefuseCode, 30, false, 0},
                      // Read once a second until the budget is spent.
                      TRequestCase{"StartStaysActivating", "inactive", true,
                                   StuckCode("activating"), 3, false, 3000},
                      TRequestCase{"StartNotInstalled", "", true, {}, 30, false, 0},
                      TRequestCase{"StopStops", "active", false, {}, 0, true, 0},
                      TRequestCase{"StopRefused", "active", false, RefuseCode, 0, false, 0},
                      TRequestCase{"StopStaysDeactivating", "active", false,
                                   StuckCode("deactivating"), 0, false, platform::StopWaitLimitMs}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// ---- the window ----------------------------------------------------------------

class CheckServiceWindow : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        FOwner = std::make_unique<QWidget>();
        FOwner->show();
    }

    void TearDown() override {
        delete FWindow.data();
        FOwner.reset();
        BusTest::TearDown();
    }

    // The window as the configuration window opens it.
    TfrmCheckService& Open() {
        FWindow = new TfrmCheckService(FOwner.get());
        FWindow->setAttribute(Qt::WA_DeleteOnClose);
        FWindow->Execute(ServiceName);
        return *FWindow;
    }

    static bool WaitForStatus(TfrmCheckService& AWindow, const QString& AText,
                              int ATimeoutMs = 5000) {
        return QTest::qWaitFor([&] { return AWindow.lblStatus->text() == AText; }, ATimeoutMs);
    }

    std::unique_ptr<QWidget> FOwner;
    QPointer<TfrmCheckService> FWindow;
};

TEST_F(CheckServiceWindow, OpensModalAndAsksForTheStateOnceShown) {
    Install(QStringLiteral("inactive"));
    TfrmCheckService& window = Open();
    EXPECT_EQ(window.windowTitle(), "Check Connector Service");
    EXPECT_EQ(window.size(), QSize(574, 104));
    EXPECT_EQ(window.palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.windowModality(), Qt::WindowModal);
    EXPECT_EQ(window.ServiceName(), ServiceName);
    EXPECT_FALSE(window.Image1->pixmap().isNull());
    EXPECT_EQ(window.btnRefresh->text(), "Refresh");
    // Nothing read yet: the call is queued behind the showing.
    EXPECT_EQ(window.lblStatus->text(), "Requesting service status from Windows...");
    EXPECT_TRUE(window.btnAction->isHidden());

    ASSERT_TRUE(WaitForStatus(window, Line("Stopped")));
    window.close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return FWindow.isNull(); }, 5000));
}

struct TShownCase {
    const char* Name;
    const char* ActiveState; // "" when not installed
    const char* Status;
    bool Button;
    const char* Caption;
    TfrmCheckService::TServiceAction Action;
};

class FirstReading : public CheckServiceWindow, public ::testing::WithParamInterface<TShownCase> {};

TEST_P(FirstReading, ShowsTheStateAndTheMatchingButton) {
    const TShownCase& c = GetParam();
    Install(QString::fromLatin1(c.ActiveState));
    TfrmCheckService& window = Open();
    ASSERT_TRUE(WaitForStatus(window, Line(QString::fromLatin1(c.Status))))
        << window.lblStatus->text().toStdString();
    EXPECT_EQ(window.btnAction->isVisible(), c.Button);
    if (c.Button) {
        EXPECT_EQ(window.btnAction->text(), c.Caption);
    }
    EXPECT_EQ(window.Action(), c.Action);
    EXPECT_FALSE(window.tmrPoll->isActive());
}

INSTANTIATE_TEST_SUITE_P(
    Table, FirstReading,
    ::testing::Values(
        TShownCase{"Stopped", "inactive", "Stopped", true, "Start", TfrmCheckService::saStart},
        TShownCase{"Failed", "failed", "Stopped", true, "Start", TfrmCheckService::saStart},
        TShownCase{"Running", "active", "Running", true, "Stop", TfrmCheckService::saStop},
        TShownCase{"NotInstalled", "", "UNKNOWN", false, "", TfrmCheckService::saNone}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(CheckServiceWindow, ShowsEveryStateWithItsButtonAndPolling) {
    struct TCase {
        int State;
        const char* Status;
        bool Button;
        TfrmCheckService::TServiceAction Action;
        bool Poll;
    };
    const TCase cases[] = {
        {1, "Stopped", true, TfrmCheckService::saStart, false},
        {2, "Start pending", false, TfrmCheckService::saNone, true},
        {3, "Stop pending", false, TfrmCheckService::saNone, true},
        {4, "Running", true, TfrmCheckService::saStop, false},
        {5, "Continue pending", false, TfrmCheckService::saNone, true},
        {6, "Pause pending", false, TfrmCheckService::saNone, true},
        {7, "Paused", false, TfrmCheckService::saNone, false},
        {-1, "UNKNOWN", false, TfrmCheckService::saNone, false},
        {0, "UNKNOWN", false, TfrmCheckService::saNone, false},
    };
    Install(QStringLiteral("inactive"));
    TfrmCheckService& window = Open();
    ASSERT_TRUE(WaitForStatus(window, Line("Stopped")));
    for (const TCase& c : cases) {
        // From a hidden button, which an unknown state leaves as it is.
        window.ShowServiceState(7);
        window.ShowServiceState(c.State);
        EXPECT_EQ(window.lblStatus->text(), Line(QString::fromLatin1(c.Status))) << c.State;
        EXPECT_EQ(window.btnAction->isVisible(), c.Button) << c.State;
        EXPECT_EQ(window.Action(), c.Action) << c.State;
        EXPECT_EQ(window.tmrPoll->isActive(), c.Poll) << c.State;
    }
}

TEST_F(CheckServiceWindow, UnknownStateKeepsTheButtonButClickDoesNothing) {
    Install(QStringLiteral("active"));
    TfrmCheckService& window = Open();
    ASSERT_TRUE(WaitForStatus(window, Line("Running")));
    window.ShowServiceState(-1);
    EXPECT_TRUE(window.btnAction->isVisible());
    EXPECT_EQ(window.btnAction->text(), "Stop");
    window.btnAction->click();
    EXPECT_EQ(window.lblStatus->text(), Line("UNKNOWN"));
    EXPECT_FALSE(window.ActionRunning());
    EXPECT_TRUE(window.btnAction->isEnabled());
    ASSERT_TRUE(uBackgroundJobs::Pool(uBackgroundJobs::TPool::Network).waitForDone(5000));
    EXPECT_TRUE(Mock().ManagerCalls(QStringLiteral("StopUnit")).isEmpty());
}

TEST_F(CheckServiceWindow, StartPendingIsPolledUntilRunning) {
    Install(QStringLiteral("activating"));
    TfrmCheckService& window = Open();
    QSignalSpy shown(&window, &TfrmCheckService::StateShown);
    ASSERT_TRUE(WaitForStatus(window, Line("Start pending")));
    EXPECT_TRUE(window.btnAction->isHidden());
    // Read again and again while it stays pending.
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.count() >= 3; }, 5000));
    for (const QList<QVariant>& signal : shown)
        EXPECT_EQ(signal.at(0).toInt(), 2);

    SetActiveState(QStringLiteral("active"));
    ASSERT_TRUE(WaitForStatus(window, Line("Running")));
    EXPECT_TRUE(window.btnAction->isVisible());
    EXPECT_EQ(window.btnAction->text(), "Stop");
    EXPECT_FALSE(window.tmrPoll->isActive());
}

struct TActionCase {
    const char* Name;
    const char* ActiveState;
    QString Code; // replaces the template's request
    const char* Busy;
    const char* Final;
    const char* Caption;
};

class ActionButton : public CheckServiceWindow,
                     public ::testing::WithParamInterface<TActionCase> {};

TEST_P(ActionButton, RequestsThenShowsTheStateASecondLater) {
    const TActionCase& c = GetParam();
    Install(QString::fromLatin1(c.ActiveState));
    const bool start = QString::fromLatin1(c.ActiveState) == "inactive";
    const QString method = start ? QStringLiteral("StartUnit") : QStringLiteral("StopUnit");
    ASSERT_NO_FATAL_FAILURE(Replace(method, c.Code));
    TfrmCheckService& window = Open();
    ASSERT_TRUE(WaitForStatus(window, Line(start ? "Stopped" : "Running")));

    QElapsedTimer sinceClick;
    sinceClick.start();
    window.btnAction->click();
    EXPECT_EQ(window.lblStatus->text(), c.Busy);
    EXPECT_FALSE(window.btnAction->isEnabled());
    EXPECT_FALSE(window.btnRefresh->isEnabled());

    ASSERT_TRUE(WaitForStatus(window, Line(QString::fromLatin1(c.Final))))
        << window.lblStatus->text().toStdString();
    EXPECT_GE(sinceClick.elapsed(), TfrmCheckService::SettleDelayMs);
    EXPECT_EQ(window.btnAction->text(), c.Caption);
    EXPECT_TRUE(window.btnAction->isEnabled());
    EXPECT_TRUE(window.btnRefresh->isEnabled());
    EXPECT_EQ(Mock().ManagerCalls(method), (QList<QStringList>{{Unit, QStringLiteral("replace")}}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ActionButton,
    ::testing::Values(TActionCase{"Start", "inactive", {}, "Starting...", "Running", "Stop"},
                      TActionCase{"Stop", "active", {}, "Stopping...", "Stopped", "Start"},
                      // Denied by polkit: the state read afterwards is the real one.
                      TActionCase{"StartRefused", "inactive", RefuseCode, "Starting...", "Stopped",
                                  "Start"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(CheckServiceWindow, RefreshShowsTheCurrentState) {
    Install(QStringLiteral("inactive"));
    TfrmCheckService& window = Open();
    ASSERT_TRUE(WaitForStatus(window, Line("Stopped")));
    SetActiveState(QStringLiteral("active"));
    window.btnRefresh->click();
    EXPECT_TRUE(WaitForStatus(window, Line("Running")));
}

TEST_F(CheckServiceWindow, ClosesWhileAStartWaits) {
    Install(QStringLiteral("inactive"));
    Replace(QStringLiteral("StartUnit"), StuckCode("activating"));
    TfrmCheckService& window = Open();
    ASSERT_TRUE(WaitForStatus(window, Line("Stopped")));
    window.btnAction->click();
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return !Mock().ManagerCalls(QStringLiteral("StartUnit")).isEmpty(); }, 5000));

    QElapsedTimer closing;
    closing.start();
    window.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return FWindow.isNull(); }, 5000));
    EXPECT_LT(closing.elapsed(), 1000);
    // The request, still waiting, fails its next reading once the unit goes.
    ASSERT_TRUE(Mock().Reset());
    EXPECT_TRUE(uBackgroundJobs::Pool(uBackgroundJobs::TPool::Network).waitForDone(5000));
}

TEST_F(CheckServiceWindow, ConfigurationWindowOpensItOverItself) {
    testsupport::TTempDir dir;
    qputenv("BREVOLT_REGISTRY", dir.File("registry.reg").toUtf8());
    uOVUtils::SetExeDir(dir.Dir());
    Install(QStringLiteral("inactive"));
    TfrmBrevoltConfig config;
    config.show();
    config.btnCheckService->click();
    QPointer<TfrmCheckService> check = config.findChild<TfrmCheckService*>();
    ASSERT_TRUE(check);
    EXPECT_TRUE(check->isVisible());
    EXPECT_EQ(check->windowModality(), Qt::WindowModal);
    EXPECT_EQ(check->ServiceName(), TfrmBrevoltConfig::ServiceName);
    EXPECT_TRUE(WaitForStatus(*check, Line("Stopped")));
    check->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return check.isNull(); }, 5000));
    // The store list's query (no database here) ends before the window goes.
    EXPECT_TRUE(QTest::qWaitFor([] { return !uConfiguratorDatabase::Busy(); }, 10000));
    qunsetenv("BREVOLT_REGISTRY");
}

// ---- no bus at all (a run of its own: the process's bus is chosen once) --------

TEST(NoSystemBus, EverythingIsUnknownOrFails) {
    if (!qEnvironmentVariableIsSet("BREVOLT_TEST_NO_BUS"))
        GTEST_SKIP() << "only in the run without a bus";
    EXPECT_EQ(uOVWinServicesUtils::GetServiceState(QString(), ServiceName), -1);
    EXPECT_FALSE(uOVWinServicesUtils::StartServiceAndWait(QString(), ServiceName, 30));
    EXPECT_FALSE(uOVWinServicesUtils::StopServiceAndWait(QString(), ServiceName));
}

} // namespace
