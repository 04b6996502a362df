// A stand-in for a port I/O DLL: 64 KiB of registers that read back the last
// byte written, and a log of every access that the test reads through
// FakeAccesses(). Built as IO.DLL (PortIn/PortOut, with FAKE_NO_PORTOUT one
// of them missing) or, with FAKE_INPOUT, as an InpOut DLL (Inp32/Out32).
#include <windows.h>

#include <cstdint>

namespace {

struct Access
{
    int write;  // 1 for a write, 0 for a read
    int port;
    int value;
};

std::uint8_t registers[0x10000];
Access accesses[1024];
int count = 0;

std::uint8_t Read(int port)
{
    std::uint8_t value = registers[port & 0xFFFF];
    if (count < 1024)
        accesses[count++] = {0, port, value};
    return value;
}

[[maybe_unused]] void Write(int port, int value)
{
    registers[port & 0xFFFF] = static_cast<std::uint8_t>(value);
    if (count < 1024)
        accesses[count++] = {1, port, value};
}

} // namespace

extern "C" {

// Copies up to `max` accesses, oldest first, and returns how many there are.
__declspec(dllexport) int WINAPI FakeAccesses(Access* out, int max)
{
    for (int i = 0; i < count && i < max; ++i)
        out[i] = accesses[i];
    return count;
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
