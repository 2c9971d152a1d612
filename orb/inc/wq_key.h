// Object keys of this broker (0xB5 'A' flag 0xB6 class 0xB5 instance 0xB5 POA
// 0xB5 id) and the writer of IORs for a key and an endpoint list.
#pragma once

#include <cstdint>

#include "corba_env.h"

namespace CORBA {
class Stream;
}
class wq_PolicyNode;

// Hash of a name up to NUL or 0xB5: h = (h << 5) ^ byte (as signed char), in
// unsigned arithmetic.
uint32_t wq_key_hash(char const *key);

constexpr uint32_t WQ_MAX_KEY = 255;
constexpr uint32_t WQ_MAX_ENDPOINTS = 16;
constexpr uint32_t WQ_TAG_INTERNET_IOP = 0;
constexpr uint32_t WQ_TAG_OTHER_ENDPOINT = 0x51574B55;
constexpr uint32_t WQ_TAG_PRIORITY_BANDS = 0x51574B50;
constexpr uint32_t WQ_PRIORITY_BANDED_CONNECTION_POLICY_TYPE = 45;

struct wq_Key {
    static constexpr unsigned char flag_bypass_daemons = 0x20;
    static constexpr unsigned char flag_bypass_daemons_alt = 0x04;

    // Writes a key into buffer[0..capacity); length 0 when it does not fit.
    static void to_object_key(unsigned char *buffer, uint32_t capacity, uint32_t &length,
                              char const *svr_class, char const *svr_instance, char const *poa_name,
                              const unsigned char *id, uint32_t id_length, unsigned char flag);

    wq_Key() = default;
    wq_Key(const unsigned char *key, uint32_t length) : key(key), key_length(length) {}
    void parse();
    // True when the key names this process's server class and instance.
    bool is_local() const;

    const unsigned char *key = nullptr;
    uint32_t key_length = 0;
    uint32_t class_start = 0;
    uint32_t instance_start = 0;
    uint32_t poa_start = 0;
    uint32_t id_start = 0;
    uint32_t id_length = 0;
    uint8_t flag = 0;
};

// Writes an IOR: type id, profiles for each endpoint of the list (at most
// 16; more is BAD_PARAM), plus a band profile when a priority-banded policy
// applies (from `policies`, else the ORB's when use_orb_policies).
void wq_write_ior(CORBA::Stream &s, const unsigned char *key, uint32_t key_length, char const *endpoints,
                  char const *type_id, const wq_PolicyNode *policies, bool use_orb_policies,
                  const CORBA::EnvironmentWrapper &env);
