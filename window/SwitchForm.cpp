#include "SwitchForm.h"

#include "AddressText.h"
#include "ButtonKeys.h"
#include "Fonts.h"
#include "HelpWindow.h"
#include "Palette.h"
#include "PortAccess.h"
#include "PictureBox.h"
#include "PortIo.h"
#include "Schematic.h"
#include "SvgIcon.h"
#include "Twips.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

namespace {

const QString kModel = QStringLiteral("QTR7-415KM");
const QString kZero = QStringLiteral("0");
const QString kOne = QStringLiteral("1");

template <typename Control>
Control* Place(Control* control, const QString& name, int left, int top, int width, int height)
{
    control->setObjectName(name);
    control->setGeometry(RectFromTwips(left, top, width, height));
    return control;
}

QLabel* MakeLabel(QWidget* parent, const QString& name, const QString& text, QRect twips,
                  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop)
{
    auto* label = Place(new QLabel(text, parent), name, twips.x(), twips.y(), twips.width(), twips.height());
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(alignment);
    return label;
}

void SetTextColor(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
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

QString Hex(std::int64_t value, int digits)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

} // namespace

// Marks the window busy with the port for its lifetime; clicks and address
// entries that arrive meanwhile (from inside a retry wait) are dropped, so a
// nested handler can never combine both control bits on the port.
class SwitchForm::PortOperation
{
public:
    explicit PortOperation(SwitchForm& form) : form_(form) { form_.operation_ = this; }
    ~PortOperation()
    {
        form_.operation_ = nullptr;
        if (showedBusyPointer_)
            form_.setCursor(previousCursor_);
    }
    PortOperation(const PortOperation&) = delete;
    PortOperation& operator=(const PortOperation&) = delete;

    // Before each pause of a slow write.
    void ShowBusyPointer()
    {
        if (showedBusyPointer_)
            return;
        showedBusyPointer_ = true;
        previousCursor_ = form_.cursor();
        form_.setCursor(Qt::BusyCursor);
    }

private:
    SwitchForm& form_;
    bool showedBusyPointer_ = false;
    QCursor previousCursor_;
};

SwitchForm::SwitchForm(SwitchFormContext context, QWidget* parent)
    : QWidget(parent), context_(std::move(context))
{
    CreateControls();
}

SwitchForm::~SwitchForm() = default;

void SwitchForm::CreateControls()
{
    setObjectName(QStringLiteral("SwitchForm"));
    setWindowTitle(QStringLiteral("Switch     Rev. A1"));
    setWindowIcon(SvgIcon(QStringLiteral(":/switch-icon.svg")));
    setFixedSize(PixelsFromTwips(9750), PixelsFromTwips(6135));
    setFont(PanelFont(8.25));
    setPalette(PanelPalette());

    ParallelText = Place(new QLineEdit(QStringLiteral("888"), this), QStringLiteral("ParallelText"), 6120, 1440, 975, 285);
    ParallelText->setToolTip(QStringLiteral("Control Panel -> Settings -> Device Manager -> Ports -> LPT-> Resources -> I/O Range "));
    ParallelText->installEventFilter(this);

    Picture2 = Place(new PictureBox(QStringLiteral("Picture2"), QStringLiteral(":/schematic.svg"), this),
                     QStringLiteral("Picture2"), 4680, 2400, 4335, 3015);
    Line3 = new LineControl(QStringLiteral("Line3"), 3250, 1230, 2880, 1320, Picture2);
    Line2 = new LineControl(QStringLiteral("Line2"), 1900, 750, 2350, 600, Picture2);
    Line1 = new LineControl(QStringLiteral("Line1"), 1680, 1200, 2160, 1080, Picture2);

    Frame1 = Place(new FrameBox(QStringLiteral("Control Bits:   "), this), QStringLiteral("Frame1"), 840, 2280, 2175, 1335);
    Frame1->setFont(PanelFont(9.75, QFont::Normal, true));
    SetTextColor(Frame1, QColor(128, 0, 0));

    const QColor labelColor = palette().color(QPalette::WindowText);
    auto makeBit = [&](const QString& name, int left) {
        auto* button = Place(new ControlBitButton(kZero, Frame1), name, left, 600, 375, 375);
        button->setToolTip(QStringLiteral("Click to change"));
        button->setFont(PanelFont(12, QFont::Bold));
        return button;
    };
    C1 = makeBit(QStringLiteral("C1"), 550);
    C2 = makeBit(QStringLiteral("C2"), 1320);
    for (int i = 0; i < 2; ++i) {
        Label1[i] = MakeLabel(Frame1, QStringLiteral("Label1_%1").arg(i), i == 0 ? QStringLiteral("C1") : QStringLiteral("C2"),
                              QRect(i == 0 ? 550 : 1320, 360, 375, 255), Qt::AlignHCenter | Qt::AlignTop);
        Label1[i]->setFont(PanelFont(9.75));
        SetTextColor(Label1[i], labelColor);
    }

    ModelCombo = Place(new QComboBox(this), QStringLiteral("ModelCombo"), 840, 1560, 2175, 360);
    ModelCombo->setEditable(true);
    ModelCombo->setInsertPolicy(QComboBox::NoInsert); // the list keeps its one model
    ModelCombo->setEditText(kModel);
    ModelCombo->setToolTip(QStringLiteral("Choose  Model"));
    ModelCombo->setFont(PanelFont(9.75));

    Command2 = Place(new QPushButton(QStringLiteral("Help"), this), QStringLiteral("Command2"), 8640, 1440, 855, 375);

    Picture1 = Place(new PictureBox(QStringLiteral("Picture1"), QStringLiteral(":/banner.svg"), this),
                     QStringLiteral("Picture1"), 0, 0, 9735, 1215);

    Label3 = MakeLabel(this, QStringLiteral("Label3"), QStringLiteral("(Dec)"), QRect(7080, 1440, 615, 255));
    Label2 = MakeLabel(this, QStringLiteral("Label2"), QStringLiteral("Parallel Address: "), QRect(4800, 1440, 1215, 255));

    WarningLabel = MakeLabel(this, QStringLiteral("WarningLabel"),
                             QStringLiteral("The state C1=1 & C2=1 is not available for the selected model !"),
                             QRect(240, 4440, 4335, 735));
    WarningLabel->setFont(PanelFont(12, QFont::Bold));
    WarningLabel->setWordWrap(true);
    SetTextColor(WarningLabel, QColor(255, 0, 0));
    WarningLabel->hide();

    Label4 = MakeLabel(this, QStringLiteral("Label4"), QStringLiteral("Select Model:"), QRect(840, 1320, 1455, 255));
    Label4->setFont(PanelFont(8.25, QFont::Bold));

    // Says which port the panel talks to, and any write that did not verify.
    PortStatus = MakeLabel(this, QStringLiteral("PortStatus"), QString(), QRect(240, 5475, 9270, 540));
    PortStatus->setWordWrap(true);

    setTabOrder(ModelCombo, Command2);
    setTabOrder(Command2, C1);
    setTabOrder(C1, C2);
    setTabOrder(C2, ParallelText);
    ModelCombo->setFocus();

    connect(C1, &QPushButton::clicked, this, &SwitchForm::C1_Click);
    connect(C2, &QPushButton::clicked, this, &SwitchForm::C2_Click);
    connect(Command2, &QPushButton::clicked, this, &SwitchForm::Command2_Click);
    PressButtonsOnEnter(this);
    FitCaptions(this);
}

void SwitchForm::setVisible(bool visible)
{
    // The load handler runs once, before the window first shows.
    if (visible && !loaded_) {
        loaded_ = true;
        Form_Load();
    }
    QWidget::setVisible(visible);
}

bool SwitchForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ParallelText) {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            ParallelText_KeyDown(key->key(), key->modifiers());
        } else if (event->type() == QEvent::FocusOut) {
            // Switching to another application or opening the box's context
            // menu is not leaving the box.
            const auto reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                ParallelText_LostFocus();
        }
    }
    return QWidget::eventFilter(watched, event); // the key is not consumed
}

void SwitchForm::Form_Load()
{
    // A step that fails is skipped and the next one runs.
    auto step = [](auto&& statement) {
        try {
            statement();
        } catch (const std::exception&) {
        }
    };
    step([&] {
        if (const auto address = AddressFromText(ParallelText->text().toStdString()))
            PortAddress = *address;
    });
    if (PortAddress < 1)
        step([&] { context_.showMessage(this, QMessageBox::NoIcon, QStringLiteral("Check Parallel Address !!!")); });
    step([&] { IsNT = IsNtPlatform(context_.versionQuery); });
    step([&] { ShowPortInUse(); });
    if (IsNT) {
        setCursor(Qt::WaitCursor);
        QCoreApplication::processEvents();
        Delay(1000);
        setCursor(Qt::ArrowCursor);
        QCoreApplication::processEvents();
    }
    step([&] { ClearRegisters(IsNT); });
    step([&] { UpdateSchematic(); });
    ModelCombo->addItem(kModel);
}

void SwitchForm::ParallelText_KeyDown(int keyCode, Qt::KeyboardModifiers)
{
    if (keyCode == Qt::Key_Return || keyCode == Qt::Key_Enter)
        TakeAddress();
}

void SwitchForm::ParallelText_LostFocus()
{
    TakeAddress();
}

void SwitchForm::TakeAddress()
{
    if (operation_)
        return;
    const QString text = ParallelText->text();
    const auto address = AddressFromText(text.toStdString());
    if (!address || !CheckedAdd(*address, 2)) {
        context_.showMessage(this, QMessageBox::Warning,
                             QStringLiteral("\"%1\" is not a usable port address.\n"
                                            "Type the port's base address in decimal, e.g. 888.").arg(text));
        return;
    }
    PortAddress = *address;
    ShowPortInUse();
    ClearRegisters(true);
}

void SwitchForm::ClearRegisters(bool control)
{
    // Nothing lives below address 1 that the panel may write to.
    if (PortAddress < 1)
        return;
    PortOperation operation(*this);
    if (control) {
        if (const auto controlRegister = CheckedAdd(PortAddress, 2))
            Write(*controlRegister, 0);
    }
    Write(PortAddress, 0);
}

void SwitchForm::C1_Click()
{
    ToggleControlBit(C1, C2, 0);
}

void SwitchForm::C2_Click()
{
    ToggleControlBit(C2, C1, 1);
}

void SwitchForm::ToggleControlBit(QPushButton* own, QPushButton* other, std::int16_t bit)
{
    if (operation_)
        return;
    try {
        PortOperation operation(*this);
        const QString caption = own->text();
        if (caption == kZero) {
            if (other->text() == kOne) {
                WarningLabel->show();
            } else {
                SetControlBit(bit);
                own->setText(kOne);
                UpdateSchematic();
            }
        } else if (caption == kOne) {
            ClearControlBit(bit);
            own->setText(kZero);
            UpdateSchematic();
        }
    } catch (const PortError& error) {
        // The port could not be read: nothing was written and nothing changes.
        context_.showMessage(this, QMessageBox::Warning,
                             QStringLiteral("Could not read port %1:\n%2").arg(PortAddress).arg(QString::fromStdString(error.what())));
    }
    QCoreApplication::processEvents();
}

std::int16_t SwitchForm::ReadDataRegister() const
{
    // Whatever sits below address 1 is not the board's port.
    if (PortAddress < 1)
        throw PortError("no port at address " + std::to_string(PortAddress) + "; type the port's address and press Enter");
    return ReadPort(PortAddress);
}

void SwitchForm::SetControlBit(std::int16_t bit)
{
    // A bit is set only while the other button shows "0"; a stale or stuck
    // read-back must not carry the other bit onto the port with this one.
    const int otherBit = 3 & ~(1 << bit);
    const auto value = static_cast<std::int16_t>((ReadDataRegister() | (1 << bit)) & ~otherBit);
    Write(PortAddress, value);
}

void SwitchForm::ClearControlBit(std::int16_t bit)
{
    const auto value = static_cast<std::int16_t>(ReadDataRegister() & (0xFF - (1 << bit)));
    Write(PortAddress, value);
}

void SwitchForm::UpdateSchematic()
{
    auto place = [this](SwitchState state) {
        const ContactLines lines = ContactLinesFor(state);
        LineControl* controls[] = {Line1, Line2, Line3};
        for (int i = 0; i < 3; ++i) {
            controls[i]->SetX1(lines[i].x1);
            controls[i]->SetX2(lines[i].x2);
            controls[i]->SetY1(lines[i].y1);
            controls[i]->SetY2(lines[i].y2);
        }
        WarningLabel->hide();
    };
    if (C2->text() == kZero && C1->text() == kZero)
        place(SwitchState::AllTerminated);
    else if (C2->text() == kZero && C1->text() == kOne)
        place(SwitchState::CommonToRf1);
    else if (C2->text() == kOne && C1->text() == kZero)
        place(SwitchState::CommonToRf2);
    else if (C2->text() == kOne && C1->text() == kOne)
        WarningLabel->show(); // the contacts stay where they are
    else
        QCoreApplication::processEvents();
}

void SwitchForm::Command2_Click()
{
    ShowHelpWindow(this);
}

void SwitchForm::Write(std::int32_t port, std::int16_t value)
{
    const VerifiedWrite write = WriteVerified(port, value, [this] {
        if (operation_)
            operation_->ShowBusyPointer();
    });
    if (!write)
        ShowFailedWrite(port, value, write);
    else if (statusIsFailure_)
        ShowPortInUse();
}

void SwitchForm::ShowPortInUse()
{
    statusIsFailure_ = false;
    SetTextColor(PortStatus, QApplication::palette().color(QPalette::WindowText));
    const QString text = PortAddress < 1
        ? QStringLiteral("Port %1: not a port address; nothing is written").arg(PortAddress)
        : QStringLiteral("Port %1 (%2): %3")
              .arg(PortAddress)
              .arg(Hex(PortAddress, 3))
              .arg(QString::fromStdString(Ports().Describe(PortAddress)));
    PortStatus->setText(text);
    PortStatus->setToolTip(text);
}

void SwitchForm::ShowFailedWrite(std::int32_t port, std::int16_t value, const VerifiedWrite& write)
{
    statusIsFailure_ = true;
    SetTextColor(PortStatus, QColor(255, 0, 0));
    QString text = write.readBack
        ? QStringLiteral("Port %1: wrote %2, read back %3 after %4 attempts")
              .arg(port).arg(Hex(value, 2)).arg(Hex(write.lastRead, 2)).arg(write.attempts)
        : QStringLiteral("Port %1: wrote %2, nothing read back after %3 attempts").arg(port).arg(Hex(value, 2)).arg(write.attempts);
    if (!write.error.empty())
        text += QStringLiteral(": ") + QString::fromStdString(write.error);
    PortStatus->setText(text);
    PortStatus->setToolTip(text);
}
