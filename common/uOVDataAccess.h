#pragma once
// The system's database connection and query types, a thin layer over Qt SQL.
//
// A connection takes an OLE DB style connect string
// ("Provider=OraOLEDB.Oracle;Data Source=<descriptor>;;User Id=...;Password=...;")
// and maps it onto a Qt SQL driver: QOCI when installed, else QODBC with an
// Oracle ODBC driver; or, when the registry key of the connector says
// "DatabaseDriver"="QSQLITE", the SQLite file named by "DatabaseName".
//
// A dataset runs one statement with named parameters (:name) and keeps the
// whole result, in memory or in a temporary file, so its record count is
// exact before the first row is read and it needs no connection once open.
#include "BrevoltIdentity.h"
#include "common/uOVException.h"
#include "common/uOVUtils.h"

#include <memory>
#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QVariant>
#include <QVector>

OV_DECLARE_EXCEPTION(EDatabaseError, Exception);

namespace uOVDataAccess {

// Registry key (HKEY_LOCAL_MACHINE) holding the data-access settings.
inline const QString ConnectorRegistryKey =
    QString::fromLatin1(BrevoltIdentity::ServiceDirectoryKey);
// Used when the registry names no ODBC driver: the name that the Oracle
// Instant Client's odbc_update_ini.sh registers.
inline const QString DefaultOdbcDriver = QStringLiteral("Oracle 19 ODBC driver");
// How long a connection attempt and a locked SQLite file may hold us up;
// "OdbcLoginTimeout" changes the first, within 1 to MaxLoginTimeoutSeconds.
constexpr int LoginTimeoutSeconds = 30;
constexpr int MaxLoginTimeoutSeconds = 3600;
constexpr int SqliteBusyTimeoutMs = 5000;

// Values of the key above, empty when absent (all text):
//   "DatabaseDriver"   QSQLITE, QOCI or QODBC; empty: QOCI when installed, else QODBC
//   "DatabaseName"     the SQLite file of QSQLITE
//   "OdbcDriver"       the ODBC driver's name as registered in odbcinst.ini
//   "OdbcAttributes"   more "key=value;" pairs for that driver, appended to
//                      its connect string (another driver's own settings)
//   "OdbcLoginTimeout" seconds an ODBC log-in may take
struct TDataAccessSettings {
    QString DatabaseDriver;
    QString DatabaseName;
    QString OdbcDriver;
    QString OdbcAttributes;
    QString OdbcLoginTimeout;
};
TDataAccessSettings ReadDataAccessSettings();

// Key=value pairs of a connect string, keys in upper case; empty parts (the
// ";;" after the data source) are skipped, quoted values unquoted.
QMap<QString, QString> ParseConnectString(const QString& AConnectString);

// What a connect string becomes in Qt SQL terms.
struct TConnectionMapping {
    QString Driver; // "QSQLITE", "QOCI" or "QODBC"
    QString DatabaseName;
    QString UserName;
    QString Password;
    QString ConnectOptions;
    // QODBC: the driver's name and the log-in time-out, for error texts.
    QString OdbcDriver;
    int LoginTimeoutSeconds = 0;
};
// AAvailableDrivers as QSqlDatabase::drivers() reports them. Raises
// EDatabaseError for an unknown provider, a missing data source or a log-in
// time-out that is not a number of seconds in range.
TConnectionMapping MapConnectString(const QString& AConnectString,
                                    const TDataAccessSettings& ASettings,
                                    const QStringList& AAvailableDrivers);

// How a date-time parameter reaches the database, chosen per connection:
// Oracle through QOCI, or through QODBC when the data source says it is
// Oracle; SQLite (QSQLITE); any other ODBC data source.
enum class TDateTimeBinding { Oracle, SqliteText, Native };
// Oracle gets the text "YYYY-MM-DD HH24:MI:SS", which DateTimeStatement's
// TO_DATE turns into a DATE once per statement, so that a DATE column is
// compared with a DATE as it stands and its index can serve. A QDateTime
// would be bound as TIMESTAMP WITH TIME ZONE (QOCI) or TIMESTAMP (QODBC), and
// Oracle would widen the column to that type on every row instead. The
// fraction of a second is cut, not rounded: a column of whole seconds is
// after x.fff exactly when it is after x. SQLite keeps date-times as text in
// its own layout, with milliseconds; other data sources get a QDateTime.
QVariant BoundDateTime(TDateTime AValue, TDateTimeBinding ABinding);
// ASql with every placeholder of ANames (":name") written as
// TO_DATE(:name, 'YYYY-MM-DD HH24:MI:SS') for Oracle; unchanged otherwise.
QString DateTimeStatement(const QString& ASql, const QStringList& ANames,
                          TDateTimeBinding ABinding);

} // namespace uOVDataAccess

// One database connection. Each object has its own Qt SQL connection, which
// Qt lets only the thread that connected it use.
class TConnectorConnection {
public:
    TConnectorConnection();
    ~TConnectorConnection(); // disconnects
    TConnectorConnection(const TConnectorConnection&) = delete;
    TConnectorConnection& operator=(const TConnectorConnection&) = delete;

    void SetConnectionString(const QString& AText);
    const QString& ConnectionString() const { return FConnectionString; }
    // There is no interactive login here; kept for the callers' sake.
    void SetLoginPrompt(bool) {}

    // Connects (again, after a failed attempt); raises EDatabaseError.
    void Open();
    void Close();
    bool Connected() const;
    // The Qt SQL driver of the current or last connection.
    const QString& DriverName() const { return FMapping.Driver; }
    // The Qt SQL connection name, unique per object.
    const QString& Name() const { return FName; }
    // Whether the connected database is Oracle (QOCI, or QODBC to Oracle).
    bool IsOracle() const;

private:
    QString FName;
    QString FConnectionString;
    uOVDataAccess::TConnectionMapping FMapping;
};

// A value of the current row.
class TConnectorField {
public:
    explicit TConnectorField(QVariant AValue) : FValue(std::move(AValue)) {}
    // A text read where its row lies: valid while that row is current.
    static TConnectorField InPlace(QStringView AText);

    const QVariant& Value() const;
    bool IsNull() const { return !FInPlace && FValue.isNull(); }
    QString AsString() const; // null: empty
    // The same without a copy where the value is a text: valid as long as
    // this field, and its row while in place.
    QStringView AsText() const;
    qint32 AsInteger() const;     // null: 0; EConvertError when not a number
    TDateTime AsDateTime() const; // null: 0; also SQLite's text layout
    // The date and time as the database holds them, without any zone
    // (uOVUtils::WallClock); null: 0.
    TDateTime AsWallClock() const;
    // Raises EConvertError when the value is null; AName names it.
    QString RequireString(const QString& AName) const;
    qint32 RequireInteger(const QString& AName) const;

private:
    TConnectorField() = default;
    TDateTime DateTimeOf(bool AWallClock) const;

    mutable QVariant FValue; // in place: made when asked for
    mutable QString FText;   // AsText of a value that is no text
    QStringView FInPlaceText;
    bool FInPlace = false;
};

class TRowSpool;

// Where an open dataset keeps its rows.
enum class TRowStore {
    Memory,        // all of them: for callers that keep or show the whole result
    TemporaryFile, // read back one at a time, so memory does not grow with them
};

class TConnectorDataset {
public:
    explicit TConnectorDataset(TConnectorConnection* AConnection = nullptr);
    ~TConnectorDataset();
    TConnectorDataset(const TConnectorDataset&) = delete;
    TConnectorDataset& operator=(const TConnectorDataset&) = delete;

    void SetConnection(TConnectorConnection* AConnection) { FConnection = AConnection; }
    TConnectorConnection* Connection() const { return FConnection; }
    // Off: numeric columns arrive as integers or doubles, not as exact
    // decimal text.
    void SetEnableBCD(bool AValue) { FEnableBCD = AValue; }
    // For the next Open; Memory unless set.
    void SetRowStore(TRowStore AValue) { FRowStore = AValue; }

    // The statement: its lines, each followed by CR LF.
    void AddSQL(const QString& ALine) { FSQL.append(ALine); }
    void ClearSQL() { FSQL.clear(); }
    const QStringList& SQL() const { return FSQL; }
    QString SQLText() const;

    // Parameters named in the statement (":name"); raises EDatabaseError for
    // a name the statement does not hold.
    void SetParamInteger(const QString& AName, qint32 AValue);
    void SetParamText(const QString& AName, const QString& AValue);
    // How it reaches each database: uOVDataAccess::BoundDateTime.
    void SetParamDateTime(const QString& AName, TDateTime AValue);

    // Runs the statement on the dataset's connection (connecting it when
    // needed) and keeps the whole result, positioned on the first row.
    void Open();
    // The same on another connection of the same thread: a worker thread
    // opens the query on a connection of its own.
    void OpenOn(TConnectorConnection& AConnection);
    void Close();
    bool Active() const { return FActive; }

    // These raise EDatabaseError while the dataset is closed.
    int RecordCount() const;
    void First();
    void Next();
    bool Eof() const;
    QStringList FieldNames() const;
    // Raises EDatabaseError for an unknown name (compared without case);
    // a null value when there is no current row.
    TConnectorField FieldByName(const QString& AName) const;
    // The same by position: look the name up once with FieldIndex, then
    // read each row's value with Field.
    int FieldIndex(const QString& AName) const;
    TConnectorField Field(int AIndex) const;

private:
    enum class TParamType { Integer, Text, DateTime };
    struct TParam {
        TParamType Type;
        QVariant Value;
    };
    void SetParam(const QString& AName, TParamType AType, const QVariant& AValue);
    void RequireActive() const;
    QStringList DateTimeParams() const;
    // To row ARow: any row in memory, the first or the next one in a file.
    void MoveTo(int ARow);

    TConnectorConnection* FConnection;
    bool FEnableBCD = true;
    TRowStore FRowStore = TRowStore::Memory;
    QStringList FSQL;
    QMap<QString, TParam> FParams; // key: upper-case name
    bool FActive = false;
    QStringList FFields;
    QVector<QVector<QVariant>> FRows;  // TRowStore::Memory
    std::unique_ptr<TRowSpool> FSpool; // TRowStore::TemporaryFile
    int FRow = 0;
    bool FOnRow = false; // false past the last row
};
