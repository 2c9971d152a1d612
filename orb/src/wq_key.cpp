// Object keys and the IOR writer.
#include "wq_key.h"

#include "corba_object.h"
#include "corba_stream.h"
#include "rtcorba.h"
#include "wq_endpoint.h"
#include "wq_mthread.h"

#include <cstring>
#include <memory>
#include <string>

uint32_t wq_key_hash(char const *key)
{
    uint32_t h = 0;
    if (!key)
        return 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p && *p != 0xB5; ++p)
        h = (h << 5) ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    return h;
}

void wq_Key::to_object_key(unsigned char *buffer, uint32_t capacity, uint32_t &length, char const *svr_class,
                           char const *svr_instance, char const *poa_name, const unsigned char *id,
                           uint32_t id_length, unsigned char flag)
{
    length = 0;
    size_t cl = svr_class ? std::strlen(svr_class) : 0;
    size_t il = svr_instance ? std::strlen(svr_instance) : 0;
    size_t pl = poa_name ? std::strlen(poa_name) : 0;
    if (!id)
        id_length = 0;
    uint64_t total = 7 + uint64_t(cl) + il + pl + id_length;
    if (!buffer || total > capacity)
        return;
    unsigned char *p = buffer;
    *p++ = 0xB5;
    *p++ = 'A';
    *p++ = static_cast<unsigned char>(0x40 | flag);
    *p++ = 0xB6;
    std::memcpy(p, svr_class, cl);
    p += cl;
    *p++ = 0xB5;
    std::memcpy(p, svr_instance, il);
    p += il;
    *p++ = 0xB5;
    std::memcpy(p, poa_name, pl);
    p += pl;
    *p++ = 0xB5;
    if (id_length)
        std::memcpy(p, id, id_length);
    length = static_cast<uint32_t>(total);
}

void wq_Key::parse()
{
    class_start = instance_start = poa_start = id_start = id_length = 0;
    flag = 0;
    if (!key || key_length < 2 || key[0] != 0xB5)
        return;
    // The separators after the first octet; the class name follows the last
    // 0xB6 before the first of them (when there is one).
    const unsigned char *end = key + key_length;
    auto next_sep = [end](const unsigned char *from) {
        return static_cast<const unsigned char *>(std::memchr(from, 0xB5, static_cast<size_t>(end - from)));
    };
    const unsigned char *s1 = next_sep(key + 1);
    if (!s1)
        return;
    uint32_t i1 = static_cast<uint32_t>(s1 - key);
    const void *b6 = i1 > 1 ? ::memrchr(key + 1, 0xB6, i1 - 1) : nullptr;
    if (b6) {
        class_start = static_cast<uint32_t>(static_cast<const unsigned char *>(b6) - key) + 1;
        flag = key[2];
    } else {
        class_start = i1;
    }
    instance_start = i1 + 1;
    const unsigned char *s2 = next_sep(s1 + 1);
    if (!s2)
        return;
    poa_start = static_cast<uint32_t>(s2 - key) + 1;
    const unsigned char *s3 = next_sep(s2 + 1);
    if (!s3)
        return;
    id_start = static_cast<uint32_t>(s3 - key) + 1;
    id_length = key_length - id_start;
}

bool wq_Key::is_local() const
{
    if (!key || !instance_start || !poa_start)
        return false;
    uint32_t cl = instance_start - 1 - class_start;
    uint32_t il = poa_start - 1 - instance_start;
    char const *c = wq_ORB::svr_class_name ? wq_ORB::svr_class_name : "";
    char const *in = wq_ORB::svr_instance_name ? wq_ORB::svr_instance_name : "";
    return std::strlen(c) == cl && std::memcmp(c, key + class_start, cl) == 0 && std::strlen(in) == il &&
           std::memcmp(in, key + instance_start, il) == 0;
}

// ---- IOR writer -------------------------------------------------------------------

namespace {

void bad_endpoint(char const *text, const CORBA::EnvironmentWrapper &env)
{
    env.exception(new CORBA::BAD_PARAM(12, CORBA::COMPLETED_NO, text));
}

// Appends the bytes written to `from`.
void append(CORBA::Stream &to, CORBA::Stream &from)
{
    for (wq_MemoryBlock *b = from.head(); b; b = b->next) {
        uint32_t len = b == from.write_block() ? static_cast<uint32_t>(from.write_position() - b->data) : b->used;
        to.write_array_1(b->data, len);
        if (b == from.write_block())
            break;
    }
}

// Appends (tag or length word, length of `body`, body).
void put_profile(CORBA::Stream &s, uint32_t tag, CORBA::Stream &body)
{
    s << tag << body.size_written();
    append(s, body);
}

void start_body(CORBA::Stream &body)
{
    body << CORBA::Stream::write_flag() << static_cast<unsigned char>(1) << static_cast<unsigned char>(0);
}

} // namespace

void wq_write_ior(CORBA::Stream &s, const unsigned char *key, uint32_t key_length, char const *endpoints,
                  char const *type_id, const wq_PolicyNode *policies, bool use_orb_policies,
                  const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    if (!key || !type_id || !endpoints || !*endpoints) {
        bad_endpoint("null endpoint list", env);
        return;
    }
    s << CORBA::Stream::from_string(type_id);
    CORBA::Policy *band_policy = policies ? policies->get_policy(WQ_PRIORITY_BANDED_CONNECTION_POLICY_TYPE, env)
                                          : nullptr;
    // The ORB's own policy may be replaced (and freed) once its lock is
    // released: a copy is taken under the lock.
    std::unique_ptr<CORBA::Policy> orb_copy;
    if (!band_policy && use_orb_policies) {
        wq_ThreadEnvironment tenv;
        wq_ReadLock l(wq_pr_mtx, tenv);
        if (CORBA::Policy *o = wq_policy_root.slots[WQ_PRIORITY_BANDED_CONNECTION_POLICY_TYPE])
            orb_copy.reset(o->copy());
        band_policy = orb_copy.get();
    }
    auto *bands = dynamic_cast<RTCORBA::PriorityBandedConnectionPolicy *>(band_policy);

    // Split the list at ','; after each ',' further ',' and blanks are skipped.
    char const *items[WQ_MAX_ENDPOINTS];
    uint32_t n = 0;
    char const *p = endpoints;
    while (*p) {
        char const *e = std::strchr(p, ',');
        size_t len = e ? static_cast<size_t>(e - p) : std::strlen(p);
        if (len >= 2) {
            if (n == WQ_MAX_ENDPOINTS) {
                env.exception(new CORBA::BAD_PARAM(12, CORBA::COMPLETED_NO, "more than 16 endpoints"));
                return;
            }
            items[n++] = p;
        }
        if (!e)
            break;
        p = e;
        while (*p == ',' || *p == ' ')
            ++p;
    }
    if (n == 0) {
        bad_endpoint(endpoints, env);
        s << 0u;
        return;
    }
    s << n + (bands ? 1u : 0u);
    CORBA::EnvironmentWrapper const &benv = env;
    for (uint32_t i = 0; i < n; ++i) {
        char const *ep = items[i];
        size_t elen = std::strcspn(ep, ", ");
        CORBA::Stream body(512, benv);
        start_body(body);
        uint32_t tag;
        if (std::strncmp(ep, "tcp:", 4) == 0) {
            char const *h = ep + 4;
            if (h[0] == '/' && h[1] == '/')
                h += 2;
            char const *c = h;
            while (*c && *c != ':' && *c != ',')
                ++c;
            if (*c != ':') {
                bad_endpoint(ep, env);
                return;
            }
            // Port: 1..65535, digits up to ',', blank or the end.
            uint32_t port = 0;
            char const *q = c + 1;
            bool ok = *q >= '0' && *q <= '9';
            for (; *q && *q != ',' && *q != ' '; ++q) {
                if (*q < '0' || *q > '9' || (port = port * 10 + static_cast<uint32_t>(*q - '0')) > 65535) {
                    ok = false;
                    break;
                }
            }
            if (!ok || port == 0) {
                bad_endpoint(ep, env);
                return;
            }
            std::string host(h, static_cast<size_t>(c - h));
            body << CORBA::Stream::from_string(host.c_str()) << static_cast<unsigned short>(port);
            tag = WQ_TAG_INTERNET_IOP;
        } else if (wq_Coder coder = wq_CoderRegistry::lookup(ep)) {
            tag = coder(body, ep, static_cast<uint32_t>(elen), ep[elen]);
            if (tag == 0xFFFFFFFFu) {
                bad_endpoint(ep, env);
                return;
            }
        } else {
            std::string text(ep, elen);
            body << CORBA::Stream::from_string(text.c_str());
            tag = WQ_TAG_OTHER_ENDPOINT;
        }
        body << key_length;
        body.write_array_1(key, key_length);
        if (tag == WQ_TAG_OTHER_ENDPOINT)
            body << 0u;
        if (env.pending())
            return;
        put_profile(s, tag, body);
    }
    if (bands) {
        CORBA::Stream data(512, benv), list(512, benv), body(512, benv);
        data << bands->count();
        for (uint32_t i = 0; i < bands->count(); ++i)
            data << static_cast<short>(bands->band(i).low) << static_cast<short>(bands->band(i).high);
        list << 1u;
        put_profile(list, WQ_PRIORITY_BANDED_CONNECTION_POLICY_TYPE, data);
        start_body(body);
        body << 1u;
        put_profile(body, 2u, list);
        put_profile(s, WQ_TAG_PRIORITY_BANDS, body);
    }
}
