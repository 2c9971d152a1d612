// Helpers of the socket channel tests: loopback addresses, free ports, a
// TCP/UDP channel configuration built in the test, and a fixture with the
// socket tasks running.
#ifndef YW_IPC_INET_UTIL_H
#define YW_IPC_INET_UTIL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/yw_test_port.h"

#include "ipc/ipc_test_util.h"
#include "ipc/yw_ipc_inet.h"
#include "ipc/yw_ipc_tcp.h"

namespace yw_ipc_test {

inline sockaddr_in loop4(uint16_t port, uint32_t host = INADDR_LOOPBACK)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(host);
    return a;
}

using yw_common_test::freePort;

// A socket channel configuration owned by the test.
struct InetCfg {
    std::string name;
    YW_ipc_cfg_t cfg{};
    InetCfg(const char *n, YW_uint16_t transport, YW_uint32_t flags, YW_uint32_t iap, uint16_t localPort,
            uint16_t remotePort, YW_int64_t frame = 256, YW_int64_t bufferSize = 4096, YW_uint64_t descs = 16)
        : name(n)
    {
        cfg.name = const_cast<char *>(name.c_str());
        cfg.interfaceType = YW_IPC_INTF_INET;
        cfg.transportType = transport;
        cfg.flags = flags;
        cfg.iap = iap;
        for (YW_ipc_side_cfg_t *s : {&cfg.tx, &cfg.rx}) {
            s->buffer_size = bufferSize;
            s->max_descriptors = descs;
            s->frame_size = frame;
        }
        cfg.address.local.inet.addr_in = loop4(localPort);
        cfg.address.remote.inet.addr_in = loop4(remotePort);
    }
};

// Fresh channels with the socket tasks running; no listening server left.
class InetChannels : public FreshChannels {
protected:
    void SetUp() override
    {
        FreshChannels::SetUp();
        YW_ipc_inet_start();
    }
    void TearDown() override
    {
        FreshChannels::TearDown();
        YW_ipc_tcp_server_stopAll();
    }
    YW_ipc_id_t make(InetCfg &c)
    {
        YW_ipc_id_t id = YW_IPC_INVALID_ID;
        EXPECT_EQ(YW_createIpc(&c.cfg, &id), 0) << c.name;
        return id;
    }
};

} // namespace yw_ipc_test

#endif
