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

// "--help" and the usual spellings of it; the program's own switches never
// start with a letter h.
bool HelpRequested(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        for (const char* help : {"--help", "-help", "/help", "-h", "/h", "-?", "/?"})
            if (argument.compare(QLatin1String(help), Qt::CaseInsensitive) == 0)
                return true;
    }
    return false;
}

void PrintHelp() {
    std::cout
        << "Usage: BrevoltRPro9Service [switch ...]\n"
           "       BrevoltRPro9Service -install [-silent] [switch ...]\n"
           "       BrevoltRPro9Service -uninstall [-silent]\n"
           "\n"
           "Without a switch the program runs as the systemd service "
           "BrevoltRPro9Connector.\n"
           "Switches follow - or /, in any letter case:\n"
           "  console          the tray program instead of the service (needs a desktop,\n"
           "                   or QT_QPA_PLATFORM=offscreen)\n"
           "  runonce          start one run as soon as the service is enabled, then stop;\n"
           "                   exit code 0 when the run completed\n"
           "  skiptransmit     pretend that uploads succeed, without any connection\n"
           "  debug            log every batch line\n"
           "  loglevel=N       log level 0-9 until the configuration sets one\n"
           "  logmachine=1     CPU, firmware, OS, MAC and volume facts in the log header\n"
           "  tracelogdir=DIR  write orvlogger.log in DIR, naming the log folder\n"
           "  install          write the unit BrevoltRPro9Connector.service (ExecStart keeps\n"
           "                   the other switches), record this folder as the service\n"
           "                   directory in the registry file and enable the unit\n"
           "  uninstall        undo install\n"
           "  silent           no confirmation line for install and uninstall\n"
           "  --help           this text\n";
}

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
    platform::FollowSystemTimeZone();
    // Before the logger starts: asking for help leaves no log behind.
    if (HelpRequested(argc, argv)) {
        PrintHelp();
        return 0;
    }
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
