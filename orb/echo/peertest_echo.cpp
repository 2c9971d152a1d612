// Client stub of PeerTest::Echo: marshalling of each operation, the Oops
// exception and the registrations that let references and replies find
// them by repository id.
#include "peertest_echo.h"

#include "corba_stream.h"
#include "wq_stub.h"

#include <cstring>
#include <exception>

namespace PeerTest {

char const *Oops::wq_IR_Name = "IDL:PeerTest/Oops:1.0";
char const *Echo::wq_IR_Name = "IDL:PeerTest/Echo:1.0";

void Oops::_raise() const
{
    _wq_protect();
    throw Oops(*this);
}

CORBA::Exception *Oops::wq_find_ptr(char const *id)
{
    if (CORBA::IR::is_equal(wq_IR_Name, id))
        return this;
    return CORBA::UserException::wq_find_ptr(id);
}

void Oops::wq_write(CORBA::Stream &s) const
{
    s << static_cast<int>(code);
    s << CORBA::Stream::from_string(why.in() ? why.in() : "");
}

CORBA::Exception *Oops::wq_read(CORBA::Stream &s)
{
    auto *e = new Oops;
    int32_t c = 0;
    s.read_4(&c);
    e->code = c;
    char *w = nullptr;
    s >> CORBA::Stream::to_string(w);
    e->why = w ? w : CORBA::string_dup("");
    return e;
}

Oops *Oops::_downcast(CORBA::Exception *e)
{
    return e ? static_cast<Oops *>(e->wq_find_ptr(wq_IR_Name)) : nullptr;
}

CORBA::Object *Echo::wq_find_ptr(char const *id)
{
    if (CORBA::IR::is_equal(wq_IR_Name, id))
        return this;
    return CORBA::Object::wq_find_ptr(id);
}

Echo *Echo::_narrow(CORBA::Object *obj)
{
    wq_stop_point();
    if (!obj)
        return nullptr;
    if (obj->wq_find_ptr(wq_IR_Name)) {
        if (auto *e = dynamic_cast<Echo *>(obj)) {
            e->_add_ref();
            return e;
        }
    }
    CORBA::Target *t = obj->wq_target();
    if (!t)
        return nullptr;
    wq_ThreadEnvironment tenv;
    t->_add_ref(true, tenv);
    return new Echo(t);
}

namespace {

// One remote call on the stub pattern: marshal, invoke, unmarshal; a
// LOCATION_FORWARD makes the call again (a bounded number of times).
// `put` writes the arguments, `get` reads the results.
template <class Put, class Get>
void call(CORBA::Object *self, char const *op, const CORBA::EnvironmentWrapper &env, Put put, Get get)
{
    if (env.pending())
        return;
    if (self->wq_target() && self->wq_target()->collocated()) {
        env.exception(new CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO, "no collocated PeerTest::Echo"));
        return;
    }
    wq_ThreadEnvironment tenv;
    for (uint32_t round = 0; round <= WQ_MAX_FORWARDS; ++round) {
        CORBA::Request *req = self->_request(op, false, env, tenv);
        if (env.pending() || !req)
            return;
        put(req->request_stream());
        req->invoke(tenv);
        if (!env.pending()) {
            get(req->reply_stream());
            CORBA::release(req, tenv);
            return;
        }
        bool again = wq_Stub::need_remarshal(req, env);
        CORBA::release(req, tenv);
        if (!again)
            return;
        env.clear();
    }
    env.exception(new CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO, "too many forwards"));
}

void no_args(CORBA::Stream &) {}
void no_results(CORBA::Stream &) {}

// Registrations: the Oops reader, and a proxy factory so references of the
// Echo type are made as Echo objects.
class EchoProxyFactory : public CORBA::ProxyFactory {
public:
    EchoProxyFactory() : CORBA::ProxyFactory(Echo::wq_IR_Name, true) {}
    CORBA::Object *create(CORBA::Target *target, PortableServer::ServantBase *,
                          const CORBA::EnvironmentWrapper &) override
    {
        return new Echo(target);
    }
};

// Echo derives from CORBA::Object, so that _is_a of the Object id is true.
struct PeerTestStub : wq_Stub {
    PeerTestStub()
    {
        wq_Stub::reg(Oops::wq_IR_Name, &Oops::wq_read, true);
        wq_Stub::reg(Echo::wq_IR_Name, CORBA::Object::wq_IR_Name, false);
    }
    ~PeerTestStub()
    {
        wq_Stub::regu(Echo::wq_IR_Name, CORBA::Object::wq_IR_Name, false);
        wq_Stub::regu(Oops::wq_IR_Name, true);
    }
} g_peertest_stub;

EchoProxyFactory g_echo_proxy_factory;

} // namespace

char *Echo::echo_string(char const *s, const CORBA::EnvironmentWrapper &env)
{
    char *result = nullptr;
    call(this, "echo_string", env, [&](CORBA::Stream &rq) { rq << CORBA::Stream::from_string(s ? s : ""); },
         [&](CORBA::Stream &rp) { rp >> CORBA::Stream::to_string(result); });
    if (env.pending()) {
        CORBA::string_free(result);
        return nullptr;
    }
    return result;
}

int32_t Echo::add(int32_t a, int32_t b, const CORBA::EnvironmentWrapper &env)
{
    int32_t sum = 0;
    call(this, "add", env,
         [&](CORBA::Stream &rq) {
             rq << static_cast<int>(a);
             rq << static_cast<int>(b);
         },
         [&](CORBA::Stream &rp) { rp.read_4(&sum); });
    return env.pending() ? 0 : sum;
}

OctetSeq Echo::echo_octets(const OctetSeq &data, const CORBA::EnvironmentWrapper &env)
{
    OctetSeq out;
    call(this, "echo_octets", env,
         [&](CORBA::Stream &rq) {
             rq << static_cast<unsigned int>(data.size());
             if (!data.empty())
                 rq.write_array_1(data.data(), static_cast<uint32_t>(data.size()));
         },
         [&](CORBA::Stream &rp) {
             uint32_t n = 0;
             if (!rp.read_count(n, 1))
                 return;
             out.length(n); // every octet is read into it
             if (n)
                 rp.read_array_1(out.data(), n);
         });
    if (env.pending())
        out.clear();
    return out;
}

void Echo::ping(const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    wq_ThreadEnvironment tenv;
    CORBA::Request *req = _request("ping", false, env, tenv);
    if (env.pending() || !req)
        return;
    req->send_oneway();
    CORBA::release(req, tenv);
}

void Echo::fail(const CORBA::EnvironmentWrapper &env) { call(this, "fail", env, no_args, no_results); }

} // namespace PeerTest
