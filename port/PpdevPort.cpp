#include "PpdevPort.h"
#include "PortText.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

#include <fcntl.h>
#include <linux/ppdev.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace {

constexpr int kClaimTimedOut = -1;

const char* const kFreeStep = kTakenOnceFree;
const char* const kDriverStep = "see the kernel's log (dmesg) for the parallel-port driver's words";

void Interrupt(int) {}

// PPCLAIM sleeps for as long as another driver holds the port. A timer signal
// aimed at this thread alone cuts the wait short: the ioctl then fails with
// EINTR, and closing the file takes the waiting claim back.
int ClaimWithin(int fd, std::chrono::milliseconds limit)
{
    struct sigaction quiet{};
    struct sigaction previous{};
    quiet.sa_handler = Interrupt;  // no SA_RESTART, so the ioctl returns
    sigemptyset(&quiet.sa_mask);
    sigaction(SIGALRM, &quiet, &previous);
    sigset_t alarm;
    sigset_t mask;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarm, &mask);

    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event.sigev_notify_thread_id = gettid();
    timer_t timer{};
    int result = -1;
    int error = EAGAIN;  // no timer: better no port than a window that hangs
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) == 0) {
        itimerspec due{};
        due.it_value.tv_sec = limit.count() / 1000;
        due.it_value.tv_nsec = limit.count() % 1000 * 1000000 + 1;
        timer_settime(timer, 0, &due, nullptr);
        result = ioctl(fd, PPCLAIM);
        error = errno;
        // A signal raised before the timer is gone is delivered on the way
        // back from timer_delete, to the quiet handler still in place.
        timer_delete(timer);
    }
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    sigaction(SIGALRM, &previous, nullptr);

    if (result == 0)
        return 0;
    return error == EINTR ? kClaimTimedOut : error;
}

bool Overlap(std::int32_t base, std::int32_t registers)
{
    return registers > 0 && base <= registers + 2 && registers <= base + 2;
}

} // namespace

PpdevPort::PpdevPort(LinuxPaths paths, std::chrono::milliseconds claimLimit)
    : paths_(std::move(paths)), claimLimit_(claimLimit)
{
}

PpdevPort::~PpdevPort()
{
    Close();
}

std::vector<Parport> PpdevPort::Table() const
{
    return ParportTable(paths_.parportProc);
}

std::string PpdevPort::OwnerOf(std::int32_t base) const
{
    for (const Parport& parport : Table())
        if (Overlap(base, parport.base) || Overlap(base, parport.ecp))
            return DeviceName(parport.number) + " at " + Place(parport.base);
    return {};
}

std::string PpdevPort::DeviceName(int number) const
{
    return paths_.devDir + "/parport" + std::to_string(number);
}

std::string PpdevPort::ActiveDevice(int number) const
{
    return FirstLine((std::filesystem::path(paths_.parportProc) / ("parport" + std::to_string(number)) / "devices" / "active").string());
}

// What a new claim attempt could find different: the device that holds the
// port, the devices registered on it (an exclusive holder among them) and the
// device file (created, removed, its owner and mode changed).
std::string PpdevPort::Fingerprint(int number) const
{
    std::string print = ActiveDevice(number) + '|';
    std::set<std::string> devices;
    std::error_code error;
    const auto dir = std::filesystem::path(paths_.parportProc) / ("parport" + std::to_string(number)) / "devices";
    for (const auto& entry : std::filesystem::directory_iterator(dir, error))
        devices.insert(entry.path().filename().string());
    for (const std::string& device : devices)
        print += device + ',';
    struct stat info{};
    if (::stat(DeviceName(number).c_str(), &info) == 0)
        print += '|' + std::to_string(info.st_ino) + ':' + std::to_string(info.st_mode) + ':' + std::to_string(info.st_uid)
            + ':' + std::to_string(info.st_gid) + ':' + std::to_string(info.st_rdev);
    return print;
}

PortStatus PpdevPort::Open(std::int32_t base)
{
    Close();
    base_ = base;
    return Attach(Table());
}

PortStatus PpdevPort::OpenDevice(const std::string& device)
{
    Close();
    if (IsUsbPrinter(paths_, device)) {
        status_ = {PortReach::Unusable, device, device + ": " + kUsbPrinterWhy, kUsbPrinterStep, false};
        return status_;
    }
    wanted_ = DeviceNumber(device, paths_.devDir + "/parport");
    if (wanted_ < 0)
        return {};
    base_ = 0;
    return Attach(Table());
}

bool PpdevPort::Wanted(const Parport& parport) const
{
    return wanted_ >= 0 ? parport.number == wanted_ : parport.base > 0 && parport.base == base_;
}

PortStatus PpdevPort::Attach(const std::vector<Parport>& table)
{
    for (const Parport& parport : table)
        if (Wanted(parport))
            return Claim(parport.number);
    number_ = -1;
    hardware_.clear();
    if (wanted_ >= 0) {
        const std::string device = DeviceName(wanted_);
        status_ = {PortReach::Unusable, device, device + ": no such parallel port now (an adapter unplugged, or its driver not loaded)",
                   std::string("plug the adapter in, or type a port that rfswitch-panel --list-ports lists; ") + kTakenOnceThere,
                   false};
        return status_;
    }
    std::string words = table.empty() ? "no parallel port found" : "no parallel port at " + Place(base_);
    bool deviceOnly = false;
    for (const Parport& other : table) {
        const std::string device = DeviceName(other.number);
        words += (&other == &table.front() ? "; " : ", ") + device
            + (other.base > 0 ? " is at " + Place(other.base) : " has no address (USB): type " + device);
        deviceOnly = deviceOnly || other.base == 0;
    }
    status_ = {PortReach::Absent, "", words,
               table.empty()  ? "have the parallel-port drivers loaded (modprobe parport_pc ppdev)"
               : deviceOnly ? "type the base address, or the device, of the port the board is on"
                            : "type the base address of the port the board is on",
               false};
    return status_;
}

PortStatus PpdevPort::Claim(int number)
{
    Release();
    number_ = number;
    fingerprint_ = Fingerprint(number);
    const std::string device = DeviceName(number);
    const std::vector<Parport> table = Table();
    const auto found = std::find_if(table.begin(), table.end(), [&](const Parport& p) { return p.number == number; });
    hardware_ = ParportHardware(paths_, number, found == table.end() ? -1 : found->base);
    const auto unusable = [&](std::string reason, std::string nextStep, bool busy) {
        status_ = {PortReach::Unusable, device, device + ": " + std::move(reason), std::move(nextStep), busy};
        return status_;
    };
    const auto held = [&](const std::string& holder) {
        if (holder.compare(0, 2, "lp") == 0)
            return unusable("in use by the printer driver (" + holder + ")",
                            std::string("a print job holds it: let it finish or cancel it; ") + kFreeStep, true);
        return unusable("in use by another program" + (holder.empty() ? std::string() : " (" + holder + ")"),
                        std::string("held by another program: close it; ") + kFreeStep, true);
    };

    ++claimsTried_;
    const int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return unusable("not found: the ppdev module is not loaded", "have the ppdev module loaded (modprobe ppdev)",
                            false);
        if (error == EACCES || error == EPERM)
            return unusable("permission denied", "add your user to the lp group and log in again", false);
        return unusable(SystemErrorWords(error), kDriverStep, false);
    }
    // Someone may have the port now: the claim then gives up after
    // claimLimit, or at once when the holder has it exclusively.
    const std::string active = ActiveDevice(number);
    const bool taken = !active.empty() && active != "none";
    if (const int error = ClaimWithin(fd, claimLimit_)) {
        ::close(fd);
        // The kernel refuses to register another device on a port that a
        // program holds exclusively (PPEXCL).
        if (error == ENXIO)
            return unusable("in use by another program, which holds it exclusively",
                            std::string("held exclusively by another program: close it; ") + kFreeStep, true);
        if (error == kClaimTimedOut || taken) {
            const std::string holder = ActiveDevice(number);
            return held(holder == "none" ? active : holder);
        }
        return unusable(SystemErrorWords(error), kDriverStep, false);
    }
    // Nothing is written here: a claim may be only for reading the board's
    // state. The kernel's claim itself puts this new device's idle control
    // state (forward direction) on the port, so the data register reads back
    // what was written.
    fd_ = fd;
    status_ = {PortReach::Real, device, "", "", false};
    return status_;
}

PortStatus PpdevPort::Refresh()
{
    if (base_ < 0)
        return status_;
    const std::vector<Parport> table = Table();
    const auto found = std::find_if(table.begin(), table.end(), [&](const Parport& p) { return Wanted(p); });
    // Gone, or renumbered: let go of the old number first.
    if (found == table.end() || found->number != number_) {
        Release();
        return Attach(table);
    }
    if (fd_ >= 0)
        return status_;
    // Without a word from the kernel on who holds it, a busy port is tried
    // again on each tick (the claim waits at most claimLimit).
    if (status_.busy && ActiveDevice(number_).empty())
        return Claim(number_);
    if (Fingerprint(number_) == fingerprint_)
        return status_;
    return Claim(number_);
}

void PpdevPort::Release()
{
    if (fd_ >= 0) {
        ioctl(fd_, PPRELEASE);
        ::close(fd_);
    }
    fd_ = -1;
}

void PpdevPort::Close()
{
    Release();
    base_ = -1;
    wanted_ = -1;
    number_ = -1;
    hardware_.clear();
    fingerprint_.clear();
    status_ = {};
}

std::uint8_t PpdevPort::PortIn(std::int32_t port)
{
    if (fd_ < 0)
        throw PortError(status_.reason.empty() ? "no parallel port opened" : status_.reason);
    if (port < base_ || port > base_ + 2)
        throw PortError(HexAddress(port) + " is not a register of " + DeviceName(number_) + " at " + Place(base_));
    const unsigned long request = port == base_ ? PPRDATA : port == base_ + 1 ? PPRSTATUS : PPRCONTROL;
    unsigned char value = 0;
    if (ioctl(fd_, request, &value) < 0)
        throw PortError(DeviceName(number_) + ": " + SystemErrorWords(errno));
    return value;
}

void PpdevPort::PortOut(std::int32_t port, std::uint8_t value)
{
    if (fd_ < 0)
        throw PortError(status_.reason.empty() ? "no parallel port opened" : status_.reason);
    if (port < base_ || port > base_ + 2)
        throw PortError(HexAddress(port) + " is not a register of " + DeviceName(number_) + " at " + Place(base_));
    if (port == base_ + 1)
        throw PortError(DeviceName(number_) + ": the status register " + HexAddress(port) + " is read only");
    unsigned char byte = value;
    if (ioctl(fd_, port == base_ ? PPWDATA : PPWCONTROL, &byte) < 0)
        throw PortError(DeviceName(number_) + ": " + SystemErrorWords(errno));
}
