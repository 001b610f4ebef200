#pragma once
// A stand-in for systemd on a private bus: a dbus-daemon on a socket in a
// temporary folder and python3-dbusmock's systemd template on it, both
// stopped with the object (and killed with the test process should it die
// first). The tests steer units through dbusmock's own control interface.
#include "tests/support/TestSupport.h"

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QVariantMap>

namespace servicechecktest {

class TSystemdMock {
public:
    TSystemdMock();
    ~TSystemdMock();
    TSystemdMock(const TSystemdMock&) = delete;
    TSystemdMock& operator=(const TSystemdMock&) = delete;

    // Empty when the bus or the mock did not come up; Error() tells why.
    const QString& Address() const { return FAddress; }
    const QString& Error() const { return FError; }

    // Back to the template's state: no units, the template's own methods, no
    // calls recorded.
    bool Reset();
    // A loaded, inactive unit ("BrevoltRPro9Connector.service").
    bool AddUnit(const QString& AUnit);
    // Sets unit properties ("ActiveState", "LoadState") as systemd would.
    bool SetUnit(const QString& AUnit, const QVariantMap& AProperties);
    // Replaces a method of the manager by Python code (dbusmock's AddMethod:
    // "args" are the arguments, "ret" the answer).
    bool SetManagerMethod(const QString& AName, const QString& AInSignature,
                          const QString& AOutSignature, const QString& ACode);
    // The arguments of every call of a manager method so far, as text.
    QList<QStringList> ManagerCalls(const QString& AMethod);

    static QString UnitPath(const QString& AUnit);

private:
    bool Call(const QString& APath, const QString& AMethod, const QVariantList& AArguments,
              QDBusMessage* AReply = nullptr);
    void Stop(QProcess& AProcess);

    testsupport::TTempDir FDir;
    QProcess FDaemon;
    QProcess FMock;
    QString FAddress;
    QString FError;
    QString FConnectionName;
};

} // namespace servicechecktest
