// Service control through systemd's manager on the system bus. The service
// is the unit "<service>.service"; its ActiveState gives the state:
// inactive or failed = stopped, activating = start pending, deactivating =
// stop pending, active = running, reloading = continue pending. A unit
// systemd cannot find, no bus, or a refused call (polkit's access denied, or
// any other D-Bus error) leaves the state unknown.
#include "platform/ServiceControl.h"

#include <optional>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace platform {

namespace {

const QString Systemd = QStringLiteral("org.freedesktop.systemd1");
const QString ManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString ManagerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString UnitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// A start or stop may wait while an administrator types a password into the
// desktop's polkit agent.
constexpr int RequestTimeoutMs = 120000;

// systemd offers no control of other machines here.
bool IsLocal(const std::string& AMachine) {
    return AMachine.empty() || AMachine == "." || AMachine == "localhost";
}

QString UnitName(const std::string& AService) {
    return QString::fromStdString(AService) + QStringLiteral(".service");
}

// The reply's arguments; nullopt for no bus or any error reply.
std::optional<QList<QVariant>> Call(const QString& APath, const QString& AInterface,
                                    const QString& AMethod, const QList<QVariant>& AArguments,
                                    bool ARequest = false) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return std::nullopt;
    QDBusMessage message = QDBusMessage::createMethodCall(Systemd, APath, AInterface, AMethod);
    message.setArguments(AArguments);
    message.setInteractiveAuthorizationAllowed(ARequest);
    const QDBusMessage reply = bus.call(message, QDBus::Block, ARequest ? RequestTimeoutMs : -1);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return std::nullopt;
    return reply.arguments();
}

// GetUnit knows only the units systemd holds loaded; LoadUnit loads one (and
// reports a missing one as "not-found").
std::optional<QString> UnitPath(const QString& AUnit) {
    for (const QString& method : {QStringLiteral("GetUnit"), QStringLiteral("LoadUnit")}) {
        const auto reply = Call(ManagerPath, ManagerInterface, method, {AUnit});
        if (reply && !reply->isEmpty())
            return reply->first().value<QDBusObjectPath>().path();
    }
    return std::nullopt;
}

std::optional<QVariant> UnitProperty(const QString& APath, const QString& AName) {
    const auto reply =
        Call(APath, PropertiesInterface, QStringLiteral("Get"), {UnitInterface, AName});
    if (!reply || reply->isEmpty())
        return std::nullopt;
    return reply->first().value<QDBusVariant>().variant();
}

// The unit's Job property is (job id, job path), id 0 without a job. A start
// or stop request can sit queued behind other jobs while the state has not
// moved yet; a unit without the property has no job.
bool JobQueued(const QString& APath) {
    const auto job = UnitProperty(APath, QStringLiteral("Job"));
    if (!job || job->userType() != qMetaTypeId<QDBusArgument>())
        return false;
    const QDBusArgument argument = job->value<QDBusArgument>();
    uint id = 0;
    QDBusObjectPath path;
    argument.beginStructure();
    argument >> id >> path;
    argument.endStructure();
    return id != 0;
}

std::optional<int> UnitState(const QString& APath) {
    const auto load = UnitProperty(APath, QStringLiteral("LoadState"));
    const auto active = UnitProperty(APath, QStringLiteral("ActiveState"));
    if (!load || !active || load->toString() == QLatin1String("not-found"))
        return std::nullopt;
    const QString state = active->toString();
    if (state == QLatin1String("inactive") || state == QLatin1String("failed"))
        return ServiceStopped;
    if (state == QLatin1String("activating"))
        return ServiceStartPending;
    if (state == QLatin1String("deactivating"))
        return ServiceStopPending;
    if (state == QLatin1String("active"))
        return ServiceRunning;
    if (state == QLatin1String("reloading"))
        return ServiceContinuePending;
    return std::nullopt;
}

bool IsPending(int AState) {
    return AState == ServiceStartPending || AState == ServiceStopPending ||
           AState == ServiceContinuePending || AState == ServicePausePending;
}

// The readings of one unit during a wait. systemd reports neither a check
// point nor a wait hint, so they are made up: while the unit is in a pending
// state or has a job queued, the hint is one second (it is read once a
// second) and the check point counts the readings that found it so; any
// other reading drops the check point to 0, which ends the wait just as a
// service that gave up would.
class TUnitProgress {
public:
    explicit TUnitProgress(QString APath) : FPath(std::move(APath)) {}

    bool Read(ServiceStatus& AStatus) {
        const std::optional<int> state = UnitState(FPath);
        if (!state)
            return false;
        AStatus.State = *state;
        if (IsPending(*state) || JobQueued(FPath)) {
            AStatus.CheckPoint = ++FPendingReadings;
            AStatus.WaitHintMs = 1000;
        } else {
            AStatus.CheckPoint = FPendingReadings = 0;
            AStatus.WaitHintMs = 0;
        }
        return true;
    }

private:
    QString FPath;
    int FPendingReadings = 0;
};

// Sends StartUnit or StopUnit and returns the unit's progress reader, or
// nullopt when the unit is unknown or the request was refused.
std::optional<TUnitProgress> Request(const std::string& AMachine, const std::string& AService,
                                     const QString& AMethod) {
    if (!IsLocal(AMachine))
        return std::nullopt;
    const QString unit = UnitName(AService);
    const std::optional<QString> path = UnitPath(unit);
    if (!path ||
        !Call(ManagerPath, ManagerInterface, AMethod, {unit, QStringLiteral("replace")}, true))
        return std::nullopt;
    return TUnitProgress(*path);
}

} // namespace

int GetServiceState(const std::string& AMachine, const std::string& AService) {
    if (!IsLocal(AMachine))
        return ServiceStateUnknown;
    const std::optional<QString> path = UnitPath(UnitName(AService));
    if (!path)
        return ServiceStateUnknown;
    return UnitState(*path).value_or(ServiceStateUnknown);
}

bool StartServiceAndWait(const std::string& AMachine, const std::string& AService,
                         int ABudgetSeconds, const SleepFunction& ASleep) {
    std::optional<TUnitProgress> progress =
        Request(AMachine, AService, QStringLiteral("StartUnit"));
    ServiceStatus status;
    if (!progress || !progress->Read(status))
        return false;
    return WaitForServiceStart(
        status, [&](ServiceStatus& AStatus) { return progress->Read(AStatus); }, ABudgetSeconds,
        ASleep);
}

bool StopServiceAndWait(const std::string& AMachine, const std::string& AService,
                        const SleepFunction& ASleep) {
    std::optional<TUnitProgress> progress = Request(AMachine, AService, QStringLiteral("StopUnit"));
    ServiceStatus status;
    if (!progress || !progress->Read(status))
        return false;
    return WaitForServiceStop(
        status, [&](ServiceStatus& AStatus) { return progress->Read(AStatus); }, ASleep);
}

} // namespace platform
