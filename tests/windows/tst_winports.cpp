// The Windows port layer against fake port DLLs, run under Wine. Each case
// finds its DLLs in one folder of dlls/ and uses the system's own backends,
// so the DLL names and their order are the panel's.
#include "DllPort.h"
#include "Platform.h"
#include "PortLayer.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int failed = 0;

void Check(bool ok, const std::string& what)
{
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    failed += !ok;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The accesses the fake DLL has seen, e.g. " w378:01 r378:01", or " not loaded".
void Expect(const char* dll, const std::string& expected, const std::string& what)
{
    HMODULE module = GetModuleHandleA(dll);
    using FakeAccesses = const char*(WINAPI*)();
    const std::string seen = module ? reinterpret_cast<FakeAccesses>(reinterpret_cast<void (*)()>(GetProcAddress(module, "FakeAccesses")))() : " not loaded";
    Check(seen == expected, what + ": " + dll + seen + (seen == expected ? "" : ", expected" + expected));
}

// DLLs are found in dlls/<folder> beside this program.
void SearchDllsIn(const std::string& folder)
{
    char path[MAX_PATH];
    const std::string program(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    SetDllDirectoryA((program.substr(0, program.find_last_of("\\/")) + "\\dlls\\" + folder).c_str());
}

template <typename Call>
std::string ErrorOf(Call call)
{
    try { call(); } catch (const PortError& error) { return error.what(); }
    return {};
}

} // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    SearchDllsIn("none");
    {
        DllPort port;  // nothing is loaded yet, so nothing can fail here
        const std::string error = ErrorOf([&] { port.PortIn(0x378); });
        Check(Has(error, "cannot load IO.DLL, inpoutx64.dll or inpout32.dll: ") && Has(error, "(error 126)")
                  && ErrorOf([&] { port.PortOut(0x378, 1); }) == error, "no DLL: each access names every DLL tried and why: " + error);
        PortLayer layer(MakeSystemBackends());
        layer.PortOut(0x378, 0x5A);
        Check(layer.Describe(0x378) == "simulated \u2014 " + error && layer.PortIn(0x378) == 0x5A, "no DLL: the panel runs simulated and says why");
    }

    SearchDllsIn("io");
    {
        PortLayer layer(MakeSystemBackends());
        Expect("IO.DLL", " not loaded", "before the first access");
        layer.PortOut(0x378, 0x01);
        const std::uint8_t data = layer.PortIn(0x378);
        layer.PortOut(0x37A, 0x00);
        layer.PortOut(0xFFFF, 0xF1);
        Check(data == 0x01 && layer.PortIn(0xFFFF) == 0xF1, "IO.DLL: reads return the bytes written");
        for (std::int32_t refused : {0xFF, 0x10000}) {  // outside 0x100..0xFFFF nothing reaches the DLL
            ErrorOf([&] { DllPort().PortIn(refused); });
            ErrorOf([&] { DllPort().PortOut(refused, 0xAB); });
        }
        Expect("IO.DLL", " w378:01 r378:01 w37A:00 wFFFF:F1 rFFFF:F1", "accesses in order");
        Check(layer.Describe(0x378) == "IO.DLL" && Has(layer.Describe(0xFF), "address 255 (0xFF) refused"),
              "IO.DLL: status: " + layer.Describe(0x378) + " / " + layer.Describe(0xFF));
    }
    Expect("IO.DLL", " not loaded", "released with the port layer");

    SearchDllsIn("inpout32");
    PortLayer only32(MakeSystemBackends());
    only32.PortOut(0x278, 0x03);
    Expect("inpout32.dll", " w278:03", "the last one tried");

    SearchDllsIn("inpoutx64");
    {
        PortLayer layer(MakeSystemBackends());
        layer.PortOut(0xD010, 0xA5);  // a PCI card sits high: past InpOut's signed 16 bits
        Check(layer.PortIn(0xD010) == 0xA5 && layer.Describe(0xD010) == "inpoutx64.dll", "inpoutx64.dll: reads back, status names it");
        Expect("inpoutx64.dll", " wD010:A5 rD010:A5", "accesses in order");
    }
    SetEnvironmentVariableA("FAKE_INPOUT_DRIVER", "closed");
    PortLayer closed(MakeSystemBackends());
    Check(Has(closed.Describe(0x378), "simulated \u2014 inpoutx64.dll: the InpOut driver is not running"),
          "inpoutx64.dll without its driver: status: " + closed.Describe(0x378));
    Expect("inpoutx64.dll", " not loaded", "without its driver, not kept");

    SearchDllsIn("missing");
    {
        DllPort port;
        const std::uint8_t value = port.PortIn(0x378);
        const std::string error = ErrorOf([&] { port.PortOut(0x378, 0x01); });
        Check(value == 0 && Has(error, "IO.DLL has no function PortOut: ") && Has(error, "(error 127)"),
              "IO.DLL without PortOut: PortIn works, the first PortOut names the function: " + error);
        Expect("IO.DLL", " r378:00", "without PortOut, only the read arrived");
    }
    PortLayer layer(MakeSystemBackends());
    layer.PortOut(0x378, 0x07);
    Check(Has(layer.Describe(0x378), "simulated \u2014 IO.DLL has no function PortOut") && layer.PortIn(0x378) == 0x07,
          "IO.DLL without PortOut: the panel runs simulated, status: " + layer.Describe(0x378));
    Expect("IO.DLL", "", "without PortOut, none of the panel's accesses");

    Check(IsNtPlatform(), "IsNtPlatform is true on Wine's Windows version");
    std::printf("%d failed\n", failed);
    return failed == 0 ? 0 : 1;
}
