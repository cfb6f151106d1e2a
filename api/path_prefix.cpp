// The data-folder prefix and the creation of its folders.
//
// File names are appended to the prefix without a separator, so a prefix meant
// for files ends with one. Backslashes are kept as the caller's folder
// separators but stored as '/', the only separator of this platform: a
// prefix like "data\\cam1\\" then names the folder that was created instead of
// a file name with backslashes in the working folder.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "api/path_prefix.h"
#include "common/nx_log.h"

namespace {

constexpr size_t kPrefixSize = 256;

// Open devices keep a pointer to this buffer, so it never moves.
char g_prefix[kPrefixSize];

bool is_directory(const char *path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// Creates every folder along `path` (both separators accepted); the result is
// that of creating the last one, 0 when it already exists.
int make_folders(const char *prefix) {
    char path[kPrefixSize] = {};
    size_t len = strnlen(prefix, kPrefixSize - 1);
    std::memcpy(path, prefix, len);
    if (len > 0 && is_separator(path[len - 1])) path[--len] = '\0';
    for (size_t i = 0; i < len; ++i) {
        if (!is_separator(path[i])) continue;
        path[i] = '\0';
        if (i > 0 && !is_directory(path)) mkdir(path, 0777);
        path[i] = '/';
    }
    if (len == 0 || is_directory(path)) return 0;
    return mkdir(path, 0777) == 0 ? 0 : -1;
}

}  // namespace

namespace nx {

void path_prefix_reset() {
    std::memset(g_prefix, 0, sizeof g_prefix);
    std::strcpy(g_prefix, "./");
}

}  // namespace nx

extern "C" {

int nivex_path_cfg(const char *path) {
    if (path == nullptr) {
        NX_ERR("nivex_path_cfg", "[%s] wrong params: path=%p\n", static_cast<const void *>(path));
        return -1;
    }
    size_t len = strnlen(path, kPrefixSize - 1);
    std::memset(g_prefix, 0, sizeof g_prefix);
    std::memcpy(g_prefix, path, len);
    for (char &c : g_prefix) {
        if (c == '\\') c = '/';
    }
    NX_DBG("nivex_path_cfg", "[%s] PATH_PREIFX: %s\n", g_prefix);
    return make_folders(g_prefix);
}

const char *nivex_path_get(void) {
    return g_prefix;
}

}  // extern "C"
