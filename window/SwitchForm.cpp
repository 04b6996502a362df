#include "SwitchForm.h"

#include "AddressText.h"
#include "ButtonKeys.h"
#include "Fonts.h"
#include "HelpWindow.h"
#include "Palette.h"
#include "PortAccess.h"
#include "PictureBox.h"
#include "PortIo.h"
#include "PortText.h"
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
#include <QRegularExpression>
#include <QShortcut>
#include <QTimer>

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

SwitchForm::SwitchForm(SwitchFormContext context, QWidget* parent)
    : QWidget(parent),
      context_(std::move(context)),
      ownCore_(context_.core ? nullptr : std::make_unique<SwitchCore>()),
      core_(context_.core ? *context_.core : *ownCore_)
{
    CreateControls();
    ConnectCore();
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
    ModelCombo->setFont(PanelFont(9.75)); // first, so that its text is laid out once, in its own size
    ModelCombo->setEditable(true);
    ModelCombo->setInsertPolicy(QComboBox::NoInsert); // the list keeps its one model
    ModelCombo->setEditText(kModel);
    ModelCombo->setToolTip(QStringLiteral("Choose  Model"));

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
    PortStatus = MakeLabel(this, QStringLiteral("PortStatus"), QString(), QRect(240, 5430, 9270, 690));
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

void SwitchForm::ConnectCore()
{
    connect(&core_, &SwitchCore::BitsChanged, this, &SwitchForm::ShowBits);
    connect(&core_, &SwitchCore::WarningShown, WarningLabel, &QWidget::show);
    connect(&core_, &SwitchCore::StatusChanged, this, [this] {
        // A port that cannot be used says so rather than an earlier write's
        // failure; a usable one keeps that failure shown until its next write.
        PortAddress = core_.Address();
        if (!core_.Status().Writable())
            failure_.clear();
        ShowStatus();
    });
    // Each write's outcome shows until the next write.
    connect(&core_, &SwitchCore::Written, this, [this](const OperationResult& result) {
        failure_ = QString::fromStdString(result.detail);
        ShowStatus();
    });
    connect(&core_, &SwitchCore::LogFailed, this, [this](const QString& why) {
        logFailure_ = QStringLiteral("Log not written: ") + why;
        ShowStatus();
    });
    // A slow write shows the busy pointer until every queued operation is done.
    connect(&core_, &SwitchCore::Waiting, this, [this] {
        if (!busyPointer_) {
            busyPointer_ = true;
            setCursor(Qt::BusyCursor);
        }
    });
    connect(&core_, &SwitchCore::Idle, this, [this] {
        if (busyPointer_) {
            busyPointer_ = false;
            setCursor(Qt::ArrowCursor);
        }
    });

    // Direct selection, break-before-make, for those who know where they go.
    const std::pair<QKeySequence, RfPath> paths[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_1), RfPath::Rf1},
        {QKeySequence(Qt::CTRL | Qt::Key_2), RfPath::Rf2},
        {QKeySequence(Qt::CTRL | Qt::Key_0), RfPath::Off},
    };
    for (const auto& [keys, path] : paths) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this,
                [this, path = path] { core_.Select(path, Source::Panel, [this](const OperationResult& r) { ShowClickResult(r); }); });
    }
    for (QPushButton* button : {C1, C2, Command2})
        button->installEventFilter(this);
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
    // The press that took the focus off a refused address is not a click.
    if (swallowPress_ && watched != ParallelText
        && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)) {
        swallowPress_ = false;
        return true;
    }
    if (watched == ParallelText) {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            ParallelText_KeyDown(key->key(), key->modifiers());
        } else if (event->type() == QEvent::FocusOut) {
            // Switching to another application or opening the box's context
            // menu is not leaving the box.
            const auto reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                ParallelText_LostFocus(reason);
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
    std::int32_t address = 0;
    step([&] {
        if (const auto converted = AddressFromText(ParallelText->text().toStdString()))
            address = *converted;
    });
    PortAddress = address;
    if (address < 1)
        step([&] { context_.showMessage(this, QMessageBox::NoIcon, QStringLiteral("Check Parallel Address !!!")); });
    step([&] { IsNT = IsNtPlatform(context_.versionQuery); });
    if (IsNT) {
        setCursor(Qt::WaitCursor);
        QCoreApplication::processEvents();
        Delay(1000);
        setCursor(Qt::ArrowCursor);
        QCoreApplication::processEvents();
    }
    step([&] { core_.TakeAddress(address, IsNT, Source::Panel); });
    step([&] { UpdateSchematic(); });
    ModelCombo->addItem(kModel);
}

void SwitchForm::ParallelText_KeyDown(int keyCode, Qt::KeyboardModifiers)
{
    if (keyCode == Qt::Key_Return || keyCode == Qt::Key_Enter)
        TakeAddress(Qt::OtherFocusReason);
}

void SwitchForm::ParallelText_LostFocus(Qt::FocusReason reason)
{
    TakeAddress(reason);
}

void SwitchForm::TakeAddress(Qt::FocusReason reason)
{
    const QString text = ParallelText->text();
    const auto address = AddressFromText(text.toStdString());
    if (!address || !CheckedAdd(*address, 2))
        return RefuseAddress(text, reason);
    // The conversion reads "0x378" or "garbage" as 0; say so rather than
    // leave the user wondering why nothing happens.
    static const QRegularExpression zero(QStringLiteral("^([+-]?(0+\\.?0*|\\.0+)([eEdD][+-]?[0-9]+)?|&[hHoO]0+)$"));
    addressNote_ = *address == 0 && !zero.match(QString(text).remove(QRegularExpression(QStringLiteral("[ \t\n]")))).hasMatch()
        ? QStringLiteral("\"%1\" reads as 0: nothing is written there. Type the address in decimal (888) or as &H378.").arg(text)
        : QString();
    // Taken now, or once the operation under way is over.
    core_.TakeAddress(*address, true, Source::Panel);
    emit AddressTaken(*address);
}

void SwitchForm::RefuseAddress(const QString& text, Qt::FocusReason reason)
{
    // Back to the address in use, ready to be typed over: the refused text
    // would otherwise be refused again at every change of focus.
    ParallelText->setText(QString::number(core_.Address()));
    ParallelText->selectAll();
    const QString message = QStringLiteral("\"%1\" is not a usable port address.\n"
                                           "Type the port's base address in decimal, e.g. 888, or as &H378.").arg(text);
    if (reason != Qt::MouseFocusReason) {
        context_.showMessage(this, QMessageBox::Warning, message);
        return;
    }
    // The mouse press that moved the focus is still on its way to its
    // control: keep it from acting, and show the message once it is past.
    swallowPress_ = true;
    QTimer::singleShot(0, this, [this, message] {
        swallowPress_ = false;
        ParallelText->setFocus();
        ParallelText->selectAll();
        context_.showMessage(this, QMessageBox::Warning, message);
    });
}

void SwitchForm::C1_Click()
{
    core_.Toggle(0, Source::Panel, [this](const OperationResult& result) { ShowClickResult(result); });
    QCoreApplication::processEvents();
}

void SwitchForm::C2_Click()
{
    core_.Toggle(1, Source::Panel, [this](const OperationResult& result) { ShowClickResult(result); });
    QCoreApplication::processEvents();
}

void SwitchForm::ShowClickResult(const OperationResult& result)
{
    // A click that could not reach the port changed nothing: say why.
    if (result.outcome == Outcome::Unusable)
        context_.showMessage(this, QMessageBox::Warning,
                             QStringLiteral("Port %1 not switched:\n%2").arg(core_.Address()).arg(QString::fromStdString(result.detail)));
}

void SwitchForm::ShowBits(ControlBits bits)
{
    C1->setText(bits.c1 ? kOne : kZero);
    C2->setText(bits.c2 ? kOne : kZero);
    UpdateSchematic();
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

void SwitchForm::SetStatusNote(const QString& note)
{
    statusNote_ = note;
    ShowStatus();
}

void SwitchForm::ShowStatus()
{
    const ::PortStatus& status = core_.Status();
    const std::int32_t address = core_.Address();
    const QString port = address < 1 ? QStringLiteral("Port %1").arg(address)
                                     : QStringLiteral("Port %1 (%2)").arg(address).arg(Hex(address, 3));
    const QString reason = QString::fromStdString(status.reason);
    const QString next = QString::fromStdString(status.nextStep);
    QString text;
    QColor colour = palette().color(QPalette::WindowText);
    if (!failure_.isEmpty()) {
        text = failure_;
        colour = QColor(255, 0, 0);
    } else if (status.reach == PortReach::Real) {
        text = port + QStringLiteral(": ") + QString::fromStdString(status.device);
    } else if (status.reach == PortReach::Absent) {
        // No board is driven: the words and a colour of their own say so.
        text = port + QStringLiteral(": SIMULATED, no board is driven (") + reason + QStringLiteral("). ") + next.left(1).toUpper() + next.mid(1)
            + u'.';
        colour = QColor(0, 0, 192);
    } else if (address < 1) {
        text = port + QStringLiteral(": not a port address; nothing is written");
    } else {
        text = port + QStringLiteral(": ") + reason + (next.isEmpty() ? QString() : QStringLiteral(": ") + next)
            + QStringLiteral("; nothing is written");
        colour = QColor(255, 0, 0);
    }
    for (const QString& note : {addressNote_, logFailure_, statusNote_})
        if (!note.isEmpty())
            text += u'\n' + note;
    SetTextColor(PortStatus, colour);
    PortStatus->setText(text);
    PortStatus->setToolTip(text);
}
