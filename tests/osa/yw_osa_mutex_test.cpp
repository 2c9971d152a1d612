// A mutex without recursion is a plain one (kept out of the ThreadSanitizer
// build, which reports the owner's failed relock itself).
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "osa/yw_osa.h"

namespace {

TEST(OsaMutex, NoRecurseIsAPlainMutex)
{
    YW_P_mutex_t m = nullptr;
    ASSERT_EQ(YW_P_createMutex(YW_SEM_NO_RECURSE, &m), 0);
    EXPECT_EQ(YW_P_lockMutex(m), 0);
    EXPECT_EQ(YW_P_trylockMutex(m), EBUSY); // the owner does not relock it
    int fromOther = -1;
    std::thread t([&] { fromOther = YW_P_trylockMutex(m); });
    t.join();
    EXPECT_EQ(fromOther, EBUSY);
    EXPECT_EQ(YW_P_unlockMutex(m), 0);
    EXPECT_EQ(YW_P_trylockMutex(m), 0);
    EXPECT_EQ(YW_P_unlockMutex(m), 0);
    EXPECT_EQ(YW_P_deleteMutex(m), 0);
}

} // namespace
