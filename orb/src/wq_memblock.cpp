// Memory blocks and their free lists.
#include "wq_memblock.h"

#include "corba_orb.h"
#include "wq_lock.h"
#include "wq_memtrim.h"

#include <cstddef>
#include <new>
#include <sys/mman.h>

thread_local uint32_t wq_mb_fail_after = 0;

namespace {

// Guards the three free lists and their counts. Held for a few pointer
// moves only; a lock that hands itself to the next sleeper in turn would
// make every thread that allocates or releases wait for the wake-up of the
// one before it, so it is taken by whichever thread runs.
constinit wq_ShortLock wq_mb_lock;
struct wq_mb_guard {
    wq_mb_guard() { wq_mb_lock.lock(); }
    ~wq_mb_guard() { wq_mb_lock.unlock(); }
    wq_mb_guard(const wq_mb_guard &) = delete;
    wq_mb_guard &operator=(const wq_mb_guard &) = delete;
};

constexpr uint32_t kReqSize = 65536;
constexpr uint32_t kAnySize = 4096;
// Blocks kept for reuse per list: enough for the messages of many threads
// at once and for a whole 16 MiB message with its headers (16.25 MiB of
// 65536-byte blocks, whose pages stay mapped), beyond which blocks go back
// to the system. While more 65536-byte blocks are in use than that, as
// many are kept as are in use (up to kKeepReqMost): every mapping made or
// undone takes the process's map lock, for which every other thread that
// maps, unmaps or touches a fresh page then waits, so a busy server reuses
// its blocks instead; as its load falls, blocks go back with it.
constexpr uint32_t kKeepReq = 260;
constexpr uint32_t kKeepReqMost = 4096; // 256 MiB
constexpr uint32_t kKeepAny = 256;
constexpr uint32_t kKeepNoBuf = 256;

struct FreeList {
    wq_MemoryBlock *head = nullptr;
    uint32_t count = 0;
};

FreeList wq_mb_free_req; // blocks owning a 65536-byte buffer
FreeList wq_mb_free_any; // blocks owning a 4096-byte buffer
FreeList wq_mb_free_no_buf; // records without a buffer

// Bytes of the buffers that alloc(size) made and that are not destroyed yet,
// on the free lists or in use.
std::atomic<uint64_t> wq_mb_live_bytes{0};
// Of them, the 65536-byte blocks (on the free list or in use).
std::atomic<uint32_t> wq_mb_live_req{0};

// How many 65536-byte blocks the free list keeps now (lock held), while
// `going` of them are given back: as many as stay in use, within
// kKeepReq..kKeepReqMost.
uint32_t keep_req(uint32_t going)
{
    uint32_t live = wq_mb_live_req.load(std::memory_order_relaxed);
    uint32_t gone = wq_mb_free_req.count + going;
    uint32_t in_use = live > gone ? live - gone : 0;
    return in_use < kKeepReq ? kKeepReq : in_use > kKeepReqMost ? kKeepReqMost : in_use;
}

// Pops one block (lock held); null when the list is empty.
wq_MemoryBlock *pop_locked(FreeList &l)
{
    wq_MemoryBlock *b = l.head;
    if (b) {
        l.head = b->next;
        --l.count;
        b->next = nullptr;
    }
    return b;
}

// Pops one block, testing and popping under the lock in one step.
wq_MemoryBlock *pop(FreeList &l)
{
    wq_mb_guard g;
    return pop_locked(l);
}

// Blocks bound for one free list, gathered before the lock is taken.
struct Chain {
    wq_MemoryBlock *head = nullptr;
    wq_MemoryBlock *tail = nullptr;
    uint32_t count = 0;

    void add(wq_MemoryBlock *b)
    {
        b->next = head;
        head = b;
        if (!tail)
            tail = b;
        ++count;
    }
    // Moves as many blocks as the list has room for (below `keep`) onto it
    // (lock held); the rest stay here.
    void splice(FreeList &l, uint32_t keep)
    {
        uint32_t room = l.count < keep ? keep - l.count : 0;
        if (!head || room == 0)
            return;
        wq_MemoryBlock *first = head, *last = head;
        uint32_t n = 1;
        if (count <= room) {
            last = tail;
            n = count;
        } else {
            while (n < room) {
                last = last->next;
                ++n;
            }
        }
        head = last->next;
        if (!head)
            tail = nullptr;
        count -= n;
        last->next = l.head;
        l.head = first;
        l.count += n;
    }
};

// Hands a lent buffer back to its lender (once).
void give_back_lent(wq_MemoryBlock *b)
{
    if (void (*g)(void *) = b->give_back) {
        b->give_back = nullptr;
        void *l = b->lender;
        b->lender = nullptr;
        g(l);
        if (b->capacity >= wq_large_bytes)
            wq_large_freed();
    }
}

void destroy_list(FreeList &l)
{
    wq_MemoryBlock *b = l.head;
    l.head = nullptr;
    l.count = 0;
    while (b) {
        wq_MemoryBlock *n = b->next;
        b->next = nullptr;
        delete b;
        b = n;
    }
}

// A block owning a buffer of `size` bytes (see alloc). A new mapping is
// made resident at once when `filled`: the block will be written whole.
// The test hook's countdown: true when this allocation is to fail.
bool made_to_fail()
{
    return wq_mb_fail_after != 0 && --wq_mb_fail_after == 0;
}

wq_MemoryBlock *alloc_block(uint32_t size, bool filled)
{
    if (made_to_fail())
        return nullptr;
    wq_MemoryBlock *b = nullptr;
    if (size == kReqSize)
        b = pop(wq_mb_free_req);
    else if (size == kAnySize)
        b = pop(wq_mb_free_any);
    if (b) {
        b->used = 0;
        b->base = 0;
        return b;
    }
    b = new (std::nothrow) wq_MemoryBlock;
    if (!b)
        return nullptr;
    if (size >= kReqSize) {
        // Any other block's pages become resident as they are written: one
        // that holds a short message touches only its first page.
        void *m = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | (filled ? MAP_POPULATE : 0), -1, 0);
        b->raw = m == MAP_FAILED ? nullptr : static_cast<unsigned char *>(m);
        b->mapped = 1;
    } else {
        b->raw = new (std::nothrow) unsigned char[static_cast<size_t>(size) + 7];
    }
    if (!b->raw) {
        b->mapped = 0;
        delete b;
        return nullptr;
    }
    uintptr_t a = (reinterpret_cast<uintptr_t>(b->raw) + 7) & ~static_cast<uintptr_t>(7);
    b->data = b->raw + (a - reinterpret_cast<uintptr_t>(b->raw));
    b->capacity = size;
    b->owns = 1;
    wq_mb_live_bytes.fetch_add(size, std::memory_order_relaxed);
    if (size == kReqSize)
        wq_mb_live_req.fetch_add(1, std::memory_order_relaxed);
    return b;
}

} // namespace

wq_MemoryBlock *wq_MemoryBlock::alloc(uint32_t size) { return alloc_block(size, false); }

wq_MemoryBlock *wq_MemoryBlock::alloc(uint32_t size, void *buffer)
{
    return alloc(size, buffer, 0);
}

wq_MemoryBlock *wq_MemoryBlock::alloc(uint32_t size, void *buffer, uint32_t owns)
{
    if (made_to_fail())
        return nullptr;
    wq_MemoryBlock *b = pop(wq_mb_free_no_buf);
    if (!b)
        b = new (std::nothrow) wq_MemoryBlock;
    if (!b)
        return nullptr;
    b->data = static_cast<unsigned char *>(buffer);
    b->raw = nullptr;
    b->capacity = size;
    b->owns = owns ? 1 : 0;
    b->used = 0;
    b->base = 0;
    b->give_back = nullptr;
    b->lender = nullptr;
    return b;
}

wq_MemoryBlock *wq_MemoryBlock::lend(uint32_t size, const void *buffer, void (*give_back)(void *), void *lender)
{
    // The buffer is only ever read: writers never reach a block behind the
    // write block, and reuse never writes into a block that owns nothing.
    wq_MemoryBlock *b = alloc(size, const_cast<void *>(buffer), 0);
    if (!b)
        return nullptr;
    b->used = size;
    b->give_back = give_back;
    b->lender = lender;
    return b;
}

wq_MemoryBlock *wq_MemoryBlock::next_alloc(uint32_t size)
{
    if (!next) {
        // A block chained on is written whole (but the message's last).
        next = alloc_block(size, true);
        if (!next)
            return nullptr;
    }
    next->base = base + used;
    return next;
}

void wq_MemoryBlock::hold(wq_MemoryBlock *head)
{
    if (head)
        head->holders.fetch_add(1, std::memory_order_relaxed);
}

void wq_MemoryBlock::release(wq_MemoryBlock *&block)
{
    wq_MemoryBlock *b = block;
    block = nullptr;
    if (!b)
        return;
    // Another holder remains: drop this one and leave the chain alone. The
    // acquire on the last drop orders every holder's reads before reuse.
    uint32_t h = b->holders.load(std::memory_order_acquire);
    while (h != 0) {
        if (b->holders.compare_exchange_weak(h, h - 1, std::memory_order_acq_rel,
                                             std::memory_order_acquire))
            return;
    }
    if (!CORBA::ORB::_reuse_memory) {
        delete b;
        return;
    }
    // Lent buffers go back to their lenders outside the lock.
    for (wq_MemoryBlock *l = b; l; l = l->next)
        give_back_lent(l);
    // Sorted outside the lock; the lock only splices.
    Chain req, any, no_buf;
    wq_MemoryBlock *doomed = nullptr;
    while (b) {
        wq_MemoryBlock *n = b->next;
        b->next = nullptr;
        // Only buffers that alloc(size) made (raw set) go back on the
        // sized lists; a wrapped buffer is never handed to another stream.
        if (b->owns && b->raw && b->capacity == kReqSize) {
            b->used = 0;
            req.add(b);
        } else if (b->owns && b->raw && b->capacity == kAnySize) {
            b->used = 0;
            any.add(b);
        } else if (!b->owns) {
            b->data = nullptr;
            b->raw = nullptr;
            b->capacity = 0;
            b->used = 0;
            no_buf.add(b);
        } else {
            b->next = doomed;
            doomed = b;
        }
        b = n;
    }
    wq_MemoryBlock *surplus = nullptr;
    {
        wq_mb_guard g;
        uint32_t keep = keep_req(req.count);
        req.splice(wq_mb_free_req, keep);
        any.splice(wq_mb_free_any, kKeepAny);
        no_buf.splice(wq_mb_free_no_buf, kKeepNoBuf);
        // Kept while more were in use: as those come back, the list goes
        // down with them.
        while (wq_mb_free_req.count > keep) {
            wq_MemoryBlock *s = pop_locked(wq_mb_free_req);
            s->next = surplus;
            surplus = s;
        }
    }
    // What the lists had no room for is destroyed outside the lock.
    for (wq_MemoryBlock *c : {req.head, any.head, no_buf.head, doomed, surplus}) {
        while (c) {
            wq_MemoryBlock *n = c->next;
            c->next = nullptr;
            delete c;
            c = n;
        }
    }
}

wq_MemoryBlock::~wq_MemoryBlock()
{
    give_back_lent(this);
    if (owns && raw) {
        wq_mb_live_bytes.fetch_sub(capacity, std::memory_order_relaxed);
        if (capacity == kReqSize)
            wq_mb_live_req.fetch_sub(1, std::memory_order_relaxed);
    }
    if (owns) {
        if (raw && mapped)
            ::munmap(raw, capacity);
        else if (raw)
            delete[] raw;
        else if (capacity >= wq_large_bytes)
            wq_large_free(data); // a message read in one piece: kept or freed
        else
            delete[] data;
    }
    // The rest of the chain goes iteratively so long chains need no stack.
    wq_MemoryBlock *n = next;
    next = nullptr;
    while (n) {
        wq_MemoryBlock *after = n->next;
        n->next = nullptr;
        delete n;
        n = after;
    }
}

void wq_mem_block_clean_up(bool lock)
{
    if (lock) {
        wq_mb_guard g;
        destroy_list(wq_mb_free_req);
        destroy_list(wq_mb_free_any);
        destroy_list(wq_mb_free_no_buf);
    } else {
        destroy_list(wq_mb_free_req);
        destroy_list(wq_mb_free_any);
        destroy_list(wq_mb_free_no_buf);
    }
}

uint32_t wq_mb_free_count(int list)
{
    wq_mb_guard g;
    switch (list) {
    case 0: return wq_mb_free_req.count;
    case 1: return wq_mb_free_any.count;
    default: return wq_mb_free_no_buf.count;
    }
}

uint64_t wq_mb_bytes_in_use()
{
    wq_mb_guard g;
    uint64_t listed = uint64_t(wq_mb_free_req.count) * kReqSize + uint64_t(wq_mb_free_any.count) * kAnySize;
    uint64_t live = wq_mb_live_bytes.load(std::memory_order_relaxed);
    return live > listed ? live - listed : 0;
}
