// The circuit pools' poller threads: their start and their priority.
#include "wq_pool.h"

#include "corba_orb.h"
#include "wq_mthread.h"

#include <pthread.h>
#include <sched.h>

namespace {

struct PlainStart {
    void (*body)(void *);
    void *arg;
};

void *plain_thread(void *arg)
{
    PlainStart start = *static_cast<PlainStart *>(arg);
    delete static_cast<PlainStart *>(arg);
    start.body(start.arg);
    return nullptr;
}

} // namespace

bool wq_start_poller(void (*body)(void *), void *arg, int priority, bool managed)
{
    // One poller per pool: not counted against the readers' cap, so that a
    // pool never lacks its poller while readers use every place.
    if (priority < 0)
        priority = CORBA::ORB::_default_priority;
    if (managed) {
        bool started = false;
        wq_ManagedThread::start(body, arg, wq_Thread::_spawn_flags | 1, priority, CORBA::ORB::_stack_size,
                                wq_Thread::currentSchedulingPolicy(), &started);
        return started;
    }
    auto *start = new PlainStart{body, arg};
    if (wq_Thread::spawn(&plain_thread, start, wq_Thread::_spawn_flags | wq_Thread::DETACHED, priority,
                         CORBA::ORB::_stack_size, wq_Thread::currentSchedulingPolicy()) != wq_Thread::INVALID_TID)
        return true;
    delete start;
    return false;
}

void wq_set_own_native_priority(int priority)
{
    int policy = 0;
    sched_param sp{};
    if (pthread_getschedparam(pthread_self(), &policy, &sp) != 0 || policy == SCHED_OTHER)
        return;
    int lo = sched_get_priority_min(policy), hi = sched_get_priority_max(policy);
    sp.sched_priority = priority < lo ? lo : priority > hi ? hi : priority;
    pthread_setschedparam(pthread_self(), policy, &sp);
}
