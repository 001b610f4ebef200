// The registry through the Win32 registry functions, in the program's own
// view of the hive (no 32/64-bit redirection is asked for). A key object
// holds only its path: every operation opens the key afresh, so it sees
// what other processes wrote.
#include "platform/Registry.h"

#include "platform/win32/Handles.h"
#include "platform/win32/WideText.h"

namespace platform {

using win32::Narrow;
using win32::TKey;
using win32::Widen;

namespace {

std::string StripSlashes(const std::string& APath) {
    const size_t b = APath.find_first_not_of('\\');
    if (b == std::string::npos)
        return {};
    return APath.substr(b, APath.find_last_not_of('\\') - b + 1);
}

std::string JoinKey(const std::string& AParent, const std::string& AName) {
    const std::string name = StripSlashes(AName);
    if (AParent.empty() || name.empty())
        return AParent.empty() ? name : AParent;
    return AParent + "\\" + name;
}

[[noreturn]] void Fail(const std::string& AWhat, const std::string& APath, LONG ACode) {
    throw RegistryError(AWhat + " \"" + APath + "\": " + win32::SystemErrorText(ACode));
}

REGSAM Access(bool AWritable) {
    return AWritable ? KEY_READ | KEY_WRITE : KEY_READ;
}

// The open key, or nullptr when it does not exist.
TKey Open(const std::string& APath, REGSAM AAccess) {
    HKEY key = nullptr;
    const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(APath).c_str(), 0, AAccess, &key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return nullptr;
    if (rc != ERROR_SUCCESS)
        Fail("Registry key cannot be opened:", APath, rc);
    return TKey(key);
}

// The key of an existing key object; a key deleted since is an error.
TKey OpenExisting(const std::string& APath, REGSAM AAccess) {
    TKey key = Open(APath, AAccess);
    if (!key)
        Fail("Registry key is gone:", APath, ERROR_FILE_NOT_FOUND);
    return key;
}

} // namespace

std::optional<RegistryKey> RegistryKey::OpenLocalMachine(const std::string& APath, bool AWritable,
                                                         bool ACreate) {
    const std::string path = StripSlashes(APath);
    if (ACreate) {
        if (!AWritable)
            throw RegistryError("Registry key \"" + path + "\" cannot be created read-only");
        HKEY key = nullptr;
        const LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Widen(path).c_str(), 0, nullptr, 0,
                                        Access(true), nullptr, &key, nullptr);
        if (rc != ERROR_SUCCESS)
            Fail("Registry key cannot be created:", path, rc);
        RegCloseKey(key);
    } else if (!Open(path, Access(AWritable))) {
        return std::nullopt;
    }
    return RegistryKey(path, AWritable);
}

std::optional<RegistryKey> RegistryKey::OpenSubKey(const std::string& AName, bool AWritable,
                                                   bool ACreate) const {
    return OpenLocalMachine(JoinKey(FPath, AName), AWritable, ACreate);
}

bool RegistryKey::HasSubKey(const std::string& AName) const {
    const std::string name = StripSlashes(AName);
    return !name.empty() && Open(JoinKey(FPath, name), KEY_READ) != nullptr;
}

// RegEnumKeyEx lists the names in the registry's own (alphabetical) order.
std::vector<std::string> RegistryKey::SubKeyNames() const {
    const TKey key = OpenExisting(FPath, KEY_READ);
    std::vector<std::string> names;
    wchar_t name[256]; // the longest key name the registry allows, and its zero
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(std::size(name));
        const LONG rc =
            RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            Fail("Registry key cannot be listed:", FPath, rc);
        names.push_back(Narrow(name, length));
    }
    return names;
}

bool RegistryKey::ValueExists(const std::string& AName) const {
    const TKey key = OpenExisting(FPath, KEY_READ);
    return RegQueryValueExW(key.get(), Widen(AName).c_str(), nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

// Expandable strings are returned as stored, their variables not expanded.
std::optional<std::string> RegistryKey::ReadString(const std::string& AName) const {
    const TKey key = OpenExisting(FPath, KEY_READ);
    const std::wstring name = Widen(AName);
    for (;;) {
        DWORD type = 0;
        DWORD size = 0;
        LONG rc = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
        if (rc == ERROR_FILE_NOT_FOUND)
            return std::nullopt;
        if (rc != ERROR_SUCCESS)
            Fail("Registry value \"" + AName + "\" cannot be read from", FPath, rc);
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            throw RegistryError("Registry value \"" + AName + "\" of key \"" + FPath +
                                "\" is not a string");
        std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
        rc = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(data.data()), &size);
        if (rc == ERROR_MORE_DATA)
            continue; // it grew in between
        if (rc != ERROR_SUCCESS)
            Fail("Registry value \"" + AName + "\" cannot be read from", FPath, rc);
        data.resize(size / sizeof(wchar_t));
        return Narrow(data.substr(0, data.find(L'\0')));
    }
}

void RegistryKey::RequireWritable() const {
    if (!FWritable)
        throw RegistryError("Registry key \"" + FPath + "\" is open for reading only");
}

void RegistryKey::WriteString(const std::string& AName, const std::string& AValue) const {
    RequireWritable();
    const TKey key = OpenExisting(FPath, KEY_SET_VALUE);
    const std::wstring value = Widen(AValue);
    const LONG rc = RegSetValueExW(key.get(), Widen(AName).c_str(), 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS)
        Fail("Registry value \"" + AName + "\" cannot be written to", FPath, rc);
}

bool RegistryKey::DeleteValue(const std::string& AName) const {
    RequireWritable();
    const TKey key = OpenExisting(FPath, KEY_SET_VALUE);
    const LONG rc = RegDeleteValueW(key.get(), Widen(AName).c_str());
    if (rc == ERROR_FILE_NOT_FOUND)
        return false;
    if (rc != ERROR_SUCCESS)
        Fail("Registry value \"" + AName + "\" cannot be deleted from", FPath, rc);
    return true;
}

bool DeleteLocalMachineKey(const std::string& APath) {
    const std::string path = StripSlashes(APath);
    // The hive itself is not a key one can delete.
    if (path.empty())
        return false;
    const LONG rc = RegDeleteTreeW(HKEY_LOCAL_MACHINE, Widen(path).c_str());
    if (rc == ERROR_FILE_NOT_FOUND)
        return false;
    if (rc != ERROR_SUCCESS)
        Fail("Registry key cannot be deleted:", path, rc);
    return true;
}

} // namespace platform
