#pragma once
// What the service framework knows only under systemd: the service runs in
// the foreground (Type=notify), a unit file is its registration and a
// datagram to NOTIFY_SOCKET its status report.
#include "platform/ServiceHost.h"

#include <string>
#include <vector>

namespace platform {

// The folder of the unit file: BREVOLT_SYSTEMD_DIR, else /etc/systemd/system.
std::string SystemdUnitDirectory();
// The unit file's text for a service started by AExecStart (program first);
// the unit is the definition's Name + ".service".
std::string BuildUnitFile(const ServiceDefinition& ADefinition,
                          const std::vector<std::string>& AExecStart);
// One ExecStart= word, quoted and escaped where systemd needs it.
std::string QuoteUnitWord(const std::string& AWord);

// Sends one datagram ("READY=1", "STOPPING=1", "STATUS=...") to the socket
// named by NOTIFY_SOCKET; silent when it is unset or cannot be reached.
void NotifyServiceManager(const std::string& AState);

} // namespace platform
