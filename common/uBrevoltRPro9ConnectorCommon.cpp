// Placeholder until the configuration module lands.
#include "common/uBrevoltRPro9ConnectorCommon.h"
TConnectorConfig::TConnectorConfig() {}
namespace uBrevoltRPro9ConnectorCommon {
void Init(const QString&, bool) {}
void Done() {}
}
