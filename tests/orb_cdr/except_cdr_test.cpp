// Exceptions on the wire: repository id, minor, completion and param text.
#include "cdr_util.h"

#include <gtest/gtest.h>

using B = std::vector<uint8_t>;
using CORBA::Stream;

TEST(OrbCdrException, SystemExceptionRoundTrip)
{
    PrivEnv e;
    Stream s(e.w);
    CORBA::COMM_FAILURE cf(3, CORBA::COMPLETED_NO, "peer gone");
    s << cf;
    B w = written(s);
    const char id[] = "IDL:omg.org/CORBA/COMM_FAILURE:1.0";
    ASSERT_EQ(w[0], sizeof(id));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&w[4])), id);
    CORBA::Exception *x = nullptr;
    s >> x;
    ASSERT_NE(x, nullptr);
    auto *c = CORBA::COMM_FAILURE::_downcast(x);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->minor(), 0x51570083u);
    EXPECT_EQ(c->completed(), CORBA::COMPLETED_NO);
    EXPECT_STREQ(c->param(), "peer gone");
    EXPECT_EQ(s.bytes_remaining(), 0u);
    delete x;
}

TEST(OrbCdrException, UnknownIdBecomesUnknown)
{
    PrivEnv e;
    Stream s(e.w);
    s << Stream::from_string("IDL:omg.org/CORBA/NO_RESPONSE:1.0") << 5u << 1u;
    CORBA::Exception *x = nullptr;
    s >> x;
    ASSERT_NE(x, nullptr);
    auto *u = CORBA::UNKNOWN::_downcast(x);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->minor(), 0x51570003u);
    EXPECT_EQ(u->completed(), CORBA::COMPLETED_MAYBE);
    EXPECT_STREQ(u->param(), "IDL:omg.org/CORBA/NO_RESPONSE:1.0");
    delete x;
}

TEST(OrbCdrException, ForeignMinorLeavesTextUnread)
{
    PrivEnv e;
    Stream s(e.w);
    s << Stream::from_string("IDL:omg.org/CORBA/BAD_PARAM:1.0") << 1u << 2u
      << Stream::from_string("foreign text");
    CORBA::Exception *x = nullptr;
    s >> x;
    ASSERT_NE(x, nullptr);
    auto *b = CORBA::BAD_PARAM::_downcast(x);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->minor(), 1u);
    EXPECT_EQ(b->param(), nullptr);
    EXPECT_GT(s.bytes_remaining(), 0u);
    delete x;
}

TEST(OrbCdrException, NoPrivateDataWritesNoText)
{
    wq_set_system_exception_private_data(false);
    PrivEnv e;
    Stream s(e.w);
    CORBA::MARSHAL m(1, CORBA::COMPLETED_YES, "t");
    s << m;
    wq_set_system_exception_private_data(true);
    const char id[] = "IDL:omg.org/CORBA/MARSHAL:1.0";
    // id (4 + 30 bytes, padded to 36), minor, completed.
    EXPECT_EQ(written(s).size(), 4 + sizeof(id) + 2 + 8);
}
