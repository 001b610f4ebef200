#include "common/uOVOraUtils.h"

#include "common/uOVCodePage.h"
#include "common/uOVException.h"
#include "common/uOVLogging.h"
#include "platform/Registry.h"

#include <algorithm>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

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

QString WithoutLineBreaks(QString AText) {
    AText.remove(QLatin1Char('\r'));
    AText.remove(QLatin1Char('\n'));
    return AText;
}

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

void ReadOracleBase(QString& AOracleBase, QString& AVersion) {
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
    if (home->ValueExists("ORACLE_BASE")) {
        AOracleBase = QString::fromStdString(home->ReadString("ORACLE_BASE").value_or(""));
    } else if (!home->ValueExists("ORACLE_HOME")) {
        throw Exception(QStringLiteral(
            "Neither ORACLE_HOME nor ORACLE_BASE were found in the registry in GetOracleBase"));
    } else {
        const QString value = QString::fromStdString(home->ReadString("ORACLE_HOME").value_or(""));
        // Past a drive prefix such as "C:\".
        const qsizetype slash = value.indexOf(QLatin1Char('\\'), 3);
        AOracleBase = slash >= 0 ? value.mid(slash + 1) : value;
    }
    AVersion = keyName.mid(4);
}

} // namespace

void GetOracleBase(QString& AOracleBase, QString& AVersion) {
    try {
        ReadOracleBase(AOracleBase, AVersion);
    } catch (const platform::RegistryError& E) {
        throw Exception(QString::fromStdString(E.what()));
    }
    try {
        uOVLogging::info(
            1,
            QStringLiteral("Determined that Oracle version \"%1\" is located at \"%2\"")
                .arg(AVersion, AOracleBase),
            QStringLiteral("GetOracleBase"));
    } catch (...) {
    }
}

QString TNSNamesPath() {
    QString base, version;
    GetOracleBase(base, version);
    if (base.isEmpty())
        return QString();
    const QString home = QString(base).replace(QLatin1Char('\\'), QLatin1Char('/')) +
                         QLatin1Char('/') + version + QLatin1Char('/');
    const QString path = home + QStringLiteral("NETWORK/ADMIN/tnsnames.ora");
    // File names are case-sensitive here, and Linux clients ship lower case.
    const QString lower = home + QStringLiteral("network/admin/tnsnames.ora");
    if (!QFileInfo(path).isFile() && QFileInfo(lower).isFile())
        return lower;
    return path;
}

QString FindTNSNamesEntry(const QString& AFileText, const QString& AAlias) {
    const QString alias = AsciiUpper(TrimControls(AAlias));
    // The file's lines joined with CR LF, whatever its own line ends.
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\n|\r"));
    QString s = TrimControls(AFileText.split(lineBreak).join(QStringLiteral("\r\n")));
    while (!s.isEmpty()) {
        if (s.startsWith(QLatin1Char('#'))) {
            const qsizetype cr = s.indexOf(QLatin1Char('\r'));
            s = TrimControls(cr < 0 ? s.mid(1) : s.mid(cr + 2));
            continue;
        }
        const qsizetype eq = s.indexOf(QLatin1Char('='));
        if (eq < 0)
            break;
        const bool match = AsciiUpper(TrimControls(s.left(eq))) == alias;
        s = TrimControls(s.mid(eq + 1));
        const qsizetype open = s.indexOf(QLatin1Char('('));
        if (open < 0)
            break;
        QString result = match ? QStringLiteral("(") : QString();
        int depth = 1;
        qsizetype last = open;
        for (qsizetype i = open + 1; i < s.size() && depth > 0; ++i) {
            last = i;
            const QChar c = s[i];
            if (c == QLatin1Char('\r') || c == QLatin1Char('\n'))
                continue;
            if (match)
                result += c;
            if (c == QLatin1Char('('))
                ++depth;
            else if (c == QLatin1Char(')'))
                --depth;
        }
        if (match)
            return WithoutLineBreaks(result);
        // Trimmed, so that a comment line between two entries is seen as one.
        s = TrimControls(s.mid(last + 1));
    }
    return QString();
}

QString TNSNamesConnectString(const QString& AAlias) {
    const QString alias = AsciiUpper(TrimControls(AAlias));
    if (alias.isEmpty())
        throw Exception(QStringLiteral("Invalid alias passed to TNSNamesConnectString"));
    const QString path = TNSNamesPath();
    QFile file(path);
    if (path.isEmpty() || !QFileInfo(path).isFile())
        throw Exception(QStringLiteral("\"%1\" not found in call to TNSNamesConnectString using "
                                       "OracleBase=\"\" and Version=\"\"")
                            .arg(path));
    if (!file.open(QIODevice::ReadOnly))
        throw Exception(QStringLiteral("\"%1\" cannot be read in call to TNSNamesConnectString: %2")
                            .arg(path, file.errorString()));
    const QString descriptor = FindTNSNamesEntry(uOVCodePage::FromAnsi(file.readAll()), alias);
    if (descriptor.isEmpty())
        throw Exception(QStringLiteral("Net service alias \"%1\" not found in \"%2\" in call to "
                                       "TNSNamesConnectString")
                            .arg(alias, path));
    return descriptor;
}

} // namespace uOVOraUtils
