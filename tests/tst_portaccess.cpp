#include "FakePort.h"
#include "PortAccess.h"
#include "PortLayer.h"
#include "SimulatedPort.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <algorithm>
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

    // Each backend is named dev<i> and answers with the reach its letter gives (Real,
    // Unusable, Absent, reFused); the layer takes the first that is not Absent, and
    // the simulated port only where all are.
    void layerPicksTheFirstPortThere_data()
    {
        QTest::addColumn<QString>("backends");
        QTest::addColumn<int>("base");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("serving");  // -1: none of the backends
        QTest::addColumn<bool>("writable");
        QTest::newRow("absent: simulated") << "A" << 888 << "Absent simulated port" << -1 << true;
        QTest::newRow("no backend: simulated") << "" << 888 << "Absent simulated port" << -1 << true;
        QTest::newRow("unusable before a later real one") << "AUR" << 888 << "Unusable dev1" << -1 << false;
        QTest::newRow("first that is there") << "ARR" << 888 << "Real dev1" << 1 << true;
        QTest::newRow("refused writes nothing") << "AF" << 888 << "Refused dev1" << -1 << false;
        QTest::newRow("no I/O address") << "R" << 0 << "Refused " << -1 << false;
        QTest::newRow("past the I/O space") << "R" << 0xFFFE << "Refused " << -1 << false;
    }

    void layerPicksTheFirstPortThere()
    {
        QFETCH(QString, backends);
        QFETCH(int, base);
        QFETCH(int, serving);
        QFETCH(bool, writable);
        std::vector<std::unique_ptr<PortIo>> owned;
        QList<FakePort*> fakes;
        for (int i = 0; i < backends.size(); ++i) {
            auto* fake = fakes.emplace_back(static_cast<FakePort*>(owned.emplace_back(new FakePort).get()));
            const auto reach = PortReach(u"RUAF"_s.indexOf(backends[i]));
            const bool real = reach == PortReach::Real;
            fake->status = {reach, reach == PortReach::Absent ? "" : "dev" + std::to_string(i), real ? "" : "why", real ? "" : "what to do", false};
        }
        PortLayer layer(std::move(owned));

        const PortStatus status = layer.Open(base);
        const char* const reaches[] = {"Real", "Unusable", "Absent", "Refused"};
        QTEST(u"%1 %2"_s.arg(reaches[int(status.reach)], QString::fromStdString(status.device)), "status");
        QVERIFY(writable || !status.reason.empty());
        QCOMPARE(ErrorOf([&] { layer.PortOut(base, 0x5A); }).isEmpty(), writable);
        QCOMPARE(ErrorOf([&] { layer.PortIn(base); }).isEmpty(), writable);
        for (int i = 0; i < fakes.size(); ++i)
            QCOMPARE(fakes[i]->Take(), i == serving ? u"w%1:5a r%1:5a"_s.arg(base) : QString());
        // A refresh keeps to the same answer while nothing changed, and closing lets go.
        QCOMPARE(layer.Refresh(), status);
        layer.Close();
        QVERIFY(std::ranges::none_of(fakes, [](const FakePort* fake) { return fake->claimed.has_value(); }));
    }
};

QTEST_MAIN(PortAccessTest)
#include "tst_portaccess.moc"
