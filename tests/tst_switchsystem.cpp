// Four boards in one process, each on a recording port of its own, under one
// lock: slot channels, the lock held over every board, one board failing
// while the others switch, one port for one board, each board's relay
// counts across a restart, and the other boards as the window lists them.
#include "FakePort.h"
#include "RelayCycles.h"
#include "StatusLine.h"
#include "Panel.h"
#include "SwitchCore.h"
#include "SwitchSystem.h"
#include "Table.h"

#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kTimeout = 30000;
constexpr std::array<std::int32_t, 4> kAddresses{888, 632, 956, 1016};

const Source kAlice = Source::Remote("192.0.2.1:5025");
const Source kBob = Source::Remote("192.0.2.2:5025");

// Four boards at their addresses, their relay counts kept in `folder` where one is given.
struct Rack
{
    explicit Rack(const QString& folder = {})
    {
        for (std::size_t i = 0; i < kAddresses.size(); ++i) {
            cores[i] = std::make_unique<SwitchCore>(ports[i]);
            if (!folder.isEmpty()) {
                cycles[i] = std::make_unique<RelayCycles>(folder);
                cores[i]->SetCycles(cycles[i].get());
            }
            system.Add(*cores[i], "board" + std::to_string(i + 1));
            cores[i]->TakeAddress(kAddresses[i], false, Source{});
        }
        Settle();
        for (FakePort& port : ports)
            port.accesses.clear();
    }

    void Settle()
    {
        QTRY_VERIFY_WITH_TIMEOUT(std::none_of(cores.begin(), cores.end(), [](const auto& core) { return core->Running() || core->Queued(); }),
                                 kTimeout);
    }

    // Each board's outcome of selecting `path` for `who`, in board order.
    QString SelectOnEach(RfPath path, const Source& who)
    {
        std::array<QString, 4> outcomes;
        for (int board = 1; board <= system.Count(); ++board)
            system.Core(board).Select(path, who, [&outcomes, board](const OperationResult& result) {
                outcomes[std::size_t(board - 1)] = QLatin1String(OutcomeName(result.outcome));
            });
        Settle();
        return QStringList(outcomes.begin(), outcomes.end()).join(u' ');
    }

    // What reached each port since the last look, "|" between boards.
    QString Traces()
    {
        QStringList traces;
        for (FakePort& port : ports)
            traces << port.Take();
        return traces.join(u'|');
    }

    std::array<FakePort, 4> ports;
    std::array<std::unique_ptr<RelayCycles>, 4> cycles;
    std::array<std::unique_ptr<SwitchCore>, 4> cores;
    SwitchSystem system;
};

} // namespace

class TestSwitchSystem : public QObject
{
    Q_OBJECT

private slots:
    void slotChannels_data()
    {
        AddColumns<int, int, QString>("boards", "number", "slot");
        QTest::newRow("one board, 1") << 1 << 1 << "1/1";
        QTest::newRow("one board, 2") << 1 << 2 << "1/2";
        QTest::newRow("one board, 101 is 1") << 1 << 101 << "1/1";
        QTest::newRow("one board, 102 is 2") << 1 << 102 << "1/2";
        QTest::newRow("one board, no 201") << 1 << 201 << "none";
        QTest::newRow("no path 3") << 4 << 3 << "none";
        QTest::newRow("no path 103") << 4 << 103 << "none";
        QTest::newRow("no path 100") << 4 << 100 << "none";
        QTest::newRow("four boards, 202") << 4 << 202 << "2/2";
        QTest::newRow("four boards, 401") << 4 << 401 << "4/1";
        QTest::newRow("four boards, no 501") << 4 << 501 << "none";
        QTest::newRow("none is 0") << 4 << 0 << "none";
    }

    void slotChannels()
    {
        const auto [boards, number, slot] = Fetch<int, int, QString>("boards", "number", "slot");
        std::array<FakePort, 4> ports;
        std::vector<std::unique_ptr<SwitchCore>> cores;
        SwitchSystem system;
        for (int i = 0; i < boards; ++i)
            system.Add(*cores.emplace_back(std::make_unique<SwitchCore>(ports[std::size_t(i)])));
        const auto found = system.Slot(number);
        QCOMPARE(found ? QStringLiteral("%1/%2").arg(found->board).arg(found->channel) : u"none"_s, slot);
    }

    void boardsByName_data()
    {
        AddColumns<QString, int>("text", "board");
        QTest::newRow("number") << "3" << 3;
        QTest::newRow("name") << "board2" << 2;
        QTest::newRow("name in capitals") << "BOARD4" << 4;
        QTest::newRow("no such number") << "5" << 0;
        QTest::newRow("no such name") << "board9" << 0;
        QTest::newRow("nothing") << "" << 0;
    }

    void boardsByName()
    {
        const auto [text, board] = Fetch<QString, int>("text", "board");
        Rack rack;
        QCOMPARE(rack.system.BoardNamed(text.toStdString()), board);
    }

    void oneLockOverEveryBoard()
    {
        Rack rack;
        // Taken through board 2, it holds board 4 too.
        QVERIFY(rack.system.Core(2).Lock(kAlice));
        QVERIFY(!rack.system.Core(4).Lock(kBob));
        QCOMPARE(rack.SelectOnEach(RfPath::Rf1, kBob), u"not-written not-written not-written not-written"_s);
        QCOMPARE(rack.Traces(), u"|||"_s);
        QCOMPARE(rack.system.Core(3).LockHolder() ? QString::fromStdString(SourceName(*rack.system.Core(3).LockHolder())) : QString(),
                 u"remote:192.0.2.1:5025"_s);
        QCOMPARE(rack.SelectOnEach(RfPath::Rf2, kAlice), u"verified verified verified verified"_s);
        // Let go through another board, it is free everywhere.
        rack.system.Core(3).Unlock(kAlice);
        QCOMPARE(rack.SelectOnEach(RfPath::Rf1, kBob), u"verified verified verified verified"_s);
        QCOMPARE(rack.Traces(), u"r888:00 w888:02 r888:02 r888:02 w888:00 r888:00 w888:01 r888:01|"
                                 "r632:00 w632:02 r632:02 r632:02 w632:00 r632:00 w632:01 r632:01|"
                                 "r956:00 w956:02 r956:02 r956:02 w956:00 r956:00 w956:01 r956:01|"
                                 "r1016:00 w1016:02 r1016:02 r1016:02 w1016:00 r1016:00 w1016:01 r1016:01"_s);
    }

    void oneBoardFailsTheOthersSwitch()
    {
        Rack rack;
        rack.ports[1].writeError = "/dev/parport1: no such device";
        QCOMPARE(rack.SelectOnEach(RfPath::Rf1, Source{}), u"verified not-written verified verified"_s);
        QCOMPARE(QStringList({QLatin1String(PathName(*rack.system.Core(1).State())), QLatin1String(PathName(*rack.system.Core(3).State())),
                              QLatin1String(PathName(*rack.system.Core(4).State()))}),
                 QStringList({"rf1", "rf1", "rf1"}));
    }

    // A board asked onto a port another board holds is refused it, at start
    // or later, and writes nothing there; the holder switches on. `kernel`:
    // the /dev/parportN each fake port says it is.
    void onePortOneBoard_data()
    {
        AddColumns<QString, QString, QString, QString>("kernel", "second", "status", "traces");
        QTest::newRow("the same address") << "" << "888" << "refused: held by board 1 of this program" << "w888:01|";
        QTest::newRow("the same device") << "" << "/dev/parport1 /dev/parport1" << "refused: held by board 1 of this program" << "w0:01|";
        QTest::newRow("an address and its device") << "/dev/parport0" << "/dev/parport0" << "refused: held by board 1 of this program" << "w888:01|";
        QTest::newRow("another port") << "" << "632" << "real: " << "w888:01|w632:01";
    }

    void onePortOneBoard()
    {
        const auto [kernel, second, status, traces] = Fetch<QString, QString, QString, QString>("kernel", "second", "status", "traces");
        std::array<FakePort, 2> ports;
        SwitchSystem system;
        std::vector<std::unique_ptr<SwitchCore>> cores;
        const QStringList places = second.split(u' ');
        for (const QString& place : {places.size() > 1 ? places[0] : u"888"_s, places.back()}) {
            FakePort& port = ports[cores.size()];
            if (!kernel.isEmpty())
                port.status.device = kernel.toStdString();
            SwitchCore& core = *cores.emplace_back(std::make_unique<SwitchCore>(port));
            system.Add(core);
            core.TakeAddress(place.startsWith(u'/') ? PortName(place.toStdString()) : PortName(place.toInt()), false, Source{});
        }
        QTRY_VERIFY_WITH_TIMEOUT(!cores[0]->Running() && !cores[0]->Queued() && !cores[1]->Running() && !cores[1]->Queued(), kTimeout);
        for (FakePort& port : ports)
            port.accesses.clear();
        for (const auto& core : cores)
            core->Select(RfPath::Rf1, Source{});
        QTRY_VERIFY_WITH_TIMEOUT(!cores[0]->Running() && !cores[0]->Queued() && !cores[1]->Running() && !cores[1]->Queued(), kTimeout);
        const PortStatus& held = cores[1]->Status();
        const QString reach = held.reach == PortReach::Refused ? u"refused"_s : held.reach == PortReach::Real ? u"real"_s : u"other"_s;
        QCOMPARE((QStringList{reach + u": "_s + QString::fromStdString(held.reason),
                              Trace(ports[0].Writes()) + u'|' + Trace(ports[1].Writes())}),
                 (QStringList{status, traces}));
    }

    // Each board served beside the first, as the window lists them: what
    // its port read back, in one line.
    void otherBoards_data()
    {
        AddColumns<QString, QString>("setup", "line");
        QTest::newRow("off, simulated") << "simulated" << "board 2 bench on 632 (0x278): off, simulated · board 3 on 956 (0x3BC): off";
        QTest::newRow("RF1 with its label") << "rf1 ANT" << "board 2 bench on 632 (0x278): RF1 ANT · board 3 on 956 (0x3BC): off";
        QTest::newRow("RF2") << "rf2" << "board 2 bench on 632 (0x278): RF2 · board 3 on 956 (0x3BC): off";
        QTest::newRow("nothing read back") << "unreadable" << "board 2 bench on 632 (0x278): unknown · board 3 on 956 (0x3BC): off";
        QTest::newRow("a port that cannot be used") << "denied" << "board 2 bench on 632 (0x278): unusable · board 3 on 956 (0x3BC): off";
        QTest::newRow("board 1's port") << "shared" << "board 2 bench on 888 (0x378): refused · board 3 on 956 (0x3BC): off";
    }

    void otherBoards()
    {
        const auto [setup, line] = Fetch<QString, QString>("setup", "line");
        std::array<FakePort, 3> ports;
        if (setup == "simulated"_L1)
            ports[1].status = kSimulatedPort;
        if (setup == "unreadable"_L1)
            ports[1].readError = "/dev/parport1: input/output error";
        if (setup == "denied"_L1)
            ports[1].status = kDeniedPort;
        QTemporaryDir folder;
        RelayCycles kept(folder.path());
        SwitchSystem system;
        std::vector<std::unique_ptr<SwitchCore>> cores;
        for (const std::int32_t address : {888, setup == "shared"_L1 ? 888 : 632, 956}) {
            SwitchCore& core = *cores.emplace_back(std::make_unique<SwitchCore>(ports[cores.size()]));
            system.Add(core, cores.size() == 2 ? "bench" : "");
            if (cores.size() == 2)
                core.SetCycles(&kept);
            core.TakeAddress(address, false, Source{});
        }
        SwitchCore& second = *cores[1];
        if (setup == "rf1 ANT"_L1)
            QVERIFY(second.SetLabel(1, "ANT", Source{}).Ok());
        if (setup.startsWith("rf"_L1))
            second.Select(setup.startsWith("rf1"_L1) ? RfPath::Rf1 : RfPath::Rf2, Source{});
        QTRY_VERIFY_WITH_TIMEOUT(std::none_of(cores.begin(), cores.end(), [](const auto& core) { return core->Running() || core->Queued(); }), kTimeout);
        QCOMPARE(OtherBoards(system), line);
        second.SetCycles(nullptr);
    }

    // The window lists the boards served beside its own, and follows them.
    void windowListsTheOtherBoards()
    {
        std::array<FakePort, 2> ports;
        SwitchSystem system;
        SwitchCore first(ports[0]), second(ports[1]);
        system.Add(first);
        system.Add(second, "bench");
        second.TakeAddress(632, false, Source{});
        SwitchForm form(SwitchFormContext{QueryFails, [](QWidget*, QMessageBox::Icon, const QString&) {}, &first, PortName(888)});
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto* room = form.findChild<QLabel*>(u"RemoteStatus"_s);
        QTRY_VERIFY2(room->text().contains(u"Also served: board 2 bench on 632 (0x278): off"_s), qPrintable(room->text()));
        second.Select(RfPath::Rf2, Source::Remote("192.0.2.1:5025"));
        QTRY_VERIFY2(room->text().contains(u"Also served: board 2 bench on 632 (0x278): RF2"_s), qPrintable(room->text()));
    }

    void countsPerBoardSurviveARestart()
    {
        QTemporaryDir folder;
        {
            Rack rack(folder.path());
            rack.system.Core(1).Select(RfPath::Rf1, Source{});
            for (const RfPath path : {RfPath::Rf2, RfPath::Rf1, RfPath::Rf2})
                rack.system.Core(3).Select(path, Source{});
            rack.Settle();
        }
        Rack again(folder.path());
        QStringList counts;
        for (int board = 1; board <= again.system.Count(); ++board) {
            const CycleCounts c = again.system.Core(board).Cycles();
            counts << QStringLiteral("%1/%2").arg(c.rf1).arg(c.rf2);
        }
        QCOMPARE(counts.join(u' '), u"1/0 0/0 1/2 0/0"_s);
    }
};

QTEST_MAIN(TestSwitchSystem)
#include "tst_switchsystem.moc"
