// Events go to the Application log through an event source named by the
// caller. The service's installation names its program as the source's
// message file, whose one message is the event's text (EventMessages.mc),
// so the event viewer shows the text itself.
#include "platform/EventLog.h"

#include "platform/win32/EventSource.h"
#include "platform/win32/Handles.h"
#include "platform/win32/WideText.h"

#include <stdexcept>

namespace platform {

namespace {
std::wstring SourceKeyPath(const std::string& ASource) {
    return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + win32::Widen(ASource);
}
} // namespace

namespace win32 {

void RegisterEventMessages(const std::string& ASource, const std::string& AMessageFile) {
    HKEY opened = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, SourceKeyPath(ASource).c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &opened, nullptr);
    const TKey key(opened);
    const std::wstring file = Widen(AMessageFile);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(file.c_str()),
                            static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof types);
    if (rc != ERROR_SUCCESS)
        throw std::runtime_error("cannot register the event source " + ASource + " (error " +
                                 std::to_string(rc) + ")");
}

void UnregisterEventMessages(const std::string& ASource) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, SourceKeyPath(ASource).c_str());
}

} // namespace win32

static_assert(static_cast<WORD>(EventType::Error) == EVENTLOG_ERROR_TYPE &&
              static_cast<WORD>(EventType::Warning) == EVENTLOG_WARNING_TYPE &&
              static_cast<WORD>(EventType::Information) == EVENTLOG_INFORMATION_TYPE);

void WriteEvent(const std::string& ASource, EventType AType, const std::string& AMessage) {
    const win32::TEventSource source(RegisterEventSourceW(nullptr, win32::Widen(ASource).c_str()));
    if (!source)
        return;
    const std::wstring message = win32::Widen(AMessage);
    const wchar_t* strings[] = {message.c_str()};
    ReportEventW(source.get(), static_cast<WORD>(AType), 0, win32::EventTextMessageId, nullptr, 1,
                 0, strings, nullptr);
}

} // namespace platform
