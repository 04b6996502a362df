// Linux's backends where the real drivers cannot go (the QEMU test drives
// those): a stand-in system in a temporary tree, with the kernel's port table
// (/proc/sys/dev/parport), /proc/ioports, a sysfs PCI tree, a device directory
// and a plain file standing in for /dev/port (offset = I/O address).
#include "LinuxBackends.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

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

// "Unusable|DEV/parport0|reason|next step|busy", with the tree's path as ROOT.
QString Said(const PortStatus& status, const QTemporaryDir& root)
{
    static const char* const reaches[] = {"Real", "Unusable", "Absent", "Refused", "Simulated"};
    const std::string said = std::string(reaches[int(status.reach)]) + '|' + status.device + '|' + status.reason + '|' + status.nextStep;
    return QString::fromStdString(said).replace(root.path(), QLatin1String("ROOT")) + (status.busy ? "|busy" : "");
}

} // namespace

class LinuxPortsTest : public QObject
{
    Q_OBJECT

private slots:
    void saysWhatServesTheAddress_data()
    {
        QTest::addColumn<int>("base");
        QTest::addColumn<QByteArray>("ioports");
        QTest::addColumn<QString>("said");
        const QString notParallel = QStringLiteral(
            "Refused|ROOT/port|ROOT/port: %1 is not a parallel port: not a standard base address, and no PCI parallel port decodes it"
            "|type a parallel port's base address: 888 (0x378), 632 (0x278) or 956 (0x3BC), or 57344 (0xE000) of the PCI parallel "
            "port 0000:05:00.0, or 58368 (0xE400) of the PCI parallel port 0000:05:00.0");
        // The driver's ports: a plain file is no parallel port, so the claim fails with the driver's words.
        QTest::newRow("parport0, driver error") << 888 << kIoPorts
            << "Unusable|ROOT/dev/parport0|ROOT/dev/parport0: inappropriate ioctl for device|see the kernel's log (dmesg) for the "
               "parallel-port driver's words";
        QTest::newRow("parport1, printing") << 632 << kIoPorts
            << "Unusable|ROOT/dev/parport1|ROOT/dev/parport1: in use by the printer driver (lp0)|a print job holds it: let it finish or "
               "cancel it; the panel takes the port as soon as it is free|busy";
        QTest::newRow("parport2, permission denied") << 0xEC00 << kIoPorts
            << "Unusable|ROOT/dev/parport2|ROOT/dev/parport2: permission denied|add your user to the lp group and log in again";
        // Raw I/O, where no driver's port is.
        QTest::newRow("PCI parallel card") << 0xE000 << kIoPorts << "Real|ROOT/port||";
        QTest::newRow("PCI parallel card, ECP") << 0xE401 << kIoPorts << "Real|ROOT/port||";
        QTest::newRow("PCI parallel card, past its BAR") << 0xE006 << kIoPorts << notParallel.arg("57350 (0xE006)");
        QTest::newRow("PCI serial card") << 0xD000 << kIoPorts << notParallel.arg("53248 (0xD000)");
        QTest::newRow("standard base, another driver's") << 0x3BC << kIoPorts + "  03bc-03bf : snd_foo\n"
            << "Refused|ROOT/port|ROOT/port: 0x3BC to 0x3BE belong to snd_foo (ROOT/ioports: 03bc-03bf), not to a parallel port|"
                + notParallel.section(u'|', 3);
        // /proc/ioports shows zeros to a user who is not root: no way to tell, so no.
        QTest::newRow("ioports without addresses") << 0x3BC << QByteArray("0000-0000 : PCI Bus 0000:00\n  0000-0000 : serial\n")
            << "Refused|ROOT/port|ROOT/port: cannot tell which driver holds 0x3BC to 0x3BE: ROOT/ioports shows no addresses|use the "
               "port through its driver: have parport_pc and ppdev loaded (modprobe parport_pc ppdev)";
        // Two programs with raw I/O: the lock per address keeps the second off, as ppdev's claim does.
        QTest::newRow("raw I/O, held") << 0xE000 << kIoPorts
            << "Unusable|ROOT/port|ROOT/port: in use by another program (process PID holds ROOT/lock/rfswitch-panel-raw-57344.lock)"
               "|held by another program: close it; the panel takes the port as soon as it is free|busy";
        QTest::newRow("raw I/O, held, then freed") << 0xE000 << kIoPorts << "Real|ROOT/port||";
        QTest::newRow("raw I/O, held, another address") << 0x3BC << kIoPorts << "Real|ROOT/port||";
        QTest::newRow("no /dev/port") << 0x3BC << kIoPorts
            << "Unusable|ROOT/port|ROOT/port: no such file or directory|use the port through its driver: have parport_pc and ppdev "
               "loaded (modprobe parport_pc ppdev)";
    }

    void saysWhatServesTheAddress()
    {
        QFETCH(int, base);
        QFETCH(QByteArray, ioports);
        QTemporaryDir root;
        const auto write = [&](const QString& name, const QByteArray& bytes) {
            QFile file(root.filePath(name));
            return QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
        };
        // The driver's ports, each with its device file; parport2's cannot be opened (a read-only sysctl refuses even root).
        for (const auto& [number, at, active] : {std::tuple{0, "888", "none"}, std::tuple{1, "632", "lp0"}, std::tuple{2, "60416", "none"}})
            QVERIFY(write(QStringLiteral("proc/parport%1/base-addr").arg(number), at) && write(QStringLiteral("dev/parport%1").arg(number), {})
                    && write(QStringLiteral("proc/parport%1/devices/active").arg(number), active));
        QVERIFY(QFile::remove(root.filePath("dev/parport2")) && QFile::link("/proc/sys/kernel/osrelease", root.filePath("dev/parport2")));
        QVERIFY(write("ioports", ioports) && write("pci/0000:05:00.0/class", "0x070102\n")
                && write("pci/0000:06:00.0/class", "0x070002\n"));
        QVERIFY(write("pci/0000:05:00.0/resource", "0x000000000000e000 0x000000000000e007 0x0000000000040101\n"
                                                   "0x000000000000e400 0x000000000000e403 0x0000000000040101\n"
                                                   "0x00000000fe000000 0x00000000fe000fff 0x0000000000040200\n")
                && write("pci/0000:06:00.0/resource", "0x000000000000d000 0x000000000000d007 0x0000000000040101\n"));
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        if (tag != QLatin1String("no /dev/port"))
            QVERIFY(write("port", {}));
        QVERIFY(QDir(root.path()).mkdir("lock"));
        const auto path = [&](const char* name) { return root.filePath(name).toStdString(); };
        const LinuxPaths paths{path("proc"), path("dev"), path("port"), path("ioports"), path("pci"), path("lock")};
        PortLayer other(MakeLinuxBackends(paths, true)), layer(MakeLinuxBackends(paths, true));
        if (tag.startsWith(QLatin1String("raw I/O, held")))
            QCOMPARE(Said(other.Open(0xE000), root), QLatin1String("Real|ROOT/port||"));
        PortStatus said = layer.Open(base);
        if (tag.endsWith(QLatin1String("then freed"))) {
            other.Close();
            said = layer.Refresh();
        }
        QTEST(Said(said, root).replace(QStringLiteral("process %1 ").arg(getpid()), QLatin1String("process PID ")), "said");
    }
};

QTEST_MAIN(LinuxPortsTest)
#include "tst_linuxports.moc"
