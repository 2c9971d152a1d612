// Misuse of an error-checking mutex is refused (kept out of the
// ThreadSanitizer build, which reports the misuse itself).
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "osa/yw_osa.h"

namespace {

TEST(OsaMutex, NoRecurseChecksErrors)
{
    YW_P_mutex_t m = nullptr;
    ASSERT_EQ(YW_P_createMutex(YW_SEM_NO_RECURSE, &m), 0);
    EXPECT_EQ(YW_P_lockMutex(m), 0);
    EXPECT_EQ(YW_P_lockMutex(m), EDEADLK); // no self-deadlock
    int unlockByOther = -1;
    std::thread t([&] { unlockByOther = YW_P_unlockMutex(m); });
    t.join();
    EXPECT_EQ(unlockByOther, EPERM);
    EXPECT_EQ(YW_P_unlockMutex(m), 0);
    EXPECT_EQ(YW_P_unlockMutex(m), EPERM); // not held
    EXPECT_EQ(YW_P_deleteMutex(m), 0);
}

} // namespace
