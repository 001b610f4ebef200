#pragma once
// The registration of an event source with the message table linked into
// its program (EventMessages.mc), made and removed with the service.
#include <string>

namespace platform::win32 {

// The message table's only message: the event's text ("%1").
constexpr unsigned long EventTextMessageId = 1;

// Names AMessageFile (the program holding the table) for the events of
// ASource in the Application log. Throws std::runtime_error on failure.
void RegisterEventMessages(const std::string& ASource, const std::string& AMessageFile);
// Removes the registration; missing is fine.
void UnregisterEventMessages(const std::string& ASource);

} // namespace platform::win32
