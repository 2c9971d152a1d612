// Bring-up time of a node: from exec of turv_node on the single-node example
// to the line of the framework running the synchronisation event in SYNC,
// median of several runs, beside the time to exec and reap /bin/true. And
// the CPU an idle node of that example uses over 5 s, as a share of one
// core, beside that of a sleeping process.
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
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <thread>
#include <string>
#include <vector>

#include "bench_util.h"

extern char **environ;

namespace {

using clk = std::chrono::steady_clock;

constexpr const char *kSyncLine = "ctx=frm_fsm state=3 evt=20000.14\n";
constexpr int kRuns = 9;

// Starts the node with its standard output on a pipe (fd: the read end);
// the pid, or -1.
pid_t spawnNode(const std::string &bin, const std::string &dir, int &fd)
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
    int rc = posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return -1;
    }
    fd = fds[0];
    return pid;
}

// Reads the node's output until the SYNC line (true) or the deadline.
bool waitSync(int fd, clk::time_point deadline)
{
    std::string out;
    char buf[8192];
    while (clk::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        // Only the tail can complete the line: keep the search window short.
        size_t from = out.size() > 64 ? out.size() - 64 : 0;
        out.append(buf, (size_t)n);
        if (out.find(kSyncLine, from) != std::string::npos)
            return true;
    }
    return false;
}

void killNode(pid_t pid)
{
    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
}

// Milliseconds from spawn to the SYNC line, or a negative value on failure.
double bringUpOnce(const std::string &bin, const std::string &dir)
{
    int fd = -1;
    auto t0 = clk::now();
    pid_t pid = spawnNode(bin, dir, fd);
    if (pid < 0)
        return -1;
    double ms = waitSync(fd, t0 + std::chrono::seconds(20))
                    ? std::chrono::duration<double, std::milli>(clk::now() - t0).count()
                    : -1;
    killNode(pid);
    close(fd);
    return ms;
}

// Nanoseconds the threads of a process have run so far (schedstat).
double cpuNs(pid_t pid)
{
    double ns = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream f(dir + "/" + e->d_name + "/schedstat");
        double run = 0;
        if (f >> run)
            ns += run;
    }
    closedir(d);
    return ns;
}

// Share of one core (percent) a process uses over the window.
double cpuShare(pid_t pid, std::chrono::seconds window)
{
    double a = cpuNs(pid);
    auto t0 = clk::now();
    std::this_thread::sleep_for(window);
    double b = cpuNs(pid);
    double wall = std::chrono::duration<double, std::nano>(clk::now() - t0).count();
    return a < 0 || b < 0 ? -1 : 100.0 * (b - a) / wall;
}

// Starts the node and waits until it reached SYNC; its output is drained
// afterwards, so that it never blocks on a full pipe.
pid_t startIdleNode(const std::string &bin, const std::string &dir)
{
    int fd = -1;
    pid_t pid = spawnNode(bin, dir, fd);
    if (pid < 0)
        return -1;
    bool synced = waitSync(fd, clk::now() + std::chrono::seconds(20));
    std::thread([fd] {
        char b[8192];
        while (read(fd, b, sizeof b) > 0) {
        }
        close(fd);
    }).detach();
    if (!synced) {
        killNode(pid);
        return -1;
    }
    return pid;
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
    // An idle node, settled for a second after SYNC, beside a sleeping process.
    double idle = -1, sleeping = -1;
    if (pid_t n = startIdleNode(bin, dir); n > 0) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        idle = cpuShare(n, std::chrono::seconds(5));
        killNode(n);
    }
    const char *sl[] = {"/bin/sleep", "30", nullptr};
    if (pid_t z = -1; posix_spawn(&z, "/bin/sleep", nullptr, nullptr, const_cast<char **>(sl), environ) == 0) {
        sleeping = cpuShare(z, std::chrono::seconds(5));
        killNode(z);
    }
    std::filesystem::remove_all(dir);
    if (idle < 0 || sleeping < 0) {
        std::fprintf(stderr, "the idle node or the sleeping process could not be measured\n");
        return 1;
    }
    double m = bench::median(node), b = bench::median(base);
    std::printf("bring-up runs: %d, median %.2f ms (min %.2f, max %.2f); /bin/true median %.3f ms\n", kRuns, m,
                *std::min_element(node.begin(), node.end()), *std::max_element(node.begin(), node.end()), b);
    bench::figure("bringup_to_sync", m, "ms", b, bench::slowdown(m, b), {2, 3, 1});
    // Share of one core in percent (goal: below 1).
    bench::figure("idle_node_cpu", idle, "%core", sleeping, bench::slowdown(idle, sleeping), {3, 3, 1});
    return 0;
}
