#include "FakePort.h"
#include "OperationLog.h"
#include "SwitchCore.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(RfPath)

namespace {

const PortStatus kReal{PortReach::Real, "fake port", "", "", false};
const PortStatus kDenied{PortReach::Unusable, "/dev/parport0", "/dev/parport0: permission denied",
                         "add your user to the lp group and log in again", false};

// A core at 888 on a fake port whose data register holds `held`; the trace starts afresh.
struct Bench
{
    explicit Bench(std::uint8_t held = 0, const PortStatus& status = kReal)
    {
        port.latched[888] = held;
        port.status = status;
        core.Attach(888, Source::Panel);  // reads the bits off the register
        port.Take();
    }
    FakePort port;
    SwitchCore core{port};
};

} // namespace

class SwitchCoreTest : public QObject
{
    Q_OBJECT

private slots:
    void selectBreaksBeforeMaking_data()
    {
        QTest::addColumn<int>("held");
        QTest::addColumn<QString>("port");  // "stuck": every read gives 0x01
        QTest::addColumn<RfPath>("path");
        QTest::addColumn<QString>("accesses");
        QTest::addColumn<QString>("bits");
        QTest::addColumn<QString>("result");
        QTest::newRow("off to rf1") << 0x00 << "" << RfPath::Rf1 << "r888:00 w888:01 r888:01" << "10" << "verified";
        QTest::newRow("rf2 to rf1") << 0x02 << "" << RfPath::Rf1 << "r888:02 w888:00 r888:00 w888:01 r888:01" << "10" << "verified";
        QTest::newRow("rf1 to off") << 0x01 << "" << RfPath::Off << "r888:01 w888:00 r888:00" << "00" << "verified";
        QTest::newRow("rf1 again") << 0x01 << "" << RfPath::Rf1 << "r888:01" << "10" << "verified";
        QTest::newRow("off again") << 0x00 << "" << RfPath::Off << "r888:00" << "00" << "verified";
        QTest::newRow("both on the port, to rf2") << 0x03 << "" << RfPath::Rf2 << "r888:03 w888:02 r888:02" << "01" << "verified";
        QTest::newRow("other bits carried") << 0xF1 << "" << RfPath::Rf2 << "r888:f1 w888:f0 r888:f0 w888:f2 r888:f2" << "01" << "verified";
        // A break that is not read back makes nothing.
        QTest::newRow("break fails") << 0x01 << "stuck" << RfPath::Rf2 << u"r888:01 "_s + u"w888:00 r888:01 "_s.repeated(110).trimmed()
                                     << "00" << "not read back: Port 888: wrote 0x00, read back 0x01 after 110 attempts";
        QTest::newRow("unusable port") << 0x01 << "unusable" << RfPath::Rf1 << "" << "00"
                                       << "unusable: /dev/parport0: permission denied; add your user to the lp group and log in again";
    }

    void selectBreaksBeforeMaking()
    {
        QFETCH(int, held);
        QFETCH(QString, port);
        QFETCH(RfPath, path);
        Bench bench(std::uint8_t(held), port == "unusable" ? kDenied : kReal);
        if (port == "stuck")
            bench.port.stuckRead = 0x01;
        QString result;
        Source from = Source::Panel;
        QObject::connect(&bench.core, &SwitchCore::Finished, [&](const OperationResult& r, Source source) {
            result = QStringList{"verified", "not read back", "unusable", "forbidden"}[int(r.outcome)]
                     + (r.detail.empty() ? "" : ": " + QString::fromStdString(r.detail));
            from = source;
        });
        bench.core.Select(path, Source::Remote);
        QTEST(bench.port.Take(), "accesses");
        QTEST(result, "result");
        QCOMPARE(from, Source::Remote);
        const ControlBits bits = bench.core.Bits();
        QTEST(u"%1%2"_s.arg(int(bits.c1)).arg(int(bits.c2)), "bits");
    }

    // Freed, found or loaded later: driven without a restart, from a known state.
    void aPortThatBecomesUsableIsTakenUp()
    {
        Bench bench(0x01, kDenied);
        QSignalSpy status(&bench.core, &SwitchCore::StatusChanged);
        bench.port.latched = {{888, 0x41}, {890, 0x04}};
        bench.port.status = kReal;
        QTRY_COMPARE(status.count(), 1);
        QCOMPARE(bench.port.Take(), u"w890:00 r890:00 w888:00 r888:00"_s);
    }

    // One line per write; a log that cannot be written is said once, and the switching goes on.
    void log()
    {
        QTemporaryDir dir;
        Bench bench;
        OperationLog log(dir.filePath(u"ops.log"_s)), nowhere(u"/nonexistent-folder/ops.log"_s);
        bench.core.SetLog(&log);
        bench.core.Toggle(0, Source::Panel);
        bench.port.stuckRead = 0x40;
        bench.core.Select(RfPath::Rf2, Source::Remote);
        QFile file(dir.filePath(u"ops.log"_s));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll()), time = uR"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d) )"_s;
        QVERIFY2(QRegularExpression(u'^' + time + uR"(panel port=888 register=data\(888\) wrote=0x01 read=0x01 attempts=1 result=verified\n)"_s
                                    + time + uR"(remote port=888 register=data\(888\) wrote=0x42 read=0x40 attempts=110 result=not-read-back\n$)"_s)
                     .match(text).hasMatch(), qPrintable(text));

        bench.port.stuckRead.reset();
        bench.core.SetLog(&nowhere);
        QSignalSpy failed(&bench.core, &SwitchCore::LogFailed);
        bench.port.Take();
        bench.core.Toggle(1, Source::Panel);
        bench.core.Toggle(1, Source::Panel);
        QCOMPARE(failed.count(), 1);
        QVERIFY(failed.first().first().toString().startsWith(u"/nonexistent-folder/ops.log: "_s));
        QCOMPARE(bench.port.Take(), u"r888:42 w888:40 r888:40 r888:40 w888:42 r888:42"_s);
    }
};

QTEST_MAIN(SwitchCoreTest)
#include "tst_switchcore.moc"
