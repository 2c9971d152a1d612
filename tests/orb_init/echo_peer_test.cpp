// orb_echo_client against an Echo server built on omniORB (an independent
// CORBA implementation), in its GIOP 1.0 mode and in its default mode (IIOP
// 1.2 profile with components).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

std::string bin(char const *name) { return std::string(TURV_BIN_DIR) + "/" + name; }

bool exists(std::string const &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

pid_t spawn(std::vector<std::string> args, int out_fd)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Waits at most `seconds` for the child; kills it after that. Exit status,
// or -1 when it had to be killed or died of a signal.
int wait_child(pid_t pid, int seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int st = 0;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string read_all(int fd)
{
    std::string s;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 10000) > 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        s.append(buf, static_cast<std::size_t>(n));
    }
    return s;
}

void run_against_omni(std::vector<std::string> server_opts, char const *tag)
{
    std::string server = bin("omni_echo_server");
    std::string client = bin("orb_echo_client");
    if (!exists(server))
        GTEST_SKIP() << "omni_echo_server not built (omniORB and omniidl not installed; "
                        "scripts/deps.sh installs them)";
    ASSERT_TRUE(exists(client));
    std::string ior_file = "/tmp/turv_omni_echo_" + std::to_string(getpid()) + "_" + tag + ".ior";
    ::unlink(ior_file.c_str());
    std::vector<std::string> sargs{server, "-ORBendPoint", "giop:tcp:127.0.0.1:", "-o", ior_file};
    sargs.insert(sargs.begin() + 1, server_opts.begin(), server_opts.end());
    int devnull = ::open("/dev/null", O_WRONLY);
    pid_t srv = spawn(sargs, devnull);
    ::close(devnull);
    ASSERT_GT(srv, 0);
    std::string ior;
    for (int i = 0; i < 1000 && ior.rfind("IOR:", 0) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(ior_file);
        std::getline(in, ior);
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t cli = -1;
    if (ior.rfind("IOR:", 0) == 0)
        cli = spawn({client, "-ORBdiag", "0", "-ORBconn_retries", "2", ior_file}, fds[1]);
    ::close(fds[1]);
    std::string out = cli > 0 ? read_all(fds[0]) : "";
    ::close(fds[0]);
    int status = cli > 0 ? wait_child(cli, 30) : -2;
    kill(srv, SIGTERM);
    EXPECT_EQ(wait_child(srv, 10), 0);
    ::unlink(ior_file.c_str());
    ASSERT_EQ(ior.rfind("IOR:", 0), 0u) << "the omniORB server wrote no IOR";
    EXPECT_EQ(status, 0) << out;
    for (char const *op : {"echo_string", "add", "echo_octets", "ping", "fail"})
        EXPECT_NE(out.find(std::string(op) + " "), std::string::npos) << out;
    EXPECT_EQ(out.find("FAILED"), std::string::npos) << out;
}

} // namespace

TEST(EchoPeer, OrbEchoClientAgainstOmniOrbGiop10)
{
    run_against_omni({"-ORBmaxGIOPVersion", "1.0"}, "giop10");
}

TEST(EchoPeer, OrbEchoClientAgainstOmniOrbDefault) { run_against_omni({}, "default"); }
