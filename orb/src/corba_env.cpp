// Environments and their wrappers: where broker operations leave exceptions,
// and where the application's wrapper throws them.
#include "corba_env.h"
#include "corba_except.h"

#include <exception>

namespace CORBA {

namespace {
struct WatchLock {
    explicit WatchLock(wq_SpinGuard &g) : g_(g) { g_.acquire(); }
    ~WatchLock() { g_.release(); }
    wq_SpinGuard &g_;
};
} // namespace

EnvironmentInfo *EnvironmentInfo::_current()
{
    wq_ThreadEnvironment tenv;
    if (void *p = wq_Thread::get_specific(wq_env_key, tenv))
        return static_cast<EnvironmentInfo *>(p);
    return new EnvironmentInfo();
}

EnvironmentInfo::EnvironmentInfo() : wq_ThreadEnvironment()
{
    own_ = new EnvironmentWrapper(this);
    wq_Thread::set_specific(wq_env_key, this, *this);
    rec_->priority = 0;
}

EnvironmentInfo::EnvironmentInfo(int) : wq_ThreadEnvironment(nullptr) {}

EnvironmentInfo::~EnvironmentInfo()
{
    if (own_) {
        own_->bind(nullptr); // its end must not act on this environment
        delete own_;
        own_ = nullptr;
        if (wq_Thread::get_specific(wq_env_key, *this) == this)
            wq_Thread::set_specific(wq_env_key, nullptr, *this);
    }
    close_watchers(true);
    if (Exception *e = exc_) {
        hold(nullptr);
        wq_report_lost_exception(e);
        delete e;
    }
}

void EnvironmentInfo::watch(wq_EnvWatch *w)
{
    WatchLock g(watch_lock_);
    w->env = this;
    w->prev = nullptr;
    w->next = watchers_;
    if (watchers_)
        watchers_->prev = w;
    watchers_ = w;
}

void EnvironmentInfo::unwatch(wq_EnvWatch *w)
{
    WatchLock g(watch_lock_);
    if (w->env != this)
        return;
    if (w->prev)
        w->prev->next = w->next;
    else
        watchers_ = w->next;
    if (w->next)
        w->next->prev = w->prev;
    w->next = w->prev = nullptr;
    w->env = nullptr;
}

void EnvironmentInfo::close_watchers(bool detach)
{
    WatchLock g(watch_lock_);
    for (wq_EnvWatch *w = watchers_, *n; w; w = n) {
        n = w->next;
        w->close(w);
        if (detach) {
            w->next = w->prev = nullptr;
            w->env = nullptr;
        }
    }
    if (detach)
        watchers_ = nullptr;
}

void EnvironmentInfo::exception(Exception *e)
{
    Exception *old = exc_;
    if (old == e)
        return;
    hold(e);
    delete old;
}

void EnvironmentInfo::exception(const Exception &e) { exception(e.wq_duplicate()); }

void EnvironmentInfo::clear() { exception(static_cast<Exception *>(nullptr)); }

EnvironmentInfo &EnvironmentInfo::operator=(EnvironmentInfo &other)
{
    if (&other != this) {
        Exception *e = other.exc_;
        other.hold(nullptr);
        exception(e);
    }
    return *this;
}

void EnvironmentInfo::wq_raise()
{
    Exception *e = exc_;
    if (!e)
        return;
    hold(nullptr);
    e->_raise();
}

EnvironmentWrapper::~EnvironmentWrapper() noexcept(false)
{
    EnvironmentInfo *env = env_;
    if (!env)
        return;
    env_ = nullptr;
    if (!env->is_thread_environment()) {
        delete env; // a private environment belongs to its one wrapper
        return;
    }
    if (!env->exception())
        return;
    if (std::uncaught_exceptions() > 0) {
        // Another exception is unwinding through here: throwing would end the
        // process. Report this one and drop it, so it does not surface later
        // at an unrelated call.
        Exception *e = env->exception();
        env->replace(nullptr);
        wq_report_lost_exception(e);
        delete e;
        return;
    }
    env->wq_raise();
}

EnvironmentInfo *EnvironmentWrapper::bind_current() const
{
    if (!env_)
        env_ = EnvironmentInfo::_current();
    return env_;
}

void EnvironmentWrapper::exception(Exception *e) const { bind_current()->exception(e); }

void EnvironmentWrapper::exception(const Exception &e) const
{
    bind_current()->exception(e.wq_duplicate());
}

} // namespace CORBA

extern "C" void wq_env_cleanup(void *env) { delete static_cast<CORBA::EnvironmentInfo *>(env); }

extern "C" void wq_exception_cleanup(void *exc) { delete static_cast<CORBA::Exception *>(exc); }

namespace {
struct FixedKeyDtors {
    FixedKeyDtors()
    {
        wq_SpecificData::_dtors[wq_env_key].store(wq_env_cleanup);
        wq_SpecificData::_dtors[wq_last_throw_key].store(wq_exception_cleanup);
    }
} const g_fixed_key_dtors;
} // namespace
