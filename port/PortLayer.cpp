#include "PortLayer.h"
#include "PortText.h"

#include <utility>

PortLayer::PortLayer(std::vector<std::unique_ptr<PortIo>> backends) : backends_(std::move(backends)) {}

PortLayer::~PortLayer()
{
    Close();
}

PortStatus PortLayer::Open(std::int32_t base)
{
    Close();
    base_ = base;
    opened_ = true;
    return Lookup();
}

PortStatus PortLayer::OpenDevice(const std::string& device)
{
    Close();
    device_ = device;
    opened_ = true;
    return Lookup();
}

PortStatus PortLayer::Lookup()
{
    if (current_)
        current_->Close();
    current_ = nullptr;
    if (device_.empty() && (base_ < SimulatedPort::kFirstBase || base_ > SimulatedPort::kLastBase)) {
        status_ = {PortReach::Refused, "", "no I/O port at " + std::to_string(base_),
                   "type the port's base address, e.g. 888 or &H378", false};
        return status_;
    }
    std::string absentWhy, absentNext;
    for (const auto& backend : backends_) {
        PortStatus status = device_.empty() ? backend->Open(base_) : backend->OpenDevice(device_);
        if (status.reach != PortReach::Absent) {
            current_ = backend.get();
            status_ = std::move(status);
            return status_;
        }
        if (absentWhy.empty()) {
            absentWhy = std::move(status.reason);
            absentNext = std::move(status.nextStep);
        }
    }
    // The simulated port stands in for an address, never for a device.
    if (!device_.empty()) {
        status_ = {PortReach::Refused, "", "no parallel port device " + device_,
                   "type a port's base address (e.g. 888) or its device (e.g. /dev/parport0); rfswitch-panel --list-ports "
                   "lists them",
                   false};
        return status_;
    }
    current_ = &simulated_;
    status_ = simulated_.Open(base_);
    if (!absentWhy.empty())
        status_.reason = std::move(absentWhy);
    if (!absentNext.empty())
        status_.nextStep = std::move(absentNext);
    return status_;
}

PortStatus PortLayer::Refresh()
{
    if (!opened_ || status_.reach == PortReach::Refused)
        return status_;
    if (current_ && current_ != &simulated_) {
        PortStatus status = current_->Refresh();
        // A port that went away is looked for again, e.g. after renumbering.
        if (status.reach != PortReach::Absent) {
            status_ = std::move(status);
            return status_;
        }
    }
    // Simulated, or its port gone: a driver may have come since.
    return Lookup();
}

void PortLayer::Close()
{
    if (current_)
        current_->Close();
    current_ = nullptr;
    opened_ = false;
    device_.clear();
    status_ = {};
}

std::string PortLayer::Hardware() const
{
    return current_ ? current_->Hardware() : std::string();
}

PortIo& PortLayer::Current()
{
    if (!current_)
        throw PortError(opened_ ? status_.reason : "no port opened");
    if (!status_.Writable())
        throw PortError(status_.reason);
    return *current_;
}

std::uint8_t PortLayer::PortIn(std::int32_t port)
{
    return Current().PortIn(port);
}

void PortLayer::PortOut(std::int32_t port, std::uint8_t value)
{
    Current().PortOut(port, value);
}
