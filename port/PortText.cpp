#include "PortText.h"

#include <cctype>
#include <cstdio>
#include <cstring>

std::string HexAddress(std::int32_t port)
{
    char text[16];
    std::snprintf(text, sizeof text, port < 0 ? "%d" : "0x%X", port);
    return text;
}

std::string HexByte(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
    return text;
}

std::string SystemErrorWords(int error)
{
    std::string words = std::strerror(error);
    if (!words.empty())
        words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
    return words;
}

bool IsStandardParallelBase(std::int32_t base)
{
    return base == 0x278 || base == 0x378 || base == 0x3BC;
}

std::string NonStandardAddressQuestion(std::int32_t base)
{
    return std::to_string(base) + " (" + HexAddress(base)
           + ") is not a standard parallel port address; writing to it may disturb another device. Use it anyway?";
}
