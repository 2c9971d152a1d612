// Concurrency of logging: several threads log to one entity with a file
// port while command-interface-like ports come and go. Every line must reach
// the file whole, once, and in its thread's order; the buffered path
// (ring and receiver task) must deliver every record too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "log/yw_log.h"
#include "osa/yw_osa.h"

namespace {

constexpr int kThreads = 4;
constexpr int kLines = 2000;

std::atomic<long> g_portLines{0};

int count_cb(YW_logOutputPort_t *, const char *, YW_size_t, YW_logRecord_t *)
{
    g_portLines++;
    return 0;
}

TEST(LogMt, ConcurrentLinesReachTheFileWholeAndInOrder)
{
    ASSERT_EQ(0, YW_log_init());
    char tmpl[] = "/tmp/turv_logmt_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    std::string dir = tmpl;

    YW_log_cfg_t c;
    YW_log_cfg_init(&c);
    c.name = const_cast<char *>("mt");
    c.bufferSize = 4096;
    c.input.type = YW_LOG_PORT_TYPE_ONDEMAND;
    c.input.level = YW_LOG_LEVEL_VERBOSE;
    c.output[0].type = YW_LOG_PORT_TYPE_FILE;
    c.output[0].logFolderName = const_cast<char *>(dir.c_str());
    c.output[0].logFileName = const_cast<char *>("mt.log");
    c.output_count = 1;
    YW_log_t h = nullptr;
    ASSERT_EQ(0, YW_createLog(&c, &h));
    ASSERT_EQ(0, YW_addLogSource(h, YW_LOG_PORT_TYPE_ONDEMAND, nullptr));
    ASSERT_EQ(0, YW_log_lse_addOutputFile(h, nullptr, &h->cfg->output[0]));
    YW_enableLog(h);

    // Standard output would be flooded: send it to /dev/null for the run.
    fflush(stdout);
    int saved = dup(1);
    FILE *null = fopen("/dev/null", "w");
    ASSERT_NE(nullptr, null);
    dup2(fileno(null), 1);

    std::atomic<bool> stop{false};
    std::thread churn([&] {
        int keys[3];
        while (!stop.load()) {
            for (int &k : keys)
                YW_log_lse_addOutput(h, YW_LOG_PORT_TYPE_CLI, nullptr, &k, count_cb);
            for (int i = 0; i < YW_LOG_OUTPUT_PORT_MAX; ++i)
                if (h->output[i].type == YW_LOG_PORT_TYPE_CLI)
                    YW_log_lse_delOutput(h, i);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([h, t] {
            for (int i = 0; i < kLines; ++i)
                YW_logPrintf(h, YW_LOG_LEVEL_INFO, "T%d %d %s\n", t, i, "payload-payload-payload");
        });
    for (auto &w : writers)
        w.join();
    stop.store(true);
    churn.join();

    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    fclose(null);
    EXPECT_EQ(0, YW_deleteLog(h));

    std::ifstream f(dir + "/mt.log");
    std::string line;
    std::vector<int> next(kThreads, 0);
    int total = 0, bad = 0;
    while (std::getline(f, line)) {
        int t = -1, i = -1;
        char payload[64] = {};
        // "<hh/mm/ss.uuuuuu>T<t> <i> payload..."
        if (line.size() < 17 || line[0] != '<' || line[16] != '>' ||
            std::sscanf(line.c_str() + 17, "T%d %d %63s", &t, &i, payload) != 3 || t < 0 || t >= kThreads ||
            std::string(payload) != "payload-payload-payload" || i != next[t]) {
            ++bad;
            continue;
        }
        next[t]++;
        ++total;
    }
    EXPECT_EQ(0, bad);
    EXPECT_EQ(kThreads * kLines, total);
    std::remove((dir + "/mt.log").c_str());
    rmdir(dir.c_str());
    YW_log_deinit();
}

std::atomic<long> g_bufferedBytes{0};
std::atomic<long> g_bufferedRecords{0};

int buffered_cb(YW_logOutputPort_t *, const char *, YW_size_t len, YW_logRecord_t *rec)
{
    g_bufferedBytes += len;
    if (rec->segmentIndex == 0)
        g_bufferedRecords++;
    return 0;
}

TEST(LogMt, ReceiverDeliversBufferedRecords)
{
    g_bufferedBytes = 0;
    g_bufferedRecords = 0;
    ASSERT_EQ(0, YW_log_init());
    YW_log_cfg_t c;
    YW_log_cfg_init(&c);
    c.name = const_cast<char *>("buffered");
    c.bufferSize = 1000; // small: records wrap round the end often
    c.input.type = YW_LOG_PORT_TYPE_ONDEMAND;
    c.input.level = YW_LOG_LEVEL_VERBOSE;
    YW_log_t h = nullptr;
    ASSERT_EQ(0, YW_createLog(&c, &h));
    int key;
    ASSERT_GE(YW_log_lse_addOutput(h, YW_LOG_PORT_TYPE_LSE, nullptr, &key, buffered_cb), 0);
    YW_enableLog(h);

    YW_P_thread_t th = nullptr;
    ASSERT_EQ(0, YW_P_createThread("lse_receiver", 0, 0, 0, 0, YW_log_lse_main, &YW_g_logEventControl, &th));
    std::atomic_ref<YW_P_thread_t>(YW_g_logEventControl.lse_recv_task).store(th);

    constexpr int kProducers = 3, kRecords = 3000;
    std::vector<std::thread> producers;
    std::atomic<long> sentBytes{0}, sentRecords{0};
    // A full ring refuses a record and its producer tries again; all of them
    // give up together at one generous deadline (the receiver may get little
    // CPU on a loaded machine, but a receiver that stopped fails the test).
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            char buf[64];
            for (int i = 0; i < kRecords; ++i) {
                int n = std::snprintf(buf, sizeof(buf), "producer %d record %d\n", p, i);
                for (;;) {
                    if (YW_log_lse_pushRecord(h, buf, n, YW_LOG_LEVEL_INFO) == 0) {
                        sentBytes += n;
                        sentRecords++;
                        break;
                    }
                    if (std::chrono::steady_clock::now() >= giveUp)
                        return;
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            }
        });
    for (auto &t : producers)
        t.join();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (g_bufferedBytes.load() < sentBytes.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(kProducers * kRecords, sentRecords.load());
    EXPECT_EQ(sentBytes.load(), g_bufferedBytes.load());
    EXPECT_EQ(sentRecords.load(), g_bufferedRecords.load());

    ASSERT_EQ(0, YW_log_lse_stopReceiver());
    // The receiver clears its handle as it ends.
    std::atomic_ref<YW_P_thread_t> recv(YW_g_logEventControl.lse_recv_task);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (recv.load() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(nullptr, recv.load());
    YW_P_deleteThread(th);
    EXPECT_EQ(0, YW_deleteLog(h));
    YW_log_deinit();
}

} // namespace
