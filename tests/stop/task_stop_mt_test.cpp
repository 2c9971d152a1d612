// Stopping a task wherever it blocks or loops: in a broker call to a server
// that does not answer, in a loop of broker calls that never waits, polling
// a channel, waiting for a channel's events, printing, in a timer handler on
// the timer's own task, in each communication-library call that waits,
// waiting for a mutex another thread holds, spinning while a holder whose
// destructor gives back a reference and a channel side is in scope, in a
// loop that makes and stops child tasks, in large calls to the broker's
// Echo server (which answers the next calls from every reference and task,
// with no _unfail), beside other tasks' calls on the same reference, and
// stopping itself from code no end may leave (destructors, noexcept and
// catch-all frames) or deep in its own code. Every stop ends the thread, the
// process and the other tasks go on, and nothing the stopped calls held
// stays taken: descriptors, mappings and threads stay flat over the rounds
// ("TURV_STOP_ROUNDS", 200 for the full run; fewer by default;
// "TURV_STOP_ROWS" runs only the rows whose name holds it), broker locks
// can be taken, and a channel side the stopped task had open is opened by
// a replacement task, which receives the next message (and then returns or
// faults, its end closing the side again).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <random>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "common/yw_test_common.h"
#include "common/yw_test_sanitizer.h"
#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_ism.h"
#include "log/yw_log.h"
#include "ipc/ipc_inet_util.h"
#include "common/yw_test_shm.h"
#include "ipc/yw_ipc_inet.h"
#include "ipc/yw_ipc_kwt_srio.h"
#include "ipc/yw_ipc_tcp.h"
#include "orb/child_process.h"
#include "orb/test_watchdog.h"
#include "orb_client/giop_server.h"
#include "osa/yw_osa.h"
#include "task/yw_task.h"
#include "timer/yw_timer.h"
#include "timer/yw_timer_tsm.h"
#include "zv_api.h"

#include "corba_object.h"
#include "corba_orb.h"
#include "corba_string.h"
#include "peertest_echo.h"
#include "rtcorba.h"
#include "wq_circuit.h"
#include "wq_key.h"
#include "wq_memblock.h"
#include "wq_mthread.h"
#include "wq_stub.h"

namespace {

using namespace std::chrono_literals;

// ---- the process as seen from /proc -----------------------------------------

int countEntries(const char *dir)
{
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

int countMappings()
{
    std::ifstream f("/proc/self/maps");
    std::string line;
    int n = 0;
    while (std::getline(f, line))
        ++n;
    return n;
}

// What the descriptors of the process are, one per line.
std::string listDescriptors()
{
    std::string out;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        out += it->path().filename().string() + " -> " + std::filesystem::read_symlink(it->path(), ec).string() + "\n";
    return out;
}

bool threadAlive(int tid)
{
    return tid > 0 && access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0;
}

int gettidNow()
{
    return (int)syscall(SYS_gettid);
}

// Whether every thread of process `pid` has taken a stop signal.
bool allThreadsStopped(pid_t pid)
{
    int n = 0;
    std::error_code ec;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        std::ifstream f(it->path() / "stat");
        std::string line;
        std::getline(f, line);
        const size_t close = line.rfind(')'); // the name may hold spaces
        if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T')
            return false;
        ++n;
    }
    return n > 0;
}

// Whether thread `tid` of this process sits in a socket read or write (the
// system call it is blocked in, from /proc).
bool blockedInSocketCall(int tid)
{
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long nr = -1;
    if (!(f >> nr))
        return false; // "running", or gone
    return nr == SYS_recvfrom || nr == SYS_sendto;
}

bool waitFor(const std::function<bool()> &cond, std::chrono::milliseconds limit = 20s)
{
    return yw_common_test::waitFor(cond, limit);
}

int rounds()
{
    const char *v = std::getenv("TURV_STOP_ROUNDS");
    int n = v ? std::atoi(v) : 0;
    return n > 0 ? n : 12;
}

// Runs fn on a thread of its own and waits at most `limit` for it. A call
// that hangs still uses the caller's objects, so the test cannot go on: the
// process ends with a line naming it.
void mustEndWithin(const std::function<void()> &fn, std::chrono::seconds limit, const char *what)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([fn, done] {
        fn();
        *done = true;
    });
    if (!waitFor([&] { return done->load(); }, limit)) {
        std::fprintf(stderr, "%s did not end within %lld s: hung\n", what, (long long)limit.count());
        std::fflush(stderr);
        _exit(1);
    }
    t.join();
}

// Spins about `us` microseconds without reaching a cancellation point.
void spinFor(int us)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    while (std::chrono::steady_clock::now() < end) {
    }
}

// ---- a broker server that can stop answering ------------------------------

struct OrbSettings {
    OrbSettings()
    {
        CORBA::ORB::_orb_state = 1;
        CORBA::ORB::_conn_retries = 0;
        CORBA::ORB::_retry_delay = 0;
    }
};

// The stub of "long twice(in long v)".
int32_t twice(CORBA::Object *obj, int32_t v, const CORBA::EnvironmentWrapper &env)
{
    wq_ThreadEnvironment tenv;
    CORBA::Request *r = obj->_request("twice", false, env, tenv);
    if (env.pending())
        return 0;
    r->request_stream() << v;
    r->invoke(tenv);
    int32_t out = 0;
    if (!env.pending())
        r->reply_stream().read_4(&out);
    CORBA::release(r, tenv);
    return env.pending() ? 0 : out;
}

// Answers "twice" requests; while `held` it answers nothing, like a server
// stopped by SIGSTOP: requests wait in the socket and are answered, in order,
// when it goes on.
struct HoldableServer {
    std::atomic<bool> held{false}, done{false};
    ScriptServer srv{[this](ScriptServer &s, int fd) {
        for (;;) {
            pollfd pf{fd, POLLIN, 0};
            int pr = ::poll(&pf, 1, 20);
            if (done)
                return;
            if (pr == 0)
                continue;
            char c;
            if (pr < 0 || ::recv(fd, &c, 1, MSG_PEEK) <= 0)
                return;
            GiopReq q;
            if (!s.read(fd, q))
                return;
            while (held && !done)
                std::this_thread::sleep_for(1ms);
            LE x;
            x.u(uint32_t(q.arg * 2));
            ScriptServer::send_all(fd, ScriptServer::reply(q.id, 0, x.b));
        }
    }};
    ~HoldableServer() { done = true; }
};

// The priority band a thread's calls on a banded reference use.
thread_local uint32_t t_band = 0;
struct BandOfThread : RTCORBA::QosInterceptor {
    void choose_band(int32_t &, uint32_t &band, CORBA::Object *, char const *, uint32_t count, const int16_t *,
                     const int16_t *, wq_MsgCircuit *const *, const CORBA::EnvironmentWrapper &) override
    {
        band = t_band < count ? t_band : 0;
    }
};
BandOfThread g_bandOfThread;

// A reference with two priority bands to the server at `port`.
CORBA::Object *bandedRef(uint16_t port, const CORBA::EnvironmentWrapper &env)
{
    LE p;
    p.o(1).o(1).o(0).str("127.0.0.1").s(port).seq({'k', 'e', 'y'});
    std::vector<uint8_t> bands = band_profile({{1, 10}, {11, 20}});
    LE ior;
    ior.str("IDL:Test/Twice:1.0").u(2).u(0).u(uint32_t(p.b.size())).raw(p.b).u(WQ_TAG_PRIORITY_BANDS);
    ior.u(uint32_t(bands.size())).raw(bands);
    CORBA::Stream in(env);
    fill(in, ior.b);
    return in.read_object("IDL:Test/Twice:1.0");
}

// ---- the victims --------------------------------------------------------------

std::atomic<int> g_victimTid{0};
std::atomic<int> g_entered{0};  // the victim reached its place (count of rounds of its loop)
std::atomic<long> g_workDone{0}; // the worker task's progress

// A blocking place: what a victim task runs until it is stopped.
struct Place {
    const char *what;
    bool needsCancel;                   // ended only by cancellation inside a system call
    std::function<void()> before;       // before each round
    std::function<void()> body;         // on the victim's thread
    std::function<bool()> reached;      // the victim is in its place (null: it said so)
    std::function<YW_ret_t()> stop;     // null: YW_stopTask of the victim
    std::function<int()> victimTid;     // null: the task's own thread
    std::function<void()> after;        // the others' work on the same objects goes on
    std::function<void()> cleanUp;      // after the last round
    int minRounds = 0;                  // rounds at least, whatever TURV_STOP_ROUNDS says
    int stackMappings = 4;              // mappings the library's cache of thread stacks may add
    bool stopsItself = false;           // the victim task ends itself: nobody stops it
};

Place *g_place = nullptr;

} // namespace

extern "C" __attribute__((used)) void *yw_stop_test_victim(void *)
{
    g_victimTid = gettidNow();
    g_place->body();
    return nullptr;
}

// A framework task that keeps working (sleeps, takes the task table lock)
// while the victims are stopped.
extern "C" __attribute__((used)) void *yw_stop_test_worker(void *)
{
    for (int i = 0; i < 600000; ++i) {
        YW_task_status_t st{};
        YW_inqTask(YW_getTaskID(), &st);
        g_workDone++;
        YW_P_sleepThread(nullptr, 1000000LL);
    }
    return nullptr;
}

// The channel a replacement task opens after its victim was stopped, and
// what it saw: its open's result and the first message it received. Every
// other replacement ends by a fault instead of returning.
std::atomic<YW_ipc_iap_t> g_reopenIap{0};
std::atomic<YW_ipc_id_t> g_reopenId{YW_IPC_MAX};
std::atomic<int> g_reopenRc{1};
std::atomic<bool> g_reopenDone{false};
char g_reopenMsg[64];
std::atomic<int> g_victimOpenRc{1};
std::atomic<bool> g_reopenFault{false};

// Opens the receive side its victim had open, receives one message (polled,
// 20 s at most) and returns or faults: its own end closes the side again.
extern "C" __attribute__((used, no_sanitize("undefined"))) void *yw_stop_test_replacement(void *)
{
    g_reopenRc = YW_openIpc(g_reopenIap.load(), YW_IPC_FLAGS_RX, nullptr);
    char buf[sizeof g_reopenMsg] = {};
    for (int i = 0; g_reopenRc.load() == 0 && i < 20000; ++i) {
        YW_size_t n = YW_recvIpc(g_reopenId.load(), buf, sizeof buf - 1);
        if (n > 0) {
            std::memcpy(g_reopenMsg, buf, sizeof buf);
            break;
        }
        YW_P_sleepThread(nullptr, 1000000LL);
    }
    g_reopenDone = true;
    if (g_reopenFault) {
        volatile int *p = nullptr;
        return (void *)(intptr_t)*p;
    }
    return nullptr;
}

// A child task: sleeps until it is stopped.
extern "C" __attribute__((used)) void *yw_stop_test_child(void *)
{
    for (int i = 0; i < 600000; ++i)
        YW_P_sleepThread(nullptr, 1000000LL);
    return nullptr;
}

// What a task that stops itself saw: the result of its own stop, whether
// its code after the stop ran, and whether it slept through its next stop
// place.
std::atomic<int> g_selfStopRc{1};
std::atomic<int> g_selfDeleteRc{1};
std::atomic<bool> g_afterSelfStop{false};
std::atomic<bool> g_sleptThrough{false};

// A timer's handler whose holder stops and deletes the handler's own timer
// in its destructor (which ends the handler's task).
extern "C" __attribute__((used)) void yw_stop_test_self_deleting_handler(YW_timer_id_t id)
{
    g_victimTid = gettidNow();
    struct Holder {
        YW_timer_id_t id;
        ~Holder()
        {
            YW_stopTimer(id);
            g_selfStopRc = YW_deleteTimer(id);
        }
    } h{id};
    g_entered++;
}

// A task that stops itself from code no end may leave (a destructor, a
// noexcept function, the try block of a catch-all handler), then in that
// code prints and creates a timer, both stop places; the end waits until
// the code has returned. Then the task blocks (60 s in all) in a framework
// sleep, usleep, poll or a condition wait, where it must end.
YW_timer_cfg_t g_frameTimerCfg{};
std::atomic<YW_timer_id_t> g_frameTimer{YW_TIMER_INVALID_ID};
std::atomic<int> g_framePrinted{0};

namespace {

enum class Frame { Destructor, Noexcept, CatchAll };
enum class Then { FrameworkSleep, Usleep, Poll, ConditionWait };

void stopOwnTaskThenPlaces()
{
    g_selfStopRc = YW_stopTask(YW_getTaskID());
    // Stop places inside the frame: deferred as the stop itself.
    YW_printf("stop test: stopped itself\n");
    g_framePrinted = 1;
    YW_timer_id_t t = YW_TIMER_INVALID_ID;
    if (YW_createTimer(&g_frameTimerCfg, &t) == 0)
        g_frameTimer = t;
}

void stopInNoexcept() noexcept
{
    stopOwnTaskThenPlaces();
}

void stopFromFrameThenBlock(Frame f, Then then)
{
    g_entered++;
    if (f == Frame::Destructor) {
        struct Holder {
            ~Holder() { stopOwnTaskThenPlaces(); }
        } h;
    } else if (f == Frame::Noexcept) {
        stopInNoexcept();
    } else {
        try {
            stopOwnTaskThenPlaces();
        } catch (...) {
        }
    }
    g_afterSelfStop = true;
    std::mutex m;
    std::condition_variable cv;
    for (int i = 0; i < 600; ++i) {
        switch (then) {
        case Then::FrameworkSleep:
            YW_P_sleepThread(nullptr, 100000000LL);
            break;
        case Then::Usleep:
            usleep(100000);
            break;
        case Then::Poll:
            poll(nullptr, 0, 100);
            break;
        case Then::ConditionWait: {
            std::unique_lock<std::mutex> lk(m);
            cv.wait_for(lk, 100ms);
            break;
        }
        }
    }
    g_sleptThrough = true;
}

// Stops its own task from ordinary code `depth` frames deep.
__attribute__((noinline, optimize("no-optimize-sibling-calls"))) int stopDeep(int depth)
{
    if (depth == 0) {
        YW_stopTask(YW_getTaskID());
        g_afterSelfStop = true; // never: it ended in the call
        return 0;
    }
    int r = stopDeep(depth - 1);
    asm volatile("" ::: "memory");
    return r + 1;
}

} // namespace

// A timer's handler whose holder deletes the handler's own timer in its
// destructor (which stops the handler's task) and then makes a timer of
// the same name there.
YW_timer_cfg_t g_remakeCfg{};
extern "C" __attribute__((used)) void yw_stop_test_self_remaking_handler(YW_timer_id_t id)
{
    g_victimTid = gettidNow();
    struct Holder {
        YW_timer_id_t id;
        ~Holder()
        {
            YW_stopTimer(id);
            g_selfStopRc = YW_deleteTimer(id);
            YW_timer_id_t again = YW_TIMER_INVALID_ID;
            if (YW_createTimer(&g_remakeCfg, &again) == 0)
                g_frameTimer = again;
        }
    } h{id};
    g_entered++;
}

// A timer's handler that runs long (20 s), on the timer's own task.
extern "C" __attribute__((used)) void yw_stop_test_timer_handler(YW_timer_id_t)
{
    g_victimTid = gettidNow();
    g_entered++;
    for (int i = 0; i < 20000; ++i)
        usleep(1000);
}

namespace {

// The cycle of calls a transport makes on two areas; what it holds is given
// back when the thread ends here (its owners are on the stack).
void libraryCycle(const char *name)
{
    struct Area {
        SMB_handle h = nullptr;
        ~Area()
        {
            if (h)
                smb_close(h, 0);
        }
    } made, opened;
    struct Removed {
        const char *n;
        ~Removed() { smb_remove(n); }
    } removed{name};
    struct Access {
        SMB_access_handle a = nullptr;
        ~Access()
        {
            if (a)
                smb_access_release(a);
        }
    } access;
    struct Dx {
        DX_template t = nullptr;
        DX_transfer x = nullptr;
        ~Dx()
        {
            if (x)
                dx_release(x, 0);
            if (t)
                dx_destroy(t);
        }
    } dx;
    if (smb_create(name, SMB_ZERO_FILL, 8192, 1, 0, 0, &made.h) != 0)
        return;
    void *addr = nullptr;
    if (smb_open(name, 0, 0, 8192, 0, 0, &addr, &opened.h) != 0)
        return;
    SMB_handle both[2] = {made.h, opened.h};
    if (smb_access_setup(both, sizeof both, &access.a, nullptr) != 0)
        return;
    smb_access_write_u64(access.a, 1, 0, 0, 42);
    if (dx_create(made.h, opened.h, nullptr, 0, 0, 0, 0, &dx.t) != 0)
        return;
    if (dx_copy(dx.t, 0, 4096, 64, 0, 0, 0, &dx.x) == 0 && dx_start(dx.x, 0) == 0)
        dx_get_status(dx.x, 0, 0);
}

// The file of an area's shared-memory object, made without a size: an
// attach or open waits for its creator to size it.
std::string makeUnsizedArea(const char *name)
{
    uint64_t size = 0;
    char file[256] = "";
    smb_stat(name, &size, file, sizeof file);
    smb_remove(name);
    int fd = open(file, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
    return file;
}

// The broker's Echo server as a process of its own on 127.0.0.1, for the
// rows that stop large calls to a real server.
struct EchoServerProcess {
    std::string dir, iorFile, ior;
    pid_t pid = -1;
    EchoServerProcess()
    {
        char d[] = "/tmp/stop_echo_XXXXXX";
        if (!mkdtemp(d))
            return;
        dir = d;
        iorFile = dir + "/ior";
        pid = orb_test::spawn({orb_test::bin("orb_echo_server"), "-ORBdiag", "none", "-o", iorFile});
        waitFor([&] {
            std::ifstream in(iorFile);
            return pid > 0 && std::getline(in, ior) && ior.rfind("IOR:", 0) == 0;
        });
    }
    ~EchoServerProcess()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            orb_test::wait_child(pid, 20);
        }
        unlink(iorFile.c_str());
        rmdir(dir.c_str());
    }
};

// The exception a call left, as a line; empty for none.
std::string describe(CORBA::Exception *e)
{
    if (!e)
        return "";
    std::string t = e->wq_ir_name();
    if (CORBA::SystemException *s = CORBA::SystemException::_downcast(e))
        t += " minor " + std::to_string(s->minor() & 0x1F) + " " + (s->param() ? s->param() : "");
    return t;
}

// One echo_octets call of `n` octets, answered in full.
void expectEchoed(PeerTest::Echo *echo, std::size_t n, const char *who)
{
    PeerTest::OctetSeq data(n, (unsigned char)(n & 0xFF));
    CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
    PeerTest::OctetSeq back = echo->echo_octets(data, e);
    EXPECT_EQ(describe(e.exception()), "") << who;
    EXPECT_TRUE(back == data) << who << ": " << back.size() << " octets back";
}

class TaskStop : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static bool once = false;
        if (once)
            return;
        once = true;
        setenv("ZV_smb_attach_pause", "600000", 1);
        setenv("ZV_cluster", "stoptest", 1);
        yw_common_test::initLogAndTasks(true);
        YW_ipc_ism_init();
        YW_ipc_inet_start();
        YW_ipc_kwt_srio_start();
        YW_timer_tsm_init();
    }
};

// Runs the rounds of one place: start the victim, let it reach its place,
// stop it, check that it is gone and that the others' work goes on; then
// the descriptors, mappings and threads against the first rounds.
void runPlace(Place &p, YW_task_id_t worker)
{
    SCOPED_TRACE(p.what);
    g_place = &p;
    const int n = std::max(rounds(), p.minRounds);
    int fds0 = 0, maps0 = 0, threads0 = 0;
    for (int round = 0; round < n + 2; ++round) {
        if (round == 2) {
            // The first rounds make what the process keeps for good (a
            // broker thread record, a circuit, the timer's signal thread).
            fds0 = countEntries("/proc/self/fd");
            maps0 = countMappings();
            threads0 = countEntries("/proc/self/task");
        }
        g_victimTid = 0;
        g_entered = 0;
        if (p.before)
            p.before();
        YW_task_id_t id = YW_TASK_ID_NONE;
        if (!p.stop) {
            YW_task_cfg_t c = yw_common_test::makeCfg("stop_victim", "yw_stop_test_victim");
            ASSERT_EQ(YW_createTask(&c, &id), 0);
            ASSERT_EQ(YW_startTask(id, nullptr), 0);
        }
        ASSERT_TRUE(waitFor([&] {
            return g_victimTid.load() != 0 && (p.reached ? p.reached() : g_entered.load() > 0);
        })) << "round " << round;
        std::this_thread::sleep_for(5ms); // well inside its place
        const int tid = g_victimTid.load();
        const YW_ret_t r = p.stopsItself ? YW_SUCCESS : p.stop ? p.stop() : YW_stopTask(id);
        ASSERT_EQ(r, 0) << "round " << round;
        ASSERT_TRUE(waitFor([&] { return !threadAlive(tid); })) << "round " << round;
        // Another task's work and the framework's locks go on.
        const long w = g_workDone.load();
        ASSERT_TRUE(waitFor([&] { return g_workDone.load() > w + 1; })) << "round " << round;
        YW_task_status_t st{};
        EXPECT_EQ(YW_inqTask(worker, &st), 0);
        ASSERT_EQ(YW_ipc_lock(), 0);
        EXPECT_EQ(YW_ipc_unlock(), 0);
        if (p.after)
            p.after();
    }
    // Flat: the last rounds left nothing behind (a moment for the ended
    // threads' last steps).
    EXPECT_TRUE(waitFor([&] { return countEntries("/proc/self/task") <= threads0; }, 5s))
        << countEntries("/proc/self/task") << " threads, " << threads0 << " before";
    EXPECT_TRUE(waitFor([&] { return countEntries("/proc/self/fd") <= fds0; }, 5s))
        << countEntries("/proc/self/fd") << " descriptors, " << fds0 << " before:\n" << listDescriptors();
    // Thread stacks are kept for reuse by the library: a few may come and go.
    // (ThreadSanitizer keeps mappings of its own for every thread it saw;
    // AddressSanitizer's quarantine keeps freed memory and maps more as the
    // rounds allocate.)
#if !defined(YW_TEST_TSAN) && !defined(__SANITIZE_ADDRESS__)
    EXPECT_TRUE(waitFor([&] { return countMappings() <= maps0 + p.stackMappings; }, 5s))
        << countMappings() << " mappings, " << maps0 << " before";
#else
    (void)maps0;
#endif
    if (p.cleanUp)
        p.cleanUp();
}

// A channel frame as a socket peer writes it: sequence, length, payload, two
// bytes of trailer.
std::string frame(uint32_t seq, const std::string &payload)
{
    std::string f(8, '\0');
    const uint32_t len = (uint32_t)payload.size() + 10;
    std::memcpy(&f[0], &seq, 4);
    std::memcpy(&f[4], &len, 4);
    return f + payload + std::string(2, '\0');
}

TEST_F(TaskStop, EveryBlockingPlaceEndsTheTaskAndLeavesNothingTaken)
{
    yw_common_test::ShmCluster shm("stop");
    static OrbSettings orbSettings;
    YW_task_cfg_t wc = yw_common_test::makeCfg("stop_worker", "yw_stop_test_worker");
    YW_task_id_t worker = YW_TASK_ID_NONE;
    ASSERT_EQ(YW_createTask(&wc, &worker), 0);
    ASSERT_EQ(YW_startTask(worker, nullptr), 0);

    // The broker's reference, shared by the victims and the test thread.
    HoldableServer server;
    CORBA::EnvironmentInfo *einfo = new CORBA::EnvironmentInfo(0);
    CORBA::EnvironmentWrapper env(einfo);
    const unsigned char key[] = {'k', 'e', 'y'};
    CORBA::Object *obj = CORBA::Object::Helper::foreign_bind(key, 3, server.srv.endpoint().c_str(),
                                                             "IDL:Test/Twice:1.0", false, false, env);
    ASSERT_NE(obj, nullptr);
    ASSERT_EQ(twice(obj, 2, env), 4);

    // A message-queue channel the victims poll.
    YW_ipc_cfg_t mq{};
    mq.name = const_cast<char *>("stop_mq");
    mq.interfaceType = YW_IPC_INTF_MSGQ;
    mq.transportType = YW_IPC_TRANSPORT_MAX;
    mq.flags = YW_IPC_FLAGS_RX;
    mq.iap = 77;
    mq.rx.buffer_size = 1024;
    mq.rx.max_descriptors = 8;
    mq.rx.frame_size = 1024;
    YW_ipc_id_t mqId = YW_IPC_MAX;
    ASSERT_EQ(YW_createIpc(&mq, &mqId), 0);
    // A TCP server channel with a connected peer and a UDP channel, polled
    // with direct receive (the receiving call reads the socket itself).
    const YW_uint32_t rxFramed = YW_IPC_FLAGS_RX | YW_IPC_FLAGS_FRAMED;
    const uint16_t tport = yw_ipc_test::freePort(), uport = yw_ipc_test::freePort(SOCK_DGRAM);
    yw_ipc_test::InetCfg tcpCfg("stop_tcp", YW_IPC_TRANSPORT_TCP, rxFramed, 78, tport, 0, 64);
    yw_ipc_test::InetCfg udpCfg("stop_udp", YW_IPC_TRANSPORT_UDP, rxFramed, 79, uport, 0, 64);
    YW_ipc_id_t tcpId = YW_IPC_MAX, udpId = YW_IPC_MAX;
    ASSERT_EQ(YW_createIpc(&tcpCfg.cfg, &tcpId), 0);
    ASSERT_EQ(YW_createIpc(&udpCfg.cfg, &udpId), 0);
    int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = yw_ipc_test::loop4(tport);
    ASSERT_TRUE(waitFor([&] { return connect(peer, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0; }));
    // A victim that opens a channel's receive side and polls it without
    // waiting, for ever.
    auto polling = [&](const char *what, YW_ipc_iap_t iap, const YW_ipc_id_t &id) {
        return Place{what, false, nullptr,
                     [iap, &id] {
                         YW_openIpc(iap, YW_IPC_FLAGS_RX, nullptr);
                         char buf[64];
                         for (;;) {
                             YW_recvIpc(id, buf, sizeof buf);
                             g_entered++;
                         }
                     },
                     nullptr, nullptr, nullptr, nullptr, nullptr};
    };

    // A victim that opens a channel's receive side and waits for its events
    // for ever. After its stop a replacement task opens the same side (its
    // open succeeds) and receives the next message sent into the channel;
    // it then returns from its entry, whose end closes the side again for
    // the next victim. One channel of each transport, each with its sender.
    yw_ipc_test::MsgqCfg mqBoth("stop_mq_both", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 80, 4096, 16);
    const uint16_t tport2 = yw_ipc_test::freePort(), uport2 = yw_ipc_test::freePort(SOCK_DGRAM);
    yw_ipc_test::InetCfg tcpRx("stop_tcp_rx", YW_IPC_TRANSPORT_TCP, rxFramed, 81, tport2, 0, 64);
    yw_ipc_test::InetCfg udpRx("stop_udp_rx", YW_IPC_TRANSPORT_UDP, rxFramed, 82, uport2, 0, 64);
    auto srioCfg = [](const char *name, YW_uint32_t flags, YW_ipc_iap_t iap, int lport, int rport) {
        YW_ipc_cfg_t c{};
        c.name = const_cast<char *>(name);
        c.interfaceType = YW_IPC_INTF_KWT_SRIO;
        c.transportType = YW_IPC_TRANSPORT_SMB;
        c.flags = flags | YW_IPC_FLAGS_LOCAL | YW_IPC_FLAGS_FLOWCTRL;
        c.iap = iap;
        YW_ipc_side_cfg_t &side = (flags & YW_IPC_FLAGS_TX) ? c.tx : c.rx;
        side.buffer_size = 4096;
        side.max_descriptors = 8;
        side.frame_size = 1024;
        const int ceid = (int)(YW_int32_t)ce_getid();
        c.address.local.srio = {ceid, lport};
        c.address.remote.srio = {ceid, rport};
        return c;
    };
    YW_ipc_cfg_t srioTx = srioCfg("stop_srio_tx", YW_IPC_FLAGS_TX, 83, 30, 31);
    YW_ipc_cfg_t srioRx = srioCfg("stop_srio_rx", YW_IPC_FLAGS_RX, 84, 31, 30);
    YW_ipc_id_t mqBothId = YW_IPC_MAX, tcpRxId = YW_IPC_MAX, udpRxId = YW_IPC_MAX;
    YW_ipc_id_t srioTxId = YW_IPC_MAX, srioRxId = YW_IPC_MAX;
    ASSERT_EQ(YW_createIpc(&mqBoth.cfg, &mqBothId), 0);
    ASSERT_EQ(YW_createIpc(&tcpRx.cfg, &tcpRxId), 0);
    ASSERT_EQ(YW_createIpc(&udpRx.cfg, &udpRxId), 0);
    ASSERT_EQ(YW_createIpc(&srioTx, &srioTxId), 0);
    ASSERT_EQ(YW_createIpc(&srioRx, &srioRxId), 0);
    int tcpPeer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int udpPeer = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in tcpTo = yw_ipc_test::loop4(tport2), udpTo = yw_ipc_test::loop4(uport2);
    ASSERT_TRUE(waitFor([&] { return connect(tcpPeer, reinterpret_cast<sockaddr *>(&tcpTo), sizeof tcpTo) == 0; }));
    yw_ipc_test::TaskHost sender("stop_sender");
    ASSERT_TRUE(sender.ok());
    sender.run([] {
        EXPECT_EQ(YW_openIpc(80, YW_IPC_FLAGS_TX, nullptr), 0);
        EXPECT_EQ(YW_openIpc(83, YW_IPC_FLAGS_TX, nullptr), 0);
    });
    uint32_t tcpSeq = 0, udpSeq = 0;
    auto reopening = [&](const char *what, YW_ipc_iap_t iap, const YW_ipc_id_t &id,
                         std::function<void(const std::string &)> send) {
        return Place{
            what, false,
            [iap, &id] {
                g_reopenIap = iap;
                g_reopenId = id;
                g_victimOpenRc = 1;
            },
            [iap] {
                g_victimOpenRc = YW_openIpc(iap, YW_IPC_FLAGS_RX, nullptr);
                g_entered++;
                YW_event_q_t *q = YW_task_tse_getEventQ();
                for (;;) {
                    YW_event_wait(q, -1);
                    YW_event_msg_t *m = nullptr;
                    while (YW_event_recv(q, YW_EVENT_FLAG_IPC, &m) == 0)
                        YW_event_releaseEvent(m);
                }
            },
            nullptr, nullptr, nullptr,
            [send] {
                // The previous round's replacement ended by returning or by a
                // fault: its end closed the side, so this round's victim
                // opened it.
                EXPECT_EQ(g_victimOpenRc.load(), 0);
                g_reopenRc = 1;
                g_reopenDone = false;
                std::memset(g_reopenMsg, 0, sizeof g_reopenMsg);
                YW_task_cfg_t c = yw_common_test::makeCfg("stop_replacement", "yw_stop_test_replacement");
                YW_task_id_t rid = YW_TASK_ID_NONE;
                ASSERT_EQ(YW_createTask(&c, &rid), 0);
                ASSERT_EQ(YW_startTask(rid, nullptr), 0);
                ASSERT_TRUE(waitFor([] { return g_reopenRc.load() != 1; }));
                EXPECT_EQ(g_reopenRc.load(), 0) << "the stopped task's side was not closed";
                static int n = 0;
                const std::string m = "next " + std::to_string(++n);
                g_reopenFault = n % 2 == 0;
                if (g_reopenRc.load() == 0)
                    send(m);
                ASSERT_TRUE(waitFor([] { return g_reopenDone.load(); }));
                EXPECT_EQ(std::string(g_reopenMsg), g_reopenRc.load() == 0 ? m : "");
                ASSERT_TRUE(waitFor([] {
                    YW_task_id_t x;
                    return YW_searchTaskByName("stop_replacement", &x) != 0;
                }));
            },
            nullptr};
    };

    // The broker initialised, for a loop of broker calls that never waits
    // (the call rows' settings put back after it), and a reference's
    // string form for it.
    CORBA::ORB::_orb_state = 0;
    int orbArgc = 0;
    CORBA::ORB *orb = CORBA::ORB_init(orbArgc, nullptr);
    ASSERT_NE(orb, nullptr);
    OrbSettings{};
    char *ior = orb->object_to_string(obj);
    ASSERT_NE(ior, nullptr);
    auto orbCalls = [&ior] {
        int argc = 0;
        CORBA::ORB *o = CORBA::ORB_init(argc, nullptr);
        CORBA::Object *r = o ? o->string_to_object(ior) : nullptr;
        CORBA::release(r);
        CORBA::release(o);
        return r != nullptr;
    };

    // The timer whose handler is stopped.
    YW_timer_cfg_t tc{};
    tc.name = const_cast<char *>("stop_timer");
    tc.sourceType = YW_TIMER_SOURCE_SYS;
    tc.repeat = -1;
    tc.interval = 1000000;
    tc.handler = const_cast<char *>("yw_stop_test_timer_handler");
    tc.stack_size = 256 * 1024;
    YW_timer_id_t timer = YW_TIMER_INVALID_ID;
    // The timer whose handler deletes it.
    YW_timer_cfg_t selfTc = tc;
    selfTc.name = const_cast<char *>("stop_self_timer");
    selfTc.handler = const_cast<char *>("yw_stop_test_self_deleting_handler");
    YW_timer_id_t selfTimer = YW_TIMER_INVALID_ID;
    // The timer whose handler deletes it and makes one of the same name.
    YW_timer_cfg_t remakeTc = tc;
    remakeTc.name = const_cast<char *>("stop_remade_timer");
    remakeTc.handler = const_cast<char *>("yw_stop_test_self_remaking_handler");
    g_remakeCfg = remakeTc;
    g_remakeCfg.handler = const_cast<char *>("yw_stop_test_timer_handler"); // never started

    // A resource mutex another thread holds.
    YW_P_mutex_t res = nullptr;
    ASSERT_EQ(YW_P_createMutex(YW_SEM_Q_PRIORITY, &res), 0);
    std::atomic<bool> holderGo{false};
    std::thread holder;

    // The Echo server for the large calls, a reference to it that the
    // victims share, and another task that calls it after each stop.
    EchoServerProcess echoServer;
    ASSERT_FALSE(echoServer.ior.empty()) << "orb_echo_server gave no IOR";
    CORBA::Object *echoObj = orb->string_to_object(echoServer.ior.c_str());
    PeerTest::Echo *echo = PeerTest::Echo::_narrow(echoObj);
    ASSERT_NE(echo, nullptr);
    expectEchoed(echo, 1024, "first call");
    yw_ipc_test::TaskHost caller("stop_caller");
    ASSERT_TRUE(caller.ok());
    // A victim that loops echo_octets calls of n octets on the shared
    // reference while another task makes small calls on it; the stop lands
    // before, in or after a reply. The other task's calls are answered or
    // get a system exception (the connection the stop cut), never hang.
    // Afterwards the same reference, a fresh one and another task are each
    // answered (the one that calls first, taking turns, finds a connection
    // the stop may have cut and connects again), with no _unfail.
    std::atomic<bool> alongsideEnd{false};
    std::string alongsideOdd;
    // What is wrong with the exception a call beside a stopped one got:
    // empty for none, or for the connection the stop cut (COMM_FAILURE minor
    // 3; a call that was waiting for its reply, its request written, may
    // have been run).
    auto oddAlongside = [](CORBA::Exception *x) -> std::string {
        auto *sx = x ? CORBA::SystemException::_downcast(x) : nullptr;
        if (!x || (CORBA::COMM_FAILURE::_downcast(x) && (sx->minor() & 0x1F) == 3 &&
                   (std::string(sx->param() ? sx->param() : "") != "reader ended by a stop" ||
                    sx->completed() == CORBA::COMPLETED_MAYBE)))
            return "";
        return describe(x) + " completed " + std::to_string(sx ? (int)sx->completed() : -1);
    };
    // After a stopped call: the same reference, a fresh one and another
    // task are each answered (the one that calls first, taking turns, finds
    // a connection the stop may have cut and connects again), with no
    // _unfail.
    auto answeredAfterStop = [&] {
        static int turn = 0;
        auto same = [&] { expectEchoed(echo, 4096, "the same reference"); };
        auto fresh = [&] {
            CORBA::Object *o = orb->string_to_object(echoServer.ior.c_str());
            PeerTest::Echo *f = PeerTest::Echo::_narrow(o);
            ASSERT_NE(f, nullptr);
            expectEchoed(f, 4096, "a fresh reference");
            CORBA::release(f);
            CORBA::release(o);
        };
        auto other = [&] { caller.run([&] { expectEchoed(echo, 4096, "another task"); }, 30s); };
        std::function<void()> calls[] = {same, fresh, other};
        ++turn;
        mustEndWithin(
            [&] {
                for (int i = 0; i < 3; ++i)
                    calls[(turn + i) % 3]();
            },
            60s, "calls to the Echo server after a stopped large call");
    };
    auto echoing = [&](const char *what, std::size_t n) {
        return Place{what, false,
                     [&] {
                         alongsideEnd = false;
                         caller.post([&] {
                             const PeerTest::OctetSeq d(1024, 2);
                             while (!alongsideEnd) {
                                 CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
                                 PeerTest::OctetSeq back = echo->echo_octets(d, e);
                                 std::string odd = oddAlongside(e.exception());
                                 if (!odd.empty() && alongsideOdd.empty())
                                     alongsideOdd = odd;
                             }
                         });
                     },
                     [&echo, n] {
                         PeerTest::OctetSeq data(n, 1);
                         for (;;) {
                             CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
                             PeerTest::OctetSeq back = echo->echo_octets(data, e);
                             g_entered++;
                         }
                     },
                     nullptr, nullptr, nullptr,
                     [&] {
                         alongsideEnd = true;
                         caller.drain(60s);
                         EXPECT_EQ(alongsideOdd, "") << "another task's call alongside";
                         answeredAfterStop();
                     },
                     nullptr};
    };

    // A victim that loops echo_octets calls of n octets on the shared
    // reference beside three other tasks that loop calls of the same size
    // on it, each with octets of its own, and is stopped at a random moment
    // (sending, reading for the others, waiting for its reply or for its
    // turn, or between calls), many times. Each other call gets its own
    // octets back or COMM_FAILURE minor 3 (the connection the stop cut);
    // none waits for a reply or a reader that nobody provides (a call that
    // does not end ends the test). Afterwards the references and another
    // task are answered.
    std::unique_ptr<yw_ipc_test::TaskHost> sharers[3];
    for (int k = 0; k < 3; ++k) {
        sharers[k] = std::make_unique<yw_ipc_test::TaskHost>(("stop_sharer" + std::to_string(k)).c_str());
        ASSERT_TRUE(sharers[k]->ok());
    }
    std::string sharerOdd[3];
    std::mt19937 moments(std::random_device{}());
    auto sharing = [&](const char *what, std::size_t n, int minRounds) {
        return Place{what, false,
                     [&, n] {
                         alongsideEnd = false;
                         for (int k = 0; k < 3; ++k)
                             sharers[k]->post([&, n, k] {
                                 const PeerTest::OctetSeq d(n, (unsigned char)(0x40 + k));
                                 while (!alongsideEnd) {
                                     CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
                                     PeerTest::OctetSeq back = echo->echo_octets(d, e);
                                     std::string odd = oddAlongside(e.exception());
                                     if (odd.empty() && !e.exception() && !(back == d))
                                         odd = "octets of another call: " + std::to_string(back.size()) + " octets, " +
                                               std::to_string(back.size() ? back[0] : -1) + " first";
                                     if (!odd.empty() && sharerOdd[k].empty())
                                         sharerOdd[k] = odd;
                                 }
                             });
                     },
                     [&echo, n] {
                         PeerTest::OctetSeq data(n, 1);
                         for (;;) {
                             CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
                             PeerTest::OctetSeq back = echo->echo_octets(data, e);
                             g_entered++;
                         }
                     },
                     // a random moment: after 0 to 3 of its calls, then 0 to
                     // 4 ms more (the table waits 5 ms as well)
                     [&] {
                         static int calls = -1;
                         if (calls < 0)
                             calls = (int)(moments() % 4) + 1;
                         if (g_entered.load() < calls)
                             return false;
                         calls = -1;
                         std::this_thread::sleep_for(std::chrono::microseconds(moments() % 4000));
                         return true;
                     },
                     nullptr, nullptr,
                     [&] {
                         alongsideEnd = true;
                         for (auto &h : sharers)
                             h->drain(60s);
                         for (int k = 0; k < 3; ++k) {
                             EXPECT_EQ(sharerOdd[k], "") << "call of the task beside it " << k;
                             sharerOdd[k].clear();
                         }
                         answeredAfterStop();
                     },
                     nullptr, minRounds};
    };

    // A banded reference (two bands, one connection each) to a server of
    // its own.
    HoldableServer bandServer;
    CORBA::Object *bandObj = bandedRef(bandServer.srv.port(), env);
    ASSERT_NE(bandObj, nullptr) << describe(env.exception());
    ASSERT_EQ(twice(bandObj, 3, env), 6) << describe(env.exception()); // connected, bands bound
    int bandBefore = 0;
    std::atomic<int> otherBandGot{0}, nextBandGot{0};
    std::string otherBandExc, nextBandExc;

    // A victim that calls the Echo server (SIGSTOPped) while another task's
    // call of the same size is in the connection before it; the stop ends
    // the victim in the usual time whichever part it is in (waiting for its
    // turn to send, sending into the full connection, or waiting for its
    // reply while the other reads). Once the server goes on, the other task
    // gets its own answer (or, when the stop ended a write midway, a
    // COMM_FAILURE minor 3) and the reference serves the next call.
    std::atomic<bool> otherEchoOk{false}, otherStarted{false};
    std::atomic<int> otherTid{0};
    std::string otherEchoExc;
    auto waitingBehind = [&](const char *what, std::size_t n, bool mayCut) {
        return Place{what, false,
                     [&, n] {
                         otherEchoOk = false;
                         otherEchoExc = "not answered";
                         // Stopped in every thread before the call: a
                         // thread that has not yet taken the stop could
                         // still answer it.
                         kill(echoServer.pid, SIGSTOP);
                         ASSERT_TRUE(waitFor([&] { return allThreadsStopped(echoServer.pid); }));
                         otherStarted = false;
                         otherTid = 0;
                         caller.post([&, n] {
                             const PeerTest::OctetSeq d(n, 3);
                             otherTid = gettidNow();
                             otherStarted = true;
                             CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
                             PeerTest::OctetSeq back = echo->echo_octets(d, e);
                             otherEchoExc = describe(e.exception());
                             otherEchoOk = back == d;
                         });
                         // Its call goes first: it is blocked writing its
                         // request or reading for its reply (it holds the
                         // turn to send or the reading part) before the
                         // victim calls, so that the victim waits behind
                         // it and never reads itself.
                         ASSERT_TRUE(waitFor([&] { return otherStarted.load(); }));
                         ASSERT_TRUE(waitFor([&] { return blockedInSocketCall(otherTid.load()); }));
                     },
                     [&echo, n] {
                         const PeerTest::OctetSeq d(n, 4);
                         g_entered = 1;
                         CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
                         PeerTest::OctetSeq back = echo->echo_octets(d, e);
                     },
                     // (in its call: waiting for its turn to send, sending
                     // into the full connection, or waiting for its reply)
                     nullptr, nullptr, nullptr,
                     [&, mayCut] {
                         kill(echoServer.pid, SIGCONT);
                         caller.drain(60s);
                         // A stop that ends a write midway gives up the
                         // connection (half a request went out): the other
                         // call then gets COMM_FAILURE minor 3.
                         if (!mayCut || otherEchoExc.rfind("IDL:omg.org/CORBA/COMM_FAILURE:1.0 minor 3 ", 0) != 0) {
                             EXPECT_EQ(otherEchoExc, "");
                             EXPECT_TRUE(otherEchoOk.load());
                         }
                         mustEndWithin([&] { expectEchoed(echo, 4096, "the same reference"); }, 60s,
                                       "a call after a stopped call behind another");
                     },
                     nullptr};
    };

    int requestsBefore = 0;
    std::atomic<int> readerGot{0};
    std::string readerExc;
    auto stopsItself = [](Place p) {
        p.stopsItself = true;
        return p;
    };
    g_frameTimerCfg = tc;
    g_frameTimerCfg.name = const_cast<char *>("stop_frame_timer");
    static Frame frameOf;
    static Then thenOf;
    auto selfStopInFrame = [&](const char *what, Frame f, Then then, bool needsCancel) {
        return stopsItself(Place{
            what, needsCancel,
            [f, then] {
                frameOf = f;
                thenOf = then;
                g_selfStopRc = 1;
                g_framePrinted = 0;
                g_frameTimer = YW_TIMER_INVALID_ID;
                g_afterSelfStop = false;
                g_sleptThrough = false;
            },
            [] { stopFromFrameThenBlock(frameOf, thenOf); }, nullptr, nullptr, nullptr,
            [] {
                EXPECT_EQ(g_selfStopRc.load(), 0);
                EXPECT_EQ(g_framePrinted.load(), 1);
                EXPECT_TRUE(g_afterSelfStop.load());
                EXPECT_FALSE(g_sleptThrough.load());
                if (g_frameTimer.load() != YW_TIMER_INVALID_ID) {
                    EXPECT_EQ(YW_deleteTimer(g_frameTimer.load()), 0);
                }
            },
            nullptr});
    };
    Place places[] = {
        {"broker call to a server that does not answer", true,
         [&] {
             server.held = true;
             requestsBefore = server.srv.requests.load();
         },
         [&] {
             CORBA::EnvironmentWrapper ve(new CORBA::EnvironmentInfo(0));
             twice(obj, 7, ve);
         },
         // in the call once the server has its request
         [&] { return server.srv.requests.load() > requestsBefore; }, nullptr, nullptr,
         [&] {
             server.held = false;
             // The same reference serves the next call at once.
             mustEndWithin(
                 [&] {
                     CORBA::EnvironmentWrapper e2(new CORBA::EnvironmentInfo(0));
                     EXPECT_EQ(twice(obj, 21, e2), 42);
                     EXPECT_EQ(e2.exception(), nullptr);
                 },
                 15s, "a broker call on the reference of a stopped call");
         },
         nullptr},
        {"broker call on one priority band while another band's call waits", true,
         [&] {
             RTCORBA::the_QosInterceptor = &g_bandOfThread;
             bandServer.held = true;
             bandBefore = bandServer.srv.requests.load();
             otherBandGot = 0;
             otherBandExc = "not answered";
             // Another task's call on the other band, in flight.
             caller.post([&] {
                 t_band = 1;
                 CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
                 otherBandGot = twice(bandObj, 5, e);
                 otherBandExc = describe(e.exception());
                 t_band = 0;
             });
             waitFor([&] { return bandServer.srv.requests.load() > bandBefore; });
         },
         [&] {
             t_band = 0;
             g_entered = 1;
             CORBA::EnvironmentWrapper ve(new CORBA::EnvironmentInfo(0));
             twice(bandObj, 7, ve);
         },
         // reading its band's connection for its reply
         [&] { return bandServer.srv.requests.load() > bandBefore + 1; }, nullptr, nullptr,
         [&] {
             // The next call on the cut band connects it again, alone: the
             // other band's call goes on and gets its own answer.
             nextBandGot = 0;
             nextBandExc = "not answered";
             std::thread next([&] {
                 t_band = 0;
                 CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
                 nextBandGot = twice(bandObj, 21, e);
                 nextBandExc = describe(e.exception());
             });
             waitFor([&] { return bandServer.srv.requests.load() > bandBefore + 2; });
             bandServer.held = false;
             mustEndWithin([&] { next.join(); }, 30s, "a call on the band a stop cut");
             caller.drain(30s);
             EXPECT_EQ(otherBandGot.load(), 10);
             EXPECT_EQ(otherBandExc, "");
             EXPECT_EQ(nextBandGot.load(), 42);
             EXPECT_EQ(nextBandExc, "");
             RTCORBA::the_QosInterceptor = nullptr;
         },
         nullptr},
        {"broker call waiting behind another task's read of a server that does not answer", false,
         [&] {
             server.held = true;
             requestsBefore = server.srv.requests.load();
             readerGot = 0;
             readerExc = "not answered";
             // Another task's call is read first: it is the reader.
             caller.post([&] {
                 CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
                 readerGot = twice(obj, 5, e);
                 readerExc = describe(e.exception());
             });
             waitFor([&] { return server.srv.requests.load() > requestsBefore; });
         },
         [&] {
             g_entered = 1;
             CORBA::EnvironmentWrapper ve(new CORBA::EnvironmentInfo(0));
             twice(obj, 7, ve);
         },
         // waiting for its reply behind the reader
         [&] { return wq_MsgCircuit::_reply_waits.load() > 0; }, nullptr, nullptr,
         [&] {
             server.held = false;
             // The reader gets its own answer (never the stopped call's),
             // and the reference serves the next call.
             caller.drain(30s);
             EXPECT_EQ(readerGot.load(), 10);
             EXPECT_EQ(readerExc, "");
             mustEndWithin(
                 [&] {
                     CORBA::EnvironmentWrapper e2(new CORBA::EnvironmentInfo(0));
                     EXPECT_EQ(twice(obj, 21, e2), 42);
                     EXPECT_EQ(describe(e2.exception()), "");
                 },
                 15s, "a broker call after a stopped waiting call");
         },
         nullptr},
        polling("YW_recvIpc polled on a message queue", 77, mqId),
        polling("YW_recvIpc polled on a TCP channel", 78, tcpId),
        polling("YW_recvIpc polled on a UDP channel", 79, udpId),
        {"YW_printf loop", false, nullptr,
         [] {
             for (;;) {
                 YW_printf("stop test line %d\n", g_entered.load());
                 g_entered++;
                 spinFor(200);
             }
         },
         nullptr, nullptr, nullptr, nullptr, nullptr},
        {"timer handler on its own task", true,
         [&] {
             testing::internal::CaptureStdout();
             EXPECT_EQ(YW_createTimer(&tc, &timer), 0);
             EXPECT_EQ(YW_startTimer(timer), 0);
             testing::internal::GetCapturedStdout();
         },
         nullptr, nullptr,
         [&] {
             YW_stopTimer(timer);
             return YW_deleteTimer(timer);
         },
         nullptr, nullptr, nullptr},
        {"smb_attach of an area nobody sizes", true, [] { makeUnsizedArea("stop_attach"); },
         [] {
             g_entered = 1;
             SMB_handle h = nullptr;
             if (smb_attach("stop_attach", 0, 4096, 0, 0, &h) == 0)
                 smb_close(h, 0);
         },
         nullptr, nullptr, nullptr, nullptr, [] { smb_remove("stop_attach"); }},
        {"smb_open of an area nobody sizes", true, [] { makeUnsizedArea("stop_open"); },
         [] {
             g_entered = 1;
             SMB_handle h = nullptr;
             void *a = nullptr;
             if (smb_open("stop_open", 0, 0, 4096, 0, 0, &a, &h) == 0)
                 smb_close(h, 0);
         },
         nullptr, nullptr, nullptr, nullptr, [] { smb_remove("stop_open"); }},
        {"create/open/access/dx cycle", true, nullptr,
         [] {
             for (;;) {
                 libraryCycle("stop_cycle");
                 g_entered++;
                 usleep(50);
             }
         },
         nullptr, nullptr, nullptr,
         [] {
             // The name is free again: nothing of the cut cycle holds it.
             SMB_handle h = nullptr;
             EXPECT_EQ(smb_create("stop_cycle", 0, 4096, 1, 0, 0, &h), 0);
             if (h) {
                 smb_close(h, 0);
                 smb_remove("stop_cycle");
             }
         },
         nullptr},
        {"resource mutex held by another task", false,
         [&] {
             holderGo = false;
             std::atomic<bool> locked{false};
             holder = std::thread([&] {
                 YW_P_lockMutex(res);
                 locked = true;
                 while (!holderGo)
                     std::this_thread::sleep_for(1ms);
                 YW_P_unlockMutex(res);
             });
             waitFor([&] { return locked.load(); });
         },
         [&] {
             g_entered = 1;
             if (YW_P_lockMutex(res) == 0)
                 YW_P_unlockMutex(res);
         },
         nullptr, nullptr, nullptr,
         [&] {
             holderGo = true;
             holder.join();
             // The stopped waiter did not take it.
             EXPECT_EQ(YW_P_trylockMutex(res), 0);
             YW_P_unlockMutex(res);
         },
         nullptr},
        {"loop of ORB_init, string_to_object and release", false, nullptr,
         [&] {
             for (;;) {
                 orbCalls();
                 g_entered++;
             }
         },
         nullptr, nullptr, nullptr,
         [&] {
             // Every broker lock the loop took is free again.
             mustEndWithin(
                 [&] {
                     _wq_orb_init_mtx.lock_write();
                     _wq_orb_init_mtx.unlock();
                     wq_ManagedThread::_for_list.lock_write();
                     wq_ManagedThread::_for_list.unlock();
                     wq_MemoryBlock *b = wq_MemoryBlock::alloc(4096);
                     EXPECT_NE(b, nullptr);
                     wq_MemoryBlock::release(b);
                     EXPECT_TRUE(orbCalls());
                 },
                 15s, "taking the broker's locks after a stopped loop of broker calls");
         },
         nullptr, 50},
        {"holder released in its destructor with a stop pending", false, nullptr,
         [&] {
             for (;;) {
                 // What an application keeps in an object with a destructor:
                 // its own reference (the destructor's release is the last
                 // hold), a copy of it, a string and a channel side.
                 struct Holder {
                     CORBA::Object *ref = nullptr, *copy = nullptr;
                     CORBA::String_var text;
                     YW_ipc_id_t side = YW_IPC_MAX;
                     ~Holder()
                     {
                         if (side != YW_IPC_MAX)
                             YW_closeIpc(side, YW_IPC_FLAGS_RX);
                         CORBA::Object *again = CORBA::Object::_duplicate(ref);
                         if (!CORBA::is_nil(copy))
                             CORBA::release(copy);
                         CORBA::release(again);
                         char *t = CORBA::string_dup("freed");
                         CORBA::string_free(t);
                         CORBA::release(ref);
                     }
                 } h;
                 h.ref = orb->string_to_object(ior);
                 h.copy = CORBA::Object::_duplicate(h.ref);
                 h.text = CORBA::string_dup("held");
                 if (YW_openIpc(77, YW_IPC_FLAGS_RX, nullptr) == 0)
                     h.side = mqId;
                 g_entered++;
                 // No stop place until the stop is asked (the task has no id
                 // from then on); then the scope is left.
                 const auto end = std::chrono::steady_clock::now() + 20s;
                 while (YW_getTaskID() != YW_TASK_ID_NONE && std::chrono::steady_clock::now() < end) {
                 }
             }
         },
         nullptr, nullptr, nullptr,
         [&] {
             // The process goes on (it was not ended at the release) and the
             // broker serves the next loop.
             mustEndWithin([&] { EXPECT_TRUE(orbCalls()); }, 15s, "broker calls after a holder's release");
         },
         nullptr},
        stopsItself({"holder whose destructor stops its own task", false,
                     [] {
                         g_selfStopRc = 1;
                         g_afterSelfStop = false;
                         g_sleptThrough = false;
                     },
                     [] {
                         {
                             struct Holder {
                                 ~Holder()
                                 {
                                     // A started task is not deleted
                                     // (-992), then it stops itself.
                                     g_selfDeleteRc = YW_deleteTask(YW_getTaskID());
                                     g_selfStopRc = YW_stopTask(YW_getTaskID());
                                 }
                             } h;
                             g_entered++;
                         }
                         // Back from the destructor: the task ends at its
                         // next stop place.
                         g_afterSelfStop = true;
                         for (int i = 0; i < 20000; ++i)
                             YW_P_sleepThread(nullptr, 1000000LL);
                         g_sleptThrough = true;
                     },
                     nullptr, nullptr, nullptr,
                     [] {
                         EXPECT_EQ(g_selfDeleteRc.load(), YW_ERR_TASK_STATE);
                         EXPECT_EQ(g_selfStopRc.load(), 0);
                         EXPECT_TRUE(g_afterSelfStop.load());
                         EXPECT_FALSE(g_sleptThrough.load());
                         YW_task_id_t x;
                         EXPECT_NE(YW_searchTaskByName("stop_victim", &x), 0);
                     },
                     nullptr}),
        // A task that stops itself from code no end may leave, prints and
        // creates a timer there (no abort), and ends once that code has
        // returned, at its next stop place: a blocking system call too.
        selfStopInFrame("destructor, then framework sleeps", Frame::Destructor, Then::FrameworkSleep, false),
        selfStopInFrame("destructor, then condition waits", Frame::Destructor, Then::ConditionWait, true),
        selfStopInFrame("noexcept function, then usleep", Frame::Noexcept, Then::Usleep, true),
        selfStopInFrame("catch-all handler's try block, then poll", Frame::CatchAll, Then::Poll, true),
        stopsItself({"task that stops itself 1,500 frames deep in its own code", false,
                     [] { g_afterSelfStop = false; },
                     [] {
                         g_entered++;
                         stopDeep(1500);
                     },
                     nullptr, nullptr, nullptr,
                     [] { EXPECT_FALSE(g_afterSelfStop.load()); }, nullptr}),
        stopsItself({"task that stops itself from its own code", false,
                     [] { g_afterSelfStop = false; },
                     [] {
                         g_entered++;
                         YW_stopTask(YW_getTaskID());
                         g_afterSelfStop = true; // never: it ended in the call
                     },
                     nullptr, nullptr, nullptr, [] { EXPECT_FALSE(g_afterSelfStop.load()); }, nullptr}),
        {"timer handler whose holder deletes its own timer", false,
         [&] {
             g_selfStopRc = 1;
             testing::internal::CaptureStdout();
             EXPECT_EQ(YW_createTimer(&selfTc, &selfTimer), 0);
             EXPECT_EQ(YW_startTimer(selfTimer), 0);
             testing::internal::GetCapturedStdout();
         },
         nullptr, nullptr,
         [] { return YW_SUCCESS; }, // the handler's task ends itself
         nullptr,
         [&] {
             EXPECT_EQ(g_selfStopRc.load(), 0);
             // Called once: not again after its timer was deleted.
             EXPECT_EQ(g_entered.load(), 1);
             YW_timer_status_t st{};
             EXPECT_EQ(YW_inqTimer(selfTimer, &st), 0);
             EXPECT_EQ(st.state, 0);
         },
         nullptr},
        {"timer handler whose holder deletes its own timer and makes one of the same name", false,
         [&] {
             g_selfStopRc = 1;
             g_frameTimer = YW_TIMER_INVALID_ID;
             YW_timer_id_t t = YW_TIMER_INVALID_ID;
             testing::internal::CaptureStdout();
             EXPECT_EQ(YW_createTimer(&remakeTc, &t), 0);
             EXPECT_EQ(YW_startTimer(t), 0);
             testing::internal::GetCapturedStdout();
         },
         nullptr, nullptr,
         [] { return YW_SUCCESS; }, // the handler's task ends itself
         nullptr,
         [&] {
             // The process went on; the handler ran once.
             EXPECT_EQ(g_selfStopRc.load(), 0);
             EXPECT_EQ(g_entered.load(), 1);
             if (g_frameTimer.load() != YW_TIMER_INVALID_ID) {
                 EXPECT_EQ(YW_deleteTimer(g_frameTimer.load()), 0);
             }
         },
         nullptr},
        {"loop that creates, starts and stops a child task", false, nullptr,
         [] {
             for (;;) {
                 YW_task_cfg_t c = yw_common_test::makeCfg("stop_child", "yw_stop_test_child");
                 YW_task_id_t child = YW_TASK_ID_NONE;
                 if (YW_createTask(&c, &child) == 0 && YW_startTask(child, nullptr) == 0)
                     YW_stopTask(child);
                 g_entered++;
             }
         },
         nullptr, nullptr, nullptr,
         [&] {
             caller.run([] {
                 // A child the stopped task made goes on (tasks have no
                 // parent): found by its name, it is stopped when it was
                 // started and deleted when it was only created.
                 YW_task_id_t id = YW_TASK_ID_NONE;
                 if (YW_searchTaskByName("stop_child", &id) == 0) {
                     YW_task_status_t st{};
                     EXPECT_EQ(YW_inqTask(id, &st), 0);
                     EXPECT_EQ((st.state & YW_TASK_STATE_BUSY) ? YW_stopTask(id) : YW_deleteTask(id), 0)
                         << "state " << st.state;
                 }
                 // Nothing of the cut creation is left half made: the next
                 // task's child is created, started and stopped.
                 YW_task_cfg_t c = yw_common_test::makeCfg("stop_child", "yw_stop_test_child");
                 EXPECT_EQ(YW_createTask(&c, &id), 0);
                 EXPECT_EQ(YW_startTask(id, nullptr), 0);
                 EXPECT_EQ(YW_stopTask(id), 0);
             });
         },
         // (a child may still be ending when the next starts: a few more
         // stacks are kept for reuse)
         nullptr, 50, 16},
        echoing("echo_octets of 4 MiB to the Echo server", 4u << 20),
        echoing("echo_octets of 64 KiB to the Echo server", 64u << 10),
        sharing("echo_octets of 4 KiB beside three tasks calling on the same reference", 4u << 10, 100),
        sharing("echo_octets of 1 MiB beside three tasks calling on the same reference", 1u << 20, 100),
        waitingBehind("echo_octets of 1 MiB behind another task's call to a stopped Echo server", 1u << 20, true),
        waitingBehind("echo_octets of 4 KiB behind another task's call to a stopped Echo server", 4u << 10, false),
        reopening("receive side of a message queue, reopened", 80, mqBothId,
                  [&](const std::string &m) {
                      sender.run([&] { EXPECT_EQ(YW_sendIpc(mqBothId, m.data(), (YW_size_t)m.size()), (YW_size_t)m.size()); });
                  }),
        reopening("receive side of a TCP channel, reopened", 81, tcpRxId,
                  [&](const std::string &m) {
                      const std::string f = frame(tcpSeq++, m);
                      EXPECT_EQ(send(tcpPeer, f.data(), f.size(), MSG_NOSIGNAL), (ssize_t)f.size());
                  }),
        reopening("receive side of a UDP channel, reopened", 82, udpRxId,
                  [&](const std::string &m) {
                      const std::string f = frame(udpSeq++, m);
                      EXPECT_EQ(sendto(udpPeer, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&udpTo), sizeof udpTo),
                                (ssize_t)f.size());
                  }),
        reopening("receive side of a shared-memory channel, reopened", 84, srioRxId,
                  [&](const std::string &m) {
                      sender.run([&] {
                          // Sent once the two ends have linked (and room is back).
                          YW_size_t r = -1;
                          for (int i = 0; i < 20000 && r != (YW_size_t)m.size(); ++i) {
                              r = YW_sendIpc(srioTxId, m.data(), (YW_size_t)m.size());
                              if (r != (YW_size_t)m.size())
                                  YW_P_sleepThread(nullptr, 1000000LL);
                          }
                          EXPECT_EQ(r, (YW_size_t)m.size());
                      });
                  }),
    };
    // TURV_STOP_ROWS runs only the rows whose name holds it.
    const char *only = std::getenv("TURV_STOP_ROWS");
    for (Place &p : places) {
        if (only && *only && !std::strstr(p.what, only))
            continue;
#ifdef YW_TEST_NO_CANCEL
        if (p.needsCancel) {
            std::printf("%s: skipped, this build never cancels a thread inside a system call\n", p.what);
            continue;
        }
#endif
        runPlace(p, worker);
    }
    server.held = false;
    YW_P_deleteMutex(res);
    close(peer);
    close(tcpPeer);
    close(udpPeer);
    sender.stop();
    for (YW_ipc_id_t id : {mqId, tcpId, udpId, mqBothId, tcpRxId, udpRxId, srioTxId, srioRxId})
        YW_ipc_closeAndDelete(id);
    caller.stop();
    for (auto &h : sharers)
        h->stop();
    CORBA::release(echo);
    CORBA::release(echoObj);
    CORBA::string_free(ior);
    CORBA::release(orb);
    YW_ipc_tcp_server_stopAll();
    CORBA::release(obj);
    CORBA::release(bandObj);
    EXPECT_EQ(YW_stopTask(worker), 0);
}

} // namespace
