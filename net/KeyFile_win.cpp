#include "KeyFile.h"

#include <vector>

#include <fcntl.h>
#include <io.h>

#include <windows.h>
#include <sddl.h>

namespace keyfile {

namespace {

// Windows' own words for the last error: "Access is denied (error 5)".
std::string LastError()
{
    const DWORD code = GetLastError();
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   reinterpret_cast<char*>(&text), 0, nullptr);
    std::string words = text ? text : "Windows error";
    LocalFree(text);
    while (!words.empty() && (words.back() == '.' || static_cast<unsigned char>(words.back()) <= ' '))
        words.pop_back();
    return words + " (error " + std::to_string(code) + ")";
}

// An access list that lets in the user this program runs as, and nobody
// else; empty where the user cannot be told.
std::string OwnerAlone()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> user(size);
    char* sid = nullptr;
    const bool known = GetTokenInformation(token, TokenUser, user.data(), size, &size)
                       && ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid);
    CloseHandle(token);
    const std::string list = known ? "D:P(A;;FA;;;" + std::string(sid) + ")" : "";
    LocalFree(sid);
    return list;
}

} // namespace

bool WriteWhole(const std::string& path, bool ownerOnly, const std::function<bool(std::FILE*)>& write, std::string& error)
{
    const std::string temporary = path + ".new";
    DeleteFileA(temporary.c_str());
    // Not inherited by other programs started; the key with an access list
    // of its own that lets in its owner alone, from its first byte.
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    const std::string alone = ownerOnly ? OwnerAlone() : "";
    if (ownerOnly
        && (alone.empty()
            || !ConvertStringSecurityDescriptorToSecurityDescriptorA(alone.c_str(), SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr))) {
        error = LastError();
        return false;
    }
    HANDLE handle = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    LocalFree(security.lpSecurityDescriptor);
    if (handle == INVALID_HANDLE_VALUE) {
        error = LastError();
        return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    const bool written = file && write(file);
    const bool closed = file ? std::fclose(file) == 0 : fd >= 0 ? _close(fd) == 0 : CloseHandle(handle) != 0;
    // Windows' rename does not replace: this does, in one step.
    if (written && closed && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    error = written ? LastError() : "";
    DeleteFileA(temporary.c_str());
    return false;
}

std::string Exposure(const std::string&)
{
    // Windows tells who may read a file by its access list, not by mode
    // bits (its stat reports every file readable by all): not judged here.
    return {};
}

} // namespace keyfile
