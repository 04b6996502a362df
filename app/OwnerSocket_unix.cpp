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

std::string SocketName(std::int32_t address)
{
    return "/port-" + std::to_string(address);
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

OwnerPlace OwnerPlaceFor(std::int32_t address)
{
    // A list, for a unit with several; the first is ours.
    if (const char* service = std::getenv("RUNTIME_DIRECTORY"); service && service[0] == '/') {
        const std::string folder(service);
        return {folder.substr(0, folder.find(':')) + SocketName(address), true, {}};
    }
    const std::string folder = UserFolder();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return {{}, false, folder + ": " + SystemErrorWords(errno)};
    if (!Private(folder))
        return {{}, false, folder + ": not a folder of this user's that only it may enter"};
    return {folder + SocketName(address), false, {}};
}

std::vector<std::string> OwnerSocketsFor(std::int32_t address)
{
    std::vector<std::string> paths;
    if (const std::string folder = UserFolder(); Private(folder))
        paths.push_back(folder + SocketName(address));
    struct stat info{};
    if (stat(kServiceFolder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & 022) == 0)
        paths.push_back(kServiceFolder + SocketName(address));
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

bool SomeoneListens(const std::string& path)
{
    const int fd = Connected(path);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

OwnerReply AskOwner(const std::string& path, const std::string& request)
{
    const int fd = Connected(path);
    if (fd < 0)
        return {};
    OwnerReply reply{OwnerReply::Kind::NoAnswer, {}};
    // An owner that refuses this user answers at once and does not read.
    const std::string line = request + '\n';
    [[maybe_unused]] const ssize_t sent = send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + kOwnerAnswerTime;
    char buffer[512];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd answer{fd, POLLIN, 0};
        const int ready = left > 0 ? poll(&answer, 1, int(left)) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        const ssize_t got = ready > 0 ? recv(fd, buffer, sizeof buffer, 0) : 0;
        if (got <= 0)
            break;
        reply.line.append(buffer, std::size_t(got));
        if (const auto end = reply.line.find('\n'); end != std::string::npos) {
            reply.line.resize(end);
            reply.kind = OwnerReply::Kind::Answered;
            break;
        }
    }
    close(fd);
    if (reply.kind != OwnerReply::Kind::Answered)
        reply.line.clear();
    return reply;
}
