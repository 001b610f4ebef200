#include "tests/support/SampleEnvironment.h"

#include <atomic>
#include <cstdlib>
#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <stdexcept>

namespace testsupport {

namespace {
void RestoreVariable(const char* AName, const QByteArray& AValue) {
    if (AValue.isNull())
        qunsetenv(AName);
    else
        qputenv(AName, AValue);
}
} // namespace

QDateTime TSampleEnvironment::DefaultNow() {
    return QDateTime(QDate(2024, 5, 10), QTime(12, 0));
}

void TSampleEnvironment::EnsureCoreApplication() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "brevolt-test";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv); // lives as long as the process
}

TSampleEnvironment::TSampleEnvironment(qint64 AInvoices, const QDateTime& ANow) : FNow(ANow) {
    EnsureCoreApplication();
    uBrevoltSampleDatabase::TSampleOptions options;
    options.Invoices = AInvoices;
    options.Now = ANow;
    FPaths = uBrevoltSampleDatabase::CreateSampleEnvironment(FDir.Path(), options);
    FRegistry.Write(QString::fromUtf8(ReadFileBytes(FPaths.RegistryFile)));
    FOldTnsAdmin = qgetenv("TNS_ADMIN");
    qunsetenv("TNS_ADMIN");
}

TSampleEnvironment::~TSampleEnvironment() {
    RestoreVariable("TNS_ADMIN", FOldTnsAdmin);
}

void TSampleEnvironment::Execute(const QString& ASql) const {
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("TSampleEnvironment-%1").arg(++counter);
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(FPaths.DatabaseFile);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db.open()) {
            error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            if (!q.exec(ASql))
                error = q.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (!error.isNull())
        throw std::runtime_error("sample database: " + error.toStdString() +
                                 " in: " + ASql.toStdString());
}

} // namespace testsupport
