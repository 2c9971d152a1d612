// Minimal object reference and interface registry under the object adapter.
#include "wq_srv_pending.h"
#include "corba_except.h"
#include "wq_text.h"

#include <cstdio>

namespace CORBA {

char const *Object::wq_IR_Name = "IDL:omg.org/CORBA/Object:1.0";

Object::~Object()
{
    if (target_) {
        wq_ThreadEnvironment tenv;
        target_->_remove_ref(true, tenv);
        target_ = nullptr;
    }
}

void Object::_add_ref()
{
    int32_t c = count_.load(std::memory_order_relaxed);
    do {
        if (c < 1) {
            std::fprintf(stderr, "ERROR(Object::add_ref): \n     attempt to add or remove a reference "
                                 "on a previously deleted object\n");
            return;
        }
    } while (!count_.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel));
}

bool Object::_remove_ref()
{
    int32_t c = count_.load(std::memory_order_relaxed);
    do {
        if (c < 1) {
            std::fprintf(stderr, "ERROR(CORBA::Object::remove_ref): \n     attempt to remove a "
                                 "previously deleted object\n");
            return true;
        }
    } while (!count_.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel));
    if (c != 1)
        return false;
    count_.store(-100000, std::memory_order_release);
    delete this;
    return true;
}

Object *Object::wq_find_ptr(char const *id)
{
    return IR::is_equal(wq_IR_Name, id) ? this : nullptr;
}

} // namespace CORBA

namespace {

constinit wq_RWMutex g_if_lock;
constexpr uint32_t kBuckets = 211;
wq_Interface *g_buckets[kBuckets];

uint32_t if_hash(char const *id)
{
    uint32_t h = 0;
    for (auto p = reinterpret_cast<unsigned char const *>(id); *p && *p != 0xB5; ++p)
        h = (h << 5) ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    return h % kBuckets;
}

wq_Interface *search(char const *id)
{
    for (wq_Interface *i = g_buckets[if_hash(id)]; i; i = i->reg_next)
        if (CORBA::string_equal(i->repository_id(), id, static_cast<char>(0xB5)))
            return i;
    return nullptr;
}

} // namespace

wq_Interface::~wq_Interface()
{
    while (parents_) {
        Parent *p = parents_;
        parents_ = p->next;
        p->itf->_remove_ref(false);
        delete p;
    }
    CORBA::string_free(id_);
}

void wq_Interface::add_parent(wq_Interface *parent, bool)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(g_if_lock, tenv);
    parent->count_++;
    parents_ = new Parent{parent, parents_};
}

bool wq_Interface::traverse(Parent *p, char const *id)
{
    for (; p; p = p->next)
        if (CORBA::string_equal(p->itf->id_, id) || traverse(p->itf->parents_, id))
            return true;
    return false;
}

bool wq_Interface::is_a(char const *id)
{
    wq_ThreadEnvironment tenv;
    wq_ReadLock g(g_if_lock, tenv);
    return CORBA::string_equal(id_, id) || traverse(parents_, id);
}

void wq_Interface::_add_ref(bool)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(g_if_lock, tenv);
    if (count_ >= 0)
        ++count_;
}

bool wq_Interface::_remove_ref(bool)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(g_if_lock, tenv);
    if (count_ < 1)
        return true;
    if (--count_ == 0) {
        count_ = -100000;
        delete this;
    }
    return true;
}

wq_Interface *wq_InterfaceRegistry::NI_find(char const *id, bool)
{
    if (!id)
        return nullptr;
    wq_ThreadEnvironment tenv;
    wq_ReadLock g(g_if_lock, tenv);
    return search(id);
}

wq_Interface *wq_InterfaceRegistry::NI_find_or_create(char const *id, bool)
{
    if (!id)
        return nullptr;
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(g_if_lock, tenv);
    wq_Interface *i = search(id);
    if (!i) {
        i = new wq_Interface(CORBA::string_dup(id));
        uint32_t b = if_hash(id);
        i->reg_next = g_buckets[b];
        g_buckets[b] = i;
    }
    return i;
}
