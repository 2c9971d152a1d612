// The remote target over IIOP, its per-thread reusable request and the
// target factory table.
#include "wq_target.h"

#include "corba_orb.h"
#include "rtcorba.h"
#include "wq_interface.h"
#include "wq_stub.h"

#include <cstring>
#include <mutex>

using CORBA::COMPLETED_MAYBE;
using CORBA::COMPLETED_NO;

// ---- factory table ------------------------------------------------------------

wq_TargetFactory *wq_TargetFactory::_list[wq_TargetFactory::MAX_FACTORIES] = {};
wq_TargetFactory *wq_target_iiop_factory = nullptr;
wq_TargetFactory *wq_target_servant_factory = nullptr;
wq_TargetFactory *(*wq_make_servant_factory)() = nullptr;
bool wq_Protocols::_giop_initialized = false;

wq_TargetFactory::wq_TargetFactory(uint32_t id) : id_(id)
{
    if (id < MAX_FACTORIES)
        _list[id] = this;
}

wq_TargetFactory::~wq_TargetFactory()
{
    if (id_ < MAX_FACTORIES && _list[id_] == this)
        _list[id_] = nullptr;
}

int wq_Protocols::_initialize_giop()
{
    static std::once_flag once;
    std::call_once(once, [] {
        wq_target_iiop_factory = new wq_TargetIIOPFactory();
        if (wq_make_servant_factory)
            wq_target_servant_factory = wq_make_servant_factory();
        _giop_initialized = true;
    });
    return 1;
}

namespace {
struct wq_GIOPProtocol {
    wq_GIOPProtocol() { wq_Protocols::_initialize_giop(); }
    ~wq_GIOPProtocol()
    {
        delete wq_target_iiop_factory;
        wq_target_iiop_factory = nullptr;
        delete wq_target_servant_factory;
        wq_target_servant_factory = nullptr;
        wq_Protocols::_giop_initialized = false;
    }
} wq_global_giop;

// Moves an exception raised into a private environment to the caller's.
void move_exception(CORBA::EnvironmentInfo *from, const CORBA::EnvironmentWrapper &to)
{
    CORBA::Exception *e = from->exception();
    if (!e)
        return;
    from->replace(nullptr);
    if (to.pending())
        delete e;
    else
        to.exception(e);
}

// The thread's reusable request (deleted at thread exit).
uint32_t request_key()
{
    static uint32_t key = wq_SpecificData::create_key([](void *r) { delete static_cast<wq_ForeignRequest *>(r); });
    return key;
}

} // namespace

CORBA::Target *wq_TargetIIOPFactory::create(CORBA::Stream &s, wq_Interface *iface,
                                            const CORBA::EnvironmentWrapper &env)
{
    wq_IORInfo info;
    if (!wq_read_profiles(s, info, env) || s.pending())
        return nullptr;
    if (info.endpoint.empty()) {
        s.fail(new CORBA::INV_OBJREF(1, COMPLETED_NO, "IOR holds no usable profile"));
        return nullptr;
    }
    info.type_id = iface ? iface->id() : "";
    return new wq_TargetIIOP(std::move(info), iface);
}

// ---- the remote target -------------------------------------------------------------

wq_TargetIIOP::wq_TargetIIOP(wq_IORInfo &&info, wq_Interface *iface) : info_(std::move(info))
{
    interface_ = iface;
    if (iface)
        iface->_add_ref(true);
}

wq_TargetIIOP::~wq_TargetIIOP()
{
    wq_ThreadEnvironment tenv;
    if (fwd_)
        fwd_->_remove_ref(true, tenv);
    if (ep_)
        ep_->_remove_ref(true);
}

bool wq_TargetIIOP::_is_equivalent(CORBA::Target &other, const CORBA::EnvironmentWrapper &)
{
    auto *o = dynamic_cast<wq_TargetIIOP *>(&other);
    return o && o->info_.endpoint == info_.endpoint && o->info_.key == info_.key;
}

void wq_TargetIIOP::_add_ref(bool, const wq_ThreadEnvironment &) { refs_.fetch_add(1, std::memory_order_relaxed); }

void wq_TargetIIOP::_remove_ref(bool, const wq_ThreadEnvironment &)
{
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

wq_MsgEndpoint *wq_TargetIIOP::endpoint(const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    wq_ThreadEnvironment tenv;
    wq_MsgEndpoint *ep = nullptr;
    wq_TargetIIOP *fwd = forward_or_own(ep, tenv, env);
    // ep_ stays while this target lives (the caller holds it).
    if (!fwd && ep)
        ep->_add_ref();
    if (fwd) {
        ep = fwd->endpoint(env);
        fwd->_remove_ref(true, tenv);
        return ep;
    }
    if (!ep)
        return nullptr;
    ep->ensure_connections(CORBA::ORB::_conn_retries, CORBA::ORB::_retry_delay, env);
    if (env.pending()) {
        ep->_remove_ref();
        return nullptr;
    }
    return ep;
}

wq_TargetIIOP *wq_TargetIIOP::forward_or_own(wq_MsgEndpoint *&ep, const wq_ThreadEnvironment &tenv,
                                             const CORBA::EnvironmentWrapper &env)
{
    wq_MutexLock l(lock_);
    if (fwd_) {
        fwd_->_add_ref(true, tenv);
        return fwd_;
    }
    if (!ep_) {
        ep_ = wq_msg_endpoint_registry_get()->find_or_create(info_.endpoint.c_str(), env);
        if (ep_ && !info_.bands.empty())
            ep_->apply_priority_bands(info_.bands.data(), static_cast<uint32_t>(info_.bands.size()), env);
        direct_ep_.store(ep_, std::memory_order_release);
    }
    ep = ep_;
    return nullptr;
}

wq_TargetIIOP *wq_TargetIIOP::route(wq_MsgEndpoint *&ep, const CORBA::EnvironmentWrapper &env)
{
    ep = nullptr;
    if (env.pending())
        return nullptr;
    wq_ThreadEnvironment tenv;
    wq_TargetIIOP *fwd = nullptr;
    // Once set, ep_ stays until this target is destroyed.
    ep = direct_ep_.load(std::memory_order_acquire);
    if (!ep)
        fwd = forward_or_own(ep, tenv, env);
    if (fwd) {
        wq_TargetIIOP *r = fwd->route(ep, env);
        // fwd itself keeps the reference taken above for the caller.
        if (r != fwd)
            fwd->_remove_ref(true, tenv);
        return r;
    }
    if (!ep)
        return nullptr;
    ep->ensure_connections(CORBA::ORB::_conn_retries, CORBA::ORB::_retry_delay, env);
    if (env.pending()) {
        ep = nullptr;
        return nullptr;
    }
    return this;
}

void wq_TargetIIOP::current_key(std::vector<unsigned char> &key)
{
    wq_ThreadEnvironment tenv;
    wq_TargetIIOP *fwd = nullptr;
    {
        wq_MutexLock l(lock_);
        if (!fwd_) {
            key = info_.key;
            return;
        }
        fwd = fwd_;
        fwd->_add_ref(true, tenv);
    }
    fwd->current_key(key);
    fwd->_remove_ref(true, tenv);
}

void wq_TargetIIOP::_bind(CORBA::Object &obj, const CORBA::EnvironmentWrapper &env)
{
    apply_client_policies(&obj, this, env);
    if (wq_MsgEndpoint *ep = endpoint(env))
        ep->_remove_ref();
}

bool wq_TargetIIOP::initiate_connection(CORBA::Object *, const CORBA::EnvironmentWrapper &env)
{
    wq_MsgEndpoint *ep = endpoint(env);
    if (!ep)
        return false;
    ep->_remove_ref();
    return true;
}

void wq_TargetIIOP::_unfail(const CORBA::EnvironmentWrapper &)
{
    wq_ThreadEnvironment tenv;
    wq_TargetIIOP *fwd;
    {
        wq_MutexLock l(lock_);
        if (ep_)
            ep_->unfail();
        // The next call starts again from the reference's own address.
        fwd = fwd_;
        fwd_ = nullptr;
        direct_ep_.store(ep_, std::memory_order_release);
    }
    if (fwd)
        fwd->_remove_ref(true, tenv);
}

void wq_TargetIIOP::_fail(const CORBA::EnvironmentWrapper &)
{
    wq_MutexLock l(lock_);
    if (ep_)
        ep_->fail();
}

void wq_TargetIIOP::forward_to(CORBA::Stream &s, const CORBA::EnvironmentWrapper &env)
{
    if (forwards_.fetch_add(1) >= WQ_MAX_FORWARDS) {
        forwards_.store(0);
        env.exception(new CORBA::IMP_LIMIT(2, COMPLETED_NO, "too many LOCATION_FORWARD replies"));
        return;
    }
    CORBA::Object *o = s.read_object(CORBA::Object::wq_IR_Name);
    if (s.pending() || !o) {
        CORBA::release(o);
        if (!s.pending())
            env.exception(new CORBA::INV_OBJREF(2, COMPLETED_NO, "nil forward reference"));
        return;
    }
    auto *t = dynamic_cast<wq_TargetIIOP *>(o->wq_target());
    if (!t) {
        CORBA::release(o);
        env.exception(new CORBA::INV_OBJREF(2, COMPLETED_NO, "forward reference is not remote"));
        return;
    }
    wq_ThreadEnvironment tenv;
    t->_add_ref(true, tenv);
    wq_TargetIIOP *old;
    {
        wq_MutexLock l(lock_);
        old = fwd_;
        fwd_ = t;
        direct_ep_.store(nullptr, std::memory_order_release);
    }
    if (old)
        old->_remove_ref(true, tenv);
    env.exception(new PortableServer::ForwardRequest(o));
}

void wq_TargetIIOP::write(CORBA::Stream &s, void *, const CORBA::EnvironmentWrapper &)
{
    s << CORBA::Stream::from_string(info_.type_id.c_str()) << static_cast<uint32_t>(info_.profiles.size());
    for (const wq_IORProfile &p : info_.profiles) {
        s << p.tag << static_cast<uint32_t>(p.body.size());
        s.write_array_1(p.body.data(), static_cast<uint32_t>(p.body.size()));
    }
}

void wq_TargetIIOP::apply_client_policies(CORBA::Object *obj, wq_TargetIIOP *target,
                                          const CORBA::EnvironmentWrapper &env)
{
    // A priority-banded-connection override of the reference adds its bands
    // to the target's endpoint before that endpoint first connects.
    if (!obj || !target || env.pending())
        return;
    auto *p = dynamic_cast<RTCORBA::PriorityBandedConnectionPolicy *>(
        obj->_get_policy(RTCORBA::PRIORITY_BANDED_CONNECTION_POLICY_TYPE, env));
    if (!p || p->count() == 0)
        return;
    std::vector<wq_PriorityBand> bands;
    for (uint32_t i = 0; i < p->count() && i < wq_MsgEndpoint::MAX_BANDS; ++i)
        bands.push_back({p->band(i).low, p->band(i).high, nullptr});
    wq_MutexLock l(target->lock_);
    if (!target->ep_) {
        target->ep_ = wq_msg_endpoint_registry_get()->find_or_create(target->info_.endpoint.c_str(), env);
        if (!target->fwd_)
            target->direct_ep_.store(target->ep_, std::memory_order_release);
    }
    if (target->ep_)
        target->ep_->apply_priority_bands(bands.data(), static_cast<uint32_t>(bands.size()), env);
}

bool wq_TargetIIOP::validate_connection(CORBA::Object *obj, CORBA::PolicyList &, bool &located,
                                        const CORBA::EnvironmentWrapper &env)
{
    located = false;
    auto *penv = new CORBA::EnvironmentInfo(0);
    CORBA::EnvironmentWrapper pw(penv);
    for (;;) {
        if (env.pending())
            return false;
        wq_MsgEndpoint *ep = endpoint(env);
        if (!ep)
            return false;
        int32_t prio = -1;
        wq_MsgCircuit *c = ep->select_msg_circuit(obj, prio, env);
        if (!c) {
            ep->_remove_ref();
            return false;
        }
        std::vector<unsigned char> key;
        current_key(key);
        CORBA::Stream req(512, pw), rep(pw);
        wq_write_giop_header(req, wq_GIOP::LocateRequest);
        req << 0u;
        unsigned char *id_at = req.write_position() - 4;
        req << static_cast<uint32_t>(key.size());
        req.write_array_1(key.data(), static_cast<uint32_t>(key.size()));
        uint64_t id = 0;
        c->send(req, id, id_at, true, env);
        wq_GIOP::MessageHeader h{};
        wq_GIOP::LocateReplyHeader lh{};
        if (!env.pending())
            c->receive_locate_reply(rep, id, h, lh, env);
        c->_remove_ref();
        ep->_remove_ref();
        if (env.pending())
            return false;
        switch (lh.locate_status) {
        case wq_GIOP::OBJECT_HERE:
            reset_forwards();
            located = true;
            return true;
        case wq_GIOP::UNKNOWN_OBJECT:
            return false;
        case wq_GIOP::OBJECT_FORWARD:
            forward_to(rep, env);
            move_exception(penv, env);
            if (PortableServer::ForwardRequest::_downcast(env.exception())) {
                env.clear();
                continue;
            }
            return false;
        default:
            env.exception(new CORBA::COMM_FAILURE(3, COMPLETED_NO, "unknown GIOP locate status"));
            return false;
        }
    }
}

CORBA::Request *wq_TargetIIOP::_request(CORBA::Object *obj, char const *operation, bool flag,
                                        const CORBA::EnvironmentWrapper &env, const wq_ThreadEnvironment &tenv) const
{
    auto *r = static_cast<wq_ForeignRequest *>(wq_Thread::get_specific(request_key(), tenv));
    if (!r) {
        r = new wq_ForeignRequest();
        r->pooled = wq_Thread::set_specific(request_key(), r, tenv);
    }
    if (r->in_use()) {
        // A nested call on this thread: its own request.
        r = new wq_ForeignRequest();
        r->pooled = false;
    }
    if (!r->start(obj, const_cast<wq_TargetIIOP *>(this), operation, flag, env)) {
        r->_release(tenv);
        return nullptr;
    }
    return r;
}

// ---- the request -------------------------------------------------------------------

wq_ForeignRequest::wq_ForeignRequest()
    : penv_(new CORBA::EnvironmentInfo(0)), pwrap_(new CORBA::EnvironmentWrapper(penv_))
{
    req_ = new CORBA::Stream(*pwrap_);
    rep_ = new CORBA::Stream(*pwrap_);
}

wq_ForeignRequest::~wq_ForeignRequest()
{
    drop_circuit();
    delete req_;
    delete rep_;
    delete pwrap_;
}

void wq_ForeignRequest::drop_circuit()
{
    wq_ThreadEnvironment tenv;
    circuit_ = nullptr;
    if (route_ && route_ != target_)
        route_->_remove_ref(true, tenv);
    route_ = nullptr;
    if (target_)
        target_->_remove_ref(true, tenv);
    target_ = nullptr;
}

bool wq_ForeignRequest::start(CORBA::Object *obj, wq_TargetIIOP *target, char const *operation, bool flag,
                              const CORBA::EnvironmentWrapper &env)
{
    in_use_ = true;
    wq_ThreadEnvironment tenv;
    target->_add_ref(true, tenv);
    target_ = target;
    penv_->clear();
    req_->reclaim();
    // A reply is read into rep_ from its start, or swapped in whole from the
    // circuit's mailbox; only a failed mark would carry over.
    if (rep_->pending())
        rep_->reclaim();
    init(obj, operation, flag, env);
    if (env.pending())
        return false;
    wq_MsgEndpoint *ep = nullptr;
    route_ = target->route(ep, env);
    if (!route_)
        return false;
    int32_t priority = -1;
    // The circuit is borrowed: route_ keeps the endpoint that owns it.
    circuit_ = ep->select_msg_circuit(obj, priority, env, false);
    if (!circuit_)
        return false;
    const std::vector<unsigned char> &key = route_->info().key;
    wq_RequestContexts ctx;
    ctx.priority = priority;
    id_at_ = wq_write_request_header(*req_, ctx, 1, key.data(), static_cast<uint32_t>(key.size()), operation);
    if (!id_at_) {
        move_exception(penv_, env);
        return false;
    }
    priority_ = priority;
    args_at_ = req_->write_offset();
    if (CORBA::ORB::diagnostics() >= 2)
        wq_GIOPLog::log_request(1, 0, operation, key.data(), static_cast<uint32_t>(key.size()),
                                circuit_->endpoint());
    return true;
}

bool wq_ForeignRequest::ready()
{
    if (!env_ || env_->pending() || !circuit_)
        return false;
    // The arguments failed to marshal: that is the call's failure.
    if (penv_->exception()) {
        move_exception(penv_, *env_);
        return false;
    }
    return true;
}

void wq_ForeignRequest::invoke(const wq_ThreadEnvironment &)
{
    if (!ready())
        return;
    round_trip();
}

void wq_ForeignRequest::round_trip()
{
    const CORBA::EnvironmentWrapper &env = *env_;
    uint64_t id = 0;
    circuit_->send(*req_, id, id_at_, true, env);
    if (env.pending())
        return;
    wq_GIOP::MessageHeader h{};
    wq_GIOP::ReplyHeader rh{};
    rh.priority = 0xFFFF;
    circuit_->receive_reply(*rep_, id, h, rh, env);
    if (env.pending())
        return;
    if (CORBA::ORB::diagnostics() >= 2)
        wq_GIOPLog::log_reply(0, rh.request_id, rh.reply_status, circuit_->endpoint());
    finish_reply(rh.reply_status, env);
}

void wq_ForeignRequest::finish_reply(uint32_t status, const CORBA::EnvironmentWrapper &env)
{
    switch (status) {
    case wq_GIOP::NO_EXCEPTION:
        target_->reset_forwards();
        return;
    case wq_GIOP::USER_EXCEPTION:
    case wq_GIOP::SYSTEM_EXCEPTION: {
        CORBA::Exception *e = nullptr;
        *rep_ >> e;
        if (penv_->exception()) {
            delete e;
            move_exception(penv_, env);
        } else if (e) {
            env.exception(e);
        } else {
            env.exception(new CORBA::MARSHAL(1, COMPLETED_MAYBE, "exception reply without an exception"));
        }
        return;
    }
    case wq_GIOP::LOCATION_FORWARD:
        target_->forward_to(*rep_, env);
        move_exception(penv_, env);
        return;
    default:
        env.exception(new CORBA::COMM_FAILURE(3, COMPLETED_MAYBE, "unknown GIOP reply status"));
    }
}

void wq_ForeignRequest::send_oneway()
{
    if (!ready())
        return;
    const CORBA::EnvironmentWrapper &env = *env_;
    int16_t scope = sync_scope();
    uint64_t id = 0;
    if (scope < Messaging::SYNC_WITH_SERVER) {
        // Response expected: the octet after the request id.
        id_at_[4] = 0;
        circuit_->send(*req_, id, id_at_, false, env);
        return;
    }
    if (scope == Messaging::SYNC_WITH_SERVER) {
        // Sync with the server: the header gains the context that tells it
        // to answer on receipt. The arguments begin at a multiple of 8 in
        // both headers, so their bytes move unchanged.
        CORBA::Stream view(*req_, *pwrap_, true);
        view.skip_read(args_at_);
        CORBA::Stream with(*pwrap_);
        std::vector<unsigned char> key;
        target_->current_key(key);
        wq_RequestContexts ctx;
        ctx.priority = priority_;
        ctx.sync_server = true;
        unsigned char *at = wq_write_request_header(with, ctx, 1, key.data(), static_cast<uint32_t>(key.size()),
                                                    operation_);
        with.write_stream(view, view.bytes_remaining());
        if (!at || penv_->exception()) {
            move_exception(penv_, env);
            return;
        }
        req_->swap(with);
        id_at_ = at;
    }
    round_trip();
}

int16_t wq_ForeignRequest::sync_scope()
{
    CORBA::EnvironmentWrapper none(new CORBA::EnvironmentInfo(0));
    auto *p = obj_ ? dynamic_cast<Messaging::SyncScopePolicy *>(obj_->_get_policy(Messaging::SYNC_SCOPE_POLICY_TYPE, none))
                   : nullptr;
    if (p)
        return p->synchronization;
    wq_ThreadEnvironment tenv;
    wq_ReadLock l(wq_pr_mtx, tenv);
    p = dynamic_cast<Messaging::SyncScopePolicy *>(wq_policy_root.slots[Messaging::SYNC_SCOPE_POLICY_TYPE]);
    return p ? p->synchronization : CORBA::ORB::_oneway_sync_scope;
}

void wq_ForeignRequest::_release(const wq_ThreadEnvironment &)
{
    if (env_)
        move_exception(penv_, *env_);
    penv_->clear();
    drop_circuit();
    env_ = nullptr;
    obj_ = nullptr;
    in_use_ = false;
    if (!pooled)
        delete this;
}
