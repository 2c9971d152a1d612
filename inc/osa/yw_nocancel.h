/*
 * Cancellation held off for a scope, and the stop point the libraries that
 * do not link the OS layer run at their entries. Shared by the framework,
 * the broker and the communication library (header only, POSIX only).
 *
 * A thread is ended with deferred cancellation (or, where cancellation is
 * not used, at the framework's stop points): the forced unwind that ends it
 * must never start inside a destructor, a noexcept function, a catch-all
 * handler, an unlock or a clean-up step, or the process terminates. Such
 * code holds cancellation off with YW_P_noCancel around whatever may reach a
 * cancellation point (sleeps, waits, close, write, printing). A stop asked
 * meanwhile stays pending and is acted on at the thread's next cancellation
 * point or stop point outside.
 */
#ifndef YW_NOCANCEL_H
#define YW_NOCANCEL_H

#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <time.h>

/* Holds the calling thread's cancellation off for the scope and gives back
 * the state it found (never acts on a pending stop: safe in destructors and
 * noexcept code, and nests with every other hold). */
class YW_P_noCancel {
public:
    YW_P_noCancel() noexcept { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &saved_); }
    ~YW_P_noCancel() { pthread_setcancelstate(saved_, nullptr); }
    YW_P_noCancel(const YW_P_noCancel &) = delete;
    YW_P_noCancel &operator=(const YW_P_noCancel &) = delete;

    /* Runs fn with the state the scope found: a stop may end the thread
     * inside it (the caller owns nothing there, or gives it back in a
     * destructor). */
    template <typename F> void allowed(F &&fn)
    {
        int off = PTHREAD_CANCEL_DISABLE;
        pthread_setcancelstate(saved_, &off);
        struct Back {
            int off;
            ~Back() { pthread_setcancelstate(off, nullptr); }
        } back{off};
        fn();
    }

private:
    int saved_ = PTHREAD_CANCEL_ENABLE;
};

/* Held for the whole of a call that gives back what a holder holds (a
 * release, a close, a delete): such calls are made from destructors, so
 * they are never places where a stop ends the thread; a stop pending is
 * acted on at the thread's next stop place after the call. */
using YW_P_giveBackScope = YW_P_noCancel;

/* Sleeps nsec nanoseconds with cancellation held off and without acting on
 * a stop: the back-off step of a spin or drain wait and the waits of
 * clean-up code, which must finish what they began. */
inline void YW_P_pauseNoCancel(long long nsec)
{
    YW_P_noCancel hold;
    struct timespec req = {(time_t)(nsec / 1000000000LL), (long)(nsec % 1000000000LL)};
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

/* The calling thread's end mark, set when its end is asked (null for
 * threads the layer that ends task threads did not make). */
inline thread_local std::atomic<int> *yw_t_endMark = nullptr;

/* True when the calling thread's end has been asked: a wait that holds
 * cancellation off gives up when it sees this. */
inline bool YW_P_endAsked()
{
    std::atomic<int> *m = yw_t_endMark;
    return m && m->load(std::memory_order_acquire) != 0;
}

/* Wakes the waits of a thread whose end has just been asked (its mark is
 * set first), named by its end mark (yw_t_endMark of that thread), which no
 * other thread has while the thread's record lives: installed by a library
 * whose waits hold cancellation off but give up once the end is asked.
 * Called by the stopping thread for a thread that has not ended, never
 * blocks; a wake of a thread that is not waiting does nothing. */
inline std::atomic<void (*)(std::atomic<int> *)> yw_g_endWakeHook{nullptr};

/* The stop point of the layer that ends task threads (YW_P_stopPoint),
 * installed by it when a task thread starts; null while no such thread ever
 * ran. */
inline std::atomic<void (*)()> yw_g_stopPointHook{nullptr};

/* Ends the calling thread here when it is a task thread whose stop is
 * pending and it holds nothing (the installed stop point decides); else
 * returns at once. Run at the entry of public library calls, never from a
 * destructor, a noexcept function or with a lock held. */
inline void YW_P_stopPointHook()
{
    if (void (*fn)() = yw_g_stopPointHook.load(std::memory_order_acquire))
        fn();
}

#endif
