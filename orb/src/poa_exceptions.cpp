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

// ---- ForwardRequest -----------------------------------------------------------

char const *ForwardRequest::wq_IR_Name = "IDL:omg.org/PortableServer/ForwardRequest:1.0";

ForwardRequest::ForwardRequest(const ForwardRequest &o)
    : CORBA::UserException(o), forward_reference(o.forward_reference)
{
    if (forward_reference)
        forward_reference->_add_ref();
}

ForwardRequest &ForwardRequest::operator=(const ForwardRequest &o)
{
    if (this != &o) {
        if (o.forward_reference)
            o.forward_reference->_add_ref();
        CORBA::release(forward_reference);
        forward_reference = o.forward_reference;
    }
    return *this;
}

ForwardRequest::~ForwardRequest() { CORBA::release(forward_reference); }

char const *ForwardRequest::wq_ir_name() const { return wq_IR_Name; }
CORBA::Exception *ForwardRequest::wq_duplicate() const { return new ForwardRequest(*this); }

void ForwardRequest::_raise() const
{
    _wq_protect();
    throw ForwardRequest(*this);
}

CORBA::Exception *ForwardRequest::wq_find_ptr(char const *id)
{
    if (CORBA::IR::is_equal(wq_IR_Name, id))
        return this;
    return CORBA::UserException::wq_find_ptr(id);
}

void ForwardRequest::wq_write(CORBA::Stream &s) const { s.write_object(forward_reference); }

CORBA::Exception *ForwardRequest::wq_read(CORBA::Stream &s)
{
    CORBA::Object *obj = s.read_object(CORBA::Object::wq_IR_Name);
    return new ForwardRequest(obj);
}

ForwardRequest *ForwardRequest::_downcast(CORBA::Exception *e)
{
    return e ? static_cast<ForwardRequest *>(e->wq_find_ptr(wq_IR_Name)) : nullptr;
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
    return CORBA::IR::is_equal(wq_IR_Name, id) ? this : CORBA::Object::wq_find_ptr(id);
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
    {&ForwardRequest::wq_IR_Name, &ForwardRequest::wq_read},
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

// Registers the readers and the three interfaces before main; removes the
// readers at exit.
struct wq_PS_elab : wq_Stub {
    wq_PS_elab()
    {
        for (const Reader &r : kReaders)
            reg(*r.id, r.read, false);
        wq_InterfaceRegistry *ir = wq_interface_registry_get();
        wq_Interface *obj = ir->NI_find_or_create(CORBA::Object::wq_IR_Name, false);
        for (char const *id : {POA::wq_IR_Name, POAManager::wq_IR_Name, Current::wq_IR_Name})
            ir->NI_find_or_create(id, false)->add_parent(obj, false);
    }
    ~wq_PS_elab()
    {
        for (const Reader &r : kReaders)
            regu(*r.id, false);
    }
} wq_ps_elab;

} // namespace
