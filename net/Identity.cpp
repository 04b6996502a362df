#include "Identity.h"

Identity ProgramIdentity(const std::string& serial)
{
    Identity identity;
    identity.version = RFSWITCH_VERSION;
    if (!serial.empty())
        identity.serial = serial;
    return identity;
}
