#include "tests/support/TestRegistry.h"

#include "platform/Registry.h"
#include "tests/support/TestSupport.h"

#include <optional>
#include <QDir>
#include <QStringList>

namespace testsupport {

namespace {

#ifdef _WIN32
const char* const ReplacedKeys[] = {"SOFTWARE\\ORACLE", "SOFTWARE\\WOW6432Node\\ORACLE",
                                    "SOFTWARE\\OrvaneSoftware"};

// What an earlier test program that crashed may have left goes first.
void DeleteReplacedKeys() {
    for (const char* key : ReplacedKeys)
        platform::DeleteLocalMachineKey(key);
}

// A quoted .reg text ("C:\\x" → C:\x); nullopt when AText is not one.
std::optional<QString> Unquoted(const QString& AText) {
    if (AText.size() < 2 || !AText.startsWith(QLatin1Char('"')) ||
        !AText.endsWith(QLatin1Char('"')))
        return std::nullopt;
    QString result;
    for (qsizetype i = 1; i + 1 < AText.size(); ++i) {
        if (AText[i] == QLatin1Char('\\') && i + 2 < AText.size())
            ++i;
        result += AText[i];
    }
    return result;
}

// The index of the '=' between a value's quoted name (or @) and its data.
qsizetype NameEnd(const QString& ALine) {
    if (ALine.startsWith(QLatin1Char('@')))
        return 1;
    for (qsizetype i = 1; i < ALine.size(); ++i) {
        if (ALine[i] == QLatin1Char('\\'))
            ++i;
        else if (ALine[i] == QLatin1Char('"'))
            return i + 1;
    }
    return -1;
}
#endif

} // namespace

TTestRegistry::TTestRegistry(const QString& AFolder)
    : FFile(AFolder + QStringLiteral("/registry.reg")), FOldVariable(qgetenv("BREVOLT_REGISTRY")) {
#ifdef _WIN32
    DeleteReplacedKeys();
#else
    qputenv("BREVOLT_REGISTRY", FFile.toUtf8());
#endif
}

TTestRegistry::~TTestRegistry() {
#ifdef _WIN32
    DeleteReplacedKeys();
#else
    if (FOldVariable.isNull())
        qunsetenv("BREVOLT_REGISTRY");
    else
        qputenv("BREVOLT_REGISTRY", FOldVariable);
#endif
}

void TTestRegistry::Write(const QString& ARegText) const {
#ifdef _WIN32
    DeleteReplacedKeys();
    const QString hive = QStringLiteral("[HKEY_LOCAL_MACHINE\\");
    std::optional<platform::RegistryKey> key;
    for (const QString& raw : ARegText.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            key.reset();
            if (line.startsWith(hive, Qt::CaseInsensitive) && line.endsWith(QLatin1Char(']')))
                key = platform::RegistryKey::OpenLocalMachine(
                    line.mid(hive.size(), line.size() - hive.size() - 1).toStdString(), true, true);
            continue;
        }
        const qsizetype nameEnd = NameEnd(line);
        if (!key || nameEnd < 0 || line.mid(nameEnd, 1) != QStringLiteral("="))
            continue;
        const QString name = line.startsWith(QLatin1Char('@'))
                                 ? QString()
                                 : Unquoted(line.left(nameEnd)).value_or(QString());
        if (const auto value = Unquoted(line.mid(nameEnd + 1)))
            key->WriteString(name.toStdString(), value->toStdString());
    }
#else
    WriteFileBytes(FFile, ARegText.toUtf8());
#endif
}

void TTestRegistry::WriteServiceDirectory(const QString& AFolder) const {
    QString value = AFolder;
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    Write(QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OrvaneSoftware\\Brevolt\\"
                         "BrevoltRPro9Connector]\r\n\"ServiceDirectory\"=\"") +
          value + QStringLiteral("\"\r\n"));
}

} // namespace testsupport
