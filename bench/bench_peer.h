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

// Starts args[0] with standard input on in_fd and standard output on out_fd
// (each when >= 0), the pipe ends in `shut` closed in the child; -1 on failure.
inline pid_t spawn_on(std::vector<std::string> const &args, int in_fd, int out_fd, std::vector<int> const &shut)
{
    std::vector<char *> argv;
    for (auto const &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    for (int fd : shut)
        posix_spawn_file_actions_addclose(&fa, fd);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
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
    s.pid = spawn_on(args, -1, p[1], {p[0]});
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
// (where the benches pin their servers; all CPUs on a machine of fewer than
// 4, or when `pinned` is false).
// Each child runs `prepare` (connect, first call), waits for the start, runs
// `body` and reports. `started` runs in this process once every child is
// ready, just before the start, and `ended` once every child has reported.
// The result is the wall time in ms from the start to the last end, or -1 when
// a child failed.
inline double run_clients(int n, std::function<bool()> const &prepare, std::function<bool()> const &body,
                          std::function<void()> const &started = {}, std::function<void()> const &ended = {},
                          bool pinned = true)
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
            if (pinned)
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

// A program of this build run with its standard input and output on
// pipes (the output read line by line).
struct ChildProc {
    pid_t pid = -1;
    int in = -1;  // its standard input
    int out = -1; // its standard output
    std::string pending;

    bool start(std::vector<std::string> const &args)
    {
        int i[2], o[2];
        if (pipe(i) != 0)
            return false;
        if (pipe(o) != 0) {
            close(i[0]);
            close(i[1]);
            return false;
        }
        pid = spawn_on(args, i[0], o[1], {i[1], o[0]});
        close(i[0]);
        close(o[1]);
        in = i[1];
        out = o[0];
        return pid > 0;
    }
    // The next line of output (without its newline); false at its end or
    // after `seconds` without one.
    bool line(std::string &l, int seconds = 120)
    {
        auto until = Clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                l = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return true;
            }
            if (Clock::now() >= until)
                return false;
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[4096];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0)
                return false;
            pending.append(buf, size_t(n));
        }
    }
    // Answers a "ready": one line (a client may read a byte or a line).
    void go() { (void)!write(in, "g\n", 2); }
    // Closes the pipes and waits for the end (killed after 10 s); true when
    // the program exited with status 0.
    bool finish()
    {
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
        in = out = -1;
        if (pid <= 0)
            return false;
        int st = 0;
        for (int i = 0; i < 1000; ++i) {
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(st) && WEXITSTATUS(st) == 0;
            }
            usleep(10000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
        return false;
    }
};

// n omniORB client processes (omni_load_client with `args` after its
// name), started together once each is ready: `started` runs just before
// the start, `ended` once each has said "ok". The wall time in ms from the
// start to the last end, or -1 when one failed (or the client is not built).
inline double run_omni_clients(int n, std::vector<std::string> const &args, std::function<void()> const &started,
                               std::function<void()> const &ended)
{
    if (!bin_exists("omni_load_client"))
        return -1;
    std::vector<ChildProc> kids(n);
    std::vector<std::string> argv = {bin_path("omni_load_client")};
    argv.insert(argv.end(), args.begin(), args.end());
    bool ok = true;
    for (auto &k : kids)
        ok = k.start(argv) && ok;
    std::string l;
    for (auto &k : kids)
        ok = ok && k.line(l) && l == "ready";
    if (started)
        started();
    auto t0 = Clock::now();
    for (auto &k : kids)
        k.go();
    for (auto &k : kids)
        ok = ok && k.line(l, 600) && l == "ok";
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (ended)
        ended();
    for (auto &k : kids)
        k.finish();
    return ok ? ms : -1;
}

// The entries of a folder of /proc/<pid> ("task": its threads, "fd": its
// open descriptors).
inline size_t proc_entries(pid_t pid, char const *folder)
{
    size_t n = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/" + folder;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// The threads of a process.
inline size_t proc_threads(pid_t pid) { return proc_entries(pid, "task"); }

// The resident size of a process in KiB (0 when it cannot be read).
inline long proc_rss_kib(pid_t pid)
{
    long kib = 0;
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "VmRSS: %ld", &kib) == 1)
                break;
        std::fclose(f);
    }
    return kib;
}

// The open descriptors of a process.
inline size_t proc_fds(pid_t pid) { return proc_entries(pid, "fd"); }

// The port and object key of the first IIOP profile of a stringified
// reference; false when it has none.
inline bool ior_profile(std::string const &ior, uint16_t &port, std::vector<uint8_t> &key)
{
    std::vector<uint8_t> b;
    for (size_t i = 4; i + 1 < ior.size(); i += 2)
        b.push_back(uint8_t(std::stoul(ior.substr(i, 2), nullptr, 16)));
    // Reads within [base, end) of b, aligned from base, in the given order.
    struct Rd {
        std::vector<uint8_t> const &b;
        size_t base, at, end;
        bool little;
        bool ok = true;
        uint32_t u(size_t n)
        {
            at = base + ((at - base + n - 1) / n) * n;
            if (at + n > end) {
                ok = false;
                return 0;
            }
            uint32_t v = 0;
            for (size_t i = 0; i < n; ++i)
                v |= uint32_t(b[at + i]) << (8 * (little ? i : n - 1 - i));
            at += n;
            return v;
        }
        bool skip(size_t n)
        {
            ok = ok && at + n <= end;
            at += ok ? n : 0;
            return ok;
        }
    };
    if (b.empty())
        return false;
    Rd r{b, 0, 1, b.size(), b[0] == 1};
    r.skip(r.u(4)); // type id
    uint32_t profiles = r.u(4);
    for (uint32_t p = 0; p < profiles && r.ok; ++p) {
        uint32_t tag = r.u(4), len = r.u(4);
        size_t start = r.at;
        if (!r.skip(len))
            return false;
        if (tag != 0 || len < 1)
            continue;
        Rd e{b, start, start + 1, start + len, b[start] == 1};
        e.skip(2); // version
        e.skip(e.u(4)); // host
        port = uint16_t(e.u(2));
        uint32_t klen = e.u(4);
        if (!e.ok || e.at + klen > e.end)
            return false;
        key.assign(b.begin() + long(e.at), b.begin() + long(e.at + klen));
        return true;
    }
    return false;
}

// A GIOP 1.0 request (big-endian, no service contexts, response expected)
// for `op` on `key`, its arguments written by `args` through the aligned
// 32-bit writer it is given and the raw message.
template <class Args>
std::vector<uint8_t> giop_request(uint32_t id, std::vector<uint8_t> const &key, std::string const &op, Args &&args)
{
    std::vector<uint8_t> m = {'G', 'I', 'O', 'P', 1, 0, 0, 0, 0, 0, 0, 0};
    auto u32 = [&](uint32_t v) {
        while ((m.size() - 12) % 4)
            m.push_back(0);
        for (int i = 3; i >= 0; --i)
            m.push_back(uint8_t(v >> (8 * i)));
    };
    u32(0); // no service contexts
    u32(id);
    m.push_back(1); // response expected
    u32(uint32_t(key.size()));
    m.insert(m.end(), key.begin(), key.end());
    u32(uint32_t(op.size() + 1));
    m.insert(m.end(), op.begin(), op.end());
    m.push_back(0);
    u32(0); // principal
    args(u32, m);
    uint32_t body = uint32_t(m.size() - 12);
    for (int i = 0; i < 4; ++i)
        m[8 + i] = uint8_t(body >> (8 * (3 - i)));
    return m;
}

// A GIOP 1.0 request for add(a, b) on `key`.
inline std::vector<uint8_t> giop_add(uint32_t id, std::vector<uint8_t> const &key, int32_t a, int32_t b)
{
    return giop_request(id, key, "add", [&](auto &u32, std::vector<uint8_t> &) {
        u32(uint32_t(a));
        u32(uint32_t(b));
    });
}

} // namespace bench
