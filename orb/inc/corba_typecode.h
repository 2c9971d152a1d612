// TypeCodes: run-time descriptions of IDL types, their CDR encoding (with
// indirections for recursive types), structural equivalence and the copying
// of one value of a described type from one stream to another.
#pragma once

#include <cstdint>

#include "corba_env.h"
#include "corba_except.h"

namespace CORBA {

class Any;
class Stream;

enum TCKind : uint32_t {
    tk_null = 0,
    tk_void = 1,
    tk_short = 2,
    tk_long = 3,
    tk_ushort = 4,
    tk_ulong = 5,
    tk_float = 6,
    tk_double = 7,
    tk_boolean = 8,
    tk_char = 9,
    tk_octet = 10,
    tk_any = 11,
    tk_TypeCode = 12,
    tk_Principal = 13,
    tk_objref = 14,
    tk_struct = 15,
    tk_union = 16,
    tk_enum = 17,
    tk_string = 18,
    tk_sequence = 19,
    tk_array = 20,
    tk_alias = 21,
    tk_except = 22,
    tk_longlong = 23,
    tk_ulonglong = 24,
    tk_longdouble = 25,
    tk_wchar = 26,
    tk_wstring = 27,
    tk_fixed = 28,
};

class TypeCode {
public:
    // Accessor not valid for the kind.
    class BadKind : public wq_UserExceptionT<BadKind> {
    public:
        static char const *wq_IR_Name;
    };
    // Member index out of range.
    class Bounds : public wq_UserExceptionT<Bounds> {
    public:
        static char const *wq_IR_Name;
    };

    // Recursion record of the CDR reader and writer, on the caller's stack.
    // Positions are stream offsets counted from the start of the outermost
    // stream, so that they compare across nested encapsulations.
    struct State {
        State *outer;
        const TypeCode *tc;
        uint64_t position; // just behind tc's kind word
        uint64_t origin;   // where tc's encapsulation contents begin
    };

    struct Member {
        int label;
        char *name;
        TypeCode *type;
    };

    // Empty kinds.
    TypeCode(TCKind kind, bool is_static);
    // string, wstring (bound) and fixed (digits << 16 | scale).
    TypeCode(TCKind kind, unsigned int length, bool is_static);
    // objref.
    TypeCode(TCKind kind, char const *id, char const *name, bool is_static);
    // alias.
    TypeCode(TCKind kind, char const *id, char const *name, TypeCode *content, bool is_static);
    // enum.
    TypeCode(TCKind kind, char const *id, char const *name, unsigned int count,
             char const **names, bool is_static);
    // struct, except.
    TypeCode(TCKind kind, char const *id, char const *name, unsigned int count,
             char const **names, TypeCode **types, bool is_static);
    // union.
    TypeCode(TCKind kind, char const *id, char const *name, TypeCode *discriminator,
             int default_index, unsigned int count, int const *labels, char const **names,
             TypeCode **types, bool is_static);
    // sequence, array.
    TypeCode(TCKind kind, unsigned int length, TypeCode *content, bool is_static);
    // General form.
    TypeCode(TCKind kind, char const *id, char const *name, TypeCode *discriminator,
             int default_index, unsigned int count, int const *labels, char const **names,
             TypeCode **types, TypeCode *content, bool is_static);
    // First phase of a recursive type: kind, id and parent only.
    TypeCode(TCKind kind, char const *id, TypeCode *parent);
    // Second phase: member and content pointers are stored as given (children
    // already parented to this record, or back-references).
    void init(char const *name, unsigned int count, char const **names, TypeCode **types);
    void init(char const *name, TypeCode *discriminator, int default_index, unsigned int count,
              int const *labels, char const **names, TypeCode **types);
    void init(unsigned int length, TypeCode *content);

    // A top-level deep copy.
    TypeCode(const TypeCode &other);
    TypeCode &operator=(const TypeCode &) = delete;
    ~TypeCode();

    // The first TypeCode from tc up its parent chain whose id equals id.
    static TypeCode *lookup(TypeCode *tc, char const *id);

    TypeCode *deep_copy(TypeCode *new_parent) const;
    TypeCode *get_compact_typecode(const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    bool equivalent(TypeCode *other, const EnvironmentWrapper &env = EnvironmentWrapper()) const;

    TCKind kind(const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    char const *id(const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    char const *name(const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    unsigned int member_count(const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    char const *member_name(unsigned int i, const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    TypeCode *member_type(unsigned int i, const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    Any *member_label(unsigned int i, const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    TypeCode *discriminator_type(const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    int default_index(const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    unsigned int length(const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    TypeCode *content_type(const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    unsigned short fixed_digits(const EnvironmentWrapper &env = EnvironmentWrapper()) const;
    short fixed_scale(const EnvironmentWrapper &env = EnvironmentWrapper()) const;

    bool wq_is_static() const { return static_; }
    TypeCode *wq_parent() const { return parent_; }

    // CDR. Errors go into the stream's environment.
    void tc_write(Stream &s, State *state) const;
    static TypeCode *tc_read(Stream &s, State *state);

    // Copies one value of this type from the input stream to the output
    // stream (a_is_output: a is the output); `last` receives the value of
    // the latest discriminator copied.
    void marshal(Stream &a, Stream &b, bool a_is_output, int &last) const;

    // Deepest nesting of TypeCodes that the reader accepts, and of values
    // that the value copy follows.
    static constexpr unsigned kMaxDepth = 64;

    // Kinds a union can switch on (their labels have a CDR form).
    static bool valid_discriminator(TCKind k);

private:
    struct CopyMap;
    TypeCode();
    void create(bool is_static, TCKind kind, char const *id, char const *name,
                TypeCode *discriminator, int default_index, unsigned int length,
                int const *labels, char const **member_names, TypeCode **member_types,
                TypeCode *content, TypeCode *parent);
    bool owns(const TypeCode *child) const
    {
        return child && !child->static_ && child->parent_ == this;
    }
    TypeCode *copy_into(TypeCode *new_parent, const CopyMap *map) const;
    TypeCode *copy_child(const TypeCode *child, TypeCode *copy, const CopyMap *map) const;
    void prune();
    struct EqSeen;
    static bool are_equal(const TypeCode *a, const TypeCode *b, const TypeCode *ac,
                          const TypeCode *bc, EqSeen *seen);
    static TypeCode *read_impl(Stream &s, State *state, unsigned depth);
    bool read_params(Stream &enc, State *me, unsigned depth);
    void write_params(Stream &enc, State *me) const;
    void marshal_impl(Stream &in, Stream &out, int &last, unsigned depth) const;
    uint64_t min_wire_size(unsigned depth) const;

    friend class Any;

    TypeCode *parent_ = nullptr;
    bool static_ = false;
    TCKind kind_ = tk_null;
    char *id_ = nullptr;
    char *name_ = nullptr;
    TypeCode *discriminator_ = nullptr;
    int default_index_ = -1;
    unsigned int length_ = 0;
    Member *members_ = nullptr;
    TypeCode *content_ = nullptr;
};

typedef TypeCode *TypeCode_ptr;

// Nothing for null or a static TypeCode; otherwise destroys and frees it.
void release(TypeCode const *tc);

// Shared singletons of the basic kinds (the argument is not used).
TypeCode *wq_tc_null(TypeCode * = nullptr);
TypeCode *wq_tc_void(TypeCode * = nullptr);
TypeCode *wq_tc_short(TypeCode * = nullptr);
TypeCode *wq_tc_long(TypeCode * = nullptr);
TypeCode *wq_tc_ushort(TypeCode * = nullptr);
TypeCode *wq_tc_ulong(TypeCode * = nullptr);
TypeCode *wq_tc_float(TypeCode * = nullptr);
TypeCode *wq_tc_double(TypeCode * = nullptr);
TypeCode *wq_tc_boolean(TypeCode * = nullptr);
TypeCode *wq_tc_char(TypeCode * = nullptr);
TypeCode *wq_tc_octet(TypeCode * = nullptr);
TypeCode *wq_tc_any(TypeCode * = nullptr);
TypeCode *wq_tc_TypeCode(TypeCode * = nullptr);
TypeCode *wq_tc_Principal(TypeCode * = nullptr);
TypeCode *wq_tc_object(TypeCode * = nullptr);
TypeCode *wq_tc_string(TypeCode * = nullptr);
TypeCode *wq_tc_longlong(TypeCode * = nullptr);
TypeCode *wq_tc_ulonglong(TypeCode * = nullptr);
TypeCode *wq_tc_wchar(TypeCode * = nullptr);
TypeCode *wq_tc_wstring(TypeCode * = nullptr);
TypeCode *wq_tc_fixed(TypeCode * = nullptr);

} // namespace CORBA
