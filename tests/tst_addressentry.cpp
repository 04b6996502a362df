#include "Panel.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <algorithm>

namespace {

QStringList Trace(const std::vector<PortAccess>& accesses)
{
    QStringList trace;
    for (const PortAccess& a : accesses)
        trace << QStringLiteral("%1 %2=%3").arg(a.kind == PortAccess::Kind::Write ? 'w' : 'r').arg(a.port).arg(a.value);
    return trace;
}

// Control register, then data register, each written 0 and read back.
QStringList Cleared(int address)
{
    return {QStringLiteral("w %1=0").arg(address + 2), QStringLiteral("r %1=0").arg(address + 2),
            QStringLiteral("w %1=0").arg(address), QStringLiteral("r %1=0").arg(address)};
}

enum class Leave { Return, KeypadEnter, Tab, ClickC1 };

} // namespace

class AddressEntryTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void takesTheTypedAddress_data();
    void takesTheTypedAddress();
    void otherKeysDoNothing();
    void enterThenLeavingTakesItTwice();
    void statusNamesThePortInUse();
    void statusShowsAWriteThatDidNotVerify();

private:
    QLineEdit* Type(const QString& text);

    std::unique_ptr<Panel> panel;
};

void AddressEntryTest::init()
{
    panel = std::make_unique<Panel>();
    QVERIFY(panel->Show());
    panel->form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(panel->form.get()));
}

void AddressEntryTest::cleanup()
{
    panel.reset();
}

// Puts the focus in the address box and types `text` into it afresh.
QLineEdit* AddressEntryTest::Type(const QString& text)
{
    auto* edit = panel->Find<QLineEdit>(QStringLiteral("ParallelText"));
    edit->setFocus();
    edit->clear();
    panel->port.accesses.clear();
    panel->messages.clear();
    QTest::keyClicks(edit, text);
    return edit;
}

void AddressEntryTest::takesTheTypedAddress_data()
{
    QTest::addColumn<int>("leave");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("address");
    QTest::addColumn<QStringList>("accesses");
    QTest::addColumn<bool>("refused");

    struct Case { const char* name; const char* text; int address; QStringList accesses; bool refused; };
    const Case cases[] = {
        {"decimal", "888", 888, Cleared(888), false},
        {"hex literal", "&H378", 888, Cleared(888), false},
        {"blank inside", "8 88", 888, Cleared(888), false},
        {"trailing letters", "888abc", 888, Cleared(888), false},
        {"half to even", "889.5", 890, Cleared(890), false},
        {"zero", "0", 0, {}, false},
        {"empty", "", 0, {}, false},
        {"letters", "abc", 0, {}, false},
        {"negative", "-5", -5, {}, false},
        {"beyond 32 bits", "2147483648", 888, {}, true},
        {"exponent beyond 32 bits", "1e10", 888, {}, true},
        {"control register beyond 32 bits", "2147483646", 888, {}, true},
    };
    const std::pair<Leave, const char*> ways[] = {
        {Leave::Return, "Enter"}, {Leave::KeypadEnter, "keypad Enter"}, {Leave::Tab, "Tab"}, {Leave::ClickC1, "click C1"}};
    for (const auto& [leave, way] : ways)
        for (const Case& c : cases)
            QTest::addRow("%s, %s", way, c.name)
                << int(leave) << QString::fromLatin1(c.text) << c.address << c.accesses << c.refused;
}

void AddressEntryTest::takesTheTypedAddress()
{
    QFETCH(int, leave);
    QFETCH(QString, text);
    QFETCH(int, address);
    QFETCH(QStringList, accesses);
    QFETCH(bool, refused);

    QLineEdit* edit = Type(text);
    QVERIFY(panel->port.accesses.empty()); // typing alone takes nothing

    // What the click itself does comes after what leaving the box did.
    std::size_t accessesBeforeClick = 0;
    qsizetype messagesBeforeClick = 0;
    auto* c1 = panel->Find<QPushButton>(QStringLiteral("C1"));
    connect(c1, &QPushButton::pressed, this, [&] {
        accessesBeforeClick = panel->port.accesses.size();
        messagesBeforeClick = panel->messages.size();
    });

    switch (Leave(leave)) {
    case Leave::Return: QTest::keyClick(edit, Qt::Key_Return); break;
    case Leave::KeypadEnter: QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier); break;
    case Leave::Tab:
        QTest::keyClick(edit, Qt::Key_Tab);
        QVERIFY(!edit->hasFocus());
        break;
    case Leave::ClickC1:
        QTest::mouseClick(c1, Qt::LeftButton);
        QVERIFY(c1->hasFocus());
        if (address >= 1) // the click reads the data register at the address just taken
            QCOMPARE(Trace({panel->port.accesses.begin() + accessesBeforeClick, panel->port.accesses.end()}).value(0),
                     QStringLiteral("r %1=0").arg(address));
        panel->port.accesses.resize(accessesBeforeClick);
        panel->messages.resize(messagesBeforeClick);
        break;
    }
    disconnect(c1, nullptr, this, nullptr);

    QCOMPARE(panel->form->PortAddress, address);
    QCOMPARE(Trace(panel->port.accesses), accesses);
    if (refused) {
        QCOMPARE(panel->messages.size(), 1);
        QVERIFY2(panel->messages[0].contains(text), qPrintable(panel->messages[0]));
        QVERIFY2(panel->messages[0].contains(QStringLiteral("not a usable port address")), qPrintable(panel->messages[0]));
    } else {
        QCOMPARE(panel->messages, QStringList());
    }
}

void AddressEntryTest::otherKeysDoNothing()
{
    QLineEdit* edit = Type(QStringLiteral("632"));
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Space, Qt::Key_Left, Qt::Key_Up, Qt::Key_Down, Qt::Key_Backspace,
                        Qt::Key_F1, Qt::Key_A, Qt::Key_Shift, Qt::Key_Control})
        QTest::keyClick(edit, key);
    QVERIFY(edit->hasFocus());
    QCOMPARE(panel->form->PortAddress, 888);
    QCOMPARE(Trace(panel->port.accesses), QStringList());
    QCOMPARE(panel->messages, QStringList());
}

void AddressEntryTest::enterThenLeavingTakesItTwice()
{
    QLineEdit* edit = Type(QStringLiteral("632"));
    QTest::keyClick(edit, Qt::Key_Return);
    QTest::keyClick(edit, Qt::Key_Tab);
    QCOMPARE(Trace(panel->port.accesses), Cleared(632) + Cleared(632));
    QCOMPARE(panel->form->PortAddress, 632);
}

void AddressEntryTest::statusNamesThePortInUse()
{
    auto* status = panel->Find<QLabel>(QStringLiteral("PortStatus"));
    QTest::keyClick(Type(QStringLiteral("888")), Qt::Key_Return);
    QCOMPARE(status->text(), QStringLiteral("Port 888 (0x378): fake port"));

    panel->port.description = "/dev/parport1";
    QTest::keyClick(Type(QStringLiteral("632")), Qt::Key_Return);
    QCOMPARE(status->text(), QStringLiteral("Port 632 (0x278): /dev/parport1"));
}

void AddressEntryTest::statusShowsAWriteThatDidNotVerify()
{
    auto* status = panel->Find<QLabel>(QStringLiteral("PortStatus"));
    const QColor normal = status->palette().color(QPalette::WindowText);
    QVERIFY(normal != QColor(255, 0, 0));

    // The control register never reads back; the data register, written next, does.
    FakePort& port = panel->port;
    port.stuckRead = 0xC0;
    QString shownBeforeDataWrite;
    QColor colourBeforeDataWrite;
    port.onAccess = [&](const PortAccess& access) {
        if (access.kind == PortAccess::Kind::Write && access.port == 888 && port.stuckRead) {
            shownBeforeDataWrite = status->text();
            colourBeforeDataWrite = status->palette().color(QPalette::WindowText);
            port.stuckRead.reset();
        }
    };
    QTest::keyClick(Type(QStringLiteral("888")), Qt::Key_Return);

    QCOMPARE(shownBeforeDataWrite, QStringLiteral("Port 890: wrote 0x00, read back 0xC0 after 110 attempts"));
    QCOMPARE(colourBeforeDataWrite, QColor(255, 0, 0));
    QCOMPARE(std::ranges::count(port.Writes(), PortAccess{PortAccess::Kind::Write, 890, 0}), 110);
    QCOMPARE(status->text(), QStringLiteral("Port 888 (0x378): fake port"));
    QCOMPARE(status->palette().color(QPalette::WindowText), normal);
    QCOMPARE(panel->messages, QStringList());
}

QTEST_MAIN(AddressEntryTest)
#include "tst_addressentry.moc"
