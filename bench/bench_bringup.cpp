// Bring-up time of a node: from exec of turv_node on the single-node example
// to the line of the framework running the synchronisation event in SYNC,
// median of several runs, beside the time to exec and reap /bin/true.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"

extern char **environ;

namespace {

using clk = std::chrono::steady_clock;

constexpr const char *kSyncLine = "ctx=frm_fsm state=3 evt=20000.14\n";
constexpr int kRuns = 9;

// Milliseconds from spawn to the SYNC line, or a negative value on failure.
double bringUpOnce(const std::string &bin, const std::string &dir)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    std::vector<std::string> args = {bin, "-C", dir, "-f", "turv_sys_cfg.xml", "-a", "turv_app_cfg.xml"};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    auto t0 = clk::now();
    int rc = posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return -1;
    }
    std::string out;
    double ms = -1;
    auto deadline = t0 + std::chrono::seconds(20);
    char buf[8192];
    while (clk::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        // Only the tail can complete the line: keep the search window short.
        size_t from = out.size() > 64 ? out.size() - 64 : 0;
        out.append(buf, (size_t)n);
        if (out.find(kSyncLine, from) != std::string::npos) {
            ms = std::chrono::duration<double, std::milli>(clk::now() - t0).count();
            break;
        }
    }
    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
    close(fds[0]);
    return ms;
}

double execTrueOnce()
{
    const char *argv[] = {"/bin/true", nullptr};
    pid_t pid = -1;
    auto t0 = clk::now();
    if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        return -1;
    int st;
    waitpid(pid, &st, 0);
    return std::chrono::duration<double, std::milli>(clk::now() - t0).count();
}

} // namespace

int main()
{
    std::string bin = std::string(TURV_BIN_DIR) + "/turv_node";
    std::string src = std::string(TURV_SOURCE_DIR) + "/examples/single-node/";
    char tmpl[] = "/tmp/turv_bench_XXXXXX";
    const char *d = mkdtemp(tmpl);
    if (!d) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = d;
    std::filesystem::copy_file(src + "turv_sys_cfg.xml", dir + "/turv_sys_cfg.xml");
    std::filesystem::copy_file(src + "turv_app_cfg.xml", dir + "/turv_app_cfg.xml");

    std::vector<double> node, base;
    bringUpOnce(bin, dir); // warm the page cache
    for (int i = 0; i < kRuns; ++i) {
        double ms = bringUpOnce(bin, dir);
        if (ms < 0) {
            std::fprintf(stderr, "run %d: the node did not reach SYNC\n", i);
            std::filesystem::remove_all(dir);
            return 1;
        }
        node.push_back(ms);
        base.push_back(execTrueOnce());
    }
    std::filesystem::remove_all(dir);
    double m = bench::median(node), b = bench::median(base);
    std::printf("bring-up runs: %d, median %.2f ms (min %.2f, max %.2f); /bin/true median %.3f ms\n", kRuns, m,
                *std::min_element(node.begin(), node.end()), *std::max_element(node.begin(), node.end()), b);
    bench::figure("bringup_to_sync", m, "ms", b, bench::slowdown(m, b), {2, 3, 1});
    return 0;
}
