// Table-driven state machine shared by the framework and every service
// manager. A table is a constant array of rows {event, handler} ended by
// YW_FSM_VECTOR_NULL; running the machine on a message takes the first row
// whose 64-bit event word equals the message's identifier and lets its
// handler compute the next state. Which events a state accepts is decided in
// the handlers. A context is run only by its owner thread.
#ifndef YW_FSM_H
#define YW_FSM_H

#include "log/yw_log.h"
#include "yw_event.h"

typedef YW_uint32_t YW_fsm_state_t;

struct yw_fsm_context;
typedef YW_fsm_state_t (*YW_fsm_handler_t)(struct yw_fsm_context *ctx, YW_event_msg_t *emsg);

typedef struct yw_fsm_vector {
    YW_event_t event;
    YW_fsm_handler_t handler;
} YW_fsm_vector_t;

#define YW_FSM_VECTOR_NULL {{0}, nullptr}
#define YW_FSM_TABLE_SIZE_MAX 999

typedef struct yw_fsm_context {
    YW_string_t name;
    YW_fsm_state_t prev_state;
    YW_fsm_state_t state;
    YW_count_t table_size; /* rows including the end row */
    const YW_fsm_vector_t *table;
    YW_addr_t priv;
    YW_int32_t refCount; /* not used by the engine */
} YW_fsm_context_t;

inline bool yw_fsm_isEndRow(const YW_fsm_vector_t *row)
{
    return row->event.w == 0 && row->handler == nullptr;
}

// Counts the rows into table_size: 0 when the end row was found after at most
// YW_FSM_TABLE_SIZE_MAX rows, -1 otherwise (rows past the limit are not read).
inline YW_ret_t YW_fsm_context_init(YW_fsm_context_t *ctx, const char *name, const YW_fsm_vector_t *table,
                                    YW_addr_t priv)
{
    if (!ctx || !table)
        return YW_FAIL;
    ctx->name = const_cast<YW_string_t>(name);
    ctx->state = 0;
    ctx->priv = priv;
    ctx->table = table;
    ctx->table_size = 0;
    for (const YW_fsm_vector_t *row = table;; ++row) {
        ctx->table_size++;
        if (yw_fsm_isEndRow(row))
            return YW_SUCCESS;
        if (ctx->table_size > YW_FSM_TABLE_SIZE_MAX)
            return YW_FAIL;
    }
}

// Dispatches one event: 0 when a row matched and its handler ran, -1 when no
// row matched (state unchanged). The message stays with the caller.
inline YW_ret_t YW_fsm_context_run(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (!ctx || !emsg || !ctx->table)
        return YW_FAIL;
    YW_printf("ctx=%s state=%d evt=%x.%x\n", ctx->name ? ctx->name : "", (int)ctx->state, emsg->id.p.flag,
              emsg->id.p.value);
    // The walk ends at the end row; it never goes past the rows init counted
    // (a table whose init failed has no end row within them).
    YW_count_t limit = ctx->table_size ? ctx->table_size : (YW_count_t)YW_FSM_TABLE_SIZE_MAX + 1;
    for (YW_count_t i = 0; i < limit; ++i) {
        const YW_fsm_vector_t *row = &ctx->table[i];
        if (row->event.w == 0)
            return YW_FAIL;
        if (row->event.w == emsg->id.w) {
            if (!row->handler)
                return YW_FAIL;
            ctx->prev_state = ctx->state;
            ctx->state = row->handler(ctx, emsg);
            return YW_SUCCESS;
        }
    }
    return YW_FAIL;
}

#endif
