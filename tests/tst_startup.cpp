#include "Panel.h"
#include "PictureBox.h"
#include "Platform.h"
#include "Schematic.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstring>
#include <vector>

using Accesses = std::vector<PortAccess>;
Q_DECLARE_METATYPE(VersionQuery)
Q_DECLARE_METATYPE(Accesses)

namespace {

constexpr auto W = PortAccess::Kind::Write;
constexpr auto R = PortAccess::Kind::Read;
const QString kCheckAddress = QStringLiteral("Check Parallel Address !!!");

// Reports the given version but answers the call with `result`.
VersionQuery Answers(int result, std::uint32_t platform, std::uint32_t major, std::uint32_t minor)
{
    return [=](OsVersionInfo& info) {
        ReportsVersion(platform, major, minor)(info);
        return result;
    };
}

// Before Show(): what the address box holds when the window loads.
void SetAddressText(Panel& panel, const QString& text)
{
    panel.Find<QLineEdit>(QStringLiteral("ParallelText"))->setText(text);
}

ContactLines LinesOf(const Panel& panel)
{
    ContactLines lines{};
    int i = 0;
    for (const char* name : {"Line1", "Line2", "Line3"}) {
        const auto* line = panel.Find<LineControl>(QString::fromLatin1(name));
        lines[i++] = {line->X1(), line->Y1(), line->X2(), line->Y2()};
    }
    return lines;
}

} // namespace

// Found by QCOMPARE through argument-dependent lookup.
char* toString(const Accesses& accesses)
{
    QStringList items;
    for (const auto& a : accesses)
        items << QStringLiteral("%1 %2:%3").arg(a.kind == W ? "W" : "R").arg(a.port).arg(a.value);
    return qstrdup(qPrintable(QLatin1Char('{') + items.join(QLatin1String(", ")) + QLatin1Char('}')));
}

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void versionPredicates_data();
    void versionPredicates();
    void everyPredicateQueriesAFreshRecord();
    void noVersionQueryOffWindows();

    void clearsTheRegistersInOrder_data();
    void clearsTheRegistersInOrder();
    void unusableAddressWarnsAndLeavesThePortAlone_data();
    void unusableAddressWarnsAndLeavesThePortAlone();
    void windowComesUpInTheInitialState_data();
    void windowComesUpInTheInitialState();
    void statusShowsThePortOrTheFailedClearing();
    void addressMessageIsAPlainSwitchBox();
};

void StartupTest::versionPredicates_data()
{
    QTest::addColumn<VersionQuery>("query");
    QTest::addColumn<bool>("nt4");
    QTest::addColumn<bool>("nt4OrLater");
    QTest::addColumn<bool>("win2000");
    QTest::addColumn<bool>("win5x");
    QTest::addColumn<bool>("xp");
    QTest::addColumn<bool>("nt");

    QTest::newRow("NT 4.0") << ReportsVersion(2, 4, 0) << true << true << false << false << false << true;
    QTest::newRow("2000") << ReportsVersion(2, 5, 0) << false << true << true << true << false << true;
    QTest::newRow("XP") << ReportsVersion(2, 5, 1) << false << true << false << true << true << true;
    QTest::newRow("Server 2003") << ReportsVersion(2, 5, 2) << false << true << false << true << false << true;
    QTest::newRow("7") << ReportsVersion(2, 6, 1) << false << true << false << false << false << true;
    QTest::newRow("10") << ReportsVersion(2, 10, 0) << false << true << false << false << false << true;
    QTest::newRow("95 family") << ReportsVersion(1, 4, 0) << false << false << false << false << false << false;
    QTest::newRow("NT 3.51") << ReportsVersion(2, 3, 51) << false << false << false << false << false << false;
    // The record is filled with XP anyway: only the call's result may count.
    QTest::newRow("query fails") << Answers(0, 2, 5, 1) << false << false << false << false << false << false;
    QTest::newRow("query returns 2") << Answers(2, 2, 5, 1) << false << false << false << false << false << false;
    QTest::newRow("query returns -1") << Answers(-1, 2, 5, 1) << false << false << false << false << false << false;
}

void StartupTest::versionPredicates()
{
    QFETCH(VersionQuery, query);
    QTEST(IsWinNT4(query), "nt4");
    QTEST(IsWinNT4OrLater(query), "nt4OrLater");
    QTEST(IsWin2000(query), "win2000");
    QTEST(IsWin5x(query), "win5x");
    QTEST(IsWinXP(query), "xp");
    QTEST(IsNtPlatform(query), "nt");
}

void StartupTest::everyPredicateQueriesAFreshRecord()
{
    // What GetVersionExA expects: 148 bytes, all zero but the size field (little-endian 148).
    QByteArray fresh(148, 0);
    fresh[0] = char(148);
    int calls = 0, staleCalls = 0;
    const VersionQuery query = [&](OsVersionInfo& info) {
        ++calls;
        if (QByteArray(reinterpret_cast<const char*>(&info), sizeof info) != fresh)
            ++staleCalls;
        // Leave garbage behind, so a reused record would show.
        std::memset(static_cast<void*>(&info), 0xA5, sizeof info);
        return ReportsVersion(2, 5, 1)(info);
    };

    for (auto predicate : {IsWinNT4, IsWinNT4OrLater, IsWin2000, IsWin5x, IsWinXP}) {
        calls = 0;
        predicate(query);
        QCOMPARE(calls, 1);
    }
    calls = 0;
    QVERIFY(IsNtPlatform(query));
    QCOMPARE(calls, 5);
    QCOMPARE(staleCalls, 0);
}

void StartupTest::noVersionQueryOffWindows()
{
#ifdef Q_OS_WIN
    QSKIP("Windows answers the query");
#else
    OsVersionInfo info;
    QVERIFY(SystemVersionQuery(info) != 1);
    QVERIFY(!IsNtPlatform());
#endif
}

void StartupTest::clearsTheRegistersInOrder_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<VersionQuery>("query");
    QTest::addColumn<bool>("nt");
    QTest::addColumn<Accesses>("expected");

    const QString designTime = QStringLiteral("888");
    const Accesses dataOnly{{W, 888, 0}, {R, 888, 0}};
    const Accesses controlThenData{{W, 890, 0}, {R, 890, 0}, {W, 888, 0}, {R, 888, 0}};
    QTest::newRow("no version query") << designTime << VersionQuery(QueryFails) << false << dataOnly;
    QTest::newRow("95 family") << designTime << ReportsVersion(1, 4, 10) << false << dataOnly;
    QTest::newRow("NT 3.51") << designTime << ReportsVersion(2, 3, 51) << false << dataOnly;
    QTest::newRow("NT 4.0") << designTime << ReportsVersion(2, 4, 0) << true << controlThenData;
    QTest::newRow("10") << designTime << ReportsVersion(2, 10, 0) << true << controlThenData;
    // The control register's address overflows: only its clearing is skipped.
    QTest::newRow("control register beyond range") << QStringLiteral("2147483646") << ReportsVersion(2, 5, 1)
                                                   << true << Accesses{{W, 2147483646, 0}, {R, 2147483646, 0}};
}

void StartupTest::clearsTheRegistersInOrder()
{
    QFETCH(QString, text);
    QFETCH(VersionQuery, query);
    QFETCH(bool, nt);
    QFETCH(Accesses, expected);
    Panel panel(query);
    SetAddressText(panel, text);

    struct Moment
    {
        bool seen = false;
        qint64 elapsed = 0;
        std::size_t accesses = 0;
        Qt::CursorShape cursor{};
    } firstAccess, eventsDispatched;
    QElapsedTimer clock;
    auto capture = [&](Moment& moment) {
        if (!moment.seen)
            moment = {true, clock.elapsed(), panel.port.accesses.size(), panel.form->cursor().shape()};
    };
    panel.port.onAccess = [&](const PortAccess&) { capture(firstAccess); };
    // Fires at the first chance the window's events get dispatched.
    QTimer::singleShot(0, [&] { capture(eventsDispatched); });

    clock.start();
    QVERIFY(panel.Show());

    QCOMPARE(panel.port.accesses, expected);
    QCOMPARE(panel.messages, QStringList());
    QCOMPARE(panel.form->PortAddress, expected.back().port);
    QVERIFY(eventsDispatched.seen);
    if (nt) {
        QCOMPARE_GE(firstAccess.elapsed, 1000);
        QCOMPARE(firstAccess.cursor, Qt::ArrowCursor);
        // The pause dispatches events under the busy pointer, before any write.
        QCOMPARE(eventsDispatched.accesses, std::size_t(0));
        QCOMPARE(eventsDispatched.cursor, Qt::WaitCursor);
    } else {
        // No pause: nothing is dispatched until the writes are done.
        QCOMPARE(eventsDispatched.accesses, expected.size());
        QVERIFY(eventsDispatched.cursor != Qt::WaitCursor);
    }
}

void StartupTest::unusableAddressWarnsAndLeavesThePortAlone_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<VersionQuery>("query");
    QTest::addColumn<int>("address");

    QTest::newRow("empty") << QString() << VersionQuery(QueryFails) << 0;
    QTest::newRow("letters") << QStringLiteral("abc") << VersionQuery(QueryFails) << 0;
    QTest::newRow("zero, NT") << QStringLiteral("0") << ReportsVersion(2, 5, 1) << 0;
    QTest::newRow("negative") << QStringLiteral("-5") << VersionQuery(QueryFails) << -5;
    // Its control register would be at 1.
    QTest::newRow("minus one, NT") << QStringLiteral("-1") << ReportsVersion(2, 5, 1) << -1;
    QTest::newRow("overflow, NT") << QStringLiteral("2147483648") << ReportsVersion(2, 5, 1) << 0;
}

void StartupTest::unusableAddressWarnsAndLeavesThePortAlone()
{
    QFETCH(QString, text);
    QFETCH(VersionQuery, query);
    Panel panel(query);
    SetAddressText(panel, text);

    QVERIFY(panel.Show());

    QCOMPARE(panel.messages, QStringList{kCheckAddress});
    QCOMPARE(panel.icons, QList<QMessageBox::Icon>{QMessageBox::NoIcon});
    QCOMPARE(panel.port.accesses, Accesses{});
    QTEST(panel.form->PortAddress, "address");
}

void StartupTest::windowComesUpInTheInitialState_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<VersionQuery>("query");

    QTest::newRow("design-time address") << QStringLiteral("888") << VersionQuery(QueryFails);
    QTest::newRow("NT") << QStringLiteral("888") << ReportsVersion(2, 6, 1);
    QTest::newRow("goes on after the message") << QStringLiteral("abc") << VersionQuery(QueryFails);
}

void StartupTest::windowComesUpInTheInitialState()
{
    QFETCH(QString, text);
    QFETCH(VersionQuery, query);
    Panel panel(query);
    SetAddressText(panel, text);
    const ContactLines terminated = ContactLinesFor(SwitchState::AllTerminated);
    QVERIFY(LinesOf(panel) != terminated); // start-up has to move them
    auto* warning = panel.Find<QLabel>(QStringLiteral("WarningLabel"));
    warning->show(); // start-up has to hide it

    QVERIFY(panel.Show());

    QCOMPARE(panel.Find<QPushButton>(QStringLiteral("C1"))->text(), QStringLiteral("0"));
    QCOMPARE(panel.Find<QPushButton>(QStringLiteral("C2"))->text(), QStringLiteral("0"));
    QCOMPARE(LinesOf(panel), terminated);
    QVERIFY(!warning->isVisible());
    auto* models = panel.Find<QComboBox>(QStringLiteral("ModelCombo"));
    QCOMPARE(models->count(), 1);
    QCOMPARE(models->itemText(0), QStringLiteral("QTR7-415KM"));
    QCOMPARE(models->currentText(), QStringLiteral("QTR7-415KM"));
}

void StartupTest::statusShowsThePortOrTheFailedClearing()
{
    const QColor red(255, 0, 0);
    {
        Panel panel;
        QVERIFY(panel.Show());
        const auto* status = panel.Find<QLabel>(QStringLiteral("PortStatus"));
        QCOMPARE(status->text(), QStringLiteral("Port 888 (0x378): fake port"));
        QVERIFY(status->palette().color(QPalette::WindowText) != red);
    }
    {
        Panel panel;
        panel.port.stuckRead = 0xC0;
        QVERIFY(panel.Show());
        const auto* status = panel.Find<QLabel>(QStringLiteral("PortStatus"));
        QVERIFY2(status->text().startsWith(QLatin1String("Port 888")), qPrintable(status->text()));
        QVERIFY2(status->text().contains(QLatin1String("0xC0")), qPrintable(status->text()));
        QCOMPARE(status->palette().color(QPalette::WindowText), red);
    }
}

void StartupTest::addressMessageIsAPlainSwitchBox()
{
    FakePort port;
    ScopedPorts use(port);
    SwitchForm form(SwitchFormContext{QueryFails}); // with the real message box
    form.findChild<QLineEdit*>(QStringLiteral("ParallelText"))->setText(QStringLiteral("0"));
    bool boxSeen = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        boxSeen = true;
        box->done(QMessageBox::Ok); // closes once we return to its event loop
        QCOMPARE(box->windowTitle(), QStringLiteral("Switch"));
        QCOMPARE(box->text(), kCheckAddress);
        QCOMPARE(box->icon(), QMessageBox::NoIcon);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
    });

    form.show(); // start-up goes on once the box is closed

    QVERIFY(boxSeen);
    QVERIFY(form.isVisible());
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
