#include "Platform.h"

#include <windows.h>

int SystemVersionQuery(OsVersionInfo& info)
{
    // Looked up at run time: newer SDKs mark GetVersionExA deprecated.
    using GetVersionExAFn = BOOL(WINAPI*)(OSVERSIONINFOA*);
    static_assert(sizeof(OSVERSIONINFOA) == sizeof(OsVersionInfo));
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (!kernel32)
        return 0;
    auto getVersionEx = reinterpret_cast<GetVersionExAFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "GetVersionExA")));
    if (!getVersionEx)
        return 0;
    return getVersionEx(reinterpret_cast<OSVERSIONINFOA*>(&info));
}
