// The registry file: parsing the editor's export format, writing values and
// keys back without disturbing the rest of the file, atomically.
#include "platform/Registry.h"
#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <QDir>
#include <QFile>

using platform::RegistryError;
using platform::RegistryKey;

namespace {

const char* const Sample = "Windows Registry Editor Version 5.00\r\n"
                           "\r\n"
                           "; exported by hand\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORACLE\\KEY_b]\r\n"
                           "\"ORACLE_HOME\"=\"C:\\\\oracle\\\\ora92\"\r\n"
                           "\"Quoted\"=\"say \\\"hi\\\", ok\"\r\n"
                           "\"Count\"=dword:0000002a\r\n"
                           "\"Bytes\"=hex:01,02,\\\r\n"
                           "  03,04\r\n"
                           "\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORACLE\\KEY_A]\r\n"
                           "@=\"default\"\r\n"
                           "\"Path\"=hex(2):43,00,3a,00,5c,00,78,00,00,00\r\n"
                           "\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\oracle\\key_c\\deep\\deeper]\r\n"
                           "\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORACLE\\ODP.NET]\r\n"
                           "\r\n"
                           "[HKEY_CURRENT_USER\\SOFTWARE\\ORACLE\\KEY_Z]\r\n"
                           "\r\n";

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        FFile = FDir.File(QStringLiteral("registry.reg"));
        ::setenv("BREVOLT_REGISTRY", FFile.toUtf8().constData(), 1);
    }
    void TearDown() override { ::unsetenv("BREVOLT_REGISTRY"); }
    void Write(const QByteArray& AText) { testsupport::WriteFileBytes(FFile, AText); }
    QByteArray Text() const { return testsupport::ReadFileBytes(FFile); }
    static RegistryKey Open(const std::string& APath, bool AWritable = false) {
        auto key = RegistryKey::OpenLocalMachine(APath, AWritable);
        if (!key)
            throw std::runtime_error("no key " + APath);
        return *key;
    }

    testsupport::TTempDir FDir;
    QString FFile;
};

TEST_F(RegistryTest, MissingFileIsAnEmptyRegistryAndIsCreatedOnWrite) {
    EXPECT_FALSE(RegistryKey::OpenLocalMachine("SOFTWARE").has_value());
    EXPECT_TRUE(RegistryKey::OpenLocalMachine("").has_value());
    EXPECT_FALSE(QFile::exists(FFile));

    auto key = RegistryKey::OpenLocalMachine(
        "SOFTWARE\\OrvaneSoftware\\Brevolt\\BrevoltRPro9Connector", true, true);
    ASSERT_TRUE(key.has_value());
    key->WriteString("ServiceDirectory", "/opt/brevolt/");
    EXPECT_EQ(Text(), QByteArray("Windows Registry Editor Version 5.00\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OrvaneSoftware\\Brevolt\\"
                                 "BrevoltRPro9Connector]\r\n"
                                 "\"ServiceDirectory\"=\"/opt/brevolt/\"\r\n\r\n"));
    EXPECT_TRUE(Open("software").HasSubKey("ORVANESOFTWARE"));
}

TEST_F(RegistryTest, ReadsTypedValuesEscapesAndKeysCaseInsensitively) {
    Write(Sample);
    RegistryKey b = Open("software\\oracle\\KEY_B");
    EXPECT_EQ(b.ReadString("oracle_home"), "C:\\oracle\\ora92");
    EXPECT_EQ(b.ReadString("Quoted"), "say \"hi\", ok");
    EXPECT_TRUE(b.ValueExists("COUNT"));
    EXPECT_TRUE(b.ValueExists("Bytes"));
    EXPECT_FALSE(b.ValueExists("ORACLE_BASE"));
    EXPECT_EQ(b.ReadString("ORACLE_BASE"), std::nullopt);
    EXPECT_THROW(b.ReadString("Count"), RegistryError);
    RegistryKey a = Open("SOFTWARE\\ORACLE\\KEY_A");
    EXPECT_EQ(a.ReadString(""), "default");
    EXPECT_EQ(a.ReadString("Path"), "C:\\x");
    // Keys that exist only as parents of a deeper section.
    EXPECT_TRUE(Open("SOFTWARE\\ORACLE").HasSubKey("KEY_C"));
    EXPECT_TRUE(Open("SOFTWARE\\ORACLE\\key_c").HasSubKey("Deep"));
    // Other hives are not HKEY_LOCAL_MACHINE.
    EXPECT_FALSE(Open("SOFTWARE\\ORACLE").HasSubKey("KEY_Z"));
}

TEST_F(RegistryTest, ListsSubKeysInTheEditorsOrder) {
    Write(Sample);
    EXPECT_EQ(Open("SOFTWARE\\ORACLE").SubKeyNames(),
              (std::vector<std::string>{"KEY_A", "KEY_b", "key_c", "ODP.NET"}));
    EXPECT_EQ(Open("").SubKeyNames(), std::vector<std::string>{"SOFTWARE"});
    EXPECT_TRUE(Open("SOFTWARE\\ORACLE\\ODP.NET").SubKeyNames().empty());
}

TEST_F(RegistryTest, WritesChangeOnlyTheirOwnLines) {
    Write(Sample);
    Open("SOFTWARE\\ORACLE\\KEY_b", true).WriteString("oracle_home", "D:\\new \"home\"");
    Open("SOFTWARE\\ORACLE\\KEY_A", true).WriteString("ORACLE_BASE", "/opt/oracle");
    Open("SOFTWARE\\ORACLE\\key_c", true).WriteString("Name", "c");

    QByteArray expected(Sample);
    expected.replace("\"ORACLE_HOME\"=\"C:\\\\oracle\\\\ora92\"",
                     "\"ORACLE_HOME\"=\"D:\\\\new \\\"home\\\"\"");
    expected.replace("00,00\r\n", "00,00\r\n\"ORACLE_BASE\"=\"/opt/oracle\"\r\n");
    expected.replace("[HKEY_LOCAL_MACHINE\\SOFTWARE\\oracle\\key_c\\deep\\deeper]\r\n\r\n",
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORACLE\\key_c]\r\n\"Name\"=\"c\"\r\n\r\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\oracle\\key_c\\deep\\deeper]\r\n\r\n");
    EXPECT_EQ(Text(), expected);
    EXPECT_EQ(Open("SOFTWARE\\ORACLE\\KEY_B").ReadString("ORACLE_HOME"), "D:\\new \"home\"");
    EXPECT_EQ(Open("SOFTWARE\\ORACLE\\KEY_B").ReadString("Quoted"), "say \"hi\", ok");
}

TEST_F(RegistryTest, DeletesValuesAndWholeKeys) {
    Write(Sample);
    RegistryKey b = Open("SOFTWARE\\ORACLE\\KEY_b", true);
    EXPECT_TRUE(b.DeleteValue("bytes"));
    EXPECT_FALSE(b.DeleteValue("bytes"));
    EXPECT_FALSE(b.ValueExists("Bytes"));
    EXPECT_TRUE(platform::DeleteLocalMachineKey("SOFTWARE\\ORACLE\\KEY_C"));
    EXPECT_FALSE(platform::DeleteLocalMachineKey("SOFTWARE\\ORACLE\\KEY_C"));

    QByteArray expected(Sample);
    expected.replace("\"Bytes\"=hex:01,02,\\\r\n  03,04\r\n", "");
    expected.replace("[HKEY_LOCAL_MACHINE\\SOFTWARE\\oracle\\key_c\\deep\\deeper]\r\n\r\n", "");
    EXPECT_EQ(Text(), expected);
    EXPECT_EQ(Open("SOFTWARE\\ORACLE").SubKeyNames(),
              (std::vector<std::string>{"KEY_A", "KEY_b", "ODP.NET"}));
}

TEST_F(RegistryTest, KeepsUtf16AndLineFeedFiles) {
    const std::string text =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n"
        "\"Name\"=\"Jos\xC3\xA9\"\n";
    Write(QByteArray::fromStdString(text));
    Open("SOFTWARE\\X", true).WriteString("Other", "\xC3\xBC");
    EXPECT_EQ(Text().toStdString(), text + "\"Other\"=\"\xC3\xBC\"\n");

    QString utf16 = QString::fromUtf8(text.c_str());
    QByteArray bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(utf16.utf16()), utf16.size() * 2);
    Write(bytes);
    RegistryKey x = Open("SOFTWARE\\X", true);
    EXPECT_EQ(x.ReadString("Name"), "Jos\xC3\xA9");
    x.WriteString("Name", "Nu\xC3\xB1"
                          "ez");
    QByteArray after = Text();
    ASSERT_TRUE(after.startsWith("\xFF\xFE"));
    QString back = QString::fromUtf16(reinterpret_cast<const char16_t*>(after.constData() + 2),
                                      (after.size() - 2) / 2);
    EXPECT_EQ(back, utf16.replace(QStringLiteral("Jos\u00e9"), QStringLiteral("Nu\u00f1ez")));
}

TEST_F(RegistryTest, WritesAtomicallyAndRefusesReadOnlyKeys) {
    Write(Sample);
    // A reader that opened the file before the write still sees the old text whole.
    std::ifstream before(FFile.toStdString(), std::ios::binary);
    Open("SOFTWARE\\ORACLE\\KEY_A", true).WriteString("New", "value");
    std::string old((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());
    EXPECT_EQ(old, Sample);
    EXPECT_EQ(QDir(FDir.Path()).entryList(QDir::Files),
              QStringList{QStringLiteral("registry.reg")});

    EXPECT_THROW(Open("SOFTWARE\\ORACLE\\KEY_A").WriteString("New", "x"), RegistryError);
    EXPECT_THROW(RegistryKey::OpenLocalMachine("SOFTWARE\\Nope", false, true), RegistryError);

    // A failed write leaves no temporary file behind and reports the file.
    QString blocked = FDir.File(QStringLiteral("blocked"));
    QDir().mkpath(blocked);
    ::setenv("BREVOLT_REGISTRY", blocked.toUtf8().constData(), 1);
    try {
        RegistryKey::OpenLocalMachine("SOFTWARE\\Y", true, true);
        ADD_FAILURE() << "no error";
    } catch (const RegistryError& e) {
        EXPECT_NE(std::string(e.what()).find("blocked"), std::string::npos) << e.what();
    }
    EXPECT_EQ(QDir(FDir.Path()).entryList(QDir::Files),
              QStringList{QStringLiteral("registry.reg")});
}

} // namespace
