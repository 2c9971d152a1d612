// The environment through which every broker operation reports failure.
//
// An operation stores a heap exception in the environment of the wrapper it
// was given and returns a neutral value; callers test pending() and return.
// The exception is thrown only when the application's wrapper ends.
#pragma once

#include "wq_thread.h"

#include "wq_lock.h"

namespace CORBA {

class Exception;
class EnvironmentWrapper;
class EnvironmentInfo;

// One entry of an environment's watch list: a stream whose inlined paths run
// without looking at the environment, and which must be told (close) when an
// exception arrives there or the environment ends. close runs under the
// environment's list lock and must not call back into the environment.
struct wq_EnvWatch {
    wq_EnvWatch *next = nullptr;
    wq_EnvWatch *prev = nullptr;
    EnvironmentInfo *env = nullptr;
    void (*close)(wq_EnvWatch *) = nullptr;
};

class EnvironmentInfo : public wq_ThreadEnvironment {
public:
    // The thread environment (one per thread, kept under wq_env_key), made on
    // first use.
    static EnvironmentInfo *_current();

    // Builds the thread environment of the calling thread.
    EnvironmentInfo();
    // A private environment: no own wrapper, owned by the one wrapper that
    // points to it; its exceptions are never thrown.
    explicit EnvironmentInfo(int);
    ~EnvironmentInfo();
    EnvironmentInfo(const EnvironmentInfo &) = delete;

    // Stores a heap exception (null clears); the one held before is deleted
    // unless it is the same object.
    void exception(Exception *e);
    // Stores a heap copy of `e`.
    void exception(const Exception &e);
    Exception *exception() const { return exc_; }
    void clear();
    // Stores the pointer without deleting the one held (the caller took it).
    void replace(Exception *e) { hold(e); }
    // Moves the other environment's exception here.
    EnvironmentInfo &operator=(EnvironmentInfo &other);
    // Takes the exception out and throws it (only called while one is held).
    void wq_raise();

    // Own wrapper of a thread environment; null for a private one.
    const EnvironmentWrapper *wrapper() const { return own_; }
    bool is_thread_environment() const { return own_ != nullptr; }

    // Adds w (watching nothing) to the watch list; removes it again.
    void watch(wq_EnvWatch *w);
    void unwatch(wq_EnvWatch *w);

private:
    // Every change of exc_ goes through here: an exception arriving closes
    // every watcher.
    void hold(Exception *e)
    {
        bool arrives = exc_ == nullptr && e != nullptr;
        exc_ = e;
        if (arrives)
            close_watchers(false);
    }
    // Calls close on every watcher; `detach` also empties the list.
    void close_watchers(bool detach);

    EnvironmentWrapper *own_ = nullptr;
    Exception *exc_ = nullptr;
    wq_SpinGuard watch_lock_; // held only to walk or change the list
    wq_EnvWatch *watchers_ = nullptr;
};

// Passed by const reference to every broker operation (usually a temporary
// default argument). Binding changes the field through the const reference.
class EnvironmentWrapper {
public:
    EnvironmentWrapper() = default;
    explicit EnvironmentWrapper(EnvironmentInfo *env) : env_(env) {}
    EnvironmentWrapper(const EnvironmentWrapper &) = delete;
    EnvironmentWrapper &operator=(const EnvironmentWrapper &) = delete;
    // Throws the pending exception of a thread environment; destroys a private
    // environment. Never throws while another exception is unwinding: the
    // pending exception is then reported and deleted.
    ~EnvironmentWrapper() noexcept(false);

    // Raises: binds to the thread environment if unbound and stores the
    // exception (a heap object, or a heap copy of `e`).
    void exception(Exception *e) const;
    void exception(const Exception &e) const;

    EnvironmentInfo *environment() const { return env_; }
    // Binds to `env` (a private environment handed over by its owner, or the
    // thread environment).
    void bind(EnvironmentInfo *env) const { env_ = env; }
    // Binds to the thread environment when unbound; returns the environment.
    EnvironmentInfo *bind_current() const;
    // The held exception, null when unbound or none.
    Exception *exception() const { return env_ ? env_->exception() : nullptr; }
    // An exception is pending when bound and the environment holds one.
    bool pending() const { return env_ && env_->exception(); }
    // Deletes the pending exception, if any.
    void clear() const
    {
        if (env_)
            env_->clear();
    }

private:
    mutable EnvironmentInfo *env_ = nullptr;
};

// Deletes a heap wrapper: a pending exception of the thread environment is
// raised, a private environment is destroyed (the wrapper's destructor).
inline void release(const EnvironmentWrapper *w) { delete w; }
inline bool is_nil(const EnvironmentWrapper *w) { return w == nullptr; }

} // namespace CORBA

// Destructors of the fixed thread-data keys 1 and 3.
extern "C" void wq_env_cleanup(void *env);
extern "C" void wq_exception_cleanup(void *exc);
