// Programs of the build run as child processes by the broker's tests: paths,
// start with standard output on a descriptor, and a bounded wait.
#pragma once

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char **environ;

namespace orb_test {

inline std::string bin(char const *name) { return std::string(TURV_BIN_DIR) + "/" + name; }

inline bool exists(std::string const &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Starts args[0] with standard output on out_fd, standard error on err_fd and
// standard input on in_fd (each when >= 0); -1 on failure.
inline pid_t spawn(std::vector<std::string> args, int out_fd = -1, int err_fd = -1, int in_fd = -1)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    if (err_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
    if (in_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Waits at most `seconds` for the child; kills it after that. Exit status,
// or -1 when it had to be killed or died of a signal.
inline int wait_child(pid_t pid, int seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int st = 0;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The entries of a folder of /proc/<pid> ("self": this process): "task"
// its threads, "fd" its open descriptors.
inline size_t proc_entries_of(std::string const &pid, char const *folder)
{
    size_t n = 0;
    if (DIR *d = opendir(("/proc/" + pid + "/" + folder).c_str())) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// Threads of a process: the entries of /proc/<pid>/task ("self": this one).
inline size_t thread_count_of(std::string const &pid = "self") { return proc_entries_of(pid, "task"); }

} // namespace orb_test
