// The bound on bytes held for requests not yet served, and the connections
// parked until their messages fit.
#include "wq_pending.h"

#include "corba_orb.h"

#include <atomic>
#include <deque>
#include <mutex>

void (*wq_pending_resume)(wq_MsgCircuit *c, uint32_t level) = nullptr;

namespace {

std::atomic<uint64_t> g_held{0};

struct Parked {
    wq_MsgCircuit *circuit;
    uint32_t level;
    uint64_t bytes;
};
std::mutex g_lock;
std::deque<Parked> g_parked;
std::atomic<uint32_t> g_parked_count{0};

// Whether `bytes` fit beside `held`: always when nothing is held, so that a
// message the bound alone cannot hold (refused before, see receive) never
// waits for ever.
bool fits(uint64_t held, uint64_t bytes)
{
    uint64_t bound = CORBA::ORB::_max_pending_request_bytes;
    return held == 0 || (held <= bound && bytes <= bound - held);
}

} // namespace

bool wq_pending_reserve(uint64_t bytes)
{
    uint64_t held = g_held.load(std::memory_order_relaxed);
    do {
        if (!fits(held, bytes))
            return false;
    } while (!g_held.compare_exchange_weak(held, held + bytes, std::memory_order_acq_rel));
    return true;
}

namespace {

// Parked circuits that fit now go back, oldest first; each is read again
// and takes its bytes then (one that finds them taken meanwhile is parked
// again).
void resume_fitting()
{
    std::vector<Parked> go;
    {
        std::lock_guard<std::mutex> g(g_lock);
        uint64_t held = g_held.load(std::memory_order_seq_cst);
        while (!g_parked.empty() && fits(held, g_parked.front().bytes)) {
            held += g_parked.front().bytes;
            go.push_back(g_parked.front());
            g_parked.pop_front();
        }
        g_parked_count.store(uint32_t(g_parked.size()), std::memory_order_seq_cst);
    }
    for (const Parked &p : go)
        wq_pending_resume(p.circuit, p.level);
}

} // namespace

void wq_pending_release(uint64_t bytes)
{
    if (bytes == 0)
        return;
    // The count is read after the bytes go, and a parker looks at the bytes
    // after it is counted: one of the two sees the other.
    g_held.fetch_sub(bytes, std::memory_order_seq_cst);
    if (g_parked_count.load(std::memory_order_seq_cst) != 0)
        resume_fitting();
}

void wq_pending_take(uint64_t bytes) { g_held.fetch_add(bytes, std::memory_order_acq_rel); }

uint64_t wq_pending_bytes() { return g_held.load(std::memory_order_acquire); }

void wq_pending_park(wq_MsgCircuit *c, uint32_t level, uint64_t bytes)
{
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_parked.push_back({c, level, bytes});
        g_parked_count.store(uint32_t(g_parked.size()), std::memory_order_seq_cst);
    }
    // Bytes given back since the refusal found nobody parked.
    resume_fitting();
}

std::vector<wq_MsgCircuit *> wq_pending_take_parked()
{
    std::lock_guard<std::mutex> g(g_lock);
    std::vector<wq_MsgCircuit *> all;
    for (const Parked &p : g_parked)
        all.push_back(p.circuit);
    g_parked.clear();
    g_parked_count.store(0, std::memory_order_release);
    return all;
}

uint32_t wq_pending_parked() { return g_parked_count.load(std::memory_order_acquire); }
