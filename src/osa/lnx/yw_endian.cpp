/*
 * Byte order conversions for data exchanged with other processors. Each
 * conversion is its own inverse.
 */
#include "yw_osa_priv.h"

int YW_g_isBigEndian = 0;

int YW_is_bigEndian(void)
{
    return 0; /* the Linux target is little-endian */
}

YW_uint8_t YW_P_toBE8(YW_uint8_t v)
{
    return v;
}

YW_uint8_t YW_P_toLE8(YW_uint8_t v)
{
    return v;
}

YW_uint16_t YW_P_toBE16(YW_uint16_t v)
{
    return YW_g_isBigEndian ? v : __builtin_bswap16(v);
}

YW_uint32_t YW_P_toBE32(YW_uint32_t v)
{
    return YW_g_isBigEndian ? v : __builtin_bswap32(v);
}

YW_uint64_t YW_P_toBE64(YW_uint64_t v)
{
    return YW_g_isBigEndian ? v : __builtin_bswap64(v);
}

YW_uint16_t YW_P_toLE16(YW_uint16_t v)
{
    return YW_g_isBigEndian ? __builtin_bswap16(v) : v;
}

YW_uint32_t YW_P_toLE32(YW_uint32_t v)
{
    return YW_g_isBigEndian ? __builtin_bswap32(v) : v;
}

YW_uint64_t YW_P_toLE64(YW_uint64_t v)
{
    return YW_g_isBigEndian ? __builtin_bswap64(v) : v;
}
