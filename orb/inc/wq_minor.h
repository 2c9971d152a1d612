// The broker's own minor codes: 0x51570000 | class offset | minor number.
// The class offset is the class's position in the standard list of system
// exceptions times 32; the minor number is below 32.
#pragma once

#include <cstdint>

constexpr uint32_t WQ_MINOR_BASE = 0x51570000u;

constexpr uint32_t WQ_OFS_UNKNOWN = 0x000;
constexpr uint32_t WQ_OFS_BAD_PARAM = 0x020;
constexpr uint32_t WQ_OFS_NO_MEMORY = 0x040;
constexpr uint32_t WQ_OFS_IMP_LIMIT = 0x060;
constexpr uint32_t WQ_OFS_COMM_FAILURE = 0x080;
constexpr uint32_t WQ_OFS_INV_OBJREF = 0x0A0;
constexpr uint32_t WQ_OFS_NO_PERMISSION = 0x0C0;
constexpr uint32_t WQ_OFS_INTERNAL = 0x0E0;
constexpr uint32_t WQ_OFS_MARSHAL = 0x100;
constexpr uint32_t WQ_OFS_INITIALIZE = 0x120;
constexpr uint32_t WQ_OFS_NO_IMPLEMENT = 0x140;
constexpr uint32_t WQ_OFS_BAD_OPERATION = 0x180;
constexpr uint32_t WQ_OFS_NO_RESOURCES = 0x1A0;
constexpr uint32_t WQ_OFS_BAD_INV_ORDER = 0x200;
constexpr uint32_t WQ_OFS_TRANSIENT = 0x220;
constexpr uint32_t WQ_OFS_INV_IDENT = 0x260;
constexpr uint32_t WQ_OFS_INV_FLAG = 0x280;
constexpr uint32_t WQ_OFS_INTF_REPOS = 0x2A0;
constexpr uint32_t WQ_OFS_BAD_CONTEXT = 0x2C0;
constexpr uint32_t WQ_OFS_OBJ_ADAPTER = 0x2E0;
constexpr uint32_t WQ_OFS_DATA_CONVERSION = 0x300;
constexpr uint32_t WQ_OFS_OBJECT_NOT_EXIST = 0x400;
constexpr uint32_t WQ_OFS_INV_POLICY = 0x4A0;

constexpr uint32_t wq_minor_code(uint32_t class_offset, uint32_t minor)
{
    return WQ_MINOR_BASE | class_offset | minor;
}

// True when a minor code lies in the broker's own range.
constexpr bool wq_is_own_minor(uint32_t code)
{
    return (code & ~0xFFFu) == WQ_MINOR_BASE;
}

// Minor numbers the broker raises most (pass them to the class constructors).
enum : unsigned char {
    WQ_MINOR_UNKNOWN_ERROR = 1,       // UNKNOWN: "Unknown Error Occurred."
    WQ_MINOR_UNKNOWN_EXCEPTION = 3,   // UNKNOWN: received id unknown here
    WQ_MINOR_NATIVE_EXCEPTION = 4,    // UNKNOWN: foreign C++ exception
    WQ_MINOR_STREAM_FAILED = 1,       // MARSHAL: read/write to stream failed
    WQ_MINOR_BAD_PRIORITY = 11,       // BAD_PARAM: CORBA priority out of range
    WQ_MINOR_LOCK_UPGRADE = 5,        // BAD_INV_ORDER: write lock asked by a reader
};

// Full codes used across the broker.
constexpr uint32_t WQ_MINOR_CODE_UNKNOWN_EXCEPTION = 0x51570003u;
constexpr uint32_t WQ_MINOR_CODE_STREAM_FAILED = 0x51570101u;
