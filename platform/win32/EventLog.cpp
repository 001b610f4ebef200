// Events go to the Application log through an event source named by the
// caller. The source has no message file: the viewer shows the text as the
// event's only insertion string.
#include "platform/EventLog.h"

#include "platform/win32/Handles.h"
#include "platform/win32/WideText.h"

namespace platform {

static_assert(static_cast<WORD>(EventType::Error) == EVENTLOG_ERROR_TYPE &&
              static_cast<WORD>(EventType::Warning) == EVENTLOG_WARNING_TYPE &&
              static_cast<WORD>(EventType::Information) == EVENTLOG_INFORMATION_TYPE);

void WriteEvent(const std::string& ASource, EventType AType, const std::string& AMessage) {
    const win32::TEventSource source(RegisterEventSourceW(nullptr, win32::Widen(ASource).c_str()));
    if (!source)
        return;
    const std::wstring message = win32::Widen(AMessage);
    const wchar_t* strings[] = {message.c_str()};
    // Category 0 and event id 0.
    ReportEventW(source.get(), static_cast<WORD>(AType), 0, 0, nullptr, 1, 0, strings, nullptr);
}

} // namespace platform
