#include "bench/BenchSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <QDir>
#include <QFile>
#include <QLocale>

namespace benchsupport {

namespace {

qint64 StatusKiB(const QByteArray& AStatus, const char* AKey) {
    const qsizetype at = AStatus.indexOf(AKey);
    if (at < 0)
        return -1;
    const qsizetype end = AStatus.indexOf('\n', at);
    return AStatus.mid(at + qstrlen(AKey), end - at - qstrlen(AKey))
        .replace("kB", "")
        .trimmed()
        .toLongLong();
}

// The value of "--name" in argv: the next argument or the text after "=".
const char* OptionValue(int argc, char** argv, const char* AName) {
    const size_t length = std::strlen(AName);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) != 0 || std::strncmp(argv[i] + 2, AName, length) != 0)
            continue;
        const char* rest = argv[i] + 2 + length;
        if (*rest == '=')
            return rest + 1;
        if (*rest == '\0')
            return i + 1 < argc ? argv[i + 1] : "";
    }
    return nullptr;
}

} // namespace

TMemory ReadMemory() {
    QFile status(QStringLiteral("/proc/self/status"));
    TMemory memory;
    if (!status.open(QIODevice::ReadOnly))
        return memory;
    const QByteArray text = status.readAll();
    memory.RssKiB = StatusKiB(text, "VmRSS:");
    memory.PeakKiB = StatusKiB(text, "VmHWM:");
    return memory;
}

bool ResetPeak() {
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (!f)
        return false;
    const bool written = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && written;
}

qint64 HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<qint64>(info.uordblks + info.hblkhd);
}

qint64 IntOption(int argc, char** argv, const char* AName, qint64 ADefault, qint64 AMinimum) {
    const char* value = OptionValue(argc, argv, AName);
    if (!value)
        return ADefault;
    bool ok = false;
    const qint64 number = QByteArray(value).replace(",", "").replace("_", "").toLongLong(&ok);
    if (!ok || number < AMinimum) {
        std::fprintf(stderr, "--%s needs a whole number of at least %lld, not \"%s\"\n", AName,
                     static_cast<long long>(AMinimum), value);
        std::exit(2);
    }
    return number;
}

QString TextOption(int argc, char** argv, const char* AName, const QString& ADefault) {
    const char* value = OptionValue(argc, argv, AName);
    return value ? QString::fromLocal8Bit(value) : ADefault;
}

bool HasOption(int argc, char** argv, const char* AName) {
    return OptionValue(argc, argv, AName) != nullptr;
}

QString WorkFolder(int argc, char** argv) {
    const QString dir = TextOption(argc, argv, "dir", QDir::tempPath());
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(dir));
        std::exit(2);
    }
    return QDir(dir).absolutePath();
}

QString Count(qint64 AValue) {
    QLocale english(QLocale::English);
    return english.toString(AValue);
}

QString Fixed(double AValue, int ADecimals) {
    return QString::number(AValue, 'f', ADecimals);
}

QString MiB(qint64 ABytes) {
    return Fixed(ABytes / (1024.0 * 1024.0), 1);
}

QString KiBToMiB(qint64 AKiB) {
    return Fixed(AKiB / 1024.0, 1);
}

void PrintTable(const QString& ATitle, const QList<QStringList>& ARows) {
    QList<qsizetype> widths;
    for (const QStringList& row : ARows)
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    QString text = ATitle + QLatin1Char('\n');
    for (qsizetype r = 0; r < ARows.size(); ++r) {
        QString line;
        for (qsizetype i = 0; i < ARows[r].size(); ++i) {
            // Names left, numbers right.
            const QString& cell = ARows[r][i];
            line += i == 0 ? cell.leftJustified(widths[i]) : cell.rightJustified(widths[i]);
            line += QStringLiteral("  ");
        }
        text += line.trimmed().prepend(QStringLiteral("  ")) + QLatin1Char('\n');
        if (r == 0) {
            qsizetype total = 0;
            for (qsizetype w : widths)
                total += w + 2;
            text += QStringLiteral("  ") + QString(total - 2, QLatin1Char('-')) + QLatin1Char('\n');
        }
    }
    std::fputs(text.toUtf8().constData(), stdout);
    std::fflush(stdout);
}

qint64 CountLines(const QString& APath) {
    QFile file(APath);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    qint64 lines = 0;
    QByteArray block;
    while (!(block = file.read(1 << 20)).isEmpty())
        lines += block.count('\n');
    return lines;
}

} // namespace benchsupport
