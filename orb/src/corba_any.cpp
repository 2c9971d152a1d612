// The Any container.
#include "corba_any.h"
#include "corba_orb.h"

namespace CORBA {

Any::Any() : tc_(wq_tc_null()), env_(new EnvironmentInfo(0)), value_(CORBA::ORB::_block_sizes[1], env_)
{
}

Any::Any(const Any &other)
    : tc_(other.tc_->deep_copy(nullptr)), env_(new EnvironmentInfo(0)),
      value_(CORBA::ORB::_block_sizes[1], env_)
{
    Stream from(other.value_, env_, true);
    int last = 0;
    tc_->marshal(value_, from, true, last);
}

Any &Any::operator=(const Any &other)
{
    if (this == &other)
        return *this;
    release(tc_);
    tc_ = other.tc_->deep_copy(nullptr);
    env_.clear();
    value_.reclaim();
    Stream from(other.value_, env_, true);
    int last = 0;
    tc_->marshal(value_, from, true, last);
    return *this;
}

Any::~Any()
{
    release(tc_);
}

void Any::set(TypeCode *tc, const void *v, unsigned k)
{
    release(tc_);
    tc_ = tc;
    env_.clear();
    value_.reclaim();
    switch (k) {
    case 1:
        value_ << *static_cast<const unsigned char *>(v);
        break;
    case 2:
        value_ << *static_cast<const unsigned short *>(v);
        break;
    case 4:
        value_ << *static_cast<const unsigned int *>(v);
        break;
    default:
        value_ << *static_cast<const unsigned long long *>(v);
        break;
    }
}

bool Any::get(TCKind kind, void *v, unsigned k) const
{
    if (tc_->kind() != kind)
        return false;
    Stream from(value_, env_, true);
    switch (k) {
    case 1:
        *static_cast<unsigned char *>(v) = from.read_octet();
        break;
    case 2:
        from.read_2(v);
        break;
    case 4:
        from.read_4(v);
        break;
    default:
        from.read_8(v);
        break;
    }
    return !from.pending();
}

void Any::operator<<=(short v) { set(wq_tc_short(), &v, 2); }
void Any::operator<<=(unsigned short v) { set(wq_tc_ushort(), &v, 2); }
void Any::operator<<=(int v) { set(wq_tc_long(), &v, 4); }
void Any::operator<<=(unsigned int v) { set(wq_tc_ulong(), &v, 4); }
void Any::operator<<=(long long v) { set(wq_tc_longlong(), &v, 8); }
void Any::operator<<=(unsigned long long v) { set(wq_tc_ulonglong(), &v, 8); }

void Any::operator<<=(from_boolean v)
{
    unsigned char o = v.val ? 1 : 0;
    set(wq_tc_boolean(), &o, 1);
}

void Any::operator<<=(from_char v)
{
    unsigned char o = static_cast<unsigned char>(v.val);
    set(wq_tc_char(), &o, 1);
}

void Any::operator<<=(from_octet v)
{
    set(wq_tc_octet(), &v.val, 1);
}

bool Any::operator>>=(short &v) const { return get(tk_short, &v, 2); }
bool Any::operator>>=(unsigned short &v) const { return get(tk_ushort, &v, 2); }
bool Any::operator>>=(int &v) const { return get(tk_long, &v, 4); }
bool Any::operator>>=(long long &v) const { return get(tk_longlong, &v, 8); }
bool Any::operator>>=(unsigned long long &v) const { return get(tk_ulonglong, &v, 8); }

bool Any::operator>>=(unsigned int &v) const
{
    // An enum value travels as a ulong.
    if (tc_->kind() == tk_enum)
        return get(tk_enum, &v, 4);
    return get(tk_ulong, &v, 4);
}

bool Any::operator>>=(to_boolean v) const
{
    unsigned char o = 0;
    if (!get(tk_boolean, &o, 1))
        return false;
    v.ref = o != 0;
    return true;
}

bool Any::operator>>=(to_char v) const
{
    unsigned char o = 0;
    if (!get(tk_char, &o, 1))
        return false;
    v.ref = static_cast<char>(o);
    return true;
}

bool Any::operator>>=(to_octet v) const
{
    return get(tk_octet, &v.ref, 1);
}

} // namespace CORBA
