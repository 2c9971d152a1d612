// Helpers of the ORB initialisation tests: argument vectors, a private
// environment, the settings put back after each test, and ORB_init run in a
// child process whose standard error and exit status are collected.
#pragma once

#include "../orb/child_process.h"
#include "corba_orb.h"
#include "wq_mthread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace orb_init_test {

// argv built from words (argv[0] is "app"); argv[argc] is null.
struct Args {
    explicit Args(std::vector<std::string> words)
    {
        words.insert(words.begin(), "app");
        store = std::move(words);
        for (auto &w : store)
            ptrs.push_back(w.data());
        ptrs.push_back(nullptr);
        argc = static_cast<int>(store.size());
    }
    std::vector<std::string> rest() const
    {
        std::vector<std::string> r;
        for (int i = 0; i < argc; ++i)
            r.push_back(ptrs[i]);
        return r;
    }
    std::vector<std::string> store;
    std::vector<char *> ptrs;
    int argc;
};

struct PrivEnv {
    CORBA::EnvironmentWrapper w{new CORBA::EnvironmentInfo(0)};
    ~PrivEnv() { w.clear(); }
    uint32_t minor() const
    {
        auto *se = CORBA::SystemException::_downcast(w.exception());
        return se ? se->minor() & 0xFFFu : 0xFFFFFFFFu;
    }
    std::string id() const { return w.exception() ? w.exception()->wq_ir_name() : ""; }
};

// Every setting an option changes, put back when the test ends; the ORB is
// destroyed first when a test left it initialised.
struct OrbTest : ::testing::Test {
    void TearDown() override
    {
        if (wq_orb) {
            PrivEnv e;
            wq_orb->destroy(e.w);
        }
        CORBA::ORB::_orb_state.store(0);
        using O = CORBA::ORB;
        O::_min_recursion = 1;
        O::_min_band_recursion = 1;
        O::_stack_size = 0;
        O::_acceptor_priority = O::_default_priority = 49;
        O::_retry_delay = 20000000;
        O::_conn_retries = 9;
        O::_fast_rebind = true;
        O::_connection_ordered_oneways = false;
        O::_oneway_sync_scope = 1;
        O::_create_nonband_circuit = true;
        O::_always_propagate_priority = false;
        O::_priority_low = 0;
        O::_priority_high = 32767;
        wq_ORB::diagnostics = 1;
        wq_set_system_exception_private_data(true);
        wq_Thread::setCurrentSchedulingPolicy(0);
    }
};

struct ChildResult {
    int status = -1000; // exit status, or -signal
    std::string err;
};

// Threads of this process (entries of /proc/self/task).
inline int thread_count() { return int(orb_test::thread_count_of()); }

// Runs ORB_init(args, orb_id) in a child; its standard error is collected and
// the child is killed after 10 s. Reader threads of an earlier test may still
// be ending (their records are freed at thread exit): the fork waits for
// them (at most 2 s), so that a leak check in the child finds no record that
// only a thread missing from it could reach.
inline ChildResult run_child(const std::vector<std::string> &words, char const *orb_id = nullptr)
{
    ChildResult r;
    for (int i = 0; i < 400 && thread_count() > 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int fds[2];
    if (pipe(fds) != 0)
        return r;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        Args a(words);
        PrivEnv e;
        CORBA::ORB *orb = CORBA::ORB_init(a.argc, a.ptrs.data(), orb_id, e.w);
        std::fflush(nullptr);
        _exit(orb ? 0 : 3);
    }
    close(fds[1]);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char buf[4096];
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                .count());
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            continue;
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        r.err.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
    return r;
}

} // namespace orb_init_test
