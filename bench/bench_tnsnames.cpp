// The look-up of a net service alias in a large tnsnames.ora: its time must
// grow with the file's size, not with its square.
//
//   bench_tnsnames [--entries N] [--dir FOLDER]
//
// Cases: N entries (default 8,000) and 10 N with the alias last; 5 N comment
// lines and 50 N before it. Each is looked up the way a session does
// (TNSNamesConnectString, with TNS_ADMIN naming the file's folder: read,
// decode, search), best of three.
#include "bench/BenchSupport.h"
#include "common/uOVOraUtils.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

using namespace benchsupport;

namespace {

[[noreturn]] void Fail(const QString& AText) {
    std::fprintf(stderr, "bench_tnsnames: %s\n", qPrintable(AText));
    std::exit(1);
}

const QByteArray Alias = "RPROODS =\r\n  (DESCRIPTION =\r\n    (ADDRESS = (PROTOCOL = TCP)"
                         "(HOST = rproserver)(PORT = 1521))\r\n    (CONNECT_DATA = "
                         "(SERVICE_NAME = RPROODS))\r\n  )\r\n";

QByteArray Entries(qint64 ACount) {
    QByteArray text;
    for (qint64 i = 0; i < ACount; ++i)
        text += "STORE" + QByteArray::number(i) +
                " =\r\n  (DESCRIPTION =\r\n    (ADDRESS = (PROTOCOL = TCP)(HOST = store" +
                QByteArray::number(i) +
                ")(PORT = 1521))\r\n    (CONNECT_DATA = (SERVICE_NAME = rpro))\r\n  )\r\n\r\n";
    return text + Alias;
}

QByteArray Comments(qint64 ACount) {
    QByteArray text;
    for (qint64 i = 0; i < ACount; ++i)
        text += "# line " + QByteArray::number(i) + " of the store list, kept for reference\r\n";
    return text + Alias;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qint64 n = IntOption(argc, argv, "entries", 8000);
    QTemporaryDir dir(WorkFolder(argc, argv) + QStringLiteral("/bench_tnsnames-XXXXXX"));
    if (!dir.isValid())
        Fail(QStringLiteral("cannot create a work folder"));
    ::setenv("TNS_ADMIN", dir.path().toUtf8().constData(), 1);

    const struct {
        QString Name;
        qint64 Size;
        std::function<QByteArray(qint64)> Make;
    } cases[] = {
        {QStringLiteral("entries"), n, Entries},
        {QStringLiteral("entries"), n * 10, Entries},
        {QStringLiteral("comment lines"), n * 5, Comments},
        {QStringLiteral("comment lines"), n * 50, Comments},
    };
    QList<QStringList> rows = {{QStringLiteral("before the alias"), QStringLiteral("file KiB"),
                                QStringLiteral("look-up ms"), QStringLiteral("ns per byte")}};
    for (const auto& c : cases) {
        const QByteArray text = c.Make(c.Size);
        QFile file(dir.filePath(QStringLiteral("tnsnames.ora")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(text) != text.size())
            Fail(QStringLiteral("cannot write ") + file.fileName());
        file.close();
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            const TStopwatch clock;
            const QString descriptor =
                uOVOraUtils::TNSNamesConnectString(QStringLiteral("RPROODS"));
            best = std::min(best, clock.Seconds());
            if (!descriptor.contains(QLatin1String("rproserver")))
                Fail(QStringLiteral("wrong descriptor: ") + descriptor);
        }
        rows.append({Count(c.Size) + QLatin1Char(' ') + c.Name, Count(text.size() / 1024),
                     Fixed(best * 1000, 1), Fixed(best * 1e9 / double(text.size()), 1)});
    }
    PrintTable(QStringLiteral("bench_tnsnames: TNSNamesConnectString, alias last, best of 3"),
               rows);
    return 0;
}
