// The configuration utility's window in-process under the offscreen
// platform: time entry, what it shows and saves, the location list against
// the sample database, the preview and the about box. Time comes from a
// manual clock; waits are bounded loops over the event queue.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVClock.h"
#include "common/uOVLogging.h"
#include "configurator/fBrevolt9About.h"
#include "configurator/fBrevolt9Config.h"
#include "configurator/fBrevolt9Preview.h"
#include "configurator/uConfiguratorDatabase.h"
#include "configurator/uConnectionTests.h"
#include "configurator/uScreenFit.h"
#include "tests/support/FtpServer.h"
#include "tests/support/SampleEnvironment.h"
#include "tests/support/TestApplication.h"
#include "tests/support/TestAppLogger.h"
#include "tests/support/TestSupport.h"

#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDateEdit>
#include <QDateTimeEdit>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardItemModel>
#include <QTabBar>
#include <QTableView>
#include <QTabWidget>
#include <QTest>
#include <QTimeEdit>

using namespace uBrevoltRPro9ConnectorCommon;
using testsupport::RunUntil;
using testsupport::TSampleEnvironment;

namespace {

// The message boxes showing over AParent; the "please wait" notes, which
// the code deletes itself, aside.
QList<QMessageBox*> OpenBoxes(const QWidget& AParent) {
    QList<QMessageBox*> boxes;
    for (QMessageBox* box : AParent.findChildren<QMessageBox*>())
        if (box->isVisible() && box->testAttribute(Qt::WA_DeleteOnClose))
            boxes.append(box);
    return boxes;
}

QStringList BoxTexts(const QWidget& AParent) {
    QStringList texts;
    for (const QMessageBox* box : OpenBoxes(AParent))
        texts.append(box->text());
    return texts;
}

// Clicks OK on every open box once it has become the active window, then
// gives the activation back to AWindow as a window manager would (the
// offscreen platform activates nothing when a window hides).
void CloseBoxes(QWidget& AWindow) {
    for (QMessageBox* box : OpenBoxes(AWindow)) {
        EXPECT_TRUE(RunUntil([&] { return QApplication::activeWindow() == box; }))
            << box->text().toStdString();
        QAbstractButton* close = box->button(QMessageBox::Ok);
        QTest::mouseClick(close ? close : box->escapeButton(), Qt::LeftButton);
    }
    if (AWindow.isVisible()) {
        AWindow.activateWindow();
        EXPECT_TRUE(RunUntil([&] { return QApplication::activeWindow() == &AWindow; }));
    }
}

// The record as the file holds it: a fresh record filled by LoadConfig.
TConnectorConfig Reload() {
    Config() = TConnectorConfig();
    bool scheduleChanged = false;
    EXPECT_TRUE(LoadConfig(scheduleChanged)) << ConfigFilePath().toStdString();
    return Config();
}

// Writes AConfig as the stored configuration.
void Store(const TConnectorConfig& AConfig) {
    Config() = AConfig;
    SaveConfig();
    Config() = TConnectorConfig();
}

QStringList RowItems(const TfrmBrevoltConfig& AWindow) {
    QStringList items;
    for (int i = 0; i < AWindow.grdLocations->PanelCount(); ++i)
        items.append(static_cast<TStorePanel*>(AWindow.grdLocations->GetPanel(i))->LocationItem());
    return items;
}

QStringList CheckedItems(const TfrmBrevoltConfig& AWindow) {
    QStringList items;
    for (int i = 0; i < AWindow.grdLocations->PanelCount(); ++i) {
        auto* panel = static_cast<TStorePanel*>(AWindow.grdLocations->GetPanel(i));
        if (panel->cbInclude->isChecked())
            items.append(panel->LocationItem());
    }
    return items;
}

bool Highlighted(const QWidget* APanel) {
    return APanel->palette().color(QPalette::Window) == TControlGrid::HighlightColor;
}

class ConfiguratorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (QApplication::instance())
            return;
#ifndef _WIN32
        // Also when started by hand, outside ctest (Windows takes the system's zone).
        if (qEnvironmentVariableIsEmpty("TZ")) {
            qputenv("TZ", "America/New_York");
            tzset();
        }
#endif
        // The locale runs bring their own.
        if (qEnvironmentVariableIsEmpty("LC_ALL"))
            qputenv("LC_ALL", "C.UTF-8");
        testsupport::EnsureApplication("test_configurator");
    }

    void SetUp() override {
        uOVUtils::SetExeDir(FDir.Dir() + "service/");
        ASSERT_TRUE(QDir().mkpath(uOVUtils::ExeDir()));
        uOVLogging::SetLogDir(FDir.Dir() + "logs/");
        ASSERT_TRUE(QDir().mkpath(uOVLogging::LogDir()));
        Config() = TConnectorConfig();
        uBrevoltRPro9ConnectorSQLs::ResetSession();
        uBrevoltRPro9ConnectorSQLs::ClearVersionCache();
        SetClock(&FClock);
        testsupport::StartTestAppLogger("ConfiguratorTest");
    }

    void TearDown() override {
        // The worker must be idle before its session is taken away.
        EXPECT_TRUE(RunUntil([] { return !uConfiguratorDatabase::Busy(); }, 10000));
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible())
                w->close();
        QCoreApplication::processEvents();
        uBrevoltRPro9ConnectorSQLs::ResetSession();
        testsupport::EndTestAppLogger();
        SetClock(nullptr);
        Config() = TConnectorConfig();
    }

    // Shows the window, lets its store list answer, closes what that
    // brought up (the error of a missing database) and makes it active.
    static void Settle(TfrmBrevoltConfig& AWindow) {
        QSignalSpy loaded(&AWindow, &TfrmBrevoltConfig::LocationsLoadFinished);
        AWindow.show();
        ASSERT_TRUE(RunUntil([&] { return loaded.count() > 0; }));
        ASSERT_TRUE(RunUntil([&] { return !AWindow.LocationsLoading(); }));
        CloseBoxes(AWindow);
        Activate(AWindow);
    }

    static void Activate(QWidget& AWindow) {
        AWindow.activateWindow();
        ASSERT_TRUE(RunUntil([&] { return QApplication::activeWindow() == &AWindow; }));
    }

    testsupport::TTempDir FDir;
    // No registry unless a test writes one or brings the sample environment.
    testsupport::TTestRegistry FRegistry{FDir.Path()};
    TManualClock FClock{TSampleEnvironment::DefaultNow()};
};

// --- Time entry ---------------------------------------------------------------

TEST_F(ConfiguratorTest, TimeFieldsNormaliseOrRejectTheEntry) {
    TfrmBrevoltConfig window;
    Settle(window);

    struct TCase {
        const char* Typed;
        const char* Shown;    // the field's text once accepted
        const char* Rejected; // the working text the rejection names; nullptr: accepted
    };
    const TCase cases[] = {
        {"9:05 pm", "09:05 PM", nullptr},
        {"9:05pm", "09:05 PM", nullptr},
        {"13:30", "01:30 PM", nullptr},
        {"00:15", "12:15 AM", nullptr},
        {"12:00", "12:00 PM", nullptr},
        {"12:30", "12:30 PM", nullptr},
        {"", "", nullptr},
        {"9:5", nullptr, "09:5"},
        {"9:05p", nullptr, "09:05 P"},
        {"25:00", nullptr, "13:00 PM"},
        {"abc", nullptr, "ABC"},
    };
    // Each entry is left three ways: the handler called directly, and Tab out
    // of a sleep field and out of a day field.
    enum TWay { Validate, TabAway };
    struct TField {
        QLineEdit* Edit;
        QRadioButton* Mode; // the scheduling that shows the field
        TWay Way;
    };
    const TField fields[] = {
        {window.edtSleepBegin, window.rbIntervals, Validate},
        {window.edtSleepBegin, window.rbIntervals, TabAway},
        {window.edtDayTimes[3][2], window.rbTimes, TabAway},
    };

    for (const TField& f : fields) {
        f.Mode->click();
        for (const TCase& c : cases) {
            const std::string label = std::string("'") + c.Typed + "' " +
                                      f.Edit->accessibleName().toStdString() +
                                      (f.Way == Validate ? " validated" : " tabbed");
            f.Edit->setFocus(Qt::MouseFocusReason);
            ASSERT_TRUE(RunUntil([&] { return QApplication::focusWidget() == f.Edit; })) << label;
            f.Edit->clear();
            QTest::keyClicks(f.Edit, QString::fromUtf8(c.Typed));
            if (f.Way == Validate)
                EXPECT_EQ(window.ValidateTimeControl(f.Edit), c.Rejected == nullptr) << label;
            else
                QTest::keyClick(f.Edit, Qt::Key_Tab);

            if (!c.Rejected) {
                EXPECT_EQ(f.Edit->text(), QString::fromUtf8(c.Shown)) << label;
                EXPECT_TRUE(OpenBoxes(window).isEmpty()) << label;
                continue;
            }
            EXPECT_EQ(BoxTexts(window),
                      QStringList{QStringLiteral("Invalid date time entered: \"%1\"")
                                      .arg(QString::fromUtf8(c.Rejected))})
                << label;
            EXPECT_EQ(f.Edit->text(), QString::fromUtf8(c.Typed)) << label;
            CloseBoxes(window);
            EXPECT_TRUE(RunUntil([&] { return QApplication::focusWidget() == f.Edit; })) << label;
            EXPECT_EQ(f.Edit->text(), QString::fromUtf8(c.Typed)) << label;
            EXPECT_TRUE(OpenBoxes(window).isEmpty()) << label;
            f.Edit->clear(); // so that the next case starts from a valid field
        }
    }
}

TEST_F(ConfiguratorTest, ClickingSaveOnARejectedTimeSavesNothing) {
    Store(TConnectorConfig());
    const QByteArray before = testsupport::ReadFileBytes(ConfigFilePath());
    TfrmBrevoltConfig window;
    Settle(window);
    window.rbIntervals->click();
    window.edtSleepBegin->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(RunUntil([&] { return QApplication::focusWidget() == window.edtSleepBegin; }));
    window.edtSleepBegin->clear();
    QTest::keyClicks(window.edtSleepBegin, "abc");
    // Through the window system, as a user's click comes.
    auto clickSave = [&] {
        QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {},
                          window.btnSave->mapTo(&window, window.btnSave->rect().center()));
        QCoreApplication::processEvents();
    };
    clickSave();
    EXPECT_EQ(BoxTexts(window), QStringList{"Invalid date time entered: \"ABC\""});
    EXPECT_TRUE(window.isVisible());
    EXPECT_NE(window.result(), QDialog::Accepted);
    EXPECT_EQ(testsupport::ReadFileBytes(ConfigFilePath()), before);

    CloseBoxes(window);
    ASSERT_TRUE(RunUntil([&] { return QApplication::focusWidget() == window.edtSleepBegin; }));
    window.edtSleepBegin->selectAll();
    QTest::keyClicks(window.edtSleepBegin, "10:00 pm");
    clickSave();
    EXPECT_TRUE(BoxTexts(window).isEmpty());
    EXPECT_EQ(window.result(), QDialog::Accepted);
    EXPECT_EQ(FormatConfigTime(Reload().sleepbegin), "10:00 PM");
}

TEST_F(ConfiguratorTest, ASaveRefusesARecipientEntryThatIsNoAddress) {
    TConnectorConfig stored;
    stored.notifications = true;
    Store(stored);
    const QByteArray before = testsupport::ReadFileBytes(ConfigFilePath());
    TfrmBrevoltConfig window;
    Settle(window);
    window.edtStartupEmails->setText("\"Smith, Jr.\" <sales@shop.example>; ops@shop.example");
    window.edtErrorEmails->setText("ops@shop.example, the owner");
    window.btnSave->click();
    EXPECT_EQ(BoxTexts(window),
              QStringList{"The entry \"the owner\" under \"Errors:\" is not a mail address."});
    EXPECT_NE(window.result(), QDialog::Accepted);
    EXPECT_EQ(testsupport::ReadFileBytes(ConfigFilePath()), before);
    CloseBoxes(window);

    // Fields that are off cannot be mended, so they stop no save.
    window.cbNotificationsEnabled->setChecked(false);
    window.btnSave->click();
    EXPECT_TRUE(BoxTexts(window).isEmpty());
    EXPECT_EQ(window.result(), QDialog::Accepted);
    EXPECT_EQ(Reload().startupemails, "\"Smith, Jr.\" <sales@shop.example>; ops@shop.example");
}

TEST_F(ConfiguratorTest, LeavingTheWindowMidEntryRejectsNothing) {
    TfrmBrevoltConfig window;
    Settle(window);
    window.rbIntervals->click();
    window.edtSleepBegin->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(RunUntil([&] { return QApplication::focusWidget() == window.edtSleepBegin; }));
    window.edtSleepBegin->clear();
    QTest::keyClicks(window.edtSleepBegin, "9:0");

    QWidget other; // another program's window comes to the front
    other.show();
    other.activateWindow();
    ASSERT_TRUE(RunUntil([&] { return QApplication::activeWindow() == &other; }));
    EXPECT_TRUE(OpenBoxes(window).isEmpty());
    EXPECT_EQ(window.edtSleepBegin->text(), "9:0");

    window.activateWindow();
    ASSERT_TRUE(RunUntil([&] { return QApplication::focusWidget() == window.edtSleepBegin; }));
    QTest::keyClicks(window.edtSleepBegin, "5 pm");
    QTest::keyClick(window.edtSleepBegin, Qt::Key_Tab);
    EXPECT_EQ(window.edtSleepBegin->text(), "09:05 PM");
    EXPECT_TRUE(OpenBoxes(window).isEmpty());
}

// --- What the window shows and saves ------------------------------------------

TEST_F(ConfiguratorTest, WithoutAFileOpensOnTheScheduleWithStartValues) {
    ASSERT_FALSE(QFileInfo::exists(ConfigFilePath()));
    TfrmBrevoltConfig window;
    Settle(window);
    EXPECT_EQ(window.spnInterval->value(), 1);
    EXPECT_EQ(window.spnOracleDelay->value(), 120);
    EXPECT_EQ(window.PageControl1->currentIndex(), 0);
    EXPECT_EQ(window.PageControl1->tabText(0), "Schedule");
    EXPECT_FALSE(QFileInfo::exists(ConfigFilePath())); // opening writes nothing
}

// What the file holds is shown, and a save without an edit writes it back;
// a value the field cannot show is kept and said beside the field.
TEST_F(ConfiguratorTest, IntervalAndDelayShowWhatIsStoredAndSaveItBack) {
    struct TCase {
        int StoredInterval, ShownInterval;
        bool IntervalNote;
        int StoredDelay, ShownDelay;
        bool DelayNote;
    };
    const TCase cases[] = {
        {3600000, 60, false, 0, 0, false},      // an hour; no settle delay
        {180000, 3, false, 45000, 45, false},   //
        {86400000, 1440, false, 1500, 2, true}, // a day; half seconds
        {90000, 2, true, 120000, 120, false},   // a minute and a half
        {0, 1, true, -5, 0, true},              // what the service corrects
        {172800000, 1440, true, 86400000, 86400, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.StoredInterval) + " " + std::to_string(c.StoredDelay));
        TConnectorConfig stored;
        stored.scaninterval = c.StoredInterval;
        stored.oracledelay = c.StoredDelay;
        Store(stored);
        {
            TfrmBrevoltConfig window;
            EXPECT_EQ(window.spnInterval->value(), c.ShownInterval);
            EXPECT_EQ(window.spnOracleDelay->value(), c.ShownDelay);
            EXPECT_EQ(!window.lblIntervalKept->isHidden(), c.IntervalNote);
            EXPECT_EQ(!window.lblOracleDelayKept->isHidden(), c.DelayNote);
            window.btnSave->click();
            EXPECT_EQ(window.result(), QDialog::Accepted);
        }
        const TConnectorConfig saved = Reload();
        EXPECT_EQ(saved.scaninterval, c.StoredInterval);
        EXPECT_EQ(saved.oracledelay, c.StoredDelay);
        // Changed, the field's own value is written.
        {
            TfrmBrevoltConfig window;
            window.spnInterval->setValue(c.ShownInterval == 5 ? 6 : 5);
            window.spnOracleDelay->setValue(7);
            window.btnSave->click();
        }
        EXPECT_EQ(Reload().scaninterval, (c.ShownInterval == 5 ? 6 : 5) * 60000);
        EXPECT_EQ(Reload().oracledelay, 7000);
    }
    TConnectorConfig zero;
    zero.scaninterval = 0;
    Store(zero);
    TfrmBrevoltConfig window;
    EXPECT_EQ(window.lblIntervalKept->text(), "The file holds 0 ms, which this field cannot "
                                              "show; a save keeps it unless you change the field.");
}

// A typed number outside a field's range is brought into it, and the field
// says so, rather than the last digit being dropped without a word.
TEST_F(ConfiguratorTest, ANumberOutsideASpinFieldsRangeIsBroughtInAndSaid) {
    TfrmBrevoltConfig window;
    Settle(window);
    window.rbIntervals->click();
    struct TCase {
        QSpinBox* Spin;
        QLabel* Note;
        const char* Typed;
        int Value;
        const char* Said; // nullptr: the note stays hidden
    };
    const TCase cases[] = {
        {window.spnLogLevel, window.lblLogLevelNote, "4", 4, nullptr},
        {window.spnLogLevel, window.lblLogLevelNote, "15", 9,
         "15 is outside 0 to 9; the field now holds 9."},
        {window.spnInterval, window.lblIntervalKept, "2000", 1440,
         "2000 is outside 1 to 1440; the field now holds 1440."},
        {window.spnInterval, window.lblIntervalKept, "0", 1,
         "0 is outside 1 to 1440; the field now holds 1."},
        {window.spnOracleDelay, window.lblOracleDelayKept, "99999999999", 2147483,
         "99999999999 is outside 0 to 2147483; the field now holds 2147483."},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Typed);
        c.Note->hide();
        window.PageControl1->setCurrentWidget(
            window.tsSchedule->isAncestorOf(c.Spin) ? window.tsSchedule : window.tsSettings);
        c.Spin->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(RunUntil([&] { return c.Spin->hasFocus(); }));
        c.Spin->selectAll();
        QTest::keyClicks(c.Spin, QString::fromUtf8(c.Typed));
        QTest::keyClick(c.Spin, Qt::Key_Tab);
        EXPECT_EQ(c.Spin->value(), c.Value);
        EXPECT_EQ(!c.Note->isHidden(), c.Said != nullptr);
        if (c.Said) {
            EXPECT_EQ(c.Note->text(), QString::fromUtf8(c.Said));
        }
    }
    window.btnSave->click();
    EXPECT_EQ(Reload().scaninterval, 60000);
    EXPECT_EQ(Reload().oracledelay, 2147483000);
}

TEST_F(ConfiguratorTest, SaveAndCloseWritesEveryField) {
    TConnectorConfig stored;
    stored.locations = QStringList{"001.002", "002.005"};
    Store(stored);
    TfrmBrevoltConfig window;
    Settle(window);

    // Every field away from its start value.
    window.rbIntervals->click();
    window.spnInterval->setValue(7);
    window.spnOracleDelay->setValue(45);
    window.edtSleepBegin->setText("10:30 PM");
    window.edtSleepEnd->setText("05:15 AM");
    window.edtDayTimes[0][0]->setText("08:00 AM");
    window.edtDayTimes[3][2]->setText("01:45 PM");
    window.edtDayTimes[6][5]->setText("11:59 PM");
    window.edtFTPServer->setText("ftp.example.test");
    window.edtFTPUsername->setText("shop7");
    window.edtFTPPassword->setText("s3cret|x");
    window.cbFTPUseTLS->setChecked(true);
    window.spnLogLevel->setValue(4);
    window.dtpLastRunDate->setDate(QDate(2024, 4, 2));
    window.dtpLastRunTime->setTime(QTime(13, 14, 15));
    window.cbRestartOnMissingData->setChecked(true);
    window.cbNotifyOnStartup->setChecked(true);
    window.cbNotificationsEnabled->setChecked(true);
    window.edtSMTPServer->setText("smtp.example.test");
    window.edtSMTPPort->setText("2525");
    window.cbUseSSLTLS->setChecked(false);
    window.edtSMTPUsername->setText("mailer");
    window.edtSMTPPassword->setText("m41l");
    window.edtSMTPFrom->setText("connector@example.test");
    window.edtStartupEmails->setText("a@example.test");
    window.edtShutdownEmails->setText("b@example.test,c@example.test");
    window.edtDailyPingEmails->setText("d@example.test");
    window.edtErrorEmails->setText("e@example.test");

    TConnectorConfig expected;
    expected.scanscheduling = 0;
    expected.scaninterval = 7 * 60000;
    expected.oracledelay = 45000;
    expected.sleepbegin = 22.5 / 24;
    expected.sleepend = 5.25 / 24;
    expected.DayTimes[0][0] = 8.0 / 24;
    expected.DayTimes[3][2] = 13.75 / 24;
    expected.DayTimes[6][5] = (23 * 60 + 59) / 1440.0;
    expected.locations = stored.locations; // the load failed: kept
    expected.lastquery = uOVUtils::ToDateTime(QDateTime(QDate(2024, 4, 2), QTime(13, 14, 15)));
    expected.ftpserver = "ftp.example.test";
    expected.ftpusername = "shop7";
    expected.ftppassword = "s3cret|x";
    expected.ftpusetls = true;
    expected.restartonmissingdata = true;
    expected.notifyonstartup = true;
    expected.notifications = true;
    expected.smtpserver = "smtp.example.test";
    expected.smtpport = 2525;
    expected.smtpusessltls = false;
    expected.smtpusername = "mailer";
    expected.smtppassword = "m41l";
    expected.smtpfrom = "connector@example.test";
    expected.startupemails = "a@example.test";
    expected.shutdownemails = "b@example.test,c@example.test";
    expected.dailypingemails = "d@example.test";
    expected.erroremails = "e@example.test";

    window.btnSave->click();
    EXPECT_EQ(window.result(), QDialog::Accepted);
    EXPECT_FALSE(window.isVisible());

    AppLogger->SetLogLevel(9);
    const TConnectorConfig saved = Reload();
    for (const QString& key : ConfigKeys()) {
        if (key == "loglevel")
            continue;
        EXPECT_EQ(ConfigValueText(saved, key), ConfigValueText(expected, key)) << key.toStdString();
    }
    EXPECT_EQ(saved.locations, expected.locations);
    EXPECT_EQ(uOVUtils::ToQDateTime(saved.lastquery),
              QDateTime(QDate(2024, 4, 2), QTime(13, 14, 15)));
    EXPECT_EQ(AppLogger->LogLevel(), 4);
}

TEST_F(ConfiguratorTest, SavingUntouchedFieldsWritesTheSameFile) {
    // What the service wrote, last run to the millisecond, both halves of
    // the year.
    for (const QDateTime& lastRun : {QDateTime(QDate(2024, 1, 15), QTime(10, 20, 30, 123)),
                                     QDateTime(QDate(2024, 7, 4), QTime(23, 59, 58, 999))}) {
        TConnectorConfig stored;
        stored.scanscheduling = 0;
        stored.scaninterval = 5 * 60000;
        stored.sleepbegin = 23.0 / 24;
        stored.sleepend = 4.5 / 24;
        stored.oracledelay = 30000;
        stored.locations = QStringList{"002.001", "001.002"};
        stored.lastquery = uOVUtils::ToDateTime(lastRun);
        stored.DayTimes[1][0] = 9.0 / 24;
        stored.DayTimes[5][1] = 17.5 / 24;
        stored.ftpserver = "ftp.example.test";
        stored.ftpusername = "shop7";
        stored.ftppassword = "pw";
        stored.notifications = true;
        stored.smtpserver = "smtp.example.test";
        stored.smtpport = 587;
        stored.smtpusessltls = false;
        stored.smtpusername = "mailer";
        stored.smtppassword = "m41l";
        stored.smtpfrom = "connector@example.test";
        stored.startupemails = "a@example.test";
        stored.shutdownemails = "b@example.test";
        stored.dailypingemails = "c@example.test";
        stored.erroremails = "d@example.test";
        stored.restartonmissingdata = true;
        stored.notifyonstartup = true;
        AppLogger->SetLogLevel(3);
        Store(stored);
        const QString before = Reload().ConfigText;
        {
            TfrmBrevoltConfig window;
            Settle(window);
            window.btnSave->click();
            EXPECT_EQ(window.result(), QDialog::Accepted);
        }
        EXPECT_EQ(Reload().ConfigText, before) << lastRun.toString(Qt::ISODateWithMs).toStdString();
    }
}

TEST_F(ConfiguratorTest, RunImmediatelySavesTheRequestAndTheEditsEvenIfCancelled) {
    Store(TConnectorConfig());
    TfrmBrevoltConfig window;
    Settle(window);
    window.edtFTPServer->setText("ftp.changed.test");
    window.btnRunImmediate->click();
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.btnRunImmediate->styleSheet().contains("#e02020"));
    EXPECT_TRUE(OpenBoxes(window).isEmpty());

    window.btnCancel->click();
    EXPECT_EQ(window.result(), QDialog::Rejected);
    const TConnectorConfig saved = Reload();
    EXPECT_TRUE(saved.runimmediate);
    EXPECT_EQ(saved.ftpserver, "ftp.changed.test");
}

TEST(ScreenFit, WindowsKeepTheirDesignSizeWhereTheyFitAndStayOnScreen) {
    struct TCase {
        QSize Design;
        QRect Area;
        QPoint Centre;
        QRect Expected; // frame's top left, client size
    };
    const QSize config = TfrmBrevoltConfig::DesignSize;
    const TCase cases[] = {
        {config, {0, 0, 1920, 1040}, {}, {614, 77, 676, 838}},
        // 1366 x 768 less a panel: the height shrinks, the top stays on screen.
        {config, {0, 0, 1366, 728}, {}, {337, 0, 676, 680}},
        {config, {0, 32, 1366, 736}, {}, {337, 32, 676, 688}},
        {{327, 588}, {0, 0, 800, 600}, {100, 100}, {0, 0, 327, 552}},
        {{2000, 300}, {1920, 0, 1280, 1024}, {}, {1920, 338, 1264, 300}},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(uScreenFit::FittedGeometry(c.Design, c.Area, c.Centre), c.Expected)
            << c.Area.width() << "x" << c.Area.height();
}

TEST_F(ConfiguratorTest, SaysWhichFileItEditsAndWhatIsWrongWithIt) {
    const QString path = QDir::toNativeSeparators(ConfigFilePath());
    const QString noService = "\nNo service directory is registered, so the service does not "
                              "read this file; install the service first.";
    struct TCase {
        const char* Name;
        bool Registered;
        std::function<void()> Prepare;
        QString Line;
    };
    const TCase cases[] = {
        {"readable", true, [] { Store(TConnectorConfig()); }, "Settings file: " + path},
        {"missing", true, [&] { QFile::remove(ConfigFilePath()); },
         "Settings file: " + path + " (not there yet: saving creates it)"},
        {"unreadable", true,
         [&] {
             QFile::remove(ConfigFilePath());
             QDir().mkpath(ConfigFilePath()); // a directory in the way
         },
         "Settings file: " + path +
             "\nIt could not be read: the window shows the start values, and nothing is "
             "written until you save."},
        {"no service directory", false,
         [&] {
             QDir(ConfigFilePath()).removeRecursively();
             Store(TConnectorConfig());
         },
         "Settings file: " + path + noService},
    };
    for (const TCase& c : cases) {
        if (c.Registered)
            FRegistry.WriteServiceDirectory(QDir::toNativeSeparators(uOVUtils::ExeDir()));
        else
            FRegistry.Write(QString());
        c.Prepare();
        TfrmBrevoltConfig window;
        EXPECT_EQ(window.lblConfigFile->text(), c.Line) << c.Name;
        EXPECT_EQ(window.lblConfigFile->styleSheet().isEmpty(),
                  c.Line == "Settings file: " + path ||
                      c.Line.endsWith("(not there yet: saving creates it)"))
            << c.Name;
    }
    QDir(path).removeRecursively();
}

TEST_F(ConfiguratorTest, ATestThatRunsSaysSoOnItsButton) {
    testsupport::TFtpServer mute(QStringLiteral("shop"), QStringLiteral("pw"),
                                 QStringLiteral("mute"));
    ASSERT_TRUE(mute.Running());
    uConnectionTests::FtpTestLimits() = {1000, 1000};
    TfrmBrevoltConfig window;
    Settle(window);
    QSignalSpy finished(&window, &TfrmBrevoltConfig::ConnectionTestFinished);
    window.edtFTPServer->setText(mute.Address());
    window.edtFTPUsername->setText("shop");
    window.edtFTPPassword->setText("pw");
    window.btnTestFTP->click();
    EXPECT_EQ(window.btnTestFTP->text(), "Testing\u2026");
    EXPECT_FALSE(window.btnTestFTP->isEnabled());
    EXPECT_EQ(window.btnTestFTP->accessibleName(), "Test FTP");
    EXPECT_TRUE(RunUntil([&] { return finished.count() > 0; }, 10000));
    EXPECT_EQ(window.btnTestFTP->text(), "Test");
    EXPECT_TRUE(window.btnTestFTP->isEnabled());
    uConnectionTests::FtpTestLimits() = {};
}

TEST_F(ConfiguratorTest, SavingNotificationsWithoutWhatTheServiceNeedsAsksFirst) {
    const char* const captions[] = {
        "SMTP server:", "SMTP username:", "SMTP password:", "From email address:"};
    for (int empty = 0; empty < 4; ++empty) {
        TConnectorConfig stored;
        stored.notifications = true;
        Store(stored);
        const QByteArray before = testsupport::ReadFileBytes(ConfigFilePath());
        TfrmBrevoltConfig window;
        Settle(window);
        QLineEdit* const fields[] = {window.edtSMTPServer, window.edtSMTPUsername,
                                     window.edtSMTPPassword, window.edtSMTPFrom};
        for (int i = 0; i < 4; ++i)
            fields[i]->setText(i == empty ? "" : "x@example.test");
        window.btnSave->click();
        EXPECT_EQ(BoxTexts(window),
                  QStringList{QString("Notifications are enabled, but \"%1\" is empty, so the "
                                      "service sends no notices. Save anyway?")
                                  .arg(captions[empty])});
        CloseBoxes(window); // "Keep editing"
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(testsupport::ReadFileBytes(ConfigFilePath()), before);
        window.btnSave->click();
        for (QAbstractButton* button : OpenBoxes(window).value(0)->buttons())
            if (button->text() == "Save")
                QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_TRUE(RunUntil([&] { return window.result() == QDialog::Accepted; }));
        EXPECT_EQ(Reload().smtpfrom, empty == 3 ? "" : "x@example.test");
    }
}

TEST_F(ConfiguratorTest, CancelOrEscapeWithUnsavedEditsAsksFirst) {
    Store(TConnectorConfig());
    const QByteArray before = testsupport::ReadFileBytes(ConfigFilePath());
    const auto answer = [](TfrmBrevoltConfig& AWindow, const QString& AButton) {
        const QList<QMessageBox*> boxes = OpenBoxes(AWindow);
        ASSERT_EQ(boxes.size(), 1);
        EXPECT_EQ(boxes.first()->text(), "Discard your changes?");
        for (QAbstractButton* button : boxes.first()->buttons())
            if (button->text() == AButton)
                QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_TRUE(RunUntil([&] { return OpenBoxes(AWindow).isEmpty(); }));
    };
    {
        // Nothing edited: the window closes at once.
        TfrmBrevoltConfig window;
        window.show();
        Settle(window);
        QTest::keyClick(&window, Qt::Key_Escape);
        EXPECT_TRUE(OpenBoxes(window).isEmpty());
        EXPECT_EQ(window.result(), QDialog::Rejected);
    }
    for (const bool byKey : {false, true}) {
        TfrmBrevoltConfig window;
        window.show();
        Settle(window);
        window.edtFTPServer->setText("ftp.changed.test");
        const auto cancel = [&] {
            if (byKey)
                QTest::keyClick(&window, Qt::Key_Escape);
            else
                window.btnCancel->click();
        };
        cancel();
        answer(window, "Keep editing");
        EXPECT_TRUE(window.isVisible()) << byKey;
        cancel();
        answer(window, "Discard");
        EXPECT_FALSE(window.isVisible()) << byKey;
        EXPECT_EQ(window.result(), QDialog::Rejected);
    }
    EXPECT_EQ(testsupport::ReadFileBytes(ConfigFilePath()), before);
}

// The service clears "runimmediate" when it takes the run up; only the save
// of "Run Immediately" itself writes the request.
TEST_F(ConfiguratorTest, OnlyRunImmediatelyWritesTheRunRequest) {
    for (const bool requested : {false, true}) {
        TConnectorConfig stored;
        stored.runimmediate = requested;
        Store(stored);
        TfrmBrevoltConfig window;
        Settle(window);
        window.btnRunImmediate->click();
        ASSERT_TRUE(Reload().runimmediate);
        // The service takes the run up: its key only.
        const TConnectorConfig held = Config();
        Config().runimmediate = false;
        SaveConfigKeys({QStringLiteral("runimmediate")});
        Config() = held;
        window.edtFTPServer->setText("ftp.changed.test");
        window.btnSave->click();
        ASSERT_EQ(window.result(), QDialog::Accepted);
        const TConnectorConfig saved = Reload();
        EXPECT_FALSE(saved.runimmediate) << requested;
        EXPECT_EQ(saved.ftpserver, "ftp.changed.test");
    }
}

// The service advances "lastquery" after each upload while the window may be
// open: a save writes it only when the administrator changed the field.
TEST_F(ConfiguratorTest, ASaveKeepsTheLastQueryTheServiceMovedUnlessItWasEdited) {
    TConnectorConfig stored;
    stored.lastquery = uOVUtils::ToDateTime(QDateTime(QDate(2024, 5, 1), QTime(8, 0)));
    const TDateTime advanced = uOVUtils::ToDateTime(QDateTime(QDate(2024, 5, 9), QTime(17, 30)));
    const TDateTime edited = uOVUtils::ToDateTime(QDateTime(QDate(2024, 4, 2), QTime(6, 15)));
    for (const bool edit : {false, true}) {
        Store(stored);
        TfrmBrevoltConfig window;
        Settle(window);
        // What the service writes after an upload, as it does: its key only.
        const TConnectorConfig held = Config();
        Config().lastquery = advanced;
        SaveConfigKeys({QStringLiteral("lastquery")});
        Config() = held;
        if (edit) {
            window.dtpLastRunDate->setDate(QDate(2024, 4, 2));
            window.dtpLastRunTime->setTime(QTime(6, 15));
        }
        window.edtFTPServer->setText("ftp.changed.test");
        window.btnSave->click();
        ASSERT_EQ(window.result(), QDialog::Accepted) << edit;
        const TConnectorConfig saved = Reload();
        EXPECT_NEAR(saved.lastquery, edit ? edited : advanced, 1.0 / 86400000) << edit;
        EXPECT_EQ(saved.ftpserver, "ftp.changed.test") << edit;
    }
}

TEST_F(ConfiguratorTest, APortThatIsNoNumberKeepsTheStoredPort) {
    const struct {
        const char* Typed;
        int Saved;
    } cases[] = {{"abc", 2525}, {"25x", 2525}, {"", 2525}, {" 587 ", 587}};
    for (const auto& c : cases) {
        TConnectorConfig stored;
        stored.smtpport = 2525;
        Store(stored);
        {
            TfrmBrevoltConfig window;
            EXPECT_EQ(window.edtSMTPPort->text(), "2525");
            window.edtSMTPPort->setText(c.Typed);
            window.btnSave->click();
            EXPECT_EQ(window.result(), QDialog::Accepted) << c.Typed;
        }
        EXPECT_EQ(Reload().smtpport, c.Saved) << c.Typed;
    }
}

TEST_F(ConfiguratorTest, NotificationsSwitchExactlyTheMailFields) {
    TfrmBrevoltConfig window;
    Settle(window);
    const QSet<QWidget*> mailFields{
        window.edtSMTPServer,      window.edtSMTPPort,      window.cbUseSSLTLS,
        window.edtSMTPUsername,    window.edtSMTPPassword,  window.edtSMTPFrom,
        window.btnTestSMTP,        window.edtStartupEmails, window.edtShutdownEmails,
        window.edtDailyPingEmails, window.edtErrorEmails};
    // Every input of the settings page (spin fields' inner editors aside).
    QList<QWidget*> inputs;
    for (QWidget* w : window.tsSettings->findChildren<QWidget*>())
        if ((qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractButton*>(w) ||
             qobject_cast<QAbstractSpinBox*>(w)) &&
            !qobject_cast<QAbstractSpinBox*>(w->parentWidget()))
            inputs.append(w);
    ASSERT_GT(inputs.size(), mailFields.size() + 8);

    auto disabled = [&] {
        QSet<QWidget*> set;
        for (QWidget* w : inputs)
            if (!w->isEnabled())
                set.insert(w);
        return set;
    };
    EXPECT_FALSE(window.cbNotificationsEnabled->isChecked());
    EXPECT_EQ(disabled(), mailFields) << "on opening";
    for (const bool on : {true, false, true}) {
        window.cbNotificationsEnabled->click();
        ASSERT_EQ(window.cbNotificationsEnabled->isChecked(), on);
        EXPECT_EQ(disabled(), on ? QSet<QWidget*>() : mailFields) << on;
    }
}

TEST_F(ConfiguratorTest, AFailedSaveKeepsTheWindowOpenAndShowsTheError) {
    testsupport::WriteFileBytes(FDir.File("plain-file"), "not a folder");
    const QString folders[] = {FDir.File("plain-file") + "/service/",
                               FDir.Dir() + "missing/service/"};
    for (const QString& folder : folders) {
        uOVUtils::SetExeDir(folder);
        QString expected;
        try {
            SaveConfig();
        } catch (const std::exception& E) {
            expected = ExceptionMessage(E);
        }
        ASSERT_FALSE(expected.isEmpty()) << folder.toStdString();
        Config() = TConnectorConfig();

        for (QPushButton* TfrmBrevoltConfig::*button :
             {&TfrmBrevoltConfig::btnSave, &TfrmBrevoltConfig::btnRunImmediate}) {
            TfrmBrevoltConfig window;
            Settle(window);
            (window.*button)->click();
            const std::string label =
                folder.toStdString() + " " + (window.*button)->text().toStdString();
            EXPECT_TRUE(window.isVisible()) << label;
            EXPECT_NE(window.result(), QDialog::Accepted) << label;
            const QList<QMessageBox*> boxes = OpenBoxes(window);
            ASSERT_EQ(boxes.size(), 1) << label;
            EXPECT_EQ(boxes[0]->text(), expected) << label;
            EXPECT_EQ(boxes[0]->icon(), QMessageBox::Critical) << label;
            EXPECT_FALSE(QFileInfo::exists(ConfigFilePath())) << label;
        }
    }
}

// --- Location list --------------------------------------------------------------

class LocationListTest : public ConfiguratorTest {
protected:
    void SetUp() override {
        ConfiguratorTest::SetUp();
        FEnv = std::make_unique<TSampleEnvironment>();
        uOVUtils::SetExeDir(FEnv->Paths().ServiceDirectory);
        TConnectorConfig stored;
        stored.locations = QStringList{"002.001", "001.002", "001.003"};
        Store(stored);
    }
    void TearDown() override {
        ConfiguratorTest::TearDown();
        FEnv.reset();
    }
    QString StoredLocations() { return LocationsToText(Reload().locations); }

    std::unique_ptr<TSampleEnvironment> FEnv;
};

TEST_F(LocationListTest, ListsActiveStoresTicksTheConfiguredAndSavesOnlyOnSave) {
    TfrmBrevoltConfig window;
    Settle(window);
    EXPECT_TRUE(window.LocationsLoaded());
    EXPECT_TRUE(BoxTexts(window).isEmpty());
    EXPECT_EQ(RowItems(window), (QStringList{"001.001", "001.002", "002.001", "002.005"}));
    EXPECT_EQ(CheckedItems(window), (QStringList{"001.002", "002.001"}));
    const TStorePanel* munich = window.StorePanel("002.005");
    ASSERT_NE(munich, nullptr);
    EXPECT_EQ(munich->lblSbsName->text(), "Outlet Süd");
    EXPECT_EQ(munich->lblStoreCode->text(), "205");
    EXPECT_EQ(munich->lblStoreName->text(), "Outlet München");

    const QByteArray before = testsupport::ReadFileBytes(ConfigFilePath());
    window.StorePanel("001.001")->cbInclude->click();
    window.StorePanel("002.001")->cbInclude->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(testsupport::ReadFileBytes(ConfigFilePath()), before);

    window.btnSave->click();
    EXPECT_EQ(window.result(), QDialog::Accepted);
    // The inactive store's item goes with the rebuilt list.
    EXPECT_EQ(StoredLocations(), "001.001|001.002");
}

TEST_F(LocationListTest, SavingWithoutLoadedRowsKeepsTheStoredLocations) {
    const QString stored = "002.001|001.002|001.003";
    {
        TfrmBrevoltConfig window; // saved before its rows are asked for
        window.btnSave->click();
        EXPECT_EQ(window.result(), QDialog::Accepted);
        EXPECT_FALSE(window.LocationsLoaded());
    }
    EXPECT_EQ(StoredLocations(), stored);

    FEnv->Registry().Write(QString());
    TfrmBrevoltConfig window;
    QSignalSpy loaded(&window, &TfrmBrevoltConfig::LocationsLoadFinished);
    window.show();
    ASSERT_TRUE(RunUntil([&] { return loaded.count() > 0; }));
    const QList<QMessageBox*> boxes = OpenBoxes(window);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0]->icon(), QMessageBox::Critical);
    EXPECT_FALSE(boxes[0]->text().isEmpty());
    EXPECT_FALSE(window.LocationsLoaded());
    EXPECT_EQ(window.grdLocations->PanelCount(), 0);
    CloseBoxes(window);
    window.btnSave->click();
    EXPECT_EQ(window.result(), QDialog::Accepted);
    EXPECT_EQ(StoredLocations(), stored);
}

TEST_F(LocationListTest, AFailedStoreListSaysWhatToCheckAndCanBeRetried) {
    const QString database = FEnv->Paths().DatabaseFile;
    ASSERT_TRUE(QFile::rename(database, database + ".away"));
    TfrmBrevoltConfig window;
    QSignalSpy loaded(&window, &TfrmBrevoltConfig::LocationsLoadFinished);
    window.show();
    ASSERT_TRUE(RunUntil([&] { return loaded.count() > 0; }));
    QList<QMessageBox*> boxes = OpenBoxes(window);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0]->text().startsWith(fBrevolt9Config::StoreListFailedText + "\n\n"));
    EXPECT_TRUE(boxes[0]->text().contains(database)) << boxes[0]->text().toStdString();
    QAbstractButton* retry = nullptr;
    for (QAbstractButton* button : boxes[0]->buttons())
        if (button->text() == "Retry")
            retry = button;
    ASSERT_NE(retry, nullptr);
    ASSERT_TRUE(QFile::rename(database + ".away", database));
    QTest::mouseClick(retry, Qt::LeftButton);
    ASSERT_TRUE(RunUntil([&] { return loaded.count() > 1; }));
    EXPECT_TRUE(BoxTexts(window).isEmpty());
    EXPECT_TRUE(window.LocationsLoaded());
    EXPECT_EQ(window.grdLocations->PanelCount(), 4);
}

// A preview that failed while the database was away leaves nothing behind
// that keeps the next one from working.
TEST_F(LocationListTest, APreviewWorksAgainOnceTheDatabaseIsBack) {
    TfrmBrevoltConfig window;
    Settle(window);
    const QString database = FEnv->Paths().DatabaseFile;
    ASSERT_TRUE(QFile::rename(database, database + ".away"));
    window.StorePanel("001.001")->btnPreview->click();
    ASSERT_TRUE(RunUntil([&] { return !OpenBoxes(window).isEmpty(); }));
    const QStringList texts = BoxTexts(window);
    ASSERT_EQ(texts.size(), 1);
    EXPECT_TRUE(texts[0].startsWith(fBrevolt9Config::PreviewFailedText + "\n\n") &&
                texts[0].contains(database) && texts[0].contains("does not exist"))
        << texts[0].toStdString();
    CloseBoxes(window);
    ASSERT_TRUE(RunUntil([&] { return window.findChildren<TfrmPreview*>().isEmpty(); }));

    ASSERT_TRUE(QFile::rename(database + ".away", database));
    window.StorePanel("001.001")->btnPreview->click();
    TfrmPreview* preview = nullptr;
    ASSERT_TRUE(RunUntil([&] {
        for (TfrmPreview* p : window.findChildren<TfrmPreview*>())
            if (p->isVisible())
                preview = p;
        return preview != nullptr;
    })) << BoxTexts(window).join(";").toStdString();
    EXPECT_EQ(preview->Model->rowCount(), 5);
    preview->close();
    EXPECT_TRUE(RunUntil([&] { return window.findChildren<TfrmPreview*>().isEmpty(); }));
}

// Tab walks the page from top to bottom, with no stop a user cannot see,
// and every field a screen reader reaches has a name.
TEST_F(LocationListTest, TabFollowsThePageAndEveryFieldHasAName) {
    TfrmBrevoltConfig window;
    Settle(window);
    QWidget* tabs = window.PageControl1->findChild<QTabBar*>();
    tabs->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(RunUntil([&] { return QApplication::focusWidget() == tabs; }));
    QList<QWidget*> walk;
    for (int i = 0; i < 100 && !walk.contains(window.btnCancel); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        walk.append(QApplication::focusWidget());
    }
    QStringList names;
    for (QWidget* w : walk) {
        EXPECT_EQ(qobject_cast<QAbstractScrollArea*>(w), nullptr) << w->metaObject()->className();
        names.append(w->accessibleName());
    }
    const QString shown = names.join(" | ");
    QStringList rows;
    for (const char* store : {"001.001 Flagship Store", "001.002 Mall Store", "002.001 Outlet Nord",
                              "002.005 Outlet M\u00fcnchen"})
        rows << "Include " + QString::fromUtf8(store) << "Preview " + QString::fromUtf8(store);
    EXPECT_EQ(names.mid(0, 8), rows) << shown.toStdString();
    ASSERT_GT(walk.size(), 8);
    EXPECT_NE(qobject_cast<QRadioButton*>(walk[8]), nullptr) << shown.toStdString();
    EXPECT_EQ(walk.last(), window.btnCancel) << shown.toStdString();

    for (QWidget* page : {window.tsSchedule, window.tsSettings})
        for (QWidget* w : page->findChildren<QWidget*>()) {
            const bool input = qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractButton*>(w) ||
                               qobject_cast<QAbstractSpinBox*>(w) ||
                               qobject_cast<QDateTimeEdit*>(w);
            if (!input || qobject_cast<QAbstractSpinBox*>(w->parentWidget()))
                continue;
            const QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            ASSERT_NE(a, nullptr);
            EXPECT_FALSE(a->text(QAccessible::Name).trimmed().isEmpty())
                << w->metaObject()->className() << " " << w->toolTip().toStdString();
        }
    EXPECT_EQ(window.spnOracleDelay->accessibleName(), "Oracle settle delay:");
}

TEST_F(LocationListTest, FocusHighlightsItsRowOnly) {
    TfrmBrevoltConfig window;
    Settle(window);
    ASSERT_EQ(window.grdLocations->PanelCount(), 4);
    EXPECT_EQ(window.grdLocations->CurrentPanel(), nullptr);
    const TStorePanel* previous = nullptr;
    for (int i : {0, 2, 3, 1}) {
        auto* panel = static_cast<TStorePanel*>(window.grdLocations->GetPanel(i));
        panel->cbInclude->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(RunUntil([&] { return QApplication::focusWidget() == panel->cbInclude; })) << i;
        EXPECT_EQ(window.grdLocations->CurrentPanel(), panel) << i;
        EXPECT_EQ(window.grdLocations->Selected(), i);
        EXPECT_TRUE(Highlighted(panel)) << i;
        if (previous) {
            EXPECT_FALSE(Highlighted(previous)) << i;
        }
        previous = panel;
    }
    // Tab from the last control of a row moves the highlight to the next row.
    auto* first = static_cast<TStorePanel*>(window.grdLocations->GetPanel(0));
    auto* second = static_cast<TStorePanel*>(window.grdLocations->GetPanel(1));
    first->btnPreview->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(window.grdLocations->CurrentPanel(), first);
    QTest::keyClick(first->btnPreview, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), second->cbInclude);
    EXPECT_EQ(window.grdLocations->CurrentPanel(), second);
    EXPECT_FALSE(Highlighted(first));
    EXPECT_TRUE(Highlighted(second));
}

TEST_F(LocationListTest, AnEmptyStoreTableSaysSo) {
    FEnv->Execute("delete from store");
    TfrmBrevoltConfig window;
    QSignalSpy loaded(&window, &TfrmBrevoltConfig::LocationsLoadFinished);
    window.show();
    ASSERT_TRUE(RunUntil([&] { return loaded.count() > 0; }));
    EXPECT_EQ(
        BoxTexts(window),
        QStringList{"No stores defined in Retail Pro database -- please configure Retail Pro"});
    EXPECT_EQ(window.grdLocations->PanelCount(), 0);
}

TEST_F(LocationListTest, ClosingWhileTheStoresLoadNeitherBlocksNorCrashes) {
    // A writer holding the database keeps the worker waiting in its query.
    const QString connection = "configurator-test-lock";
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", connection);
        db.setDatabaseName(FEnv->Paths().DatabaseFile);
        ASSERT_TRUE(db.open()) << db.lastError().text().toStdString();
        QSqlQuery lock(db);
        ASSERT_TRUE(lock.exec("begin exclusive")) << lock.lastError().text().toStdString();
    }
    auto window = std::make_unique<TfrmBrevoltConfig>();
    window->show();
    ASSERT_TRUE(RunUntil([&] { return window->LocationsLoading(); }));
    ASSERT_TRUE(uConfiguratorDatabase::Busy());

    QElapsedTimer timer;
    timer.start();
    window.reset();
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_TRUE(uConfiguratorDatabase::Busy());

    {
        QSqlDatabase db = QSqlDatabase::database(connection);
        QSqlQuery release(db);
        EXPECT_TRUE(release.exec("rollback")) << release.lastError().text().toStdString();
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    EXPECT_TRUE(RunUntil([] { return !uConfiguratorDatabase::Busy(); }, 10000));
    QCoreApplication::processEvents(); // whatever the finished job posted
}

// --- Preview ----------------------------------------------------------------------

TEST_F(LocationListTest, PreviewListsTheLastDaysInvoicesOrSaysThereAreNone) {
    TfrmBrevoltConfig window;
    Settle(window);
    const QDateTime now = TSampleEnvironment::DefaultNow();
    const QStringList columns{"InvoiceNum",       "LocationId01", "LocationId02", "FirstName",
                              "LastName",         "Phone1",       "Phone2",       "Email",
                              "SalesPersonEmail", "SalesDate",    "Allow_Call",   "Allow_Email"};
    struct TCase {
        const char* Item;
        qint64 Invoice9Age;   // seconds before now of store 1.2's only invoice
        QStringList Invoices; // empty: "No invoices found today"
    };
    const TCase cases[] = {
        {"001.001", 108000, {"1001", "1002", "1003", "1004", "1005"}},
        {"001.002", 23 * 3600, {"1009"}},
        {"001.002", 108000, {}},
        {"002.005", 108000, {}},
    };
    for (const TCase& c : cases) {
        const std::string label = std::string(c.Item) + " " + std::to_string(c.Invoice9Age);
        FEnv->Execute(QStringLiteral("update invoice set created_date='%1' where invc_sid=9")
                          .arg(uBrevoltSampleDatabase::CreatedDateText(now, c.Invoice9Age)));
        QSignalSpy finished(&window, &TfrmBrevoltConfig::PreviewFinished);
        window.StorePanel(c.Item)->btnPreview->click();
        auto shownPreview = [&]() -> TfrmPreview* {
            for (TfrmPreview* p : window.findChildren<TfrmPreview*>())
                if (p->isVisible())
                    return p;
            return nullptr;
        };
        ASSERT_TRUE(RunUntil([&] { return shownPreview() || !OpenBoxes(window).isEmpty(); }))
            << label;

        if (c.Invoices.isEmpty()) {
            EXPECT_EQ(shownPreview(), nullptr) << label;
            EXPECT_EQ(BoxTexts(window), QStringList{"No invoices found today"}) << label;
            EXPECT_EQ(finished.count(), 0) << label;
            CloseBoxes(window);
        } else {
            TfrmPreview* preview = shownPreview();
            ASSERT_NE(preview, nullptr) << label << BoxTexts(window).join(";").toStdString();
            EXPECT_TRUE(OpenBoxes(window).isEmpty()) << label;
            // A screen text: the regional date separator.
            const QString sep = uOVUtils::DateSeparator();
            EXPECT_EQ(preview->windowTitle(), "Invoices for 5" + sep + "9" + sep + "2024") << label;
            QStringList headers, invoices;
            for (int col = 0; col < preview->Model->columnCount(); ++col)
                headers.append(preview->Model->headerData(col, Qt::Horizontal).toString());
            EXPECT_EQ(headers, columns) << label;
            for (int row = 0; row < preview->Model->rowCount(); ++row)
                invoices.append(preview->Model->item(row, 0)->text());
            invoices.sort();
            EXPECT_EQ(invoices, c.Invoices) << label;
            // As wide as its columns within the screen.
            const QRect screen = preview->screen()->availableGeometry();
            EXPECT_GT(preview->width(), TfrmPreview::DesignSize.width()) << label;
            EXPECT_TRUE(screen.contains(preview->frameGeometry().topLeft())) << label;
            EXPECT_LE(preview->width(), screen.width()) << label;
            EXPECT_TRUE(preview->DBGrid1->viewport()->width() >=
                            preview->DBGrid1->horizontalHeader()->length() ||
                        preview->width() == screen.width() - uScreenFit::FrameAllowance.width())
                << label;

            // Only the release of a plain Escape closes it.
            const QPointer<TfrmPreview> open = preview;
            QTest::keyPress(preview->DBGrid1, Qt::Key_Escape);
            QTest::keyRelease(preview->DBGrid1, Qt::Key_Escape, Qt::ShiftModifier);
            RunUntil([] { return false; }, 50);
            ASSERT_TRUE(open && open->isVisible()) << label;
            EXPECT_EQ(finished.count(), 0) << label;
            QTest::keyRelease(preview->DBGrid1, Qt::Key_Escape);
            EXPECT_FALSE(open && open->isVisible()) << label;
        }
        EXPECT_TRUE(RunUntil([&] { return finished.count() > 0; })) << label;
        EXPECT_TRUE(RunUntil([&] { return window.findChildren<TfrmPreview*>().isEmpty(); }))
            << label;
        EXPECT_EQ(finished.count(), 1) << label;
    }
}

// --- About box ----------------------------------------------------------------------

TEST_F(ConfiguratorTest, AboutBoxShowsVersionAndReleaseAndAnyKeyClosesIt) {
    const struct {
        const char* Version;
        const char* VersionLabel;
        const char* ReleaseLabel; // nullptr: hidden
        Qt::Key Key;
        Qt::KeyboardModifiers Modifiers;
    } cases[] = {
        {"9.1.0.1", "Version: 9.1", "Release: 0", Qt::Key_A, Qt::NoModifier},
        {"", "Version: ", nullptr, Qt::Key_Escape, Qt::NoModifier},
        {"9.1.0.1", "Version: 9.1", "Release: 0", Qt::Key_F4, Qt::ControlModifier},
        {"", "Version: ", nullptr, Qt::Key_Space, Qt::NoModifier},
    };
    for (const auto& c : cases) {
        TfrmBrevoltAbout about(nullptr, c.Version);
        about.show();
        EXPECT_EQ(about.lblVersion->text(), c.VersionLabel) << c.Version;
        EXPECT_EQ(about.lblRelease->isVisible(), c.ReleaseLabel != nullptr) << c.Version;
        if (c.ReleaseLabel) {
            EXPECT_EQ(about.lblRelease->text(), c.ReleaseLabel) << c.Version;
        }
        // Every text fits its place and keeps clear of the logo's ring.
        const QRectF ring = fBrevolt9About::LogoRing(about.size());
        for (QLabel* label : {about.lblAbout, about.lblVersion, about.lblRelease, about.lblURL}) {
            const QString shown = label->text();
            EXPECT_FALSE(QRectF(label->geometry()).intersects(ring)) << shown.toStdString();
            if (label->wordWrap()) {
                EXPECT_LE(label->heightForWidth(label->width()), label->height())
                    << shown.toStdString();
            } else {
                EXPECT_LE(label->sizeHint().width(), label->width()) << shown.toStdString();
            }
        }
        QTest::keyClick(&about, c.Key, c.Modifiers);
        EXPECT_FALSE(about.isVisible()) << c.Key;
    }

    // A click on the window's logo opens it.
    TfrmBrevoltConfig window;
    Settle(window);
    QTest::mouseClick(window.Image1, Qt::LeftButton);
    const QList<TfrmBrevoltAbout*> abouts = window.findChildren<TfrmBrevoltAbout*>();
    ASSERT_EQ(abouts.size(), 1);
    EXPECT_TRUE(abouts[0]->isVisible());
}

} // namespace
