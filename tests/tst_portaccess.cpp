#include "FakePort.h"
#include "PortAccess.h"
#include "PortLayer.h"
#include "SimulatedPort.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <ctime>

using namespace Qt::StringLiterals;

namespace {

template <typename Access>
QString ErrorOf(Access access)
{
    try { access(); } catch (const PortError& e) { return QString::fromStdString(e.what()); }
    return {};
}

} // namespace

class PortAccessTest : public QObject
{
    Q_OBJECT

private slots:
    // 110 attempts; the last nine pause 50 ms between write and read-back,
    // dispatching events without spinning.
    void writeThatNeverReadsBack()
    {
        FakePort fake;
        fake.stuckRead = 0xC0;
        // Each pause leaves an event behind that notes how far the port had got once it is dispatched.
        QList<int> pausedAt, dispatchedAt;
        QObject context;
        QElapsedTimer clock;
        clock.start();
        const std::clock_t cpuStart = std::clock();
        const VerifiedWrite result = WriteVerified(888, 0x5A, [&] {
            pausedAt << int(fake.accesses.size());
            QTimer::singleShot(0, &context, [&] { dispatchedAt << int(fake.accesses.size()); });
        }, fake);
        const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;

        QVERIFY(!result);
        QCOMPARE(fake.Take(), u"w888:5a r888:c0 "_s.repeated(110).trimmed());
        const QList<int> pauses{203, 205, 207, 209, 211, 213, 215, 217, 219};
        QCOMPARE(pausedAt, pauses);
        QCOMPARE(dispatchedAt, pauses);
        QVERIFY(clock.elapsed() >= 450);
        QVERIFY2(cpu < 0.5 * clock.elapsed() / 1000.0, qPrintable(u"%1 s of CPU"_s.arg(cpu)));
        // No wait at all dispatches nothing.
        bool dispatched = false;
        QTimer::singleShot(0, &context, [&] { dispatched = true; });
        Delay(0);
        Delay(-5);
        QVERIFY(!dispatched);
    }

    // Bytes only, both ways: 0x80 reads as 128; 256 and -1 are never written.
    void bytesOnly()
    {
        FakePort fake;
        const ScopedPorts use(fake);
        fake.latched[888] = 0x80;
        QCOMPARE(ReadPort(888), 128);
        QVERIFY(!WriteVerified(888, 256) && !WriteVerified(888, -1));
        QCOMPARE(fake.Take(), u"r888:80"_s);
    }

    // Three registers that read back, nothing around them; another address starts cleared.
    void simulatedPort()
    {
        SimulatedPort port;
        port.Open(888);
        port.PortOut(888, 0xAB);
        port.PortOut(890, 0x34);
        QCOMPARE(QList<int>({port.PortIn(888), port.PortIn(889), port.PortIn(890)}), QList<int>({0xAB, 0, 0x34}));
        for (int outside : {887, 891, -1, 0x10000})
            QVERIFY(!ErrorOf([&] { port.PortIn(outside); }).isEmpty() && !ErrorOf([&] { port.PortOut(outside, 0); }).isEmpty());
        port.Open(632);
        QCOMPARE(int(port.PortIn(632)), 0);
        port.Close();
        QVERIFY(!ErrorOf([&] { port.PortIn(632); }).isEmpty());
    }

    // The layer's own refusals, whatever its backends say: an address whose
    // registers leave the I/O space, and a port that is there but unusable.
    // Which backend serves is the QEMU test's to show, on the kernel's drivers.
    void layerRefuses()
    {
        std::vector<std::unique_ptr<PortIo>> backends;
        auto* fake = static_cast<FakePort*>(backends.emplace_back(std::make_unique<FakePort>()).get());
        PortLayer layer(std::move(backends));
        for (int base : {0, 0xFFFE}) {
            QCOMPARE(layer.Open(base).reach, PortReach::Refused);
            QVERIFY(!fake->claimed && !ErrorOf([&] { layer.PortOut(base, 0); }).isEmpty());
        }
        fake->status = {PortReach::Unusable, "/dev/parport0", "/dev/parport0: permission denied", "", false};
        QCOMPARE(layer.Open(888), fake->status);
        QVERIFY(!ErrorOf([&] { layer.PortOut(888, 0); }).isEmpty() && !ErrorOf([&] { layer.PortIn(888); }).isEmpty());
        QCOMPARE(fake->Take(), QString());
    }
};

QTEST_MAIN(PortAccessTest)
#include "tst_portaccess.moc"
