#include "service/uBrevoltRPro9Service.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorNotify.h"
#include "common/uOVLogging.h"
#include "platform/EventLog.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "service/uBootstrapTrace.h"

#include <iostream>
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>

using namespace uBrevoltRPro9Service;
using uBrevoltRPro9ConnectorCommon::AppLogger;
using uBrevoltRPro9ConnectorCommon::Config;

namespace uBrevoltRPro9Service {

platform::ServiceDefinition Definition() {
    return {ServiceName.toStdString(), ServiceDescription.toStdString(),
            ApplicationTitle.toStdString()};
}

} // namespace uBrevoltRPro9Service

namespace {

const QString AreaExecute = QStringLiteral("Connector.TBrevoltRPro9Connector.ServiceExecute");
const QString AreaStop = QStringLiteral("Connector.ServiceStop");

void Event(platform::EventType AType, const QString& AMessage) {
    platform::WriteEvent(ServiceName.toStdString(), AType, AMessage.toStdString());
}

QString ProgramFolder() {
    return uOVUtils::WithTrailingBackslash(
        QFileInfo(QString::fromStdString(platform::ExecutablePath())).absolutePath());
}

// Writes one string value under HKEY_LOCAL_MACHINE\AKey; false (with an
// event) when the key cannot be opened or written.
bool WriteRegistryString(const QString& AKey, const QString& AName, const QString& AValue) {
    try {
        const auto key = platform::RegistryKey::OpenLocalMachine(AKey.toStdString(), true, true);
        if (!key)
            return false;
        key->WriteString(AName.toStdString(), AValue.toStdString());
        return true;
    } catch (const std::exception& E) {
        Event(platform::EventType::Warning, QStringLiteral("Brevolt Connector: Unable to write ") +
                                                AKey + QLatin1Char('\\') + AName +
                                                QStringLiteral(": ") + QString::fromUtf8(E.what()));
        return false;
    }
}

void DeleteRegistryValue(const QString& AKey, const QString& AName) {
    try {
        if (const auto key = platform::RegistryKey::OpenLocalMachine(AKey.toStdString(), true))
            key->DeleteValue(AName.toStdString());
    } catch (const std::exception& E) {
        Event(platform::EventType::Warning, QStringLiteral("Brevolt Connector: Unable to remove ") +
                                                AKey + QLatin1Char('\\') + AName +
                                                QStringLiteral(": ") + QString::fromUtf8(E.what()));
    }
}

} // namespace

TBrevoltRPro9Connector::TBrevoltRPro9Connector(platform::ServiceHost& AHost) : FHost(AHost) {
    FHost.AfterInstall = [this] {
        ServiceAfterInstall();
    };
    FHost.BeforeUninstall = [this] {
        ServiceBeforeUninstall();
    };
    FHost.AfterUninstall = [this] {
        ServiceAfterUninstall();
    };
    FHost.StartServiceThread = [this] {
        StartServiceThread();
    };
    FHost.Controller = GetServiceController();
}

TBrevoltRPro9Connector::~TBrevoltRPro9Connector() {
    if (FThread)
        FThread->wait();
    FHost.AfterInstall = nullptr;
    FHost.BeforeUninstall = nullptr;
    FHost.AfterUninstall = nullptr;
    FHost.StartServiceThread = nullptr;
    FHost.Controller = nullptr;
    FreeEngine();
}

std::function<void(platform::ServiceControl)> TBrevoltRPro9Connector::GetServiceController() {
    return [this](platform::ServiceControl AControl) {
        Controller(AControl);
    };
}

void TBrevoltRPro9Connector::StartServiceThread() {
    FThread.reset(QThread::create([this] { FHost.ServiceThreadEnded(ServiceMain()); }));
    FThread->setObjectName(QStringLiteral("ServiceThread"));
    moveToThread(FThread.get());
    FThread->start();
}

// Main thread. The waits inside Enable (Oracle settle pause, missing
// configuration) would otherwise hold the service thread past any stop, so
// the engine is told at once; the control itself is handled in order on the
// service thread, after a run in progress.
void TBrevoltRPro9Connector::Controller(platform::ServiceControl AControl) {
    if (AControl == platform::ServiceControl::Stop ||
        AControl == platform::ServiceControl::Shutdown) {
        std::lock_guard lock(FEngineLock);
        FStopRequested = true;
        if (FEngine)
            FEngine->RequestStop();
    }
    QMetaObject::invokeMethod(
        this, [this, AControl] { DoControl(AControl); }, Qt::QueuedConnection);
}

void TBrevoltRPro9Connector::DoControl(platform::ServiceControl AControl) {
    try {
        switch (AControl) {
        case platform::ServiceControl::Stop:
            DoStop();
            break;
        case platform::ServiceControl::Shutdown:
            // The system goes down: the loop ends without ServiceStop.
            Terminate();
            break;
        case platform::ServiceControl::Pause:
            uOVLogging::info(1, QStringLiteral("Service paused."),
                             QStringLiteral("Connector.ServicePause"));
            FHost.ReportStatus("Paused");
            if (FHost.WaitWhilePaused()) {
                FHost.ReportStatus("Running");
                uOVLogging::info(1, QStringLiteral("Service continued."),
                                 QStringLiteral("Connector.ServiceContinue"));
            }
            break;
        case platform::ServiceControl::Continue:
            break;
        }
    } catch (const std::exception& E) {
        uOVLogging::exc(E, QStringLiteral("Connector.TBrevoltRPro9Connector.DoControl"));
    }
}

void TBrevoltRPro9Connector::DoStop() {
    bool stopped = false;
    ServiceStop(stopped);
    if (stopped)
        Terminate();
}

// Service thread. Windows' event dispatcher goes back to waiting after the
// control's event unless woken, which held a stop up until the next timer.
void TBrevoltRPro9Connector::Terminate() {
    FTerminated = true;
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->wakeUp();
}

void TBrevoltRPro9Connector::OnRunOnceFinished(bool ASucceeded) {
    FRunSucceeded = ASucceeded;
    uOVLogging::info(1,
                     ASucceeded ? QStringLiteral("Single run succeeded; stopping the service")
                                : QStringLiteral("Single run failed; stopping the service"),
                     AreaExecute);
    FHost.ReportStopping();
    Controller(platform::ServiceControl::Stop);
}

void TBrevoltRPro9Connector::OnRestartForMissingData() {
    FFailed = true;
    FHost.ReportStopping();
    Controller(platform::ServiceControl::Stop);
}

void TBrevoltRPro9Connector::CreateEngine() {
    auto* engine = new TdlgConnectorLogic(nullptr);
    engine->SetRunOnce(FRunOnce);
    connect(engine, &TdlgConnectorLogic::RunOnceFinished, this,
            &TBrevoltRPro9Connector::OnRunOnceFinished, Qt::DirectConnection);
    connect(engine, &TdlgConnectorLogic::RestartForMissingData, this,
            &TBrevoltRPro9Connector::OnRestartForMissingData, Qt::DirectConnection);
    std::lock_guard lock(FEngineLock);
    FEngine = engine;
    dlgConnectorLogic = engine;
    if (FStopRequested)
        engine->RequestStop();
}

void TBrevoltRPro9Connector::FreeEngine() {
    TdlgConnectorLogic* engine = nullptr;
    {
        std::lock_guard lock(FEngineLock);
        engine = FEngine;
        FEngine = nullptr;
    }
    if (dlgConnectorLogic == engine)
        dlgConnectorLogic = nullptr;
    delete engine;
}

int TBrevoltRPro9Connector::ServiceMain() {
    bool started = false;
    try {
        ServiceStart(started);
    } catch (const std::exception& E) {
        const QString message = QStringLiteral("Brevolt Connector: The service could not start: ") +
                                ExceptionClassName(E) + QStringLiteral(": ") + ExceptionMessage(E);
        Event(platform::EventType::Error, message);
        std::cerr << message.toStdString() << std::endl;
    }
    if (started) {
        FHost.ReportRunning();
        ServiceExecute();
    }
    FreeEngine();
    // Back to the main thread, which outlives this one.
    moveToThread(QCoreApplication::instance()->thread());
    if (!started || FFailed)
        return 1;
    return FRunOnce && !FRunSucceeded ? 1 : 0;
}

void TBrevoltRPro9Connector::ServiceStart(bool& Started) {
    uBootstrapTrace::Rewrite(QStringLiteral("Brevolt Connector: Service starting."));
    CreateEngine();
    Started = true;
    uOVLogging::info(0, QStringLiteral("Service started."));
    uBootstrapTrace::Append(QStringLiteral("Brevolt Connector: Started."));
}

void TBrevoltRPro9Connector::ServiceExecute() {
    uBootstrapTrace::Append(QStringLiteral("Brevolt Connector: Entering loop."));
    uOVLogging::info(0, QStringLiteral("Entering service loop"), AreaExecute);
    // A notice that cannot be sent only leaves a warning in the log.
    uBrevoltRPro9ConnectorCommon::NotifyServiceEvent(
        uBrevoltRPro9ConnectorCommon::TServiceEvent::Startup);
    try {
        uOVLogging::info(9, QStringLiteral("Calling logic.Enable"), AreaExecute);
        FEngine->Enable();
        uOVLogging::info(1,
                         QStringLiteral("Brevolt for Retail Pro 9 service entering execution loop"),
                         AreaExecute);
        QEventLoop loop;
        while (!FTerminated)
            loop.processEvents(QEventLoop::WaitForMoreEvents);
    } catch (const std::exception& E) {
        uOVLogging::exc(E, AreaExecute);
        // The journal keeps it where an administrator looks first.
        std::cerr << ApplicationTitle.toStdString() << ": " << E.what() << std::endl;
        FFailed = true;
    }
    uOVLogging::info(1, QStringLiteral("Brevolt for Retail Pro 9 service shutting down"));
    try {
        FEngine->Disable();
    } catch (const std::exception& E) {
        uOVLogging::exc(E, AreaExecute);
    }
    uBrevoltRPro9ConnectorCommon::NotifyServiceEvent(
        uBrevoltRPro9ConnectorCommon::TServiceEvent::Shutdown);
    uBootstrapTrace::Append(QStringLiteral("Brevolt Connector: Exiting loop."));
    if (AppLogger)
        AppLogger->logexit(0, AreaExecute);
}

void TBrevoltRPro9Connector::ServiceStop(bool& Stopped) {
    uBootstrapTrace::Rewrite(QStringLiteral("Brevolt Connector: Service stopping."));
    if (AppLogger)
        AppLogger->logenter(9, AreaStop);
    uOVLogging::info(0, QStringLiteral("Service stopping..."), AreaStop);
    if (FEngine)
        FEngine->Disable();
    Stopped = true;
    uOVLogging::info(0, QStringLiteral("Service stopped"), AreaStop);
    if (AppLogger)
        AppLogger->logexit(9, AreaStop);
    uBootstrapTrace::Append(QStringLiteral("Brevolt Connector: Service stopped."));
}

void TBrevoltRPro9Connector::ServiceAfterInstall() {
    Event(platform::EventType::Information,
          QStringLiteral("Brevolt Connector: Beginning installation."));
    WriteRegistryString(ServicesKey, QStringLiteral("Description"), ServiceDescription);
    const bool directoryWritten = WriteRegistryString(
        ServiceDirectoryKey, QStringLiteral("ServiceDirectory"), ProgramFolder());
    CreateEngine();
    if (AppLogger) {
        uOVLogging::info(1, QStringLiteral("Service installed."));
        if (directoryWritten)
            uOVLogging::info(1, QStringLiteral("Registry key for execution path was created."));
    }
    Event(platform::EventType::Information,
          QStringLiteral("Brevolt Connector: Installation complete."));
    FreeEngine();
}

void TBrevoltRPro9Connector::ServiceBeforeUninstall() {
    CreateEngine();
    uOVLogging::info(1, QStringLiteral("Uninstalling service"));
}

void TBrevoltRPro9Connector::ServiceAfterUninstall() {
    uOVLogging::info(1, QStringLiteral("Service uninstalled."));
    FreeEngine();
    // Nothing of the service stays behind in the registry.
    DeleteRegistryValue(ServicesKey, QStringLiteral("Description"));
    DeleteRegistryValue(ServiceDirectoryKey, QStringLiteral("ServiceDirectory"));
    Event(platform::EventType::Information,
          QStringLiteral("Brevolt Connector: Uninstall complete."));
    if (AppLogger)
        AppLogger->EndLogging();
}
