#include "modes/crc.h"

#include <array>

namespace {

constexpr std::uint32_t kGenerator = 0xFFF409;

constexpr std::array<std::uint32_t, 256> makeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t crc = byte << 16;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x800000) ? (crc << 1) ^ kGenerator : crc << 1;
        table[byte] = crc & 0xFFFFFF;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kTable = makeTable();

}  // namespace

std::uint32_t modesCrc(const std::uint8_t* data, int bytes) {
    std::uint32_t crc = 0;
    for (int i = 0; i < bytes; ++i) crc = ((crc << 8) ^ kTable[((crc >> 16) ^ data[i]) & 0xFF]) & 0xFFFFFF;
    return crc;
}
