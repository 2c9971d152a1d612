// Ends the test process when one test runs far longer than it ever should (a
// lost wake-up, a waiter never handed its lock, a join on a stuck thread), so
// that a hang fails at once with the test's name instead of stalling the run.
//
// Included by every test file of a folder; the listener is installed once per
// executable. It arms an alarm at each test's start and disarms it at its end;
// the alarm's handler writes the name and ends the process with status 1.
// Nothing of it survives into a death test's child (alarms are not inherited).
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace orb_test {

// Far above any test's normal run time, even on a loaded machine under
// ThreadSanitizer.
constexpr unsigned k_watchdog_seconds = 150;

inline char g_watchdog_line[512];
inline volatile std::sig_atomic_t g_watchdog_len = 0;

inline void watchdog_fired(int)
{
    if (g_watchdog_len > 0)
        (void)!::write(2, g_watchdog_line, static_cast<std::size_t>(g_watchdog_len));
    ::_exit(1);
}

class WatchdogListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &info) override
    {
        int n = std::snprintf(g_watchdog_line, sizeof g_watchdog_line,
                              "\nwatchdog: %s.%s did not finish within %u s (hung)\n",
                              info.test_suite_name(), info.name(), k_watchdog_seconds);
        if (n >= int(sizeof g_watchdog_line))
            n = int(sizeof g_watchdog_line) - 1;
        g_watchdog_len = n < 0 ? 0 : n;
        ::alarm(k_watchdog_seconds);
    }
    void OnTestEnd(const testing::TestInfo &) override { ::alarm(0); }
};

inline bool install_watchdog()
{
    struct sigaction sa {};
    sa.sa_handler = watchdog_fired;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    testing::UnitTest::GetInstance()->listeners().Append(new WatchdogListener);
    return true;
}

inline const bool g_watchdog_installed = install_watchdog();

} // namespace orb_test
