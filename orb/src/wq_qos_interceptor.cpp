// The broker's own QoS interceptor: picks, for an invocation, the priority
// band whose bounds hold the calling thread's CORBA priority.
#include "rtcorba.h"
#include "wq_dispatch.h"

#include <cstdio>

void wq_QosInterceptor::client_request(int32_t &priority, uint32_t &band, CORBA::Object *, char const *endpoint,
                                       uint32_t band_count, const int16_t *low, const int16_t *high,
                                       const CORBA::EnvironmentWrapper &env)
{
    band = 0;
    RTCORBA::Current *cur = RTCORBA::get_current(env);
    if (cur) {
        priority = cur->active_priority(env);
        CORBA::release(cur);
    }
    if (env.pending() || band_count < 2)
        return;
    for (uint32_t i = 0; i < band_count; ++i)
        if (low[i] <= priority && priority <= high[i]) {
            band = i;
            return;
        }
    char text[300];
    std::snprintf(text, sizeof text, "endpoint=%s,priority=%hu", endpoint ? endpoint : "",
                  static_cast<unsigned short>(priority));
    env.exception(new CORBA::NO_RESOURCES(1, CORBA::COMPLETED_NO, text));
}

void wq_QosInterceptor::choose_band(int32_t &priority, uint32_t &band, CORBA::Object *obj, char const *endpoint,
                                    uint32_t band_count, const int16_t *low, const int16_t *high,
                                    wq_MsgCircuit *const *, const CORBA::EnvironmentWrapper &env)
{
    client_request(priority, band, obj, endpoint, band_count, low, high, env);
}

// The process's interceptor; installed as RTCORBA::the_QosInterceptor by
// whoever wants band selection by priority.
wq_QosInterceptor wq_qi;
