#pragma once

#include "Messages.h"
#include "Platform.h"

#include <QWidget>

#include <array>
#include <cstdint>

class LineControl;
class PictureBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
struct VerifiedWrite;

// What the window needs from its surroundings; the defaults are the real ones.
struct SwitchFormContext
{
    VersionQuery versionQuery = SystemVersionQuery;
    MessageSink showMessage = ShowMessageBox;
};

// The control panel: pick the model, type the port address, toggle the two
// control bits, and see on the schematic which RF port is connected.
// The captions of C1 and C2 are the only record of the control bits.
class SwitchForm : public QWidget
{
    Q_OBJECT

public:
    explicit SwitchForm(SwitchFormContext context = {}, QWidget* parent = nullptr);
    ~SwitchForm() override;

    // The port's base address: data register here, control register at +2.
    std::int32_t PortAddress = 0;
    bool IsNT = false;

    void SetControlBit(std::int16_t bit);
    void ClearControlBit(std::int16_t bit);
    void UpdateSchematic();

    void setVisible(bool visible) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class PortOperation;

    void CreateControls();
    void Form_Load();
    void ParallelText_KeyDown(int keyCode, Qt::KeyboardModifiers shift);
    void ParallelText_LostFocus();
    void C1_Click();
    void C2_Click();
    void Command2_Click();

    std::int16_t ReadDataRegister() const;
    void TakeAddress();
    void ToggleControlBit(QPushButton* own, QPushButton* other, std::int16_t bit);
    void ClearRegisters(bool control);
    void Write(std::int32_t port, std::int16_t value);
    void ShowPortInUse();
    void ShowFailedWrite(std::int32_t port, std::int16_t value, const VerifiedWrite& write);

    SwitchFormContext context_;
    bool loaded_ = false;
    PortOperation* operation_ = nullptr; // the port operation under way, if any
    bool statusIsFailure_ = false;

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
