// ORB initialisation: the "-ORB" options of the command line, their fatal
// lines, the help text, the server's names and the listening endpoints.
#include "corba_orb.h"
#include "corba_orb_internal.h"
#include "corba_policy.h"
#include "tkq_support.h"
#include "wq_mthread.h"
#include "wq_thread.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr char const kErr[] = "Ulvenor ERROR(ORB_init): ";
constexpr char const kPad[] = "                          : ";
// Longest value an option takes (endpoints, references); server names go
// into object keys and are shorter still.
constexpr std::size_t kMaxValue = 65536;
constexpr std::size_t kMaxName = 255;

// Ends the process with -1 from inside ORB_init. An option scanned earlier
// (-ORBmin_recursion) may already have started reader threads; running the
// static destructors under them would crash the process on its way out, so
// then it ends without them, its output flushed.
[[noreturn]] void end_init()
{
    std::fflush(nullptr);
    if (CORBA::ORB::cur_recursion() > 0)
        std::_Exit(-1);
    tkq_support_exit(-1);
}

// Writes the lines (each ends with a newline) and ends the process with -1.
[[noreturn]] void fatal(std::string const &text)
{
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    end_init();
}

// One line: prefix, text, a quoted value, the rest.
std::string line(char const *prefix, char const *head, char const *value, char const *tail)
{
    std::string s(prefix);
    s += head;
    s += '"';
    s += value;
    s += '"';
    s += tail;
    s += '\n';
    return s;
}

std::string quoted_line(char const *head, char const *opt, char const *tail)
{
    return line(kErr, head, opt, tail);
}

std::string value_line(char const *what, char const *value, char const *tail)
{
    return line(kPad, what, value, tail);
}

// ---- numbers with range checks --------------------------------------------------

bool parse_long(std::string_view text, long long lo, long long hi, long long &out)
{
    if (text.empty() || text.size() > 32)
        return false;
    char buf[40];
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    if (buf[0] == ' ' || buf[0] == '\t')
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(buf, &end, 10);
    if (errno != 0 || end == buf || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool parse_seconds(char const *text, uint64_t &units)
{
    if (!text || !*text || std::strlen(text) > 64)
        return false;
    errno = 0;
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v) || v < 0.0)
        return false;
    double u = v * 1e7;
    if (u >= 18446744073709551615.0)
        return false;
    units = static_cast<uint64_t>(u + 0.5);
    return true;
}

// "lo,hi", each 0..32767, in either order.
bool parse_range(char const *text, int16_t &lo, int16_t &hi)
{
    if (!text)
        return false;
    std::string_view t(text);
    auto comma = t.find(',');
    long long a = 0, b = 0;
    if (comma == std::string_view::npos || !parse_long(t.substr(0, comma), 0, 32767, a) ||
        !parse_long(t.substr(comma + 1), 0, 32767, b))
        return false;
    lo = static_cast<int16_t>(a);
    hi = static_cast<int16_t>(b);
    return true;
}

// ---- the scan -------------------------------------------------------------------

enum class Val { None, Required, Compared, Optional };

struct Scan {
    int &argc;
    char **argv;
    const CORBA::EnvironmentWrapper &env;
    bool failed = false;        // ORB_init returns nil
    bool made_acceptor = false; // an endpoint option created an acceptor
    bool lost_endpoint = false; // an endpoint option created none
};

// A handler gets the option as written and its value: for a required value
// null when it is missing, begins with '-' or is too long; for a compared one
// the next argument or ""; for an optional one the next argument or null.
// It returns whether an optional value was taken.
typedef bool (*Handler)(Scan &, char const *opt, char const *value);

struct Option {
    char const *name;
    char const *synonyms[3];
    Val val;
    Handler apply;
};

[[noreturn]] void print_help();

std::string range_line(char const *value)
{
    return value_line("The value ", value, " should be from 0 to 2147483647.");
}

// Unsigned count options that share the "from 0 to 2147483647" line.
bool count_value(char const *opt, char const *value, char const *what, uint32_t &out)
{
    long long v = 0;
    if (!value)
        fatal(quoted_line("", opt, what));
    if (!parse_long(value, 0, 2147483647, v))
        fatal(quoted_line("", opt, what) + range_line(value));
    out = static_cast<uint32_t>(v);
    return true;
}

bool compare_bool(char const *opt, char const *value, bool &out)
{
    std::string_view v(value);
    if (v == "false" || v == "0")
        out = false;
    else if (v == "true" || v == "1")
        out = true;
    else
        fatal(quoted_line("", opt, " must be followed by \"true\", or \"false\""));
    return true;
}

// The endpoint lines: which argument, then what is wrong with it.
[[noreturn]] void endpoint_fatal(char const *opt, char const *value, char const *what, char const *reason)
{
    std::string s(kErr);
    s += "argument \"";
    s += value;
    s += "\" after the \"";
    s += opt;
    s += "\" argument\n";
    s += kPad;
    s += what;
    s += '\n';
    if (reason) {
        s += kPad;
        s += "reason = ";
        s += reason;
        s += '\n';
    }
    fatal(s);
}

[[noreturn]] void invalid_endpoint(char const *opt, char const *value, char const *reason)
{
    endpoint_fatal(opt, value, "contains an invalid endpoint", reason ? reason : "");
}

bool add_endpoint(Scan &sc, char const *opt, char const *value, bool publish)
{
    if (!value)
        fatal(quoted_line("", opt, " should be followed by the endpoint to listen on."));
    int32_t rc = CORBA::ORB::wq_add_endpoint(value, publish);
    switch (rc) {
    case 0:
        sc.made_acceptor = true;
        break;
    case -2:
        invalid_endpoint(opt, value, wq_orb_why_not_valid(value));
    case -3:
        endpoint_fatal(opt, value, "contains an unavailable transport", nullptr);
    case -4:
        std::fprintf(stderr, "%sacceptor creation failed for endpoint \"%s\"\n", kErr, value);
        sc.lost_endpoint = true;
        break;
    default:
        std::fprintf(stderr, "%sunknown error creating endpoint \"%s\"\n", kErr, value);
        sc.lost_endpoint = true;
        break;
    }
    return true;
}

bool name_value(char const *opt, char const *v, char const *which, void (*set)(char const *))
{
    if (!v || std::strlen(v) > kMaxName)
        fatal(quoted_line("", opt, (std::string(" should be followed by the server ") + which +
                                    " name to use.").c_str()));
    set(v);
    return true;
}

const Option kOptions[] = {
    {"-ORBhelp", {"-ORBh"}, Val::None, [](Scan &, char const *, char const *) -> bool { print_help(); }},
    {"-ORBsvr_class", {"-ORBsc"}, Val::Required,
     [](Scan &, char const *opt, char const *v) {
         return name_value(opt, v, "class", [](char const *n) { CORBA::ORB::svr_class_name(n); });
     }},
    {"-ORBsvr_instance", {"-ORBsi"}, Val::Required,
     [](Scan &, char const *opt, char const *v) {
         return name_value(opt, v, "instance", [](char const *n) { CORBA::ORB::svr_instance_name(n); });
     }},
    {"-ORBretry_delay", {}, Val::Required,
     [](Scan &, char const *opt, char const *v) {
         auto head = quoted_line(
             "", opt, " must be followed by the number of seconds to pause between reconnect attempts");
         if (!v)
             fatal(head);
         uint64_t units = 0;
         if (!parse_seconds(v, units))
             fatal(head + value_line("The value ", v, " should be greater than 0.0"));
         CORBA::ORB::_retry_delay = units;
         return true;
     }},
    {"-ORBconn_retries", {}, Val::Required,
     [](Scan &, char const *opt, char const *v) {
         uint32_t n = 0;
         count_value(opt, v,
                     " must be followed by the number of attempts to try to connect to an endpoint "
                     "before throwing an exception.",
                     n);
         CORBA::ORB::_conn_retries = static_cast<int32_t>(n);
         return true;
     }},
    {"-ORBmin_recursion", {"-ORBmr", "-ORBextra_threads", "-ORBet"}, Val::Required,
     [](Scan &, char const *opt, char const *v) {
         uint32_t n = 0;
         count_value(opt, v, " must be followed by the minimum level of recursion the ORB should support.", n);
         CORBA::ORB::min_recursion(n);
         return true;
     }},
    {"-ORBstack_size", {"-ORBss"}, Val::Required,
     [](Scan &, char const *opt, char const *v) {
         count_value(opt, v,
                     " must be followed by the stack size the ORB should use when creating new server threads.",
                     CORBA::ORB::_stack_size);
         return true;
     }},
    {"-ORBstack_report", {"-ORBsr"}, Val::None,
     [](Scan &, char const *, char const *) {
         if (wq_ORB::_list_of_published_endpoints || wq_ORB::_list_of_unpublished_endpoints)
             fatal(std::string(kErr) + "-ORBstack_report must come BEFORE server endpoints\n");
         wq_Thread::enable_stack_reporting();
         return true;
     }},
    {"-ORBmin_band_recursion", {"-ORBbr"}, Val::Required,
     [](Scan &, char const *opt, char const *v) {
         uint32_t n = 0;
         count_value(opt, v, " must be followed by the minimum level of recursion for each RT band.", n);
         CORBA::ORB::min_band_recursion(n);
         return true;
     }},
    {"-ORBpriority", {}, Val::Required,
     [](Scan &, char const *opt, char const *v) {
         auto head = quoted_line("", opt,
                                 " must be followed by the priority the ORB should use when creating new threads.");
         if (!v)
             fatal(head);
         long long p = 0;
         if (!parse_long(v, -2147483647LL, 2147483647LL, p))
             fatal(head + value_line("The value ", v, " should be from -2147483647 to 2147483647.") + kPad +
                   "(platform specific)\n");
         CORBA::ORB::_acceptor_priority = static_cast<int32_t>(p);
         CORBA::ORB::_default_priority = static_cast<int32_t>(p);
         return true;
     }},
    {"-ORBRTcreate_nonband_circuit", {"-ORBRTcnbc"}, Val::Optional,
     [](Scan &, char const *, char const *v) {
         std::string_view s(v ? v : "");
         if (s == "false" || s == "0") {
             CORBA::ORB::_create_nonband_circuit = false;
             return true;
         }
         CORBA::ORB::_create_nonband_circuit = true;
         return s == "true" || s == "1";
     }},
    {"-ORBRTscheduler", {"-ORBRTsched"}, Val::Required,
     [](Scan &, char const *opt, char const *v) {
         long long n = 0;
         if (!v || !parse_long(v, INT_MIN, INT_MAX, n) ||
             !wq_Thread::setCurrentSchedulingPolicy(static_cast<int>(n)))
             fatal(quoted_line("", opt,
                               " must be followed by the numerical value of the scheduler to use when "
                               "creating new threads."));
         return true;
     }},
    {"-ORBRTalways_propagate", {"-ORBRTap"}, Val::None,
     [](Scan &, char const *, char const *) {
         CORBA::ORB::_always_propagate_priority = true;
         return true;
     }},
    {"-ORBRTpriorityrange", {"-ORBRTpr"}, Val::Required,
     [](Scan &sc, char const *, char const *v) {
         if (!parse_range(v, CORBA::ORB::_priority_low, CORBA::ORB::_priority_high)) {
             sc.env.exception(new CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO));
             sc.failed = true;
         }
         return true;
     }},
    {"-ORBdiag", {"-ORBd"}, Val::Compared,
     [](Scan &, char const *opt, char const *v) {
         std::string_view s(v);
         if (s == "none" || s == "0")
             CORBA::ORB::diagnostics(CORBA::ORB::none);
         else if (s == "simple" || s == "1")
             CORBA::ORB::diagnostics(CORBA::ORB::simple);
         else if (s == "full" || s == "2")
             CORBA::ORB::diagnostics(CORBA::ORB::full);
         else
             fatal(quoted_line("", opt, " must be followed by \"none\", \"simple\", or \"full\""));
         return true;
     }},
    {"-ORBfast_rebind", {"-ORBfr"}, Val::Compared,
     [](Scan &, char const *opt, char const *v) { return compare_bool(opt, v, CORBA::ORB::_fast_rebind); }},
    {"-ORBsepd", {}, Val::Compared,
     [](Scan &, char const *opt, char const *v) {
         std::string_view s(v);
         if (s == "F" || s == "f" || s == "0")
             wq_set_system_exception_private_data(false);
         else if (s == "T" || s == "t" || s == "1")
             wq_set_system_exception_private_data(true);
         else
             fatal(quoted_line("", opt, " must be followed by \"T\", or \"F\""));
         return true;
     }},
    {"-ORBconnection_ordered_oneways", {"-ORBco"}, Val::Compared,
     [](Scan &, char const *opt, char const *v) {
         return compare_bool(opt, v, CORBA::ORB::_connection_ordered_oneways);
     }},
    {"-ORBsync", {}, Val::Compared,
     [](Scan &, char const *opt, char const *v) {
         static const struct {
             char const *name;
             Messaging::SyncScope scope;
         } scopes[] = {{"none", Messaging::SYNC_NONE},
                       {"transport", Messaging::SYNC_WITH_TRANSPORT},
                       {"server", Messaging::SYNC_WITH_SERVER},
                       {"target", Messaging::SYNC_WITH_TARGET}};
         for (const auto &s : scopes)
             if (std::strcmp(v, s.name) == 0) {
                 CORBA::ORB::_oneway_sync_scope = s.scope;
                 return true;
             }
         fatal(quoted_line("", opt,
                           " must be followed by \"none\", \"transport\", \"server\", or \"target\""));
     }},
    {"-ORBendpoint", {"-ORBep"}, Val::Required,
     [](Scan &sc, char const *opt, char const *v) { return add_endpoint(sc, opt, v, true); }},
    {"-ORBunpublished", {"-ORBup"}, Val::Required,
     [](Scan &sc, char const *opt, char const *v) { return add_endpoint(sc, opt, v, false); }},
    {"-ORBalternate", {"-ORBae"}, Val::Required,
     [](Scan &, char const *opt, char const *v) {
         if (!v)
             fatal(quoted_line("", opt, " should be followed by an endpoint that an alternate server is "
                                        "listening on."));
         if (!wq_orb_endpoint_valid(v))
             invalid_endpoint(opt, v, wq_orb_why_not_valid(v));
         wq_orb_append_endpoint(wq_ORB::_list_of_published_endpoints, v);
         return true;
     }},
    {"-ORBInitRef", {}, Val::Required,
     [](Scan &sc, char const *opt, char const *v) {
         if (!v)
             fatal(quoted_line("", opt, " should be followed by <ObjectID>=<ObjectURL>."));
         wq_CORBA_ORB_process_initial_reference(v, sc.env);
         if (sc.env.pending())
             sc.failed = true;
         return true;
     }},
};

const Option *find_option(char const *arg)
{
    for (const Option &o : kOptions) {
        if (std::strcmp(o.name, arg) == 0)
            return &o;
        for (char const *syn : o.synonyms)
            if (syn && std::strcmp(syn, arg) == 0)
                return &o;
    }
    return nullptr;
}

// Runs the scan from argv[1]; false when ORB_init is to return nil.
bool scan_arguments(Scan &sc)
{
    int i = 1;
    while (i < sc.argc) {
        char const *arg = sc.argv[i];
        if (!arg || std::strncmp(arg, "-ORB", 4) != 0) {
            ++i;
            continue;
        }
        const Option *o = find_option(arg);
        if (!o)
            fatal(std::string(kErr) + "unrecognized ORB argument '" + arg + "'\n");
        std::string opt(arg);
        char const *next = i + 1 < sc.argc ? sc.argv[i + 1] : nullptr;
        char const *value = nullptr;
        int take = 0;
        switch (o->val) {
        case Val::None:
            o->apply(sc, opt.c_str(), nullptr);
            break;
        case Val::Required:
            if (next && next[0] != '-' && std::strlen(next) <= kMaxValue)
                value = next;
            o->apply(sc, opt.c_str(), value);
            take = value ? 1 : 0;
            break;
        case Val::Compared:
            o->apply(sc, opt.c_str(), next ? next : "");
            take = next ? 1 : 0;
            break;
        case Val::Optional:
            take = o->apply(sc, opt.c_str(), next) ? 1 : 0;
            break;
        }
        if (sc.failed)
            return false;
        for (int k = 0; k <= take; ++k)
            wq_CORBA_ORB_remove_arg(i, sc.argc, sc.argv);
    }
    return true;
}

char const *tf(bool b) { return b ? "true" : "false"; }

void row(std::string &out, char const *arg, char const *syn, std::string const &desc)
{
    char head[96];
    std::snprintf(head, sizeof head, "  %-32s %-14s ", arg, syn);
    // Description wrapped at 44 columns, continuation lines indented.
    std::size_t const width = 44;
    std::string indent(std::strlen(head), ' ');
    std::size_t pos = 0;
    bool first = true;
    while (pos < desc.size()) {
        std::size_t len = desc.size() - pos;
        std::size_t nl = desc.find('\n', pos);
        if (nl != std::string::npos && nl - pos <= width)
            len = nl - pos;
        else if (len > width) {
            std::size_t cut = desc.rfind(' ', pos + width);
            len = (cut != std::string::npos && cut > pos) ? cut - pos : width;
        }
        out += first ? head : indent;
        out.append(desc, pos, len);
        out += '\n';
        pos += len;
        while (pos < desc.size() && (desc[pos] == ' ' || desc[pos] == '\n'))
            ++pos;
        first = false;
    }
}

std::string fmt(char const *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(char const *f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

[[noreturn]] void print_help()
{
    using CORBA::ORB;
    std::string h = "Ulvenor INFO(ORB_init):\n\n\n";
    h += "  ORB arguments all begin with \"-ORB\".  The possible arguments include:\n\n";
    row(h, "Argument", "Synonym", "Description");
    row(h, "--------", "-------", "-----------");
    row(h, "-ORBhelp", "-ORBh", "Prints the help text");
    row(h, "-ORBendpoint {endpoint}", "-ORBep",
        "Listen on endpoint for new connections (e.g. -ORBendpoint tcp://myhost:5000)");
    row(h, "-ORBalternate {endpoint}", "-ORBae",
        "Adds alternate endpoint into IORs that address alternate servers. This allows specification "
        "of endpoints of preferential or fallback alternate servers. (e.g. -ORBalternate "
        "tcp://otherhost:5000)");
    row(h, "-ORBunpublished {endpoint}", "-ORBup",
        "Listen on an unpublished endpoint. The server will listen on the specified endpoint but will "
        "never publish the endpoint profile in a created IOR. (e.g. -ORBunpublished tcp://localhost:5001)");
    row(h, "-ORBsvr_class {name}", "-ORBsc", fmt("Server's class name (default=%s)", ORB::svr_class_name()));
    row(h, "-ORBsvr_instance {name}", "-ORBsi",
        fmt("Server's instance name (default=%s)", ORB::svr_instance_name()));
    row(h, "-ORBmin_recursion {number}", "-ORBmr",
        fmt("Minimum number of levels of inter-server recursion (default=%u)", ORB::_min_recursion));
    row(h, "-ORBfast_rebind {boolean}", "-ORBfr",
        fmt("Controls when the client ORB will release its internal data structures associated with a "
            "given remote endpoint (default=%s).\n"
            "0, false = disable fast rebind, releasing ORB internal data structures when there are no "
            "CORBA object references referring to that remote endpoint\n"
            "1, true = enable fast rebind, releasing ORB internal data structures at ORB shutdown",
            tf(ORB::_fast_rebind)));
    row(h, "-ORBconnection_ordered_oneways {boolean}", "-ORBco",
        fmt("Serves the oneway requests of one connection in the order they arrive (default=%s)",
            tf(ORB::_connection_ordered_oneways)));
    row(h, "-ORBextra_threads {number}", "-ORBet", "[same as -ORBmin_recursion]");
    row(h, "-ORBstack_size {number}", "-ORBss",
        "Sets default stack size that the ORB uses when creating new server threads");
    row(h, "-ORBstack_report", "-ORBsr",
        "Causes each thread to report its stack usage during termination (must be first!)");
    row(h, "-ORBmin_band_recursion {number}", "-ORBbr",
        fmt("Minimum number of levels of inter-server recursion for each band (default=%u)",
            ORB::_min_band_recursion));
    row(h, "-ORBpriority {number}", "(none)",
        "Priority for new server acceptor and worker threads (platform dependent)");
    row(h, "-ORBRTalways_propagate", "-ORBRTap",
        "Causes RT ORB to always propagate CORBA priorities on every invocation. (slows ORB "
        "significantly on non-RT connections)");
    row(h, "-ORBRTcreate_nonband_circuit", "-ORBRTcnbc",
        "Specifies whether RT ORB should or should not also create a non-banded circuit when creating "
        "priority bands");
    row(h, "-ORBRTpriorityrange {num},{num}", "-ORBRTpr",
        "Range of CORBA priorities available for use by ORB internal threads");
    row(h, "-ORBRTscheduler {number}", "-ORBRTsched",
        "Use the specified scheduler when when creating ORB internal threads. number is the numerical "
        "value of the OS scheduler specified in the OS system header file.");
    row(h, "-ORBretry_delay {number}", "(none)",
        fmt("Number of seconds to pause between reconnect attempts (decimal number, default=%g)",
            static_cast<double>(ORB::_retry_delay) / 1e7));
    row(h, "-ORBconn_retries {number}", "(none)",
        fmt("Number of times to attempt reconnects before failing (default=%u)",
            static_cast<unsigned>(ORB::_conn_retries)));
    row(h, "-ORBdiag {level}", "-ORBd",
        "Diagnostic progress messages.\n"
        "\"none\" or \"0\" no messages\n"
        "\"simple\" or \"1\" connects and disconnects\n"
        "\"full\" or \"2\" simple + requests and replies.");
    row(h, "-ORBsync {sync_option}", "(none)",
        "Oneway synchronization.\n"
        "\"none\" fire_and_forget\n"
        "\"transport\" oneways guaranteed to the transport\n"
        "\"server\" oneways acknowledged at the server (allows forwarding and makes sure object is "
        "there but doesn't wait on impl)\n"
        "\"target\" oneways processed at target object (processes oneways as two ways)");
    h += "\n  -ORBInitRef <ObjectID=ObjectURL>   Override initial references\n"
         "      specifies reference returned by resolve_initial_references()\n"
         "      for the named service.\n"
         "      ObjectID is \"NameService\", \"EventService\", or other valid service name\n"
         "      ObjectURL is a stringified IOR [use object_to_string()]\n";
    std::fprintf(stderr, "%s", h.c_str());
    std::fflush(stderr);
    end_init();
}

void set_name(char const *&slot, char const *value)
{
    wq_orb_free_name(slot);
    slot = CORBA::string_dup(value ? value : "");
}

} // namespace

// ---- the entry point ------------------------------------------------------------

namespace CORBA {

ORB *ORB_init(int &argc, char **argv, char const *orb_id, const EnvironmentWrapper &env)
{
    wq_stop_point();
    if (env.pending())
        return nullptr;
    wq_ThreadEnvironment tenv;
    wq_WriteLock lock(_wq_orb_init_mtx, tenv);
    wq_orb_create_registries();

    int32_t state = ORB::_orb_state.load();
    if (state == 2) {
        // Nil with the exception, like every failure: a pointer handed out
        // without a reference would be released once too often.
        env.exception(new BAD_INV_ORDER(4, COMPLETED_NO));
        return nullptr;
    }
    if (state == 1) {
        wq_orb->_add_ref();
        return wq_orb;
    }
    ORB::_orb_state.store(1);
    tkq_support_sig_supress();
    if (!argv)
        argc = 0;
    if (!wq_orb) {
        wq_orb_pools_restart();
        wq_orb = new wq_ORB;
    }
    wq_orb_restore_defaults();

    // Anything below that fails undoes this call, so the next ORB_init
    // starts afresh instead of returning a half-built ORB.
    auto fail = [&]() -> ORB * {
        wq_orb_undo_init();
        return nullptr;
    };

    Object *poa = wq_init_root_poa(env);
    wq_orb_release_object(poa);
    if (env.pending())
        return fail();
    wq_orb_create_factories();

    set_name(wq_ORB::process_name, argv && argc > 0 && argv[0] ? argv[0] : "");
    char host[64];
    std::size_t hlen = 0;
    tkq_support_get_node_name(host, sizeof host, &hlen);
    set_name(wq_ORB::host_name, hlen ? host : "HostNameUnavailable");

    if (orb_id && *orb_id) {
        char const *colon = std::strchr(orb_id, ':');
        if (!colon) {
            ORB::svr_instance_name(orb_id);
        } else {
            if (colon != orb_id) {
                std::string cls(orb_id, colon);
                ORB::svr_class_name(cls.c_str());
            }
            if (colon[1])
                ORB::svr_instance_name(colon + 1);
        }
    }
    if (wq_orb_initializer_pre) {
        wq_orb_initializer_pre(argc, argv, orb_id, env);
        if (env.pending())
            return fail();
    }
    if (!wq_ORB::svr_class_name)
        ORB::svr_class_name("");
    if (!wq_ORB::svr_instance_name) {
        std::string inst = wq_ORB::host_name;
        inst += '_';
        inst += std::to_string(tkq_support_get_pid());
        ORB::svr_instance_name(inst.c_str());
    }

    Scan sc{argc, argv, env};
    if (!scan_arguments(sc))
        return fail();
    // A server that cannot listen where it was asked to is no server: the
    // lines above said why, and the caller gets the failure rather than an
    // ORB whose references name no endpoint.
    if (sc.lost_endpoint) {
        wq_raise_obj_adapter(2, env);
        return fail();
    }

    char const *pub = wq_ORB::_list_of_published_endpoints;
    char const *unpub = wq_ORB::_list_of_unpublished_endpoints;
    if (pub || unpub) {
        ORB::min_recursion(ORB::_min_recursion);
        if (wq_ORB::diagnostics > 0) {
            std::string all;
            if (pub)
                all = pub;
            if (unpub) {
                if (!all.empty())
                    all += ", ";
                all += unpub;
            }
            wq_CORBA_ORB_log_server_available(all.c_str());
        }
    } else if (sc.made_acceptor) {
        wq_raise_obj_adapter(2, env);
        return fail();
    }
    if (wq_orb_initializer_post) {
        wq_orb_initializer_post(argc, argv, orb_id, env);
        if (env.pending())
            return fail();
    }
    wq_orb->_add_ref();
    return wq_orb;
}

void ORB::svr_class_name(char const *name) { set_name(wq_ORB::svr_class_name, name); }
void ORB::svr_instance_name(char const *name) { set_name(wq_ORB::svr_instance_name, name); }

} // namespace CORBA

void wq_CORBA_ORB_remove_arg(int index, int &argc, char **argv)
{
    if (!argv || index < 0 || index >= argc)
        return;
    for (int k = index; k + 1 < argc; ++k)
        argv[k] = argv[k + 1];
    --argc;
    argv[argc] = nullptr;
}

void wq_CORBA_ORB_exit(int status) { tkq_support_exit(status); }

void wq_raise_obj_adapter(unsigned char minor, const CORBA::EnvironmentWrapper &env)
{
    env.exception(new CORBA::OBJ_ADAPTER(minor, CORBA::COMPLETED_NO));
}

void wq_raise_initialize(unsigned char minor, const CORBA::EnvironmentWrapper &env)
{
    env.exception(new CORBA::INITIALIZE(minor, CORBA::COMPLETED_NO));
}

void wq_CORBA_ORB_log_server_available(char const *endpoints)
{
    char *h = wq_HeaderLog::get_header();
    char const *cls = wq_ORB::svr_class_name && *wq_ORB::svr_class_name ? wq_ORB::svr_class_name
                                                                          : "[null class]";
    std::fprintf(stderr, "[ %s  Server available %s / %s ]\n[ %s  Configuration:   %s ]\n", h, cls,
                 wq_ORB::svr_instance_name ? wq_ORB::svr_instance_name : "", h, endpoints ? endpoints : "");
    std::fflush(stderr);
    delete[] h;
}
