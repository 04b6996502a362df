#include "FakePort.h"
#include "Module1.h"
#include "PortLayer.h"
#include "SimulatedPort.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <limits>

namespace {

constexpr std::int32_t kData = 888;
using Kind = PortAccess::Kind;

// A driver that owns a single address, and can be told it cannot reach it.
class OneAddressBackend final : public PortBackend
{
public:
    OneAddressBackend(std::int32_t owned, std::string name, std::string whyUnreachable = {})
        : owned_(owned), name_(std::move(name)), whyUnreachable_(std::move(whyUnreachable))
    {
    }

    std::uint8_t PortIn(std::int32_t port) override { return fake.PortIn(port); }
    void PortOut(std::int32_t port, std::uint8_t value) override { fake.PortOut(port, value); }
    std::string Describe(std::int32_t) const override { return name_; }
    bool Serves(std::int32_t port, std::string& whyNot) override
    {
        if (port != owned_)
            return false;
        whyNot = whyUnreachable_;
        return whyUnreachable_.empty();
    }

    FakePort fake;

private:
    std::int32_t owned_;
    std::string name_;
    std::string whyUnreachable_;
};

// Runs `access` and returns the PortError's text, or a null string when none was thrown.
template <typename Access>
QString PortErrorText(Access access)
{
    try {
        access();
    } catch (const PortError& e) {
        return QString::fromStdString(e.what());
    }
    return {};
}

// What the status line says about an address that no driver serves.
QString Simulated(const QString& reason)
{
    return QStringLiteral(u"simulated \u2014 ") + reason;
}

qsizetype Count(const std::vector<PortAccess>& accesses, Kind kind)
{
    return std::count_if(accesses.begin(), accesses.end(), [kind](const PortAccess& a) { return a.kind == kind; });
}

} // namespace

class PortAccessTest : public QObject
{
    Q_OBJECT

private slots:
    void writeVerifiedRetriesUntilReadBack_data();
    void writeVerifiedRetriesUntilReadBack();
    void writeVerifiedRefusesNonBytes_data();
    void writeVerifiedRefusesNonBytes();
    void writeVerifiedSwallowsPortErrors_data();
    void writeVerifiedSwallowsPortErrors();

    void readPortWidensWithoutSign_data();
    void readPortWidensWithoutSign();
    void readPortPassesErrorsOn();

    void delayOfNothingDispatchesNothing_data();
    void delayOfNothingDispatchesNothing();
    void delayWaitsAndDispatches();
    void delayDoesNotSpin();

    void simulatedRegistersKeepLastByte();
    void simulatedRefusesNonPorts_data();
    void simulatedRefusesNonPorts();
    void simulatedDescribesItself();

    void layerResolvesPerAddress_data();
    void layerResolvesPerAddress();
    void layerTakesFirstServingBackend();
    void scopedPortsSwapsAndRestores();
};

void PortAccessTest::writeVerifiedRetriesUntilReadBack_data()
{
    QTest::addColumn<int>("readBackAfter");
    QTest::addColumn<int>("stuckRead");  // -1: none
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("writes");
    QTest::addColumn<bool>("verified");

    QTest::newRow("reads back at once") << 1 << -1 << 0x5A << 1 << true;
    QTest::newRow("after 101 attempts, no pause yet") << 101 << -1 << 0x5A << 101 << true;
    QTest::newRow("after 102 attempts, one pause") << 102 << -1 << 0x5A << 102 << true;
    QTest::newRow("after 105 attempts") << 105 << -1 << 0xFF << 105 << true;
    QTest::newRow("never") << 1 << 0xC0 << 0x00 << 110 << false;
}

void PortAccessTest::writeVerifiedRetriesUntilReadBack()
{
    QFETCH(int, readBackAfter);
    QFETCH(int, stuckRead);
    QFETCH(int, value);
    QFETCH(int, writes);
    QFETCH(bool, verified);

    FakePort fake;
    fake.readBackAfter = readBackAfter;
    if (stuckRead >= 0)
        fake.stuckRead = static_cast<std::uint8_t>(stuckRead);

    // Each write leaves a window event behind; it is dispatched only when the
    // write waits, and records how many accesses the port had seen by then.
    std::vector<qsizetype> dispatchedAt;
    QObject context;
    fake.onAccess = [&](const PortAccess& access) {
        if (access.kind != Kind::Write)
            return;
        const auto index = dispatchedAt.size();
        dispatchedAt.push_back(-1);
        QTimer::singleShot(0, &context, [&, index] { dispatchedAt[index] = qsizetype(fake.accesses.size()); });
    };
    std::vector<qsizetype> pausedAt;
    const ScopedPorts scoped(fake);

    QElapsedTimer elapsed;
    elapsed.start();
    const VerifiedWrite result = WriteVerified(kData, static_cast<std::int16_t>(value),
                                               [&] { pausedAt.push_back(qsizetype(fake.accesses.size())); });
    const qint64 nsecs = elapsed.nsecsElapsed();

    QCOMPARE(bool(result), verified);
    QCOMPARE(int(result.attempts), writes);

    // Write, read back, write, read back, ... all at the data register.
    std::vector<PortAccess> expected;
    for (int k = 0; k < writes; ++k) {
        const int read = stuckRead >= 0 ? stuckRead : (k == writes - 1 ? value : 0);
        expected.push_back({Kind::Write, kData, std::uint8_t(value)});
        expected.push_back({Kind::Read, kData, std::uint8_t(read)});
    }
    QVERIFY(fake.accesses == expected);

    // The last attempts from the 102nd on wait between their write and their
    // read-back (2k+1 accesses seen in attempt k); the earlier ones never wait.
    const int firstPaused = 101;
    std::vector<qsizetype> expectedPauses;
    for (int k = firstPaused; k < writes; ++k)
        expectedPauses.push_back(2 * k + 1);
    QCOMPARE(pausedAt, expectedPauses);

    std::vector<qsizetype> expectedDispatch;
    for (int k = 0; k < writes; ++k)
        expectedDispatch.push_back(writes > firstPaused ? 2 * std::max(k, firstPaused) + 1 : -1);
    QCOMPARE(dispatchedAt, expectedDispatch);

    QVERIFY(nsecs >= qint64(expectedPauses.size()) * 50'000'000);
}

void PortAccessTest::writeVerifiedRefusesNonBytes_data()
{
    QTest::addColumn<int>("value");
    QTest::newRow("256") << 256;
    QTest::newRow("-1") << -1;
    QTest::newRow("largest") << int(std::numeric_limits<std::int16_t>::max());
    QTest::newRow("smallest") << int(std::numeric_limits<std::int16_t>::min());
}

void PortAccessTest::writeVerifiedRefusesNonBytes()
{
    QFETCH(int, value);
    FakePort fake;
    const ScopedPorts scoped(fake);

    QVERIFY(!WriteVerified(kData, static_cast<std::int16_t>(value)));
    QVERIFY(fake.accesses.empty());
}

void PortAccessTest::writeVerifiedSwallowsPortErrors_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("readError");
    QTest::addColumn<QString>("writeError");
    QTest::addColumn<int>("writes");
    QTest::addColumn<int>("reads");

    const QString denied = "/dev/parport0: permission denied";
    const QString gone = "/dev/parport0: no such device";
    QTest::newRow("writes fail") << 0x5A << QString() << denied << 0 << 110;
    QTest::newRow("reads fail") << 0x5A << gone << QString() << 110 << 0;
    // Nothing was read, so the initial 0 must not pass for a read-back.
    QTest::newRow("reads fail, writing 0") << 0x00 << gone << QString() << 110 << 0;
}

void PortAccessTest::writeVerifiedSwallowsPortErrors()
{
    QFETCH(int, value);
    QFETCH(QString, readError);
    QFETCH(QString, writeError);
    QFETCH(int, writes);
    QFETCH(int, reads);

    FakePort fake;
    fake.readError = readError.toStdString();
    fake.writeError = writeError.toStdString();
    const ScopedPorts scoped(fake);

    const VerifiedWrite result = WriteVerified(kData, static_cast<std::int16_t>(value));

    QVERIFY(!result);
    QCOMPARE(int(result.attempts), 110);
    QCOMPARE(Count(fake.accesses, Kind::Write), writes);
    QCOMPARE(Count(fake.accesses, Kind::Read), reads);
    QCOMPARE(QString::fromStdString(result.error), readError.isEmpty() ? writeError : readError);
}

void PortAccessTest::readPortWidensWithoutSign_data()
{
    QTest::addColumn<int>("byte");
    QTest::newRow("0x00") << 0x00;
    QTest::newRow("0x7F") << 0x7F;
    QTest::newRow("0x80") << 0x80;
    QTest::newRow("0xF0") << 0xF0;
    QTest::newRow("0xFF") << 0xFF;
}

void PortAccessTest::readPortWidensWithoutSign()
{
    QFETCH(int, byte);
    FakePort fake;
    fake.latched[kData] = std::uint8_t(byte);
    const ScopedPorts scoped(fake);

    QCOMPARE(int(ReadPort(kData)), byte);
    const std::vector<PortAccess> oneRead{{Kind::Read, kData, std::uint8_t(byte)}};
    QVERIFY(fake.accesses == oneRead);
}

void PortAccessTest::readPortPassesErrorsOn()
{
    FakePort fake;
    fake.readError = "/dev/parport0: permission denied";
    const ScopedPorts scoped(fake);

    QCOMPARE(PortErrorText([] { ReadPort(kData); }), QString("/dev/parport0: permission denied"));
}

void PortAccessTest::delayOfNothingDispatchesNothing_data()
{
    QTest::addColumn<int>("milliseconds");
    QTest::newRow("0") << 0;
    QTest::newRow("-5") << -5;
    QTest::newRow("smallest") << int(std::numeric_limits<std::int16_t>::min());
}

void PortAccessTest::delayOfNothingDispatchesNothing()
{
    QFETCH(int, milliseconds);
    bool dispatched = false;
    QObject context;
    QTimer::singleShot(0, &context, [&] { dispatched = true; });

    Delay(static_cast<std::int16_t>(milliseconds));

    QVERIFY(!dispatched);
}

void PortAccessTest::delayWaitsAndDispatches()
{
    bool dispatched = false;
    QObject context;
    QTimer::singleShot(0, &context, [&] { dispatched = true; });
    QElapsedTimer elapsed;
    elapsed.start();

    Delay(50);

    QVERIFY(elapsed.nsecsElapsed() >= 50'000'000);
    QVERIFY(dispatched);
}

void PortAccessTest::delayDoesNotSpin()
{
    const std::clock_t cpuStart = std::clock();
    QElapsedTimer elapsed;
    elapsed.start();

    Delay(200);

    const double wall = elapsed.nsecsElapsed() / 1e9;
    const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    QVERIFY2(cpu < 0.5 * wall, qPrintable(QString("%1 s of CPU in %2 s").arg(cpu).arg(wall)));
}

void PortAccessTest::simulatedRegistersKeepLastByte()
{
    SimulatedPort port;
    for (const std::int32_t address : {0, kData, kData + 2, SimulatedPort::kLastAddress})
        QCOMPARE(int(port.PortIn(address)), 0);

    port.PortOut(kData, 0x12);
    port.PortOut(kData, 0xAB);
    port.PortOut(kData + 2, 0x34);
    port.PortOut(SimulatedPort::kLastAddress, 0xFF);

    QCOMPARE(int(port.PortIn(kData)), 0xAB);
    QCOMPARE(int(port.PortIn(kData + 2)), 0x34);
    QCOMPARE(int(port.PortIn(kData + 1)), 0);
    QCOMPARE(int(port.PortIn(SimulatedPort::kLastAddress)), 0xFF);
    QCOMPARE(int(port.PortIn(0)), 0);
}

void PortAccessTest::simulatedRefusesNonPorts_data()
{
    QTest::addColumn<int>("address");
    QTest::newRow("0x10000") << 0x10000;
    QTest::newRow("-1") << -1;
    QTest::newRow("largest") << std::numeric_limits<std::int32_t>::max();
    QTest::newRow("smallest") << std::numeric_limits<std::int32_t>::min();
}

void PortAccessTest::simulatedRefusesNonPorts()
{
    QFETCH(int, address);
    SimulatedPort port;

    const QString readText = PortErrorText([&] { port.PortIn(address); });
    const QString writeText = PortErrorText([&] { port.PortOut(address, 0x5A); });

    QVERIFY2(readText.contains(QString::number(address)), qPrintable(readText));
    QVERIFY2(writeText.contains(QString::number(address)), qPrintable(writeText));
}

void PortAccessTest::simulatedDescribesItself()
{
    const SimulatedPort port;
    QVERIFY(port.IsSimulated(kData));
    QVERIFY(QString::fromStdString(port.Describe(kData)).startsWith("simulated"));
}

void PortAccessTest::layerResolvesPerAddress_data()
{
    QTest::addColumn<bool>("withBackend");
    QTest::addColumn<QString>("whyUnreachable");
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("description");
    QTest::addColumn<bool>("simulated");

    const QString denied = "/dev/parport0: permission denied";
    QTest::newRow("owned address") << true << QString() << kData << "/dev/parport0" << false;
    QTest::newRow("other address") << true << QString() << kData + 2 << Simulated("no parallel port found") << true;
    QTest::newRow("owned but unreachable") << true << denied << kData << Simulated(denied) << true;
    QTest::newRow("unreachable, other address")
        << true << denied << kData + 2 << Simulated("no parallel port found") << true;
    QTest::newRow("no backend") << false << QString() << kData << Simulated("no parallel port found") << true;
}

void PortAccessTest::layerResolvesPerAddress()
{
    QFETCH(bool, withBackend);
    QFETCH(QString, whyUnreachable);
    QFETCH(int, address);
    QFETCH(QString, description);
    QFETCH(bool, simulated);

    std::vector<std::unique_ptr<PortBackend>> backends;
    OneAddressBackend* backend = nullptr;
    if (withBackend) {
        auto owned = std::make_unique<OneAddressBackend>(kData, "/dev/parport0", whyUnreachable.toStdString());
        backend = owned.get();
        backends.push_back(std::move(owned));
    }
    PortLayer layer(std::move(backends));

    QCOMPARE(QString::fromStdString(layer.Describe(address)), description);
    QCOMPARE(layer.IsSimulated(address), simulated);

    layer.PortOut(address, 0x5A);
    QCOMPARE(int(layer.PortIn(address)), 0x5A);
    if (backend)
        QCOMPARE(backend->fake.accesses.size(), simulated ? 0u : 2u);
}

void PortAccessTest::layerTakesFirstServingBackend()
{
    std::vector<std::unique_ptr<PortBackend>> backends;
    backends.push_back(std::make_unique<OneAddressBackend>(kData, "/dev/parport0", "/dev/parport0: busy"));
    backends.push_back(std::make_unique<OneAddressBackend>(kData, "/dev/parport1"));
    backends.push_back(std::make_unique<OneAddressBackend>(kData, "/dev/parport2"));
    auto& busy = static_cast<OneAddressBackend&>(*backends[0]);
    auto& second = static_cast<OneAddressBackend&>(*backends[1]);
    auto& third = static_cast<OneAddressBackend&>(*backends[2]);
    PortLayer layer(std::move(backends));

    layer.PortOut(kData, 0x01);

    QCOMPARE(QString::fromStdString(layer.Describe(kData)), QString("/dev/parport1"));
    const std::vector<PortAccess> oneWrite{{Kind::Write, kData, 0x01}};
    QVERIFY(second.fake.accesses == oneWrite);
    QVERIFY(busy.fake.accesses.empty());
    QVERIFY(third.fake.accesses.empty());
}

void PortAccessTest::scopedPortsSwapsAndRestores()
{
    PortIo* const system = &Ports();
    FakePort outer;
    FakePort inner;
    {
        const ScopedPorts useOuter(outer);
        QCOMPARE(&Ports(), &outer);
        {
            const ScopedPorts useInner(inner);
            QVERIFY(WriteVerified(kData, 0x03));
        }
        QVERIFY(WriteVerified(kData + 2, 0x04));
    }
    QCOMPARE(&Ports(), system);
    QCOMPARE(inner.ReadsAndWritesAt(kData).size(), 2u);
    QVERIFY(inner.ReadsAndWritesAt(kData + 2).empty());
    QCOMPARE(outer.ReadsAndWritesAt(kData + 2).size(), 2u);
    QVERIFY(outer.ReadsAndWritesAt(kData).empty());
}

QTEST_MAIN(PortAccessTest)
#include "tst_portaccess.moc"
