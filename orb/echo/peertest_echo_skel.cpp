// Skeleton functions of PeerTest::Echo and their registration.
#include "peertest_echo_skel.h"
#include "wq_skeleton.h"

#include <algorithm>

namespace {

using POA_PeerTest::Echo;

Echo *servant(void *impl) { return static_cast<Echo *>(impl); }

void skel_echo_string(wq_ServerRequest &req, void *impl, const CORBA::EnvironmentWrapper &env)
{
    CORBA::String_var s;
    req.in >> s;
    if (env.pending())
        return;
    CORBA::String_var r = servant(impl)->echo_string(s.in() ? s.in() : "");
    req.out << CORBA::Stream::from_string(r.in() ? r.in() : "");
}

void skel_add(wq_ServerRequest &req, void *impl, const CORBA::EnvironmentWrapper &env)
{
    int32_t a = 0, b = 0;
    req.in.read_4(&a);
    req.in.read_4(&b);
    if (env.pending())
        return;
    req.out << static_cast<int>(servant(impl)->add(a, b));
}

void skel_echo_octets(wq_ServerRequest &req, void *impl, const CORBA::EnvironmentWrapper &env)
{
    uint32_t n = 0;
    if (!req.in.read_count(n, 1))
        return;
    // Taken block by block straight from the request (no zero-filling of a
    // buffer that is overwritten at once).
    PeerTest::OctetSeq data;
    data.reserve(n);
    while (data.size() < n && !env.pending()) {
        uint32_t k = std::min<uint32_t>(uint32_t(n - data.size()), req.in.linear_block_remaining());
        if (k == 0) {
            // At the end of a block: the next octet comes from the next one.
            unsigned char o = req.in.read_octet();
            if (!env.pending())
                data.push_back(o);
            continue;
        }
        unsigned char const *p = req.in.read_position();
        data.insert(data.end(), p, p + k);
        req.in.skip_read(k);
    }
    if (env.pending())
        return;
    PeerTest::OctetSeq r = servant(impl)->echo_octets(data);
    req.out << static_cast<unsigned int>(r.size());
    req.out.write_array_1(r.data(), static_cast<uint32_t>(r.size()));
}

void skel_ping(wq_ServerRequest &, void *impl, const CORBA::EnvironmentWrapper &env)
{
    if (!env.pending())
        servant(impl)->ping();
}

void skel_fail(wq_ServerRequest &, void *impl, const CORBA::EnvironmentWrapper &env)
{
    if (!env.pending())
        servant(impl)->fail();
}

struct EchoSkeletons {
    EchoSkeletons()
    {
        char const *id = PeerTest::Echo::wq_IR_Name;
        wq_SkeletonMap::add(id, "echo_string", &skel_echo_string);
        wq_SkeletonMap::add(id, "add", &skel_add);
        wq_SkeletonMap::add(id, "echo_octets", &skel_echo_octets);
        wq_SkeletonMap::add(id, "ping", &skel_ping);
        wq_SkeletonMap::add(id, "fail", &skel_fail);
    }
} g_echo_skeletons;

} // namespace

POA_PeerTest::Echo::Echo() { wq_init_nia(this, PeerTest::Echo::wq_IR_Name); }
