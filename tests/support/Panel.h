#pragma once

#include "BoardModel.h"
#include "FakePort.h"
#include "PictureBox.h"
#include "SwitchForm.h"
#include "Table.h"

#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTest>

#include <memory>

inline int QueryFails(OsVersionInfo&) { return 0; }

// Where Line1, Line2 and Line3 must lie, in twips, for the captions "00",
// "10" or "01": the layout's own numbers, each end on a contact dot.
inline ContactLines LinesFor(const QString& captions)
{
    if (captions == QLatin1String("10"))  // RF COMMON to RF1, RF2 terminated
        return {{{1900, 750, 2350, 600}, {1680, 1250, 2160, 1080}, {3250, 1230, 2880, 1320}}};
    if (captions == QLatin1String("01"))  // RF COMMON to RF2, RF1 terminated
        return {{{1680, 1250, 2160, 1350}, {1900, 750, 2350, 600}, {3360, 1250, 2760, 1080}}};
    return {{{1900, 800, 2300, 800}, {1680, 1250, 2160, 1350}, {3250, 1230, 2880, 1320}}};
}

// The panel on a fake port, with its messages collected instead of shown.
// The window is created at once and loaded (shown) by Show().
struct Panel
{
    explicit Panel(VersionQuery query = QueryFails, PortName start = PortName(888),
                   std::function<std::vector<FoundPort>()> found = FindSystemPorts)
        : form(std::make_unique<SwitchForm>(SwitchFormContext{
              std::move(query), [this](QWidget*, QMessageBox::Icon, const QString& text) { messages << text; }, &core, std::move(start),
              std::move(found)}))
    {
    }

    bool Show()
    {
        form->show();
        return QTest::qWaitForWindowExposed(form.get());
    }

    // For tests that move the focus.
    bool Activate()
    {
        form->activateWindow();
        return QTest::qWaitForWindowActive(form.get());
    }

    template <typename T = QWidget>
    T* Find(const QString& name) const { return form->findChild<T*>(name); }

    void Click(const QString& name) { QTest::mouseClick(Find(name), Qt::LeftButton); }
    void Enter() { QTest::keyClick(Find(QStringLiteral("ParallelText")), Qt::Key_Return); }

    // "10": C1 shows "1", C2 shows "0".
    QString Captions() const
    {
        return Find<QPushButton>(QStringLiteral("C1"))->text() + Find<QPushButton>(QStringLiteral("C2"))->text();
    }

    // Line1, Line2, Line3 where they are now.
    ContactLines Lines() const
    {
        ContactLines lines{};
        for (int i = 0; i < 3; ++i) {
            const auto* line = Find<LineControl>(QStringLiteral("Line%1").arg(i + 1));
            lines[i] = {line->X1(), line->Y1(), line->X2(), line->Y2()};
        }
        return lines;
    }

    // Whether Line1, Line2 and Line3 are drawn.
    QList<bool> Visible() const
    {
        QList<bool> shown;
        for (int i = 0; i < 3; ++i)
            shown << Find<LineControl>(QStringLiteral("Line%1").arg(i + 1))->Visible();
        return shown;
    }

    QLabel* Status() const { return Find<QLabel>(QStringLiteral("PortStatus")); }

    FakePort port;
    ScopedPorts use{port};
    SwitchCore core{port};  // the switch the window shows; other clients may drive it too
    QStringList messages;
    std::unique_ptr<SwitchForm> form;
};
