// The real node started from the example configuration, inspected through its
// command interface over TCP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using namespace std::chrono_literals;

// A running turv_node whose standard output is collected by a reader thread
// (the node prints all the time; an undrained pipe would stop it).
class Node {
public:
    explicit Node(const std::filesystem::path &dir)
    {
        std::string bin = std::string(TURV_BIN_DIR) + "/turv_node";
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
        std::string folder = dir.string();
        std::vector<char *> argv = {bin.data(), const_cast<char *>("-C"), folder.data(), nullptr};
        int rc = posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        if (rc != 0) {
            pid_ = -1;
            close(fds[0]);
            return;
        }
        out_fd_ = fds[0];
        reader_ = std::thread([this] {
            char buf[4096];
            for (;;) {
                ssize_t n = read(out_fd_, buf, sizeof(buf));
                if (n <= 0) {
                    break;
                }
                std::lock_guard<std::mutex> g(lock_);
                out_.append(buf, static_cast<size_t>(n));
            }
        });
    }
    ~Node()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int st;
            waitpid(pid_, &st, 0);
        }
        if (reader_.joinable()) {
            reader_.join();
        }
        if (out_fd_ >= 0) {
            close(out_fd_);
        }
    }
    bool running() const { return pid_ > 0; }
    std::string out()
    {
        std::lock_guard<std::mutex> g(lock_);
        return out_;
    }
    // The port printed by the command interface's server, or -1.
    int cliPort(std::chrono::milliseconds limit)
    {
        static const std::regex re("open server socket port=([0-9]+) OK");
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            std::smatch m;
            std::string o = out();
            if (std::regex_search(o, m, re)) {
                return std::stoi(m[1].str());
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::string out_;
};

struct Conn {
    int fd = -1;
    bool eof = false;
    explicit Conn(int port)
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Conn()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    void send(const std::string &s) { (void)!::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }
    // Reads until the text holds `what` (log lines of the node may come in between).
    std::string readFor(const std::string &what, std::chrono::milliseconds limit = 20s)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + limit;
        while (got.find(what) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char b[4096];
            ssize_t n = recv(fd, b, sizeof(b), 0);
            if (n <= 0) {
                eof = true;
                break;
            }
            got.append(b, static_cast<size_t>(n));
        }
        return got;
    }
};

struct TempFolder {
    std::filesystem::path dir;
    TempFolder()
    {
        char tmpl[] = "/tmp/yw_node_cli_XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

TEST(NodeCli, OperatorListsCommandsAndTasksAndQuits)
{
    std::string bin = std::string(TURV_BIN_DIR) + "/turv_node";
    if (!std::filesystem::exists(bin)) {
        GTEST_SKIP() << "turv_node not built";
    }
    TempFolder tmp;
    for (const char *f : {"turv_sys_cfg.xml", "turv_app_cfg.xml"}) {
        std::filesystem::copy_file(std::string(TURV_SOURCE_DIR) + "/examples/single-node/" + f, tmp.dir / f);
    }
    Node node(tmp.dir);
    ASSERT_TRUE(node.running());
    int port = node.cliPort(20s);
    ASSERT_GT(port, 0) << node.out();
    // 30000, or a later port when another node of a parallel test holds it.
    EXPECT_GE(port, 30000);

    Conn c(port);
    ASSERT_GE(c.fd, 0);
    EXPECT_EQ(c.readFor("<<").substr(0, 2), "<<");
    c.send("ls\r");
    std::string ls = c.readFor(" q hv \n");
    EXPECT_NE(ls.find("ls help q hv \n"), std::string::npos) << ls;
    EXPECT_NE(ls.find("ts "), std::string::npos) << ls;  // registered by the task service
    c.send("ts\r");
    std::string ts = c.readFor("*** Task list ***");
    EXPECT_NE(ts.find("*** Task list ***"), std::string::npos) << ts;
    c.send("nosuch\r");
    std::string nf = c.readFor("Command not found\n");
    EXPECT_NE(nf.find("Command not found\n"), std::string::npos) << nf;
    // The memory viewer on an unmapped address answers with an error line and
    // the node lives on.
    c.send("hv 10\r");
    std::string hv = c.readFor("is not readable\n");
    EXPECT_NE(hv.find("hv: address 10 is not readable\n"), std::string::npos) << hv;
    c.send("q\r");
    std::string q = c.readFor("Exit...\n");
    EXPECT_NE(q.find("Exit...\n"), std::string::npos) << q;

    // Another client is served after the first has gone.
    Conn d(port);
    ASSERT_GE(d.fd, 0);
    d.send("help q\r");
    std::string help = d.readFor("quit\n");
    EXPECT_NE(help.find("quit\n"), std::string::npos) << help;
}

}  // namespace
