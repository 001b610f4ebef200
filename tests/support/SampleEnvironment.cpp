#include "tests/support/SampleEnvironment.h"

#include <atomic>
#include <cstdlib>
#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <stdexcept>

namespace testsupport {

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
    if (const char* old = std::getenv("BREVOLT_REGISTRY"))
        FOldRegistry = QByteArray(old);
    ::setenv("BREVOLT_REGISTRY", FPaths.RegistryFile.toUtf8().constData(), 1);
    if (const char* old = std::getenv("TNS_ADMIN"))
        FOldTnsAdmin = QByteArray(old);
    ::unsetenv("TNS_ADMIN");
}

TSampleEnvironment::~TSampleEnvironment() {
    if (FOldRegistry)
        ::setenv("BREVOLT_REGISTRY", FOldRegistry->constData(), 1);
    else
        ::unsetenv("BREVOLT_REGISTRY");
    if (FOldTnsAdmin)
        ::setenv("TNS_ADMIN", FOldTnsAdmin->constData(), 1);
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
