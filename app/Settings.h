#pragma once

#include <cstdint>
#include <optional>

// The port address last taken in the panel, kept between runs in the user's
// settings (rfswitch-panel/rfswitch-panel.conf in the config folder).
std::optional<std::int32_t> RememberedAddress();
void RememberAddress(std::int32_t address);
