#pragma once
// What a test may change of the process and must give back: the program and
// log folders, the logging settings and default logger, the command line,
// the clocks and the configuration record. A fixture holds one guard as its
// first member, so that it restores all of it after everything else is gone.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVClock.h"
#include "common/uOVLogging.h"
#include "common/uOVUtils.h"
#include "platform/Process.h"

#include <string>
#include <vector>

namespace testsupport {

class TProcessState {
public:
    TProcessState()
        : FExeDir(uOVUtils::ExeDir()), FLogDir(uOVLogging::LogDir()),
          FLogSettings(uOVLogging::Settings()), FDefaultLogger(uOVLogging::DefaultLogger()),
          FArguments(platform::CommandLineArguments()),
          FConfig(uBrevoltRPro9ConnectorCommon::Config()) {}
    ~TProcessState() {
        // Tests install clocks that live on their stack.
        SetClock(nullptr);
        SetDatabaseClock(nullptr);
        platform::SetCommandLine(FArguments);
        uOVLogging::SetDefaultLogger(FDefaultLogger);
        uOVLogging::SetSettings(FLogSettings);
        uOVLogging::SetLogDir(FLogDir);
        uOVUtils::SetExeDir(FExeDir);
        uBrevoltRPro9ConnectorCommon::Config() = FConfig;
    }
    TProcessState(const TProcessState&) = delete;
    TProcessState& operator=(const TProcessState&) = delete;

private:
    QString FExeDir;
    QString FLogDir;
    uOVLogging::TLogSettings FLogSettings;
    TOVLogger* FDefaultLogger;
    std::vector<std::string> FArguments;
    TConnectorConfig FConfig;
};

} // namespace testsupport
