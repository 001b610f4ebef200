#include "common/uOVDataAccess.h"

#include "common/uOVRowSpool.h"
#include "platform/Registry.h"

#include <atomic>
#include <limits>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <utility>

namespace uOVDataAccess {

namespace {

QString RegistryText(const platform::RegistryKey& AKey, const char* AName) {
    return QString::fromStdString(AKey.ReadString(AName).value_or(std::string()));
}

// ODBC attribute values holding separators go in braces, "}" doubled.
QString OdbcValue(const QString& AValue) {
    if (!AValue.contains(QLatin1Char(';')) && !AValue.contains(QLatin1Char('{')) &&
        !AValue.contains(QLatin1Char('}')) && AValue.trimmed() == AValue)
        return AValue;
    QString v = AValue;
    return QLatin1Char('{') + v.replace(QStringLiteral("}"), QStringLiteral("}}")) +
           QLatin1Char('}');
}

QString Unquote(const QString& AValue) {
    if (AValue.size() >= 2 &&
        (AValue.front() == QLatin1Char('"') || AValue.front() == QLatin1Char('\'')) &&
        AValue.back() == AValue.front())
        return AValue.mid(1, AValue.size() - 2);
    return AValue;
}

} // namespace

TDataAccessSettings ReadDataAccessSettings() {
    TDataAccessSettings r;
    try {
        auto key = platform::RegistryKey::OpenLocalMachine(ConnectorRegistryKey.toStdString());
        if (key) {
            r.DatabaseDriver = RegistryText(*key, "DatabaseDriver").trimmed();
            r.DatabaseName = RegistryText(*key, "DatabaseName").trimmed();
            r.OdbcDriver = RegistryText(*key, "OdbcDriver").trimmed();
            r.OdbcAttributes = RegistryText(*key, "OdbcAttributes").trimmed();
            r.OdbcLoginTimeout = RegistryText(*key, "OdbcLoginTimeout").trimmed();
        }
    } catch (const platform::RegistryError& E) {
        throw EDatabaseError(QString::fromStdString(E.what()));
    }
    return r;
}

QMap<QString, QString> ParseConnectString(const QString& AConnectString) {
    // Split at the semicolons outside quoted values.
    QStringList pieces;
    QString piece;
    QChar quote;
    for (const QChar c : AConnectString) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == QLatin1Char(';')) {
            pieces.append(piece);
            piece.clear();
            continue;
        } else if ((c == QLatin1Char('"') || c == QLatin1Char('\'')) &&
                   piece.trimmed().endsWith(QLatin1Char('='))) {
            quote = c;
        }
        piece += c;
    }
    pieces.append(piece);
    QMap<QString, QString> parts;
    for (const QString& part : pieces) {
        qsizetype eq = part.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        parts.insert(part.left(eq).trimmed().toUpper(), Unquote(part.mid(eq + 1).trimmed()));
    }
    return parts;
}

TConnectionMapping MapConnectString(const QString& AConnectString,
                                    const TDataAccessSettings& ASettings,
                                    const QStringList& AAvailableDrivers) {
    const QMap<QString, QString> parts = ParseConnectString(AConnectString);
    const QString provider = parts.value(QStringLiteral("PROVIDER"));
    if (!provider.isEmpty() &&
        provider.compare(QStringLiteral("OraOLEDB.Oracle"), Qt::CaseInsensitive) != 0)
        throw EDatabaseError(
            QStringLiteral("Unsupported provider \"%1\" in the connect string").arg(provider));
    const QString source = parts.value(QStringLiteral("DATA SOURCE"));
    const QString user = parts.value(QStringLiteral("USER ID"));
    const QString password = parts.value(QStringLiteral("PASSWORD"));
    const QString wanted = ASettings.DatabaseDriver.toUpper();

    TConnectionMapping m;
    if (wanted == QLatin1String("QSQLITE")) {
        if (ASettings.DatabaseName.isEmpty())
            throw EDatabaseError(
                QStringLiteral(
                    "The registry value \"DatabaseName\" under \"%1\" names no database file")
                    .arg(ConnectorRegistryKey));
        m.Driver = wanted;
        m.DatabaseName = ASettings.DatabaseName;
        // The Retail Pro database is only ever read.
        m.ConnectOptions = QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1")
                               .arg(SqliteBusyTimeoutMs);
        return m;
    }
    if (!wanted.isEmpty() && wanted != QLatin1String("QOCI") && wanted != QLatin1String("QODBC"))
        throw EDatabaseError(
            QStringLiteral(
                "Unknown database driver \"%1\" in the registry value \"DatabaseDriver\"")
                .arg(ASettings.DatabaseDriver));
    if (source.isEmpty())
        throw EDatabaseError(QStringLiteral("The connect string names no data source"));
    if (wanted == QLatin1String("QOCI") ||
        (wanted.isEmpty() && AAvailableDrivers.contains(QStringLiteral("QOCI")))) {
        m.Driver = QStringLiteral("QOCI");
        m.DatabaseName = source; // OCI takes the descriptor itself
        m.UserName = user;
        m.Password = password;
        return m;
    }
    const QString odbc = ASettings.OdbcDriver.isEmpty() ? DefaultOdbcDriver : ASettings.OdbcDriver;
    int timeout = LoginTimeoutSeconds;
    if (!ASettings.OdbcLoginTimeout.isEmpty()) {
        bool ok = false;
        timeout = ASettings.OdbcLoginTimeout.toInt(&ok);
        // 0 would mean no time-out at all to ODBC.
        if (!ok || timeout < 1 || timeout > MaxLoginTimeoutSeconds)
            throw EDatabaseError(
                QStringLiteral("The registry value \"OdbcLoginTimeout\" under \"%1\" "
                               "is \"%2\", not a number of seconds from 1 to %3")
                    .arg(ConnectorRegistryKey, ASettings.OdbcLoginTimeout)
                    .arg(MaxLoginTimeoutSeconds));
    }
    m.Driver = QStringLiteral("QODBC");
    m.DatabaseName = QStringLiteral("DRIVER={%1};DBQ=%2;UID=%3;PWD=%4;")
                         .arg(odbc, OdbcValue(source), OdbcValue(user), OdbcValue(password));
    // The administrator's own attributes come last, as written.
    if (!ASettings.OdbcAttributes.isEmpty()) {
        m.DatabaseName += ASettings.OdbcAttributes;
        if (!m.DatabaseName.endsWith(QLatin1Char(';')))
            m.DatabaseName += QLatin1Char(';');
    }
    m.ConnectOptions = QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(timeout);
    m.OdbcDriver = odbc;
    m.LoginTimeoutSeconds = timeout;
    return m;
}

} // namespace uOVDataAccess

using namespace uOVDataAccess;

// --- TConnectorConnection ----------------------------------------------------

namespace {

std::atomic<int> ConnectionCounter{0};

QString DriverPackage(const QString& ADriver) {
    if (ADriver == QLatin1String("QODBC"))
        return QStringLiteral(" (Debian package libqt6sql6-odbc)");
    if (ADriver == QLatin1String("QSQLITE"))
        return QStringLiteral(" (Debian package libqt6sql6-sqlite)");
    return QString();
}

// A failed connection attempt's text, with a word on the causes that an
// administrator mends in the settings: the ODBC driver's registration and the
// log-in time-out.
QString ConnectFailure(const TConnectionMapping& AMapping, const QString& AError,
                       qint64 AElapsedMs) {
    QString cause;
    if (AMapping.Driver == QLatin1String("QODBC")) {
        // unixODBC's words for a driver name that odbcinst.ini does not
        // register, or whose library is missing.
        if (AError.contains(QLatin1String("Can't open lib")) ||
            AError.contains(QLatin1String("Data source name not found")))
            cause = QStringLiteral("the ODBC driver \"%1\" (registry value \"OdbcDriver\") is not "
                                   "registered with the ODBC driver manager (odbcinst.ini), or "
                                   "its library cannot be loaded: ")
                        .arg(AMapping.OdbcDriver);
        else if (AMapping.LoginTimeoutSeconds > 0 &&
                 AElapsedMs >= AMapping.LoginTimeoutSeconds * 900LL)
            cause = QStringLiteral("no answer within the log-in time-out of %1 s (registry value "
                                   "\"OdbcLoginTimeout\"): ")
                        .arg(AMapping.LoginTimeoutSeconds);
    }
    return QStringLiteral("Connecting to the database through %1 failed: %2%3")
        .arg(AMapping.Driver, cause, AError);
}

} // namespace

TConnectorConnection::TConnectorConnection()
    : FName(QStringLiteral("TConnectorConnection-%1").arg(++ConnectionCounter)) {}

TConnectorConnection::~TConnectorConnection() {
    Close();
}

void TConnectorConnection::SetConnectionString(const QString& AText) {
    FConnectionString = AText;
}

void TConnectorConnection::Open() {
    if (FConnectionString.trimmed().isEmpty())
        throw EDatabaseError(QStringLiteral("Missing Connection or ConnectionString"));
    Close();
    const QStringList drivers = QSqlDatabase::drivers();
    FMapping = MapConnectString(FConnectionString, ReadDataAccessSettings(), drivers);
    if (!drivers.contains(FMapping.Driver))
        throw EDatabaseError(QStringLiteral("The Qt SQL driver \"%1\" is not installed%2")
                                 .arg(FMapping.Driver, DriverPackage(FMapping.Driver)));
    if (FMapping.Driver == QLatin1String("QSQLITE")) {
        // Relative names are relative to the program folder; SQLite would
        // otherwise create an empty database where none is.
        QString path = FMapping.DatabaseName;
        if (QFileInfo(path).isRelative())
            path = uOVUtils::ExeDir() + path;
        if (!QFileInfo(path).isFile())
            throw EDatabaseError(
                QStringLiteral("The database file \"%1\" does not exist").arg(path));
        FMapping.DatabaseName = path;
    }
    QString error;
    QElapsedTimer clock;
    clock.start();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(FMapping.Driver, FName);
        db.setDatabaseName(FMapping.DatabaseName);
        db.setUserName(FMapping.UserName);
        db.setPassword(FMapping.Password);
        db.setConnectOptions(FMapping.ConnectOptions);
        if (!db.open())
            error = db.lastError().text().trimmed();
    }
    if (!error.isNull()) {
        Close();
        throw EDatabaseError(ConnectFailure(FMapping, error, clock.elapsed()));
    }
}

void TConnectorConnection::Close() {
    if (!QSqlDatabase::contains(FName))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(FName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(FName);
}

bool TConnectorConnection::Connected() const {
    return QSqlDatabase::contains(FName) && QSqlDatabase::database(FName, false).isOpen();
}

// --- TConnectorField ---------------------------------------------------------

TConnectorField TConnectorField::InPlace(QStringView AText) {
    TConnectorField field;
    field.FInPlaceText = AText;
    field.FInPlace = true;
    return field;
}

const QVariant& TConnectorField::Value() const {
    if (FInPlace && !FValue.isValid())
        FValue = FInPlaceText.toString();
    return FValue;
}

QString TConnectorField::AsString() const {
    if (FInPlace)
        return FInPlaceText.toString();
    if (FValue.typeId() == QMetaType::QString) // the usual case, without a conversion
        return FValue.isNull() ? QString() : *static_cast<const QString*>(FValue.constData());
    return FValue.isNull() ? QString() : FValue.toString();
}

QStringView TConnectorField::AsText() const {
    if (FInPlace)
        return FInPlaceText;
    if (FValue.typeId() == QMetaType::QString && !FValue.isNull())
        return *static_cast<const QString*>(FValue.constData());
    FText = AsString();
    return FText;
}

qint32 TConnectorField::AsInteger() const {
    if (IsNull())
        return 0;
    // Integer columns as they come, without the way through a text.
    if (FValue.typeId() == QMetaType::Int)
        return FValue.toInt();
    if (FValue.typeId() == QMetaType::LongLong) {
        const qlonglong v = FValue.toLongLong();
        if (v >= std::numeric_limits<qint32>::min() && v <= std::numeric_limits<qint32>::max())
            return static_cast<qint32>(v);
    }
    bool ok = false;
    const QStringView text = AsText();
    qint32 v = text.trimmed().toInt(&ok);
    if (!ok)
        throw EConvertError(
            QStringLiteral("'%1' is not a valid integer value").arg(text.toString()));
    return v;
}

TDateTime TConnectorField::AsDateTime() const {
    return DateTimeOf(false);
}

TDateTime TConnectorField::AsWallClock() const {
    if (!FInPlace && FValue.typeId() == QMetaType::QDateTime) {
        // As the driver read it, without a conversion between zones.
        const QDateTime value = FValue.toDateTime();
        return uOVUtils::WallClock(value.date(), value.time());
    }
    return DateTimeOf(true);
}

namespace {

// SQLite's own layouts "YYYY-MM-DD HH:MM:SS.SSS", "YYYY-MM-DD HH:MM:SS" and
// "YYYY-MM-DD" (a "T" for the blank too) read without the regular
// expression; false for any other text, which then takes it.
bool ParsePlainDateTime(QStringView AText, QDate& ADate, QTime& ATime) {
    const qsizetype n = AText.size();
    if (n != 23 && n != 19 && n != 10)
        return false;
    bool ok = true;
    const auto number = [&](qsizetype AFrom, qsizetype ADigits) {
        int v = 0;
        for (qsizetype i = AFrom; i < AFrom + ADigits; ++i) {
            const char16_t c = AText[i].unicode();
            ok = ok && c >= u'0' && c <= u'9';
            v = v * 10 + (c - u'0');
        }
        return v;
    };
    const auto is = [&](qsizetype AAt, char16_t AChar) {
        return AText[AAt].unicode() == AChar;
    };
    ADate = QDate(number(0, 4), number(5, 2), number(8, 2));
    ok = ok && is(4, u'-') && is(7, u'-');
    if (n == 10) {
        ATime = QTime(0, 0);
        return ok;
    }
    ok = ok && (is(10, u' ') || is(10, u'T')) && is(13, u':') && is(16, u':');
    int ms = 0;
    if (n == 23) {
        ok = ok && is(19, u'.');
        ms = number(20, 3);
    }
    ATime = QTime(number(11, 2), number(14, 2), number(17, 2), ms);
    return ok;
}

} // namespace

TDateTime TConnectorField::DateTimeOf(bool AWallClock) const {
    if (IsNull())
        return 0;
    if (!FInPlace && FValue.typeId() == QMetaType::QDateTime)
        return uOVUtils::ToDateTime(FValue.toDateTime());
    if (!FInPlace && FValue.typeId() == QMetaType::Double)
        return FValue.toDouble();
    const QStringView text = AsText();
    QDate d;
    QTime t;
    if (!ParsePlainDateTime(text, d, t)) {
        static const QRegularExpression layout(QStringLiteral(
            R"(^\s*(\d{4})-(\d{1,2})-(\d{1,2})(?:[ T](\d{1,2}):(\d{1,2})(?::(\d{1,2})(?:\.(\d{1,3})\d*)?)?)?\s*$)"));
        const auto m = layout.match(text.toString());
        if (m.hasMatch()) {
            d = QDate(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
            const QString ms = m.captured(7);
            t = QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(),
                      ms.isEmpty() ? 0 : ms.leftJustified(3, QLatin1Char('0')).toInt());
        }
    }
    if (d.isValid() && t.isValid())
        return AWallClock ? uOVUtils::WallClock(d, t) : uOVUtils::ToDateTime(QDateTime(d, t));
    throw EConvertError(QStringLiteral("'%1' is not a valid date and time").arg(text.toString()));
}

QString TConnectorField::RequireString(const QString& AName) const {
    if (IsNull())
        throw EConvertError(QStringLiteral("The value of \"%1\" is missing or null").arg(AName));
    return AsString();
}

qint32 TConnectorField::RequireInteger(const QString& AName) const {
    if (IsNull())
        throw EConvertError(QStringLiteral("The value of \"%1\" is missing or null").arg(AName));
    return AsInteger();
}

// --- TConnectorDataset -------------------------------------------------------

namespace {

// Calls AFound(begin, end, name) for each ":name" parameter of a statement
// outside quoted text; [begin, end) is the placeholder with its colon.
template <typename F> void ForEachPlaceholder(const QString& ASql, F AFound) {
    QChar quote;
    for (qsizetype i = 0; i < ASql.size(); ++i) {
        const QChar c = ASql[i];
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
        } else if (c == QLatin1Char(':') && i + 1 < ASql.size() &&
                   (ASql[i + 1].isLetter() || ASql[i + 1] == QLatin1Char('_')) &&
                   (i == 0 || ASql[i - 1] != QLatin1Char(':'))) {
            qsizetype e = i + 1;
            while (e < ASql.size() && (ASql[e].isLetterOrNumber() || ASql[e] == QLatin1Char('_')))
                ++e;
            AFound(i, e, ASql.mid(i + 1, e - i - 1));
            i = e - 1;
        }
    }
}

// Names of the ":name" parameters of a statement, each once.
QStringList PlaceholderNames(const QString& ASql) {
    QStringList names;
    ForEachPlaceholder(ASql, [&](qsizetype, qsizetype, const QString& AName) {
        if (!names.contains(AName, Qt::CaseInsensitive))
            names.append(AName);
    });
    return names;
}

TDateTimeBinding DateTimeBindingOf(const QSqlDatabase& ADb) {
    // QODBC learns the DBMS from the data source's SQL_DBMS_NAME.
    switch (ADb.driver() ? ADb.driver()->dbmsType() : QSqlDriver::UnknownDbms) {
    case QSqlDriver::Oracle:
        return TDateTimeBinding::Oracle;
    case QSqlDriver::SQLite:
        return TDateTimeBinding::SqliteText;
    default:
        return TDateTimeBinding::Native;
    }
}

} // namespace

bool TConnectorConnection::IsOracle() const {
    return Connected() &&
           DateTimeBindingOf(QSqlDatabase::database(FName, false)) == TDateTimeBinding::Oracle;
}

QVariant uOVDataAccess::BoundDateTime(TDateTime AValue, TDateTimeBinding ABinding) {
    // As wall-clock text, never through a local time: one in the hour that
    // daylight saving skips would come out moved or empty, and an empty
    // bound matches nothing.
    switch (ABinding) {
    case TDateTimeBinding::Oracle:
        return uOVUtils::FormatDateTimeFixed(QStringLiteral("yyyy-mm-dd hh:nn:ss"), AValue);
    case TDateTimeBinding::SqliteText:
        return uOVUtils::WallClockText(AValue);
    case TDateTimeBinding::Native:
        break;
    }
    return uOVUtils::ToQDateTime(AValue);
}

QString uOVDataAccess::DateTimeStatement(const QString& ASql, const QStringList& ANames,
                                         TDateTimeBinding ABinding) {
    if (ABinding != TDateTimeBinding::Oracle || ANames.isEmpty())
        return ASql;
    QString r;
    qsizetype copied = 0;
    ForEachPlaceholder(ASql, [&](qsizetype ABegin, qsizetype AEnd, const QString& AName) {
        if (!ANames.contains(AName, Qt::CaseInsensitive))
            return;
        r += QStringView(ASql).mid(copied, ABegin - copied) + QStringLiteral("TO_DATE(") +
             QStringView(ASql).mid(ABegin, AEnd - ABegin) +
             QStringLiteral(", 'YYYY-MM-DD HH24:MI:SS')");
        copied = AEnd;
    });
    return r + QStringView(ASql).mid(copied);
}

TConnectorDataset::TConnectorDataset(TConnectorConnection* AConnection)
    : FConnection(AConnection) {}

TConnectorDataset::~TConnectorDataset() = default;

QString TConnectorDataset::SQLText() const {
    QString text;
    for (const QString& line : FSQL)
        text += line + QStringLiteral("\r\n");
    return text;
}

void TConnectorDataset::SetParam(const QString& AName, TParamType AType, const QVariant& AValue) {
    if (!PlaceholderNames(SQLText()).contains(AName, Qt::CaseInsensitive))
        throw EDatabaseError(QStringLiteral("Parameter '%1' not found").arg(AName));
    FParams.insert(AName.toUpper(), TParam{AType, AValue});
}

void TConnectorDataset::SetParamInteger(const QString& AName, qint32 AValue) {
    SetParam(AName, TParamType::Integer, QVariant(AValue));
}

void TConnectorDataset::SetParamText(const QString& AName, const QString& AValue) {
    SetParam(AName, TParamType::Text, QVariant(AValue));
}

void TConnectorDataset::SetParamDateTime(const QString& AName, TDateTime AValue) {
    SetParam(AName, TParamType::DateTime, QVariant(AValue));
}

QStringList TConnectorDataset::DateTimeParams() const {
    QStringList names;
    for (auto p = FParams.constBegin(); p != FParams.constEnd(); ++p)
        if (p->Type == TParamType::DateTime)
            names.append(p.key());
    return names;
}

void TConnectorDataset::Open() {
    if (!FConnection)
        throw EDatabaseError(QStringLiteral("Missing Connection or ConnectionString"));
    OpenOn(*FConnection);
}

void TConnectorDataset::OpenOn(TConnectorConnection& AConnection) {
    Close();
    if (!AConnection.Connected())
        AConnection.Open();
    const QSqlDatabase db = QSqlDatabase::database(AConnection.Name(), false);
    const TDateTimeBinding dates = DateTimeBindingOf(db);
    const QString text = DateTimeStatement(SQLText(), DateTimeParams(), dates);
    QStringList fields;
    QVector<QVector<QVariant>> rows;
    std::unique_ptr<TRowSpool> spool;
    if (FRowStore == TRowStore::TemporaryFile)
        spool = std::make_unique<TRowSpool>();
    QString error;
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.setNumericalPrecisionPolicy(FEnableBCD ? QSql::HighPrecision : QSql::LowPrecisionDouble);
        if (!q.prepare(text)) {
            error = q.lastError().text();
        } else {
            for (const QString& name : PlaceholderNames(text)) {
                auto p = FParams.constFind(name.toUpper());
                if (p == FParams.constEnd()) {
                    error = QStringLiteral("Parameter '%1' has no value").arg(name);
                    break;
                }
                q.bindValue(QLatin1Char(':') + name, p->Type == TParamType::DateTime
                                                         ? BoundDateTime(p->Value.toDouble(), dates)
                                                         : p->Value);
            }
            if (error.isNull() && !q.exec())
                error = q.lastError().text();
        }
        if (error.isNull()) {
            const QSqlRecord rec = q.record();
            for (int i = 0; i < rec.count(); ++i)
                fields.append(rec.fieldName(i));
            QVector<QVariant> row(rec.count());
            while (q.next()) {
                for (int i = 0; i < rec.count(); ++i)
                    row[i] = q.value(i);
                if (spool)
                    spool->Append(row);
                else
                    rows.append(std::exchange(row, QVector<QVariant>(rec.count())));
            }
            if (q.lastError().isValid())
                error = q.lastError().text();
        }
    }
    if (!error.isNull())
        throw EDatabaseError(error.trimmed());
    FFields = std::move(fields);
    FRows = std::move(rows);
    FSpool = std::move(spool);
    FActive = true;
    MoveTo(0);
}

void TConnectorDataset::Close() {
    FActive = false;
    FFields.clear();
    FRows.clear();
    FSpool.reset();
    FRow = 0;
    FOnRow = false;
}

void TConnectorDataset::MoveTo(int ARow) {
    if (FSpool) {
        if (ARow == 0)
            FSpool->Rewind();
        FOnRow = FSpool->Next();
    } else {
        FOnRow = ARow < FRows.size();
    }
    FRow = FOnRow ? ARow : RecordCount();
}

void TConnectorDataset::RequireActive() const {
    if (!FActive)
        throw EDatabaseError(QStringLiteral("Cannot perform this operation on a closed dataset"));
}

int TConnectorDataset::RecordCount() const {
    RequireActive();
    return static_cast<int>(FSpool ? FSpool->Count() : FRows.size());
}

void TConnectorDataset::First() {
    RequireActive();
    // Already there: a file need not be read again from its start.
    if (FRow != 0 || !FOnRow)
        MoveTo(0);
}

void TConnectorDataset::Next() {
    RequireActive();
    if (FOnRow)
        MoveTo(FRow + 1);
}

bool TConnectorDataset::Eof() const {
    RequireActive();
    return !FOnRow;
}

QStringList TConnectorDataset::FieldNames() const {
    RequireActive();
    return FFields;
}

TConnectorField TConnectorDataset::FieldByName(const QString& AName) const {
    return Field(FieldIndex(AName));
}

int TConnectorDataset::FieldIndex(const QString& AName) const {
    RequireActive();
    for (qsizetype i = 0; i < FFields.size(); ++i)
        if (FFields[i].compare(AName, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    throw EDatabaseError(QStringLiteral("Field '%1' not found").arg(AName));
}

TConnectorField TConnectorDataset::Field(int AIndex) const {
    RequireActive();
    if (AIndex < 0 || AIndex >= FFields.size())
        throw EDatabaseError(QStringLiteral("Field index %1 out of range").arg(AIndex));
    if (!FOnRow)
        return TConnectorField(QVariant());
    if (!FSpool)
        return TConnectorField(FRows[FRow][AIndex]);
    // Texts are read where they lie, without a copy.
    return FSpool->IsText(AIndex) ? TConnectorField::InPlace(FSpool->Text(AIndex))
                                  : TConnectorField(FSpool->Value(AIndex));
}
