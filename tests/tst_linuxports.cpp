#include "LinuxBackends.h"
#include "Panel.h"
#include "PpdevPort.h"
#include "RawPort.h"

#include <QDir>
#include <QTemporaryDir>

enum class Device { NoPort, Missing, Denied, NotAParport };

// The kernel's list of parallel ports, a device directory and a plain file
// standing in for /dev/port (offset = I/O address), in a temporary tree.
struct FakeMachine
{
    explicit FakeMachine(const QByteArray& raw = {}) { Write("port", raw); }
    QString Path(const QString& name) const { return dir.path() + u'/' + name; }
    bool Write(const QString& name, const QByteArray& bytes) const
    {
        QFile file(Path(name));
        return QDir().mkpath(Path(name).section(u'/', 0, -2)) && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    QByteArray Raw() const
    {
        QFile file(Path("port"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QTemporaryDir dir;
};

Q_DECLARE_METATYPE(Device)

class LinuxPortsTest : public QObject
{
    Q_OBJECT

private slots:
    void addressesMapToTheirPort_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QString>("device");
        QTest::newRow("data") << 888 << "parport0";
        QTest::newRow("control") << 890 << "parport0";
        QTest::newRow("past control") << 891 << "";
        QTest::newRow("below base") << 887 << "";
        QTest::newRow("second port") << 632 << "parport1";
    }

    void addressesMapToTheirPort()
    {
        QFETCH(int, address);
        QFETCH(QString, device);
        FakeMachine machine;
        // As the kernel writes them: the base, then the ECP registers' base or 0.
        QVERIFY(machine.Write("proc/parport1/base-addr", "632\t0\n") && machine.Write("proc/parport0/base-addr", "888\t1912\n"));
        const QString dev = machine.Path("dev");
        PpdevPort ppdev(machine.Path("proc").toStdString(), dev.toStdString());
        std::string why;

        QCOMPARE(QString::fromStdString(ppdev.Describe(address)), device.isEmpty() ? device : dev + u'/' + device);
        QVERIFY(!ppdev.Serves(address, why));  // no device files
        QCOMPARE(QString::fromStdString(why),
                 device.isEmpty() ? QStringLiteral("no parallel port at this address; %1/parport0 is at 888 (0x378), %1/parport1 is at 632 (0x278)").arg(dev)
                                  : dev + u'/' + device + QStringLiteral(": not found; load the ppdev module"));
    }

    void statusSaysWhy_data()
    {
        QTest::addColumn<Device>("device");
        QTest::addColumn<QString>("why");
        QTest::newRow("no parallel port") << Device::NoPort << "no parallel port found";
        QTest::newRow("ppdev not loaded") << Device::Missing << "DEV/parport0: not found; load the ppdev module";
        QTest::newRow("permission denied") << Device::Denied << "DEV/parport0: permission denied; add your user to the lp group";
        QTest::newRow("not a parallel port") << Device::NotAParport << "DEV/parport0: inappropriate ioctl for device";
    }

    void statusSaysWhy()
    {
        QFETCH(Device, device);
        QFETCH(QString, why);
        FakeMachine machine;
        // No port listed: no raw I/O either.
        QVERIFY(device == Device::NoPort ? QFile::remove(machine.Path("port")) : machine.Write("proc/parport0/base-addr", "888\t1912\n"));
        // A plain file is no parallel port; a read-only sysctl refuses even root.
        if (device >= Device::Denied)
            QVERIFY(device == Device::NotAParport ? machine.Write("dev/parport0", {})
                                                  : QDir().mkpath(machine.Path("dev")) && QFile::link("/proc/sys/kernel/osrelease", machine.Path("dev/parport0")));
        PortLayer layer(MakeLinuxBackends(machine.Path("proc").toStdString(), machine.Path("dev").toStdString(), machine.Path("port").toStdString()));
        Panel panel;
        ScopedPorts use(layer);
        QVERIFY(panel.Show());

        // Exact, so a write that failed on the simulated port would show here too.
        QCOMPARE(panel.Status()->text(), QString::fromUtf8("Port 888 (0x378): simulated \u2014 ") + why.replace(QLatin1String("DEV"), machine.Path("dev")));
        QVERIFY(panel.messages.isEmpty());
        // The driver's port stays the driver's: raw I/O never takes it over.
        QCOMPARE(machine.Raw(), QByteArray());
    }

    void rawGuardsTheRange_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("last system-board address") << 0xFF << false;
        QTest::newRow("first allowed") << 0x100 << true;
        QTest::newRow("last allowed") << 0xFFFF << true;
        QTest::newRow("past the I/O space") << 0x10000 << false;
    }

    void rawGuardsTheRange()
    {
        QFETCH(int, address);
        QFETCH(bool, allowed);
        QByteArray memory(0x10000, '\0');
        FakeMachine machine(memory);
        RawPort raw(machine.Path("port").toStdString());
        std::string why;

        QCOMPARE(raw.Serves(address, why), allowed);
        try {
            raw.PortOut(address, 0x5A);
            QCOMPARE(int(raw.PortIn(address)), 0x5A);
            QVERIFY2(allowed, "not refused");
            memory[address] = '\x5A';
        } catch (const PortError& error) {
            QVERIFY2(!allowed && QByteArray(error.what()).contains("refusing"), error.what());
        }
        QCOMPARE(machine.Raw(), memory);
    }
};

QTEST_MAIN(LinuxPortsTest)
#include "tst_linuxports.moc"
