// Placeholder until the logger lands.
#include "common/uOVLogging.h"
namespace uOVLogging {
bool LogLevelChangesLogged = false;
void StartModule() {}
void EndModule() {}
}
