// The batch writer on its own: TAnsiTextStream over a QFile, as OpenStream
// creates it, writing batch-sized lines.
//
//   bench_batchwriter [--lines N] [--dir FOLDER]
//
// Cases (N lines each, default 1,000,000): a ready line written again and
// again; each line built from its values as the row loop builds it
// (BatchLine, code page, WriteLn); and, for contrast, the ready line over an
// unbuffered QFile, that is one write call per line.
#include "bench/BenchSupport.h"
#include "common/uOVCodePage.h"
#include "common/uOVTextStream.h"
#include "service/dBrevoltRPro9ConnectorBatch.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace benchsupport;

namespace {

[[noreturn]] void Fail(const QString& AText) {
    std::fprintf(stderr, "bench_batchwriter: %s\n", qPrintable(AText));
    std::exit(1);
}

// The values of one batch line, varied by row as the sample data varies.
QStringList Values(qint64 ARow) {
    static const QString first[] = {QStringLiteral("Günter"), QStringLiteral("Chloé"),
                                    QStringLiteral("Ana"), QStringLiteral("Søren")};
    static const QString last[] = {QStringLiteral("Größer"), QStringLiteral("Castañeda"),
                                   QStringLiteral("Jensen"), QStringLiteral("O\"Brien, Jr.")};
    const qint64 customer = 3000 + ARow % 125000;
    return {QStringLiteral("001001"),
            first[ARow % 4],
            last[(ARow / 4) % 4],
            QStringLiteral("555-%1").arg(ARow % 10000, 4, 10, QLatin1Char('0')),
            ARow % 2 ? QString()
                     : QStringLiteral("555-9%1").arg(ARow % 1000, 3, 10, QLatin1Char('0')),
            QString(),
            QStringLiteral("customer%1@example.com").arg(customer),
            QStringLiteral("clara@store.example"),
            QStringLiteral("12/%1/2026").arg(1 + ARow % 10),
            ARow % 3 ? QStringLiteral("No") : QStringLiteral("Yes"),
            ARow % 5 ? QStringLiteral("No") : QStringLiteral("Yes")};
}

QStringList WriterCase(const QString& AFolder, const QString& AName, qint64 ALines,
                       bool AUnbuffered, const std::function<QByteArray(qint64)>& ALine) {
    const QString path = AFolder + QLatin1Char('/') + AName + QStringLiteral(".csv");
    ResetPeak();
    const TMemory before = ReadMemory();
    const qint64 heapBefore = HeapInUse();
    const TStopwatch clock;
    {
        auto* file = new QFile(path);
        QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Truncate;
        if (AUnbuffered)
            mode |= QIODevice::Unbuffered;
        if (!file->open(mode))
            Fail(QStringLiteral("cannot create ") + path);
        TAnsiTextStream stream(file); // owns the file and closes it
        for (qint64 i = 0; i < ALines; ++i) {
            const QByteArray line = ALine(i);
            if (stream.WriteLn(line) != line.size() + 2)
                Fail(QStringLiteral("a line could not be written to ") + path);
        }
        if (!file->flush())
            Fail(QStringLiteral("cannot flush ") + path);
    }
    const double seconds = clock.Seconds();
    const TMemory after = ReadMemory();
    const qint64 bytes = QFileInfo(path).size();
    if (CountLines(path) != ALines)
        Fail(QStringLiteral("the file does not hold every line: ") + path);
    QFile::remove(path);
    return {AName,
            Count(ALines),
            Fixed(seconds, 2),
            Count(qint64(ALines / seconds)),
            Fixed(bytes / (1024.0 * 1024.0) / seconds, 1),
            MiB(bytes),
            Fixed(double(bytes) / double(ALines), 1),
            KiBToMiB(after.PeakKiB - before.RssKiB),
            Fixed((HeapInUse() - heapBefore) / 1024.0, 1)};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qint64 lines = IntOption(argc, argv, "lines", 1000000);
    QTemporaryDir dir(WorkFolder(argc, argv) + QStringLiteral("/bench_batchwriter-XXXXXX"));
    if (!dir.isValid())
        Fail(QStringLiteral("cannot create a work folder"));

    const QByteArray ready = uOVCodePage::ToAnsi(dBrevoltRPro9ConnectorBatch::BatchLine(Values(0)));
    const auto readyLine = [&ready](qint64) {
        return ready;
    };
    const auto builtLine = [](qint64 ARow) {
        return uOVCodePage::ToAnsi(dBrevoltRPro9ConnectorBatch::BatchLine(Values(ARow)));
    };
    QList<QStringList> rows = {
        {QStringLiteral("case"), QStringLiteral("lines"), QStringLiteral("s"),
         QStringLiteral("lines/s"), QStringLiteral("MiB/s"), QStringLiteral("file MiB"),
         QStringLiteral("B/line"), QStringLiteral("peak RSS +MiB"), QStringLiteral("heap +KiB")}};
    rows.append(WriterCase(dir.path(), QStringLiteral("ready line, buffered QFile"), lines, false,
                           readyLine));
    rows.append(WriterCase(dir.path(), QStringLiteral("built line, buffered QFile"), lines, false,
                           builtLine));
    rows.append(WriterCase(dir.path(), QStringLiteral("ready line, unbuffered QFile"), lines, true,
                           readyLine));
    PrintTable(QStringLiteral("bench_batchwriter: TAnsiTextStream::WriteLn over QFile"), rows);
    return 0;
}
