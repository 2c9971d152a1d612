// Request dispatch, message by message: reply layouts, statuses and error
// replies, built-in operations, locate requests, malformed headers and the
// POA manager's HOLDING state.
#include "../orb/test_watchdog.h"
#include "server_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <utility>

using namespace PortableServer;
using namespace srv_test;

namespace {

class Dispatch : public testing::Test {
protected:
    void SetUp() override
    {
        root = root_poa();
        activate_manager();
        root->_id_assignment = USER_ID;
        servant = new CalcServant;
        wq_PrivateEnv ei;
        const CORBA::EnvironmentWrapper &env = ei.env;
        root->activate_object_with_id(ObjectId("calc", 4), servant, env);
        ASSERT_FALSE(env.pending());
    }
    void TearDown() override
    {
        wq_PrivateEnv ei;
        const CORBA::EnvironmentWrapper &env = ei.env;
        root->deactivate_object(ObjectId("calc", 4), env);
        root->_id_assignment = SYSTEM_ID;
        servant->_remove_ref();
    }
    Reply run(Bytes const &msg)
    {
        sink = RecordingSink();
        dispatch(st, msg, sink);
        EXPECT_EQ(sink.replies.size(), 1u);
        return sink.replies.empty() ? Reply{} : parse_reply(sink.replies.back());
    }
    static Bytes args(int32_t a, int32_t b)
    {
        Cdr c;
        c.u32(uint32_t(a)).u32(uint32_t(b));
        return c.b;
    }

    const CORBA::EnvironmentWrapper &pe_env() { return pe_->env; }

    std::unique_ptr<wq_PrivateEnv> pe_{new wq_PrivateEnv};
    POA *root = nullptr;
    CalcServant *servant = nullptr;
    std::unique_ptr<wq_ReaderState> stp{new wq_ReaderState};
    wq_ReaderState &st = *stp;
    RecordingSink sink;
};

TEST_F(Dispatch, ReplyLayoutWithAndWithoutPriority)
{
    Reply r = run(request(7, make_key("RootPOA", "calc"), "add", args(40, 2)));
    EXPECT_EQ(sink.hand_backs, 1);
    EXPECT_TRUE(sink.reply_due);
    EXPECT_EQ(r.contexts, 0u);
    EXPECT_EQ(r.body, 24u); // request id at 16
    EXPECT_EQ(r.request_id, 7u);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.c.get32(24), 42u);
    EXPECT_EQ(r.c.b.size(), 28u);

    // A priority context: two reply contexts (priority, padding), body at 48.
    Context prio{10, {1, 0, 0x2C, 0x01}}; // little-endian 300
    r = run(request(8, make_key("RootPOA", "calc"), "add", args(1, 2), {prio}));
    EXPECT_EQ(r.contexts, 2u);
    EXPECT_EQ(r.c.get32(16), 10u);
    EXPECT_EQ(r.c.get32(20), 4u);
    EXPECT_EQ(r.c.b[24], CORBA::Stream::write_flag());
    EXPECT_EQ(r.c.get32(28), 0x51574BFFu);
    EXPECT_EQ(r.body, 48u);
    EXPECT_EQ(r.c.get32(48), 3u);
}

// The request header in either byte order, with contexts of any length, a
// principal, and fields longer than the reader keeps.
TEST_F(Dispatch, HeaderFieldsInEitherByteOrder)
{
    struct Msg {
        bool big;
        Bytes b;
        void align(size_t n)
        {
            while (b.size() % n)
                b.push_back(0);
        }
        Msg &u32(uint32_t v)
        {
            align(4);
            for (int i = 0; i < 4; ++i)
                b.push_back(uint8_t(v >> (big ? 24 - 8 * i : 8 * i)));
            return *this;
        }
        Msg &raw(Bytes const &d)
        {
            b.insert(b.end(), d.begin(), d.end());
            return *this;
        }
    };
    std::string long_op(300, 'o');
    struct Row {
        char const *what;
        bool big;
        std::vector<Context> ctx;
        Bytes key;
        std::string op;
        uint32_t principal;
        uint32_t status, contexts; // of the reply
        char const *exception;
    } rows[] = {
        {"little-endian", false, {}, make_key("RootPOA", "calc"), "add", 0, 0, 0, nullptr},
        {"big-endian", true, {}, make_key("RootPOA", "calc"), "add", 0, 0, 0, nullptr},
        {"big-endian, odd contexts and a principal", true, {{7, Bytes(5, 1)}, {0x51574B36, Bytes(3, 2)}},
         make_key("RootPOA", "calc"), "add", 3, 0, 0, nullptr},
        {"priority among other contexts", true, {{7, Bytes(1, 1)}, {10, {0, 0, 0x01, 0x2C}}},
         make_key("RootPOA", "calc"), "add", 0, 0, 2, nullptr},
        {"operation longer than kept", true, {}, make_key("RootPOA", "calc"), long_op, 0, 2, 0,
         "IDL:omg.org/CORBA/BAD_OPERATION:1.0"},
        {"key longer than kept", false, {}, Bytes(300, 'k'), "add", 1, 2, 0,
         "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Msg m{row.big, {}};
        m.raw({'G', 'I', 'O', 'P', 1, 0, uint8_t(row.big ? 0 : 1), 0}).u32(0);
        m.u32(uint32_t(row.ctx.size()));
        for (auto const &c : row.ctx)
            m.u32(c.id).u32(uint32_t(c.data.size())).raw(c.data);
        m.u32(11).raw({1});
        m.u32(uint32_t(row.key.size())).raw(row.key);
        Bytes op(row.op.begin(), row.op.end());
        op.push_back(0);
        m.u32(uint32_t(op.size())).raw(op);
        m.u32(row.principal).raw(Bytes(row.principal, 9));
        m.u32(20).u32(22);
        uint32_t size = uint32_t(m.b.size() - 12);
        Msg sz{row.big, {}};
        sz.u32(size);
        std::copy(sz.b.begin(), sz.b.end(), m.b.begin() + 8);
        Reply r = run(m.b);
        EXPECT_EQ(r.request_id, 11u);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.contexts, row.contexts);
        if (row.exception)
            EXPECT_EQ(exception_id(r), row.exception);
        else
            EXPECT_EQ(r.c.get32(r.body), 42u);
    }
}

TEST_F(Dispatch, ErrorReplies)
{
    struct Row {
        char const *what;
        Bytes key;
        char const *op;
        char const *id;
        uint32_t minor;
    } rows[] = {
        {"unknown POA", make_key("NoSuchPOA", "calc"), "add", "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0", 1},
        {"unknown object", make_key("RootPOA", "gone"), "add", "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0", 3},
        {"unknown operation", make_key("RootPOA", "calc"), "mul", "IDL:omg.org/CORBA/BAD_OPERATION:1.0", 3},
        {"foreign key", Bytes{'N', 'a', 'm', 'e'}, "add", "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0", 1},
        {"key of 300 bytes", Bytes(300, 'k'), "add", "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0", 1},
        {"unknown legacy interface", make_key("RootPOA", "IDL:No/Such:1.0"), "add",
         "IDL:omg.org/CORBA/INV_OBJREF:1.0", 1},
        {"the interface prefix alone", make_key("RootPOA", "IDL:"), "add", "IDL:omg.org/CORBA/INV_OBJREF:1.0", 1},
        {"truncated arguments", make_key("RootPOA", "calc"), "add", "IDL:omg.org/CORBA/MARSHAL:1.0", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Reply r = run(request(3, row.key, row.op));
        EXPECT_EQ(r.status, 2u);
        uint32_t minor = 99;
        EXPECT_EQ(exception_id(r, &minor), row.id);
        EXPECT_EQ(minor, row.minor);
    }
    // A user exception goes back as USER_EXCEPTION with its id.
    Reply r = run(request(4, make_key("RootPOA", "calc"), "fail"));
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(exception_id(r), CalcOops::wq_IR_Name);
}

TEST_F(Dispatch, BuiltInOperations)
{
    Cdr id;
    id.str(kCalcId);
    Reply r = run(request(1, make_key("RootPOA", "calc"), "_is_a", id.b));
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.c.b.at(r.body), 1);
    Cdr other;
    other.str("IDL:Other:1.0");
    r = run(request(1, make_key("RootPOA", "calc"), "_is_a", other.b));
    EXPECT_EQ(r.c.b.at(r.body), 0);
    for (char const *op : {"_non_existent", "_not_existent"}) {
        r = run(request(2, make_key("RootPOA", "calc"), op));
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(r.c.b.at(r.body), 0);
    }
    r = run(request(3, make_key("RootPOA", "calc"), "_repository_id"));
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.c.get32(r.body), std::strlen(kCalcId) + 1);
    EXPECT_STREQ(reinterpret_cast<char const *>(&r.c.b[r.body + 4]), kCalcId);
    // The band binding request is answered with an empty NO_EXCEPTION reply
    // (no band thread is started here: none may outlive the test).
    uint32_t cap = wq_max_reader_threads;
    wq_max_reader_threads = 0;
    Cdr range;
    range.u8(1).u8(0).u16(10).u16(20);
    r = run(request(4, Bytes{0}, "_bind_priority_band", {}, {{11, range.b}}));
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.body, r.c.b.size());
    EXPECT_TRUE(st.band_thread);
    wq_max_reader_threads = cap;
}

TEST_F(Dispatch, LocateStatusesOnewaysAndSyncScope)
{
    struct Row {
        Bytes key;
        uint32_t status;
    } rows[] = {{make_key("RootPOA", "calc"), 1}, {make_key("RootPOA", "gone"), 0}, {Bytes{0xB5, 1}, 0}};
    for (const Row &row : rows) {
        sink = RecordingSink();
        dispatch(st, locate_request(9, row.key), sink);
        ASSERT_EQ(sink.replies.size(), 1u);
        Cdr c;
        c.b = sink.replies[0];
        EXPECT_EQ(c.b[7], 4); // LocateReply
        EXPECT_EQ(c.get32(12), 9u);
        EXPECT_EQ(c.get32(16), row.status);
    }
    // A one-way gets no reply and hands the circuit back without a hold.
    sink = RecordingSink();
    dispatch(st, request(5, make_key("RootPOA", "calc"), "add", args(1, 1), {}, 0), sink);
    EXPECT_TRUE(sink.replies.empty());
    EXPECT_FALSE(sink.reply_due);
    // Sync scope "server": the reply goes before the servant runs and carries
    // the status that fits the exception (here a user exception).
    Context sync{0x51574B37, {}};
    sink = RecordingSink();
    dispatch(st, request(6, make_key("RootPOA", "calc"), "add", args(1, 1), {sync}), sink);
    ASSERT_EQ(sink.replies.size(), 1u);
    EXPECT_TRUE(sink.early[0]);
    EXPECT_EQ(parse_reply(sink.replies[0]).status, 0u);
    sink = RecordingSink();
    dispatch(st, request(6, make_key("RootPOA", "gone"), "add", {}, {sync}), sink);
    ASSERT_EQ(sink.replies.size(), 1u);
    EXPECT_EQ(parse_reply(sink.replies[0]).status, 2u);
}

// A key that names an initial reference is forwarded there: LOCATION_FORWARD
// on the reply (also on an early reply, which must not claim a system
// exception) and OBJECT_FORWARD on a locate reply.
TEST_F(Dispatch, ForwardedKeys)
{
    static CORBA::Object *target = nullptr;
    CORBA::Object *ref = root->create_reference_with_id(ObjectId("calc", 4), kCalcId, pe_env());
    ASSERT_NE(ref, nullptr);
    target = ref;
    auto saved = wq_dispatch_initial_reference;
    wq_dispatch_initial_reference = [](char const *name, const CORBA::EnvironmentWrapper &) -> CORBA::Object * {
        if (std::strcmp(name, "Calc") != 0)
            return nullptr;
        target->_add_ref();
        return target;
    };
    Bytes key{'C', 'a', 'l', 'c'};
    Reply r = run(request(1, key, "add", args(1, 2)));
    EXPECT_EQ(r.status, 3u);
    EXPECT_GT(r.c.b.size(), r.body + 8); // the forward reference's IOR
    sink = RecordingSink();
    dispatch(st, request(2, key, "add", args(1, 2), {{0x51574B37, {}}}), sink);
    ASSERT_EQ(sink.replies.size(), 1u);
    EXPECT_TRUE(sink.early[0]);
    EXPECT_EQ(parse_reply(sink.replies[0]).status, 3u);
    sink = RecordingSink();
    dispatch(st, locate_request(3, key), sink);
    ASSERT_EQ(sink.replies.size(), 1u);
    Cdr c;
    c.b = sink.replies[0];
    EXPECT_EQ(c.get32(16), 2u); // OBJECT_FORWARD
    wq_dispatch_initial_reference = saved;
    CORBA::release(ref);
}

TEST_F(Dispatch, BandsOnBothSides)
{
    // Client side: the band whose bounds hold the thread's priority.
    int16_t low[] = {0, 11, 21}, high[] = {10, 20, 30};
    struct Row {
        int16_t priority;
        uint32_t band;
        bool refused;
    } rows[] = {{15, 1, false}, {0, 0, false}, {30, 2, false}, {40, 0, true}};
    for (const Row &r : rows) {
        wq_PrivateEnv pe;
        RTCORBA::Current *cur = RTCORBA::get_current(pe.env);
        ASSERT_NE(cur, nullptr);
        cur->active_priority(r.priority, pe.env);
        CORBA::release(cur);
        int32_t prio = -1;
        uint32_t band = 99;
        wq_qi.client_request(prio, band, nullptr, "tcp:h:1", 3, low, high, pe.env);
        EXPECT_EQ(prio, r.priority);
        EXPECT_EQ(band, r.band);
        EXPECT_EQ(pe.env.pending(), r.refused);
        if (r.refused) {
            EXPECT_STREQ(CORBA::SystemException::_downcast(pe.env.exception())->param(),
                         "endpoint=tcp:h:1,priority=40");
        }
    }
    // Server side: a band whose priority the mapping cannot convert is
    // answered with DATA_CONVERSION.
    Cdr range;
    range.u8(1).u8(0).u16(uint16_t(-5)).u16(uint16_t(-1));
    Reply r = run(request(4, Bytes{0}, "_bind_priority_band", {}, {{11, range.b}}));
    uint32_t minor = 0;
    EXPECT_EQ(r.status, 2u);
    EXPECT_EQ(exception_id(r, &minor), "IDL:omg.org/CORBA/DATA_CONVERSION:1.0");
    EXPECT_EQ(minor, 1u);
}

// A priority-range context names its band by the bounds as given, low above
// high included: the reader serving it becomes a thread of that band, at the
// band's low bound.
TEST_F(Dispatch, PriorityRangeBandsTakenAsGiven)
{
    uint32_t cap = wq_max_reader_threads;
    wq_max_reader_threads = 0; // no band thread of its own may outlive the test
    wq_PrivateEnv pe;
    RTCORBA::Current *cur = RTCORBA::get_current(pe.env);
    ASSERT_NE(cur, nullptr);
    int16_t before = cur->active_priority(pe.env);
    struct Row {
        int16_t low, high;
    } rows[] = {{10, 20}, {20, 10}, {15, 15}};
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.low << "," << row.high);
        wq_ReaderState fresh;
        Cdr range;
        range.u8(1).u8(0).u16(uint16_t(row.low)).u16(uint16_t(row.high));
        sink = RecordingSink();
        dispatch(fresh, request(4, Bytes{0}, "_bind_priority_band", {}, {{11, range.b}}), sink);
        ASSERT_EQ(sink.replies.size(), 1u);
        Reply r = parse_reply(sink.replies[0]);
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(r.body, r.c.b.size());
        EXPECT_TRUE(fresh.band_thread);
        int16_t low = 0, high = 0;
        ASSERT_TRUE(wq_band_manager.band(fresh.band, low, high));
        EXPECT_EQ(low, row.low);
        EXPECT_EQ(high, row.high);
        EXPECT_EQ(fresh.base_priority, row.low);
        EXPECT_EQ(wq_band_manager.find_or_create(row.low, row.high), int32_t(fresh.band)); // the same band again
    }
    cur->active_priority(before, pe.env);
    CORBA::release(cur);
    wq_max_reader_threads = cap;
}

// A band request on a thread that is no band thread yet makes it one, at the
// band's priority (RTCORBA::Current reads back the priority asked for), and
// the servant runs at it; the thread keeps it for the band's next request.
TEST_F(Dispatch, BandRequestServedAtTheBandPriority)
{
    uint32_t cap = wq_max_reader_threads;
    wq_max_reader_threads = 0; // no band thread of its own may outlive the test
    wq_PrivateEnv pe;
    RTCORBA::Current *cur = RTCORBA::get_current(pe.env);
    ASSERT_NE(cur, nullptr);
    int16_t before = cur->active_priority(pe.env);
    Cdr range;
    range.u8(1).u8(0).u16(300).u16(400);
    Reply r = run(request(1, make_key("RootPOA", "calc"), "prio", {}, {{11, range.b}}));
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.c.get32(r.body), 300u);
    EXPECT_TRUE(st.band_thread);
    EXPECT_EQ(cur->active_priority(pe.env), 300);
    r = run(request(2, make_key("RootPOA", "calc"), "prio"));
    EXPECT_EQ(r.c.get32(r.body), 300u);
    cur->active_priority(before, pe.env);
    CORBA::release(cur);
    wq_max_reader_threads = cap;
}

// A servant that registered itself is not held by its target: its owner's
// last release, made while one of its requests runs, takes effect once that
// request has ended.
TEST_F(Dispatch, SelfRegisteredServantReleasedDuringItsRequest)
{
    struct Self : ServantBase {
        Self(POA *p, bool *gone) : gone_(gone) { wq_init(this, kCalcId, true, "selfcalc", p); }
        ~Self() override { *gone_ = true; }
        bool *gone_;
    };
    static bool gone = false;
    static Self *self = nullptr;
    self = new Self(root, &gone);
    ASSERT_NE(self->wq_own_target, nullptr);
    wq_receive_request_sc = [](wq_RequestInfo &, const CORBA::EnvironmentWrapper &) {
        if (Self *s = std::exchange(self, nullptr))
            s->_remove_ref();
    };
    Cdr id;
    id.str(kCalcId);
    Reply r = run(request(1, make_key("RootPOA", "selfcalc"), "_is_a", id.b));
    wq_receive_request_sc = nullptr;
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.c.b.at(r.body), 1);
    EXPECT_TRUE(gone);
    r = run(request(2, make_key("RootPOA", "selfcalc"), "_is_a", id.b));
    EXPECT_EQ(exception_id(r), "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0");
}

TEST_F(Dispatch, HookAddsReplyContexts)
{
    static const unsigned char data[4] = {1, 2, 3, 4};
    static const wq_ServiceContext ctx{77, 4, data};
    wq_receive_request_sc = [](wq_RequestInfo &info, const CORBA::EnvironmentWrapper &) {
        info.want_reply_contexts = true;
        info.reply_contexts = &ctx;
        info.reply_context_count = 1;
    };
    Reply r = run(request(5, make_key("RootPOA", "calc"), "add", args(20, 3)));
    wq_receive_request_sc = nullptr;
    EXPECT_EQ(r.contexts, 2u); // the hook's and the padding
    EXPECT_EQ(r.c.get32(16), 77u);
    EXPECT_EQ(r.c.get32(24), 0x04030201u);
    EXPECT_EQ(r.body, 48u);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.c.get32(r.body), 23u);
}

TEST_F(Dispatch, MalformedMessagesAreProtocolErrors)
{
    Bytes good = request(1, make_key("RootPOA", "calc"), "add", args(1, 2));
    struct Row {
        char const *what;
        Bytes msg;
    } rows[] = {
        {"truncated in the key", Bytes(good.begin(), good.begin() + 30)},
        {"context count beyond the message", [] {
             Cdr c;
             c.raw("GIOP", 4).u8(1).u8(0).u8(1).u8(0).u32(4).u32(0x10000000);
             return c.b;
         }()},
        {"reply sent to a server", [] {
             Cdr c;
             c.raw("GIOP", 4).u8(1).u8(0).u8(1).u8(1).u32(0);
             return c.b;
         }()},
        {"message error", [] {
             Cdr c;
             c.raw("GIOP", 4).u8(1).u8(0).u8(1).u8(6).u32(0);
             return c.b;
         }()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        sink = RecordingSink();
        dispatch(st, row.msg, sink);
        EXPECT_TRUE(sink.protocol);
        EXPECT_TRUE(sink.replies.empty());
    }
    // A CancelRequest is ignored: no reply, the circuit goes back.
    sink = RecordingSink();
    Cdr cancel;
    cancel.raw("GIOP", 4).u8(1).u8(0).u8(1).u8(2).u32(4).u32(1);
    dispatch(st, cancel.b, sink);
    EXPECT_FALSE(sink.protocol);
    EXPECT_EQ(sink.hand_backs, 1);
    EXPECT_TRUE(sink.replies.empty());
    // The reader still serves afterwards.
    Reply r = run(good);
    EXPECT_EQ(r.c.get32(r.body), 3u);
}

TEST_F(Dispatch, HoldingManagerServesAfterActivate)
{
    // A fresh manager in HOLDING for a POA of its own.
    auto *m = new POAManager();
    POA *p = nullptr;
    POA::init(p, "Held", m);
    ASSERT_NE(p, nullptr);
    p->_id_assignment = USER_ID;
    wq_PrivateEnv ei;
    const CORBA::EnvironmentWrapper &env = ei.env;
    auto *s = new CalcServant;
    p->activate_object_with_id(ObjectId("h", 1), s, env);
    ASSERT_FALSE(env.pending());
    std::atomic<bool> done{false};
    RecordingSink held;
    std::thread t([&] {
        std::unique_ptr<wq_ReaderState> st2(new wq_ReaderState);
        dispatch(*st2, request(11, make_key("Held", "h"), "add", args(20, 22)), held);
        done = true;
    });
    for (int i = 0; i < 50 && !done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(done.load()); // waits while HOLDING
    m->activate();
    t.join();
    ASSERT_EQ(held.replies.size(), 1u);
    Reply r = parse_reply(held.replies[0]);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.c.get32(r.body), 42u);
    // An inactive manager refuses, after the receive hook has seen the
    // request.
    m->wq_deactivate();
    static int hooked = 0;
    hooked = 0;
    wq_receive_request_sc = [](wq_RequestInfo &info, const CORBA::EnvironmentWrapper &) {
        hooked += info.request_id == 12;
    };
    r = run(request(12, make_key("Held", "h"), "add", args(1, 1)));
    wq_receive_request_sc = nullptr;
    EXPECT_EQ(hooked, 1);
    uint32_t minor = 0;
    EXPECT_EQ(exception_id(r, &minor), "IDL:omg.org/CORBA/OBJ_ADAPTER:1.0");
    EXPECT_EQ(minor, 1u);
    p->deactivate_object(ObjectId("h", 1), env);
    s->_remove_ref();
    CORBA::release(m);
}

} // namespace
