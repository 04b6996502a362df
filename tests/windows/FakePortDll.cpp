// A stand-in for a port I/O DLL: registers that read back the last byte
// written, and a log of every access that the test reads through
// FakeAccesses(); with FAKE_PORT_DEAD set, a driver that reaches no port
// (reads 0xFF, writes lost). Built as IO.DLL (PortIn/PortOut, with FAKE_NO_PORTOUT one
// of them missing) or, with FAKE_INPOUT, as an InpOut DLL (Inp32/Out32).
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

static std::uint8_t registers[0x10000];
static std::string accesses;  // " w378:01 r378:01": kind, address and value of each access, oldest first

static std::uint8_t Access(char kind, std::uint16_t port, std::uint8_t value = 0)
{
    if (GetEnvironmentVariableA("FAKE_PORT_DEAD", nullptr, 0) != 0)
        registers[port] = 0xFF;
    else if (kind == 'w')
        registers[port] = value;
    char entry[16];
    std::snprintf(entry, sizeof entry, " %c%X:%02X", kind, port, registers[port]);
    accesses += entry;
    return registers[port];
}

extern "C" {

__declspec(dllexport) const char* WINAPI FakeAccesses() { return accesses.c_str(); }

#ifdef FAKE_INPOUT
__declspec(dllexport) short WINAPI Inp32(short port) { return Access('r', port); }
__declspec(dllexport) void WINAPI Out32(short port, short value) { Access('w', port, value); }
// Open unless the test has set FAKE_INPOUT_DRIVER.
__declspec(dllexport) BOOL WINAPI IsInpOutDriverOpen() { return GetEnvironmentVariableA("FAKE_INPOUT_DRIVER", nullptr, 0) == 0; }
#else
__declspec(dllexport) unsigned char WINAPI PortIn(int port) { return Access('r', port); }
#ifndef FAKE_NO_PORTOUT
__declspec(dllexport) void WINAPI PortOut(int port, unsigned char value) { Access('w', port, value); }
#endif
#endif

} // extern "C"
