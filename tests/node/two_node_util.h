// The shipped two-node example run as real nodes in the tests: its files
// with free ports in place of the example's, raw sockets from a chosen
// loopback address, and the numbers of the example peer's messages.
#ifndef YW_TWO_NODE_UTIL_H
#define YW_TWO_NODE_UTIL_H

#include <arpa/inet.h>
#include <fstream>
#include <map>
#include <sstream>

#include "ipc/ipc_inet_util.h"
#include "yw_node_test_util.h"

namespace yw_node_test {

inline std::string readFile(const std::string &p)
{
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void replaceAll(std::string &s, const std::string &from, const std::string &to)
{
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
}

// Free ports for the example's six (UDP receive and send, and TCP, on each
// node's address).
inline std::map<std::string, int> examplePorts()
{
    using yw_ipc_test::freePort;
    std::map<std::string, int> p = {{"41710", freePort(SOCK_DGRAM, 0x7F000001)},
                                    {"41711", freePort(SOCK_DGRAM, 0x7F000002)},
                                    {"41712", freePort(SOCK_STREAM, 0x7F000001)},
                                    {"41713", freePort(SOCK_STREAM, 0x7F000002)}};
    // the send ports differ from the receive ports on the same address
    for (int i = 0; i < 10 && (p["41714"] == 0 || p["41714"] == p["41710"]); i++)
        p["41714"] = freePort(SOCK_DGRAM, 0x7F000001);
    for (int i = 0; i < 10 && (p["41715"] == 0 || p["41715"] == p["41711"]); i++)
        p["41715"] = freePort(SOCK_DGRAM, 0x7F000002);
    return p;
}

// One node's system configuration: the example's with the ports replaced.
inline std::string exampleNodeConfig(const char *node, const std::map<std::string, int> &ports)
{
    std::string sys = readFile(std::string(TURV_SOURCE_DIR) + "/examples/two-nodes/" + node + "/turv_sys_cfg.xml");
    for (auto &p : ports)
        replaceAll(sys, "port=\"" + p.first + "\"", "port=\"" + std::to_string(p.second) + "\"");
    return sys;
}

// One node's folder with the given system configuration.
inline void prepare(const TempDir &d, const char *node, const std::string &sys)
{
    d.write("turv_sys_cfg.xml", sys);
    d.write("turv_app_cfg.xml",
            readFile(std::string(TURV_SOURCE_DIR) + "/examples/two-nodes/" + node + "/turv_app_cfg.xml"));
}

inline void prepare(const TempDir &d, const char *node, const std::map<std::string, int> &ports)
{
    prepare(d, node, exampleNodeConfig(node, ports));
}

inline int rawSocket(int type, const char *fromIp, int fromPort = 0)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)fromPort);
    inet_pton(AF_INET, fromIp, &a.sin_addr);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    return fd;
}

inline sockaddr_in at(const char *ip, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// The numbers n of "hello <n> from <from>" that the example peer logged as
// received, in order, from output position `mark` on.
inline std::vector<long> helloNumbers(const std::string &out, const std::string &from, size_t mark = 0)
{
    std::vector<long> v;
    const std::string key = " bytes: hello ";
    for (size_t p = out.find(key, mark); p != std::string::npos; p = out.find(key, p + 1)) {
        size_t e = out.find('\n', p);
        std::string line = out.substr(p + key.size(), e == std::string::npos ? std::string::npos : e - p - key.size());
        size_t sp = line.find(' ');
        if (sp != std::string::npos && line.substr(sp) == " from " + from)
            v.push_back(std::atol(line.c_str()));
    }
    return v;
}

// True when the numbers run on by one, none missing or repeated.
inline bool consecutive(const std::vector<long> &v)
{
    for (size_t i = 1; i < v.size(); i++) {
        if (v[i] != v[i - 1] + 1)
            return false;
    }
    return true;
}

} // namespace yw_node_test

#endif
