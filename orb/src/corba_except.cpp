// Exception bases, the 23 system exceptions, repository-id comparison, the
// exception reader list and the stream's general error.
#include "corba_except.h"
#include "corba_stream.h"
#include "wq_stub.h"
#include "wq_text.h"

#include <atomic>
#include <cstring>
#include <string>

namespace {

std::atomic<bool> g_sepd{true};

// True when `self` is the thread's latest Exception::operator new result; the
// record is cleared so that no later object at that address inherits it.
bool claim_heap_mark(const void *self)
{
    wq_ThreadEnvironment tenv;
    void *p = wq_Thread::get_specific(wq_new_exc_key, tenv);
    if (p != self)
        return false;
    wq_Thread::set_specific(wq_new_exc_key, nullptr, tenv);
    return true;
}

// `msg` with its first "%s" replaced by `arg`. The message is never used as a
// format, so other '%' in it, or in the argument, stay as they are.
std::string substitute(char const *msg, char const *arg)
{
    std::string out(msg);
    std::size_t at = out.find("%s");
    if (at != std::string::npos)
        out.replace(at, 2, arg);
    return out;
}

} // namespace

char const *const wq_completed_status_text[3] = {"Yes", "No", "Maybe"};

bool wq_system_exception_private_data() { return g_sepd.load(std::memory_order_relaxed); }
void wq_set_system_exception_private_data(bool on) { g_sepd.store(on, std::memory_order_relaxed); }

namespace CORBA {

char const *Exception::wq_IR_Name = "IDL:omg.org/CORBA/Exception:1.0";
char const *SystemException::wq_IR_Name = "IDL:omg.org/CORBA/SystemException:1.0";
char const *UserException::wq_IR_Name = "IDL:omg.org/CORBA/UserException:1.0";
char const *const WQ_CPP_Native_Text = "(unknown)";

// Kept out of line (both), so that the compiler pairs them and not the
// global functions they call.
[[gnu::noinline]] void *Exception::operator new(std::size_t size)
{
    void *p = ::operator new(size);
    wq_Thread::set_specific(wq_new_exc_key, p);
    return p;
}

[[gnu::noinline]] void Exception::operator delete(void *p)
{
    // Memory handed back without an object ever built in it must not leave
    // its address as the latest allocation: an exception placed there later
    // by other means (the language's exception storage) would take the heap
    // mark and be owned twice.
    if (p && wq_Thread::get_specific(wq_new_exc_key) == p)
        wq_Thread::set_specific(wq_new_exc_key, nullptr);
    ::operator delete(p);
}

Exception::Exception() : heap_(claim_heap_mark(this)) {}
Exception::Exception(const Exception &) : heap_(claim_heap_mark(this)) {}
Exception::~Exception() = default;

void Exception::wq_write(Stream &) const {}
char const *Exception::wq_ir_name() const { return wq_IR_Name; }

void Exception::_raise(const EnvironmentWrapper &env) const
{
    if (heap_)
        env.exception(const_cast<Exception *>(this));
    else
        env.exception(wq_duplicate());
}

void Exception::_wq_protect() const
{
    if (!heap_)
        return;
    wq_ThreadEnvironment tenv;
    void *old = wq_Thread::get_specific(wq_last_throw_key, tenv);
    wq_Thread::set_specific(wq_last_throw_key, const_cast<Exception *>(this), tenv);
    if (old && old != this)
        delete static_cast<Exception *>(old);
}

// ---- SystemException --------------------------------------------------------

SystemException::SystemException(unsigned int minor, completion_status completed, char const *text)
    : minor_(minor), completed_(completed), param_(string_dup(text))
{
}

SystemException::SystemException(const SystemException &o)
    : Exception(o), minor_(o.minor_), completed_(o.completed_), param_(string_dup(o.param_))
{
}

SystemException &SystemException::operator=(const SystemException &o)
{
    if (this != &o) {
        char *p = string_dup(o.param_);
        string_free(param_);
        param_ = p;
        minor_ = o.minor_;
        completed_ = o.completed_;
    }
    return *this;
}

SystemException::~SystemException() { string_free(param_); }

void SystemException::param(char const *text)
{
    if (!text || !*text)
        return;
    char *p = string_dup(text);
    string_free(param_);
    param_ = p;
}

Exception *SystemException::wq_find_ptr(char const *id)
{
    return IR::is_equal(wq_IR_Name, id) ? this : nullptr;
}

char const *SystemException::wq_ir_name() const { return wq_IR_Name; }

SystemException *SystemException::_downcast(Exception *e)
{
    return e ? static_cast<SystemException *>(e->wq_find_ptr(wq_IR_Name)) : nullptr;
}

void SystemException::print_to(String_var &out) const
{
    char const *status = static_cast<uint32_t>(completed_) <= 2 ? wq_completed_status_text[completed_]
                                                                  : "No";
    std::string text = "Ulvenor exception:\n     exception name = ";
    text += wq_ir_name();
    text += "\n     minor          = " + std::to_string(minor_) + "\n     completed      = ";
    text += status;
    text += "\n";
    char const *shown = param_ ? param_ : "(null)";
    wq_ExceptionsTranslator *tr = wq_the_translator;
    if (tr) {
        char const *msg = tr->wq_lookup(minor_);
        if (msg && *msg) {
            text += "     message:\n          ";
            if (std::strstr(msg, "%s")) {
                text += substitute(msg, shown);
                text += "\n";
            } else if (param_) {
                text += msg;
                text += "          (";
                text += param_;
                text += ")\n";
            } else {
                text += msg;
                text += "\n";
            }
        } else {
            text += "    [exception message not found for minor code = " + std::to_string(minor_) +
                    ", param = " + shown + "]\n";
        }
    } else if (param_) {
        text += "     param          = '";
        text += param_;
        text += "'\n";
    } else {
        text += "    [WARNING: No exception message translator found]\n";
    }
    out = string_dup(text.c_str());
}

// ---- UserException ----------------------------------------------------------

Exception *UserException::wq_find_ptr(char const *id)
{
    return IR::is_equal(wq_IR_Name, id) ? this : nullptr;
}

char const *UserException::wq_ir_name() const { return wq_IR_Name; }

UserException *UserException::_downcast(Exception *e)
{
    return e ? static_cast<UserException *>(e->wq_find_ptr(wq_IR_Name)) : nullptr;
}

// ---- the standard system exceptions ---------------------------------------------

#define WQ_SYSTEM_EXCEPTION_IMPL(NAME)                                                       \
    char const *NAME::wq_IR_Name = "IDL:omg.org/CORBA/" #NAME ":1.0";                        \
    void NAME::_raise() const                                                                \
    {                                                                                        \
        _wq_protect();                                                                       \
        throw NAME(*this);                                                                   \
    }                                                                                        \
    Exception *NAME::wq_find_ptr(char const *id)                                             \
    {                                                                                        \
        if (IR::is_equal(wq_IR_Name, id))                                                    \
            return this;                                                                     \
        return SystemException::wq_find_ptr(id);                                             \
    }                                                                                        \
    char const *NAME::wq_ir_name() const { return wq_IR_Name; }                              \
    Exception *NAME::wq_duplicate() const { return new NAME(*this); }                        \
    Exception *NAME::wq_read(Stream &s)                                                      \
    {                                                                                        \
        NAME *e = new NAME(0, COMPLETED_MAYBE, nullptr);                                     \
        e->wq_init(s);                                                                       \
        return e;                                                                            \
    }                                                                                        \
    NAME *NAME::_downcast(Exception *e)                                                      \
    {                                                                                        \
        return e ? static_cast<NAME *>(e->wq_find_ptr(wq_IR_Name)) : nullptr;                \
    }

WQ_SYSTEM_EXCEPTION_IMPL(UNKNOWN)
WQ_SYSTEM_EXCEPTION_IMPL(BAD_PARAM)
WQ_SYSTEM_EXCEPTION_IMPL(NO_MEMORY)
WQ_SYSTEM_EXCEPTION_IMPL(IMP_LIMIT)
WQ_SYSTEM_EXCEPTION_IMPL(COMM_FAILURE)
WQ_SYSTEM_EXCEPTION_IMPL(INV_OBJREF)
WQ_SYSTEM_EXCEPTION_IMPL(NO_PERMISSION)
WQ_SYSTEM_EXCEPTION_IMPL(INTERNAL)
WQ_SYSTEM_EXCEPTION_IMPL(MARSHAL)
WQ_SYSTEM_EXCEPTION_IMPL(INITIALIZE)
WQ_SYSTEM_EXCEPTION_IMPL(NO_IMPLEMENT)
WQ_SYSTEM_EXCEPTION_IMPL(BAD_OPERATION)
WQ_SYSTEM_EXCEPTION_IMPL(NO_RESOURCES)
WQ_SYSTEM_EXCEPTION_IMPL(BAD_INV_ORDER)
WQ_SYSTEM_EXCEPTION_IMPL(TRANSIENT)
WQ_SYSTEM_EXCEPTION_IMPL(INV_IDENT)
WQ_SYSTEM_EXCEPTION_IMPL(INV_FLAG)
WQ_SYSTEM_EXCEPTION_IMPL(INTF_REPOS)
WQ_SYSTEM_EXCEPTION_IMPL(BAD_CONTEXT)
WQ_SYSTEM_EXCEPTION_IMPL(OBJ_ADAPTER)
WQ_SYSTEM_EXCEPTION_IMPL(DATA_CONVERSION)
WQ_SYSTEM_EXCEPTION_IMPL(OBJECT_NOT_EXIST)
WQ_SYSTEM_EXCEPTION_IMPL(INV_POLICY)

#undef WQ_SYSTEM_EXCEPTION_IMPL

// ---- repository ids -----------------------------------------------------------

bool IR::is_equal(char const *a, char const *b)
{
    if (a == b)
        return true;
    if (!a || !b)
        return false;
    // The format prefix is not compared, but an id shorter than it is only
    // equal to an identical id.
    std::size_t i = 0;
    for (; i < 4; ++i)
        if (!a[i] || !b[i])
            return std::strcmp(a, b) == 0;
    bool in_version = false;
    for (;; ++i) {
        char ca = a[i], cb = b[i];
        if (ca != cb)
            return false;
        if (ca == '\0')
            return true; // the same id throughout
        if (!in_version) {
            if (ca == ':')
                in_version = true;
        } else if (ca == '.') {
            return true; // name and major version match
        }
    }
}

} // namespace CORBA

// ---- reporting --------------------------------------------------------------------

void wq_report_lost_exception(CORBA::Exception *e)
{
    std::string text = "Ulvenor warning: an environment holding an exception was destructed:\n";
    if (CORBA::SystemException *se = CORBA::SystemException::_downcast(e)) {
        CORBA::String_var s;
        se->print_to(s);
        text += "  ";
        text += s.in() ? s.in() : "";
        text += "\n";
    } else {
        text += "  unknown user exception\n";
    }
    wq_err.write(text.data(), text.size());
}

// ---- exception readers ------------------------------------------------------------

namespace {

struct ReaderNode {
    char *id;
    CORBA::wq_ExceptionReader reader;
    ReaderNode *next;
};

ReaderNode *g_readers = nullptr;
constinit wq_RWMutex g_readers_lock;

} // namespace

void wq_Exception_List::add(char const *id, CORBA::wq_ExceptionReader reader)
{
    if (!id)
        return;
    auto *n = new ReaderNode{CORBA::string_dup(id), reader, nullptr};
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(g_readers_lock, tenv);
    n->next = g_readers;
    g_readers = n;
}

void wq_Exception_List::remove(char const *id)
{
    if (!id)
        return;
    ReaderNode *gone = nullptr;
    {
        wq_ThreadEnvironment tenv;
        wq_WriteLock g(g_readers_lock, tenv);
        for (ReaderNode **pp = &g_readers; *pp; pp = &(*pp)->next) {
            if (std::strcmp((*pp)->id, id) == 0) {
                gone = *pp;
                *pp = gone->next;
                break;
            }
        }
    }
    if (gone) {
        CORBA::string_free(gone->id);
        delete gone;
    }
}

CORBA::wq_ExceptionReader wq_Exception_List::find(char const *id)
{
    if (!id)
        return nullptr;
    wq_ThreadEnvironment tenv;
    wq_ReadLock g(g_readers_lock, tenv);
    for (ReaderNode *n = g_readers; n; n = n->next)
        if (std::strcmp(n->id, id) == 0)
            return n->reader;
    return nullptr;
}

void wq_Stub::reg(char const *id, CORBA::wq_ExceptionReader reader, bool)
{
    wq_Exception_List::add(id, reader);
}

void wq_Stub::regu(char const *id, bool) { wq_Exception_List::remove(id); }

namespace {

struct SysExcRow {
    char const *const *id;
    CORBA::wq_ExceptionReader reader;
};

#define ROW(NAME) {&CORBA::NAME::wq_IR_Name, &CORBA::NAME::wq_read}
const SysExcRow k_sys_exc_rows[] = {
    ROW(UNKNOWN),       ROW(BAD_PARAM),     ROW(NO_MEMORY),        ROW(IMP_LIMIT),
    ROW(COMM_FAILURE),  ROW(INV_OBJREF),    ROW(NO_PERMISSION),    ROW(INTERNAL),
    ROW(MARSHAL),       ROW(INITIALIZE),    ROW(NO_IMPLEMENT),     ROW(BAD_OPERATION),
    ROW(NO_RESOURCES),  ROW(BAD_INV_ORDER), ROW(TRANSIENT),        ROW(INV_IDENT),
    ROW(INV_FLAG),      ROW(INTF_REPOS),    ROW(BAD_CONTEXT),      ROW(OBJ_ADAPTER),
    ROW(DATA_CONVERSION), ROW(OBJECT_NOT_EXIST), ROW(INV_POLICY),
};
#undef ROW

} // namespace

wq_sys_exc_stub::wq_sys_exc_stub()
{
    for (const SysExcRow &r : k_sys_exc_rows)
        reg(*r.id, r.reader, false);
}

wq_sys_exc_stub::~wq_sys_exc_stub()
{
    for (const SysExcRow &r : k_sys_exc_rows)
        regu(*r.id, false);
}

wq_sys_exc_stub _wq_sys_exc_stub;

// ---- stream errors ----------------------------------------------------------------

void wq_StreamUtil::raise_general_error(char const *text, const CORBA::EnvironmentWrapper &env)
{
    env.exception(new CORBA::MARSHAL(WQ_MINOR_STREAM_FAILED, CORBA::COMPLETED_MAYBE, text));
}
