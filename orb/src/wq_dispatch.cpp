// Request and locate-request dispatch: header parsing with bounded reads,
// object key to POA, servant and skeleton, and the reply.
#include "wq_dispatch.h"
#include "corba_orb.h"
#include "rtcorba.h"
#include "wq_key.h"

#include <cxxabi.h>
#include <cstring>
#include <new>
#include <optional>

void (*wq_receive_request_sc)(wq_RequestInfo &, const CORBA::EnvironmentWrapper &) = nullptr;
void (*wq_receive_request)(wq_RequestInfo &, const CORBA::EnvironmentWrapper &) = nullptr;
void (*wq_send_reply)(wq_RequestInfo &, const CORBA::EnvironmentWrapper &) = nullptr;
namespace {

// A key that is no key of this broker, read as an initial-reference name of
// the process's ORB; a name that resolves to nothing (or fails) gives nil.
CORBA::Object *resolve_with_orb(char const *name, const CORBA::EnvironmentWrapper &)
{
    if (!wq_orb)
        return nullptr;
    wq_PrivateEnv pe;
    CORBA::Object *o = wq_orb->resolve_initial_references(name, pe.env);
    if (pe.env.pending()) {
        // An unknown name is an ordinary miss: dropped here, it is not
        // reported as a lost exception when the environment ends.
        pe.env.clear();
        CORBA::release(o);
        return nullptr;
    }
    return o;
}

} // namespace

CORBA::Object *(*wq_dispatch_initial_reference)(char const *, const CORBA::EnvironmentWrapper &) = &resolve_with_orb;

using namespace PortableServer;

wq_ReaderState::wq_ReaderState() = default;
wq_ReaderState::~wq_ReaderState() = default;

void wq_raise_poa_mgr_inactive(const CORBA::EnvironmentWrapper &env)
{
    env.exception(new CORBA::OBJ_ADAPTER(1, CORBA::COMPLETED_NO, "POA Manager is inactive"));
}

int16_t wq_clamp_priority(int32_t p)
{
    int32_t lo = CORBA::ORB::_priority_low, hi = CORBA::ORB::_priority_high;
    if (lo > hi)
        std::swap(lo, hi);
    if (lo < RTCORBA::minPriority)
        lo = RTCORBA::minPriority;
    if (hi > RTCORBA::maxPriority)
        hi = RTCORBA::maxPriority;
    return static_cast<int16_t>(p < lo ? lo : p > hi ? hi : p);
}

int16_t wq_default_corba_priority()
{
    RTCORBA::Priority p = 0;
    if (RTCORBA::the_PriorityMapping)
        RTCORBA::the_PriorityMapping->to_CORBA(CORBA::ORB::_default_priority, p);
    return p;
}

// ---- reply header -------------------------------------------------------------------

void wq_write_reply(CORBA::Stream &s, const wq_GIOP::ReplyHeader &h, const wq_ServiceContext *contexts,
                    uint32_t context_count, int16_t priority, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    s << 0u; // context count, patched below
    uint32_t count = 0;
    if (contexts) {
        for (uint32_t i = 0; i < context_count; ++i) {
            if (contexts[i].id == wq_GIOP::ReplyPadding)
                continue;
            s << contexts[i].id << contexts[i].length;
            s.write_array_1(contexts[i].data, contexts[i].length);
            ++count;
        }
    } else if (priority >= 0) {
        s << wq_GIOP::RTCorbaPriority << 4u << CORBA::Stream::write_flag() << static_cast<unsigned char>(0)
          << static_cast<short>(priority);
        ++count;
    }
    // The body starts on an 8-byte boundary: a padding context when the
    // request id and status would leave it 4 off.
    uint32_t p = (s.write_offset() + 3) & ~3u;
    if (((p - 1) & 4) == 0) {
        s << wq_GIOP::ReplyPadding << 4u << 0u;
        ++count;
    }
    if (count) // the placeholder holds 0 already
        wq_StreamUtil::write_ulong_at(s, count, s.head(), s.head()->data + 12);
    s << h.request_id << h.reply_status;
}

namespace {

// ---- header parsing ------------------------------------------------------------------

// A 16-bit value of an encapsulated context: byte order from bit 0 of the
// first data octet (1 little-endian).
int16_t context_short(const unsigned char *d, uint32_t at)
{
    uint16_t v = (d[0] & 1) ? static_cast<uint16_t>(d[at] | (d[at + 1] << 8))
                            : static_cast<uint16_t>((d[at] << 8) | d[at + 1]);
    return static_cast<int16_t>(v);
}

// Reads a length-prefixed octet field into buf (at most cap bytes kept,
// NUL-terminated); the whole field is consumed. False on a read error.
bool read_field(CORBA::Stream &in, unsigned char *buf, uint32_t cap, uint32_t &length)
{
    if (!in.read_count(length, 1))
        return false;
    uint32_t keep = length < cap ? length : cap;
    in.read_array_1(buf, keep);
    buf[keep] = 0;
    if (length > keep)
        in.skip_read(length - keep);
    return !in.pending();
}

// The request header read in place when the message lies in one block:
// the same fields and checks as the stream's readers, with one move of the
// read position at the end. False, with nothing of the reader's state or
// the stream changed but the key and operation buffers, when it cannot be
// read so (a read would fail, or a priority-range context asks for a band);
// the stream's readers then take the header from the start.
bool parse_request_header_in_place(wq_ReaderState &st)
{
    CORBA::Stream &in = st.in;
    if (in.pending() || !in.read_block() || in.read_block() != in.write_block())
        return false;
    const unsigned char *p = in.read_position();
    const unsigned char *end = in.write_position();
    if (end < p)
        return false;
    // Offsets from p; CDR alignment counts from the stream's offsets.
    const uint32_t base = in.read_offset();
    const uint32_t size = static_cast<uint32_t>(end - p);
    const bool swap = in.byte_order() == 0;
    uint32_t at = 0;
    auto ulong = [&](uint32_t &v) {
        uint32_t a = ((base + at + 3) & ~3u) - base;
        if (a > size || size - a < 4)
            return false;
        std::memcpy(&v, p + a, 4);
        if (swap)
            v = __builtin_bswap32(v);
        at = a + 4;
        return true;
    };
    // A count of elements of `elem` bytes that fit in what remains.
    auto count = [&](uint32_t &n, uint32_t elem) {
        return ulong(n) && uint64_t(n) * elem <= size - at;
    };
    uint16_t sync_scope = Messaging::SYNC_WITH_TARGET;
    bool priority_seen = false;
    int16_t priority = 0;
    uint32_t n = 0;
    if (!count(n, 8))
        return false;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t id = 0, len = 0;
        if (!ulong(id) || !count(len, 1))
            return false;
        if (id == wq_GIOP::RTCorbaPriorityRange && len == 6)
            return false;
        if (id == wq_GIOP::RTCorbaPriority && len == 4) {
            priority_seen = true;
            priority = wq_clamp_priority(context_short(p + at, 2));
        } else if (id == wq_GIOP::SyncScopeServer) {
            sync_scope = Messaging::SYNC_WITH_SERVER;
        }
        at += len;
    }
    uint32_t request_id = 0;
    if (!ulong(request_id) || at >= size)
        return false;
    uint8_t response_expected = p[at++];
    if (response_expected == 0)
        sync_scope = Messaging::SYNC_WITH_TRANSPORT;
    uint32_t key_length = 0, oplen = 0, principal = 0;
    if (!count(key_length, 1))
        return false;
    uint32_t keep = key_length < WQ_KEY_BUFFER - 1 ? key_length : WQ_KEY_BUFFER - 1;
    std::memcpy(st.key, p + at, keep);
    st.key[keep] = 0;
    at += key_length;
    if (!count(oplen, 1) || oplen == 0)
        return false;
    keep = oplen < WQ_OP_BUFFER - 1 ? oplen : WQ_OP_BUFFER - 1;
    std::memcpy(st.operation, p + at, keep);
    st.operation[keep] = 0;
    at += oplen;
    if (!count(principal, 1))
        return false;
    at += principal;
    in.skip_read(at);
    if (in.pending())
        return false;
    st.sync_scope = sync_scope;
    st.priority_seen = priority_seen;
    if (priority_seen)
        st.request_priority = priority;
    st.band_request = false;
    st.band_index = -1;
    st.request_id = request_id;
    st.response_expected = response_expected;
    st.key_length = key_length;
    return true;
}

bool parse_request_header(wq_ReaderState &st)
{
    if (parse_request_header_in_place(st))
        return true;
    CORBA::Stream &in = st.in;
    st.sync_scope = Messaging::SYNC_WITH_TARGET;
    st.priority_seen = false;
    st.band_request = false;
    st.band_index = -1;
    uint32_t n = 0;
    if (!in.read_count(n, 8))
        return false;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t id = 0, len = 0;
        in.read_4(&id);
        if (!in.read_count(len, 1))
            return false;
        unsigned char d[8];
        if ((id == wq_GIOP::RTCorbaPriority && len == 4) ||
            (id == wq_GIOP::RTCorbaPriorityRange && len == 6)) {
            in.read_array_1(d, len);
            if (in.pending())
                return false;
            if (id == wq_GIOP::RTCorbaPriority) {
                st.priority_seen = true;
                st.request_priority = wq_clamp_priority(context_short(d, 2));
            } else {
                // The bounds are taken as given: a range with low above high
                // is a band of its own, which no client priority falls in.
                int16_t low = context_short(d, 2), high = context_short(d, 4);
                st.band_index = wq_band_manager.find_or_create(low, high);
                st.band_request = st.band_index >= 0;
            }
        } else {
            if (id == wq_GIOP::SyncScopeServer)
                st.sync_scope = Messaging::SYNC_WITH_SERVER;
            in.skip_read(len);
        }
        if (in.pending())
            return false;
    }
    in.read_4(&st.request_id);
    st.response_expected = in.read_octet();
    if (st.response_expected == 0)
        st.sync_scope = Messaging::SYNC_WITH_TRANSPORT;
    if (!read_field(in, st.key, WQ_KEY_BUFFER - 1, st.key_length))
        return false;
    uint32_t oplen = 0;
    if (!read_field(in, reinterpret_cast<unsigned char *>(st.operation), WQ_OP_BUFFER - 1, oplen) ||
        oplen == 0)
        return false;
    uint32_t principal = 0;
    if (!in.read_count(principal, 1))
        return false;
    if (principal)
        in.skip_read(principal);
    return !in.pending();
}

// The part of the key kept in the reader's buffer.
uint32_t logged_key_length(const wq_ReaderState &st)
{
    return st.key_length < WQ_KEY_BUFFER ? st.key_length : WQ_KEY_BUFFER - 1;
}

// ---- object location -------------------------------------------------------------------

// What one request found; released when it ends.
struct Found {
    wq_TargetLocal *target = nullptr; // one reference
    POA *poa = nullptr;               // one reference
    ServantBase *servant = nullptr;   // one reference when servant_owned
    bool servant_owned = false;
    wq_Interface *itf = nullptr;
    ServantLocator *locator = nullptr; // one reference
    Cookie cookie = nullptr;
    // The object id: the bytes of the key (which outlive the request),
    // copied into an ObjectId only when one is asked for.
    const unsigned char *id = nullptr;
    uint32_t id_length = 0;
    std::optional<ObjectId> oid_;
    char poa_name[WQ_KEY_BUFFER + 1];

    const ObjectId &oid()
    {
        if (!oid_)
            oid_.emplace(id, id_length);
        return *oid_;
    }
    void set_oid(const ObjectId &o)
    {
        oid_.emplace(o);
        id = oid_->get_buffer();
        id_length = oid_->length();
    }

    void end(char const *operation)
    {
        if (locator) {
            wq_PrivateEnv pe;
            const CORBA::EnvironmentWrapper &penv = pe.env;
            try {
                locator->postinvoke(oid(), poa, operation, cookie, servant, penv);
            } catch (abi::__forced_unwind &) {
                throw;
            } catch (...) {
            }
            locator->_remove_ref();
            locator = nullptr;
        }
        if (servant_owned && servant)
            servant->_remove_ref();
        servant = nullptr;
        servant_owned = false;
        if (target) {
            wq_ThreadEnvironment tenv;
            target->_remove_ref(true, tenv);
            target = nullptr;
        }
        POA::_release(poa);
        poa = nullptr;
    }
    // A request left by an exception (memory ran out) gives its references
    // back; its locator is not called again.
    ~Found()
    {
        if (locator) {
            locator->_remove_ref();
            locator = nullptr;
        }
        end("");
    }
};

// Takes a target found under the lists lock when its POA lives, it is
// active and neither its servant nor its POA is going away. The servant
// gets a reference of its own: one that registered itself is not held by
// its target, and its last release may come from another thread while the
// request runs. The target holds no reference on its POA, whose last
// release clears the target's pointer only once it gets the lists lock.
bool take(Found &f, wq_TargetLocal *t, const wq_ThreadEnvironment &tenv)
{
    if (!t || !t->active || !t->poa || !t->poa->wq_live())
        return false;
    bool gone = false;
    ServantBase *servant = t->servant_ref(gone);
    if (gone)
        return false;
    if (!t->poa->wq_try_add_ref()) {
        if (servant)
            servant->_remove_ref();
        return false;
    }
    t->_add_ref(false, tenv);
    f.target = t;
    f.servant = servant;
    f.servant_owned = servant != nullptr;
    f.itf = t->interface();
    f.poa = t->poa;
    return true;
}

// Takes the target of (POA name, id). The read side suffices: the lists
// change only under the write side, the references taken here (of the
// target, its servant and its POA) change by compare-and-swap and the
// registry's one-entry cache is an atomic pointer, so the readers of
// concurrent requests never queue on each other.
bool take_target(Found &f, char const *poa_name, const unsigned char *id, uint32_t id_length)
{
    wq_ThreadEnvironment tenv;
    wq_ReadLock g(wq_TargetLocal::_lists_lock, tenv);
    wq_ServantKey key(poa_name, id, id_length);
    return take(f, wq_ServantRegistry::instance()->NI_find(key, false), tenv);
}

// Steps from the key to a POA (and a target when one is active); false with
// the exception in env. `locate` picks the texts of the locate path. A
// request's `info` goes to the receive hook once the POA manager has let it
// through holding, before its state is judged.
bool locate_object(wq_ReaderState &st, Found &f, bool locate, const CORBA::EnvironmentWrapper &env,
                   wq_RequestInfo *info = nullptr)
{
    if (st.key_length >= WQ_KEY_BUFFER) {
        env.exception(new CORBA::OBJECT_NOT_EXIST(1, CORBA::COMPLETED_NO, "object id length is >= 256"));
        return false;
    }
    wq_ReaderState::KeyParts &k = st.last_key;
    if (k.length != st.key_length || std::memcmp(k.bytes, st.key, st.key_length) != 0) {
        wq_Key parsed(st.key, st.key_length);
        parsed.parse();
        std::memcpy(k.bytes, st.key, st.key_length);
        k.length = st.key_length;
        k.poa_start = parsed.poa_start;
        k.id_start = parsed.id_start;
        k.id_length = parsed.id_length;
    }
    if (k.id_length == 0) {
        if (st.key_length > 0 && st.key[0] == 0xB5) {
            env.exception(new CORBA::INV_OBJREF(10, CORBA::COMPLETED_NO));
            return false;
        }
        CORBA::Object *ref = wq_dispatch_initial_reference
                                 ? wq_dispatch_initial_reference(reinterpret_cast<char const *>(st.key), env)
                                 : nullptr;
        if (env.pending())
            return false;
        if (!ref)
            env.exception(new CORBA::OBJECT_NOT_EXIST(1, CORBA::COMPLETED_NO));
        else
            env.exception(new ForwardRequest(ref));
        return false;
    }
    const unsigned char *id = st.key + k.id_start;
    uint32_t id_length = k.id_length;
    // The POA name runs to the separator before the id.
    uint32_t plen = k.id_start - 1 - k.poa_start;
    std::memcpy(f.poa_name, st.key + k.poa_start, plen);
    f.poa_name[plen] = 0;
    if (plen == 3 && std::memcmp(f.poa_name, "BOA", 3) == 0)
        std::strcpy(f.poa_name, "RootPOA");
    // An id of more than 3 bytes that begins "IDL:" names an interface (the
    // prefix alone names none).
    if (id_length > 3 && std::memcmp(id, "IDL:", 4) == 0) {
        std::string rid(reinterpret_cast<char const *>(id), id_length);
        wq_Interface *itf = wq_interface_registry_get()->NI_find(rid.c_str(), true);
        if (!itf) {
            env.exception(new CORBA::INV_OBJREF(1, CORBA::COMPLETED_NO, rid.c_str()));
            return false;
        }
        {
            wq_ThreadEnvironment tenv;
            wq_WriteLock g(wq_TargetLocal::_lists_lock, tenv);
            take(f, POA::legacy_itf_search(itf), tenv);
        }
        itf->_remove_ref(true);
        if (f.target)
            f.set_oid(f.target->object_id);
    } else {
        take_target(f, f.poa_name, id, id_length);
    }
    if (!f.id) {
        f.id = id;
        f.id_length = id_length;
    }
    if (!f.poa) {
        f.poa = wq_POARegistry::find(f.poa_name);
        bool inactive = false;
        if (!f.poa || !f.poa->wq_live()) {
            bool again = f.poa != nullptr;
            POA::_release(f.poa);
            f.poa = nullptr;
            wq_PrivatePOA::wq_resolve_parent_poa(f.poa_name, f.poa, inactive, env);
            if (env.pending())
                return false;
            if (inactive || !f.poa || !f.poa->wq_live()) {
                env.exception(new CORBA::OBJ_ADAPTER(1, CORBA::COMPLETED_NO,
                                                     again ? "POA found dynamically was inactive"
                                                           : "POA Manager is inactive"));
                return false;
            }
        }
    }
    uint32_t state = f.poa->wq_manager_state(env);
    if (!env.pending() && info && wq_receive_request_sc)
        wq_receive_request_sc(*info, env);
    if (env.pending())
        return false;
    switch (state) {
    case POAManager::ACTIVE:
        break;
    case POAManager::DISCARDING:
        env.exception(new CORBA::TRANSIENT(1, CORBA::COMPLETED_NO));
        return false;
    case POAManager::HOLDING:
        env.exception(new CORBA::INTERNAL(4, CORBA::COMPLETED_NO, locate ? "43238" : "38293"));
        return false;
    default:
        wq_raise_poa_mgr_inactive(env);
        return false;
    }
    if (locate && !f.target)
        take_target(f, f.poa_name, f.id, f.id_length);
    return true;
}

// The servant for a request that found no active object.
bool find_servant(wq_ReaderState &st, Found &f, const CORBA::EnvironmentWrapper &env)
{
    if (f.servant)
        return true;
    wq_TargetLocal *t = nullptr;
    bool by_default = false;
    ServantBase *s = wq_PrivatePOA::wq_non_map_poa_processing(f.poa, f.oid(), st.operation, f.cookie, f.itf,
                                                              f.locator, t, by_default, env);
    if (!s)
        return false;
    f.servant = s;
    f.servant_owned = true;
    if (t && !f.target)
        f.target = t;
    else if (t) {
        wq_ThreadEnvironment tenv;
        t->_remove_ref(true, tenv);
    }
    return true;
}

// ---- replies ----------------------------------------------------------------------------

uint32_t status_for(CORBA::Exception *e)
{
    if (ForwardRequest::_downcast(e))
        return wq_GIOP::LOCATION_FORWARD;
    if (CORBA::SystemException::_downcast(e))
        return wq_GIOP::SYSTEM_EXCEPTION;
    return wq_GIOP::USER_EXCEPTION;
}

int16_t reply_priority(const wq_ReaderState &st)
{
    return (st.priority_seen || st.band_thread) ? st.request_priority : -1;
}

// A reply holding the pending exception (or an empty NO_EXCEPTION reply).
// The exception stays pending; the output stream shares the reader's
// environment, so it is set aside while the reply is written.
void write_reply(wq_ReaderState &st, bool with_exception)
{
    CORBA::Exception *held = st.env_info.exception();
    st.env_info.replace(nullptr);
    CORBA::Exception *e = with_exception ? held : nullptr;
    wq_GIOP::ReplyHeader h{st.request_id, e ? status_for(e) : uint32_t(wq_GIOP::NO_EXCEPTION), 0};
    st.reply_status = h.reply_status;
    for (int attempt = 0; attempt < 2; ++attempt) {
        st.out.reclaim();
        wq_write_giop_header(st.out, wq_GIOP::Reply);
        // Nothing is pending in the reader's environment here: the held
        // exception is set aside.
        wq_write_reply(st.out, h, nullptr, 0, reply_priority(st), st.env);
        st.body_offset = st.out.write_offset();
        if (!e)
            break;
        if (attempt == 0) {
            if (auto *fr = ForwardRequest::_downcast(e))
                st.out.write_object(fr->forward_reference);
            else
                st.out << *e;
        } else {
            CORBA::MARSHAL m(WQ_MINOR_STREAM_FAILED, CORBA::COMPLETED_MAYBE);
            st.out << m;
        }
        if (!st.env.pending())
            break;
        // The exception could not be marshalled: a system exception that can.
        st.env_info.clear();
        h.reply_status = st.reply_status = wq_GIOP::SYSTEM_EXCEPTION;
    }
    st.env_info.clear();
    st.env_info.replace(held);
}

} // namespace

void wq_reader_base_priority(wq_ReaderState &st, int16_t p)
{
    wq_PrivateEnv pe;
    const CORBA::EnvironmentWrapper &penv = pe.env;
    if (RTCORBA::Current *cur = RTCORBA::get_current(penv)) {
        cur->base_priority(p, penv);
        CORBA::release(cur);
    }
    st.base_priority = p;
    st.request_priority = p;
}

namespace {

void set_active_priority(wq_ReaderState &st, int16_t p)
{
    wq_PrivateEnv pe;
    const CORBA::EnvironmentWrapper &penv = pe.env;
    RTCORBA::Current *cur = RTCORBA::get_current(penv);
    if (cur) {
        cur->active_priority(p, penv);
        CORBA::release(cur);
    }
    st.priority_changed = !penv.pending();
}

// Rebuilds the reply with the hook's service contexts: the same body behind
// a new header (both bodies start on an 8-byte boundary, so the body's
// alignment holds).
void rebuild_with_contexts(wq_ReaderState &st, const wq_RequestInfo &info)
{
    wq_PrivateEnv pe;
    CORBA::Stream body(pe.env);
    uint32_t total = st.out.size_written();
    st.out.skip_read(st.body_offset);
    body.write_stream(st.out, total - st.body_offset);
    st.out.reclaim();
    wq_write_giop_header(st.out, wq_GIOP::Reply);
    wq_GIOP::ReplyHeader h{st.request_id, st.reply_status, 0};
    wq_write_reply(st.out, h, info.reply_contexts, info.reply_context_count, -1, pe.env);
    st.body_offset = st.out.write_offset();
    st.out.write_stream(body, body.size_written());
}

// Sends the reply in st.out; a pending exception is set aside meanwhile
// (the output stream shares the environment).
void send_reply(wq_ReaderState &st, wq_DispatchSink &sink, bool early)
{
    CORBA::Exception *held = st.env_info.exception();
    st.env_info.replace(nullptr);
    if (CORBA::ORB::diagnostics() >= 2)
        wq_GIOPLog::log_reply(1, st.request_id, st.reply_status, sink.peer());
    sink.send(st.out, st.request_id, early);
    st.env_info.clear();
    st.env_info.replace(held);
}

void serve_handed_back(wq_ReaderState &st, wq_DispatchSink &sink, bool reply_due);

void serve_request(wq_ReaderState &st, wq_DispatchSink &sink)
{
    const CORBA::EnvironmentWrapper &env = st.env;
    if (!parse_request_header(st)) {
        env.clear();
        sink.protocol_error();
        return;
    }
    if (CORBA::ORB::diagnostics() >= 2)
        wq_GIOPLog::log_request(0, st.request_id, st.operation, st.key, logged_key_length(st), sink.peer());
    if (st.priority_seen && st.request_priority != st.base_priority)
        set_active_priority(st, st.request_priority);
    if (st.band_request && !st.band_thread) {
        // A band whose priority cannot be mapped leaves DATA_CONVERSION for
        // the reply.
        wq_ensure_band_threads(nullptr, static_cast<uint32_t>(st.band_index), true, env);
        st.band_thread = true;
        st.band = static_cast<uint32_t>(st.band_index);
        st.priority_seen = true;
        int16_t low = 0, high = 0;
        if (wq_band_manager.band(st.band, low, high) && low != st.base_priority)
            wq_reader_base_priority(st, low);
        if (!env.pending() && sink.pass_on())
            return;
    }
    bool reply_due = st.sync_scope != Messaging::SYNC_WITH_TRANSPORT;
    sink.hand_back(reply_due);
    try {
        serve_handed_back(st, sink, reply_due);
    } catch (std::bad_alloc &) {
        // Memory ran out while the call was served: a call whose reply
        // comes after the servant gets NO_MEMORY (it may have run). An
        // early reply may have gone already, and a failure that cannot even
        // be answered ends the connection (the reader's own catch).
        env.clear();
        if (st.sync_scope == Messaging::SYNC_WITH_TRANSPORT)
            return;
        CORBA::NO_MEMORY *e = nullptr;
        if (st.sync_scope == Messaging::SYNC_WITH_TARGET) {
            try {
                e = new CORBA::NO_MEMORY(0, CORBA::COMPLETED_MAYBE);
            } catch (std::bad_alloc &) {
            }
        }
        if (!e)
            throw;
        env.exception(e);
        write_reply(st, true);
        send_reply(st, sink, false);
        env.clear();
    }
}

void serve_handed_back(wq_ReaderState &st, wq_DispatchSink &sink, bool reply_due)
{
    const CORBA::EnvironmentWrapper &env = st.env;
    Found f;
    wq_RequestInfo info{st.request_id, st.operation, st.key, st.key_length, reply_priority(st),
                        st.sync_scope == Messaging::SYNC_WITH_SERVER};
    if (!env.pending() && std::strcmp(st.operation, "_bind_priority_band") != 0 &&
        locate_object(st, f, false, env, &info))
        find_servant(st, f, env);
    wq_Skeleton skel = nullptr;
    void *impl = nullptr;
    if (!env.pending() && f.servant) {
        skel = wq_SkeletonMap::find(f.itf, st.operation);
        impl = f.servant->wq_impl();
        if (!skel) {
            impl = f.servant;
            if (std::strcmp(st.operation, "_is_a") == 0)
                skel = &ServantBase::wq_skel_is_a;
            else if (!std::strcmp(st.operation, "_non_existent") || !std::strcmp(st.operation, "_not_existent"))
                skel = &ServantBase::wq_skel_non_existent;
            else if (std::strcmp(st.operation, "_repository_id") == 0)
                skel = &ServantBase::wq_skel_repository_id;
            else
                env.exception(new CORBA::BAD_OPERATION(3, CORBA::COMPLETED_NO, st.operation));
        }
    }
    if (st.sync_scope == Messaging::SYNC_WITH_SERVER) {
        // The reply goes before the servant runs, with the status that fits
        // what is pending.
        write_reply(st, env.pending());
        send_reply(st, sink, true);
    } else if (reply_due) {
        write_reply(st, false);
    }
    if (!env.pending() && skel) {
        if (wq_receive_request)
            wq_receive_request(info, env);
        if (!env.pending()) {
            wq_ServerRequest req{st.in, st.out, st.operation};
            try {
                skel(req, impl, env);
            } catch (...) {
                wq_store_thrown(env);
            }
            if (wq_send_reply)
                wq_send_reply(info, env);
        }
    }
    f.end(st.operation);
    if (st.sync_scope == Messaging::SYNC_WITH_TARGET) {
        if (env.pending())
            write_reply(st, true);
        else if (info.want_reply_contexts && info.reply_contexts)
            rebuild_with_contexts(st, info);
        send_reply(st, sink, false);
    }
    env.clear();
}

void serve_locate(wq_ReaderState &st, wq_DispatchSink &sink)
{
    const CORBA::EnvironmentWrapper &env = st.env;
    st.in.read_4(&st.request_id);
    if (!read_field(st.in, st.key, WQ_KEY_BUFFER - 1, st.key_length)) {
        env.clear();
        sink.protocol_error();
        return;
    }
    st.operation[0] = 0;
    if (CORBA::ORB::diagnostics() >= 2)
        wq_GIOPLog::log_locate_request(0, st.request_id, st.key, logged_key_length(st), sink.peer());
    sink.hand_back(true);
    Found f;
    if (locate_object(st, f, true, env) && !f.target)
        find_servant(st, f, env);
    f.end("");
    // The exception is set aside while the reply (which shares the
    // environment) is written.
    CORBA::Exception *held = st.env_info.exception();
    st.env_info.replace(nullptr);
    uint32_t status = wq_GIOP::OBJECT_HERE;
    ForwardRequest *fr = ForwardRequest::_downcast(held);
    if (fr)
        status = wq_GIOP::OBJECT_FORWARD;
    else if (held)
        status = wq_GIOP::UNKNOWN_OBJECT;
    st.out.reclaim();
    wq_write_giop_header(st.out, wq_GIOP::LocateReply);
    st.out << st.request_id << status;
    if (fr)
        st.out.write_object(fr->forward_reference);
    delete held;
    if (CORBA::ORB::diagnostics() >= 2)
        wq_GIOPLog::log_locate_reply(1, st.request_id, status, sink.peer());
    sink.send_locate(st.out, st.request_id);
    env.clear();
}

} // namespace

void wq_dispatch_message(wq_ReaderState &st, uint8_t type, wq_DispatchSink &sink)
{
    st.env.clear();
    // The request's priority is undone however the message ends.
    struct Restore {
        wq_ReaderState &st;
        ~Restore()
        {
            if (st.priority_changed) {
                try {
                    set_active_priority(st, st.base_priority);
                } catch (...) {
                    // Left to the next request's change (memory ran out).
                }
                st.priority_changed = false;
            }
            st.request_priority = st.base_priority;
            st.env.clear();
        }
    } restore{st};
    switch (type) {
    case wq_GIOP::Request:
        serve_request(st, sink);
        break;
    case wq_GIOP::LocateRequest:
        serve_locate(st, sink);
        break;
    case wq_GIOP::CancelRequest:
        // Nothing to cancel: replies already under way are sent.
        sink.hand_back(false);
        break;
    case wq_GIOP::CloseConnection:
        sink.close();
        break;
    default:
        sink.protocol_error();
        break;
    }
}
