#include "Contrast.h"
#include "Fonts.h"
#include "HelpWindow.h"
#include "Panel.h"
#include "RelayCycles.h"

#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTimer>
#include <QSvgRenderer>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

// The caption, title, typed or shown text, whichever the control has.
QString TextOf(const QWidget* w)
{
    return w->property(qobject_cast<const QGroupBox*>(w) ? "title" : qobject_cast<const QComboBox*>(w) ? "currentText" : "text").toString();
}

// What the help box shows, word for word.
const QString kHelp = u"\n1.  Make sure to connect DC cable to DC voltage suplier.\n"
                      "     Make sure to connect the test board to LPT output of the PC (parallel output \n"
                      "     port for printer, 25 pin connector) by control cable supplied with test board.  \n"
                      "\n2.  Choose from list the RF Switch model.            \n\n"
                      "3.  Press the Control Bits buttons (C1, C2...Cn) to connect common port of the switch\n"
                      "     to needed RF port using the Switch's Truth Table from Catalog Spec. \n"
                      "     To change control signal value press again the same button.\n"
                      "     The selected switch state will be presented at the schematic diagram.\n"_s;

} // namespace

// Where each control sits and how it reads: under any desktop theme, in
// whatever face stands in; a model list that stays as it is, keys that work;
// the help window, where it opens and how it reads.
class LayoutTest : public QObject
{
    Q_OBJECT

    const QStringList families = PanelFamilies();
    const QPalette desktop = QApplication::palette();

    std::optional<Panel> panel;
    QWidget* Get(const char* name) { return panel->Find(QLatin1String(name)); }
    QColor Colour(const char* name, QPalette::ColorRole role = QPalette::WindowText) { return Get(name)->palette().color(role); }

    // Clicks "Help" and waits for the help window to become the active one.
    bool ClickHelp()
    {
        panel->Click("Command2");
        return HelpWindow() && QTest::qWaitForWindowActive(HelpWindow());
    }
    static QPlainTextEdit* Text1() { return HelpWindow()->findChild<QPlainTextEdit*>(u"Text1"_s); }

private slots:
    void init()
    {
        panel.emplace();
        QVERIFY(panel->Show() && panel->Activate());
    }

    void cleanup()
    {
        panel.reset();
        PanelFamilies() = families;
        QApplication::setPalette(desktop);
        if (HelpWindow())
            HelpWindow()->close();
    }

    void controls_data()
    {
        // pixelSize 0: no text of its own; style b: bold, u: underlined; align: of a label's text
        AddColumns<QByteArray, QString, QRect, QString, QString, int, QString, int>("kind", "container", "twips", "text", "tooltip",
                                                                                   "pixelSize", "style", "align");
        // The tooltips the layout gives, each with the keys that do the same added.
        const QString form = u"SwitchForm"_s, frame = u"Frame1"_s,
                      change = u"Click to change\nCtrl+1: RF COMMON to RF1, Ctrl+2: RF COMMON to RF2, Ctrl+0: all terminated"_s;
        const int left = Qt::AlignLeft, centre = Qt::AlignHCenter;
        QTest::newRow("ParallelText") << "QLineEdit"_ba << form << QRect(6120, 1440, 975, 285) << u"888"_s
                                      << u"Control Panel -> Settings -> Device Manager -> Ports -> LPT-> Resources -> I/O Range \n"
                                         "Enter takes the address; right-click for the parallel ports found."_s << 11 << u""_s << 0;
        QTest::newRow("Picture2") << "PictureBox"_ba << form << QRect(4680, 2400, 4335, 3015) << u""_s << u""_s << 0 << u""_s << 0;
        QTest::newRow("Frame1") << "QGroupBox"_ba << form << QRect(840, 2280, 2175, 1335) << u"Control Bits:   "_s << u""_s << 13 << u"u"_s << 0;
        QTest::newRow("C1") << "QPushButton"_ba << frame << QRect(550, 600, 375, 375) << u"0"_s << change << 16 << u"b"_s << 0;
        QTest::newRow("C2") << "QPushButton"_ba << frame << QRect(1320, 600, 375, 375) << u"0"_s << change << 16 << u"b"_s << 0;
        QTest::newRow("Label1_0") << "QLabel"_ba << frame << QRect(550, 360, 375, 255) << u"C1"_s << u""_s << 13 << u""_s << centre;
        QTest::newRow("Label1_1") << "QLabel"_ba << frame << QRect(1320, 360, 375, 255) << u"C2"_s << u""_s << 13 << u""_s << centre;
        QTest::newRow("ModelCombo") << "QComboBox"_ba << form << QRect(840, 1560, 2175, 360) << u"QTR7-415KM"_s << u"Choose  Model"_s << 13 << u""_s << 0;
        QTest::newRow("Command2") << "QPushButton"_ba << form << QRect(8640, 1440, 855, 375) << u"Help"_s << u""_s << 11 << u""_s << 0;
        QTest::newRow("Picture1") << "PictureBox"_ba << form << QRect(0, 0, 9735, 1215) << u""_s << u""_s << 0 << u""_s << 0;
        QTest::newRow("Label3") << "QLabel"_ba << form << QRect(7080, 1440, 615, 255) << u"(Dec)"_s << u""_s << 11 << u""_s << left;
        QTest::newRow("Label2") << "QLabel"_ba << form << QRect(4800, 1440, 1215, 255) << u"Parallel Address: "_s << u""_s << 11 << u""_s << left;
        QTest::newRow("WarningLabel") << "QLabel"_ba << form << QRect(240, 4440, 4335, 735)
                                      << u"The state C1=1 & C2=1 is not available for the selected model !"_s << u""_s << 16 << u"b"_s << left;
        QTest::newRow("Label4") << "QLabel"_ba << form << QRect(840, 1320, 1455, 255) << u"Select Model:"_s << u""_s << 11 << u"b"_s << left;
        // The free strip below the warning, clear of every other control.
        const QString status = u"Port 888 (0x378): fake port"_s;
        QTest::newRow("PortStatus") << "QLabel"_ba << form << QRect(240, 5430, 9270, 690) << status << status << 11 << u""_s << left;
        // Over the schematic, under the address and Help.
        const QString off = u"All ports terminated"_s;
        QTest::newRow("PathWords") << "QLabel"_ba << form << QRect(4680, 1890, 4335, 480) << off << off << 11 << u"b"_s << left;
    }

    void controls()
    {
        const auto [kind, twips] = Fetch<QByteArray, QRect>("kind", "twips");
        const auto [pixelSize, style, align] = Fetch<int, QString, int>("pixelSize", "style", "align");
        QWidget* w = Get(QTest::currentDataTag());
        QVERIFY(w);
        QVERIFY2(w->inherits(kind), w->metaObject()->className());
        QTEST(w->parentWidget()->objectName(), "container");
        const auto px = [](int twips) { return int(std::lround(twips / 15.0)); };
        QCOMPARE(w->geometry(), QRect(px(twips.x()), px(twips.y()), px(twips.width()), px(twips.height())));
        QTEST(TextOf(w), "text");
        QTEST(w->toolTip(), "tooltip");
        const QFontInfo font(w->font());
        if (pixelSize)
            QCOMPARE(QStringLiteral("%1 px%2%3%4").arg(font.pixelSize()).arg(font.bold() ? "b" : "").arg(font.underline() ? "u" : "").arg(font.italic() ? "i" : ""),
                     QStringLiteral("%1 px%2").arg(pixelSize).arg(style));
        if (align)
            QCOMPARE(int(qobject_cast<QLabel*>(w)->alignment() & Qt::AlignHorizontal_Mask), align);
    }

    void windowAndColours()
    {
        SwitchForm& form = *panel->form;
        QCOMPARE(form.windowTitle(), u"Switch     Rev. A1"_s);
        QCOMPARE(QList<QSize>({form.minimumSize(), form.maximumSize()}), QList<QSize>(2, QSize(650, 409)));
        // Frame1, WarningLabel, then Label1_0 and C1: the frame's dark red stays on its title.
        const QPalette palette = QApplication::palette();
        QCOMPARE(QList<QColor>({Colour("Frame1"), Colour("WarningLabel"), Colour("Label1_0"), Colour("C1", QPalette::ButtonText)}),
                 QList<QColor>({QColor(128, 0, 0), QColor(255, 0, 0), palette.color(QPalette::WindowText),
                                palette.color(QPalette::ButtonText)}));
        for (int i = 1; i <= 3; ++i) {
            auto* line = Get("Picture2")->findChild<LineControl*>(QStringLiteral("Line%1").arg(i), Qt::FindDirectChildrenOnly);
            QVERIFY(line && line->BorderColor == QColor(0, 0, 255) && line->BorderWidth == 2);
        }
        const auto* warning = static_cast<QLabel*>(Get("WarningLabel"));
        QVERIFY(warning->wordWrap() && !warning->buddy()); // no buddy: "&" shown as it is
        QCOMPARE(QSvgRenderer(u":/banner.svg"_s).defaultSize(), QSize(650, 80));
    }

    void focusOrder()
    {
        const auto focused = [this] {
            QWidget* w = QApplication::focusWidget();
            while (w && w->parentWidget() != panel->form.get() && w->parentWidget()->objectName() != "Frame1"_L1)
                w = w->parentWidget();
            return w ? w->objectName() : QString();
        };
        QCOMPARE(focused(), u"ModelCombo"_s);
        for (const char* next : {"Command2", "C1", "C2", "ParallelText", "ModelCombo"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(focused(), QLatin1String(next));
        }
        // A click on these would otherwise take the focus from the address box, and so take the address.
        for (const char* name : {"Label1_0", "Label1_1", "Label2", "Label3", "Label4", "WarningLabel", "PortStatus", "Frame1", "Picture1", "Picture2"})
            QVERIFY2(Get(name)->focusPolicy() == Qt::NoFocus, name);
    }

    void darkDesktopCannotHideCaptions_data()
    {
        QTest::addColumn<QRect>("strip"); // where the caption is drawn, in the window; none: the whole box of that name
        QTest::newRow("Frame1") << QRect(56, 152, 145, 16);
        QTest::newRow("Label1_0") << QRect(93, 176, 25, 17);
        QTest::newRow("Label4") << QRect(56, 88, 97, 17);
        QTest::newRow("Label2") << QRect(320, 96, 81, 17);
        QTest::newRow("Label3") << QRect(472, 96, 41, 17);
        QTest::newRow("message box") << QRect();
        QTest::newRow("question box") << QRect();
    }

    void darkDesktopCannotHideCaptions()
    {
        QFETCH(QRect, strip);
        QApplication::setPalette(QPalette(QColor(45, 45, 45))); // light text on a dark face
        panel.emplace(); // drawn under the dark palette from the start
        QVERIFY(panel->Show());
        QImage shot;
        if (strip.isNull()) { // the box as the panel shows it, grabbed and closed once it is up
            QTimer::singleShot(0, [&shot] {
                if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                    shot = box->grab().toImage();
                    box->reject();
                }
            });
            if (QTest::currentDataTag() == "question box"_L1)
                AskQuestion(panel->form.get(), u"1000 (0x3E8) is not a standard parallel port address. Use it anyway?"_s);
            else
                ShowMessageBox(panel->form.get(), QMessageBox::Warning, u"Port 888 not switched: no parallel port found"_s);
            QVERIFY(!shot.isNull());
        } else {
            shot = panel->form->grab(strip).toImage();
        }
        QVERIFY2(Background(shot).lightnessF() > 0.8, qPrintable(Background(shot).name()));
        QVERIFY2(InkContrast(shot) >= 4.5, qPrintable(u"contrast %1"_s.arg(InkContrast(shot))));
    }

    // The simulated port marks the schematic, in the status line's blue, inside
    // the picture's free corner at 100 % and 200 %; a real port shows no mark.
    // (The warning colour is the palette's, as tst_views checks.)
    void simulationCannotBeMissed_data()
    {
        AddColumns<QString, int, bool, QColor>("port", "scale", "mark", "status");
        for (int scale : {1, 2}) {
            QTest::addRow("simulated %d%%", scale * 100) << "simulated" << scale << true << QColor(0, 0, 192);
            QTest::addRow("real %d%%", scale * 100) << "real" << scale << false << QColor(0, 0, 0);
        }
    }

    void simulationCannotBeMissed()
    {
        const auto [port, scale, status, mark] = Fetch<QString, int, QColor, bool>("port", "scale", "status", "mark");
        panel.emplace();
        if (port == "simulated"_L1)
            panel->port.status = kSimulatedPort;
        QVERIFY(panel->Show());
        QWidget* picture = Get("Picture2");
        QImage shot(picture->size() * scale, QImage::Format_RGB32);
        shot.setDevicePixelRatio(scale);
        picture->render(&shot);
        // Bluish ink below the contacts and right of the control driver: the mark, and only inside its corner.
        const QRect corner(196 * scale, 136 * scale, 90 * scale, 60 * scale);
        int inside = 0, outside = 0;
        for (int y = 120 * scale; y < shot.height(); ++y)
            for (int x = 190 * scale; x < shot.width(); ++x) {
                const QColor c = shot.pixelColor(x, y);
                if (c.blue() > c.red() + 40)
                    ++(corner.contains(x, y) ? inside : outside);
            }
        QVERIFY2(mark ? inside > 40 * scale * scale : inside == 0, qPrintable(u"%1 mark pixels"_s.arg(inside)));
        QCOMPARE(outside, 0);
        // The status line's ink, as drawn: its most covered pixel.
        const QImage line = Get("PortStatus")->grab().toImage();
        QColor ink = Qt::white;
        for (int y = 0; y < line.height(); ++y)
            for (int x = 0; x < line.width(); ++x)
                if (const QColor c = line.pixelColor(x, y); c.red() + c.green() + c.blue() < ink.red() + ink.green() + ink.blue())
                    ink = c;
        const bool near = std::abs(ink.red() - status.red()) <= 48 && std::abs(ink.green() - status.green()) <= 48
            && std::abs(ink.blue() - status.blue()) <= 48;
        QVERIFY2(near, qPrintable(u"ink %1, not %2, in: %3"_s.arg(ink.name(), status.name(), TextOf(Get("PortStatus")))));
    }

    // The room under the control bits shows what the servers say in the
    // window's own font, whole lines only: with five lines, a long warning
    // among them, those that do not fit are counted, and all show on hover.
    // The first, the switch's own, names the board's labels.
    void remoteNoteFits()
    {
        QTemporaryDir folder;
        RelayCycles kept(folder.path());
        panel->core.SetCycles(&kept);
        for (const auto& [channel, label] : {std::pair{1, "ANT"}, std::pair{2, "LOAD_12345"}}) {
            const OperationResult set = panel->core.SetLabel(channel, label, Source{});
            QVERIFY2(set.Ok(), set.detail.c_str());
        }
        const QStringList lines{u"Refused scpi client 127.0.0.2:51234: not a peer that --allow lets in"_s,
                                u"Warning: listening on 0.0.0.0:5025: anyone who can reach this address can switch the board"_s,
                                u"Web page on http://bench-pc:8080/"_s, u"TCPIP0::bench-pc::inst0::INSTR"_s,
                                u"TCPIP0::bench-pc::5025::SOCKET"_s};
        panel->form->SetRemoteNote({3, lines});
        auto* label = static_cast<QLabel*>(Get("RemoteStatus"));
        QCOMPARE(label->font().pixelSize(), PanelFont(8.25).pixelSize());
        const QString first = u"3 clients · RF1 ANT 0 / RF2 LOAD_12345 0 closures"_s;
        QCOMPARE(label->text(), first + u"\n"_s + lines[0] + u"\n+4 more: hover here for all"_s);
        QCOMPARE(label->toolTip(), (QStringList{first} + lines).join(u'\n'));
        // As drawn: no ink below the last of the lines its font's height allows.
        const QImage drawn = label->grab().toImage();
        const int rows = QFontMetrics(label->font()).boundingRect(label->contentsRect(), Qt::TextWordWrap, label->text()).height();
        QVERIFY(rows <= label->contentsRect().height());
        for (int y = rows; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x)
                QVERIFY2(qGray(drawn.pixel(x, y)) > 160, qPrintable(u"ink at %1,%2 below %3 rows"_s.arg(x).arg(y).arg(rows)));
        QVERIFY(!label->geometry().intersects(Get("WarningLabel")->geometry()) && !label->geometry().intersects(Get("Frame1")->geometry()));
        panel->core.SetCycles(nullptr);
    }

    // Every caption, label and help line fits its box in each face that can
    // stand in, measured at 100 % and at 200 % (at its own pixel size there).
    void everyTextFits_data()
    {
        AddColumns<QString, int>("family", "scale"); // family empty: a face that is not installed
        const QStringList installed = QFontDatabase::families();
        for (const QString& family : {u"Liberation Sans"_s, u"DejaVu Sans"_s, u"FreeSans"_s, u"Noto Sans"_s, u""_s}) {
            if (!family.isEmpty() && !installed.contains(family))
                continue;
            for (int scale : {1, 2})
                QTest::addRow("%s %d%%", family.isEmpty() ? "missing face" : qPrintable(family), scale * 100) << family << scale;
        }
    }

    void everyTextFits()
    {
        const auto [family, scale] = Fetch<QString, int>("family", "scale");
        PanelFamilies() = {family.isEmpty() ? u"No Such Face"_s : family};
        panel.emplace(); // made with that face
        // height 0: the line may take any
        struct Box { const char* name; QString text; int width, height; bool wrap = false; };
        const Box boxes[] = {
            {"Label4", u"Select Model:"_s, 97, 17}, {"Label2", u"Parallel Address:"_s, 81, 17}, {"Label3", u"(Dec)"_s, 41, 17},
            {"Label1_0", u"C1"_s, 25, 17}, {"Label1_1", u"C2"_s, 25, 17},
            {"WarningLabel", u"The state C1=1 & C2=1 is not available for the selected model !"_s, 289, 49, true},
            {"Frame1", u"Control Bits:"_s, 129, 0},   // set into the frame's top edge, 8 px in
            {"Command2", u"Help"_s, 49, 0},           // within the button's bevel
            {"ModelCombo", u"QTR7-415KM"_s, 116, 0},  // left of the arrow
            {"C1", u"0"_s, 17, 0}, {"ParallelText", u"888"_s, 57, 0},
            {"PathWords", u"Unknown: nothing read back from the port"_s, 289, 32, true},
            {"PathWords", u"C1=1 with C2=1: not a state of this model"_s, 289, 32, true},
        };
        const auto check = [&](const QString& what, QFont font, const QString& text, QSize box, bool wrap) {
            if (!family.isEmpty())
                QCOMPARE(QFontInfo(font).family(), family);
            font.setPixelSize(font.pixelSize() * scale);
            const QFontMetricsF metrics(font);
            const QSizeF room = QSizeF(box.width(), box.height() ? box.height() : 1e6) * scale;
            const QSizeF needed = wrap ? metrics.boundingRect(QRectF(0, 0, room.width(), 1e6), Qt::TextWordWrap, text).size()
                                       : QSizeF(metrics.horizontalAdvance(text), metrics.height());
            QVERIFY2(std::ceil(needed.width()) <= room.width() && std::ceil(needed.height()) <= room.height(),
                     qPrintable(u"%1 needs %2x%3 px in %4x%5: \"%6\""_s.arg(what).arg(needed.width()).arg(needed.height())
                                    .arg(room.width()).arg(room.height()).arg(text)));
        };
        for (const Box& box : boxes) {
            QWidget* w = panel->Find(QLatin1String(box.name));
            QVERIFY(w);
            check(QLatin1String(box.name), w->font(), box.text, QSize(box.width, box.height), box.wrap);
        }
        // Each help line on a line of its own: 505 px, less the box's frame
        // and margins; trailing blanks take no room.
        Form1 help;
        const QFont font = help.findChild<QPlainTextEdit*>(u"Text1"_s)->font();
        for (QString line : HelpText().split(u"\r\n"_s)) {
            while (line.endsWith(u' '))
                line.chop(1);
            check(u"help line"_s, font, line, QSize(494, 0), false);
        }
    }

    void modelListKeepsItsEntry()
    {
        auto* combo = panel->Find<QComboBox>(u"ModelCombo"_s);
        panel->port.Take();
        const QString unknown = u"\"%1\" is not a model this program knows (QTR7-415KM): the board is driven as the QTR7-415KM."_s;
        // What is typed, what shows then, and what the box says of it.
        const QStringList rows[] = {{u"ABC-123"_s, u"ABC-123"_s, unknown.arg(u"ABC-123"_s)},
                                    {u"QTR7-415KM x"_s, u"QTR7-415KM x"_s, unknown.arg(u"QTR7-415KM x"_s)},
                                    {u"qtr7-415km"_s, u"QTR7-415KM"_s, u"Choose  Model"_s}};
        for (const QStringList& row : rows) {
            combo->lineEdit()->selectAll();
            QTest::keyClicks(combo->lineEdit(), row[0]);
            QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
            // The count of entries, the one entry, what shows, and whether it names a model.
            QCOMPARE(QStringList({QString::number(combo->count()), combo->itemText(0), combo->currentText(), combo->toolTip()}),
                     QStringList({"1", "QTR7-415KM", row[1], row[2]}));
            // A name that is no model shows in red.
            QCOMPARE(combo->lineEdit()->palette().color(QPalette::Text) == QColor(Qt::red), row[2] != u"Choose  Model"_s);
        }
        QCOMPARE(panel->port.Take(), QString()); // the model never reaches the port
        QCOMPARE(panel->Captions(), u"00"_s);
    }

    void enterPressesFocusedButton_data()
    {
        AddColumns<QString, int, QString, bool>("button", "key", "captions", "helpShown");
        QTest::newRow("C1, Return") << u"C1"_s << int(Qt::Key_Return) << u"10"_s << false;
        QTest::newRow("C2, keypad Enter") << u"C2"_s << int(Qt::Key_Enter) << u"01"_s << false;
        QTest::newRow("Command2, Return") << u"Command2"_s << int(Qt::Key_Return) << u"00"_s << true;
    }

    void enterPressesFocusedButton()
    {
        const auto [button, key] = Fetch<QString, int>("button", "key");
        panel->Find(button)->setFocus(Qt::TabFocusReason);
        QCOMPARE(QApplication::focusWidget(), panel->Find(button));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QTEST(panel->Captions(), "captions");
        QTEST(HelpWindow() && HelpWindow()->isVisible(), "helpShown");
    }

    void oneWindowInFrontAndBackTheSame()
    {
        for (int click = 0; click < 3; ++click) {
            QVERIFY(ClickHelp());
            QVERIFY(!QApplication::activeModalWidget()); // the panel stays usable beside it
            QVERIFY(panel->Activate()); // so the next click has to bring it forward again
        }
        HelpWindow()->showMinimized(); // out of sight is not in front either
        QVERIFY(ClickHelp() && !HelpWindow()->isMinimized());
        for (int shown = 0; shown < 2; ++shown) {
            QCOMPARE(HelpWindow()->windowTitle(), u"RF Switches - Help "_s);
            QVERIFY(!HelpWindow()->windowIcon().isNull());
            QCOMPARE(Text1()->geometry(), QRect(8, 16, 505, 185));
            QCOMPARE(Text1()->toPlainText(), kHelp);
            QVERIFY(HelpWindow()->close());
            QVERIFY(ClickHelp());
        }
        QCOMPARE(std::ranges::count_if(QApplication::topLevelWidgets(), [](QWidget* w) { return qobject_cast<Form1*>(w); }), 1);
    }

    // Every line within the box, readable (at least 7:1, not a greyed-out
    // box); no caret, selection or focus; the panel's controls left in sight.
    void textShownWholeAndInert()
    {
        QVERIFY(ClickHelp());
        QCOMPARE(HelpWindow()->grab().size(), QSize(518, 218));
        QPlainTextEdit* text = Text1();
        const double contrast = InkContrast(text->grab().toImage());
        QVERIFY2(contrast >= 7, qPrintable(u"contrast %1"_s.arg(contrast)));
        const QRect help = HelpWindow()->frameGeometry();
        QVERIFY(panel->form->screen()->availableGeometry().contains(help));
        for (const char* name : {"Label4", "ModelCombo", "Frame1", "Label2", "ParallelText", "Label3", "Command2"}) {
            QWidget* control = panel->Find(QLatin1String(name));
            QVERIFY2(!help.intersects(QRect(control->mapToGlobal(QPoint(0, 0)), control->size())), name);
        }
        QVERIFY(text->font().pixelSize() == 11 && text->font().bold()); // 8.25 pt at 96 dpi
        const QRect box = text->viewport()->rect().adjusted(0, 0, 0, -int(std::ceil(text->document()->documentMargin())));
        for (QTextBlock block = text->document()->begin(); block.isValid(); block = block.next()) {
            QTextCursor end(block);
            end.movePosition(QTextCursor::EndOfBlock);
            QVERIFY2(text->cursorRect(QTextCursor(block)).top() >= 0 && box.contains(text->cursorRect(end).bottomLeft()),
                     qPrintable(u"line %1 is cut"_s.arg(block.blockNumber() + 1)));
        }
        const auto untouched = [&] {
            return !text->hasFocus() && QApplication::focusWidget() != text && !text->textCursor().hasSelection()
                && text->textCursor().position() == 0 && text->toPlainText() == kHelp;
        };
        QTest::mouseClick(text->viewport(), Qt::LeftButton, {}, QPoint(60, 25));
        QVERIFY(untouched());
        QTest::keyClick(HelpWindow(), Qt::Key_Tab);
        QVERIFY(untouched());
        QTest::keyClicks(text, u"x y"_s);
        QTest::keyClick(text, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(text, Qt::Key_X, Qt::ControlModifier);
        QVERIFY(untouched());
    }

    // Screen, panel and help frames in screen pixels; the panel's controls
    // as laid out, moved with it.
    void position_data()
    {
        AddColumns<QRect, QPoint, QPoint>("screen", "panel", "help");
        QTest::newRow("room on the right") << QRect(0, 0, 1920, 1080) << QPoint(100, 100) << QPoint(758, 100);
        QTest::newRow("right, moved up") << QRect(0, 0, 1920, 1080) << QPoint(100, 950) << QPoint(758, 862);
        QTest::newRow("room on the left") << QRect(0, 0, 1920, 1080) << QPoint(1200, 100) << QPoint(674, 100);
        QTest::newRow("second screen below a bar") << QRect(1920, 32, 1280, 992) << QPoint(1930, 40) << QPoint(2588, 40);
        QTest::newRow("1280 centred: below") << QRect(0, 0, 1280, 1024) << QPoint(315, 307) << QPoint(315, 724);
        QTest::newRow("1280, low: above") << QRect(0, 0, 1280, 1024) << QPoint(315, 600) << QPoint(315, 374);
        QTest::newRow("1024 centred: over the schematic") << QRect(0, 0, 1024, 768) << QPoint(187, 179) << QPoint(499, 322);
        QTest::newRow("800: the schematic and the warning's edge") << QRect(0, 0, 800, 600) << QPoint(0, 0) << QPoint(282, 143);
    }

    void position()
    {
        const auto [screen, panel] = Fetch<QRect, QPoint>("screen", "panel");
        QList<QRect> controls;
        for (const QRect& r : {QRect(56, 88, 97, 17), QRect(56, 104, 145, 24), QRect(56, 152, 145, 89), QRect(320, 96, 81, 17),
                               QRect(408, 96, 65, 19), QRect(472, 96, 41, 17), QRect(576, 96, 57, 25), QRect(16, 296, 289, 49),
                               QRect(16, 365, 618, 36)})
            controls << r.translated(panel);
        QTEST(HelpWindowPosition(screen, QRect(panel, QSize(650, 409)), QRect(panel + QPoint(312, 160), QSize(289, 201)),
                                 controls, QSize(518, 218)),
              "help");
    }

    void programRunsUntilBothWindowsAreClosed()
    {
        QVERIFY(ClickHelp());
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        QString afterPanel; // closing a window counts only while the program's event loop runs
        QTimer::singleShot(0, [&] {
            panel->form->close();
            afterPanel = u"%1 closed, help %2"_s.arg(lastClosed.count()).arg(HelpWindow()->isVisible() ? "shown" : "hidden");
            HelpWindow()->close();
            if (lastClosed.isEmpty())
                QCoreApplication::exit(1); // it would otherwise run on with no window
        });
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(afterPanel + u", then %1 closed"_s.arg(lastClosed.count()), u"0 closed, help shown, then 1 closed"_s);
    }
};

QTEST_MAIN(LayoutTest)
#include "tst_layout.moc"
