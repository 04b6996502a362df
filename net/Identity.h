#pragma once

// What the switch says it is, the same over every protocol: *IDN?, the LXI
// identification document, DNS-SD's TXT records. Free of Qt: the SCPI
// command layer is fuzzed alone.

#include "BoardModel.h"

#include <string>

struct Identity
{
    std::string maker = "rfswitch-panel";
    std::string model;
    std::string serial = "0";  // --serial: the same whatever port is in use
    std::string version;       // the program's
};

// The name the switch goes by on the network, "QTR7-415KM on bench-pc":
// DNS-SD announces it, the identification document gives it.
std::string InstrumentName(const Identity& identity, const std::string& host);

// This program's identity with `serial` (empty: "0"), driving a board of `model`.
Identity ProgramIdentity(const std::string& serial = {}, const BoardModel& model = Qtr7Board());
