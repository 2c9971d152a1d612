// The ORB's references: the table of initial references and the services it
// creates on demand, the RT objects, and the "IOR:" string forms.
#include "corba_object.h"
#include "corba_orb.h"
#include "corba_orb_internal.h"
#include "corba_stream.h"
#include "rtcorba.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

char const *CORBA::ORB::InvalidName::wq_IR_Name = "IDL:omg.org/CORBA/ORB/InvalidName:1.0";

bool wq_SvcInfo::needs_init = true;
wq_RWMutex wq_SvcInfo::protect;
wq_SvcInfo wq_svc_table;

CORBA::PolicyManager *wq_orb_policy_mgr = nullptr;

namespace {

// Longest service endpoint list taken from the environment.
constexpr std::size_t kMaxEnvEndpoints = 4096;
// Longest stringified reference (two digits per octet after "IOR:").
constexpr std::size_t kMaxIorText = 4 + 2 * (std::size_t(1) << 20);

// The RT ORB: a local object that only answers to its repository id.
class wq_RTORB : public CORBA::LocalObject {
public:
    CORBA::Object *wq_find_ptr(char const *id) override
    {
        if (CORBA::IR::is_equal(id, IR_Name))
            return this;
        return LocalObject::wq_find_ptr(id);
    }
    char const *wq_ir_name() const override { return IR_Name; }
    static constexpr char const *IR_Name = "IDL:omg.org/RTCORBA/RTORB:1.0";
};

// The table's lock, held for writing while rows are read or changed.
struct SvcLock {
    wq_ThreadEnvironment tenv;
    wq_WriteLock lock{wq_SvcInfo::protect, tenv};
};

bool same_name(char const *row, char const *name, int &length)
{
    int n = 0;
    while (name[n] && name[n] != '=') {
        if (row[n] != name[n])
            return false;
        ++n;
    }
    if (row[n] != '\0')
        return false;
    length = n;
    return true;
}

// The row a name belongs in: its own, else the first empty one; -16 and
// IMP_LIMIT 6 when there is none or it lies beyond row 14.
int row_for(char const *name, int &length, const CORBA::EnvironmentWrapper &env)
{
    int free_row = -16;
    int row = wq_svc_table.lookup(name, length, free_row);
    if (row < 0) {
        row = free_row;
        length = static_cast<int>(std::strcspn(name, "="));
    }
    if (row < 0 || row > 14) {
        env.exception(new CORBA::IMP_LIMIT(6, CORBA::COMPLETED_NO));
        return -16;
    }
    return row;
}

// Stores `obj` (its reference taken over) in a row under `name` (the first
// `length` characters), releasing what the row held before.
void store_row(int row, char const *name, int length, CORBA::Object *obj)
{
    char *&slot = wq_svc_table.names[row];
    if (!slot || std::strncmp(slot, name, length) != 0 || slot[length] != '\0') {
        CORBA::string_free(slot);
        slot = CORBA::string_dup(name, static_cast<unsigned int>(length));
    }
    CORBA::Object *old = wq_svc_table.objects[row];
    wq_svc_table.objects[row] = obj;
    CORBA::release(old);
}

CORBA::Object *bind_service(char const *variable, unsigned char minor, char const *cls, char const *id,
                            char const *repository_id, const CORBA::EnvironmentWrapper &env)
{
    char const *endpoints = wq_getenv(variable);
    if (!endpoints || std::strlen(endpoints) > kMaxEnvEndpoints) {
        wq_raise_initialize(minor, env);
        return nullptr;
    }
    return CORBA::Object::Helper::bind(cls, "", "RootPOA", reinterpret_cast<const unsigned char *>(id),
                                       static_cast<uint32_t>(std::strlen(id)), endpoints, repository_id,
                                       true, true, env);
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

// ---- the table ------------------------------------------------------------------

int wq_SvcInfo::lookup(char const *name, int &length, int &free_row)
{
    if (needs_init)
        svc_init();
    free_row = -16;
    length = 0;
    for (int i = 0; i < ROWS; ++i) {
        if (!names[i]) {
            if (free_row < 0)
                free_row = i;
            continue;
        }
        if (name && same_name(names[i], name, length))
            return i;
    }
    return -16;
}

void wq_SvcInfo::svc_init()
{
    static char const *const row_names[] = {"RTCurrent",        "RTORB",      "POACurrent",
                                            "PICurrent",        "RootPOA",    "ORBPolicyManager",
                                            "InterfaceRepository", "NameService", "EventService"};
    static const wq_SvcCreator row_creators[] = {nullptr,         nullptr,      nullptr,
                                                 nullptr,         wq_init_root_poa, wq_create_pm,
                                                 nullptr,         wq_def_nam_svc, wq_def_evt_svc};
    for (int i = 0; i < 9; ++i) {
        names[i] = CORBA::string_dup(row_names[i]);
        creators[i] = row_creators[i];
    }
    needs_init = false;
}

void wq_SvcInfo::svc_cleanup()
{
    SvcLock guard;
    clear_rows();
}

void wq_SvcInfo::clear_rows()
{
    if (needs_init)
        return;
    for (int i = 0; i < ROWS; ++i) {
        CORBA::string_free(names[i]);
        creators[i] = nullptr;
        CORBA::Object *o = objects[i];
        objects[i] = nullptr;
        CORBA::release(o);
    }
    needs_init = true;
}

// ---- creators ----------------------------------------------------------------------

CORBA::Object *wq_create_pm(const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    if (!wq_orb_policy_mgr)
        wq_orb_policy_mgr = new CORBA::PolicyManager;
    wq_orb_policy_mgr->_add_ref();
    return wq_orb_policy_mgr;
}

CORBA::Object *wq_def_nam_svc(const CORBA::EnvironmentWrapper &env)
{
    return bind_service("WQ_NAME_SERVER_ENDPOINTS", 6, "KavelNames", "NamingRoot",
                        "IDL:omg.org/CosNaming/NamingContext:1.0", env);
}

CORBA::Object *wq_def_evt_svc(const CORBA::EnvironmentWrapper &env)
{
    return bind_service("WQ_EVENT_SERVER_ENDPOINTS", 8, "KavelEvents", "EventRoot",
                        "IDL:omg.org/CosEventChannelAdmin/EventChannel:1.0", env);
}

char const *wq_getenv(char const *name) { return std::getenv(name); }

void wq_raise_invalidname(const CORBA::EnvironmentWrapper &env)
{
    env.exception(new CORBA::ORB::InvalidName);
}

void wq_orb_release_object(CORBA::Object *obj) { CORBA::release(obj); }

void wq_orb_release_rt_objects()
{
    wq_MutexLock g(wq_rt_ctor_lock);
    CORBA::release(wq_rt_current);
    wq_rt_current = nullptr;
    CORBA::release(wq_rt_orb);
    wq_rt_orb = nullptr;
    CORBA::release(wq_orb_policy_mgr);
    wq_orb_policy_mgr = nullptr;
}

void wq_CORBA_ORB_process_initial_reference(char const *text, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    char const *eq = text ? std::strchr(text, '=') : nullptr;
    if (!eq || eq == text) {
        wq_raise_invalidname(env);
        return;
    }
    SvcLock guard;
    int length = 0;
    int row = row_for(text, length, env);
    if (row < 0)
        return;
    CORBA::Object *obj = wq_orb ? wq_orb->string_to_object(eq + 1, env) : nullptr;
    if (env.pending())
        return;
    store_row(row, text, length, obj);
}

namespace CORBA {

// ---- initial references --------------------------------------------------------

Object *ORB::resolve_initial_references(char const *name, const EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    if (!name) {
        wq_raise_invalidname(env);
        return nullptr;
    }
    if (std::strcmp(name, "PICurrent") == 0)
        return nullptr; // no PI current in this process
    if (std::strcmp(name, "POACurrent") == 0)
        return wq_orb_poa_current(env);
    if (std::strcmp(name, "RTCurrent") == 0)
        return RTCORBA::get_current(env);
    if (std::strcmp(name, "RTORB") == 0) {
        wq_MutexLock g(wq_rt_ctor_lock);
        if (!wq_rt_orb)
            wq_rt_orb = new wq_RTORB;
        wq_rt_orb->_add_ref();
        return wq_rt_orb;
    }
    SvcLock guard;
    int length = 0, free_row = 0;
    int row = wq_svc_table.lookup(name, length, free_row);
    if (row < 0 || name[length] == '=') {
        wq_raise_invalidname(env);
        return nullptr;
    }
    if (Object *o = wq_svc_table.objects[row]) {
        o->_add_ref();
        return o;
    }
    if (wq_SvcCreator c = wq_svc_table.creators[row])
        return c(env);
    return nullptr;
}

void ORB::register_initial_reference(char const *name, Object *obj, const EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    if (!name || !*name || std::strchr(name, '=')) {
        wq_raise_invalidname(env);
        return;
    }
    if (!obj) {
        env.exception(new BAD_PARAM(0, COMPLETED_NO, "nil reference"));
        return;
    }
    SvcLock guard;
    int length = 0;
    int row = row_for(name, length, env);
    if (row < 0)
        return;
    obj->_add_ref();
    store_row(row, name, length, obj);
}

void ORB::unregister_initial_reference(char const *name, const EnvironmentWrapper &env)
{
    if (env.pending() || !name)
        return;
    SvcLock guard;
    int length = 0, free_row = 0;
    int row = wq_svc_table.lookup(name, length, free_row);
    if (row < 0)
        return;
    CORBA::string_free(wq_svc_table.names[row]);
    Object *old = wq_svc_table.objects[row];
    wq_svc_table.objects[row] = nullptr;
    release(old);
}

ORB::ObjectIdList::~ObjectIdList()
{
    if (release && buffer) {
        for (uint32_t i = 0; i < length; ++i)
            string_free(buffer[i]);
        delete[] buffer;
    }
}

ORB::ObjectIdList *ORB::list_initial_services(const EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    SvcLock guard;
    int length = 0, free_row = 0;
    wq_svc_table.lookup(nullptr, length, free_row); // fills the table when needed
    auto *list = new ObjectIdList;
    list->buffer = new char *[wq_SvcInfo::ROWS];
    list->maximum = wq_SvcInfo::ROWS;
    for (char const *n : wq_svc_table.names)
        if (n)
            list->buffer[list->length++] = string_dup(n);
    return list;
}

// ---- string forms ---------------------------------------------------------------------

char *ORB::object_to_string(Object *obj, const EnvironmentWrapper &env)
{
    wq_stop_point();
    if (env.pending())
        return nullptr;
    unsigned char buf[512] __attribute__((aligned(8))) = {};
    std::vector<unsigned char> bytes;
    {
        Stream s(buf, sizeof buf, 0, env);
        s << Stream::write_flag();
        s.write_object(obj);
        if (s.pending() || env.pending())
            return nullptr;
        Stream view(s, env, true);
        bytes.resize(view.bytes_remaining());
        view.read_array_1(bytes.data(), static_cast<uint32_t>(bytes.size()));
        if (env.pending())
            return nullptr;
    }
    static char const digits[] = "0123456789ABCDEF";
    char *out = string_alloc(static_cast<unsigned int>(4 + 2 * bytes.size()));
    std::memcpy(out, "IOR:", 4);
    char *p = out + 4;
    for (unsigned char b : bytes) {
        *p++ = digits[b >> 4];
        *p++ = digits[b & 15];
    }
    *p = '\0';
    return out;
}

Object *ORB::string_to_object(char const *text, const EnvironmentWrapper &env)
{
    wq_stop_point();
    if (env.pending())
        return nullptr;
    std::size_t len = text ? std::strlen(text) : 0;
    if (len < 4) {
        env.exception(new BAD_PARAM(13, COMPLETED_NO, text));
        return nullptr;
    }
    if (std::strncmp(text, "IOR:", 4) != 0) {
        if (wq_corbaloc_build_object)
            return wq_corbaloc_build_object(text, env);
        env.exception(new BAD_PARAM(16, COMPLETED_NO, "CORBALOC is not available"));
        return nullptr;
    }
    if (len > kMaxIorText || (len - 4) % 2 != 0) {
        env.exception(new BAD_PARAM(13, COMPLETED_NO,
                                    len > kMaxIorText ? "stringified reference too long"
                                                      : "odd number of hexadecimal digits"));
        return nullptr;
    }
    std::vector<unsigned char> bytes((len - 4) / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        int hi = hex_digit(text[4 + 2 * i]);
        int lo = hex_digit(text[5 + 2 * i]);
        if (hi < 0 || lo < 0) {
            env.exception(new BAD_PARAM(13, COMPLETED_NO, "invalid hexadecimal digit"));
            return nullptr;
        }
        bytes[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    Stream s(env);
    if (!bytes.empty())
        s.write_array_1(bytes.data(), static_cast<uint32_t>(bytes.size()));
    unsigned char order = s.read_octet();
    if (env.pending())
        return nullptr;
    if (order > 1) {
        env.exception(new MARSHAL(1, COMPLETED_NO));
        return nullptr;
    }
    s.byte_order(Stream::order_for_flag(order));
    return s.read_object(Object::wq_IR_Name);
}

} // namespace CORBA
