// Node table: the up to 8 nodes of the system read from "fwConf", with the
// marks for the local node and the master.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frw/yw_frw_cfg.h"
#include "frw/yw_frw_fsm.h"
#include "frw/yw_frw_node.h"
#include "log/yw_log.h"

extern "C" {

YW_frw_node_t YW_g_frw_node[YW_FRW_NODE_MAX];
YW_frw_node_t *localNode = nullptr;
YW_frw_node_t *masterNode = nullptr;

} // extern "C"

namespace {

bool yw_s_frw_node_done = false;

int yw_frw_node_atoi(const char *v)
{
    return v ? std::atoi(v) : 0;
}

} // namespace

extern "C" {

void YW_frw_node_init0(void)
{
    for (int i = 0; i < YW_FRW_NODE_MAX; ++i) {
        YW_frw_node_t *n = &YW_g_frw_node[i];
        *n = YW_frw_node_t{};
        n->node_no = i;
        n->name = nullptr;
        n->isLocal = 0;
        n->state = 0;
        n->iap = -1;
        n->isMaster = 0;
        n->flags = 0;
        n->isLogServer = 0;
        n->logServerNo = -1;
    }
    localNode = nullptr;
    masterNode = nullptr;
}

void YW_frw_node_init(void)
{
    if (yw_s_frw_node_done)
        return;
    yw_s_frw_node_done = true;
    YW_printf("node init...\n");
    YW_frw_node_init0();
}

void YW_frw_node_deinit(void)
{
    yw_s_frw_node_done = false;
}

YW_ret_t YW_frw_node_setAttribute(YW_frw_node_t *n, const char *key, const char *value)
{
    if (!n)
        return YW_FAIL;
    if (!key)
        return YW_SUCCESS;
    char *v = const_cast<char *>(value);
    if (std::strcmp(key, "name") == 0) {
        n->name = v;
        n->state |= YW_FRW_NODE_STATE_CONFIGURED;
    } else if (std::strcmp(key, "local") == 0) {
        n->isLocal = yw_frw_node_atoi(value);
        if (n->isLocal) {
            // Reading the same node again (the configuration command after a
            // restart) is not a second local node.
            if (localNode && localNode != n)
                YW_frw_sendCfgErrorEvent(YW_ERR_CFG_MULTIPLE_LOCAL_NODE, "multiple local node flag not allowed");
            else
                localNode = n;
        }
    } else if (std::strcmp(key, "frwIAP") == 0) {
        n->iap = yw_frw_node_atoi(value);
    } else if (std::strcmp(key, "isMaster") == 0) {
        n->isMaster = yw_frw_node_atoi(value);
        if (n->isMaster)
            masterNode = n;
    } else if (std::strcmp(key, "isLogServer") == 0) {
        n->isLogServer = yw_frw_node_atoi(value);
    } else if (std::strcmp(key, "controlPort") == 0) {
        n->cliPortBase = yw_frw_node_atoi(value);
    } else if (std::strcmp(key, "password") == 0) {
        n->cliPassword = v;
    } else if (std::strcmp(key, "logServerNo") == 0) {
        n->logServerNo = yw_frw_node_atoi(value);
    }
    return YW_SUCCESS;
}

YW_ret_t YW_loadFrwNodeConfig(YW_frw_cfg_element_t *parent, YW_frw_node_t *pNode)
{
    if (!parent || !pNode)
        return YW_ERR_ENTITY_NULL;
    for (YW_frw_cfg_element_t *e = YW_frw_searchCfgElement(parent, YW_FRW_FSE_TAG, nullptr); e;
         e = YW_frw_searchCfgElement(parent, YW_FRW_FSE_TAG, e)) {
        YW_frw_cfg_element_t *no = YW_frw_searchCfgAttr(e, "nodeNo");
        if (!no) {
            YW_frw_sendCfgErrorEvent(YW_ERR_CFG_NODE_NO_MISSING, "framework Node number missing");
            return YW_ERR_CFG_NODE_NO_MISSING;
        }
        if (yw_frw_node_atoi(no->kv.value) != pNode->node_no)
            continue;
        pNode->state |= YW_FRW_NODE_STATE_CONFIGURED;
        // The attributes after "nodeNo", in document order.
        for (YW_frw_cfg_element_t *a = YW_frw_nextCfgAttr(e, no); a; a = YW_frw_nextCfgAttr(e, a)) {
            YW_ret_t r = YW_frw_node_setAttribute(pNode, a->kv.key, a->kv.value);
            if (r != YW_SUCCESS) {
                std::printf("%s:%d set attr error = %d\n", __func__, __LINE__, (int)r);
                return r;
            }
        }
        return YW_SUCCESS;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_unloadFrwNodeConfig(YW_frw_node_t *pNode)
{
    if (!pNode)
        return YW_ERR_ENTITY_NULL;
    pNode->state = 0;
    return YW_SUCCESS;
}

YW_ret_t YW_loadFrameworkConfig(void *pInCfg)
{
    (void)pInCfg;
    YW_frw_cfg_element_t *section = YW_frw_cfg_findServiceManageCfg(YW_FRW_FSM_TAG);
    if (!section) {
        std::printf("%s:%d NO FSM config found\n", __func__, __LINE__);
        return YW_SUCCESS;
    }
    for (int i = 0; i < YW_FRW_NODE_MAX; ++i) {
        YW_ret_t r = YW_loadFrwNodeConfig(section, &YW_g_frw_node[i]);
        if (r != YW_SUCCESS)
            return r;
    }
    return YW_SUCCESS;
}

YW_frw_node_t *YW_frw_node_searchByIpc(YW_int32_t iap)
{
    for (int i = 0; i < YW_FRW_NODE_MAX; ++i) {
        YW_frw_node_t *n = &YW_g_frw_node[i];
        if (n->state != 0 && n->iap == iap)
            return n;
    }
    return nullptr;
}

int YW_frw_node_toString(const YW_frw_node_t *node, char *bp, YW_size_t blen)
{
    if (!bp || blen < 1)
        return 0;
    int n;
    if (!node) {
        n = std::snprintf(bp, (size_t)blen, "\tnode null\n");
    } else {
        n = std::snprintf(bp, (size_t)blen,
                          "\tno:%d name:%s isLocal:%d state:%d  isMaster:%d \n"
                          "\t\tflags:%x iap:%d sent:%lu rcvd:%lu\n",
                          node->node_no, node->name ? node->name : "(null)", node->isLocal, node->state,
                          node->isMaster, (unsigned)node->flags, node->iap, (unsigned long)node->sent,
                          (unsigned long)node->rcvd);
    }
    if (n < 0)
        return 0;
    return n < blen ? n : (int)(blen - 1);
}

void YW_frw_node_show_status(void)
{
    char buf[512];
    if (localNode) {
        YW_frw_node_toString(localNode, buf, sizeof buf);
        YW_printf("\nLocal Node Status:%s", buf);
    } else {
        YW_printf("\n NO local node\n");
    }
    if (masterNode) {
        YW_frw_node_toString(masterNode, buf, sizeof buf);
        YW_printf("\nMaster Node Status:%s", buf);
    } else {
        YW_printf("\n NO remote node\n");
    }
}

void YW_frw_node_show_status_all(void)
{
    char buf[512];
    YW_printf("NODE status:\n");
    for (int i = 0; i < YW_FRW_NODE_MAX; ++i) {
        if (YW_g_frw_node[i].state == 0)
            continue;
        YW_frw_node_toString(&YW_g_frw_node[i], buf, sizeof buf);
        YW_printf("%s", buf);
    }
}

} /* extern "C" */
