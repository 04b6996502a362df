// The Windows port layer against the fake port DLLs of dlls/<folder>/, run
// under Wine. The current folder and PATH both lead to an IO.DLL that must
// never run; each step puts its DLLs beside this program or into the system
// folder, and the system's own backends pick one.
#include "DllPort.h"
#include "Expect.h"
#include "Platform.h"
#include "PortLayer.h"
#include "PortText.h"

#include <windows.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace {

std::string here, systemFolder;  // this program's folder, and the system folder

// Copies dlls/<fake> into `folder`; Clear() takes every port DLL away again.
void Place(const std::string& fake, const std::string& folder = here)
{
    CopyFileA((here + "\\dlls\\" + fake).c_str(), (folder + fake.substr(fake.find('\\'))).c_str(), FALSE);
}

void Clear()
{
    for (const std::string& path : {here + "\\IO.DLL", here + "\\inpoutx64.dll", here + "\\inpout32.dll", systemFolder + "\\inpout32.dll"})
        DeleteFileA(path.c_str());
}

// The accesses a loaded fake DLL has seen, e.g. " w378:01 r378:01".
std::string Seen(const std::string& dll)
{
    HMODULE module = GetModuleHandleA(dll.c_str());
    using FakeAccesses = const char*(WINAPI*)();
    return module ? reinterpret_cast<FakeAccesses>(reinterpret_cast<void (*)()>(GetProcAddress(module, "FakeAccesses")))() : " not loaded";
}

// "Reach|device|reason|next step". No text may send the user to raise the panel's rights, or to turn a protection off.
std::string Said(const PortStatus& status)
{
    static const char* const reaches[] = {"Real", "Unusable", "Absent", "Refused", "Simulated"};
    const std::string words = status.reason + " " + status.nextStep;
    const bool advises = std::regex_search(words, std::regex("admin|elevat|run as", std::regex::icase));
    const bool lowers = std::regex_search(words, std::regex("disabl|turn(ing)? (it |them )?off|switch(ing)? (it |them )?off|"
                                                            "allow the driver|test.?sign", std::regex::icase));
    return reaches[int(status.reach)] + ("|" + status.device) + "|" + status.reason + "|" + status.nextStep
           + (advises ? " (advises raised rights)" : "") + (lowers ? " (advises lowering a protection)" : "");
}

// InpOut's kernel driver as its installer registers it, or gone again.
void DriverService(bool installed)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = installed ? CreateServiceA(manager, "inpoutx64", "inpoutx64", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                                   SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                   "C:\\windows\\system32\\drivers\\inpoutx64.sys", nullptr, nullptr, nullptr, nullptr, nullptr)
                                  : OpenServiceA(manager, "inpoutx64", DELETE);
    if (service && !installed)
        DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

template <typename Call>
std::string ErrorOf(Call call)
{
    try { call(); } catch (const PortError& error) { return error.what(); }
    return "no error";
}

} // namespace

int main()
{
    char path[32768];
    here.assign(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    here.resize(here.find_last_of('\\'));
    systemFolder.assign(path, GetSystemDirectoryA(path, MAX_PATH));
    path[GetEnvironmentVariableA("PATH", path, sizeof path)] = '\0';
    SetEnvironmentVariableA("PATH", (here + "\\dlls\\io;" + path).c_str());
    SetCurrentDirectoryA((here + "\\dlls\\io").c_str());
    Clear();

    // Nothing beside the program at first; IO.DLL put there later is found on
    // refresh, ahead of inpoutx64.dll. Each non-standard base is opened twice:
    // the user's answer holds for the run.
    {
        const std::string io = here + "\\IO.DLL";
        const std::string standard = "type a standard parallel port address: 888 (0x378), 632 (0x278) or 956 (0x3BC)";
        std::string asked;
        PortLayer layer(MakeSystemBackends({false, [&](std::int32_t base) {
                                                asked += " " + HexAddress(base);
                                                return base != 1000;
                                            }}));
        DllPort alone;  // the backend by itself, without the layer's own lookups, and no one to ask
        alone.Open(0x2F8);
        const std::string said = Said(layer.Open(0x378));
        Expect(said + Seen("IO.DLL"),
               "Simulated|simulated port|no port I/O DLL (IO.DLL, inpoutx64.dll or inpout32.dll) in " + here + " or " + systemFolder
                   + "|to reach a board, put IO.DLL beside the panel; it is found without a restart not loaded",
               "IO.DLL only in the current folder and on PATH");

        Place("io\\IO.DLL");
        Place("inpoutx64\\inpoutx64.dll");
        Expect(Said(layer.Refresh()) + " " + Said(alone.Refresh()),
               "Real|" + io + "|| Refused|" + io + "|760 (0x2F8) is not a standard parallel port address|" + standard,
               "IO.DLL put beside later, found on refresh; 0x2F8 with no one to ask");
        for (std::int32_t base : {0x278, 0x3BC, 0x378})
            Expect(Said(layer.Open(base)), "Real|" + io + "||", "standard base " + HexAddress(base));
        layer.PortOut(0x378, 0x01);
        const std::uint8_t data = layer.PortIn(0x378);
        layer.PortOut(0x37A, 0x00);
        Expect(ErrorOf([&] { layer.PortOut(0x37B, 0xFF); }) + ", " + ErrorOf([&] { layer.PortIn(0x377); }),
               "0x37B is not a register of the port at 0x378, 0x377 is not a register of the port at 0x378", "only base to base+2");

        Expect(Said(layer.Open(1000)),
               "Refused|" + io + "|1000 (0x3E8) is not a standard parallel port address, and its use was declined|" + standard
                   + "; to be asked about 1000 again, restart the panel",
               "1000 declined");
        Expect(ErrorOf([&] { layer.PortOut(1000, 0x01); }), "1000 (0x3E8) is not a standard parallel port address, and its use was declined",
               "a declined address is not written");
        layer.Open(1000);
        Expect(Said(layer.Open(0xD010)), "Real|" + io + "||", "0xD010 accepted");
        layer.PortOut(0xD010, 0xA5);
        layer.PortOut(0xD012, 0x00);
        layer.Open(0xD010);
        const std::uint8_t back = layer.PortIn(0xD010);
        Expect(Said(layer.Open(0xFF)),
               "Refused|" + io + "|address 255 (0xFF) refused: the port DLL is only given 256 (0x100) to 65533 (0xFFFD)"
                   "|type the port's base address, e.g. 888 or &H378",
               "below 0x100");
        Expect(asked, " 0x3E8 0xD010", "each non-standard base asked once");
        // Each port opened is read once: a port that answers reads other than 0xFF.
        Expect(Seen("IO.DLL") + " read " + HexByte(data) + " " + HexByte(back) + Seen("inpoutx64.dll"),
               " r378:00 r278:00 r3BC:00 r378:00 w378:01 r378:01 w37A:00 rD010:00 wD010:A5 wD012:00 rD010:A5 rD010:A5 read 0x01 0xA5 "
               "not loaded",
               "IO.DLL ahead of inpoutx64.dll; only the standard and the accepted ports reached, nothing written at opening");
        Expect(NonStandardAddressQuestion(1000),
               "1000 (0x3E8) is not a standard parallel port address; writing to it may disturb another device. Use it anyway?", "the question");
    }

    // Without IO.DLL: each InpOut DLL in turn, the system folder's last. A DLL
    // whose driver is not running (never installed, or refused by Windows),
    // or that lacks a function, is named and let go; a driver that reaches no
    // port is told apart, and nothing is written through it.
    enum Driver { Running, NotInstalled, Refused, NoPort };
    struct Step { std::vector<std::string> fakes; std::string folder, dll, expected; Driver driver = Running; };
    const std::string x64 = "inpoutx64\\inpoutx64.dll", unusable = "Unusable|" + here + "\\inpoutx64.dll|inpoutx64.dll";
    for (const Step& step : std::vector<Step>{
             {{x64, "inpout32\\inpout32.dll"}, here, "inpoutx64.dll", "Real|" + here + "\\inpoutx64.dll|| r278:00 w278:03"},
             {{"inpout32\\inpout32.dll"}, systemFolder, "inpout32.dll", "Real|" + systemFolder + "\\inpout32.dll|| r278:00 w278:03"},
             {{x64}, here, "inpoutx64.dll", unusable + ": the InpOut driver is not installed|the InpOut driver is not installed on this "
                  "PC; have it installed, then restart the panel not loaded", NotInstalled},
             {{x64}, here, "inpoutx64.dll", unusable + ": the InpOut driver is installed, but Windows refused to load it; memory "
                  "integrity (core isolation) or the vulnerable-driver blocklist is the likely cause|Windows keeps old port drivers out "
                  "to keep the PC safe: use a PCIe parallel card whose maker supplies a signed driver, or the panel's Linux build not "
                  "loaded", Refused},
             {{x64}, here, "inpoutx64.dll", unusable + " and its driver are loaded, but no port answers at 632 (0x278): its registers "
                  "all read 0xFF|look up the port's I/O range in Device Manager (Ports (COM & LPT), the port's Resources tab) and type "
                  "its first address r278:FF r279:FF r27A:FF", NoPort},
             {{"missing\\IO.DLL"}, here, "IO.DLL",
              "Unusable|" + here + "\\IO.DLL|IO.DLL has no function PortOut: Procedure not found (error 127)|replace " + here
                  + "\\IO.DLL with a port I/O DLL that has PortIn and PortOut, then restart the panel not loaded"},
         }) {
        Clear();
        for (const std::string& fake : step.fakes)
            Place(fake, step.folder);
        SetEnvironmentVariableA("FAKE_INPOUT_DRIVER", step.driver == NotInstalled || step.driver == Refused ? "closed" : nullptr);
        SetEnvironmentVariableA("FAKE_PORT_DEAD", step.driver == NoPort ? "dead" : nullptr);
        DriverService(step.driver == Refused);
        PortLayer layer(MakeSystemBackends({}));
        const std::string opened = Said(layer.Open(0x278)), refreshed = Said(layer.Refresh());
        ErrorOf([&] { layer.PortOut(0x278, 0x03); });
        Expect(opened + (refreshed == opened ? "" : ", refreshed: " + refreshed) + Seen(step.dll), step.expected, step.dll + " in " + step.folder);
    }
    Clear();
    DriverService(false);

    Expect(IsNtPlatform() ? "NT" : "not NT", "NT", "Wine's Windows version");
    std::printf("%d failed\n", failed);
    return failed == 0 ? 0 : 1;
}
