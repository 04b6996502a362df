// What the window tells a user beyond its layout: a device's name readable in
// the address box, the parallel ports found offered on its context menu, and
// buttons that cannot switch looking it. (What the keys named in the tooltips
// do is tst_controlbits'.)
#include "Panel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

// What the address box's context menu offers: "+entry" enabled, "-entry"
// greyed, "|" a separator; after triggering the entry `pick` (-1: none).
QStringList PortMenu(Panel& panel, int pick)
{
    QStringList seen;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction* action : menu->actions()) {
            if (action->isSeparator()) {
                seen << u"|"_s;
                break;  // the box's own editing entries follow
            }
            seen << (action->isEnabled() ? u'+' : u'-') + action->text();
        }
        if (pick >= 0)
            menu->actions().at(pick)->trigger();
        menu->close();
    });
    auto* box = panel.Find<QLineEdit>(u"ParallelText"_s);
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), box->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(box, &event);
    return seen;
}

const QString kKeys = u"Click to change\nCtrl+1: RF COMMON to RF1, Ctrl+2: RF COMMON to RF2, Ctrl+0: all terminated"_s;

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    // A device's name is read whole in the box; "(Dec)" shows only beside a number.
    void addressBox_data()
    {
        AddColumns<QString, int, bool>("text", "width", "dec");  // the box's width in pixels
        QTest::newRow("decimal") << "888" << 65 << true;
        QTest::newRow("radix") << "&H378" << 65 << true;
        QTest::newRow("device") << "/dev/parport0" << 160 << false;
        QTest::newRow("empty") << "" << 65 << true;
    }

    void addressBox()
    {
        QFETCH(QString, text);
        Panel panel;
        QVERIFY(panel.Show());
        auto* box = panel.Find<QLineEdit>(u"ParallelText"_s);
        box->setText(u"/dev/parport0"_s);  // from wide back, where the row is narrow
        box->setText(text);
        QTEST(box->width(), "width");
        QTEST(panel.Find(u"Label3"_s)->isVisible(), "dec");
        QVERIFY(QFontMetrics(box->font()).horizontalAdvance(text) < box->width() - 6);
        // Clear of the Help button whatever it holds.
        QVERIFY(box->geometry().right() < panel.Find(u"Command2"_s)->geometry().left());
    }

    // The ports the list finds, from the box's context menu: a usable one is
    // taken as if typed and entered, one that cannot be used is greyed.
    void portMenu_data()
    {
        AddColumns<QStringList, int, QStringList, QString, QString>("found", "pick", "menu", "box", "accesses");
        const QString board = u"/dev/parport0: base 888 (0x378); main board (parport_pc); modes PCSPP,TRISTATE; free; usable: --port 888"_s;
        const QString card = u"/dev/parport1: base 53264 (0xD010); PCI card 9710:9865 (parport_pc); modes PCSPP; free; usable: --port 53264"_s;
        const QString usb = u"/dev/parport2: base none: USB; USB adapter (uss720), about 1 ms per access; modes PCSPP; held by lp; "
                            "usable once lp lets go of it: --port /dev/parport2"_s;
        const QString denied = u"/dev/parport3: base 632 (0x278); main board (parport_pc); modes PCSPP; free; not usable: permission "
                               "denied; add your user to the lp group and log in again"_s;
        const QStringList all{"888|" + board, "53264|" + card, "/dev/parport2|" + usb, "-632|" + denied};
        const QStringList menu{u'+' + board, u'+' + card, u'+' + usb, u'-' + denied, u"|"_s};
        QTest::newRow("a PCI card") << all << 1 << menu << "53264" << "w53266:00 r53266:00 w53264:00 r53264:00";
        QTest::newRow("a USB adapter") << all << 2 << menu << "/dev/parport2" << "w2:00 r2:00 w0:00 r0:00";
        QTest::newRow("looked at only") << all << -1 << menu << "888" << "";
        const QString none = u"-no parallel port found: have the parallel-port drivers loaded (modprobe parport_pc ppdev), or plug in "
                             "a USS720 or MCS7715 USB adapter"_s;
        QTest::newRow("none found") << QStringList{} << -1 << QStringList{none, u"|"_s} << "888" << "";
    }

    void portMenu()
    {
        const auto [found, pick] = Fetch<QStringList, int>("found", "pick");
        std::vector<FoundPort> ports;
        for (const QString& entry : found)  // "typed|line", "-typed|line" for one that cannot be used
            ports.push_back({entry.section(u'|', 0, 0).remove(u'-').toStdString(), entry.section(u'|', 1).toStdString(),
                             !entry.startsWith(u'-')});
        Panel panel(QueryFails, PortName(888), [ports] { return ports; });
        QVERIFY(panel.Show());
        panel.port.accesses.clear();
        QTEST(PortMenu(panel, pick), "menu");
        QTEST(panel.Find<QLineEdit>(u"ParallelText"_s)->text(), "box");
        QTEST(Trace(panel.port.accesses), "accesses");
        QCOMPARE(panel.messages, QStringList());
    }

    // While another client holds the lock the control bits look disabled and
    // say why; they come back once it lets go. The simulated port does not
    // stop the panel, which shows that it is simulated.
    void bitsThatCannotSwitch_data()
    {
        AddColumns<QString, bool, QString, QString>("setup", "enabled", "tooltip", "clicked");  // the captions after a click on C1
        QTest::newRow("free") << "free" << true << kKeys << "10";
        const QString locked = u"Click to change\nLocked by remote:10.0.0.7:5025: switching from here is refused until it lets go."_s;
        QTest::newRow("locked") << "locked" << false << locked << "00";
        QTest::newRow("lock let go") << "unlocked" << true << kKeys << "10";
        QTest::newRow("simulated") << "simulated" << true << kKeys << "10";
    }

    void bitsThatCannotSwitch()
    {
        const auto [setup, enabled] = Fetch<QString, bool>("setup", "enabled");
        Panel panel;
        if (setup == "simulated"_L1)
            panel.port.status = kSimulatedPort;
        QVERIFY(panel.Show());
        const Source remote = Source::Remote("10.0.0.7:5025");
        if (setup == "locked"_L1 || setup == "unlocked"_L1)
            panel.core.Lock(remote);
        if (setup == "unlocked"_L1)
            panel.core.Unlock(remote);
        for (const char* name : {"C1", "C2"}) {
            QWidget* button = panel.Find(QLatin1String(name));
            QTRY_COMPARE(button->isEnabled(), enabled);
            QTEST(button->toolTip(), "tooltip");
        }
        // A click on a greyed button reaches nothing.
        panel.port.accesses.clear();
        panel.Click(u"C1"_s);
        QTEST(panel.Captions(), "clicked");
        QCOMPARE(panel.port.accesses.empty(), !enabled);
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
