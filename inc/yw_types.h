// Scalar types used by all framework code.
#ifndef YW_TYPES_H
#define YW_TYPES_H

#include <cstddef>
#include <cstdint>

typedef int64_t YW_size_t;
typedef uint64_t YW_usize_t;
typedef int64_t YW_pos_t;
typedef uint64_t YW_upos_t;
typedef uint64_t YW_count_t;
typedef void *YW_addr_t;
typedef char *YW_string_t;
typedef uint8_t YW_uint8_t;
typedef uint16_t YW_uint16_t;
typedef int32_t YW_int32_t;
typedef uint32_t YW_uint32_t;
typedef int64_t YW_int64_t;
typedef uint64_t YW_uint64_t;

#endif
