#include "tools/uBrevoltSampleDatabase.h"

#include <atomic>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <stdexcept>

namespace uBrevoltSampleDatabase {

namespace {

const char* const Schema[] = {
    "create table subsidiary (sbs_no integer primary key, sbs_name text)",
    "create table store (sbs_no integer not null, store_no integer not null, store_code text, "
    "store_name text, active integer, primary key (sbs_no, store_no))",
    "create table controller (controller_id integer primary key, sbs_no integer, "
    "store_no integer, is_local integer)",
    "create table version (component_id integer primary key, component_type text, version text)",
    "create table customer (cust_sid integer primary key, first_name text, last_name text, "
    "email_addr text, allow_phone integer, allow_email integer)",
    "create table cust_address (cust_sid integer not null, addr_no integer not null, "
    "phone1 text, phone2 text, primary key (cust_sid, addr_no))",
    "create table employee (empl_id integer primary key, cust_sid integer)",
    "create table invn_sbs (item_sid integer not null, sbs_no integer not null, local_upc text, "
    "rownum integer generated always as (1) virtual, primary key (item_sid, sbs_no))",
    "create table invoice (invc_sid integer primary key, invc_no integer, sbs_no integer, "
    "store_no integer, cust_sid integer, cashier_id integer, invc_type integer, "
    "status integer, created_date text)",
};

const char* const FixedRows[] = {
    "insert into subsidiary values (1, 'Main Subsidiary'), (2, 'Outlet Süd'), "
    "(3, 'Señor Depot')",
    // Out of order on purpose: the store list sorts.
    "insert into store values (2, 5, '205', 'Outlet München', 1), (1, 2, '002', 'Mall Store', 1), "
    "(4, 1, '401', 'Orphan Store', 1), (1, 1, '001', 'Flagship Store', 1), "
    "(1, 3, '003', 'Closed Store', 0), (3, 1, '301', 'Depot Store', 0), "
    "(2, 1, '201', 'Outlet Nord', 1)",
    "insert into controller values (1, 1, 1, 1), (2, 2, 1, 0)",
    "insert into version values (0, '9.30', '9.30.0152.1'), (1, '9.30', '9.30.0152.7')",
    "insert into customer values "
    "(1001, 'José', 'Müller', 'jose.mueller@example.com', 1, 1), "
    "(1002, 'Zoë', 'Peña', 'zoe.pena@example.com', 0, 1), "
    "(1003, 'Anne', 'O\"Brien, Jr.', 'anne.obrien@example.com', 1, 0), "
    "(1004, 'Ñandú', 'Gómez', null, 1, 1), "
    "(1005, 'Peter', 'Schmidt', 'peter.schmidt@example.com', 0, 0), "
    "(2001, 'Clara', 'Kassierer', 'clara@store.example', 1, 1), "
    "(2002, 'Carl', 'Cashier', 'carl@store.example', 1, 1)",
    "insert into cust_address values (1001, 1, '555-0101', '555-0102'), "
    "(1001, 2, '555-0109', ''), (1003, 1, '555-0301', null), (1004, 1, '555-0401', '555-0402'), "
    "(1005, 2, '555-0502', null), (1005, 3, '555-0503', null), (2001, 1, '555-2001', null), "
    "(2001, 2, '555-2002', null), (2002, 1, '555-2101', null)",
    "insert into employee values (10, 2001), (11, 2002), (12, null)",
    "insert into invn_sbs (item_sid, sbs_no, local_upc) values (1, 1, '400000000017'), "
    "(2, 1, null), (3, 2, '400000000031')",
};

const char* const FirstNames[] = {
    "Ana", "Björn", "Chloé", "Diego", "Élodie", "François", "Günter", "Hana",  "Iñigo", "Jürgen",
    "Kai", "Léa",   "Marta", "Noël",  "Óscar",  "Paulina",  "Renée",  "Søren", "Tomás", "Ursula"};
const char* const LastNames[] = {"Andersson", "Brandt",   "Castañeda", "Dubois",  "Eriksen",
                                 "Fernández", "Größer",   "Hoffmann",  "Ibáñez",  "Jensen",
                                 "Kowalski",  "López",    "Møller",    "Novák",   "Olsen",
                                 "Peña",      "Quiñones", "Rossi",     "Schäfer", "Türk"};

// Where generated invoices go: mostly active stores, a few elsewhere.
const int StoreChoices[10][2] = {{1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 2},
                                 {1, 2}, {2, 1}, {2, 5}, {1, 3}, {4, 1}};
const int Cashiers[] = {10, 11, 12, 99};

// A fixed-seed generator, so that every run yields the same database.
class TRandom {
public:
    quint32 Next() {
        FState = FState * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<quint32>(FState >> 33);
    }

private:
    quint64 FState = 0x2545F4914F6CDD1DULL;
};

void Exec(QSqlQuery& AQuery, const QString& ASql) {
    if (!AQuery.exec(ASql))
        throw std::runtime_error("sample database: " + AQuery.lastError().text().toStdString() +
                                 " in: " + ASql.left(80).toStdString());
}

void ExecPrepared(QSqlQuery& AQuery) {
    if (!AQuery.exec())
        throw std::runtime_error("sample database: " + AQuery.lastError().text().toStdString());
}

void Prepare(QSqlQuery& AQuery, const QString& ASql) {
    if (!AQuery.prepare(ASql))
        throw std::runtime_error("sample database: " + AQuery.lastError().text().toStdString());
}

QDateTime ReferenceTime(const TSampleOptions& AOptions) {
    if (AOptions.Now.isValid())
        return AOptions.Now;
    QDateTime now = QDateTime::currentDateTime();
    return now.addMSecs(-now.time().msec());
}

void Fill(QSqlDatabase& ADb, const TSampleOptions& AOptions) {
    const QDateTime now = ReferenceTime(AOptions);
    const qint64 invoices = std::max<qint64>(AOptions.Invoices, FixedInvoiceCount);
    const qint64 pool = std::clamp<qint64>(invoices / 8, 50, 200000);
    QSqlQuery q(ADb);
    Exec(q, QStringLiteral("pragma journal_mode=off"));
    Exec(q, QStringLiteral("pragma synchronous=off"));
    if (!ADb.transaction())
        throw std::runtime_error("sample database: " + ADb.lastError().text().toStdString());
    for (const char* sql : Schema)
        Exec(q, QString::fromUtf8(sql));
    for (const char* sql : FixedRows)
        Exec(q, QString::fromUtf8(sql));

    QSqlQuery customer(ADb), address(ADb), invoice(ADb);
    Prepare(customer, QStringLiteral("insert into customer values (?, ?, ?, ?, ?, ?)"));
    Prepare(address, QStringLiteral("insert into cust_address values (?, ?, ?, ?)"));
    Prepare(invoice, QStringLiteral("insert into invoice values (?, ?, ?, ?, ?, ?, ?, ?, ?)"));

    for (qint64 k = 0; k < pool; ++k) {
        const qint64 sid = 3000 + k;
        customer.bindValue(0, sid);
        customer.bindValue(1, QString::fromUtf8(FirstNames[k % 20]));
        customer.bindValue(2, QString::fromUtf8(LastNames[(k / 20) % 20]));
        customer.bindValue(3, k % 7 == 0
                                  ? QVariant()
                                  : QVariant(QStringLiteral("customer%1@example.com").arg(sid)));
        customer.bindValue(4, int(k % 3 != 0));
        customer.bindValue(5, int(k % 5 != 0));
        ExecPrepared(customer);
        for (int addr = 1; addr <= 2; ++addr) {
            if ((addr == 1 && k % 10 == 3) || (addr == 2 && k % 4 != 0))
                continue;
            address.bindValue(0, sid);
            address.bindValue(1, addr);
            address.bindValue(
                2, QStringLiteral("555-%1").arg((k * 2 + addr) % 10000, 4, 10, QLatin1Char('0')));
            address.bindValue(3, k % 2 ? QVariant()
                                       : QVariant(QStringLiteral("555-9%1").arg(k % 1000, 3, 10,
                                                                                QLatin1Char('0'))));
            ExecPrepared(address);
        }
    }

    auto insertInvoice = [&](qint64 sid, int sbs, int store, qint64 cust, int cashier, int type,
                             int status, const QString& created) {
        invoice.bindValue(0, sid);
        invoice.bindValue(1, 1000 + sid);
        invoice.bindValue(2, sbs);
        invoice.bindValue(3, store);
        invoice.bindValue(4, cust);
        invoice.bindValue(5, cashier);
        invoice.bindValue(6, type);
        invoice.bindValue(7, status);
        invoice.bindValue(8, created);
        ExecPrepared(invoice);
    };
    for (const TFixedInvoice& f : FixedInvoices)
        insertInvoice(f.InvcSid, f.SbsNo, f.StoreNo, f.CustSid, f.CashierId, f.InvcType, f.Status,
                      CreatedDateText(now, f.SecondsBeforeNow));
    TRandom rnd;
    const qint64 weekMs = 7LL * 86400 * 1000;
    for (qint64 sid = FixedInvoiceCount + 1; sid <= invoices; ++sid) {
        const quint32 r = rnd.Next();
        const int* store = StoreChoices[r % 10];
        const qint64 cust = (r >> 4) % 50 == 0 ? 7777 : 3000 + qint64(rnd.Next()) % pool;
        const qint64 ago = 1 + (qint64(rnd.Next()) << 16 ^ rnd.Next()) % weekMs;
        insertInvoice(sid, store[0], store[1], cust, Cashiers[(r >> 8) % 4],
                      (r >> 12) % 20 == 0 ? 2 : 0, (r >> 16) % 25 == 0 ? 1 : 0,
                      now.addMSecs(-ago).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")));
    }
    Exec(q, QStringLiteral(
                "create index invoice_location on invoice (sbs_no, store_no, created_date)"));
    Exec(q, QStringLiteral("create index invoice_sid_created on invoice (created_date)"));
    if (!ADb.commit())
        throw std::runtime_error("sample database: " + ADb.lastError().text().toStdString());
}

void WriteText(const QString& APath, const QByteArray& AText) {
    QFile f(APath);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(AText) != AText.size())
        throw std::runtime_error("cannot write " + APath.toStdString());
}

QString RegString(const QString& AText) {
    QString v = AText;
    v.replace(QStringLiteral("\\"), QStringLiteral("\\\\"))
        .replace(QStringLiteral("\""), QStringLiteral("\\\""));
    return QLatin1Char('"') + v + QLatin1Char('"');
}

const char* const TnsNames =
    "# tnsnames.ora Network Configuration File: sample Retail Pro 9 client\r\n"
    "# Generated by BrevoltSampleDatabase.\r\n"
    "\r\n"
    "RPRO_TEST =\r\n"
    "  (DESCRIPTION =\r\n"
    "    (ADDRESS = (PROTOCOL = TCP)(HOST = rpro-test)(PORT = 1521))\r\n"
    "    (CONNECT_DATA = (SERVICE_NAME = rprotest))\r\n"
    "  )\r\n"
    "\r\n"
    "# The Retail Pro 9 database of this store.\r\n"
    "RPROODS =\r\n"
    "  (DESCRIPTION =\r\n"
    "    (ADDRESS_LIST =\r\n"
    "      (ADDRESS = (PROTOCOL = TCP)(HOST = rproserver)(PORT = 1521))\r\n"
    "    )\r\n"
    "    (CONNECT_DATA =\r\n"
    "      (SERVICE_NAME = RPROODS)\r\n"
    "    )\r\n"
    "  )\r\n";

} // namespace

QString CreatedDateText(const QDateTime& ANow, qint64 ASecondsBeforeNow) {
    return ANow.addSecs(-ASecondsBeforeNow).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

void CreateSampleDatabase(const QString& APath, const TSampleOptions& AOptions) {
    static std::atomic<int> counter{0};
    const QString temp = APath + QStringLiteral(".building");
    QFile::remove(temp);
    const QString name = QStringLiteral("BrevoltSampleDatabase-%1").arg(++counter);
    std::string error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(temp);
        if (!db.open()) {
            error = "sample database: " + db.lastError().text().toStdString();
        } else {
            try {
                Fill(db, AOptions);
            } catch (const std::exception& E) {
                error = E.what();
                db.rollback();
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (error.empty()) {
        QFile::remove(APath);
        if (!QFile::rename(temp, APath))
            error = "cannot move the sample database to " + APath.toStdString();
    }
    if (!error.empty()) {
        QFile::remove(temp);
        throw std::runtime_error(error);
    }
}

QString SampleDescriptor() {
    return QStringLiteral("(DESCRIPTION =    (ADDRESS_LIST =      (ADDRESS = (PROTOCOL = TCP)"
                          "(HOST = rproserver)(PORT = 1521))    )    (CONNECT_DATA =      "
                          "(SERVICE_NAME = RPROODS)    )  )");
}

TSampleEnvironmentPaths CreateSampleEnvironment(const QString& AFolder,
                                                const TSampleOptions& AOptions) {
    const QString dir = QDir(AFolder).absolutePath();
    TSampleEnvironmentPaths p;
    p.RegistryFile = dir + QStringLiteral("/registry.reg");
    p.OracleBase = dir + QStringLiteral("/oracle");
    const QString home = p.OracleBase + QStringLiteral("/OraClient19Home1");
    p.TnsNamesFile = home + QStringLiteral("/NETWORK/ADMIN/tnsnames.ora");
    p.DatabaseFile = dir + QStringLiteral("/rpro9.db");
    p.ServiceDirectory = dir + QStringLiteral("/service/");
    if (!QDir().mkpath(QFileInfo(p.TnsNamesFile).path()) || !QDir().mkpath(p.ServiceDirectory))
        throw std::runtime_error("cannot create folders in " + dir.toStdString());
    WriteText(p.TnsNamesFile, TnsNames);
    CreateSampleDatabase(p.DatabaseFile, AOptions);
    const QString reg =
        QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORACLE]\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORACLE\\KEY_OraClient19Home1]\r\n"
                       "\"ORACLE_HOME\"=%1\r\n\"ORACLE_BASE\"=%2\r\n"
                       "\"ORACLE_HOME_NAME\"=\"OraClient19Home1\"\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORACLE\\ODP.NET]\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OrvaneSoftware\\Brevolt\\"
                       "BrevoltRPro9Connector]\r\n"
                       "\"ServiceDirectory\"=%3\r\n\"DatabaseDriver\"=\"QSQLITE\"\r\n"
                       "\"DatabaseName\"=%4\r\n\r\n")
            .arg(RegString(home), RegString(p.OracleBase), RegString(p.ServiceDirectory),
                 RegString(p.DatabaseFile));
    WriteText(p.RegistryFile, reg.toUtf8());
    return p;
}

} // namespace uBrevoltSampleDatabase
