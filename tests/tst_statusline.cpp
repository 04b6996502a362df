#include "StatusLine.h"

#include <QTest>

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
        QTest::addColumn<PortStatus>("status");
        QTest::addColumn<int>("address");
        QTest::addColumn<OperationResult>("last");
        QTest::addColumn<bool>("known");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QColor>("colour");
        const PortStatus real{PortReach::Real, "/dev/parport0", "", "", false};
        const PortStatus denied{PortReach::Unusable, "/dev/parport0", "/dev/parport0: permission denied",
                                "add your user to the lp group and log in again", false};
        const PortStatus simulated{PortReach::Simulated, "simulated port", "no parallel port found",
                                   "have the parallel-port drivers loaded (modprobe parport_pc ppdev)", false};
        const PortStatus refused{PortReach::Refused, "", "no port at address 0", "type the port's base address, e.g. 888 or &H378", false};
        const OperationResult ok, stuck{Outcome::NotReadBack, "Port 888: wrote 0x01, read back 0xFF after 110 attempts"};
        const QColor black(0, 0, 0), red(255, 0, 0), blue(0, 0, 192);
        QTest::newRow("real") << real << 888 << ok << true << "Port 888 (0x378): /dev/parport0" << black;
        QTest::newRow("real, not read back") << real << 888 << stuck << true << "Port 888: wrote 0x01, read back 0xFF after 110 attempts" << red;
        QTest::newRow("real, state unknown") << real << 888 << ok << false << "Port 888 (0x378): /dev/parport0: the board's state is unknown" << red;
        QTest::newRow("unusable, after a failure") << denied << 632 << stuck << false
                                                   << "Port 632 (0x278): /dev/parport0: permission denied: add your user to the lp group and "
                                                      "log in again; nothing is written" << red;
        QTest::newRow("simulated") << simulated << 888 << ok << true
                                   << "Port 888 (0x378): SIMULATED, no board is driven (no parallel port found). Have the parallel-port "
                                      "drivers loaded (modprobe parport_pc ppdev)." << blue;
        QTest::newRow("address 0") << refused << 0 << ok << false << "Port 0: not a port address; nothing is written" << red;
        QTest::newRow("negative") << refused << -5 << ok << false << "Port -5: not a port address; nothing is written" << red;
    }

    void words()
    {
        QFETCH(PortStatus, status);
        QFETCH(int, address);
        QFETCH(OperationResult, last);
        QFETCH(bool, known);
        const StatusText line = StatusLine(status, address, last, known);
        QTEST(line.text, "text");
        QTEST(line.colour, "colour");
    }
};

QTEST_APPLESS_MAIN(StatusLineTest)
#include "tst_statusline.moc"
