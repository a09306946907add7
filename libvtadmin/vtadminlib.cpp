#include "libvtadmin/vtadminlib.h"

#include "libfsmcomm/auth.h"
#include "libfsmcomm/transport.h"
#include "libutil/fatal.h"
#include "libutil/install_paths.h"
#include "libutil/logging.h"
#include "libutil/number_text.h"
#include "libutil/settings.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_trace.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

pthread_once_t g_once = PTHREAD_ONCE_INIT;
std::atomic<int> g_once_done{0};
pthread_mutex_t g_con_list_lock;
pthread_mutex_t g_parser_lock; // created with con_list_lock; no call of this library takes it
std::atomic<int> g_ready{0};
std::atomic<int> g_admin{0};
std::mutex g_progress_lock; // guards the two below
VTAdmin_ProgressFunc g_progress = nullptr;
void *g_progress_context = nullptr;
int g_log_set_up = 0;

constexpr uint64_t LOG_MIN_SIZE = 1048576;
constexpr int LOG_MIN_FILES = 10;
constexpr size_t LOG_PATH_MAX = 512;
constexpr int CAP_SYS_ADMIN_BIT = 21;

const facility_flag g_log_flags[] = {{0, "general", "General Information"},
                                     {1, "entry/exit", "Function entry/exit tracing"},
                                     {0, nullptr, nullptr}};

void create_mutexes() {
    if (pthread_mutex_init(&g_con_list_lock, nullptr) != 0)
        fatal_assert("", "vtadminlib: failed to initialize con_list_lock mutex", 1, "vtadminlib",
                     __LINE__);
    if (pthread_mutex_init(&g_parser_lock, nullptr) != 0)
        fatal_assert("", "vtadminlib: failed to initialize parser_lock mutex", 1, "vtadminlib",
                     __LINE__);
    g_once_done = 1;
}

// CAP_SYS_ADMIN in the effective set, read from /proc/self/status.
bool has_cap_sys_admin() {
    FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return false;
    char line[256];
    bool found = false;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        unsigned long long mask = 0;
        if (std::sscanf(line, "CapEff: %llx", &mask) == 1) {
            found = (mask >> CAP_SYS_ADMIN_BIT) & 1;
            break;
        }
    }
    std::fclose(status);
    return found;
}

} // namespace

pthread_mutex_t *vtadmin_con_list_lock() {
    return &g_con_list_lock;
}

int vtadmin_in_group(const char *name) {
    if (name == nullptr || name[0] == '\0')
        return 0;
    long size = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 16384));
    group entry;
    group *result = nullptr;
    if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &result) != 0 || result == nullptr)
        return 0;
    if (getegid() == result->gr_gid)
        return 1;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return 0;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    if (got < 0)
        return 0;
    return std::find(groups.begin(), groups.begin() + got, result->gr_gid) != groups.begin() + got
               ? 1
               : 0;
}

int vtadmin_rights_probe() {
    if (geteuid() == 0 || has_cap_sys_admin())
        return 1;
    settings *s = settings_open("vtadmin.conf", true);
    const char *value = settings_get(s, "VT_ADMIN_GROUP");
    char group_name[256];
    bounded_format(group_name, sizeof group_name, "%s", value ? value : "kxfsadmin");
    if (s != nullptr)
        settings_close(s);
    return vtadmin_in_group(group_name);
}

int VTAdmin_Init() {
    network_auth_enabled = auth_secret_present();
    pthread_once(&g_once, create_mutexes);

    unsigned result = 1;
    if (g_once_done) {
        pthread_mutex_lock(&g_con_list_lock);
        if (g_ready) {
            network_auth_enabled = auth_secret_present();
            pthread_mutex_unlock(&g_con_list_lock);
            result = 8;
        } else {
            vorud_table_clear();
            g_admin = vtadmin_rights_probe();
            g_ready = 1;
            pthread_mutex_unlock(&g_con_list_lock);
            VTAdmin_LogInit(nullptr);
            result = 4;
        }
    }
    vta_trace(" VTAdmin_Init: Done: dbg_tracks=0x%X\n", result);
    return 0;
}

int VTAdmin_Teardown() {
    static const char *const call = "VTAdmin_Teardown";
    vta_enter(call);
    if (g_once_done) {
        pthread_mutex_lock(&g_con_list_lock);
        if (!g_ready) {
            pthread_mutex_unlock(&g_con_list_lock);
            vta_exit_ok_args(call, "VTAdmin was not ready though.\n");
            return 0;
        }
        vorud_table_close_all();
        g_ready = 0;
        pthread_mutex_unlock(&g_con_list_lock);
    }
    vta_exit_ok(call);
    VTAdmin_LogTeardown();
    return 0;
}

void VTAdmin_LogInit(const char *name) {
    facility_register(VTA_LOG_MODULE, "vtadmin API", g_log_flags);

    bool open = false;
    char current[LOG_PATH_MAX] = "";
    log_query(&open, nullptr, current, sizeof current, nullptr, nullptr);

    const char *log_name = (name != nullptr && name[0] != '\0') ? name : "vtadmin";
    char path[LOG_PATH_MAX];
    bounded_format(path, sizeof path, "%s/%s.log", debug_dir(), log_name);
    if (open) {
        if (name == nullptr || std::strncmp(current, path, LOG_PATH_MAX) == 0)
            return;
        log_close();
    }

    log_install_writers();

    settings *s = settings_open("vtadmin.conf", true);
    char key[LOG_PATH_MAX];
    uint64_t max_size = LOG_MIN_SIZE;
    bounded_format(key, sizeof key, "VT_MAX_LOGSIZE_%s", log_name);
    if (const char *text = settings_get(s, key)) {
        uint64_t value = 0;
        if (!parse_size(&text, &value, nullptr))
            value = 0;
        max_size = std::max(value, LOG_MIN_SIZE);
    }
    int max_files = LOG_MIN_FILES;
    bounded_format(key, sizeof key, "VT_MAX_LOGFILES_%s", log_name);
    if (const char *text = settings_get(s, key)) {
        uint64_t value = 0;
        if (!parse_decimal(&text, &value))
            value = 0;
        max_files = static_cast<int>(
            std::max<uint64_t>(std::min<uint64_t>(value, 1u << 30), LOG_MIN_FILES));
    }
    if (s != nullptr)
        settings_close(s);

    log_open(path, max_size, max_files);
    g_log_set_up = 1;
}

void VTAdmin_LogTeardown() {
    if (g_log_set_up) {
        log_close();
        g_log_set_up = 0;
    }
    facility_release(VTA_LOG_MODULE);
}

int VTAdmin_LogEnable(int bit, int module) {
    return facility_enable(module, bit);
}

void vtadmin_program_start(const char *program) {
    set_module_name(program);
    VTAdmin_Init();
    VTAdmin_LogInit(program);
    VTAdmin_LogEnable(VTA_LOG_GENERAL, VTA_LOG_MODULE);
    VTAdmin_LogEnable(VTA_LOG_ENTRY_EXIT, VTA_LOG_MODULE);
    log_capture_system_log();
}

const char *VTAdmin_StrError(int code) {
    switch (code) {
    case 0:
        return "No Error.";
    case 1:
        return "Permission denied.";
    case 2:
        return "Entry not found.";
    case 3:
        return "Object already exists.";
    case 4:
        return "No configuration.";
    case 5:
        return "Object is not local.";
    case 6:
        return "End of file/list.";
    case 7:
        return "Retry from start.";
    case 8:
        return "A timeout occured.";
    case 9:
        return "The operation was interrupted.";
    case 10:
        return "Blocked by HA operation.";
    case 11:
        return "Blocaked by HA mis-configuration.";
    case 12:
        return "Non-approved daemon.";
    case 25:
        return "Operation is not supported.";
    default:
        return "Unknown error.";
    }
}

void VTAdmin_SetProgress(VTAdmin_ProgressFunc func, void *context) {
    std::lock_guard<std::mutex> hold(g_progress_lock);
    if (func == nullptr && context != nullptr && context != g_progress_context)
        return;
    g_progress = func;
    g_progress_context = func != nullptr ? context : nullptr;
}

namespace {

int report(int kind, int count) {
    VTAdmin_ProgressFunc func;
    void *context;
    {
        std::lock_guard<std::mutex> hold(g_progress_lock);
        func = g_progress;
        context = g_progress_context;
    }
    return func != nullptr ? func(context, kind, count) : 0;
}

} // namespace

void vtadmin_report_progress(int entries) {
    report(VTA_PROGRESS_ENTRIES, entries);
}

int vtadmin_wait_poll_interval(int waited) {
    // The interval is slept in slices, so that an interruption ends the wait within one.
    constexpr int slices = 10;
    constexpr unsigned slice_us = 1000000 / slices;
    for (int i = 0; i < slices; ++i) {
        if (report(VTA_PROGRESS_WAITED, waited) != 0)
            return VTA_EINTR;
        usleep(slice_us);
    }
    return report(VTA_PROGRESS_WAITED, waited + 1) != 0 ? VTA_EINTR : 0;
}

int VTAdmin_IsReady() {
    return g_ready;
}
int VTAdmin_IsAdmin() {
    return g_admin;
}

int VTAdmin_OnceDone() {
    return g_once_done;
}

void vtadmin_set_admin_for_tests(int admin) {
    g_admin = admin;
}

void VTAdmin_DiskStateString(uint32_t state, char *buffer, size_t size) {
    const char *text = "<Unknwon>";
    if (state & 0x4)
        text = (state & 0x1) ? "Active" : (state & 0x2) ? "Primary" : "Available";
    else if (state & 0x8)
        text = (state & 0x1) ? "Passive" : (state & 0x2) ? "Secondary" : "Standby";
    else if (state & (1u << 28))
        text = "Deferred Close";
    else if (state & (1u << 29))
        text = "Label Not Verified";
    else if (state & (1u << 30))
        text = "Unusable";
    else if (state & (1u << 31))
        text = "Unavailable";
    bounded_format(buffer, size, "%s", text);
}

char *VTAdmin_AddrToString(const host_addr *address, char *buffer) {
    char text[256] = "";
    addr_to_string(address, text, sizeof text);
    if (text[0] == '\0')
        return nullptr;
    memcpy(buffer, text, strlen(text) + 1); // addr_to_string terminates within 256
    return buffer;
}
