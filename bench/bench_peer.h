// Echo servers in processes of their own for the broker's benches: this
// broker's orb_echo_server and, where omniORB is installed, its test peer
// omni_echo_server, each started with its IOR read from its first line of
// output; the CPU time and context switches of a server process; and client
// processes started together, each on a CPU the servers are not pinned to.
#pragma once

#include "bench_util.h"

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace bench {

struct ServerProc {
    pid_t pid = -1;
    std::string ior;
    explicit operator bool() const { return pid > 0 && ior.rfind("IOR:", 0) == 0; }
};

// A program of this build, or of the build folder named by BENCH_BIN_DIR
// (to run another build's servers beside this one's clients).
inline std::string bin_path(char const *name)
{
    char const *dir = std::getenv("BENCH_BIN_DIR");
    return std::string(dir && *dir ? dir : TURV_BIN_DIR) + "/" + name;
}

inline bool bin_exists(char const *name)
{
    struct stat st{};
    return ::stat(bin_path(name).c_str(), &st) == 0 && (st.st_mode & S_IXUSR);
}

// Starts argv[0] with its standard output on a pipe and reads the IOR from its
// first line (at most 10 s, at most 64 KiB). On failure the process is killed
// and the result is false.
inline ServerProc spawn_server(std::vector<std::string> const &args)
{
    ServerProc s;
    int p[2];
    if (pipe(p) != 0)
        return s;
    std::vector<char *> argv;
    for (auto const &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    if (posix_spawn(&s.pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        s.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    auto until = Clock::now() + std::chrono::seconds(10);
    pollfd pf{p[0], POLLIN, 0};
    char c = 0;
    while (s.pid > 0 && s.ior.size() < 65536 && Clock::now() < until && poll(&pf, 1, 100) >= 0) {
        if (!(pf.revents & (POLLIN | POLLHUP)))
            continue;
        if (read(p[0], &c, 1) != 1 || c == '\n')
            break;
        s.ior += c;
    }
    close(p[0]);
    if (s.pid > 0 && !s) {
        kill(s.pid, SIGKILL);
        waitpid(s.pid, nullptr, 0);
        s.pid = -1;
    }
    return s;
}

// This broker's Echo server, quiet.
inline ServerProc start_orb_server()
{
    return spawn_server({bin_path("orb_echo_server"), "-ORBdiag", "none"});
}

// omniORB's Echo server on 127.0.0.1, with `extra` ORB options; a false
// result, with a line saying so on standard error, where it is not built.
inline ServerProc start_peer_server(std::vector<std::string> const &extra = {})
{
    if (!bin_exists("omni_echo_server")) {
        std::fprintf(stderr, "bench: omni_echo_server not built (omniORB not installed): "
                             "figures against omniORB skipped\n");
        return {};
    }
    std::vector<std::string> args = {bin_path("omni_echo_server"), "-ORBendPoint", "giop:tcp:127.0.0.1:"};
    args.insert(args.end(), extra.begin(), extra.end());
    ServerProc s = spawn_server(args);
    if (!s)
        std::fprintf(stderr, "bench: omni_echo_server gave no IOR: figures against omniORB skipped\n");
    return s;
}

// SIGTERM, up to 5 s for the end, then SIGKILL.
inline void stop_server(ServerProc &s)
{
    if (s.pid <= 0)
        return;
    kill(s.pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(s.pid, nullptr, WNOHANG) == s.pid) {
            s.pid = -1;
            return;
        }
        usleep(10000);
    }
    kill(s.pid, SIGKILL);
    waitpid(s.pid, nullptr, 0);
    s.pid = -1;
}

// What a process has used so far: CPU seconds (user and system, all its
// threads, ended ones included), minor page faults, and the context switches
// of its living threads.
struct ProcStats {
    double cpu_s = 0;
    long minflt = 0;
    long vcsw = 0;
    long ivcsw = 0;
};

inline ProcStats proc_stats(pid_t pid)
{
    ProcStats r;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    if (FILE *f = std::fopen(path, "r")) {
        char buf[1024];
        size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = 0;
        // Fields after the command name, which ends at the last ')'.
        if (char *p = std::strrchr(buf, ')')) {
            unsigned long minflt = 0, utime = 0, stime = 0;
            if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %lu %*u %*u %*u %lu %lu", &minflt, &utime,
                            &stime) == 3) {
                r.minflt = long(minflt);
                r.cpu_s = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
            }
        }
    }
    std::snprintf(path, sizeof path, "/proc/%d/task", int(pid));
    if (DIR *d = opendir(path)) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::string st = std::string(path) + "/" + e->d_name + "/status";
            FILE *f = std::fopen(st.c_str(), "r");
            if (!f)
                continue;
            char line[256];
            long v;
            while (std::fgets(line, sizeof line, f)) {
                if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &v) == 1)
                    r.vcsw += v;
                else if (std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &v) == 1)
                    r.ivcsw += v;
            }
            std::fclose(f);
        }
        closedir(d);
    }
    return r;
}

// Clients in processes of their own, on the CPUs other than pins 2 and 3
// (where the benches pin their servers; all CPUs on a machine of fewer than 4).
// Each child runs `prepare` (connect, first call), waits for the start, runs
// `body` and reports. `started` runs in this process once every child is
// ready, just before the start, and `ended` once every child has reported.
// The result is the wall time in ms from the start to the last end, or -1 when
// a child failed.
inline double run_clients(int n, std::function<bool()> const &prepare, std::function<bool()> const &body,
                          std::function<void()> const &started = {}, std::function<void()> const &ended = {})
{
    int ready[2], go[2], done[2];
    if (pipe(ready) != 0 || pipe(go) != 0 || pipe(done) != 0)
        return -1;
    std::vector<pid_t> kids;
    for (int k = 0; k < n; ++k) {
        pid_t pid = fork();
        if (pid == 0) {
            long cpus = sysconf(_SC_NPROCESSORS_ONLN);
            cpu_set_t set;
            CPU_ZERO(&set);
            for (long c = 0; c < cpus; ++c)
                if (cpus < 4 || (c != 2 && c != 3))
                    CPU_SET(int(c), &set);
            sched_setaffinity(0, sizeof set, &set);
            char ok = prepare() ? 1 : 0;
            (void)!write(ready[1], &ok, 1);
            char g;
            (void)!read(go[0], &g, 1);
            ok = ok && body() ? 1 : 0;
            (void)!write(done[1], &ok, 1);
            _exit(0);
        }
        if (pid > 0)
            kids.push_back(pid);
    }
    bool ok = int(kids.size()) == n;
    for (size_t k = 0; k < kids.size(); ++k) {
        char c = 0;
        ok = read(ready[0], &c, 1) == 1 && c && ok;
    }
    if (started)
        started();
    auto t0 = Clock::now();
    std::vector<char> start(kids.size(), 'g');
    (void)!write(go[1], start.data(), start.size());
    for (size_t k = 0; k < kids.size(); ++k) {
        char c = 0;
        ok = read(done[0], &c, 1) == 1 && c && ok;
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (ended)
        ended();
    for (pid_t p : kids)
        waitpid(p, nullptr, 0);
    for (int f : {ready[0], ready[1], go[0], go[1], done[0], done[1]})
        close(f);
    return ok ? ms : -1;
}

// A positive integer from the environment, or `dflt`.
inline long env_count(char const *name, long dflt)
{
    char const *v = std::getenv(name);
    long n = v ? std::strtol(v, nullptr, 10) : 0;
    return n > 0 ? n : dflt;
}

} // namespace bench
