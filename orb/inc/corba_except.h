// Broker exceptions: the root, system and user bases, the 23 standard system
// exceptions, repository-id comparison, the minor-code message translator and
// the list of exception readers by repository id.
//
// Functions that touch the CDR stream (CORBA::Stream) are declared here and
// defined on top of the stream in corba_except_cdr.cpp:
//   CORBA::SystemException::wq_write(CORBA::Stream&) const
//       minor (ulong), completed (ulong), then the param as a CDR string (""
//       when none) while wq_system_exception_private_data() is set;
//   CORBA::SystemException::wq_init(CORBA::Stream&)
//       minor, completed; the param only when the minor lies in the
//       broker's range (wq_is_own_minor) and the body goes on (a writer with
//       the flag cleared, or a standard ORB, ends the body there);
//   operator<<(CORBA::Stream&, CORBA::Exception&)
//       repository id (wq_ir_name()) as a CDR string, then wq_write;
//   operator>>(CORBA::Stream&, CORBA::Exception*&)
//       reads the id, calls the reader wq_Exception_List::find() returns, or
//       makes UNKNOWN 0x51570003 COMPLETED_MAYBE with the id as its text.
// wq_StreamUtil (declared with the stream in corba_stream.h):
// raise_general_error is defined in corba_except.cpp (MARSHAL minor
// 0x51570101 "Read/Write to stream failed.", COMPLETED_MAYBE, the given text);
// size_written_since and write_ulong_at belong to the stream's own sources.
#pragma once

#include "corba_env.h"
#include "corba_string.h"
#include "wq_minor.h"

#include <cstddef>
#include <cstdint>

namespace CORBA {

class Stream;

namespace IR {
// Compares two repository ids by name and major version (the four-character
// format prefix and the minor version are not compared).
bool is_equal(char const *a, char const *b);
} // namespace IR

enum completion_status : uint32_t { COMPLETED_YES = 0, COMPLETED_NO = 1, COMPLETED_MAYBE = 2 };
typedef completion_status CompletionStatus;

class Exception {
public:
    // Allocates and records the address as the thread's latest exception
    // allocation (wq_new_exc_key); the constructor turns that into the mark.
    static void *operator new(std::size_t size);
    static void operator delete(void *p);

    virtual ~Exception();
    // Throws a copy of this object (most-derived class).
    virtual void _raise() const = 0;
    // This object when it is of the class whose repository id is given.
    virtual Exception *wq_find_ptr(char const *id) = 0;
    // Writes the members (the base writes nothing).
    virtual void wq_write(Stream &s) const;
    virtual char const *wq_ir_name() const;
    // A heap copy (made with Exception::operator new, so heap-marked).
    virtual Exception *wq_duplicate() const = 0;

    // Raises into the wrapper's environment without throwing: a heap object
    // itself, any other object as its duplicate.
    void _raise(const EnvironmentWrapper &env) const;
    // First step of every _raise(): parks a heap object under
    // wq_last_throw_key, deleting the one parked before.
    void _wq_protect() const;
    bool wq_heap_marked() const { return heap_; }

    static char const *wq_IR_Name;

protected:
    Exception();
    Exception(const Exception &);
    Exception &operator=(const Exception &) { return *this; }

private:
    bool heap_;
};

// The text of UNKNOWN minor 4 for a thrown object that is neither a CORBA
// exception nor a std::exception.
extern char const *const WQ_CPP_Native_Text;

// The mapping's free forms: release deletes the exception; both do nothing
// for null.
inline void release(const Exception *e) { delete e; }
inline bool is_nil(const Exception *e) { return e == nullptr; }

class SystemException : public Exception {
public:
    using Exception::_raise;
    SystemException(unsigned int minor, completion_status completed, char const *text);
    SystemException(const SystemException &o);
    SystemException &operator=(const SystemException &o);
    ~SystemException() override;

    Exception *wq_find_ptr(char const *id) override;
    void wq_write(Stream &s) const override;
    char const *wq_ir_name() const override;
    void wq_init(Stream &s);

    unsigned int minor() const { return minor_; }
    void minor(unsigned int m) { minor_ = m; }
    completion_status completed() const { return completed_; }
    void completed(completion_status c) { completed_ = c; }
    char const *param() const { return param_; }
    // Replaces the text with a copy of a non-empty text; null or "" do nothing.
    void param(char const *text);

    // The text form (head and message body) into `out`.
    void print_to(String_var &out) const;

    static SystemException *_downcast(Exception *e);

    static char const *wq_IR_Name;

private:
    unsigned int minor_;
    completion_status completed_;
    char *param_;
};

class UserException : public Exception {
public:
    using Exception::_raise;
    Exception *wq_find_ptr(char const *id) override;
    char const *wq_ir_name() const override;
    static UserException *_downcast(Exception *e);
    static char const *wq_IR_Name;

protected:
    UserException() = default;
    UserException(const UserException &) = default;
};

// The operations every user exception without members has alike; `Derived`
// supplies its repository id as `wq_IR_Name`.
template <class Derived> class wq_UserExceptionT : public UserException {
public:
    using Exception::_raise;
    void _raise() const override
    {
        _wq_protect();
        throw Derived(static_cast<const Derived &>(*this));
    }
    Exception *wq_find_ptr(char const *id) override
    {
        if (IR::is_equal(Derived::wq_IR_Name, id))
            return this;
        return UserException::wq_find_ptr(id);
    }
    char const *wq_ir_name() const override { return Derived::wq_IR_Name; }
    Exception *wq_duplicate() const override
    {
        return new Derived(static_cast<const Derived &>(*this));
    }
};

typedef Exception *(*wq_ExceptionReader)(Stream &s);

#define WQ_SYSTEM_EXCEPTION(NAME, OFS)                                                       \
    class NAME : public SystemException {                                                    \
    public:                                                                                  \
        static constexpr uint32_t wq_class_offset = OFS;                                     \
        NAME(unsigned char minor = 0, completion_status completed = COMPLETED_NO,            \
             char const *text = nullptr)                                                     \
            : SystemException(WQ_MINOR_BASE | OFS | minor, completed, text)                  \
        {                                                                                    \
        }                                                                                    \
        NAME(const NAME &o) = default;                                                       \
        NAME &operator=(const NAME &o) = default;                                            \
        using Exception::_raise;                                                             \
        void _raise() const override;                                                        \
        Exception *wq_find_ptr(char const *id) override;                                     \
        char const *wq_ir_name() const override;                                             \
        Exception *wq_duplicate() const override;                                            \
        static Exception *wq_read(Stream &s);                                                \
        static NAME *_downcast(Exception *e);                                                \
        static char const *wq_IR_Name;                                                       \
    };

WQ_SYSTEM_EXCEPTION(UNKNOWN, WQ_OFS_UNKNOWN)
WQ_SYSTEM_EXCEPTION(BAD_PARAM, WQ_OFS_BAD_PARAM)
WQ_SYSTEM_EXCEPTION(NO_MEMORY, WQ_OFS_NO_MEMORY)
WQ_SYSTEM_EXCEPTION(IMP_LIMIT, WQ_OFS_IMP_LIMIT)
WQ_SYSTEM_EXCEPTION(COMM_FAILURE, WQ_OFS_COMM_FAILURE)
WQ_SYSTEM_EXCEPTION(INV_OBJREF, WQ_OFS_INV_OBJREF)
WQ_SYSTEM_EXCEPTION(NO_PERMISSION, WQ_OFS_NO_PERMISSION)
WQ_SYSTEM_EXCEPTION(INTERNAL, WQ_OFS_INTERNAL)
WQ_SYSTEM_EXCEPTION(MARSHAL, WQ_OFS_MARSHAL)
WQ_SYSTEM_EXCEPTION(INITIALIZE, WQ_OFS_INITIALIZE)
WQ_SYSTEM_EXCEPTION(NO_IMPLEMENT, WQ_OFS_NO_IMPLEMENT)
WQ_SYSTEM_EXCEPTION(BAD_OPERATION, WQ_OFS_BAD_OPERATION)
WQ_SYSTEM_EXCEPTION(NO_RESOURCES, WQ_OFS_NO_RESOURCES)
WQ_SYSTEM_EXCEPTION(BAD_INV_ORDER, WQ_OFS_BAD_INV_ORDER)
WQ_SYSTEM_EXCEPTION(TRANSIENT, WQ_OFS_TRANSIENT)
WQ_SYSTEM_EXCEPTION(INV_IDENT, WQ_OFS_INV_IDENT)
WQ_SYSTEM_EXCEPTION(INV_FLAG, WQ_OFS_INV_FLAG)
WQ_SYSTEM_EXCEPTION(INTF_REPOS, WQ_OFS_INTF_REPOS)
WQ_SYSTEM_EXCEPTION(BAD_CONTEXT, WQ_OFS_BAD_CONTEXT)
WQ_SYSTEM_EXCEPTION(OBJ_ADAPTER, WQ_OFS_OBJ_ADAPTER)
WQ_SYSTEM_EXCEPTION(DATA_CONVERSION, WQ_OFS_DATA_CONVERSION)
WQ_SYSTEM_EXCEPTION(OBJECT_NOT_EXIST, WQ_OFS_OBJECT_NOT_EXIST)
WQ_SYSTEM_EXCEPTION(INV_POLICY, WQ_OFS_INV_POLICY)

#undef WQ_SYSTEM_EXCEPTION

} // namespace CORBA

// Writes the warning for an exception that is dropped without being thrown
// (an environment ending while it holds one), with the exception's text.
void wq_report_lost_exception(CORBA::Exception *e);

// The three completion texts "Yes", "No", "Maybe".
extern char const *const wq_completed_status_text[3];

// Whether system exceptions carry their param text on the wire (the ORB's
// -ORBsepd option), default 1.
bool wq_system_exception_private_data();
void wq_set_system_exception_private_data(bool on);

// Minor-code message table: 56 rows and a zero row.
struct wq_MinorRow {
    uint32_t code;
    char const *text;
};
extern const wq_MinorRow wq_minor_table[];

class wq_ExceptionsTranslator {
public:
    // Installs the new object as wq_the_translator (the earlier one is not
    // deleted); the destructor does not uninstall.
    wq_ExceptionsTranslator();
    virtual char const *wq_lookup(unsigned int minor) = 0;
    virtual ~wq_ExceptionsTranslator();
    wq_ExceptionsTranslator(const wq_ExceptionsTranslator &) = delete;
    wq_ExceptionsTranslator &operator=(const wq_ExceptionsTranslator &) = delete;
};

extern wq_ExceptionsTranslator *wq_the_translator;

class wq_TranslatorUSEnglishSmall : public wq_ExceptionsTranslator {
public:
    char const *wq_lookup(unsigned int minor) override;
};

struct wq_Errors {
    // Installs the English translator on the first call; true every time.
    static bool _initialize_english();
};

// Exception readers by repository id (exact comparison), newest first.
class wq_Exception_List {
public:
    static void add(char const *id, CORBA::wq_ExceptionReader reader);
    // Removes the first entry with exactly this id; none, no effect.
    static void remove(char const *id);
    static CORBA::wq_ExceptionReader find(char const *id);
};

CORBA::Stream &operator<<(CORBA::Stream &s, CORBA::Exception &e);
CORBA::Stream &operator>>(CORBA::Stream &s, CORBA::Exception *&e);
