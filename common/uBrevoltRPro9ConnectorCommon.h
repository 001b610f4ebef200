#pragma once
// The configuration record shared by both programs, its scrambled file
// "Brevoltconnector.cfg", and the module start-up and shutdown that also
// create and end the program's logger.
#include "BrevoltIdentity.h"
#include "common/uOVLogging.h"
#include "common/uOVUtils.h"

#include <QString>
#include <QStringList>

namespace uOVNet {
struct TMailResult;
}

struct TConnectorConfig {
    int scanscheduling = 1;
    int scaninterval = 60000;
    TDateTime sleepbegin = 0;
    TDateTime sleepend = 1.0 / 86400;
    int oracledelay = 120000;
    // The location items ("001.005"), in the order the engine scans them.
    QStringList locations;
    TDateTime lastquery = 0;
    TDateTime DayTimes[7][6]; // row 0 Sunday ... row 6 Saturday; -1 = unset
    bool runimmediate = false;
    QString ftpserver = QStringLiteral("ftp.brevolt.invalid");
    QString ftpusername = QStringLiteral("undefined");
    QString ftppassword;
    // Explicit FTPS: AUTH TLS, a protected data channel, never clear text.
    bool ftpusetls = false;
    bool notifications = false;
    QString smtpserver;
    int smtpport = 465;
    bool smtpusessltls = true;
    QString smtpusername;
    QString smtppassword;
    QString smtpfrom;
    QString startupemails;
    QString shutdownemails;
    QString dailypingemails;
    QString erroremails;
    bool restartonmissingdata = false;
    bool notifyonstartup = false;
    // Minutes before "lastquery" that a run reads again, so that invoices
    // that become visible late are still sent (the ledger of sent invoices
    // keeps the others from going out twice).
    int lookbackminutes = 120;
    // The decoded text of the last file loaded, each line ended by CR LF.
    QString ConfigText = QStringLiteral("[not loaded]");
    // "lastquery" as the last load found it (trimmed; empty when missing),
    // and whether it could be read; when not, lastquery holds a default.
    QString LastQueryText;
    bool LastQueryFromFile = false;

    TConnectorConfig();
};

namespace uBrevoltRPro9ConnectorCommon {

inline const QString ConfigFileName = QStringLiteral("Brevoltconnector.cfg");
// "lookbackminutes": the default, and the most a run may read again, so
// that the query stays bounded.
constexpr int DefaultLookBackMinutes = 120;
constexpr int MaxLookBackMinutes = 7 * 24 * 60;
constexpr unsigned char ConfigKeyByte = 0xC5;
// The executables whose versions Init logs, in the program folder.
inline const QString ServiceExeName = QStringLiteral("BrevoltRPro9Service");
inline const QString ConfiguratorExeName = QStringLiteral("BrevoltRPro9Configurator");

// Every configuration key in the order SaveConfig writes them.
const QStringList& ConfigKeys();

// The program's one configuration record and logger.
TConnectorConfig& Config();
extern TOVLogger* AppLogger;

// Module start-up: creates and starts AppLogger (module name and whether the
// file name carries the time of day differ by program), logs the versions of
// both executables, ExeDir and LogDir, and resets the day times.
void Init(const QString& AModuleName, bool AIncludeTime);
void Done();

// The configuration file, ExeDir followed by ConfigFileName.
QString ConfigFilePath();

// The service directory recorded at installation (registry value
// "ServiceDirectory" under ServiceDirectoryKey), with a trailing separator;
// empty when none is recorded or the registry cannot be read. Both programs
// keep their configuration there.
inline const QString ServiceDirectoryKey =
    QString::fromLatin1(BrevoltIdentity::ServiceDirectoryKey);
QString RegisteredServiceDirectory();

// Reads the file into the record; false (never an exception) when there is
// no file, it is empty or it cannot be read. scheduleChanged tells whether
// the interval, the sleep window or a day time changed.
bool LoadConfig(bool& scheduleChanged);
// Writes the whole record: a new file beside the old one, renamed over it,
// so that no reader ever sees a missing or partial file. The old file's
// permission bits are kept; a new file gets 0660. Raises EInOutError naming
// the file and the reason when it cannot be written (the old file is then
// left as it was).
void SaveConfig();
// Re-reads the file and changes only the given keys (ConfigKeys names) in it
// to the record's values, keeping every other line as it is, so that
// settings another program saved since the last load are not lost. Without
// a readable file it saves the whole record. Written like SaveConfig.
void SaveConfigKeys(const QStringList& AKeys);
// Writes ABytes to APath the way SaveConfig writes the configuration (a
// new file renamed over the old one, whose mode and owner it keeps), for the
// service's own files beside it. Raises EInOutError.
void ReplaceFile(const QString& APath, const QByteArray& ABytes);
// Reads a file that SaveConfig or ReplaceFile may be replacing meanwhile:
// Windows refuses the open for the moment of the rename, so an open that
// fails while the file is there is tried again for a while. False with the
// reason in AError.
bool ReadReplacedFile(const QString& APath, QByteArray& ABytes, QString& AError);

// The text of one key as SaveConfig writes it (empty: the key is left out).
QString ConfigValueText(const TConnectorConfig& AConfig, const QString& AKey);
// Whether the log shows the key's value masked (the passwords).
bool IsSecretKey(const QString& AKey);
// The "locations" value and back: items joined by "|", quoted when they hold
// a blank, a control character, a double quote or "|".
QString LocationsToText(const QStringList& AItems);
QStringList TextToLocations(const QString& AText);

// Sends one service notice through SendMail with the SMTP settings, sender
// name "Brevolt Service"; silent when notices are off or a setting is missing.
// Errors of the mail sender reach the caller, and so do the recipients the
// mail did not reach.
uOVNet::TMailResult SendNotification(const QString& ARecipients, const QString& ASubject,
                                     const QStringList& ABody);

// The switch "skiptransmit": runs pretend their uploads succeeded. An
// installation left with it sends nothing, so it is said loudly.
bool SkipTransmit();
inline const QString SkipTransmitWarning =
    QStringLiteral("\"SkipTransmit\" is on: batch files are archived without being uploaded, "
                   "and \"lastquery\" moves on as if they had been sent");

QString FormatConfigTime(TDateTime t);
TDateTime ParseConfigTime(const QString& AText, TDateTime old, bool& scheduleChanged);
QString LocationKey(const QString& ASbsNo, const QString& AStoreNo);

} // namespace uBrevoltRPro9ConnectorCommon
