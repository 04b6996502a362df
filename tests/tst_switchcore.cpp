#include "Bench.h"
#include "OperationLog.h"
#include "PortLayer.h"
#include "Program.h"
#include "SwitchCore.h"
#include "Table.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/resource.h>

using namespace Qt::StringLiterals;

class SwitchCoreTest : public QObject
{
    Q_OBJECT

private slots:
    // What reaches the port, how the operation went, and the state the core
    // then holds: only ever what the port read back.
    void operations_data()
    {
        // port: stuck, every read gives 0x01; operation: a step as Bench::Do takes it. How the command line
        // tells the port's other faults is tst_commandline's, and the window's clicks tst_controlbits'.
        AddColumns<int, QString, QString, QString, QString, QString, QString>("held", "port", "operation", "source", "accesses", "result", "state");
        const QString panel = u"panel"_s, remote = u"remote:10.0.0.7:41000"_s;
        QTest::newRow("off to rf1") << 0x00 << "" << "rf1" << remote << "r888:00 w888:01 r888:01" << "verified" << "10";
        QTest::newRow("rf2 to rf1") << 0x02 << "" << "rf1" << remote << "r888:02 w888:00 r888:00 w888:01 r888:01" << "verified" << "10";
        QTest::newRow("rf1 again") << 0x01 << "" << "rf1" << remote << "r888:01" << "verified" << "10";
        QTest::newRow("both on the port, to rf2") << 0x03 << "" << "rf2" << remote << "r888:03 w888:02 r888:02" << "verified" << "01";
        QTest::newRow("other bits carried") << 0xF1 << "" << "rf2" << remote << "r888:f1 w888:f0 r888:f0 w888:f2 r888:f2" << "verified" << "01";
        // A break that is not read back makes nothing, and the state is what was read.
        QTest::newRow("break not read back") << 0x01 << "stuck" << "rf2" << remote << u"r888:01 "_s + u"w888:00 r888:01 "_s.repeated(110).trimmed()
                                             << "not-read-back: Port 888: wrote 0x00, read back 0x01 after 110 attempts" << "10";
        // Every write refused, every read answered: nothing changed, and that is known.
        QTest::newRow("writes refused") << 0x02 << "writes refused" << "rf2" << remote << "r888:02" << "verified" << "01";
        QTest::newRow("simulated, remote") << 0x00 << "simulated" << "rf1" << remote << ""
                                           << "not-written: port 888 (0x378) is only simulated: no board is driven; --simulate allows a dry run" << "00";
        QTest::newRow("simulated, dry run") << 0x00 << "simulated" << "rf1" << "dry run" << "r888:00 w888:01 r888:01" << "verified" << "10";
        QTest::newRow("locked by another client") << 0x00 << "locked" << "C1:00" << panel << "" << "not-written: locked by remote:10.0.0.9:5025" << "00";
        QTest::newRow("locked by this client") << 0x00 << "locked" << "rf2" << "remote:10.0.0.9:5025" << "r888:00 w888:02 r888:02" << "verified" << "01";
    }

    void operations()
    {
        const auto [held, port, operation, source] = Fetch<int, QString, QString, QString>("held", "port", "operation", "source");
        Bench bench(std::uint8_t(held), port == "simulated"_L1 ? kSimulatedPort : kRealPort);
        bench.port.stuckRead = port == "stuck"_L1 ? std::optional<std::uint8_t>(0x01) : std::nullopt;
        bench.port.writeError = port == "writes refused"_L1 ? "/dev/port: no space left on device" : "";
        QString result, from;
        QObject::connect(&bench.core, &SwitchCore::Finished, [&](const OperationResult& r, const Source& s) {
            result = QString::fromLatin1(OutcomeName(r.outcome)) + (r.detail.empty() ? "" : ": " + QString::fromStdString(r.detail));
            from = s.dryRun ? u"dry run"_s : QString::fromStdString(SourceName(s));
        });
        const Source asked = source == "panel"_L1 ? Source{} : source == "dry run"_L1 ? Source{Source::Kind::CommandLine, {}, true}
                                                                                     : Source::Remote(source.mid(7).toStdString());
        if (port == "locked"_L1)
            QVERIFY(bench.core.Lock(Source::Remote("10.0.0.9:5025")) && !bench.core.Lock(Source{}));
        bench.Do(operation, asked);
        QTEST(bench.port.Take(), "accesses");
        QTEST(result, "result");
        QCOMPARE(from, source);
        QTEST(bench.State(), "state");
    }

    // A request whose time has run out when its turn comes behind a slow
    // write: nothing reaches the port for it, the log says so, and the asker
    // is told. (One whose asker has gone: tst_scpi, tst_web, tst_commandline.)
    void abandoned_data()
    {
        AddColumns<QString, QString, QString, QString>("asker", "writes", "result", "logged");  // writes: the data register's, repeats folded
        const QString head = u"remote:10.0.0.7:41000 port=888 board=real device=/dev/parport0 "_s;
        QTest::newRow("still there") << "there" << "w888:01 w888:00 w888:02" << "verified"
                                     << head + "register=data(888) wrote=0x02 read=0x02 attempts=1 result=verified";
        QTest::newRow("too late") << "late" << "w888:01" << "abandoned: not carried out: not started in the time the client gave"
                                  << head + "select-rf2 result=abandoned (not started in the time the client gave)";
    }

    void abandoned()
    {
        QFETCH(QString, asker);
        Bench bench;
        bench.port.readBackAfter = 103;  // the first write runs into the paused retries
        Source source = Source::Remote("10.0.0.7:41000");
        if (asker == "late"_L1)
            source.deadline = Source::Clock::now() + std::chrono::milliseconds(1);
        QString result = u"(not answered)"_s, logged;
        connect(&bench.core, &SwitchCore::Logged, this, [&logged](const std::string& line) { logged = QString::fromStdString(line); });
        bench.port.onAccess = [&, asked = false](const PortAccess& access) mutable {
            if (access == PortAccess{PortAccess::Kind::Read, 888, 1})
                bench.port.readBackAfter = 1;  // what comes after goes through at once
            if (access.kind != PortAccess::Kind::Write || std::exchange(asked, true))
                return;
            bench.core.Select(RfPath::Rf2, source, [&result](const OperationResult& r) {
                result = QString::fromLatin1(OutcomeName(r.outcome)) + (r.detail.empty() ? "" : ": " + QString::fromStdString(r.detail));
            });
        };
        bench.core.Select(RfPath::Rf1, Source{});
        const QString writes = Trace(bench.port.Writes()).replace(QRegularExpression(u"(w888:..)( \\1)+"_s), u"\\1"_s);
        QTEST(writes, "writes");
        QTEST(result, "result");
        QTEST(logged, "logged");
    }

    // Freed, found or loaded later: read and shown, never written unasked.
    void aPortThatBecomesUsableIsReadNotWritten()
    {
        Bench bench(0x01, kDeniedPort);
        QCOMPARE(bench.State(), u"?"_s);
        bench.port.latched = {{888, 0x03}, {890, 0x04}};
        bench.port.status = kRealPort;
        QTRY_COMPARE(bench.State(), u"11"_s);
        QCOMPARE(bench.port.Take(), u"r888:03"_s);
    }

    // The simulated port holds what was written for the whole run, however
    // often the port is looked at again: RF2 to RF1 breaks first there too.
    void simulatedPortKeepsItsRegisters()
    {
        QTemporaryDir dir;
        QString error;
        const auto log = OperationLog::Open(dir.filePath(u"ops.log"_s), &error);
        PortLayer simulated({});
        SwitchCore core(simulated);
        core.SetLog(log.get());
        core.TakeAddress(888, true, Source{});
        core.Select(RfPath::Rf2, Source{});
        for (int tick = 0; tick < 4; ++tick)  // what the watch does while idle
            simulated.Refresh();
        core.Select(RfPath::Rf1, Source{});
        const QStringList wrote = ReadText(dir.filePath(u"ops.log"_s)).split(u'\n').filter(u"register=data"_s).replaceInStrings(
            QRegularExpression(u".* (wrote=0x..) read=(0x..) .*"_s), u"\\1/\\2"_s);
        QCOMPARE(wrote, QStringList({u"wrote=0x00/0x00"_s, u"wrote=0x02/0x02"_s, u"wrote=0x00/0x00"_s, u"wrote=0x01/0x01"_s}));
    }

    // The settle time is the switch's, for every client: each change logged
    // with who made it, none while another client holds the lock.
    void settleTime_data()
    {
        AddColumns<int, QString, int, QString>("asked", "holder", "held", "logged");  // asked, held: ms
        const QString head = u"remote:[::1]:5000 port=888 board=real device=/dev/parport0 "_s;
        QTest::newRow("set") << 50 << "" << 50 << head + "settle-time=50ms was=0ms result=set";
        QTest::newRow("unchanged") << 0 << "" << 0 << "";
        QTest::newRow("longest") << 70000 << "" << 60000 << head + "settle-time=60000ms was=0ms result=set";
        QTest::newRow("its own lock") << 20 << "[::1]:5000" << 20 << head + "settle-time=20ms was=0ms result=set";
        QTest::newRow("another's lock") << 20 << "192.0.2.7:5025" << 0
                                        << head + "settle-time=20ms result=refused (locked by remote:192.0.2.7:5025)";
    }

    void settleTime()
    {
        const auto [asked, holder] = Fetch<int, QString>("asked", "holder");
        Bench bench;
        if (!holder.isEmpty())
            bench.core.Lock(Source::Remote(holder.toStdString()));
        QStringList logged;
        connect(&bench.core, &SwitchCore::Logged, this, [&logged](const std::string& line) { logged << QString::fromStdString(line); });
        bench.core.SetSettleTime(std::chrono::milliseconds(asked), Source::Remote("[::1]:5000"));
        QTEST(int(bench.core.SettleTime().count()), "held");
        QTEST(logged.join(u'\n'), "logged");
    }

    // One line per write, read and refusal, naming the source and whether the
    // board is real; lines a full disk could not take leave a mark once it has room.
    void log()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"ops.log"_s);
        QString error;
        const auto log = OperationLog::Open(path, &error);
        QVERIFY2(log, qPrintable(error));
        Bench bench;
        bench.core.SetLog(log.get());
        bench.core.Toggle(0, {}, Source{});
        bench.core.Toggle(1, {true, false}, Source{});
        bench.port.stuckRead = 0x40;
        bench.core.Select(RfPath::Rf2, Source::Remote("[::1]:5000"));
        bench.port.stuckRead.reset();

        // The disk fills up for three lines.
        QSignalSpy failed(&bench.core, &SwitchCore::LogFailed);
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit full{rlim_t(QFileInfo(path).size()), limit.rlim_max};
        setrlimit(RLIMIT_FSIZE, &full);
        for (int i = 0; i < 3; ++i)
            bench.core.Toggle(1, {false, false}, Source{Source::Kind::CommandLine, {}, false});
        setrlimit(RLIMIT_FSIZE, &limit);
        bench.core.Attach(888, Source{Source::Kind::StartUp, {}, false});
        bench.core.Attach(PortName("/dev/parport1"), Source{Source::Kind::StartUp, {}, false});
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.first().first().toString(), path + u": File too large"_s);

        const QString time = uR"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d) )"_s;
        const QStringList lines{
            uR"(panel port=888 board=real device=/dev/parport0 register=data\(888\) wrote=0x01 read=0x01 attempts=1 result=verified)"_s,
            uR"(panel port=888 board=real device=/dev/parport0 toggle-C2 result=refused \(C1=1 with C2=1 is not available for the selected model\))"_s,
            uR"(remote:\[::1\]:5000 port=888 board=real device=/dev/parport0 register=data\(888\) wrote=0x42 read=0x40 attempts=110 result=not-read-back)"_s,
            u"log: 3 lines not written since "_s + time.trimmed(),
            uR"(start-up port=888 board=real device=/dev/parport0 register=data\(888\) read=0x42 result=read)"_s,
            uR"(start-up port=/dev/parport1 board=real device=/dev/parport0 register=data\(0\) read=0x00 result=read)"_s,
        };
        const QString text = ReadText(path);
        QVERIFY2(QRegularExpression(u'^' + time + lines.join(u'\n' + time) + u"\n$"_s).match(text).hasMatch(), qPrintable(text));
        // A FIFO or a link is no log: tst_commandline runs the program on them.
    }

    // A log's stamps in local time, one after the other: the offset changes
    // exactly at the zone's transitions, and with the zone.
    void stampsFollowTheZone_data()
    {
        // zones: the first stamp's, then changes, comma-separated; instants in UTC, and stamps, blank-separated
        AddColumns<QString, QString, QString>("zones", "instants", "stamps");
        QTest::newRow("summer time begins") << "Europe/Berlin"
                                            << "2026-03-29T00:59:59.999Z 2026-03-29T01:00:00.000Z 2026-03-29T01:00:00.001Z"
                                            << "2026-03-29T01:59:59.999+01:00 2026-03-29T03:00:00.000+02:00 2026-03-29T03:00:00.001+02:00";
        QTest::newRow("summer time ends") << "Europe/Berlin" << "2026-10-25T00:59:59.999Z 2026-10-25T01:00:00.000Z"
                                          << "2026-10-25T02:59:59.999+02:00 2026-10-25T02:00:00.000+01:00";
        QTest::newRow("clock set back over a change") << "Europe/Berlin" << "2026-03-29T01:00:00.000Z 2026-03-28T12:00:00.000Z"
                                                      << "2026-03-29T03:00:00.000+02:00 2026-03-28T13:00:00.000+01:00";
        QTest::newRow("no changes") << "UTC" << "2026-06-01T12:00:00.000Z" << "2026-06-01T12:00:00.000Z";
        QTest::newRow("zone changed") << "UTC,,Asia/Kolkata" << "2026-06-01T12:00:00.000Z 2026-06-01T12:00:00.001Z 2026-06-01T12:00:00.002Z"
                                      << "2026-06-01T12:00:00.000Z 2026-06-01T12:00:00.001Z 2026-06-01T17:30:00.002+05:30";
    }

    void stampsFollowTheZone()
    {
        const auto [zoneList, instantList] = Fetch<QString, QString>("zones", "instants");
        const QStringList zones = zoneList.split(u','), instants = instantList.split(u' ');
        for (const QString& zone : zones)
            if (!zone.isEmpty() && !QTimeZone(zone.toLatin1()).isValid())
                QSKIP("no time zone data (package tzdata)");
        LocalStamp stamp{QTimeZone(zones.first().toLatin1())};
        QStringList stamps;
        for (int i = 0; i < instants.size(); ++i) {
            if (i > 0 && i < zones.size() && !zones[i].isEmpty())
                stamp.SetZone(QTimeZone(zones[i].toLatin1()));
            stamps << QString::fromStdString(stamp.Text(QDateTime::fromString(instants[i], Qt::ISODateWithMs).toMSecsSinceEpoch()));
        }
        QTEST(stamps.join(u' '), "stamps");
    }
};

QTEST_MAIN(SwitchCoreTest)
#include "tst_switchcore.moc"
