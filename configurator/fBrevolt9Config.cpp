#include "configurator/fBrevolt9Config.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVLogging.h"
#include "common/uOVNet.h"
#include "configurator/dBrevoltEmailTest.h"
#include "configurator/fBrevolt9About.h"
#include "configurator/fBrevolt9Preview.h"
#include "configurator/fBrevoltCheckService.h"
#include "configurator/uBackgroundJobs.h"
#include "configurator/uConnectionTests.h"
#include "configurator/uMessages.h"
#include "configurator/uScreenFit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTimeEdit>
#include <QVBoxLayout>

using namespace uBrevoltRPro9ConnectorCommon;

namespace {

const QString AreaConfigInit = QStringLiteral("TfrmBrevoltConfigWMConfigInit");
const QString AreaSave = QStringLiteral("TfrmBrevoltConfig.btnSaveClick");
const QString AreaRunImmediate = QStringLiteral("TfrmBrevoltConfig.btnRunImmediateClick");
const QString TimeHint = QStringLiteral("Enter the time as HH:MM am/pm");
const char* const DayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

// Row layout of a location: left edge and width of the five cells, the
// check box and the button.
struct TCell {
    int Left;
    int Width;
};
constexpr TCell CellSbsNo{8, 30}, CellSbsName{44, 121}, CellStoreNo{171, 30},
    CellStoreCode{207, 50}, CellStoreName{263, 114}, CellInclude{407, 17}, CellPreview{461, 56};
constexpr int RowHeight = 28;

// A whole-number spin field: refuses other keys with a beep, and an empty
// field reads as 0 (then brought into range). A number outside the range is
// brought into it when the field is left, and its note says so: otherwise
// "15" in a 0 to 9 field would silently stay "1".
class TSpinEdit : public QSpinBox {
public:
    TSpinEdit(int AMin, int AMax, QWidget* AParent) : QSpinBox(AParent) {
        setRange(AMin, AMax);
        setKeyboardTracking(false);
    }
    // Where a brought-in number is told; hidden until then.
    QLabel* Note = nullptr;

protected:
    QValidator::State validate(QString& AInput, int& APos) const override {
        const QValidator::State state = QSpinBox::validate(AInput, APos);
        bool ok = false;
        if (state == QValidator::Invalid && Typed(AInput, ok) && ok)
            return QValidator::Intermediate;
        return state;
    }
    void fixup(QString& AInput) const override {
        bool ok = false;
        const qint64 typed = Typed(AInput, ok);
        if (AInput.trimmed().isEmpty()) {
            AInput = QString::number(std::clamp(0, minimum(), maximum()));
        } else if (ok && (typed < minimum() || typed > maximum())) {
            const int kept = int(std::clamp<qint64>(typed, minimum(), maximum()));
            AInput = QString::number(kept);
            if (Note) {
                Note->setText(QStringLiteral("%1 is outside %2 to %3; the field now holds %4.")
                                  .arg(typed)
                                  .arg(minimum())
                                  .arg(maximum())
                                  .arg(kept));
                Note->show();
            }
        }
        QSpinBox::fixup(AInput);
    }
    void keyPressEvent(QKeyEvent* AEvent) override {
        const QString text = AEvent->text();
        if (!text.isEmpty() && text.at(0).isPrint() && !text.at(0).isDigit() &&
            !(text == QLatin1String("-") && minimum() < 0)) {
            QApplication::beep();
            AEvent->accept();
            return;
        }
        QSpinBox::keyPressEvent(AEvent);
    }

private:
    // A whole number of at most 12 digits, as typed (the rest of a longer
    // one would only be refused).
    static qint64 Typed(const QString& AInput, bool& AOk) {
        const QString text = AInput.trimmed();
        AOk = text.size() <= 12;
        return AOk ? text.toLongLong(&AOk) : 0;
    }
};

// The value a spin field shows, also while its text is still being typed.
int SpinValue(QSpinBox* ASpin) {
    const QString text = ASpin->cleanText().trimmed();
    bool ok = false;
    const int typed = text.isEmpty() ? 0 : text.toInt(&ok);
    if (!text.isEmpty() && !ok)
        return ASpin->value();
    return std::clamp(typed, ASpin->minimum(), ASpin->maximum());
}

// Spin fields take their range into account when set, as typing would.
void SetSpinValue(QSpinBox* ASpin, qint64 AValue) {
    ASpin->setValue(
        static_cast<int>(std::clamp<qint64>(AValue, ASpin->minimum(), ASpin->maximum())));
}

QLabel* Heading(const QString& AText, QWidget* AParent) {
    auto* label = new QLabel(AText, AParent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

// A field's caption, which also names the field for screen readers.
QLabel* Caption(const QString& AText, QWidget* ABuddy, QWidget* AParent) {
    auto* label = new QLabel(AText, AParent);
    label->setBuddy(ABuddy);
    if (ABuddy->accessibleName().isEmpty())
        ABuddy->setAccessibleName(AText);
    return label;
}

QLineEdit* TextField(QWidget* AParent, const QString& AHint = QString()) {
    auto* edit = new QLineEdit(AParent);
    if (!AHint.isEmpty())
        edit->setToolTip(AHint);
    return edit;
}

QCheckBox* CheckField(const QString& ACaption, QWidget* AParent) {
    auto* box = new QCheckBox(ACaption, AParent);
    // The caption stands left of the box, as the other fields' captions do.
    box->setLayoutDirection(Qt::RightToLeft);
    return box;
}

QString RowName(const TStorePanel* APanel) {
    return APanel->LocationItem() + QLatin1Char(' ') + APanel->lblStoreName->text();
}

} // namespace

// --- Time entry -------------------------------------------------------------

namespace fBrevolt9Config {

bool NormaliseTimeText(const QString& AText, QString& AResult) {
    QString s = AText.trimmed().toUpper();
    AResult = s;
    if (s.isEmpty())
        return true;
    // Positions in the comments count from 1.
    if (s.length() >= 2 && s.at(1) == QLatin1Char(':'))
        s.prepend(QLatin1Char('0'));
    AResult = s;
    if (s.length() < 3 || s.at(2) != QLatin1Char(':'))
        return false;
    while (s.length() >= 7 && s.at(5) == QLatin1Char(' ') && s.at(6) == QLatin1Char(' '))
        s.remove(5, 1);
    AResult = s;
    if (s.length() < 5 || s.length() > 8)
        return false;
    // An hour of 13 to 29 is read as a 24-hour time of the afternoon.
    const bool afternoon =
        s.at(0) == QLatin1Char('2') || (s.at(0) == QLatin1Char('1') && s.at(1) > QLatin1Char('2'));
    bool hourOk = false;
    const int hour = s.left(2).toInt(&hourOk);
    if (afternoon && !hourOk)
        return false;
    const QString pmHour = QString::number(hour - 12).rightJustified(2, QLatin1Char('0'));
    if (s.length() == 5) {
        if (afternoon)
            s = pmHour + s.mid(2) + QStringLiteral(" PM");
        else if (s.left(2) == QLatin1String("00"))
            s = QStringLiteral("12") + s.mid(2) + QStringLiteral(" AM");
        else if (s.left(2) == QLatin1String("12")) // 24-hour noon
            s += QStringLiteral(" PM");
        else
            s += QStringLiteral(" AM");
    } else if (afternoon) {
        s = pmHour + s.mid(2);
    }
    if (s.length() > 5 && s.at(5) != QLatin1Char(' '))
        s.insert(5, QLatin1Char(' '));
    AResult = s;
    auto digit = [&](int i) {
        return i < s.length() && s.at(i).isDigit();
    };
    if (s.length() != 8 || s.at(0) < QLatin1Char('0') || s.at(0) > QLatin1Char('2') || !digit(1) ||
        !digit(3) || !digit(4) || (s.at(6) != QLatin1Char('A') && s.at(6) != QLatin1Char('P')) ||
        s.at(7) != QLatin1Char('M'))
        return false;
    // The configuration's own reader decides, so that the field shows only
    // what the file can hold and the service can read.
    bool changed = false;
    const TDateTime t = ParseConfigTime(s, -1, changed);
    if (t < 0)
        return false;
    AResult = FormatConfigTime(t);
    return true;
}

} // namespace fBrevolt9Config

// --- Location row -----------------------------------------------------------

TStorePanel::TStorePanel(const QString& ASbsNo, const QString& ASbsName, const QString& AStoreNo,
                         const QString& AStoreCode, const QString& AStoreName, bool AIncluded,
                         QWidget* AParent)
    : TControlPanel(AParent) {
    auto cell = [this](const QString& AText, TCell ACell) {
        auto* label = new QLabel(AText, this);
        label->setGeometry(ACell.Left, 6, ACell.Width, RowHeight - 10);
        label->setToolTip(AText);
        return label;
    };
    lblSbsNo = cell(ASbsNo, CellSbsNo);
    lblSbsName = cell(ASbsName, CellSbsName);
    lblStoreNo = cell(AStoreNo, CellStoreNo);
    lblStoreCode = cell(AStoreCode, CellStoreCode);
    lblStoreName = cell(AStoreName, CellStoreName);
    cbInclude = new QCheckBox(this);
    cbInclude->setGeometry(CellInclude.Left, 4, CellInclude.Width + 4, RowHeight - 8);
    cbInclude->setChecked(AIncluded);
    btnPreview = new QPushButton(QStringLiteral("Preview"), this);
    btnPreview->setGeometry(CellPreview.Left, 3, CellPreview.Width, RowHeight - 6);
    // Screen readers (and tests from outside) tell the rows apart by store.
    cbInclude->setAccessibleName(QStringLiteral("Include ") + RowName(this));
    btnPreview->setAccessibleName(QStringLiteral("Preview ") + RowName(this));
    resize(CellPreview.Left + CellPreview.Width + 8, RowHeight);
}

QString TStorePanel::LocationItem() const {
    return LocationKey(lblSbsNo->text(), lblStoreNo->text());
}

// --- Window -----------------------------------------------------------------

TfrmBrevoltConfig::TfrmBrevoltConfig(QWidget* AParent) : QDialog(AParent) {
    setWindowTitle(WindowCaption);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setMinimumSize(600, 600);
    setMaximumWidth(1000);
    uScreenFit::FitToScreen(this, DesignSize);

    PageControl1 = new QTabWidget(this);
    tsSchedule = new QWidget;
    tsSettings = new QWidget;
    CreateSchedulePage();
    CreateSettingsPage();
    // Each page scrolls on a screen smaller than the window.
    for (auto [page, title] : {std::pair{tsSchedule, "Schedule"}, {tsSettings, "Settings"}}) {
        auto* scroll = new QScrollArea;
        // Scrolled by the wheel and by focus moving on: no stop of its own.
        scroll->setFocusPolicy(Qt::NoFocus);
        scroll->setWidget(page);
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        PageControl1->addTab(scroll, QString::fromLatin1(title));
    }

    btnCheckService = new QPushButton(QStringLiteral("Check Service"), this);
    btnSave = new QPushButton(QStringLiteral("Save and Close"), this);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    // Enter in a field must not save: only the button does.
    for (QPushButton* b : {btnCheckService, btnSave, btnCancel})
        b->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnCheckService);
    buttons->addStretch();
    buttons->addWidget(btnSave);
    buttons->addWidget(btnCancel);
    // Which file the window edits, and whether the service reads it.
    lblConfigFile = new QLabel(this);
    lblConfigFile->setWordWrap(true);
    lblConfigFile->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl1);
    layout->addWidget(lblConfigFile);
    layout->addLayout(buttons);

    connect(btnCheckService, &QPushButton::clicked, this, &TfrmBrevoltConfig::btnCheckServiceClick);
    connect(btnSave, &QPushButton::clicked, this, &TfrmBrevoltConfig::btnSaveClick);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmBrevoltConfig::btnCancelClick);
    connect(&FStoresWatcher, &QFutureWatcherBase::finished, this,
            &TfrmBrevoltConfig::StoresQueryFinished);

    FormCreate();
}

TfrmBrevoltConfig::~TfrmBrevoltConfig() = default;

QLineEdit* TfrmBrevoltConfig::NewTimeControl(const QString& AAccessibleName, const QString& AHint) {
    auto* edit = new QLineEdit;
    edit->setAccessibleName(AAccessibleName);
    edit->setToolTip(AHint);
    edit->setMaxLength(12);
    edit->installEventFilter(this);
    FTimeControls.append(edit);
    return edit;
}

void TfrmBrevoltConfig::CreateSchedulePage() {
    auto* page = new QVBoxLayout(tsSchedule);

    page->addWidget(Heading(QStringLiteral("Select each store to be scanned"), tsSchedule));
    auto* stores = new QHBoxLayout;
    Image1 = new QLabel(tsSchedule);
    Image1->setPixmap(fBrevolt9About::BrevoltLogo(QSize(80, 80)));
    Image1->setFixedSize(80, 80);
    Image1->setCursor(Qt::PointingHandCursor);
    Image1->setToolTip(QStringLiteral("About"));
    Image1->setAccessibleName(QStringLiteral("About"));
    Image1->installEventFilter(this);
    stores->addWidget(Image1, 0, Qt::AlignTop);

    // Column headers over the row cells: a line of group names, then one of
    // cell names, at the cells' own positions.
    auto* list = new QVBoxLayout;
    auto* header = new QWidget(tsSchedule);
    header->setFixedHeight(34);
    auto place = [header](const QString& AText, int ALeft, int AWidth, int ATop) {
        auto* label = new QLabel(AText, header);
        label->setGeometry(ALeft + 1, ATop, AWidth, 16);
    };
    place(QStringLiteral("Subsidiary"), CellSbsNo.Left, 157, 0);
    place(QStringLiteral("Store"), CellStoreNo.Left, 206, 0);
    place(QStringLiteral("Num"), CellSbsNo.Left, 34, 17);
    place(QStringLiteral("Name"), CellSbsName.Left, CellSbsName.Width, 17);
    place(QStringLiteral("Num"), CellStoreNo.Left, 34, 17);
    place(QStringLiteral("Code"), CellStoreCode.Left, CellStoreCode.Width, 17);
    place(QStringLiteral("Name"), CellStoreName.Left, CellStoreName.Width, 17);
    place(QStringLiteral("Include?"), CellInclude.Left - 16, 60, 17);
    list->addWidget(header);
    grdLocations = new TControlGrid(tsSchedule);
    grdLocations->setMinimumHeight(250);
    // Wide enough for a whole row beside the scroll bar.
    grdLocations->setMinimumWidth(CellPreview.Left + CellPreview.Width + 8 +
                                  grdLocations->verticalScrollBar()->sizeHint().width() +
                                  2 * grdLocations->frameWidth());
    grdLocations->setAccessibleName(QStringLiteral("Stores"));
    list->addWidget(grdLocations, 1);
    stores->addLayout(list, 1);
    page->addLayout(stores, 1);

    page->addWidget(
        Heading(QStringLiteral("Then set the schedule for scanning your inventory"), tsSchedule));
    auto* mode = new QHBoxLayout;
    rgScheduling = new QGroupBox(QStringLiteral("Scheduling"), tsSchedule);
    rbIntervals = new QRadioButton(QStringLiteral("Intervals"), rgScheduling);
    rbTimes = new QRadioButton(QStringLiteral("Times"), rgScheduling);
    auto* choices = new QHBoxLayout(rgScheduling);
    choices->addWidget(rbIntervals);
    choices->addWidget(rbTimes);
    auto* group = new QButtonGroup(rgScheduling);
    group->addButton(rbIntervals, 0);
    group->addButton(rbTimes, 1);
    connect(group, &QButtonGroup::idToggled, this, [this](int, bool AChecked) {
        if (AChecked)
            rgSchedulingClick();
    });
    mode->addWidget(rgScheduling);
    btnRunImmediate = new QPushButton(QStringLiteral("Run Immediately"), tsSchedule);
    btnRunImmediate->setAutoDefault(false);
    btnRunImmediate->setMinimumSize(130, 44);
    connect(btnRunImmediate, &QPushButton::clicked, this, &TfrmBrevoltConfig::btnRunImmediateClick);
    mode->addWidget(btnRunImmediate, 0, Qt::AlignVCenter);
    mode->addStretch();
    page->addLayout(mode);

    pnlIntervals = new QWidget(tsSchedule);
    auto* intervals = new QGridLayout(pnlIntervals);
    intervals->setContentsMargins(0, 0, 0, 0);
    // A day at most, as the service's runs go.
    spnInterval = new TSpinEdit(1, 1440, pnlIntervals);
    intervals->addWidget(
        Caption(QStringLiteral("Interval, in minutes:"), spnInterval, pnlIntervals), 0, 0);
    intervals->addWidget(spnInterval, 0, 1);
    lblIntervalKept = new QLabel(pnlIntervals);
    lblIntervalKept->hide();
    static_cast<TSpinEdit*>(spnInterval)->Note = lblIntervalKept;
    intervals->addWidget(lblIntervalKept, 0, 2, 1, 2);
    const QString sleepHint = QStringLiteral(
        "Enter the time period during which the connector should not run, such as during "
        "scheduled backups.  Enter the time as HH:MM am/pm");
    edtSleepBegin = NewTimeControl(QStringLiteral("Sleep between:"), sleepHint);
    edtSleepEnd = NewTimeControl(QStringLiteral("and"), sleepHint);
    lblSleepBetween = Caption(QStringLiteral("Sleep between:"), edtSleepBegin, pnlIntervals);
    lblSleepAnd = Caption(QStringLiteral("and"), edtSleepEnd, pnlIntervals);
    intervals->addWidget(lblSleepBetween, 1, 0);
    intervals->addWidget(edtSleepBegin, 1, 1);
    intervals->addWidget(lblSleepAnd, 1, 2);
    intervals->addWidget(edtSleepEnd, 1, 3);
    intervals->setColumnStretch(4, 1);
    page->addWidget(pnlIntervals);

    pnlDayTimes = new QWidget(tsSchedule);
    auto* days = new QGridLayout(pnlDayTimes);
    days->setContentsMargins(0, 0, 0, 0);
    for (int day = 0; day < 7; ++day) {
        const QString name = QString::fromLatin1(DayNames[day]);
        days->addWidget(new QLabel(name, pnlDayTimes), 0, day, Qt::AlignHCenter);
        for (int slot = 0; slot < 6; ++slot) {
            edtDayTimes[day][slot] = NewTimeControl(
                name + QStringLiteral(" time ") + QString::number(slot + 1), TimeHint);
            days->addWidget(edtDayTimes[day][slot], slot + 1, day);
        }
    }
    page->addWidget(pnlDayTimes);
    page->addStretch();
}

void TfrmBrevoltConfig::CreateSettingsPage() {
    auto* grid = new QGridLayout(tsSettings);
    grid->setVerticalSpacing(4);
    int row = 0;
    auto heading = [&](const QString& AText) {
        grid->addWidget(Heading(AText, tsSettings), row++, 0, 1, 3);
    };
    auto note = [&](const QString& AText) {
        auto* label = new QLabel(AText, tsSettings);
        label->setWordWrap(true);
        grid->addWidget(label, row++, 0, 1, 3);
    };
    auto field = [&](const QString& ACaption, QWidget* AField) {
        grid->addWidget(Caption(ACaption, AField, tsSettings), row, 0);
        grid->addWidget(AField, row++, 1);
        return AField;
    };
    auto check = [&](QCheckBox* ABox) {
        grid->addWidget(ABox, row++, 0, 1, 2, Qt::AlignLeft);
        return ABox;
    };

    heading(QStringLiteral("Enter the FTP settings provided by Brevolt"));
    const int ftpRow = row;
    edtFTPServer = TextField(tsSettings);
    field(QStringLiteral("FTP server:"), edtFTPServer);
    edtFTPUsername = TextField(
        tsSettings, QStringLiteral("Enter the username to use in connecting to the FTP server"));
    field(QStringLiteral("FTP username:"), edtFTPUsername);
    edtFTPPassword = TextField(
        tsSettings, QStringLiteral("Enter the password to use in connecting to the FTP server"));
    edtFTPPassword->setEchoMode(QLineEdit::Password);
    field(QStringLiteral("FTP password:"), edtFTPPassword);
    cbFTPUseTLS = check(CheckField(QStringLiteral("Use TLS (FTPS)"), tsSettings));
    btnTestFTP = new QPushButton(QStringLiteral("Test"), tsSettings);
    btnTestFTP->setAccessibleName(QStringLiteral("Test FTP"));
    grid->addWidget(btnTestFTP, ftpRow, 2, 4, 1, Qt::AlignVCenter);

    note(QStringLiteral("Use this to change how much logging is done. "));
    auto* logLevel = new TSpinEdit(0, 9, tsSettings);
    spnLogLevel = logLevel;
    auto* logLevelRow = new QWidget(tsSettings);
    auto* logLevelLayout = new QHBoxLayout(logLevelRow);
    logLevelLayout->setContentsMargins(0, 0, 0, 0);
    logLevelLayout->addWidget(spnLogLevel);
    lblLogLevelNote = new QLabel(logLevelRow);
    lblLogLevelNote->hide();
    logLevel->Note = lblLogLevelNote;
    logLevelLayout->addWidget(lblLogLevelNote);
    logLevelLayout->addStretch();
    grid->addWidget(Caption(QStringLiteral("Logging level:"), spnLogLevel, tsSettings), row, 0);
    grid->addWidget(logLevelRow, row++, 1);

    note(QStringLiteral("The date and time of the last run."));
    auto* lastRun = new QWidget(tsSettings);
    auto* lastRunLayout = new QHBoxLayout(lastRun);
    lastRunLayout->setContentsMargins(0, 0, 0, 0);
    dtpLastRunDate = new QDateEdit(lastRun);
    dtpLastRunDate->setCalendarPopup(true);
    dtpLastRunDate->setToolTip(QStringLiteral("The date portion of the last run date and time."));
    dtpLastRunDate->setAccessibleName(QStringLiteral("Last run date"));
    dtpLastRunTime = new QTimeEdit(lastRun);
    dtpLastRunTime->setDisplayFormat(QStringLiteral("hh:mm:ss AP"));
    dtpLastRunTime->setAccessibleName(QStringLiteral("Last run time"));
    lastRunLayout->addWidget(dtpLastRunDate);
    lastRunLayout->addWidget(dtpLastRunTime);
    lastRunLayout->addStretch();
    grid->addWidget(lastRun, row++, 0, 1, 2);

    heading(QStringLiteral("Database optimizations"));
    // Any delay the file can hold in whole seconds.
    spnOracleDelay = new TSpinEdit(0, std::numeric_limits<int>::max() / 1000, tsSettings);
    auto* delay = new QWidget(tsSettings);
    auto* delayLayout = new QHBoxLayout(delay);
    delayLayout->setContentsMargins(0, 0, 0, 0);
    delayLayout->addWidget(spnOracleDelay);
    delayLayout->addWidget(new QLabel(QStringLiteral("seconds"), delay));
    lblOracleDelayKept = new QLabel(delay);
    lblOracleDelayKept->hide();
    static_cast<TSpinEdit*>(spnOracleDelay)->Note = lblOracleDelayKept;
    delayLayout->addWidget(lblOracleDelayKept);
    delayLayout->addStretch();
    grid->addWidget(Caption(QStringLiteral("Oracle settle delay:"), spnOracleDelay, tsSettings),
                    row, 0);
    grid->addWidget(delay, row++, 1);

    heading(QStringLiteral("Support flags"));
    cbRestartOnMissingData = check(CheckField(
        QStringLiteral("Restart service when database issues are detected:"), tsSettings));
    cbNotifyOnStartup = check(CheckField(
        QStringLiteral("Send a notification to support when service restarts:"), tsSettings));

    heading(QStringLiteral("Service event notifications"));
    cbNotificationsEnabled =
        check(CheckField(QStringLiteral("Notifications enabled:"), tsSettings));
    connect(cbNotificationsEnabled, &QCheckBox::toggled, this,
            &TfrmBrevoltConfig::cbNotificationsEnabledClick);
    const int smtpRow = row;
    edtSMTPServer = TextField(tsSettings, QStringLiteral("Enter the address of your SMTP server."));
    field(QStringLiteral("SMTP server:"), edtSMTPServer);
    edtSMTPPort = TextField(tsSettings);
    field(QStringLiteral("Port number:"), edtSMTPPort);
    cbUseSSLTLS = check(CheckField(QStringLiteral("Use SSL/TLS?"), tsSettings));
    edtSMTPUsername = TextField(tsSettings);
    field(QStringLiteral("SMTP username:"), edtSMTPUsername);
    edtSMTPPassword = TextField(tsSettings);
    edtSMTPPassword->setEchoMode(QLineEdit::Password);
    field(QStringLiteral("SMTP password:"), edtSMTPPassword);
    edtSMTPFrom = TextField(tsSettings);
    field(QStringLiteral("From email address:"), edtSMTPFrom);
    btnTestSMTP = new QPushButton(QStringLiteral("Test"), tsSettings);
    btnTestSMTP->setAccessibleName(QStringLiteral("Test SMTP"));
    grid->addWidget(btnTestSMTP, smtpRow, 2, row - smtpRow, 1, Qt::AlignVCenter);

    note(QStringLiteral("Enter the email addresses, separated by commas, of the people who should "
                        "be notified when each of these events occurs."));
    edtStartupEmails =
        TextField(tsSettings, QStringLiteral("People to notify when the service starts up."));
    field(QStringLiteral("Start-up:"), edtStartupEmails);
    edtShutdownEmails = TextField(tsSettings);
    field(QStringLiteral("Shutdown:"), edtShutdownEmails);
    edtDailyPingEmails = TextField(
        tsSettings,
        QStringLiteral("People to notify, around 9am each day, that the service is still up."));
    field(QStringLiteral("Daily ping:"), edtDailyPingEmails);
    edtErrorEmails = TextField(
        tsSettings, QStringLiteral("People to notify when the service is unable to read the "
                                   "database or connect to the Brevolt service."));
    field(QStringLiteral("Errors:"), edtErrorEmails);

    connect(btnTestFTP, &QPushButton::clicked, this, &TfrmBrevoltConfig::btnTestFTPClick);
    connect(btnTestSMTP, &QPushButton::clicked, this, &TfrmBrevoltConfig::btnTestSMTPClick);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
}

// --- Opening ----------------------------------------------------------------

namespace {
// The boxes that show one field of the record as it stands (a text trimmed);
// the schedule, the times, the port, the level and the last run have rules
// of their own.
template <class TControl, class TValue> struct TPlainField {
    TControl* TfrmBrevoltConfig::*Control;
    TValue TConnectorConfig::*Field;
};
using W = TfrmBrevoltConfig;
using R = TConnectorConfig;
const TPlainField<QLineEdit, QString> TextFields[] = {
    {&W::edtFTPServer, &R::ftpserver},
    {&W::edtFTPUsername, &R::ftpusername},
    {&W::edtFTPPassword, &R::ftppassword},
    {&W::edtSMTPServer, &R::smtpserver},
    {&W::edtSMTPUsername, &R::smtpusername},
    {&W::edtSMTPPassword, &R::smtppassword},
    {&W::edtSMTPFrom, &R::smtpfrom},
    {&W::edtStartupEmails, &R::startupemails},
    {&W::edtShutdownEmails, &R::shutdownemails},
    {&W::edtDailyPingEmails, &R::dailypingemails},
    {&W::edtErrorEmails, &R::erroremails},
};
const TPlainField<QCheckBox, bool> FlagFields[] = {
    {&W::cbFTPUseTLS, &R::ftpusetls},
    {&W::cbNotificationsEnabled, &R::notifications},
    {&W::cbUseSSLTLS, &R::smtpusessltls},
    {&W::cbRestartOnMissingData, &R::restartonmissingdata},
    {&W::cbNotifyOnStartup, &R::notifyonstartup},
};
// The address lists, with the captions the user knows them by.
const std::pair<const char*, QLineEdit * TfrmBrevoltConfig::*> RecipientFields[] = {
    {"Start-up:", &W::edtStartupEmails},
    {"Shutdown:", &W::edtShutdownEmails},
    {"Daily ping:", &W::edtDailyPingEmails},
    {"Errors:", &W::edtErrorEmails},
};
} // namespace

void TfrmBrevoltConfig::FormCreate() {
    TConnectorConfig& cfg = Config();
    cfg.runimmediate = false;
    // A missing or unreadable file leaves the start values in place; the
    // configuration module has logged why.
    bool scheduleChanged = false;
    ShowConfigFileState(LoadConfig(scheduleChanged));

    ShowMilliseconds(spnInterval, lblIntervalKept, 60000, cfg.scaninterval, FIntervalShown);
    (cfg.scanscheduling == 1 ? rbTimes : rbIntervals)->setChecked(true);
    ShowMilliseconds(spnOracleDelay, lblOracleDelayKept, 1000, cfg.oracledelay, FOracleDelayShown);
    ShowTimeValue(edtSleepBegin, cfg.sleepbegin);
    ShowTimeValue(edtSleepEnd, cfg.sleepend);
    const QDateTime lastRun = uOVUtils::ToQDateTime(cfg.lastquery);
    dtpLastRunDate->setDate(lastRun.date());
    dtpLastRunTime->setTime(lastRun.time());
    FLastRunShown = LastRunField();
    for (const auto& [control, field] : TextFields)
        (this->*control)->setText((cfg.*field).trimmed());
    for (const auto& [control, field] : FlagFields)
        (this->*control)->setChecked(cfg.*field);
    edtSMTPPort->setText(QString::number(cfg.smtpport));
    for (int day = 0; day < 7; ++day)
        for (int slot = 0; slot < 6; ++slot)
            ShowTimeValue(edtDayTimes[day][slot], cfg.DayTimes[day][slot]);
    SetSpinValue(spnLogLevel,
                 AppLogger ? AppLogger->LogLevel() : uOVLogging::Settings().DefaultLogLevel);
    rgSchedulingClick();
    cbNotificationsEnabledClick();

    PageControl1->setCurrentWidget(PageControl1->widget(0));
    FSavedFields = FieldsText();

    // The store list loads once the window is on the screen.
    QMetaObject::invokeMethod(this, &TfrmBrevoltConfig::WMConfigInit, Qt::QueuedConnection);
}

void TfrmBrevoltConfig::OrderStoreRows() {
    // Made after the rest of the window, the rows would come after "Cancel":
    // they go between the tabs and the scheduling choice, as on the page.
    QWidget* previous = PageControl1->findChild<QTabBar*>();
    for (const TStorePanel* panel : FStorePanels)
        for (QWidget* w :
             {static_cast<QWidget*>(panel->cbInclude), static_cast<QWidget*>(panel->btnPreview)}) {
            setTabOrder(previous, w);
            previous = w;
        }
    setTabOrder(previous, rbIntervals);
}

void TfrmBrevoltConfig::ShowConfigFileState(bool ALoaded) {
    const QString path = QDir::toNativeSeparators(ConfigFilePath());
    QStringList problems;
    if (!ALoaded && QFileInfo::exists(path))
        problems << QStringLiteral("It could not be read: the window shows the start values, and "
                                   "nothing is written until you save.");
    if (RegisteredServiceDirectory().isEmpty())
        problems << QStringLiteral("No service directory is registered, so the service does not "
                                   "read this file; install the service first.");
    QString text = QStringLiteral("Settings file: ") + path;
    if (!ALoaded && !QFileInfo::exists(path))
        text += QStringLiteral(" (not there yet: saving creates it)");
    lblConfigFile->setText((QStringList{text} + problems).join(QLatin1Char('\n')));
    lblConfigFile->setStyleSheet(problems.isEmpty() ? QString()
                                                    : QStringLiteral("color: #b00000;"));
}

void TfrmBrevoltConfig::rgSchedulingClick() {
    const bool times = rbTimes->isChecked();
    pnlDayTimes->setVisible(times);
    pnlIntervals->setVisible(!times);
}

void TfrmBrevoltConfig::cbNotificationsEnabledClick() {
    const bool on = cbNotificationsEnabled->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{
             edtSMTPServer, edtSMTPPort, cbUseSSLTLS, edtSMTPUsername, edtSMTPPassword, edtSMTPFrom,
             btnTestSMTP, edtStartupEmails, edtShutdownEmails, edtDailyPingEmails, edtErrorEmails})
        w->setEnabled(on);
}

// --- Location list ----------------------------------------------------------

void TfrmBrevoltConfig::WMConfigInit() {
    if (FStoresWatcher.isRunning() || FLocationsLoaded)
        return;
    uOVLogging::log(9, QStringLiteral("BEGIN"), uOVLogging::LOG_ENTER, AreaConfigInit);
    FNote = uMessages::ShowNote(this, QStringLiteral("Loading stores, please wait..."));
    ShowRunImmediateState();
    // The query opens on the database worker; the window keeps handling
    // input, and the rows are made here when it has answered.
    FStoresWatcher.setFuture(
        uConfiguratorDatabase::Run(AreaConfigInit, &uBrevoltRPro9ConnectorSQLs::OpenStoresQuery));
}

void TfrmBrevoltConfig::StoresQueryFinished() {
    delete FNote;
    const uConfiguratorDatabase::TQueryResult result = FStoresWatcher.result();
    if (!result.Error.isEmpty()) {
        uMessages::AskRetry(
            this, fBrevolt9Config::StoreListFailedText + QStringLiteral("\n\n") + result.Error,
            [this] { WMConfigInit(); });
        Q_EMIT LocationsLoadFinished();
        return;
    }
    // Rows that differ from the stored list only by stores the database no
    // longer has are no edit of the user's.
    const bool unedited = FieldsText() == FSavedFields;
    TConnectorDataset& q = *result.Dataset;
    if (q.RecordCount() == 0) {
        uMessages::ShowMessage(
            this, QStringLiteral("No stores defined in Retail Pro database -- please configure "
                                 "Retail Pro"));
    } else {
        const QStringList& configured = Config().locations;
        auto text = [&q](const char* AName) {
            return q.FieldByName(QString::fromLatin1(AName)).AsString();
        };
        for (q.First(); !q.Eof(); q.Next()) {
            const QString sbsNo = text("sbs_no");
            const QString storeNo = text("store_no");
            auto* panel = new TStorePanel(sbsNo, text("sbs_name"), storeNo, text("store_code"),
                                          text("store_name"),
                                          configured.contains(LocationKey(sbsNo, storeNo)));
            connect(panel->btnPreview, &QPushButton::clicked, this,
                    [this, panel] { PreviewClick(panel); });
            grdLocations->AddPanel(panel);
            FStorePanels.append(panel);
        }
    }
    FLocationsLoaded = true;
    OrderStoreRows();
    if (unedited)
        FSavedFields = FieldsText();
    PageControl1->setCurrentIndex(0);
    uOVLogging::log(9, QStringLiteral("END"), uOVLogging::LOG_EXIT, AreaConfigInit);
    Q_EMIT LocationsLoadFinished();
}

TStorePanel* TfrmBrevoltConfig::StorePanel(const QString& ALocationItem) const {
    for (TStorePanel* panel : FStorePanels)
        if (panel->LocationItem() == ALocationItem)
            return panel;
    return nullptr;
}

void TfrmBrevoltConfig::PreviewClick(TStorePanel* APanel) {
    // One preview at a time: its query runs on the one database worker.
    if (FPreview)
        return;
    auto number = [](const QLabel* ACell) {
        bool ok = false;
        const int value = ACell->text().trimmed().toInt(&ok);
        return ok ? value : -999;
    };
    FPreview = new TfrmPreview(this);
    connect(FPreview, &TfrmPreview::Finished, this, [this] {
        FPreview->deleteLater();
        Q_EMIT PreviewFinished();
    });
    FPreview->Execute(number(APanel->lblSbsNo), number(APanel->lblStoreNo));
}

// --- Time fields ------------------------------------------------------------

bool TfrmBrevoltConfig::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AWatched == Image1 && AEvent->type() == QEvent::MouseButtonRelease) {
        Image1Click();
        return true;
    }
    if (AEvent->type() == QEvent::FocusOut) {
        auto* edit = qobject_cast<QLineEdit*>(AWatched);
        const auto reason = static_cast<QFocusEvent*>(AEvent)->reason();
        // Focus lost to another window (a message box, the desktop) is not
        // the user leaving the field.
        if (edit && FTimeControls.contains(edit) && !FRejectingTime &&
            reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            ValidateTimeControl(edit);
    }
    return QDialog::eventFilter(AWatched, AEvent);
}

bool TfrmBrevoltConfig::ValidateTimeControl(QLineEdit* AControl) {
    QString text;
    if (fBrevolt9Config::NormaliseTimeText(AControl->text(), text)) {
        AControl->setText(text);
        return true;
    }
    FRejectingTime = true;
    QMessageBox* box = uMessages::ShowMessage(
        this, QStringLiteral("Invalid date time entered: \"") + text + QLatin1Char('"'));
    connect(box, &QDialog::finished, this, [this, AControl] {
        FRejectingTime = false;
        AControl->setFocus(Qt::OtherFocusReason);
    });
    return false;
}

TDateTime TfrmBrevoltConfig::ReadTimeControl(const QLineEdit* AControl) {
    const QString text = AControl->text().trimmed();
    bool changed = false;
    return text.isEmpty() ? -1 : ParseConfigTime(text, -1, changed);
}

void TfrmBrevoltConfig::ShowMilliseconds(QSpinBox* ASpin, QLabel* ANote, int AUnitMs, int AStored,
                                         TShownValue& AShown) {
    const qint64 units = std::llround(double(AStored) / AUnitMs);
    AShown.Shown = int(std::clamp<qint64>(units, ASpin->minimum(), ASpin->maximum()));
    AShown.Kept.reset();
    ASpin->setValue(AShown.Shown);
    if (qint64(AShown.Shown) * AUnitMs != AStored) {
        AShown.Kept = AStored;
        ANote->setText(QStringLiteral("The file holds %1 ms, which this field cannot show; a "
                                      "save keeps it unless you change the field.")
                           .arg(AStored));
    }
    ANote->setVisible(AShown.Kept.has_value());
}

int TfrmBrevoltConfig::ReadMilliseconds(QSpinBox* ASpin, int AUnitMs, const TShownValue& AShown) {
    const int value = SpinValue(ASpin);
    return AShown.Kept && value == AShown.Shown ? *AShown.Kept : value * AUnitMs;
}

void TfrmBrevoltConfig::ShowTimeValue(QLineEdit* AControl, TDateTime AValue) {
    AControl->setText(AValue <= -0.05 ? QString() : FormatConfigTime(AValue));
}

// --- Saving -----------------------------------------------------------------

void TfrmBrevoltConfig::ReadFields(TConnectorConfig& cfg) const {
    // Rows that never loaded would rebuild an empty list: keep the stored one.
    if (FLocationsLoaded) {
        cfg.locations.clear();
        for (const TStorePanel* panel : FStorePanels)
            if (panel->cbInclude->isChecked())
                cfg.locations.append(panel->LocationItem());
    }
    cfg.scanscheduling = rbTimes->isChecked() ? 1 : 0;
    cfg.scaninterval = ReadMilliseconds(spnInterval, 60000, FIntervalShown);
    cfg.oracledelay = ReadMilliseconds(spnOracleDelay, 1000, FOracleDelayShown);
    cfg.sleepbegin = ReadTimeControl(edtSleepBegin);
    cfg.sleepend = ReadTimeControl(edtSleepEnd);
    for (int day = 0; day < 7; ++day)
        for (int slot = 0; slot < 6; ++slot)
            cfg.DayTimes[day][slot] = ReadTimeControl(edtDayTimes[day][slot]);
    for (const auto& [control, field] : TextFields)
        cfg.*field = (this->*control)->text().trimmed();
    for (const auto& [control, field] : FlagFields)
        cfg.*field = (this->*control)->isChecked();
    bool portOk = false;
    const int port = edtSMTPPort->text().trimmed().toInt(&portOk);
    if (portOk)
        cfg.smtpport = port;
    if (LastRunField() != FLastRunShown)
        cfg.lastquery = uOVUtils::ToDateTime(LastRunField());
}

QString TfrmBrevoltConfig::FieldsText() const {
    TConnectorConfig shown = Config();
    ReadFields(shown);
    QString text = QString::number(SpinValue(spnLogLevel));
    for (const QString& key : ConfigKeys())
        if (key != QLatin1String("runimmediate") && key != QLatin1String("loglevel"))
            text += QLatin1Char('\n') + ConfigValueText(shown, key);
    return text;
}

void TfrmBrevoltConfig::SaveSettings(bool AWithRunRequest) {
    TConnectorConfig& cfg = Config();
    ReadFields(cfg);
    if (AppLogger)
        AppLogger->SetLogLevel(SpinValue(spnLogLevel));
    // The service moves "lastquery" after every upload while the window may
    // stay open: writing back the value loaded would make it send again what
    // it sent since. Only a time the administrator changed is written.
    QStringList keys = ConfigKeys();
    if (LastRunField() == FLastRunShown)
        keys.removeAll(QStringLiteral("lastquery"));
    if (!AWithRunRequest)
        keys.removeAll(QStringLiteral("runimmediate"));
    SaveConfigKeys(keys);
    FSavedFields = FieldsText();
}

void TfrmBrevoltConfig::reject() {
    // Edits are not thrown away unasked.
    if (FSavedFields.isEmpty() || FieldsText() == FSavedFields) {
        QDialog::reject();
        return;
    }
    uMessages::AskToDiscard(this, [this] { QDialog::reject(); });
}

QDateTime TfrmBrevoltConfig::LastRunField() const {
    return QDateTime(dtpLastRunDate->date(), dtpLastRunTime->time());
}

void TfrmBrevoltConfig::ShowRunImmediateState() {
    // The lower half turns red while a requested run waits for the service.
    const QString lower =
        Config().runimmediate ? QStringLiteral("#e02020") : QStringLiteral("#c0c0c0");
    btnRunImmediate->setStyleSheet(
        QStringLiteral("QPushButton { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, "
                       "stop:0 #f6f6f6, stop:0.5 #f6f6f6, stop:0.501 %1, stop:1 %1); "
                       "border: 1px solid #808080; border-radius: 3px; padding: 4px 10px; }"
                       "QPushButton:pressed { border: 2px solid #404040; }")
            .arg(lower));
}

void TfrmBrevoltConfig::btnRunImmediateClick() {
    Config().runimmediate = true;
    ShowRunImmediateState();
    try {
        SaveSettings(true);
    } catch (const std::exception& E) {
        uOVLogging::exc(E, AreaRunImmediate);
        uMessages::ShowError(this, ExceptionMessage(E));
    }
}

void TfrmBrevoltConfig::btnSaveClick() {
    // An entry that is no address would only show up as a warning in the
    // service's log, when a notice goes without it.
    if (cbNotificationsEnabled->isChecked()) {
        for (const auto& [caption, control] : RecipientFields) {
            const QStringList invalid = uOVNet::ParseAddressList((this->*control)->text()).Invalid;
            if (invalid.isEmpty())
                continue;
            PageControl1->setCurrentWidget(tsSettings);
            (this->*control)->setFocus();
            uMessages::ShowMessage(this, QStringLiteral("The entry \"") + invalid.first() +
                                             QStringLiteral("\" under \"") +
                                             QLatin1String(caption) +
                                             QStringLiteral("\" is not a mail address."));
            return;
        }
    }
    // The service sends no notice without these; a save that leaves one
    // empty must be meant.
    if (cbNotificationsEnabled->isChecked()) {
        const std::pair<const char*, const QLineEdit*> needed[] = {
            {"SMTP server:", edtSMTPServer},
            {"SMTP username:", edtSMTPUsername},
            {"SMTP password:", edtSMTPPassword},
            {"From email address:", edtSMTPFrom},
        };
        for (const auto& [caption, control] : needed)
            if (control->text().trimmed().isEmpty()) {
                uMessages::AskToSaveAnyway(
                    this,
                    QStringLiteral("Notifications are enabled, but \"") + QLatin1String(caption) +
                        QStringLiteral("\" is empty, so the service sends no notices. Save "
                                       "anyway?"),
                    [this] { SaveAndClose(); });
                return;
            }
    }
    SaveAndClose();
}

void TfrmBrevoltConfig::SaveAndClose() {
    try {
        SaveSettings();
    } catch (const std::exception& E) {
        uOVLogging::exc(E, AreaSave);
        uMessages::ShowError(this, ExceptionMessage(E));
        return;
    }
    accept();
}

void TfrmBrevoltConfig::btnCancelClick() {
    reject();
}

void TfrmBrevoltConfig::Image1Click() {
    auto* about = new TfrmBrevoltAbout(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
}

void TfrmBrevoltConfig::btnCheckServiceClick() {
    auto* check = new TfrmCheckService(this);
    check->setAttribute(Qt::WA_DeleteOnClose);
    check->Execute(ServiceName);
}

void TfrmBrevoltConfig::RunConnectionTest(const QString& AName, QPushButton* AButton,
                                          std::function<uConnectionTests::TTestResult()> AJob) {
    AButton->setEnabled(false);
    AButton->setText(QStringLiteral("Testing\u2026"));
    // The test runs on a worker so that the window stays usable; the watcher,
    // named after the test, also marks it as running.
    auto* watcher = new QFutureWatcher<uConnectionTests::TTestResult>(this);
    watcher->setObjectName(AName);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, AButton] {
        watcher->setObjectName(QString());
        watcher->deleteLater();
        AButton->setText(QStringLiteral("Test"));
        // The SMTP button also follows the notification switch.
        AButton->setEnabled(AButton != btnTestSMTP || cbNotificationsEnabled->isChecked());
        const uConnectionTests::TTestResult result = watcher->result();
        if (result.Ok)
            uMessages::ShowMessage(this, result.Message);
        else
            uMessages::ShowError(this, result.Message);
        Q_EMIT ConnectionTestFinished();
    });
    watcher->setFuture(uBackgroundJobs::Run(uBackgroundJobs::TPool::Network, std::move(AJob)));
}

void TfrmBrevoltConfig::btnTestFTPClick() {
    const QString testName = QStringLiteral("FtpConnectionTest");
    // One test at a time (its button is off while it runs).
    if (findChild<QObject*>(testName, Qt::FindDirectChildrenOnly))
        return;
    // The fields as shown: the test may come before any save.
    const QString server = edtFTPServer->text().trimmed();
    const QString user = edtFTPUsername->text().trimmed();
    const QString password = edtFTPPassword->text().trimmed();
    const bool useTls = cbFTPUseTLS->isChecked();
    const QString problem = uConnectionTests::CheckFtpFields(server, user, password);
    if (!problem.isEmpty()) {
        uMessages::ShowMessage(this, problem);
        Q_EMIT ConnectionTestFinished();
        return;
    }
    // The log-in and upload may take up to the client's time-outs.
    RunConnectionTest(testName, btnTestFTP, [server, user, password, useTls] {
        return uConnectionTests::RunFtpTest(server, user, password, useTls);
    });
}

void TfrmBrevoltConfig::btnTestSMTPClick() {
    const QString testName = QStringLiteral("SmtpConnectionTest");
    // One test at a time, from the address window to the result.
    if (findChild<QObject*>(testName, Qt::FindDirectChildrenOnly))
        return;
    uConnectionTests::TSmtpTestParams params;
    params.Server = edtSMTPServer->text().trimmed();
    params.Port = uConnectionTests::SmtpPortFromText(edtSMTPPort->text(), Config().smtpport);
    params.User = edtSMTPUsername->text().trimmed();
    params.Password = edtSMTPPassword->text().trimmed();
    params.UseTLS = cbUseSSLTLS->isChecked();
    params.From = edtSMTPFrom->text().trimmed();
    const QString problem =
        uConnectionTests::CheckSmtpFields(params.Server, params.User, params.Password, params.From);
    if (!problem.isEmpty()) {
        uMessages::ShowMessage(this, problem);
        Q_EMIT ConnectionTestFinished();
        return;
    }

    auto* dialog = new TdlgEmailTestAddress(this);
    dialog->setObjectName(testName);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::finished, this, [this, dialog, params, testName](int AResult) {
        dialog->setObjectName(QString());
        if (AResult != QDialog::Accepted) {
            Q_EMIT ConnectionTestFinished();
            return;
        }
        uConnectionTests::TSmtpTestParams send = params;
        send.Recipient = dialog->EmailAddress();
        RunConnectionTest(testName, btnTestSMTP,
                          [send] { return uConnectionTests::RunSmtpTest(send); });
    });
    dialog->open();
}
