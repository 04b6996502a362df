#pragma once

#include "FakePort.h"
#include "SwitchForm.h"

#include <QStringList>
#include <QTest>

#include <memory>

// A query that reports the given Windows version.
inline VersionQuery ReportsVersion(std::uint32_t platform, std::uint32_t major, std::uint32_t minor)
{
    return [=](OsVersionInfo& info) {
        info.platformId = platform;
        info.majorVersion = major;
        info.minorVersion = minor;
        return 1;
    };
}

inline int QueryFails(OsVersionInfo&)
{
    return 0;
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

    template <typename T>
    T* Find(const QString& name) const
    {
        return form->findChild<T*>(name);
    }

    FakePort port;
    ScopedPorts use{port};
    QStringList messages;
    QList<QMessageBox::Icon> icons;
    std::unique_ptr<SwitchForm> form;
};
