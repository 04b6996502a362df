// Linux's backends where the real drivers cannot go (the QEMU test drives
// those): a stand-in system in a temporary tree, with the kernel's port table
// (/proc/sys/dev/parport), /proc/ioports, a sysfs tree (PCI devices, ppdev's
// and usbmisc's classes, the USB drivers), a device directory and a plain file
// standing in for /dev/port (offset = I/O address). Besides the main board's
// ports it has a USB adapter with no base address (uss720), a PCI card at
// 0xD010 that parport_pc serves, and a USB printer cable (/dev/usb/lp0).
#include "LinuxBackends.h"
#include "Table.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <unistd.h>

namespace {

// A PC as QEMU's, with a PCI parallel card (class 0x0701, I/O BARs at 0xE000
// and 0xE400) and a PCI serial card (class 0x0700, at 0xD000).
const QByteArray kIoPorts = "0000-0cf7 : PCI Bus 0000:00\n"
                            "  0378-037a : parport0\n"
                            "  03f8-03ff : serial\n"
                            "0d00-ffff : PCI Bus 0000:00\n"
                            "  e000-e007 : 0000:05:00.0\n"
                            "  e400-e403 : 0000:05:00.0\n"
                            "  d000-d007 : 0000:06:00.0\n"
                            "    d000-d007 : serial\n";

// "Unusable|DEV/parport0|reason|next step|busy [hardware]", with the tree's path as ROOT.
QString Said(const PortStatus& status, const std::string& hardware, const QTemporaryDir& root)
{
    static const char* const reaches[] = {"Real", "Unusable", "Absent", "Refused", "Simulated"};
    const std::string said = std::string(reaches[int(status.reach)]) + '|' + status.device + '|' + status.reason + '|' + status.nextStep;
    return QString::fromStdString(said).replace(root.path(), QLatin1String("ROOT")) + (status.busy ? "|busy" : "")
        + (hardware.empty() ? QString() : " [" + QString::fromStdString(hardware) + ']');
}

bool Write(const QTemporaryDir& root, const QString& name, const QByteArray& bytes)
{
    QFile file(root.filePath(name));
    return QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A symbolic link at `name` to `target`, both in the tree.
bool Link(const QTemporaryDir& root, const QString& name, const QString& target)
{
    return QDir().mkpath(QFileInfo(root.filePath(name)).path()) && QDir().mkpath(root.filePath(target))
        && QFile::link(root.filePath(target), root.filePath(name));
}

// The stand-in system; `ioports` is /proc/ioports.
bool MakeSystem(const QTemporaryDir& root, const QByteArray& ioports)
{
    // The driver's ports, each with its device file; parport2's cannot be opened (a read-only sysctl refuses even
    // root); parport3 is a USB adapter, parport4 a PCI card.
    for (const auto& [number, at, active] : {std::tuple{0, "888", "none"}, std::tuple{1, "632", "lp0"}, std::tuple{2, "60416", "none"},
                                             std::tuple{3, "0\t0", "none"}, std::tuple{4, "53264\t53272", "none"}})
        if (!Write(root, QStringLiteral("proc/parport%1/base-addr").arg(number), at) || !Write(root, QStringLiteral("dev/parport%1").arg(number), {})
            || !Write(root, QStringLiteral("proc/parport%1/devices/active").arg(number), active))
            return false;
    const QString usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/", card = "sys/devices/pci0000:00/0000:07:00.0";
    const std::pair<QString, QByteArray> files[] = {
        {"ioports", ioports}, {"pci/0000:05:00.0/class", "0x070102\n"}, {"pci/0000:06:00.0/class", "0x070002\n"},
        {"pci/0000:05:00.0/resource", "0x000000000000e000 0x000000000000e007 0x0000000000040101\n"
                                      "0x000000000000e400 0x000000000000e403 0x0000000000040101\n"
                                      "0x00000000fe000000 0x00000000fe000fff 0x0000000000040200\n"},
        {"pci/0000:06:00.0/resource", "0x000000000000d000 0x000000000000d007 0x0000000000040101\n"},
        // The modes of three ports.
        {"proc/parport0/modes", "PCSPP,TRISTATE\n"}, {"proc/parport3/modes", "PCSPP,TRISTATE,COMPAT,EPP,ECP\n"},
        {"proc/parport4/modes", "PCSPP,TRISTATE,EPP,ECP\n"},
        // The USB adapter; the printer cable; the PCI card (NetMos 9865).
        {usb + "1-2/idVendor", "1293\n"}, {usb + "1-2/idProduct", "0002\n"}, {usb + "1-2/1-2:1.0/bInterfaceNumber", "00\n"},
        {"dev/usb/lp0", {}}, {usb + "1-3/idVendor", "067b\n"}, {usb + "1-3/idProduct", "2305\n"},
        {usb + "1-3/1-3:1.0/bInterfaceNumber", "00\n"},
        {card + "/vendor", "0x9710\n"}, {card + "/device", "0x9865\n"}};
    // Where a link is, and what it leads to: the main board's port as parport_pc registers it; the USB adapter, whose driver
    // leaves the port's device unsaid but has the adapter bound; the PCI card, served by parport_pc; the printer cable.
    const std::pair<QString, QString> links[] = {
        {"sys/class/ppdev/parport0/device", "sys/devices/platform/parport_pc.888"},
        {"sys/devices/platform/parport_pc.888/driver", "sys/bus/platform/drivers/parport_pc"},
        {usb + "1-2/1-2:1.0/driver", "sys/bus/usb/drivers/uss720"}, {"sys/bus/usb/drivers/uss720/1-2:1.0", usb + "1-2/1-2:1.0"},
        {card + "/driver", "sys/bus/pci/drivers/parport_pc"}, {"sys/class/ppdev/parport4/device", card},
        {usb + "1-3/1-3:1.0/driver", "sys/bus/usb/drivers/usblp"}, {"sys/class/usbmisc/lp0/device", usb + "1-3/1-3:1.0"}};
    return std::ranges::all_of(files, [&root](const auto& file) { return Write(root, file.first, file.second); })
        && std::ranges::all_of(links, [&root](const auto& link) { return Link(root, link.first, link.second); })
        && QFile::remove(root.filePath("dev/parport2")) && QFile::link("/proc/sys/kernel/osrelease", root.filePath("dev/parport2"))
        && (QTest::currentDataTag() == QLatin1String("no /dev/port") || Write(root, "port", {}));
}

LinuxPaths Paths(const QTemporaryDir& root)
{
    const auto path = [&](const char* name) { return root.filePath(name).toStdString(); };
    return {path("proc"), path("dev"), path("port"), path("ioports"), path("pci"), path("sys"), path("lock")};
}

} // namespace

class LinuxPortsTest : public QObject
{
    Q_OBJECT

private slots:
    void saysWhatServesTheAddress_data()
    {
        AddColumns<QString, bool, QByteArray, QString>("port", "rawIo", "ioports", "said");  // port: an address, or a device in the tree
        // Most rows: raw I/O allowed, on the PC with its cards.
        const auto row = [](const char* name, const char* port, const QString& said) { QTest::newRow(name) << port << true
                                                                                                           << kIoPorts << said; };
        const QString hint = QStringLiteral(
            "type a parallel port's base address: 888 (0x378), 632 (0x278) or 956 (0x3BC), or 57344 (0xE000) of the PCI parallel "
            "port 0000:05:00.0");
        const QString notParallel = "Refused|ROOT/port|ROOT/port: %1 is not a parallel port: not a standard base address, and no PCI "
                                    "parallel port decodes it|" + hint;
        const QString card = QStringLiteral("Refused|ROOT/port|ROOT/port: %1 lie in the I/O range %2 of the PCI parallel port "
                                            "0000:05:00.0, whose base address is 57344 (0xE000)|type 57344 to use that port");
        const QString ioctl = "ROOT/dev/parport%1: inappropriate ioctl for device|see the kernel's log (dmesg) for the parallel-port "
                              "driver's words";
        // The driver's ports: a plain file is no parallel port, so the claim fails with the driver's words.
        row("parport0, driver error", "888", "Unusable|ROOT/dev/parport0|" + ioctl.arg(0) + " [main board (parport_pc)]");
        row("parport1, printing", "632",
            "Unusable|ROOT/dev/parport1|ROOT/dev/parport1: in use by the printer driver (lp0)|a print job holds it: let it finish or "
            "cancel it; the panel takes the port as soon as it is free|busy");
        row("parport2, permission denied", "60416",
            "Unusable|ROOT/dev/parport2|ROOT/dev/parport2: permission denied|add your user to the lp group and log in again");
        // By device: the USB adapter (no base address), the PCI card; what is no parallel port's device.
        row("USB adapter", "/dev/parport3",
            "Unusable|ROOT/dev/parport3|" + ioctl.arg(3) + " [USB adapter 1293:0002 (uss720), about 1 ms per access]");
        row("PCI card by its base", "53264", "Unusable|ROOT/dev/parport4|" + ioctl.arg(4) + " [PCI card 9710:9865 (parport_pc)]");
        row("printer cable", "/dev/usb/lp0",
            "Unusable|ROOT/dev/usb/lp0|ROOT/dev/usb/lp0: a USB printer cable (usblp) only passes a stream of bytes on to a printer: "
            "it has no register to set and read back|use a USS720 or MCS7715 USB adapter (it shows as /dev/parportN), a PCI or "
            "PCIe parallel card, or the main board's port");
        row("adapter unplugged", "/dev/parport7",
            "Unusable|ROOT/dev/parport7|ROOT/dev/parport7: no such parallel port now (an adapter unplugged, or its driver not "
            "loaded)|plug the adapter in, or type a port that rfswitch-panel --list-ports lists; the panel takes it as soon as it "
            "is there");
        row("serial device", "/dev/ttyS0",
            "Refused||no parallel port device ROOT/dev/ttyS0|type a port's base address (e.g. 888) or its device (e.g. /dev/parport0); "
            "rfswitch-panel --list-ports lists them");
        // No port at the address: the ports there are, device-only ones with their device.
        QTest::newRow("no port there") << "1000" << false << kIoPorts
            << "Simulated|simulated port|no parallel port at 1000 (0x3E8); ROOT/dev/parport0 is at 888 (0x378), ROOT/dev/parport1 is at "
               "632 (0x278), ROOT/dev/parport2 is at 60416 (0xEC00), ROOT/dev/parport3 has no address (USB): type ROOT/dev/parport3, "
               "ROOT/dev/parport4 is at 53264 (0xD010)|type the base address, or the device, of the port the board is on";
        // Raw I/O, where no driver's port is: a PCI card at its port base only.
        row("PCI parallel card", "57344", "Real|ROOT/port||");
        row("PCI parallel card, base+1", "57345", card.arg("0xE001 to 0xE003", "0xE000 to 0xE007"));
        row("PCI parallel card, ECP", "58368", card.arg("0xE400 to 0xE402", "0xE400 to 0xE403"));
        row("PCI parallel card, past its BAR", "57350", card.arg("0xE006 to 0xE008", "0xE000 to 0xE007"));
        row("PCI serial card", "53248", notParallel.arg("53248 (0xD000)"));
        QTest::newRow("serial base, no serial driver") << "1016" << true << QByteArray("0000-0cf7 : PCI Bus 0000:00\n") << notParallel.arg("1016 (0x3F8)");
        row("one above parport0", "889",
            "Refused|ROOT/port|ROOT/port: 0x379 to 0x37B are registers of ROOT/dev/parport0 at 888 (0x378), which the parallel-port "
            "driver serves|type that port's base address to use it through its driver");
        row("parport0's base+3", "891", notParallel.arg("891 (0x37B)"));
        QTest::newRow("standard base, another driver's") << "956" << true << kIoPorts + "  03bc-03bf : snd_foo\n"
            << "Refused|ROOT/port|ROOT/port: 0x3BC to 0x3BE belong to snd_foo (ROOT/ioports: 03bc-03bf), not to a parallel port|" + hint;
        // /proc/ioports shows zeros to a user who is not root: no way to tell, so no.
        QTest::newRow("ioports without addresses") << "956" << true << QByteArray("0000-0000 : PCI Bus 0000:00\n  0000-0000 : serial\n")
            << "Refused|ROOT/port|ROOT/port: cannot tell which driver holds 0x3BC to 0x3BE: ROOT/ioports shows no addresses|use the "
               "port through its driver: have parport_pc and ppdev loaded (modprobe parport_pc ppdev)";
        // Two programs with raw I/O: the lock per address keeps the second off, as ppdev's claim does.
        row("raw I/O, held", "57344",
            "Unusable|ROOT/port|ROOT/port: in use by another program (process PID holds ROOT/lock/port-57344.lock)"
            "|held by another program: close it; the panel takes the port as soon as it is free|busy");
        row("raw I/O, held, then freed", "57344", "Real|ROOT/port||");
        row("raw I/O, held, another address", "956", "Real|ROOT/port||");
        // Where any user may write, anyone could hold a lock, or plant a link, that keeps raw I/O off.
        const QString lockRefused = QStringLiteral("Unusable|ROOT/port|ROOT/port: cannot lock the port (%1)|use the port through its "
                                                   "driver: have parport_pc and ppdev loaded (modprobe parport_pc ppdev)");
        row("raw I/O, lock folder open to all", "57344",
            lockRefused.arg("ROOT/lock: other users may write there; it must be root's alone"));
        row("raw I/O, lock folder a link", "57344", lockRefused.arg("ROOT/lock: not a folder"));
        row("raw I/O, lock file a link", "57344", lockRefused.arg("ROOT/lock/port-57344.lock: a symbolic link, not a lock file"));
        row("no /dev/port", "956",
            "Unusable|ROOT/port|ROOT/port: no such file or directory|use the port through its driver: have parport_pc and ppdev "
            "loaded (modprobe parport_pc ppdev)");
    }

    void saysWhatServesTheAddress()
    {
        const auto [port, rawIo, ioports] = Fetch<QString, bool, QByteArray>("port", "rawIo", "ioports");
        QTemporaryDir root;
        QVERIFY(MakeSystem(root, ioports));
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        const QString lock = root.filePath("lock");
        if (tag.endsWith(QLatin1String("lock folder a link")))
            QVERIFY(QDir(root.path()).mkdir("elsewhere") && QFile::link(root.filePath("elsewhere"), lock));
        else
            QVERIFY(QDir(root.path()).mkdir("lock"));
        if (tag.endsWith(QLatin1String("open to all")))
            QVERIFY(QFile::setPermissions(lock, QFileDevice::Permissions(0x7777)));
        if (tag.endsWith(QLatin1String("lock file a link")))
            QVERIFY(QFile::link(root.filePath("elsewhere"), lock + "/port-57344.lock"));
        PortLayer other(MakeLinuxBackends(Paths(root), rawIo)), layer(MakeLinuxBackends(Paths(root), rawIo));
        if (tag.startsWith(QLatin1String("raw I/O, held")))
            QCOMPARE(Said(other.Open(0xE000), {}, root), QLatin1String("Real|ROOT/port||"));
        PortStatus status = port.startsWith('/') ? layer.OpenDevice(root.path().toStdString() + port.toStdString())
                                                 : layer.Open(port.toInt());
        if (tag.endsWith(QLatin1String("then freed"))) {
            other.Close();
            status = layer.Refresh();
        }
        QTEST(Said(status, layer.Hardware(), root).replace(QStringLiteral("process %1 ").arg(getpid()), QLatin1String("process PID ")), "said");
    }

    // --list-ports and SYST:PORT:LIST?: every port, with what it is and whether it can be used.
    // Each port the list finds, with what to type for it and whether it can
    // be used, as --list-ports prints it and the panel's menu offers it.
    void listsEveryPort()
    {
        QTemporaryDir root;
        QVERIFY(MakeSystem(root, kIoPorts));
        QStringList found;
        for (const FoundPort& port : FindLinuxPorts(Paths(root)))
            found << QString::fromStdString(port.typed + (port.usable ? " + " : " - ") + port.line).replace(root.path(), QLatin1String("ROOT"));
        QCOMPARE(found, QStringList({
            "888 + ROOT/dev/parport0: base 888 (0x378); main board (parport_pc); modes PCSPP,TRISTATE; free; usable: --port 888",
            "632 + ROOT/dev/parport1: base 632 (0x278); hardware unknown; modes unknown; held by lp0; usable once lp0 lets go of it: "
            "--port 632",
            "60416 - ROOT/dev/parport2: base 60416 (0xEC00); hardware unknown; modes unknown; free; not usable: permission denied; "
            "add your user to the lp group and log in again",
            "ROOT/dev/parport3 + ROOT/dev/parport3: base none: USB; USB adapter 1293:0002 (uss720), about 1 ms per access; modes "
            "PCSPP,TRISTATE,COMPAT,EPP,ECP; free; usable: --port ROOT/dev/parport3",
            "53264 + ROOT/dev/parport4: base 53264 (0xD010); PCI card 9710:9865 (parport_pc); modes PCSPP,TRISTATE,EPP,ECP; free; "
            "usable: --port 53264",
            "ROOT/dev/usb/lp0 - ROOT/dev/usb/lp0: base none: USB; USB printer cable 067b:2305 (usblp); no parallel-port modes; not "
            "usable: a USB printer cable (usblp) only passes a stream of bytes on to a printer: it has no register to set and read "
            "back; use a USS720 or MCS7715 USB adapter (it shows as /dev/parportN), a PCI or PCIe parallel card, or the main "
            "board's port",
        }));
    }
};

QTEST_MAIN(LinuxPortsTest)
#include "tst_linuxports.moc"
