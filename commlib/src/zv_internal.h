// Inside of the communication library: the records behind the opaque
// handles, the registry of live handles, and the naming of areas.
#ifndef ZV_INTERNAL_H
#define ZV_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

#include "zv_api.h"

struct zv_smb {
    int fd = -1;
    uint64_t size = 0;
    uint32_t flags = 0;
    CEID ceid = 0;
    std::string name;
    void *addr = nullptr; // mapping made by smb_open, else null
};

// One mapped area of an access handle or a DMA template: its own mapping,
// so that it outlives the closing of the area handle it was made from.
struct zv_mapping {
    uint8_t *base = nullptr;
    uint64_t size = 0;
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
// Maps size bytes of an area's object; 0 or a code.
ZV_status_t mapArea(int fd, uint64_t size, zv_mapping &out);
void unmapArea(zv_mapping &m);
// The area behind a live handle, or null.
zv_smb *liveArea(SMB_handle h);

} // namespace zv

#endif
