/*
 * Node table: the up to 8 nodes of the system, read from the "fwConf"
 * section ("fwDef" entries).
 */
#ifndef YW_FRW_NODE_H
#define YW_FRW_NODE_H

#include "yw_err.h"
#include "yw_types.h"

#define YW_FRW_NODE_MAX 8
#define YW_FRW_FSM_TAG "fwConf"
#define YW_FRW_FSE_TAG "fwDef"

/* Bits of a node's state. */
enum {
    YW_FRW_NODE_STATE_CONFIGURED = 1, /* configured */
    YW_FRW_NODE_STATE_CHANNEL = 2,    /* a transmit channel to this node is open */
    YW_FRW_NODE_STATE_HEARD = 4       /* this node has been heard from */
};

/* Node-management message types. */
#define YW_FRW_MNG_MSG_HEARTBIT ((YW_int32_t)0x12345678)
#define YW_FRW_MNG_MSG_HEARTBIT_ACK ((YW_int32_t)0x87654321u)

typedef struct YW_frw_node_mng_msg {
    YW_int32_t mtype;
    YW_int32_t iap;
} YW_frw_node_mng_msg_t;

typedef struct yw_frw_node {
    YW_int32_t node_no;
    char *name;
    YW_int32_t isLocal;
    YW_int32_t state;
    YW_int32_t iap;
    YW_int32_t isMaster;
    YW_int32_t flags;
    YW_int32_t cliPortBase;
    char *cliPassword;
    YW_count_t sent;
    YW_count_t rcvd;
    YW_int32_t ipc_no;
    YW_int32_t isLogServer;
    YW_int32_t logServerNo;
} YW_frw_node_t;

struct yw_frw_cfg_element;

extern "C" {

extern YW_frw_node_t YW_g_frw_node[YW_FRW_NODE_MAX];
extern YW_frw_node_t *localNode;
extern YW_frw_node_t *masterNode;

void YW_frw_node_init(void);
void YW_frw_node_deinit(void);
void YW_frw_node_init0(void);
YW_ret_t YW_loadFrameworkConfig(void *pInCfg);
YW_ret_t YW_loadFrwNodeConfig(struct yw_frw_cfg_element *parent, YW_frw_node_t *pNode);
YW_ret_t YW_unloadFrwNodeConfig(YW_frw_node_t *pNode);
YW_ret_t YW_frw_node_setAttribute(YW_frw_node_t *n, const char *key, const char *value);
YW_frw_node_t *YW_frw_node_searchByIpc(YW_int32_t iap);
int YW_frw_node_toString(const YW_frw_node_t *node, char *bp, YW_size_t blen);
void YW_frw_node_show_status(void);
void YW_frw_node_show_status_all(void);

/* The node-management task's entry (task "node_mng"). */
void *YW_frw_node_mng_task(void *arg);

} /* extern "C" */

#endif
