#include "Panel.h"

#include <QApplication>
#include <QLineEdit>

// What the panel shows and writes when the port backend fails, at each place
// the panel touches the port: start-up, address entry and a click on C1.
namespace {

const char* const kGone = "/dev/parport0: no such device";
const char* const kDenied = "/dev/parport0: permission denied; add your user to the lp group";
const char* const kIoError = "/dev/parport0: input/output error";

enum class Fault { MissingDevice, PermissionDenied, ReadError, WriteError, NeverReadsBack };
enum class Entry { StartUp, AddressEntry, Click };

void Apply(FakePort& port, Fault fault)
{
    switch (fault) {
    case Fault::MissingDevice: port.readError = port.writeError = kGone; break;
    case Fault::PermissionDenied: port.readError = port.writeError = kDenied; break;
    case Fault::ReadError: port.readError = kIoError; break;
    case Fault::WriteError: port.writeError = kIoError; break;
    case Fault::NeverReadsBack: port.stuckRead = 0xFF; break; // a floating bus
    }
}

// "632:00*110": a run of the same byte written to one port.
QStringList Runs(const std::vector<PortAccess>& writes)
{
    QStringList runs;
    int count = 0;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        ++count;
        if (i + 1 == writes.size() || writes[i + 1].port != writes[i].port || writes[i + 1].value != writes[i].value) {
            runs << QStringLiteral("%1:%2*%3").arg(writes[i].port).arg(writes[i].value, 2, 16, QLatin1Char('0')).arg(count);
            count = 0;
        }
    }
    return runs;
}

} // namespace

class FaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void backendFaults_data();
    void backendFaults();
};

void FaultsTest::backendFaults_data()
{
    QTest::addColumn<int>("entry");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("message");     // words of the message box, or none
    QTest::addColumn<QStringList>("written"); // what reached the port
    QTest::addColumn<QStringList>("status");  // what the red status line names, or empty: the port in use
    QTest::addColumn<QString>("captions");
    QTest::addColumn<int>("address");

    using L = QStringList;
    const QString none;
    auto row = [](Entry entry, Fault fault, const char* name) -> QTestData& {
        static const char* const entries[] = {"start-up", "address entry", "click"};
        return QTest::addRow("%s, %s", entries[int(entry)], name) << int(entry) << int(fault);
    };
    // The registers hold 0x40 from the last run; only a write that reached them clears it.
    row(Entry::StartUp, Fault::MissingDevice, "missing device") << none << L{} << L{"Port 888", "wrote 0x00", "nothing read back", kGone} << "00" << 888;
    row(Entry::StartUp, Fault::PermissionDenied, "permission denied") << none << L{} << L{"Port 888", "wrote 0x00", "nothing read back", kDenied} << "00" << 888;
    row(Entry::StartUp, Fault::ReadError, "read error") << none << L{"888:00*110"} << L{"Port 888", "wrote 0x00", "nothing read back", kIoError} << "00" << 888;
    row(Entry::StartUp, Fault::WriteError, "write error") << none << L{} << L{"Port 888", "wrote 0x00", "read back 0x40", kIoError} << "00" << 888;
    row(Entry::StartUp, Fault::NeverReadsBack, "never reads back") << none << L{"888:00*110"} << L{"Port 888", "wrote 0x00", "read back 0xFF"} << "00" << 888;

    // Typing 632: the control register, then the data register, each fails on its own.
    row(Entry::AddressEntry, Fault::MissingDevice, "missing device") << none << L{} << L{"Port 632", "wrote 0x00", "nothing read back", kGone} << "00" << 632;
    row(Entry::AddressEntry, Fault::PermissionDenied, "permission denied") << none << L{} << L{"Port 632", "wrote 0x00", "nothing read back", kDenied} << "00" << 632;
    row(Entry::AddressEntry, Fault::ReadError, "read error") << none << L{"634:00*110", "632:00*110"} << L{"Port 632", "wrote 0x00", "nothing read back", kIoError} << "00" << 632;
    row(Entry::AddressEntry, Fault::WriteError, "write error") << none << L{} << L{"Port 632", "wrote 0x00", "read back 0x40", kIoError} << "00" << 632;
    row(Entry::AddressEntry, Fault::NeverReadsBack, "never reads back") << none << L{"634:00*110", "632:00*110"} << L{"Port 632", "wrote 0x00", "read back 0xFF"} << "00" << 632;

    // A click that cannot read the register changes nothing; one whose write
    // does not verify still flips the caption, and never puts C2's bit out with C1's.
    row(Entry::Click, Fault::MissingDevice, "missing device") << QString(kGone) << L{} << L{} << "00" << 888;
    row(Entry::Click, Fault::PermissionDenied, "permission denied") << QString(kDenied) << L{} << L{} << "00" << 888;
    row(Entry::Click, Fault::ReadError, "read error") << QString(kIoError) << L{} << L{} << "00" << 888;
    row(Entry::Click, Fault::WriteError, "write error") << none << L{} << L{"Port 888", "wrote 0x01", "read back 0x00", kIoError} << "10" << 888;
    row(Entry::Click, Fault::NeverReadsBack, "never reads back") << none << L{"888:fd*110"} << L{"Port 888", "wrote 0xFD", "read back 0xFF"} << "10" << 888;
}

void FaultsTest::backendFaults()
{
    QFETCH(int, entry);
    QFETCH(int, fault);
    QFETCH(QString, message);
    QFETCH(QStringList, written);
    QFETCH(QStringList, status);
    QFETCH(QString, captions);
    QFETCH(int, address);

    Panel panel;
    for (int port : {888, 890, 632, 634})
        panel.port.latched[port] = 0x40;
    if (Entry(entry) == Entry::StartUp)
        Apply(panel.port, Fault(fault));
    QVERIFY(panel.Show());
    const QColor normal = QApplication::palette().color(QPalette::WindowText);
    if (Entry(entry) != Entry::StartUp) {
        panel.port.accesses.clear();
        Apply(panel.port, Fault(fault));
    }
    if (Entry(entry) == Entry::AddressEntry) {
        panel.Find<QLineEdit>(QStringLiteral("ParallelText"))->setText(QStringLiteral("632"));
        panel.Enter();
    } else if (Entry(entry) == Entry::Click) {
        panel.Click(QStringLiteral("C1"));
    }

    QCOMPARE(panel.messages.size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty())
        QVERIFY2(panel.messages[0].contains(message), qPrintable(panel.messages[0]));
    QCOMPARE(Runs(panel.port.Writes()), written);
    const QLabel* line = panel.Status();
    for (const QString& part : status)
        QVERIFY2(line->text().contains(part), qPrintable(line->text()));
    QCOMPARE(line->palette().color(QPalette::WindowText), status.isEmpty() ? normal : QColor(255, 0, 0));
    if (status.isEmpty())
        QVERIFY2(line->text().startsWith(QStringLiteral("Port %1 (").arg(address)), qPrintable(line->text()));
    QCOMPARE(panel.Captions(), captions);
    QCOMPARE(panel.Lines(), LinesFor(captions));
    QVERIFY(!panel.Find(QStringLiteral("WarningLabel"))->isVisible());
    QCOMPARE(panel.form->PortAddress, address);
    QVERIFY(panel.form->isVisible());

    // Once the backend works again the next click goes through and the port follows the captions.
    panel.port.readError.clear();
    panel.port.writeError.clear();
    panel.port.stuckRead.reset();
    panel.Click(QStringLiteral("C1"));
    const QString after = panel.Captions();
    QCOMPARE(after, captions == "10" ? QStringLiteral("00") : QStringLiteral("10"));
    QCOMPARE(panel.port.Latched(address) & 3, after == "10" ? 1 : 0);
    QCOMPARE(line->palette().color(QPalette::WindowText), normal);
}

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
