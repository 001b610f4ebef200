// The Windows half of the platform layer against the real system (under
// Wine here): the registry's own view and value types, the naming of
// Windows releases, the version resource of other files, the machine's
// drives, and the service framework and service control against a service
// installed into the service control manager.
#include "platform/EventLog.h"
#include "platform/FileVersion.h"
#include "platform/LogFolder.h"
#include "platform/OsVersion.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "platform/SystemInfo.h"
#include "platform/win32/EventSource.h"
#include "platform/win32/Handles.h"
#include "platform/win32/WideText.h"
#include "platform/win32/WindowsName.h"
#include "tests/platform/win32/TestService.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <ostream>
#include <vector>
#include <windows.h>

using platform::RegistryKey;
using platform::win32::TKernelHandle;
using platform::win32::TKey;
using platform::win32::TServiceHandle;
using platform::win32::Widen;

namespace {

// The test service, built beside this program.
std::string ServiceProgram() {
    const std::string self = platform::ExecutablePath();
    return self.substr(0, self.rfind('\\') + 1) + "brevolt_test_service.exe";
}

// ---- registry ----------------------------------------------------------------

class Win32Registry : public ::testing::Test {
protected:
    void TearDown() override { platform::DeleteLocalMachineKey(Root); }
    static constexpr const char* Root = "SOFTWARE\\BrevoltPlatformTest\\Values";

    // A value written with the API itself, as other programs write them.
    static void SetRaw(const wchar_t* AName, DWORD AType, const void* AData, DWORD ASize) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, Widen(Root).c_str(), 0, nullptr, 0, KEY_WRITE,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const TKey owned(key);
        ASSERT_EQ(RegSetValueExW(key, AName, 0, AType, static_cast<const BYTE*>(AData), ASize),
                  ERROR_SUCCESS);
    }
};

TEST_F(Win32Registry, ReadsStringsAsStoredAndRefusesOtherTypes) {
    const wchar_t expandable[] = L"%SystemRoot%\\oracle";
    SetRaw(L"Home", REG_EXPAND_SZ, expandable, sizeof expandable);
    const DWORD number = 42;
    SetRaw(L"Count", REG_DWORD, &number, sizeof number);
    // Stored without its terminating zero, as some installers write.
    SetRaw(L"Bare", REG_SZ, L"abc", 3 * sizeof(wchar_t));

    const auto key = RegistryKey::OpenLocalMachine(Root);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->ReadString("Home"), "%SystemRoot%\\oracle");
    EXPECT_EQ(key->ReadString("Bare"), "abc");
    EXPECT_TRUE(key->ValueExists("Count"));
    EXPECT_THROW(key->ReadString("Count"), platform::RegistryError);
}

// The program's own view is the native one: what it writes is where a
// 64-bit program looks, not under WOW6432Node.
TEST_F(Win32Registry, WritesInTheProgramsOwnView) {
    RegistryKey::OpenLocalMachine(Root, true, true)->WriteString("Where", "native");
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(Root).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key),
        ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            L"SOFTWARE\\WOW6432Node\\BrevoltPlatformTest\\Values", 0, KEY_READ,
                            &key),
              ERROR_SUCCESS);
}

// ---- versions ------------------------------------------------------------------

struct NameCase {
    platform::win32::WindowsRelease Release;
    const char* Name;
};

class WindowsNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(WindowsNames, FollowTheReportedNumbers) {
    EXPECT_EQ(platform::win32::WindowsName(GetParam().Release), GetParam().Name);
}

constexpr unsigned long Nt = VER_PLATFORM_WIN32_NT;
constexpr unsigned long Nine = VER_PLATFORM_WIN32_WINDOWS;

INSTANTIATE_TEST_SUITE_P(
    Releases, WindowsNames,
    ::testing::Values(NameCase{{Nine, 4, 0, 950, false}, "Windows 95"},
                      NameCase{{Nine, 4, 10, 2222, false}, "Windows 98"},
                      NameCase{{Nt, 4, 0, 1381, false}, "Windows NT"},
                      NameCase{{Nt, 5, 0, 2195, false}, "Windows 2000"},
                      NameCase{{Nt, 5, 1, 2600, false}, "Windows XP"},
                      NameCase{{Nt, 5, 2, 3790, true}, "Windows 2003"},
                      NameCase{{Nt, 6, 0, 6002, false}, "Windows Vista"},
                      NameCase{{Nt, 6, 1, 7601, false}, "Windows 7"},
                      NameCase{{Nt, 6, 1, 7601, true}, "Windows Server 2008 R2"},
                      NameCase{{Nt, 6, 2, 9200, false}, "Windows 8"},
                      NameCase{{Nt, 6, 3, 9600, false}, "Windows 8.1"},
                      NameCase{{Nt, 10, 0, 19045, false}, "Windows 10"},
                      NameCase{{Nt, 10, 0, 22631, false}, "Windows 11"},
                      NameCase{{Nt, 10, 0, 14393, true}, "Windows Server 2016"},
                      NameCase{{Nt, 10, 0, 17763, true}, "Windows Server 2019"},
                      NameCase{{Nt, 10, 0, 20348, true}, "Windows Server 2022"},
                      NameCase{{Nt, 7, 0, 1, false}, "Windows?"},
                      NameCase{{0, 3, 1, 1, false}, "Windows?"}));

// Debian's Wine presents itself as Windows 7 with its service pack unless
// told otherwise.
TEST(OsVersion, NamesTheRunningWindows) {
    const platform::OsVersion v = platform::CurrentOsVersion();
    EXPECT_EQ(v.name, "Windows 7");
    EXPECT_EQ(v.major, 6);
    EXPECT_EQ(v.minor, 1);
    EXPECT_EQ(v.build, 7601);
    EXPECT_EQ(v.description, "Service Pack 1");
}

// The machine-wide log folder follows the system's ProgramData folder.
// Local times follow Windows' zone even where TZ holds a name the C runtime
// cannot read, and child processes still inherit TZ.
TEST(TimeZone, AnUnreadableTzLeavesTheRuntimeButNotTheChildren) {
    _putenv("TZ=Europe/Helsinki");
    platform::FollowSystemTimeZone();
    EXPECT_EQ(std::getenv("TZ"), nullptr);
    wchar_t inherited[64] = {};
    EXPECT_GT(GetEnvironmentVariableW(L"TZ", inherited, 64), 0u);
    EXPECT_STREQ(inherited, L"Europe/Helsinki");
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    EXPECT_EQ(_timezone, zone.Bias * 60L);

    _putenv("TZ=EST5EDT"); // the runtime's own form stays
    platform::FollowSystemTimeZone();
    EXPECT_STREQ(std::getenv("TZ"), "EST5EDT");
    _putenv("TZ=");
    _tzset();
}

TEST(LogFolder, IsTheVendorsLogsUnderProgramData) {
    wchar_t programData[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH), 0u);
    EXPECT_EQ(platform::MachineLogFolder("OrvaneSoftware"),
              platform::win32::Narrow(programData) + "\\OrvaneSoftware\\Logs");
}

TEST(FileVersion, ReadsTheResourceOfSystemFilesAndNothingElse) {
    wchar_t system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::string kernel = platform::win32::Narrow(system) + "\\kernel32.dll";
    EXPECT_NE(platform::ReadFileVersion(kernel), "");
    // A program built without the resource has none.
    EXPECT_EQ(platform::ReadFileVersion(ServiceProgram()), "");
}

TEST(Machine, ListsTheDrivesByLetter) {
    const platform::MachineInfo info = platform::ReadMachineInfo();
    const auto c = std::find_if(info.volumes.begin(), info.volumes.end(),
                                [](const platform::VolumeInfo& v) { return v.mountPoint == "c"; });
    ASSERT_NE(c, info.volumes.end());
    EXPECT_EQ(c->device, "C:\\");
    EXPECT_EQ(c->type, platform::VolumeType::Fixed);
    EXPECT_TRUE(c->available);
    EXPECT_GT(c->size, 0u);
    EXPECT_EQ(info.cpu.type, "x86_64");
}

// ---- service framework and control ---------------------------------------------

// Runs the test service with AArguments and returns its exit code.
DWORD RunServiceProgram(const std::wstring& AArguments) {
    std::wstring command = L"\"" + Widen(ServiceProgram()) + L"\" " + AArguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return static_cast<DWORD>(-1);
    const TKernelHandle owned(process.hProcess);
    CloseHandle(process.hThread);
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    return code;
}

TKernelHandle Gate(const wchar_t* AName) {
    return TKernelHandle(CreateEventW(nullptr, TRUE, FALSE, AName));
}

// The state until it is AState, polled for at most ten seconds.
int WaitForState(int AState) {
    int state = platform::ServiceStateUnknown;
    for (int i = 0; i < 200 && state != AState; ++i) {
        Sleep(50);
        state = platform::GetServiceState("", testservice::Name);
    }
    return state;
}

// The states seen, each once for as long as it lasted, with the check point
// and wait hint of each pending state's first reading.
class StateLog {
public:
    struct TEntry {
        DWORD State, CheckPoint, WaitHint;
        bool operator==(const TEntry&) const = default;
    };

    void Note() {
        const TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const TServiceHandle service(
            OpenServiceW(manager.get(), Widen(testservice::Name).c_str(), SERVICE_QUERY_STATUS));
        SERVICE_STATUS status{};
        QueryServiceStatus(service.get(), &status);
        if (FEntries.empty() || FEntries.back().State != status.dwCurrentState)
            FEntries.push_back({status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint});
    }
    const std::vector<TEntry>& Entries() const { return FEntries; }

private:
    std::vector<TEntry> FEntries;
};

void PrintTo(const StateLog::TEntry& AEntry, std::ostream* AOut) {
    *AOut << "{" << AEntry.State << ", " << AEntry.CheckPoint << ", " << AEntry.WaitHint << "}";
}

std::string EventSourceKey() {
    return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
           std::string(testservice::Name);
}

// What the event viewer shows for an event of ASource's message file with
// AText: the file's message for the event's id, AText inserted.
std::string EventText(const std::string& AMessageFile, const std::string& AText) {
    const HMODULE file = LoadLibraryExW(Widen(AMessageFile).c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!file)
        return "(cannot load " + AMessageFile + ")";
    const std::wstring text = Widen(AText);
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
    wchar_t shown[512] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                        file, platform::win32::EventTextMessageId, 0, shown, 512,
                                        reinterpret_cast<va_list*>(arguments));
    FreeLibrary(file);
    return length == 0 ? "(no message " + std::to_string(GetLastError()) + ")"
                       : platform::win32::Narrow(shown);
}

// One service installed for the suite; its tests run in order.
class ServiceManager : public ::testing::Test {
protected:
    // The service keeps the other switches of the install, quoted as needed.
    static void SetUpTestSuite() {
        ASSERT_EQ(RunServiceProgram(L"-INSTALL /silent \"-note=a b\" -debug"), 0u);
    }
    static void TearDownTestSuite() { RunServiceProgram(L"-uninstall -silent"); }
};

TEST_F(ServiceManager, InstallRegistersAnAutomaticOwnProcessService) {
    const TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const TServiceHandle service(
        OpenServiceW(manager.get(), Widen(testservice::Name).c_str(), SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service);
    std::vector<unsigned char> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service.get(), config, 8192, &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(platform::win32::Narrow(config->lpDisplayName), testservice::Name);
    EXPECT_EQ(platform::win32::Narrow(config->lpBinaryPathName),
              ServiceProgram() + " \"-note=a b\" -debug");

    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(), 8192,
                                     &needed));
    EXPECT_EQ(platform::win32::Narrow(description->lpDescription), testservice::Description);

    // The event viewer finds the events' text in the program's message table.
    const auto source = RegistryKey::OpenLocalMachine(EventSourceKey());
    ASSERT_TRUE(source.has_value());
    EXPECT_EQ(source->ReadString("EventMessageFile"), ServiceProgram());
    EXPECT_EQ(EventText(ServiceProgram(), "Brevolt Connector: a test event."),
              "Brevolt Connector: a test event.\r\n");

    // The install handler ran, and installing twice is refused.
    EXPECT_EQ(RegistryKey::OpenLocalMachine(testservice::MarkKey)->ReadString("Installed"), "yes");
    EXPECT_NE(RunServiceProgram(L"-install -silent"), 0u);
    EXPECT_EQ(platform::GetServiceState("", testservice::Name), platform::ServiceStopped);
}

// The gates hold the service in each pending state until the wait's first
// pause, which opens them; the pauses themselves are shortened.
TEST_F(ServiceManager, StartAndStopPassThroughThePendingStates) {
    const TKernelHandle startGate = Gate(testservice::StartGate);
    const TKernelHandle stopGate = Gate(testservice::StopGate);
    StateLog log;
    log.Note();
    auto pauseOpening = [&](HANDLE AGate) {
        return [&log, AGate](int AMilliseconds) {
            log.Note();
            SetEvent(AGate);
            Sleep(AMilliseconds / 10);
        };
    };
    EXPECT_TRUE(
        platform::StartServiceAndWait("", testservice::Name, 60, pauseOpening(startGate.get())));
    log.Note();
    EXPECT_TRUE(platform::StopServiceAndWait("", testservice::Name, pauseOpening(stopGate.get())));
    log.Note();
    EXPECT_EQ(log.Entries(), (std::vector<StateLog::TEntry>{{SERVICE_STOPPED, 0, 0},
                                                            {SERVICE_START_PENDING, 1, 5000},
                                                            {SERVICE_RUNNING, 0, 0},
                                                            {SERVICE_STOP_PENDING, 1, 5000},
                                                            {SERVICE_STOPPED, 0, 0}}));
}

TEST_F(ServiceManager, PausesAndContinuesOnTheServiceThread) {
    ASSERT_TRUE(platform::StartServiceAndWait("", testservice::Name, 60, [](int) { Sleep(100); }));
    const TServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const TServiceHandle service(
        OpenServiceW(manager.get(), Widen(testservice::Name).c_str(), SERVICE_PAUSE_CONTINUE));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(WaitForState(platform::ServicePaused), platform::ServicePaused);
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_CONTINUE, &status));
    EXPECT_EQ(WaitForState(platform::ServiceRunning), platform::ServiceRunning);
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(WaitForState(platform::ServicePaused), platform::ServicePaused);
    // A stop reaches a paused service too.
    EXPECT_TRUE(platform::StopServiceAndWait("", testservice::Name, [](int) { Sleep(100); }));
}

TEST_F(ServiceManager, UninstallRemovesTheServiceAndRunsItsHandler) {
    ASSERT_EQ(RunServiceProgram(L"/UNINSTALL -SILENT"), 0u);
    EXPECT_EQ(WaitForState(platform::ServiceStateUnknown), platform::ServiceStateUnknown);
    EXPECT_FALSE(RegistryKey::OpenLocalMachine(testservice::MarkKey).has_value());
    EXPECT_FALSE(RegistryKey::OpenLocalMachine(EventSourceKey()).has_value());
    EXPECT_NE(RunServiceProgram(L"-uninstall -silent"), 0u);
}

TEST(ServiceControl, UnknownServicesAndMachinesReadAsUnknown) {
    EXPECT_EQ(platform::GetServiceState("", "BrevoltNoSuchService"), platform::ServiceStateUnknown);
    EXPECT_FALSE(platform::StartServiceAndWait("", "BrevoltNoSuchService", 5, [](int) {}));
    EXPECT_FALSE(platform::StopServiceAndWait("", "BrevoltNoSuchService", [](int) {}));
    EXPECT_EQ(platform::GetServiceState("\\\\no-such-machine", testservice::Name),
              platform::ServiceStateUnknown);
}

// The event log cannot be read back here; writing never fails.
TEST(EventLog, WritesEveryTypeWithoutFailing) {
    for (const auto type : {platform::EventType::Error, platform::EventType::Warning,
                            platform::EventType::Information})
        platform::WriteEvent(testservice::Name, type, "Brevolt Connector: test event.");
}

} // namespace
