#pragma once

#include "PortLayer.h"
#include "SwitchCore.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

// What the program was asked to do.
struct Invocation
{
    enum class Mode
    {
        Panel,    // the window (and a remote server when listening)
        Headless, // the remote servers without a window
        Select,   // --select: switch, print the state, exit
        Query,    // --query: print the state, exit
        ListPorts, // --list-ports: print every parallel port, exit
        Help,
        Version,
        Error,    // bad usage: `error` says what
    };
    Mode mode = Mode::Panel;
    std::optional<PortName> port;      // --port, for this run only
    QString portNote;                  // how --port was read, where not as typed ("0378" is decimal)
    // --board [NAME=]PORT, in order: the boards a headless server serves,
    // numbered from 1; the first is the one --port would name.
    struct Board
    {
        QString name;
        PortName port;
    };
    std::vector<Board> boards;
    RfPath path = RfPath::Off;         // --select
    QString selectLabel;               // --select LABEL: the channel the board's label names, found once the board is known
    bool simulate = false;             // the simulated port is good enough
    bool rawIo = false;                // raw /dev/port for a port no driver serves
    std::chrono::milliseconds settleTime{0};  // --settle-time MS
    // --headless: --power-on (--reset is off); none: keep, read and write nothing.
    std::optional<RfPath> powerOn;
    // --power-on rcl0 … rcl9: a saved setup; with neither, the board's SYST:POS.
    std::optional<int> powerOnSetup;
    bool offOnStop = false;            // --headless: --on-stop off
    QString log;                       // --log FILE
    QString listen;                    // --listen [HOST:]PORT
    QString http;                      // --http [HOST:]PORT
    bool rawSocket = true;             // with --listen: the raw socket (with --tls-required: --raw-socket)
    bool vxi11 = true;                 // with --listen: VXI-11 too (--no-vxi11: not; with --tls-required: --vxi11)
    bool hislip = true;                // with --listen: HiSLIP too (--no-hislip: not)
    QString hislipAddress;             // --hislip [HOST:]PORT; empty: --listen's host at 4880
    QString https;                     // --https [HOST:]PORT
    QString tlsCertificate;            // --tls-cert FILE
    QString tlsKey;                    // --tls-key FILE
    bool tlsRequired = false;          // --tls-required: HiSLIP only encrypted, the page only over HTTPS, plain doors by name
    QString stateDir;                  // --state-dir DIR: where the program keeps what it makes
    QStringList allow;                 // --allow ADDRESS/PREFIX: the peers let in (empty: any)
    int idleTimeout = 0;               // --idle-timeout SECONDS (0: none)
    QString serial = QStringLiteral("0");  // --serial: *IDN?'s serial number
    QString error;
    QString helpText;
};

// Reads the arguments (the program's name first) without needing an
// application object, so that --help works with no display. Looks at
// nothing but the arguments.
Invocation ParseCommandLine(const QStringList& arguments);

// --port's value: decimal (888), C's hex (0x378) or the address box's radix
// forms (&H378, &O1570), nothing else around it; nullopt for any other text
// and for an address where no port may be.
std::optional<std::int32_t> PortArgument(const QString& text);

// The port to start from: --port, else 888.
PortName StartAddress(const Invocation& invocation);
