// Finding tnsnames.ora (TNS_ADMIN, the Oracle home in the registry file) and
// the RPROODS descriptor in it, with sqlnet.ora's default domain and IFILE.
#include "DataAccessTestSupport.h"
#include "tests/support/TestRegistry.h"

#include "common/uOVOraUtils.h"

#include <cstdlib>
#include <optional>
#include <QDir>
#include <QFileInfo>
#include <utility>
#include <vector>

using namespace uOVOraUtils;

namespace {

class OraDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        FTnsAdmin = qgetenv("TNS_ADMIN");
        qunsetenv("TNS_ADMIN");
    }
    void TearDown() override {
        if (FTnsAdmin.isNull())
            qunsetenv("TNS_ADMIN");
        else
            qputenv("TNS_ADMIN", FTnsAdmin);
    }

    // Sections of HKEY_LOCAL_MACHINE\SOFTWARE: "[path]" lines and values.
    void WriteRegistry(const QString& ABody) {
        QString text = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n") + ABody;
        text.replace(QStringLiteral("[SW\\"), QStringLiteral("[HKEY_LOCAL_MACHINE\\SOFTWARE\\"));
        text.replace(QStringLiteral("$DIR"), FDir.Path());
        FRegistry.Write(text);
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
    testsupport::TTestRegistry FRegistry{FDir.Path()};
    QByteArray FTnsAdmin;
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
        {"ORACLE_HOME whole, not cut after its first backslash past the drive",
         "[SW\\ORACLE\\KEY_OraHome92]\r\n\"ORACLE_HOME\"=\"C:\\\\oracle\\\\ora92\"\r\n",
         "C:\\oracle\\ora92", "OraHome92", ""},
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
#ifdef _WIN32
    GTEST_SKIP() << "it tells NETWORK/ADMIN from network/admin, one folder on Windows";
#else
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
#endif
}

// Each case a folder tree ($DIR), a registry and TNS_ADMIN from the
// environment (empty: unset); the descriptor of RPROODS or the error.
TEST_F(OraDiscoveryTest, TnsAdminOracleHomeDefaultDomainAndIncludedFiles) {
    const QString base = "[SW\\ORACLE\\KEY_H]\r\n\"ORACLE_BASE\"=\"$DIR/base\"\r\n";
    const QString home = "[SW\\ORACLE\\KEY_H]\r\n\"ORACLE_HOME\"=\"$DIR/home\"\r\n";
    const QString baseWithTnsAdmin = base + "\"TNS_ADMIN\"=\"$DIR/admin\"\r\n";
    const char* const baseFile = "base/H/NETWORK/ADMIN/tnsnames.ora";
    const char* const worldDomain =
        "# client\nNAMES.DIRECTORY_PATH = (TNSNAMES)\n  names.default_domain = world # ours\n";
    const QString notFound = "tnsnames.ora not found in call to TNSNamesConnectString: tried ";
    struct Case {
        const char* name;
        QString registry;
        const char* tnsAdmin;
        std::vector<std::pair<const char*, const char*>> files;
        QString expected;
        QString error = {};
    };
    const Case cases[] = {
        {"TNS_ADMIN from the environment wins over the Oracle home",
         base,
         "$DIR/env",
         {{baseFile, "RPROODS = (HOME)"}, {"env/tnsnames.ora", "RPROODS = (ENV)"}},
         "(ENV)"},
        {"TNS_ADMIN from the environment needs no Oracle key",
         "",
         "$DIR/env/",
         {{"env/tnsnames.ora", "RPROODS=(ENV)"}},
         "(ENV)"},
        {"TNS_ADMIN from the environment without the file",
         base,
         "$DIR/env",
         {{baseFile, "RPROODS = (HOME)"}, {"env/sqlnet.ora", ""}},
         "",
         notFound + "\"$DIR/env/tnsnames.ora\" (the folder of the environment variable TNS_ADMIN)"},
        {"TNS_ADMIN from the environment naming no folder",
         "",
         "$DIR/nowhere",
         {},
         "",
         notFound + "\"$DIR/nowhere/tnsnames.ora\" (no such folder) (the folder of the environment "
                    "variable TNS_ADMIN)"},
        {"TNS_ADMIN under the chosen key wins over ORACLE_BASE",
         baseWithTnsAdmin,
         "",
         {{baseFile, "RPROODS = (HOME)"}, {"admin/tnsnames.ora", "RPROODS = (ADMIN)"}},
         "(ADMIN)"},
        {"TNS_ADMIN under another key is not read",
         "[SW\\ORACLE\\KEY_A]\r\n\"TNS_ADMIN\"=\"$DIR/admin\"\r\n\r\n" + base,
         "",
         {{baseFile, "RPROODS = (HOME)"}, {"admin/tnsnames.ora", "RPROODS = (ADMIN)"}},
         "(HOME)"},
        {"TNS_ADMIN under the chosen key without the file",
         baseWithTnsAdmin,
         "",
         {{baseFile, "RPROODS = (HOME)"}},
         "",
         notFound + "\"$DIR/admin/tnsnames.ora\" (no such folder) (the folder of the value "
                    "\"TNS_ADMIN\" under \"SOFTWARE\\ORACLE\\KEY_H\")"},
        {"ORACLE_HOME only: the home's own network/admin",
         home,
         "",
         {{"home/network/admin/tnsnames.ora", "RPROODS = (L)"}},
         "(L)"},
        {"ORACLE_HOME only: NETWORK/ADMIN first",
         home,
         "",
         {{"home/network/admin/tnsnames.ora", "RPROODS = (L)"},
          {"home/NETWORK/ADMIN/tnsnames.ora", "RPROODS = (U)"}},
         "(U)"},
#ifndef _WIN32 // Windows' folder names have no case: both are the one folder
        {"ORACLE_HOME only, without the file",
         home,
         "",
         {{"home/network/admin/sqlnet.ora", ""}},
         "",
         notFound + "\"$DIR/home/NETWORK/ADMIN/tnsnames.ora\" (no such folder) and "
                    "\"$DIR/home/network/admin/tnsnames.ora\" (below \"ORACLE_HOME\"=\"$DIR/home\" "
                    "under \"SOFTWARE\\ORACLE\\KEY_H\")"},
#endif
        {"a Windows ORACLE_HOME names no folder here",
         "[SW\\ORACLE\\KEY_OraHome92]\r\n\"ORACLE_HOME\"=\"C:\\\\oracle\\\\ora92\"\r\n",
         "",
         {},
         "",
         notFound + "\"C:/oracle/ora92/NETWORK/ADMIN/tnsnames.ora\" (no such folder) and "
                    "\"C:/oracle/ora92/network/admin/tnsnames.ora\" (no such folder) (below "
                    "\"ORACLE_HOME\"=\"C:\\oracle\\ora92\" under "
                    "\"SOFTWARE\\ORACLE\\KEY_OraHome92\")"},
        {"default domain: RPROODS finds RPROODS.WORLD",
         "",
         "$DIR/a",
         {{"a/sqlnet.ora", worldDomain},
          {"a/tnsnames.ora", "OTHER.WORLD = (O)\nrproods.world = (W)\n"}},
         "(W)"},
        {"default domain: the qualified name before the plain one",
         "",
         "$DIR/a",
         {{"a/sqlnet.ora", worldDomain},
          {"a/tnsnames.ora", "RPROODS = (P)\nRPROODS.WORLD = (W)\n"}},
         "(W)"},
        {"default domain: the plain name still found",
         "",
         "$DIR/a",
         {{"a/sqlnet.ora", worldDomain}, {"a/tnsnames.ora", "RPROODS = (P)\n"}},
         "(P)"},
        {"default domain: neither name",
         "",
         "$DIR/a",
         {{"a/sqlnet.ora", worldDomain}, {"a/tnsnames.ora", "RPROODS.EXAMPLE = (E)\n"}},
         "",
         "Net service alias \"RPROODS\" or \"RPROODS.WORLD\" (names.default_domain of "
         "\"$DIR/a/sqlnet.ora\") not found in \"$DIR/a/tnsnames.ora\" in call to "
         "TNSNamesConnectString"},
        {"a sqlnet.ora elsewhere has no say",
         base,
         "",
         {{"sqlnet.ora", worldDomain}, {baseFile, "RPROODS.WORLD = (W)"}},
         "",
         "Net service alias \"RPROODS\" not found in \"$DIR/base/H/NETWORK/ADMIN/tnsnames.ora\" in "
         "call to TNSNamesConnectString"},
        {"IFILE relative to the including file",
         "",
         "$DIR/a",
         {{"a/tnsnames.ora", "OTHER = (O)\nIFILE = more.ora\nLAST = (L)\n"},
          {"a/more.ora", "RPROODS = (M)\n"}},
         "(M)"},
        {"IFILE of a missing file is passed and keeps the next entry",
         "",
         "$DIR/a",
         {{"a/tnsnames.ora", "IFILE = missing.ora\r\nRPROODS = (R)\r\n"}},
         "(R)"},
        {"an entry before the IFILE line comes first",
         "",
         "$DIR/a",
         {{"a/tnsnames.ora", "RPROODS = (FIRST)\nIFILE = more.ora\n"},
          {"a/more.ora", "RPROODS = (SECOND)"}},
         "(FIRST)"},
        {"IFILE quoted, with Windows separators, three levels deep",
         "",
         "$DIR/a",
         {{"a/tnsnames.ora", "IFILE = \"$DIR\\b\\one.ora\"\n"},
          {"b/one.ora", "IFILE = two.ora"},
          {"b/two.ora", "IFILE=three.ora"},
          {"b/three.ora", "RPROODS = (DEEP)"}},
         "(DEEP)"},
        {"too deep, a loop and a missing file: every file named",
         "",
         "$DIR/a",
         {{"a/tnsnames.ora", "IFILE = one.ora\nIFILE = loop1.ora\nIFILE = gone.ora\n"},
          {"a/one.ora", "IFILE = two.ora"},
          {"a/two.ora", "IFILE = three.ora"},
          {"a/three.ora", "IFILE = four.ora"},
          {"a/four.ora", "RPROODS = (TOO DEEP)"},
          {"a/loop1.ora", "IFILE = loop2.ora"},
          {"a/loop2.ora", "IFILE = loop1.ora\nIFILE = tnsnames.ora\n"}},
         "",
         "Net service alias \"RPROODS\" not found in \"$DIR/a/tnsnames.ora\" in call to "
         "TNSNamesConnectString; also read \"$DIR/a/one.ora\", \"$DIR/a/two.ora\", "
         "\"$DIR/a/three.ora\", \"$DIR/a/loop1.ora\", \"$DIR/a/loop2.ora\"; IFILE not followed: "
         "\"$DIR/a/four.ora\" (more than 3 levels deep), \"$DIR/a/loop1.ora\" (read already), "
         "\"$DIR/a/tnsnames.ora\" (read already), \"$DIR/a/gone.ora\" (not found)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TTempDir dir;
        const auto expand = [&](QString AText) {
            return AText.replace(QStringLiteral("$DIR"), dir.Path());
        };
        for (const auto& [path, text] : c.files) {
            const QString file = dir.File(QString::fromUtf8(path));
            QDir().mkpath(QFileInfo(file).path());
            testsupport::WriteFileBytes(file, expand(QString::fromUtf8(text)).toUtf8());
        }
        WriteRegistry(expand(c.registry));
        if (*c.tnsAdmin)
            qputenv("TNS_ADMIN", expand(QString::fromUtf8(c.tnsAdmin)).toUtf8());
        else
            qunsetenv("TNS_ADMIN");
        try {
            EXPECT_EQ(TNSNamesConnectString(QStringLiteral("RPROODS")), c.expected);
            EXPECT_TRUE(c.error.isEmpty()) << "no error";
        } catch (const Exception& E) {
            EXPECT_EQ(E.Message(), expand(c.error));
        }
        qunsetenv("TNS_ADMIN");
    }
}

TEST_F(OraDiscoveryTest, SampleEnvironmentHoldsRproods) {
    testsupport::TSampleEnvironment env;
    EXPECT_EQ(TNSNamesPath(), env.Paths().TnsNamesFile);
    EXPECT_EQ(TNSNamesConnectString(QStringLiteral("RPROODS")),
              uBrevoltSampleDatabase::SampleDescriptor());
}

} // namespace
