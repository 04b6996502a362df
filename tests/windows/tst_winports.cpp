// The Windows port layer against fake port DLLs, run under Wine. Each case
// points the DLL search at one folder of dlls/ and uses the system's own
// backends, so the DLL names and their order are the ones the panel uses.
#include "DllPort.h"
#include "Platform.h"
#include "PortLayer.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string& what)
{
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    ++(ok ? passed : failed);
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

struct Access
{
    int write;
    int port;
    int value;
    bool operator==(const Access&) const = default;
};

std::string Text(const std::vector<Access>& accesses)
{
    std::string text;
    char item[32];
    for (const Access& a : accesses) {
        if (a.write)
            std::snprintf(item, sizeof item, " out(0x%X,0x%02X)", a.port, a.value);
        else
            std::snprintf(item, sizeof item, " in(0x%X)=0x%02X", a.port, a.value);
        text += item;
    }
    return text.empty() ? " none" : text;
}

// What the loaded fake DLL has seen, oldest first.
std::vector<Access> Recorded(const char* dll)
{
    HMODULE module = GetModuleHandleA(dll);
    if (!module)
        return {};
    using FakeAccessesFn = int(WINAPI*)(Access*, int);
    auto fakeAccesses = reinterpret_cast<FakeAccessesFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "FakeAccesses")));
    std::vector<Access> accesses(1024);
    accesses.resize(static_cast<std::size_t>(fakeAccesses(accesses.data(), 1024)));
    return accesses;
}

void CheckRecorded(const char* dll, const std::vector<Access>& expected, const std::string& what)
{
    std::vector<Access> actual = Recorded(dll);
    Check(actual == expected, what + ":" + Text(actual) + (actual == expected ? "" : " expected" + Text(expected)));
}

bool IsLoaded(const char* dll)
{
    return GetModuleHandleA(dll) != nullptr;
}

// Makes dlls/<folder> next to this program the place where DLLs are found.
void SearchDllsIn(const char* folder)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, length);
    dir = dir.substr(0, dir.find_last_of("\\/")) + "\\dlls\\" + folder;
    SetDllDirectoryA(dir.c_str());
    std::printf("-- DLLs from %s\n", dir.c_str());
}

template <typename Call>
std::string ErrorOf(Call call)
{
    try {
        call();
    } catch (const PortError& error) {
        return error.what();
    }
    return {};
}

const std::string kSimulated = "simulated \u2014 ";

void NoDllFailsAtFirstCall()
{
    SearchDllsIn("none");
    DllPort port;  // loading nothing yet, so nothing can fail here
    std::string error = ErrorOf([&] { port.PortIn(0x378); });
    std::printf("   first PortIn: %s\n", error.c_str());
    Check(Contains(error, "cannot load IO.DLL, inpoutx64.dll or inpout32.dll: ") && Contains(error, "(error 126)"),
          "no DLL: the first PortIn names every DLL tried and Windows' reason");
    Check(ErrorOf([&] { port.PortOut(0x378, 1); }) == error, "no DLL: PortOut reports the same");

    PortLayer layer(MakeSystemBackends());
    std::string status = layer.Describe(0x378);
    Check(status == kSimulated + error, "no DLL: the status line says why: " + status);
    layer.PortOut(0x378, 0x5A);
    Check(layer.IsSimulated(0x378) && layer.PortIn(0x378) == 0x5A, "no DLL: the panel runs on the simulated port");
}

void IoDllLoadsAtFirstAccessAndCarriesEveryAccess()
{
    SearchDllsIn("io");
    {
        DllPort port;
        Check(!ErrorOf([&] { port.PortOut(0x60, 0xAB); }).empty() && !IsLoaded("IO.DLL"),
              "IO.DLL: 0x60 is refused before the DLL is even loaded");
    }
    {
        PortLayer layer(MakeSystemBackends());
        Check(!IsLoaded("IO.DLL"), "IO.DLL: not loaded before the first access");
        layer.PortOut(0x378, 0x01);
        Check(IsLoaded("IO.DLL"), "IO.DLL: loaded by the first access");
        std::uint8_t data = layer.PortIn(0x378);
        layer.PortOut(0x37A, 0x00);
        layer.PortOut(0xFFFF, 0xF1);
        std::uint8_t high = layer.PortIn(0xFFFF);
        Check(data == 0x01 && high == 0xF1, "IO.DLL: reads return the bytes written");
        // Outside 0x100..0xFFFF nothing reaches the DLL.
        // (the simulated port itself has no 0x10000 and says so)
        for (std::int32_t refused : {0x60, 0xFF, 0x10000}) {
            ErrorOf([&] { layer.PortOut(refused, 0xAB); });
            ErrorOf([&] { layer.PortIn(refused); });
        }
        CheckRecorded("IO.DLL", {{1, 0x378, 0x01}, {0, 0x378, 0x01}, {1, 0x37A, 0x00}, {1, 0xFFFF, 0xF1}, {0, 0xFFFF, 0xF1}},
                      "IO.DLL: accesses in order, none outside 0x100..0xFFFF");
        Check(layer.Describe(0x378) == "IO.DLL" && !layer.IsSimulated(0x37A), "IO.DLL: status: " + layer.Describe(0x378));
        std::string refused = layer.Describe(0x60);
        Check(layer.IsSimulated(0x60) && Contains(refused, "address 96 (0x60) refused"), "IO.DLL: status for 0x60: " + refused);
    }
    Check(!IsLoaded("IO.DLL"), "IO.DLL: released with the port layer");
}

void InpOutDllsFollowIoDll()
{
    SearchDllsIn("inpoutx64");
    {
        PortLayer layer(MakeSystemBackends());
        // Cards on a PCI bus sit high; InpOut's 16-bit signed address must carry them.
        layer.PortOut(0xD010, 0xA5);
        std::uint8_t value = layer.PortIn(0xD010);
        layer.PortOut(0x378, 0x02);
        Check(value == 0xA5, "inpoutx64.dll: reads return the bytes written");
        CheckRecorded("inpoutx64.dll", {{1, 0xD010, 0xA5}, {0, 0xD010, 0xA5}, {1, 0x378, 0x02}},
                      "inpoutx64.dll: accesses in order");
        Check(layer.Describe(0x378) == "inpoutx64.dll", "inpoutx64.dll: status: " + layer.Describe(0x378));
    }
    SetEnvironmentVariableA("FAKE_INPOUT_DRIVER", "closed");
    {
        PortLayer layer(MakeSystemBackends());
        std::string status = layer.Describe(0x378);
        Check(Contains(status, kSimulated + "inpoutx64.dll: the InpOut driver is not running"),
              "inpoutx64.dll without its driver: status: " + status);
        Check(!IsLoaded("inpoutx64.dll"), "inpoutx64.dll without its driver: not kept loaded");
    }
    SetEnvironmentVariableA("FAKE_INPOUT_DRIVER", nullptr);

    SearchDllsIn("inpout32");
    PortLayer layer(MakeSystemBackends());
    layer.PortOut(0x278, 0x03);
    CheckRecorded("inpout32.dll", {{1, 0x278, 0x03}}, "inpout32.dll: used when it is the only one");
}

void MissingFunctionFailsAtItsFirstCall()
{
    SearchDllsIn("missing");
    {
        DllPort port;
        std::uint8_t value = port.PortIn(0x378);
        std::string error = ErrorOf([&] { port.PortOut(0x378, 0x01); });
        std::printf("   first PortOut: %s\n", error.c_str());
        Check(value == 0 && Contains(error, "IO.DLL has no function PortOut: ") && Contains(error, "(error 127)"),
              "IO.DLL without PortOut: PortIn works, the first PortOut fails naming the function");
        CheckRecorded("IO.DLL", {{0, 0x378, 0x00}}, "IO.DLL without PortOut: only the read arrived");
    }
    PortLayer layer(MakeSystemBackends());
    std::string status = layer.Describe(0x378);
    layer.PortOut(0x378, 0x07);
    Check(Contains(status, kSimulated + "IO.DLL has no function PortOut") && layer.PortIn(0x378) == 0x07,
          "IO.DLL without PortOut: the panel runs simulated, status: " + status);
    CheckRecorded("IO.DLL", {}, "IO.DLL without PortOut: the panel's accesses do not reach it");
}

void WineCountsAsNt()
{
    OsVersionInfo info;
    int result = SystemVersionQuery(info);
    std::printf("   GetVersionExA: %d, version %u.%u build %u, platform %u\n", result,
                static_cast<unsigned>(info.majorVersion), static_cast<unsigned>(info.minorVersion),
                static_cast<unsigned>(info.buildNumber), static_cast<unsigned>(info.platformId));
    Check(IsNtPlatform(), "IsNtPlatform is true on Wine's Windows version");
}

} // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    NoDllFailsAtFirstCall();
    IoDllLoadsAtFirstAccessAndCarriesEveryAccess();
    InpOutDllsFollowIoDll();
    MissingFunctionFailsAtItsFirstCall();
    WineCountsAsNt();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
