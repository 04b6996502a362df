#include "DllPort.h"
#include "PortText.h"

#include <windows.h>

#include <optional>
#include <utility>

namespace {

using PortInFn = std::uint8_t(WINAPI*)(std::int32_t);
using PortOutFn = void(WINAPI*)(std::int32_t, std::uint8_t);
using Inp32Fn = short(WINAPI*)(short);
using Out32Fn = void(WINAPI*)(short, short);
using DriverOpenFn = BOOL(WINAPI*)();

std::string Utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

std::wstring Wide(const std::string& text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

// Windows' own words for an error code, e.g.
// "The specified module could not be found (error 126)".
std::string SystemMessage(DWORD code)
{
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                      | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length > 0 ? Utf8(std::wstring(text, length)) : std::string();
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

// Its dependencies too are looked for only beside it and in the system
// folder. Windows without the search flags refuses them; there the DLL's own
// folder still comes first.
HMODULE LoadByPath(const std::wstring& path)
{
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER)
        module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module;
}


// What Windows' service manager knows of InpOut's kernel driver: nullopt
// where it has no such service (the driver was never installed), else the
// error of its last start (0 or 1077 where there was none).
std::optional<DWORD> InpOutDriverService()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return std::nullopt;
    std::optional<DWORD> exitCode;
    for (const wchar_t* name : {L"inpoutx64", L"inpout32"}) {
        SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
        if (!service)
            continue;
        SERVICE_STATUS status{};
        exitCode = QueryServiceStatus(service, &status) ? status.dwWin32ExitCode : DWORD(0);
        CloseServiceHandle(service);
        break;
    }
    CloseServiceHandle(manager);
    return exitCode;
}

// Why InpOut's driver is not running, and the next step that keeps the PC as safe as it is.
PortStatus DriverNotRunning(const std::string& path, const std::string& name)
{
    const std::optional<DWORD> service = InpOutDriverService();
    if (!service)
        return {PortReach::Unusable, path, name + ": the InpOut driver is not installed",
                "the InpOut driver is not installed on this PC; have it installed, then restart the panel", false};
    const DWORD code = *service;
    return {PortReach::Unusable, path,
            name + ": the InpOut driver is installed, but Windows refused to load it"
                + (code == 0 || code == ERROR_SERVICE_NEVER_STARTED ? std::string() : " (" + SystemMessage(code) + ")")
                + "; memory integrity (core isolation) or the vulnerable-driver blocklist is the likely cause",
            "Windows keeps old port drivers out to keep the PC safe: use a PCIe parallel card whose maker supplies a signed "
            "driver, or the panel's Linux build",
            false};
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

std::vector<std::string> DllPort::StandardFolders()
{
    std::vector<std::string> folders;
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    const std::size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        folders.push_back(Utf8(path.substr(0, slash)));
    std::wstring system(MAX_PATH, L'\0');
    system.resize(GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size())));
    if (!system.empty())
        folders.push_back(Utf8(system));
    return folders;
}

DllPort::DllPort(std::function<bool(std::int32_t)> confirm, std::vector<Library> libraries, std::vector<std::string> folders)
    : confirm_(std::move(confirm)), libraries_(std::move(libraries)), folders_(std::move(folders))
{
}

DllPort::~DllPort()
{
    Unload();
}

void DllPort::Unload()
{
    if (module_)
        FreeLibrary(static_cast<HMODULE>(module_));
    module_ = nullptr;
    loaded_ = nullptr;
    in_ = out_ = nullptr;
    path_.clear();
}

PortStatus DllPort::Load()
{
    std::string names;
    for (std::size_t i = 0; i < libraries_.size(); ++i)
        names += (i == 0 ? "" : i + 1 == libraries_.size() ? " or " : ", ") + libraries_[i].name;
    std::string folders;
    for (std::size_t i = 0; i < folders_.size(); ++i)
        folders += (i == 0 ? "" : i + 1 == folders_.size() ? " or " : ", ") + folders_[i];
    // A DLL that is there but does not load (e.g. a 32-bit one) is passed over
    // and named, so the next candidate still gets its chance.
    std::string broken;

    for (const Library& library : libraries_) {
        for (const std::string& folder : folders_) {
            const std::string path = folder + "\\" + library.name;
            const std::wstring widePath = Wide(path);
            if (GetFileAttributesW(widePath.c_str()) == INVALID_FILE_ATTRIBUTES)
                continue;
            HMODULE module = LoadByPath(widePath);
            if (!module) {
                broken += "; " + path + " does not load: " + SystemMessage(GetLastError());
                continue;
            }
            module_ = module;
            loaded_ = &library;
            path_ = path;
            const bool inpOut = library.exports == Exports::InpOut;
            for (const auto& [name, function] : {std::pair{inpOut ? "Inp32" : "PortIn", &in_},
                                                 std::pair{inpOut ? "Out32" : "PortOut", &out_}}) {
                *function = reinterpret_cast<Proc>(GetProcAddress(module, name));
                if (!*function) {
                    const std::string words = library.name + " has no function " + name + ": " + SystemMessage(GetLastError());
                    Unload();
                    return {PortReach::Unusable, path, words,
                            "replace " + path + " with a port I/O DLL that has "
                                + (inpOut ? "Inp32 and Out32" : "PortIn and PortOut") + ", then restart the panel",
                            false};
                }
            }
            // Without its kernel driver InpOut reads 0 and drops writes silently.
            auto driverOpen = reinterpret_cast<DriverOpenFn>(reinterpret_cast<Proc>(GetProcAddress(module, "IsInpOutDriverOpen")));
            if (inpOut && driverOpen && !driverOpen()) {
                Unload();
                return DriverNotRunning(path, library.name);
            }
            return {PortReach::Real, path, "", "", false};
        }
    }
    return {PortReach::Absent, "", "no port I/O DLL (" + names + ") in " + folders + broken,
            "to reach a board, put " + libraries_.front().name + " beside the panel; it is found without a restart", false};
}

PortStatus DllPort::Admit(std::int32_t base)
{
    if (base < kFirstBase || base > kLastBase)
        return {PortReach::Refused, path_,
                "address " + Place(base) + " refused: the port DLL is only given " + Place(kFirstBase) + " to " + Place(kLastBase),
                "type the port's base address, e.g. 888 or &H378", false};
    if (IsStandardParallelBase(base))
        return {PortReach::Real, path_, "", "", false};
    auto answer = answers_.find(base);
    if (answer == answers_.end() && confirm_)
        answer = answers_.emplace(base, confirm_(base)).first;
    if (answer != answers_.end() && answer->second)
        return {PortReach::Real, path_, "", "", false};
    const bool declined = answer != answers_.end();
    return {PortReach::Refused, path_,
            Place(base) + " is not a standard parallel port address" + (declined ? ", and its use was declined" : ""),
            std::string("type a standard parallel port address: ") + StandardBasesText()
                + (declined ? "; to be asked about " + std::to_string(base) + " again, restart the panel" : ""),
            false};
}

PortStatus DllPort::Open(std::int32_t base)
{
    base_ = -1;
    requested_ = base;
    if (!module_) {
        status_ = Load();
        if (status_.reach != PortReach::Real)
            return status_;
    }
    status_ = Admit(base);
    if (status_.reach != PortReach::Real)
        return status_;
    base_ = base;
    // A driver that reaches no port reads 0xFF everywhere: no port's data,
    // status and control registers all read so.
    bool answers = false;
    for (std::int32_t port = base; port <= base + 2; ++port)
        answers = answers || PortIn(port) != 0xFF;
    if (!answers) {
        base_ = -1;
        status_ = {PortReach::Unusable, path_,
                   loaded_->name + " and its driver are loaded, but no port answers at " + Place(base)
                       + ": its registers all read 0xFF",
                   "look up the port's I/O range in Device Manager (Ports (COM & LPT), the port's Resources tab) and type its "
                   "first address",
                   false};
    }
    return status_;
}

PortStatus DllPort::Refresh()
{
    // Only a missing DLL is looked for again: one placed beside the program
    // later is found. Anything else stays until the next Open().
    if (status_.reach == PortReach::Absent && requested_ >= 0)
        return Open(requested_);
    return status_;
}

void DllPort::Close()
{
    base_ = -1;
    requested_ = -1;
}

void DllPort::CheckRegister(std::int32_t port) const
{
    if (base_ < 0)
        throw PortError(status_.reason.empty() ? std::string("no port opened") : status_.reason);
    if (port < base_ || port - base_ > 2)
        throw PortError(HexAddress(port) + " is not a register of the port at " + HexAddress(base_));
}

std::uint8_t DllPort::PortIn(std::int32_t port)
{
    CheckRegister(port);
    if (loaded_->exports == Exports::PortInOut)
        return reinterpret_cast<PortInFn>(in_)(port);
    return static_cast<std::uint8_t>(reinterpret_cast<Inp32Fn>(in_)(AsShort(port)));
}

void DllPort::PortOut(std::int32_t port, std::uint8_t value)
{
    CheckRegister(port);
    if (loaded_->exports == Exports::PortInOut)
        reinterpret_cast<PortOutFn>(out_)(port, value);
    else
        reinterpret_cast<Out32Fn>(out_)(AsShort(port), value);
}
