// Environment, exceptions, minor codes, message texts and the exception wire
// form.
#include "corba.h"
#include "corba_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// A user exception that counts its live objects.
struct TestExc : CORBA::UserException {
    static std::atomic<int> live;
    static char const *wq_IR_Name;
    TestExc() { ++live; }
    TestExc(const TestExc &o) : CORBA::UserException(o) { ++live; }
    ~TestExc() override { --live; }
    void _raise() const override
    {
        _wq_protect();
        throw *this;
    }
    CORBA::Exception *wq_find_ptr(char const *id) override
    {
        if (CORBA::IR::is_equal(wq_IR_Name, id))
            return this;
        return CORBA::UserException::wq_find_ptr(id);
    }
    char const *wq_ir_name() const override { return wq_IR_Name; }
    CORBA::Exception *wq_duplicate() const override { return new TestExc(*this); }
};
std::atomic<int> TestExc::live{0};
char const *TestExc::wq_IR_Name = "IDL:test/TestExc:1.0";

std::string text_of(const CORBA::SystemException &e)
{
    CORBA::String_var s;
    e.print_to(s);
    return s.in() ? s.in() : "";
}

std::string head(char const *name, unsigned minor, char const *completed)
{
    return std::string("Ulvenor exception:\n     exception name = ") + name +
           "\n     minor          = " + std::to_string(minor) + "\n     completed      = " +
           completed + "\n";
}

// Installs no translator (or another) for the life of the object.
struct TranslatorSwap {
    explicit TranslatorSwap(wq_ExceptionsTranslator *t) : saved(wq_the_translator)
    {
        wq_the_translator = t;
    }
    ~TranslatorSwap() { wq_the_translator = saved; }
    wq_ExceptionsTranslator *saved;
};

} // namespace

TEST(OrbMinor, ClassOffsetsAndMinorNumbersCombine)
{
    EXPECT_EQ(CORBA::BAD_PARAM(11, CORBA::COMPLETED_NO, nullptr).minor(), 0x5157002Bu);
    CORBA::OBJECT_NOT_EXIST one(4, CORBA::COMPLETED_NO, "Attempted _request on local object.");
    EXPECT_EQ(one.minor(), 0x51570404u);
    EXPECT_EQ(CORBA::UNKNOWN(3).minor(), 0x51570003u);
    EXPECT_EQ(CORBA::MARSHAL(1).minor(), 0x51570101u);
    EXPECT_EQ(CORBA::INV_POLICY(0).minor(), 0x515704A0u);
    EXPECT_EQ(CORBA::DATA_CONVERSION(1).minor(), 0x51570301u);
    EXPECT_TRUE(wq_is_own_minor(0x51570083u));
    EXPECT_FALSE(wq_is_own_minor(0x00000001u));
    EXPECT_FALSE(wq_is_own_minor(0x51571001u));
}

TEST(OrbException, PrintToEveryForm)
{
    wq_Errors::_initialize_english();
    char const *bp = "IDL:omg.org/CORBA/BAD_PARAM:1.0";
    char const *un = "IDL:omg.org/CORBA/UNKNOWN:1.0";

    // Message with "%s" takes the param, or "(null)".
    CORBA::BAD_PARAM prio(11, CORBA::COMPLETED_NO, "40000");
    EXPECT_EQ(text_of(prio),
              head(bp, 0x5157002B, "No") +
                  "     message:\n          The CORBA priority 40000 was not in the range of 0 "
                  "to 32,767.\n\n");
    CORBA::BAD_PARAM prio0(11, CORBA::COMPLETED_YES, nullptr);
    EXPECT_EQ(text_of(prio0),
              head(bp, 0x5157002B, "Yes") +
                  "     message:\n          The CORBA priority (null) was not in the range of 0 "
                  "to 32,767.\n\n");

    // Message without "%s": param in parentheses, or an empty line.
    CORBA::UNKNOWN u1(1, CORBA::COMPLETED_MAYBE, "detail");
    EXPECT_EQ(text_of(u1), head(un, 0x51570001, "Maybe") +
                               "     message:\n          Unknown Error Occurred.\n          "
                               "(detail)\n");
    CORBA::UNKNOWN u0(1, CORBA::COMPLETED_MAYBE, nullptr);
    EXPECT_EQ(text_of(u0),
              head(un, 0x51570001, "Maybe") + "     message:\n          Unknown Error Occurred.\n\n");

    // No message for the code.
    CORBA::OBJECT_NOT_EXIST one(4, CORBA::COMPLETED_NO, "Attempted _request on local object.");
    EXPECT_EQ(text_of(one), head("IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0", 0x51570404, "No") +
                                "    [exception message not found for minor code = 1364657156, "
                                "param = Attempted _request on local object.]\n");
    CORBA::UNKNOWN u2(2);
    EXPECT_NE(text_of(u2).find("param = (null)]\n"), std::string::npos);

    // Out-of-range completion prints "No".
    CORBA::UNKNOWN odd(1);
    odd.completed(static_cast<CORBA::completion_status>(7));
    EXPECT_NE(text_of(odd).find("     completed      = No\n"), std::string::npos);

    {
        TranslatorSwap none(nullptr);
        CORBA::UNKNOWN p(1, CORBA::COMPLETED_NO, "x");
        EXPECT_EQ(text_of(p), head(un, 0x51570001, "No") + "     param          = 'x'\n");
        CORBA::UNKNOWN q(1, CORBA::COMPLETED_NO, nullptr);
        EXPECT_EQ(text_of(q), head(un, 0x51570001, "No") +
                                  "    [WARNING: No exception message translator found]\n");
    }
}

namespace {
struct HostileTranslator : wq_ExceptionsTranslator {
    char const *wq_lookup(unsigned int) override { return "100%% %n %x <%s> %s\n"; }
};
} // namespace

TEST(OrbException, MessagesAreNeverFormats)
{
    wq_ExceptionsTranslator *saved = wq_the_translator;
    {
        HostileTranslator t; // installs itself
        EXPECT_EQ(wq_the_translator, &t);
        CORBA::INTERNAL e(4, CORBA::COMPLETED_NO, "%s%n%p");
        std::string s = text_of(e);
        EXPECT_NE(s.find("          100%% %n %x <%s%n%p> %s\n\n"), std::string::npos) << s;
    }
    wq_the_translator = saved;
    // An empty param is not stored; the message then shows "(null)".
    CORBA::INTERNAL e2(4, CORBA::COMPLETED_NO, nullptr);
    e2.param("");
    EXPECT_EQ(e2.param(), nullptr);
    e2.param("%d");
    EXPECT_NE(text_of(e2).find("Ulvenor internal error %d.\n"), std::string::npos);
}

TEST(OrbTranslator, LookupsAndInstallation)
{
    EXPECT_TRUE(wq_Errors::_initialize_english());
    wq_ExceptionsTranslator *english = wq_the_translator;
    ASSERT_NE(english, nullptr);
    EXPECT_STREQ(english->wq_lookup(0x51570001), "Unknown Error Occurred.\n");
    EXPECT_EQ(english->wq_lookup(0x51570002), nullptr);
    EXPECT_EQ(english->wq_lookup(0), nullptr);
    EXPECT_STREQ(english->wq_lookup(0x51570101), "Read/Write to stream failed.\n");
    EXPECT_STREQ(english->wq_lookup(0x51570403),
                 "The object with object key <%s> was not found in the server.\n");
    EXPECT_STREQ(english->wq_lookup(0x515700A5),
                 "Is the Object specified for a local?, collocated?\n Operation is remote and "
                 "must have a proxy.\n");

    // 56 rows, unique codes, every text ends in a newline, then the zero row.
    int rows = 0;
    for (const wq_MinorRow *r = wq_minor_table; r->code; ++r, ++rows) {
        ASSERT_NE(r->text, nullptr);
        EXPECT_EQ(r->text[std::strlen(r->text) - 1], '\n');
        for (const wq_MinorRow *q = wq_minor_table; q != r; ++q)
            EXPECT_NE(q->code, r->code);
        EXPECT_STREQ(english->wq_lookup(r->code), r->text);
    }
    EXPECT_EQ(rows, 56);

    EXPECT_TRUE(wq_Errors::_initialize_english());
    EXPECT_EQ(wq_the_translator, english);

    auto *other = new wq_TranslatorUSEnglishSmall();
    EXPECT_EQ(wq_the_translator, other);
    wq_the_translator = english;
    delete other;
}

TEST(OrbException, ThrownSystemExceptionIsCaughtByItsBases)
{
    bool by_system = false;
    try {
        try {
            CORBA::EnvironmentWrapper env;
            env.exception(new CORBA::COMM_FAILURE(3, CORBA::COMPLETED_NO, "peer"));
        } catch (CORBA::UserException &) {
            FAIL() << "a system exception caught as a user exception";
        }
    } catch (CORBA::SystemException &e) {
        by_system = true;
        EXPECT_EQ(e.minor(), 0x51570083u);
        EXPECT_EQ(e.completed(), CORBA::COMPLETED_NO);
        EXPECT_STREQ(e.param(), "peer");
        EXPECT_NE(CORBA::COMM_FAILURE::_downcast(&e), nullptr);
        EXPECT_FALSE(e.wq_heap_marked()); // the thrown copy
        // The heap object is parked until the next raise; the copy has its
        // own text.
        auto *parked = static_cast<CORBA::SystemException *>(
            wq_Thread::get_specific(wq_last_throw_key));
        ASSERT_NE(parked, nullptr);
        EXPECT_NE(parked, &e);
        EXPECT_STREQ(parked->param(), "peer");
        EXPECT_NE(parked->param(), e.param());
    }
    EXPECT_TRUE(by_system);

    bool thrown = false;
    try {
        {
            CORBA::EnvironmentWrapper env;
            env.exception(CORBA::COMM_FAILURE(4, CORBA::COMPLETED_MAYBE, nullptr));
        }
        ADD_FAILURE() << "no throw";
    } catch (CORBA::COMM_FAILURE &e) {
        thrown = true;
        EXPECT_EQ(e.minor(), 0x51570084u);
    }
    EXPECT_TRUE(thrown);
    EXPECT_EQ(CORBA::EnvironmentInfo::_current()->exception(), nullptr);
}

TEST(OrbException, NarrowingByRepositoryId)
{
    CORBA::MARSHAL m(1);
    EXPECT_EQ(m.wq_find_ptr("IDL:omg.org/CORBA/SystemException:1.0"), &m);
    EXPECT_EQ(m.wq_find_ptr("IDL:omg.org/CORBA/MARSHAL:1.0"), &m);
    EXPECT_EQ(m.wq_find_ptr("IDL:omg.org/CORBA/BAD_PARAM:1.0"), nullptr);
    EXPECT_EQ(m.wq_find_ptr("IDL:omg.org/CORBA/Exception:1.0"), nullptr);
    EXPECT_EQ(m.wq_find_ptr("IDL:omg.org/CORBA/UserException:1.0"), nullptr);
    TestExc t;
    EXPECT_EQ(t.wq_find_ptr("IDL:omg.org/CORBA/UserException:1.0"), &t);
    EXPECT_EQ(t.wq_find_ptr("IDL:omg.org/CORBA/Exception:1.0"), nullptr);
    EXPECT_EQ(CORBA::SystemException::_downcast(&t), nullptr);
    EXPECT_STREQ(m.wq_ir_name(), "IDL:omg.org/CORBA/MARSHAL:1.0");
}

TEST(OrbException, RepositoryIdComparison)
{
    using CORBA::IR::is_equal;
    EXPECT_TRUE(is_equal("IDL:omg.org/CORBA/X:1.0", "IDL:omg.org/CORBA/X:1.3"));
    EXPECT_TRUE(is_equal("IDL:omg.org/CORBA/X:1.0", "RMI:omg.org/CORBA/X:1.0"));
    EXPECT_FALSE(is_equal("IDL:omg.org/CORBA/X:1.0", "IDL:omg.org/CORBA/X:1"));
    EXPECT_FALSE(is_equal("IDL:omg.org/CORBA/X:1.0", "IDL:omg.org/CORBA/X:2.0"));
    EXPECT_FALSE(is_equal("IDL:omg.org/CORBA/X:1.0", "IDL:omg.org/CORBA/Y:1.0"));
    EXPECT_TRUE(is_equal("IDL::1.0", "IDL::1.5")); // empty name

    // Ids without a version, and ids shorter than the prefix: compared whole,
    // never read past their end.
    std::string a = "IDL:x/y", b = "IDL:x/y";
    EXPECT_TRUE(is_equal(a.c_str(), b.c_str()));
    std::string c = "IDL:x:7", d = "IDL:x:7";
    EXPECT_TRUE(is_equal(c.c_str(), d.c_str()));
    EXPECT_FALSE(is_equal("IDL:x:7", "IDL:x:8"));
    char *s1 = new char[3]{'a', 'b', '\0'};
    char *s2 = new char[3]{'a', 'b', '\0'};
    char *s3 = new char[2]{'a', '\0'};
    EXPECT_TRUE(is_equal(s1, s2));
    EXPECT_FALSE(is_equal(s1, s3));
    EXPECT_FALSE(is_equal(s3, "abcdef"));
    delete[] s1;
    delete[] s2;
    delete[] s3;
    EXPECT_FALSE(is_equal(nullptr, "IDL:a:1.0"));
    EXPECT_TRUE(is_equal(nullptr, nullptr));
}

TEST(OrbEnvironment, SecondRaiseReplacesTheFirst)
{
    TestExc::live = 0;
    int thrown = 0;
    try {
        CORBA::EnvironmentWrapper env;
        env.exception(new TestExc());
        auto *second = new CORBA::NO_MEMORY(0, CORBA::COMPLETED_NO, nullptr);
        env.exception(second);
        EXPECT_EQ(TestExc::live, 0); // the first was deleted
        env.exception(second);       // raising the held object keeps it
        EXPECT_EQ(env.exception(), second);
    } catch (CORBA::NO_MEMORY &) {
        ++thrown;
    }
    EXPECT_EQ(thrown, 1);
}

TEST(OrbEnvironment, RaisedHeapExceptionIsParkedUntilTheNextRaise)
{
    TestExc::live = 0;
    for (int round = 0; round < 3; ++round) {
        try {
            CORBA::EnvironmentWrapper env;
            env.exception(new TestExc());
        } catch (TestExc &) {
            // The caught copy and the parked heap object.
            EXPECT_EQ(TestExc::live, 2);
        }
        EXPECT_EQ(TestExc::live, 1);
    }
    // The parked object goes at the thread's exit.
    std::thread([] {
        try {
            CORBA::EnvironmentWrapper env;
            env.exception(new TestExc());
        } catch (TestExc &) {
        }
    }).join();
    EXPECT_EQ(TestExc::live, 1);
}

TEST(OrbEnvironment, RaiseIntoWrapperCopiesStackObjectsOnly)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CORBA::BAD_OPERATION on_stack(3, CORBA::COMPLETED_NO, "op");
    EXPECT_FALSE(on_stack.wq_heap_marked());
    on_stack._raise(env);
    ASSERT_NE(env.exception(), nullptr);
    EXPECT_NE(env.exception(), &on_stack);
    EXPECT_TRUE(env.exception()->wq_heap_marked());
    auto *heap = new CORBA::BAD_OPERATION(3, CORBA::COMPLETED_NO, "op");
    EXPECT_TRUE(heap->wq_heap_marked());
    heap->_raise(env);
    EXPECT_EQ(env.exception(), heap);
    env.clear();
}

TEST(OrbEnvironment, HeapMarkIsNotInheritedAtTheSameAddress)
{
    void *p = CORBA::Exception::operator new(sizeof(CORBA::UNKNOWN));
    auto *first = ::new (p) CORBA::UNKNOWN(1);
    EXPECT_TRUE(first->wq_heap_marked());
    first->~UNKNOWN();
    auto *second = ::new (p) CORBA::UNKNOWN(1); // not from Exception::operator new
    EXPECT_FALSE(second->wq_heap_marked());
    second->~UNKNOWN();
    CORBA::Exception::operator delete(p);

    // Memory from Exception::operator new given back unused leaves no mark
    // for whatever is built at that address next.
    void *raw = CORBA::Exception::operator new(sizeof(CORBA::UNKNOWN));
    EXPECT_EQ(wq_Thread::get_specific(wq_new_exc_key), raw);
    CORBA::Exception::operator delete(raw);
    EXPECT_EQ(wq_Thread::get_specific(wq_new_exc_key), nullptr);

    CORBA::UNKNOWN a(1);
    CORBA::UNKNOWN b(a);
    EXPECT_FALSE(b.wq_heap_marked());
    CORBA::Exception *dup = a.wq_duplicate();
    EXPECT_TRUE(dup->wq_heap_marked());
    delete dup;
}

TEST(OrbEnvironment, PrivateEnvironmentNeverThrowsAndReportsItsException)
{
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW({
        CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
        env.exception(new CORBA::TRANSIENT(1, CORBA::COMPLETED_NO, nullptr));
        EXPECT_TRUE(env.pending());
    });
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Ulvenor warning: an environment holding an exception was destructed:\n"
                       "  Ulvenor exception:\n     exception name = IDL:omg.org/CORBA/TRANSIENT:1.0"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("The target POA is currently discarding all requests.\n"), std::string::npos);

    testing::internal::CaptureStderr();
    {
        CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
        env.exception(new TestExc());
    }
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("  unknown user exception\n"), std::string::npos);
}

TEST(OrbEnvironment, WrapperDoesNotThrowWhileAnotherExceptionUnwinds)
{
    testing::internal::CaptureStderr();
    bool caught_other = false;
    try {
        CORBA::EnvironmentWrapper env;
        env.exception(new CORBA::BAD_PARAM(5, CORBA::COMPLETED_NO, nullptr));
        throw std::runtime_error("other");
    } catch (std::runtime_error &) {
        caught_other = true;
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(caught_other);
    EXPECT_NE(err.find("IDL:omg.org/CORBA/BAD_PARAM:1.0"), std::string::npos);
    // Nothing is left to surface at a later, unrelated call.
    EXPECT_EQ(CORBA::EnvironmentInfo::_current()->exception(), nullptr);
}

TEST(OrbEnvironment, UnboundWrapperAndMovesBetweenEnvironments)
{
    EXPECT_NO_THROW({ CORBA::EnvironmentWrapper env; });
    CORBA::EnvironmentInfo a(0), b(0);
    b.exception(new CORBA::INV_FLAG(1));
    a = b;
    EXPECT_EQ(b.exception(), nullptr);
    ASSERT_NE(a.exception(), nullptr);
    CORBA::Exception *taken = a.exception();
    a.replace(nullptr);
    EXPECT_EQ(a.exception(), nullptr);
    delete taken;
}

TEST(OrbEnvironment, ThreadExitReportsAPendingException)
{
    testing::internal::CaptureStderr();
    std::thread([] {
        CORBA::EnvironmentInfo::_current()->exception(
            new CORBA::INTF_REPOS(0, CORBA::COMPLETED_NO, "left"));
    }).join();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Ulvenor warning: an environment holding an exception was destructed:"),
              std::string::npos);
    EXPECT_NE(err.find("INTF_REPOS"), std::string::npos);
}

TEST(OrbStreamError, GeneralErrorIsMarshalStreamFailed)
{
    CORBA::EnvironmentWrapper env;
    wq_StreamUtil::raise_general_error("read exceeded message size", env);
    ASSERT_TRUE(env.pending());
    EXPECT_EQ(env.environment(), CORBA::EnvironmentInfo::_current());
    auto *m = CORBA::MARSHAL::_downcast(env.exception());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->minor(), 0x51570101u);
    EXPECT_EQ(m->completed(), CORBA::COMPLETED_MAYBE);
    EXPECT_STREQ(m->param(), "read exceeded message size");
    env.clear();
}

TEST(OrbExceptionWire, SystemExceptionRoundTrip)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CORBA::Stream s(env);
    CORBA::COMM_FAILURE out(3, CORBA::COMPLETED_NO, "t");
    s << out;
    // id (4 + 36 bytes), minor, completed, param "t".
    EXPECT_EQ(s.size_written(), 4u + 36u + 4u + 4u + 4u + 2u);
    {
        CORBA::EnvironmentWrapper ve(new CORBA::EnvironmentInfo(0));
        CORBA::Stream view(s, ve, true);
        uint32_t len = 0;
        view.read_4(&len);
        EXPECT_EQ(len, 35u); // 34 characters and the NUL, then one pad byte
        char id[35] = {};
        view.read_array_1(id, 35);
        EXPECT_STREQ(id, "IDL:omg.org/CORBA/COMM_FAILURE:1.0");
        uint32_t minor = 0, completed = 9;
        view.read_4(&minor);
        view.read_4(&completed);
        EXPECT_EQ(minor, 0x51570083u);
        EXPECT_EQ(completed, 1u);
    }
    CORBA::Exception *in = nullptr;
    s >> in;
    ASSERT_FALSE(env.pending());
    EXPECT_EQ(s.bytes_remaining(), 0u);
    auto *cf = CORBA::COMM_FAILURE::_downcast(in);
    ASSERT_NE(cf, nullptr);
    EXPECT_EQ(cf->minor(), 0x51570083u);
    EXPECT_EQ(cf->completed(), CORBA::COMPLETED_NO);
    EXPECT_STREQ(cf->param(), "t");
    EXPECT_TRUE(cf->wq_heap_marked());
    delete in;
}

TEST(OrbExceptionWire, UnknownRepositoryIdReadsAsUnknown)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CORBA::Stream s(env);
    s << CORBA::Stream::from_string("IDL:omg.org/CORBA/TIMEOUT:1.0") << 0x5157022Fu << 1u;
    CORBA::Exception *in = nullptr;
    s >> in;
    auto *u = CORBA::UNKNOWN::_downcast(in);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->minor(), 0x51570003u);
    EXPECT_EQ(u->completed(), CORBA::COMPLETED_MAYBE);
    EXPECT_STREQ(u->param(), "IDL:omg.org/CORBA/TIMEOUT:1.0");
    delete in;
}

TEST(OrbExceptionWire, ForeignMinorLeavesItsTextUnread)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CORBA::Stream s(env);
    s << CORBA::Stream::from_string("IDL:omg.org/CORBA/COMM_FAILURE:1.0") << 1u << 2u
      << CORBA::Stream::from_string("foreign");
    uint32_t total = s.size_written();
    CORBA::Exception *in = nullptr;
    s >> in;
    auto *cf = CORBA::COMM_FAILURE::_downcast(in);
    ASSERT_NE(cf, nullptr);
    EXPECT_EQ(cf->minor(), 1u);
    EXPECT_EQ(cf->completed(), CORBA::COMPLETED_MAYBE);
    EXPECT_EQ(cf->param(), nullptr);
    EXPECT_EQ(s.size_read(), total - 12u);
    delete in;
}

TEST(OrbExceptionWire, PrivateDataOffWritesNoText)
{
    wq_set_system_exception_private_data(false);
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CORBA::Stream s(env);
    CORBA::OBJ_ADAPTER out(1, CORBA::COMPLETED_YES, "lost");
    s << out;
    EXPECT_EQ(s.size_written(), 4u + 34u + 2u + 8u); // id, pad, minor, completed
    CORBA::Exception *in = nullptr;
    s >> in;
    wq_set_system_exception_private_data(true);
    auto *oa = CORBA::OBJ_ADAPTER::_downcast(in);
    ASSERT_NE(oa, nullptr);
    EXPECT_EQ(oa->minor(), 0x515702E1u);
    EXPECT_EQ(oa->param(), nullptr);
    delete in;
}

// The reader takes the body as the writer's -ORBsepd made it, whatever its
// own setting: the text when the body goes on, none when it ends.
TEST(OrbExceptionWire, BodyReadWithOrWithoutTextWhateverTheReadersSetting)
{
    struct Row {
        bool writer, reader;
        char const *text; // read back
    } rows[] = {{true, true, "kept"}, {true, false, "kept"}, {false, true, nullptr}, {false, false, nullptr}};
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << "writer " << r.writer << " reader " << r.reader);
        CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
        CORBA::Stream s(env);
        wq_set_system_exception_private_data(r.writer);
        CORBA::OBJECT_NOT_EXIST out(3, CORBA::COMPLETED_NO, "kept");
        s << out;
        wq_set_system_exception_private_data(r.reader);
        CORBA::Exception *in = nullptr;
        s >> in;
        wq_set_system_exception_private_data(true);
        auto *one = CORBA::OBJECT_NOT_EXIST::_downcast(in);
        ASSERT_NE(one, nullptr);
        EXPECT_FALSE(env.pending());
        EXPECT_EQ(one->minor(), out.minor());
        EXPECT_EQ(one->completed(), CORBA::COMPLETED_NO);
        if (r.text)
            EXPECT_STREQ(one->param(), r.text);
        else
            EXPECT_EQ(one->param(), nullptr);
        EXPECT_EQ(s.bytes_remaining(), 0u);
        delete in;
    }
}

TEST(OrbExceptionWire, ShortBodyRaisesTheReadError)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CORBA::Stream s(env);
    s << CORBA::Stream::from_string("IDL:omg.org/CORBA/BAD_PARAM:1.0") << 7u;
    CORBA::Exception *in = nullptr;
    s >> in;
    EXPECT_EQ(in, nullptr);
    ASSERT_TRUE(env.pending());
    auto *m = CORBA::MARSHAL::_downcast(env.exception());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->minor(), 0x51570101u);
    EXPECT_STREQ(m->param(), "read exceeded message size");
}

TEST(OrbExceptionList, RegistrationIsByExactId)
{
    char const *bp = "IDL:omg.org/CORBA/BAD_PARAM:1.0";
    EXPECT_EQ(wq_Exception_List::find(bp), &CORBA::BAD_PARAM::wq_read);
    EXPECT_EQ(wq_Exception_List::find("IDL:omg.org/CORBA/BAD_PARAM:1.1"), nullptr);
    EXPECT_EQ(wq_Exception_List::find("IDL:omg.org/CORBA/TIMEOUT:1.0"), nullptr);
    auto reader = [](CORBA::Stream &) -> CORBA::Exception * { return new TestExc(); };
    wq_Stub::reg(TestExc::wq_IR_Name, reader, false);
    EXPECT_NE(wq_Exception_List::find("IDL:test/TestExc:1.0"), nullptr);
    wq_Stub::regu("IDL:test/TestExc:1.0", false);
    EXPECT_EQ(wq_Exception_List::find("IDL:test/TestExc:1.0"), nullptr);
    wq_Stub::regu("IDL:test/none:1.0", false); // no entry, no effect
}
