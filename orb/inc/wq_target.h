// Targets of references: the factory table that turns the profiles of an IOR
// into a target, and the remote target over IIOP with its per-thread
// reusable request.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "corba_object.h"
#include "wq_circuit.h"
#include "wq_key.h"

class wq_Interface;

class wq_TargetFactory {
public:
    static constexpr uint32_t MAX_FACTORIES = 4;
    static constexpr uint32_t SERVANT = 1;
    static constexpr uint32_t IIOP = 2;
    // Largest profile count and profile body an IOR may carry.
    static constexpr uint32_t MAX_PROFILES = 64;
    static constexpr uint32_t MAX_PROFILE_BODY = 65536;

    // Makes the target for the IOR at the stream's read position (the
    // profile count). `iface` gains one reference held by the target.
    virtual CORBA::Target *create(CORBA::Stream &s, wq_Interface *iface,
                                  const CORBA::EnvironmentWrapper &env) = 0;
    virtual ~wq_TargetFactory();

    // Reads the profiles from the read position and returns the index of the
    // factory that will make the target; malformed input raises into env
    // (the result is then 0). The read position is left after the profiles.
    static uint32_t analyze(CORBA::Stream &s, char const *type_id, const CORBA::EnvironmentWrapper &env);
    static wq_TargetFactory *_list[MAX_FACTORIES];

protected:
    explicit wq_TargetFactory(uint32_t id);

private:
    uint32_t id_;
};

// One profile of an IOR, kept raw for re-marshalling; the fields of the
// profile that carries the chosen address are parsed.
struct wq_IORProfile {
    uint32_t tag = 0;
    std::vector<unsigned char> body;
};

// What analyze and the IIOP factory read from an IOR.
struct wq_IORInfo {
    std::string type_id;
    std::vector<wq_IORProfile> profiles;
    // Chosen address: "tcp:host:port" or another scheme's endpoint text.
    std::string endpoint;
    std::vector<unsigned char> key;
    uint8_t iiop_minor = 0;
    std::vector<wq_PriorityBand> bands;
};

// Reads the profile count and profiles at the read position into `info`
// and chooses the address; false with the exception raised into env.
bool wq_read_profiles(CORBA::Stream &s, wq_IORInfo &info, const CORBA::EnvironmentWrapper &env);
// Parses one profile body (tag 0 IIOP 1.0-1.2 or 0x51574B55): address and
// key; false when malformed.
bool wq_parse_profile(const wq_IORProfile &p, std::string &endpoint, std::vector<unsigned char> &key,
                      uint8_t &minor);

class wq_TargetIIOP;

// The reusable request of one thread for a remote target.
class wq_ForeignRequest : public CORBA::Request {
public:
    wq_ForeignRequest();
    ~wq_ForeignRequest() override;
    void invoke(const wq_ThreadEnvironment &tenv) override;
    void send_oneway() override;
    void _release(const wq_ThreadEnvironment &tenv) override;

    // Prepares the request for a call: binds, picks the circuit and writes
    // the request header.
    bool start(CORBA::Object *obj, wq_TargetIIOP *target, char const *operation, bool flag,
               const CORBA::EnvironmentWrapper &env);
    bool in_use() const { return in_use_; }
    bool pooled = false;

private:
    void finish_reply(uint32_t status, const CORBA::EnvironmentWrapper &env);
    bool ready();
    // Sends the request and takes its reply (results, exception or forward).
    void round_trip();
    // The oneway sync scope: the reference's override, the ORB's policy,
    // else the ORB's default.
    int16_t sync_scope();
    void drop_circuit();

    wq_TargetIIOP *target_ = nullptr; // one reference held while in use
    // The target the call goes to: target_, or the end of its forwards with
    // one reference held; its endpoint and key stay while it does.
    wq_TargetIIOP *route_ = nullptr;
    wq_MsgCircuit *circuit_ = nullptr; // borrowed from route_'s endpoint
    unsigned char *id_at_ = nullptr;
    uint32_t args_at_ = 0;
    int32_t priority_ = -1;
    bool in_use_ = false;
    bool response_expected_ = true;
    CORBA::EnvironmentInfo *penv_;
    CORBA::EnvironmentWrapper *pwrap_;
};

class wq_TargetIIOP : public CORBA::Target {
public:
    wq_TargetIIOP(wq_IORInfo &&info, wq_Interface *iface);
    ~wq_TargetIIOP() override;

    // Equivalent when the other is a remote target of the same address and
    // object key.
    bool _is_equivalent(CORBA::Target &other, const CORBA::EnvironmentWrapper &env) override;
    void _add_ref(bool lock, const wq_ThreadEnvironment &tenv) override;
    void _remove_ref(bool lock, const wq_ThreadEnvironment &tenv) override;
    CORBA::Request *_request(CORBA::Object *obj, char const *operation, bool flag,
                             const CORBA::EnvironmentWrapper &env,
                             const wq_ThreadEnvironment &tenv) const override;
    void write(CORBA::Stream &s, void *details, const CORBA::EnvironmentWrapper &env) override;
    void forward_to(CORBA::Stream &s, const CORBA::EnvironmentWrapper &env) override;
    bool initiate_connection(CORBA::Object *obj, const CORBA::EnvironmentWrapper &env) override;
    bool validate_connection(CORBA::Object *obj, CORBA::PolicyList &policies, bool &located,
                             const CORBA::EnvironmentWrapper &env) override;
    void _bind(CORBA::Object &obj, const CORBA::EnvironmentWrapper &env) override;
    void _unfail(const CORBA::EnvironmentWrapper &env) override;
    void _fail(const CORBA::EnvironmentWrapper &env) override;
    void *wq_details() const override { return nullptr; }
    void *wq_releasor() const override { return nullptr; }
    void apply_client_policies(CORBA::Object *obj, wq_TargetIIOP *target, const CORBA::EnvironmentWrapper &env);

    const wq_IORInfo &info() const { return info_; }
    // The type id as the IOR carried it (set while the target is new).
    void type_id(char const *id) { info_.type_id = id ? id : ""; }
    // The message endpoint in use (forwarded or own) with a reference added,
    // connected when needed; null with the exception raised.
    wq_MsgEndpoint *endpoint(const CORBA::EnvironmentWrapper &env);
    // The key of the current address (forwarded or own).
    void current_key(std::vector<unsigned char> &key);
    // The target that carries a call now: this one, or the end of its chain
    // of forwards with one reference added for the caller. `ep` is that
    // target's endpoint, connected when needed; it and the target's key stay
    // valid while the caller holds the target. Null with the exception
    // raised.
    wq_TargetIIOP *route(wq_MsgEndpoint *&ep, const CORBA::EnvironmentWrapper &env);
    // A successful reply ends a chain of forwards.
    void reset_forwards()
    {
        // Usually 0 already: no store to a line other callers read.
        if (forwards_.load(std::memory_order_relaxed) != 0)
            forwards_.store(0, std::memory_order_relaxed);
    }
    int32_t refcount() const { return refs_.load(); }

private:
    // Under lock_: the forward target with a reference added, or null and
    // `ep` this target's own endpoint (found or made on first use).
    wq_TargetIIOP *forward_or_own(wq_MsgEndpoint *&ep, const wq_ThreadEnvironment &tenv,
                                  const CORBA::EnvironmentWrapper &env);

    wq_IORInfo info_;
    std::atomic<int32_t> refs_{1};
    wq_Mutex lock_;                 // guards ep_, fwd_
    wq_MsgEndpoint *ep_ = nullptr;  // one reference held once bound
    wq_TargetIIOP *fwd_ = nullptr;  // forward target, one reference held
    // ep_ while there is no forward, else null (kept under lock_): a call
    // reads it without the lock.
    std::atomic<wq_MsgEndpoint *> direct_ep_{nullptr};
    std::atomic<uint32_t> forwards_{0};
};

class wq_TargetIIOPFactory : public wq_TargetFactory {
public:
    wq_TargetIIOPFactory() : wq_TargetFactory(IIOP) {}
    CORBA::Target *create(CORBA::Stream &s, wq_Interface *iface, const CORBA::EnvironmentWrapper &env) override;
};
