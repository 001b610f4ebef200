#pragma once
// The configuration utility's window: every setting of the shared
// configuration file in editable fields, the stores to scan, a request for
// an immediate run, and the way to the preview, the connection tests and the
// service check. The window holds no settings of its own: it copies the
// configuration record into its fields when it opens and back before every
// save, and the file is read and written only by the configuration module.
#include "BrevoltIdentity.h"
#include "common/uOVUtils.h"
#include "configurator/uConfiguratorDatabase.h"
#include "configurator/uConnectionTests.h"
#include "configurator/uOVControlGrid.h"

#include <functional>
#include <optional>
#include <QDateTime>
#include <QDialog>
#include <QFutureWatcher>
#include <QPointer>
#include <QSize>

class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLabel;
struct TConnectorConfig;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTimeEdit;
class TfrmPreview;

// One location row: subsidiary, store, "Include?" and "Preview".
class TStorePanel : public TControlPanel {
    Q_OBJECT
public:
    TStorePanel(const QString& ASbsNo, const QString& ASbsName, const QString& AStoreNo,
                const QString& AStoreCode, const QString& AStoreName, bool AIncluded,
                QWidget* AParent = nullptr);
    // The location item of the row ("001.005").
    QString LocationItem() const;

    QLabel* lblSbsNo;
    QLabel* lblSbsName;
    QLabel* lblStoreNo;
    QLabel* lblStoreCode;
    QLabel* lblStoreName;
    QCheckBox* cbInclude;
    QPushButton* btnPreview;
};

class TfrmBrevoltConfig : public QDialog {
    Q_OBJECT
public:
    static inline const QString WindowCaption = QStringLiteral("Brevolt Connector Configuration");
    // The size the window is laid out for, where the screen has room.
    static constexpr QSize DesignSize{676, 838};
    static inline const QString ServiceName = QString::fromLatin1(BrevoltIdentity::ServiceName);

    // FormCreate: loads the configuration, fills every field and posts the
    // loading of the location list.
    explicit TfrmBrevoltConfig(QWidget* AParent = nullptr);
    ~TfrmBrevoltConfig() override;

    // True once the store query has answered (rows or none); until then a
    // save keeps the stored "locations".
    bool LocationsLoaded() const { return FLocationsLoaded; }
    bool LocationsLoading() const { return FStoresWatcher.isRunning(); }
    // The row of a location item, or nullptr.
    TStorePanel* StorePanel(const QString& ALocationItem) const;

    // Event handlers, public so that tests can raise them as a click would.
    void WMConfigInit();
    void rgSchedulingClick();
    void cbNotificationsEnabledClick();
    // Checks and normalises a time field; false after showing the rejection.
    bool ValidateTimeControl(QLineEdit* AControl);
    void btnRunImmediateClick();
    void btnSaveClick();
    void btnCancelClick();
    // Escape, "Cancel" and closing: with unsaved edits, asks first.
    void reject() override;
    void btnCheckServiceClick();
    void btnTestFTPClick();
    void btnTestSMTPClick();
    void Image1Click();
    void PreviewClick(TStorePanel* APanel);

    // The pages and the buttons under them.
    QTabWidget* PageControl1;
    QWidget* tsSchedule;
    QWidget* tsSettings;
    QPushButton* btnCheckService;
    QPushButton* btnSave;
    QPushButton* btnCancel;
    QLabel* lblConfigFile;

    // Schedule page.
    QLabel* Image1;
    TControlGrid* grdLocations;
    QGroupBox* rgScheduling;
    QRadioButton* rbIntervals;
    QRadioButton* rbTimes;
    QPushButton* btnRunImmediate;
    QWidget* pnlIntervals;
    QSpinBox* spnInterval;
    QLabel* lblIntervalKept; // a stored interval the field cannot show
    QLabel* lblSleepBetween;
    QLabel* lblSleepAnd;
    QLineEdit* edtSleepBegin;
    QLineEdit* edtSleepEnd;
    QWidget* pnlDayTimes;
    QLineEdit* edtDayTimes[7][6]; // row 0 Sunday ... 6 Saturday

    // Settings page.
    QLineEdit* edtFTPServer;
    QLineEdit* edtFTPUsername;
    QLineEdit* edtFTPPassword;
    QCheckBox* cbFTPUseTLS;
    QPushButton* btnTestFTP;
    QSpinBox* spnLogLevel;
    QDateEdit* dtpLastRunDate;
    QTimeEdit* dtpLastRunTime;
    QSpinBox* spnOracleDelay;
    QLabel* lblOracleDelayKept;
    QLabel* lblLogLevelNote; // a typed level brought into range
    QCheckBox* cbRestartOnMissingData;
    QCheckBox* cbNotifyOnStartup;
    QCheckBox* cbNotificationsEnabled;
    QLineEdit* edtSMTPServer;
    QLineEdit* edtSMTPPort;
    QCheckBox* cbUseSSLTLS;
    QLineEdit* edtSMTPUsername;
    QLineEdit* edtSMTPPassword;
    QLineEdit* edtSMTPFrom;
    QPushButton* btnTestSMTP;
    QLineEdit* edtStartupEmails;
    QLineEdit* edtShutdownEmails;
    QLineEdit* edtDailyPingEmails;
    QLineEdit* edtErrorEmails;

Q_SIGNALS:
    // The location list has answered (filled, empty or failed).
    void LocationsLoadFinished();
    // A preview has ended: its window or its message was closed.
    void PreviewFinished();
    // An FTP or SMTP test has ended: its message is showing, or the address
    // window was cancelled.
    void ConnectionTestFinished();

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    void CreateSchedulePage();
    void CreateSettingsPage();
    void FormCreate();
    void StoresQueryFinished();
    // The line under the pages: the file the window edits, and what is wrong
    // with it or with the service's directory.
    void ShowConfigFileState(bool ALoaded);
    void OrderStoreRows();
    // Saves, closing the window unless the save failed.
    void SaveAndClose();
    // Writes the fields; "runimmediate" only with the save of a run request,
    // so that a later save cannot ask for a run the service already took up.
    void SaveSettings(bool AWithRunRequest = false);
    // The record as the fields show it, on top of ACfg.
    void ReadFields(TConnectorConfig& ACfg) const;
    // What a save would write, as one text: compared to tell unsaved edits.
    QString FieldsText() const;
    void ShowRunImmediateState();
    static TDateTime ReadTimeControl(const QLineEdit* AControl);
    QDateTime LastRunField() const;
    static void ShowTimeValue(QLineEdit* AControl, TDateTime AValue);
    QLineEdit* NewTimeControl(const QString& AAccessibleName, const QString& AHint);
    // Runs one connection test off the window's thread with AButton off,
    // then shows its result.
    void RunConnectionTest(const QString& AName, QPushButton* AButton,
                           std::function<uConnectionTests::TTestResult()> AJob);

    QList<QLineEdit*> FTimeControls;
    QList<TStorePanel*> FStorePanels;
    bool FLocationsLoaded = false;
    bool FRejectingTime = false;
    // The last run as shown when the window opened.
    QDateTime FLastRunShown;
    // FieldsText() at opening and after each save; empty before the window
    // has shown its values.
    QString FSavedFields;
    // A setting in milliseconds on a field of whole minutes or seconds: the
    // number shown at opening, and the stored value when the field could not
    // show it, which a save keeps unless the field was changed.
    struct TShownValue {
        int Shown = 0;
        std::optional<int> Kept;
    };
    TShownValue FIntervalShown, FOracleDelayShown;
    static void ShowMilliseconds(QSpinBox* ASpin, QLabel* ANote, int AUnitMs, int AStored,
                                 TShownValue& AShown);
    static int ReadMilliseconds(QSpinBox* ASpin, int AUnitMs, const TShownValue& AShown);
    QPointer<QMessageBox> FNote;
    QPointer<TfrmPreview> FPreview;
    QFutureWatcher<uConfiguratorDatabase::TQueryResult> FStoresWatcher;
};

namespace fBrevolt9Config {

// What a failed store list says before the driver's own text.
inline const QString StoreListFailedText =
    QStringLiteral("The stores could not be read from the Retail Pro database. Check that the "
                   "database is running, that this computer reaches it, and the database "
                   "settings; then choose Retry.");
inline const QString PreviewFailedText =
    QStringLiteral("The invoices could not be read from the Retail Pro database. Check that the "
                   "database is running, that this computer reaches it, and the database "
                   "settings.");
// The time-entry rule of the time fields: the typed text normalised to
// "hh:nn AM/PM" in AResult, or false with the working text as far as it was
// transformed. Empty text is accepted as empty (unset).
bool NormaliseTimeText(const QString& AText, QString& AResult);
} // namespace fBrevolt9Config
