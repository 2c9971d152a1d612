// Object references on the wire: an IOR is written by the reference's
// target and read back into a reference over the target a factory makes.
#include "corba_object.h"
#include "corba_stream.h"
#include "wq_interface.h"
#include "wq_target.h"

#include <cstring>

namespace CORBA {

Stream &Stream::write_object(Object *obj)
{
    if (pending())
        return *this;
    if (!obj) {
        // Empty type id, no profiles.
        *this << 1u << static_cast<unsigned char>(0) << 0u;
        return *this;
    }
    Target *t = obj->wq_target();
    if (!t) {
        fail(new BAD_PARAM(4, COMPLETED_NO, "Possibly a local object reference (e.g. POA, POAManager)?"));
        return *this;
    }
    t->write(*this, &obj->wq_details(), env());
    return *this;
}

Object *Stream::read_object(char const *interface_name)
{
    if (pending())
        return nullptr;
    wq_Protocols::_initialize_giop();
    uint32_t n = 0;
    read_4(&n);
    if (pending())
        return nullptr;
    char id[256];
    if (n < 2) {
        // Empty type id: nil with no profiles; with profiles a reference
        // of type Object.
        skip_read(n);
        id[0] = '\0';
    } else {
        if (n > bytes_remaining()) {
            read_error();
            return nullptr;
        }
        uint32_t take = n > 256 ? 256 : n;
        read_array_1(id, take);
        id[take - 1] = '\0';
        if (n > take)
            skip_read(n - take);
    }
    if (pending())
        return nullptr;
    // The profiles go into a stream of their own, read twice: once to
    // choose the factory, once by the factory.
    uint32_t count = 0;
    if (!read_count(count, 8))
        return nullptr;
    if (count == 0)
        return nullptr;
    if (count > wq_TargetFactory::MAX_PROFILES) {
        fail(new MARSHAL(1, COMPLETED_NO, "IOR holds too many profiles"));
        return nullptr;
    }
    Stream prof(env());
    prof << count;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t tag, len = 0;
        read_4(&tag);
        if (!read_count(len, 1))
            return nullptr;
        if (len > wq_TargetFactory::MAX_PROFILE_BODY) {
            fail(new MARSHAL(1, COMPLETED_NO, "IOR profile too long"));
            return nullptr;
        }
        prof << tag << len;
        read_stream(prof, len);
        if (pending() || prof.pending())
            return nullptr;
    }
    // A type id this process does not know is served by the expected
    // interface (its proxy factory builds the reference); the target keeps
    // the id as it came. Ids from the wire never add registry entries.
    wq_InterfaceRegistry *reg = wq_interface_registry_get();
    wq_Interface *iface = reg->NI_find(id[0] ? id : Object::wq_IR_Name, true);
    if (!iface)
        iface = reg->find_or_create(interface_name && *interface_name ? interface_name : Object::wq_IR_Name, true);
    if (!iface)
        return nullptr;
    Stream again(prof, env(), false);
    uint32_t which = wq_TargetFactory::analyze(prof, id, env());
    if (prof.pending()) {
        iface->_remove_ref(true);
        mark_failed();
        return nullptr;
    }
    wq_TargetFactory *f = which < wq_TargetFactory::MAX_FACTORIES ? wq_TargetFactory::_list[which] : nullptr;
    if (!f) {
        iface->_remove_ref(true);
        fail(new MARSHAL(5, COMPLETED_MAYBE));
        return nullptr;
    }
    Target *t = f->create(again, iface, env());
    if (again.pending() || !t) {
        iface->_remove_ref(true);
        if (t) {
            wq_ThreadEnvironment tenv;
            t->_remove_ref(true, tenv);
        }
        if (!pending())
            fail(new MARSHAL(5, COMPLETED_MAYBE, "target not made"));
        mark_failed();
        return nullptr;
    }
    if (auto *remote = dynamic_cast<wq_TargetIIOP *>(t))
        remote->type_id(id);
    Object *obj;
    if (ProxyFactory *pf = iface->proxy_factory()) {
        wq_ServantHold servant(t);
        obj = pf->create(t, servant.get(), env());
    } else
        obj = new Object(t);
    iface->_remove_ref(true);
    return obj;
}

} // namespace CORBA
