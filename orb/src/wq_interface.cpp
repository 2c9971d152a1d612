// The interface registry, interface parents and reference counts, and the
// interface registrations of stubs.
#include "wq_interface.h"

#include "corba_orb.h"
#include "wq_stub.h"

#include <cstdio>
#include <cstring>

wq_RWMutex wq_Interface::if_lists_lock;
wq_RWMutex wq_Interface::OperationNode::_lists_lock;
wq_RWMutex wq_Interface::SkeletonNode::_lists_lock;
std::atomic<wq_InterfaceRegistry *> wq_interface_registry{nullptr};

bool wq_orb_locking() { return CORBA::ORB::_orb_state.load(std::memory_order_acquire) != 0; }

namespace {
using CondLock = wq_OrbCondLock;
} // namespace

wq_InterfaceRegistry *wq_interface_registry_get()
{
    wq_InterfaceRegistry *r = wq_interface_registry.load(std::memory_order_acquire);
    if (r)
        return r;
    auto *n = new wq_InterfaceRegistry();
    if (wq_interface_registry.compare_exchange_strong(r, n))
        return n;
    delete n;
    return r;
}

// ---- operations --------------------------------------------------------------

wq_Interface::OperationNode::OperationNode(char const *op, uint32_t n)
    : name(op), params(new wq_ParameterInfo[n ? n : 1]), count(n)
{
}

wq_Interface::OperationNode::~OperationNode() { delete[] params; }

wq_Interface::wq_Interface(char *id) : id_(id), id_len1_(CORBA::string_len(id) + 1) {}

wq_Interface::~wq_Interface()
{
    ops_.for_each([](OperationNode *n) { delete n; });
    while (Parent *p = parents_) {
        parents_ = p->next;
        delete p;
    }
    CORBA::string_free(id_);
}

wq_Interface::OperationNode *wq_Interface::find_or_add_op(char const *op, uint32_t count)
{
    OperationNode *n = ops_.find(op, true);
    if (!n) {
        n = new OperationNode(op, count);
        ops_.insert(n);
    }
    return n;
}

void wq_Interface::add_parameter(char const *op, uint32_t index, uint32_t mode, uint32_t count,
                                 CORBA::wq_TypeCodeGetter tc, bool lock)
{
    CondLock l(OperationNode::_lists_lock, lock, true);
    OperationNode *n = find_or_add_op(op, count);
    if (index < n->count)
        n->params[index] = wq_ParameterInfo{tc, index, mode};
}

void wq_Interface::add_result(char const *op, uint32_t count, CORBA::wq_TypeCodeGetter tc, bool lock)
{
    CondLock l(OperationNode::_lists_lock, lock, true);
    find_or_add_op(op, count)->result = tc;
}

wq_ParameterInfo *wq_Interface::get_parameters(char const *op, uint32_t &count, bool lock)
{
    CondLock l(OperationNode::_lists_lock, lock, false);
    OperationNode *n = ops_.find(op, false);
    count = n ? n->count : 0;
    auto *out = new wq_ParameterInfo[count ? count : 1];
    for (uint32_t i = 0; i < count; ++i)
        out[i] = n->params[i];
    return out;
}

CORBA::wq_TypeCodeGetter wq_Interface::get_result(char const *op, bool lock)
{
    CondLock l(OperationNode::_lists_lock, lock, false);
    OperationNode *n = ops_.find(op, false);
    return n ? n->result : nullptr;
}

// ---- parents and counts ---------------------------------------------------------

void wq_Interface::add_parent(wq_Interface *parent, bool lock)
{
    if (!parent)
        return;
    CondLock l(if_lists_lock, lock, true);
    parents_ = new Parent{parent, parents_};
    parent->_add_ref(false);
}

bool wq_Interface::traverse(Parent *parents, char const *id)
{
    for (Parent *p = parents; p; p = p->next)
        if (CORBA::string_equal(p->parent->id_, id) || traverse(p->parent->parents_, id))
            return true;
    return false;
}

bool wq_Interface::is_a(char const *id)
{
    CondLock l(if_lists_lock, true, false);
    return CORBA::string_equal(id_, id) || traverse(parents_, id);
}

void wq_Interface::_add_ref(bool lock)
{
    CondLock l(if_lists_lock, lock, true);
    if (count_ < 0) {
        YW_P_noCancel hold; // reached from release paths and destructors
        std::fprintf(stderr, "Ulvenor ERROR(wq_Interface::add_ref): attempt to add a reference on a "
                             "previously deleted object\n");
        return;
    }
    ++count_;
}

bool wq_Interface::_remove_ref(bool lock)
{
    wq_Interface *del = nullptr;
    {
        CondLock l(if_lists_lock, lock, true);
        if (count_ < 1) {
            YW_P_noCancel hold; // reached from release paths and destructors
            std::fprintf(stderr, "Ulvenor ERROR(wq_TargetLocal::add_ref): attempt to remove a previously "
                                 "deleted object\n");
            return true;
        }
        if (--count_ > 0)
            return false;
        count_ = -100000;
        while (Parent *p = parents_) {
            parents_ = p->next;
            p->parent->_remove_ref(false);
            delete p;
        }
        del = this;
    }
    delete del;
    return true;
}

// ---- registry ------------------------------------------------------------------

wq_InterfaceRegistry::~wq_InterfaceRegistry()
{
    map_.for_each([](wq_Interface *i) { i->_remove_ref(false); });
}

wq_Interface *wq_InterfaceRegistry::NI_find(char const *id, bool lock)
{
    if (!id)
        return nullptr;
    CondLock l(wq_Interface::if_lists_lock, lock, true);
    wq_Interface *i = map_.find(id, false);
    if (i)
        i->_add_ref(false);
    return i;
}

wq_Interface *wq_InterfaceRegistry::find_or_create(char const *id, bool lock)
{
    return find_or_create(id, nullptr, lock, true);
}

wq_Interface *wq_InterfaceRegistry::find_or_create(char const *id, char const *base_id, bool lock)
{
    return find_or_create(id, base_id, lock, true);
}

wq_Interface *wq_InterfaceRegistry::find_or_create(char const *id, char const *base_id, bool lock, bool)
{
    if (!id)
        return nullptr;
    CondLock l(wq_Interface::if_lists_lock, lock, true);
    wq_Interface *i = map_.find(id, false);
    if (!i) {
        i = new wq_Interface(CORBA::string_dup(id));
        map_.insert(i); // the registry keeps the creation reference
        if (base_id && *base_id) {
            wq_Interface *b = map_.find(base_id, false);
            if (b && !i->proxy_factory())
                i->proxy_factory(b->proxy_factory());
        }
    }
    i->_add_ref(false);
    return i;
}

void wq_InterfaceRegistry::remove_interface_proxy(char const *id, bool lock)
{
    if (!id)
        return;
    CondLock l(wq_Interface::if_lists_lock, lock, true);
    wq_Interface *i = map_.find(id, true);
    if (!i)
        return;
    map_.remove(i);
    i->_remove_ref(false);
}

// ---- stub registrations ------------------------------------------------------------

wq_Stub::wq_Stub() { wq_interface_registry_get(); }

void wq_Stub::reg(char const *id, char const *parent_id, bool lock)
{
    wq_InterfaceRegistry *r = wq_interface_registry_get();
    wq_Interface *i = r->find_or_create(id, lock);
    wq_Interface *p = r->find_or_create(parent_id, lock);
    if (i && p)
        i->add_parent(p, lock);
    if (p)
        p->_remove_ref(lock);
    if (i)
        i->_remove_ref(lock);
}

void wq_Stub::reg(CORBA::wq_TypeCodeGetter tc, uint32_t count, char const *op, char const *id)
{
    wq_Interface *i = wq_interface_registry_get()->find_or_create(id, false);
    if (!i)
        return;
    i->add_result(op, count, tc, false);
    i->_remove_ref(false);
}

void wq_Stub::reg(uint32_t index, uint32_t mode, CORBA::wq_TypeCodeGetter tc, uint32_t count, char const *op,
                  char const *id)
{
    wq_Interface *i = wq_interface_registry_get()->find_or_create(id, false);
    if (!i)
        return;
    i->add_parameter(op, index, mode, count, tc, false);
    i->_remove_ref(false);
}

void wq_Stub::regu(char const *id, char const *, bool lock)
{
    if (wq_InterfaceRegistry *r = wq_interface_registry.load())
        r->remove_interface_proxy(id, lock);
}
