// Log lifetimes under concurrency: a log deleted while the receiver delivers
// its records and other threads write to it, the standard handles set while
// threads print, and a client socket that does not read.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log/yw_log.h"
#include "osa/yw_osa.h"

namespace {

std::atomic<long> g_delivered{0};

int slow_cb(YW_logOutputPort_t *, const char *data, YW_size_t len, YW_logRecord_t *)
{
    volatile char sink = 0;
    for (YW_size_t i = 0; i < len; i++)
        sink = sink + data[i]; // reads the ring while the deletion may run
    std::this_thread::yield();
    g_delivered++;
    return 0;
}

// Standard output is flooded by the runs below: sent to /dev/null meanwhile.
struct QuietStdout {
    int saved;
    QuietStdout()
    {
        std::fflush(stdout);
        saved = dup(1);
        FILE *null = std::fopen("/dev/null", "w");
        dup2(fileno(null), 1);
        std::fclose(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

TEST(LogLifetime, DeletedWhileDeliveredAndWritten)
{
    ASSERT_EQ(0, YW_log_init());
    YW_P_thread_t th = nullptr;
    ASSERT_EQ(0, YW_P_createThread("lse_receiver", 0, 0, 0, 0, YW_log_lse_main, &YW_g_logEventControl, &th));
    std::atomic_ref<YW_P_thread_t>(YW_g_logEventControl.lse_recv_task).store(th);
    QuietStdout quiet;
    for (int round = 0; round < 60; round++) {
        YW_log_cfg_t c;
        YW_log_cfg_init(&c);
        c.name = const_cast<char *>("doomed");
        c.bufferSize = 4096;
        c.input.type = YW_LOG_PORT_TYPE_ONDEMAND;
        c.input.level = YW_LOG_LEVEL_VERBOSE;
        YW_log_t h = nullptr;
        ASSERT_EQ(0, YW_createLog(&c, &h));
        ASSERT_EQ(0, YW_addLogSource(h, YW_LOG_PORT_TYPE_ONDEMAND, nullptr));
        int key;
        ASSERT_GE(YW_log_lse_addOutput(h, YW_LOG_PORT_TYPE_LSE, nullptr, &key, slow_cb), 0);
        YW_enableLog(h);
        std::atomic<bool> stop{false};
        std::vector<std::thread> users;
        // a producer of buffered records and a printer, both on past deletion
        users.emplace_back([&] {
            char rec[200];
            std::memset(rec, 'r', sizeof(rec));
            while (!stop)
                YW_log_lse_pushRecord(h, rec, sizeof(rec), YW_LOG_LEVEL_INFO);
        });
        users.emplace_back([&] {
            while (!stop)
                YW_logPrintf(h, YW_LOG_LEVEL_INFO, "line %d\n", round);
        });
        long before = g_delivered.load();
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (g_delivered.load() < before + 20 && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        EXPECT_EQ(0, YW_deleteLog(h));
        // a handle kept past the deletion is refused, never served
        EXPECT_EQ(YW_ERR_LOG_INVALID, YW_logWrite(h, YW_LOG_LEVEL_INFO, "x", 1));
        EXPECT_NE(0, YW_log_lse_pushRecord(h, "x", 1, YW_LOG_LEVEL_INFO));
        stop = true;
        for (auto &t : users)
            t.join();
    }
    ASSERT_EQ(0, YW_log_lse_stopReceiver());
    std::atomic_ref<YW_P_thread_t> recv(YW_g_logEventControl.lse_recv_task);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (recv.load() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    YW_P_deleteThread(th);
}

TEST(LogLifetime, StandardHandlesSetWhileThreadsPrint)
{
    ASSERT_EQ(0, YW_log_init());
    QuietStdout quiet;
    std::atomic<bool> stop{false};
    std::thread printer([&] {
        while (!stop)
            YW_printf("tick\n");
    });
    for (int i = 0; i < 2000; i++) {
        YW_registerLog("stdout", &YW_g_log_stdout);
        YW_registerLog(i % 2 ? "stderr" : "stdout", &YW_g_log_stderr);
    }
    stop = true;
    printer.join();
    EXPECT_EQ(&YW_g_lse_stdout, YW_g_log_stdout);
}

TEST(LogLifetime, AClientThatDoesNotReadGetsWholeLinesOrNone)
{
    // a loopback connection whose reader does not read yet
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof(a);
    ASSERT_EQ(0, bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof(a)));
    ASSERT_EQ(0, listen(ls, 1));
    ASSERT_EQ(0, getsockname(ls, reinterpret_cast<sockaddr *>(&a), &al));
    int small = 4096;
    int tx = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(tx, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    ASSERT_EQ(0, connect(tx, reinterpret_cast<sockaddr *>(&a), sizeof(a)));
    int rx = accept(ls, nullptr, nullptr);
    ASSERT_GE(rx, 0);
    const std::string line(700, 'y');
    YW_logRecord_t rec{};
    rec.segmentIndex = 1; // no time stamp: every line has the same length
    int sent = 0, dropped = 0;
    for (int i = 0; i < 2000; i++)
        (YW_log_lse_sendStampedWait(tx, line.data(), (YW_size_t)line.size(), &rec, 0) == 0 ? sent : dropped)++;
    EXPECT_GT(sent, 0);
    EXPECT_GT(dropped, 0);
    shutdown(tx, SHUT_WR);
    long got = 0;
    char buf[4096];
    for (ssize_t n; (n = read(rx, buf, sizeof(buf))) > 0;)
        got += n;
    EXPECT_EQ(got, (long)sent * (long)line.size()); // no line cut short
    for (int fd : {tx, rx, ls})
        close(fd);
}

} // namespace
