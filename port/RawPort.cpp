#include "RawPort.h"
#include "PortText.h"

#include <cerrno>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string Words(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return "permission denied; raw I/O needs root and no kernel lockdown";
    case ENOENT:
        return "not found";
    default:
        return SystemErrorWords(error);
    }
}

} // namespace

RawPort::RawPort(std::string device, std::function<bool(std::int32_t)> ownedElsewhere)
    : device_(std::move(device)), ownedElsewhere_(std::move(ownedElsewhere))
{
}

RawPort::~RawPort()
{
    if (fd_ >= 0)
        ::close(fd_);
}

PortStatus RawPort::Open(std::int32_t base)
{
    base_ = -1;
    try {
        Reach(base);
        base_ = base;
        status_ = {PortReach::Real, device_, "", "", false};
    } catch (const PortError& error) {
        status_ = {PortReach::Absent, "", error.what(), "", false};
    }
    return status_;
}

void RawPort::Reach(std::int32_t port)
{
    if (base_ >= 0 && (port < base_ || port - base_ > 2))
        throw PortError(HexAddress(port) + " is not a register of the opened port");
    if (port < kFirstAddress || port > kLastAddress)
        throw PortError(device_ + ": refusing " + HexAddress(port) + "; only 0x100 to 0xFFFF may be a parallel port");
    if (ownedElsewhere_ && ownedElsewhere_(port))
        throw PortError(device_ + ": " + HexAddress(port) + " belongs to the parallel-port driver");
    if (!opened_) {
        opened_ = true;
        fd_ = ::open(device_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0)
            failure_ = device_ + ": " + Words(errno);
    }
    if (fd_ < 0)
        throw PortError(failure_);
}

std::uint8_t RawPort::PortIn(std::int32_t port)
{
    Reach(port);
    unsigned char value = 0;
    const ssize_t read = pread(fd_, &value, 1, port);
    if (read != 1)
        throw PortError(device_ + ": " + (read < 0 ? Words(errno) : "nothing to read at " + HexAddress(port)));
    return value;
}

void RawPort::PortOut(std::int32_t port, std::uint8_t value)
{
    Reach(port);
    const unsigned char byte = value;
    const ssize_t written = pwrite(fd_, &byte, 1, port);
    if (written != 1)
        throw PortError(device_ + ": " + (written < 0 ? Words(errno) : "nothing written at " + HexAddress(port)));
}
