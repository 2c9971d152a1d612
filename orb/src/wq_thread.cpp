// Broker thread records, thread-specific data and thread creation.
#include "wq_thread.h"
#include "wq_text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <sched.h>

namespace {

pthread_key_t g_rec_key;
pthread_once_t g_rec_once = PTHREAD_ONCE_INIT;

std::atomic<int32_t (*)(pthread_t)> g_priority_source{nullptr};
std::atomic<int> g_policy{SCHED_OTHER};
std::atomic<bool> g_stack_reporting{false};
std::atomic<uint32_t> g_next_key{wq_last_throw_key + 1};

constexpr uint32_t INITIAL_SLOTS = 16;

void record_exit(void *p)
{
    YW_P_noCancel hold; // the thread's last steps: never cut
    auto *rec = static_cast<wq_ThreadRecord *>(p);
    wq_ThreadRecord::t_current = rec;
    wq_SpecificData::run_destructors(rec);
    wq_ThreadRecord::t_current = nullptr;
    delete rec;
}

void make_record_key()
{
    if (pthread_key_create(&g_rec_key, record_exit) != 0) {
        std::perror("Ulvenor: pthread_key_create");
        std::abort();
    }
}

} // namespace

std::atomic<wq_SpecificDtor> wq_SpecificData::_dtors[wq_SpecificData::MAX_KEYS];
int wq_Thread::_spawn_flags = 0;

wq_ThreadRecord::wq_ThreadRecord() : tid(pthread_self()), priority(0)
{
    sem_init(&sem, 0, 0);
    data = static_cast<void **>(std::calloc(INITIAL_SLOTS, sizeof(void *)));
    data_size = data ? INITIAL_SLOTS : 0;
}

wq_ThreadRecord::~wq_ThreadRecord()
{
    sem_destroy(&sem);
    std::free(data);
    delete[] held;
}

wq_ThreadRecord *wq_ThreadRecord::make_current()
{
    pthread_once(&g_rec_once, make_record_key);
    auto *rec = new wq_ThreadRecord;
    t_current = rec;
    pthread_setspecific(g_rec_key, rec);
    return rec;
}

void wq_ThreadRecord::grow_held()
{
    uint32_t cap = held_cap + 8;
    auto *p = new (std::nothrow) wq_HeldLock[cap];
    if (!p)
        throw std::bad_alloc();
    for (uint32_t i = 0; i < held_count; ++i)
        p[i] = held[i];
    delete[] held;
    held = p;
    held_cap = cap;
}

// ---- thread-specific data ---------------------------------------------------

uint32_t wq_SpecificData::create_key(wq_SpecificDtor dtor)
{
    uint32_t key = g_next_key.fetch_add(1, std::memory_order_relaxed);
    if (key >= MAX_KEYS) {
        g_next_key.store(MAX_KEYS, std::memory_order_relaxed);
        return 0;
    }
    _dtors[key].store(dtor, std::memory_order_release);
    return key;
}

void wq_SpecificData::run_destructors(wq_ThreadRecord *rec)
{
    // Run while the thread ends: no data destructor is where a stop cuts it.
    YW_P_noCancel hold;
    auto work_left = [rec] {
        for (uint32_t k = 0; k < rec->data_size && k < MAX_KEYS; ++k)
            if (rec->data[k] && _dtors[k].load(std::memory_order_acquire))
                return true;
        return false;
    };
    for (uint32_t pass = 0; pass < MAX_PASSES; ++pass) {
        bool found = false;
        // The table may grow while a destructor runs: re-read it each step.
        for (uint32_t k = 0; k < rec->data_size && k < MAX_KEYS; ++k) {
            void *v = rec->data[k];
            wq_SpecificDtor d = _dtors[k].load(std::memory_order_acquire);
            if (!v || !d)
                continue;
            rec->data[k] = nullptr;
            d(v);
            found = true;
        }
        if (!found)
            return;
    }
    if (work_left())
        std::fputs("Ulvenor error: thread specific data was not cleaned after 16 trys!\n", stderr);
}

void *wq_Thread::get_specific(uint32_t key, const wq_ThreadEnvironment &tenv)
{
    wq_ThreadRecord *rec = tenv.record();
    if (key >= wq_SpecificData::MAX_KEYS || key >= rec->data_size)
        return nullptr;
    return rec->data[key];
}

void *wq_Thread::get_specific(uint32_t key)
{
    wq_ThreadRecord *rec = wq_ThreadRecord::current();
    if (key >= wq_SpecificData::MAX_KEYS || key >= rec->data_size)
        return nullptr;
    return rec->data[key];
}

bool wq_Thread::set_specific(uint32_t key, void *value, const wq_ThreadEnvironment &tenv)
{
    if (key >= wq_SpecificData::MAX_KEYS)
        return false;
    wq_ThreadRecord *rec = tenv.record();
    if (key >= rec->data_size) {
        uint32_t size = key + 1;
        void *p = std::realloc(rec->data, size * sizeof(void *));
        if (!p)
            return false;
        rec->data = static_cast<void **>(p);
        for (uint32_t k = rec->data_size; k < size; ++k)
            rec->data[k] = nullptr;
        rec->data_size = size;
    }
    rec->data[key] = value;
    return true;
}

bool wq_Thread::set_specific(uint32_t key, void *value)
{
    wq_ThreadEnvironment tenv;
    return set_specific(key, value, tenv);
}

// ---- creation and scheduling ------------------------------------------------

namespace {

struct SpawnArg {
    void *(*fn)(void *);
    void *arg;
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool k_can_paint = false;
#else
constexpr bool k_can_paint = true;
#endif

constexpr unsigned char PAINT = 0xA5;

// Fills the unused part of the stack below the caller with a pattern so that
// the high-water mark can be found when the thread ends.
__attribute__((noinline)) void paint_stack(unsigned char *low, unsigned char *here)
{
    volatile unsigned char *p = low;
    while (p < here)
        *p++ = PAINT;
}

void *spawn_trampoline(void *p)
{
    SpawnArg a = *static_cast<SpawnArg *>(p);
    delete static_cast<SpawnArg *>(p);

    void *stack_addr = nullptr;
    size_t stack_size = 0;
    pthread_attr_t attr;
    bool have_bounds = false;
    if (k_can_paint && pthread_getattr_np(pthread_self(), &attr) == 0) {
        have_bounds = pthread_attr_getstack(&attr, &stack_addr, &stack_size) == 0;
        pthread_attr_destroy(&attr);
    }
    unsigned char *low = static_cast<unsigned char *>(stack_addr);
    if (have_bounds) {
        // Keep clear of the live frames and of the guard area.
        auto here = reinterpret_cast<unsigned char *>(
            reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) - 1024);
        low += 4096;
        if (here > low)
            paint_stack(low, here);
        else
            have_bounds = false;
    }

    void *result = a.fn(a.arg);

    if (have_bounds) {
        unsigned char *p = low;
        unsigned char *top = static_cast<unsigned char *>(stack_addr) + stack_size;
        while (p < top && *p == PAINT)
            ++p;
        char line[160];
        std::snprintf(line, sizeof line, "Ulvenor: thread %lu used %lu of %lu bytes of stack\n",
                      static_cast<unsigned long>(pthread_self()),
                      static_cast<unsigned long>(top - p), static_cast<unsigned long>(stack_size));
        wq_err << line << wq_flush;
    }
    return result;
}

int create_thread(pthread_t *tid, void *(*fn)(void *), void *arg, int flags, int priority,
                  unsigned long stack_size, int policy, bool explicit_sched)
{
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0)
        return rc;
    if (flags & wq_Thread::DETACHED)
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack_size) {
        if (stack_size < static_cast<unsigned long>(PTHREAD_STACK_MIN))
            stack_size = static_cast<unsigned long>(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attr, stack_size);
    }
    if (explicit_sched) {
        sched_param sp{};
        int lo = sched_get_priority_min(policy), hi = sched_get_priority_max(policy);
        sp.sched_priority = priority < lo ? lo : (priority > hi ? hi : priority);
        pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&attr, policy);
        pthread_attr_setschedparam(&attr, &sp);
    }
    rc = pthread_create(tid, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

} // namespace

wq_Thread::tid_t wq_Thread::spawn(void *(*fn)(void *), void *arg, int flags, int priority,
                                  unsigned long stack_size, int policy)
{
    void *(*entry)(void *) = fn;
    void *entry_arg = arg;
    SpawnArg *sa = nullptr;
    if (g_stack_reporting.load(std::memory_order_relaxed)) {
        sa = new SpawnArg{fn, arg};
        entry = spawn_trampoline;
        entry_arg = sa;
    }
    bool rt = policy == SCHED_FIFO || policy == SCHED_RR;
    pthread_t tid{};
    int rc = create_thread(&tid, entry, entry_arg, flags, priority, stack_size, policy, rt);
    if (rc != 0 && rt && (rc == EPERM || rc == EINVAL))
        // The process may not use the real-time policy: run at the default.
        rc = create_thread(&tid, entry, entry_arg, flags, priority, stack_size, SCHED_OTHER, false);
    if (rc != 0) {
        delete sa;
        return INVALID_TID;
    }
    return tid;
}

int wq_Thread::currentSchedulingPolicy() { return g_policy.load(std::memory_order_relaxed); }

bool wq_Thread::setCurrentSchedulingPolicy(int policy)
{
    if (policy != SCHED_OTHER && policy != SCHED_FIFO && policy != SCHED_RR)
        return false;
    g_policy.store(policy, std::memory_order_relaxed);
    return true;
}

void wq_Thread::enable_stack_reporting() { g_stack_reporting.store(true); }

void wq_Thread::sleep(uint64_t units)
{
    uint64_t ns = units * 100;
    timespec req{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

void wq_Thread::yield() { sched_yield(); }

int32_t wq_Thread::priority(tid_t tid)
{
    if (auto src = g_priority_source.load(std::memory_order_acquire))
        return src(tid);
    int policy = 0;
    sched_param sp{};
    if (pthread_getschedparam(tid, &policy, &sp) != 0)
        return 0;
    return sp.sched_priority;
}

void wq_Thread::set_priority_source(int32_t (*source)(tid_t))
{
    g_priority_source.store(source, std::memory_order_release);
}
