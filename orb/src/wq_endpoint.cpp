// Endpoint strings, the validator registry and the registries of transport
// plug-in factories (all filled before main, read afterwards).
#include "wq_endpoint.h"

#include "corba_string.h"
#include "tkq_support.h"

#include <cstdio>
#include <cstring>

uint32_t wq_addr_index(char const *text)
{
    if (!text)
        return 0;
    for (uint32_t k = 0; text[k] && text[k] != ','; ++k) {
        if (text[k] != ':')
            continue;
        if (text[k + 1] == '/')
            return text[k + 2] == '/' ? k + 3 : k + 2;
        return k + 1;
    }
    return 0;
}

bool wq_scheme_match(char const *scheme, char const *endpoint)
{
    if (scheme == endpoint)
        return true;
    if (!scheme || !endpoint)
        return false;
    for (;; ++scheme, ++endpoint) {
        bool se = *scheme == '\0' || *scheme == ':';
        bool ee = *endpoint == '\0' || *endpoint == ':';
        if (se || ee)
            return se && ee;
        if (*scheme != *endpoint)
            return false;
    }
}

// ---- validators -------------------------------------------------------------

const wq_EndpointRegistry::FunctionPtrs wq_EndpointRegistry::No_Functions = {nullptr, nullptr, nullptr,
                                                                             nullptr};
wq_EndpointRegistry::Node *wq_EndpointRegistry::the_registry = nullptr;
uint32_t wq_EndpointRegistry::wq_num_transports = 0;

namespace {
struct RegistryCleaner {
    ~RegistryCleaner()
    {
        while (wq_EndpointRegistry::Node *n = wq_EndpointRegistry::the_registry) {
            wq_EndpointRegistry::the_registry = n->next;
            delete n;
        }
    }
} registry_cleaner;
} // namespace

void wq_EndpointRegistry::_register(const FunctionPtrs *functions, char const *scheme)
{
    the_registry = new Node{the_registry, scheme, functions};
    ++wq_num_transports;
}

const wq_EndpointRegistry::FunctionPtrs *wq_EndpointRegistry::lookup(char const *endpoint)
{
    wq_builtin_transports();
    for (Node *n = the_registry; n; n = n->next)
        if (wq_scheme_match(n->scheme, endpoint))
            return n->functions ? n->functions : &No_Functions;
    return &No_Functions;
}

namespace {
char const *const kNull = "endpoint is a null pointer";
char const *const kNoDelim = "required delimiter '://' not present";
char const *const kNotLoaded = "[endpoint validation for this transport not loaded]";
} // namespace

namespace {

// The validators of an endpoint's transport; null when none is registered
// (judged by the is-valid pointer), `reason` set for a null or scheme-less
// endpoint.
const wq_EndpointRegistry::FunctionPtrs *validators(char const *endpoint, uint32_t &k, char const *&reason)
{
    reason = nullptr;
    k = wq_addr_index(endpoint);
    if (!endpoint)
        reason = kNull;
    else if (k == 0)
        reason = kNoDelim;
    if (reason)
        return nullptr;
    auto f = wq_EndpointRegistry::lookup(endpoint);
    return f->is_valid ? f : nullptr;
}

bool check(char const *endpoint, bool (*wq_EndpointRegistry::FunctionPtrs::*which)(char const *))
{
    uint32_t k;
    char const *reason;
    auto f = validators(endpoint, k, reason);
    if (reason)
        return false;
    return !f || !(f->*which) || (f->*which)(endpoint + k);
}

char const *why(char const *endpoint, char const *(*wq_EndpointRegistry::FunctionPtrs::*which)(char const *))
{
    uint32_t k;
    char const *reason;
    auto f = validators(endpoint, k, reason);
    if (reason)
        return reason;
    if (!f || !(f->*which))
        return kNotLoaded;
    return (f->*which)(endpoint + k);
}

} // namespace

bool wq_Endpoint::is_well_formed(char const *endpoint)
{
    return check(endpoint, &wq_EndpointRegistry::FunctionPtrs::is_well_formed);
}

bool wq_Endpoint::is_valid(char const *endpoint) { return check(endpoint, &wq_EndpointRegistry::FunctionPtrs::is_valid); }

char const *wq_Endpoint::why_not_well_formed(char const *endpoint)
{
    return why(endpoint, &wq_EndpointRegistry::FunctionPtrs::why_not_well_formed);
}

char const *wq_Endpoint::why_not_valid(char const *endpoint)
{
    return why(endpoint, &wq_EndpointRegistry::FunctionPtrs::why_not_valid);
}

// ---- circuits, acceptors, collectors ------------------------------------------

wq_NetCircuit::~wq_NetCircuit()
{
    taken_up();
    CORBA::string_free(endpoint_);
}

void wq_NetCircuit::endpoint(char const *text)
{
    char *c = CORBA::string_dup(text);
    CORBA::string_free(endpoint_);
    endpoint_ = c;
}

wq_NetAcceptor::~wq_NetAcceptor() { CORBA::string_free(endpoint_); }

void wq_NetAcceptor::endpoint(char const *text)
{
    char *c = CORBA::string_dup(text);
    CORBA::string_free(endpoint_);
    endpoint_ = c;
}

wq_NetCollector::~wq_NetCollector() = default;

// ---- factory registries -------------------------------------------------------

wq_FactoryNode<wq_NetAcceptorFactory> *wq_NetAcceptor_factory_registry = nullptr;
wq_FactoryNode<wq_NetCircuitFactory> *wq_NetCircuit_factory_registry = nullptr;
wq_FactoryNode<wq_NetCollectorFactory> *wq_NetCollector_factory_registry = nullptr;

namespace {
template <class F> void push(wq_FactoryNode<F> *&head, F *f, char const *scheme)
{
    head = new wq_FactoryNode<F>{head, f, CORBA::string_dup(scheme)};
}

template <class F> void unlink(wq_FactoryNode<F> *&head, F *f)
{
    for (wq_FactoryNode<F> **p = &head; *p; p = &(*p)->next)
        if ((*p)->factory == f) {
            wq_FactoryNode<F> *n = *p;
            *p = n->next;
            CORBA::string_free(n->scheme);
            delete n;
            return;
        }
}

template <class F> F *find(wq_FactoryNode<F> *head, char const *endpoint)
{
    for (wq_FactoryNode<F> *n = head; n; n = n->next)
        if (wq_scheme_match(n->scheme, endpoint))
            return n->factory;
    return nullptr;
}
} // namespace

wq_NetAcceptorFactory::wq_NetAcceptorFactory(char const *scheme)
{
    push(wq_NetAcceptor_factory_registry, this, scheme);
}
wq_NetAcceptorFactory::~wq_NetAcceptorFactory() { unlink(wq_NetAcceptor_factory_registry, this); }

wq_NetAcceptorFactory *wq_NetAcceptorFactory::lookup(char const *endpoint)
{
    if (!endpoint) {
        std::fprintf(stderr, "ERROR: wq_NetAcceptorFactory::lookup called with null pointer\n");
        return nullptr;
    }
    wq_NetAcceptorFactory *f = find(wq_NetAcceptor_factory_registry, endpoint);
    if (!f)
        std::fprintf(stderr,
                     "ERROR: wq_NetAcceptorFactory::lookup called for '%s' before a '%s' "
                     "wq_NetAcceptorFactory is registered\n",
                     endpoint, endpoint);
    return f;
}

void wq_NetAcceptorFactory::release(wq_NetAcceptor *&acceptor)
{
    if (!acceptor)
        return;
    acceptor->get_releasor()(acceptor);
    acceptor = nullptr;
}

wq_NetCircuitFactory::wq_NetCircuitFactory(char const *scheme)
{
    push(wq_NetCircuit_factory_registry, this, scheme);
}
wq_NetCircuitFactory::~wq_NetCircuitFactory() { unlink(wq_NetCircuit_factory_registry, this); }

wq_NetCircuitFactory *wq_NetCircuitFactory::lookup(char const *endpoint)
{
    wq_builtin_transports();
    return endpoint ? find(wq_NetCircuit_factory_registry, endpoint) : nullptr;
}

void wq_NetCircuitFactory::release(wq_NetCircuit *circuit)
{
    if (circuit)
        circuit->get_releasor()(circuit);
}

wq_NetCollectorFactory::wq_NetCollectorFactory(char const *scheme)
{
    push(wq_NetCollector_factory_registry, this, scheme);
}
wq_NetCollectorFactory::~wq_NetCollectorFactory() { unlink(wq_NetCollector_factory_registry, this); }

wq_NetCollectorFactory *wq_NetCollectorFactory::lookup(char const *endpoint)
{
    wq_NetCollectorFactory *f = endpoint ? find(wq_NetCollector_factory_registry, endpoint) : nullptr;
    if (!f)
        std::fprintf(stderr,
                     "ERROR: wq_NetCollectorFactory::lookup called for '%s' before a '%s' "
                     "wq_NetCollectorFactory is registered\n",
                     endpoint ? endpoint : "", endpoint ? endpoint : "");
    return f;
}

void wq_NetCollectorFactory::release(wq_NetCollector *collector)
{
    if (collector)
        collector->get_releasor()(collector);
}

// ---- coders ---------------------------------------------------------------------

namespace {
struct CoderNode {
    CoderNode *next;
    char *scheme;
    wq_Coder coder;
    uint32_t tag;
};
CoderNode *coders = nullptr;
struct CoderCleaner {
    ~CoderCleaner()
    {
        while (CoderNode *n = coders) {
            coders = n->next;
            CORBA::string_free(n->scheme);
            delete n;
        }
    }
} coder_cleaner;
} // namespace

void wq_CoderRegistry::_register(char const *scheme, wq_Coder coder, uint32_t tag)
{
    coders = new CoderNode{coders, CORBA::string_dup(scheme), coder, tag};
}

wq_Coder wq_CoderRegistry::lookup(char const *endpoint)
{
    for (CoderNode *n = coders; n; n = n->next)
        if (wq_scheme_match(n->scheme, endpoint))
            return n->coder;
    return nullptr;
}

bool wq_CoderRegistry::is_coder_tag(uint32_t tag)
{
    for (CoderNode *n = coders; n; n = n->next)
        if (n->tag == tag)
            return true;
    return false;
}
