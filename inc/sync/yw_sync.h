/*
 * Synchronisation resources: the mutexes, semaphores and POSIX shared-memory
 * objects that "resourceConf" declares, created when the resource service
 * starts and deleted when it stops; listed by the command "ss".
 */
#ifndef YW_SYNC_H
#define YW_SYNC_H

#include "osa/yw_osa.h"
#include "yw_err.h"
#include "yw_types.h"

#define YW_SYNC_MAX 128

typedef YW_uint32_t YW_sync_id_t;

typedef enum yw_sync_type {
    YW_SYNC_TYPE_INVALID = 0,
    YW_SYNC_TYPE_MUTEX = 1,
    YW_SYNC_TYPE_SEM = 2,
    YW_SYNC_TYPE_SHM = 3,
    YW_SYNC_TYPE_MAX = 4
} YW_sync_type_t;

enum { YW_SYNC_STATE_ASSIGNED = 1, YW_SYNC_STATE_LOADED = 2, YW_SYNC_STATE_UNLOADING = 4 };

typedef struct yw_sync_cfg {
    char *name; /* null = empty slot; a shared-memory object's name */
    YW_sync_type_t sync_type;
    int options;   /* YW_SEM_* option bits */
    int sem_count; /* initial count; 1 = binary semaphore */
    int sem_initState;
    int sem_initCount;
    YW_addr_t shm_addr;
    YW_int64_t shm_size;
    int shm_mode; /* YW_SHM_MODE_* */
    int shm_attr; /* YW_SHM_ATTR_* */
} YW_sync_cfg_t;

#define YW_SYNC_CFG_VALID(c) ((c)->sync_type != YW_SYNC_TYPE_INVALID && (c)->name != nullptr)

typedef struct yw_sync_status {
    int state;
} YW_sync_status_t;

typedef union yw_sync_obj {
    YW_P_mutex_t mutex;
    YW_P_sem_t sem;
    YW_P_shm_t shm;
} YW_sync_obj_t;

typedef struct yw_sync {
    YW_sync_id_t sync_id;
    YW_sync_status_t status;
    YW_sync_cfg_t *cfg; /* null = free slot */
    YW_sync_obj_t sync_obj_id;
    YW_addr_t mapped_addr;   /* not used */
    YW_int64_t mapped_size;  /* not used */
} YW_sync_t;

extern "C" {

extern YW_sync_cfg_t YW_g_sync_cfg[YW_SYNC_MAX];
extern YW_sync_t YW_g_sync[YW_SYNC_MAX];
extern const char *const YW_g_sync_type_name[YW_SYNC_TYPE_MAX];

struct yw_frw_cfg_element;
struct yw_sync_ssm_cfg;
YW_ret_t YW_loadSyncServiceManageConfig(struct yw_frw_cfg_element *base, struct yw_sync_ssm_cfg *mcfg);
YW_ret_t YW_loadSyncConfig(struct yw_frw_cfg_element *base, YW_sync_cfg_t *cfg, struct yw_frw_cfg_element **cursor);
YW_ret_t YW_sync_cfg_setAttribute(YW_sync_cfg_t *cfg, const char *key, const char *value);
int YW_sync_cfg_equal(const YW_sync_cfg_t *a, const YW_sync_cfg_t *b);

YW_ret_t YW_createSync(YW_sync_cfg_t *cfg, YW_sync_id_t *id);
YW_ret_t YW_deleteSync(YW_sync_id_t id);
YW_ret_t YW_inqSync(YW_sync_id_t id, YW_sync_status_t *status);

int YW_sync_showSyncs(int argc, char **argv);
YW_size_t YW_sync_toString(const YW_sync_t *sync, char *buffer, YW_size_t size);

} /* extern "C" */

#endif
