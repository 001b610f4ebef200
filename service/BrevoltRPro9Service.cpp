// Program entry of the service program: service mode by default, forms mode
// (tray window) with "console".
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVLogging.h"
#include "common/uOVUtils.h"
#include "platform/Process.h"
#include "platform/ServiceHost.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "service/tray/fConnectorWindow.h"
#include "service/uBootstrapTrace.h"
#include "service/uBrevoltRPro9Service.h"

#include <iostream>
#include <QApplication>
#include <QCoreApplication>
#include <thread>

namespace {

int RunFormsMode(int& argc, char** argv) {
    uBootstrapTrace::Append(QStringLiteral("Running in forms mode"));
    QApplication application(argc, argv);
    QApplication::setApplicationDisplayName(uBrevoltRPro9Service::ApplicationTitle);
    // The window spends its life hidden, and the start-up box closes after
    // it hides: only Exit (or a stop signal) ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    // SIGTERM and SIGINT take the Exit path; one that comes while the window
    // is being made waits in the source.
    platform::ControlSource controls(false);
    TfrmConnectorLogic window;
    window.show();
    std::thread watcher([&] {
        while (const auto control = controls.Wait())
            if (*control == platform::ServiceControl::Stop)
                window.RequestExit();
    });
    const int code = QApplication::exec();
    controls.Wake();
    watcher.join();
    return code;
}

int RunServiceMode(int& argc, char** argv) {
    uBootstrapTrace::Append(QStringLiteral("Running in service mode"));
    QCoreApplication application(argc, argv);
    platform::ServiceHost host(uBrevoltRPro9Service::Definition());
    TBrevoltRPro9Connector service(host);
    service.SetRunOnce(uOVUtils::FindCmdLineSwitch(QStringLiteral("runonce")));
    uBootstrapTrace::Append(QStringLiteral("Running service application thread"));
    return host.Run();
}

} // namespace

int main(int argc, char* argv[]) {
    platform::SetCommandLine(argc, argv);
    uOVLogging::StartModule();
    uBrevoltRPro9ConnectorCommon::Init(QStringLiteral("BrevoltRPro9Service"), true);

    ConsoleMode = uOVUtils::FindCmdLineSwitch(QStringLiteral("console"));
    DebugMode = uOVUtils::FindCmdLineSwitch(QStringLiteral("debug"));
    uBootstrapTrace::Rewrite(QStringLiteral("Brevolt Connector: Executing"));
    int code = 1;
    try {
        code = ConsoleMode ? RunFormsMode(argc, argv) : RunServiceMode(argc, argv);
    } catch (const std::exception& E) {
        if (uBrevoltRPro9ConnectorCommon::AppLogger)
            uBrevoltRPro9ConnectorCommon::AppLogger->exc(E, QStringLiteral("BrevoltRPro9Service"));
        std::cerr << uBrevoltRPro9Service::ApplicationTitle.toStdString() << ": " << E.what()
                  << std::endl;
    }

    uBrevoltRPro9ConnectorCommon::Done();
    uOVLogging::EndModule();
    return code;
}
