// A scripted GIOP 1.0 server on 127.0.0.1 for the client tests: each
// accepted connection is handed to the test's script on a thread of its own.
#pragma once

#include "client_util.h"

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

struct GiopReq {
    uint8_t type = 0;
    uint32_t id = 0;
    uint8_t response = 0;
    std::vector<uint8_t> key;
    std::string op;
    int32_t arg = 0;
    bool has_range = false;
    bool sync_ctx = false;
    int16_t low = 0, high = 0;
};

class ScriptServer {
public:
    using Script = std::function<void(ScriptServer &, int fd)>;

    explicit ScriptServer(Script script) : script_(std::move(script))
    {
        lfd_ = loopback_socket(port_);
        ::listen(lfd_, 8);
        th_ = std::thread([this] { run(); });
    }
    ~ScriptServer()
    {
        stop_ = true;
        th_.join();
        for (auto &c : conns_)
            c.t.join();
        ::close(lfd_);
    }
    // A TCP socket bound to a free port of 127.0.0.1.
    static int loopback_socket(uint16_t &port)
    {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t l = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
        port = ntohs(a.sin_port);
        return fd;
    }
    uint16_t port() const { return port_; }
    std::string endpoint() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
    int connections() const { return connections_.load(); }
    std::atomic<int> requests{0};

    // Reads n bytes within 5 s; false on close, error, time-out or stop.
    bool read_n(int fd, uint8_t *p, size_t n)
    {
        int slices = 0;
        while (n) {
            pollfd pf{fd, POLLIN, 0};
            int pr = ::poll(&pf, 1, 20);
            if (pr == 0) {
                if (stop_ || ++slices > 250)
                    return false;
                continue;
            }
            if (pr != 1)
                return false;
            ssize_t r = ::recv(fd, p, n, 0);
            if (r <= 0)
                return false;
            p += r;
            n -= size_t(r);
        }
        return true;
    }
    static void send_all(int fd, const std::vector<uint8_t> &b)
    {
        size_t o = 0;
        while (o < b.size()) {
            ssize_t r = ::send(fd, b.data() + o, b.size() - o, MSG_NOSIGNAL);
            if (r <= 0)
                return;
            o += size_t(r);
        }
    }
    // One Request or LocateRequest written by this broker (little-endian).
    bool read(int fd, GiopReq &q)
    {
        q = GiopReq();
        uint8_t h[12];
        if (!read_n(fd, h, 12) || std::memcmp(h, "GIOP", 4) != 0)
            return false;
        uint32_t size;
        std::memcpy(&size, h + 8, 4);
        std::vector<uint8_t> m(12 + size);
        std::memcpy(m.data(), h, 12);
        if (!read_n(fd, m.data() + 12, size))
            return false;
        ++requests;
        q.type = h[7];
        size_t pos = 12;
        auto u32 = [&] {
            pos = (pos + 3) & ~size_t(3);
            uint32_t v = 0;
            if (pos + 4 <= m.size())
                std::memcpy(&v, m.data() + pos, 4);
            pos += 4;
            return v;
        };
        if (q.type == 3) {
            q.id = u32();
            uint32_t kl = u32();
            q.key.assign(m.begin() + long(pos), m.begin() + long(pos + kl));
            return true;
        }
        uint32_t nctx = u32();
        for (uint32_t i = 0; i < nctx; ++i) {
            uint32_t cid = u32();
            uint32_t clen = u32();
            q.sync_ctx |= cid == 0x51574B37;
            if (cid == 11 && clen == 6 && pos + 6 <= m.size()) {
                q.has_range = true;
                std::memcpy(&q.low, m.data() + pos + 2, 2);
                std::memcpy(&q.high, m.data() + pos + 4, 2);
            }
            pos += clen;
        }
        q.id = u32();
        q.response = m[pos++];
        uint32_t kl = u32();
        q.key.assign(m.begin() + long(pos), m.begin() + long(pos + kl));
        pos += kl;
        uint32_t ol = u32();
        q.op.assign(reinterpret_cast<char *>(m.data() + pos), ol ? ol - 1 : 0);
        pos += ol;
        pos += u32();
        q.arg = int32_t(u32());
        return true;
    }
    // A reply (type 1) or another message type with a raw body after the
    // header.
    static std::vector<uint8_t> reply(uint32_t id, uint32_t status, const std::vector<uint8_t> &results)
    {
        LE x;
        x.raw("GIOP", 4).o(1).o(0).o(1).o(1).u(0).u(0).u(id).u(status).raw(results);
        uint32_t size = uint32_t(x.b.size() - 12);
        std::memcpy(x.b.data() + 8, &size, 4);
        return x.b;
    }
    static std::vector<uint8_t> message(uint8_t type, const std::vector<uint8_t> &body)
    {
        LE x;
        x.raw("GIOP", 4).o(1).o(0).o(1).o(type).u(uint32_t(body.size())).raw(body);
        return x.b;
    }

private:
    void run()
    {
        while (!stop_) {
            pollfd pf{lfd_, POLLIN, 0};
            if (::poll(&pf, 1, 20) != 1)
                continue;
            int fd = ::accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++connections_;
            // The threads of connections that ended are joined (a client
            // that connects again and again leaves no stacks behind).
            for (auto it = conns_.begin(); it != conns_.end();) {
                if (it->done->load()) {
                    it->t.join();
                    it = conns_.erase(it);
                } else {
                    ++it;
                }
            }
            // Each connection on its own thread: a client may hold several.
            auto done = std::make_shared<std::atomic<bool>>(false);
            conns_.push_back({std::thread([this, fd, done] {
                                  script_(*this, fd);
                                  ::close(fd);
                                  *done = true;
                              }),
                              done});
        }
    }
    Script script_;
    int lfd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread th_;
    struct Conn {
        std::thread t;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Conn> conns_;
};
