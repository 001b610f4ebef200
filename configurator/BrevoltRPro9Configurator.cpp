// Program entry of the configuration utility.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "configurator/fBrevolt9Config.h"
#include "configurator/uBackgroundJobs.h"
#include "configurator/uMessages.h"
#include "platform/Process.h"

#include <cstdlib>
#include <QApplication>

int main(int argc, char* argv[]) {
    platform::FollowSystemTimeZone();
    platform::SetCommandLine(argc, argv);
    uOVLogging::StartModule();
    uOVLogging::ChangeSettings([](uOVLogging::TLogSettings& S) { S.LogLevelChangesLogged = true; });
    uBrevoltRPro9ConnectorCommon::Init(QStringLiteral("BrevoltRPro9Configurator"), false);
    // The configuration lives with the service when the service directory is
    // recorded (the programs may be installed apart); the log stays here.
    const QString serviceDir = uBrevoltRPro9ConnectorCommon::RegisteredServiceDirectory();
    if (!serviceDir.isEmpty())
        uOVUtils::SetExeDir(serviceDir);
    uOVLogging::info(1, QStringLiteral("Configuration file: ") +
                            uBrevoltRPro9ConnectorCommon::ConfigFilePath());

    int code = 0;
    {
        QApplication application(argc, argv);
        // The application's title; not the display name, which the desktop
        // would append to the window's own caption.
        QApplication::setApplicationName(uMessages::ApplicationTitle);
        // Lets the desktop match the window to the menu entry the package installs.
        QApplication::setDesktopFileName(QStringLiteral("brevolt-rpro9-configurator"));
        TfrmBrevoltConfig window;
        window.show();
        code = QApplication::exec();
        // A query still waiting for the database's log-in, or a connection
        // test or service request waiting out its time-out, is not waited for:
        // the window has closed and nothing it could return is needed.
        if (uBackgroundJobs::Busy()) {
            uOVLogging::info(1, QStringLiteral("Leaving while background work is still running"));
            uBrevoltRPro9ConnectorCommon::Done();
            uOVLogging::EndModule();
            std::_Exit(code);
        }
    }

    uBrevoltRPro9ConnectorCommon::Done();
    uOVLogging::EndModule();
    return code;
}
