// Helpers of the IPC tests: real framework tasks that run test code on their
// own thread (the channel API binds a channel side to the calling task's
// event queue), and channel configurations built in the test.
#ifndef YW_IPC_TEST_UTIL_H
#define YW_IPC_TEST_UTIL_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/yw_test_common.h"
#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_ism.h"
#include "log/yw_log.h"
#include "task/yw_task.h"

namespace yw_ipc_test {

using yw_common_test::makeCfg;

// Log, task and IPC tables ready, once per process.
inline void setUpServices()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    yw_common_test::initLogAndTasks(false);
    YW_ipc_ism_init();
}

inline bool waitFor(const std::function<bool()> &cond, std::chrono::milliseconds limit = std::chrono::seconds(60))
{
    return yw_common_test::waitFor(cond, limit);
}

// A framework task that runs the jobs handed to it, one after another, on its
// own thread, until it is told to end.
class TaskHost {
public:
    explicit TaskHost(const char *name) : m_name(name)
    {
        YW_task_cfg_t c = makeCfg(m_name.c_str(), "yw_ipc_test_host_entry");
        m_ok = YW_createTask(&c, &m_id) == YW_SUCCESS && YW_startTask(m_id, this) == YW_SUCCESS;
        if (m_ok)
            m_ok = waitFor([this] { return m_running.load(); });
    }
    ~TaskHost() { stop(); }
    TaskHost(const TaskHost &) = delete;
    TaskHost &operator=(const TaskHost &) = delete;

    bool ok() const { return m_ok; }
    YW_task_id_t id() const { return m_id; }

    // Runs fn on the task's thread and waits for it. A job that does not end
    // in time ends the test process: it still uses the caller's variables,
    // so the caller cannot go on.
    void run(const std::function<void()> &fn, std::chrono::seconds limit = std::chrono::seconds(60))
    {
        std::unique_lock<std::mutex> lk(m_mx);
        auto seq = ++m_posted;
        m_jobs.push_back(fn);
        m_cv.notify_all();
        if (!m_cv.wait_for(lk, limit, [&] { return m_done >= seq; }))
            hung("run", limit);
    }

    // Hands fn to the task without waiting.
    void post(const std::function<void()> &fn)
    {
        std::lock_guard<std::mutex> lk(m_mx);
        ++m_posted;
        m_jobs.push_back(fn);
        m_cv.notify_all();
    }

    // Waits for every job handed over (each ends by its own bound).
    void drain(std::chrono::seconds limit = std::chrono::seconds(120))
    {
        std::unique_lock<std::mutex> lk(m_mx);
        if (!m_cv.wait_for(lk, limit, [&] { return m_done >= m_posted; }))
            hung("drain", limit);
    }

    void stop()
    {
        if (!m_ok)
            return;
        {
            std::lock_guard<std::mutex> lk(m_mx);
            m_stop = true;
            m_cv.notify_all();
        }
        waitFor([this] { return m_ended.load(); });
        // The task ends by returning from its entry, which frees its slot.
        waitFor([this] {
            YW_task_id_t id;
            return YW_searchTaskByName(m_name.c_str(), &id) != YW_SUCCESS;
        });
        m_ok = false;
    }

    void loop()
    {
        m_running = true;
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lk(m_mx);
                m_cv.wait(lk, [&] { return m_stop || !m_jobs.empty(); });
                if (m_jobs.empty() && m_stop)
                    break;
                job = m_jobs.front();
                m_jobs.pop_front();
            }
            job();
            std::lock_guard<std::mutex> lk(m_mx);
            ++m_done;
            m_cv.notify_all();
        }
        m_ended = true;
    }

private:
    [[noreturn]] void hung(const char *what, std::chrono::seconds limit)
    {
        std::fprintf(stderr, "TaskHost %s: %s not done after %lld s\n", m_name.c_str(), what,
                     (long long)limit.count());
        std::fflush(stderr);
        std::abort();
    }

    std::string m_name;
    YW_task_id_t m_id = YW_TASK_ID_NONE;
    bool m_ok = false;
    std::mutex m_mx;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_jobs;
    unsigned long m_posted = 0, m_done = 0;
    bool m_stop = false;
    std::atomic<bool> m_running{false}, m_ended{false};
};

// Waits on the calling task's queue and takes IPC events until one arrives or
// the time runs out; returns the event value, or -1.
inline long long takeIpcEvent(YW_int64_t timeoutNs = 60000000000LL)
{
    YW_event_q_t *q = YW_task_tse_getEventQ();
    auto end = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeoutNs);
    while (std::chrono::steady_clock::now() < end) {
        YW_event_msg_t *m = nullptr;
        if (YW_event_recv(q, YW_EVENT_FLAG_IPC, &m) == 0) {
            long long v = m->id.p.value;
            YW_event_releaseEvent(m);
            return v;
        }
        YW_event_wait(q, 50000000LL);
    }
    return -1;
}

// Number of IPC events now waiting on the calling task's queue (taken).
inline int countIpcEvents()
{
    YW_event_q_t *q = YW_task_tse_getEventQ();
    int n = 0;
    YW_event_msg_t *m = nullptr;
    while (YW_event_recv(q, YW_EVENT_FLAG_IPC, &m) == 0) {
        YW_event_releaseEvent(m);
        n++;
    }
    return n;
}

// A message-queue channel configuration owned by the test.
struct MsgqCfg {
    std::string name, local, remote;
    YW_ipc_cfg_t cfg{};
    MsgqCfg(const char *n, YW_uint32_t flags, YW_uint32_t iap, YW_int64_t bufSize = 1024, YW_uint64_t descs = 8,
            const char *localName = "", const char *remoteName = "")
        : name(n), local(localName), remote(remoteName)
    {
        cfg.name = const_cast<char *>(name.c_str());
        cfg.interfaceType = YW_IPC_INTF_MSGQ;
        cfg.transportType = YW_IPC_TRANSPORT_MAX;
        cfg.flags = flags;
        cfg.iap = iap;
        YW_ipc_side_cfg_t &s = (flags & YW_IPC_FLAGS_RX) ? cfg.rx : cfg.tx;
        s.buffer_size = bufSize;
        s.max_descriptors = descs;
        s.frame_size = 1024;
        std::strncpy(cfg.address.local.msgq_name, local.c_str(), YW_IPC_NAME_LEN - 1);
        std::strncpy(cfg.address.remote.msgq_name, remote.c_str(), YW_IPC_NAME_LEN - 1);
    }
};

// Deletes every channel of the table (closing what is open).
inline void deleteAllChannels()
{
    for (int i = 0; i < YW_IPC_MAX; i++) {
        if (YW_g_ipc[i].cfg)
            YW_ipc_closeAndDelete((YW_ipc_id_t)i);
    }
}

// Runs fn when the scope ends, also when an assertion leaves it early (jobs
// handed to tasks are told to stop and waited for before their variables go).
class AtExit {
public:
    explicit AtExit(std::function<void()> fn) : m_fn(std::move(fn)) {}
    ~AtExit()
    {
        if (m_fn)
            m_fn();
    }
    AtExit(const AtExit &) = delete;
    AtExit &operator=(const AtExit &) = delete;

private:
    std::function<void()> m_fn;
};

// Fixture: the services up, no channel and an empty configuration table at
// the start of each case, and no channel left behind at its end.
class FreshChannels : public ::testing::Test {
protected:
    void SetUp() override
    {
        setUpServices();
        YW_ipc_ism_init();
        deleteAllChannels();
        std::memset(YW_g_ipc_cfg, 0, sizeof(YW_g_ipc_cfg));
    }
    void TearDown() override { deleteAllChannels(); }
};

} // namespace yw_ipc_test

extern "C" inline __attribute__((used)) void *yw_ipc_test_host_entry(void *arg)
{
    static_cast<yw_ipc_test::TaskHost *>(arg)->loop();
    return nullptr;
}

#endif
