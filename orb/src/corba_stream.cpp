// CDR stream: construction, housekeeping, primitives, arrays and strings.
//
// Positions are kept as (block, pointer) pairs; every block knows the stream
// offset of its first byte (base), and chained blocks are contiguous in
// offsets (a block left behind has used = the bytes written in it). Alignment
// is computed on the stream offset, so it never depends on where a buffer
// happens to lie in memory.
#include "corba_stream.h"

#include "corba_env.h"
#include "corba_except.h"
#include "corba_orb.h"
#include "wq_memtrim.h"
#include "wq_minor.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace CORBA {

namespace {

constexpr bool kHostLittle = std::endian::native == std::endian::little;
constexpr uint32_t kGrowSize = 65536;

inline void swap_copy(unsigned char *dst, const unsigned char *src, uint32_t k)
{
    switch (k) {
    case 2:
        Stream::swap_store<2>(dst, src);
        break;
    case 4:
        Stream::swap_store<4>(dst, src);
        break;
    case 8:
        Stream::swap_store<8>(dst, src);
        break;
    default:
        std::memcpy(dst, src, k);
    }
}

// Copies n elements of K bytes from src to dst, each byte-swapped (src and
// dst may be the same).
template <uint32_t K> void swap_elements(unsigned char *dst, const unsigned char *src, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i)
        Stream::swap_store<K>(dst + static_cast<size_t>(i) * K, src + static_cast<size_t>(i) * K);
}

void swap_elements(unsigned char *dst, const unsigned char *src, uint32_t n, uint32_t k)
{
    switch (k) {
    case 2:
        swap_elements<2>(dst, src, n);
        break;
    case 4:
        swap_elements<4>(dst, src, n);
        break;
    case 8:
        swap_elements<8>(dst, src, n);
        break;
    default:
        std::memmove(dst, src, static_cast<size_t>(n) * k);
    }
}

// Swaps n elements of size k in place.
void swap_in_place(unsigned char *p, uint32_t n, uint32_t k)
{
    swap_elements(p, p, n, k);
}

inline uint32_t round8(uint32_t size)
{
    uint64_t r = (static_cast<uint64_t>(size) + 7) & ~static_cast<uint64_t>(7);
    return r > 0xFFFFFFF8u ? 0xFFFFFFF8u : static_cast<uint32_t>(r);
}

} // namespace

bool Stream::_use_native_endian = true;

void Stream::use_native_endian(bool native)
{
    if (ORB::_orb_state.load() == 0)
        _use_native_endian = native;
}

uint8_t Stream::write_flag()
{
    return (_use_native_endian == kHostLittle) ? 1 : 0;
}

uint8_t Stream::order_for_flag(uint8_t cdr_flag)
{
    return ((cdr_flag & 1) != 0) == kHostLittle ? 1 : 0;
}

// ---- construction ------------------------------------------------------------

void Stream::init_head(uint32_t size)
{
    head_ = wq_MemoryBlock::alloc(round8(size));
    if (!head_)
        throw std::bad_alloc();
    rblock_ = wblock_ = head_;
    rat(head_->data);
    wat(head_->data);
    byte_order_ = worder_ = _use_native_endian ? 1 : 0;
    sync();
}

Stream::Stream() : env_(EnvironmentInfo::_current()->wrapper()), block_size_(ORB::_block_sizes[0])
{
    init_head(block_size_);
}

Stream::Stream(const EnvironmentWrapper &env) : env_(&env), block_size_(ORB::_block_sizes[0])
{
    init_head(block_size_);
}

Stream::Stream(uint32_t size, const EnvironmentWrapper &env) : env_(&env), block_size_(round8(size))
{
    if (block_size_ == 0)
        block_size_ = 8;
    init_head(block_size_);
}

Stream::Stream(void *buffer, uint32_t length, int, const EnvironmentWrapper &env)
    : env_(&env), block_size_(kGrowSize)
{
    // Only whole 8-byte units of the buffer are used, so that no aligned
    // item straddles its end.
    head_ = wq_MemoryBlock::alloc(length & ~7u, buffer);
    if (!head_)
        throw std::bad_alloc();
    rblock_ = wblock_ = head_;
    rat(head_->data);
    wat(head_->data);
    byte_order_ = worder_ = _use_native_endian ? 1 : 0;
    sync();
}

Stream::Stream(const Stream &other, const EnvironmentWrapper &env, bool shared) : env_(&env)
{
    if (shared) {
        readonly_copy(other);
        return;
    }
    block_size_ = other.block_size_;
    init_head(other.head_ ? other.head_->capacity : block_size_);
    copy(other);
}

Stream::Stream(Stream &outer, uint32_t n, const EnvironmentWrapper &env)
    : env_(&env), block_size_(outer.block_size_), byte_order_(outer.byte_order_), shared_(1)
{
    held_ = outer.root();
    wq_MemoryBlock::hold(held_);
    head_ = rblock_ = wblock_ = outer.rblock_;
    origin_ = outer.rblock_->base + static_cast<uint32_t>(outer.rpos() - outer.rblock_->data);
    rat(outer.rpos());
    wat(outer.rpos());
    if (outer.pending() || n > outer.bytes_remaining()) {
        outer.read_error();
        failed_ = 1;
        sync();
        return;
    }
    // The view ends in the block that holds its last byte.
    uint32_t end = origin_ + n;
    for (wq_MemoryBlock *b = rblock_;; b = b->next) {
        bool last = b == outer.wblock_;
        uint32_t len = last ? static_cast<uint32_t>(outer.wpos() - b->data) : b->used;
        if (end <= b->base + len || last || !b->next) {
            wblock_ = b;
            wat(b->data + (end - b->base));
            break;
        }
    }
    msg_len_ = n;
    sync();
    outer.skip_read(n);
}

Stream::~Stream()
{
    unwatch();
    drop_chain();
}

void Stream::drop_chain()
{
    if (shared_)
        wq_MemoryBlock::release(held_);
    else
        wq_MemoryBlock::release(head_);
    head_ = nullptr;
    held_ = nullptr;
    shared_ = 0;
    origin_ = 0;
}

void Stream::readonly_copy(const Stream &other)
{
    if (&other == this)
        return;
    EnvironmentInfo *mine = env_->environment();
    EnvironmentInfo *theirs = other.env_->environment();
    if (!mine || mine != theirs) {
        if (other.env_->pending())
            env_->exception(*other.env_->exception());
        else
            env_->clear();
    }
    // Hold the other's chain before letting go of ours (they may be one).
    wq_MemoryBlock *r = other.root();
    wq_MemoryBlock::hold(r);
    drop_chain();
    held_ = r;
    head_ = rblock_ = other.head_;
    origin_ = other.origin_;
    wblock_ = other.wblock_;
    if (head_) {
        rat(start());
        wat(other.wpos());
    } else {
        rbase_ = roff_ = wbase_ = woff_ = 0;
    }
    block_size_ = other.block_size_;
    msg_len_ = other.msg_len_;
    shared_ = 1;
    failed_ = other.failed_;
    byte_order_ = other.byte_order_;
    sync();
}

void Stream::copy(const Stream &other)
{
    if (pending() || &other == this)
        return;
    uint32_t cap = other.head_ ? other.head_->capacity : block_size_;
    if (shared_ || wq_MemoryBlock::is_held(head_)) {
        // A view gets a chain of its own before anything is written, and a
        // chain that views still read is left to them.
        drop_chain();
    }
    if (!head_ || head_->capacity != cap) {
        wq_MemoryBlock::release(head_);
        init_head(cap);
    }
    block_size_ = other.block_size_;
    head_->used = 0;
    head_->base = 0;
    wblock_ = rblock_ = head_;
    wat(head_->data);
    rat(head_->data);
    sync();
    const unsigned char *from = other.head_ ? other.start() : nullptr;
    for (const wq_MemoryBlock *b = other.head_; b; b = b->next, from = b ? b->data : nullptr) {
        const unsigned char *end = (b == other.wblock_) ? other.wpos() : b->data + b->used;
        write_array_1(from, static_cast<uint32_t>(end - from));
        if (b == other.wblock_ || pending())
            break;
    }
    byte_order_ = other.byte_order_;
    msg_len_ = other.msg_len_;
    // The read position goes to the same offset in the copy.
    uint32_t roff = other.read_offset();
    rblock_ = head_;
    rat(head_->data);
    sync();
    skip_read(roff);
}

void Stream::swap(Stream &other)
{
    if (&other == this)
        return;
    std::swap(head_, other.head_);
    std::swap(rblock_, other.rblock_);
    std::swap(wblock_, other.wblock_);
    std::swap(rbase_, other.rbase_);
    std::swap(roff_, other.roff_);
    std::swap(rhold_, other.rhold_);
    std::swap(wbase_, other.wbase_);
    std::swap(woff_, other.woff_);
    std::swap(whold_, other.whold_);
    std::swap(block_size_, other.block_size_);
    std::swap(byte_order_, other.byte_order_);
    std::swap(worder_, other.worder_);
    std::swap(shared_, other.shared_);
    std::swap(msg_len_, other.msg_len_);
    std::swap(origin_, other.origin_);
    std::swap(held_, other.held_);
    // The failure goes where the exception goes: the other's moves here and
    // this one's stays, so the other is left clean. (A failed mark without an
    // exception in the stream's environment would make its readers fail
    // silently.)
    failed_ = failed_ | other.failed_;
    other.failed_ = 0;
    EnvironmentInfo *mine = env_->environment();
    EnvironmentInfo *theirs = other.env_->environment();
    if (theirs && theirs != mine && theirs->exception()) {
        Exception *e = theirs->exception();
        theirs->replace(nullptr);
        env_->exception(e);
    }
    sync();
    other.sync();
}

bool Stream::contiguous(uint32_t total, uint32_t loose)
{
    if (shared_ || origin_ != 0 || pending() || !head_ || wq_MemoryBlock::is_held(head_))
        return false;
    uint32_t have = write_offset();
    if (total < have || total - have < loose ||
        loose > static_cast<uint32_t>(wblock_->data + wblock_->capacity - wpos()))
        return false;
    if (wblock_ == head_ && head_->capacity >= total)
        return true;
    uint32_t cap = round8(total);
    if (cap < total)
        return false;
    // Wrapped rather than taken from the free lists: a buffer kept from an
    // earlier large message serves again instead of a new mapping.
    unsigned char *buf = wq_large_alloc(cap);
    wq_MemoryBlock *b = buf ? wq_MemoryBlock::alloc(cap, buf, 1) : nullptr;
    if (!b) {
        wq_large_free(buf);
        return false;
    }
    uint32_t at = 0, all = have + loose;
    for (wq_MemoryBlock *k = head_; k && at < all; k = k->next) {
        uint32_t len = k == wblock_ ? static_cast<uint32_t>(wpos() - k->data) + loose : k->used;
        len = std::min(len, all - at);
        std::memcpy(b->data + at, k->data, len);
        at += len;
        if (k == wblock_)
            break;
    }
    uint32_t rd = read_offset();
    wq_MemoryBlock::release(head_);
    head_ = rblock_ = wblock_ = b;
    wat(b->data + have);
    rat(b->data + rd);
    sync();
    return true;
}

void Stream::reclaim()
{
    if (shared_ || wq_MemoryBlock::is_held(head_)) {
        // Views keep reading the old chain; this stream starts a new one
        // (and stays as it was when memory is short).
        wq_MemoryBlock *fresh = wq_MemoryBlock::alloc(round8(block_size_));
        if (!fresh)
            throw std::bad_alloc();
        drop_chain();
        head_ = fresh;
        byte_order_ = _use_native_endian ? 1 : 0;
    } else if (head_->capacity > block_size_ && !head_->raw && head_->owns) {
        // A block made by contiguous() goes back at once, unless no block
        // of the usual size can be had for it (it serves meanwhile).
        if (wq_MemoryBlock *fresh = wq_MemoryBlock::alloc(round8(block_size_))) {
            wq_MemoryBlock::release(head_);
            head_ = fresh;
            byte_order_ = _use_native_endian ? 1 : 0;
        } else if (head_->next) {
            wq_MemoryBlock::release(head_->next);
        }
    } else if (head_->next) {
        wq_MemoryBlock::release(head_->next);
    }
    head_->used = 0;
    head_->base = 0;
    rblock_ = wblock_ = head_;
    rat(head_->data);
    wat(head_->data);
    msg_len_ = 0;
    failed_ = 0;
    // The read bounds stay closed (a read looks again on its slow path);
    // the writers start at once on their fast path, in the order taken now
    // (the stream stands at its start).
    worder_ = _use_native_endian ? 1 : 0;
    open_write();
}

void Stream::wat(unsigned char *p)
{
    wbase_ = reinterpret_cast<uintptr_t>(wblock_->data) + origin_ - wblock_->base;
    woff_ = reinterpret_cast<uintptr_t>(p) - wbase_;
    close_write(); // bounds are offsets from the old base
}

void Stream::close_write()
{
    wlimit_ = wswap_ = 0;
    whold_ = wbase_ + woff_;
}

void Stream::wadvance(uintptr_t n)
{
    woff_ += n;
    if (whold_)
        whold_ = wbase_ + woff_;
}

void Stream::rat(unsigned char *p)
{
    rbase_ = reinterpret_cast<uintptr_t>(rblock_->data) + origin_ - rblock_->base;
    roff_ = reinterpret_cast<uintptr_t>(p) - rbase_;
    rlim_ = rend_ = rswap_ = 0;
    rhold_ = reinterpret_cast<uintptr_t>(p);
}

void Stream::radvance(uintptr_t n)
{
    roff_ += n;
    if (rhold_)
        rhold_ = rbase_ + roff_;
}

void Stream::env_closed(wq_EnvWatch *w)
{
    static_cast<Watch *>(w)->self->close_fast();
}

bool Stream::may_open()
{
    if (failed_ || !env_)
        return false;
    EnvironmentInfo *info = env_->environment();
    if (!info)
        return false; // nothing to watch until the wrapper is bound
    if (watch_.env != info) {
        if (watch_.env)
            watch_.env->unwatch(&watch_);
        info->watch(&watch_);
    }
    return !info->exception();
}

void Stream::close_fast()
{
    // The positions as they stand (the caller of whatever raised has stored
    // them) are held: they stay while the exception is pending.
    close_write();
    rlim_ = rend_ = rswap_ = 0;
    rhold_ = rbase_ + roff_;
}

void Stream::unwatch()
{
    if (watch_.env)
        watch_.env->unwatch(&watch_);
}

void Stream::sync()
{
    close_write();
    sync_read();
}

void Stream::sync_read()
{
    rlim_ = rend_ = rswap_ = 0;
    rhold_ = rbase_ + roff_;
    // The inlined readers align the offset they keep; it must agree with
    // the true one modulo 8 (it does except after reads skipped while an
    // exception was pending).
    if (!rblock_ || ((roff_ - read_offset()) & 7) != 0 || !may_open())
        return;
    rhold_ = 0;
    uintptr_t end = reinterpret_cast<uintptr_t>(rblock_ == wblock_ ? wpos() : rblock_->data + rblock_->used);
    uintptr_t e = end - rbase_;
    if (byte_order_) {
        rend_ = e;
        rlim_ = e > 7 ? e - 7 : 0;
    } else {
        rswap_ = e;
    }
}

void Stream::open_write()
{
    close_write();
    if (!wblock_ || shared_ || ((woff_ - write_offset()) & 7) != 0 || !may_open())
        return;
    unsigned char *w = wpos();
    unsigned char *end = wblock_->data + wblock_->capacity;
    if (end - w < 8)
        return;
    // The padding before the next item lies in these 8 bytes; after that,
    // each item's word store lays down the padding behind it.
    std::memset(w, 0, 8);
    (worder_ ? wlimit_ : wswap_) = reinterpret_cast<uintptr_t>(end) - wbase_ - 7;
    whold_ = 0;
}

void Stream::zero_tail()
{
    if (wlimit_ == 0 && wswap_ == 0)
        return;
    unsigned char *w = wpos();
    if (wblock_->data + wblock_->capacity - w >= 8)
        std::memset(w, 0, 8);
    else
        close_write();
}

void Stream::settle_write(uintptr_t e)
{
    unsigned char *w = wpos();
    woff_ = e;
    wbase_ = reinterpret_cast<uintptr_t>(w) - e;
    open_write();
}

void Stream::settle_read(uintptr_t e)
{
    unsigned char *r = rpos();
    roff_ = e;
    rbase_ = reinterpret_cast<uintptr_t>(r) - e;
    sync_read();
}

uint8_t Stream::write_order()
{
    if (wblock_ == head_ && head_ && wpos() == start())
        worder_ = _use_native_endian ? 1 : 0;
    return worder_;
}

// ---- errors ------------------------------------------------------------------

void Stream::read_error()
{
    if (!env_->pending())
        wq_StreamUtil::raise_general_error("read exceeded message size", *env_);
    failed_ = 1;
    sync();
}

void Stream::fail(Exception *e)
{
    env_->exception(e);
    failed_ = 1;
    sync();
}

void Stream::no_memory()
{
    fail(new NO_MEMORY(0, COMPLETED_MAYBE, nullptr));
}

// ---- offsets -----------------------------------------------------------------

uint32_t Stream::read_offset() const
{
    return rblock_ ? rblock_->base + static_cast<uint32_t>(rpos() - rblock_->data) - origin_ : 0;
}

uint32_t Stream::write_offset() const
{
    return wblock_ ? wblock_->base + static_cast<uint32_t>(wpos() - wblock_->data) - origin_ : 0;
}

uint32_t Stream::size_written()
{
    if (!wblock_)
        return 0;
    if (!shared_)
        wblock_->used = static_cast<uint32_t>(wpos() - wblock_->data);
    return write_offset();
}

uint32_t Stream::size_read() const
{
    return read_offset();
}

uint32_t Stream::bytes_remaining() const
{
    uint32_t w = write_offset(), r = read_offset();
    return w > r ? w - r : 0;
}

uint32_t Stream::linear_block_remaining() const
{
    if (!rblock_)
        return 0;
    unsigned char *bound = rblock_ == wblock_ ? wpos() : rblock_->data + rblock_->used;
    unsigned char *r = rpos();
    return bound > r ? static_cast<uint32_t>(bound - r) : 0;
}

uint32_t Stream::linear_total_remaining() const
{
    uint32_t r = read_offset();
    return msg_len_ > r ? msg_len_ - r : 0;
}

// ---- writing -----------------------------------------------------------------

bool Stream::next_write_block()
{
    if (shared_) {
        fail(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_MAYBE, "write to a read-only stream"));
        return false;
    }
    wblock_->used = static_cast<uint32_t>(wpos() - wblock_->data);
    msg_len_ = wblock_->base + wblock_->used;
    if (static_cast<uint64_t>(msg_len_) + block_size_ > 0xFFFFFFFFull) {
        no_memory();
        return false;
    }
    wq_MemoryBlock *n = wblock_->next_alloc(block_size_);
    if (!n) {
        no_memory();
        return false;
    }
    n->used = 0;
    wblock_ = n;
    wat(n->data);
    sync();
    return true;
}

// Pads with zeros to a multiple of k (from the stream offset) and makes room
// for k contiguous bytes.
bool Stream::align_write(uint32_t k)
{
    if (shared_) {
        fail(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_MAYBE, "write to a read-only stream"));
        return false;
    }
    uint32_t pad = (0u - write_offset()) & (k - 1);
    while (pad) {
        uint32_t room = static_cast<uint32_t>(wblock_->data + wblock_->capacity - wpos());
        if (room == 0) {
            if (!next_write_block())
                return false;
            continue;
        }
        uint32_t t = pad < room ? pad : room;
        std::memset(wpos(), 0, t);
        wadvance(t);
        pad -= t;
    }
    while (wpos() + k > wblock_->data + wblock_->capacity) {
        if (!next_write_block())
            return false;
    }
    return true;
}

void Stream::write_prim(const void *v, uint32_t k)
{
    if (pending())
        return;
    uint8_t order = write_order();
    uint32_t pad = (0u - write_offset()) & (k - 1);
    if (!shared_ && wpos() + pad + k <= wblock_->data + wblock_->capacity) {
        std::memset(wpos(), 0, pad);
        wadvance(pad);
    } else if (!align_write(k)) {
        return;
    }
    if (order)
        std::memcpy(wpos(), v, k);
    else
        swap_copy(wpos(), static_cast<const unsigned char *>(v), k);
    wadvance(k);
}

void Stream::write_slow(uint64_t bits, uint32_t k)
{
    uintptr_t e = woff_ + k;
    if (whold_) {
        // The write path is closed: the offsets kept inline may be out of
        // step with the true ones and the padding is not known to be zero;
        // the write starts from the position held, which stays while an
        // exception is pending.
        woff_ = whold_ - wbase_;
    } else if (wblock_) {
        // The path is open, so the padding before the item is already zero
        // up to the block's end. (A writer's blocks end at multiples of 8
        // from its origin, so the padding does not run on into the next
        // block; should it, the rest is written from the block's end.)
        uintptr_t end = reinterpret_cast<uintptr_t>(wblock_->data + wblock_->capacity);
        if (wbase_ + woff_ > end)
            woff_ = end - wbase_;
    }
    unsigned char b[8];
    std::memcpy(b, &bits, sizeof b);
    write_prim(b, k);
    settle_write(e);
}

Stream &Stream::write_array_1(const void *p, uint32_t n)
{
    // Host-order path open and the bytes end where a word still fits (so the
    // 8 bytes after them can be zeroed in place), away from the stream's
    // start (where write_order may still change the order): copy in place.
    // The open path means no exception, no failure and no view.
    uintptr_t o = woff_;
    if (wlimit_ != 0 && o != 0 && n != 0 && o + n < wlimit_) {
        std::memcpy(reinterpret_cast<unsigned char *>(wbase_ + o), p, n);
        o += n;
        woff_ = o;
        std::memset(reinterpret_cast<unsigned char *>(wbase_ + o), 0, 8);
        return *this;
    }
    if (pending() || n == 0)
        return *this;
    if (shared_) {
        fail(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_MAYBE, "write to a read-only stream"));
        return *this;
    }
    write_order();
    const unsigned char *src = static_cast<const unsigned char *>(p);
    while (n) {
        uint32_t room = static_cast<uint32_t>(wblock_->data + wblock_->capacity - wpos());
        if (room == 0) {
            if (!next_write_block())
                return *this;
            continue;
        }
        uint32_t t = n < room ? n : room;
        std::memcpy(wpos(), src, t);
        wadvance(t);
        src += t;
        n -= t;
    }
    zero_tail();
    return *this;
}

Stream &Stream::lend_array_1(const void *p, uint32_t n, void (*give_back)(void *), void *lender)
{
    // Below this a copy costs less than the blocks that a loan takes.
    constexpr uint32_t kLendMin = 32768;
    if (n < kLendMin || pending() || shared_) {
        write_array_1(p, n);
        give_back(lender);
        return *this;
    }
    write_order();
    // The lent part ends on a multiple of 8 from the stream's origin, so the
    // block after it keeps the alignment every writer relies on; the few
    // bytes beyond are copied into that block.
    uint32_t m = n - ((write_offset() + n) & 7u);
    wblock_->used = static_cast<uint32_t>(wpos() - wblock_->data);
    uint32_t at = wblock_->base + wblock_->used;
    if (static_cast<uint64_t>(at) + n + block_size_ > 0xFFFFFFFFull) {
        give_back(lender);
        no_memory();
        return *this;
    }
    wq_MemoryBlock *lent = wq_MemoryBlock::lend(m, p, give_back, lender);
    if (!lent) {
        give_back(lender);
        no_memory();
        return *this;
    }
    wq_MemoryBlock *after = wq_MemoryBlock::alloc(block_size_);
    if (!after) {
        wq_MemoryBlock::release(lent); // gives the buffer back
        no_memory();
        return *this;
    }
    lent->base = at;
    after->base = at + m;
    after->used = 0;
    // Blocks already chained behind the write block (none while writing
    // forward) follow the new ones.
    after->next = wblock_->next;
    lent->next = after;
    wblock_->next = lent;
    msg_len_ = at + m;
    wblock_ = after;
    wat(after->data);
    sync();
    if (m < n)
        write_array_1(static_cast<const unsigned char *>(p) + m, n - m);
    return *this;
}

Stream &Stream::write_array_bool(const void *p, uint32_t n)
{
    return write_array_1(p, n);
}

// Pads to k, then writes n elements of k bytes: one bulk copy in host order;
// otherwise each element swapped straight into the blocks (the position is
// k-aligned and every capacity a multiple of 8, so no element straddles).
Stream &Stream::write_array_k(const void *p, uint32_t n, uint32_t k)
{
    if (pending() || n == 0)
        return *this;
    write_order(); // before the padding moves the stream off its start
    if (!align_write(k))
        return *this;
    if (static_cast<uint64_t>(n) * k > 0xFFFFFFFFull) {
        no_memory();
        return *this;
    }
    if (write_order())
        return write_array_1(p, n * k);
    const unsigned char *src = static_cast<const unsigned char *>(p);
    while (n) {
        uint32_t room = static_cast<uint32_t>(wblock_->data + wblock_->capacity - wpos()) / k;
        if (room == 0) {
            if (!next_write_block())
                return *this;
            continue;
        }
        uint32_t c = n < room ? n : room;
        swap_elements(wpos(), src, c, k);
        wadvance(static_cast<size_t>(c) * k);
        src += static_cast<size_t>(c) * k;
        n -= c;
    }
    zero_tail();
    return *this;
}

Stream &Stream::write_array_2(const void *p, uint32_t n) { return write_array_k(p, n, 2); }
Stream &Stream::write_array_4(const void *p, uint32_t n) { return write_array_k(p, n, 4); }
Stream &Stream::write_array_8(const void *p, uint32_t n) { return write_array_k(p, n, 8); }

void Stream::skip_write(uint32_t n)
{
    if (pending() || n == 0)
        return;
    if (shared_) {
        fail(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_MAYBE, "write to a read-only stream"));
        return;
    }
    write_order();
    // The skipped bytes are zeroed so that a recycled buffer never leaks
    // earlier contents onto the wire.
    while (n) {
        uint32_t room = static_cast<uint32_t>(wblock_->data + wblock_->capacity - wpos());
        if (room == 0) {
            if (!next_write_block())
                return;
            continue;
        }
        uint32_t t = n < room ? n : room;
        std::memset(wpos(), 0, t);
        wadvance(t);
        n -= t;
    }
    zero_tail();
}

unsigned char *Stream::write_room(uint32_t &room)
{
    room = 0;
    if (pending())
        return nullptr;
    if (shared_) {
        fail(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_MAYBE, "write to a read-only stream"));
        return nullptr;
    }
    write_order();
    if (wpos() == wblock_->data + wblock_->capacity && !next_write_block())
        return nullptr;
    // The caller stores past the position, so the bytes there are no longer
    // known to be zero.
    close_write();
    room = static_cast<uint32_t>(wblock_->data + wblock_->capacity - wpos());
    return wpos();
}

void Stream::wrote(uint32_t n)
{
    if (pending() || n == 0)
        return;
    // Only bytes inside the room write_room gave (never in a view).
    if (shared_ || n > static_cast<uint32_t>(wblock_->data + wblock_->capacity - wpos())) {
        fail(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_MAYBE, "write position outside the stream"));
        return;
    }
    wadvance(n);
    // The write fast path stays closed (the next write opens it, zeroing the
    // bytes past the position); the read bound moves on to the new data.
    sync();
}

// ---- back-patching -----------------------------------------------------------

bool Stream::check_at(unsigned char *at, uint32_t k)
{
    if (pending())
        return false;
    for (wq_MemoryBlock *b = head_; b; b = b->next) {
        if (at >= b->data && at < b->data + b->capacity) {
            if (!shared_ && static_cast<uint64_t>(at - b->data) + k <= b->capacity)
                return true;
            break;
        }
        if (b == wblock_)
            break;
    }
    fail(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_MAYBE, "write position outside the stream"));
    return false;
}

void Stream::put_at(unsigned char *at, const void *v, uint32_t k)
{
    if (!check_at(at, k))
        return;
    if (write_order())
        std::memcpy(at, v, k);
    else
        swap_copy(at, static_cast<const unsigned char *>(v), k);
    if (reinterpret_cast<uintptr_t>(at) + k > reinterpret_cast<uintptr_t>(wpos()))
        sync(); // the bytes past the write position may no longer be zero
}

void Stream::write_short_at(unsigned char *at, short v) { put_at(at, &v, 2); }
void Stream::write_ushort_at(unsigned char *at, unsigned short v) { put_at(at, &v, 2); }
void Stream::write_long_at(unsigned char *at, int v) { put_at(at, &v, 4); }
void Stream::write_ulong_at(unsigned char *at, unsigned int v) { put_at(at, &v, 4); }
void Stream::write_float_at(unsigned char *at, float v) { put_at(at, &v, 4); }
void Stream::write_double_at(unsigned char *at, double v) { put_at(at, &v, 8); }
void Stream::write_longlong_at(unsigned char *at, long long v) { put_at(at, &v, 8); }
void Stream::write_ulonglong_at(unsigned char *at, unsigned long long v) { put_at(at, &v, 8); }

// ---- reading -----------------------------------------------------------------

// Copies n bytes across blocks; the caller has checked that they remain.
bool Stream::read_raw(void *p, uint32_t n)
{
    unsigned char *dst = static_cast<unsigned char *>(p);
    while (n) {
        unsigned char *bound = rblock_ == wblock_ ? wpos() : rblock_->data + rblock_->used;
        unsigned char *r = rpos();
        uint32_t avail = bound > r ? static_cast<uint32_t>(bound - r) : 0;
        if (avail == 0) {
            if (rblock_ == wblock_ || !rblock_->next) {
                read_error();
                return false;
            }
            rblock_ = rblock_->next;
            rat(rblock_->data);
            sync_read();
            continue;
        }
        uint32_t t = n < avail ? n : avail;
        if (dst) {
            std::memcpy(dst, r, t);
            dst += t;
        }
        radvance(t);
        n -= t;
    }
    return true;
}

bool Stream::align_read(uint32_t k)
{
    uint32_t pad = (0u - read_offset()) & (k - 1);
    if (pad == 0)
        return true;
    if (pad > bytes_remaining()) {
        read_error();
        return false;
    }
    return read_raw(nullptr, pad);
}

void Stream::read_prim(void *v, uint32_t k)
{
    if (pending())
        return;
    sync_read(); // the fast path's bound may be behind later writes
    uint32_t off = read_offset();
    uint32_t pad = (0u - off) & (k - 1);
    unsigned char *bound = rblock_ == wblock_ ? wpos() : rblock_->data + rblock_->used;
    unsigned char tmp[8];
    const unsigned char *src;
    if (rpos() + pad + k <= bound) {
        src = rpos() + pad;
        radvance(pad + k);
    } else {
        if (!align_read(k))
            return;
        if (k > bytes_remaining()) {
            read_error();
            return;
        }
        if (!read_raw(tmp, k))
            return;
        src = tmp;
    }
    if (byte_order_)
        std::memcpy(v, src, k);
    else
        swap_copy(static_cast<unsigned char *>(v), src, k);
}

void Stream::read_slow(void *v, uint32_t k)
{
    uintptr_t e = roff_ + k;
    if (rhold_) {
        // The read path is closed and the offsets kept inline may be out of
        // step with the true ones: the read starts from the position held
        // and aligns by its true offset (nothing moves while an exception is
        // pending).
        roff_ = rhold_ - rbase_;
    } else if (rblock_) {
        // The item's place may lie past the end of the read block by the
        // part of its padding that runs on into the next block: the read
        // then starts at the block's end and aligns from there. (The item
        // started at or before that end: reads never pass it.)
        uintptr_t bound = reinterpret_cast<uintptr_t>(rblock_ == wblock_ ? wpos() : rblock_->data + rblock_->used);
        if (rbase_ + roff_ > bound)
            roff_ = bound - rbase_;
    }
    read_prim(v, k);
    settle_read(e);
}

unsigned char Stream::read_octet_slow()
{
    uintptr_t e = roff_ + 1;
    unsigned char v = 0xBD;
    if (!pending()) {
        read_prim(&v, 1);
        if (pending())
            v = 0xBD;
    }
    settle_read(e);
    return v;
}

void Stream::read_array_1(void *p, uint32_t n)
{
    if (pending() || n == 0)
        return;
    unsigned char *bound = rblock_ == wblock_ ? wpos() : rblock_->data + rblock_->used;
    unsigned char *r = rpos();
    if (r + n <= bound && r + n >= r) {
        std::memcpy(p, r, n);
        radvance(n);
        return;
    }
    if (n > bytes_remaining()) {
        read_error();
        return;
    }
    read_raw(p, n);
}

void Stream::read_array_bool(void *p, uint32_t n)
{
    read_array_1(p, n);
}

namespace {

void read_array_k(Stream &s, void *p, uint32_t n, uint32_t k)
{
    if (s.pending() || n == 0)
        return;
    if (!s.check_count(n, k))
        return;
    s.read_array_1(p, n * k);
    if (!s.pending() && !s.byte_order())
        swap_in_place(static_cast<unsigned char *>(p), n, k);
}

} // namespace

void Stream::read_array_2(void *p, uint32_t n)
{
    if (pending() || n == 0 || !align_read(2))
        return;
    read_array_k(*this, p, n, 2);
}

void Stream::read_array_4(void *p, uint32_t n)
{
    if (pending() || n == 0 || !align_read(4))
        return;
    read_array_k(*this, p, n, 4);
}

void Stream::read_array_8(void *p, uint32_t n)
{
    if (pending() || n == 0 || !align_read(8))
        return;
    read_array_k(*this, p, n, 8);
}

void Stream::skip_read(uint32_t n)
{
    // Open read path (no exception, not failed) and the bytes lie below its
    // bound in the read block: just move on.
    uintptr_t e = roff_ + n;
    if (rhold_ == 0 && (e <= rend_ || e <= rswap_)) {
        roff_ = e;
        return;
    }
    if (pending() || n == 0)
        return;
    if (n > bytes_remaining()) {
        read_error();
        return;
    }
    read_raw(nullptr, n);
}

bool Stream::check_count(uint32_t count, uint32_t elem_size)
{
    if (pending())
        return false;
    if (static_cast<uint64_t>(count) * elem_size > bytes_remaining()) {
        read_error();
        return false;
    }
    return true;
}

bool Stream::read_count(uint32_t &count, uint32_t elem_size)
{
    uint32_t c = 0;
    read_4(&c);
    if (pending())
        return false;
    if (!check_count(c, elem_size))
        return false;
    count = c;
    return true;
}

void Stream::write_stream(Stream &source, uint32_t n)
{
    if (pending() || source.pending() || n == 0)
        return;
    if (n > source.bytes_remaining()) {
        source.read_error();
        return;
    }
    while (n && !pending()) {
        unsigned char *bound =
            source.rblock_ == source.wblock_ ? source.wpos() : source.rblock_->data + source.rblock_->used;
        unsigned char *r = source.rpos();
        uint32_t avail = bound > r ? static_cast<uint32_t>(bound - r) : 0;
        if (avail == 0) {
            if (source.rblock_ == source.wblock_ || !source.rblock_->next) {
                source.read_error();
                return;
            }
            source.rblock_ = source.rblock_->next;
            source.rat(source.rblock_->data);
            source.sync_read();
            continue;
        }
        uint32_t t = n < avail ? n : avail;
        write_array_1(r, t);
        source.radvance(t);
        n -= t;
    }
}

void Stream::read_stream(Stream &target, uint32_t n)
{
    target.write_stream(*this, n);
}

// ---- strings -----------------------------------------------------------------

Stream &Stream::operator<<(from_string v)
{
    if (pending())
        return *this;
    size_t len = v.val ? std::strlen(v.val) : 0;
    if (len >= 0xFFFFFFFFu) {
        fail(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_NO, "string too long"));
        return *this;
    }
    uint32_t l = static_cast<uint32_t>(len) + 1;
    if (v.bound != 0 && v.bound < l - 1) {
        *this << (v.bound + 1);
        write_array_1(v.val, v.bound);
        return *this << static_cast<unsigned char>(0);
    }
    *this << l;
    if (l >= 2)
        write_array_1(v.val, l - 1);
    return *this << static_cast<unsigned char>(0);
}

Stream &Stream::operator<<(const String_var &v)
{
    return *this << from_string(v.in());
}

// Reads a string length and checks it: 0 is not valid CDR, and the whole
// string must lie in the bytes that remain. A string whose last byte is not
// its NUL is refused by the readers below, as a read past its end.
static bool read_string_length(Stream &s, uint32_t &len)
{
    uint32_t l = 0;
    s.read_4(&l);
    if (s.pending())
        return false;
    if (l == 0) {
        s.fail(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_MAYBE, "string length of zero"));
        return false;
    }
    if (l > s.bytes_remaining()) {
        s.read_error();
        return false;
    }
    len = l;
    return true;
}

Stream &Stream::operator>>(to_string v)
{
    uint32_t l;
    if (pending() || !read_string_length(*this, l))
        return *this;
    char *s;
    if (v.bound != 0 && v.bound < l - 1) {
        s = string_alloc(v.bound);
        if (!s) {
            no_memory();
            return *this;
        }
        read_array_1(s, v.bound + 1);
        s[v.bound] = '\0';
        // The string's own last byte is read to be checked.
        skip_read(l - v.bound - 2);
        if (read_octet() != 0)
            read_error();
    } else {
        s = string_alloc(l - 1);
        if (!s) {
            no_memory();
            return *this;
        }
        read_array_1(s, l);
        if (!pending() && s[l - 1] != '\0')
            read_error();
    }
    if (pending()) {
        string_free(s);
        return *this;
    }
    *v.val = s;
    return *this;
}

Stream &Stream::operator>>(String_var &v)
{
    uint32_t l;
    if (pending() || !read_string_length(*this, l))
        return *this;
    char *&slot = v.inout();
    if (!slot || std::strlen(slot) + 1 < l) {
        char *s = string_alloc(l - 1);
        if (!s) {
            no_memory();
            return *this;
        }
        string_free(slot);
        slot = s;
    }
    read_array_1(slot, l);
    bool ended = !pending() && slot[l - 1] == '\0';
    slot[l - 1] = '\0'; // the buffer stays a string, whatever came
    if (!ended)
        read_error();
    return *this;
}

// Object references are read and written in corba_object_cdr.cpp.

} // namespace CORBA

// ---- stream utilities ----------------------------------------------------------

uint32_t wq_StreamUtil::size_written_since(CORBA::Stream &s, wq_MemoryBlock *block,
                                           unsigned char *position)
{
    uint32_t from = 0;
    if (block && position)
        from = block->base + static_cast<uint32_t>(position - block->data);
    uint32_t now = s.write_offset();
    return now > from ? now - from : 0;
}

void wq_StreamUtil::write_ulong_at(CORBA::Stream &s, uint32_t value, wq_MemoryBlock *block,
                                   unsigned char *position)
{
    if (s.pending())
        return;
    // The ulong sits at the first 4-aligned stream offset from the position,
    // as a writer standing there would have put it.
    uint32_t off = 0;
    if (block && position)
        off = block->base + static_cast<uint32_t>(position - block->data);
    off = (off + 3) & ~3u;
    for (wq_MemoryBlock *b = s.head(); b; b = b->next) {
        uint32_t len = b == s.write_block() ? static_cast<uint32_t>(s.write_position() - b->data) : b->used;
        if (off >= b->base && off < b->base + len) {
            s.write_ulong_at(b->data + (off - b->base), value);
            return;
        }
        if (b == s.write_block())
            break;
    }
    s.fail(new CORBA::MARSHAL(WQ_MINOR_STREAM_FAILED, CORBA::COMPLETED_MAYBE,
                              "write position outside the stream"));
}
