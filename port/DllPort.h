#pragma once

#include "PortLayer.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

// Ports reached through a Windows port I/O DLL. The DLL is loaded by its full
// path from the program's own folder or the system folder only, so a DLL of
// the same name in the current folder or on PATH never runs in the panel.
// Where InpOut's driver is not running, the service manager tells whether it
// was never installed or Windows refused to load it (memory integrity, the
// vulnerable-driver blocklist). Open() reads the port's three registers, and
// writes none, to tell a port that does not answer.
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

    // Lowest and highest base reached through the DLL: system-board devices
    // sit below 0x100, and the control register must stay inside 0xFFFF.
    static constexpr std::int32_t kFirstBase = 0x100;
    static constexpr std::int32_t kLastBase = 0xFFFD;

    // IO.DLL, then the 64-bit and the 32-bit InpOut DLLs.
    static std::vector<Library> StandardLibraries();
    // The program's own folder, then the system folder (UTF-8).
    static std::vector<std::string> StandardFolders();

    // `confirm` is asked once per address that is not a standard parallel
    // port base; unset, such addresses are refused. Each library is looked
    // for in each folder; the first that loads is used.
    explicit DllPort(std::function<bool(std::int32_t base)> confirm = {},
                     std::vector<Library> libraries = StandardLibraries(),
                     std::vector<std::string> folders = StandardFolders());
    ~DllPort() override;
    DllPort(const DllPort&) = delete;
    DllPort& operator=(const DllPort&) = delete;

    PortStatus Open(std::int32_t base) override;
    PortStatus Refresh() override;
    void Close() override;
    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;

private:
    // Any exported function, before it is cast to its real type.
    using Proc = void (*)();

    PortStatus Load();
    PortStatus Admit(std::int32_t base);
    void Unload();
    void CheckRegister(std::int32_t port) const;

    std::function<bool(std::int32_t)> confirm_;
    std::vector<Library> libraries_;
    std::vector<std::string> folders_;
    void* module_ = nullptr;
    const Library* loaded_ = nullptr;
    std::string path_;  // full path of the loaded DLL
    Proc in_ = nullptr;
    Proc out_ = nullptr;
    // The user's answer for each non-standard base, kept for the run.
    std::map<std::int32_t, bool> answers_;
    std::int32_t base_ = -1;       // the opened port, -1 when none
    std::int32_t requested_ = -1;  // the last base asked for, until Close()
    PortStatus status_;
};
