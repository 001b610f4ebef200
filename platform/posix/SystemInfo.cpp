#include "platform/SystemInfo.h"
#include "platform/posix/SystemInfoTree.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace platform {

namespace {
namespace fs = std::filesystem;

std::string Trim(const std::string& AText) {
    const auto first = AText.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = AText.find_last_not_of(" \t\r\n");
    return AText.substr(first, last - first + 1);
}

// The first line of a small file, trimmed; empty when it cannot be read.
std::string ReadLine(const std::string& APath) {
    std::ifstream in(APath);
    std::string line;
    std::getline(in, line);
    return Trim(line);
}

std::string Join(std::initializer_list<std::string> AParts) {
    std::string out;
    for (const std::string& part : AParts) {
        if (part.empty())
            continue;
        if (!out.empty())
            out += ' ';
        out += part;
    }
    return out;
}

CpuInfo ReadCpu(const std::string& ARoot) {
    CpuInfo cpu;
    std::ifstream in(ARoot + "/proc/cpuinfo");
    std::string line;
    bool firstBlock = true;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            if (cpu.count > 0)
                firstBlock = false;
            continue;
        }
        const std::string key = Trim(line.substr(0, colon));
        const std::string value = Trim(line.substr(colon + 1));
        if (key == "processor")
            ++cpu.count;
        if (!firstBlock)
            continue;
        if (key == "cpu family")
            cpu.family = value;
        else if (key == "model")
            cpu.model = value;
        else if (key == "stepping")
            cpu.stepping = value;
        else if (key == "vendor_id")
            cpu.vendor = value;
        else if (key == "model name")
            cpu.name = value;
    }
    if (cpu.vendor == "GenuineIntel")
        cpu.manufacturer = "Intel";
    else if (cpu.vendor == "AuthenticAMD")
        cpu.manufacturer = "AMD";
    else
        cpu.manufacturer = cpu.vendor;
    utsname u{};
    if (ARoot.empty() && uname(&u) == 0)
        cpu.type = u.machine;
    return cpu;
}

BiosInfo ReadBios(const std::string& ARoot) {
    const std::string dmi = ARoot + "/sys/class/dmi/id/";
    BiosInfo bios;
    bios.name = ReadLine(dmi + "bios_version");
    bios.copyright = ReadLine(dmi + "bios_vendor");
    bios.date = ReadLine(dmi + "bios_date");
    const std::string board = ReadLine(dmi + "board_name");
    const std::string product = ReadLine(dmi + "product_name");
    bios.extended = Join({ReadLine(dmi + "sys_vendor"), product, board != product ? board : ""});
    return bios;
}

std::string OsReleaseValue(const std::string& ARoot, const std::string& AKey) {
    std::ifstream in(ARoot + "/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(AKey + "=", 0) != 0)
            continue;
        std::string value = Trim(line.substr(AKey.size() + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return {};
}

OsProductInfo ReadOsProduct(const std::string& ARoot) {
    OsProductInfo os;
    os.productName = OsReleaseValue(ARoot, "PRETTY_NAME");
    if (os.productName.empty())
        os.productName = OsReleaseValue(ARoot, "NAME");
    os.servicePack = ReadLine(ARoot + "/proc/sys/kernel/osrelease");
    return os;
}

std::vector<std::string> ReadMacAddresses(const std::string& ARoot) {
    std::vector<std::pair<std::string, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it(ARoot + "/sys/class/net", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name == "lo")
            continue;
        std::string mac = ReadLine((it->path() / "address").string());
        if (mac.empty())
            continue;
        std::transform(mac.begin(), mac.end(), mac.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        found.emplace_back(name, mac);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> macs;
    for (auto& [name, mac] : found)
        macs.push_back(mac);
    return macs;
}

// Replaces APrefix followed by ADigits digits of ABase by the character
// with that code: /proc/mounts writes blanks as \040, udev's link names as \x20.
std::string Unescape(const std::string& AText, const std::string& APrefix, size_t ADigits,
                     int ABase) {
    const auto isDigit = [ABase](char c) {
        const auto u = static_cast<unsigned char>(c);
        return ABase == 16 ? std::isxdigit(u) != 0 : (u >= '0' && u <= '7');
    };
    std::string out;
    for (size_t i = 0; i < AText.size(); ++i) {
        const size_t start = i + APrefix.size();
        bool code =
            AText.compare(i, APrefix.size(), APrefix) == 0 && start + ADigits <= AText.size();
        for (size_t d = 0; code && d < ADigits; ++d)
            code = isDigit(AText[start + d]);
        if (code) {
            out += static_cast<char>(std::stoi(AText.substr(start, ADigits), nullptr, ABase));
            i = start + ADigits - 1;
        } else {
            out += AText[i];
        }
    }
    return out;
}

bool IsPseudoFileSystem(const std::string& AType) {
    static const std::set<std::string> pseudo = {
        "proc",        "sysfs",   "devtmpfs",  "devpts",  "cgroup",      "cgroup2",
        "securityfs",  "pstore",  "debugfs",   "tracefs", "mqueue",      "hugetlbfs",
        "configfs",    "fusectl", "bpf",       "autofs",  "binfmt_misc", "efivarfs",
        "rpc_pipefs",  "nsfs",    "selinuxfs", "none",    "nfsd",        "fuse.gvfsd-fuse",
        "fuse.portal", "squashfs"};
    return pseudo.count(AType) > 0;
}

bool IsSystemMountPoint(const std::string& APath) {
    for (const char* prefix : {"/proc", "/sys", "/dev", "/run"})
        if (APath == prefix || APath.rfind(std::string(prefix) + "/", 0) == 0)
            return true;
    return false;
}

VolumeType VolumeTypeOf(const std::string& ADevice, const std::string& AType) {
    static const std::set<std::string> network = {"nfs",   "nfs4",      "cifs", "smb3",
                                                  "smbfs", "ncpfs",     "afs",  "fuse.sshfs",
                                                  "ceph",  "glusterfs", "9p",   "davfs"};
    if (network.count(AType) > 0)
        return VolumeType::Network;
    if (AType == "tmpfs" || AType == "ramfs")
        return VolumeType::RAM;
    if (AType == "iso9660" || AType == "udf")
        return VolumeType::CDROM;
    if (ADevice.rfind("/dev/fd", 0) == 0)
        return VolumeType::Floppy;
    if (ADevice.rfind("/", 0) == 0 || AType == "overlay" || AType == "zfs" || AType == "btrfs")
        return VolumeType::Fixed;
    return VolumeType::Unknown;
}

// Volume labels from the links udev keeps, by the device they point to.
std::vector<std::pair<std::string, std::string>> ReadLabels(const std::string& ARoot) {
    std::vector<std::pair<std::string, std::string>> labels;
    const fs::path dir = ARoot + "/dev/disk/by-label";
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(it->path(), linkError);
        if (linkError)
            continue;
        const fs::path device =
            (target.is_absolute() ? fs::path(ARoot + target.string()) : dir / target)
                .lexically_normal();
        labels.emplace_back(device.string(),
                            Unescape(it->path().filename().string(), "\\x", 2, 16));
    }
    return labels;
}

bool HasOption(const std::string& AOptions, const std::string& AOption) {
    std::stringstream in(AOptions);
    std::string item;
    while (std::getline(in, item, ','))
        if (item == AOption)
            return true;
    return false;
}

std::vector<VolumeInfo> ReadVolumes(const std::string& ARoot) {
    std::vector<VolumeInfo> volumes;
    const auto labels = ReadLabels(ARoot);
    std::ifstream in(ARoot + "/proc/mounts");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint, type, options;
        if (!(fields >> device >> mountPoint >> type >> options))
            continue;
        device = Unescape(device, "\\", 3, 8);
        mountPoint = Unescape(mountPoint, "\\", 3, 8);
        if (IsPseudoFileSystem(type) || IsSystemMountPoint(mountPoint))
            continue;
        const std::string local = ARoot + mountPoint;
        struct stat st {};
        if (stat(local.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue; // files bound into a container are not volumes
        VolumeInfo v;
        v.mountPoint = mountPoint;
        v.device = device;
        v.fileSystem = type;
        v.type = VolumeTypeOf(device, type);
        v.readOnly = HasOption(options, "ro");
        const std::string devicePath = fs::path(ARoot + device).lexically_normal().string();
        for (const auto& [labelDevice, label] : labels)
            if (labelDevice == devicePath)
                v.label = label;
        struct statvfs sv {};
        if (statvfs(local.c_str(), &sv) == 0) {
            v.available = true;
            v.size = static_cast<std::uint64_t>(sv.f_blocks) * sv.f_frsize;
            v.free = static_cast<std::uint64_t>(sv.f_bavail) * sv.f_frsize;
            v.serial = static_cast<std::uint32_t>(sv.f_fsid);
            v.readOnly = v.readOnly || (sv.f_flag & ST_RDONLY) != 0;
        }
        // A later mount on the same point hides the earlier one.
        auto same = std::find_if(volumes.begin(), volumes.end(), [&](const VolumeInfo& AOther) {
            return AOther.mountPoint == v.mountPoint;
        });
        if (same != volumes.end())
            *same = v;
        else
            volumes.push_back(v);
    }
    return volumes;
}
} // namespace

std::string ComputerName() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return {};
    const std::string name = buffer;
    return name.substr(0, name.find('.'));
}

std::string DomainName() {
    const std::string domain = ReadLine("/proc/sys/kernel/domainname");
    if (!domain.empty() && domain != "(none)")
        return domain;
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return {};
    const std::string host = buffer;
    const auto dot = host.find('.');
    return dot == std::string::npos ? std::string() : host.substr(dot + 1);
}

MachineInfo ReadMachineInfo() {
    return ReadMachineInfoFrom(std::string());
}

MachineInfo ReadMachineInfoFrom(const std::string& ARoot) {
    MachineInfo info;
    info.cpu = ReadCpu(ARoot);
    info.bios = ReadBios(ARoot);
    info.os = ReadOsProduct(ARoot);
    info.macAddresses = ReadMacAddresses(ARoot);
    info.volumes = ReadVolumes(ARoot);
    return info;
}

} // namespace platform
