#include "RawPort.h"
#include "PortText.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kDriversStep = "use the port through its driver: have parport_pc and ppdev loaded (modprobe parport_pc ppdev)";
const std::string kHeldStep = std::string("held by another program: close it; ") + kTakenOnceFree;

struct Range
{
    long first;
    long last;
    std::string name;
    long portBase = 0;  // a PCI parallel card's: the start of its first I/O range
};

// The I/O ranges of the PCI devices of the parallel-port class, with the
// device's address ("0000:05:00.0"). The first is the port itself (data,
// status, control, then EPP's); the others hold the ECP registers and the
// card's own.
std::vector<Range> ParallelPciRanges(const std::string& root)
{
    std::vector<Range> ranges;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
        std::ifstream classFile(entry.path() / "class");
        unsigned long deviceClass = 0;
        if (!(classFile >> std::hex >> deviceClass) || (deviceClass >> 8) != 0x0701)
            continue;
        // One line per BAR: start, end, flags; IORESOURCE_IO is 0x100.
        std::ifstream resources(entry.path() / "resource");
        unsigned long long start = 0, end = 0, flags = 0;
        long portBase = 0;
        while (resources >> std::hex >> start >> end >> flags)
            if ((flags & 0x100) && end >= start && end <= 0xFFFF && start > 0) {
                portBase = portBase ? portBase : long(start);
                ranges.push_back({long(start), long(end), entry.path().filename().string(), portBase});
            }
    }
    return ranges;
}

// /proc/ioports: "  0378-037a : parport0", nested by indentation. Empty, and
// `readable` false, when it cannot be read or shows no addresses (it shows
// zeros to a user who is not root).
std::vector<Range> IoPorts(const std::string& path, bool& readable)
{
    std::vector<Range> ranges;
    std::ifstream file(path);
    std::string line;
    bool anyAddress = false;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string span, colon;
        if (!(fields >> span >> colon) || colon != ":")
            continue;
        const auto dash = span.find('-');
        if (dash == std::string::npos)
            continue;
        Range range{};
        try {
            range.first = std::stol(span.substr(0, dash), nullptr, 16);
            range.last = std::stol(span.substr(dash + 1), nullptr, 16);
        } catch (const std::exception&) {
            continue;
        }
        std::getline(fields >> std::ws, range.name);
        anyAddress = anyAddress || range.last != 0;
        ranges.push_back(std::move(range));
    }
    readable = anyAddress;
    return ranges;
}

bool IsParallelDriver(const std::string& name)
{
    return name == "ppdev" || name == "lp" || name.compare(0, 7, "parport") == 0;
}

std::string Words(int error)
{
    if (error == EACCES || error == EPERM)
        return "permission denied";
    return SystemErrorWords(error);
}

} // namespace

RawPort::RawPort(RawPaths paths, std::function<std::string(std::int32_t)> ownerOf)
    : paths_(std::move(paths)), ownerOf_(std::move(ownerOf))
{
}

RawPort::~RawPort()
{
    Close();
}

std::string RawPort::ParallelRanges() const
{
    std::string words = "type a parallel port's base address: " + StandardBasesText();
    for (const Range& range : ParallelPciRanges(paths_.pciDevices))
        if (range.first == range.portBase)
            words += ", or " + Place(std::int32_t(range.first)) + " of the PCI parallel port " + range.name;
    return words;
}

PortStatus RawPort::Check(std::int32_t base)
{
    const std::string device = paths_.device;
    const auto refused = [&](std::string reason, std::string nextStep) {
        return PortStatus{PortReach::Refused, device, device + ": " + std::move(reason), std::move(nextStep), false};
    };
    const std::int32_t last = base + 2;
    const std::string span = HexAddress(base) + " to " + HexAddress(last);

    // A port of the kernel's driver is the driver's, reachable or not.
    if (ownerOf_) {
        const std::string owner = ownerOf_(base);
        if (!owner.empty())
            return refused(span + " are registers of " + owner + ", which the parallel-port driver serves",
                           "type that port's base address to use it through its driver");
    }

    bool parallel = IsStandardParallelBase(base);
    std::string decoder;
    // A card's port is at the start of its first range only: elsewhere its
    // registers (EPP's, the ECP mode register) would take the board's bytes.
    for (const Range& range : ParallelPciRanges(paths_.pciDevices)) {
        if (range.last < base || range.first > last)
            continue;
        if (base != range.portBase)
            return refused(span + " lie in the I/O range " + HexAddress(std::int32_t(range.first)) + " to "
                               + HexAddress(std::int32_t(range.last)) + " of the PCI parallel port " + range.name
                               + ", whose base address is " + Place(std::int32_t(range.portBase)),
                           "type " + std::to_string(range.portBase) + " to use that port");
        parallel = true;
        decoder = range.name;
    }
    if (!parallel)
        return refused(Place(base) + " is not a parallel port: not a standard base address, and no PCI parallel port decodes it",
                       ParallelRanges());

    bool readable = false;
    const std::vector<Range> ranges = IoPorts(paths_.ioports, readable);
    if (!readable)
        return refused("cannot tell which driver holds " + span + ": " + paths_.ioports + " shows no addresses",
                       kDriversStep);
    for (const Range& range : ranges) {
        if (range.last < base || range.first > last)
            continue;
        // Windows onto a bus, and the parallel card's own BAR, are no holders.
        if (IsParallelDriver(range.name) || range.name.compare(0, 8, "PCI Bus ") == 0
            || (!decoder.empty() && range.name == decoder))
            continue;
        char text[16];
        std::snprintf(text, sizeof text, "%04lx-%04lx", range.first, range.last);
        return refused(span + " belong to " + range.name + " (" + paths_.ioports + ": " + text + "), not to a parallel port",
                       ParallelRanges());
    }
    return {PortReach::Real, device, "", "", false};
}

PortStatus RawPort::Open(std::int32_t base)
{
    Close();
    status_ = Check(base);
    if (status_.reach != PortReach::Real)
        return status_;
    fd_ = ::open(paths_.device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        status_ = {PortReach::Unusable, paths_.device, paths_.device + ": " + Words(errno),
                   kDriversStep,
                   false};
        return status_;
    }
    status_ = Lock(base);
    if (status_.reach != PortReach::Real) {
        ::close(fd_);
        fd_ = -1;
        return status_;
    }
    base_ = base;
    return status_;
}

PortStatus RawPort::Lock(std::int32_t base)
{
    const std::string name = "port-" + std::to_string(base) + ".lock";
    const std::string path = paths_.lockDir + "/" + name;
    const auto unusable = [&](const std::string& reason, const char* nextStep, bool busy) {
        return PortStatus{PortReach::Unusable, paths_.device, paths_.device + ": " + reason, nextStep, busy};
    };
    const auto cannot = [&](const std::string& where, const std::string& why) {
        return unusable("cannot lock the port (" + where + ": " + why + ")", kDriversStep, false);
    };
    // A folder that only root (raw I/O's user) may write: nobody else can
    // plant a lock, or a link, that keeps raw I/O off a port.
    if (mkdir(paths_.lockDir.c_str(), 0755) != 0 && errno != EEXIST)
        return cannot(paths_.lockDir, Words(errno));
    const int folder = ::open(paths_.lockDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return cannot(paths_.lockDir, errno == ENOTDIR || errno == ELOOP ? "not a folder" : Words(errno));
    struct stat info{};
    if (fstat(folder, &info) != 0 || (info.st_uid != 0 && info.st_uid != geteuid()) || (info.st_mode & 022) != 0) {
        ::close(folder);
        return cannot(paths_.lockDir, "other users may write there; it must be root's alone");
    }
    const int fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    const int openError = errno;
    ::close(folder);
    if (fd < 0)
        return cannot(path, openError == ELOOP ? "a symbolic link, not a lock file" : Words(openError));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        char holder[16] = {};
        const ssize_t length = pread(fd, holder, sizeof holder - 1, 0);
        ::close(fd);
        if (error != EWOULDBLOCK)
            return unusable("cannot lock the port (" + path + ": " + Words(error) + ")", kDriversStep, false);
        wanted_ = base;
        const std::string pid = length > 0 ? std::string(holder, std::size_t(length)) : std::string();
        const bool named = !pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos;
        return unusable("in use by another program (" + (named ? "process " + pid + " holds " : std::string()) + path + ")",
                        kHeldStep.c_str(), true);
    }
    // Who holds it, for the one that is told so; the lock holds without it.
    const std::string pid = std::to_string(getpid());
    [[maybe_unused]] const bool named = ftruncate(fd, 0) == 0 && pwrite(fd, pid.data(), pid.size(), 0) == ssize_t(pid.size());
    lockFd_ = fd;
    return {PortReach::Real, paths_.device, "", "", false};
}

PortStatus RawPort::Refresh()
{
    const std::int32_t base = base_ >= 0 ? base_ : wanted_;
    if (base < 0)
        return status_;
    // The driver came: the port is its now.
    if (ownerOf_ && !ownerOf_(base).empty()) {
        Close();
        status_ = {PortReach::Absent, "", "", "", false};
        return status_;
    }
    // Another program held it: perhaps no longer.
    if (base_ < 0)
        return Open(base);
    return status_;
}

void RawPort::Close()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (lockFd_ >= 0)
        ::close(lockFd_);
    fd_ = -1;
    lockFd_ = -1;
    base_ = -1;
    wanted_ = -1;
    status_ = {};
}

void RawPort::Reach(std::int32_t port) const
{
    if (fd_ < 0 || base_ < 0)
        throw PortError(status_.reason.empty() ? paths_.device + ": no port opened" : status_.reason);
    if (port < base_ || port > base_ + 2)
        throw PortError(paths_.device + ": " + HexAddress(port) + " is not a register of the port at " + Place(base_));
}

std::uint8_t RawPort::PortIn(std::int32_t port)
{
    Reach(port);
    unsigned char value = 0;
    const ssize_t read = pread(fd_, &value, 1, port);
    if (read != 1)
        throw PortError(paths_.device + ": " + (read < 0 ? Words(errno) : "nothing to read at " + HexAddress(port)));
    return value;
}

void RawPort::PortOut(std::int32_t port, std::uint8_t value)
{
    Reach(port);
    const unsigned char byte = value;
    const ssize_t written = pwrite(fd_, &byte, 1, port);
    if (written != 1)
        throw PortError(paths_.device + ": " + (written < 0 ? Words(errno) : "nothing written at " + HexAddress(port)));
}
