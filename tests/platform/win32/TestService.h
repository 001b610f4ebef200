#pragma once
// The tiny service the Windows tests install: the service host of the
// platform layer with a service thread that does nothing but answer the
// controls. Two gates let a test hold it in its pending states.
namespace testservice {

// The definition it installs under, that of the connector.
inline constexpr const char* Name = "BrevoltRPro9Connector";
inline constexpr const char* Description = "Brevolt connector service for Retail Pro 9.";
inline constexpr const char* Title = "Brevolt Connector for Retail Pro 9";

// Manual-reset events a test may create: while one exists unsignalled, the
// service waits for it (at most GateTimeoutMs) before it reports running,
// respectively before it ends after a stop.
inline constexpr const wchar_t* StartGate = L"Global\\BrevoltTestServiceStart";
inline constexpr const wchar_t* StopGate = L"Global\\BrevoltTestServiceStop";
inline constexpr unsigned long GateTimeoutMs = 30000;

// Where the install handler leaves its mark, and the uninstall handler
// removes it.
inline constexpr const char* MarkKey = "SOFTWARE\\BrevoltPlatformTest\\Service";

} // namespace testservice
