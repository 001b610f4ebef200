// Program entry of the configuration utility.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "platform/Process.h"

int main(int argc, char* argv[]) {
    platform::SetCommandLine(argc, argv);
    uOVLogging::StartModule();
    uOVLogging::LogLevelChangesLogged = true;
    uBrevoltRPro9ConnectorCommon::Init(QStringLiteral("BrevoltRPro9Configurator"), false);
    uBrevoltRPro9ConnectorCommon::Done();
    uOVLogging::EndModule();
    return 0;
}
