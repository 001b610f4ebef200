// The service program of the Windows tests (see TestService.h).
#include "tests/platform/win32/TestService.h"

#include "platform/EventLog.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/ServiceHost.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <windows.h>

namespace {

void PassGate(const wchar_t* AName) {
    if (HANDLE gate = OpenEventW(SYNCHRONIZE, FALSE, AName)) {
        WaitForSingleObject(gate, testservice::GateTimeoutMs);
        CloseHandle(gate);
    }
}

class TTestService {
public:
    explicit TTestService(platform::ServiceHost& AHost) : FHost(AHost) {
        FHost.AfterInstall = [] {
            platform::RegistryKey::OpenLocalMachine(testservice::MarkKey, true, true)
                ->WriteString("Installed", "yes");
            platform::WriteEvent(testservice::Name, platform::EventType::Information,
                                 "Test service installed.");
        };
        FHost.AfterUninstall = [] {
            platform::DeleteLocalMachineKey(testservice::MarkKey);
        };
        FHost.StartServiceThread = [this] {
            FThread = std::thread([this] { Main(); });
        };
        FHost.Controller = [this](platform::ServiceControl AControl) {
            {
                std::lock_guard lock(FLock);
                FControls.push_back(AControl);
            }
            FArrived.notify_all();
        };
    }

    ~TTestService() {
        if (FThread.joinable())
            FThread.join();
    }

private:
    platform::ServiceControl NextControl() {
        std::unique_lock lock(FLock);
        FArrived.wait(lock, [this] { return !FControls.empty(); });
        const platform::ServiceControl control = FControls.front();
        FControls.pop_front();
        return control;
    }

    void Main() {
        PassGate(testservice::StartGate);
        FHost.ReportRunning();
        for (;;) {
            const platform::ServiceControl control = NextControl();
            if (control == platform::ServiceControl::Stop ||
                control == platform::ServiceControl::Shutdown)
                break;
            if (control == platform::ServiceControl::Pause)
                FHost.WaitWhilePaused(); // a stop while paused comes next
        }
        PassGate(testservice::StopGate);
        FHost.ServiceThreadEnded(0);
    }

    platform::ServiceHost& FHost;
    std::thread FThread;
    std::mutex FLock;
    std::condition_variable FArrived;
    std::deque<platform::ServiceControl> FControls;
};

} // namespace

int main(int argc, char** argv) {
    platform::SetCommandLine(argc, argv);
    platform::ServiceHost host({testservice::Name, testservice::Description, testservice::Title});
    TTestService service(host);
    return host.Run();
}
