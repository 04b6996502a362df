// The window's controls as they are laid out: kind, place, texts and fonts.
// What they do is SwitchForm.cpp's.
#include "SwitchForm.h"

#include "ButtonKeys.h"
#include "Fonts.h"
#include "Palette.h"
#include "PictureBox.h"
#include "PortText.h"
#include "SvgIcon.h"
#include "Twips.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

#include <algorithm>
#include <iterator>

namespace {

// Where each control lies, in twips of its container (Frame1 for C1, C2 and
// the labels above them, the window for the others).
struct Placement
{
    const char* name;
    int left, top, width, height;
};

constexpr Placement kLayout[] = {
    {"ParallelText", 6120, 1440, 975, 285},  {"Picture2", 4680, 2400, 4335, 3015}, {"Frame1", 840, 2280, 2175, 1335},
    {"C1", 550, 600, 375, 375},              {"C2", 1320, 600, 375, 375},          {"Label1_0", 550, 360, 375, 255},
    {"Label1_1", 1320, 360, 375, 255},       {"ModelCombo", 840, 1560, 2175, 360}, {"Command2", 8640, 1440, 855, 375},
    {"Picture1", 0, 0, 9735, 1215},          {"Label3", 7080, 1440, 615, 255},     {"Label2", 4800, 1440, 1215, 255},
    {"WarningLabel", 240, 4440, 4335, 735},  {"Label4", 840, 1320, 1455, 255},
    // Says which port the panel talks to, and any access that did not verify.
    {"PortStatus", 240, 5430, 9270, 690},
    // How remote clients reach the switch, in the free room under the control
    // bits: all of it between them and the warning, four lines of the font.
    {"RemoteStatus", 240, 3630, 4335, 810},
    // The path the board is in, in words, over the schematic.
    {"PathWords", 4680, 1890, 4335, 480},
};

template <typename Control>
Control* Place(Control* control, const char* name)
{
    const auto* at = std::find_if(std::begin(kLayout), std::end(kLayout),
                                  [name](const Placement& p) { return std::string_view(p.name) == name; });
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(RectFromTwips(at->left, at->top, at->width, at->height));
    return control;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop)
{
    auto* label = Place(new QLabel(text, parent), name);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(alignment);
    return label;
}

// A push button that acts on the release before it repaints itself raised,
// so the board hears of a click without waiting for the drawing.
class ControlBitButton : public QPushButton
{
public:
    using QPushButton::QPushButton;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton && isDown() && hitButton(event->position().toPoint())) {
            setDown(false);
            event->accept();
            emit released();
            emit clicked();
            return;
        }
        QPushButton::mouseReleaseEvent(event);
    }
};

// A frame with its caption set into the top edge. Drawn by hand: the
// platform style draws group boxes from a bitmap whose loading pulls in every
// image-format plugin at start-up.
class FrameBox : public QGroupBox
{
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const QFontMetrics metrics(font());
        const QRect edge = rect().adjusted(0, metrics.height() / 2, -2, -2);
        painter.setPen(palette().color(QPalette::Dark));
        painter.drawRect(edge);
        painter.setPen(palette().color(QPalette::Light));
        painter.drawRect(edge.translated(1, 1));
        const QRect caption(kCaptionIndent, 0, metrics.horizontalAdvance(title()), metrics.height());
        painter.fillRect(caption, palette().color(QPalette::Window));
        painter.setFont(font());
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(caption, Qt::AlignLeft | Qt::AlignVCenter, title());
    }

private:
    static constexpr int kCaptionIndent = 8; // pixels
};

} // namespace

void SwitchForm::CreateControls()
{
    setObjectName(QStringLiteral("SwitchForm"));
    setWindowTitle(QStringLiteral("Switch     Rev. A1"));
    setWindowIcon(SvgIcon(QStringLiteral(":/switch-icon.svg")));
    setFixedSize(PixelsFromTwips(9750), PixelsFromTwips(6135));
    setFont(PanelFont(8.25));
    setPalette(PanelPalette());

    ParallelText = Place(new QLineEdit(QString::fromStdString(PortTyped(context_.startPort)), this), "ParallelText");
    ParallelText->setToolTip(QStringLiteral("Control Panel -> Settings -> Device Manager -> Ports -> LPT-> Resources -> I/O Range "));

    Picture2 = Place(new PictureBox(QStringLiteral("Picture2"), QStringLiteral(":/schematic.svg"), this), "Picture2");
    Line3 = new LineControl(QStringLiteral("Line3"), 3250, 1230, 2880, 1320, Picture2);
    Line2 = new LineControl(QStringLiteral("Line2"), 1900, 750, 2350, 600, Picture2);
    Line1 = new LineControl(QStringLiteral("Line1"), 1680, 1200, 2160, 1080, Picture2);

    Frame1 = Place(new FrameBox(QStringLiteral("Control Bits:   "), this), "Frame1");
    Frame1->setFont(PanelFont(9.75, QFont::Normal, true));
    SetTextColor(Frame1, QColor(128, 0, 0));

    const QColor labelColor = palette().color(QPalette::WindowText);
    auto makeBit = [&](const char* name) {
        auto* button = Place(new ControlBitButton(QStringLiteral("0"), Frame1), name);
        button->setToolTip(QStringLiteral("Click to change"));
        button->setFont(PanelFont(12, QFont::Bold));
        return button;
    };
    C1 = makeBit("C1");
    C2 = makeBit("C2");
    for (int i = 0; i < 2; ++i) {
        Label1[i] = MakeLabel(Frame1, i == 0 ? "Label1_0" : "Label1_1", i == 0 ? QStringLiteral("C1") : QStringLiteral("C2"),
                              Qt::AlignHCenter | Qt::AlignTop);
        Label1[i]->setFont(PanelFont(9.75));
        SetTextColor(Label1[i], labelColor);
    }

    ModelCombo = Place(new QComboBox(this), "ModelCombo");
    ModelCombo->setFont(PanelFont(9.75)); // first, so that its text is laid out once, in its own size
    ModelCombo->setEditable(true);
    ModelCombo->setInsertPolicy(QComboBox::NoInsert); // the list keeps the models the program knows
    ModelCombo->setEditText(QString::fromStdString(core_.Model().name));
    ModelCombo->setToolTip(QStringLiteral("Choose  Model"));

    Command2 = Place(new QPushButton(QStringLiteral("Help"), this), "Command2");
    Picture1 = Place(new PictureBox(QStringLiteral("Picture1"), QStringLiteral(":/banner.svg"), this), "Picture1");
    Label3 = MakeLabel(this, "Label3", QStringLiteral("(Dec)"));
    Label2 = MakeLabel(this, "Label2", QStringLiteral("Parallel Address: "));

    WarningLabel = MakeLabel(this, "WarningLabel", QStringLiteral("The state C1=1 & C2=1 is not available for the selected model !"));
    WarningLabel->setFont(PanelFont(12, QFont::Bold));
    WarningLabel->setWordWrap(true);
    SetTextColor(WarningLabel, QColor(255, 0, 0));
    WarningLabel->hide();

    Label4 = MakeLabel(this, "Label4", QStringLiteral("Select Model:"));
    Label4->setFont(PanelFont(8.25, QFont::Bold));

    PortStatus = MakeLabel(this, "PortStatus", QString());
    PortStatus->setWordWrap(true);
    RemoteStatus = MakeLabel(this, "RemoteStatus", QString());
    RemoteStatus->setWordWrap(true);
    PathWords = MakeLabel(this, "PathWords", QString(), Qt::AlignLeft | Qt::AlignBottom);
    PathWords->setWordWrap(true);

    setTabOrder(ModelCombo, Command2);
    setTabOrder(Command2, C1);
    setTabOrder(C1, C2);
    setTabOrder(C2, ParallelText);
    ModelCombo->setFocus();

    PressButtonsOnEnter(this);
    FitCaptions(this);
}
