// The platform interfaces as every system must keep them: the registry's
// round trip, the file lock between holders, the version stamped into this
// test program, the program's own path and the machine's names.
#include "platform/FileLock.h"
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
#include <iterator>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

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

// A lock file with a non-ASCII name in a folder of its own, removed afterwards.
class FileLock : public ::testing::Test {
protected:
    void SetUp() override {
        FFolder = fs::temp_directory_path() / UniqueName("brevolt-lock-");
        fs::create_directory(FFolder);
        FFile = FFolder / fs::u8path("Sc\xC3\xA4n.lock");
        const std::u8string path = FFile.u8string();
        FPath.assign(path.begin(), path.end());
    }
    void TearDown() override { fs::remove_all(FFolder); }
    std::string Content() const {
        std::ifstream in(FFile, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path FFolder;
    fs::path FFile;
    std::string FPath; // UTF-8
};

TEST_F(FileLock, SecondAttemptInTheSameProcessIsBusyAndNamesTheHolder) {
    const platform::TFileLockAttempt first = platform::TryLockFile(FPath, "service 4711");
    ASSERT_TRUE(first.Lock) << first.Error;
    EXPECT_FALSE(first.Busy);
    EXPECT_EQ(first.Lock->Path(), FPath);

    const platform::TFileLockAttempt second = platform::TryLockFile(FPath, "tray 815");
    EXPECT_FALSE(second.Lock);
    EXPECT_TRUE(second.Busy);
    EXPECT_EQ(second.Holder, "service 4711");
    EXPECT_EQ(second.Error, "");
    EXPECT_EQ(Content(), "service 4711"); // a busy attempt writes nothing
}

TEST_F(FileLock, ReleasedLockCanBeTakenAgainAndItsTextReplaced) {
    {
        const platform::TFileLockAttempt first = platform::TryLockFile(FPath, "a long first text");
        ASSERT_TRUE(first.Lock) << first.Error;
    }
    EXPECT_TRUE(fs::exists(FFile)); // released, never deleted

    const platform::TFileLockAttempt again = platform::TryLockFile(FPath, "runonce");
    ASSERT_TRUE(again.Lock) << again.Error;
    EXPECT_EQ(Content(), "runonce"); // nothing of the longer text left
    const platform::TFileLockAttempt busy = platform::TryLockFile(FPath, "tray");
    EXPECT_TRUE(busy.Busy);
    EXPECT_EQ(busy.Holder, "runonce");
}

TEST_F(FileLock, FolderThatDoesNotExistIsAnErrorNamingThePath) {
    const std::string path = FPath + ".d/missing/run.lock";
    const platform::TFileLockAttempt attempt = platform::TryLockFile(path, "service");
    EXPECT_FALSE(attempt.Lock);
    EXPECT_FALSE(attempt.Busy);
    EXPECT_NE(attempt.Error.find(path), std::string::npos) << attempt.Error;
}

#ifndef _WIN32
// The lock held by another process, which then dies without releasing it.
TEST_F(FileLock, AnotherProcessHoldsItUntilItDies) {
    int ready[2], finish[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(finish), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        ::close(finish[1]); // or the read below never sees the parent close its end
        const auto attempt = platform::TryLockFile(FPath, "child " + std::to_string(::getpid()));
        const char acquired = attempt.Lock ? '1' : '0';
        ssize_t ignored = ::write(ready[1], &acquired, 1);
        char end;
        ignored = ::read(finish[0], &end, 1); // until the parent closes its end
        (void)ignored;
        ::_exit(0); // no destructors: only the system can release the lock now
    }
    ::close(ready[1]);
    ::close(finish[0]);
    char acquired = 0;
    EXPECT_EQ(::read(ready[0], &acquired, 1), 1);
    EXPECT_EQ(acquired, '1');

    const platform::TFileLockAttempt busy = platform::TryLockFile(FPath, "parent");
    EXPECT_TRUE(busy.Busy);
    EXPECT_EQ(busy.Holder, "child " + std::to_string(child));

    ::close(finish[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(ready[0]);
    const platform::TFileLockAttempt after = platform::TryLockFile(FPath, "parent");
    EXPECT_TRUE(after.Lock) << after.Error;
}
#endif

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
