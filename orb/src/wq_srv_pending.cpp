// Minimal definitions of the reference, policy and interface-registry classes
// the object adapter is built on, until their full sources are linked in.
#include "corba_object.h"
#include "corba_policy.h"
#include "wq_interface.h"
#include "wq_stub.h"

#include <cstdio>

namespace CORBA {

char const *Object::wq_IR_Name = "IDL:omg.org/CORBA/Object:1.0";
char const *LocalObject::wq_IR_Name = "IDL:omg.org/CORBA/LocalObject:1.0";

InterfaceDef::~InterfaceDef() = default;
Target::~Target() = default;
bool Target::_is_equivalent(Target &o, const EnvironmentWrapper &)
{
    return collocated_ == o.collocated_ && flag2_ == o.flag2_ && interface_ == o.interface_;
}
Policy::~Policy() = default;
bool Policy::operator==(const Policy &o) const { return policy_type == o.policy_type; }

Object::Object() = default;
Object::Object(Target *t) : target_(t) {}
Object::~Object()
{
    if (target_) {
        wq_ThreadEnvironment tenv;
        target_->_remove_ref(true, tenv);
    }
}
char const *Object::wq_ir_name() const { return wq_IR_Name; }
Object *Object::wq_find_ptr(char const *id) { return IR::is_equal(wq_IR_Name, id) ? this : nullptr; }

void Object::_add_ref()
{
    wq_MutexLock g(count_mtx_);
    if (count_ >= 1)
        ++count_;
}

bool Object::_remove_ref()
{
    count_mtx_.lock();
    if (count_ < 1) {
        count_mtx_.unlock();
        return true;
    }
    if (--count_ != 0) {
        count_mtx_.unlock();
        return false;
    }
    count_ = -100000;
    count_mtx_.unlock();
    delete this;
    return true;
}

void Object::_release(Object *obj)
{
    if (obj)
        obj->_remove_ref();
}

LocalObject::~LocalObject() = default;
Object *LocalObject::wq_find_ptr(char const *id) { return Object::wq_find_ptr(id); }
char const *LocalObject::wq_ir_name() const { return wq_IR_Name; }

} // namespace CORBA

void wq_PolicyNode::clear()
{
    while (head_) {
        CORBA::Policy *p = head_;
        head_ = p->wq_next;
        delete p;
    }
    mask_hi_ = mask_lo_ = 0;
}

char const *wq_published_endpoints_text = nullptr;
char const *wq_published_endpoints() { return wq_published_endpoints_text; }

// ---- interface registry ---------------------------------------------------------

constinit wq_RWMutex wq_Interface::if_lists_lock;
constinit wq_RWMutex wq_Interface::OperationNode::_lists_lock;
std::atomic<wq_InterfaceRegistry *> wq_interface_registry{nullptr};

bool wq_orb_locking() { return true; }

uint32_t wq_key_hash(char const *key)
{
    uint32_t h = 0;
    if (key)
        for (auto p = reinterpret_cast<unsigned char const *>(key); *p && *p != 0xB5; ++p)
            h = (h << 5) ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    return h;
}

wq_Stub::wq_Stub() { wq_interface_registry_get(); }

wq_InterfaceRegistry *wq_interface_registry_get()
{
    wq_InterfaceRegistry *r = wq_interface_registry.load(std::memory_order_acquire);
    if (!r) {
        auto *n = new wq_InterfaceRegistry;
        if (!wq_interface_registry.compare_exchange_strong(r, n))
            delete n;
        else
            r = n;
    }
    return r;
}

wq_InterfaceRegistry::~wq_InterfaceRegistry() = default;

wq_Interface *wq_InterfaceRegistry::NI_find(char const *id, bool)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(wq_Interface::if_lists_lock, tenv);
    wq_Interface *i = id ? map_.find(id, false) : nullptr;
    if (i)
        i->_add_ref(false);
    return i;
}

wq_Interface *wq_InterfaceRegistry::find_or_create(char const *id, bool lock)
{
    return find_or_create(id, nullptr, lock, true);
}

wq_Interface *wq_InterfaceRegistry::find_or_create(char const *id, char const *, bool lock, bool)
{
    if (!id)
        return nullptr;
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(wq_Interface::if_lists_lock, tenv);
    wq_Interface *i = map_.find(id, true);
    if (!i) {
        i = new wq_Interface(CORBA::string_dup(id));
        map_.insert(i);
    }
    (void)lock;
    return i;
}

wq_Interface::OperationNode::~OperationNode() { delete[] params; }

wq_Interface::wq_Interface(char *id) : id_(id), id_len1_(CORBA::string_len(id) + 1) {}

wq_Interface::~wq_Interface()
{
    while (parents_) {
        Parent *p = parents_;
        parents_ = p->next;
        p->parent->_remove_ref(false);
        delete p;
    }
    ops_.for_each([](OperationNode *n) { delete n; });
    CORBA::string_free(id_);
}

void wq_Interface::add_parent(wq_Interface *parent, bool)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(if_lists_lock, tenv);
    parent->count_++;
    parents_ = new Parent{parent, parents_};
}

bool wq_Interface::traverse(Parent *p, char const *id)
{
    for (; p; p = p->next)
        if (CORBA::string_equal(p->parent->id_, id) || traverse(p->parent->parents_, id))
            return true;
    return false;
}

bool wq_Interface::is_a(char const *id)
{
    wq_ThreadEnvironment tenv;
    wq_ReadLock g(if_lists_lock, tenv);
    return CORBA::string_equal(id_, id) || traverse(parents_, id);
}

void wq_Interface::_add_ref(bool)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(if_lists_lock, tenv);
    if (count_ >= 0)
        ++count_;
}

bool wq_Interface::_remove_ref(bool)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(if_lists_lock, tenv);
    if (count_ < 1)
        return true;
    if (--count_ == 0) {
        count_ = -100000;
        delete this;
    }
    return true;
}
