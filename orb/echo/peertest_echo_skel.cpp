// Skeleton functions of PeerTest::Echo and their registration.
#include "peertest_echo_skel.h"
#include "wq_skeleton.h"

#include <algorithm>
#include <cstring>

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

void drop_octets(void *seq) { delete static_cast<PeerTest::OctetSeq *>(seq); }

void skel_echo_octets(wq_ServerRequest &req, void *impl, const CORBA::EnvironmentWrapper &env)
{
    uint32_t n = 0;
    if (!req.in.read_count(n, 1))
        return;
    PeerTest::OctetSeq data;
    if (req.in.linear_block_remaining() >= n) {
        // All in one block (a long request is read into one): the servant
        // reads the octets where they lie, while the request is kept.
        data = PeerTest::OctetSeq(n, n, req.in.read_position(), false);
        req.in.skip_read(n);
    } else {
        // Taken block by block (no zero-filling of a buffer that is
        // overwritten at once).
        data.length(n);
        uint32_t at = 0;
        while (at < n && !env.pending()) {
            uint32_t k = std::min<uint32_t>(n - at, req.in.linear_block_remaining());
            if (k == 0) {
                // At the end of a block: the next octet comes from the next one.
                data[at++] = req.in.read_octet();
                continue;
            }
            std::memcpy(data.data() + at, req.in.read_position(), k);
            req.in.skip_read(k);
            at += k;
        }
    }
    if (env.pending())
        return;
    // The result goes out from its own buffer: it is kept until the reply
    // has been sent and its blocks let go.
    auto *r = new PeerTest::OctetSeq(servant(impl)->echo_octets(data));
    data = PeerTest::OctetSeq();
    req.out << static_cast<unsigned int>(r->size());
    req.out.lend_array_1(r->data(), static_cast<uint32_t>(r->size()), &drop_octets, r);
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
