#include "StatusLine.h"

#include "PortText.h"

StatusText StatusLine(const PortStatus& status, std::int32_t address, const OperationResult& last, bool known)
{
    const QString port = address < 1 ? QStringLiteral("Port %1").arg(address)
                                     : QStringLiteral("Port ") + QString::fromStdString(Place(address));
    const QString reason = QString::fromStdString(status.reason);
    const QString next = QString::fromStdString(status.nextStep);
    // A port that cannot be used says so rather than an earlier access's failure.
    if (!status.Writable()) {
        if (address < 1)
            return {port + QStringLiteral(": not a port address; nothing is written"), kStatusWarning};
        return {port + QStringLiteral(": ") + reason + (next.isEmpty() ? QString() : QStringLiteral(": ") + next)
                    + QStringLiteral("; nothing is written"),
                kStatusWarning};
    }
    if (!last.Ok())
        return {QString::fromStdString(last.detail), kStatusWarning};
    if (status.IsSimulated())
        return {port + QStringLiteral(": SIMULATED, no board is driven (") + reason + QStringLiteral(").")
                    + (next.isEmpty() ? QString() : u' ' + next.left(1).toUpper() + next.mid(1) + u'.'),
                kStatusSimulated};
    const QString device = port + QStringLiteral(": ") + QString::fromStdString(status.device);
    if (!known)
        return {device + QStringLiteral(": the board's state is unknown"), kStatusWarning};
    return {device, kStatusNormal};
}
