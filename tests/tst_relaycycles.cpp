// Relay cycle counters: which operations count as a closure (only what the
// port read back), and the file each board's counts are kept in: written at
// once, then at most once a second; one that does not read whole, and a link
// at its place. Kept across runs, kill -9 while writing, and a file that
// cannot be written are for the program itself (relay_cycles).
#include "Bench.h"
#include "Panel.h"
#include "Program.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// The file's text without its comment line: "rf1 2 rf2 1 limit 0", or
// "(none)" where there is no file.
QString Kept(const QString& path)
{
    if (!QFile::exists(path))
        return u"(none)"_s;
    QStringList lines = ReadText(path).split(u'\n', Qt::SkipEmptyParts);
    lines.removeIf([](const QString& line) { return line.startsWith(u'#'); });
    return lines.join(u' ');
}

} // namespace

class RelayCyclesTest : public QObject
{
    Q_OBJECT

private slots:
    // The counts after each way an operation can go, as every client's
    // operations reach the core, and the file they are kept in.
    void closures_data()
    {
        AddColumns<int, QString, QString, QString, QString, QString>("held", "port", "operations", "source", "counts", "file");
        const QString none = u"(none)"_s;
        QTest::newRow("off to rf1") << 0x00 << "" << "rf1" << "remote" << "1 0" << "rf1 1 rf2 0 limit 0";
        QTest::newRow("round trip") << 0x00 << "" << "rf1 rf2 rf1 off rf2" << "remote" << "2 2" << "rf1 2 rf2 2 limit 0";
        QTest::newRow("already there") << 0x01 << "" << "rf1 rf1" << "remote" << "0 0" << none;
        QTest::newRow("rf2 to rf1, breaking first") << 0x02 << "" << "rf1" << "remote" << "1 0" << "rf1 1 rf2 0 limit 0";
        QTest::newRow("both bits on the port, to rf2") << 0x03 << "" << "rf2" << "remote" << "0 1" << "rf1 0 rf2 1 limit 0";
        QTest::newRow("panel toggles") << 0x00 << "" << "C1:00 C1:10 C2:00 C1:01" << "panel" << "1 1" << "rf1 1 rf2 1 limit 0";
        QTest::newRow("read back after retries") << 0x00 << "slow" << "rf1" << "remote" << "1 0" << "rf1 1 rf2 0 limit 0";
        // Asked for RF1, the port reads back RF2: RF2 is what closed.
        QTest::newRow("read back otherwise") << 0x00 << "reads rf2" << "rf1" << "remote" << "0 1" << "rf1 0 rf2 1 limit 0";
        QTest::newRow("not read back") << 0x00 << "stuck" << "rf1" << "remote" << "0 0" << none;
        QTest::newRow("nothing read back") << 0x00 << "reads die" << "rf1" << "remote" << "0 0" << none;
        QTest::newRow("writes refused") << 0x00 << "writes refused" << "rf1" << "remote" << "0 0" << none;
        QTest::newRow("locked by another client") << 0x00 << "locked" << "rf1" << "remote" << "0 0" << none;
        QTest::newRow("moved by another program, read") << 0x00 << "" << "outside:01 read outside:02 read" << "remote" << "0 0" << none;
        // The toggle acts on the register as read just before, not as last shown.
        QTest::newRow("moved by another program, toggled") << 0x00 << "" << "outside:01 C1:00" << "panel" << "0 0" << none;
        QTest::newRow("cleared at address entry") << 0x01 << "" << "take" << "remote" << "0 0" << none;
    }

    void closures()
    {
        const auto [held, port] = Fetch<int, QString>("held", "port");
        const auto [operations, source] = Fetch<QString, QString>("operations", "source");
        QTemporaryDir folder;
        auto counted = std::make_unique<Bench>(std::uint8_t(held), kRealPort, folder.path());
        FakePort& fake = counted->port;
        fake.readBackAfter = port == "slow"_L1 ? 3 : 1;
        fake.stuckRead = port == "stuck"_L1 ? std::optional<std::uint8_t>(0x00) : std::nullopt;
        fake.readsFor = port == "reads die"_L1 ? std::optional<std::size_t>(fake.accesses.size() + 1) : std::nullopt;
        fake.writeError = port == "writes refused"_L1 ? "/dev/port: no space left on device" : "";
        if (port == "reads rf2"_L1)
            fake.onAccess = [&fake](const PortAccess& access) {
                if (access.kind == PortAccess::Kind::Write)
                    fake.stuckRead = 0x02;
            };
        if (port == "locked"_L1)
            QVERIFY(counted->core.Lock(Source::Remote("10.0.0.9:5025")));
        const Source asker = source == "panel"_L1 ? Source{} : Source::Remote("10.0.0.7:41000");
        for (const QString& operation : operations.split(u' '))
            counted->Do(operation, asker);
        QTEST(counted->Counts(), "counts");
        // What the end of the run leaves in the file.
        counted.reset();
        QTEST(Kept(folder.filePath(u"relay-cycles-888.txt"_s)), "file");
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), Kept(folder.filePath(u"relay-cycles-888.txt"_s)) == "(none)"_L1 ? 0 : 1);
    }

    // Clicks in the window count as any client's switching does, and the
    // status line warns once a path has reached the limit.
    void panelCountsAndWarns()
    {
        QTemporaryDir folder;
        Panel panel;
        RelayCycles cycles(folder.path());
        panel.core.SetCycles(&cycles);
        QVERIFY(panel.Show());
        QVERIFY(panel.core.SetCycleLimit(2, Source{}).Ok());
        for (const QString& button : {u"C1"_s, u"C1"_s, u"C2"_s, u"C2"_s})
            panel.Click(button);
        QTRY_COMPARE(panel.Captions(), u"00"_s);
        QCOMPARE(panel.core.Cycles(), (CycleCounts{1, 1, 2}));
        QVERIFY2(!panel.Status()->text().contains(u"Relay cycles"_s), qPrintable(panel.Status()->text()));
        panel.Click(u"C1"_s);
        const QString warning = u"Relay cycles: RF1 has closed 2 times, the limit set is 2: replace the switch, then clear its counts."_s;
        QTRY_COMPARE(panel.Status()->text().split(u'\n').last(), warning);
        QCOMPARE(panel.Status()->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QVERIFY(panel.core.ClearCycles({1}, Source{}).Ok());
        QTRY_VERIFY(!panel.Status()->text().contains(u"Relay cycles"_s));
        cycles.Flush();
        QCOMPARE(Kept(folder.filePath(u"relay-cycles-888.txt"_s)), u"rf1 0 rf2 1 limit 2"_s);
        panel.core.SetCycles(nullptr);
    }

    // Clearing the counts and setting the limit are on the record, with the
    // counts as they were; refused while another client holds the lock.
    void changesAreLogged()
    {
        QTemporaryDir folder;
        Bench counted(0x00, kRealPort, folder.path());
        QStringList logged;
        QObject::connect(&counted.core, &SwitchCore::Logged, [&logged](const std::string& line) { logged << QString::fromStdString(line); });
        const Source remote = Source::Remote("10.0.0.7:41000");
        for (const RfPath path : {RfPath::Rf1, RfPath::Rf2, RfPath::Rf1})
            counted.core.Select(path, remote);
        logged.clear();
        QVERIFY(counted.core.SetCycleLimit(1000, remote).Ok());
        QVERIFY(counted.core.ClearCycles({2, 1}, remote).Ok());
        QVERIFY(counted.core.Lock(Source::Remote("10.0.0.9:5025")));
        QCOMPARE(counted.core.ClearCycles({1}, remote).detail, "locked by remote:10.0.0.9:5025");
        const QString head = u"remote:10.0.0.7:41000 port=888 board=real device=/dev/parport0 "_s;
        QCOMPARE(logged, (QStringList{head + u"cycle-limit=1000 result=done"_s, head + u"clear-cycles rf2=1 rf1=2 result=done"_s,
                                      head + u"clear-cycles result=refused (locked by remote:10.0.0.9:5025)"_s}));
    }

    // A dry run counts too, in a file of its own: a real board that later
    // stands at the address does not take on the simulated one's counts.
    void simulatedBoardCountsApart()
    {
        QTemporaryDir folder;
        {
            Bench counted(0x00, kSimulatedPort, folder.path());
            counted.core.Select(RfPath::Rf1, Source{Source::Kind::CommandLine, {}, true});
            QCOMPARE(counted.Counts(), u"1 0"_s);
            // A real port appears at the address: its own counts, none yet.
            counted.port.status = FakePort().status;
            counted.core.TakeAddress(888, true, Source{});
            QCOMPARE(counted.Counts(), u"0 0"_s);
        }
        QCOMPARE(Kept(folder.filePath(u"relay-cycles-888-simulated.txt"_s)), u"rf1 1 rf2 0 limit 0"_s);
        QCOMPARE(Kept(folder.filePath(u"relay-cycles-888.txt"_s)), u"(none)"_s);
    }

    // The first change goes to the file at once; the next ones within the
    // second wait for it to pass, and then all go out in one write.
    void writtenAtOnceThenAtMostOnceASecond()
    {
        QTemporaryDir folder;
        const QString file = folder.filePath(u"relay-cycles-632.txt"_s);
        RelayCycles cycles(folder.path());
        cycles.UseBoard(632, PortReach::Real);
        cycles.Closed(1);
        QCOMPARE(Kept(file), u"rf1 1 rf2 0 limit 0"_s);
        cycles.Closed(2);
        cycles.Closed(1);
        QCOMPARE(Kept(file), u"rf1 1 rf2 0 limit 0"_s);
        QTRY_COMPARE_WITH_TIMEOUT(Kept(file), u"rf1 2 rf2 1 limit 0"_s, 5000);
        // Going to another board writes this one's first.
        cycles.SetLimit(5);
        cycles.UseBoard(PortName("/dev/parport1"), PortReach::Real);
        QCOMPARE(Kept(file), u"rf1 2 rf2 1 limit 5"_s);
        QCOMPARE(cycles.Counts(), (CycleCounts{0, 0, 0}));
    }

    // A panel whose port a server held meanwhile takes on what the server
    // counted once the port is its own, and counts on from there.
    void countedMeanwhileByAnotherProcess()
    {
        QTemporaryDir folder;
        const QString file = folder.filePath(u"relay-cycles-888.txt"_s);
        RelayCycles panel(folder.path());
        panel.UseBoard(888, PortReach::Unusable);
        {
            RelayCycles server(folder.path());
            server.UseBoard(888, PortReach::Real);
            for (const int channel : {1, 2, 1})
                server.Closed(channel);
        }
        panel.UseBoard(888, PortReach::Real);
        QCOMPARE(panel.Counts(), (CycleCounts{2, 1, 0}));
        panel.Closed(2);
        panel.Flush();
        QCOMPARE(Kept(file), u"rf1 2 rf2 2 limit 0"_s);
    }

    // A file that does not read whole: the lines that do count on, and the
    // file is kept aside as it was, never over a copy kept before nor more
    // than five times. A symbolic link at its place is neither read nor
    // written through. plant: what lies in the folder before the board
    // comes into use; file: the file's text after a closure of RF2 was
    // written; entries: what the folder then holds.
    void damagedFile_data()
    {
        AddColumns<QString, QString, QString, int, QString>("plant", "counts", "file", "entries", "said");
        const QString said = u"relay cycles: DIR/relay-cycles-888.txt: did not read whole (line 2: rf2 98O); %1; "
                             u"counting on from the rest: rf1 1520, rf2 0, limit 5000"_s;
        QTest::newRow("a bad byte") << "" << "1520 1 5000" << "rf1 1520 rf2 1 limit 5000" << 2 << said.arg("kept as relay-cycles-888.txt.unreadable");
        QTest::newRow("a copy kept before") << "kept before" << "1520 1 5000" << "rf1 1520 rf2 1 limit 5000" << 3
                                            << said.arg("kept as relay-cycles-888.txt.unreadable-2");
        QTest::newRow("read again before a write") << "read before" << "1520 1 5000" << "rf1 1520 rf2 1 limit 5000" << 2
                                                   << said.arg("kept as relay-cycles-888.txt.unreadable");
        QTest::newRow("five copies kept") << "five kept" << "1520 1 5000" << "rf1 1520 rf2 1 limit 5000" << 6
                                          << said.arg("not kept aside: 5 copies of files that did not read are kept beside it already");
        QTest::newRow("a link at its place") << "link" << "0 1 0" << "rf1 1520 rf2 98O limit 5000" << 2
                                             << "relay cycles: DIR/relay-cycles-888.txt: a symbolic link, not a regular file: "
                                                "neither read nor written through; the counts are kept in memory";
    }

    void damagedFile()
    {
        const auto [plant, said] = Fetch<QString, QString>("plant", "said");
        QTemporaryDir folder;
        const QString file = folder.filePath(u"relay-cycles-888.txt"_s);
        const QByteArray damaged = "rf1 1520\nrf2 98O\nlimit 5000\n";
        const auto put = [&folder](const QString& name, const QByteArray& text) {
            QFile out(folder.filePath(name));
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(text) == text.size());
        };
        put(plant == "link"_L1 ? u"elsewhere.txt"_s : u"relay-cycles-888.txt"_s, damaged);
        if (plant == "link"_L1)
            QVERIFY(QFile::link(u"elsewhere.txt"_s, file));
        for (int copy = 1; copy <= (plant == "five kept"_L1 ? 5 : plant == "kept before"_L1 ? 1 : 0); ++copy)
            put(u"relay-cycles-888.txt.unreadable"_s + (copy > 1 ? u"-%1"_s.arg(copy) : u""_s), "rf1 7\n");
        if (plant == "read before"_L1)
            RelayCycles(folder.path()).UseBoard(888, PortReach::Real);
        QStringList told;
        {
            RelayCycles cycles(folder.path());
            cycles.OnTrouble([&told](const std::string& why) { told << QString::fromStdString(why); });
            cycles.UseBoard(888, PortReach::Real);
            cycles.Closed(2);
            QTEST(u"%1 %2 %3"_s.arg(cycles.Counts().rf1).arg(cycles.Counts().rf2).arg(cycles.Counts().limit), "counts");
        }
        QCOMPARE(told, QStringList{QString(said).replace(u"DIR"_s, folder.path())});
        QTEST(Kept(file), "file");
        QCOMPARE(QFileInfo(file).isSymLink(), plant == "link"_L1);
        const QStringList entries = QDir(folder.path()).entryList(QDir::Files | QDir::System | QDir::Hidden);
        QTEST(int(entries.size()), "entries");
        // The copy kept aside is the file as it was, byte for byte.
        const QString aside = said.section(u"kept as "_s, 1).section(u';', 0, 0);
        if (!aside.isEmpty())
            QCOMPARE(ReadText(folder.filePath(aside)).toUtf8(), damaged);
    }

    void parse_data()
    {
        AddColumns<QByteArray, QString, QString>("text", "counts", "unread");
        QTest::newRow("as written") << QByteArray("# comment\nrf1 5\nrf2 7\nlimit 100\n") << "5 7 100" << "";
        QTest::newRow("any order, blanks, CR LF") << QByteArray("\r\n  limit\t3 \r\nrf2 0\r\n#\nrf1 18446744073709551615\r\n")
                                                 << "18446744073709551615 0 3" << "";
        QTest::newRow("keys left out") << QByteArray("rf2 4\n") << "0 4 0" << "";
        QTest::newRow("empty") << QByteArray("") << "0 0 0" << "";
        // A line that does not read counts for nothing; the others count all the same.
        QTest::newRow("a bad byte") << QByteArray("rf1 1520\nrf2 98O\nlimit 5000\n") << "1520 0 5000" << "line 2: rf2 98O";
        QTest::newRow("unknown key") << QByteArray("rf1 5\nrf3 1\n") << "5 0 0" << "line 2: rf3 1";
        QTest::newRow("key twice") << QByteArray("rf1 5\nrf1 6\n") << "5 0 0" << "line 2: rf1 6";
        QTest::newRow("negative") << QByteArray("rf1 -5\nlimit 9") << "0 0 9" << "line 1: rf1 -5";
        QTest::newRow("trailing letters") << QByteArray("rf1 5x\n") << "0 0 0" << "line 1: rf1 5x";
        QTest::newRow("too large") << QByteArray("rf1 18446744073709551616\n") << "0 0 0" << "line 1: rf1 18446744073709551616";
        QTest::newRow("no number") << QByteArray("rf1\nrf2 3\n") << "0 3 0" << "line 1: rf1";
        // Labels: each a label, and each channel's own.
        QTest::newRow("labels") << QByteArray("rf1 1\nlabel2 Load_1\nlabel1 ANT\npower-on rcl3\n") << "1 0 0 ANT Load_1 3" << "";
        QTest::newRow("labels refused") << QByteArray("label1 ant\nlabel2 ANT\nlabel3 X\nlabel1 B\npower-on rcl10\nlabel2 rf1\n")
                                        << "0 0 0 ant" << "line 2: label2 ANT | line 3: label3 X | line 4: label1 B | line 5: power-on rcl10 | line 6: label2 rf1";
        QTest::newRow("control bytes, cut short") << QByteArray("rf2 \x01\xff" + QByteArray(60, 'z')) << "0 0 0"
                                                  << "line 1: rf2 \\x01\\xFF" + QString(34, u'z') + "...";
    }

    void parse()
    {
        QFETCH(QByteArray, text);
        std::vector<std::string> unread;
        const BoardRecord record = ParseBoard(std::string_view(text.constData(), std::size_t(text.size())), &unread);
        const CycleCounts& counts = record.counts;
        QStringList read{QString::number(counts.rf1), QString::number(counts.rf2), QString::number(counts.limit)};
        for (const std::string& label : {record.labels.rf1, record.labels.rf2})
            if (!label.empty())
                read << QString::fromStdString(label);
        if (record.powerOn)
            read << QString::number(*record.powerOn);
        QTEST(read.join(u' '), "counts");
        QStringList lines;
        for (const std::string& line : unread)
            lines << QString::fromStdString(line);
        QTEST(lines.join(u" | "_s), "unread");
    }

    void fileNames_data()
    {
        AddColumns<QString, bool, QString>("port", "simulated", "name");
        QTest::newRow("address") << "888" << false << "relay-cycles-888.txt";
        QTest::newRow("address, simulated") << "888" << true << "relay-cycles-888-simulated.txt";
        QTest::newRow("device") << "/dev/parport1" << false << "relay-cycles-parport1.txt";
        QTest::newRow("device in a folder") << "/dev/usb/parport0" << false << "relay-cycles-usb-parport0.txt";
        QTest::newRow("no port at 0") << "0" << false << "";
        QTest::newRow("negative") << "-5" << false << "";
    }

    void fileNames()
    {
        const auto [port, simulated] = Fetch<QString, bool>("port", "simulated");
        const PortName name = port.startsWith(u'/') ? PortName(port.toStdString()) : PortName(port.toInt());
        QTEST(CyclesFileName(name, simulated ? PortReach::Simulated : PortReach::Real), "name");
    }

};

QTEST_MAIN(RelayCyclesTest)
#include "tst_relaycycles.moc"
