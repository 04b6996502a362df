#include "Panel.h"
#include "Platform.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>

#include <cstring>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(VersionQuery)

namespace {

const QString kCheckAddress = u"Check Parallel Address !!!"_s;
const VersionQuery kNotNt = QueryFails, kNt = ReportsVersion(2, 5, 1);

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void versionPredicates_data()
    {
        QTest::addColumn<VersionQuery>("query");
        QTest::addColumn<QString>("answers"); // IsWinNT4, IsWinNT4OrLater, IsWin2000, IsWin5x, IsWinXP, IsNtPlatform
        QTest::newRow("NT 4.0") << ReportsVersion(2, 4, 0) << "110001";
        QTest::newRow("2000") << ReportsVersion(2, 5, 0) << "011101";
        QTest::newRow("XP") << ReportsVersion(2, 5, 1) << "010111";
        QTest::newRow("Server 2003") << ReportsVersion(2, 5, 2) << "010101";
        QTest::newRow("7") << ReportsVersion(2, 6, 1) << "010001";
        QTest::newRow("10") << ReportsVersion(2, 10, 0) << "010001";
        QTest::newRow("NT 3.51") << ReportsVersion(2, 3, 51) << "000000";
        QTest::newRow("platform 1") << ReportsVersion(1, 4, 0) << "000000";
        // XP is filled in anyway: only the call's answer counts.
        QTest::newRow("query fails") << ReportsVersion(2, 5, 1, 0) << "000000";
        QTest::newRow("query returns 2") << ReportsVersion(2, 5, 1, 2) << "000000";
#ifndef Q_OS_WIN
        QTest::newRow("this system") << VersionQuery(SystemVersionQuery) << "000000";
#endif
    }

    void versionPredicates()
    {
        QFETCH(VersionQuery, query);
        // Each predicate asks afresh, with 148 bytes all zero but the size field (little-endian 148).
        QByteArray fresh(148, 0);
        fresh[0] = char(148);
        int calls = 0, stale = 0;
        const VersionQuery checked = [&](OsVersionInfo& info) {
            ++calls;
            stale += QByteArray(reinterpret_cast<const char*>(&info), sizeof info) != fresh;
            std::memset(static_cast<void*>(&info), 0xA5, sizeof info); // a reused record would show
            return query(info);
        };
        QString answers;
        for (auto predicate : {IsWinNT4, IsWinNT4OrLater, IsWin2000, IsWin5x, IsWinXP, IsNtPlatform})
            answers += predicate(checked) ? u'1' : u'0';
        QTEST(answers, "answers");
        QCOMPARE(calls, 5 + 5); // IsNtPlatform asks the other five
        QCOMPARE(stale, 0);
    }

    void startUp_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<VersionQuery>("query");
        QTest::addColumn<QString>("accesses");
        QTest::addColumn<int>("address"); // below 1: the message, and no port access
        QTest::newRow("not NT") << "888" << kNotNt << "w888:00 r888:00" << 888;
        QTest::newRow("NT") << "888" << kNt << "w890:00 r890:00 w888:00 r888:00" << 888;
        // Only the clearing of the control register, whose address overflows, is skipped.
        QTest::newRow("control register beyond range") << "2147483646" << kNt << "w2147483646:00 r2147483646:00" << 2147483646;
        QTest::newRow("empty") << "" << kNotNt << "" << 0;
        QTest::newRow("letters") << "abc" << kNotNt << "" << 0;
        QTest::newRow("zero, NT") << "0" << kNt << "" << 0;
        QTest::newRow("negative, NT") << "-5" << kNt << "" << -5;
        QTest::newRow("overflow") << "2147483648" << kNotNt << "" << 0;
    }

    void startUp()
    {
        QFETCH(QString, text);
        QFETCH(VersionQuery, query);
        QFETCH(int, address);
        Panel panel(query);
        panel.Find<QLineEdit>(u"ParallelText"_s)->setText(text);
        QVERIFY(panel.Lines() != LinesFor("00")); // start-up has to move them
        panel.Find(u"WarningLabel"_s)->show();       // and hide it

        // The time and pointer at the first port access, and when events are first dispatched.
        struct Moment { bool seen = false; qint64 ms = 0; std::size_t accesses = 0; Qt::CursorShape cursor{}; } firstAccess, dispatch;
        QElapsedTimer clock;
        clock.start();
        const auto capture = [&](Moment& m) { m = m.seen ? m : Moment{true, clock.elapsed(), panel.port.accesses.size(), panel.form->cursor().shape()}; };
        panel.port.onAccess = [&](const PortAccess&) { capture(firstAccess); };
        QTimer::singleShot(0, [&] { capture(dispatch); });
        QVERIFY(panel.Show());

        QTEST(Trace(panel.port.accesses), "accesses");
        QCOMPARE(panel.form->PortAddress, address);
        QCOMPARE(panel.messages, address < 1 ? QStringList{kCheckAddress} : QStringList());
        QCOMPARE(panel.icons, QList<QMessageBox::Icon>(panel.messages.size(), QMessageBox::NoIcon));
        QVERIFY(dispatch.seen);
        if (IsNtPlatform(query)) {
            // The pause dispatches events under the busy pointer, before any write; the arrow is back for the writes.
            QCOMPARE(dispatch.cursor, Qt::WaitCursor);
            QCOMPARE(dispatch.accesses, std::size_t(0));
            QVERIFY(!firstAccess.seen || (firstAccess.ms >= 1000 && firstAccess.cursor == Qt::ArrowCursor));
        } else {
            QCOMPARE(dispatch.accesses, panel.port.accesses.size());
            QVERIFY(dispatch.cursor != Qt::WaitCursor);
        }
        QCOMPARE(panel.form->cursor().shape(), Qt::ArrowCursor);
        QVERIFY(panel.Status()->text().startsWith(u"Port %1"_s.arg(address)) && panel.Status()->palette().color(QPalette::WindowText) != QColor(Qt::red));

        // The panel comes up in its known state.
        QCOMPARE(panel.Captions(), u"00"_s);
        QCOMPARE(panel.Lines(), LinesFor("00"));
        QVERIFY(!panel.Find(u"WarningLabel"_s)->isVisible());
        const auto* models = panel.Find<QComboBox>(u"ModelCombo"_s);
        QCOMPARE(models->count(), 1);
        QCOMPARE(QStringList({models->itemText(0), models->currentText()}), QStringList(2, u"QTR7-415KM"_s));
    }

    void addressMessageIsAPlainSwitchBox()
    {
        FakePort port;
        const ScopedPorts use(port);
        SwitchForm form(SwitchFormContext{QueryFails}); // with the real message box
        form.findChild<QLineEdit*>(u"ParallelText"_s)->setText(u"0"_s);
        QString seen;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = u"%1|%2|%3|%4"_s.arg(box->windowTitle(), box->text()).arg(box->icon()).arg(box->standardButtons());
                box->done(QMessageBox::Ok);
            }
        });
        form.show(); // start-up goes on once the box is closed
        QCOMPARE(seen, u"Switch|%1|%2|%3"_s.arg(kCheckAddress).arg(QMessageBox::NoIcon).arg(QMessageBox::Ok));
        QVERIFY(form.isVisible());
        QCOMPARE(Trace(port.accesses), QString());
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
