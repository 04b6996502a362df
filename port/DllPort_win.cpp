#include "DllPort.h"
#include "PortText.h"

#include <windows.h>

#include <cstdio>
#include <utility>

namespace {

using PortInFn = std::uint8_t(WINAPI*)(std::int32_t);
using PortOutFn = void(WINAPI*)(std::int32_t, std::uint8_t);
using Inp32Fn = short(WINAPI*)(short);
using Out32Fn = void(WINAPI*)(short, short);
using DriverOpenFn = BOOL(WINAPI*)();

// Windows' own words for an error code, in UTF-8, e.g.
// "The specified module could not be found (error 126)".
std::string SystemMessage(DWORD code)
{
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                      | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message;
    if (length > 0) {
        int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        message.resize(static_cast<std::size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), message.data(), size, nullptr, nullptr);
    }
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == '.' || static_cast<unsigned char>(message.back()) <= ' '))
        message.pop_back();
    if (message.empty())
        message = "Windows error";
    return message + " (error " + std::to_string(code) + ")";
}


// InpOut takes 16-bit signed addresses and values; the bits are what count.
short AsShort(std::int32_t value)
{
    return static_cast<short>(static_cast<std::uint16_t>(value));
}

} // namespace

std::vector<DllPort::Library> DllPort::StandardLibraries()
{
    return {
        {"IO.DLL", Exports::PortInOut},
        {"inpoutx64.dll", Exports::InpOut},
        {"inpout32.dll", Exports::InpOut},
    };
}

DllPort::DllPort(std::vector<Library> libraries) : libraries_(std::move(libraries)) {}

DllPort::~DllPort()
{
    if (module_)
        FreeLibrary(static_cast<HMODULE>(module_));
}

void DllPort::CheckAddress(std::int32_t port) const
{
    if (base_ >= 0 && (port < base_ || port - base_ > 2))
        throw PortError(HexAddress(port) + " is not a register of the opened port");
    if (port < kFirstAddress || port > kLastAddress)
        throw PortError("address " + std::to_string(port) + " (" + HexAddress(port)
                        + ") refused: only 0x100 to 0xFFFF are passed to the port DLL");
}

const DllPort::Library& DllPort::Load()
{
    if (loaded_)
        return *loaded_;
    if (!loadFailure_.empty())
        throw PortError(loadFailure_);

    // Each DLL that does not load and why; the first that loads is used.
    std::vector<std::pair<std::string, DWORD>> failures;
    for (const Library& library : libraries_) {
        HMODULE module = LoadLibraryA(library.name.c_str());
        if (!module) {
            failures.emplace_back(library.name, GetLastError());
            continue;
        }
        if (library.exports == Exports::InpOut) {
            // Without its kernel driver InpOut reads 0 and drops writes silently.
            auto driverOpen = reinterpret_cast<DriverOpenFn>(
                reinterpret_cast<Proc>(GetProcAddress(module, "IsInpOutDriverOpen")));
            if (driverOpen && !driverOpen()) {
                FreeLibrary(module);
                loadFailure_ = library.name + ": the InpOut driver is not running "
                               "(start the panel once as administrator to install it)";
                throw PortError(loadFailure_);
            }
        }
        module_ = module;
        loaded_ = &library;
        in_.name = library.exports == Exports::PortInOut ? "PortIn" : "Inp32";
        out_.name = library.exports == Exports::PortInOut ? "PortOut" : "Out32";
        return library;
    }

    if (failures.empty()) {
        loadFailure_ = "no port I/O DLL configured";
    } else {
        bool sameError = true;
        for (const auto& failure : failures)
            sameError = sameError && failure.second == failures.front().second;
        loadFailure_ = "cannot load ";
        for (std::size_t i = 0; i < failures.size(); ++i) {
            if (i > 0)
                loadFailure_ += sameError ? (i + 1 == failures.size() ? " or " : ", ") : "; ";
            loadFailure_ += failures[i].first;
            if (!sameError)
                loadFailure_ += ": " + SystemMessage(failures[i].second);
        }
        if (sameError)
            loadFailure_ += ": " + SystemMessage(failures.front().second);
    }
    throw PortError(loadFailure_);
}

DllPort::Proc DllPort::Find(Lookup& lookup)
{
    if (lookup.function)
        return lookup.function;
    if (lookup.failure.empty()) {
        lookup.function = reinterpret_cast<Proc>(GetProcAddress(static_cast<HMODULE>(module_), lookup.name));
        if (lookup.function)
            return lookup.function;
        DWORD error = GetLastError();
        lookup.failure = loaded_->name + " has no function " + lookup.name + ": " + SystemMessage(error);
    }
    throw PortError(lookup.failure);
}

DllPort::Proc DllPort::InFunction()
{
    Load();
    return Find(in_);
}

DllPort::Proc DllPort::OutFunction()
{
    Load();
    return Find(out_);
}

std::uint8_t DllPort::PortIn(std::int32_t port)
{
    CheckAddress(port);
    Proc function = InFunction();
    if (loaded_->exports == Exports::PortInOut)
        return reinterpret_cast<PortInFn>(function)(port);
    return static_cast<std::uint8_t>(reinterpret_cast<Inp32Fn>(function)(AsShort(port)));
}

void DllPort::PortOut(std::int32_t port, std::uint8_t value)
{
    CheckAddress(port);
    Proc function = OutFunction();
    if (loaded_->exports == Exports::PortInOut)
        reinterpret_cast<PortOutFn>(function)(port, value);
    else
        reinterpret_cast<Out32Fn>(function)(AsShort(port), value);
}

std::string DllPort::Describe() const
{
    return loaded_ ? loaded_->name : "port I/O DLL, not loaded yet";
}

PortStatus DllPort::Open(std::int32_t base)
{
    // The panel both reads and writes, so a DLL missing either function
    // cannot drive the board: the address stays simulated and says why.
    base_ = -1;
    try {
        CheckAddress(base);
        InFunction();
        OutFunction();
        base_ = base;
        status_ = {PortReach::Real, Describe(), "", "", false};
    } catch (const PortError& error) {
        status_ = {PortReach::Absent, "", error.what(), "", false};
    }
    return status_;
}
