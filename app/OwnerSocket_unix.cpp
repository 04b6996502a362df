#include "OwnerSocket.h"
#include "PortText.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// systemd makes it for the service (RuntimeDirectory=rfswitch-panel).
const std::string kServiceFolder = "/run/rfswitch-panel";

// "/port-888"; "/port-dev:parport1" for /dev/parport1 (no device name holds ':').
std::string SocketName(const PortName& port)
{
    if (!port.ByDevice())
        return "/port-" + std::to_string(port.base);
    std::string name = "/port-dev" + port.device.substr(4);
    for (std::size_t i = 9; i < name.size(); ++i)
        name[i] = name[i] == '/' ? ':' : name[i];
    return name;
}

std::string UserFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return std::string(runtime) + "/rfswitch-panel";
    return "/tmp/rfswitch-panel-" + std::to_string(geteuid());
}

// This user's own folder, no link, that no other user may enter: nobody else
// can have put a socket there.
bool Private(const std::string& folder)
{
    struct stat info{};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

// A socket connected to `path`, or -1.
int Connected(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

} // namespace

OwnerPlace OwnerPlaceFor(const PortName& port)
{
    // A list, for a unit with several; the first is ours.
    if (const char* service = std::getenv("RUNTIME_DIRECTORY"); service && service[0] == '/') {
        const std::string folder(service);
        return {folder.substr(0, folder.find(':')) + SocketName(port), true, {}};
    }
    const std::string folder = UserFolder();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return {{}, false, folder + ": " + SystemErrorWords(errno)};
    if (!Private(folder))
        return {{}, false, folder + ": not a folder of this user's that only it may enter"};
    return {folder + SocketName(port), false, {}};
}

std::vector<std::string> OwnerSocketsFor(const PortName& port)
{
    std::vector<std::string> paths;
    if (const std::string folder = UserFolder(); Private(folder))
        paths.push_back(folder + SocketName(port));
    struct stat info{};
    if (stat(kServiceFolder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & 022) == 0)
        paths.push_back(kServiceFolder + SocketName(port));
    return paths;
}

long ShareWithDeviceUsers(const std::string& path, const std::string& device)
{
    // Only a device its group may write to: /dev/parportN (lp), not /dev/port.
    struct stat info{};
    if (device.empty() || device[0] != '/' || stat(device.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)
        || !(info.st_mode & S_IWGRP))
        return -1;
    if (chown(path.c_str(), uid_t(-1), info.st_gid) != 0 || chmod(path.c_str(), 0660) != 0)
        return -1;
    return long(info.st_gid);
}

bool PeerMayUse(std::intptr_t fd, long group)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(int(fd), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return false;
    if (peer.uid == 0 || peer.uid == geteuid())
        return true;
    if (group < 0)
        return false;
    if (peer.gid == gid_t(group))
        return true;
    std::vector<gid_t> groups(64);
    for (int tries = 0; tries < 2; ++tries) {
        length = socklen_t(groups.size() * sizeof(gid_t));
        if (getsockopt(int(fd), SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            for (const gid_t member : groups)
                if (member == gid_t(group))
                    return true;
            return false;
        }
        if (errno != ERANGE)
            return false;
        groups.resize(length / sizeof(gid_t) + 1);
    }
    return false;
}

bool StillWaits(std::intptr_t fd)
{
    pollfd peer{int(fd), POLLIN | POLLRDHUP, 0};
    return poll(&peer, 1, 0) == 0;
}

bool SomeoneListens(const std::string& path)
{
    const int fd = Connected(path);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

OwnerReply AskOwner(const std::string& path, const std::function<std::string()>& request)
{
    const int fd = Connected(path);
    if (fd < 0)
        return {};
    OwnerReply reply{OwnerReply::Kind::NoAnswer, {}, {}};
    // An owner that refuses this user answers at once and does not read.
    const std::string line = request() + '\n';
    [[maybe_unused]] const ssize_t sent = send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + kOwnerAnswerTime;
    // A few log lines and the answer; more comes from no owner of ours.
    constexpr std::size_t kLongest = 64 * 1024;
    std::string got;
    char buffer[512];
    while (reply.kind != OwnerReply::Kind::Answered && got.size() < kLongest) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd answer{fd, POLLIN, 0};
        const int ready = left > 0 ? poll(&answer, 1, int(left)) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        const ssize_t n = ready > 0 ? recv(fd, buffer, sizeof buffer, 0) : 0;
        if (n <= 0)
            break;
        got.append(buffer, std::size_t(n));
        for (std::size_t end; reply.kind != OwnerReply::Kind::Answered && (end = got.find('\n')) != std::string::npos;) {
            std::string next = got.substr(0, end);
            got.erase(0, end + 1);
            if (next.compare(0, sizeof kLogPrefix - 1, kLogPrefix) == 0) {
                reply.log.push_back(next.substr(sizeof kLogPrefix - 1));
            } else {
                reply.line = std::move(next);
                reply.kind = OwnerReply::Kind::Answered;
            }
        }
    }
    // Closing tells the owner that nobody waits any more: what it has not
    // started for this request, it drops.
    close(fd);
    return reply;
}
