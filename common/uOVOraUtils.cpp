#include "common/uOVOraUtils.h"

#include "common/uOVCodePage.h"
#include "common/uOVException.h"
#include "common/uOVLogging.h"
#include "platform/Registry.h"

#include <algorithm>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

namespace uOVOraUtils {

namespace {

// Leading and trailing spaces and control characters.
QString TrimControls(const QString& AText) {
    qsizetype b = 0, e = AText.size();
    while (b < e && AText[b].unicode() <= ' ')
        ++b;
    while (e > b && AText[e - 1].unicode() <= ' ')
        --e;
    return AText.mid(b, e - b);
}

QString AsciiUpper(const QString& AText) {
    QString r = AText;
    for (QChar& c : r)
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - 'a' + 'A');
    return r;
}

QString Quoted(const QString& AText) {
    return QLatin1Char('"') + AText + QLatin1Char('"');
}

QString Unquote(const QString& AText) {
    if (AText.size() >= 2 &&
        (AText.front() == QLatin1Char('"') || AText.front() == QLatin1Char('\'')) &&
        AText.back() == AText.front())
        return AText.mid(1, AText.size() - 2);
    return AText;
}

// Registry values are written with Windows separators.
QString WithSlashes(const QString& APath) {
    return QString(APath).replace(QLatin1Char('\\'), QLatin1Char('/'));
}

QString ReadText(const platform::RegistryKey& AKey, const char* AName) {
    return QString::fromStdString(AKey.ReadString(AName).value_or(std::string()));
}

// The lines of a file's text joined with CR LF, whatever its own line ends.
QString WithCrLf(const QString& AText) {
    QString r;
    r.reserve(AText.size() + AText.size() / 32 + 2);
    const qsizetype n = AText.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = AText[i];
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            r += QLatin1String("\r\n");
            if (c == QLatin1Char('\r') && i + 1 < n && AText[i + 1] == QLatin1Char('\n'))
                ++i;
        } else {
            r += c;
        }
    }
    return r;
}

// --- The entries of one tnsnames.ora text --------------------------------------

// The next place of one character at or after a position that only grows.
// It remembers its last answer, so each character of the text is looked at
// once however many entries and comment lines there are: copying the rest
// of the text per entry made a file of 8,000 entries take seconds.
class TNextChar {
public:
    TNextChar(const QString& AText, QChar AChar) : FText(AText), FChar(AChar) {}
    qsizetype From(qsizetype APos) {
        if (FAt == -1 || FAt >= APos) // -1: none left after an earlier position
            return FAt;
        FAt = FText.indexOf(FChar, APos);
        return FAt;
    }

private:
    const QString& FText;
    QChar FChar;
    qsizetype FAt = -2;
};

struct TTnsEntry {
    QString Name;         // trimmed, upper case
    bool Include = false; // an IFILE line
    QString IncludedFile; // its file name as written
    qsizetype Open = 0;   // the value's "(" ...
    qsizetype Last = 0;   // ... and the last character read of it
};

// Walks the entries of a tnsnames.ora text from its beginning: comment lines
// are passed over, each entry's value is the first parenthesised group after
// its "=", and text between entries becomes part of the next entry's name.
class TTnsScanner {
public:
    explicit TTnsScanner(const QString& AFileText)
        : FText(TrimControls(WithCrLf(AFileText))), FCr(FText, QLatin1Char('\r')),
          FEquals(FText, QLatin1Char('=')), FOpen(FText, QLatin1Char('(')) {}
    TTnsScanner(const TTnsScanner&) = delete;
    TTnsScanner& operator=(const TTnsScanner&) = delete;

    // False when no entry is left.
    bool Next(TTnsEntry& AEntry) {
        const qsizetype n = FText.size();
        for (;;) {
            SkipControls();
            if (FPos >= n)
                return false;
            if (FText[FPos] != QLatin1Char('#'))
                break;
            // A comment: up to the line feed after its carriage return.
            const qsizetype cr = FCr.From(FPos);
            FPos = cr < 0 ? FPos + 1 : cr + 2;
        }
        const qsizetype eq = FEquals.From(FPos);
        if (eq < 0)
            return false;
        AEntry.Name = AsciiUpper(TrimControls(FText.mid(FPos, eq - FPos)));
        FPos = eq + 1;
        SkipControls();
        // "IFILE = <file>" takes the rest of its line, not a parenthesised value.
        AEntry.Include = AEntry.Name == QLatin1String("IFILE");
        if (AEntry.Include) {
            const qsizetype cr = FCr.From(FPos);
            const qsizetype end = cr < 0 ? n : cr;
            AEntry.IncludedFile = Unquote(TrimControls(FText.mid(FPos, end - FPos)));
            FPos = end;
            return true;
        }
        const qsizetype open = FOpen.From(FPos);
        if (open < 0)
            return false;
        int depth = 1;
        qsizetype last = open;
        for (qsizetype i = open + 1; i < n && depth > 0; ++i) {
            last = i;
            const QChar c = FText[i];
            if (c == QLatin1Char('('))
                ++depth;
            else if (c == QLatin1Char(')'))
                --depth;
        }
        AEntry.Open = open;
        AEntry.Last = last;
        FPos = last + 1;
        return true;
    }

    // The value of an entry that Next returned, without its line breaks.
    QString Value(const TTnsEntry& AEntry) const {
        QString r;
        r.reserve(AEntry.Last - AEntry.Open + 1);
        for (qsizetype i = AEntry.Open; i <= AEntry.Last; ++i)
            if (FText[i] != QLatin1Char('\r') && FText[i] != QLatin1Char('\n'))
                r += FText[i];
        return r;
    }

private:
    void SkipControls() {
        while (FPos < FText.size() && FText[FPos].unicode() <= ' ')
            ++FPos;
    }

    const QString FText;
    qsizetype FPos = 0;
    TNextChar FCr, FEquals, FOpen;
};

// --- Following IFILE lines ------------------------------------------------------

struct TSearch {
    QStringList Names; // best first: <alias>.<domain> when a domain applies, then <alias>
    QString Found;
    qsizetype FoundRank = -1;
    QStringList Included;    // files read besides the main one
    QStringList NotFollowed; // "\"<file>\" (<why>)"
    QSet<QString> Seen;      // canonical paths of the files read
};

bool SearchText(const QString& AText, const QString& AFolder, int ADepth, TSearch& S);

// Reads the file of an IFILE line of a file at level ADepth; true when the
// best name was found in it.
bool FollowInclude(const QString& AFile, const QString& AFolder, int ADepth, TSearch& S) {
    if (AFile.isEmpty())
        return false;
    QString path = WithSlashes(AFile);
    // Relative to the folder of the file that names it.
    if (QFileInfo(path).isRelative())
        path = AFolder + QLatin1Char('/') + path;
    const QFileInfo info(path);
    if (ADepth >= MaxIncludeDepth) {
        S.NotFollowed.append(Quoted(path) +
                             QStringLiteral(" (more than %1 levels deep)").arg(MaxIncludeDepth));
        return false;
    }
    if (!info.isFile()) {
        S.NotFollowed.append(Quoted(path) + QStringLiteral(" (not found)"));
        return false;
    }
    const QString canonical = info.canonicalFilePath();
    if (S.Seen.contains(canonical)) {
        // A loop, or a file named twice: once is enough.
        S.NotFollowed.append(Quoted(path) + QStringLiteral(" (read already)"));
        return false;
    }
    S.Seen.insert(canonical);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        S.NotFollowed.append(Quoted(path) +
                             QStringLiteral(" (cannot be read: %1)").arg(file.errorString()));
        return false;
    }
    S.Included.append(path);
    return SearchText(uOVCodePage::FromAnsi(file.readAll()), info.absolutePath(), ADepth + 1, S);
}

// True when the best name was found; a lesser one found stays in S.
bool SearchText(const QString& AText, const QString& AFolder, int ADepth, TSearch& S) {
    TTnsScanner scanner(AText);
    TTnsEntry entry;
    while (scanner.Next(entry)) {
        if (entry.Include) {
            // Read where the line stands, as if its text were written there.
            if (FollowInclude(entry.IncludedFile, AFolder, ADepth, S))
                return true;
            continue;
        }
        const qsizetype rank = S.Names.indexOf(entry.Name);
        if (rank >= 0 && (S.FoundRank < 0 || rank < S.FoundRank)) {
            S.Found = scanner.Value(entry);
            S.FoundRank = rank;
            if (rank == 0)
                return true;
        }
    }
    return false;
}

// names.default_domain of the sqlnet.ora in AFolder, upper case; empty
// without one.
QString DefaultDomain(const QString& AFolder) {
    QFile file(AFolder + QStringLiteral("/sqlnet.ora"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QString domain;
    const QStringList lines =
        WithCrLf(uOVCodePage::FromAnsi(file.readAll())).split(QStringLiteral("\r\n"));
    for (const QString& line : lines) {
        const QString text = TrimControls(line.left(line.indexOf(QLatin1Char('#'))));
        const qsizetype eq = text.indexOf(QLatin1Char('='));
        if (eq < 0 ||
            AsciiUpper(TrimControls(text.left(eq))) != QLatin1String("NAMES.DEFAULT_DOMAIN"))
            continue;
        QString value = Unquote(TrimControls(text.mid(eq + 1)));
        while (value.startsWith(QLatin1Char('.')))
            value.remove(0, 1);
        domain = AsciiUpper(value); // the last one counts
    }
    return domain;
}

// --- Where tnsnames.ora is --------------------------------------------------------

platform::RegistryKey OpenOracleRoot() {
    const QString notFound =
        QStringLiteral("Registry key \"ORACLE\" could not be found in GetOracleBase");
    auto key = platform::RegistryKey::OpenLocalMachine("SOFTWARE");
    if (key && !key->HasSubKey("ORACLE"))
        key = key->OpenSubKey("WOW6432Node");
    if (!key || !key->HasSubKey("ORACLE"))
        throw Exception(notFound);
    auto oracle = key->OpenSubKey("ORACLE");
    if (!oracle)
        throw Exception(notFound);
    return *oracle;
}

// What the chosen Oracle key holds.
struct TOracleKey {
    QString Path;    // the key, below HKEY_LOCAL_MACHINE
    QString Version; // the key's name without "KEY_"
    bool HasBase = false;
    QString Base; // "ORACLE_BASE", or "ORACLE_HOME" without it
    QString TnsAdmin;
};

TOracleKey ReadOracleKey() {
    const platform::RegistryKey oracle = OpenOracleRoot();
    const std::vector<std::string> names = oracle.SubKeyNames();
    // The last Oracle home in the registry's order wins.
    auto it = std::find_if(names.rbegin(), names.rend(),
                           [](const std::string& n) { return n.rfind("KEY_", 0) == 0; });
    if (it == names.rend())
        throw Exception(
            QStringLiteral("Oracle key could not be determined in call to GetOracleBase"));
    const QString keyName = QString::fromStdString(*it);
    auto home = oracle.OpenSubKey(*it);
    if (!home)
        throw Exception(
            QStringLiteral("Oracle key \"%1\" could not be opened in call to GetOracleBase")
                .arg(keyName));
    TOracleKey r;
    r.Path = QString::fromStdString(home->Path());
    r.Version = keyName.mid(4);
    r.HasBase = home->ValueExists("ORACLE_BASE");
    if (r.HasBase) {
        r.Base = ReadText(*home, "ORACLE_BASE");
    } else if (!home->ValueExists("ORACLE_HOME")) {
        throw Exception(QStringLiteral(
            "Neither ORACLE_HOME nor ORACLE_BASE were found in the registry in GetOracleBase"));
    } else {
        // The home as it stands. Cutting it after its first backslash past
        // the drive, as was done once, turned C:\oracle\ora92 into the
        // relative "ora92", which names no folder at all.
        r.Base = ReadText(*home, "ORACLE_HOME");
    }
    r.TnsAdmin = TrimControls(ReadText(*home, "TNS_ADMIN"));
    return r;
}

TOracleKey OracleKey() {
    TOracleKey key;
    try {
        key = ReadOracleKey();
    } catch (const platform::RegistryError& E) {
        throw Exception(QString::fromStdString(E.what()));
    }
    try {
        uOVLogging::info(
            1,
            QStringLiteral("Determined that Oracle version \"%1\" is located at \"%2\"")
                .arg(key.Version, key.Base),
            QStringLiteral("GetOracleBase"));
    } catch (...) {
    }
    return key;
}

// The tnsnames.ora candidates of one run of the rules.
struct TLocation {
    QStringList Candidates; // in order; empty when the base is empty
    // Where their folder came from, for the message when none exists;
    // empty for the ORACLE_BASE rule, whose message stays as it always was.
    QString Origin;

    QString Path() const {
        for (const QString& c : Candidates)
            if (QFileInfo(c).isFile())
                return c;
        return Candidates.value(0);
    }
    QString NotFoundMessage() const {
        if (Origin.isEmpty())
            return QStringLiteral("\"%1\" not found in call to TNSNamesConnectString using "
                                  "OracleBase=\"\" and Version=\"\"")
                .arg(Path());
        QStringList tried;
        for (const QString& c : Candidates)
            tried.append(Quoted(c) + (QFileInfo(QFileInfo(c).path()).isDir()
                                          ? QString()
                                          : QStringLiteral(" (no such folder)")));
        return QStringLiteral("tnsnames.ora not found in call to TNSNamesConnectString: tried %1 "
                              "(%2)")
            .arg(tried.join(QStringLiteral(" and ")), Origin);
    }
};

QStringList AdminFolders(const QString& AHome) {
    // File names are case-sensitive here: Windows clients write NETWORK/ADMIN,
    // Linux clients ship network/admin.
    return {AHome + QStringLiteral("/NETWORK/ADMIN/tnsnames.ora"),
            AHome + QStringLiteral("/network/admin/tnsnames.ora")};
}

QString WithoutTrailingSlash(QString APath) {
    while (APath.size() > 1 && APath.endsWith(QLatin1Char('/')))
        APath.chop(1);
    return APath;
}

TLocation LocateTnsNames() {
    TLocation r;
    const QString env = TrimControls(qEnvironmentVariable("TNS_ADMIN"));
    if (!env.isEmpty()) {
        r.Candidates = {WithoutTrailingSlash(WithSlashes(env)) + QStringLiteral("/tnsnames.ora")};
        r.Origin = QStringLiteral("the folder of the environment variable TNS_ADMIN");
        return r;
    }
    const TOracleKey key = OracleKey();
    if (!key.TnsAdmin.isEmpty()) {
        r.Candidates = {WithoutTrailingSlash(WithSlashes(key.TnsAdmin)) +
                        QStringLiteral("/tnsnames.ora")};
        r.Origin =
            QStringLiteral("the folder of the value \"TNS_ADMIN\" under \"%1\"").arg(key.Path);
        return r;
    }
    if (key.Base.isEmpty())
        return r;
    if (key.HasBase) {
        r.Candidates = AdminFolders(WithSlashes(key.Base) + QLatin1Char('/') + key.Version);
    } else {
        const QString home = WithoutTrailingSlash(WithSlashes(key.Base));
        r.Candidates = AdminFolders(home);
        r.Origin =
            QStringLiteral("below \"ORACLE_HOME\"=\"%1\" under \"%2\"").arg(key.Base, key.Path);
    }
    return r;
}

} // namespace

void GetOracleBase(QString& AOracleBase, QString& AVersion) {
    const TOracleKey key = OracleKey();
    AOracleBase = key.Base;
    AVersion = key.Version;
}

QString TNSNamesPath() {
    return LocateTnsNames().Path();
}

QString FindTNSNamesEntry(const QString& AFileText, const QString& AAlias) {
    const QString alias = AsciiUpper(TrimControls(AAlias));
    TTnsScanner scanner(AFileText);
    TTnsEntry entry;
    while (scanner.Next(entry))
        if (!entry.Include && entry.Name == alias)
            return scanner.Value(entry);
    return QString();
}

QString TNSNamesConnectString(const QString& AAlias) {
    const QString alias = AsciiUpper(TrimControls(AAlias));
    if (alias.isEmpty())
        throw Exception(QStringLiteral("Invalid alias passed to TNSNamesConnectString"));
    const TLocation location = LocateTnsNames();
    const QString path = location.Path();
    if (path.isEmpty() || !QFileInfo(path).isFile())
        throw Exception(location.NotFoundMessage());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Exception(QStringLiteral("\"%1\" cannot be read in call to TNSNamesConnectString: %2")
                            .arg(path, file.errorString()));
    const QFileInfo info(path);
    TSearch search;
    // An alias without a domain also stands for itself in the default
    // domain, and is taken in that form first, as the Oracle client does.
    const QString domain =
        alias.contains(QLatin1Char('.')) ? QString() : DefaultDomain(info.path());
    if (!domain.isEmpty())
        search.Names.append(alias + QLatin1Char('.') + domain);
    search.Names.append(alias);
    search.Seen.insert(info.canonicalFilePath());
    SearchText(uOVCodePage::FromAnsi(file.readAll()), info.absolutePath(), 0, search);
    if (search.FoundRank >= 0)
        return search.Found;

    QString names = Quoted(alias);
    if (!domain.isEmpty())
        names += QStringLiteral(" or ") + Quoted(search.Names.first()) +
                 QStringLiteral(" (names.default_domain of \"%1/sqlnet.ora\")").arg(info.path());
    QString message = QStringLiteral("Net service alias %1 not found in \"%2\" in call to "
                                     "TNSNamesConnectString")
                          .arg(names, path);
    QStringList also;
    if (!search.Included.isEmpty())
        also.append(QStringLiteral("also read ") + QLatin1Char('"') +
                    search.Included.join(QStringLiteral("\", \"")) + QLatin1Char('"'));
    if (!search.NotFollowed.isEmpty())
        also.append(QStringLiteral("IFILE not followed: ") +
                    search.NotFollowed.join(QStringLiteral(", ")));
    if (!also.isEmpty())
        message += QStringLiteral("; ") + also.join(QStringLiteral("; "));
    throw Exception(message);
}

} // namespace uOVOraUtils
