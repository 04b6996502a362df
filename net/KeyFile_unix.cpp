#include "KeyFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace keyfile {

bool WriteWhole(const std::string& path, bool ownerOnly, const std::function<bool(std::FILE*)>& write, std::string& error)
{
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    // Created with its final mode, never wider, and not through a link.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, ownerOnly ? 0600 : 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    std::FILE* file = ::fdopen(fd, "w");
    const bool written = file && write(file);
    const bool closed = file ? std::fclose(file) == 0 : ::close(fd) == 0;
    if (written && closed && ::rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    error = written ? std::strerror(errno) : "";
    ::unlink(temporary.c_str());
    return false;
}

std::string Exposure(const std::string& path)
{
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0)
        return {};
    if (status.st_mode & S_IROTH)
        return "readable by every user";
    if (status.st_mode & S_IRGRP)
        return "readable by its group";
    return {};
}

} // namespace keyfile
