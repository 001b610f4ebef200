#pragma once
// Small operations shared by the configuration, the logger, the engine and
// the utility: program folder, paths, versions, padding, Booleans, the UTC
// text of the last-run time, command-line switches and the OS version line.
#include "common/uOVException.h"

#include <initializer_list>
#include <QDateTime>
#include <QString>
#include <QStringList>

// Days since 1899-12-30, the time of day as the fraction, local time.
using TDateTime = double;

OV_DECLARE_EXCEPTION(ELPadException, Exception);

namespace uOVUtils {

// The program folder with a trailing separator; the service may replace it
// by the service directory recorded at installation.
QString ExeDir();
void SetExeDir(const QString& AValue);

QString WithTrailingBackslash(const QString& AText);
QString JoinPath(std::initializer_list<QString> AParts);
QString GetFileVersionText(const QString& APath);
// The about boxes show a four-part version as "major.minor" and the release
// (third number); false, with AMajorMinor = AVersion, when it has fewer parts.
bool SplitFileVersion(const QString& AVersion, QString& AMajorMinor, QString& ARelease);
QString LPad(const QString& AText, int ALength, QChar ACh);
bool TextToBool(const QString& AText);

// Time values. Now() reads the clock of uOVClock.
TDateTime Now();
TDateTime Date(); // today at 00:00
TDateTime ToDateTime(const QDateTime& ADateTime);
QDateTime ToQDateTime(TDateTime AValue);
int DayOfWeek(TDateTime AValue); // 1 = Sunday ... 7 = Saturday

// Formats with the design's patterns: yyyy yy mm m dd d hh h nn n ss s zzz
// ampm, and "/" ":" for the regional date and time separators.
QString FormatDateTime(const QString& APattern, TDateTime AValue);
// The same patterns with "/", ":", "AM" and "PM" as written, whatever the
// regional settings: for text that lands in a file another program reads.
QString FormatDateTimeFixed(const QString& APattern, TDateTime AValue);

// Wall-clock readings without a time zone: the database's times are the
// point of sale's clock as it showed, and a local-time conversion would move
// or lose one in the hour skipped when daylight saving starts. A date and
// time as a TDateTime, its text "yyyy-mm-dd hh:nn:ss.zzz" whatever the
// regional settings, and back (false unless AText has exactly that layout).
TDateTime WallClock(QDate ADate, QTime ATime);
QString WallClockText(TDateTime AValue);
bool ParseWallClockText(const QString& AText, TDateTime& AValue);

// Regional settings; the US conventions under the C or POSIX locale.
QString DateSeparator();
QString TimeSeparator();
QString TimeAMString();
QString TimePMString();

int UTCBiasMinutes();
// Convert with the UTC offset that applies at the date converted, so that a
// time written before a daylight-saving change reads back unchanged after it.
TDateTime LocalToUTC(TDateTime AValue);
TDateTime UTCToLocal(TDateTime AValue);
QString DateTimeToUTCText(TDateTime AValue);
TDateTime UTCTextToDateTime(const QString& AText);

QString GetCmdLineSwitchValue(const QString& AName, const QString& ASwitchChars, bool AIgnoreCase);
// A switch word written after "-" or "/", letter case ignored ("-Console").
bool FindCmdLineSwitch(const QString& AName);

enum class TPlatformFamily { Win32s = 0, Windows9x = 1, WindowsNT = 2 };
QString WindowsVersionText(TPlatformFamily AFamily, int AMajor, int AMinor, int ABuild,
                           const QString& AServicePack);
// The line naming the running system, in the shape of the one above.
QString WindowsVersionText();

// Takes away every right of others on a file or folder (rights of owner and
// group: read and write, plus enter for a folder; setgid is kept). False when
// the path cannot be changed.
bool RestrictToOwnerAndGroup(const QString& APath);
// Makes a folder (and its missing parents) for owner and group only.
bool MakeOwnerGroupFolder(const QString& APath);

} // namespace uOVUtils
