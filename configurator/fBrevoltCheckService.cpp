#include "configurator/fBrevoltCheckService.h"

#include "configurator/fBrevolt9About.h"
#include "configurator/uBackgroundJobs.h"
#include "configurator/uOVWinServicesUtils.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

TfrmCheckService::TfrmCheckService(QWidget* AParent) : QDialog(AParent) {
    setWindowTitle(WindowCaption);
    setFixedSize(574, 104);
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    Image1 = new QLabel(this);
    Image1->setGeometry(8, 8, 88, 88);
    Image1->setPixmap(fBrevolt9About::BrevoltLogo(Image1->size()));

    lblStatus = new QLabel(RequestingText, this);
    lblStatus->setGeometry(112, 18, 450, 24);

    btnAction = new QPushButton(QStringLiteral("Start"), this);
    btnAction->setGeometry(376, 64, 88, 28);
    btnAction->hide();
    btnRefresh = new QPushButton(QStringLiteral("Refresh"), this);
    btnRefresh->setGeometry(474, 64, 88, 28);
    connect(btnAction, &QPushButton::clicked, this, &TfrmCheckService::btnActionClick);
    connect(btnRefresh, &QPushButton::clicked, this, &TfrmCheckService::btnRefreshClick);

    tmrPoll = new QTimer(this);
    tmrPoll->setSingleShot(true);
    tmrPoll->setInterval(PollIntervalMs);
    connect(tmrPoll, &QTimer::timeout, this, &TfrmCheckService::RefreshServiceState);
    tmrSettle = new QTimer(this);
    tmrSettle->setSingleShot(true);
    // A coarse timer may fire a few percent early; this pause is the point.
    tmrSettle->setTimerType(Qt::PreciseTimer);
    tmrSettle->setInterval(SettleDelayMs);
    connect(tmrSettle, &QTimer::timeout, this, &TfrmCheckService::ActionSettled);

    connect(&FQueryWatcher, &QFutureWatcherBase::finished, this, &TfrmCheckService::QueryFinished);
    connect(&FActionWatcher, &QFutureWatcherBase::finished, this,
            &TfrmCheckService::ActionFinished);
}

// The watchers let go of their futures without waiting for them.
TfrmCheckService::~TfrmCheckService() = default;

void TfrmCheckService::Execute(const QString& AServiceName) {
    FServiceName = AServiceName;
    open();
    QMetaObject::invokeMethod(this, &TfrmCheckService::RefreshServiceState, Qt::QueuedConnection);
}

void TfrmCheckService::ShowServiceState(int AState) {
    QString text = QStringLiteral("UNKNOWN");
    FAction = saNone;
    bool poll = false;
    switch (AState) {
    case platform::ServiceStopped:
        text = QStringLiteral("Stopped");
        btnAction->setText(QStringLiteral("Start"));
        btnAction->show();
        FAction = saStart;
        break;
    case platform::ServiceStartPending:
        text = QStringLiteral("Start pending");
        btnAction->hide();
        poll = true;
        break;
    case platform::ServiceStopPending:
        text = QStringLiteral("Stop pending");
        btnAction->hide();
        poll = true;
        break;
    case platform::ServiceRunning:
        text = QStringLiteral("Running");
        btnAction->setText(QStringLiteral("Stop"));
        btnAction->show();
        FAction = saStop;
        break;
    case platform::ServiceContinuePending:
        text = QStringLiteral("Continue pending");
        btnAction->hide();
        poll = true;
        break;
    case platform::ServicePausePending:
        text = QStringLiteral("Pause pending");
        btnAction->hide();
        poll = true;
        break;
    case platform::ServicePaused:
        text = QStringLiteral("Paused");
        btnAction->hide();
        break;
    default:
        // The button keeps its look; without an action a click does nothing.
        break;
    }
    lblStatus->setText(FServiceName + QStringLiteral(": ") + text);
    if (poll)
        tmrPoll->start();
    else
        tmrPoll->stop();
    Q_EMIT StateShown(AState);
}

void TfrmCheckService::RefreshServiceState() {
    if (FQueryWatcher.isRunning())
        return;
    const QString name = FServiceName;
    FQueryWatcher.setFuture(uBackgroundJobs::Run(uBackgroundJobs::TPool::Network, [name] {
        return uOVWinServicesUtils::GetServiceState(QString(), name);
    }));
}

void TfrmCheckService::QueryFinished() {
    // A start or stop in progress keeps its line until its own reading.
    if (ActionRunning())
        return;
    ShowServiceState(FQueryWatcher.result());
}

bool TfrmCheckService::ActionRunning() const {
    return FActionWatcher.isRunning() || tmrSettle->isActive();
}

void TfrmCheckService::btnActionClick() {
    if (ActionRunning())
        return;
    const QString name = FServiceName;
    QFuture<bool> request;
    switch (FAction) {
    case saStart:
        lblStatus->setText(QStringLiteral("Starting..."));
        request = uBackgroundJobs::Run(uBackgroundJobs::TPool::Network, [name] {
            return uOVWinServicesUtils::StartServiceAndWait(QString(), name, StartBudgetSeconds);
        });
        break;
    case saStop:
        lblStatus->setText(QStringLiteral("Stopping..."));
        request = uBackgroundJobs::Run(uBackgroundJobs::TPool::Network, [name] {
            return uOVWinServicesUtils::StopServiceAndWait(QString(), name);
        });
        break;
    default:
        return;
    }
    tmrPoll->stop();
    SetButtonsEnabled(false);
    FActionWatcher.setFuture(request);
}

// Whether it worked or not, the state read a moment later tells.
void TfrmCheckService::ActionFinished() {
    tmrSettle->start();
}

void TfrmCheckService::ActionSettled() {
    SetButtonsEnabled(true);
    RefreshServiceState();
}

void TfrmCheckService::btnRefreshClick() {
    RefreshServiceState();
}

void TfrmCheckService::SetButtonsEnabled(bool AEnabled) {
    btnAction->setEnabled(AEnabled);
    btnRefresh->setEnabled(AEnabled);
    if (AEnabled)
        unsetCursor();
    else
        setCursor(Qt::BusyCursor);
}
