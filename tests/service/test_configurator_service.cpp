// The configuration window and the running service, as an administrator uses
// them: the window (in-process) saves a schedule and a store that the service
// (a child process) picks up at its next idle tick, then asks for a run that
// the service performs, uploading to a real FTP server; a midnight slot typed
// into the window is one the service schedules; a plain save after a run
// request asks for no second run.
#include "configurator/fBrevolt9Config.h"
#include "tests/service/ServiceProcess.h"
#include "tests/support/FtpServer.h"
#include "tests/support/TestApplication.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>

using namespace testsupport;
using namespace servicetest;

namespace {

class ConfiguratorServiceTest : public TServiceProcessTest {
protected:
    static void SetUpTestSuite() { EnsureApplication("test_configurator_service"); }

    // A window on the service directory, its store rows loaded.
    std::unique_ptr<TfrmBrevoltConfig> OpenWindow() {
        uOVUtils::SetExeDir(SvcDir());
        auto window = std::make_unique<TfrmBrevoltConfig>();
        window->show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->LocationsLoaded(); }, 10000));
        return window;
    }

    int ScheduleLines() const { return LogText().count("Idle.  Next run will start at "); }

    // Waits for the service to schedule again after ABefore schedule lines.
    bool WaitForSchedule(int ABefore) {
        // The idle tick comes every 5 s.
        return WaitUntil([&] { return ScheduleLines() > ABefore; }, 8000, ChildPollMs);
    }

    // The service scheduling by AScheduling on store 001.001, uploading to
    // the test's FTP server.
    void StartService(int AScheduling) {
        ASSERT_TRUE(FFtp.Running());
        WriteConfig([&](TConnectorConfig& c) {
            c.scanscheduling = AScheduling;
            c.locations = QStringList{"001.001"};
            c.ftpserver = FFtp.Address();
            c.ftpusername = QStringLiteral("shopone");
            c.ftppassword = QStringLiteral("secret");
        });
        Start();
        ASSERT_TRUE(WaitForLog("service entering execution loop"));
    }

    // Whether the file on disk holds no run request. The window's own record
    // (the process's configuration) is left as the window has it.
    static bool RunRequestCleared() {
        using namespace uBrevoltRPro9ConnectorCommon;
        const TConnectorConfig shown = Config();
        bool changed = false;
        const bool cleared = LoadConfig(changed) && !Config().runimmediate;
        Config() = shown;
        return cleared;
    }

    QStringList Uploads() const { return FFtp.Commands().filter(QRegularExpression("^STOR ")); }

    TFtpServer FFtp;
};

TEST_F(ConfiguratorServiceTest, SavedSettingsAndARunRequestReachTheRunningService) {
    // By slot without any slot: left alone, the service would not run today.
    ASSERT_NO_FATAL_FAILURE(StartService(1));
    const int schedulesBefore = ScheduleLines();

    {
        auto window = OpenWindow();
        ASSERT_TRUE(window->StorePanel("001.002"));
        window->StorePanel("001.002")->cbInclude->setChecked(true);
        window->rbIntervals->setChecked(true);
        window->spnInterval->setValue(9);
        window->btnSave->click();
        EXPECT_EQ(window->result(), QDialog::Accepted);
    }
    // The next idle tick reads the file and reschedules.
    ASSERT_TRUE(WaitForSchedule(schedulesBefore)) << LogText().toStdString();
    EXPECT_TRUE(LogText().contains(", timer set to 54")) << LogText().toStdString();
    EXPECT_TRUE(Uploads().isEmpty());

    auto window = OpenWindow();
    ASSERT_TRUE(window->StorePanel("001.002"));
    EXPECT_TRUE(window->StorePanel("001.001")->cbInclude->isChecked());
    EXPECT_TRUE(window->StorePanel("001.002")->cbInclude->isChecked());
    window->btnRunImmediate->click();
    ASSERT_TRUE(WaitForLog("======Run completed=======", 15000));
    EXPECT_TRUE(InOrder(LogText(), {"RunImmediate detected; calling SetTimerInterval",
                                    "======Starting run========", "======Run completed======="}));
    ASSERT_EQ(Uploads().size(), 1);
    // Both stores were scanned, and the service cleared the request on disk.
    const QByteArray sent = FFtp.Received(Uploads().at(0).mid(5));
    EXPECT_TRUE(sent.contains("\r\n\"001001\",") && sent.contains("\r\n\"001002\","))
        << sent.toStdString();
    ASSERT_TRUE(WaitUntil([] { return RunRequestCleared(); }, ChildWaitMs, ChildPollMs));
    window->btnCancel->click();
    EXPECT_TRUE(StopsPromptly());
}

// A slot at 12:00 AM on every day: the service's next run is the coming
// midnight, where it used to find no slot at all.
TEST_F(ConfiguratorServiceTest, AMidnightSlotTypedInTheWindowIsTheServicesNextRun) {
    ASSERT_NO_FATAL_FAILURE(StartService(0));
    const int schedulesBefore = ScheduleLines();
    const QDate dayBefore = QDate::currentDate();
    {
        auto window = OpenWindow();
        window->rbTimes->setChecked(true);
        for (auto& day : window->edtDayTimes) {
            day[0]->setText(QStringLiteral("12:00 AM"));
            ASSERT_TRUE(window->ValidateTimeControl(day[0]));
        }
        window->btnSave->click();
        ASSERT_EQ(window->result(), QDialog::Accepted);
    }
    ASSERT_TRUE(WaitForSchedule(schedulesBefore)) << LogText().toStdString();
    const QDate dayAfter = QDate::currentDate();
    const QString log = LogText();
    EXPECT_FALSE(log.contains("No times configured")) << log.toStdString();
    // Said at midnight itself, the coming one may be a day later.
    const auto next = [&](const QDate& ADay) -> QString {
        return "Idle.  Next run will start at " + ADay.addDays(1).toString("MM/dd/yyyy") +
               " 00:00:00";
    };
    EXPECT_TRUE(log.contains(next(dayBefore)) || log.contains(next(dayAfter))) << log.toStdString();
    EXPECT_TRUE(StopsPromptly());
}

// The service clears a run request once it takes it up; a later plain save
// from the same window must not ask for the run again.
TEST_F(ConfiguratorServiceTest, APlainSaveAfterARunRequestAsksForNoSecondRun) {
    ASSERT_NO_FATAL_FAILURE(StartService(0));
    auto window = OpenWindow();
    window->btnRunImmediate->click();
    ASSERT_TRUE(WaitForLog("======Run completed=======", 15000));
    ASSERT_EQ(Uploads().size(), 1);
    ASSERT_TRUE(WaitUntil([] { return RunRequestCleared(); }, ChildWaitMs, ChildPollMs));

    const int schedulesBefore = ScheduleLines();
    window->spnInterval->setValue(window->spnInterval->value() + 1);
    window->btnSave->click();
    ASSERT_EQ(window->result(), QDialog::Accepted);
    // The service reads the saved file at its next tick: a new schedule, no run.
    ASSERT_TRUE(WaitForSchedule(schedulesBefore)) << LogText().toStdString();
    const QString log = LogText();
    EXPECT_EQ(log.count("RunImmediate detected"), 1) << log.toStdString();
    EXPECT_EQ(log.count("======Starting run========"), 1) << log.toStdString();
    EXPECT_EQ(Uploads().size(), 1);
    EXPECT_TRUE(StopsPromptly());
}

} // namespace
