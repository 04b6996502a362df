#pragma once

// Where a panel or server of this program that owns a port listens for the
// command line's operations on that port, one socket per address
// ("port-888"), and who may reach it. Free of Qt, so that the command line
// asks without loading Qt's network library. One file per OS.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// How long the command line waits for the owner's answer: the operations
// asked before it, and a slow write's retries, come first.
inline constexpr std::chrono::seconds kOwnerAnswerTime{30};

// Where an owner of `address` listens: in the system service's own folder
// ($RUNTIME_DIRECTORY), else in the user's (a folder of $XDG_RUNTIME_DIR,
// else one in /tmp that only the user may enter, made here).
struct OwnerPlace
{
    std::string path;   // empty: nowhere safe, and `error` says why
    bool service = false;
    std::string error;
};
OwnerPlace OwnerPlaceFor(std::int32_t address);

// The sockets the command line tries for `address`: the user's own, then the
// system service's; only in folders no other user may have put a socket in.
std::vector<std::string> OwnerSocketsFor(std::int32_t address);

// The system service's socket is for exactly the users who may open the
// port's device: its group, mode 0660. Returns that group, or -1 where the
// socket stays the service's own (a simulated port has no device).
long ShareWithDeviceUsers(const std::string& path, const std::string& device);

// Whether the client on the connected socket `fd` may use the port: the same
// user, root, or a member of `group` (-1: none).
bool PeerMayUse(std::intptr_t fd, long group);

// Whether a process listens on the socket at `path` (one that ended leaves
// the file behind, and nobody answers there).
bool SomeoneListens(const std::string& path);

// The command line's side: `request` (one line) to the owner at `path`, and
// its answer (one line, without the line feed).
struct OwnerReply
{
    enum class Kind
    {
        Nobody,      // nobody listens there: nothing was asked
        Answered,
        NoAnswer,    // asked, but no answer came: whether it was done is not known
    };
    Kind kind = Kind::Nobody;
    std::string line;
};
OwnerReply AskOwner(const std::string& path, const std::string& request);
