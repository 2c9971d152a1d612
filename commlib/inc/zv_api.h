/*
 * Function API of the platform communication library: compute-element
 * queries, named shared-memory areas with word access, and DMA transfers
 * between areas.
 *
 * On this machine an area is a POSIX shared-memory object named after the
 * cluster ("ZV_cluster") and the area name, the compute element of the
 * calling process comes from "ZV_ceid", and a DMA transfer is a
 * bounds-checked copy between the two mappings followed by a release fence.
 * Every operation returns 0 or a platform error code 0xFF04xxyy.
 */
#ifndef ZV_API_H
#define ZV_API_H

#include <cstddef>
#include <cstdint>

typedef uint64_t CEID;
typedef uint32_t ZV_status_t;
typedef struct zv_smb *SMB_handle;
typedef struct zv_smb_access *SMB_access_handle;
typedef struct zv_dx_template *DX_template;
typedef struct zv_dx_transfer *DX_transfer;

/* platform error codes: 0xFF04 | facility | code */
#define ZV_ERR(facility, code) ((ZV_status_t)(0xFF040000u | ((facility) << 8) | (code)))
#define ZV_FAC_NAME 0x08u
#define ZV_FAC_DX   0x05u
#define ZV_FAC_SMB  0x17u
#define ZV_FAC_CE   0x03u

#define SMB__NAME_TOO_LONG   ZV_ERR(ZV_FAC_NAME, 0x04) /* 0xFF040804 */
#define SMB__BAD_NAME        ZV_ERR(ZV_FAC_NAME, 0x05) /* characters outside [A-Za-z0-9_.-] */
#define SMB__BAD_CLUSTER     ZV_ERR(ZV_FAC_NAME, 0x06) /* ZV_cluster unusable in a name */
#define SMB__NOT_FOUND       ZV_ERR(ZV_FAC_SMB, 0x01)
#define SMB__SIZE_MISMATCH   ZV_ERR(ZV_FAC_SMB, 0x02)
#define SMB__NOT_SIZED       ZV_ERR(ZV_FAC_SMB, 0x03) /* creator did not size it in time */
#define SMB__DUPLICATE       ZV_ERR(ZV_FAC_SMB, 0x04) /* 0xFF041704 */
#define SMB__SYSTEM          ZV_ERR(ZV_FAC_SMB, 0x05) /* the OS refused (errno says why) */
#define SMB__BAD_ARG         ZV_ERR(ZV_FAC_SMB, 0x06)
#define SMB__NULL_HANDLE     ZV_ERR(ZV_FAC_SMB, 0x09) /* 0xFF041709 */
#define SMB__NULL_ACCESS     ZV_ERR(ZV_FAC_SMB, 0x18) /* 0xFF041718 */
#define SMB__BAD_OFFSET      ZV_ERR(ZV_FAC_SMB, 0x19) /* unaligned or beyond the area */
#define SMB__BAD_INDEX       ZV_ERR(ZV_FAC_SMB, 0x1A) /* area index out of range */
#define SMB__AREA_LOST       ZV_ERR(ZV_FAC_SMB, 0x1B) /* truncated, replaced or removed under its users */
#define SMB__HELD            ZV_ERR(ZV_FAC_SMB, 0x1C) /* claimed by another live process */
#define DX__NULL_HANDLE      ZV_ERR(ZV_FAC_DX, 0x01)
#define DX__OUT_OF_BOUNDS    ZV_ERR(ZV_FAC_DX, 0x02)
#define DX__BAD_ARG          ZV_ERR(ZV_FAC_DX, 0x03)
#define DX__NOT_STARTED      ZV_ERR(ZV_FAC_DX, 0x04)
#define DX__SYSTEM           ZV_ERR(ZV_FAC_DX, 0x05)
#define DX__AREA_LOST        ZV_ERR(ZV_FAC_DX, 0x06) /* an area of the transfer was lost */
#define CE__BAD_ID           ZV_ERR(ZV_FAC_CE, 0x01) /* ZV_ceid set to something else than a number */

/* area flags */
#define SMB_SCOPE_GLOBAL 0x4u
#define SMB_ZERO_FILL    0x1000000u

/* dx_modify flags */
#define DX_MOD_SRC_OFFSET 0x1000u
#define DX_MOD_DST_OFFSET 0x2000u
#define DX_MOD_COUNT      0x4000u
#define DX_POLL           0x10u
#define DX_START          0x1u

/* longest area name */
#define SMB_NAME_MAX 31

/* smb_check flags: also look at the object itself (its size, and whether the
 * name still refers to it); without it the check costs one load */
#define SMB_CHECK_OBJECT 0x1u

extern "C" {

CEID ce_getid(void);
/* The text ZV_ceid was set to (empty when unset), cut to rawLen - 1 bytes:
 * 0 when it is unset or a number that ce_getid gives (decimal, or
 * hexadecimal after 0x, within 64 bits), CE__BAD_ID for anything else (then
 * ce_getid gives 0). */
ZV_status_t ce_getid_raw(char *raw, size_t rawLen);

ZV_status_t smb_create(const char *name, uint32_t flags, uint64_t size, uint32_t count, CEID ceid,
                       uint32_t reserved, SMB_handle *pHandle);
ZV_status_t smb_attach(const char *name, uint32_t flags, uint64_t size, uint32_t reserved1, uint32_t reserved2,
                       SMB_handle *pHandle);
ZV_status_t smb_open(const char *name, uint32_t flags, uint32_t reserved1, uint64_t size, uint32_t reserved2,
                     uint32_t reserved3, void **pAddr, SMB_handle *pHandle);
ZV_status_t smb_close(SMB_handle handle, uint32_t reserved);
ZV_status_t smb_access_setup(const SMB_handle *handles, size_t bytes, SMB_access_handle *pAccess, void *reserved);
ZV_status_t smb_access_release(SMB_access_handle access);
/* Areas of this machine are files that anyone with access may truncate,
 * replace or remove. An access that faults on such an area completes on zero
 * pages instead and the area counts as lost: the calls that access it answer
 * SMB__AREA_LOST / DX__AREA_LOST, and smb_check answers SMB__AREA_LOST for
 * every handle of it. smb_stat gives an area's current size and file,
 * smb_remove takes the name away (users keep the old object) so that the
 * area can be made again. */
ZV_status_t smb_check(SMB_handle handle, uint32_t flags);
ZV_status_t smb_stat(const char *name, uint64_t *pSize, char *file, size_t fileLen);
ZV_status_t smb_remove(const char *name);
/* An area's owner claims it with smb_lock: an exclusive lock on the area's
 * object, held while the handle stays open and let go by the system when
 * the process ends. SMB__HELD when another open handle holds it (another
 * live process, or another handle of this one); holder then names the
 * process ("process <pid> (<command>)") when it can be found. smb_holder
 * asks the same of a named area without claiming it: 0 when nobody holds
 * it, SMB__HELD, or another code (SMB__NOT_FOUND when there is no area). */
ZV_status_t smb_lock(SMB_handle handle, char *holder, size_t holderLen);
ZV_status_t smb_holder(const char *name, char *holder, size_t holderLen);
ZV_status_t smb_access_write_u64(SMB_access_handle access, uint32_t area, uint32_t reserved, uint64_t offset,
                                 uint64_t value);

ZV_status_t dx_create(SMB_handle src, SMB_handle dst, void *reserved0, uint32_t reserved1, uint32_t reserved2,
                      uint32_t reserved3, uint32_t reserved4, DX_template *pTemplate);
ZV_status_t dx_copy(DX_template tmpl, uint64_t srcOffset, uint64_t dstOffset, uint64_t bytes, uint32_t reserved1,
                    uint32_t reserved2, uint32_t reserved3, DX_transfer *pTransfer);
ZV_status_t dx_modify(DX_transfer xfer, uint64_t srcOffset, uint64_t dstOffset, uint64_t bytes, uint32_t reserved,
                      uint32_t flags);
ZV_status_t dx_start(DX_transfer xfer, uint32_t flags);
ZV_status_t dx_get_status(DX_transfer xfer, uint32_t flags, uint32_t reserved);
ZV_status_t dx_release(DX_transfer xfer, uint32_t reserved);
ZV_status_t dx_destroy(DX_template tmpl);

} // extern "C"

#endif
