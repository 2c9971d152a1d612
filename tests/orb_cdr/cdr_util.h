// Helpers shared by the CDR tests.
#pragma once

#include "corba_env.h"
#include "corba_except.h"
#include "corba_stream.h"

#include <cstdint>
#include <string>
#include <vector>

// A wrapper bound to a private environment (never throws).
struct PrivEnv {
    CORBA::EnvironmentWrapper w{new CORBA::EnvironmentInfo(0)};
    // An exception a test provoked is expected: no warning at the end.
    ~PrivEnv() { w.clear(); }
    bool pending() const { return w.pending(); }
    uint32_t minor() const
    {
        auto *se = CORBA::SystemException::_downcast(w.exception());
        return se ? se->minor() : 0;
    }
    char const *id() const { return w.exception() ? w.exception()->wq_ir_name() : ""; }
    char const *text() const
    {
        auto *se = CORBA::SystemException::_downcast(w.exception());
        return se && se->param() ? se->param() : "";
    }
    bool is_marshal() const { return w.exception() && CORBA::MARSHAL::_downcast(w.exception()); }
};

// Takes the exception out of the calling thread's environment and returns
// its text ("" when it holds none or one without text); "-" when it holds
// something other than a MARSHAL.
inline std::string take_thread_marshal()
{
    CORBA::EnvironmentInfo *te = CORBA::EnvironmentInfo::_current();
    CORBA::Exception *e = te->exception();
    std::string text;
    if (auto *m = CORBA::MARSHAL::_downcast(e))
        text = m->param() ? m->param() : "";
    else if (e)
        text = "-";
    te->clear();
    return text;
}

// Every byte written to the stream so far.
inline std::vector<uint8_t> written(CORBA::Stream &s)
{
    PrivEnv e;
    CORBA::Stream view(s, e.w, true);
    std::vector<uint8_t> out(view.bytes_remaining());
    view.read_array_1(out.data(), static_cast<uint32_t>(out.size()));
    return out;
}

// A stream holding the given bytes, read in the given byte order
// (1: the data are in host order).
inline void fill(CORBA::Stream &s, const std::vector<uint8_t> &b, uint8_t order = 1)
{
    s.write_array_1(b.data(), static_cast<uint32_t>(b.size()));
    s.byte_order(order);
}

// Writers produce big-endian data while alive.
struct BigEndianWrites {
    BigEndianWrites() { CORBA::Stream::_use_native_endian = false; }
    ~BigEndianWrites() { CORBA::Stream::_use_native_endian = true; }
};
