// Creates the sample Retail Pro 9 database, or a whole sample client
// environment, for demos, tests and benchmarks.
#include "tools/uBrevoltSampleDatabase.h"

#include <cstdio>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Creates a sample Retail Pro 9 database (SQLite). With --environment, TARGET is a folder "
        "that receives registry.reg, an Oracle home with tnsnames.ora and rpro9.db."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("TARGET"),
                                 QStringLiteral("database file, or folder with --environment"));
    QCommandLineOption invoices(QStringLiteral("invoices"),
                                QStringLiteral("number of invoices (default 200)"),
                                QStringLiteral("N"), QStringLiteral("200"));
    QCommandLineOption now(QStringLiteral("now"),
                           QStringLiteral("reference time \"YYYY-MM-DD HH:MM:SS\" (default: now)"),
                           QStringLiteral("TIME"));
    QCommandLineOption environment(QStringLiteral("environment"),
                                   QStringLiteral("create a whole client environment"));
    parser.addOptions({invoices, now, environment});
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);

    uBrevoltSampleDatabase::TSampleOptions options;
    bool ok = false;
    options.Invoices = parser.value(invoices).toLongLong(&ok);
    if (!ok || options.Invoices < 0) {
        std::fprintf(stderr, "invalid --invoices\n");
        return 2;
    }
    if (parser.isSet(now)) {
        options.Now =
            QDateTime::fromString(parser.value(now), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        if (!options.Now.isValid()) {
            std::fprintf(stderr, "invalid --now, expected \"YYYY-MM-DD HH:MM:SS\"\n");
            return 2;
        }
    }
    const QString target = parser.positionalArguments().front();
    try {
        QElapsedTimer timer;
        timer.start();
        if (parser.isSet(environment)) {
            const auto paths = uBrevoltSampleDatabase::CreateSampleEnvironment(target, options);
            std::printf("Database:  %s\nRegistry:  %s\ntnsnames:  %s\n"
                        "Use it with: export BREVOLT_REGISTRY=%s\n",
                        qPrintable(paths.DatabaseFile), qPrintable(paths.RegistryFile),
                        qPrintable(paths.TnsNamesFile), qPrintable(paths.RegistryFile));
        } else {
            uBrevoltSampleDatabase::CreateSampleDatabase(target, options);
            std::printf("Database:  %s\n", qPrintable(target));
        }
        std::printf("%lld invoices in %lld ms\n",
                    static_cast<long long>(std::max<qint64>(
                        options.Invoices, uBrevoltSampleDatabase::FixedInvoiceCount)),
                    static_cast<long long>(timer.elapsed()));
    } catch (const std::exception& E) {
        std::fprintf(stderr, "%s\n", E.what());
        return 1;
    }
    return 0;
}
