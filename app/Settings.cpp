#include "Settings.h"

#include <QSettings>

namespace {

const QString kAddressKey = QStringLiteral("port/address");

QSettings Store()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("rfswitch-panel"), QStringLiteral("rfswitch-panel"));
}

} // namespace

std::optional<std::int32_t> RememberedAddress()
{
    bool ok = false;
    const int address = Store().value(kAddressKey).toInt(&ok);
    // Only an address that can be a port's is worth offering again.
    if (!ok || address < 1)
        return std::nullopt;
    return address;
}

void RememberAddress(std::int32_t address)
{
    if (address >= 1)
        Store().setValue(kAddressKey, address);
}
