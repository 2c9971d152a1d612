// The circuit watcher: one thread that goes on with server replies the
// transport could not take at once (their readers went back to their pools)
// and closes server circuits whose message did not come whole in time.
#include "wq_circuit.h"

#include "wq_lock.h"
#include "wq_thread.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

void (*wq_msg_circuit_resume)(wq_MsgCircuit *circuit) = nullptr;

namespace {

// How often the watcher looks at the times while it watches anything.
constexpr int kTickMs = 100;

struct Watcher {
    std::mutex mtx;
    int ep = -1;
    int ev = -1; // wakes the watcher for new work (registered with a null pointer)
    bool tried = false;
    // Circuits whose reply waits for the transport, each with a reference.
    std::vector<wq_MsgCircuit *> parked;
    // Server circuits waiting for the rest of a message.
    std::atomic<int> receiving{0};

    // Under mtx: the poller and the thread, made on first use.
    bool ensure_started()
    {
        if (tried)
            return ep >= 0;
        tried = true;
        int p = ::epoll_create1(EPOLL_CLOEXEC);
        int e = p >= 0 ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
        epoll_event w{};
        w.events = EPOLLIN;
        w.data.ptr = nullptr;
        if (e < 0 || ::epoll_ctl(p, EPOLL_CTL_ADD, e, &w) != 0) {
            if (e >= 0)
                ::close(e);
            if (p >= 0)
                ::close(p);
            return false;
        }
        try {
            std::thread([this] { run(); }).detach();
        } catch (...) {
            YW_P_noCancel hold;
            ::close(e);
            ::close(p);
            return false;
        }
        ev = e;
        ep = p;
        return true;
    }
    void wake()
    {
        YW_P_noCancel hold; // also run on release paths
        uint64_t one = 1;
        if (ev >= 0)
            (void)!::write(ev, &one, sizeof one);
    }
    bool busy() { return !parked.empty() || receiving.load(std::memory_order_acquire) > 0; }

    void run()
    {
        std::vector<wq_MsgCircuit *> ready, overdue;
        for (;;) {
            int timeout;
            {
                std::lock_guard<std::mutex> g(mtx);
                timeout = busy() ? kTickMs : -1;
            }
            epoll_event evs[64];
            int n = ::epoll_wait(ep, evs, 64, timeout);
            int64_t now = wq_monotonic_ms();
            {
                std::lock_guard<std::mutex> g(mtx);
                for (int i = 0; i < n; ++i) {
                    if (!evs[i].data.ptr) {
                        uint64_t v;
                        (void)!::read(ev, &v, sizeof v);
                        continue;
                    }
                    // Only a parked circuit's event is taken (its pointer is
                    // compared, never followed, before it is found here).
                    auto it = std::find(parked.begin(), parked.end(), static_cast<wq_MsgCircuit *>(evs[i].data.ptr));
                    if (it != parked.end()) {
                        ready.push_back(*it);
                        parked.erase(it);
                    }
                }
                for (auto it = parked.begin(); it != parked.end();) {
                    int64_t due = (*it)->send_due();
                    if (due && now >= due) {
                        overdue.push_back(*it);
                        it = parked.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
            // The watcher is now the circuit's sender; a reply that has to
            // wait again is parked again.
            for (wq_MsgCircuit *c : ready)
                finish(c, false);
            for (wq_MsgCircuit *c : overdue)
                finish(c, true);
            ready.clear();
            overdue.clear();
            if (receiving.load(std::memory_order_acquire) > 0)
                close_overdue_receives(now);
        }
    }
    static void finish(wq_MsgCircuit *c, bool over)
    {
        bool resume = false;
        if (over)
            c->send_overdue(resume);
        else
            c->send_parked(resume);
        if (resume && wq_msg_circuit_resume)
            wq_msg_circuit_resume(c);
        c->_remove_ref();
    }
    // A circuit whose message is overdue is shut down: the reader that
    // takes it for the end fails it with the time-out, as any reader would
    // that found the time over.
    static void close_overdue_receives(int64_t now)
    {
        wq_ThreadEnvironment tenv;
        wq_ReadLock g(wq_MsgCircuit::_wq_gate, tenv);
        for (wq_MsgCircuit *c = wq_MsgCircuit::_svr_first; c; c = c->svr_next) {
            int64_t due = c->receive_due();
            if (due && now >= due)
                c->shutdown_net();
        }
    }
};

// Never destroyed: the thread may run while the process ends.
Watcher &watcher()
{
    static Watcher *w = new Watcher;
    return *w;
}

} // namespace

namespace wq_watch {

bool park(wq_MsgCircuit *c)
{
    Watcher &w = watcher();
    int fd = c->net() ? c->net()->poll_fd() : -1;
    if (fd < 0)
        return false;
    std::lock_guard<std::mutex> g(w.mtx);
    if (!w.ensure_started())
        return false;
    epoll_event e{};
    e.events = EPOLLOUT | EPOLLONESHOT;
    e.data.ptr = c;
    int op = c->watch_added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(w.ep, op, fd, &e) != 0) {
        int other = op == EPOLL_CTL_ADD ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
        if (!((errno == EEXIST || errno == ENOENT) && ::epoll_ctl(w.ep, other, fd, &e) == 0))
            return false;
    }
    c->watch_added = true;
    bool was_busy = w.busy();
    w.parked.push_back(c);
    if (!was_busy)
        w.wake();
    return true;
}

void receive_begun()
{
    Watcher &w = watcher();
    if (w.receiving.fetch_add(1, std::memory_order_acq_rel) == 0) {
        std::lock_guard<std::mutex> g(w.mtx);
        if (w.ensure_started())
            w.wake();
    }
}

void receive_ended() { watcher().receiving.fetch_sub(1, std::memory_order_acq_rel); }

void forget(int fd)
{
    Watcher &w = watcher();
    std::lock_guard<std::mutex> g(w.mtx);
    if (w.ep >= 0) {
        epoll_event none{};
        ::epoll_ctl(w.ep, EPOLL_CTL_DEL, fd, &none);
    }
}

} // namespace wq_watch
