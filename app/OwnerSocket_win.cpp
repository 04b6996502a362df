#include "OwnerSocket.h"

// The port DLLs have no claim that would keep a second process off a port, so
// nothing is handed over here: each process drives the port itself.

OwnerPlace OwnerPlaceFor(const PortName&)
{
    return {};
}

std::vector<std::string> OwnerSocketsFor(const PortName&)
{
    return {};
}

long ShareWithDeviceUsers(const std::string&, const std::string&)
{
    return -1;
}

bool PeerMayUse(std::intptr_t, long)
{
    return false;
}

bool StillWaits(std::intptr_t)
{
    return true;
}

bool SomeoneListens(const std::string&)
{
    return false;
}

OwnerReply AskOwner(const std::string&, const std::function<std::string()>&)
{
    return {};
}
