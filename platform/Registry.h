#pragma once
// The machine-wide registry hive HKEY_LOCAL_MACHINE.
//
// Key paths are relative to the hive ("SOFTWARE\\ORACLE"), separated by
// backslashes and compared without regard to letter case. Every operation
// reads the hive afresh, so a key sees what other processes wrote; every
// change is atomic and leaves the rest of the hive as it was.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// A registry operation that cannot be done: an unreadable or unwritable hive,
// a write through a read-only key, a value of another type than asked for.
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RegistryKey {
public:
    // Opens HKEY_LOCAL_MACHINE\APath. Without ACreate, nullopt when the key
    // does not exist; with ACreate (requires AWritable) the key and its
    // parents are created.
    static std::optional<RegistryKey>
    OpenLocalMachine(const std::string& APath, bool AWritable = false, bool ACreate = false);
    // The same for a sub-key of this key.
    std::optional<RegistryKey> OpenSubKey(const std::string& AName, bool AWritable = false,
                                          bool ACreate = false) const;

    const std::string& Path() const { return FPath; }
    bool Writable() const { return FWritable; }

    bool HasSubKey(const std::string& AName) const;
    // Direct sub-keys, case-insensitive alphabetical (the editor's order).
    std::vector<std::string> SubKeyNames() const;

    // AName empty stands for the key's default value ("@").
    bool ValueExists(const std::string& AName) const;
    // nullopt when the value is absent; RegistryError when it is not text
    // (string, or expandable/plain string written in hex).
    std::optional<std::string> ReadString(const std::string& AName) const;
    void WriteString(const std::string& AName, const std::string& AValue) const;
    // True when there was a value to delete.
    bool DeleteValue(const std::string& AName) const;

private:
    RegistryKey(std::string APath, bool AWritable)
        : FPath(std::move(APath)), FWritable(AWritable) {}
    void RequireWritable() const;
    std::string FPath;
    bool FWritable;
};

// Deletes HKEY_LOCAL_MACHINE\APath with all its sub-keys and values; true
// when there was such a key.
bool DeleteLocalMachineKey(const std::string& APath);

} // namespace platform
