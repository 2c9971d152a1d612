// Bit tables mapping an event flag to its vector.
#ifndef YW_BIT_H
#define YW_BIT_H

#include <array>

#include "yw_types.h"

namespace yw_detail {
constexpr std::array<uint8_t, 256> make_bit_count()
{
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        int c = 0;
        for (int b = 0; b < 8; ++b)
            c += (i >> b) & 1;
        t[i] = (uint8_t)c;
    }
    return t;
}
constexpr std::array<int8_t, 256> make_bit_pos()
{
    std::array<int8_t, 256> t{};
    for (int i = 0; i < 256; ++i)
        t[i] = -1;
    for (int b = 0; b < 8; ++b)
        t[1 << b] = (int8_t)(b + 1);
    return t;
}
} // namespace yw_detail

inline constexpr std::array<uint8_t, 256> YW_g_bitCount = yw_detail::make_bit_count();
inline constexpr std::array<int8_t, 256> YW_g_bitPos = yw_detail::make_bit_pos();

inline int YW_bitCount32(YW_uint32_t v)
{
    return YW_g_bitCount[v & 0xFF] + YW_g_bitCount[(v >> 8) & 0xFF] + YW_g_bitCount[(v >> 16) & 0xFF] +
           YW_g_bitCount[(v >> 24) & 0xFF];
}

// 1-based position of the single set bit, -1 when none or several are set.
// A half (or byte) holding several bits also shows -1 in the table, so a
// zero half is told apart from a half with several bits by its value.
inline int YW_bitPos16(YW_uint16_t v)
{
    const unsigned lo = v & 0xFFu, hi = (v >> 8) & 0xFFu;
    if (lo == 0) {
        int h = YW_g_bitPos[hi];
        return h > 0 ? h + 8 : -1;
    }
    return hi != 0 ? -1 : YW_g_bitPos[lo];
}

inline int YW_bitPos32(YW_uint32_t v)
{
    const YW_uint16_t low = (YW_uint16_t)(v & 0xFFFF), high = (YW_uint16_t)(v >> 16);
    if (low == 0) {
        int h = YW_bitPos16(high);
        return h > 0 ? h + 16 : -1;
    }
    return high != 0 ? -1 : YW_bitPos16(low);
}

#endif
