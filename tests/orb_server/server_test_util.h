// What the server-side tests share: a test servant with hand-written
// skeletons, GIOP 1.0 request builders and a sink that records what the
// dispatcher does with a message.
#pragma once

#include "portable_server.h"
#include "rtcorba.h"
#include "wq_dispatch.h"
#include "wq_servant_registry.h"
#include "wq_skeleton.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstring>
#include <string>
#include <vector>

namespace srv_test {

typedef std::vector<uint8_t> Bytes;

inline PortableServer::POA *root_poa()
{
    wq_PrivateEnv ei;
    const CORBA::EnvironmentWrapper &env = ei.env;
    CORBA::release(wq_init_root_poa(env));
    return wq_root_poa;
}

inline void activate_manager() { wq_global_poa_manager->activate(); }

constexpr char const *kCalcId = "IDL:Test/Calc:1.0";

class CalcOops : public CORBA::wq_UserExceptionT<CalcOops> {
public:
    static inline char const *wq_IR_Name = "IDL:Test/Calc/Oops:1.0";
};

struct CalcServant : PortableServer::ServantBase {
    CalcServant() { wq_init_nia(this, kCalcId); }
};

inline void skel_add(wq_ServerRequest &req, void *, const CORBA::EnvironmentWrapper &env)
{
    int32_t a = 0, b = 0;
    req.in.read_4(&a);
    req.in.read_4(&b);
    if (!env.pending())
        req.out << static_cast<int>(a + b);
}

inline void skel_fail(wq_ServerRequest &, void *, const CORBA::EnvironmentWrapper &) { throw CalcOops(); }

// Answers the CORBA priority the serving thread runs at.
inline void skel_prio(wq_ServerRequest &req, void *, const CORBA::EnvironmentWrapper &env)
{
    RTCORBA::Current *cur = RTCORBA::get_current(env);
    int16_t p = cur ? cur->active_priority(env) : int16_t(-1);
    CORBA::release(cur);
    if (!env.pending())
        req.out << static_cast<int>(p);
}

struct CalcRegistration {
    CalcRegistration()
    {
        wq_SkeletonMap::add(kCalcId, "add", &skel_add);
        wq_SkeletonMap::add(kCalcId, "fail", &skel_fail);
        wq_SkeletonMap::add(kCalcId, "prio", &skel_prio);
    }
};
inline CalcRegistration g_calc_registration;

// ---- CDR building, little-endian --------------------------------------------

struct Cdr {
    Bytes b;
    void align(size_t n)
    {
        while (b.size() % n)
            b.push_back(0);
    }
    Cdr &u8(uint8_t v)
    {
        b.push_back(v);
        return *this;
    }
    Cdr &u16(uint16_t v)
    {
        align(2);
        b.push_back(uint8_t(v));
        b.push_back(uint8_t(v >> 8));
        return *this;
    }
    Cdr &u32(uint32_t v)
    {
        align(4);
        for (int i = 0; i < 4; ++i)
            b.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    Cdr &raw(const void *p, size_t n)
    {
        auto *c = static_cast<const uint8_t *>(p);
        b.insert(b.end(), c, c + n);
        return *this;
    }
    Cdr &str(char const *s)
    {
        u32(uint32_t(std::strlen(s) + 1));
        return raw(s, std::strlen(s) + 1);
    }
    uint32_t get32(size_t at) const
    {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
    }
};

// This broker's key: B5 'A' 64 B6 class B5 instance B5 POA B5 id.
inline Bytes make_key(std::string const &poa, std::string const &id)
{
    Bytes k = {0xB5, 'A', 0x64, 0xB6, 'c', 0xB5, 'i', 0xB5};
    k.insert(k.end(), poa.begin(), poa.end());
    k.push_back(0xB5);
    k.insert(k.end(), id.begin(), id.end());
    return k;
}

// The key of orb_echo_server's Echo object (server class EchoServer,
// instance echo, the first id the root POA makes).
inline Bytes echo_server_key()
{
    Bytes k = {0xB5, 'A', 0x64, 0xB6};
    for (char const *p : {"EchoServer", "echo", "RootPOA"}) {
        k.insert(k.end(), p, p + std::strlen(p));
        k.push_back(0xB5);
    }
    k.insert(k.end(), {0xB6, 0, 0, 0, 1});
    return k;
}

struct Context {
    uint32_t id;
    Bytes data;
};

// A whole GIOP 1.0 Request message (little-endian).
inline Bytes request(uint32_t rid, Bytes const &key, char const *op, Bytes const &args = {},
                     std::vector<Context> const &ctx = {}, uint8_t response = 1)
{
    Cdr c;
    c.raw("GIOP", 4).u8(1).u8(0).u8(1).u8(0).u32(0);
    c.u32(uint32_t(ctx.size()));
    for (auto const &x : ctx)
        c.u32(x.id).u32(uint32_t(x.data.size())).raw(x.data.data(), x.data.size());
    c.u32(rid).u8(response);
    c.u32(uint32_t(key.size())).raw(key.data(), key.size());
    c.str(op);
    c.align(4);
    if (c.b.size() % 8 == 0) // principal as padding: arguments at a multiple of 8
        c.u32(4).u32(0);
    else
        c.u32(0);
    c.raw(args.data(), args.size());
    uint32_t size = uint32_t(c.b.size() - 12);
    std::memcpy(&c.b[8], &size, 4);
    return c.b;
}

inline Bytes locate_request(uint32_t rid, Bytes const &key)
{
    Cdr c;
    c.raw("GIOP", 4).u8(1).u8(0).u8(1).u8(3).u32(0);
    c.u32(rid).u32(uint32_t(key.size())).raw(key.data(), key.size());
    uint32_t size = uint32_t(c.b.size() - 12);
    std::memcpy(&c.b[8], &size, 4);
    return c.b;
}

inline Bytes flatten(CORBA::Stream &s)
{
    Bytes out;
    uint32_t total = s.size_written();
    for (wq_MemoryBlock *b = s.head(); b && out.size() < total; b = b->next) {
        uint32_t n = b == s.write_block() ? uint32_t(s.write_position() - b->data) : b->used;
        out.insert(out.end(), b->data, b->data + n);
        if (b == s.write_block())
            break;
    }
    if (out.size() >= 12) {
        uint32_t size = uint32_t(out.size() - 12);
        std::memcpy(&out[8], &size, 4);
    }
    return out;
}

struct RecordingSink : wq_DispatchSink {
    int hand_backs = 0;
    bool reply_due = false;
    bool protocol = false;
    bool closed = false;
    std::vector<Bytes> replies;
    std::vector<bool> early;
    void hand_back(bool due) override
    {
        ++hand_backs;
        reply_due = due;
    }
    void send(CORBA::Stream &reply, uint32_t, bool e) override
    {
        replies.push_back(flatten(reply));
        early.push_back(e);
    }
    void protocol_error() override { protocol = true; }
    void close() override { closed = true; }
};

// Runs one message through the dispatcher.
inline void dispatch(wq_ReaderState &st, Bytes const &msg, RecordingSink &sink)
{
    st.in.reclaim();
    st.out.reclaim();
    st.in.write_array_1(msg.data(), uint32_t(msg.size()));
    st.in.byte_order(CORBA::Stream::order_for_flag(msg.size() > 6 ? msg[6] : 1));
    st.in.skip_read(msg.size() >= 12 ? 12 : uint32_t(msg.size()));
    wq_dispatch_message(st, msg.size() > 7 ? msg[7] : 0xFF, sink);
}

// Reply fields of a little-endian reply without contexts handled by offset.
struct Reply {
    uint32_t contexts, request_id, status, body;
    Cdr c;
};
inline Reply parse_reply(Bytes const &b)
{
    Reply r{};
    r.c.b = b;
    r.contexts = r.c.get32(12);
    size_t at = 16;
    for (uint32_t i = 0; i < r.contexts && at + 8 <= b.size(); ++i) {
        uint32_t len = r.c.get32(at + 4);
        at = (at + 8 + len + 3) & ~size_t(3);
    }
    r.request_id = r.c.get32(at);
    r.status = r.c.get32(at + 4);
    r.body = uint32_t(at + 8);
    return r;
}

// The repository id and minor code of a SYSTEM_EXCEPTION body.
inline std::string exception_id(Reply const &r, uint32_t *minor = nullptr)
{
    uint32_t len = r.c.get32(r.body);
    std::string id(reinterpret_cast<char const *>(&r.c.b[r.body + 4]), len ? len - 1 : 0);
    size_t at = (r.body + 4 + len + 3) & ~size_t(3);
    if (minor && at + 4 <= r.c.b.size())
        *minor = r.c.get32(at) & 0x1F;
    return id;
}

// The port of the first IIOP profile for 127.0.0.1 in a stringified
// reference (the host string, then the port in the reference's byte order);
// 0 when there is none.
inline uint16_t ior_port(std::string const &text)
{
    Bytes b;
    for (size_t i = 4; i + 1 < text.size(); i += 2)
        b.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
    static const char host[] = "127.0.0.1";
    for (size_t i = 0; i + sizeof host + 2 < b.size(); ++i)
        if (std::memcmp(&b[i], host, sizeof host) == 0) {
            size_t at = (i + sizeof host + 1) & ~size_t(1);
            return uint16_t(b[0] == 1 ? b[at] | b[at + 1] << 8 : b[at] << 8 | b[at + 1]);
        }
    return 0;
}

// A connection to 127.0.0.1:port whose reads time out after 5 s; -1 when
// it cannot be made. A receive buffer size other than 0 is set before the
// connection is made, so that it bounds the window the peer sees.
inline int connect_to(uint16_t port, int rcvbuf = 0)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// One whole GIOP message (header and body), or empty on close.
inline Bytes read_message(int fd)
{
    Bytes m(12);
    size_t have = 0;
    while (have < m.size()) {
        ssize_t n = read(fd, m.data() + have, m.size() - have);
        if (n <= 0)
            return {};
        have += size_t(n);
        if (have == 12 && m.size() == 12) {
            uint32_t size;
            std::memcpy(&size, &m[8], 4);
            if (!(m[6] & 1))
                size = __builtin_bswap32(size);
            m.resize(12 + size);
        }
    }
    return m;
}

} // namespace srv_test
