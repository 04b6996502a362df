#include "FakePort.h"
#include "PortAccess.h"
#include "PortLayer.h"
#include "SimulatedPort.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <ctime>

namespace {

// A driver that owns address 888; "name|why" names one that cannot reach it.
struct Owner final : PortBackend
{
    explicit Owner(const QString& entry) : name(entry.section(u'|', 0, 0).toStdString()), why(entry.section(u'|', 1).toStdString()) {}
    std::uint8_t PortIn(std::int32_t port) override { return fake.PortIn(port); }
    void PortOut(std::int32_t port, std::uint8_t value) override { fake.PortOut(port, value); }
    std::string Describe(std::int32_t) const override { return name; }
    bool Serves(std::int32_t port, std::string& whyNot) override { return port == 888 && (whyNot = why).empty(); }
    FakePort fake;
    std::string name, why;
};

template <typename Access>
QString ErrorOf(Access access)
{
    try { access(); } catch (const PortError& e) { return QString::fromStdString(e.what()); }
    return {};
}

QString Hex(int byte) { return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')); }

} // namespace

class PortAccessTest : public QObject
{
    Q_OBJECT

private slots:
    void writeVerified_data()
    {
        QTest::addColumn<int>("readBackAfter"); // 0: never, reads 0xC0
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("attempts");
        QTest::newRow("at once") << 1 << 0x5A << 1;
        QTest::newRow("after 105") << 105 << 0xFF << 105;
        QTest::newRow("never") << 0 << 0x00 << 110;
    }

    void writeVerified()
    {
        QFETCH(int, readBackAfter);
        QFETCH(int, value);
        QFETCH(int, attempts);
        FakePort fake;
        fake.readBackAfter = std::max(readBackAfter, 1);
        if (!readBackAfter)
            fake.stuckRead = 0xC0;
        const ScopedPorts use(fake);
        // Each pause leaves an event behind that notes how far the port had got once it is dispatched.
        QList<int> pausedAt, dispatchedAt, pauses;
        QObject context;
        const auto pause = [&] {
            pausedAt << int(fake.accesses.size());
            QTimer::singleShot(0, &context, [&] { dispatchedAt << int(fake.accesses.size()); });
        };
        QElapsedTimer clock;
        clock.start();

        const VerifiedWrite result = WriteVerified(888, std::int16_t(value), pause);

        const QString stale = readBackAfter ? QStringLiteral("00") : QStringLiteral("c0");
        QCOMPARE(fake.Take(), QStringLiteral("w888:%1 r888:%2 ").arg(Hex(value), stale).repeated(attempts - 1)
                                  + QStringLiteral("w888:%1 r888:%2").arg(Hex(value), readBackAfter ? Hex(value) : stale));
        QCOMPARE(bool(result), readBackAfter > 0);
        // Attempts 101 to 109 (from 0) wait between their write and read-back, dispatching events.
        for (int k = 101; k < attempts; ++k)
            pauses << 2 * k + 1;
        QCOMPARE(pausedAt, pauses);
        QCOMPARE(dispatchedAt, pauses);
        QVERIFY(clock.elapsed() >= 50 * pauses.size());
    }

    void writeVerifiedFailsQuietly_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("readError");
        QTest::addColumn<QString>("writeError");
        QTest::addColumn<QString>("accesses");
        const auto all = [](const char* attempt) { return (QLatin1String(attempt) + u' ').repeated(110).trimmed(); };
        QTest::newRow("256 refused") << 256 << "" << "" << "";
        QTest::newRow("-1 refused") << -1 << "" << "" << "";
        QTest::newRow("writes fail") << 0x5A << "" << "permission denied" << all("r888:00");
        QTest::newRow("reads fail") << 0x5A << "no such device" << "" << all("w888:5a");
        // Nothing was read, so the initial 0 must not pass for a read-back.
        QTest::newRow("reads fail, writing 0") << 0x00 << "no such device" << "" << all("w888:00");
    }

    void writeVerifiedFailsQuietly()
    {
        QFETCH(int, value);
        QFETCH(QString, readError);
        QFETCH(QString, writeError);
        FakePort fake;
        fake.readError = readError.toStdString();
        fake.writeError = writeError.toStdString();
        const ScopedPorts use(fake);
        const VerifiedWrite result = WriteVerified(888, std::int16_t(value));
        QVERIFY(!result);
        QTEST(fake.Take(), "accesses");
        QVERIFY(QString::fromStdString(result.error).contains(readError + writeError));
    }

    void readPortWidensAndPassesErrors()
    {
        FakePort fake;
        const ScopedPorts use(fake);
        QString read;
        for (int byte : {0x00, 0x80, 0xFF}) {
            fake.latched[888] = std::uint8_t(byte);
            read += QString::number(ReadPort(888)) + u' ';
        }
        QCOMPARE(read, QStringLiteral("0 128 255 "));
        fake.readError = "/dev/parport0: permission denied";
        QCOMPARE(ErrorOf([] { ReadPort(888); }), QStringLiteral("/dev/parport0: permission denied"));
        QCOMPARE(fake.Take(), QStringLiteral("r888:00 r888:80 r888:ff"));
    }

    void delay()
    {
        bool dispatched = false;
        QObject context;
        QTimer::singleShot(0, &context, [&] { dispatched = true; });
        Delay(0);
        Delay(-5);
        QVERIFY(!dispatched);
        QElapsedTimer clock;
        clock.start();
        const std::clock_t cpuStart = std::clock();
        Delay(200);
        const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        QVERIFY(dispatched && clock.elapsed() >= 200);
        // Waiting is not spinning.
        QVERIFY2(cpu < 0.5 * clock.elapsed() / 1000.0, qPrintable(QStringLiteral("%1 s of CPU").arg(cpu)));
    }

    void simulatedPort()
    {
        SimulatedPort port;
        for (const auto& [address, value] : {std::pair{888, 0x12}, {888, 0xAB}, {890, 0x34}, {SimulatedPort::kLastAddress, 0xFF}})
            port.PortOut(address, std::uint8_t(value));
        QString read;
        for (int address : {888, 889, 890, SimulatedPort::kLastAddress})
            read += Hex(port.PortIn(address));
        QCOMPARE(read, QStringLiteral("ab0034ff"));
        for (int outside : {-1, 0x10000})
            QVERIFY(ErrorOf([&] { port.PortIn(outside); }).contains(QString::number(outside))
                    && ErrorOf([&] { port.PortOut(outside, 0); }).contains(QString::number(outside)));
        QVERIFY(port.IsSimulated(888));
        QCOMPARE(QString::fromStdString(port.Describe(888)), QStringLiteral(u"simulated \u2014 no parallel port found"));
    }

    void layerResolvesPerAddress_data()
    {
        QTest::addColumn<QStringList>("backends"); // each owns 888
        QTest::addColumn<int>("address");
        QTest::addColumn<QString>("description");
        QTest::addColumn<int>("serving"); // -1: simulated
        const QString simulated = QStringLiteral(u"simulated \u2014 ");
        QTest::newRow("owned") << QStringList{"/dev/parport0"} << 888 << "/dev/parport0" << 0;
        QTest::newRow("other address") << QStringList{"/dev/parport0"} << 890 << simulated + "no parallel port found" << -1;
        QTest::newRow("owned, unreachable") << QStringList{"/dev/parport0|denied"} << 888 << simulated + "denied" << -1;
        QTest::newRow("no backend") << QStringList{} << 888 << simulated + "no parallel port found" << -1;
        QTest::newRow("first that serves") << QStringList{"/dev/parport0|busy", "/dev/parport1", "/dev/parport2"} << 888 << "/dev/parport1" << 1;
    }

    void layerResolvesPerAddress()
    {
        QFETCH(QStringList, backends);
        QFETCH(int, address);
        QFETCH(int, serving);
        std::vector<std::unique_ptr<PortBackend>> owned;
        QList<Owner*> owners;
        for (const QString& entry : backends)
            owned.emplace_back(owners.emplace_back(new Owner(entry)));
        PortLayer layer(std::move(owned));

        QTEST(QString::fromStdString(layer.Describe(address)), "description");
        QCOMPARE(layer.IsSimulated(address), serving < 0);
        layer.PortOut(address, 0x5A);
        QCOMPARE(int(layer.PortIn(address)), 0x5A);
        for (int i = 0; i < owners.size(); ++i)
            QCOMPARE(owners[i]->fake.Take(), i == serving ? QStringLiteral("w888:5a r888:5a") : QString());
    }
};

QTEST_MAIN(PortAccessTest)
#include "tst_portaccess.moc"
