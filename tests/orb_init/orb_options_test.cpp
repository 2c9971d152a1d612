// ORB_init's command line: every option and synonym, the arguments left in
// argv, the fatal lines with their exit status, and the help text.
#include "orb_init_util.h"

#include <functional>

using namespace orb_init_test;
using O = CORBA::ORB;

namespace {

struct OptionCase {
    std::vector<std::string> args;
    std::vector<std::string> left; // argv after ORB_init, without "app"
    std::function<bool()> check;
};

} // namespace

TEST_F(OrbTest, EveryOptionAndSynonymSetsItsValueAndLeavesOtherArguments)
{
    const OptionCase cases[] = {
        {{"-x", "-ORBdiag", "full", "-y"}, {"-x", "-y"}, [] { return O::diagnostics() == O::full; }},
        {{"-ORBd", "none"}, {}, [] { return O::diagnostics() == O::none; }},
        {{"-ORBd", "1"}, {}, [] { return O::diagnostics() == O::simple; }},
        {{"-ORBsc", "C1", "-ORBsvr_instance", "I1"}, {},
         [] { return std::string(O::svr_class_name()) == "C1" && std::string(O::svr_instance_name()) == "I1"; }},
        {{"-ORBsvr_class", "C2", "-ORBsi", "I2"}, {},
         [] { return std::string(O::svr_class_name()) == "C2" && std::string(O::svr_instance_name()) == "I2"; }},
        {{"-ORBretry_delay", "0.5"}, {}, [] { return O::_retry_delay == 5000000; }},
        {{"-ORBretry_delay", "0"}, {}, [] { return O::_retry_delay == 0; }},
        {{"-ORBconn_retries", "2147483647"}, {}, [] { return O::_conn_retries == 2147483647; }},
        {{"-ORBmin_recursion", "3"}, {}, [] { return O::_min_recursion == 3; }},
        {{"-ORBmr", "4"}, {}, [] { return O::_min_recursion == 4; }},
        {{"-ORBextra_threads", "5"}, {}, [] { return O::_min_recursion == 5; }},
        {{"-ORBet", "6"}, {}, [] { return O::_min_recursion == 6; }},
        {{"-ORBstack_size", "65536"}, {}, [] { return O::_stack_size == 65536; }},
        {{"-ORBss", "131072"}, {}, [] { return O::_stack_size == 131072; }},
        {{"-ORBstack_report", "-ORBsr"}, {}, [] { return true; }},
        {{"-ORBmin_band_recursion", "2"}, {}, [] { return O::_min_band_recursion == 2; }},
        {{"-ORBbr", "7"}, {}, [] { return O::_min_band_recursion == 7; }},
        {{"-ORBpriority", "20"}, {}, [] { return O::_acceptor_priority == 20 && O::_default_priority == 20; }},
        {{"-ORBRTcnbc", "-y"}, {"-y"}, [] { return O::_create_nonband_circuit; }},
        {{"-ORBRTcnbc", "0"}, {}, [] { return !O::_create_nonband_circuit; }},
        {{"-ORBRTcreate_nonband_circuit", "false", "z"}, {"z"}, [] { return !O::_create_nonband_circuit; }},
        {{"-ORBRTcnbc", "maybe"}, {"maybe"}, [] { return O::_create_nonband_circuit; }},
        {{"-ORBRTcnbc"}, {}, [] { return O::_create_nonband_circuit; }},
        {{"-ORBRTscheduler", "0"}, {}, [] { return wq_Thread::currentSchedulingPolicy() == 0; }},
        {{"-ORBRTsched", "2"}, {}, [] { return wq_Thread::currentSchedulingPolicy() == 2; }},
        {{"-ORBRTalways_propagate"}, {}, [] { return O::_always_propagate_priority; }},
        {{"-ORBRTap"}, {}, [] { return O::_always_propagate_priority; }},
        {{"-ORBRTpriorityrange", "10,20"}, {}, [] { return O::_priority_low == 10 && O::_priority_high == 20; }},
        {{"-ORBRTpr", "5,5"}, {}, [] { return O::_priority_low == 5 && O::_priority_high == 5; }},
        {{"-ORBRTpr", "20,10"}, {}, [] { return O::_priority_low == 20 && O::_priority_high == 10; }},
        {{"-ORBfast_rebind", "false"}, {}, [] { return !O::_fast_rebind; }},
        {{"-ORBfr", "0", "-ORBfr", "true"}, {}, [] { return O::_fast_rebind; }},
        {{"-ORBsepd", "f"}, {}, [] { return !wq_system_exception_private_data(); }},
        {{"-ORBsepd", "0", "-ORBsepd", "T"}, {}, [] { return wq_system_exception_private_data(); }},
        {{"-ORBconnection_ordered_oneways", "1"}, {}, [] { return O::_connection_ordered_oneways; }},
        {{"-ORBco", "true", "-ORBco", "false"}, {}, [] { return !O::_connection_ordered_oneways; }},
        {{"-ORBsync", "none"}, {}, [] { return O::_oneway_sync_scope == 0; }},
        {{"-ORBsync", "server"}, {}, [] { return O::_oneway_sync_scope == 2; }},
        {{"-ORBsync", "target"}, {}, [] { return O::_oneway_sync_scope == 3; }},
        {{"-ORBsync", "transport"}, {}, [] { return O::_oneway_sync_scope == 1; }},
        {{"-ORBalternate", "tcp://h1:1", "-ORBae", "tcp:h2:2"}, {},
         [] {
             return std::string(O::endpoint_list()) == "tcp://h1:1, tcp:h2:2" &&
                    O::endpoint_registered("tcp:h2:2") && O::endpoint_registered("tcp://h1:1") &&
                    !O::endpoint_registered("tcp:h2") && !O::endpoint_registered("h1:1");
         }},
        {{"-foo", "plain"}, {"-foo", "plain"}, [] { return true; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.empty() ? "" : c.args[0]);
        Args a(c.args);
        PrivEnv e;
        CORBA::ORB *orb = CORBA::ORB_init(a.argc, a.ptrs.data(), nullptr, e.w);
        ASSERT_NE(orb, nullptr) << e.id();
        std::vector<std::string> left = c.left;
        left.insert(left.begin(), "app");
        EXPECT_EQ(a.rest(), left);
        EXPECT_EQ(a.ptrs[a.argc], nullptr);
        EXPECT_TRUE(c.check());
        CORBA::release(orb);
        TearDown();
    }
}

TEST_F(OrbTest, FailedInitReturnsNilAndTheNextCallStartsAfresh)
{
    struct Fail {
        std::vector<std::string> args;
        char const *id;
    };
    const Fail cases[] = {
        {{"-ORBRTpr", "1,40000"}, "IDL:omg.org/CORBA/BAD_PARAM:1.0"},
        {{"-ORBRTpr", "x,1"}, "IDL:omg.org/CORBA/BAD_PARAM:1.0"},
        {{"-ORBRTpr", "1,2z"}, "IDL:omg.org/CORBA/BAD_PARAM:1.0"},
        {{"-ORBRTpr", "-1,5"}, "IDL:omg.org/CORBA/BAD_PARAM:1.0"},
        {{"-ORBRTpr", "5"}, "IDL:omg.org/CORBA/BAD_PARAM:1.0"},
        {{"-ORBInitRef", "NameService=IO"}, "IDL:omg.org/CORBA/BAD_PARAM:1.0"},
        {{"-ORBInitRef", "NoEquals"}, "IDL:omg.org/CORBA/ORB/InvalidName:1.0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[1]);
        Args a(c.args);
        PrivEnv e;
        EXPECT_EQ(CORBA::ORB_init(a.argc, a.ptrs.data(), nullptr, e.w), nullptr);
        EXPECT_EQ(e.id(), c.id);
        // Nothing half-built is left: the next call parses its arguments.
        EXPECT_EQ(O::_orb_state.load(), 0);
        Args b({"-ORBconn_retries", "3"});
        PrivEnv e2;
        CORBA::ORB *orb = CORBA::ORB_init(b.argc, b.ptrs.data(), nullptr, e2.w);
        ASSERT_NE(orb, nullptr);
        EXPECT_EQ(O::_conn_retries, 3);
        CORBA::release(orb);
        TearDown();
    }
}

TEST_F(OrbTest, FatalOptionLinesEndTheProcessWithStatusMinusOne)
{
    std::string const E = "Ulvenor ERROR(ORB_init): ";
    std::string const P = "                          : ";
    struct Fatal {
        std::vector<std::string> args;
        std::string text;
    };
    const Fatal cases[] = {
        {{"-ORBfoo"}, E + "unrecognized ORB argument '-ORBfoo'\n"},
        {{"-ORBsvr_class", "-x"}, E + "\"-ORBsvr_class\" should be followed by the server class name to use.\n"},
        {{"-ORBsi"}, E + "\"-ORBsi\" should be followed by the server instance name to use.\n"},
        {{"-ORBsc", std::string(5000, 'c')}, E + "\"-ORBsc\" should be followed by the server class name to use.\n"},
        {{"-ORBretry_delay", "nan"},
         E + "\"-ORBretry_delay\" must be followed by the number of seconds to pause between reconnect attempts\n" +
             P + "The value \"nan\" should be greater than 0.0\n"},
        {{"-ORBretry_delay", "inf"}, P + "The value \"inf\" should be greater than 0.0\n"},
        {{"-ORBretry_delay", "1e300"}, P + "The value \"1e300\" should be greater than 0.0\n"},
        {{"-ORBretry_delay", "0.5s"}, P + "The value \"0.5s\" should be greater than 0.0\n"},
        {{"-ORBconn_retries", "-1"},
         E + "\"-ORBconn_retries\" must be followed by the number of attempts to try to connect to an endpoint "
             "before throwing an exception.\n"},
        {{"-ORBconn_retries", "x"}, P + "The value \"x\" should be from 0 to 2147483647.\n"},
        {{"-ORBconn_retries", "2147483648"}, P + "The value \"2147483648\" should be from 0 to 2147483647.\n"},
        {{"-ORBmr", "3x"},
         E + "\"-ORBmr\" must be followed by the minimum level of recursion the ORB should support.\n" + P +
             "The value \"3x\" should be from 0 to 2147483647.\n"},
        {{"-ORBss", "99999999999999999999"},
         E + "\"-ORBss\" must be followed by the stack size the ORB should use when creating new server "
             "threads.\n" +
             P + "The value \"99999999999999999999\" should be from 0 to 2147483647.\n"},
        {{"-ORBalternate", "tcp://h:1", "-ORBstack_report"}, E + "-ORBstack_report must come BEFORE server endpoints\n"},
        {{"-ORBbr"}, E + "\"-ORBbr\" must be followed by the minimum level of recursion for each RT band.\n"},
        {{"-ORBpriority", "1.5"},
         E + "\"-ORBpriority\" must be followed by the priority the ORB should use when creating new threads.\n" +
             P + "The value \"1.5\" should be from -2147483647 to 2147483647.\n" + P + "(platform specific)\n"},
        {{"-ORBRTsched", "77"},
         E + "\"-ORBRTsched\" must be followed by the numerical value of the scheduler to use when creating new "
             "threads.\n"},
        {{"-ORBdiag", "loud"}, E + "\"-ORBdiag\" must be followed by \"none\", \"simple\", or \"full\"\n"},
        {{"-ORBd"}, E + "\"-ORBd\" must be followed by \"none\", \"simple\", or \"full\"\n"},
        {{"-ORBfr", "yes"}, E + "\"-ORBfr\" must be followed by \"true\", or \"false\"\n"},
        {{"-ORBco", "2"}, E + "\"-ORBco\" must be followed by \"true\", or \"false\"\n"},
        {{"-ORBsepd", "true"}, E + "\"-ORBsepd\" must be followed by \"T\", or \"F\"\n"},
        {{"-ORBsync", "all"},
         E + "\"-ORBsync\" must be followed by \"none\", \"transport\", \"server\", or \"target\"\n"},
        {{"-ORBep"}, E + "\"-ORBep\" should be followed by the endpoint to listen on.\n"},
        {{"-ORBunpublished", "-x"}, E + "\"-ORBunpublished\" should be followed by the endpoint to listen on.\n"},
        {{"-ORBae"},
         E + "\"-ORBae\" should be followed by an endpoint that an alternate server is listening on.\n"},
        {{"-ORBendpoint", "tcp"},
         E + "argument \"tcp\" after the \"-ORBendpoint\" argument\n" + P + "contains an invalid endpoint\n" + P +
             "reason = required delimiter '://' not present\n"},
        {{"-ORBae", "nocolon"}, P + "contains an invalid endpoint\n"},
        {{"-ORBup", "tcp://" + std::string(2000, 'h') + ":1"}, P + "reason = endpoint longer than 1024 characters\n"},
        {{"-ORBendpoint", "zzz://x"},
         E + "argument \"zzz://x\" after the \"-ORBendpoint\" argument\n" + P + "contains an unavailable transport\n"},
        {{"-ORBInitRef"}, E + "\"-ORBInitRef\" should be followed by <ObjectID>=<ObjectURL>.\n"},
    };
    ASSERT_EQ(O::_orb_state.load(), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        ChildResult r = run_child(c.args);
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    }
}

TEST_F(OrbTest, HelpShowsEachRowWithItsOwnCurrentValue)
{
    ASSERT_EQ(O::_orb_state.load(), 0);
    ChildResult r = run_child({"-ORBsc", "Klass", "-ORBmr", "7", "-ORBbr", "3", "-ORBfr", "false",
                               "-ORBco", "true", "-ORBretry_delay", "0.25", "-ORBconn_retries", "5", "-ORBh", "-ORBfoo"});
    EXPECT_EQ(r.status, 255) << r.err;
    auto has = [&](char const *t) { return r.err.find(t) != std::string::npos; };
    EXPECT_EQ(r.err.rfind("Ulvenor INFO(ORB_init):\n\n\n", 0), 0u) << r.err;
    EXPECT_TRUE(has("  ORB arguments all begin with \"-ORB\".  The possible arguments include:"));
    EXPECT_TRUE(has("Server's class name (default=Klass)"));
    EXPECT_TRUE(has("(default=7)"));
    EXPECT_TRUE(has("each band (default=3)"));
    EXPECT_TRUE(has("(default=false)"));
    EXPECT_TRUE(has("arrive (default=true)"));
    EXPECT_TRUE(has("default=0.25)"));
    EXPECT_TRUE(has("failing (default=5)"));
    EXPECT_TRUE(has("-ORBRTsched"));
    EXPECT_TRUE(has("-ORBInitRef"));
    EXPECT_TRUE(has("Override initial references"));
    EXPECT_FALSE(has("unrecognized")); // the scan ended at the help option
    EXPECT_FALSE(has("-ORBsepd"));
}
