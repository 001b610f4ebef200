#pragma once
// The service module: turns the service manager's requests (install,
// uninstall, start, stop, pause) into calls on the connector engine. The
// engine, its timers and every run live on the service thread; the main
// thread only forwards controls to it.
#include "BrevoltIdentity.h"
#include "platform/ServiceHost.h"

#include <functional>
#include <memory>
#include <mutex>
#include <QObject>
#include <QString>
#include <QThread>

class TdlgConnectorLogic;

namespace uBrevoltRPro9Service {

inline const QString ServiceName = QString::fromLatin1(BrevoltIdentity::ServiceName);
inline const QString ServiceDescription = QString::fromLatin1(BrevoltIdentity::ServiceDescription);
inline const QString ApplicationTitle = QStringLiteral("Brevolt Connector for Retail Pro 9");
// Registry keys (under HKEY_LOCAL_MACHINE) written at installation.
inline const QString ServicesKey = QString::fromLatin1(BrevoltIdentity::ServicesKey);
inline const QString ServiceDirectoryKey =
    QString::fromLatin1(BrevoltIdentity::ServiceDirectoryKey);

platform::ServiceDefinition Definition();

} // namespace uBrevoltRPro9Service

class TBrevoltRPro9Connector : public QObject {
    Q_OBJECT
public:
    // Wires the handlers of AHost to this module.
    explicit TBrevoltRPro9Connector(platform::ServiceHost& AHost);
    ~TBrevoltRPro9Connector() override;

    // "runonce": one run as soon as the engine is enabled, then stop; the
    // exit code tells whether the run succeeded.
    void SetRunOnce(bool AValue) { FRunOnce = AValue; }

    void ServiceStart(bool& Started);
    void ServiceExecute();
    void ServiceStop(bool& Stopped);
    void ServiceAfterInstall();
    void ServiceBeforeUninstall();
    void ServiceAfterUninstall();
    // The control handler entry: forwards each control to the service thread.
    std::function<void(platform::ServiceControl)> GetServiceController();

    // The service's whole life on the service thread: start, execute, free
    // the engine; returns the process exit code.
    int ServiceMain();

    bool Terminated() const { return FTerminated; }

private:
    void StartServiceThread();
    void Controller(platform::ServiceControl AControl);
    void DoControl(platform::ServiceControl AControl);
    void DoStop();
    void Terminate();
    void OnRunOnceFinished(bool ASucceeded);
    void OnRestartForMissingData();
    void CreateEngine();
    void FreeEngine();

    platform::ServiceHost& FHost;
    std::unique_ptr<QThread> FThread;
    bool FRunOnce = false;
    bool FRunSucceeded = false;
    // The service ends on an error: the exit code tells the service manager.
    bool FFailed = false;
    bool FTerminated = false;
    // Guards the engine pointer against the main thread's stop request.
    std::mutex FEngineLock;
    TdlgConnectorLogic* FEngine = nullptr;
    bool FStopRequested = false;
};
