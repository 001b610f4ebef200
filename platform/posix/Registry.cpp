// The registry hive as a ".reg" text file. The file is kept as its lines:
// reading parses them, a change edits only the lines of the values and keys
// it touches and writes the whole text to a new file renamed over the old.
#include "platform/Registry.h"
#include "BrevoltIdentity.h"
#include "platform/posix/RegistryFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

const char* const DefaultRegistryPath = BrevoltIdentity::RegistryFile;
const char* const Signature = "Windows Registry Editor Version 5.00";
const char* const HiveName = "HKEY_LOCAL_MACHINE";

// Serialises the read-change-write of this process; other processes see
// either the old or the new file thanks to the rename.
std::mutex& FileLock() {
    static std::mutex lock;
    return lock;
}

std::string Upper(const std::string& AText) {
    std::string r = AText;
    for (char& c : r)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return r;
}

std::string StripSlashes(const std::string& APath) {
    size_t b = APath.find_first_not_of('\\');
    if (b == std::string::npos)
        return {};
    size_t e = APath.find_last_not_of('\\');
    return APath.substr(b, e - b + 1);
}

std::string JoinKey(const std::string& AParent, const std::string& AName) {
    std::string name = StripSlashes(AName);
    if (AParent.empty())
        return name;
    if (name.empty())
        return AParent;
    return AParent + "\\" + name;
}

// True when APath (upper case) is AKey (upper case) or lies below it.
bool IsAtOrBelow(const std::string& APath, const std::string& AKey) {
    if (AKey.empty())
        return true;
    return APath == AKey ||
           (APath.size() > AKey.size() && APath.compare(0, AKey.size(), AKey) == 0 &&
            APath[AKey.size()] == '\\');
}

std::string Trim(const std::string& AText) {
    size_t b = AText.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    size_t e = AText.find_last_not_of(" \t");
    return AText.substr(b, e - b + 1);
}

// --- UTF-16LE, the encoding the Windows editor exports and hex(2) holds -----

void AppendUtf8(std::string& AOut, uint32_t ACode) {
    if (ACode < 0x80) {
        AOut += static_cast<char>(ACode);
    } else if (ACode < 0x800) {
        AOut += static_cast<char>(0xC0 | (ACode >> 6));
        AOut += static_cast<char>(0x80 | (ACode & 0x3F));
    } else if (ACode < 0x10000) {
        AOut += static_cast<char>(0xE0 | (ACode >> 12));
        AOut += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
        AOut += static_cast<char>(0x80 | (ACode & 0x3F));
    } else {
        AOut += static_cast<char>(0xF0 | (ACode >> 18));
        AOut += static_cast<char>(0x80 | ((ACode >> 12) & 0x3F));
        AOut += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
        AOut += static_cast<char>(0x80 | (ACode & 0x3F));
    }
}

std::string Utf16LeToUtf8(const std::string& ABytes) {
    std::string out;
    for (size_t i = 0; i + 1 < ABytes.size(); i += 2) {
        uint32_t u = static_cast<uint8_t>(ABytes[i]) | (static_cast<uint8_t>(ABytes[i + 1]) << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < ABytes.size()) {
            uint32_t l =
                static_cast<uint8_t>(ABytes[i + 2]) | (static_cast<uint8_t>(ABytes[i + 3]) << 8);
            if (l >= 0xDC00 && l < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, u);
    }
    return out;
}

std::string Utf8ToUtf16Le(const std::string& AText) {
    std::string out;
    auto put = [&out](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < AText.size();) {
        uint8_t c = static_cast<uint8_t>(AText[i]);
        uint32_t code = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            code = c;
        } else if ((c >> 5) == 6) {
            code = c & 0x1F;
            len = 2;
        } else if ((c >> 4) == 14) {
            code = c & 0x0F;
            len = 3;
        } else if ((c >> 3) == 30) {
            code = c & 0x07;
            len = 4;
        }
        if (len > 1) {
            if (i + len > AText.size()) {
                code = 0xFFFD;
                len = 1;
            } else {
                for (size_t k = 1; k < len; ++k)
                    code = (code << 6) | (static_cast<uint8_t>(AText[i + k]) & 0x3F);
            }
        }
        i += len;
        if (code >= 0x10000) {
            code -= 0x10000;
            put(0xD800 + (code >> 10));
            put(0xDC00 + (code & 0x3FF));
        } else {
            put(code);
        }
    }
    return out;
}

// --- The file as records ----------------------------------------------------

enum class TValueType { String, Dword, Hex };

struct TRecord {
    enum Kind { Other, Header, Value } kind = Other;
    std::vector<std::string> lines; // physical lines without line ends
    bool hklm = false;              // Header: a key of HKEY_LOCAL_MACHINE
    std::string key;                // Header: path below the hive, as written
    std::string name;               // Value: name, empty for "@"
    TValueType type = TValueType::String;
    std::string data; // String: the text; Dword: eight hex digits; Hex: raw bytes
    int hexKind = 3;  // Hex: the N of hex(N), 3 for plain hex
};

TRecord PlainLine(const std::string& AText) {
    TRecord r;
    r.lines.push_back(AText);
    return r;
}

// Reads a quoted, escaped text starting at APos (on the opening quote); APos
// ends after the closing quote. False when the quote does not close.
bool ParseQuoted(const std::string& ALine, size_t& APos, std::string& AOut) {
    AOut.clear();
    for (size_t i = APos + 1; i < ALine.size(); ++i) {
        char c = ALine[i];
        if (c == '\\' && i + 1 < ALine.size() && (ALine[i + 1] == '\\' || ALine[i + 1] == '"')) {
            AOut += ALine[++i];
        } else if (c == '"') {
            APos = i + 1;
            return true;
        } else {
            AOut += c;
        }
    }
    return false;
}

std::string Quote(const std::string& AText) {
    std::string r = "\"";
    for (char c : AText) {
        if (c == '\\' || c == '"')
            r += '\\';
        r += c;
    }
    return r + '"';
}

bool ParseHexBytes(const std::string& AText, std::string& AOut) {
    AOut.clear();
    std::string digits;
    for (char c : AText) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c == ',') {
            if (digits.empty() || digits.size() > 2)
                return false;
            AOut += static_cast<char>(std::strtoul(digits.c_str(), nullptr, 16));
            digits.clear();
        } else if (c != '\\' && c != ' ' && c != '\t') {
            return false;
        }
    }
    if (!digits.empty()) {
        if (digits.size() > 2)
            return false;
        AOut += static_cast<char>(std::strtoul(digits.c_str(), nullptr, 16));
    }
    return true;
}

bool ParseValue(const std::string& ALogical, TRecord& ARec) {
    size_t pos = 0;
    if (ALogical[0] == '@') {
        ARec.name.clear();
        pos = 1;
    } else if (!ParseQuoted(ALogical, pos, ARec.name)) {
        return false;
    }
    while (pos < ALogical.size() && (ALogical[pos] == ' ' || ALogical[pos] == '\t'))
        ++pos;
    if (pos >= ALogical.size() || ALogical[pos] != '=')
        return false;
    std::string rest = Trim(ALogical.substr(pos + 1));
    if (!rest.empty() && rest[0] == '"') {
        size_t p = 0;
        ARec.type = TValueType::String;
        return ParseQuoted(rest, p, ARec.data);
    }
    std::string upper = Upper(rest);
    if (upper.rfind("DWORD:", 0) == 0) {
        std::string digits = Trim(rest.substr(6));
        if (digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(),
                         [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
            return false;
        ARec.type = TValueType::Dword;
        ARec.data = digits;
        return true;
    }
    if (upper.rfind("HEX", 0) == 0) {
        size_t colon = rest.find(':');
        if (colon == std::string::npos)
            return false;
        std::string kind = rest.substr(3, colon - 3);
        ARec.hexKind = 3;
        if (!kind.empty()) {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')
                return false;
            ARec.hexKind = static_cast<int>(std::strtol(kind.c_str() + 1, nullptr, 16));
        }
        ARec.type = TValueType::Hex;
        return ParseHexBytes(rest.substr(colon + 1), ARec.data);
    }
    return false; // "-" (a deletion in an import file) and anything unknown
}

class TDocument {
public:
    std::vector<TRecord> records;
    bool utf16 = false;
    bool utf8Bom = false;
    bool finalEol = true;
    std::string eol = "\r\n";

    static TDocument Load(const std::string& APath);
    void Save(const std::string& APath) const;

    bool KeyExists(const std::string& AKey) const;
    std::vector<std::string> SubKeys(const std::string& AKey) const;
    const TRecord* FindValue(const std::string& AKey, const std::string& AName) const;
    void SetString(const std::string& AKey, const std::string& AName, const std::string& AValue);
    void CreateKey(const std::string& AKey);
    bool DeleteValue(const std::string& AKey, const std::string& AName);
    bool DeleteKey(const std::string& AKey);

private:
    void Parse(const std::string& AText);
    // Index after the last record of the section whose header is at AHeader.
    size_t SectionEnd(size_t AHeader) const;
    // Index of the last header of AKey, or npos.
    size_t LastHeaderOf(const std::string& AKey) const;
    template <typename F> void ForEachValueOf(const std::string& AKey, F AFunc) const;
};

TDocument TDocument::Load(const std::string& APath) {
    TDocument doc;
    std::ifstream in(APath, std::ios::binary);
    if (!in) {
        if (errno == ENOENT || errno == ENOTDIR) {
            doc.records.push_back(PlainLine(Signature));
            doc.records.push_back(PlainLine(""));
            return doc;
        }
        throw RegistryError("The registry file \"" + APath +
                            "\" cannot be read: " + std::strerror(errno));
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    std::string bytes = buf.str();
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE) {
        doc.utf16 = true;
        bytes = Utf16LeToUtf8(bytes.substr(2));
    } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        doc.utf8Bom = true;
        bytes.erase(0, 3);
    }
    doc.Parse(bytes);
    return doc;
}

void TDocument::Parse(const std::string& AText) {
    std::vector<std::string> lines;
    size_t start = 0;
    bool sawEol = false;
    while (start < AText.size()) {
        size_t nl = AText.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(AText.substr(start));
            finalEol = false;
            break;
        }
        bool cr = nl > start && AText[nl - 1] == '\r';
        if (!sawEol) {
            eol = cr ? "\r\n" : "\n";
            sawEol = true;
        }
        lines.push_back(AText.substr(start, nl - start - (cr ? 1 : 0)));
        start = nl + 1;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        TRecord rec;
        rec.lines.push_back(lines[i]);
        std::string t = Trim(lines[i]);
        if (t.size() >= 2 && t.front() == '[' && t.back() == ']' && t[1] != '-') {
            std::string inner = t.substr(1, t.size() - 2);
            size_t slash = inner.find('\\');
            std::string hive = inner.substr(0, slash);
            rec.kind = TRecord::Header;
            rec.hklm = Upper(hive) == HiveName;
            rec.key =
                slash == std::string::npos ? std::string() : StripSlashes(inner.substr(slash));
        } else if (!t.empty() && (t[0] == '"' || t[0] == '@')) {
            // Hex data wraps onto indented lines that end in a backslash.
            std::string logical = t;
            while (logical.back() == '\\' && logical.find("=\"") == std::string::npos &&
                   i + 1 < lines.size()) {
                rec.lines.push_back(lines[++i]);
                logical.pop_back();
                logical += Trim(lines[i]);
            }
            if (ParseValue(logical, rec))
                rec.kind = TRecord::Value;
        }
        records.push_back(std::move(rec));
    }
}

void TDocument::Save(const std::string& APath) const {
    std::string text;
    for (size_t i = 0; i < records.size(); ++i)
        for (size_t k = 0; k < records[i].lines.size(); ++k) {
            text += records[i].lines[k];
            bool last = i + 1 == records.size() && k + 1 == records[i].lines.size();
            if (!last || finalEol)
                text += eol;
        }
    std::string bytes;
    if (utf16)
        bytes = "\xFF\xFE" + Utf8ToUtf16Le(text);
    else
        bytes = (utf8Bom ? "\xEF\xBB\xBF" : "") + text;

    std::string dir = ".";
    size_t slash = APath.rfind('/');
    if (slash != std::string::npos)
        dir = slash == 0 ? "/" : APath.substr(0, slash);
    // Create the folder on the first write, like the hive that always exists.
    for (size_t p = 1; p <= dir.size(); ++p)
        if (p == dir.size() || dir[p] == '/')
            ::mkdir(dir.substr(0, p).c_str(), 0755);

    mode_t mode = 0644;
    struct stat st {};
    if (::stat(APath.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    std::string tmp = APath + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0)
        throw RegistryError("The registry file \"" + APath +
                            "\" cannot be written: " + std::strerror(errno));
    bool ok = ::fchmod(fd, mode) == 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    int err = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(name.data(), APath.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(name.data());
        throw RegistryError("The registry file \"" + APath +
                            "\" cannot be written: " + std::strerror(err));
    }
}

bool TDocument::KeyExists(const std::string& AKey) const {
    if (AKey.empty())
        return true;
    std::string k = Upper(AKey);
    return std::any_of(records.begin(), records.end(), [&k](const TRecord& r) {
        return r.kind == TRecord::Header && r.hklm && IsAtOrBelow(Upper(r.key), k);
    });
}

std::vector<std::string> TDocument::SubKeys(const std::string& AKey) const {
    std::string k = Upper(AKey);
    std::vector<std::string> names;
    for (const TRecord& r : records) {
        if (r.kind != TRecord::Header || !r.hklm)
            continue;
        std::string u = Upper(r.key);
        if (!IsAtOrBelow(u, k) || u.size() == k.size())
            continue;
        size_t from = k.empty() ? 0 : k.size() + 1;
        std::string child = r.key.substr(from, r.key.find('\\', from) - from);
        std::string cu = Upper(child);
        if (std::none_of(names.begin(), names.end(),
                         [&cu](const std::string& n) { return Upper(n) == cu; }))
            names.push_back(child);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return Upper(a) < Upper(b); });
    return names;
}

template <typename F> void TDocument::ForEachValueOf(const std::string& AKey, F AFunc) const {
    std::string k = Upper(AKey);
    bool inKey = false;
    for (size_t i = 0; i < records.size(); ++i) {
        const TRecord& r = records[i];
        if (r.kind == TRecord::Header)
            inKey = r.hklm && Upper(r.key) == k;
        else if (r.kind == TRecord::Value && inKey)
            AFunc(i);
    }
}

const TRecord* TDocument::FindValue(const std::string& AKey, const std::string& AName) const {
    // A later line overrides an earlier one, as when the file is imported.
    const TRecord* found = nullptr;
    std::string n = Upper(AName);
    ForEachValueOf(AKey, [&](size_t i) {
        if (Upper(records[i].name) == n)
            found = &records[i];
    });
    return found;
}

size_t TDocument::SectionEnd(size_t AHeader) const {
    size_t i = AHeader + 1;
    while (i < records.size() && records[i].kind != TRecord::Header)
        ++i;
    return i;
}

size_t TDocument::LastHeaderOf(const std::string& AKey) const {
    std::string k = Upper(AKey);
    size_t found = std::string::npos;
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].kind == TRecord::Header && records[i].hklm && Upper(records[i].key) == k)
            found = i;
    return found;
}

void TDocument::CreateKey(const std::string& AKey) {
    if (AKey.empty() || LastHeaderOf(AKey) != std::string::npos)
        return;
    // Where the editor would have written it: before the key's own sub-keys,
    // else after its parent's family of sections, else at the end.
    size_t slash = AKey.rfind('\\');
    std::string parent = Upper(slash == std::string::npos ? std::string() : AKey.substr(0, slash));
    std::string self = Upper(AKey);
    size_t at = records.size();
    size_t child = std::string::npos;
    for (size_t i = 0; i < records.size() && child == std::string::npos; ++i)
        if (records[i].kind == TRecord::Header && records[i].hklm) {
            std::string u = Upper(records[i].key);
            if (IsAtOrBelow(u, self))
                child = i;
            else if (IsAtOrBelow(u, parent))
                at = SectionEnd(i);
        }
    if (child != std::string::npos)
        at = child;
    std::vector<TRecord> add;
    bool blankBefore = at > 0 && records[at - 1].lines.size() == 1 &&
                       Trim(records[at - 1].lines.back()).empty() &&
                       records[at - 1].kind == TRecord::Other;
    if (!blankBefore)
        add.push_back(PlainLine(""));
    TRecord header = PlainLine(std::string("[") + HiveName + "\\" + AKey + "]");
    header.kind = TRecord::Header;
    header.hklm = true;
    header.key = AKey;
    add.push_back(header);
    add.push_back(PlainLine(""));
    records.insert(records.begin() + static_cast<std::ptrdiff_t>(at), add.begin(), add.end());
}

void TDocument::SetString(const std::string& AKey, const std::string& AName,
                          const std::string& AValue) {
    if (AKey.empty())
        throw RegistryError("Values cannot be written at the root of the hive");
    TRecord rec =
        PlainLine((AName.empty() ? std::string("@") : Quote(AName)) + "=" + Quote(AValue));
    rec.kind = TRecord::Value;
    rec.name = AName;
    rec.data = AValue;
    if (const TRecord* old = FindValue(AKey, AName)) {
        rec.name = old->name;
        rec.lines = {(AName.empty() ? std::string("@") : Quote(old->name)) + "=" + Quote(AValue)};
        records[static_cast<size_t>(old - records.data())] = rec;
        return;
    }
    CreateKey(AKey);
    size_t header = LastHeaderOf(AKey);
    // After the section's last value, before the blank line that closes it.
    size_t at = header + 1;
    for (size_t i = header + 1; i < SectionEnd(header); ++i)
        if (records[i].kind == TRecord::Value || !Trim(records[i].lines.front()).empty())
            at = i + 1;
    records.insert(records.begin() + static_cast<std::ptrdiff_t>(at), rec);
}

bool TDocument::DeleteValue(const std::string& AKey, const std::string& AName) {
    std::vector<size_t> doomed;
    std::string n = Upper(AName);
    ForEachValueOf(AKey, [&](size_t i) {
        if (Upper(records[i].name) == n)
            doomed.push_back(i);
    });
    for (auto it = doomed.rbegin(); it != doomed.rend(); ++it)
        records.erase(records.begin() + static_cast<std::ptrdiff_t>(*it));
    return !doomed.empty();
}

bool TDocument::DeleteKey(const std::string& AKey) {
    if (AKey.empty() || !KeyExists(AKey))
        return false;
    std::string k = Upper(AKey);
    std::vector<TRecord> kept;
    bool dropping = false;
    for (const TRecord& r : records) {
        if (r.kind == TRecord::Header)
            dropping = r.hklm && IsAtOrBelow(Upper(r.key), k);
        if (!dropping)
            kept.push_back(r);
    }
    records = std::move(kept);
    return true;
}

} // namespace

std::string RegistryFilePath() {
    const char* env = std::getenv("BREVOLT_REGISTRY");
    return env && *env ? std::string(env) : std::string(DefaultRegistryPath);
}

std::optional<RegistryKey> RegistryKey::OpenLocalMachine(const std::string& APath, bool AWritable,
                                                         bool ACreate) {
    std::string path = StripSlashes(APath);
    std::lock_guard lock(FileLock());
    std::string file = RegistryFilePath();
    TDocument doc = TDocument::Load(file);
    if (!doc.KeyExists(path)) {
        if (!ACreate)
            return std::nullopt;
        if (!AWritable)
            throw RegistryError("Registry key \"" + path + "\" cannot be created read-only");
        doc.CreateKey(path);
        doc.Save(file);
    }
    return RegistryKey(path, AWritable);
}

std::optional<RegistryKey> RegistryKey::OpenSubKey(const std::string& AName, bool AWritable,
                                                   bool ACreate) const {
    return OpenLocalMachine(JoinKey(FPath, AName), AWritable, ACreate);
}

bool RegistryKey::HasSubKey(const std::string& AName) const {
    std::string name = StripSlashes(AName);
    if (name.empty())
        return false;
    std::lock_guard lock(FileLock());
    return TDocument::Load(RegistryFilePath()).KeyExists(JoinKey(FPath, name));
}

std::vector<std::string> RegistryKey::SubKeyNames() const {
    std::lock_guard lock(FileLock());
    return TDocument::Load(RegistryFilePath()).SubKeys(FPath);
}

bool RegistryKey::ValueExists(const std::string& AName) const {
    std::lock_guard lock(FileLock());
    return TDocument::Load(RegistryFilePath()).FindValue(FPath, AName) != nullptr;
}

std::optional<std::string> RegistryKey::ReadString(const std::string& AName) const {
    std::lock_guard lock(FileLock());
    TDocument doc = TDocument::Load(RegistryFilePath());
    const TRecord* v = doc.FindValue(FPath, AName);
    if (!v)
        return std::nullopt;
    if (v->type == TValueType::String)
        return v->data;
    if (v->type == TValueType::Hex && (v->hexKind == 1 || v->hexKind == 2)) {
        std::string text = Utf16LeToUtf8(v->data);
        return text.substr(0, text.find('\0'));
    }
    throw RegistryError("Registry value \"" + AName + "\" of key \"" + FPath +
                        "\" is not a string");
}

void RegistryKey::RequireWritable() const {
    if (!FWritable)
        throw RegistryError("Registry key \"" + FPath + "\" is open for reading only");
}

void RegistryKey::WriteString(const std::string& AName, const std::string& AValue) const {
    RequireWritable();
    std::lock_guard lock(FileLock());
    std::string file = RegistryFilePath();
    TDocument doc = TDocument::Load(file);
    doc.SetString(FPath, AName, AValue);
    doc.Save(file);
}

bool RegistryKey::DeleteValue(const std::string& AName) const {
    RequireWritable();
    std::lock_guard lock(FileLock());
    std::string file = RegistryFilePath();
    TDocument doc = TDocument::Load(file);
    if (!doc.DeleteValue(FPath, AName))
        return false;
    doc.Save(file);
    return true;
}

bool DeleteLocalMachineKey(const std::string& APath) {
    std::lock_guard lock(FileLock());
    std::string file = RegistryFilePath();
    TDocument doc = TDocument::Load(file);
    if (!doc.DeleteKey(StripSlashes(APath)))
        return false;
    doc.Save(file);
    return true;
}

} // namespace platform
