#include "PpdevPort.h"
#include "PortText.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <utility>

#include <fcntl.h>
#include <linux/ppdev.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace {

constexpr int kClaimTimedOut = -1;

std::string Words(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return "permission denied; add your user to the lp group";
    case ENOENT:
        return "not found; load the ppdev module";
    case ENXIO:
    case ENODEV:
        return "no such device";
    case kClaimTimedOut:
        return "busy; another driver or program holds the port";
    default:
        return SystemErrorWords(error);
    }
}

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

} // namespace

PpdevPort::PpdevPort(std::string procDir, std::string devDir, std::chrono::milliseconds claimLimit)
    : procDir_(std::move(procDir)), devDir_(std::move(devDir)), claimLimit_(claimLimit)
{
}

PpdevPort::~PpdevPort()
{
    Close();
}


void PpdevPort::Scan() const
{
    ports_.clear();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(procDir_, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() <= 7 || name.compare(0, 7, "parport") != 0
            || name.find_first_not_of("0123456789", 7) != std::string::npos)
            continue;
        // "888\t1912": the base address, then the ECP registers' (if any).
        std::ifstream file(entry.path() / "base-addr");
        long base = 0;
        if (file >> base && base > 0 && base <= 0xFFFF)
            ports_.push_back({std::stoi(name.substr(7)), static_cast<std::int32_t>(base)});
    }
    std::sort(ports_.begin(), ports_.end(), [](const Parport& a, const Parport& b) { return a.number < b.number; });
}

const PpdevPort::Parport* PpdevPort::Find(std::int32_t port) const
{
    for (const Parport& parport : ports_)
        if (port >= parport.base && port - parport.base <= 2)
            return &parport;
    return nullptr;
}

bool PpdevPort::Owns(std::int32_t port) const
{
    Scan();
    return Find(port) != nullptr;
}

std::string PpdevPort::DeviceName(int number) const
{
    return devDir_ + "/parport" + std::to_string(number);
}

std::string PpdevPort::Describe(std::int32_t port) const
{
    const Parport* parport = Find(port);
    return parport ? DeviceName(parport->number) : std::string();
}

PortStatus PpdevPort::Open(std::int32_t base)
{
    Close();
    Scan();
    const Parport* parport = Find(base);
    if (!parport || parport->base != base) {
        std::string words = ports_.empty() ? "no parallel port found" : "no parallel port at this address";
        for (const Parport& other : ports_)
            words += (&other == &ports_.front() ? "; " : ", ") + DeviceName(other.number) + " is at "
                + std::to_string(other.base) + " (" + HexAddress(other.base) + ")";
        status_ = {PortReach::Absent, "", words, "", false};
        return status_;
    }
    current_ = parport->number;
    Claim(*parport);
    if (failure_.empty())
        status_ = {PortReach::Real, DeviceName(parport->number), "", "", false};
    else
        status_ = {PortReach::Unusable, DeviceName(parport->number), failure_, "", busy_};
    return status_;
}

const PpdevPort::Parport& PpdevPort::Reach(std::int32_t port)
{
    const Parport* parport = Find(port);
    if (!parport || parport->number != current_ || fd_ < 0)
        throw PortError(failure_.empty() ? HexAddress(port) + " is not a register of the opened port" : failure_);
    return *parport;
}

void PpdevPort::Claim(const Parport& parport)
{
    const std::string device = DeviceName(parport.number);
    const int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        failure_ = device + ": " + Words(errno);
        return;
    }
    // Shared claim, so a loaded printer driver does not lock the panel out.
    if (const int error = ClaimWithin(fd, claimLimit_)) {
        ::close(fd);
        failure_ = device + ": " + Words(error);
        busy_ = error == kClaimTimedOut;
        return;
    }
    // Forward direction, so the data register reads back what was written;
    // the control register starts cleared rather than as the claim left it.
    int forward = 0;
    unsigned char cleared = 0;
    if (ioctl(fd, PPDATADIR, &forward) < 0 || ioctl(fd, PPWCONTROL, &cleared) < 0) {
        failure_ = device + ": " + Words(errno);
        ioctl(fd, PPRELEASE);
        ::close(fd);
        return;
    }
    fd_ = fd;
}

void PpdevPort::Close()
{
    if (fd_ >= 0) {
        ioctl(fd_, PPRELEASE);
        ::close(fd_);
    }
    fd_ = -1;
    current_ = -1;
    failure_.clear();
    busy_ = false;
}

void PpdevPort::Control(const Parport& parport, unsigned long request, void* argument)
{
    if (ioctl(fd_, request, argument) < 0)
        throw PortError(DeviceName(parport.number) + ": " + Words(errno));
}

std::uint8_t PpdevPort::PortIn(std::int32_t port)
{
    const Parport& parport = Reach(port);
    const unsigned long request = port == parport.base ? PPRDATA : port == parport.base + 1 ? PPRSTATUS : PPRCONTROL;
    unsigned char value = 0;
    Control(parport, request, &value);
    return value;
}

void PpdevPort::PortOut(std::int32_t port, std::uint8_t value)
{
    const Parport& parport = Reach(port);
    if (port == parport.base + 1)
        throw PortError(DeviceName(parport.number) + ": the status register " + HexAddress(port) + " is read only");
    unsigned char byte = value;
    Control(parport, port == parport.base ? PPWDATA : PPWCONTROL, &byte);
}
