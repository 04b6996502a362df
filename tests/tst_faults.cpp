#include "Panel.h"

#include <QLineEdit>

using namespace Qt::StringLiterals;

// What the panel shows and writes when the port backend fails, at each place
// it touches the port: start-up, address entry and a click on C1.

enum Entry { StartUp, AddressEntry, Click, ClickC2 };
enum Fault { MissingDevice, PermissionDenied, ReadError, WriteError, NeverReadsBack, Healthy };
const char* const kWords[] = {"/dev/parport0: no such device", "/dev/parport0: permission denied; add your user to the lp group",
                              "/dev/parport0: input/output error", "/dev/parport0: input/output error", "", ""};

void Apply(FakePort& port, Fault fault)
{
    port.readError = fault == WriteError ? "" : kWords[fault];
    port.writeError = fault == ReadError ? "" : kWords[fault];
    port.stuckRead = fault == NeverReadsBack ? std::optional<std::uint8_t>(0xFF) : std::nullopt;  // a floating bus
}

class FaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void backendFaults_data()
    {
        QTest::addColumn<int>("entry");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("status");  // the red status line after "Port <address>: "; none: a message instead
        const auto row = [](Entry entry, Fault fault, const QString& written, const char* status) {
            const char* const faults[] = {"missing device", "permission denied", "read error", "write error", "never reads back"};
            QTest::addRow("%s, %s", entry == StartUp ? "start-up" : entry == AddressEntry ? "address entry" : entry == Click ? "click" : "C2 click", faults[fault])
                << int(entry) << int(fault) << written << (*status ? status + u" after 110 attempts"_s : QString());
        };
        // A write that never verifies is tried 110 times, and the status line says so.
        const auto tries = [](const char* write) { return (QString(write) + u' ').repeated(110); };
        // The registers hold 0x40 from the last run; only a write that reached them changes it.
        // Entering 632 clears its control register, then its data register, each failing on its own.
        for (Entry entry : {StartUp, AddressEntry}) {
            const QString cleared = entry == StartUp ? tries("w888:00") : tries("w634:00") + tries("w632:00");
            row(entry, MissingDevice, "", "wrote 0x00, nothing read back");
            row(entry, PermissionDenied, "", "wrote 0x00, nothing read back");
            row(entry, ReadError, cleared, "wrote 0x00, nothing read back");
            row(entry, WriteError, "", "wrote 0x00, read back 0x40");
            row(entry, NeverReadsBack, cleared, "wrote 0x00, read back 0xFF");
        }
        // A click that cannot read the register changes nothing; one whose write does
        // not verify still flips the caption, and never puts C2's bit out with C1's.
        for (Fault fault : {MissingDevice, PermissionDenied, ReadError})
            row(Click, fault, "", "");
        row(Click, WriteError, "", "wrote 0x01, read back 0x00");
        row(Click, NeverReadsBack, tries("w888:fd"), "wrote 0xFD, read back 0xFF");
        row(ClickC2, NeverReadsBack, tries("w888:fe"), "wrote 0xFE, read back 0xFF");
    }

    void backendFaults()
    {
        QFETCH(int, entry);
        QFETCH(int, fault);
        QFETCH(QString, written);
        QFETCH(QString, status);
        const int address = entry == AddressEntry ? 632 : 888;
        const bool shownRed = !status.isEmpty();
        const QString button = entry == ClickC2 ? "C2" : "C1";
        const QString captions = entry == Click && shownRed ? "10" : entry == ClickC2 && shownRed ? "01" : "00";
        Panel panel;
        panel.port.latched = {{888, 0x40}, {890, 0x40}, {632, 0x40}, {634, 0x40}};
        Apply(panel.port, entry == StartUp ? Fault(fault) : Healthy);
        QVERIFY(panel.Show());
        if (entry != StartUp) {
            panel.port.accesses.clear();
            Apply(panel.port, Fault(fault));
            if (entry == AddressEntry)
                panel.Find<QLineEdit>("ParallelText")->setText("632");
            entry == AddressEntry ? panel.Enter() : panel.Click(button);
        }

        QCOMPARE(Trace(panel.port.Writes()), written.trimmed());
        const QLabel* line = panel.Status();
        QVERIFY2(shownRed ? line->text().startsWith(QStringLiteral("Port %1: ").arg(address) + status) && line->text().contains(kWords[fault])
                          : line->text().startsWith(QStringLiteral("Port %1 (").arg(address)), qPrintable(line->text()));
        QCOMPARE(line->palette().color(QPalette::WindowText) == QColor(255, 0, 0), shownRed);
        QCOMPARE(panel.messages.size(), shownRed ? 0 : 1);
        QVERIFY2(shownRed || panel.messages[0].contains(kWords[fault]), qPrintable(panel.messages.join(u'\n')));
        QCOMPARE(panel.Captions(), captions);
        QCOMPARE(panel.Lines(), LinesFor(captions));
        QVERIFY(!panel.Find("WarningLabel")->isVisible());

        // Once the backend works again the next click goes through and the port follows the captions.
        Apply(panel.port, Healthy);
        panel.Click(button);
        QCOMPARE(panel.Captions(), QString(captions != "00" ? "00" : button == "C2" ? "01" : "10"));
        QCOMPARE(panel.port.Latched(address) & 3, captions != "00" ? 0 : button == "C2" ? 2 : 1);
        QVERIFY(line->palette().color(QPalette::WindowText) != QColor(255, 0, 0));
    }
};

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
