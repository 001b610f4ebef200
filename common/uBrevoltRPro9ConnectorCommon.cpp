#include "common/uBrevoltRPro9ConnectorCommon.h"

#include "common/uOVCodePage.h"
#include "platform/FileModes.h"
#include "platform/Registry.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThread>

using namespace uOVUtils;

TConnectorConfig::TConnectorConfig() {
    for (auto& day : DayTimes)
        for (TDateTime& slot : day)
            slot = -1;
}

namespace uBrevoltRPro9ConnectorCommon {

TOVLogger* AppLogger = nullptr;

namespace {

const QString AreaInit = QStringLiteral("Init");
const QString AreaLoad = QStringLiteral("LoadConfig");
const QString AreaSave = QStringLiteral("SaveConfig");
const QString AreaSaveKeys = QStringLiteral("SaveConfigKeys");
const QString LineEnd = QStringLiteral("\r\n");
constexpr double MSecsPerDay = 86400000.0;
// Readable and writable by the service and the utility, nobody else.
constexpr QFileDevice::Permissions NewFilePermissions =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
    QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::WriteGroup;

QString DayTimeKey(int ADay, int ASlot) {
    static const char* const Days[7] = {"sunday",   "monday", "tuesday", "wednesday",
                                        "thursday", "friday", "saturday"};
    return QLatin1String(Days[ADay]) + QStringLiteral("time") + QString::number(ASlot + 1);
}

// A value must stay on its line: a line break in it would start a line of
// its own and could set any other key.
QString OneLine(QString AText) {
    return AText.replace(QLatin1Char('\r'), QLatin1Char(' '))
        .replace(QLatin1Char('\n'), QLatin1Char(' '));
}

// The record as the program starts: every default of a setting is its
// start value here.
const TConnectorConfig& StartValues() {
    static const TConnectorConfig values;
    return values;
}

using TWriter = std::function<QString(const TConnectorConfig&)>;
// Applies a key's text from the file (empty when the key is missing); sets
// AScheduleChanged when a setting of the schedule changed. Never raises.
using TReader = std::function<void(TConnectorConfig&, const QString&, bool& AScheduleChanged)>;

TDateTime ReadLastQuery(const QString& AText) {
    const QString text = AText.trimmed();
    TDateTime value = text.isEmpty() ? Date() : UTCTextToDateTime(text);
    if (value < 10)
        value = Now() - 1;
    return value;
}

// A whole number of minutes up to MaxLookBackMinutes (a larger one is cut
// to it); the default when missing, negative or not a number. A value set
// but not taken as it stands is said once, at level 0, until it changes.
int ReadLookBackMinutes(const QString& AText) {
    static QString warned;
    const QString text = AText.trimmed();
    bool ok = false;
    const int given = text.toInt(&ok);
    const int minutes =
        !ok || given < 0 ? DefaultLookBackMinutes : std::min(given, MaxLookBackMinutes);
    if (!text.isEmpty() && (!ok || minutes != given)) {
        if (text != warned && AppLogger)
            AppLogger->warn(0,
                            QStringLiteral("\"lookbackminutes\" is \"%1\", which is not a whole "
                                           "number of minutes from 0 to %2; using %3")
                                .arg(text)
                                .arg(MaxLookBackMinutes)
                                .arg(minutes),
                            AreaLoad);
        warned = text;
    } else {
        warned.clear();
    }
    return minutes;
}

// One configuration key: its name, how it is written and read, and
// whether the log shows its value masked.
struct TKeyRow {
    QString Key;
    TWriter Write;
    TReader Read;
    bool Secret = false;
};

int WholeNumberOr(const QString& AText, int ADefault) {
    bool ok = false;
    const int value = AText.trimmed().toInt(&ok);
    return ok ? value : ADefault;
}

// A whole number, else the start value; AOnChange: a change of it is one
// of the schedule.
TKeyRow Number(const char* AKey, int TConnectorConfig::*AField, bool AOnChange = false) {
    return {AKey, [AField](const TConnectorConfig& C) { return QString::number(C.*AField); },
            [AField, AOnChange](TConnectorConfig& C, const QString& AValue, bool& AChanged) {
                const int old = C.*AField;
                C.*AField = WholeNumberOr(AValue, StartValues().*AField);
                AChanged = AChanged || (AOnChange && C.*AField != old);
            }};
}
// A time of day. A time the file leaves out was cleared (the utility leaves
// unset times out): a running service must stop using it too.
TKeyRow Time(const QString& AKey, const std::function<TDateTime&(TConnectorConfig&)>& AField) {
    return {AKey,
            [AField](const TConnectorConfig& C) {
                return FormatConfigTime(AField(const_cast<TConnectorConfig&>(C)));
            },
            [AField](TConnectorConfig& C, const QString& AValue, bool& AChanged) {
                TDateTime& field = AField(C);
                if (!AValue.trimmed().isEmpty()) {
                    field = ParseConfigTime(AValue, field, AChanged);
                } else if (field >= 0) {
                    field = -1;
                    AChanged = true;
                }
            }};
}
TKeyRow Time(const char* AKey, TDateTime TConnectorConfig::*AField) {
    return Time(QString::fromLatin1(AKey),
                [AField](TConnectorConfig& C) -> TDateTime& { return C.*AField; });
}
TKeyRow Text(const char* AKey, QString TConnectorConfig::*AField, bool ASecret = false) {
    return {AKey, [AField](const TConnectorConfig& C) { return OneLine(C.*AField); },
            [AField](TConnectorConfig& C, const QString& AValue, bool&) {
                C.*AField = AValue.trimmed();
            },
            ASecret};
}
// "1" or "0"; true when the trimmed text is "1".
TKeyRow Flag01(const char* AKey, bool TConnectorConfig::*AField) {
    return {AKey,
            [AField](const TConnectorConfig& C) {
                return C.*AField ? QStringLiteral("1") : QStringLiteral("0");
            },
            [AField](TConnectorConfig& C, const QString& AValue, bool&) {
                C.*AField = AValue.trimmed() == QLatin1String("1");
            }};
}
TKeyRow FlagTrueFalse(const char* AKey, bool TConnectorConfig::*AField) {
    return {AKey,
            [AField](const TConnectorConfig& C) {
                return C.*AField ? QStringLiteral("True") : QStringLiteral("False");
            },
            [AField](TConnectorConfig& C, const QString& AValue, bool&) {
                C.*AField = TextToBool(AValue);
            }};
}

// The keys in file order (the order in which they are also applied).
const QList<TKeyRow>& KeyRows() {
    static const QList<TKeyRow> rows = [] {
        using T = TConnectorConfig;
        QList<TKeyRow> r = {
            Number("scanscheduling", &T::scanscheduling, true),
            Number("scaninterval", &T::scaninterval, true),
            Time("sleepbegin", &T::sleepbegin),
            Time("sleepend", &T::sleepend),
            Number("oracledelay", &T::oracledelay),
            {"locations", [](const T& C) { return OneLine(LocationsToText(C.locations)); },
             [](T& C, const QString& AValue, bool&) {
                 C.locations = TextToLocations(AValue);
             }},
            {"lastquery", [](const T& C) { return DateTimeToUTCText(C.lastquery); },
             [](T& C, const QString& AValue, bool&) {
                 C.lastquery = ReadLastQuery(AValue);
                 // The engine takes the ledger's cursor instead of a default.
                 C.LastQueryText = AValue.trimmed();
                 C.LastQueryFromFile = UTCTextToDateTime(C.LastQueryText) >= 10;
             }},
        };
        for (int day = 0; day < 7; ++day)
            for (int slot = 0; slot < 6; ++slot)
                r.append(Time(DayTimeKey(day, slot),
                              [day, slot](T& C) -> TDateTime& { return C.DayTimes[day][slot]; }));
        r += QList<TKeyRow>{
            {"loglevel",
             [](const T&) {
                 return QString::number(AppLogger ? AppLogger->LogLevel()
                                                  : uOVLogging::Settings().DefaultLogLevel);
             },
             [](T&, const QString& AValue, bool&) {
                 if (AppLogger)
                     AppLogger->SetLogLevel(WholeNumberOr(AValue, 9)); // all detail
             }},
            // True only for exactly "1", not trimmed.
            {"runimmediate", Flag01("runimmediate", &T::runimmediate).Write,
             [](T& C, const QString& AValue, bool&) {
                 C.runimmediate = AValue == QLatin1String("1");
             }},
            Text("ftpserver", &T::ftpserver),
            Text("ftpusername", &T::ftpusername),
            Text("ftppassword", &T::ftppassword, true),
            // Written only when on, so that files from before it stay as they were.
            {"ftpusetls", [](const T& C) { return C.ftpusetls ? QStringLiteral("1") : QString(); },
             Flag01("ftpusetls", &T::ftpusetls).Read},
            Flag01("notifications", &T::notifications),
            Text("smtpserver", &T::smtpserver),
            // Not a number: the port held before stays.
            {"smtpport", Number("smtpport", &T::smtpport).Write,
             [](T& C, const QString& AValue, bool&) {
                 C.smtpport = WholeNumberOr(AValue, C.smtpport);
             }},
            Flag01("smtpusessltls", &T::smtpusessltls),
            Text("smtpusername", &T::smtpusername),
            Text("smtppassword", &T::smtppassword, true),
            Text("smtpfrom", &T::smtpfrom),
            Text("startupemails", &T::startupemails),
            Text("shutdownemails", &T::shutdownemails),
            Text("dailypingemails", &T::dailypingemails),
            Text("erroremails", &T::erroremails),
            FlagTrueFalse("restartonmissingdata", &T::restartonmissingdata),
            FlagTrueFalse("notifyonstartup", &T::notifyonstartup),
            // Last, and only when not the default, so that older programs
            // and files written before it stay as they were.
            {"lookbackminutes",
             [](const T& C) {
                 return C.lookbackminutes == DefaultLookBackMinutes
                            ? QString()
                            : QString::number(C.lookbackminutes);
             },
             [](T& C, const QString& AValue, bool&) {
                 C.lookbackminutes = ReadLookBackMinutes(AValue);
             }},
        };
        return r;
    }();
    return rows;
}

// Position of a key in file order, -1 for a key the file does not know.
int KeyIndex(const QString& AKey) {
    static const QHash<QString, int> index = [] {
        QHash<QString, int> h;
        for (int i = 0; i < KeyRows().size(); ++i)
            h.insert(KeyRows()[i].Key, i);
        return h;
    }();
    return index.value(AKey.toLower(), -1);
}

void Scramble(QByteArray& ABytes) {
    for (char& b : ABytes)
        b = static_cast<char>(static_cast<unsigned char>(b) ^ ConfigKeyByte);
}

// Lines split at CR, LF or CR LF; a line end after the last line does not
// start another one.
template <typename TText> QList<TText> SplitLines(const TText& AText) {
    QList<TText> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < AText.size(); ++i) {
        const auto c = AText.at(i);
        if (c != '\r' && c != '\n')
            continue;
        lines.append(AText.mid(start, i - start));
        if (c == '\r' && i + 1 < AText.size() && AText.at(i + 1) == '\n')
            ++i;
        start = i + 1;
    }
    if (start < AText.size())
        lines.append(AText.mid(start));
    return lines;
}

// The key of a line ("name" of "name=value"), lower case; empty without "=".
QString LineKey(const QString& ALine) {
    const qsizetype eq = ALine.indexOf(QLatin1Char('='));
    return eq < 0 ? QString() : ALine.left(eq).toLower();
}

// Values of the first line of each key, keys compared without letter case.
class TConfigValues {
public:
    explicit TConfigValues(const QStringList& ALines) {
        for (const QString& line : ALines) {
            const QString key = LineKey(line);
            if (!key.isEmpty() && !FValues.contains(key))
                FValues.insert(key, line.mid(line.indexOf(QLatin1Char('=')) + 1));
        }
    }
    QString operator[](const QString& AKey) const { return FValues.value(AKey); }

private:
    QHash<QString, QString> FValues;
};

// Hours and minutes, optional seconds, optional designator: "AM"/"PM" as
// the file holds them, or the regional form of this process (a.m., em, ip.),
// after or before the time. ":" or the regional separator. False when AText
// is no time of day.
bool TryParseTimeOfDay(const QString& AText, qint64& AMSecs) {
    const QString sep = QRegularExpression::escape(TimeSeparator());
    const QString am = TimeAMString();
    const QString pm = TimePMString();
    const QString designator =
        QStringLiteral("(AM|PM|%1|%2)")
            .arg(QRegularExpression::escape(am), QRegularExpression::escape(pm));
    const QRegularExpression layout(
        QStringLiteral(
            "^\\s*(?:%2\\s*)?(\\d{1,2})(?:%1|:)(\\d{1,2})(?:(?:%1|:)(\\d{1,2}))?\\s*(?:%2)?\\s*$")
            .arg(sep, designator),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = layout.match(AText);
    if (!m.hasMatch())
        return false;
    int hour = m.captured(2).toInt();
    const int minute = m.captured(3).toInt();
    const int second = m.captured(4).isEmpty() ? 0 : m.captured(4).toInt();
    const QString before = m.captured(1);
    const QString after = m.captured(5);
    if (!before.isEmpty() && !after.isEmpty())
        return false;
    const QString given = before.isEmpty() ? after : before;
    if (!given.isEmpty()) {
        if (hour > 12)
            return false;
        if (hour == 12)
            hour = 0;
        if (given.compare(QLatin1String("PM"), Qt::CaseInsensitive) == 0 ||
            given.compare(pm, Qt::CaseInsensitive) == 0)
            hour += 12;
    }
    if (hour > 23 || minute > 59 || second > 59)
        return false;
    AMSecs = ((hour * 60 + minute) * 60 + second) * 1000LL;
    return true;
}

QString FileError(const QString& APath, const QString& AReason) {
    return QStringLiteral("Unable to write the configuration file \"%1\": %2")
        .arg(QDir::toNativeSeparators(APath), AReason);
}

// Writes the bytes to a new file beside APath and renames it over APath, so
// that readers see the old file or the new one, never a partial one. False
// when only the rename failed (the new file is gone again).
bool TryWriteConfigFile(const QString& APath, const QByteArray& ABytes, QString& AError) {
    const QFileDevice::Permissions permissions =
        QFileInfo::exists(APath) ? QFile::permissions(APath) : NewFilePermissions;
    QSaveFile file(APath);
    file.setDirectWriteFallback(false);
    // Unbuffered: the bytes go straight to the file, errors with their reason.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw EInOutError(FileError(APath, file.errorString()));
    platform::KeepOwner(APath.toStdString(), file.handle());
    if (!file.setPermissions(permissions))
        throw EInOutError(FileError(APath, file.errorString()));
    // A short write (disk full) is retried, so that its cause is reported.
    for (qint64 done = 0; done < ABytes.size();) {
        const qint64 n = file.write(ABytes.constData() + done, ABytes.size() - done);
        if (n <= 0)
            throw EInOutError(FileError(APath, file.errorString()));
        done += n;
    }
    // commit() syncs the new file to disk before it renames it.
    if (!file.commit()) {
        AError = file.errorString();
        return false;
    }
    platform::SyncFolder(QFileInfo(APath).absolutePath().toStdString());
    return true;
}

// Calls ATry until it returns true, for as long as another program may hold
// a file that is being replaced (Windows; once on POSIX systems). False when
// it never did.
bool RetryWhileReplacing(const std::function<bool()>& ATry) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!ATry()) {
        if (elapsed.elapsed() >= platform::ReplaceRetryMilliseconds())
            return false;
        QThread::msleep(20);
    }
    return true;
}

// The same, trying the rename again while another program holds the file
// open (Windows), for a while.
void WriteConfigFile(const QString& APath, const QByteArray& ABytes) {
    QString error;
    if (!RetryWhileReplacing([&] { return TryWriteConfigFile(APath, ABytes, error); }))
        throw EInOutError(FileError(APath, error));
}

QByteArray ReadConfigFile(const QString& APath) {
    QByteArray bytes;
    QString error;
    if (!ReadReplacedFile(APath, bytes, error))
        throw EInOutError(QStringLiteral("Unable to read the configuration file \"%1\": %2")
                              .arg(QDir::toNativeSeparators(APath), error));
    return bytes;
}

QByteArray EncodeConfigText(const QString& AText) {
    QByteArray bytes = uOVCodePage::ToAnsi(AText);
    Scramble(bytes);
    return bytes;
}

} // namespace

TConnectorConfig& Config() {
    static TConnectorConfig config;
    return config;
}

const QStringList& ConfigKeys() {
    static const QStringList keys = [] {
        QStringList k;
        for (const TKeyRow& w : KeyRows())
            k.append(w.Key);
        return k;
    }();
    return keys;
}

QString ConfigFilePath() {
    return JoinPath({ExeDir(), ConfigFileName});
}

bool IsSecretKey(const QString& AKey) {
    const int index = KeyIndex(AKey.trimmed());
    return index >= 0 && KeyRows()[index].Secret;
}

QString ConfigValueText(const TConnectorConfig& AConfig, const QString& AKey) {
    const int index = KeyIndex(AKey);
    if (index < 0)
        throw Exception(QStringLiteral("Unknown configuration key \"%1\"").arg(AKey));
    return KeyRows()[index].Write(AConfig);
}

QString LocationsToText(const QStringList& AItems) {
    if (AItems.size() == 1 && AItems.first().isEmpty())
        return QStringLiteral("\"\""); // one empty item, not an empty list
    QStringList parts;
    for (QString item : AItems) {
        const bool quote = std::any_of(item.cbegin(), item.cend(), [](QChar c) {
            return c.unicode() <= ' ' || c == QLatin1Char('"') || c == QLatin1Char('|');
        });
        if (quote)
            item = QLatin1Char('"') + item.replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
                   QLatin1Char('"');
        parts.append(item);
    }
    return parts.join(QLatin1Char('|'));
}

QStringList TextToLocations(const QString& AText) {
    QStringList items;
    const qsizetype n = AText.size();
    auto isBlank = [&](qsizetype i) {
        return i < n && AText.at(i).unicode() <= ' ';
    };
    qsizetype i = 0;
    while (isBlank(i))
        ++i;
    while (i < n) {
        QString item;
        if (AText.at(i) == QLatin1Char('"')) {
            // Up to the closing quote, "" standing for one; an unclosed quote
            // runs to the end.
            for (++i; i < n; ++i) {
                if (AText.at(i) != QLatin1Char('"')) {
                    item += AText.at(i);
                } else if (i + 1 < n && AText.at(i + 1) == QLatin1Char('"')) {
                    item += QLatin1Char('"');
                    ++i;
                } else {
                    ++i;
                    break;
                }
            }
        } else {
            const qsizetype start = i;
            while (i < n && !isBlank(i) && AText.at(i) != QLatin1Char('|'))
                ++i;
            item = AText.mid(start, i - start);
        }
        items.append(item);
        while (isBlank(i))
            ++i;
        if (i < n && AText.at(i) == QLatin1Char('|')) {
            if (i + 1 == n)
                items.append(QString()); // a trailing "|" ends with an empty item
            do
                ++i;
            while (isBlank(i));
        }
    }
    return items;
}

QString FormatConfigTime(TDateTime t) {
    if (t <= -0.5)
        return {};
    // One form in the file, whatever the writer's regional settings.
    return FormatDateTimeFixed(QStringLiteral("hh:nn ampm"), t);
}

TDateTime ParseConfigTime(const QString& AText, TDateTime old, bool& scheduleChanged) {
    qint64 msecs = 0;
    if (AText.isEmpty() || !TryParseTimeOfDay(AText, msecs))
        return old;
    // Equal to the millisecond is equal: keep the value held.
    if (old >= 0 && std::llround(old * MSecsPerDay) == msecs)
        return old;
    scheduleChanged = true;
    return msecs / MSecsPerDay;
}

QString RegisteredServiceDirectory() {
    try {
        const auto key = platform::RegistryKey::OpenLocalMachine(ServiceDirectoryKey.toStdString(),
                                                                 false, false);
        if (!key)
            return {};
        const auto dir = key->ReadString("ServiceDirectory");
        if (!dir || dir->empty())
            return {};
        return WithTrailingBackslash(QString::fromStdString(*dir));
    } catch (const std::exception& E) {
        uOVLogging::exc(E, QStringLiteral("RegisteredServiceDirectory"));
        return {};
    }
}

QString LocationKey(const QString& ASbsNo, const QString& AStoreNo) {
    return LPad(ASbsNo.trimmed(), 3, QLatin1Char('0')) + QLatin1Char('.') +
           LPad(AStoreNo.trimmed(), 3, QLatin1Char('0'));
}

void Init(const QString& AModuleName, bool AIncludeTime) {
    if (!AppLogger) {
        AppLogger = new TOVLogger(AModuleName, AIncludeTime);
        uOVLogging::SetDefaultLogger(AppLogger);
        AppLogger->StartLogging();
    }
    for (const QString& name : {ServiceExeName, ConfiguratorExeName}) {
        const QString path = JoinPath({ExeDir(), name});
        try {
            uOVLogging::info(0,
                             name + QStringLiteral(" (") + path + QStringLiteral("): ") +
                                 GetFileVersionText(path),
                             AreaInit);
        } catch (const std::exception& E) {
            uOVLogging::info(0,
                             QStringLiteral("Unable to acquire the version number for \"") + path +
                                 QStringLiteral("\": ") + ExceptionMessage(E),
                             QString());
        }
    }
    uOVLogging::info(0, QStringLiteral("ExeDir: ") + ExeDir(), AreaInit);
    uOVLogging::info(0, QStringLiteral("LogDir: ") + uOVLogging::LogDir(), AreaInit);
    try {
        for (auto& day : Config().DayTimes)
            for (TDateTime& slot : day)
                slot = -1;
    } catch (const std::exception& E) {
        uOVLogging::info(0, QStringLiteral("Unable to log schedule: ") + ExceptionMessage(E),
                         QString());
    }
    try {
        Config().locations.clear();
    } catch (const std::exception& E) {
        uOVLogging::info(
            0, QStringLiteral("Unable to instantiate Client IDs structure: ") + ExceptionMessage(E),
            QString());
    }
}

void Done() {
    Config().locations.clear();
    if (!AppLogger)
        return;
    try {
        AppLogger->EndLogging();
    } catch (...) {
    }
    if (uOVLogging::DefaultLogger() == AppLogger)
        uOVLogging::SetDefaultLogger(nullptr);
    delete AppLogger;
    AppLogger = nullptr;
}

bool LoadConfig(bool& scheduleChanged) {
    scheduleChanged = false;
    const QString path = ConfigFilePath();
    const QFileInfo info(path);
    if (!info.exists()) {
        uOVLogging::info(0, QStringLiteral("Config file not found"), AreaLoad);
        return false;
    }
    if (!info.lastModified().isValid()) {
        uOVLogging::info(9, QStringLiteral("Config file has not changed -- skipping load"),
                         AreaLoad);
        return false;
    }
    try {
        QByteArray bytes = ReadConfigFile(path);
        if (bytes.isEmpty()) {
            uOVLogging::info(1, QStringLiteral("Config file empty"), AreaLoad);
            uOVLogging::info(1, QStringLiteral("Config empty, skipping parse"), AreaLoad);
            return false;
        }
        Scramble(bytes);
        const QStringList lines = SplitLines(uOVCodePage::FromAnsi(bytes));
        const TConfigValues values(lines);
        TConnectorConfig& c = Config();
        for (const TKeyRow& row : KeyRows())
            row.Read(c, values[row.Key], scheduleChanged);

        c.ConfigText.clear();
        for (const QString& line : lines)
            c.ConfigText += line + LineEnd;
        return true;
    } catch (const std::exception& E) {
        if (AppLogger)
            AppLogger->exc(E, AreaLoad);
    } catch (...) {
        if (AppLogger)
            AppLogger->exc(Exception(QStringLiteral("unknown error")), AreaLoad);
    }
    return false;
}

void SaveConfig() {
    if (AppLogger)
        AppLogger->logenter(9, AreaSave);
    uOVLogging::info(9, QStringLiteral("Writing config values to list"), AreaSave);
    QString text;
    for (const TKeyRow& w : KeyRows()) {
        const QString value = w.Write(Config());
        if (!value.isEmpty())
            text += w.Key + QLatin1Char('=') + value + LineEnd;
    }
    uOVLogging::info(9, QStringLiteral("Encrypting list"), AreaSave);
    const QByteArray bytes = EncodeConfigText(text);
    uOVLogging::info(9, QStringLiteral("Writing config to file"), AreaSave);
    WriteConfigFile(ConfigFilePath(), bytes);
    uOVLogging::info(9, QStringLiteral("Config values written to list"), AreaSave);
    if (AppLogger)
        AppLogger->logexit(9, AreaSave);
}

void SaveConfigKeys(const QStringList& AKeys) {
    // The lines to write, checked before anything is touched.
    QList<QPair<QString, QString>> changes;
    for (const QString& key : AKeys)
        changes.append({key.toLower(), ConfigValueText(Config(), key)});

    if (AppLogger)
        AppLogger->logenter(9, AreaSaveKeys);
    const QString path = ConfigFilePath();
    QByteArray bytes;
    try {
        bytes = ReadConfigFile(path);
    } catch (const std::exception&) {
        bytes.clear();
    }
    if (bytes.isEmpty()) {
        // Nothing on disk to keep.
        uOVLogging::info(9, QStringLiteral("No config file to update, writing all values"),
                         AreaSaveKeys);
        SaveConfig();
    } else {
        uOVLogging::info(
            9, QStringLiteral("Updating config values: ") + AKeys.join(QStringLiteral(", ")),
            AreaSaveKeys);
        Scramble(bytes);
        // Lines stay bytes, so that the lines not changed are written back
        // exactly as read.
        QList<QByteArray> lines = SplitLines(bytes);
        auto keyOf = [](const QByteArray& ALine) {
            return LineKey(uOVCodePage::FromAnsi(ALine));
        };
        for (const auto& [key, value] : changes) {
            const QByteArray line = uOVCodePage::ToAnsi(key + QLatin1Char('=') + value);
            qsizetype at = -1;
            for (qsizetype i = lines.size() - 1; i >= 0; --i)
                if (keyOf(lines[i]) == key) {
                    lines.removeAt(i);
                    at = i;
                }
            if (at < 0) {
                // A new key goes before the first key that follows it in
                // file order.
                const int index = KeyIndex(key);
                at = lines.size();
                for (qsizetype i = 0; i < lines.size(); ++i)
                    if (KeyIndex(keyOf(lines[i])) > index) {
                        at = i;
                        break;
                    }
            }
            if (!value.isEmpty())
                lines.insert(at, line);
        }
        QByteArray out;
        for (const QByteArray& line : lines)
            out += line + "\r\n";
        Scramble(out);
        WriteConfigFile(path, out);
    }
    if (AppLogger)
        AppLogger->logexit(9, AreaSaveKeys);
}

void ReplaceFile(const QString& APath, const QByteArray& ABytes) {
    WriteConfigFile(APath, ABytes);
}

bool ReadReplacedFile(const QString& APath, QByteArray& ABytes, QString& AError) {
    bool opened = false;
    RetryWhileReplacing([&] {
        QFile file(APath);
        opened = file.open(QIODevice::ReadOnly);
        if (opened)
            ABytes = file.readAll();
        else
            AError = file.errorString();
        // A file that is not there is not being replaced.
        return opened || !QFileInfo::exists(APath);
    });
    return opened;
}

bool SkipTransmit() {
    return uOVUtils::FindCmdLineSwitch(QStringLiteral("skiptransmit"));
}

} // namespace uBrevoltRPro9ConnectorCommon
