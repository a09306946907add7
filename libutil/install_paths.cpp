#include "libutil/install_paths.h"

#include "libutil/fatal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// Paths are kept whole, however long: a path cut short names another file. Whoever builds a
// file name from them checks that it fits (config_file_path).
struct install_entry {
    const char *env;
    const char *default_path;
    int parent; // -1: none
    const char *subdir;
    std::string path;
    bool resolved;
};

install_entry g_table[INSTALL_PATH_COUNT] = {
    {"KXFSROOT", "/opt/veltrane", -1, nullptr, {}, false},
    {"KXFSCONF", nullptr, INSTALL_ROOT, "config", {}, false},
    {"KXFSLOGS", nullptr, INSTALL_ROOT, nullptr, {}, false},
    {nullptr, nullptr, INSTALL_LOG_ROOT, "data", {}, false},
    {nullptr, nullptr, INSTALL_LOG_ROOT, "debug", {}, false},
    {nullptr, nullptr, INSTALL_LOG_ROOT, "ras", {}, false},
    {nullptr, nullptr, INSTALL_LOG_ROOT, "qustats", {}, false},
    {nullptr, nullptr, INSTALL_ROOT, "bin", {}, false},
    {nullptr, nullptr, INSTALL_ROOT, "help", {}, false},
    {nullptr, nullptr, INSTALL_ROOT, "lib", {}, false},
    {nullptr, nullptr, INSTALL_CONFIG_DIR, "oem", {}, false},
    {nullptr, nullptr, INSTALL_ROOT, "install", {}, false},
};

std::mutex g_lock;
std::atomic<bool> g_resolved{false};

void copy_path(install_entry &e, const std::string &value) {
    e.path = value;
    e.resolved = true;
}

// Linux has no registry: the first step of the resolution finds nothing, so the environment
// and the defaults decide. Paths are joined with "/".
void resolve_locked() {
    for (auto &e : g_table) {
        if (e.resolved)
            continue;
        // An empty variable names no directory; it counts as not set.
        const char *env = e.env ? getenv(e.env) : nullptr;
        if (env != nullptr && env[0] != '\0') {
            copy_path(e, env);
        } else if (e.default_path != nullptr) {
            copy_path(e, e.default_path);
        } else if (e.parent >= 0 && g_table[e.parent].resolved) {
            const std::string &parent = g_table[e.parent].path;
            copy_path(e, e.subdir != nullptr ? parent + "/" + e.subdir : parent);
        }
        bool has_path = e.resolved;
        if (!has_path)
            fatal_assert("ASSERT failed ", "rp->ri_path != NULL", 1, "getroot", __LINE__);
    }
    g_resolved.store(g_table[INSTALL_ROOT].resolved, std::memory_order_release);
}

} // namespace

const char *install_path(install_path_index index) {
    if (!g_resolved.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(g_lock);
        resolve_locked();
    }
    return g_table[index].path.c_str();
}

const char *config_dir() {
    return install_path(INSTALL_CONFIG_DIR);
}
const char *debug_dir() {
    return install_path(INSTALL_DEBUG_DIR);
}
const char *help_dir() {
    return install_path(INSTALL_HELP_DIR);
}
const char *oem_dir() {
    return install_path(INSTALL_OEM_DIR);
}

void install_paths_reset_for_tests() {
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto &e : g_table) {
        e.path.clear();
        e.resolved = false;
    }
    g_resolved.store(false, std::memory_order_release);
}
