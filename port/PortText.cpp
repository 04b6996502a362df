#include "PortText.h"
#include "PortIo.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

std::string HexAddress(std::int32_t port)
{
    char text[16];
    std::snprintf(text, sizeof text, port < 0 ? "%d" : "0x%X", port);
    return text;
}

std::string Place(std::int32_t address)
{
    return std::to_string(address) + " (" + HexAddress(address) + ")";
}

std::string PortLabel(const PortName& port)
{
    return port.ByDevice() ? port.device : Place(port.base);
}

std::string PortTyped(const PortName& port)
{
    return port.ByDevice() ? port.device : std::to_string(port.base);
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
    return std::find(kStandardBases.begin(), kStandardBases.end(), base) != kStandardBases.end();
}

std::string StandardBasesText()
{
    return Place(kStandardBases[0]) + ", " + Place(kStandardBases[1]) + " or " + Place(kStandardBases[2]);
}

std::string ReasonAndNextStep(const PortStatus& status)
{
    if (status.nextStep.empty())
        return status.reason;
    return status.reason + "; " + status.nextStep;
}

std::string CommandLineWords(std::string words)
{
    for (const auto& [waits, again] : {std::pair{kTakenOnceFree, "run the command again once the port is free"},
                                       std::pair{kTakenOnceThere, "run the command again once it is there"}})
        if (const std::size_t at = words.find(waits); at != std::string::npos)
            words.replace(at, std::strlen(waits), again);
    return words;
}

std::string NonStandardAddressQuestion(std::int32_t base)
{
    return Place(base) + " is not a standard parallel port address; writing to it may disturb another device. Use it anyway?";
}
