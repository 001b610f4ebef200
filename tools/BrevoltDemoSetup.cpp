// Builds the demo of the README: a sample Retail Pro 9 client environment
// (registry file, Oracle home, SQLite database of recent invoices, service
// directory) and a configuration file that selects three stores and uploads
// to the given FTP server.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "tools/uBrevoltSampleDatabase.h"

#include <cstdio>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>

using namespace uBrevoltRPro9ConnectorCommon;

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Creates the demo environment in FOLDER: registry.reg, an Oracle home, rpro9.db and "
        "service/ with Brevoltconnector.cfg."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("FOLDER"), QStringLiteral("demo folder"));
    parser.addOption({QStringLiteral("ftp"), QStringLiteral("FTP server host:port"),
                      QStringLiteral("HOST"), QStringLiteral("127.0.0.1:21")});
    parser.addOption({QStringLiteral("user"), QStringLiteral("FTP user"), QStringLiteral("USER"),
                      QStringLiteral("demoshop")});
    parser.addOption({QStringLiteral("password"), QStringLiteral("FTP password"),
                      QStringLiteral("PASSWORD"), QStringLiteral("demo")});
    parser.addOption({QStringLiteral("invoices"), QStringLiteral("number of invoices"),
                      QStringLiteral("N"), QStringLiteral("500")});
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);

    try {
        uBrevoltSampleDatabase::TSampleOptions options;
        options.Invoices = parser.value(QStringLiteral("invoices")).toLongLong();
        const auto paths = uBrevoltSampleDatabase::CreateSampleEnvironment(
            parser.positionalArguments().at(0), options);

        uOVUtils::SetExeDir(paths.ServiceDirectory);
        TConnectorConfig& cfg = Config();
        cfg.locations = QStringList{LocationKey(QStringLiteral("1"), QStringLiteral("1")),
                                    LocationKey(QStringLiteral("1"), QStringLiteral("2")),
                                    LocationKey(QStringLiteral("2"), QStringLiteral("1"))};
        cfg.scanscheduling = 0;
        cfg.oracledelay = 0;
        cfg.ftpserver = parser.value(QStringLiteral("ftp"));
        cfg.ftpusername = parser.value(QStringLiteral("user"));
        cfg.ftppassword = parser.value(QStringLiteral("password"));
        // The invoices of the last twelve hours.
        cfg.lastquery = uOVUtils::Now() - 0.5;
        SaveConfig();
        std::printf("registry=%s\nservice=%s\n", qPrintable(paths.RegistryFile),
                    qPrintable(paths.ServiceDirectory));
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "BrevoltDemoSetup: %s\n", E.what());
        return 1;
    }
}
