// RT-CORBA on the client path: the calling thread's CORBA priority, the
// installed priority mapping, the optional QoS interceptor that picks a band,
// and the priority-banded-connection policy.
#pragma once

#include <cstdint>

#include "corba_env.h"
#include "corba_object.h"
#include "corba_policy.h"

class wq_MsgCircuit;

namespace RTCORBA {

typedef int16_t Priority;
typedef int32_t NativePriority;
constexpr Priority minPriority = 0;
constexpr Priority maxPriority = 32767;

class Current : public CORBA::LocalObject {
public:
    // The calling thread's CORBA priority (from its native priority when it
    // has set none).
    Priority active_priority(const CORBA::EnvironmentWrapper &env = CORBA::EnvironmentWrapper());
    // Sets the thread's CORBA priority and its native scheduling priority.
    void active_priority(Priority p, const CORBA::EnvironmentWrapper &env = CORBA::EnvironmentWrapper());
    void base_priority(Priority p, const CORBA::EnvironmentWrapper &env = CORBA::EnvironmentWrapper());
    CORBA::Object *wq_find_ptr(char const *id) override;
    static char const *wq_IR_Name;
};
// The process's RT current (a new reference).
Current *get_current(const CORBA::EnvironmentWrapper &env = CORBA::EnvironmentWrapper());

class PriorityMapping {
public:
    virtual ~PriorityMapping();
    // False when the priority cannot be mapped.
    virtual bool to_native(Priority corba, NativePriority &native);
    virtual bool to_CORBA(NativePriority native, Priority &corba);
};
extern PriorityMapping *the_PriorityMapping;

class QosInterceptor {
public:
    virtual ~QosInterceptor();
    virtual void reserved0();
    virtual void reserved1();
    // Chooses a band (in: band count) for an invocation on `obj`.
    virtual void choose_band(int32_t &priority, uint32_t &band, CORBA::Object *obj, char const *endpoint,
                             uint32_t band_count, const int16_t *low, const int16_t *high,
                             wq_MsgCircuit *const *circuits, const CORBA::EnvironmentWrapper &env) = 0;
};
extern QosInterceptor *the_QosInterceptor;

struct PriorityBand {
    Priority low;
    Priority high;
};

constexpr CORBA::PolicyType PRIORITY_BANDED_CONNECTION_POLICY_TYPE = 45;
class PriorityBandedConnectionPolicy : public CORBA::Policy {
public:
    PriorityBandedConnectionPolicy(const PriorityBand *bands, uint32_t count);
    ~PriorityBandedConnectionPolicy() override;
    CORBA::Policy *copy() const override;
    uint32_t count() const { return count_; }
    const PriorityBand &band(uint32_t i) const { return bands_[i]; }

private:
    PriorityBand *bands_;
    uint32_t count_;
};

} // namespace RTCORBA

// The calling thread's CORBA priority (-1 when it has none and its native
// priority cannot be mapped).
int32_t wq_active_priority();

// The RT current and RT ORB objects (created by the initial references).
extern RTCORBA::Current *wq_rt_current;
extern CORBA::Object *wq_rt_orb;
extern wq_Mutex wq_rt_ctor_lock;
