// The machine facts of the log header, read from a made-up system tree.
#include "platform/posix/SystemInfoTree.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>

using testsupport::TTempDir;

namespace {

void Put(const TTempDir& ARoot, const QString& APath, const QByteArray& AText) {
    QDir().mkpath(QFileInfo(ARoot.File(APath)).absolutePath());
    testsupport::WriteFileBytes(ARoot.File(APath), AText);
}

} // namespace

TEST(SystemInfo, ReadsAMadeUpSystemTree) {
    TTempDir root;
    Put(root, "proc/cpuinfo",
        "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\n"
        "model name\t: Intel(R) Xeon(R) CPU\nstepping\t: 7\n\n"
        "processor\t: 1\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 99\n"
        "model name\t: other\nstepping\t: 1\n\n");
    const std::pair<const char*, const char*> dmi[] = {{"bios_vendor", "SeaBIOS"},
                                                       {"bios_version", "1.16.2"},
                                                       {"bios_date", "04/01/2014"},
                                                       {"sys_vendor", "QEMU"},
                                                       {"product_name", "Standard PC"}};
    for (const auto& [name, value] : dmi)
        Put(root, QStringLiteral("sys/class/dmi/id/") + name, QByteArray(value) + "\n");
    Put(root, "etc/os-release",
        "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
    Put(root, "proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    for (const char* net :
         {"lo=00:00:00:00:00:00", "eth1=52:54:00:ab:cd:02", "eth0=52:54:00:ab:cd:01"}) {
        const QStringList parts = QString::fromLatin1(net).split('=');
        Put(root, "sys/class/net/" + parts[0] + "/address", parts[1].toLatin1() + "\n");
    }
    Put(root, "dev/vda1", "");
    QDir().mkpath(root.File("dev/disk/by-label"));
    QFile::link("../../vda1", root.File("dev/disk/by-label/My\\x20Disk"));
    QDir().mkpath(root.File("mnt/cd rom"));
    QDir().mkpath(root.File("srv/share"));
    Put(root, "etc/hosts", "");
    Put(root, "proc/mounts",
        "/dev/vda1 / ext4 rw,relatime 0 0\n"
        "proc /proc proc rw 0 0\n"
        "tmpfs /run tmpfs rw 0 0\n"
        "/dev/vda1 /etc/hosts ext4 rw 0 0\n"
        "/dev/sr0 /mnt/cd\\040rom iso9660 ro 0 0\n"
        "server:/export /srv/share nfs4 rw 0 0\n"
        "cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n");

    const platform::MachineInfo m = platform::ReadMachineInfoFrom(root.Path().toStdString());
    EXPECT_EQ(m.cpu.count, 2);
    EXPECT_EQ(m.cpu.family, "6");
    EXPECT_EQ(m.cpu.model, "85");
    EXPECT_EQ(m.cpu.stepping, "7");
    EXPECT_EQ(m.cpu.vendor, "GenuineIntel");
    EXPECT_EQ(m.cpu.manufacturer, "Intel");
    EXPECT_EQ(m.cpu.name, "Intel(R) Xeon(R) CPU");
    EXPECT_EQ(m.bios.name, "1.16.2");
    EXPECT_EQ(m.bios.copyright, "SeaBIOS");
    EXPECT_EQ(m.bios.date, "04/01/2014");
    EXPECT_EQ(m.bios.extended, "QEMU Standard PC");
    EXPECT_EQ(m.os.productName, "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(m.os.servicePack, "6.1.0-18-amd64");
    EXPECT_EQ(m.macAddresses, (std::vector<std::string>{"52:54:00:AB:CD:01", "52:54:00:AB:CD:02"}));

    ASSERT_EQ(m.volumes.size(), 3u);
    const platform::VolumeInfo& disk = m.volumes[0];
    EXPECT_EQ(disk.mountPoint, "/");
    EXPECT_EQ(disk.type, platform::VolumeType::Fixed);
    EXPECT_EQ(disk.label, "My Disk");
    EXPECT_TRUE(disk.available);
    EXPECT_FALSE(disk.readOnly);
    EXPECT_GT(disk.size, 0u);
    EXPECT_EQ(m.volumes[1].mountPoint, "/mnt/cd rom");
    EXPECT_EQ(m.volumes[1].type, platform::VolumeType::CDROM);
    EXPECT_TRUE(m.volumes[1].readOnly);
    EXPECT_EQ(m.volumes[2].type, platform::VolumeType::Network);
}

TEST(SystemInfo, MissingTreeGivesEmptyValues) {
    TTempDir root;
    const platform::MachineInfo m =
        platform::ReadMachineInfoFrom(root.File("nothing").toStdString());
    EXPECT_EQ(m.cpu.count, 0);
    EXPECT_EQ(m.cpu.name, "");
    EXPECT_EQ(m.bios.date, "");
    EXPECT_EQ(m.os.productName, "");
    EXPECT_TRUE(m.macAddresses.empty());
    EXPECT_TRUE(m.volumes.empty());
}
