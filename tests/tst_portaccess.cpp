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

    // Bytes only, both ways: 0x80 reads as 128; 256 and -1 are never written.
    void bytesOnly()
    {
        FakePort fake;
        const ScopedPorts use(fake);
        fake.latched[888] = 0x80;
        QCOMPARE(ReadPort(888), 128);
        QVERIFY(!WriteVerified(888, 256) && !WriteVerified(888, -1));
        QCOMPARE(fake.Take(), QStringLiteral("r888:80"));
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
        const PortStatus status = port.Open(888);
        QCOMPARE(status.reach, PortReach::Absent);
        QVERIFY(status.IsSimulated() && status.Writable());
        QCOMPARE(QString::fromStdString(status.device), QStringLiteral("simulated port"));
        for (const auto& [address, value] : {std::pair{888, 0x12}, {888, 0xAB}, {890, 0x34}})
            port.PortOut(address, std::uint8_t(value));
        QString read;
        for (int address : {888, 889, 890})
            read += Hex(port.PortIn(address));
        QCOMPARE(read, QStringLiteral("ab0034"));
        for (int outside : {887, 891, -1, 0x10000})
            QVERIFY(!ErrorOf([&] { port.PortIn(outside); }).isEmpty() && !ErrorOf([&] { port.PortOut(outside, 0); }).isEmpty());
        // Another address starts cleared; closed, nothing is reachable.
        port.Open(632);
        QCOMPARE(int(port.PortIn(632)), 0);
        port.Close();
        QVERIFY(!ErrorOf([&] { port.PortIn(632); }).isEmpty());
    }

    // Each backend answers as "reach/device"; the layer takes the first that
    // is not Absent, and the simulated port only where all are.
    void layerPicksTheFirstPortThere_data()
    {
        QTest::addColumn<QStringList>("backends");
        QTest::addColumn<int>("base");
        QTest::addColumn<QString>("reach");
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("serving");  // -1: none of the backends
        QTest::addColumn<bool>("writable");
        QTest::newRow("absent: simulated") << QStringList{"Absent/"} << 888 << "Absent" << "simulated port" << -1 << true;
        QTest::newRow("no backend: simulated") << QStringList{} << 888 << "Absent" << "simulated port" << -1 << true;
        QTest::newRow("unusable before a later real one") << QStringList{"Absent/", "Unusable/dev/parport0", "Real/dev/port"} << 888 << "Unusable"
                                                           << "/dev/parport0" << -1 << false;
        QTest::newRow("first that is there") << QStringList{"Absent/", "Real/dev/parport1", "Real/dev/port"} << 888 << "Real" << "/dev/parport1" << 1 << true;
        QTest::newRow("refused writes nothing") << QStringList{"Absent/", "Refused/dev/port"} << 888 << "Refused" << "/dev/port" << -1 << false;
        QTest::newRow("no I/O address") << QStringList{"Real/dev/parport0"} << 0 << "Refused" << "" << -1 << false;
        QTest::newRow("past the I/O space") << QStringList{"Real/dev/parport0"} << 0xFFFE << "Refused" << "" << -1 << false;
    }

    void layerPicksTheFirstPortThere()
    {
        QFETCH(QStringList, backends);
        QFETCH(int, base);
        QFETCH(int, serving);
        QFETCH(bool, writable);
        std::vector<std::unique_ptr<PortIo>> owned;
        QList<FakePort*> fakes;
        for (const QString& entry : backends) {
            auto* fake = fakes.emplace_back(new FakePort);
            owned.emplace_back(fake);
            const QString reach = entry.section(u'/', 0, 0);
            fake->status = {reach == "Real" ? PortReach::Real : reach == "Unusable" ? PortReach::Unusable
                            : reach == "Absent"                   ? PortReach::Absent : PortReach::Refused,
                            entry.contains(u'/') && reach != "Absent" ? ('/' + entry.section(u'/', 1)).toStdString() : "",
                            reach == "Real" ? "" : "why", reach == "Real" ? "" : "what to do", false};
        }
        PortLayer layer(std::move(owned));

        const PortStatus status = layer.Open(base);
        static const char* const reaches[] = {"Real", "Unusable", "Absent", "Refused"};
        QTEST(QString::fromLatin1(reaches[int(status.reach)]), "reach");
        QTEST(QString::fromStdString(status.device), "device");
        QCOMPARE(status.Writable(), writable);
        if (!status.Writable())
            QVERIFY(!status.reason.empty());
        const QString writeError = ErrorOf([&] { layer.PortOut(base, 0x5A); });
        const QString readError = ErrorOf([&] { layer.PortIn(base); });
        QCOMPARE(writeError.isEmpty(), writable);
        QCOMPARE(readError.isEmpty(), writable);
        for (int i = 0; i < fakes.size(); ++i)
            QCOMPARE(fakes[i]->Take(), i == serving ? QStringLiteral("w%1:5a r%1:5a").arg(base) : QString());
        // A refresh keeps to the same answer while nothing changed, and closing lets go.
        QCOMPARE(layer.Refresh(), status);
        layer.Close();
        for (FakePort* fake : fakes)
            QVERIFY(!fake->claimed);
    }
};

QTEST_MAIN(PortAccessTest)
#include "tst_portaccess.moc"
