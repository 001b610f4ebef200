#include "tests/servicecheck/SystemdMock.h"

#include <csignal>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QSignalSpy>
#include <sys/prctl.h>

namespace servicechecktest {

namespace {

const QString Systemd = QStringLiteral("org.freedesktop.systemd1");
const QString ManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString ManagerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString UnitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
const QString MockInterface = QStringLiteral("org.freedesktop.DBus.Mock");

// The children go with the test process even when it crashes.
void DieWithTest(QProcess& AProcess) {
    AProcess.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

} // namespace

TSystemdMock::TSystemdMock() {
    DieWithTest(FDaemon);
    FDaemon.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1"),
                   QStringLiteral("--address=unix:path=") + FDir.File(QStringLiteral("bus"))});
    // The daemon prints its address once it listens.
    while (!FDaemon.canReadLine() && FDaemon.waitForReadyRead(10000)) {
    }
    if (!FDaemon.canReadLine()) {
        FError = QStringLiteral("dbus-daemon gave no address: ") +
                 QString::fromUtf8(FDaemon.readAllStandardError()) + FDaemon.errorString();
        return;
    }
    const QString address = QString::fromUtf8(FDaemon.readLine()).trimmed();

    FConnectionName = QStringLiteral("servicecheck-mock-control");
    QDBusConnection bus = QDBusConnection::connectToBus(address, FConnectionName);
    if (!bus.isConnected()) {
        FError = QStringLiteral("cannot connect to ") + address;
        return;
    }
    QDBusServiceWatcher watcher(Systemd, bus, QDBusServiceWatcher::WatchForRegistration);
    QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    FMock.setProcessEnvironment(environment);
    FMock.setProcessChannelMode(QProcess::MergedChannels);
    FMock.setStandardOutputFile(FDir.File(QStringLiteral("dbusmock.log")));
    DieWithTest(FMock);
    FMock.start(QStringLiteral(BREVOLT_PYTHON),
                {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                 QStringLiteral("systemd")});
    if (!bus.interface()->isServiceRegistered(Systemd) && !registered.wait(15000)) {
        FError = QStringLiteral("dbusmock did not come up: ") +
                 QString::fromUtf8(
                     testsupport::ReadFileBytes(FDir.File(QStringLiteral("dbusmock.log"))));
        return;
    }
    FAddress = address;
}

TSystemdMock::~TSystemdMock() {
    if (!FConnectionName.isEmpty())
        QDBusConnection::disconnectFromBus(FConnectionName);
    Stop(FMock);
    Stop(FDaemon);
}

void TSystemdMock::Stop(QProcess& AProcess) {
    if (AProcess.state() == QProcess::NotRunning)
        return;
    AProcess.terminate();
    if (!AProcess.waitForFinished(3000)) {
        AProcess.kill();
        AProcess.waitForFinished(3000);
    }
}

QString TSystemdMock::UnitPath(const QString& AUnit) {
    QString name = AUnit;
    name.replace(QLatin1Char('.'), QLatin1Char('_')).replace(QLatin1Char('-'), QLatin1Char('_'));
    return ManagerPath + QStringLiteral("/unit/") + name;
}

bool TSystemdMock::Call(const QString& APath, const QString& AMethod,
                        const QVariantList& AArguments, QDBusMessage* AReply) {
    QDBusMessage message = QDBusMessage::createMethodCall(Systemd, APath, MockInterface, AMethod);
    message.setArguments(AArguments);
    const QDBusMessage reply = QDBusConnection(FConnectionName).call(message, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        FError = AMethod + QStringLiteral(": ") + reply.errorMessage();
        return false;
    }
    if (AReply)
        *AReply = reply;
    return true;
}

bool TSystemdMock::Reset() {
    return Call(ManagerPath, QStringLiteral("Reset"), {}) &&
           Call(ManagerPath, QStringLiteral("ClearCalls"), {});
}

bool TSystemdMock::AddUnit(const QString& AUnit) {
    return Call(ManagerPath, QStringLiteral("AddMockUnit"), {AUnit});
}

bool TSystemdMock::SetUnit(const QString& AUnit, const QVariantMap& AProperties) {
    return Call(UnitPath(AUnit), QStringLiteral("UpdateProperties"), {UnitInterface, AProperties});
}

bool TSystemdMock::SetManagerMethod(const QString& AName, const QString& AInSignature,
                                    const QString& AOutSignature, const QString& ACode) {
    return Call(ManagerPath, QStringLiteral("AddMethod"),
                {ManagerInterface, AName, AInSignature, AOutSignature, ACode});
}

QList<QStringList> TSystemdMock::ManagerCalls(const QString& AMethod) {
    QDBusMessage reply;
    QList<QStringList> calls;
    if (!Call(ManagerPath, QStringLiteral("GetMethodCalls"), {AMethod}, &reply))
        return calls;
    // a(tav): (time, arguments) per call.
    const QDBusArgument list = reply.arguments().at(0).value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        qulonglong time = 0;
        QStringList arguments;
        list.beginStructure();
        list >> time;
        list.beginArray();
        while (!list.atEnd()) {
            QDBusVariant value;
            list >> value;
            arguments.append(value.variant().toString());
        }
        list.endArray();
        list.endStructure();
        calls.append(arguments);
    }
    list.endArray();
    return calls;
}

} // namespace servicechecktest
