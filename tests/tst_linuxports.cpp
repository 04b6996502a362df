#include "LinuxBackends.h"
#include "Panel.h"
#include "PpdevPort.h"
#include "RawPort.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

// A machine's parallel ports as the kernel lists them, with its device
// directory and a stand-in for /dev/port (a plain file: offset = I/O address).
struct FakeMachine
{
    FakeMachine()
    {
        QDir(dir.path()).mkpath(QStringLiteral("proc/default"));
        QDir(dir.path()).mkpath(QStringLiteral("dev"));
        QFile(Raw()).open(QIODevice::WriteOnly);
    }

    void AddPort(int number, const QByteArray& baseAddr)
    {
        const QString port = Proc() + QStringLiteral("/parport%1").arg(number);
        QDir().mkpath(port);
        Write(port + QStringLiteral("/base-addr"), baseAddr);
    }

    static void Write(const QString& path, const QByteArray& bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    QString Proc() const { return dir.path() + QStringLiteral("/proc"); }
    QString Dev() const { return dir.path() + QStringLiteral("/dev"); }
    QString Raw() const { return dir.path() + QStringLiteral("/port"); }
    QByteArray RawBytes() const
    {
        QFile file(Raw());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
    }

    std::vector<std::unique_ptr<PortBackend>> Backends() const
    {
        return MakeLinuxBackends(Proc().toStdString(), Dev().toStdString(), Raw().toStdString());
    }

    QTemporaryDir dir;
};

enum class Device { Missing, Denied, NotAParport };

// Makes dev/parport0 fail to open (or claim) in the given way; false when
// this machine cannot produce that failure.
bool MakeDevice(const FakeMachine& machine, Device kind)
{
    const QString path = machine.Dev() + QStringLiteral("/parport0");
    switch (kind) {
    case Device::Missing:
        return true;
    case Device::NotAParport:
        FakeMachine::Write(path, {});
        return true;
    case Device::Denied:
        // Root opens any plain file; a read-only sysctl refuses even root.
        if (geteuid() == 0)
            return QFile::link(QStringLiteral("/proc/sys/kernel/osrelease"), path) && !QFile(path).open(QIODevice::ReadWrite);
        FakeMachine::Write(path, {});
        return QFile::setPermissions(path, {}) && !QFile(path).open(QIODevice::ReadWrite);
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Device)

class LinuxPortsTest : public QObject
{
    Q_OBJECT

private slots:
    void addressesMapToTheirPort_data();
    void addressesMapToTheirPort();
    void unreachablePortStaysSimulated_data();
    void unreachablePortStaysSimulated();
    void panelStatusSaysWhy_data();
    void panelStatusSaysWhy();
    void deviceThatAppearsIsTriedAtTheNextAccess();
    void rawRefusesAddressesOutsideTheRange_data();
    void rawRefusesAddressesOutsideTheRange();
    void rawReachesTheByteAtTheAddress_data();
    void rawReachesTheByteAtTheAddress();
};

void LinuxPortsTest::addressesMapToTheirPort_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("device");

    QTest::newRow("data") << 888 << "parport0";
    QTest::newRow("status") << 889 << "parport0";
    QTest::newRow("control") << 890 << "parport0";
    QTest::newRow("past control") << 891 << "";
    QTest::newRow("below base") << 887 << "";
    QTest::newRow("second port data") << 632 << "parport1";
    QTest::newRow("second port control") << 634 << "parport1";
    QTest::newRow("monochrome adapter's port") << 956 << "";
    QTest::newRow("zero") << 0 << "";
    QTest::newRow("negative") << -1 << "";
}

void LinuxPortsTest::addressesMapToTheirPort()
{
    QFETCH(int, address);
    QFETCH(QString, device);

    FakeMachine machine;
    // As the kernel writes them: the base, then the ECP registers' base or 0.
    machine.AddPort(1, "632\t0\n");
    machine.AddPort(0, "888\t1912\n");
    PpdevPort ppdev(machine.Proc().toStdString(), machine.Dev().toStdString());

    const QString expected = device.isEmpty() ? QString() : machine.Dev() + "/" + device;
    QCOMPARE(QString::fromStdString(ppdev.Describe(address)), expected);
    QCOMPARE(ppdev.Owns(address), !device.isEmpty());
    if (device.isEmpty()) {
        std::string why;
        QVERIFY(!ppdev.Serves(address, why));
        QCOMPARE(QString::fromStdString(why),
                 "no parallel port at this address; " + machine.Dev() + "/parport0 is at 888 (0x378), " + machine.Dev()
                     + "/parport1 is at 632 (0x278)");
    }
}

void LinuxPortsTest::unreachablePortStaysSimulated_data()
{
    QTest::addColumn<Device>("device");
    QTest::addColumn<QString>("words");

    QTest::newRow("missing") << Device::Missing << "not found; load the ppdev module";
    QTest::newRow("permission denied") << Device::Denied << "permission denied; add your user to the lp group";
    QTest::newRow("not a parallel port") << Device::NotAParport << "inappropriate ioctl for device";
}

void LinuxPortsTest::unreachablePortStaysSimulated()
{
    QFETCH(Device, device);
    QFETCH(QString, words);

    FakeMachine machine;
    machine.AddPort(0, "888\t1912\n");
    if (!MakeDevice(machine, device))
        QSKIP("this machine cannot make that device fail");
    PortLayer layer(machine.Backends());

    for (int address : {888, 890}) {
        QCOMPARE(QString::fromStdString(layer.Describe(address)),
                 QString::fromUtf8("simulated \u2014 ") + machine.Dev() + "/parport0: " + words);
        QVERIFY(layer.IsSimulated(address));
        layer.PortOut(address, 0x5A);
        QCOMPARE(int(layer.PortIn(address)), 0x5A);
    }
    // The port is the driver's: raw I/O never takes it over.
    QVERIFY(machine.RawBytes().isEmpty());
}

void LinuxPortsTest::panelStatusSaysWhy_data()
{
    QTest::addColumn<bool>("withPort");
    QTest::addColumn<QString>("status");

    QTest::newRow("no permission")
        << true << "Port 888 (0x378): simulated \u2014 %1/parport0: permission denied; add your user to the lp group";
    QTest::newRow("no parallel port") << false << "Port 888 (0x378): simulated \u2014 no parallel port found";
}

void LinuxPortsTest::panelStatusSaysWhy()
{
    QFETCH(bool, withPort);
    QFETCH(QString, status);

    FakeMachine machine;
    if (withPort) {
        machine.AddPort(0, "888\t1912\n");
        if (!MakeDevice(machine, Device::Denied))
            QSKIP("this machine cannot make the device refuse permission");
    } else {
        QVERIFY(QFile::remove(machine.Raw()));  // nor raw I/O
    }
    PortLayer layer(machine.Backends());
    Panel panel;
    ScopedPorts use(layer);
    QVERIFY(panel.Show());

    QCOMPARE(panel.Find<QLabel>(QStringLiteral("PortStatus"))->text(), status.replace(QLatin1String("%1"), machine.Dev()));
    QVERIFY(panel.messages.isEmpty());
}

void LinuxPortsTest::deviceThatAppearsIsTriedAtTheNextAccess()
{
    FakeMachine machine;
    machine.AddPort(0, "888\t1912\n");
    PortLayer layer(machine.Backends());
    const QString simulated = QString::fromUtf8("simulated \u2014 ") + machine.Dev() + "/parport0: ";
    QCOMPARE(QString::fromStdString(layer.Describe(888)), simulated + "not found; load the ppdev module");

    // e.g. the user has just loaded the driver
    QVERIFY(MakeDevice(machine, Device::NotAParport));
    QCOMPARE(QString::fromStdString(layer.Describe(888)), simulated + "inappropriate ioctl for device");
}

void LinuxPortsTest::rawRefusesAddressesOutsideTheRange_data()
{
    QTest::addColumn<int>("address");

    QTest::newRow("keyboard controller") << 0x60;
    QTest::newRow("last system-board address") << 0xFF;
    QTest::newRow("past the I/O space") << 0x10000;
    QTest::newRow("negative") << -1;
}

void LinuxPortsTest::rawRefusesAddressesOutsideTheRange()
{
    QFETCH(int, address);

    FakeMachine machine;
    RawPort raw(machine.Raw().toStdString());
    std::string why;
    QVERIFY(!raw.Serves(address, why));
    QVERIFY2(QString::fromStdString(why).contains(QLatin1String("refusing")), why.c_str());
    QVERIFY_THROWS_EXCEPTION(PortError, raw.PortOut(address, 0x5A));
    QVERIFY_THROWS_EXCEPTION(PortError, raw.PortIn(address));
    QVERIFY(machine.RawBytes().isEmpty());

    RawPort absent((machine.Dev() + "/port").toStdString());
    QVERIFY(!absent.Serves(0x378, why));
    QCOMPARE(QString::fromStdString(why), machine.Dev() + "/port: not found");
}

void LinuxPortsTest::rawReachesTheByteAtTheAddress_data()
{
    QTest::addColumn<int>("address");

    QTest::newRow("first allowed") << 0x100;
    QTest::newRow("lpt1") << 0x378;
    QTest::newRow("last allowed") << 0xFFFF;
}

void LinuxPortsTest::rawReachesTheByteAtTheAddress()
{
    QFETCH(int, address);

    FakeMachine machine;
    QByteArray memory(0x10000, '\0');
    memory[address] = '\xC3';
    FakeMachine::Write(machine.Raw(), memory);
    RawPort raw(machine.Raw().toStdString());

    std::string why;
    QVERIFY2(raw.Serves(address, why), why.c_str());
    QCOMPARE(QString::fromStdString(raw.Describe(address)), machine.Raw());
    QCOMPARE(int(raw.PortIn(address)), 0xC3);
    raw.PortOut(address, 0x5A);
    memory[address] = '\x5A';
    QCOMPARE(machine.RawBytes(), memory);
}

QTEST_MAIN(LinuxPortsTest)
#include "tst_linuxports.moc"
