#include "service/tray/fConnectorWindow.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVClock.h"
#include "common/uOVLogging.h"
#include "platform/Process.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "service/uBrevoltRPro9Service.h"

#include <algorithm>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QUrl>

namespace {
const QString AreaLogicInit = QStringLiteral("TdlgConnectorLogic.WMLogicInit");
const QString MakerAddress = QStringLiteral("https://www.orvanesoftware.invalid/");

QFont TahomaFont(int APixels, bool ABold = false) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(APixels);
    font.setBold(ABold);
    return font;
}
} // namespace

TfrmConnectorLogic::TfrmConnectorLogic(QWidget* AParent)
    : QWidget(AParent, Qt::Window | Qt::FramelessWindowHint) {
    setWindowTitle(QStringLiteral("Connector"));
    setFixedSize(600, 300);
    setFont(TahomaFont(11));
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    Image1 = new QLabel(this);
    Image1->setGeometry(rect());
    Image1->setStyleSheet(QStringLiteral("background-color: #f4f6f8;"));
    Label2 = new QLabel(QStringLiteral("Sends the recent sales of Retail Pro 9 to the Brevolt "
                                       "marketing service.\nOrvaneSoftware"),
                        this);
    Label2->setGeometry(24, 40, 552, 80);
    Label2->setWordWrap(true);
    lblVersion = new QLabel(QStringLiteral("Version: %s"), this);
    lblVersion->setFont(TahomaFont(13, true));
    lblVersion->setGeometry(24, 190, 552, 20);
    lblRelease = new QLabel(QStringLiteral("Release: %s"), this);
    lblRelease->setGeometry(24, 214, 552, 18);
    lblURL = new QLabel(
        QStringLiteral("<a href=\"%1\" style=\"color: blue;\">%1</a>").arg(MakerAddress), this);
    lblURL->setGeometry(24, 256, 552, 18);
    lblURL->setOpenExternalLinks(true);

    PopupMenu1 = new QMenu(this);
    About1 = PopupMenu1->addAction(QStringLiteral("About"), this, &TfrmConnectorLogic::About1Click);
    Logs1 = PopupMenu1->addAction(QStringLiteral("Logs"), this, &TfrmConnectorLogic::Logs1Click);
    N1 = PopupMenu1->addSeparator();
    Exit1 = PopupMenu1->addAction(QStringLiteral("Exit"), this, &TfrmConnectorLogic::Exit1Click);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        TrayIcon1 = new QSystemTrayIcon(style()->standardIcon(QStyle::SP_ComputerIcon), this);
        TrayIcon1->setToolTip(QStringLiteral("Brevolt"));
        TrayIcon1->setContextMenu(PopupMenu1);
        TrayIcon1->show();
    }

    FLogic = new TdlgConnectorLogic(this);
    dlgConnectorLogic = FLogic;
    if (!TrayIcon1)
        uOVLogging::info(
            1, QStringLiteral("No notification area available; running without a tray icon"),
            AreaLogicInit);
    DisplayVersion();
}

TfrmConnectorLogic::~TfrmConnectorLogic() {
    delete FLogic;
    FLogic = nullptr;
}

void TfrmConnectorLogic::DisplayVersion() {
    DisplayVersion(
        uOVUtils::GetFileVersionText(QString::fromStdString(platform::ExecutablePath())));
}

void TfrmConnectorLogic::DisplayVersion(const QString& AVersion) {
    QString version, release;
    const bool hasRelease = uOVUtils::SplitFileVersion(AVersion, version, release);
    lblVersion->setText(QStringLiteral("Version: ") + version);
    lblRelease->setText(QStringLiteral("Release: ") + release);
    lblRelease->setVisible(hasRelease);
}

bool TfrmConnectorLogic::event(QEvent* AEvent) {
    if (AEvent->type() == QEvent::WindowActivate)
        FormActivate();
    return QWidget::event(AEvent);
}

// Not every platform activates a window when it is shown (offscreen, a
// desktop that refuses focus): the start-up must not depend on it.
void TfrmConnectorLogic::showEvent(QShowEvent* AEvent) {
    QWidget::showEvent(AEvent);
    FormActivate();
}

void TfrmConnectorLogic::FormActivate() {
    // Posted once: a second start-up would probe and start the timers again.
    if (FLogic->FEnabled || FLogicInitPosted)
        return;
    FLogicInitPosted = true;
    QMetaObject::invokeMethod(this, &TfrmConnectorLogic::WMLogicInit, Qt::QueuedConnection);
}

bool TfrmConnectorLogic::Pause(int AMilliseconds) {
    for (int left = AMilliseconds; left > 0 && !FExiting; left -= 100) {
        Clock().Sleep(std::min(left, 100));
        QCoreApplication::processEvents();
    }
    return !FExiting;
}

void TfrmConnectorLogic::WMLogicInit() {
    try {
        {
            QMessageBox box(QMessageBox::Information, uBrevoltRPro9Service::ApplicationTitle,
                            QStringLiteral("Initializing..."), QMessageBox::NoButton);
            box.setModal(false);
            box.show();
            QCoreApplication::processEvents();
            if (!FLogic->FEnabled) {
                FLogic->Enable();
                Pause(1000);
                HideMe();
            }
        }
        if (FExiting || FLogic->StopRequested())
            return;
        const int delay = FLogic->FDelaySecs;
        if (delay > 0) {
            uOVLogging::info(1,
                             QStringLiteral("Pausing ") + QString::number(delay) +
                                 QStringLiteral(" seconds to allow Oracle to settle..."),
                             AreaLogicInit);
            if (!Pause(delay * 1000))
                return;
            uOVLogging::info(1, QStringLiteral("Oracle pause completed, continuing."),
                             AreaLogicInit);
        }
        FLogic->InitDatabase();
        FLogic->StartTimers();
    } catch (const std::exception& E) {
        uOVLogging::exc(E, AreaLogicInit);
    }
}

void TfrmConnectorLogic::closeEvent(QCloseEvent* AEvent) {
    FExiting = true;
    FLogic->Disable();
    if (TrayIcon1)
        TrayIcon1->hide();
    AEvent->accept();
    // The main window closes: the program ends, hidden or not.
    QCoreApplication::quit();
}

void TfrmConnectorLogic::keyReleaseEvent(QKeyEvent* AEvent) {
    if (AEvent->key() == Qt::Key_Escape &&
        !(AEvent->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)))
        HideMe();
    QWidget::keyReleaseEvent(AEvent);
}

void TfrmConnectorLogic::HideMe() {
    hide();
}

void TfrmConnectorLogic::ShowMe() {
    showNormal();
    raise();
    activateWindow();
}

void TfrmConnectorLogic::ClosePopupMenu() {
    PopupMenu1->hide();
}

void TfrmConnectorLogic::About1Click() {
    ClosePopupMenu();
    ShowMe();
}

void TfrmConnectorLogic::Logs1Click() {
    ClosePopupMenu();
    QDesktopServices::openUrl(QUrl::fromLocalFile(uOVLogging::LogDir()));
}

void TfrmConnectorLogic::Exit1Click() {
    ClosePopupMenu();
    close();
}

void TfrmConnectorLogic::RequestExit() {
    FLogic->RequestStop();
    QMetaObject::invokeMethod(this, &TfrmConnectorLogic::Exit1Click, Qt::QueuedConnection);
}
