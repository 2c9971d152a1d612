// A shared-memory cluster of its own for one test process: "ZV_cluster" is
// set to a name no other run uses, and the areas left under /dev/shm are
// removed when it goes.
#ifndef YW_TEST_SHM_H
#define YW_TEST_SHM_H

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace yw_common_test {

class ShmCluster {
public:
    explicit ShmCluster(const char *tag = "t")
    {
        static std::atomic<int> seq{0};
        name_ = std::string(tag) + std::to_string(getpid()) + "x" + std::to_string(seq++);
        setenv("ZV_cluster", name_.c_str(), 1);
    }
    ~ShmCluster() { clean(); }
    ShmCluster(const ShmCluster &) = delete;
    ShmCluster &operator=(const ShmCluster &) = delete;

    const std::string &name() const { return name_; }
    // Removes the cluster's areas.
    void clean() const
    {
        // Listed first, removed after: removing while listing skips entries.
        std::error_code ec;
        std::string prefix = "zv_" + name_ + "_";
        std::vector<std::filesystem::path> found;
        for (auto &e : std::filesystem::directory_iterator("/dev/shm", ec))
            if (e.path().filename().string().rfind(prefix, 0) == 0)
                found.push_back(e.path());
        for (auto &p : found)
            std::filesystem::remove(p, ec);
    }
    // Number of the cluster's areas.
    int count() const
    {
        int n = 0;
        std::error_code ec;
        std::string prefix = "zv_" + name_ + "_";
        for (auto &e : std::filesystem::directory_iterator("/dev/shm", ec))
            n += e.path().filename().string().rfind(prefix, 0) == 0;
        return n;
    }

private:
    std::string name_;
};

// The POSIX shared-memory object of an area of a cluster.
inline std::string shmObject(const std::string &cluster, const char *area)
{
    return "/zv_" + cluster + "_" + area;
}

// An area cut short (or lengthened) to size from outside, as a stray
// program would; false when there is no such area.
inline bool cutArea(const std::string &cluster, const char *area, off_t size)
{
    int fd = shm_open(shmObject(cluster, area).c_str(), O_RDWR, 0);
    if (fd < 0)
        return false;
    bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok;
}

// An area replaced from outside by a new zeroed one of the given size (its
// users keep the old object mapped).
inline bool replaceArea(const std::string &cluster, const char *area, off_t size)
{
    const std::string obj = shmObject(cluster, area);
    shm_unlink(obj.c_str());
    int fd = shm_open(obj.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return false;
    bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok;
}

} // namespace yw_common_test

#endif
