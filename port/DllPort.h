#pragma once

#include "PortLayer.h"

#include <string>
#include <vector>

// Ports reached through a Windows port I/O DLL. The DLL is loaded at the first
// access and each of its functions looked up by name at its first call, so a
// machine without one still starts and the failure surfaces at that access.
class DllPort final : public PortIo
{
public:
    // The two export families the panel knows.
    enum class Exports {
        PortInOut,  // PortIn(int) -> byte, PortOut(int, byte)
        InpOut,     // Inp32(short) -> short, Out32(short, short), maybe IsInpOutDriverOpen()
    };
    struct Library
    {
        std::string name;
        Exports exports;
    };

    // Lowest and highest address reached through the DLL: system-board devices
    // sit below 0x100, and a mistyped address must never reach them.
    static constexpr std::int32_t kFirstAddress = 0x100;
    static constexpr std::int32_t kLastAddress = 0xFFFF;

    // IO.DLL, then the 64-bit and the 32-bit InpOut DLLs.
    static std::vector<Library> StandardLibraries();

    // The first library of `libraries` that loads is the one used.
    explicit DllPort(std::vector<Library> libraries = StandardLibraries());
    ~DllPort() override;
    DllPort(const DllPort&) = delete;
    DllPort& operator=(const DllPort&) = delete;

    PortStatus Open(std::int32_t base) override;
    PortStatus Refresh() override { return status_; }
    void Close() override { base_ = -1; }
    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;
    std::string Describe() const;

private:
    // Any exported function, before it is cast to its real type.
    using Proc = void (*)();
    struct Lookup
    {
        const char* name = nullptr;
        Proc function = nullptr;
        std::string failure;
    };

    void CheckAddress(std::int32_t port) const;
    const Library& Load();
    Proc Find(Lookup& lookup);
    Proc InFunction();
    Proc OutFunction();

    std::vector<Library> libraries_;
    void* module_ = nullptr;
    const Library* loaded_ = nullptr;
    // A failed load or lookup is not retried: every later call reports it.
    std::string loadFailure_;
    Lookup in_;
    Lookup out_;
    std::int32_t base_ = -1;
    PortStatus status_;
};
