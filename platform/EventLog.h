#pragma once
// The system's event log, where an administrator looks for a service's
// messages; the event source names the program.
#include <string>

namespace platform {

// The event types of the design, by their numbers.
enum class EventType { Error = 1, Warning = 2, Information = 4 };

// Writes one event; never fails (an unreachable log loses the event).
void WriteEvent(const std::string& ASource, EventType AType, const std::string& AMessage);

} // namespace platform
