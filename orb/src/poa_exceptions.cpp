// The user exceptions of the PortableServer module, their readers and their
// static registration; object ids.
#include "portable_server.h"
#include "wq_stub.h"

#include <cstring>

namespace PortableServer {

// ---- object ids -------------------------------------------------------------

ObjectId::ObjectId(const void *bytes, uint32_t length) : len_(length)
{
    if (length) {
        buf_ = new unsigned char[length];
        std::memcpy(buf_, bytes, length);
    }
}

ObjectId &ObjectId::operator=(const ObjectId &o)
{
    if (this != &o) {
        ObjectId c(o);
        std::swap(buf_, c.buf_);
        std::swap(len_, c.len_);
    }
    return *this;
}

bool ObjectId::equals(const void *bytes, uint32_t length) const
{
    return length == len_ && (len_ == 0 || std::memcmp(buf_, bytes, len_) == 0);
}

// ---- memberless exceptions ----------------------------------------------------

#define WQ_PS_EXCEPTION_IMPL(SCOPE, NAME, ID)                                               \
    char const *SCOPE::NAME::wq_IR_Name = ID;                                                \
    CORBA::Exception *SCOPE::NAME::wq_read(CORBA::Stream &) { return new SCOPE::NAME; }

WQ_PS_EXCEPTION_IMPL(Current, NoContext, "IDL:omg.org/PortableServer/Current/NoContext:1.0")
WQ_PS_EXCEPTION_IMPL(POAManager, AdapterInactive,
                     "IDL:omg.org/PortableServer/POAManager/AdapterInactive:1.0")
WQ_PS_EXCEPTION_IMPL(POA, AdapterAlreadyExists, "IDL:omg.org/PortableServer/POA/AdapterAlreadyExists:1.0")
WQ_PS_EXCEPTION_IMPL(POA, AdapterNonExistent, "IDL:omg.org/PortableServer/POA/AdapterNonExistent:1.0")
WQ_PS_EXCEPTION_IMPL(POA, NoServant, "IDL:omg.org/PortableServer/POA/NoServant:1.0")
WQ_PS_EXCEPTION_IMPL(POA, ObjectAlreadyActive, "IDL:omg.org/PortableServer/POA/ObjectAlreadyActive:1.0")
WQ_PS_EXCEPTION_IMPL(POA, ObjectNotActive, "IDL:omg.org/PortableServer/POA/ObjectNotActive:1.0")
WQ_PS_EXCEPTION_IMPL(POA, ServantAlreadyActive, "IDL:omg.org/PortableServer/POA/ServantAlreadyActive:1.0")
WQ_PS_EXCEPTION_IMPL(POA, ServantNotActive, "IDL:omg.org/PortableServer/POA/ServantNotActive:1.0")
WQ_PS_EXCEPTION_IMPL(POA, WrongAdapter, "IDL:omg.org/PortableServer/POA/WrongAdapter:1.0")
WQ_PS_EXCEPTION_IMPL(POA, WrongPolicy, "IDL:omg.org/PortableServer/POA/WrongPolicy:1.0")
#undef WQ_PS_EXCEPTION_IMPL

char const *POA::InvalidPolicy::wq_IR_Name = "IDL:omg.org/PortableServer/POA/InvalidPolicy:1.0";

void POA::InvalidPolicy::wq_write(CORBA::Stream &s) const { s << static_cast<unsigned short>(index); }

CORBA::Exception *POA::InvalidPolicy::wq_read(CORBA::Stream &s)
{
    uint16_t i = 0;
    s.read_2(&i);
    return new InvalidPolicy(i);
}

char const *Current::wq_IR_Name = "IDL:omg.org/PortableServer/Current:1.0";

CORBA::Object *Current::wq_find_ptr(char const *id)
{
    return CORBA::IR::is_equal(wq_IR_Name, id) ? this : CORBA::Current::wq_find_ptr(id);
}

} // namespace PortableServer

// ---- static registration ------------------------------------------------------------

namespace {

using namespace PortableServer;

struct Reader {
    char const *const *id;
    CORBA::wq_ExceptionReader read;
};

const Reader kReaders[] = {
    {&Current::NoContext::wq_IR_Name, &Current::NoContext::wq_read},
    {&POA::AdapterAlreadyExists::wq_IR_Name, &POA::AdapterAlreadyExists::wq_read},
    {&POA::AdapterNonExistent::wq_IR_Name, &POA::AdapterNonExistent::wq_read},
    {&POA::InvalidPolicy::wq_IR_Name, &POA::InvalidPolicy::wq_read},
    {&POA::NoServant::wq_IR_Name, &POA::NoServant::wq_read},
    {&POA::ObjectAlreadyActive::wq_IR_Name, &POA::ObjectAlreadyActive::wq_read},
    {&POA::ObjectNotActive::wq_IR_Name, &POA::ObjectNotActive::wq_read},
    {&POA::ServantAlreadyActive::wq_IR_Name, &POA::ServantAlreadyActive::wq_read},
    {&POA::ServantNotActive::wq_IR_Name, &POA::ServantNotActive::wq_read},
    {&POA::WrongAdapter::wq_IR_Name, &POA::WrongAdapter::wq_read},
    {&POA::WrongPolicy::wq_IR_Name, &POA::WrongPolicy::wq_read},
    {&POAManager::AdapterInactive::wq_IR_Name, &POAManager::AdapterInactive::wq_read},
};

// Interfaces and their parents.
struct Parent {
    char const *const *id;
    char const *const *parent;
};

const Parent kInterfaces[] = {
    {&POA::wq_IR_Name, &CORBA::Object::wq_IR_Name},
    {&POAManager::wq_IR_Name, &CORBA::Object::wq_IR_Name},
    {&CORBA::Current::wq_IR_Name, &CORBA::Object::wq_IR_Name},
    {&Current::wq_IR_Name, &CORBA::Current::wq_IR_Name},
};

// Registers the readers and the interfaces before main; undoes both at exit.
struct wq_PS_elab : wq_Stub {
    wq_PS_elab()
    {
        for (const Reader &r : kReaders)
            reg(*r.id, r.read, false);
        for (const Parent &i : kInterfaces)
            reg(*i.id, *i.parent, false);
    }
    ~wq_PS_elab()
    {
        for (const Reader &r : kReaders)
            regu(*r.id, false);
        for (const Parent &i : kInterfaces)
            regu(*i.id, *i.parent, false);
    }
} wq_ps_elab;

} // namespace
