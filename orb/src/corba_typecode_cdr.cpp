// TypeCodes on the wire: the CDR encoding with indirections for recursive
// types, and the copying of one value of a described type between streams.
//
// The parameters of a complex TypeCode travel in an encapsulation: a ulong
// length, then a CDR stream of their own (byte-order octet first) whose
// alignment starts at its first byte. The writer builds that inner stream
// separately; the reader reads it in place through a view with its own
// origin. Either way 8-byte items inside are aligned as the standard requires
// whatever the outer offset. Recursion records carry offsets from
// the start of the outermost stream, so an indirection can point from an
// inner encapsulation back to an enclosing TypeCode.
#include "corba_typecode.h"

#include "corba_object.h"
#include "corba_orb.h"
#include "corba_stream.h"

#include <cstdio>

namespace CORBA {

namespace {

constexpr uint32_t kIndirection = 0xFFFFFFFFu;
constexpr uint64_t kSizeCap = uint64_t(1) << 40;

bool is_empty_kind(uint32_t k)
{
    return k <= 13 || k == tk_longlong || k == tk_ulonglong || k == tk_wchar;
}

bool is_simple_kind(uint32_t k)
{
    return k == tk_string || k == tk_wstring || k == tk_fixed;
}

// Size of a fixed-size primitive kind that copies in bulk, else 0.
uint32_t bulk_size(TCKind k)
{
    switch (k) {
    case tk_octet:
    case tk_char:
    case tk_boolean:
        return 1;
    case tk_short:
    case tk_ushort:
        return 2;
    case tk_long:
    case tk_ulong:
    case tk_float:
    case tk_enum:
        return 4;
    case tk_double:
    case tk_longlong:
    case tk_ulonglong:
        return 8;
    default:
        return 0;
    }
}

void marshal_error(Stream &s, char const *text)
{
    if (!s.pending())
        s.fail(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_YES, text));
}

void illegal_kind(Stream &s, uint32_t kind)
{
    char text[64];
    std::snprintf(text, sizeof(text), "illegal TCKind value (%u) in typecode", kind);
    marshal_error(s, text);
}

// A failure of the value copy: raised into the calling thread's environment
// (unless it holds one already), and both streams stop, so that nothing more
// is read or written at a position that no longer matches the value.
void copy_error(Stream &in, Stream &out, char const *text)
{
    EnvironmentInfo *te = EnvironmentInfo::_current();
    if (!te->exception())
        te->exception(new MARSHAL(WQ_MINOR_STREAM_FAILED, COMPLETED_YES, text));
    in.mark_failed();
    out.mark_failed();
}

void copy_illegal_kind(Stream &in, Stream &out, uint32_t kind)
{
    char text[64];
    std::snprintf(text, sizeof(text), "illegal TCKind value (%u) in typecode", kind);
    copy_error(in, out, text);
}

constexpr char const kMissingType[] = "TypeCode cannot be used: missing member, content or discriminator type.";

bool read_string(Stream &s, char *&out)
{
    char *v = nullptr;
    s >> Stream::to_string(v);
    if (s.pending())
        return false;
    out = v;
    return true;
}

} // namespace

bool TypeCode::valid_discriminator(TCKind k)
{
    switch (k) {
    case tk_short:
    case tk_ushort:
    case tk_long:
    case tk_ulong:
    case tk_enum:
    case tk_boolean:
    case tk_char:
    case tk_octet:
    case tk_longlong:
    case tk_ulonglong:
        return true;
    default:
        return false;
    }
}

// ---- writing -----------------------------------------------------------------

void TypeCode::tc_write(Stream &s, State *state) const
{
    if (s.pending())
        return;
    uint64_t origin = state ? state->origin : 0;
    for (State *p = state; p; p = p->outer) {
        if (p->tc == this) {
            // Indirection: the offset leads from the offset word back to the
            // enclosing TypeCode's kind word.
            s << kIndirection;
            int64_t here = static_cast<int64_t>(origin + s.write_offset());
            int64_t off = static_cast<int64_t>(p->position) - 4 - here;
            s << static_cast<int>(off);
            return;
        }
    }
    s << static_cast<unsigned int>(kind_);
    State me{state, this, origin + s.write_offset(), 0};
    if (is_simple_kind(kind_)) {
        s << length_;
        return;
    }
    if (is_empty_kind(kind_) || kind_ == tk_longdouble || kind_ > tk_fixed)
        return;

    // The encapsulation's first byte lands behind its ulong length; the kind
    // word just written leaves the stream 4-aligned.
    me.origin = origin + s.write_offset() + 4;
    Stream enc(ORB::_block_sizes[1], s.env());
    enc << Stream::write_flag();
    write_params(enc, &me);
    if (enc.pending() || s.pending()) {
        // The encapsulation shares the environment: the outer stream is
        // failed as well, whatever later clears that environment.
        s.mark_failed();
        return;
    }
    uint32_t n = enc.size_written();
    s << n;
    s.write_stream(enc, n);
}

void TypeCode::write_params(Stream &enc, State *me) const
{
    auto write_type = [&](const TypeCode *t) {
        if (!t) {
            marshal_error(enc, "TypeCode cannot be encoded: missing member or content type.");
            return;
        }
        t->tc_write(enc, me);
    };
    if ((kind_ == tk_struct || kind_ == tk_except || kind_ == tk_enum || kind_ == tk_union) &&
        length_ && !members_) {
        marshal_error(enc, "TypeCode cannot be encoded: missing members.");
        return;
    }
    switch (kind_) {
    case tk_objref:
        enc << Stream::from_string(id_) << Stream::from_string(name_);
        break;
    case tk_alias:
        enc << Stream::from_string(id_) << Stream::from_string(name_);
        write_type(content_);
        break;
    case tk_struct:
    case tk_except:
        enc << Stream::from_string(id_) << Stream::from_string(name_) << length_;
        for (unsigned i = 0; i < length_ && !enc.pending(); ++i) {
            enc << Stream::from_string(members_[i].name);
            write_type(members_[i].type);
        }
        break;
    case tk_enum:
        enc << Stream::from_string(id_) << Stream::from_string(name_) << length_;
        for (unsigned i = 0; i < length_ && !enc.pending(); ++i)
            enc << Stream::from_string(members_[i].name);
        break;
    case tk_union: {
        if (!discriminator_ || !valid_discriminator(discriminator_->kind_)) {
            marshal_error(enc, "Union TypeCode discriminate is invalid.");
            return;
        }
        enc << Stream::from_string(id_) << Stream::from_string(name_);
        discriminator_->tc_write(enc, me);
        enc << default_index_ << length_;
        TCKind dk = discriminator_->kind_;
        for (unsigned i = 0; i < length_ && !enc.pending(); ++i) {
            int label = members_[i].label;
            switch (dk) {
            case tk_short:
            case tk_ushort:
                enc << static_cast<unsigned short>(label);
                break;
            case tk_long:
            case tk_ulong:
            case tk_enum:
                enc << label;
                break;
            case tk_longlong:
            case tk_ulonglong:
                enc << static_cast<long long>(label);
                break;
            default:
                enc << static_cast<unsigned char>(label);
                break;
            }
            enc << Stream::from_string(members_[i].name);
            write_type(members_[i].type);
        }
        break;
    }
    case tk_sequence:
    case tk_array:
        write_type(content_);
        enc << length_;
        break;
    default:
        break;
    }
}

// ---- reading -----------------------------------------------------------------

TypeCode *TypeCode::tc_read(Stream &s, State *state)
{
    unsigned depth = 0;
    for (State *p = state; p; p = p->outer)
        ++depth;
    return read_impl(s, state, depth);
}

TypeCode *TypeCode::read_impl(Stream &s, State *state, unsigned depth)
{
    if (s.pending())
        return nullptr;
    if (depth >= kMaxDepth) {
        marshal_error(s, "TypeCode nested too deeply.");
        return nullptr;
    }
    uint64_t origin = state ? state->origin : 0;
    uint32_t kind = 0;
    s.read_4(&kind);
    if (s.pending())
        return nullptr;

    if (kind == kIndirection) {
        int32_t off = 0;
        s.read_4(&off);
        if (s.pending())
            return nullptr;
        int64_t target = static_cast<int64_t>(origin + s.read_offset()) + off;
        for (State *p = state; p; p = p->outer) {
            if (static_cast<int64_t>(p->position) != target)
                continue;
            // Recursion is legal only as the content of a sequence that
            // leads back to an enclosing struct or union.
            if (state->tc->kind_ == tk_sequence &&
                (p->tc->kind_ == tk_struct || p->tc->kind_ == tk_union))
                return const_cast<TypeCode *>(p->tc);
            break;
        }
        marshal_error(s, "illegal TCKind recursion");
        return nullptr;
    }
    if (kind == tk_longdouble || kind > tk_fixed) {
        illegal_kind(s, kind);
        return nullptr;
    }

    TypeCode *tc = new TypeCode();
    tc->kind_ = static_cast<TCKind>(kind);
    tc->parent_ = state ? const_cast<TypeCode *>(state->tc) : nullptr;
    State me{state, tc, origin + s.read_offset(), 0};
    if (is_empty_kind(kind))
        return tc;
    // From here a failure returns the record as far as it was read, with the
    // error raised: the caller releases it.
    if (is_simple_kind(kind)) {
        uint32_t length = 0;
        s.read_4(&length);
        if (!s.pending())
            tc->length_ = length;
        return tc;
    }

    uint32_t len = 0;
    s.read_4(&len);
    if (!s.pending() && (len == 0 || len > s.bytes_remaining()))
        s.read_error();
    if (s.pending())
        return tc;
    me.origin = origin + s.read_offset();
    // The encapsulation is read in place, as a view with its own alignment
    // origin and its own end, whatever the parameters consume: nothing is
    // copied, however deep the nesting.
    Stream enc(s, len, s.env());
    if (!s.pending()) {
        enc.byte_order(Stream::order_for_flag(enc.read_octet()));
        tc->read_params(enc, &me, depth);
    }
    if (s.pending() || enc.pending())
        s.mark_failed(); // an error inside the encapsulation fails the outer stream too
    return tc;
}

bool TypeCode::read_params(Stream &enc, State *me, unsigned depth)
{
    auto read_type = [&](TypeCode *&out) {
        out = read_impl(enc, me, depth + 1);
        return out != nullptr && !enc.pending();
    };
    auto read_names = [&]() { return read_string(enc, id_) && read_string(enc, name_); };
    // Members are allocated only once their count fits in what remains.
    auto read_members = [&](uint32_t min_size) {
        uint32_t count = 0;
        if (!enc.read_count(count, min_size))
            return false;
        if (count) {
            members_ = new Member[count]();
            length_ = count;
        }
        return true;
    };

    switch (kind_) {
    case tk_objref:
        return read_names();
    case tk_alias:
        return read_names() && read_type(content_);
    case tk_struct:
    case tk_except:
        if (!read_names() || !read_members(9))
            return false;
        for (unsigned i = 0; i < length_; ++i)
            if (!read_string(enc, members_[i].name) || !read_type(members_[i].type))
                return false;
        return true;
    case tk_enum:
        if (!read_names() || !read_members(5))
            return false;
        for (unsigned i = 0; i < length_; ++i)
            if (!read_string(enc, members_[i].name))
                return false;
        return true;
    case tk_union: {
        if (!read_names() || !read_type(discriminator_))
            return false;
        TCKind dk = discriminator_->kind_;
        if (!valid_discriminator(dk)) {
            marshal_error(enc, "Union TypeCode discriminate is invalid.");
            return false;
        }
        enc.read_4(&default_index_);
        if (!read_members(10))
            return false;
        if (default_index_ < -1 || (default_index_ >= 0 &&
                                    static_cast<uint32_t>(default_index_) >= length_)) {
            marshal_error(enc, "Union TypeCode has default out of range.");
            return false;
        }
        for (unsigned i = 0; i < length_; ++i) {
            switch (dk) {
            case tk_short: {
                int16_t v = 0;
                enc.read_2(&v);
                members_[i].label = v;
                break;
            }
            case tk_ushort: {
                uint16_t v = 0;
                enc.read_2(&v);
                members_[i].label = v;
                break;
            }
            case tk_long:
            case tk_ulong:
            case tk_enum:
                enc.read_4(&members_[i].label);
                break;
            case tk_longlong:
            case tk_ulonglong: {
                uint64_t v = 0;
                enc.read_8(&v);
                members_[i].label = static_cast<int>(static_cast<uint32_t>(v));
                break;
            }
            default:
                members_[i].label = enc.read_octet();
                break;
            }
            if (!read_string(enc, members_[i].name) || !read_type(members_[i].type))
                return false;
        }
        return true;
    }
    case tk_sequence:
    case tk_array:
        if (!read_type(content_))
            return false;
        enc.read_4(&length_);
        if (enc.pending())
            return false;
        if (kind_ == tk_array && length_ == 0) {
            marshal_error(enc, "array TypeCode of length 0");
            return false;
        }
        return true;
    default:
        return true;
    }
}

Stream &Stream::operator<<(const TypeCode &tc)
{
    tc.tc_write(*this, nullptr);
    return *this;
}

Stream &Stream::operator>>(TypeCode *&tc)
{
    tc = TypeCode::tc_read(*this, nullptr);
    return *this;
}

// ---- value copy ----------------------------------------------------------------

uint64_t TypeCode::min_wire_size(unsigned depth) const
{
    if (depth > kMaxDepth)
        return 0;
    auto add = [](uint64_t a, uint64_t b) { return a + b > kSizeCap ? kSizeCap : a + b; };
    if (uint32_t k = bulk_size(kind_))
        return k;
    switch (kind_) {
    case tk_string:
    case tk_Principal:
    case tk_sequence:
    case tk_TypeCode:
    case tk_any:
        return 4; // a length or a kind word at least
    case tk_objref:
        return 8; // type id length and profile count
    case tk_struct:
    case tk_except: {
        uint64_t n = kind_ == tk_except ? 4 : 0;
        for (unsigned i = 0; members_ && i < length_; ++i)
            if (members_[i].type)
                n = add(n, members_[i].type->min_wire_size(depth + 1));
        return n;
    }
    case tk_union:
        return discriminator_ ? discriminator_->min_wire_size(depth + 1) : 0;
    case tk_alias:
        return content_ ? content_->min_wire_size(depth + 1) : 0;
    case tk_array: {
        uint64_t e = content_ ? content_->min_wire_size(depth + 1) : 0;
        if (e && length_ > kSizeCap / e)
            return kSizeCap;
        return e * length_;
    }
    default:
        return 0;
    }
}

void TypeCode::marshal(Stream &a, Stream &b, bool a_is_output, int &last) const
{
    Stream &in = a_is_output ? b : a;
    Stream &out = a_is_output ? a : b;
    marshal_impl(in, out, last, 0);
}

namespace {

// Copies n elements of a fixed-size primitive kind in bulk.
void copy_primitive_array(Stream &in, Stream &out, uint32_t n, uint32_t k, bool boolean)
{
    if (k == 1 && !boolean) {
        out.write_stream(in, n);
        return;
    }
    unsigned char buf[4096];
    uint32_t per = sizeof(buf) / k;
    while (n && !in.pending() && !out.pending()) {
        uint32_t c = n < per ? n : per;
        switch (k) {
        case 1:
            in.read_array_1(buf, c);
            if (boolean)
                for (uint32_t i = 0; i < c; ++i)
                    buf[i] = buf[i] ? 1 : 0;
            out.write_array_1(buf, c);
            break;
        case 2:
            in.read_array_2(buf, c);
            out.write_array_2(buf, c);
            break;
        case 4:
            in.read_array_4(buf, c);
            out.write_array_4(buf, c);
            break;
        default:
            in.read_array_8(buf, c);
            out.write_array_8(buf, c);
            break;
        }
        n -= c;
    }
}

// A string, Principal or repository id: a ulong length and that many octets.
void copy_counted(Stream &in, Stream &out)
{
    uint32_t n = 0;
    if (!in.read_count(n, 1))
        return;
    out << n;
    out.write_stream(in, n);
}

} // namespace

void TypeCode::marshal_impl(Stream &in, Stream &out, int &last, unsigned depth) const
{
    if (in.pending() || out.pending())
        return;
    if (depth > kMaxDepth) {
        copy_error(in, out, "value nested too deeply.");
        return;
    }
    // An array of length 0 keeps no content: it has no elements.
    if (kind_ == tk_array && length_ == 0)
        return;
    if ((kind_ == tk_alias || kind_ == tk_sequence || kind_ == tk_array) && !content_) {
        copy_error(in, out, kMissingType);
        return;
    }
    auto copy_elements = [&](uint32_t n) {
        uint64_t min = content_->min_wire_size(0);
        if (!in.check_count(n, static_cast<uint32_t>(min > 0xFFFFFFFFu ? 0xFFFFFFFFu : min)))
            return false;
        if (min == 0 && n) {
            // No lower bound is known: an element of an empty struct copies
            // nothing, but a kind without a value encoding must still raise
            // its error. One element tells which; only elements that moved
            // no bytes at all are taken as empty for the whole count.
            uint32_t r0 = in.read_offset(), w0 = out.write_offset();
            content_->marshal_impl(in, out, last, depth + 1);
            if (in.pending() || out.pending() ||
                (in.read_offset() == r0 && out.write_offset() == w0))
                return true;
            for (uint32_t i = 1; i < n && !in.pending() && !out.pending(); ++i)
                content_->marshal_impl(in, out, last, depth + 1);
            return true;
        }
        if (min == 0)
            return true; // no elements
        if (uint32_t k = bulk_size(content_->kind_)) {
            copy_primitive_array(in, out, n, k, content_->kind_ == tk_boolean);
            return true;
        }
        for (uint32_t i = 0; i < n && !in.pending() && !out.pending(); ++i)
            content_->marshal_impl(in, out, last, depth + 1);
        return true;
    };

    switch (kind_) {
    case tk_null:
    case tk_void:
        return;
    case tk_short:
    case tk_ushort: {
        uint16_t v = 0;
        in.read_2(&v);
        if (in.pending())
            return;
        out << static_cast<unsigned short>(v);
        last = kind_ == tk_short ? static_cast<int16_t>(v) : static_cast<int>(v);
        return;
    }
    case tk_long:
    case tk_ulong:
    case tk_float:
    case tk_enum: {
        uint32_t v = 0;
        in.read_4(&v);
        if (in.pending())
            return;
        out << static_cast<unsigned int>(v);
        last = static_cast<int>(v);
        return;
    }
    case tk_double:
    case tk_longlong:
    case tk_ulonglong: {
        uint64_t v = 0;
        in.read_8(&v);
        if (in.pending())
            return;
        out << static_cast<unsigned long long>(v);
        last = static_cast<int>(static_cast<uint32_t>(v));
        return;
    }
    case tk_boolean: {
        unsigned char o = in.read_octet();
        if (in.pending())
            return;
        out << static_cast<unsigned char>(o ? 1 : 0);
        last = o ? 1 : 0;
        return;
    }
    case tk_char:
    case tk_octet: {
        unsigned char o = in.read_octet();
        if (in.pending())
            return;
        out << o;
        last = o;
        return;
    }
    case tk_string:
    case tk_Principal:
        copy_counted(in, out);
        return;
    case tk_TypeCode: {
        TypeCode *t = tc_read(in, nullptr);
        if (t && !in.pending())
            t->tc_write(out, nullptr);
        release(t);
        return;
    }
    case tk_any: {
        TypeCode *t = tc_read(in, nullptr);
        if (t && !in.pending()) {
            t->tc_write(out, nullptr);
            t->marshal_impl(in, out, last, depth + 1);
        }
        release(t);
        return;
    }
    case tk_objref: {
        // The reference read is only passed on: this copy's hold on it ends
        // here.
        Object *o = in.read_object(nullptr);
        if (!in.pending())
            out.write_object(o);
        release(o);
        return;
    }
    case tk_except:
        copy_counted(in, out);
        [[fallthrough]];
    case tk_struct:
        if (length_ && !members_) {
            copy_error(in, out, kMissingType);
            return;
        }
        for (unsigned i = 0; i < length_ && !in.pending() && !out.pending(); ++i) {
            if (!members_[i].type) {
                copy_error(in, out, kMissingType);
                return;
            }
            members_[i].type->marshal_impl(in, out, last, depth + 1);
        }
        return;
    case tk_alias:
        content_->marshal_impl(in, out, last, depth + 1);
        return;
    case tk_sequence: {
        uint32_t n = 0;
        in.read_4(&n);
        if (in.pending())
            return;
        uint64_t min = content_->min_wire_size(0);
        if (!in.check_count(n, static_cast<uint32_t>(min > 0xFFFFFFFFu ? 0xFFFFFFFFu : min)))
            return;
        out << n;
        copy_elements(n);
        return;
    }
    case tk_array:
        copy_elements(length_);
        return;
    case tk_union: {
        if (!discriminator_) {
            copy_error(in, out, kMissingType);
            return;
        }
        discriminator_->marshal_impl(in, out, last, depth + 1);
        if (in.pending() || out.pending())
            return;
        if (default_index_ >= 0 && static_cast<unsigned>(default_index_) >= length_) {
            copy_error(in, out, "Union TypeCode has default out of range.");
            return;
        }
        int chosen = default_index_;
        for (unsigned i = 0; members_ && i < length_; ++i) {
            if (static_cast<int>(i) != default_index_ && members_[i].label == last) {
                chosen = static_cast<int>(i);
                break;
            }
        }
        if (chosen < 0)
            return;
        if (!members_ || !members_[chosen].type) {
            copy_error(in, out, kMissingType);
            return;
        }
        members_[chosen].type->marshal_impl(in, out, last, depth + 1);
        return;
    }
    default:
        copy_illegal_kind(in, out, kind_);
        return;
    }
}

} // namespace CORBA
