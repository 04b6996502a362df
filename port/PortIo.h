#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// A failed port access. what() carries the device's own words
// ("/dev/parport0: permission denied"), which the window shows as they are.
class PortError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The two operations the panel needs from an I/O port library, plus what the
// status line says about the port behind an address.
class PortIo
{
public:
    virtual ~PortIo() = default;

    // Reads the byte currently readable at the I/O port. Throws PortError.
    virtual std::uint8_t PortIn(std::int32_t port) = 0;
    // Puts the byte on the I/O port. Throws PortError.
    virtual void PortOut(std::int32_t port, std::uint8_t value) = 0;

    virtual bool IsSimulated(std::int32_t port) const = 0;
    // One line for the status bar, e.g. "/dev/parport0" or
    // "simulated — no parallel port found".
    virtual std::string Describe(std::int32_t port) const = 0;
};

// The layer every port access goes through: the system's own unless a test or
// benchmark has put another in its place.
PortIo& Ports();

// Puts `layer` in place of the current one (nullptr: the system's own) and
// returns the one it replaced.
PortIo* UsePorts(PortIo* layer);

// Swaps the whole layer for the lifetime of the object.
class ScopedPorts
{
public:
    explicit ScopedPorts(PortIo& layer) : previous_(UsePorts(&layer)) {}
    ~ScopedPorts() { UsePorts(previous_); }
    ScopedPorts(const ScopedPorts&) = delete;
    ScopedPorts& operator=(const ScopedPorts&) = delete;

private:
    PortIo* previous_;
};
