#include "Identity.h"

Identity ProgramIdentity(const std::string& serial, const BoardModel& model)
{
    Identity identity;
    identity.model = model.name;
    identity.version = RFSWITCH_VERSION;
    if (!serial.empty())
        identity.serial = serial;
    return identity;
}

std::string InstrumentName(const Identity& identity, const std::string& host)
{
    return identity.model + " on " + host;
}
