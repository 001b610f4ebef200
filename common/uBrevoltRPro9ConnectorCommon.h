#pragma once
// The configuration record shared by both programs, its scrambled file
// "Brevoltconnector.cfg", and the module start-up and shutdown that also
// create and end the program's logger.
#include "common/uOVLogging.h"
#include "common/uOVUtils.h"

#include <QString>
#include <QStringList>

struct TConnectorConfig {
    int scanscheduling = 1;
    int scaninterval = 60000;
    TDateTime sleepbegin = 0;
    TDateTime sleepend = 1.0 / 86400;
    int oracledelay = 120000;
    QStringList locations;
    TDateTime lastquery = 0;
    TDateTime DayTimes[7][6]; // row 0 Sunday ... row 6 Saturday; -1 = unset
    bool runimmediate = false;
    QString ftpserver = QStringLiteral("ftp.brevolt.invalid");
    QString ftpusername = QStringLiteral("undefined");
    QString ftppassword;
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
    QString ConfigText = QStringLiteral("[not loaded]");

    TConnectorConfig();
};

namespace uBrevoltRPro9ConnectorCommon {

inline const QString ConfigFileName = QStringLiteral("Brevoltconnector.cfg");
constexpr unsigned char ConfigKeyByte = 0xC5;

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

bool LoadConfig(bool& scheduleChanged);
// Writes the whole record: a new file beside the old one, renamed over it,
// so that no reader ever sees a missing or partial file.
void SaveConfig();
// Re-reads the file and changes only the given keys in it to the record's
// values, so that settings another program saved since the last load are
// kept. Written atomically like SaveConfig.
void SaveConfigKeys(const QStringList& AKeys);

// Sends one service notice through SendMail with the SMTP settings, sender
// name "Brevolt Service"; silent when notices are off or a setting is missing.
// Errors of the mail sender reach the caller.
void SendNotification(const QString& ARecipients, const QString& ASubject,
                      const QStringList& ABody);

QString FormatConfigTime(TDateTime t);
TDateTime ParseConfigTime(const QString& AText, TDateTime old, bool& scheduleChanged);
QString LocationKey(const QString& ASbsNo, const QString& AStoreNo);

} // namespace uBrevoltRPro9ConnectorCommon
