#include "StatusLine.h"

#include "PortText.h"
#include "SwitchCore.h"
#include "SwitchSystem.h"

#include <QStringList>

StatusText StatusLine(const PortStatus& status, const PortName& name, const OperationResult& last, bool known,
                      const std::string& hardware)
{
    const std::int32_t address = name.ByDevice() ? 1 : name.base;
    const QString port = address < 1 ? QStringLiteral("Port %1").arg(address)
                                     : QStringLiteral("Port ") + QString::fromStdString(PortLabel(name));
    // A port chosen by its device: the system's words start with it already.
    const QString said = QString::fromStdString(status.reason);
    const QString reason = name.ByDevice() && said.startsWith(QString::fromStdString(name.device) + QStringLiteral(": "))
        ? said.mid(int(name.device.size()) + 2)
        : said;
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
    const QString kind = QString::fromStdString(hardware);
    const QString device = port + QStringLiteral(": ")
        + (name.ByDevice() ? (kind.isEmpty() ? QString::fromStdString(status.device) : kind)
                           : QString::fromStdString(status.device) + (kind.isEmpty() ? QString() : QStringLiteral(", ") + kind));
    if (!known)
        return {device + QStringLiteral(": the board's state is unknown"), kStatusWarning};
    return {device, kStatusNormal};
}

QString CyclesWarning(const CycleCounts& counts)
{
    if (!counts.AtLimit())
        return {};
    QStringList closed;
    for (const int channel : {1, 2})
        if (counts.Of(channel) >= counts.limit)
            closed << QStringLiteral("RF%1 has closed %2 time%3").arg(channel).arg(counts.Of(channel)).arg(counts.Of(channel) == 1 ? "" : "s");
    return QStringLiteral("Relay cycles: %1, the limit set is %2: replace the switch, then clear its counts.")
        .arg(closed.join(QStringLiteral(" and ")))
        .arg(counts.limit);
}

StatusText StatusLine(const SwitchCore& core)
{
    StatusText line = StatusLine(core.Status(), core.Port(), core.LastAccess(), core.State().has_value(), core.Hardware());
    if (const QString warning = CyclesWarning(core.Cycles()); !warning.isEmpty())
        line = {line.text + u'\n' + warning, kStatusWarning};
    return line;
}

QString PathWords(const std::optional<ControlBits>& bits)
{
    if (!bits)
        return QStringLiteral("Unknown: nothing read back from the port");
    if (bits->c1 && bits->c2)
        return QStringLiteral("C1=1 with C2=1: not a state of this model");
    if (bits->c1)
        return QStringLiteral("RF COMMON connected to RF1");
    if (bits->c2)
        return QStringLiteral("RF COMMON connected to RF2");
    return QStringLiteral("All ports terminated");
}

QString SwitchingRefused(const SwitchCore& core, const Source& asker)
{
    if (core.LockedAgainst(asker))
        return QStringLiteral("Locked by %1: switching from here is refused until it lets go.")
            .arg(QString::fromStdString(SourceName(*core.LockHolder())));
    if (core.Status().IsSimulated() && !core.MayDrive(asker))
        return QStringLiteral("Only the simulated port is here: no board is driven, so switching from here is refused "
                              "(the server's --simulate allows a dry run).");
    return {};
}

QString OtherBoards(const SwitchSystem& system)
{
    QStringList boards;
    for (int board = 2; board <= system.Count(); ++board) {
        const SwitchCore& core = system.Core(board);
        const PortStatus& status = core.Status();
        const auto bits = core.State();
        QString state;
        if (status.reach == PortReach::Unusable || status.reach == PortReach::Refused)
            state = status.reach == PortReach::Unusable ? QStringLiteral("unusable") : QStringLiteral("refused");
        else if (!bits)
            state = QStringLiteral("unknown");
        else if (bits->c1 && bits->c2)
            state = QStringLiteral("C1=1 C2=1");
        else if (bits->c1 || bits->c2) {
            const int channel = bits->c1 ? 1 : 2;
            const std::string label = core.Labels().Of(channel);
            state = QStringLiteral("RF%1").arg(channel) + (label.empty() ? QString() : u' ' + QString::fromStdString(label));
        } else
            state = QStringLiteral("off");
        if (status.IsSimulated())
            state += QStringLiteral(", simulated");
        const std::string& name = system.Name(board);
        boards << QStringLiteral("board %1%2 on %3: %4")
                      .arg(board)
                      .arg(name.empty() ? QString() : u' ' + QString::fromStdString(name), QString::fromStdString(PortLabel(core.Port())), state);
    }
    return boards.join(QStringLiteral(" · "));
}
