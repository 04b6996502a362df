#include "FakePort.h"
#include "OperationLog.h"
#include "SwitchCore.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(RfPath)

namespace {

// A core at 888 on a fake port whose data register holds `held`; the trace starts afresh.
struct Bench
{
    explicit Bench(std::uint8_t held = 0)
    {
        port.latched[888] = held;
        core.Attach(888, Source::Panel);  // reads the bits off the register
        port.Take();
    }
    // Every byte written so far has bits 0 and 1 apart.
    bool NeverBoth() const
    {
        return std::ranges::none_of(port.Writes(), [](const PortAccess& a) { return (a.value & 3) == 3; });
    }
    FakePort port;
    SwitchCore core{port};
};

QString Outcomes(const QList<OperationResult>& results)
{
    QStringList names;
    for (const OperationResult& r : results)
        names << QStringList{"verified", "not read back", "unusable", "forbidden"}[int(r.outcome)];
    return names.join(u", ");
}

} // namespace

class SwitchCoreTest : public QObject
{
    Q_OBJECT

private slots:
    void selectBreaksBeforeMaking_data()
    {
        QTest::addColumn<int>("held");
        QTest::addColumn<RfPath>("path");
        QTest::addColumn<QString>("accesses");
        QTest::addColumn<QString>("bits");
        QTest::newRow("off to rf1") << 0x00 << RfPath::Rf1 << "r888:00 w888:01 r888:01" << "10";
        QTest::newRow("off to rf2") << 0x00 << RfPath::Rf2 << "r888:00 w888:02 r888:02" << "01";
        QTest::newRow("rf1 to rf2") << 0x01 << RfPath::Rf2 << "r888:01 w888:00 r888:00 w888:02 r888:02" << "01";
        QTest::newRow("rf2 to rf1") << 0x02 << RfPath::Rf1 << "r888:02 w888:00 r888:00 w888:01 r888:01" << "10";
        QTest::newRow("rf1 to off") << 0x01 << RfPath::Off << "r888:01 w888:00 r888:00" << "00";
        QTest::newRow("rf2 to off") << 0x02 << RfPath::Off << "r888:02 w888:00 r888:00" << "00";
        QTest::newRow("rf1 again") << 0x01 << RfPath::Rf1 << "r888:01" << "10";
        QTest::newRow("off again") << 0x00 << RfPath::Off << "r888:00" << "00";
        QTest::newRow("both on the port, to rf2") << 0x03 << RfPath::Rf2 << "r888:03 w888:02 r888:02" << "01";
        QTest::newRow("other bits carried") << 0xF1 << RfPath::Rf2 << "r888:f1 w888:f0 r888:f0 w888:f2 r888:f2" << "01";
    }

    void selectBreaksBeforeMaking()
    {
        QFETCH(int, held);
        QFETCH(RfPath, path);
        Bench bench{std::uint8_t(held)};
        OperationResult result{Outcome::Unusable, {}};
        bench.core.Select(path, Source::Remote, [&](const OperationResult& r) { result = r; });
        QTEST(bench.port.Take(), "accesses");
        QCOMPARE(Outcomes({result}), u"verified"_s);
        const ControlBits bits = bench.core.Bits();
        QTEST(u"%1%2"_s.arg(int(bits.c1)).arg(int(bits.c2)), "bits");
        QVERIFY(bench.NeverBoth());
    }

    void aBreakThatFailsMakesNothing()
    {
        Bench bench(0x01);
        bench.port.stuckRead = 0x01;
        OperationResult result;
        bench.core.Select(RfPath::Rf2, Source::Remote, [&](const OperationResult& r) { result = r; });
        QCOMPARE(bench.port.Take(), u"r888:01 "_s + u"w888:00 r888:01 "_s.repeated(110).trimmed());
        QCOMPARE(Outcomes({result}), u"not read back"_s);
        QCOMPARE(QString::fromStdString(result.detail), u"Port 888: wrote 0x00, read back 0x01 after 110 attempts"_s);
    }

    // An operation asked for inside another's retry wait runs after it, whole.
    void operationsFromTwoSourcesTakeTurns()
    {
        Bench bench;
        bench.port.readBackAfter = 103;
        QList<OperationResult> results;
        QList<Source> sources;
        QObject::connect(&bench.core, &SwitchCore::Finished, [&](const OperationResult& r, Source s) {
            results << r;
            sources << s;
        });
        QTimer::singleShot(0, [&] {
            bench.port.readBackAfter = 1;
            bench.core.Select(RfPath::Rf2, Source::Remote);
            bench.core.Toggle(1, Source::Panel);
        });
        bench.core.Toggle(0, Source::Panel);

        QCOMPARE(bench.port.Take(), u"r888:00 "_s + u"w888:01 r888:00 "_s.repeated(101) + u"w888:01 r888:01 "_s
                                        + u"r888:01 w888:00 r888:00 w888:02 r888:02 "_s + u"r888:02 w888:00 r888:00"_s);
        QCOMPARE(Outcomes(results), u"verified, verified, verified"_s);
        QCOMPARE(sources, QList<Source>({Source::Panel, Source::Remote, Source::Panel}));
        QCOMPARE(bench.core.Bits(), ControlBits{});
        QVERIFY(bench.NeverBoth());
    }

    void unusablePortIsNeverWritten()
    {
        Bench bench;
        bench.port.status = {PortReach::Unusable, "/dev/parport0", "/dev/parport0: permission denied",
                             "add your user to the lp group and log in again", false};
        bench.core.TakeAddress(888, true, Source::Panel);
        QList<OperationResult> results;
        bench.core.Toggle(0, Source::Panel, [&](const OperationResult& r) { results << r; });
        bench.core.Select(RfPath::Rf1, Source::Remote, [&](const OperationResult& r) { results << r; });
        QCOMPARE(bench.port.Take(), QString());
        QCOMPARE(Outcomes(results), u"unusable, unusable"_s);
        QCOMPARE(QString::fromStdString(results[1].detail),
                 u"/dev/parport0: permission denied; add your user to the lp group and log in again"_s);
        QCOMPARE(bench.core.Bits(), ControlBits{});
    }

    // Freed, found or loaded later: driven without a restart, from a known state.
    void aPortThatBecomesUsableIsTakenUp()
    {
        Bench bench(0x01);
        bench.port.status = {PortReach::Unusable, "/dev/parport0", "/dev/parport0: held by another program",
                             "close the program that holds it", true};
        bench.core.TakeAddress(888, true, Source::Panel);
        QSignalSpy status(&bench.core, &SwitchCore::StatusChanged);
        bench.port.latched = {{888, 0x41}, {890, 0x04}};
        bench.port.status = {PortReach::Real, "/dev/parport0", "", "", false};
        QTRY_COMPARE(status.count(), 1);
        QCOMPARE(bench.port.Take(), u"w890:00 r890:00 w888:00 r888:00"_s);
        QCOMPARE(bench.core.Status().reach, PortReach::Real);
        QCOMPARE(bench.core.Bits(), ControlBits{});
    }

    void logNamesEveryWrite()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"ops.log"_s);
        Bench bench;
        OperationLog log(path);
        bench.core.SetLog(&log);
        bench.core.Toggle(0, Source::Panel);
        bench.core.Toggle(0, Source::Panel);
        bench.port.stuckRead = 0x40;
        bench.core.Select(RfPath::Rf2, Source::Remote);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
        const QString time = uR"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d) )"_s;
        const QStringList expected = {
            time + "panel port=888 register=data\\(888\\) wrote=0x01 read=0x01 attempts=1 result=verified",
            time + "panel port=888 register=data\\(888\\) wrote=0x00 read=0x00 attempts=1 result=verified",
            time + "remote port=888 register=data\\(888\\) wrote=0x42 read=0x40 attempts=110 result=not-read-back",
        };
        QCOMPARE(lines.size(), expected.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(QRegularExpression(u'^' + expected[i] + u'$').match(lines[i]).hasMatch(), qPrintable(lines[i]));
    }

    void unwritableLogIsReportedOnce()
    {
        Bench bench;
        OperationLog log(u"/nonexistent-folder/ops.log"_s);
        bench.core.SetLog(&log);
        QSignalSpy failed(&bench.core, &SwitchCore::LogFailed);
        bench.core.Toggle(0, Source::Panel);
        bench.core.Toggle(0, Source::Panel);
        QCOMPARE(failed.count(), 1);
        QVERIFY(failed.first().first().toString().startsWith(u"/nonexistent-folder/ops.log: "_s));
        QCOMPARE(bench.core.Bits(), ControlBits{});  // switched all the same
        QCOMPARE(bench.port.Latched(888), 0);
    }
};

QTEST_MAIN(SwitchCoreTest)
#include "tst_switchcore.moc"
