// The platform interfaces as every system must keep them: the registry's
// round trip, the version stamped into this test program, the program's own
// path and the machine's names.
#include "platform/FileVersion.h"
#include "platform/HostName.h"
#include "platform/OsVersion.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/SystemInfo.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using platform::RegistryError;
using platform::RegistryKey;

namespace {

namespace fs = std::filesystem;

std::string UniqueName(const std::string& APrefix) {
    return APrefix + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

// A key of its own under HKEY_LOCAL_MACHINE\SOFTWARE, removed afterwards; on
// systems where the hive is a file, in a file of its own.
class RegistryRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN32
        FFile = fs::temp_directory_path() / (UniqueName("brevolt-registry-") + ".reg");
        ::setenv("BREVOLT_REGISTRY", FFile.c_str(), 1);
#endif
        FRoot = "SOFTWARE\\" + UniqueName("BrevoltPlatformTest");
    }
    void TearDown() override {
        platform::DeleteLocalMachineKey(FRoot);
#ifndef _WIN32
        fs::remove(FFile);
        ::unsetenv("BREVOLT_REGISTRY");
#endif
    }
    RegistryKey Create(const std::string& ASubKey) const {
        return *RegistryKey::OpenLocalMachine(FRoot + "\\" + ASubKey, true, true);
    }

    fs::path FFile;
    std::string FRoot;
};

TEST_F(RegistryRoundTrip, WritesReadsAndDeletesThroughFreshOpenings) {
    const RegistryKey writer = Create("OrvaneSoftware\\Brevolt\\BrevoltRPro9Connector");
    writer.WriteString("ServiceDirectory", "C:\\Connector\\");
    writer.WriteString("", "default");
    writer.WriteString("Text", "Z\xC3\xBCrich \xE2\x9C\x93"); // UTF-8 both ways

    const auto reader =
        RegistryKey::OpenLocalMachine(FRoot + "\\orvanesoftware\\BREVOLT\\BrevoltRPro9Connector");
    ASSERT_TRUE(reader.has_value());
    EXPECT_FALSE(reader->Writable());
    EXPECT_EQ(reader->ReadString("servicedirectory"), "C:\\Connector\\");
    EXPECT_EQ(reader->ReadString(""), "default");
    EXPECT_EQ(reader->ReadString("Text"), "Z\xC3\xBCrich \xE2\x9C\x93");
    EXPECT_EQ(reader->ReadString("Missing"), std::nullopt);
    EXPECT_TRUE(reader->ValueExists("TEXT"));
    EXPECT_THROW(reader->WriteString("Text", "x"), RegistryError);
    EXPECT_THROW(reader->DeleteValue("Text"), RegistryError);

    EXPECT_TRUE(writer.DeleteValue("text"));
    EXPECT_FALSE(writer.DeleteValue("Text"));
    EXPECT_FALSE(reader->ValueExists("Text"));

    EXPECT_TRUE(platform::DeleteLocalMachineKey(FRoot + "\\OrvaneSoftware"));
    EXPECT_FALSE(platform::DeleteLocalMachineKey(FRoot + "\\OrvaneSoftware"));
    EXPECT_FALSE(RegistryKey::OpenLocalMachine(FRoot + "\\OrvaneSoftware\\Brevolt").has_value());
}

TEST_F(RegistryRoundTrip, ListsSubKeysAlphabeticallyWhateverTheirCase) {
    for (const char* name : {"KEY_b", "ODP.NET", "KEY_A", "key_c\\deep"})
        Create(std::string("ORACLE\\") + name);
    const auto oracle = RegistryKey::OpenLocalMachine(FRoot + "\\oracle");
    ASSERT_TRUE(oracle.has_value());
    EXPECT_EQ(oracle->SubKeyNames(),
              (std::vector<std::string>{"KEY_A", "KEY_b", "key_c", "ODP.NET"}));
    EXPECT_TRUE(oracle->HasSubKey("key_B"));
    EXPECT_FALSE(oracle->HasSubKey("deep"));
    EXPECT_TRUE(oracle->OpenSubKey("KEY_C\\DEEP").has_value());
    EXPECT_FALSE(oracle->OpenSubKey("KEY_D").has_value());
    EXPECT_THROW(RegistryKey::OpenLocalMachine(FRoot + "\\New", false, true), RegistryError);
}

TEST(FileVersion, ReadsTheVersionTheBuildGaveThisProgram) {
    EXPECT_EQ(platform::ReadFileVersion(platform::ExecutablePath()), BREVOLT_PROJECT_VERSION);

    const fs::path plain = fs::temp_directory_path() / UniqueName("brevolt-plain-");
    std::ofstream(plain) << "no version here";
    EXPECT_EQ(platform::ReadFileVersion(plain.string()), "");
    fs::remove(plain);
    EXPECT_EQ(platform::ReadFileVersion((plain / "missing").string()), "");
}

TEST(Process, KnowsItsOwnProgramFileAndArguments) {
    const fs::path exe = fs::u8path(platform::ExecutablePath());
    EXPECT_TRUE(fs::is_regular_file(exe)) << exe;
    EXPECT_EQ(exe.stem(), "test_platform");

    const char* const argv[] = {"program", "-install", "/SILENT"};
    platform::SetCommandLine(3, argv);
    EXPECT_EQ(platform::CommandLineArguments(), (std::vector<std::string>{"-install", "/SILENT"}));
    platform::SetCommandLine({});
    EXPECT_TRUE(platform::CommandLineArguments().empty());
}

TEST(Machine, NamesItselfAndItsSystem) {
    EXPECT_FALSE(platform::ComputerName().empty());
    EXPECT_FALSE(platform::LocalHostFullName().empty());
    const platform::OsVersion os = platform::CurrentOsVersion();
    EXPECT_FALSE(os.name.empty());
    EXPECT_GT(os.major, 0);
    EXPECT_GE(platform::ReadMachineInfo().cpu.count, 1);
}

} // namespace
