// Folder/file path join.
#ifndef YW_PATH_H
#define YW_PATH_H

#include <cstdio>
#include <cstring>

#include "yw_mem.h"

// Formats "folder/filename" into `path`, which must hold
// strlen(folder) + strlen(filename) + 2 bytes. With a null `path` the room
// is allocated with YW_malloc (the caller releases it with YW_free); null is
// returned when that fails.
inline YW_string_t YW_get_file_path(const char *folder, const char *filename, YW_string_t path)
{
    if (!folder || !filename)
        return nullptr;
    size_t need = std::strlen(folder) + std::strlen(filename) + 2;
    if (!path) {
        path = static_cast<YW_string_t>(YW_malloc(need));
        if (!path)
            return nullptr;
    }
    std::snprintf(path, need, "%s/%s", folder, filename);
    return path;
}

// Bounded form for fixed buffers: -1 (and an empty `path`) when the joined
// path does not fit in `size` bytes.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
inline int YW_get_file_path_n(const char *folder, const char *filename, char *path, size_t size)
{
    if (!folder || !filename || !path || size == 0)
        return -1;
    size_t need = std::strlen(folder) + std::strlen(filename) + 2;
    if (need > size) {
        path[0] = '\0';
        return -1;
    }
    std::snprintf(path, size, "%s/%s", folder, filename);
    return 0;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif
