#include "SwitchForm.h"

#include "AddressText.h"
#include "BoardModel.h"
#include "Fonts.h"
#include "HelpWindow.h"
#include "Palette.h"
#include "PictureBox.h"
#include "PortAccess.h"
#include "PortText.h"
#include "StatusLine.h"
#include "SwitchSystem.h"
#include "Twips.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>

namespace {

const QString kZero = QStringLiteral("0");
const QString kOne = QStringLiteral("1");
// Where nothing is known of the board: no bit is shown as 0 or 1.
const QString kUnknown = QStringLiteral("?");
// After why a typed address names no port.
const QString kNothingWritten = QStringLiteral(": no port is driven, and nothing is written. Type the port's base address in "
                                               "decimal (888), or in hexadecimal as 0x378 or &H378.");

// The window follows the switch at most once a frame, however fast remote
// clients switch it; every operation is still in the log.
constexpr std::chrono::milliseconds kFrame{16};

// Direct selection, break-before-make, for those who know where they go.
struct PathKey
{
    QKeySequence keys;
    RfPath path;
    const char* words;
};
const PathKey kPathKeys[] = {
    {QKeySequence(Qt::CTRL | Qt::Key_1), RfPath::Rf1, "RF COMMON to RF1"},
    {QKeySequence(Qt::CTRL | Qt::Key_2), RfPath::Rf2, "RF COMMON to RF2"},
    {QKeySequence(Qt::CTRL | Qt::Key_0), RfPath::Off, "all terminated"},
};

// "Ctrl+1: RF COMMON to RF1, …", in the keyboard's own names.
QString PathKeysNamed()
{
    QStringList named;
    for (const PathKey& key : kPathKeys)
        named << key.keys.toString(QKeySequence::NativeText) + QStringLiteral(": ") + QLatin1String(key.words);
    return named.join(QStringLiteral(", "));
}


// A device's name does not fit the box drawn for a decimal address: the box
// takes the room of "(Dec)" up to the Help button, in twips.
constexpr int kAddressWidth = 975;
constexpr int kDeviceWidth = 2400;

// The port a text in the address box names: a device ("/dev/parport1"), or
// the address it converts to; nullopt where that does not fit.
std::optional<PortName> TypedPort(const QString& text)
{
    if (const auto device = DeviceFromText(text.toStdString()))
        return PortName(*device);
    if (const auto address = AddressFromText(text.toStdString()))
        return PortName(*address);
    return std::nullopt;
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

void SwitchForm::ConnectCore()
{
    showTimer_.setSingleShot(true);
    connect(&showTimer_, &QTimer::timeout, this, &SwitchForm::ShowCoreNow);
    connect(&core_, &SwitchCore::Changed, this, &SwitchForm::ShowCore);
    for (int board = 2; core_.System() && board <= core_.System()->Count(); ++board)
        connect(&core_.System()->Core(board), &SwitchCore::Changed, this, &SwitchForm::ShowRemoteNote);
    connect(&core_, &SwitchCore::LogFailed, this, [this](const QString& why) {
        logFailure_ = QStringLiteral("Log not written: ") + why;
        ShowCoreNow();
    });
    // A slow write shows the busy pointer until every queued operation is
    // done, and a write until the switch has settled: the path shows at once.
    const auto pointer = [this] {
        const bool busy = slowWrite_ || core_.Settling();
        if (busy != busyPointer_) {
            busyPointer_ = busy;
            setCursor(busy ? Qt::BusyCursor : Qt::ArrowCursor);
        }
    };
    connect(&core_, &SwitchCore::Changed, this, pointer);
    connect(&core_, &SwitchCore::Waiting, this, [this, pointer] {
        slowWrite_ = true;
        pointer();
    });
    connect(&core_, &SwitchCore::Idle, this, [this, pointer] {
        slowWrite_ = false;
        pointer();
        // From the event loop, not from inside whichever client's call ended the work.
        if (!heldMessages_.empty())
            QTimer::singleShot(0, this, &SwitchForm::ShowHeldMessages);
    });

    for (const PathKey& key : kPathKeys)
        connect(new QShortcut(key.keys, this), &QShortcut::activated, this, [this, path = key.path] { SelectPath(path); });
    bitTip_ = C1->toolTip();
    ParallelText->setToolTip(ParallelText->toolTip() + QStringLiteral("\nEnter takes the address; right-click for the parallel ports found."));
    ParallelText->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ParallelText, &QWidget::customContextMenuRequested, this, &SwitchForm::ShowPortMenu);
    connect(ParallelText, &QLineEdit::textChanged, this, &SwitchForm::ShowAddressBox);
    ShowAddressBox();

    connect(C1, &QPushButton::clicked, this, &SwitchForm::C1_Click);
    connect(C2, &QPushButton::clicked, this, &SwitchForm::C2_Click);
    connect(Command2, &QPushButton::clicked, this, &SwitchForm::Command2_Click);
    connect(ModelCombo, &QComboBox::editTextChanged, this, &SwitchForm::ShowModelBox);
    for (QWidget* control : {static_cast<QWidget*>(ParallelText), static_cast<QWidget*>(C1), static_cast<QWidget*>(C2),
                             static_cast<QWidget*>(Command2)})
        control->installEventFilter(this);
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
    // What was seen at a press holds for that press's click only.
    if (event->type() == QEvent::MouseButtonRelease && watched == pressedFromBox_)
        QTimer::singleShot(0, this, [this] { pressedFromBox_ = nullptr; });
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
    PortName port;
    step([&] {
        if (const auto converted = TypedPort(ParallelText->text()))
            port = *converted;
    });
    PortAddress = port.base;
    shownPort_ = port;
    if (!port.ByDevice() && port.base < 1)
        step([&] { context_.showMessage(this, QMessageBox::NoIcon, QStringLiteral("Check Parallel Address !!!")); });
    step([&] { IsNT = IsNtPlatform(context_.versionQuery); });
    if (IsNT) {
        setCursor(Qt::WaitCursor);
        QCoreApplication::processEvents();
        Delay(1000);
        setCursor(Qt::ArrowCursor);
        QCoreApplication::processEvents();
    }
    step([&] { core_.TakeAddress(port, IsNT, Asker(Source::Kind::StartUp)); });
    step([&] { UpdateSchematic(); });
    for (const BoardModel* model : KnownModels())
        ModelCombo->addItem(QString::fromStdString(model->name));
    ShowCoreNow();
}

void SwitchForm::ParallelText_KeyDown(int keyCode, Qt::KeyboardModifiers)
{
    if (keyCode != Qt::Key_Return && keyCode != Qt::Key_Enter)
        return;
    TakePendingAddress();
    if (const auto port = AcceptAddress(Qt::OtherFocusReason))
        TakeAddress(*port);
}

void SwitchForm::ParallelText_LostFocus(Qt::FocusReason reason)
{
    // The focus has already moved on: to C1 or C2 when a press there took it.
    QWidget* next = QApplication::focusWidget();
    if (reason == Qt::MouseFocusReason && (next == C1 || next == C2)) {
        pressedFromBox_ = static_cast<QPushButton*>(next);
        seenFromBox_ = {C1->text(), C2->text()};
    }
    const auto port = AcceptAddress(reason);
    if (!port)
        return;
    if (reason != Qt::MouseFocusReason)
        return TakeAddress(*port);
    // The press that moved the focus has not reached its control yet. Taken
    // here, a slow take would let the release go by first and the click
    // would be lost; taken next, before anything else the window asks of
    // the port, the registers are still cleared before the click acts.
    pendingTake_ = port;
    QTimer::singleShot(0, this, &SwitchForm::TakePendingAddress);
}

void SwitchForm::TakePendingAddress()
{
    if (const auto port = std::exchange(pendingTake_, std::nullopt))
        TakeAddress(*port);
}

std::optional<PortName> SwitchForm::AcceptAddress(Qt::FocusReason reason)
{
    const QString text = ParallelText->text();
    addressNote_.clear();
    addressProblem_.clear();
    if (const auto device = DeviceFromText(text.toStdString())) {
        takeRefused_ = false;
        return PortName(*device);
    }
    const AddressReading reading = ReadAddress(text.toStdString());
    takeRefused_ = !reading.address || !CheckedAdd(*reading.address, 2);
    if (takeRefused_) {
        RefuseAddress(QString::fromStdString(reading.problem), reason);
        return std::nullopt;
    }
    // Taken all the same, where it names no port: nothing is written there,
    // and the status line says why in the words typed, not as port 0.
    addressProblem_ = reading.problem.empty() ? QString() : QString::fromStdString(reading.problem) + kNothingWritten;
    problemPort_ = PortName(*reading.address);
    addressNote_ = QString::fromStdString(reading.note);
    return PortName(*reading.address);
}

void SwitchForm::TakeAddress(const PortName& port)
{
    shownPort_ = port;
    // Taken now, or once the operation under way is over.
    core_.TakeAddress(port, true, Asker(), Then(&SwitchForm::ShowTaken));
}

void SwitchForm::RefuseAddress(const QString& problem, Qt::FocusReason reason)
{
    pressedFromBox_ = nullptr;
    // Back to the address in use, ready to be typed over.
    ParallelText->setText(QString::fromStdString(PortTyped(core_.Port())));
    ParallelText->selectAll();
    addressProblem_ = problem + QStringLiteral(": nothing is written, and port %1 stays in use. Type the port's base address in "
                                               "decimal (888), or in hexadecimal as 0x378 or &H378.")
                                    .arg(QString::fromStdString(PortLabel(core_.Port())));
    problemPort_ = core_.Port();
    ShowCoreNow();
    if (reason != Qt::MouseFocusReason)
        return;
    // The mouse press that moved the focus is still on its way to its
    // control: keep it from acting on the port still in use.
    swallowPress_ = true;
    QTimer::singleShot(0, this, [this] {
        swallowPress_ = false;
        ParallelText->setFocus();
        ParallelText->selectAll();
    });
}

void SwitchForm::C1_Click()
{
    ClickBit(0, C1);
}

void SwitchForm::C2_Click()
{
    ClickBit(1, C2);
}

void SwitchForm::ClickBit(int bit, QPushButton* button)
{
    // The address the box held when this press took the focus off it first.
    TakePendingAddress();
    const std::array<QString, 2> captions = pressedFromBox_ == button ? seenFromBox_ : std::array{C1->text(), C2->text()};
    pressedFromBox_ = nullptr;
    const QString& own = captions[std::size_t(bit)];
    if (own == kUnknown) {
        // Nothing is known to toggle: the port is read, and the captions show it.
        core_.Read(Asker(), Then(&SwitchForm::ShowClickResult));
    } else if (own == kZero || own == kOne) {
        // A caption that is neither "0" nor "1" leads to no action.
        core_.Toggle(bit, {captions[0] == kOne, captions[1] == kOne}, Asker(), Then(&SwitchForm::ShowClickResult));
    }
    QCoreApplication::processEvents();
}

void SwitchForm::SelectPath(RfPath path)
{
    // The keys leave the address box as a click would: what was typed is taken first.
    if (ParallelText->hasFocus()) {
        focusNextChild();
        if (takeRefused_)
            return;
    }
    TakePendingAddress();
    core_.Select(path, Asker(), Then(&SwitchForm::ShowClickResult));
}

void SwitchForm::ShowPortMenu(const QPoint& at)
{
    const std::unique_ptr<QMenu> menu(ParallelText->createStandardContextMenu());
    QAction* first = menu->actions().value(0);
    const std::vector<FoundPort> ports = context_.findPorts();
    for (const FoundPort& port : ports) {
        auto* use = new QAction(QString::fromStdString(port.line), menu.get());
        use->setEnabled(port.usable);
        connect(use, &QAction::triggered, this, [this, typed = QString::fromStdString(port.typed)] {
            // As if typed and entered.
            ParallelText->setText(typed);
            TakePendingAddress();
            if (const auto chosen = AcceptAddress(Qt::OtherFocusReason))
                TakeAddress(*chosen);
        });
        menu->insertAction(first, use);
    }
    if (ports.empty()) {
        auto* none = new QAction(QString::fromStdString(NoPortsFound()), menu.get());
        none->setEnabled(false);
        menu->insertAction(first, none);
    }
    menu->insertSeparator(first);
    menu->exec(ParallelText->mapToGlobal(at));
}

void SwitchForm::ShowAddressBox()
{
    // "(Dec)" says how to read a number, not a device's name.
    const bool device = ParallelText->text().trimmed().startsWith(u'/');
    QRect box = ParallelText->geometry();
    box.setWidth(PixelsFromTwips(device ? kDeviceWidth : kAddressWidth));
    ParallelText->setGeometry(box);
    Label3->setVisible(!device);
}

Source SwitchForm::Asker(Source::Kind kind) const
{
    Source source{kind, {}, false};
    source.alive = lifetime_.Token();
    return source;
}

// What the window does once the core has done what it asked, if the window is still there.
SwitchCore::Done SwitchForm::Then(void (SwitchForm::*shown)(const OperationResult&))
{
    return [form = QPointer<SwitchForm>(this), shown](const OperationResult& result) {
        if (form)
            (form->*shown)(result);
    };
}

void SwitchForm::ShowModelBox(const QString& typed)
{
    // The model names nothing the port sees: a name the program does not
    // know is said to be one, the board is driven as it is all the same.
    const bool known = ModelNamed(typed.trimmed().toStdString()) != nullptr;
    QPalette typing = ModelCombo->lineEdit()->palette();
    typing.setColor(QPalette::Text, known ? palette().color(QPalette::Text) : QColor(Qt::red));
    ModelCombo->lineEdit()->setPalette(typing);
    QStringList names;
    for (const BoardModel* model : KnownModels())
        names << QString::fromStdString(model->name);
    ModelCombo->setToolTip(known ? QStringLiteral("Choose  Model")
                                 : QStringLiteral("\"%1\" is not a model this program knows (%2): the board is driven as the %3.")
                                       .arg(typed, names.join(QStringLiteral(", ")), QString::fromStdString(core_.Model().name)));
}

void SwitchForm::ShowTaken(const OperationResult&)
{
    ShowCoreNow();
}

void SwitchForm::ShowClickResult(const OperationResult& result)
{
    ShowCoreNow();
    switch (result.outcome) {
    case Outcome::Forbidden:
        WarningLabel->show();
        return;
    case Outcome::NotWritten:
    case Outcome::PortLost:
        // The click did not reach the board, or nobody knows what it did: say
        // why, once the switch is free for everyone else again.
        ShowWhenFree(QMessageBox::Warning,
                     QStringLiteral("Port %1 not switched:\n%2").arg(QString::fromStdString(PortTyped(core_.Port())), QString::fromStdString(result.detail)));
        return;
    case Outcome::Verified:
    case Outcome::NotReadBack:
    case Outcome::Abandoned:
        return;
    }
}

void SwitchForm::ShowWhenFree(QMessageBox::Icon icon, const QString& text)
{
    heldMessages_.emplace_back(icon, text);
    // A box waits for its user: opened inside the core's work it would hold
    // every other client's operations until it is closed.
    if (core_.Running())
        return;  // shown when the core is idle again
    ShowHeldMessages();
}

void SwitchForm::ShowHeldMessages()
{
    if (showingMessage_ || core_.Running())
        return;
    showingMessage_ = true;
    while (!heldMessages_.empty() && !core_.Running()) {
        const auto [icon, text] = heldMessages_.front();
        heldMessages_.pop_front();
        context_.showMessage(this, icon, text);
    }
    showingMessage_ = false;
}

void SwitchForm::Command2_Click()
{
    ShowHelpWindow(this);
}

void SwitchForm::UpdateSchematic()
{
    LineControl* const controls[] = {Line1, Line2, Line3};
    auto place = [&](SwitchState state) {
        const ContactLines& lines = core_.Model().Contacts(state);
        for (int i = 0; i < 3; ++i) {
            controls[i]->SetX1(lines[i].x1);
            controls[i]->SetX2(lines[i].x2);
            controls[i]->SetY1(lines[i].y1);
            controls[i]->SetY2(lines[i].y2);
            controls[i]->SetVisible(true);
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
    else if (C2->text() == kUnknown && C1->text() == kUnknown) {
        // No path is shown that nobody knows of, nor a warning about one.
        for (LineControl* line : controls)
            line->SetVisible(false);
        WarningLabel->hide();
    } else {
        QCoreApplication::processEvents();
    }
}

void SwitchForm::SetRemoteNote(RemoteNote note)
{
    remoteNote_ = std::move(note);
    ShowRemoteNote();
}

void SwitchForm::ShowRemoteNote()
{
    QStringList summary;
    if (remoteNote_.clients >= 0)
        summary << QStringLiteral("%1 client%2").arg(remoteNote_.clients).arg(remoteNote_.clients == 1 ? "" : "s");
    if (const auto settle = core_.SettleTime(); settle.count() > 0) {
        const QString time = settle.count() < 1000 ? QStringLiteral("%1 ms").arg(settle.count())
                                                   : QStringLiteral("%1 s").arg(double(settle.count()) / 1000, 0, 'g', 3);
        summary << (core_.Settling() ? QStringLiteral("settling, %1…").arg(time) : QStringLiteral("settle ") + time);
    }
    if (core_.Counting()) {
        // Each channel with the label scripts name it by, where it has one: "RF1 ANT 3 / RF2 2 closures".
        const CycleCounts cycles = core_.Cycles();
        const ChannelLabels labels = core_.Labels();
        const auto channel = [&](int c) {
            return QStringLiteral("RF%1 %2%3").arg(c).arg(QString::fromStdString(labels.Of(c) + (labels.Of(c).empty() ? "" : " "))).arg(cycles.Of(c));
        };
        summary << channel(1) + QStringLiteral(" / ") + channel(2) + QStringLiteral(" closures");
    }
    QStringList lines = remoteNote_.lines;
    // The boards served beside this one, with what each port read back.
    if (const SwitchSystem* system = core_.System(); system && system->Count() > 1)
        lines.prepend(QStringLiteral("Also served: ") + OtherBoards(*system));
    if (!summary.isEmpty())
        lines.prepend(summary.join(QStringLiteral(" · ")));
    if (lines == remoteShown_)
        return;
    remoteShown_ = lines;
    ShowWholeLines(RemoteStatus, lines, PanelFont(8.25));
}

void SwitchForm::ShowCore()
{
    if (showTimer_.isActive())
        return;
    const auto since = std::chrono::milliseconds(lastShown_.isValid() ? lastShown_.elapsed() : kFrame.count());
    if (since >= kFrame)
        ShowCoreNow();
    else
        showTimer_.start(kFrame - since);
}

void SwitchForm::ShowCoreNow()
{
    showTimer_.stop();
    lastShown_.start();
    PortAddress = core_.Address();
    // An address set from elsewhere (a remote client, the command line) shows
    // in the box; one typed here stays as it was typed.
    if (!(core_.Port() == shownPort_)) {
        shownPort_ = core_.Port();
        if (TypedPort(ParallelText->text()) != shownPort_)
            ParallelText->setText(QString::fromStdString(PortTyped(shownPort_)));
    }
    // Where nothing is known of the board, no bit shows as 0 or 1 and no
    // contact is drawn; the status line says why.
    const auto bits = core_.State();
    const QString c1 = !bits ? kUnknown : bits->c1 ? kOne : kZero, c2 = !bits ? kUnknown : bits->c2 ? kOne : kZero;
    if (C1->text() != c1 || C2->text() != c2) {
        C1->setText(c1);
        C2->setText(c2);
        UpdateSchematic();
    }
    SetFittedText(PathWords, ::PathWords(bits), PanelFont(8.25, QFont::Bold));
    // The buttons cannot switch while another client holds the lock.
    const QString refused = SwitchingRefused(core_, Asker());
    for (QPushButton* button : {C1, C2}) {
        button->setEnabled(refused.isEmpty());
        button->setToolTip(bitTip_ + u'\n' + (refused.isEmpty() ? PathKeysNamed() : refused));
    }
    const ::PortStatus& status = core_.Status();
    // The schematic's free corner, right of the control driver.
    Picture2->SetMark(status.IsSimulated() ? QStringLiteral("SIMULATED\nno board") : QString(), kStatusSimulated,
                      QRect(196, 136, 90, 60));
    StatusText line = StatusLine(core_);
    // A typed address that names no port is said as typed, as long as it
    // stands: in place of the port's line where it was taken and nothing is
    // there, after it where the port in use stays (whose line is the truth).
    if (!(core_.Port() == problemPort_))
        addressProblem_.clear();
    if (!addressProblem_.isEmpty() && takeRefused_)
        line = {line.text + u'\n' + addressProblem_, kStatusWarning};
    else if (!addressProblem_.isEmpty() && !core_.Status().Writable())
        line = {addressProblem_, kStatusWarning};
    const QString lock = core_.LockHolder() ? QStringLiteral("Locked by %1: switching from here is refused until it lets go.")
                                                  .arg(QString::fromStdString(SourceName(*core_.LockHolder())))
                                            : QString();
    for (const QString& note : {addressNote_, lock, logFailure_})
        if (!note.isEmpty())
            line.text += u'\n' + note;
    SetTextColor(PortStatus, line.colour);
    SetFittedText(PortStatus, line.text, PanelFont(8.25));
    ShowRemoteNote();
}
