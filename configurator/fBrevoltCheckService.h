#pragma once
// The service check: the connector service's state, a button to start or
// stop it, and Refresh. Every request to the service manager runs on a
// worker thread, so the window stays painted while a start waits; the window
// may close at any time, a request still running finishes unseen.
#include <QDialog>
#include <QFutureWatcher>

class QLabel;
class QPushButton;
class QTimer;

class TfrmCheckService : public QDialog {
    Q_OBJECT
public:
    static inline const QString WindowCaption = QStringLiteral("Check Connector Service");
    static inline const QString RequestingText =
        QStringLiteral("Requesting service status from Windows...");

    enum TServiceAction { saNone = 0, saStart = 1, saStop = 2 };

    static constexpr int StartBudgetSeconds = 32767;
    // A pending state is read again this much later.
    static constexpr int PollIntervalMs = 250;
    // The pause between the end of a start or stop and the next reading.
    static constexpr int SettleDelayMs = 1000;

    explicit TfrmCheckService(QWidget* AParent = nullptr);
    ~TfrmCheckService() override;

    // Opens the window (window-modal over its parent) on AServiceName and
    // reads the state once it shows.
    void Execute(const QString& AServiceName);
    // The status line, the action and its button for a state (1 stopped ...
    // 7 paused, anything else unknown); pending states are read again.
    void ShowServiceState(int AState);
    // Reads the state on a worker thread and shows it when it comes; nothing
    // when a reading is already under way (its answer serves).
    void RefreshServiceState();

    // Event handlers, public so that tests can raise them as a click would.
    void btnActionClick();
    void btnRefreshClick();

    const QString& ServiceName() const { return FServiceName; }
    TServiceAction Action() const { return FAction; }
    bool ActionRunning() const;

    // The threads of the requests. Never destroyed: neither closing the
    // window nor leaving the program waits for a start in progress.

    QLabel* Image1;
    QLabel* lblStatus;
    QPushButton* btnAction;
    QPushButton* btnRefresh;
    QTimer* tmrPoll;   // the next reading of a pending state
    QTimer* tmrSettle; // the reading after a start or stop

Q_SIGNALS:
    // A state has been shown (after every reading and ShowServiceState).
    void StateShown(int AState);

private:
    void QueryFinished();
    void ActionFinished();
    void ActionSettled();
    void SetButtonsEnabled(bool AEnabled);

    QString FServiceName;
    TServiceAction FAction = saNone;
    QFutureWatcher<int> FQueryWatcher;
    QFutureWatcher<bool> FActionWatcher;
};
