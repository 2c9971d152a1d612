// Fault guard of the mapped areas. An area's object can be truncated or
// replaced by anyone with access to it; an access past its new end then
// faults (SIGBUS). Every mapping of an area is registered here; the SIGBUS
// handler puts private zero pages in place of a mapping that faulted, so the
// access completes, and marks it lost. The calls that access an area check
// the mark after the access, and the area's user finds it by smb_check.
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "zv_internal.h"

namespace zv {
namespace {

struct GuardSlot {
    std::atomic<uintptr_t> base{0};
    std::atomic<uint64_t> size{0};
    std::atomic<uint64_t> ino{0};
    std::atomic<int> lost{0};
};

constexpr int kGuardSlots = 1024;
GuardSlot g_slots[kGuardSlots];
// Slots marked lost and still registered: while 0, no area is lost and a
// check costs one load.
std::atomic<int> g_lostLive{0};
std::mutex g_guardLock;
struct sigaction g_prevBus;
bool g_installed = false;

void onBus(int sig, siginfo_t *si, void *uc)
{
    const uintptr_t a = reinterpret_cast<uintptr_t>(si->si_addr);
    for (GuardSlot &s : g_slots) {
        uintptr_t b = s.base.load(std::memory_order_acquire);
        uint64_t n = s.size.load(std::memory_order_relaxed);
        if (b == 0 || a < b || a - b >= n)
            continue;
        // The raw call: no interceptor between the handler and the kernel.
        long p = syscall(SYS_mmap, b, n, PROT_READ | PROT_WRITE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == (long)b) {
            if (s.lost.exchange(1, std::memory_order_acq_rel) == 0)
                g_lostLive.fetch_add(1, std::memory_order_acq_rel);
            return; // the access is made again, on the zero pages
        }
        break;
    }
    // Not an area's fault: as it would have been without this handler.
    if ((g_prevBus.sa_flags & SA_SIGINFO) && g_prevBus.sa_sigaction) {
        g_prevBus.sa_sigaction(sig, si, uc);
        return;
    }
    if (g_prevBus.sa_handler != SIG_DFL && g_prevBus.sa_handler != SIG_IGN) {
        g_prevBus.sa_handler(sig);
        return;
    }
    signal(SIGBUS, SIG_DFL); // the access faults again and ends the process
}

} // namespace

int guardAdd(void *base, uint64_t size, uint64_t ino)
{
    std::lock_guard<std::mutex> g(g_guardLock);
    if (!g_installed) {
        struct sigaction act {};
        act.sa_sigaction = onBus;
        act.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&act.sa_mask);
        if (sigaction(SIGBUS, &act, &g_prevBus) != 0)
            return -1;
        g_installed = true;
    }
    for (int i = 0; i < kGuardSlots; i++) {
        GuardSlot &s = g_slots[i];
        if (s.base.load(std::memory_order_relaxed) != 0)
            continue;
        s.lost.store(0, std::memory_order_relaxed);
        s.ino.store(ino, std::memory_order_relaxed);
        s.size.store(size, std::memory_order_relaxed);
        s.base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
        return i;
    }
    return -1;
}

void guardRemove(int slot)
{
    if (slot < 0 || slot >= kGuardSlots)
        return;
    std::lock_guard<std::mutex> g(g_guardLock);
    GuardSlot &s = g_slots[slot];
    s.base.store(0, std::memory_order_release);
    if (s.lost.exchange(0, std::memory_order_acq_rel))
        g_lostLive.fetch_sub(1, std::memory_order_acq_rel);
}

bool guardLost(int slot)
{
    if (g_lostLive.load(std::memory_order_acquire) == 0)
        return false;
    return slot >= 0 && slot < kGuardSlots && g_slots[slot].lost.load(std::memory_order_acquire) != 0;
}

bool guardAnyLost()
{
    return g_lostLive.load(std::memory_order_acquire) != 0;
}

bool guardLostObject(uint64_t ino)
{
    if (g_lostLive.load(std::memory_order_acquire) == 0)
        return false;
    std::lock_guard<std::mutex> g(g_guardLock);
    for (GuardSlot &s : g_slots)
        if (s.base.load(std::memory_order_relaxed) != 0 && s.lost.load(std::memory_order_relaxed) &&
            s.ino.load(std::memory_order_relaxed) == ino)
            return true;
    return false;
}

} // namespace zv
