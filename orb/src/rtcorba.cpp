// RT-CORBA on the client path: the calling thread's CORBA priority, the
// default priority mapping and the priority-banded-connection policy.
#include "rtcorba.h"

#include "corba_orb.h"
#include "wq_thread.h"

#include <pthread.h>
#include <sched.h>

namespace {

// The thread's CORBA priority plus one (0: none set), kept in thread data.
uint32_t priority_key()
{
    static uint32_t key = wq_SpecificData::create_key(nullptr);
    return key;
}

} // namespace

namespace RTCORBA {

char const *Current::wq_IR_Name = "IDL:omg.org/RTCORBA/Current:1.0";

CORBA::Object *Current::wq_find_ptr(char const *id)
{
    if (CORBA::IR::is_equal(wq_IR_Name, id))
        return this;
    return CORBA::LocalObject::wq_find_ptr(id);
}

Priority Current::active_priority(const CORBA::EnvironmentWrapper &env)
{
    int32_t p = wq_active_priority();
    if (p < 0) {
        env.exception(new CORBA::INITIALIZE(0, CORBA::COMPLETED_NO, "thread priority cannot be mapped"));
        return 0;
    }
    return static_cast<Priority>(p);
}

void Current::active_priority(Priority p, const CORBA::EnvironmentWrapper &env)
{
    NativePriority native = 0;
    if (p < 0 || !the_PriorityMapping || !the_PriorityMapping->to_native(p, native)) {
        env.exception(new CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO, "priority cannot be mapped"));
        return;
    }
    wq_Thread::set_specific(priority_key(), reinterpret_cast<void *>(static_cast<intptr_t>(p) + 1));
    int policy = 0;
    sched_param sp{};
    if (pthread_getschedparam(pthread_self(), &policy, &sp) == 0 && policy != SCHED_OTHER) {
        sp.sched_priority = native;
        pthread_setschedparam(pthread_self(), policy, &sp);
    }
}

void Current::base_priority(Priority p, const CORBA::EnvironmentWrapper &env) { active_priority(p, env); }

Current *get_current(const CORBA::EnvironmentWrapper &)
{
    wq_MutexLock l(wq_rt_ctor_lock);
    if (!wq_rt_current)
        wq_rt_current = new Current();
    wq_rt_current->_add_ref();
    return wq_rt_current;
}

PriorityMapping::~PriorityMapping() = default;

// Linear mapping of CORBA priorities 0..32767 onto native 1..99.
bool PriorityMapping::to_native(Priority corba, NativePriority &native)
{
    if (corba < minPriority)
        return false;
    native = 1 + static_cast<NativePriority>((int32_t(corba) * 98) / maxPriority);
    return true;
}

bool PriorityMapping::to_CORBA(NativePriority native, Priority &corba)
{
    if (native < 0 || native > 99)
        return false;
    if (native < 1)
        native = 1;
    corba = static_cast<Priority>(((native - 1) * int32_t(maxPriority)) / 98);
    return true;
}

namespace {
PriorityMapping default_mapping;
}
PriorityMapping *the_PriorityMapping = &default_mapping;

QosInterceptor::~QosInterceptor() = default;
void QosInterceptor::reserved0() {}
void QosInterceptor::reserved1() {}
QosInterceptor *the_QosInterceptor = nullptr;

PriorityBandedConnectionPolicy::PriorityBandedConnectionPolicy(const PriorityBand *bands, uint32_t count)
    : CORBA::Policy(PRIORITY_BANDED_CONNECTION_POLICY_TYPE), bands_(new PriorityBand[count ? count : 1]),
      count_(count)
{
    for (uint32_t i = 0; i < count; ++i)
        bands_[i] = bands[i];
}

PriorityBandedConnectionPolicy::~PriorityBandedConnectionPolicy() { delete[] bands_; }

CORBA::Policy *PriorityBandedConnectionPolicy::copy() const
{
    return new PriorityBandedConnectionPolicy(bands_, count_);
}

} // namespace RTCORBA

RTCORBA::Current *wq_rt_current = nullptr;
CORBA::Object *wq_rt_orb = nullptr;
wq_Mutex wq_rt_ctor_lock;

int32_t wq_active_priority()
{
    void *v = wq_Thread::get_specific(priority_key());
    if (v)
        return static_cast<int32_t>(reinterpret_cast<intptr_t>(v) - 1);
    RTCORBA::Priority p = 0;
    int32_t native = wq_Thread::priority(wq_Thread::self());
    if (!RTCORBA::the_PriorityMapping || !RTCORBA::the_PriorityMapping->to_CORBA(native, p))
        return -1;
    return p;
}
