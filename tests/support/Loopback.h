#pragma once
// The loopback addresses as the tests need them, on POSIX sockets or Winsock.
#include <QString>

namespace testsupport {

// Whether this machine has the IPv6 loopback address ::1.
bool HasIPv6Loopback();
// Whether AName resolves to ::1 and nothing else.
bool ResolvesOnlyToIPv6Loopback(const char* AName);
// A port of 127.0.0.1 with nothing listening on it (0 when none is found).
int ClosedLoopbackPort();
// Whether something accepts connections on APort of the loopback address
// AAddress ("127.0.0.1" or "::1").
bool AcceptsConnections(const QString& AAddress, int APort);

} // namespace testsupport
