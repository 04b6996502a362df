#include "FakePort.h"

#include <QStringList>

#include <algorithm>

void FakePort::Record(PortAccess access)
{
    accesses.push_back(access);
    if (onAccess)
        onAccess(access);
}

PortStatus FakePort::Open(std::int32_t base)
{
    claimed.reset();
    if (status.reach == PortReach::Real)
        claimed = base;
    return status;
}

static const char* const kGone = "/dev/parport0: no such device";

std::uint8_t FakePort::PortIn(std::int32_t port)
{
    if (answersFor && accesses.size() >= *answersFor)
        throw PortError(kGone);
    if (!readError.empty())
        throw PortError(readError);
    if (unreadable.count(port) || (readsFor && accesses.size() >= *readsFor))
        throw PortError("/dev/parport0: input/output error");
    std::uint8_t value = Latched(port);
    if (stuckRead)
        value = *stuckRead;
    else if (streak_[port] > 0 && streak_[port] < readBackAfter)
        value = previous_[port];
    if (const auto high = readsHigh.find(port); high != readsHigh.end())
        value |= high->second;
    Record({PortAccess::Kind::Read, port, value});
    return value;
}

void FakePort::PortOut(std::int32_t port, std::uint8_t value)
{
    if (answersFor && accesses.size() >= *answersFor)
        throw PortError(kGone);
    if (!writeError.empty())
        throw PortError(writeError);
    if (streak_[port] > 0 && Latched(port) == value) {
        ++streak_[port];
    } else {
        previous_[port] = Latched(port);
        streak_[port] = 1;
    }
    latched[port] = value;
    Record({PortAccess::Kind::Write, port, value});
}

std::uint8_t FakePort::Latched(std::int32_t port) const
{
    const auto it = latched.find(port);
    return it == latched.end() ? 0 : it->second;
}

std::vector<PortAccess> FakePort::Writes() const
{
    std::vector<PortAccess> writes;
    std::copy_if(accesses.begin(), accesses.end(), std::back_inserter(writes),
                 [](const PortAccess& a) { return a.kind == PortAccess::Kind::Write; });
    return writes;
}

QString Trace(const std::vector<PortAccess>& accesses)
{
    QStringList steps;
    for (const PortAccess& a : accesses)
        steps << QStringLiteral("%1%2:%3").arg(a.kind == PortAccess::Kind::Read ? 'r' : 'w').arg(a.port).arg(a.value, 2, 16, QLatin1Char('0'));
    return steps.join(QLatin1Char(' '));
}

QString FakePort::Take()
{
    const QString trace = Trace(accesses);
    accesses.clear();
    return trace;
}
