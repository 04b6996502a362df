#pragma once

#include "PortLayer.h"
#include "SwitchCore.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

class OperationLog;

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
    RfPath path = RfPath::Off;         // --select
    bool simulate = false;             // the simulated port is good enough
    bool rawIo = false;                // raw /dev/port for a port no driver serves
    bool reset = false;                // --headless: clear the board at start
    QString log;                       // --log FILE
    QString listen;                    // --listen [HOST:]PORT
    QString http;                      // --http [HOST:]PORT
    bool vxi11 = true;                 // with --listen: VXI-11 too (--no-vxi11: the raw socket alone)
    bool hislip = true;                // with --listen: HiSLIP too (--no-hislip: not)
    QString hislipAddress;             // --hislip [HOST:]PORT; empty: --listen's host at 4880
    QString https;                     // --https [HOST:]PORT
    QString tlsCertificate;            // --tls-cert FILE
    QString tlsKey;                    // --tls-key FILE
    bool tlsRequired = false;          // --tls-required: HiSLIP only encrypted, the page only over HTTPS
    QString stateDir;                  // --state-dir DIR: where the program keeps what it makes
    QStringList allow;                 // --allow ADDRESS/PREFIX: the peers let in (empty: any)
    int idleTimeout = 0;               // --idle-timeout SECONDS (0: none)
    QString serial = QStringLiteral("0");  // --serial: *IDN?'s serial number
    QString error;
    QString helpText;
};

// Reads the arguments (the program's name first) without needing an
// application object, so that --help works with no display.
Invocation ParseCommandLine(const QStringList& arguments);

// --port's value: decimal (888), C's hex (0x378) or the address box's radix
// forms (&H378, &O1570), nothing else around it; nullopt for any other text
// and for an address where no port may be.
std::optional<std::int32_t> PortArgument(const QString& text);

// Exit codes of --select and --query.
enum ExitCode
{
    kExitVerified = 0,
    kExitNotReadBack = 1,  // a write was not read back
    kExitUsage = 2,        // bad usage, or an address no backend may touch
    kExitNoBoard = 3,      // the port is unusable, could not be read, or is only simulated
};

// "port 888 (0x378) /dev/parport0: C1=1 C2=0 rf1", or "port /dev/parport1,
// USB adapter (uss720), about 1 ms per access: C1=1 C2=0 rf1" for a port
// chosen by its device, from the bits the port read back; empty where they
// could not be read.
QString StateLine(const SwitchCore& core);

struct CommandOutcome
{
    int exitCode = kExitVerified;
    QString output;  // the state line, for stdout
    QString error;   // what went wrong, for stderr
};

// Runs --select or --query on `core` at `port`. Needs a QCoreApplication.
CommandOutcome RunSwitchCommand(const Invocation& invocation, SwitchCore& core, const PortName& port);
// Its halves, also for a core that holds the address already (a command
// handed over): where the command ends before switching, given how the port
// was read (a query's answer, or why nothing is switched)...
std::optional<CommandOutcome> CommandBeforeSwitching(const Invocation& invocation, const SwitchCore& core, const OperationResult& read);
// ...and what --select says once the core's Select has ended with `result`.
CommandOutcome CommandAfterSwitching(const SwitchCore& core, const OperationResult& result);

// Does what needs neither a window nor a network: --help, --version, bad
// usage, --list-ports, --select and --query, printing what they print. Returns the exit
// code, or nothing when the invocation is for the panel or the server.
std::optional<int> RunWithoutWindow(const Invocation& invocation, int argc, char** argv);

// The folder the program keeps what it makes in (the self-signed
// certificate): --state-dir, else the service's StateDirectory=
// ($STATE_DIRECTORY), else $XDG_STATE_HOME/rfswitch-panel, else
// ~/.local/state/rfswitch-panel.
QString StateFolder(const Invocation& invocation);

// The port to start from: --port, else 888.
PortName StartAddress(const Invocation& invocation);

// One line on `stream`, flushed at once (scripts read it as it comes).
void PrintLine(std::FILE* stream, const QString& text);
// "rfswitch-panel: WHAT" on stderr, and the usage hint for bad usage.
int Fail(int exitCode, const QString& what);

// The switch as every mode of the program sets it up: the system's ports as
// far as the invocation lets them go, the log, and --simulate.
class SwitchSetup
{
public:
    // nullptr, with the reason in `error`, when the log cannot be opened.
    static std::unique_ptr<SwitchSetup> Create(const Invocation& invocation, PortOptions options, QString* error);
    ~SwitchSetup();
    SwitchCore& Core() { return *core_; }
    // The operation log, nullptr without --log.
    OperationLog* Log() { return log_.get(); }
    // Without a window, a log that cannot be written is said on stderr.
    void ReportLogFailuresOnStderr();

private:
    SwitchSetup() = default;
    std::unique_ptr<OperationLog> log_;
    std::unique_ptr<SwitchCore> core_;
};
