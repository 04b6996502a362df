#pragma once

// Where a panel or server of this program that owns a port listens for the
// command line's operations on that port, one socket per address
// ("port-888"), and who may reach it. Free of Qt, so that the command line
// asks without loading Qt's network library. One file per OS.

#include "PortIo.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How long the owner may take to start a command line's operation (the
// operations asked before it come first); one not started by then is not
// carried out.
inline constexpr std::chrono::seconds kOwnerStartTime{20};
// How long the command line waits for the owner's answer: long enough for
// an operation started at the last moment, with a slow write's retries, to
// end; so a command line that gave up never has the owner switch for it.
inline constexpr std::chrono::seconds kOwnerAnswerTime{30};

// Where an owner of `port` (an address, or a device: "port-888",
// "port-dev:parport1") listens: in the system service's own folder
// ($RUNTIME_DIRECTORY), else in the user's (a folder of $XDG_RUNTIME_DIR,
// else one in /tmp that only the user may enter, made here).
struct OwnerPlace
{
    std::string path;   // empty: nowhere safe, and `error` says why
    bool service = false;
    std::string error;
};
OwnerPlace OwnerPlaceFor(const PortName& port);

// The sockets the command line tries for `port`: the user's own, then the
// system service's; only in folders no other user may have put a socket in.
std::vector<std::string> OwnerSocketsFor(const PortName& port);

// The system service's socket is for exactly the users who may open the
// port's device: its group, mode 0660. Returns that group, or -1 where the
// socket stays the service's own (a simulated port has no device).
long ShareWithDeviceUsers(const std::string& path, const std::string& device);

// Whether the client on the connected socket `fd` may use the port: the same
// user, root, or a member of `group` (-1: none).
bool PeerMayUse(std::intptr_t fd, long group);

// Whether the command line on the connected socket `fd`, whose request has
// been read, still waits for the answer: it sends nothing more, so anything
// to read there is its going.
bool StillWaits(std::intptr_t fd);

// Whether a process listens on the socket at `path` (one that ended leaves
// the file behind, and nobody answers there).
bool SomeoneListens(const std::string& path);

// The command line's side: the request (one line, made once someone listens
// at `path`) to the owner there, and its answer: the log lines of what it
// did, then one line (each without its line feed). The connection closes
// when the answer has come or the wait is over.
struct OwnerReply
{
    enum class Kind
    {
        Nobody,      // nobody listens there: nothing was asked
        Answered,
        NoAnswer,    // asked, but no answer came in time: nothing more is done for it
    };
    Kind kind = Kind::Nobody;
    std::vector<std::string> log;
    std::string line;
};
inline constexpr char kLogPrefix[] = "log\t";
OwnerReply AskOwner(const std::string& path, const std::function<std::string()>& request);
