// System exceptions and the exception list on the CDR stream.
#include "corba_except.h"
#include "corba_stream.h"

namespace CORBA {

void SystemException::wq_write(Stream &s) const
{
    s << static_cast<unsigned int>(minor_);
    s << static_cast<unsigned int>(completed_);
    if (wq_system_exception_private_data())
        s << Stream::from_string(param_ ? param_ : "");
}

void SystemException::wq_init(Stream &s)
{
    uint32_t minor = minor_, completed = completed_;
    s.read_4(&minor);
    s.read_4(&completed);
    minor_ = minor;
    completed_ = static_cast<completion_status>(completed);
    // A foreign minor code's text, if any, stays unread at the end of the body.
    // For the broker's own codes the text follows when the writer's
    // -ORBsepd said so, whatever this process's setting is: a body that ends
    // here (a plain one, as standard ORBs write) has none.
    if (!wq_is_own_minor(minor_) || s.pending() || s.bytes_remaining() == 0)
        return;
    char *text = nullptr;
    s >> Stream::to_string(text);
    if (!s.pending() && text && *text) {
        string_free(param_);
        param_ = text;
        return;
    }
    string_free(text);
}

} // namespace CORBA

CORBA::Stream &operator<<(CORBA::Stream &s, CORBA::Exception &e)
{
    s << CORBA::Stream::from_string(e.wq_ir_name());
    e.wq_write(s);
    return s;
}

CORBA::Stream &operator>>(CORBA::Stream &s, CORBA::Exception *&e)
{
    e = nullptr;
    char *id = nullptr;
    s >> CORBA::Stream::to_string(id);
    if (s.pending()) {
        CORBA::string_free(id);
        return s;
    }
    if (CORBA::wq_ExceptionReader reader = wq_Exception_List::find(id)) {
        e = reader(s);
        if (s.pending()) {
            delete e; // a body cut short: the stream's error is what is pending
            e = nullptr;
        }
    } else {
        e = new CORBA::UNKNOWN(WQ_MINOR_UNKNOWN_EXCEPTION, CORBA::COMPLETED_MAYBE, id ? id : "");
    }
    CORBA::string_free(id);
    return s;
}
