// The machine's facts from the system's own sources: the computer name
// functions, the hardware description the system keeps in the registry, the
// network adapters and the drive letters.
#include "platform/SystemInfo.h"

#include "platform/Registry.h"
#include "platform/win32/ComputerName.h"
#include "platform/win32/WideText.h"

#include <cstdio>
#include <vector>

// winsock2.h first: the adapter list's addresses are socket addresses.
#include <winsock2.h>

#include <iphlpapi.h>

namespace platform {

namespace {

// A text value under HKEY_LOCAL_MACHINE; empty when it cannot be read.
std::string MachineValue(const std::string& AKey, const std::string& AName) {
    try {
        if (const auto key = RegistryKey::OpenLocalMachine(AKey))
            return key->ReadString(AName).value_or("");
    } catch (const RegistryError&) {
    }
    return {};
}

std::string Join(const std::vector<std::string>& AParts) {
    std::string out;
    for (const std::string& part : AParts)
        if (!part.empty())
            out += (out.empty() ? "" : " ") + part;
    return out;
}

std::string ArchitectureName(WORD AArchitecture) {
    switch (AArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
        return "x86_64";
    case PROCESSOR_ARCHITECTURE_INTEL:
        return "x86";
    case PROCESSOR_ARCHITECTURE_ARM64:
        return "arm64";
    case PROCESSOR_ARCHITECTURE_ARM:
        return "arm";
    default:
        return std::to_string(AArchitecture);
    }
}

CpuInfo ReadCpu() {
    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    CpuInfo cpu;
    cpu.count = static_cast<int>(system.dwNumberOfProcessors);
    cpu.type = ArchitectureName(system.wProcessorArchitecture);
    // On x86 the revision holds the model in its high byte, the stepping in
    // its low byte.
    cpu.family = std::to_string(system.wProcessorLevel);
    cpu.model = std::to_string(HIBYTE(system.wProcessorRevision));
    cpu.stepping = std::to_string(LOBYTE(system.wProcessorRevision));
    const std::string key = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
    cpu.vendor = MachineValue(key, "VendorIdentifier");
    cpu.name = MachineValue(key, "ProcessorNameString");
    cpu.manufacturer = cpu.vendor == "GenuineIntel"   ? "Intel"
                       : cpu.vendor == "AuthenticAMD" ? "AMD"
                                                      : cpu.vendor;
    return cpu;
}

BiosInfo ReadBios() {
    const std::string key = "HARDWARE\\DESCRIPTION\\System\\BIOS";
    BiosInfo bios;
    bios.name = MachineValue(key, "BIOSVersion");
    bios.copyright = MachineValue(key, "BIOSVendor");
    bios.date = MachineValue(key, "BIOSReleaseDate");
    const std::string board = MachineValue(key, "BaseBoardProduct");
    const std::string product = MachineValue(key, "SystemProductName");
    bios.extended =
        Join({MachineValue(key, "SystemManufacturer"), product, board != product ? board : ""});
    return bios;
}

OsProductInfo ReadOsProduct() {
    const std::string key = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    OsProductInfo os;
    os.productName = MachineValue(key, "ProductName");
    os.servicePack = MachineValue(key, "CSDVersion");
    os.owner = MachineValue(key, "RegisteredOwner");
    os.organisation = MachineValue(key, "RegisteredOrganization");
    return os;
}

// Hardware addresses of the adapters that have one, as "00-1A-2B-3C-4D-5E".
std::vector<std::string> ReadMacAddresses() {
    std::vector<unsigned char> buffer(16 * 1024);
    ULONG size = static_cast<ULONG>(buffer.size());
    auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    const ULONG flags = GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                        GAA_FLAG_SKIP_DNS_SERVER;
    ULONG rc = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, adapters, &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
        buffer.resize(size);
        adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
        rc = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, adapters, &size);
    }
    std::vector<std::string> macs;
    if (rc != NO_ERROR)
        return macs;
    for (const IP_ADAPTER_ADDRESSES* a = adapters; a; a = a->Next) {
        if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || a->PhysicalAddressLength == 0)
            continue;
        std::string mac;
        for (ULONG i = 0; i < a->PhysicalAddressLength; ++i) {
            char part[4];
            std::snprintf(part, sizeof part, i ? "-%02X" : "%02X", a->PhysicalAddress[i]);
            mac += part;
        }
        macs.push_back(mac);
    }
    return macs;
}

VolumeType VolumeTypeOf(UINT ADriveType) {
    switch (ADriveType) {
    case DRIVE_REMOVABLE:
        return VolumeType::Floppy;
    case DRIVE_FIXED:
        return VolumeType::Fixed;
    case DRIVE_REMOTE:
        return VolumeType::Network;
    case DRIVE_CDROM:
        return VolumeType::CDROM;
    case DRIVE_RAMDISK:
        return VolumeType::RAM;
    default:
        return VolumeType::Unknown;
    }
}

// Every drive letter in use, "a" to "z". A drive without a medium is listed
// as unavailable; asking it never brings up the system's "insert a disk".
std::vector<VolumeInfo> ReadVolumes() {
    std::vector<VolumeInfo> volumes;
    const DWORD letters = GetLogicalDrives();
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    for (int i = 0; i < 26; ++i) {
        if (!(letters & (1u << i)))
            continue;
        VolumeInfo v;
        v.mountPoint = std::string(1, static_cast<char>('a' + i));
        v.device = std::string(1, static_cast<char>('A' + i)) + ":\\";
        const std::wstring root = win32::Widen(v.device);
        v.type = VolumeTypeOf(GetDriveTypeW(root.c_str()));
        wchar_t label[MAX_PATH + 1] = {};
        wchar_t fileSystem[MAX_PATH + 1] = {};
        DWORD serial = 0;
        DWORD flags = 0;
        if (GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, &serial, nullptr, &flags,
                                  fileSystem, MAX_PATH + 1)) {
            v.available = true;
            v.label = win32::Narrow(label);
            v.fileSystem = win32::Narrow(fileSystem);
            v.serial = serial;
            v.readOnly = (flags & FILE_READ_ONLY_VOLUME) != 0;
            ULARGE_INTEGER total{}, free{};
            if (GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, &free)) {
                v.size = total.QuadPart;
                v.free = free.QuadPart;
            }
        }
        volumes.push_back(v);
    }
    SetErrorMode(oldMode);
    return volumes;
}

} // namespace

std::string ComputerName() {
    return win32::ComputerNameOf(ComputerNameNetBIOS);
}

// The DNS domain the machine belongs to; a machine in a workgroup has none.
std::string DomainName() {
    return win32::ComputerNameOf(ComputerNameDnsDomain);
}

MachineInfo ReadMachineInfo() {
    MachineInfo info;
    info.cpu = ReadCpu();
    info.bios = ReadBios();
    info.os = ReadOsProduct();
    info.macAddresses = ReadMacAddresses();
    info.volumes = ReadVolumes();
    return info;
}

} // namespace platform
