// Runs the real turv_node for integration tests: configuration files in a
// fresh temporary folder, standard output collected by a reader thread, the
// command interface reached over TCP on 127.0.0.1 at the port the node
// announces. The node is always killed when the test ends, and also when the
// test process itself is killed (parent-death signal). Waits are generous:
// the tests run in parallel on small, busy machines.
#ifndef YW_NODE_TEST_UTIL_H
#define YW_NODE_TEST_UTIL_H

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace yw_node_test {

using namespace std::chrono_literals;

inline bool has(const std::string &out, const std::string &s)
{
    return out.find(s) != std::string::npos;
}

// A shared-memory object name of this test process (parallel runs never
// share one); the object is removed when the holder goes.
class ShmName {
public:
    ShmName()
    {
        static std::atomic<int> n{0};
        name_ = "/turv_t" + std::to_string(getpid()) + "_" + std::to_string(n++);
    }
    ~ShmName() { shm_unlink(name_.c_str()); }
    ShmName(const ShmName &) = delete;
    ShmName &operator=(const ShmName &) = delete;
    const std::string &name() const { return name_; }

private:
    std::string name_;
};

// The shipped single-node system configuration, with its shared-memory
// object under `shmName` and its example module loaded from the build.
inline std::string exampleSysConfig(const std::string &shmName)
{
    std::ifstream f(std::string(TURV_SOURCE_DIR) + "/examples/single-node/turv_sys_cfg.xml");
    std::stringstream ss;
    ss << f.rdbuf();
    std::string s = ss.str();
    auto replace = [&s](const std::string &from, const std::string &to) {
        size_t p = s.find(from);
        if (p != std::string::npos)
            s.replace(p, from.size(), to);
    };
    replace("name=\"/turv_example_shm\"", "name=\"" + shmName + "\"");
    replace("folder=\"../../build/bin\"", "folder=\"" + std::string(TURV_BIN_DIR) + "\"");
    return s;
}

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/turv_node_XXXXXX";
        const char *d = mkdtemp(tmpl);
        path_ = d ? d : "/tmp";
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }
    void write(const std::string &name, const std::string &text) const
    {
        std::ofstream f(path_ + "/" + name);
        f << text;
    }
    // Copies the system and application configuration of the shipped
    // single-node example; its shared-memory object gets a name of this test
    // (removed with the folder).
    void copyExample(const std::string &example)
    {
        std::string src = std::string(TURV_SOURCE_DIR) + "/examples/" + example + "/";
        write("turv_sys_cfg.xml", exampleSysConfig(shm_.name()));
        std::filesystem::copy_file(src + "turv_app_cfg.xml", path_ + "/turv_app_cfg.xml");
    }
    const std::string &shmName() const { return shm_.name(); }

private:
    std::string path_;
    ShmName shm_;
};

// One running node.
class Node {
public:
    Node(const std::string &dir, const std::vector<std::string> &extraArgs = {})
    {
        std::string bin = std::string(TURV_BIN_DIR) + "/turv_node";
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> args = {bin, "-C", dir, "-f", "turv_sys_cfg.xml", "-a", "turv_app_cfg.xml"};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // Child: only async-signal-safe calls until exec.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent)
                _exit(127);
            int devnull = open("/dev/null", O_RDONLY);
            if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(fds[1], 1) < 0 || chdir(dir.c_str()) != 0)
                _exit(127);
            execve(bin.c_str(), argv.data(), environ);
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) {
            pid_ = -1;
            close(fds[0]);
            return;
        }
        fd_ = fds[0];
        reader_ = std::thread([this] { readLoop(); });
    }

    ~Node() { kill(); }

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    void kill()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int st;
            waitpid(pid_, &st, 0);
            pid_ = -1;
        }
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    std::string output()
    {
        std::lock_guard<std::mutex> g(m_);
        return out_;
    }

    // Waits until the output holds `text` (from position `from` on).
    bool waitFor(const std::string &text, std::chrono::milliseconds limit = 60s, size_t from = 0)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            {
                std::lock_guard<std::mutex> g(m_);
                if (out_.size() > from && out_.find(text, from) != std::string::npos)
                    return true;
                if (eof_)
                    return false;
            }
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(5ms);
        }
    }

    // The command-interface port the node announced.
    int cliPort(std::chrono::milliseconds limit = 60s)
    {
        if (!waitFor("open server socket port=", limit))
            return -1;
        if (!waitFor(" OK\n", 30s))
            return -1;
        std::string o = output();
        const std::string key = "open server socket port=";
        for (size_t p = o.find(key); p != std::string::npos; p = o.find(key, p + 1)) {
            size_t q = p + key.size();
            int port = std::atoi(o.c_str() + q);
            size_t e = o.find_first_not_of("0123456789", q);
            if (port > 0 && e != std::string::npos && o.compare(e, 3, " OK") == 0)
                return port;
        }
        return -1;
    }

private:
    void readLoop()
    {
        char buf[4096];
        for (;;) {
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> g(m_);
            out_.append(buf, (size_t)n);
        }
        std::lock_guard<std::mutex> g(m_);
        eof_ = true;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    std::thread reader_;
    std::mutex m_;
    std::string out_;
    bool eof_ = false;
};

// A command-interface client on 127.0.0.1.
class CliClient {
public:
    explicit CliClient(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < 200 && !ok_; ++i) {
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd_ >= 0 && connectWithin(a, 5000)) {
                ok_ = true;
                break;
            }
            if (fd_ >= 0)
                close(fd_);
            fd_ = -1;
            std::this_thread::sleep_for(10ms);
        }
    }
    ~CliClient()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return ok_; }

    // Reads until `text` arrived or the time ran out; returns what came.
    std::string readUntil(const std::string &text, std::chrono::milliseconds limit = 30s)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (buf_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, (int)left.count()) <= 0)
                continue;
            char b[4096];
            ssize_t n = recv(fd_, b, sizeof b, 0);
            if (n <= 0)
                break;
            buf_.append(b, (size_t)n);
        }
        std::string r;
        size_t p = buf_.find(text);
        if (p == std::string::npos) {
            r.swap(buf_);
        } else {
            r = buf_.substr(0, p + text.size());
            buf_.erase(0, p + text.size());
        }
        return r;
    }

    // Sends a command line and returns the reply up to the next prompt.
    std::string command(const std::string &line, const std::string &until = "<<")
    {
        std::string s = line + "\r\n";
        if (send(fd_, s.data(), s.size(), MSG_NOSIGNAL) != (ssize_t)s.size())
            return {};
        return readUntil(until);
    }

private:
    // Connects without blocking for longer than `ms` (a full listen queue
    // drops the handshake instead of refusing it).
    bool connectWithin(const sockaddr_in &a, int ms)
    {
        int fl = fcntl(fd_, F_GETFL, 0);
        if (fl < 0 || fcntl(fd_, F_SETFL, fl | O_NONBLOCK) != 0)
            return false;
        bool ok = connect(fd_, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
        if (!ok && errno == EINPROGRESS) {
            pollfd p{fd_, POLLOUT, 0};
            int err = 0;
            socklen_t len = sizeof err;
            ok = poll(&p, 1, ms) == 1 && getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
        return fcntl(fd_, F_SETFL, fl) == 0 && ok;
    }

    int fd_ = -1;
    bool ok_ = false;
    std::string buf_;
};

// A system configuration for one node (local and master) with the task
// service, the IPC service and node management, plus extra task entries.
inline std::string sysConfig(const std::string &fwDefs, const std::string &extraTasks = "",
                             bool withLogConf = true)
{
    std::string s = "<?xml version=\"1.0\"?>\n<turvConfig>\n  <fw>\n    <fwConf>\n" + fwDefs + "    </fwConf>\n";
    if (withLogConf)
        s += "    <logConf>\n    </logConf>\n";
    s += "    <taskConf>\n"
         "      <taskDef name=\"tsm\" functionName=\"YW_task_tsm_main\" category=\"framework ini\" "
         "stackSize=\"262144\"/>\n"
         "      <taskDef name=\"ism\" functionName=\"YW_ipc_ism_main\" category=\"framework ini\" "
         "stackSize=\"262144\"/>\n"
         "      <taskDef name=\"node_mng\" functionName=\"YW_frw_node_mng_task\" category=\"framework ini\" "
         "stackSize=\"262144\"/>\n" +
         extraTasks +
         "    </taskConf>\n"
         "    <ipcConf>\n"
         "      <ipcDef name=\"frw_node0\" type=\"MSGQ\" transport=\"MSG\" flags=\"TX RX\" iap=\"10\">\n"
         "        <rx buffer_size=\"65536\" max_descriptors=\"64\" frame_size=\"1024\"/>\n"
         "        <local msgq_name=\"frw_node0\"/>\n"
         "      </ipcDef>\n"
         "    </ipcConf>\n"
         "  </fw>\n</turvConfig>\n";
    return s;
}

inline const char *kSingleNode =
    "      <fwDef nodeNo=\"0\" name=\"node0\" local=\"1\" isMaster=\"1\" frwIAP=\"10\"/>\n";

inline const char *kAppConfig = "<?xml version=\"1.0\"?>\n<turvConfig>\n  <fw>\n  </fw>\n</turvConfig>\n";

// The line the framework logs when it runs the synchronisation event in
// SYNC (state 3, event FRW.20).
inline const char *kSyncLine = "ctx=frm_fsm state=3 evt=20000.14\n";

} // namespace yw_node_test

#endif
