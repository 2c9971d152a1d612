// The broker's managed worker threads and the prefix of its diagnostic lines.
#pragma once

#include "corba_orb.h"
#include "wq_lock.h"
#include "wq_thread.h"

#include <cstddef>

class wq_ManagedThread {
public:
    typedef void (*Function)(void *);

    // Fills the record and links it at the head of the list. The spawner then
    // starts a thread at thread_action with the record and stores its id.
    wq_ManagedThread(Function fn, void *arg);
    ~wq_ManagedThread();
    wq_ManagedThread(const wq_ManagedThread &) = delete;
    wq_ManagedThread &operator=(const wq_ManagedThread &) = delete;

    // Creates a record and starts its thread; null (and no record) when the
    // start failed. The record stays listed while its thread runs; the
    // thread removes it as it ends, unless a join_all caller waits for it
    // (that caller removes it then). A caller that wants to know whether the
    // thread started asks through `started` rather than reading the record
    // afterwards.
    static wq_ManagedThread *start(Function fn, void *arg, int flags, int priority,
                                   unsigned long stack_size, int policy, bool *started = nullptr);
    // Thread body: runs the function, reports an escaping exception, then
    // signals done or removes its record (see start).
    static void *thread_action(void *record);
    // Records listed now.
    static std::size_t listed();
    static bool is_managed_thread();
    // Waits for every listed thread and removes its record. Called from a
    // managed thread it skips (and keeps) the caller's own record. Concurrent
    // callers each wait for the records they claimed and then for those the
    // others claimed, so every caller returns only when the list holds no
    // record but its own, and a joiner may itself be waited for.
    static void join_all();

    wq_ManagedThread *next = nullptr;
    wq_ManagedThread *prev = nullptr;
    Function function;
    void *argument;
    wq_CountingSemaphore done{0};
    wq_Thread::tid_t thread_id = wq_Thread::INVALID_TID;
    // Set (under the list lock) by the join_all caller that waits for it.
    bool claimed = false;

    static wq_ManagedThread *_list;
    static wq_RWMutex _for_list;

private:
    static void finish(wq_ManagedThread *rec);
};

struct wq_HeaderLog {
    // A new string (delete[] by the caller): level 1 "%s: %s_%s:", level 2
    // "%s %s: %s_%s @%s:" with the time of day, otherwise "".
    static char *get_header();
};
