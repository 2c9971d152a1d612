// DMA transfers between two areas: a bounds-checked copy between the two
// mappings, followed by a release fence; and the compute-element query.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "zv_internal.h"

using namespace zv;

namespace {

bool fits(uint64_t offset, uint64_t bytes, uint64_t size)
{
    return offset <= size && bytes <= size - offset;
}

bool fitsBoth(const zv_dx_template *t, uint64_t srcOffset, uint64_t dstOffset, uint64_t bytes)
{
    return fits(srcOffset, bytes, t->src.size) && fits(dstOffset, bytes, t->dst.size);
}

} // namespace

extern "C" {

namespace {

// The compute element given in "ZV_ceid", read once: a number (decimal, or
// hexadecimal after 0x) that fits 64 bits, or 0 when unset; set to anything
// else it is 0 too, and not valid.
struct zv_ce_source {
    CEID id = 0;
    bool valid = true;
    std::string raw;
};

const zv_ce_source &ceSource()
{
    static const zv_ce_source src = [] {
        zv_ce_source s;
        const char *v = std::getenv("ZV_ceid");
        if (!v)
            return s;
        s.raw = v;
        char *end = nullptr;
        errno = 0;
        // (strtoull would also take blanks, a sign and wrap a negative, and
        // read a leading 0 as octal.)
        const bool digit = *v >= '0' && *v <= '9';
        const bool hex = v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
        unsigned long long n = digit ? std::strtoull(v, &end, hex ? 16 : 10) : 0;
        s.valid = digit && errno == 0 && end && *end == '\0';
        s.id = s.valid ? (CEID)n : (CEID)0;
        return s;
    }();
    return src;
}

} // namespace

CEID ce_getid(void)
{
    return ceSource().id;
}

ZV_status_t ce_getid_raw(char *raw, size_t rawLen)
{
    const zv_ce_source &s = ceSource();
    if (raw && rawLen > 0) {
        const size_t n = s.raw.size() < rawLen - 1 ? s.raw.size() : rawLen - 1;
        std::memcpy(raw, s.raw.data(), n);
        raw[n] = '\0';
    }
    return s.valid ? 0 : CE__BAD_ID;
}

ZV_status_t dx_create(SMB_handle src, SMB_handle dst, void *reserved0, uint32_t reserved1, uint32_t reserved2,
                      uint32_t reserved3, uint32_t reserved4, DX_template *pTemplate)
{
    (void)reserved0;
    (void)reserved1;
    (void)reserved2;
    (void)reserved3;
    (void)reserved4;
    if (!pTemplate)
        return DX__BAD_ARG;
    zv_smb *s = liveArea(src);
    zv_smb *d = liveArea(dst);
    if (!s || !d)
        return DX__NULL_HANDLE;
    auto *t = new zv_dx_template;
    ZV_status_t r = mapArea(s->fd, s->size, t->src);
    if (r == 0)
        r = mapArea(d->fd, d->size, t->dst);
    if (r != 0) {
        unmapArea(t->src);
        unmapArea(t->dst);
        delete t;
        return r == SMB__AREA_LOST ? DX__AREA_LOST : DX__SYSTEM;
    }
    HandleRegistry::instance().add(t);
    *pTemplate = t;
    return 0;
}

ZV_status_t dx_copy(DX_template tmpl, uint64_t srcOffset, uint64_t dstOffset, uint64_t bytes, uint32_t reserved1,
                    uint32_t reserved2, uint32_t reserved3, DX_transfer *pTransfer)
{
    (void)reserved1;
    (void)reserved2;
    (void)reserved3;
    if (!pTransfer)
        return DX__BAD_ARG;
    if (!tmpl || !HandleRegistry::instance().live(tmpl))
        return DX__NULL_HANDLE;
    if (!fitsBoth(tmpl, srcOffset, dstOffset, bytes))
        return DX__OUT_OF_BOUNDS;
    auto *x = new zv_dx_transfer;
    x->tmpl = tmpl;
    x->srcOffset = srcOffset;
    x->dstOffset = dstOffset;
    x->bytes = bytes;
    tmpl->transfers.fetch_add(1, std::memory_order_relaxed);
    HandleRegistry::instance().add(x);
    *pTransfer = x;
    return 0;
}

// The transfer's owner uses it from one thread at a time; modify, start and
// status are not checked against the registry, which keeps them cheap.
ZV_status_t dx_modify(DX_transfer xfer, uint64_t srcOffset, uint64_t dstOffset, uint64_t bytes, uint32_t reserved,
                      uint32_t flags)
{
    (void)reserved;
    if (!xfer || !xfer->tmpl)
        return DX__NULL_HANDLE;
    uint64_t so = (flags & DX_MOD_SRC_OFFSET) ? srcOffset : xfer->srcOffset;
    uint64_t dof = (flags & DX_MOD_DST_OFFSET) ? dstOffset : xfer->dstOffset;
    uint64_t n = (flags & DX_MOD_COUNT) ? bytes : xfer->bytes;
    if (!fitsBoth(xfer->tmpl, so, dof, n))
        return DX__OUT_OF_BOUNDS;
    xfer->srcOffset = so;
    xfer->dstOffset = dof;
    xfer->bytes = n;
    xfer->state.store(0, std::memory_order_relaxed);
    return 0;
}

ZV_status_t dx_start(DX_transfer xfer, uint32_t flags)
{
    (void)flags;
    if (!xfer || !xfer->tmpl)
        return DX__NULL_HANDLE;
    const zv_dx_template *t = xfer->tmpl;
    if (!fitsBoth(t, xfer->srcOffset, xfer->dstOffset, xfer->bytes))
        return DX__OUT_OF_BOUNDS;
    if (xfer->bytes > 0)
        std::memmove(t->dst.base + xfer->dstOffset, t->src.base + xfer->srcOffset, (size_t)xfer->bytes);
    if (mappingLost(t->src) || mappingLost(t->dst))
        return DX__AREA_LOST;
    // The copy is complete before anything the caller publishes next.
    std::atomic_thread_fence(std::memory_order_release);
    xfer->state.store(1, std::memory_order_release);
    return 0;
}

ZV_status_t dx_get_status(DX_transfer xfer, uint32_t flags, uint32_t reserved)
{
    (void)flags;
    (void)reserved;
    if (!xfer)
        return DX__NULL_HANDLE;
    return xfer->state.load(std::memory_order_acquire) == 1 ? 0 : DX__NOT_STARTED;
}

ZV_status_t dx_release(DX_transfer xfer, uint32_t reserved)
{
    (void)reserved;
    if (!xfer || !HandleRegistry::instance().remove(xfer))
        return DX__NULL_HANDLE;
    xfer->tmpl->transfers.fetch_sub(1, std::memory_order_relaxed);
    delete xfer;
    return 0;
}

ZV_status_t dx_destroy(DX_template tmpl)
{
    if (!tmpl || !HandleRegistry::instance().live(tmpl))
        return DX__NULL_HANDLE;
    // Its transfers copy through its mappings: they go first.
    if (tmpl->transfers.load(std::memory_order_relaxed) != 0)
        return DX__BAD_ARG;
    if (!HandleRegistry::instance().remove(tmpl))
        return DX__NULL_HANDLE;
    unmapArea(tmpl->src);
    unmapArea(tmpl->dst);
    delete tmpl;
    return 0;
}

} // extern "C"
