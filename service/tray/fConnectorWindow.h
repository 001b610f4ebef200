#pragma once
// Forms mode ("console"): the engine's window. A small borderless about
// window, normally hidden, with a tray icon whose menu offers About, Logs
// and Exit. The engine, its timers and every run live on this window's
// thread.
#include <QWidget>

class QLabel;
class QMenu;
class QAction;
class QSystemTrayIcon;
class TdlgConnectorLogic;

class TfrmConnectorLogic : public QWidget {
    Q_OBJECT
public:
    // Creates the engine (which runs its initialisation) and stores it in
    // dlgConnectorLogic; ConsoleMode must be set before.
    explicit TfrmConnectorLogic(QWidget* AParent = nullptr);
    ~TfrmConnectorLogic() override;

    TdlgConnectorLogic* Logic() const { return FLogic; }

    void DisplayVersion();
    // The labels for a four-part version text: 3.1.7.20 shows "Version: 3.1"
    // and "Release: 7"; an empty text "Version: " alone.
    void DisplayVersion(const QString& AVersion);

    void FormActivate();
    void WMLogicInit();
    void HideMe();
    void ShowMe();
    void About1Click();
    void Logs1Click();
    void Exit1Click();

    // Any thread: end the program as Exit does, cutting short the waits of
    // the start-up.
    void RequestExit();

    QLabel* Image1;
    QLabel* Label2;
    QLabel* lblVersion;
    QLabel* lblRelease;
    QLabel* lblURL;
    QSystemTrayIcon* TrayIcon1 = nullptr; // none where the desktop has no tray
    QMenu* PopupMenu1;
    QAction* About1;
    QAction* Logs1;
    QAction* N1;
    QAction* Exit1;

protected:
    bool event(QEvent* AEvent) override;
    void showEvent(QShowEvent* AEvent) override;
    void closeEvent(QCloseEvent* AEvent) override;    // FormClose
    void keyReleaseEvent(QKeyEvent* AEvent) override; // FormKeyUp

private:
    void ClosePopupMenu();
    // Waits through the clock while the window keeps handling events; false
    // when Exit cut it short.
    bool Pause(int AMilliseconds);

    TdlgConnectorLogic* FLogic = nullptr;
    bool FLogicInitPosted = false;
    bool FExiting = false;
};
