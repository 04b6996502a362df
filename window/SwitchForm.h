#pragma once

#include "Messages.h"
#include "Platform.h"
#include "SwitchCore.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

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
};

// The control panel: pick the model, type the port address, toggle the two
// control bits, and see on the schematic which RF port is connected. A view
// of the switch core: the captions show the bits the core has written, so a
// change from any source shows at once.
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

    // A second line for the status bar, e.g. the remote server's address.
    void SetStatusNote(const QString& note);

    void setVisible(bool visible) override;

signals:
    // The panel took an address typed into the box (for remembering it).
    void AddressTaken(std::int32_t address);

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

    void TakeAddress(Qt::FocusReason reason);
    void RefuseAddress(const QString& text, Qt::FocusReason reason);
    void ShowBits(ControlBits bits);
    void ShowClickResult(const OperationResult& result);
    void ShowStatus();

    SwitchFormContext context_;
    std::unique_ptr<SwitchCore> ownCore_;
    SwitchCore& core_;
    bool loaded_ = false;
    bool busyPointer_ = false;
    bool swallowPress_ = false;  // the press that moved the focus off a refused address
    QString failure_;            // the last operation's failure, until one succeeds
    QString addressNote_;        // how the typed address was read, when not as meant
    QString statusNote_;
    QString logFailure_;

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
};
