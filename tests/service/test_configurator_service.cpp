// The configuration window and the running service, as an administrator uses
// them: the window (in-process) saves a schedule and a store that the service
// (a child process) picks up at its next idle tick, then asks for a run that
// the service performs, uploading to a real FTP server.
#include "configurator/fBrevolt9Config.h"
#include "tests/service/ServiceProcess.h"
#include "tests/support/FtpServer.h"
#include "tests/support/TestApplication.h"

#include <QCheckBox>
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

    QStringList Uploads() const { return FFtp.Commands().filter(QRegularExpression("^STOR ")); }

    TFtpServer FFtp;
};

TEST_F(ConfiguratorServiceTest, SavedSettingsAndARunRequestReachTheRunningService) {
    ASSERT_TRUE(FFtp.Running());
    // By slot without any slot: left alone, the service would not run today.
    WriteConfig([&](TConnectorConfig& c) {
        c.scanscheduling = 1;
        c.locations = QStringList{"001.001"};
        c.ftpserver = FFtp.Address();
        c.ftpusername = QStringLiteral("shopone");
        c.ftppassword = QStringLiteral("secret");
    });
    Start();
    ASSERT_TRUE(WaitForLog("service entering execution loop"));
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
    // The next idle tick (every 5 s) reads the file and reschedules.
    ASSERT_TRUE(WaitUntil([&] { return ScheduleLines() > schedulesBefore; }, 8000, ChildPollMs))
        << LogText().toStdString();
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
    ASSERT_TRUE(WaitUntil(
        [] {
            bool changed = false;
            return uBrevoltRPro9ConnectorCommon::LoadConfig(changed) &&
                   !uBrevoltRPro9ConnectorCommon::Config().runimmediate;
        },
        ChildWaitMs, ChildPollMs));
    window->btnCancel->click();
    EXPECT_TRUE(StopsPromptly());
}

} // namespace
