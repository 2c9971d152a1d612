// The broker's managed worker threads and its diagnostic line prefix.
#include "wq_mthread.h"
#include "wq_text.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <string>

wq_ManagedThread *wq_ManagedThread::_list = nullptr;
constinit wq_RWMutex wq_ManagedThread::_for_list;

namespace {

uint32_t mgthr_key()
{
    static const uint32_t key = wq_SpecificData::create_key(nullptr);
    return key;
}

// Broadcast whenever join_all removes a record, for callers that wait for
// records another caller has claimed.
constinit wq_RWCondVar g_list_changed(wq_ManagedThread::_for_list);

} // namespace

wq_ManagedThread::wq_ManagedThread(Function fn, void *arg) : function(fn), argument(arg)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(_for_list, tenv);
    next = _list;
    if (_list)
        _list->prev = this;
    _list = this;
}

wq_ManagedThread::~wq_ManagedThread()
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(_for_list, tenv);
    if (prev)
        prev->next = next;
    else if (_list == this)
        _list = next;
    if (next)
        next->prev = prev;
    next = prev = nullptr;
}

wq_ManagedThread *wq_ManagedThread::start(Function fn, void *arg, int flags, int priority,
                                          unsigned long stack_size, int policy, bool *started)
{
    mgthr_key();
    // The list stays locked from linking to storing the thread id, so a
    // concurrent join_all never takes a starting thread for one never started.
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(_for_list, tenv);
    auto *rec = new wq_ManagedThread(fn, arg);
    // join_all waits on `done`, never on the thread itself: run detached.
    rec->thread_id = wq_Thread::spawn(thread_action, rec, flags | wq_Thread::DETACHED, priority,
                                      stack_size, policy);
    const bool ok = rec->thread_id != wq_Thread::INVALID_TID;
    if (started)
        *started = ok;
    if (!ok) {
        delete rec; // no thread will ever end it
        return nullptr;
    }
    return rec;
}

// The thread's last step: a record that a join_all caller has claimed is
// signalled (that caller removes it); any other is removed here, so a
// thread that ends on its own leaves nothing behind.
void wq_ManagedThread::finish(wq_ManagedThread *rec)
{
    wq_ThreadEnvironment tenv;
    _for_list.lock_write(tenv);
    if (rec->claimed) {
        _for_list.unlock(tenv);
        rec->done.signal(); // last touch of the record
        return;
    }
    delete rec; // unlinks under the (re-entrant) list lock
    _for_list.unlock(tenv);
}

std::size_t wq_ManagedThread::listed()
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(_for_list, tenv);
    std::size_t n = 0;
    for (wq_ManagedThread *r = _list; r; r = r->next)
        ++n;
    return n;
}

void *wq_ManagedThread::thread_action(void *record)
{
    auto *rec = static_cast<wq_ManagedThread *>(record);
    if (rec->function) {
        wq_Thread::set_specific(mgthr_key(), reinterpret_cast<void *>(1));
        try {
            rec->function(rec->argument);
        } catch (abi::__forced_unwind &) {
            finish(rec); // thread cancellation must go on unwinding
            throw;
        } catch (const std::exception &e) {
            try {
                std::string line =
                    "Ulvenor WARNING: thread died with an uncaught C++ std::exception = ";
                line += e.what();
                line += '\n';
                wq_err.write(line.data(), line.size()); // one piece: lines never interleave
            } catch (...) {
            }
        } catch (...) {
            try {
                wq_err << "Ulvenor WARNING: thread died with an uncaught C++ native exception\n";
            } catch (...) {
            }
        }
    }
    finish(rec);
    return nullptr;
}

bool wq_ManagedThread::is_managed_thread()
{
    return wq_Thread::get_specific(mgthr_key()) != nullptr;
}

void wq_ManagedThread::join_all()
{
    wq_ThreadEnvironment tenv;
    const bool managed = is_managed_thread();
    const wq_Thread::tid_t me = wq_Thread::self();
    // A managed thread cannot wait for its own end.
    auto own = [&](const wq_ManagedThread *r) {
        return managed && r->thread_id != wq_Thread::INVALID_TID && pthread_equal(r->thread_id, me);
    };
    _for_list.lock_write(tenv);
    for (;;) {
        // Each record is waited for by one caller only (its semaphore holds
        // one signal). No lock is held while waiting, so a caller that is
        // itself a managed thread can be waited for by another caller.
        wq_ManagedThread *pick = nullptr;
        bool others = false;
        for (wq_ManagedThread *r = _list; r; r = r->next) {
            if (own(r))
                continue;
            if (r->claimed) {
                others = true;
                continue;
            }
            pick = r;
            break;
        }
        if (!pick) {
            if (!others)
                break;
            g_list_changed.wait(tenv); // releases the list lock meanwhile
            continue;
        }
        pick->claimed = true;
        if (pick->thread_id != wq_Thread::INVALID_TID) {
            _for_list.unlock(tenv);
            pick->done.wait();
            _for_list.lock_write(tenv);
        }
        delete pick; // unlinks under the (re-entrant) list lock
        g_list_changed.broadcast(tenv);
    }
    _for_list.unlock(tenv);
}

// ---- diagnostic headers ---------------------------------------------------------

namespace {
char const *nz(char const *s) { return s ? s : ""; }

char *copy_out(const std::string &s)
{
    char *r = new char[s.size() + 1];
    std::memcpy(r, s.c_str(), s.size() + 1);
    return r;
}
} // namespace

char *wq_HeaderLog::get_header()
{
    std::string h;
    if (wq_ORB::diagnostics == 1) {
        h = nz(wq_ORB::process_name);
        h += ": ";
        h += nz(wq_ORB::svr_class_name);
        h += "_";
        h += nz(wq_ORB::svr_instance_name);
        h += ":";
    } else if (wq_ORB::diagnostics == 2) {
        char tbuf[64] = {0};
        time_t now = time(nullptr);
        char const *when = ctime_r(&now, tbuf);
        h.assign(when && std::strlen(when) >= 19 ? when + 11 : "00:00:00", 8);
        h += " ";
        h += nz(wq_ORB::process_name);
        h += ": ";
        h += nz(wq_ORB::svr_class_name);
        h += "_";
        h += nz(wq_ORB::svr_instance_name);
        h += " @";
        h += nz(wq_ORB::host_name);
        h += ":";
    }
    return copy_out(h);
}
