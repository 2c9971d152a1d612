// TypeCodes: construction, ownership, copies, compaction, equivalence and
// accessors.
#include "corba_typecode.h"

#include "corba_any.h"
#include "corba_string.h"

#include <cstring>
#include <set>
#include <tuple>
#include <vector>

namespace CORBA {

// ---- exceptions --------------------------------------------------------------

char const *TypeCode::BadKind::wq_IR_Name = "IDL:omg.org/CORBA/TypeCode/BadKind:1.0";
char const *TypeCode::Bounds::wq_IR_Name = "IDL:omg.org/CORBA/TypeCode/Bounds:1.0";

namespace {

enum Class { EMPTY, SIMPLE, COMPLEX };

// Parameter-list class of each kind; kinds above 28 count as complex.
const unsigned char which[29] = {
    EMPTY,   EMPTY,   EMPTY,  EMPTY,   EMPTY,  EMPTY,   EMPTY,   EMPTY,   EMPTY,  EMPTY,
    EMPTY,   EMPTY,   EMPTY,  EMPTY,   COMPLEX, COMPLEX, COMPLEX, COMPLEX, SIMPLE, COMPLEX,
    COMPLEX, COMPLEX, COMPLEX, EMPTY,  EMPTY,  COMPLEX, EMPTY,   SIMPLE,  SIMPLE,
};

Class class_of(TCKind k)
{
    return k < 29 ? static_cast<Class>(which[k]) : COMPLEX;
}

void raise_bad_kind(const EnvironmentWrapper &env)
{
    env.exception(new TypeCode::BadKind());
}

void raise_bounds(const EnvironmentWrapper &env)
{
    env.exception(new TypeCode::Bounds());
}

[[noreturn]] void refuse(char const *why)
{
    throw BAD_PARAM(0, COMPLETED_NO, why);
}

// A union label as the wire carries it for the discriminator's kind (and as
// the reader and the value copy see it): a char label given as a negative
// char, or a short label beyond 16 bits, would otherwise never match the
// value read back.
int wire_label(TCKind dk, int label)
{
    switch (dk) {
    case tk_short:
        return static_cast<int16_t>(static_cast<uint16_t>(label));
    case tk_ushort:
        return static_cast<uint16_t>(label);
    case tk_boolean:
        return label != 0 ? 1 : 0;
    case tk_char:
    case tk_octet:
        return static_cast<unsigned char>(label);
    default:
        return label;
    }
}

} // namespace

// ---- construction ------------------------------------------------------------

TypeCode::TypeCode() = default;

void TypeCode::create(bool is_static, TCKind kind, char const *id, char const *name,
                      TypeCode *discriminator, int default_index, unsigned int length,
                      int const *labels, char const **member_names, TypeCode **member_types,
                      TypeCode *content, TypeCode *parent)
{
    // Whatever is given is recorded as far as it goes: a missing child stays
    // null. The encoder, the value copy and the accessors raise where such a
    // record cannot serve (a missing type, a discriminator without labels, a
    // default index out of range).
    kind_ = kind;
    static_ = is_static;
    parent_ = parent;
    id_ = name_ = nullptr;
    discriminator_ = content_ = nullptr;
    members_ = nullptr;
    length_ = 0;
    default_index_ = -1;

    auto keep = [&](char const *s) -> char * {
        return is_static ? const_cast<char *>(s) : string_dup(s);
    };

    switch (kind) {
    case tk_string:
    case tk_wstring:
    case tk_fixed:
        length_ = length;
        return;
    case tk_struct:
    case tk_union:
    case tk_enum:
    case tk_except:
        if (!(kind == tk_except && !id)) {
            id_ = keep(id);
            name_ = keep(name);
        }
        length_ = length;
        if (kind == tk_union) {
            default_index_ = default_index;
            if (!discriminator)
                return; // no labels can be kept: no members
            discriminator_ = discriminator->deep_copy(this);
        }
        if (length == 0)
            return;
        members_ = new Member[length]();
        for (unsigned i = 0; i < length; ++i) {
            members_[i].name = keep(member_names ? member_names[i] : nullptr);
            if (kind != tk_enum && member_types && member_types[i])
                members_[i].type = member_types[i]->deep_copy(this);
            if (kind == tk_union && labels)
                members_[i].label = wire_label(discriminator_->kind_, labels[i]);
        }
        return;
    case tk_sequence:
    case tk_array:
        if (!content || (kind == tk_array && length == 0))
            return;
        content_ = content->deep_copy(this);
        length_ = length;
        return;
    case tk_objref:
    case tk_alias:
        if (id) {
            id_ = keep(id);
            name_ = keep(name);
        }
        if (kind == tk_alias && content)
            content_ = content->deep_copy(this);
        return;
    default:
        return;
    }
}

TypeCode::TypeCode(TCKind kind, bool is_static)
{
    create(is_static, kind, nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr, nullptr, nullptr,
           nullptr);
}

TypeCode::TypeCode(TCKind kind, unsigned int length, bool is_static)
{
    create(is_static, kind, nullptr, nullptr, nullptr, -1, length, nullptr, nullptr, nullptr,
           nullptr, nullptr);
}

TypeCode::TypeCode(TCKind kind, char const *id, char const *name, bool is_static)
{
    create(is_static, kind, id, name, nullptr, -1, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
}

TypeCode::TypeCode(TCKind kind, char const *id, char const *name, TypeCode *content, bool is_static)
{
    create(is_static, kind, id, name, nullptr, -1, 0, nullptr, nullptr, nullptr, content, nullptr);
}

TypeCode::TypeCode(TCKind kind, char const *id, char const *name, unsigned int count,
                   char const **names, bool is_static)
{
    create(is_static, kind, id, name, nullptr, -1, count, nullptr, names, nullptr, nullptr, nullptr);
}

TypeCode::TypeCode(TCKind kind, char const *id, char const *name, unsigned int count,
                   char const **names, TypeCode **types, bool is_static)
{
    create(is_static, kind, id, name, nullptr, -1, count, nullptr, names, types, nullptr, nullptr);
}

TypeCode::TypeCode(TCKind kind, char const *id, char const *name, TypeCode *discriminator,
                   int default_index, unsigned int count, int const *labels, char const **names,
                   TypeCode **types, bool is_static)
{
    create(is_static, kind, id, name, discriminator, default_index, count, labels, names, types,
           nullptr, nullptr);
}

TypeCode::TypeCode(TCKind kind, unsigned int length, TypeCode *content, bool is_static)
{
    create(is_static, kind, nullptr, nullptr, nullptr, -1, length, nullptr, nullptr, nullptr,
           content, nullptr);
}

TypeCode::TypeCode(TCKind kind, char const *id, char const *name, TypeCode *discriminator,
                   int default_index, unsigned int count, int const *labels, char const **names,
                   TypeCode **types, TypeCode *content, bool is_static)
{
    create(is_static, kind, id, name, discriminator, default_index, count, labels, names, types,
           content, nullptr);
}

TypeCode::TypeCode(TCKind kind, char const *id, TypeCode *parent)
    : parent_(parent), kind_(kind), id_(string_dup(id)), default_index_(0)
{
}

void TypeCode::init(char const *name, unsigned int count, char const **names, TypeCode **types)
{
    string_free(name_);
    name_ = string_dup(name);
    length_ = count;
    if (count) {
        members_ = new Member[count]();
        for (unsigned i = 0; i < count; ++i) {
            members_[i].name = string_dup(names ? names[i] : nullptr);
            members_[i].type = types ? types[i] : nullptr;
        }
    }
}

void TypeCode::init(char const *name, TypeCode *discriminator, int default_index,
                    unsigned int count, int const *labels, char const **names, TypeCode **types)
{
    // The member types are the caller's, already parented here: they are
    // kept even without a discriminator, so that this record frees them.
    init(name, count, names, types);
    discriminator_ = discriminator ? discriminator->deep_copy(this) : nullptr;
    default_index_ = default_index;
    for (unsigned i = 0; i < count && labels; ++i)
        members_[i].label = discriminator_ ? wire_label(discriminator_->kind_, labels[i]) : labels[i];
}

void TypeCode::init(unsigned int length, TypeCode *content)
{
    length_ = length;
    content_ = content;
}

TypeCode *TypeCode::lookup(TypeCode *tc, char const *id)
{
    for (; tc; tc = tc->parent_)
        if (tc->id_ && id && std::strcmp(tc->id_, id) == 0)
            return tc;
    return nullptr;
}

// ---- copies ------------------------------------------------------------------

// Pairs a source TypeCode with its copy, for the TypeCodes that enclose the
// one being copied: back-references to them map to their copies.
struct TypeCode::CopyMap {
    const TypeCode *src;
    TypeCode *dst;
    const CopyMap *outer;
};

TypeCode *TypeCode::copy_child(const TypeCode *child, TypeCode *copy, const CopyMap *map) const
{
    if (!child)
        return nullptr;
    if (child->static_)
        return const_cast<TypeCode *>(child);
    if (!owns(child)) {
        for (const CopyMap *m = map; m; m = m->outer)
            if (m->src == child)
                return m->dst;
        // A back-reference to a TypeCode outside the part being copied: the
        // copy takes that TypeCode along, so the recursion is kept.
    }
    return child->copy_into(copy, map);
}

TypeCode *TypeCode::copy_into(TypeCode *new_parent, const CopyMap *map) const
{
    if (static_)
        return const_cast<TypeCode *>(this);
    unsigned depth = 0;
    for (const CopyMap *m = map; m; m = m->outer)
        if (++depth > 4 * kMaxDepth)
            refuse("TypeCode nested too deeply");
    TypeCode *c = new TypeCode();
    c->kind_ = kind_;
    c->default_index_ = default_index_;
    c->length_ = length_;
    c->id_ = string_dup(id_);
    c->name_ = string_dup(name_);
    c->parent_ = new_parent;
    CopyMap self{this, c, map};
    c->discriminator_ = copy_child(discriminator_, c, &self);
    if (members_ && length_) {
        c->members_ = new Member[length_]();
        for (unsigned i = 0; i < length_; ++i) {
            c->members_[i].label = members_[i].label;
            c->members_[i].name = string_dup(members_[i].name);
            c->members_[i].type = copy_child(members_[i].type, c, &self);
        }
    }
    c->content_ = copy_child(content_, c, &self);
    return c;
}

TypeCode *TypeCode::deep_copy(TypeCode *new_parent) const
{
    if (static_)
        return const_cast<TypeCode *>(this);
    // The source's ancestors map to the new parent's ancestors at the same
    // height.
    std::vector<CopyMap> chain;
    const TypeCode *s = parent_;
    TypeCode *d = new_parent;
    for (; s && d && chain.size() < 4 * kMaxDepth; s = s->parent_, d = d->parent_)
        chain.push_back(CopyMap{s, d, nullptr});
    for (size_t i = 0; i + 1 < chain.size(); ++i)
        chain[i].outer = &chain[i + 1];
    return copy_into(new_parent, chain.empty() ? nullptr : &chain[0]);
}

TypeCode::TypeCode(const TypeCode &other)
{
    kind_ = other.kind_;
    default_index_ = other.default_index_;
    length_ = other.length_;
    id_ = string_dup(other.id_);
    name_ = string_dup(other.name_);
    CopyMap self{&other, this, nullptr};
    discriminator_ = other.copy_child(other.discriminator_, this, &self);
    if (other.members_ && length_) {
        members_ = new Member[length_]();
        for (unsigned i = 0; i < length_; ++i) {
            members_[i].label = other.members_[i].label;
            members_[i].name = string_dup(other.members_[i].name);
            members_[i].type = other.copy_child(other.members_[i].type, this, &self);
        }
    }
    content_ = other.copy_child(other.content_, this, &self);
}

TypeCode::~TypeCode()
{
    if (static_)
        return;
    string_free(id_);
    string_free(name_);
    if (owns(discriminator_))
        delete discriminator_;
    discriminator_ = nullptr;
    if (owns(content_))
        delete content_;
    content_ = nullptr;
    if (members_) {
        for (unsigned i = 0; i < length_; ++i) {
            string_free(members_[i].name);
            if (owns(members_[i].type))
                delete members_[i].type;
        }
        delete[] members_;
        members_ = nullptr;
    }
}

void release(TypeCode const *tc)
{
    if (tc && !tc->wq_is_static())
        delete tc;
}

// ---- compaction --------------------------------------------------------------

void TypeCode::prune()
{
    for (TypeCode *t = this; t && !t->static_;) {
        if (t->kind_ == tk_alias)
            return;
        string_free(t->name_);
        if (t->owns(t->discriminator_))
            t->discriminator_->prune();
        if (t->members_) {
            for (unsigned i = 0; i < t->length_; ++i) {
                string_free(t->members_[i].name);
                if (t->owns(t->members_[i].type))
                    t->members_[i].type->prune();
            }
        }
        t = t->owns(t->content_) ? t->content_ : nullptr;
    }
}

TypeCode *TypeCode::get_compact_typecode(const EnvironmentWrapper &) const
{
    TypeCode *c = deep_copy(nullptr);
    c->prune();
    return c;
}

// ---- equivalence -------------------------------------------------------------

// The comparisons met so far, each named by its two TypeCodes and the
// contexts they were reached from.
struct TypeCode::EqSeen {
    std::set<std::tuple<const TypeCode *, const TypeCode *, const TypeCode *, const TypeCode *>> met;
};

bool TypeCode::equivalent(TypeCode *other, const EnvironmentWrapper &env) const
{
    if (!other) {
        raise_bad_kind(env);
        return false;
    }
    if (other == this)
        return true;
    EqSeen seen;
    return are_equal(this, other, nullptr, nullptr, &seen);
}

bool TypeCode::are_equal(const TypeCode *a, const TypeCode *b, const TypeCode *ac,
                         const TypeCode *bc, EqSeen *seen)
{
    if (!a || !b)
        return a == b;
    // The outcome depends only on these four pointers, and any difference
    // found ends the whole comparison. So a comparison met before is either
    // still in progress further up (two recursive types that unroll in step
    // without their back-references ever meeting, say a cycle of two levels
    // against one of four: nothing told them apart on the cycle) or already
    // found equal; either way it is taken as equal. This keeps the descent
    // finite and each comparison done once.
    if (!a->static_ && !b->static_ && !seen->met.emplace(a, b, ac, bc).second)
        return true;
    // A back-reference on a's side is followed only while b's side still
    // unrolls; two back-references end the descent.
    bool deep = true;
    if (!a->static_ && !b->static_ && ac && bc && a->parent_ != ac)
        deep = b->parent_ == bc;
    while (a->kind_ != b->kind_) {
        if (a->kind_ == tk_alias && a->content_) {
            ac = a->content_->parent_;
            a = a->content_;
        } else if (b->kind_ == tk_alias && b->content_) {
            bc = b->content_->parent_;
            b = b->content_;
        } else {
            return false;
        }
    }
    auto members_equal = [&]() {
        if (!a->members_ || !b->members_)
            return a->members_ == b->members_;
        for (unsigned i = 0; i < a->length_; ++i)
            if (!are_equal(a->members_[i].type, b->members_[i].type, a, b, seen))
                return false;
        return true;
    };
    switch (a->kind_) {
    case tk_string:
    case tk_wstring:
    case tk_fixed:
        return a->length_ == b->length_;
    case tk_objref:
        return IR::is_equal(a->id_, b->id_);
    case tk_struct:
        if (a->length_ != b->length_)
            return false;
        return !deep || members_equal();
    case tk_union:
        if (a->default_index_ != b->default_index_ || a->length_ != b->length_)
            return false;
        if (!deep)
            return true;
        if (!are_equal(a->discriminator_, b->discriminator_, a, b, seen))
            return false;
        if (a->members_ && b->members_) {
            for (unsigned i = 0; i < a->length_; ++i)
                if (static_cast<int>(i) != a->default_index_ &&
                    a->members_[i].label != b->members_[i].label)
                    return false;
        }
        return true;
    case tk_enum:
        return a->length_ == b->length_;
    case tk_sequence:
    case tk_array:
        if (a->length_ != b->length_)
            return false;
        return !deep || are_equal(a->content_, b->content_, a, b, seen);
    case tk_alias:
        return are_equal(a->content_, b->content_, a, b, seen);
    case tk_except:
        if (!IR::is_equal(a->id_, b->id_) || a->length_ != b->length_)
            return false;
        return !deep || members_equal();
    default:
        return class_of(a->kind_) == EMPTY;
    }
}

// ---- accessors ---------------------------------------------------------------

namespace {

bool has_id(TCKind k)
{
    return k == tk_objref || k == tk_struct || k == tk_union || k == tk_enum || k == tk_alias ||
           k == tk_except;
}

bool has_members(TCKind k)
{
    return k == tk_struct || k == tk_union || k == tk_enum || k == tk_except;
}

} // namespace

TCKind TypeCode::kind(const EnvironmentWrapper &) const
{
    return kind_;
}

char const *TypeCode::id(const EnvironmentWrapper &env) const
{
    if (!has_id(kind_)) {
        raise_bad_kind(env);
        return nullptr;
    }
    return id_;
}

char const *TypeCode::name(const EnvironmentWrapper &env) const
{
    if (!has_id(kind_)) {
        raise_bad_kind(env);
        return nullptr;
    }
    return name_;
}

unsigned int TypeCode::member_count(const EnvironmentWrapper &env) const
{
    if (!has_members(kind_)) {
        raise_bad_kind(env);
        return 0;
    }
    return length_;
}

char const *TypeCode::member_name(unsigned int i, const EnvironmentWrapper &env) const
{
    if (!has_members(kind_) || !members_) {
        raise_bad_kind(env);
        return nullptr;
    }
    if (i >= length_) {
        raise_bounds(env);
        return nullptr;
    }
    return members_[i].name;
}

TypeCode *TypeCode::member_type(unsigned int i, const EnvironmentWrapper &env) const
{
    if ((kind_ != tk_struct && kind_ != tk_union && kind_ != tk_except) || !members_) {
        raise_bad_kind(env);
        return nullptr;
    }
    if (i >= length_) {
        raise_bounds(env);
        return nullptr;
    }
    return members_[i].type ? members_[i].type->deep_copy(nullptr) : nullptr;
}

Any *TypeCode::member_label(unsigned int i, const EnvironmentWrapper &env) const
{
    if (kind_ != tk_union || !members_) {
        raise_bad_kind(env);
        return nullptr;
    }
    if (i >= length_) {
        raise_bounds(env);
        return nullptr;
    }
    Any *a = new Any();
    int label = members_[i].label;
    switch (discriminator_ ? discriminator_->kind_ : tk_null) {
    case tk_short:
        *a <<= static_cast<short>(label);
        break;
    case tk_ushort:
        *a <<= static_cast<unsigned short>(label);
        break;
    case tk_long:
        *a <<= label;
        break;
    case tk_ulong:
        *a <<= static_cast<unsigned int>(label);
        break;
    case tk_boolean:
        *a <<= Any::from_boolean(label != 0);
        break;
    case tk_char:
        *a <<= Any::from_char(static_cast<char>(label));
        break;
    case tk_octet:
        *a <<= Any::from_octet(static_cast<unsigned char>(label));
        break;
    case tk_enum:
        *a <<= static_cast<unsigned int>(label);
        release(a->tc_);
        a->tc_ = discriminator_->deep_copy(nullptr);
        break;
    case tk_longlong:
        *a <<= static_cast<long long>(label);
        break;
    case tk_ulonglong:
        *a <<= static_cast<unsigned long long>(static_cast<long long>(label));
        break;
    default:
        raise_bad_kind(env);
        break;
    }
    return a;
}

TypeCode *TypeCode::discriminator_type(const EnvironmentWrapper &env) const
{
    if (kind_ != tk_union) {
        raise_bad_kind(env);
        return nullptr;
    }
    return discriminator_ ? discriminator_->deep_copy(nullptr) : nullptr;
}

int TypeCode::default_index(const EnvironmentWrapper &env) const
{
    if (kind_ != tk_union) {
        raise_bad_kind(env);
        return static_cast<int>(0xFFFFFFFF);
    }
    return default_index_;
}

unsigned int TypeCode::length(const EnvironmentWrapper &env) const
{
    if (kind_ != tk_string && kind_ != tk_sequence && kind_ != tk_array) {
        raise_bad_kind(env);
        return 0;
    }
    return length_;
}

TypeCode *TypeCode::content_type(const EnvironmentWrapper &env) const
{
    if (kind_ != tk_sequence && kind_ != tk_array && kind_ != tk_alias) {
        raise_bad_kind(env);
        return nullptr;
    }
    return content_ ? content_->deep_copy(nullptr) : nullptr;
}

unsigned short TypeCode::fixed_digits(const EnvironmentWrapper &env) const
{
    if (kind_ != tk_fixed) {
        raise_bad_kind(env);
        return 0;
    }
    return static_cast<unsigned short>(length_ >> 16);
}

short TypeCode::fixed_scale(const EnvironmentWrapper &env) const
{
    if (kind_ != tk_fixed) {
        raise_bad_kind(env);
        return 0;
    }
    return static_cast<short>(length_ & 0xFFFF);
}

// ---- singletons --------------------------------------------------------------

#define WQ_TC_SINGLETON(FN, ...)                                                            \
    TypeCode *FN(TypeCode *)                                                                \
    {                                                                                       \
        static TypeCode *tc = new TypeCode(__VA_ARGS__);                                    \
        return tc;                                                                          \
    }

WQ_TC_SINGLETON(wq_tc_null, tk_null, true)
WQ_TC_SINGLETON(wq_tc_void, tk_void, true)
WQ_TC_SINGLETON(wq_tc_short, tk_short, true)
WQ_TC_SINGLETON(wq_tc_long, tk_long, true)
WQ_TC_SINGLETON(wq_tc_ushort, tk_ushort, true)
WQ_TC_SINGLETON(wq_tc_ulong, tk_ulong, true)
WQ_TC_SINGLETON(wq_tc_float, tk_float, true)
WQ_TC_SINGLETON(wq_tc_double, tk_double, true)
WQ_TC_SINGLETON(wq_tc_boolean, tk_boolean, true)
WQ_TC_SINGLETON(wq_tc_char, tk_char, true)
WQ_TC_SINGLETON(wq_tc_octet, tk_octet, true)
WQ_TC_SINGLETON(wq_tc_any, tk_any, true)
WQ_TC_SINGLETON(wq_tc_TypeCode, tk_TypeCode, true)
WQ_TC_SINGLETON(wq_tc_Principal, tk_Principal, true)
WQ_TC_SINGLETON(wq_tc_object, tk_objref, "IDL:omg.org/CORBA/Object:1.0", "CORBA::Object", true)
WQ_TC_SINGLETON(wq_tc_string, tk_string, 0u, true)
WQ_TC_SINGLETON(wq_tc_longlong, tk_longlong, true)
WQ_TC_SINGLETON(wq_tc_ulonglong, tk_ulonglong, true)
WQ_TC_SINGLETON(wq_tc_wchar, tk_wchar, true)
WQ_TC_SINGLETON(wq_tc_wstring, tk_wstring, 0u, true)
WQ_TC_SINGLETON(wq_tc_fixed, tk_fixed, 0u, true)

#undef WQ_TC_SINGLETON

} // namespace CORBA
