// The tray window of forms mode, in-process under the offscreen platform,
// with the real engine and a manual clock: its deferred start-up, hiding and
// showing, the Exit path (also in the middle of the Oracle pause) and the
// version labels.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVClock.h"
#include "common/uOVLogging.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "service/tray/fConnectorWindow.h"
#include "tests/support/ScriptedClock.h"
#include "tests/support/TestApplication.h"
#include "tests/support/TestAppLogger.h"
#include "tests/support/TestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>

using namespace uBrevoltRPro9ConnectorCommon;

namespace {

using testsupport::RunUntil;
using testsupport::TScriptedClock;

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testsupport::EnsureApplication("test_window"); }

    void SetUp() override {
        qputenv("BREVOLT_REGISTRY", FDir.File("registry.reg").toUtf8());
        uOVUtils::SetExeDir(FDir.Dir());
        uOVLogging::SetLogDir(FDir.Dir() + "logs/");
        QDir().mkpath(uOVLogging::LogDir());
        SetClock(&FClock);
        ConsoleMode = true;
        DatabaseReady = false;
        testsupport::StartTestAppLogger("WindowTest");
    }

    void TearDown() override {
        FWindow.reset();
        testsupport::EndTestAppLogger();
        SetClock(nullptr);
    }

    static QString LogText() { return testsupport::TestAppLoggerText(); }

    // Slot scheduling, so that the whole Oracle delay falls to the window.
    TfrmConnectorLogic& Window(int AOracleDelay) {
        Config() = TConnectorConfig();
        Config().scanscheduling = 1;
        Config().oracledelay = AOracleDelay;
        SaveConfig();
        FWindow = std::make_unique<TfrmConnectorLogic>();
        return *FWindow;
    }

    static void SendKey(QWidget& AWidget, Qt::KeyboardModifiers AModifiers) {
        QKeyEvent key(QEvent::KeyRelease, Qt::Key_Escape, AModifiers);
        QCoreApplication::sendEvent(&AWidget, &key);
    }

    testsupport::TTempDir FDir;
    TScriptedClock FClock{QDateTime(QDate(2024, 1, 15), QTime(10, 0))};
    std::unique_ptr<TfrmConnectorLogic> FWindow;
};

TEST_F(WindowTest, StartsUpOnceShownThenLivesHiddenUntilExit) {
    TfrmConnectorLogic& window = Window(0);
    EXPECT_EQ(window.windowTitle(), "Connector");
    EXPECT_EQ(window.size(), QSize(600, 300));
    EXPECT_EQ(dlgConnectorLogic, window.Logic());
    EXPECT_FALSE(window.Logic()->FEnabled);

    window.show();
    ASSERT_TRUE(RunUntil([&] { return window.Logic()->tmProcess->isActive(); }));
    EXPECT_TRUE(window.Logic()->FEnabled);
    EXPECT_TRUE(window.Logic()->tmIdle->isActive());
    EXPECT_FALSE(window.isVisible()); // HideMe after the start-up

    window.About1->trigger();
    EXPECT_TRUE(window.isVisible());
    SendKey(window, Qt::ShiftModifier);
    EXPECT_TRUE(window.isVisible());
    SendKey(window, Qt::NoModifier);
    EXPECT_FALSE(window.isVisible());

    window.Exit1->trigger();
    EXPECT_TRUE(window.Logic()->FClosing);
    EXPECT_FALSE(window.Logic()->FEnabled);
    const QString log = LogText();
    // Forms mode: Enable neither pauses nor probes; the window probes after.
    EXPECT_EQ(log.count(">> ENTER|TdlgConnectorLogic.InitDatabase"), 1);
    EXPECT_LT(log.indexOf("<< EXIT |TdlgConnectorLogic.Enable"),
              log.indexOf(">> ENTER|TdlgConnectorLogic.InitDatabase"));
}

TEST_F(WindowTest, ExitCutsTheOraclePauseShort) {
    TfrmConnectorLogic& window = Window(600000);
    const QDateTime start = FClock.Now();
    bool exitPosted = false;
    FClock.OnSleep = [&] {
        // Ten seconds into the pause the user picks Exit from the tray menu.
        if (!exitPosted && start.msecsTo(FClock.Now()) > 11000) {
            exitPosted = true;
            QMetaObject::invokeMethod(window.Exit1, &QAction::trigger, Qt::QueuedConnection);
        }
    };
    QElapsedTimer timer;
    timer.start();
    window.show();
    ASSERT_TRUE(RunUntil([&] { return window.Logic()->FClosing; }));
    QCoreApplication::processEvents();
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_LT(start.msecsTo(FClock.Now()), 20000);
    EXPECT_FALSE(window.Logic()->tmProcess->isActive());
    FClock.OnSleep = nullptr;
    const QString log = LogText();
    EXPECT_TRUE(log.contains("|TdlgConnectorLogic.WMLogicInit                    | Pausing 600 "
                             "seconds to allow Oracle to settle..."))
        << log.toStdString();
    EXPECT_FALSE(log.contains("Oracle pause completed"));
    EXPECT_FALSE(log.contains("TdlgConnectorLogic.InitDatabase"));
}

TEST_F(WindowTest, ExitEndsTheWaitForAMissingConfiguration) {
    TfrmConnectorLogic& window = Window(0);
    ASSERT_TRUE(QFile::remove(ConfigFilePath()));
    const QDateTime start = FClock.Now();
    bool exitPosted = false;
    FClock.OnSleep = [&] {
        if (!exitPosted && start.msecsTo(FClock.Now()) > 5000) {
            exitPosted = true;
            QMetaObject::invokeMethod(window.Exit1, &QAction::trigger, Qt::QueuedConnection);
        }
    };
    window.show();
    ASSERT_TRUE(RunUntil([&] { return window.Logic()->FClosing; }));
    QCoreApplication::processEvents();
    EXPECT_LT(start.msecsTo(FClock.Now()), 10000);
    EXPECT_FALSE(window.Logic()->FEnabled);
    EXPECT_FALSE(window.Logic()->tmProcess->isActive());
    FClock.OnSleep = nullptr;
    EXPECT_TRUE(LogText().contains("Configuration not found.  Pausing..."));
}

TEST_F(WindowTest, VersionLabelsShowVersionAndRelease) {
    TfrmConnectorLogic& window = Window(0);
    struct TCase {
        const char* version;
        const char* versionLabel;
        const char* releaseLabel; // nullptr: hidden
    };
    const TCase cases[] = {
        {"3.1.7.20", "Version: 3.1", "Release: 7"},
        {"1.0.0.0", "Version: 1.0", "Release: 0"},
        {"", "Version: ", nullptr},
        {"3.1", "Version: 3.1", nullptr},
    };
    for (const TCase& c : cases) {
        window.DisplayVersion(QString::fromLatin1(c.version));
        EXPECT_EQ(window.lblVersion->text(), c.versionLabel) << c.version;
        EXPECT_EQ(window.lblRelease->isVisibleTo(&window), c.releaseLabel != nullptr) << c.version;
        if (c.releaseLabel) {
            EXPECT_EQ(window.lblRelease->text(), c.releaseLabel) << c.version;
        }
    }
}

} // namespace
