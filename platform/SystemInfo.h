#pragma once
// Facts about the machine for the log header. Every value that cannot be
// read is left empty (or 0); reading never fails.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct CpuInfo {
    int count = 0;
    std::string type; // architecture, e.g. "x86_64"
    std::string family;
    std::string model;
    std::string stepping;
    std::string vendor;       // vendor identification, e.g. "GenuineIntel"
    std::string manufacturer; // e.g. "Intel"
    std::string name;
};

struct BiosInfo {
    std::string name;      // firmware version
    std::string copyright; // firmware vendor
    std::string extended;  // system and board maker and model
    std::string date;      // as the firmware reports it, "mm/dd/yyyy"
};

struct OsProductInfo {
    std::string productName;
    std::string servicePack; // service pack or kernel release
    std::string owner;
    std::string organisation;
};

enum class VolumeType { Floppy, Fixed, Network, CDROM, RAM, Unknown };

struct VolumeInfo {
    std::string mountPoint;
    std::string device;
    std::string fileSystem;
    VolumeType type = VolumeType::Unknown;
    std::string label;
    bool available = false; // the file system answered: the size fields and serial are valid
    bool readOnly = false;
    std::uint32_t serial = 0;
    std::uint64_t size = 0;
    std::uint64_t free = 0;
};

struct MachineInfo {
    CpuInfo cpu;
    BiosInfo bios;
    OsProductInfo os;
    std::vector<std::string> macAddresses;
    std::vector<VolumeInfo> volumes;
};

std::string ComputerName();
// The network domain: the kernel's domain name when set, else the part of
// the host name after its first full stop; empty when neither exists.
std::string DomainName();

MachineInfo ReadMachineInfo();

} // namespace platform
