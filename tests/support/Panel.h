#pragma once

#include "FakePort.h"
#include "PictureBox.h"
#include "Schematic.h"
#include "SwitchForm.h"

#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTest>

#include <memory>

// A query that reports the given Windows version, answering the call with `result`.
inline VersionQuery ReportsVersion(std::uint32_t platform, std::uint32_t major, std::uint32_t minor, int result = 1)
{
    return [=](OsVersionInfo& info) {
        info.platformId = platform;
        info.majorVersion = major;
        info.minorVersion = minor;
        return result;
    };
}

inline int QueryFails(OsVersionInfo&)
{
    return 0;
}

// Where the lines belong for the captions "00", "10" or "01".
inline ContactLines LinesFor(const QString& captions)
{
    return ContactLinesFor(captions == QLatin1String("10")   ? SwitchState::CommonToRf1
                           : captions == QLatin1String("01") ? SwitchState::CommonToRf2
                                                             : SwitchState::AllTerminated);
}

// The panel on a fake port, with its messages collected instead of shown.
// The window is created at once and loaded (shown) by Show().
struct Panel
{
    explicit Panel(VersionQuery query = QueryFails)
        : form(std::make_unique<SwitchForm>(SwitchFormContext{
              std::move(query),
              [this](QWidget*, QMessageBox::Icon icon, const QString& text) {
                  messages << text;
                  icons << icon;
              }}))
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
    T* Find(const QString& name) const
    {
        return form->findChild<T*>(name);
    }

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

    QLabel* Status() const { return Find<QLabel>(QStringLiteral("PortStatus")); }

    FakePort port;
    ScopedPorts use{port};
    QStringList messages;
    QList<QMessageBox::Icon> icons;
    std::unique_ptr<SwitchForm> form;
};
