// Reading the profiles of an IOR: bounded, each IIOP profile body parsed in
// its own encapsulation (with tagged components from IIOP 1.1 on), unknown
// tags kept raw and skipped, and the address the broker will use chosen.
#include "wq_target.h"

#include "wq_endpoint.h"

#include <cstring>

namespace {

constexpr bool kHostLittle = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// A bounded CDR reader over one encapsulation (alignment from its start).
struct Encap {
    const unsigned char *p;
    uint32_t n;
    uint32_t pos = 0;
    bool swap = false;
    bool ok = true;

    Encap(const unsigned char *data, uint32_t len) : p(data), n(len)
    {
        uint8_t bo = octet();
        swap = ((bo & 1) != 0) != kHostLittle;
        if (bo > 1)
            ok = false;
    }
    bool need(uint32_t k, uint32_t align)
    {
        uint32_t a = (pos + align - 1) & ~(align - 1);
        if (!ok || a > n || n - a < k) {
            ok = false;
            return false;
        }
        pos = a;
        return true;
    }
    uint8_t octet() { return need(1, 1) ? p[pos++] : 0; }
    uint16_t u16()
    {
        if (!need(2, 2))
            return 0;
        uint16_t v;
        std::memcpy(&v, p + pos, 2);
        pos += 2;
        return swap ? __builtin_bswap16(v) : v;
    }
    uint32_t u32()
    {
        if (!need(4, 4))
            return 0;
        uint32_t v;
        std::memcpy(&v, p + pos, 4);
        pos += 4;
        return swap ? __builtin_bswap32(v) : v;
    }
    // An octet sequence of at most `max` bytes.
    const unsigned char *seq(uint32_t &len, uint32_t max)
    {
        len = u32();
        if (!ok || len > max || !need(len, 1)) {
            ok = false;
            return nullptr;
        }
        const unsigned char *r = p + pos;
        pos += len;
        return r;
    }
    // A string (length with NUL, NUL-terminated, at most `max` chars).
    bool str(std::string &out, uint32_t max)
    {
        uint32_t len = 0;
        const unsigned char *s = seq(len, max + 1);
        if (!s || len == 0 || s[len - 1] != '\0' || std::memchr(s, 0, len - 1)) {
            ok = false;
            return false;
        }
        out.assign(reinterpret_cast<const char *>(s), len - 1);
        return true;
    }
};

bool key_ok(uint32_t len) { return len >= 1 && len <= WQ_MAX_KEY; }

bool parse_bands(const wq_IORProfile &p, std::vector<wq_PriorityBand> &bands)
{
    Encap e(p.body.data(), static_cast<uint32_t>(p.body.size()));
    e.octet();
    e.octet();
    if (e.u32() != 1)
        return false;
    uint32_t list_len = 0;
    if (e.u32() != 2)
        return false;
    list_len = e.u32();
    if (!e.ok || list_len > e.n - e.pos)
        return false;
    if (e.u32() != 1 || e.u32() != WQ_PRIORITY_BANDED_CONNECTION_POLICY_TYPE)
        return false;
    e.u32(); // band data length
    uint32_t count = e.u32();
    if (!e.ok || count > wq_MsgEndpoint::MAX_BANDS)
        return false;
    std::vector<wq_PriorityBand> out;
    for (uint32_t i = 0; i < count; ++i) {
        int16_t lo = static_cast<int16_t>(e.u16()), hi = static_cast<int16_t>(e.u16());
        out.push_back({lo, hi, nullptr});
    }
    if (!e.ok)
        return false;
    bands.swap(out);
    return true;
}

} // namespace

bool wq_parse_profile(const wq_IORProfile &p, std::string &endpoint, std::vector<unsigned char> &key,
                      uint8_t &minor)
{
    if (p.body.empty())
        return false;
    Encap e(p.body.data(), static_cast<uint32_t>(p.body.size()));
    uint8_t major = e.octet();
    minor = e.octet();
    if (!e.ok || major != 1)
        return false;
    uint32_t kl = 0;
    const unsigned char *k = nullptr;
    if (p.tag == WQ_TAG_INTERNET_IOP) {
        std::string host;
        if (!e.str(host, 255))
            return false;
        uint16_t port = e.u16();
        k = e.seq(kl, WQ_MAX_KEY);
        if (!e.ok || port == 0 || !key_ok(kl))
            return false;
        if (minor >= 1) {
            // Tagged components: each at least a tag and a length.
            uint32_t count = e.u32();
            if (!e.ok || count > (e.n - e.pos) / 8)
                return false;
            for (uint32_t i = 0; i < count && e.ok; ++i) {
                e.u32();
                uint32_t cl;
                e.seq(cl, e.n);
            }
            if (!e.ok)
                return false;
        }
        endpoint = "tcp:" + host + ":" + std::to_string(port);
    } else if (p.tag == WQ_TAG_OTHER_ENDPOINT) {
        std::string text;
        if (!e.str(text, 1024) || wq_addr_index(text.c_str()) == 0)
            return false;
        k = e.seq(kl, WQ_MAX_KEY);
        if (!e.ok || !key_ok(kl))
            return false;
        endpoint = text;
    } else {
        return false;
    }
    key.assign(k, k + kl);
    return true;
}

bool wq_read_profiles(CORBA::Stream &s, wq_IORInfo &info, const CORBA::EnvironmentWrapper &)
{
    uint32_t count = 0;
    if (!s.read_count(count, 8))
        return false;
    if (count > wq_TargetFactory::MAX_PROFILES) {
        s.fail(new CORBA::MARSHAL(1, CORBA::COMPLETED_NO, "IOR holds too many profiles"));
        return false;
    }
    info.profiles.clear();
    info.profiles.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        wq_IORProfile p;
        s.read_4(&p.tag);
        uint32_t len = 0;
        if (!s.read_count(len, 1))
            return false;
        if (len > wq_TargetFactory::MAX_PROFILE_BODY) {
            s.fail(new CORBA::MARSHAL(1, CORBA::COMPLETED_NO, "IOR profile too long"));
            return false;
        }
        p.body.resize(len);
        s.read_array_1(p.body.data(), len);
        if (s.pending())
            return false;
        info.profiles.push_back(std::move(p));
    }
    info.endpoint.clear();
    info.key.clear();
    for (const wq_IORProfile &p : info.profiles) {
        if (p.tag == WQ_TAG_PRIORITY_BANDS) {
            parse_bands(p, info.bands);
            continue;
        }
        if (!info.endpoint.empty())
            continue;
        std::string ep;
        std::vector<unsigned char> key;
        uint8_t minor = 0;
        if (wq_parse_profile(p, ep, key, minor)) {
            info.endpoint = ep;
            info.key.swap(key);
            info.iiop_minor = minor;
        }
    }
    return true;
}

uint32_t wq_TargetFactory::analyze(CORBA::Stream &s, char const *, const CORBA::EnvironmentWrapper &env)
{
    wq_IORInfo info;
    if (!wq_read_profiles(s, info, env))
        return 0;
    if (info.endpoint.empty()) {
        s.fail(new CORBA::INV_OBJREF(1, CORBA::COMPLETED_NO, "IOR holds no usable profile"));
        return 0;
    }
    wq_Key k(info.key.data(), static_cast<uint32_t>(info.key.size()));
    k.parse();
    if (info.key[0] == 0xB5 && k.is_local())
        return SERVANT;
    return IIOP;
}
