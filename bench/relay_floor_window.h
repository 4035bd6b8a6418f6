// The window both floors (relay_floor, and relay_floor_win under Wine) send in:
// the longer of the reader's gathering and the relay's window for this many
// clients, so that a floor makes as many reads and sends as the program.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/app_state.h"
#include "input/receiver.h"

inline std::int64_t floorWindowUs(std::size_t clients) {
    return std::max<std::int64_t>(
        1000 * kReceiverGatherMs,
        std::min<std::int64_t>(static_cast<std::int64_t>(clients) * kRelayWindowPerClientUs, 1000 * kRelayWindowMs));
}
