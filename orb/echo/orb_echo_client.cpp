// orb_echo_client [ORB options] IOR-or-file
//
// Calls every operation of a PeerTest::Echo object once, checks each answer,
// prints one line per operation and exits 0 only when all are right (1 when
// an answer is wrong or a call fails, 2 on a usage or reference error).
// The server's fail() is expected to raise Oops with code 42 and "as asked".
#include "corba_orb.h"
#include "peertest_echo.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Longest reference text read from a file.
constexpr std::size_t kMaxIorFile = 1 << 20;

// The reference text: the argument itself when it is a stringified
// reference, else the first line of the file it names.
bool reference_text(char const *arg, std::string &out)
{
    if (std::strncmp(arg, "IOR:", 4) == 0 || std::strncmp(arg, "corbaloc:", 9) == 0) {
        out = arg;
        return true;
    }
    std::FILE *f = std::fopen(arg, "r");
    if (!f)
        return false;
    out.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n' && c != '\r' && out.size() < kMaxIorFile)
        out += static_cast<char>(c);
    std::fclose(f);
    return !out.empty() && out.size() < kMaxIorFile;
}

struct Env {
    CORBA::EnvironmentWrapper w{new CORBA::EnvironmentInfo(0)};
    ~Env() { w.clear(); }
    // The pending exception's text (repository id and minor), "" when none.
    std::string what() const
    {
        CORBA::Exception *e = w.exception();
        if (!e)
            return "";
        std::string s = e->wq_ir_name();
        if (auto *se = CORBA::SystemException::_downcast(e)) {
            char buf[32];
            std::snprintf(buf, sizeof buf, " minor 0x%08X", se->minor());
            s += buf;
            if (se->param()) {
                s += ' ';
                s += se->param();
            }
        }
        return s;
    }
};

bool report(char const *op, bool ok, std::string const &detail)
{
    std::printf("%-12s %s %s\n", op, ok ? "ok" : "FAILED", detail.c_str());
    std::fflush(stdout);
    return ok;
}

bool run_calls(PeerTest::Echo *echo)
{
    bool all = true;
    {
        Env e;
        char *s = echo->echo_string("hello, peer", e.w);
        bool ok = !e.w.pending() && s && std::strcmp(s, "hello, peer") == 0;
        all &= report("echo_string", ok, ok ? s : e.what());
        CORBA::string_free(s);
    }
    {
        Env e;
        int32_t sum = echo->add(40, 2, e.w);
        all &= report("add", !e.w.pending() && sum == 42, e.w.pending() ? e.what() : std::to_string(sum));
    }
    {
        Env e;
        PeerTest::OctetSeq data(1000);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<unsigned char>(i * 7);
        PeerTest::OctetSeq back = echo->echo_octets(data, e.w);
        all &= report("echo_octets", !e.w.pending() && back == data,
                      e.w.pending() ? e.what() : std::to_string(back.size()) + " octets");
    }
    {
        Env e;
        echo->ping(e.w);
        all &= report("ping", !e.w.pending(), e.w.pending() ? e.what() : "sent");
    }
    {
        Env e;
        echo->fail(e.w);
        PeerTest::Oops *oops = PeerTest::Oops::_downcast(e.w.exception());
        bool ok = oops && oops->code == 42 && oops->why.in() && std::strcmp(oops->why.in(), "as asked") == 0;
        all &= report("fail", ok,
                      oops ? "Oops " + std::to_string(oops->code) + " " + (oops->why.in() ? oops->why.in() : "")
                           : (e.w.pending() ? e.what() : "no exception"));
    }
    return all;
}

} // namespace

int main(int argc, char **argv)
{
    Env init;
    CORBA::ORB *orb = CORBA::ORB_init(argc, argv, nullptr, init.w);
    if (!orb) {
        std::fprintf(stderr, "orb_echo_client: ORB_init failed: %s\n", init.what().c_str());
        return 2;
    }
    int status = 2;
    std::string text;
    if (argc != 2) {
        std::fprintf(stderr, "usage: orb_echo_client [ORB options] IOR-or-file\n");
    } else if (!reference_text(argv[1], text)) {
        std::fprintf(stderr, "orb_echo_client: cannot read a reference from '%s'\n", argv[1]);
    } else {
        Env e;
        CORBA::Object *obj = orb->string_to_object(text.c_str(), e.w);
        PeerTest::Echo *echo = obj ? PeerTest::Echo::_narrow(obj) : nullptr;
        CORBA::release(obj);
        if (!echo) {
            std::fprintf(stderr, "orb_echo_client: not a usable reference: %s\n", e.what().c_str());
        } else {
            status = run_calls(echo) ? 0 : 1;
            CORBA::release(echo);
        }
    }
    Env fin;
    orb->destroy(fin.w);
    CORBA::release(orb);
    return status;
}
