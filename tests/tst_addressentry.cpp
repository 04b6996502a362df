#include "Panel.h"

#include <QLineEdit>
#include <QSignalSpy>

class AddressEntryTest : public QObject
{
    Q_OBJECT

private slots:
    void takesTheTypedAddress_data()
    {
        QTest::addColumn<QList<int>>("keys"); // pressed after typing
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("address");
        QTest::addColumn<QString>("accesses");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("refused");
        const QString unchanged = QStringLiteral("Port 888 (0x378): fake port");
        const QList<int> Return{Qt::Key_Return}, KeypadEnter{Qt::Key_Enter}, Tab{Qt::Key_Tab},
            others{Qt::Key_Escape, Qt::Key_Space, Qt::Key_Left, Qt::Key_Backspace, Qt::Key_F1, Qt::Key_Shift};
        QTest::newRow("Enter") << Return << "632" << 632 << "w634:00 r634:00 w632:00 r632:00" << "Port 632 (0x278): fake port" << false;
        QTest::newRow("keypad Enter") << KeypadEnter << "&H778" << 1912 << "w1914:00 r1914:00 w1912:00 r1912:00" << "Port 1912 (0x778): fake port" << false;
        QTest::newRow("focus out") << Tab << "631.5" << 632 << "w634:00 r634:00 w632:00 r632:00" << "Port 632 (0x278): fake port" << false;
        QTest::newRow("other keys") << others << "632" << 888 << "" << unchanged << false;
        QTest::newRow("zero") << Return << "0" << 0 << "" << "Port 0: not a port address; nothing is written" << false;
        QTest::newRow("C notation") << Return << "0x378" << 0 << ""
                                    << "Port 0: not a port address; nothing is written\n\"0x378\" reads as 0: nothing is written there. "
                                       "Type the address in decimal (888) or as &H378." << false;
        QTest::newRow("not a number") << Tab << "garbage" << 0 << ""
                                      << "Port 0: not a port address; nothing is written\n\"garbage\" reads as 0" << false;
        QTest::newRow("negative") << Tab << "-5" << -5 << "" << "Port -5" << false;
        QTest::newRow("beyond 32 bits") << Return << "2147483648" << 888 << "" << unchanged << true;
        QTest::newRow("control register beyond 32 bits") << Tab << "2147483646" << 888 << "" << unchanged << true;
    }

    void takesTheTypedAddress()
    {
        QFETCH(QList<int>, keys);
        QFETCH(QString, text);
        QFETCH(int, address);
        QFETCH(QString, status);
        Panel panel;
        QVERIFY(panel.Show() && panel.Activate());
        auto* edit = panel.Find<QLineEdit>(QStringLiteral("ParallelText"));
        edit->setFocus();
        edit->clear();
        panel.port.Take();
        QTest::keyClicks(edit, text);
        QCOMPARE(panel.port.Take(), QString()); // typing alone takes nothing

        for (int key : keys)
            QTest::keyClick(edit, Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        QCOMPARE(edit->hasFocus(), keys != QList<int>{Qt::Key_Tab});

        QCOMPARE(panel.form->PortAddress, address);
        QTEST(panel.port.Take(), "accesses");
        QVERIFY2(panel.Status()->text().startsWith(status), qPrintable(panel.Status()->text()));
        QFETCH(bool, refused);
        QCOMPARE(panel.messages.size(), refused ? 1 : 0);
        if (refused)
            QVERIFY2(panel.messages[0].contains(text) && panel.messages[0].contains(QStringLiteral("not a usable port address")),
                     qPrintable(panel.messages[0]));
    }

    // A refused address goes back to the one in use, and the click that
    // moved the focus away from it does nothing and leaves no button down.
    void refusedAddressOnClick()
    {
        Panel panel;
        QVERIFY(panel.Show() && panel.Activate());
        auto* edit = panel.Find<QLineEdit>(QStringLiteral("ParallelText"));
        edit->setFocus();
        edit->setText(QStringLiteral("99999999999"));
        panel.port.Take();
        QSignalSpy taken(panel.form.get(), &SwitchForm::AddressTaken);
        panel.Click(QStringLiteral("C1"));
        QTRY_COMPARE(panel.messages.size(), 1);

        QCOMPARE(panel.port.Take(), QString());
        QCOMPARE(panel.Captions(), QStringLiteral("00"));
        QVERIFY(!panel.Find<QPushButton>(QStringLiteral("C1"))->isDown());
        QCOMPARE(edit->text(), QStringLiteral("888"));
        QCOMPARE(edit->selectedText(), QStringLiteral("888"));
        QVERIFY(edit->hasFocus());
        QVERIFY(panel.messages[0].startsWith(QStringLiteral("\"99999999999\" is not a usable port address.")));
        QCOMPARE(taken.count(), 0);

        // The next click is a click again; leaving the box takes the address in use.
        panel.Click(QStringLiteral("C1"));
        QCOMPARE(panel.Captions(), QStringLiteral("10"));
        QCOMPARE(taken.count(), 1);
    }
};

QTEST_MAIN(AddressEntryTest)
#include "tst_addressentry.moc"
