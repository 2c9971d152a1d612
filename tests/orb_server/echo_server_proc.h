// An orb_echo_server process of a test's own: started (through `prefix`,
// e.g. prlimit and its limits, when given) with extra options, its standard
// error in a file when asked, its port read from the IOR it writes; stopped
// with SIGTERM, and its clean end checked, when it goes.
#pragma once

#include "../orb/child_process.h"
#include "server_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace srv_test {

// The resident size of process `pid` in KiB (0 when it cannot be read).
inline long rss_kib_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

struct EchoServerProc {
    pid_t pid = -1;
    uint16_t port = 0;
    std::string dir, ior_file, err_file;
    EchoServerProc(std::vector<std::string> prefix, std::vector<std::string> extra, bool errors_to_file = false)
    {
        char d[] = "/tmp/orb_echo_own_XXXXXX";
        if (!mkdtemp(d))
            return;
        dir = d;
        ior_file = dir + "/ior";
        std::vector<std::string> args = std::move(prefix);
        for (std::string a : {orb_test::bin("orb_echo_server"), std::string("-ORBdiag"), std::string("none"),
                              std::string("-o"), ior_file})
            args.push_back(a);
        args.insert(args.end(), extra.begin(), extra.end());
        int err = -1;
        if (errors_to_file) {
            err_file = dir + "/err";
            err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        pid = orb_test::spawn(args, -1, err);
        if (err >= 0)
            close(err);
        for (int i = 0; i < 500 && pid > 0 && !orb_test::exists(ior_file); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string ior;
        std::ifstream(ior_file) >> ior;
        port = ior_port(ior);
    }
    EchoServerProc(EchoServerProc const &) = delete;
    EchoServerProc &operator=(EchoServerProc const &) = delete;
    ~EchoServerProc()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            EXPECT_EQ(orb_test::wait_child(pid, 30), 0) << "the server ends cleanly on SIGTERM";
        }
        unlink(ior_file.c_str());
        if (!err_file.empty())
            unlink(err_file.c_str());
        rmdir(dir.c_str());
    }
    // What it wrote to its standard error (when that went to a file).
    std::string errors() const
    {
        std::ifstream in(err_file);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    long rss_kib() const { return rss_kib_of(pid); }
};

} // namespace srv_test
