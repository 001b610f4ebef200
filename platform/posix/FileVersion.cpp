#include "platform/FileVersion.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// The build stamps each executable with "$BrevoltFileVersion: a.b.c.d $" in
// the section below (cmake/VersionStamp.cpp.in), so that a look at the
// section headers finds it without reading the program. Files without the
// section are scanned. The marker text also occurs in this reader's own
// code, so only a marker followed by a well-formed version counts.
const std::string& Marker() {
    static const std::string marker = std::string("$Brevolt") + "FileVersion: ";
    return marker;
}
constexpr char StampSection[] = ".brevolt_version";
// "65535.65535.65535.65535 $", the longest text a marker is followed by.
constexpr size_t MaxVersionText = 25;
constexpr size_t ScanChunk = 64 * 1024;
// A stamp section is a few dozen bytes and the section names a few hundred;
// anything larger is not ours.
constexpr size_t MaxStampSection = 4096;
constexpr uint64_t MaxSectionNames = 1 << 20;

class TFile {
public:
    explicit TFile(const std::string& APath) : FHandle(::open(APath.c_str(), O_RDONLY)) {}
    ~TFile() {
        if (FHandle >= 0)
            ::close(FHandle);
    }
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;

    bool IsOpen() const { return FHandle >= 0; }
    // Reads up to ASize bytes at AOffset; the count read, -1 on an error.
    ssize_t ReadAt(void* ABuffer, size_t ASize, uint64_t AOffset) const {
        size_t done = 0;
        while (done < ASize) {
            const ssize_t got = ::pread(FHandle, static_cast<char*>(ABuffer) + done, ASize - done,
                                        static_cast<off_t>(AOffset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return -1;
            if (got == 0)
                break;
            done += static_cast<size_t>(got);
        }
        return static_cast<ssize_t>(done);
    }
    bool ReadAllAt(void* ABuffer, size_t ASize, uint64_t AOffset) const {
        return ReadAt(ABuffer, ASize, AOffset) == static_cast<ssize_t>(ASize);
    }

private:
    int FHandle;
};

// The version right after a marker: four numbers of one to five digits,
// each at most 65535, joined by "." and closed by " $"; empty when AText
// does not start with one.
std::string VersionAt(std::string_view AText) {
    std::string version;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t start = at;
        unsigned value = 0;
        while (at < AText.size() && at - start < 5 && AText[at] >= '0' && AText[at] <= '9')
            value = value * 10 + unsigned(AText[at++] - '0');
        const char closing = part < 3 ? '.' : ' ';
        if (at == start || value > 0xFFFF || at >= AText.size() || AText[at] != closing)
            return {};
        version.append(AText.substr(start, at - start));
        if (part < 3)
            version += '.';
        ++at;
    }
    return at < AText.size() && AText[at] == '$' ? version : std::string();
}

// The version of the first good stamp in AText whose marker starts before
// ALimit.
std::string FindVersion(std::string_view AText, size_t ALimit) {
    for (size_t pos = AText.find(Marker()); pos < ALimit; pos = AText.find(Marker(), pos + 1)) {
        std::string version = VersionAt(AText.substr(pos + Marker().size(), MaxVersionText));
        if (!version.empty())
            return version;
    }
    return {};
}

// The whole file in chunks, each searched with the tail of the one before,
// so that a stamp across a chunk's end is found too.
std::string ScanForVersion(const TFile& AFile) {
    const size_t overlap = Marker().size() + MaxVersionText - 1;
    std::vector<char> buffer(ScanChunk + overlap);
    size_t held = 0;
    for (uint64_t offset = 0;;) {
        const ssize_t got = AFile.ReadAt(buffer.data() + held, ScanChunk, offset);
        if (got < 0)
            return {};
        offset += static_cast<uint64_t>(got);
        held += static_cast<size_t>(got);
        const bool atEnd = got == 0;
        // Markers too close to the end to show their whole version wait.
        const size_t limit = atEnd ? held : held - std::min(held, overlap);
        std::string version = FindVersion(std::string_view(buffer.data(), held), limit);
        if (!version.empty() || atEnd)
            return version;
        std::memmove(buffer.data(), buffer.data() + limit, held - limit);
        held -= limit;
    }
}

// The contents of the stamp section, found through the section headers;
// empty when the file has none.
template <typename THeader, typename TSection>
std::string StampSectionOf(const TFile& AFile, const THeader& AHeader) {
    if (AHeader.e_shentsize != sizeof(TSection) || AHeader.e_shstrndx >= AHeader.e_shnum)
        return {};
    std::vector<TSection> sections(AHeader.e_shnum);
    if (!AFile.ReadAllAt(sections.data(), sections.size() * sizeof(TSection), AHeader.e_shoff))
        return {};
    const TSection& nameTable = sections[AHeader.e_shstrndx];
    std::string names(std::min(uint64_t(nameTable.sh_size), MaxSectionNames), '\0');
    if (!AFile.ReadAllAt(names.data(), names.size(), nameTable.sh_offset))
        return {};
    for (const TSection& section : sections) {
        if (section.sh_name >= names.size() ||
            std::strcmp(names.c_str() + section.sh_name, StampSection) != 0)
            continue;
        if (section.sh_type == SHT_NOBITS || section.sh_size > MaxStampSection)
            return {};
        std::string contents(section.sh_size, '\0');
        return AFile.ReadAllAt(contents.data(), contents.size(), section.sh_offset) ? contents
                                                                                    : std::string();
    }
    return {};
}

// The stamp section of an ELF file in this machine's byte order.
std::string StampSectionOf(const TFile& AFile) {
    constexpr unsigned char order =
        std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    unsigned char header[sizeof(Elf64_Ehdr)] = {};
    if (!AFile.ReadAllAt(header, sizeof(header), 0) || std::memcmp(header, ELFMAG, SELFMAG) != 0 ||
        header[EI_DATA] != order)
        return {};
    if (header[EI_CLASS] == ELFCLASS64) {
        Elf64_Ehdr elf;
        std::memcpy(&elf, header, sizeof(elf));
        return StampSectionOf<Elf64_Ehdr, Elf64_Shdr>(AFile, elf);
    }
    if (header[EI_CLASS] == ELFCLASS32) {
        Elf32_Ehdr elf;
        std::memcpy(&elf, header, sizeof(elf));
        return StampSectionOf<Elf32_Ehdr, Elf32_Shdr>(AFile, elf);
    }
    return {};
}

} // namespace

std::string ReadFileVersion(const std::string& path) {
    const TFile file(path);
    if (!file.IsOpen())
        return {};
    const std::string section = StampSectionOf(file);
    std::string version = FindVersion(section, section.size());
    return version.empty() ? ScanForVersion(file) : version;
}

} // namespace platform
