#pragma once

#include "Messages.h"
#include "Platform.h"
#include "PortLayer.h"
#include "SwitchCore.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class LineControl;
class PictureBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// What the window needs from its surroundings; the defaults are the real ones.
struct SwitchFormContext
{
    VersionQuery versionQuery = SystemVersionQuery;
    MessageSink showMessage = ShowMessageBox;
    // The switch the window shows and drives; nullptr: one of its own on the
    // system's ports.
    SwitchCore* core = nullptr;
    // The port the address box starts with.
    PortName startPort = PortName(888);
    // The ports the address box's context menu offers.
    std::function<std::vector<FoundPort>()> findPorts = FindSystemPorts;
};

// What the servers tell the room under the control bits: how many clients
// they serve (-1: nothing is served), then their lines, the most pressing first.
struct RemoteNote
{
    int clients = -1;
    QStringList lines;
};

// The control panel: pick the model, type the port address, toggle the two
// control bits, and see on the schematic which RF port is connected. A view
// of the switch core: the captions show the bits the port last read back, so
// a change from any source shows at once.
class SwitchForm : public QWidget
{
    Q_OBJECT

public:
    explicit SwitchForm(SwitchFormContext context = {}, QWidget* parent = nullptr);
    ~SwitchForm() override;

    // The port's base address in use: data register here, control register at +2.
    std::int32_t PortAddress = 0;
    bool IsNT = false;

    void UpdateSchematic();

    // How remote clients reach the switch, shown under the control bits
    // after a line of the switch's own: its clients, settle time and closures.
    void SetRemoteNote(RemoteNote note);

    void setVisible(bool visible) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void ConnectCore();
    void Form_Load();
    void ParallelText_KeyDown(int keyCode, Qt::KeyboardModifiers shift);
    void ParallelText_LostFocus(Qt::FocusReason reason);
    void C1_Click();
    void C2_Click();
    void Command2_Click();

    std::optional<PortName> AcceptAddress(Qt::FocusReason reason);
    void TakeAddress(const PortName& port);
    void TakePendingAddress();
    // The typed text cannot be taken at all (`problem`, in the user's words).
    void RefuseAddress(const QString& problem, Qt::FocusReason reason);
    void ClickBit(int bit, QPushButton* button);
    void SelectPath(RfPath path);
    void ShowPortMenu(const QPoint& at);
    void ShowAddressBox();
    Source Asker(Source::Kind kind = Source::Kind::Panel) const;
    SwitchCore::Done Then(void (SwitchForm::*shown)(const OperationResult&));
    void ShowClickResult(const OperationResult& result);
    // Says when the model box names no model the program knows.
    void ShowModelBox(const QString& typed);
    void ShowTaken(const OperationResult& result);
    void ShowWhenFree(QMessageBox::Icon icon, const QString& text);
    void ShowHeldMessages();
    void ShowCore();
    void ShowCoreNow();
    void ShowRemoteNote();

    SwitchFormContext context_;
    std::unique_ptr<SwitchCore> ownCore_;
    SwitchCore& core_;
    // What the window asked for and has not started when it closes is not done.
    Lifetime lifetime_;
    bool loaded_ = false;
    bool busyPointer_ = false;
    bool slowWrite_ = false;  // between a write's first wait and the end of the queue
    bool swallowPress_ = false;  // the press that moved the focus off a refused address
    bool takeRefused_ = false;   // the last address typed was refused
    // What the captions showed when a press on C1 or C2 took the focus off
    // the address box: the click means that, not the cleared register.
    QPushButton* pressedFromBox_ = nullptr;
    std::array<QString, 2> seenFromBox_;
    // The address the box held when it lost the focus, taken once the press
    // that moved the focus has reached its button.
    std::optional<PortName> pendingTake_;
    // Messages that wait for the switch core to be free, oldest first.
    std::deque<std::pair<QMessageBox::Icon, QString>> heldMessages_;
    bool showingMessage_ = false;
    PortName shownPort_;
    QElapsedTimer lastShown_;  // the window shows the core at most once a frame
    QTimer showTimer_;
    QString addressNote_;      // how the typed address was read, when not as meant
    QString addressProblem_;   // why it names no port, in the words typed, while problemPort_ is in use
    PortName problemPort_;
    RemoteNote remoteNote_;
    QStringList remoteShown_;  // what the room under the control bits shows
    QString logFailure_;
    QString bitTip_;           // the control bits' own tooltip, before what is added to it

    QLineEdit* ParallelText = nullptr;
    PictureBox* Picture2 = nullptr;
    LineControl* Line3 = nullptr;
    LineControl* Line2 = nullptr;
    LineControl* Line1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QPushButton* C1 = nullptr;
    QPushButton* C2 = nullptr;
    std::array<QLabel*, 2> Label1{};
    QComboBox* ModelCombo = nullptr;
    QPushButton* Command2 = nullptr;
    PictureBox* Picture1 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* WarningLabel = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* PortStatus = nullptr;
    QLabel* RemoteStatus = nullptr;
    QLabel* PathWords = nullptr;
};
