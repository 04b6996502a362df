// A stand-in for a port I/O DLL: 64 KiB of registers that read back the last
// byte written, and a log of every access that the test reads through
// FakeAccesses(). Built as IO.DLL (PortIn/PortOut, with FAKE_NO_PORTOUT one
// of them missing) or, with FAKE_INPOUT, as an InpOut DLL (Inp32/Out32).
#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace {

std::uint8_t registers[0x10000];
char log[8192];
int length = 0;

// " w378:01 r378:01": kind, address and value of each access, oldest first.
void Note(char kind, int port, int value)
{
    if (length < int(sizeof log) - 32)
        length += std::snprintf(log + length, sizeof log - length, " %c%X:%02X", kind, port, value);
}

std::uint8_t Read(int port)
{
    Note('r', port, registers[port & 0xFFFF]);
    return registers[port & 0xFFFF];
}

[[maybe_unused]] void Write(int port, int value)
{
    registers[port & 0xFFFF] = static_cast<std::uint8_t>(value);
    Note('w', port, value);
}

} // namespace

extern "C" {

__declspec(dllexport) const char* WINAPI FakeAccesses()
{
    return log;
}

#ifdef FAKE_INPOUT

__declspec(dllexport) short WINAPI Inp32(short port)
{
    return Read(static_cast<std::uint16_t>(port));
}

__declspec(dllexport) void WINAPI Out32(short port, short value)
{
    Write(static_cast<std::uint16_t>(port), value);
}

// Open unless the test has set FAKE_INPOUT_DRIVER=closed.
__declspec(dllexport) BOOL WINAPI IsInpOutDriverOpen()
{
    char state[16] = {};
    GetEnvironmentVariableA("FAKE_INPOUT_DRIVER", state, sizeof state);
    return lstrcmpA(state, "closed") != 0;
}

#else

__declspec(dllexport) unsigned char WINAPI PortIn(int port)
{
    return Read(port);
}

#ifndef FAKE_NO_PORTOUT
__declspec(dllexport) void WINAPI PortOut(int port, unsigned char value)
{
    Write(port, value);
}
#endif

#endif

} // extern "C"
