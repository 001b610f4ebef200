// Finding the Oracle home in the registry file and the RPROODS descriptor in
// tnsnames.ora.
#include "DataAccessTestSupport.h"

#include "common/uOVOraUtils.h"

#include <cstdlib>
#include <QDir>
#include <QFileInfo>

using namespace uOVOraUtils;

namespace {

class OraDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("BREVOLT_REGISTRY", FDir.File(QStringLiteral("registry.reg")).toUtf8().constData(),
                 1);
    }
    void TearDown() override { ::unsetenv("BREVOLT_REGISTRY"); }

    // Sections of HKEY_LOCAL_MACHINE\SOFTWARE: "[path]" lines and values.
    void WriteRegistry(const QString& ABody) {
        QString text = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n") + ABody;
        text.replace(QStringLiteral("[SW\\"), QStringLiteral("[HKEY_LOCAL_MACHINE\\SOFTWARE\\"));
        text.replace(QStringLiteral("$DIR"), FDir.Path());
        testsupport::WriteFileBytes(FDir.File(QStringLiteral("registry.reg")), text.toUtf8());
    }
    // An Oracle home below the folder with the given tnsnames.ora text.
    QString UseTnsNames(const QByteArray& AText,
                        const QString& AAdmin = QStringLiteral("NETWORK/ADMIN")) {
        WriteRegistry(
            QStringLiteral("[SW\\ORACLE\\KEY_Home]\r\n\"ORACLE_BASE\"=\"$DIR/base\"\r\n"));
        const QString path =
            FDir.Path() + QStringLiteral("/base/Home/") + AAdmin + QStringLiteral("/tnsnames.ora");
        QDir().mkpath(QFileInfo(path).path());
        testsupport::WriteFileBytes(path, AText);
        return path;
    }

    testsupport::TTempDir FDir;
};

TEST_F(OraDiscoveryTest, OracleBaseAndVersionFromTheRegistry) {
    struct Case {
        const char* name;
        QString registry;
        QString base, version, error;
    };
    const QString notFound =
        QStringLiteral("Registry key \"ORACLE\" could not be found in GetOracleBase");
    const Case cases[] = {
        {"KEY_B after KEY_A in the editor's order, whatever the file's",
         "[SW\\ORACLE\\KEY_B]\r\n\"ORACLE_BASE\"=\"/b\"\r\n\r\n"
         "[SW\\ORACLE\\KEY_A]\r\n\"ORACLE_BASE\"=\"/a\"\r\n\r\n[SW\\ORACLE\\ODP.NET]\r\n",
         "/b", "B", ""},
        {"Key_X and ODP.NET only",
         "[SW\\ORACLE\\Key_X]\r\n\"ORACLE_BASE\"=\"/x\"\r\n[SW\\ORACLE\\ODP.NET]\r\n", "", "",
         "Oracle key could not be determined in call to GetOracleBase"},
        {"ORACLE_BASE wins over ORACLE_HOME",
         "[SW\\ORACLE\\KEY_H]\r\n\"ORACLE_HOME\"=\"C:\\\\oracle\\\\ora92\"\r\n\"ORACLE_BASE\"=\"/"
         "opt/oracle\"\r\n",
         "/opt/oracle", "H", ""},
        {"ORACLE_HOME after its first backslash past the drive",
         "[SW\\ORACLE\\KEY_OraHome92]\r\n\"ORACLE_HOME\"=\"C:\\\\oracle\\\\ora92\"\r\n", "ora92",
         "OraHome92", ""},
        {"ORACLE_HOME without a backslash after the third character",
         "[SW\\ORACLE\\KEY_H]\r\n\"ORACLE_HOME\"=\"C:\\\\oracle\"\r\n", "C:\\oracle", "H", ""},
        {"a Linux ORACLE_HOME is taken whole",
         "[SW\\ORACLE\\KEY_ic]\r\n\"ORACLE_HOME\"=\"/opt/oracle/instantclient_19_20\"\r\n",
         "/opt/oracle/instantclient_19_20", "ic", ""},
        {"only below WOW6432Node",
         "[SW\\WOW6432Node\\ORACLE\\KEY_32]\r\n\"ORACLE_BASE\"=\"/w\"\r\n", "/w", "32", ""},
        {"neither value", "[SW\\ORACLE\\KEY_N]\r\n\"Other\"=\"1\"\r\n", "", "",
         "Neither ORACLE_HOME nor ORACLE_BASE were found in the registry in GetOracleBase"},
        {"no ORACLE key", "[SW\\Other]\r\n", "", "", notFound},
        {"WOW6432Node without ORACLE", "[SW\\WOW6432Node\\Other]\r\n", "", "", notFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteRegistry(c.registry);
        QString base, version;
        try {
            GetOracleBase(base, version);
            EXPECT_TRUE(c.error.isEmpty());
            EXPECT_EQ(base, c.base);
            EXPECT_EQ(version, c.version);
        } catch (const Exception& E) {
            EXPECT_EQ(E.Message(), c.error);
        }
    }
    QFile::remove(FDir.File(QStringLiteral("registry.reg")));
    QString base, version;
    EXPECT_THROW(GetOracleBase(base, version), Exception) << "a missing registry file is empty";
}

TEST_F(OraDiscoveryTest, DescriptorOfTheAliasInTnsNames) {
    const QByteArray rproods =
        "RPROODS =\r\n  (DESCRIPTION =\r\n    (ADDRESS = (PROTOCOL = TCP)"
        "(HOST = h)(PORT = 1521))\r\n    (CONNECT_DATA = (SERVICE_NAME = s))\r\n  )\r\n";
    const QString descriptor =
        QStringLiteral("(DESCRIPTION =    (ADDRESS = (PROTOCOL = TCP)(HOST = h)(PORT = 1521))    "
                       "(CONNECT_DATA = (SERVICE_NAME = s))  )");
    struct Case {
        const char* name;
        QByteArray file;
        QString alias, expected;
    };
    const Case cases[] = {
        {"after comment lines and another entry",
         "# tnsnames.ora\r\n# second comment\r\nOTHER = (DESCRIPTION = (HOST = o))\r\n\r\n" +
             rproods,
         "RPROODS", descriptor},
        {"a comment line between two entries",
         "OTHER =\n  (DESCRIPTION = (HOST = o))\n# the store database\n" + rproods, "RPROODS",
         descriptor},
        {"entry name in lower case, alias with spaces", "rproods = (DESCRIPTION = (HOST = x))\n",
         " rproods ", "(DESCRIPTION = (HOST = x))"},
        {"entry without spaces", "RPROODS=(DESCRIPTION=(ADDRESS=(HOST=h))(CONNECT_DATA=(SID=s)))",
         "RPROODS", "(DESCRIPTION=(ADDRESS=(HOST=h))(CONNECT_DATA=(SID=s)))"},
        {"last character is the closing parenthesis", "X = (A)\r\nRPROODS = (B = (C))", "RPROODS",
         "(B = (C))"},
        {"a value that never closes", "RPROODS = (B = (C\r\n", "RPROODS", "(B = (C"},
        {"no such entry", "RPROODSX = (A)\r\nOTHER = (B)\r\n", "RPROODS", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindTNSNamesEntry(QString::fromLatin1(c.file), c.alias), c.expected);
        const QString path = UseTnsNames(c.file);
        EXPECT_EQ(TNSNamesPath(), path);
        if (c.expected.isEmpty()) {
            try {
                TNSNamesConnectString(c.alias);
                ADD_FAILURE() << "no error";
            } catch (const Exception& E) {
                EXPECT_EQ(E.Message(),
                          QStringLiteral("Net service alias \"RPROODS\" not found in \"") + path +
                              QStringLiteral("\" in call to TNSNamesConnectString"));
            }
        } else {
            EXPECT_EQ(TNSNamesConnectString(c.alias), c.expected);
        }
    }
}

TEST_F(OraDiscoveryTest, FileLocationAndItsErrors) {
    // Linux clients ship network/admin in lower case; upper case comes first.
    const QString lower = UseTnsNames("RPROODS = (L)", QStringLiteral("network/admin"));
    EXPECT_EQ(TNSNamesPath(), lower);
    EXPECT_EQ(TNSNamesConnectString(QStringLiteral("RPROODS")), QStringLiteral("(L)"));
    const QString upper = UseTnsNames("RPROODS = (U)");
    EXPECT_EQ(TNSNamesPath(), upper);
    EXPECT_EQ(TNSNamesConnectString(QStringLiteral("RPROODS")), QStringLiteral("(U)"));

    QFile::remove(upper);
    QFile::remove(lower);
    try {
        TNSNamesConnectString(QStringLiteral("RPROODS"));
        ADD_FAILURE() << "no error";
    } catch (const Exception& E) {
        EXPECT_EQ(E.Message(), QLatin1Char('"') + upper +
                                   QStringLiteral("\" not found in call to TNSNamesConnectString "
                                                  "using OracleBase=\"\" and Version=\"\""));
    }
    try {
        TNSNamesConnectString(QStringLiteral(" \t"));
        ADD_FAILURE() << "no error";
    } catch (const Exception& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Invalid alias passed to TNSNamesConnectString"));
    }
}

TEST_F(OraDiscoveryTest, SampleEnvironmentHoldsRproods) {
    testsupport::TSampleEnvironment env;
    EXPECT_EQ(TNSNamesPath(), env.Paths().TnsNamesFile);
    EXPECT_EQ(TNSNamesConnectString(QStringLiteral("RPROODS")),
              uBrevoltSampleDatabase::SampleDescriptor());
}

} // namespace
