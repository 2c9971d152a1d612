// State-machine engine: row counting, dispatch, and the INFO line per run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/yw_log.h"
#include "yw_fsm.h"

namespace {

int g_calls;

YW_fsm_state_t to_five(YW_fsm_context_t *, YW_event_msg_t *)
{
    ++g_calls;
    return 5;
}

YW_fsm_state_t to_nine(YW_fsm_context_t *, YW_event_msg_t *)
{
    ++g_calls;
    return 9;
}

YW_fsm_state_t keep(YW_fsm_context_t *ctx, YW_event_msg_t *)
{
    ++g_calls;
    return ctx->state;
}

const YW_fsm_vector_t kTable[] = {
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, 16), to_five},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, 17), keep},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, 16), to_nine}, // never reached
    {YW_EVENT_ID(YW_EVENT_FLAG_LSE, 0), to_nine},
    YW_FSM_VECTOR_NULL,
};

struct FsmTest : ::testing::Test {
    YW_fsm_context_t ctx{};
    YW_event_msg_t msg{};
    void SetUp() override
    {
        g_calls = 0;
    }
    YW_ret_t run(YW_event_flag_t flag, YW_event_value_t value)
    {
        YW_event_initEvent(&msg, flag, value, nullptr);
        YW_ret_t r = YW_fsm_context_run(&ctx, &msg);
        YW_event_releaseEvent(&msg);
        return r;
    }
};

TEST_F(FsmTest, OnlyTheEndRow)
{
    const YW_fsm_vector_t empty[] = {YW_FSM_VECTOR_NULL};
    ctx.state = 3;
    ASSERT_EQ(0, YW_fsm_context_init(&ctx, "empty", empty, nullptr));
    EXPECT_EQ(1u, ctx.table_size);
    EXPECT_EQ(0u, ctx.state);
    EXPECT_EQ(-1, run(YW_EVENT_FLAG_FRW, 16));
    EXPECT_EQ(-1, run(0, 0));
    EXPECT_EQ(0, g_calls);
}

TEST_F(FsmTest, FirstMatchingRowRunsAndSetsStates)
{
    int priv;
    ctx.prev_state = 77;
    ASSERT_EQ(0, YW_fsm_context_init(&ctx, "t", kTable, &priv));
    EXPECT_EQ(5u, ctx.table_size);
    EXPECT_EQ(77u, ctx.prev_state); // init leaves it
    EXPECT_EQ(&priv, ctx.priv);

    EXPECT_EQ(0, run(YW_EVENT_FLAG_FRW, 16));
    EXPECT_EQ(5u, ctx.state);
    EXPECT_EQ(0u, ctx.prev_state);
    EXPECT_EQ(1, g_calls);

    // Right flag, other value: no row.
    EXPECT_EQ(-1, run(YW_EVENT_FLAG_FRW, 18));
    EXPECT_EQ(5u, ctx.state);
    EXPECT_EQ(0u, ctx.prev_state);
    // Right value, other flag: no row either.
    EXPECT_EQ(-1, run(YW_EVENT_FLAG_IPC, 16));

    // A handler keeping its state still moves prev_state.
    EXPECT_EQ(0, run(YW_EVENT_FLAG_FRW, 17));
    EXPECT_EQ(5u, ctx.state);
    EXPECT_EQ(5u, ctx.prev_state);

    EXPECT_EQ(0, run(YW_EVENT_FLAG_LSE, 0));
    EXPECT_EQ(9u, ctx.state);
    EXPECT_EQ(5u, ctx.prev_state);
    EXPECT_EQ(3, g_calls);
}

TEST_F(FsmTest, RowLimit)
{
    std::vector<YW_fsm_vector_t> rows(1000);
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i] = {YW_EVENT_ID(YW_EVENT_FLAG_FRW, (YW_event_value_t)(i + 1)), to_five};
    // 999 rows and the end row.
    rows[999] = YW_fsm_vector_t YW_FSM_VECTOR_NULL;
    ASSERT_EQ(0, YW_fsm_context_init(&ctx, "big", rows.data(), nullptr));
    EXPECT_EQ(1000u, ctx.table_size);
    EXPECT_EQ(0, run(YW_EVENT_FLAG_FRW, 999));
    EXPECT_EQ(-1, run(YW_EVENT_FLAG_FRW, 1000));

    // 1000 rows before the end row: refused, and no row past the 1000th is
    // read (the vector holds exactly 1000 rows, no end row at all).
    rows[999] = {YW_EVENT_ID(YW_EVENT_FLAG_FRW, 1000), to_five};
    EXPECT_EQ(-1, YW_fsm_context_init(&ctx, "toobig", rows.data(), nullptr));
    EXPECT_EQ(1000u, ctx.table_size);
    // Running such a context stays within the rows init looked at.
    EXPECT_EQ(-1, run(YW_EVENT_FLAG_FRW, 5000));

    EXPECT_EQ(-1, YW_fsm_context_init(nullptr, "x", kTable, nullptr));
    EXPECT_EQ(-1, YW_fsm_context_init(&ctx, "x", nullptr, nullptr));
}

TEST_F(FsmTest, InfoLinePerRun)
{
    ASSERT_EQ(0, YW_log_init());
    ASSERT_EQ(0, YW_registerLog("stdout", &YW_g_log_stdout));
    ASSERT_EQ(0, YW_fsm_context_init(&ctx, "lsm_fsm", kTable, nullptr));
    testing::internal::CaptureStdout();
    run(YW_EVENT_FLAG_FRW, 16);
    run(YW_EVENT_FLAG_LSE, 2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("ctx=lsm_fsm state=0 evt=20000.10\nctx=lsm_fsm state=5 evt=10000.2\n", out);
    YW_log_deinit();
}

} // namespace
