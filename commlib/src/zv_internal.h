// Inside of the communication library: the records behind the opaque
// handles, the registry of live handles, and the naming of areas.
#ifndef ZV_INTERNAL_H
#define ZV_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <string>
#include <unordered_set>

#include "osa/yw_nocancel.h"

#include "zv_api.h"

struct zv_smb {
    int fd = -1;
    uint64_t size = 0;
    uint32_t flags = 0;
    CEID ceid = 0;
    std::string name;
    uint64_t ino = 0;     // the object (its inode) the handle refers to
    void *addr = nullptr; // mapping made by smb_open, else null
    int guard = -1;       // its fault-guard slot
};

// One mapped area of an access handle or a DMA template: its own mapping,
// so that it outlives the closing of the area handle it was made from.
struct zv_mapping {
    uint8_t *base = nullptr;
    uint64_t size = 0;
    int guard = -1; // fault-guard slot
};

struct zv_smb_access {
    static constexpr int kMaxAreas = 4;
    zv_mapping areas[kMaxAreas];
    uint32_t count = 0;
};

struct zv_dx_template {
    zv_mapping src;
    zv_mapping dst;
    std::atomic<int> transfers{0}; // live transfers made from it
};

struct zv_dx_transfer {
    zv_dx_template *tmpl = nullptr;
    uint64_t srcOffset = 0;
    uint64_t dstOffset = 0;
    uint64_t bytes = 0;
    std::atomic<int> state{0}; // 0 idle, 1 complete
};

namespace zv {

// Cancellation of the calling thread is held off inside every call of the
// library that opens, closes or waits: a thread stopped by its application
// never leaves a call half-way with a descriptor, mapping or handle that
// nobody owns. The waits give it back for their sleeps (allowed()).
using CancelHold = YW_P_noCancel;

// The handles given out and not yet closed or released. Handles are checked
// against it, so that a closed, foreign or made-up handle is refused rather
// than used.
class HandleRegistry {
public:
    static HandleRegistry &instance();
    void add(const void *h);
    bool remove(const void *h); // false when it was not live
    bool live(const void *h);

private:
    std::mutex m_;
    std::unordered_set<const void *> set_;
};

// Shared-memory object name of an area ("/zv_<cluster>_<name>"); 0 or a code.
ZV_status_t objectName(const char *name, std::string &out);
// Maps size bytes of an area's object, which must be that long still
// (SMB__AREA_LOST otherwise); the mapping is guarded. 0 or a code.
ZV_status_t mapArea(int fd, uint64_t size, zv_mapping &out);
void unmapArea(zv_mapping &m);
// True when the guarded mapping faulted.
inline bool mappingLost(const zv_mapping &m);

// Fault guard (zv_guard.cpp): registers a mapping of the object ino (a slot,
// or -1 when it cannot be guarded), forgets it, and tells whether a mapping,
// or any mapping of an object, faulted.
int guardAdd(void *base, uint64_t size, uint64_t ino);
void guardRemove(int slot);
bool guardLost(int slot);
bool guardLostObject(uint64_t ino);
bool guardAnyLost();

inline bool mappingLost(const zv_mapping &m)
{
    return guardLost(m.guard);
}
// The area behind a live handle, or null.
zv_smb *liveArea(SMB_handle h);

} // namespace zv

#endif
