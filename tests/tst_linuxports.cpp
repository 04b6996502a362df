// Linux's backends against a stand-in system in a temporary tree: the kernel's
// port table (/proc/sys/dev/parport), /proc/ioports, a sysfs PCI tree, a
// device directory and a plain file standing in for /dev/port (offset = I/O
// address). The real driver is exercised by the QEMU test.
#include "LinuxBackends.h"
#include "PpdevPort.h"
#include "RawPort.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kIoSpace = 0x10000;

// A PC as QEMU's: serial at 0x3F8, PCI configuration at 0xCF8, ACPI at 0x600,
// the parallel port at 0x378 held by parport_pc.
const QByteArray kIoPorts = "0000-0cf7 : PCI Bus 0000:00\n"
                            "  0000-001f : dma1\n"
                            "  0060-0060 : keyboard\n"
                            "  0378-037a : parport0\n"
                            "  03c0-03df : vga+\n"
                            "  03e8-03ef : serial\n"
                            "  03f8-03ff : serial\n"
                            "0cf8-0cff : PCI conf1\n"
                            "0d00-ffff : PCI Bus 0000:00\n"
                            "  0600-063f : 0000:00:01.3\n"
                            "    0600-0603 : ACPI PM1a_EVT_BLK\n"
                            "    0604-0605 : ACPI PM1a_CNT_BLK\n"
                            "  c000-c03f : 0000:00:03.0\n"
                            "    c000-c03f : e1000\n"
                            "  e000-e007 : 0000:05:00.0\n"
                            "  e400-e403 : 0000:05:00.0\n"
                            "  d000-d007 : 0000:06:00.0\n"
                            "    d000-d007 : serial\n";

struct FakeMachine
{
    FakeMachine()
    {
        Write("port", QByteArray(kIoSpace, '\0'));
        Write("ioports", kIoPorts);
        QDir().mkpath(Path("proc"));
        QDir().mkpath(Path("dev"));
        QDir().mkpath(Path("pci"));
        // A PCI parallel card (class 0x0701) with I/O BARs at 0xE000 and 0xE400,
        // and a PCI serial card (class 0x0700) at 0xD000.
        Write("pci/0000:05:00.0/class", "0x070102\n");
        Write("pci/0000:05:00.0/resource", "0x000000000000e000 0x000000000000e007 0x0000000000040101\n"
                                           "0x000000000000e400 0x000000000000e403 0x0000000000040101\n"
                                           "0x00000000fe000000 0x00000000fe000fff 0x0000000000040200\n");
        Write("pci/0000:06:00.0/class", "0x070002\n");
        Write("pci/0000:06:00.0/resource", "0x000000000000d000 0x000000000000d007 0x0000000000040101\n");
    }
    QString Path(const QString& name) const { return dir.path() + u'/' + name; }
    std::string Std(const QString& name) const { return Path(name).toStdString(); }
    bool Write(const QString& name, const QByteArray& bytes) const
    {
        QFile file(Path(name));
        return QDir().mkpath(Path(name).section(u'/', 0, -2)) && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    // parportN at `base`, as the kernel lists it: the base, then the ECP registers' base or 0.
    bool AddPort(int number, int base, const QByteArray& active = "none\n") const
    {
        const QString dir = QStringLiteral("proc/parport%1/").arg(number);
        return Write(dir + "base-addr", QByteArray::number(base) + '\t' + QByteArray::number(base == 888 ? 1912 : 0) + '\n')
            && Write(dir + "devices/active", active);
    }
    QByteArray Raw() const
    {
        QFile file(Path("port"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The addresses whose byte in the stand-in /dev/port is no longer 0.
    QList<int> Touched() const
    {
        const QByteArray raw = Raw();
        QList<int> touched;
        for (int i = 0; i < raw.size(); ++i)
            if (raw[i] != '\0')
                touched << i;
        return touched;
    }
    LinuxPaths Paths() const { return {Std("proc"), Std("dev"), Std("port"), Std("ioports"), Std("pci")}; }
    QTemporaryDir dir;
};

QString Q(const std::string& text) { return QString::fromStdString(text); }

template <typename Access>
QString ErrorOf(Access access)
{
    try { access(); } catch (const PortError& e) { return Q(e.what()); }
    return {};
}

// "Unusable|DEV/parport0|reason|next step|busy", with the tree's path as ROOT.
QString Said(const PortStatus& status, const FakeMachine& machine)
{
    static const char* const reaches[] = {"Real", "Unusable", "Absent", "Refused"};
    QString said = QStringList{reaches[int(status.reach)], Q(status.device), Q(status.reason), Q(status.nextStep)}.join(u'|')
        + (status.busy ? "|busy" : "");
    return said.replace(machine.dir.path(), QLatin1String("ROOT"));
}

} // namespace

class LinuxPortsTest : public QObject
{
    Q_OBJECT

private slots:
    // Only a port's exact base address is served; the table is read at Open().
    void ppdevServesExactBases_data()
    {
        QTest::addColumn<int>("base");
        QTest::addColumn<QString>("said");
        const QString elsewhere = QStringLiteral(
            "Absent||no parallel port at %1; ROOT/dev/parport0 is at 888 (0x378), ROOT/dev/parport1 is at 632 (0x278)"
            "|type the base address of the port the board is on");
        const QString notLoaded = QStringLiteral("Unusable|ROOT/dev/parport%1|ROOT/dev/parport%1: not found: the ppdev module is not "
                                                 "loaded|have the ppdev module loaded (modprobe ppdev)");
        QTest::newRow("first port") << 888 << notLoaded.arg(0);
        QTest::newRow("second port") << 632 << notLoaded.arg(1);
        QTest::newRow("its status register") << 889 << elsewhere.arg("889 (0x379)");
        QTest::newRow("its control register") << 890 << elsewhere.arg("890 (0x37A)");
        QTest::newRow("below its base") << 887 << elsewhere.arg("887 (0x377)");
        QTest::newRow("its ECP registers") << 1912 << elsewhere.arg("1912 (0x778)");
    }

    void ppdevServesExactBases()
    {
        QFETCH(int, base);
        FakeMachine machine;
        PpdevPort ppdev(machine.Std("proc"), machine.Std("dev"));
        // Ports that come after the backend was made are found.
        QVERIFY(machine.AddPort(1, 632) && machine.AddPort(0, 888));
        QTEST(Said(ppdev.Open(base), machine), "said");
        QVERIFY(!ppdev.Claimed());
        QVERIFY(ErrorOf([&] { ppdev.PortOut(base, 1); }).size() > 0);
    }

    void ppdevStates_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("said");
        QTest::newRow("no port at all") << "none" << "Absent||no parallel port found|have the parallel-port drivers loaded (modprobe parport_pc ppdev)";
        QTest::newRow("permission denied") << "denied"
            << "Unusable|ROOT/dev/parport0|ROOT/dev/parport0: permission denied|add your user to the lp group and log in again";
        QTest::newRow("another program holds it") << "held"
            << "Unusable|ROOT/dev/parport0|ROOT/dev/parport0: in use by another program (ppdev0)|held by another program: close it; "
               "the panel takes the port as soon as it is free|busy";
        QTest::newRow("printing") << "printing"
            << "Unusable|ROOT/dev/parport0|ROOT/dev/parport0: in use by the printer driver (lp0)|a print job holds it: let it finish or "
               "cancel it; the panel takes the port as soon as it is free|busy";
        // A plain file is no parallel port: the claim fails with the driver's words.
        QTest::newRow("driver error") << "file"
            << "Unusable|ROOT/dev/parport0|ROOT/dev/parport0: inappropriate ioctl for device|see the kernel's log (dmesg) for the "
               "parallel-port driver's words";
    }

    void ppdevStates()
    {
        QFETCH(QString, setup);
        FakeMachine machine;
        if (setup != "none")
            QVERIFY(machine.AddPort(0, 888, setup == "held" ? "ppdev0\n" : setup == "printing" ? "lp0\n" : "none\n"));
        // A read-only sysctl refuses even root.
        if (setup == "denied")
            QVERIFY(QFile::link("/proc/sys/kernel/osrelease", machine.Path("dev/parport0")));
        else
            QVERIFY(machine.Write("dev/parport0", {}));
        PpdevPort ppdev(machine.Std("proc"), machine.Std("dev"));
        QTEST(Said(ppdev.Open(888), machine), "said");
        QCOMPARE(ErrorOf([&] { ppdev.PortOut(888, 1); }), Q(ppdev.Refresh().reason.empty() ? "no parallel port opened" : ppdev.Refresh().reason));
    }

    // Gone: Absent, saying where the ports are; back under another number: found again.
    void ppdevFollowsTheTable()
    {
        FakeMachine machine;
        QVERIFY(machine.AddPort(0, 888, "ppdev0\n") && machine.AddPort(1, 632, "ppdev1\n"));
        QVERIFY(machine.Write("dev/parport0", {}) && machine.Write("dev/parport2", {}));
        PpdevPort ppdev(machine.Std("proc"), machine.Std("dev"));
        QCOMPARE(Q(ppdev.Open(888).device), machine.Path("dev/parport0"));
        QVERIFY(QDir(machine.Path("proc/parport0")).removeRecursively());
        QCOMPARE(Said(ppdev.Refresh(), machine),
                 QStringLiteral("Absent||no parallel port at 888 (0x378); ROOT/dev/parport1 is at 632 (0x278)|type the base address of the port the board is on"));
        QVERIFY(machine.AddPort(2, 888, "ppdev2\n"));
        QCOMPARE(Q(ppdev.Refresh().device), machine.Path("dev/parport2"));
        ppdev.Close();
        QCOMPARE(ppdev.Refresh().reach, PortReach::Absent);
    }

    void rawServesOnlyParallelPorts_data()
    {
        QTest::addColumn<int>("base");
        QTest::addColumn<QString>("said");
        const QString notParallel = QStringLiteral(
            "Refused|ROOT/port|ROOT/port: %1 is not a parallel port: not a standard base address, and no PCI parallel port decodes it"
            "|type a parallel port's base address: 888 (0x378), 632 (0x278) or 956 (0x3BC), or 57344 (0xE000) of the PCI parallel "
            "port 0000:05:00.0, or 58368 (0xE400) of the PCI parallel port 0000:05:00.0");
        QTest::newRow("standard 0x278") << 0x278 << "Real|ROOT/port||";
        QTest::newRow("standard 0x3BC") << 0x3BC << "Real|ROOT/port||";
        QTest::newRow("PCI parallel card") << 0xE000 << "Real|ROOT/port||";
        QTest::newRow("PCI parallel card, ECP") << 0xE401 << "Real|ROOT/port||";
        QTest::newRow("PCI parallel card, past its BAR") << 0xE006 << notParallel.arg("57350 (0xE006)");
        QTest::newRow("COM1") << 0x3F8 << notParallel.arg("1016 (0x3F8)");
        QTest::newRow("COM3, 1e3") << 1000 << notParallel.arg("1000 (0x3E8)");
        QTest::newRow("PCI configuration data") << 3324 << notParallel.arg("3324 (0xCFC)");
        QTest::newRow("ACPI") << 1540 << notParallel.arg("1540 (0x604)");
        QTest::newRow("PCI serial card") << 0xD000 << notParallel.arg("53248 (0xD000)");
        QTest::newRow("system board") << 0x60 << notParallel.arg("96 (0x60)");
        QTest::newRow("driver's status register") << 0x379
            << "Refused|ROOT/port|ROOT/port: 0x379 to 0x37B are registers of ROOT/dev/parport0 at 888 (0x378), which the parallel-port "
               "driver serves|type that port's base address to use it through its driver";
    }

    void rawServesOnlyParallelPorts()
    {
        QFETCH(int, base);
        FakeMachine machine;
        QVERIFY(machine.AddPort(0, 888));
        PpdevPort ppdev(machine.Std("proc"), machine.Std("dev"));
        RawPort raw({machine.Std("port"), machine.Std("ioports"), machine.Std("pci")},
                    [&](std::int32_t at) { return ppdev.OwnerOf(at); });
        const PortStatus status = raw.Open(base);
        QTEST(Said(status, machine), "said");
        QList<int> written;
        for (int port = base - 1; port <= base + 3; ++port) {
            const QString error = ErrorOf([&] { raw.PortOut(port, 0x5A); });
            if (error.isEmpty()) {
                written << port;
                QCOMPARE(int(raw.PortIn(port)), 0x5A);
            }
        }
        // Only the three registers, and only of a port raw I/O may serve.
        const QList<int> registers = status.reach == PortReach::Real ? QList<int>{base, base + 1, base + 2} : QList<int>();
        QCOMPARE(written, registers);
        QCOMPARE(machine.Touched(), written);
    }

    // A standard base that /proc/ioports gives to another driver is not a parallel port here.
    void rawRefusesForeignHolders()
    {
        FakeMachine machine;
        QVERIFY(machine.Write("ioports", kIoPorts + "  0278-027f : snd_foo\n"));
        PortLayer layer(MakeLinuxBackends(machine.Paths(), true));
        QCOMPARE(Said(layer.Open(632), machine).section(u'|', 0, 2),
                 QStringLiteral("Refused|ROOT/port|ROOT/port: 0x278 to 0x27A belong to snd_foo (ROOT/ioports: 0278-027f), not to a parallel port"));
        // /proc/ioports shows zeros to a user who is not root: no way to tell, so no.
        QVERIFY(machine.Write("ioports", "0000-0000 : PCI Bus 0000:00\n  0000-0000 : parport0\n  0000-0000 : serial\n"));
        QCOMPARE(layer.Open(888).reach, PortReach::Refused);
        QVERIFY(QFile::remove(machine.Path("ioports")));
        QCOMPARE(Said(layer.Open(888), machine).section(u'|', 0, 2),
                 QStringLiteral("Refused|ROOT/port|ROOT/port: cannot tell which driver holds 0x378 to 0x37A: ROOT/ioports shows no addresses"));
        QVERIFY(machine.Touched().isEmpty());
    }

    // /dev/port that cannot be opened: the port is there but unusable.
    void rawDeviceUnusable()
    {
        FakeMachine machine;
        LinuxPaths paths = machine.Paths();
        paths.rawDevice = "/proc/sys/kernel/osrelease";
        PortLayer layer(MakeLinuxBackends(paths, true));
        const PortStatus status = layer.Open(888);
        QCOMPARE(status.reach, PortReach::Unusable);
        QCOMPARE(Q(status.reason), QStringLiteral("/proc/sys/kernel/osrelease: permission denied"));
        QCOMPARE(Q(status.nextStep), QStringLiteral("use the port through its driver: have parport_pc and ppdev loaded (modprobe parport_pc ppdev)"));
    }
};

QTEST_MAIN(LinuxPortsTest)
#include "tst_linuxports.moc"
