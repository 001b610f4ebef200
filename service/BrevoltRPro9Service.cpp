// Program entry of the service program.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "platform/Process.h"

int main(int argc, char* argv[]) {
    platform::SetCommandLine(argc, argv);
    uOVLogging::StartModule();
    uBrevoltRPro9ConnectorCommon::Init(QStringLiteral("BrevoltRPro9Service"), true);
    uBrevoltRPro9ConnectorCommon::Done();
    uOVLogging::EndModule();
    return 0;
}
