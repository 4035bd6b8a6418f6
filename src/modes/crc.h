// Mode S parity: the CRC-24 of a frame's data bits under the generator 0xFFF409,
// from a table built at compile time. Pure; any thread.
#pragma once

#include <cstdint>

// The CRC of `bytes` whole bytes, most significant bit first, remainder 0 at the
// start: for a frame without errors it equals the frame's last 24 bits.
std::uint32_t modesCrc(const std::uint8_t* data, int bytes);
