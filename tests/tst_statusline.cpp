#include "FakePort.h"
#include "StatusLine.h"
#include "Table.h"

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(PortStatus)
Q_DECLARE_METATYPE(OperationResult)

// What the status line says for each state of the port, and in which colour.
class StatusLineTest : public QObject
{
    Q_OBJECT

private slots:
    void words_data()
    {
        // The window shows the other states, each through a port that gets there, in tst_views.
        AddColumns<PortStatus, int, OperationResult, bool, QString, QColor>("status", "address", "last", "known", "text", "colour");
        const PortStatus real{PortReach::Real, "/dev/parport0", "", "", false};
        const PortStatus simulated{PortReach::Simulated, "simulated port", "no parallel port found",
                                   "have the parallel-port drivers loaded (modprobe parport_pc ppdev)", false};
        const OperationResult ok, stuck{Outcome::NotReadBack, "Port 888: wrote 0x01, read back 0xFF after 110 attempts"};
        const QColor red(255, 0, 0);
        QTest::newRow("real, state unknown") << real << 888 << ok << false << "Port 888 (0x378): /dev/parport0: the board's state is unknown" << red;
        // An unusable port outranks the last failure.
        QTest::newRow("unusable, after a failure") << kDeniedPort << 632 << stuck << false
                                                   << "Port 632 (0x278): /dev/parport0: permission denied: add your user to the lp group and "
                                                      "log in again; nothing is written" << red;
        QTest::newRow("simulated, a next step") << simulated << 888 << ok << true
                                   << "Port 888 (0x378): SIMULATED, no board is driven (no parallel port found). Have the parallel-port "
                                      "drivers loaded (modprobe parport_pc ppdev)." << QColor(0, 0, 192);
    }

    void words()
    {
        const auto [status, address] = Fetch<PortStatus, int>("status", "address");
        const auto [last, known] = Fetch<OperationResult, bool>("last", "known");
        const StatusText line = StatusLine(status, address, last, known);
        QTEST(line.text, "text");
        QTEST(line.colour, "colour");
    }

    // Below the limit, or without one, nothing is said; at it, each path
    // that has reached it.
    void cyclesWarning_data()
    {
        AddColumns<quint64, quint64, quint64, QString>("rf1", "rf2", "limit", "warning");
        QTest::newRow("no limit") << quint64(5000000) << quint64(0) << quint64(0) << "";
        QTest::newRow("one below") << quint64(999999) << quint64(999999) << quint64(1000000) << "";
        const QString replace = u": replace the switch, then clear its counts."_s;
        QTest::newRow("RF1 at the limit") << quint64(1000000) << quint64(20) << quint64(1000000)
                                          << "Relay cycles: RF1 has closed 1000000 times, the limit set is 1000000" + replace;
        QTest::newRow("RF2 over it") << quint64(3) << quint64(12) << quint64(10)
                                     << "Relay cycles: RF2 has closed 12 times, the limit set is 10" + replace;
        QTest::newRow("once") << quint64(0) << quint64(1) << quint64(1)
                              << "Relay cycles: RF2 has closed 1 time, the limit set is 1" + replace;
        QTest::newRow("both") << quint64(10) << quint64(11) << quint64(10)
                              << "Relay cycles: RF1 has closed 10 times and RF2 has closed 11 times, the limit set is 10" + replace;
    }

    void cyclesWarning()
    {
        const auto [rf1, rf2, limit] = Fetch<quint64, quint64, quint64>("rf1", "rf2", "limit");
        QTEST(CyclesWarning(CycleCounts{rf1, rf2, limit}), "warning");
    }
};

QTEST_APPLESS_MAIN(StatusLineTest)
#include "tst_statusline.moc"
