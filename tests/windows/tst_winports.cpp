// The Windows port layer against fake port DLLs, run under Wine. Where a DLL
// is found depends on where the program sits, so each case runs in a copy of
// this program laid out beside its own DLLs in layouts/<case>, started from a
// folder of its own; the system's own backends pick the DLL.
#include "DllPort.h"
#include "Platform.h"
#include "PortLayer.h"
#include "PortText.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int failed = 0;

void Check(bool ok, const std::string& what)
{
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    failed += !ok;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Folder(const std::string& path) { return path.substr(0, path.find_last_of("\\/")); }

std::string ProgramPath()
{
    char path[MAX_PATH];
    return std::string(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
}

std::string SystemFolder()
{
    char path[MAX_PATH];
    return std::string(path, GetSystemDirectoryA(path, MAX_PATH));
}

// The folder that holds dlls/ and layouts/: beside the parent, two up from a case.
std::string BuildFolder(bool inCase) { return inCase ? Folder(Folder(Folder(ProgramPath()))) : Folder(ProgramPath()); }

// The accesses the fake DLL has seen, e.g. " w378:01 r378:01", or " not loaded".
void Expect(const char* dll, const std::string& expected, const std::string& what)
{
    HMODULE module = GetModuleHandleA(dll);
    using FakeAccesses = const char*(WINAPI*)();
    const std::string seen = module ? reinterpret_cast<FakeAccesses>(reinterpret_cast<void (*)()>(GetProcAddress(module, "FakeAccesses")))() : " not loaded";
    Check(seen == expected, what + ": " + dll + seen + (seen == expected ? "" : ", expected" + expected));
}

const char* ReachName(PortReach reach)
{
    switch (reach) {
    case PortReach::Real: return "Real";
    case PortReach::Unusable: return "Unusable";
    case PortReach::Absent: return "Absent";
    case PortReach::Refused: return "Refused";
    }
    return "?";
}

// Checks the reach and every text shown, which never sends the user to run
// the panel with raised rights.
void ExpectStatus(const PortStatus& status, PortReach reach, const std::string& device, const std::string& reason,
                  const std::string& nextStep, const std::string& what)
{
    std::string lower = status.reason + " " + status.nextStep;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool ok = status.reach == reach && status.device == device && Has(status.reason, reason)
                    && (reason.empty() == status.reason.empty()) && status.nextStep == nextStep
                    && !Has(lower, "admin") && !Has(lower, "elevat") && !Has(lower, "run as");
    Check(ok, what + ": " + ReachName(status.reach) + " [" + status.device + "] " + status.reason + " | " + status.nextStep);
}

template <typename Call>
std::string ErrorOf(Call call)
{
    try { call(); } catch (const PortError& error) { return error.what(); }
    return {};
}

const std::string kStandard = "type a standard parallel port address: 888 (0x378), 632 (0x278) or 956 (0x3BC)";

// ---- the cases, each run in its own layout ----

// The current folder and PATH hold an IO.DLL; the program's folder holds none.
void CurrentFolder()
{
    const std::string here = Folder(ProgramPath());
    PortLayer layer(MakeSystemBackends({}));
    DllPort alone;  // the backend by itself, without the layer's own lookups
    Check(alone.Open(0x378).reach == PortReach::Absent && alone.Refresh().reach == PortReach::Absent, "DllPort alone: absent");
    ExpectStatus(layer.Open(0x378), PortReach::Absent, "simulated port",
                 "no port I/O DLL (IO.DLL, inpoutx64.dll or inpout32.dll) in " + here + " or " + SystemFolder(),
                 "to reach a board, put IO.DLL beside the panel; it is found without a restart", "IO.DLL only in the current folder and on PATH");
    layer.PortOut(0x378, 0x5A);
    Check(layer.PortIn(0x378) == 0x5A, "the simulated port stands in");
    Expect("IO.DLL", " not loaded", "the current folder's IO.DLL never runs");

    CopyFileA((BuildFolder(true) + "\\dlls\\io\\IO.DLL").c_str(), (here + "\\IO.DLL").c_str(), FALSE);
    ExpectStatus(layer.Refresh(), PortReach::Real, here + "\\IO.DLL", "", "", "IO.DLL put beside the program later, on refresh");
    ExpectStatus(alone.Refresh(), PortReach::Real, here + "\\IO.DLL", "", "", "DllPort alone, on refresh");
    layer.PortOut(0x378, 0x01);
    Expect("IO.DLL", " w378:01", "the one beside the program is driven");
}

// IO.DLL beside the program, ahead of an InpOut DLL there too.
void Beside()
{
    const std::string dll = Folder(ProgramPath()) + "\\IO.DLL";
    std::vector<std::int32_t> asked;
    PortLayer layer(MakeSystemBackends({false, [&](std::int32_t base) {
                                            asked.push_back(base);
                                            return base != 1000;
                                        }}));
    for (std::int32_t base : {0x378, 0x278, 0x3BC})
        ExpectStatus(layer.Open(base), PortReach::Real, dll, "", "", "standard base " + HexAddress(base));
    layer.Open(0x378);
    layer.PortOut(0x378, 0x01);
    const std::uint8_t data = layer.PortIn(0x378);
    layer.PortOut(0x37A, 0x00);
    const std::string outside = ErrorOf([&] { layer.PortOut(0x37B, 0xFF); }) + ErrorOf([&] { layer.PortIn(0x377); });
    Check(data == 0x01 && Has(outside, "0x37B is not a register of the port at 0x378") && Has(outside, "0x377"),
          "standard base driven, only base..base+2: " + outside);
    Expect("IO.DLL", " w378:01 r378:01 w37A:00", "accesses in order");
    Expect("inpoutx64.dll", " not loaded", "IO.DLL comes first");
    Check(asked.empty(), "no question for a standard base");

    ExpectStatus(layer.Open(1000), PortReach::Refused, dll, "1000 (0x3E8) is not a standard parallel port address, and its use was declined",
                 kStandard + "; to be asked about 1000 again, restart the panel", "1000 declined");
    const std::string error = ErrorOf([&] { layer.PortOut(1000, 0x01); });
    layer.Open(1000);
    Check(asked == std::vector<std::int32_t>{1000} && Has(error, "declined"), "1000 asked once, write refused: " + error);
    Expect("IO.DLL", " w378:01 r378:01 w37A:00", "a declined address is never reached");

    ExpectStatus(layer.Open(0xD010), PortReach::Real, dll, "", "", "0xD010 accepted");
    layer.PortOut(0xD010, 0xA5);
    layer.PortOut(0xD012, 0x00);
    layer.Open(0xD010);
    Check(layer.PortIn(0xD010) == 0xA5 && asked == std::vector<std::int32_t>{1000, 0xD010}, "0xD010 asked once, driven");
    Expect("IO.DLL", " w378:01 r378:01 w37A:00 wD010:A5 wD012:00 rD010:A5", "an accepted address is driven");

    ExpectStatus(layer.Open(0xFF), PortReach::Refused, dll, "address 255 (0xFF) refused: the port DLL is only given 256 (0x100) to 65533 (0xFFFD)",
                 "type the port's base address, e.g. 888 or &H378", "below 0x100");
    PortLayer unasked(MakeSystemBackends({}));
    ExpectStatus(unasked.Open(0x2F8), PortReach::Refused, dll, "760 (0x2F8) is not a standard parallel port address", kStandard,
                 "non-standard base with no one to ask");
    Check(asked.size() == 2, "nothing asked for 0xFF or by another layer");
    Expect("IO.DLL", " w378:01 r378:01 w37A:00 wD010:A5 wD012:00 rD010:A5", "refused addresses are never reached");
    Check(NonStandardAddressQuestion(1000)
              == "1000 (0x3E8) is not a standard parallel port address; writing to it may disturb another device. Use it anyway?",
          "the question: " + NonStandardAddressQuestion(1000));
}

// Each InpOut DLL is found in turn; the system folder counts as well.
void InpOut(const char* dll, const std::string& folder)
{
    PortLayer layer(MakeSystemBackends({}));
    ExpectStatus(layer.Open(0x278), PortReach::Real, folder + "\\" + dll, "", "", std::string(dll) + " in " + folder);
    layer.PortOut(0x278, 0x03);
    Expect(dll, " w278:03", "driven");
}

void DriverClosed()
{
    SetEnvironmentVariableA("FAKE_INPOUT_DRIVER", "closed");
    PortLayer layer(MakeSystemBackends({}));
    const std::string dll = Folder(ProgramPath()) + "\\inpoutx64.dll";
    const std::string next = "the InpOut driver is not installed on this PC; have it installed, then restart the panel";
    ExpectStatus(layer.Open(0x378), PortReach::Unusable, dll, "inpoutx64.dll: the InpOut driver is not running", next, "no driver");
    ExpectStatus(layer.Refresh(), PortReach::Unusable, dll, "inpoutx64.dll: the InpOut driver is not running", next, "no driver, refreshed");
    const std::string error = ErrorOf([&] { layer.PortOut(0x378, 0x01); });
    Check(Has(error, "the InpOut driver is not running"), "no driver: writes fail, not simulated: " + error);
    Expect("inpoutx64.dll", " not loaded", "no driver: not kept");
}

void MissingFunction()
{
    PortLayer layer(MakeSystemBackends({}));
    const std::string dll = Folder(ProgramPath()) + "\\IO.DLL";
    const PortStatus status = layer.Open(0x378);
    ExpectStatus(status, PortReach::Unusable, dll, "IO.DLL has no function PortOut: ",
                 "replace " + dll + " with a port I/O DLL that has PortIn and PortOut, then restart the panel", "IO.DLL without PortOut");
    Check(Has(status.reason, "(error 127)") && !ErrorOf([&] { layer.PortOut(0x378, 0x01); }).empty(), "its words, and writes fail");
    Expect("IO.DLL", " not loaded", "without PortOut, not kept");
}

int RunCase(const std::string& name)
{
    const std::string here = Folder(ProgramPath());
    if (name == "cwd") CurrentFolder();
    else if (name == "beside") Beside();
    else if (name == "inpoutx64") InpOut("inpoutx64.dll", here);
    else if (name == "inpout32") InpOut("inpout32.dll", here);
    else if (name == "system") InpOut("inpout32.dll", SystemFolder());
    else if (name == "driver") DriverClosed();
    else if (name == "missing") MissingFunction();
    else Check(false, "no case " + name);
    return failed;
}

// ---- the parent: lays out each case and runs it ----

struct Layout
{
    const char* name;
    std::vector<std::string> dlls;  // dlls/<folder>/<file>, copied beside the program
    const char* startIn;            // dlls/<folder> the case is started from
};

void RunLayout(const Layout& layout)
{
    const std::string build = BuildFolder(false);
    const std::string folder = build + "\\layouts\\" + layout.name;
    CreateDirectoryA((build + "\\layouts").c_str(), nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    for (const char* stale : {"IO.DLL", "inpoutx64.dll", "inpout32.dll"})
        DeleteFileA((folder + "\\" + stale).c_str());
    bool copied = CopyFileA(ProgramPath().c_str(), (folder + "\\tst_winports.exe").c_str(), FALSE);
    for (const std::string& dll : layout.dlls)
        copied = copied && CopyFileA((build + "\\dlls\\" + dll).c_str(), (folder + "\\" + dll.substr(dll.find('/') + 1)).c_str(), FALSE);
    Check(copied, std::string("layout ") + layout.name);

    std::printf("-- %s\n", layout.name);
    std::string command = "\"" + folder + "\\tst_winports.exe\" " + layout.name;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    DWORD code = 1000;
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       (build + "\\dlls\\" + layout.startIn).c_str(), &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (code != 0)
        Check(false, std::string(layout.name) + " exited with " + std::to_string(code));
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc > 1)
        return RunCase(argv[1]);

    // PATH leads to an IO.DLL too, and must not be followed either.
    const std::string io = BuildFolder(false) + "\\dlls\\io";
    char path[32768];
    path[GetEnvironmentVariableA("PATH", path, sizeof path)] = '\0';
    SetEnvironmentVariableA("PATH", (io + ";" + path).c_str());

    const std::vector<Layout> layouts = {
        {"cwd", {}, "io"},
        {"beside", {"io/IO.DLL", "inpoutx64/inpoutx64.dll"}, "none"},
        {"inpoutx64", {"inpoutx64/inpoutx64.dll", "inpout32/inpout32.dll"}, "none"},
        {"inpout32", {"inpout32/inpout32.dll"}, "none"},
        {"driver", {"inpoutx64/inpoutx64.dll"}, "none"},
        {"missing", {"missing/IO.DLL"}, "none"},
    };
    for (const Layout& layout : layouts)
        RunLayout(layout);

    // The system folder of the test's own Wine prefix, emptied again after.
    const std::string system = SystemFolder() + "\\inpout32.dll";
    Check(CopyFileA((BuildFolder(false) + "\\dlls\\inpout32\\inpout32.dll").c_str(), system.c_str(), FALSE), "inpout32.dll into " + system);
    RunLayout({"system", {}, "none"});
    DeleteFileA(system.c_str());

    Check(IsNtPlatform(), "IsNtPlatform is true on Wine's Windows version");
    std::printf("%d failed\n", failed);
    return failed == 0 ? 0 : 1;
}
