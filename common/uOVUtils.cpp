#include "common/uOVUtils.h"

#include "common/uOVClock.h"
#include "platform/FileModes.h"
#include "platform/FileVersion.h"
#include "platform/OsVersion.h"
#include "platform/Process.h"

#include <cmath>
#include <mutex>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>

namespace uOVUtils {

namespace {
const QChar Sep = QDir::separator();
const QDateTime Epoch(QDate(1899, 12, 30), QTime(0, 0));
constexpr double MSecsPerDay = 86400000.0;

bool IsCLocale() {
    const QLocale l = QLocale::system();
    return l.language() == QLocale::C || l.name() == QLatin1String("C");
}

// First character of a regional format that is not part of a field.
QString SeparatorIn(const QString& AFormat, const QString& AFallback) {
    for (QChar c : AFormat)
        if (!c.isLetter() && c != QLatin1Char(' ') && c != QLatin1Char('\''))
            return QString(c);
    return AFallback;
}

TDateTime DateTimeOf(const QDateTime& ADateTime) {
    // Count calendar days and clock time, not elapsed seconds, so that the
    // value means the same wall-clock time in any zone.
    const qint64 days = Epoch.date().daysTo(ADateTime.date());
    const double time = ADateTime.time().msecsSinceStartOfDay() / MSecsPerDay;
    return days >= 0 ? days + time : days - time;
}

void SplitDateTime(TDateTime AValue, QDate& ADate, QTime& ATime) {
    const double whole = std::trunc(AValue);
    // Round to the millisecond, carrying into the day where needed.
    qint64 ms = std::llround(std::fabs(AValue - whole) * MSecsPerDay);
    qint64 day = static_cast<qint64>(whole);
    if (ms >= static_cast<qint64>(MSecsPerDay)) {
        ms -= static_cast<qint64>(MSecsPerDay);
        day += AValue < 0 ? -1 : 1;
    }
    ADate = Epoch.date().addDays(day);
    ATime = QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms));
}
} // namespace

namespace {
// The program folder, read and changed under ExeDirLock only.
std::mutex ExeDirLock;
QString& ExeDirValue() {
    static QString dir = [] {
        const QString exe = QString::fromStdString(platform::ExecutablePath());
        return WithTrailingBackslash(exe.isEmpty() ? QDir::currentPath()
                                                   : QFileInfo(exe).absolutePath());
    }();
    return dir;
}
} // namespace

QString ExeDir() {
    std::lock_guard lock(ExeDirLock);
    return ExeDirValue();
}

void SetExeDir(const QString& AValue) {
    std::lock_guard lock(ExeDirLock);
    ExeDirValue() = AValue;
}

namespace {
// '/' everywhere; on Windows '\\' too, which is the one added.
bool IsSeparator(QChar AChar) {
    return AChar == QLatin1Char('/') || AChar == Sep;
}
} // namespace

QString WithTrailingBackslash(const QString& AText) {
    if (AText.isEmpty() || IsSeparator(AText.back()))
        return AText;
    return AText + Sep;
}

QString JoinPath(std::initializer_list<QString> AParts) {
    auto it = AParts.begin();
    if (it == AParts.end())
        return {};
    QString result = *it;
    for (++it; it != AParts.end(); ++it) {
        QString part = *it;
        if (!part.isEmpty() && IsSeparator(part.front()))
            part.remove(0, 1);
        if (result.isEmpty() || !IsSeparator(result.back()))
            result += Sep;
        result += part;
    }
    return result;
}

QString GetFileVersionText(const QString& APath) {
    return QString::fromStdString(platform::ReadFileVersion(APath.toStdString()));
}

bool SplitFileVersion(const QString& AVersion, QString& AMajorMinor, QString& ARelease) {
    AMajorMinor = AVersion;
    ARelease.clear();
    const int last = AVersion.lastIndexOf(QLatin1Char('.'));
    if (last < 0)
        return false;
    const QString head = AVersion.left(last);
    const int dot = head.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return false;
    AMajorMinor = head.left(dot);
    ARelease = head.mid(dot + 1);
    return true;
}

QString LPad(const QString& AText, int ALength, QChar ACh) {
    try {
        if (ALength < 0)
            throw Exception(QStringLiteral("Invalid negative length passed in call to LPAD()"));
        if (ALength < AText.length())
            return AText.left(ALength);
        return QString(ALength - AText.length(), ACh) + AText;
    } catch (const std::exception& E) {
        throw ELPadException(QStringLiteral("Exception in LPad: ") + ExceptionMessage(E));
    }
}

bool TextToBool(const QString& AText) {
    const QString t = AText.trimmed().toUpper();
    if (t.isEmpty())
        return false;
    if (t == QLatin1String("-1"))
        return true;
    const QChar c = t.at(0);
    return c == QLatin1Char('1') || c == QLatin1Char('T') || c == QLatin1Char('Y');
}

TDateTime Now() {
    return ToDateTime(Clock().Now());
}

TDateTime Date() {
    return std::floor(Now());
}

TDateTime ToDateTime(const QDateTime& ADateTime) {
    return DateTimeOf(ADateTime.toLocalTime());
}

QDateTime ToQDateTime(TDateTime AValue) {
    QDate d;
    QTime t;
    SplitDateTime(AValue, d, t);
    return QDateTime(d, t);
}

int DayOfWeek(TDateTime AValue) {
    QDate d;
    QTime t;
    SplitDateTime(AValue, d, t);
    return d.dayOfWeek() % 7 + 1; // Qt: Monday = 1 ... Sunday = 7
}

QString DateSeparator() {
    return IsCLocale() ? QStringLiteral("/")
                       : SeparatorIn(QLocale::system().dateFormat(QLocale::ShortFormat), "/");
}

QString TimeSeparator() {
    return IsCLocale() ? QStringLiteral(":")
                       : SeparatorIn(QLocale::system().timeFormat(QLocale::ShortFormat), ":");
}

QString TimeAMString() {
    const QString s = IsCLocale() ? QString() : QLocale::system().amText();
    return s.isEmpty() ? QStringLiteral("AM") : s;
}

QString TimePMString() {
    const QString s = IsCLocale() ? QString() : QLocale::system().pmText();
    return s.isEmpty() ? QStringLiteral("PM") : s;
}

namespace {
struct TFormatSymbols {
    QString DateSeparator, TimeSeparator, AM, PM;
};

QString Format(const QString& APattern, TDateTime AValue, const TFormatSymbols& ASymbols) {
    QDate d;
    QTime t;
    SplitDateTime(AValue, d, t);
    const bool twelveHour = APattern.contains(QLatin1String("ampm"), Qt::CaseInsensitive);
    const int hour = twelveHour ? (t.hour() % 12 == 0 ? 12 : t.hour() % 12) : t.hour();
    auto num = [](int v, int width) {
        return QString::number(v).rightJustified(width, '0');
    };

    QString out;
    for (int i = 0; i < APattern.length();) {
        const QStringView rest = QStringView(APattern).mid(i);
        auto take = [&](const char* token) {
            const int n = static_cast<int>(qstrlen(token));
            if (!rest.startsWith(QLatin1String(token), Qt::CaseInsensitive))
                return false;
            i += n;
            return true;
        };
        if (take("yyyy"))
            out += num(d.year(), 4);
        else if (take("yy"))
            out += num(d.year() % 100, 2);
        else if (take("mm"))
            out += num(d.month(), 2);
        else if (take("m"))
            out += QString::number(d.month());
        else if (take("dd"))
            out += num(d.day(), 2);
        else if (take("d"))
            out += QString::number(d.day());
        else if (take("hh"))
            out += num(hour, 2);
        else if (take("h"))
            out += QString::number(hour);
        else if (take("nn"))
            out += num(t.minute(), 2);
        else if (take("n"))
            out += QString::number(t.minute());
        else if (take("ss"))
            out += num(t.second(), 2);
        else if (take("s"))
            out += QString::number(t.second());
        else if (take("zzz"))
            out += num(t.msec(), 3);
        else if (take("ampm"))
            out += t.hour() < 12 ? ASymbols.AM : ASymbols.PM;
        else if (take("/"))
            out += ASymbols.DateSeparator;
        else if (take(":"))
            out += ASymbols.TimeSeparator;
        else
            out += APattern.at(i++);
    }
    return out;
}
} // namespace

QString FormatDateTime(const QString& APattern, TDateTime AValue) {
    return Format(APattern, AValue,
                  {DateSeparator(), TimeSeparator(), TimeAMString(), TimePMString()});
}

QString FormatDateTimeFixed(const QString& APattern, TDateTime AValue) {
    return Format(
        APattern, AValue,
        {QStringLiteral("/"), QStringLiteral(":"), QStringLiteral("AM"), QStringLiteral("PM")});
}

TDateTime WallClock(QDate ADate, QTime ATime) {
    const qint64 days = Epoch.date().daysTo(ADate);
    const double time = ATime.msecsSinceStartOfDay() / MSecsPerDay;
    return days >= 0 ? days + time : days - time;
}

QString WallClockText(TDateTime AValue) {
    return FormatDateTimeFixed(QStringLiteral("yyyy-mm-dd hh:nn:ss.zzz"), AValue);
}

bool ParseWallClockText(const QString& AText, TDateTime& AValue) {
    static const QRegularExpression layout(
        QStringLiteral(R"(^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3})$)"));
    const QRegularExpressionMatch m = layout.match(AText.trimmed());
    if (!m.hasMatch())
        return false;
    const QDate d(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime t(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(),
                  m.captured(7).toInt());
    if (!d.isValid() || !t.isValid())
        return false;
    AValue = WallClock(d, t);
    return true;
}

int UTCBiasMinutes() {
    const QDateTime now = Clock().Now();
    return -QTimeZone::systemTimeZone().offsetFromUtc(now) / 60;
}

TDateTime LocalToUTC(TDateTime AValue) {
    return DateTimeOf(ToQDateTime(AValue).toUTC());
}

TDateTime UTCToLocal(TDateTime AValue) {
    QDate d;
    QTime t;
    SplitDateTime(AValue, d, t);
    return DateTimeOf(QDateTime(d, t, Qt::UTC).toLocalTime());
}

QString DateTimeToUTCText(TDateTime AValue) {
    return FormatDateTimeFixed(QStringLiteral("yyyy-mm-dd hh:nn:ss.zzz"), LocalToUTC(AValue));
}

TDateTime UTCTextToDateTime(const QString& AText) {
    // A ":" before the milliseconds is what earlier versions wrote where the
    // time separator is "."; read it too, so that such a value is not lost.
    static const QRegularExpression layout(QStringLiteral(
        R"(^\s*(\d{1,4})-(\d{1,2})-(\d{1,2})(?:\s+(\d{1,2}):(\d{1,2})(?::(\d{1,2})(?:[.:](\d{1,3}))?)?)?\s*$)"));
    const auto m = layout.match(AText);
    if (!m.hasMatch())
        return 0;
    const QDate d(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    QString ms = m.captured(7);
    const QTime t(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(),
                  ms.isEmpty() ? 0 : ms.leftJustified(3, '0').toInt());
    if (!d.isValid() || !t.isValid())
        return 0;
    return UTCToLocal(DateTimeOf(QDateTime(d, t)));
}

QString GetCmdLineSwitchValue(const QString& AName, const QString& ASwitchChars, bool AIgnoreCase) {
    const Qt::CaseSensitivity cs = AIgnoreCase ? Qt::CaseInsensitive : Qt::CaseSensitive;
    for (const std::string& raw : platform::CommandLineArguments()) {
        const QString arg = QString::fromLocal8Bit(raw.c_str());
        if (arg.isEmpty())
            continue;
        if (!ASwitchChars.isEmpty() && !ASwitchChars.contains(arg.at(0)))
            continue;
        int sep = -1;
        for (int i = 1; i < arg.length(); ++i)
            if (arg.at(i) == QLatin1Char(':') || arg.at(i) == QLatin1Char('=')) {
                sep = i;
                break;
            }
        if (sep < 0 || sep == arg.length() - 1)
            continue;
        if (arg.mid(1, sep - 1).compare(AName, cs) == 0)
            return arg.mid(sep + 1);
    }
    return {};
}

bool FindCmdLineSwitch(const QString& AName) {
    for (const std::string& raw : platform::CommandLineArguments()) {
        const QString arg = QString::fromLocal8Bit(raw.c_str());
        if (arg.length() > 1 && (arg.at(0) == QLatin1Char('-') || arg.at(0) == QLatin1Char('/')) &&
            arg.mid(1).compare(AName, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString WindowsVersionText(TPlatformFamily AFamily, int AMajor, int AMinor, int ABuild,
                           const QString& AServicePack) {
    QString name;
    bool classified = true;
    int build = ABuild;
    switch (AFamily) {
    case TPlatformFamily::Windows9x: {
        const QString sp = AServicePack.trimmed().toUpper();
        const QChar letter = sp.isEmpty() ? QChar() : sp.at(0);
        build = ABuild & 0xFFFF;
        if (AMinor < 10 && letter != QLatin1Char('B') && letter != QLatin1Char('C'))
            name = QStringLiteral("Windows 95");
        else if (AMinor >= 10 && AMinor <= 89)
            name = QStringLiteral("Windows 98");
        break;
    }
    case TPlatformFamily::WindowsNT:
        if (AMajor == 4)
            name = QStringLiteral("Windows NT");
        else if (AMajor == 5 && AMinor == 0)
            name = QStringLiteral("Windows 2000");
        else if (AMajor == 5 && AMinor == 1)
            name = QStringLiteral("Windows XP");
        else if (AMajor == 5 && AMinor == 2)
            name = QStringLiteral("Windows 2003");
        else if (AMajor == 6)
            name = QStringLiteral("Windows 7");
        else if (AMajor == 7)
            name = QStringLiteral("Windows 8");
        else if (AMajor == 10)
            name = QStringLiteral("Windows 10");
        break;
    default:
        classified = false;
    }
    if (name.isEmpty()) {
        name = QStringLiteral("Windows?");
        build = 0;
    }
    if (!classified)
        return QString::asprintf("%s %d.%d", qPrintable(name), AMajor, AMinor);
    if (!AServicePack.isEmpty())
        return QString::asprintf("%s %d.%d (Build %d: %s)", qPrintable(name), AMajor, AMinor, build,
                                 qPrintable(AServicePack));
    return QString::asprintf("%s %d.%d (Build %d)", qPrintable(name), AMajor, AMinor, build);
}

QString WindowsVersionText() {
    const platform::OsVersion v = platform::CurrentOsVersion();
    const QString name = QString::fromStdString(v.name.empty() ? "Unknown" : v.name);
    const QString description = QString::fromStdString(v.description);
    if (!description.isEmpty())
        return QString::asprintf("%s %d.%d (Build %d: %s)", qPrintable(name), v.major, v.minor,
                                 v.build, qPrintable(description));
    return QString::asprintf("%s %d.%d (Build %d)", qPrintable(name), v.major, v.minor, v.build);
}

bool RestrictToOwnerAndGroup(const QString& APath) {
    return platform::RestrictToOwnerAndGroup(APath.toStdString());
}

bool MakeOwnerGroupFolder(const QString& APath) {
    if (QFileInfo(APath).isDir())
        return true;
    if (!QDir().mkpath(APath))
        return false;
    return RestrictToOwnerAndGroup(APath);
}

} // namespace uOVUtils
