#include "libutil/logging.h"

#include "libutil/fatal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void log_sink(int, const char *, ...) {}

// ---- Facilities ----

struct facility_slot {
    char name[FACILITY_NAME_MAX + 1];
    const facility_flag *flags;
    std::unique_ptr<unsigned char[]> mask;
    size_t mask_bytes;
};

facility_slot g_facilities[FACILITY_SLOTS];

bool valid_slot(int slot) {
    return slot >= 0 && slot < FACILITY_SLOTS;
}

// ---- Log state, guarded by g_log_lock ----

constexpr size_t LINE_MAX_BYTES = 1024;
constexpr int STDERR_FD = 2;
const char STDERR_PATH[] = "-";
const char ROTATION_NOTICE[] = "Rotating Log File\n";

struct log_state {
    std::string path; // empty while no log is open
    int fd = -1;
    uint64_t max_size = 0;
    int max_files = 0;
    uint64_t written = 0;
    int open_count = 0;
};

std::mutex g_log_lock;
log_state g_log;

bool writes_to_stderr() {
    return g_log.path == STDERR_PATH;
}

int open_for_append(const char *path) {
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

bool file_exists(const std::string &name) {
    return access(name.c_str(), F_OK) == 0;
}

// Old generations of the log: index 0 is "<path>.txt", index i > 0 is "<path>_<i>.txt".
std::string chain_name(int index) {
    if (index == 0)
        return g_log.path + ".txt";
    return g_log.path + "_" + std::to_string(index) + ".txt";
}

size_t write_all(int fd, const char *data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

// Shifts the chain of old generations up by one and moves the live file into "<path>.txt", so
// no line is lost. The chain is as long as max_files, or longer when numbered files beyond it
// follow without a gap (left by an earlier, larger limit): only its last file is deleted. A
// failed rename leaves the log closed until the next log_open.
void rotate_log() {
    close(g_log.fd);
    g_log.fd = -1;

    int last = g_log.max_files;
    while (file_exists(chain_name(last + 1)))
        ++last;
    if (last != 0) {
        unlink(chain_name(last).c_str());
        for (int i = last; i >= 1; --i) {
            std::string from = chain_name(i - 1);
            if (file_exists(from) && rename(from.c_str(), chain_name(i).c_str()) != 0)
                return;
        }
    }
    if (rename(g_log.path.c_str(), chain_name(0).c_str()) != 0 && errno != ENOENT)
        return;
    g_log.fd = open_for_append(g_log.path.c_str());
}

void write_line_locked(const char *line, size_t length) {
    if (g_log.fd >= 0)
        g_log.written += write_all(g_log.fd, line, length);
    // There is no debugger output channel on this platform; the line goes to the file only.
    if (g_log.max_size != 0 && g_log.written > g_log.max_size) {
        if (g_log.fd >= 0) {
            write_all(g_log.fd, ROTATION_NOTICE, sizeof ROTATION_NOTICE - 1);
            rotate_log();
        }
        g_log.written = 0;
    }
}

void forward_message(int code, const char *text) {
    // System-log codes 0..7 to log levels; -1 marks codes that are not logged.
    static constexpr int level_of_code[] = {1, 0, 2, 3, 4, -1, -1, 5};
    if (code < 0 || code > 7 || level_of_code[code] < 0)
        return;
    log_error_writer(level_of_code[code], "%s", text);
}

void forward_system_log(int code, const char *format, ...) {
    static constexpr int level_of_priority[] = {5, 5, 4, 3, 2, 1, 1, 0};
    char text[LINE_MAX_BYTES];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format ? format : "", args);
    va_end(args);
    const bool has_line_end = n > 0 && static_cast<size_t>(n) < sizeof text && text[n - 1] == '\n';
    log_error_writer(code >= 0 && code <= 7 ? level_of_priority[code] : 3,
                     has_line_end ? "%s" : "%s\n", text);
}

} // namespace

log_writer_fn log_info_writer = log_sink;
log_writer_fn log_error_writer = log_sink;
message_hook_fn message_hook = nullptr;

void message_report(int code, const char *text) {
    if (message_hook != nullptr)
        message_hook(code, text);
    else
        syslog_hook(code, "%s", text);
}

void log_install_writers() {
    if (message_hook == nullptr)
        message_hook = forward_message;
    log_info_writer = log_write;
    log_error_writer = log_write;
}

void log_capture_system_log() {
    syslog_hook = forward_system_log;
}

int facility_register(int slot, const char *name, const facility_flag *flag_table) {
    if (!valid_slot(slot) || flag_table == nullptr || flag_table[0].keyword == nullptr)
        return 22;
    facility_slot &f = g_facilities[slot];
    if (f.flags != nullptr)
        return 16;
    size_t entries = 0;
    while (flag_table[entries].keyword != nullptr)
        ++entries;
    bounded_format(f.name, sizeof f.name, "%s", name ? name : "");
    f.mask_bytes = (entries - 1) / 8 + 1;
    f.mask = std::make_unique<unsigned char[]>(f.mask_bytes);
    f.flags = flag_table;
    return 0;
}

void facility_release(int slot) {
    if (!valid_slot(slot))
        return;
    facility_slot &f = g_facilities[slot];
    bounded_format(f.name, sizeof f.name, "%s", "_facility_at_exit()_");
    f.mask.reset();
    f.mask_bytes = 0;
    f.flags = nullptr;
}

int facility_enable(int slot, int bit) {
    if (!valid_slot(slot) || g_facilities[slot].flags == nullptr || bit < 0 ||
        static_cast<size_t>(bit / 8) >= g_facilities[slot].mask_bytes)
        return 22;
    g_facilities[slot].mask[bit / 8] |= static_cast<unsigned char>(1u << (bit % 8));
    return 0;
}

bool facility_flag_on(int slot, int bit) {
    if (!valid_slot(slot) || g_facilities[slot].flags == nullptr || bit < 0 ||
        static_cast<size_t>(bit / 8) >= g_facilities[slot].mask_bytes)
        return false;
    return (g_facilities[slot].mask[bit / 8] & (1u << (bit % 8))) != 0;
}

const char *facility_name(int slot) {
    return valid_slot(slot) ? g_facilities[slot].name : nullptr;
}

bool log_open(const char *path, uint64_t max_size, int max_files) {
    KX_ASSERT(path != nullptr && path[0] != '\0', "libutil");
    std::lock_guard<std::mutex> hold(g_log_lock);
    if (g_log.fd >= 0 && g_log.fd != STDERR_FD)
        close(g_log.fd);
    g_log.path = path;
    g_log.max_size = max_size;
    g_log.max_files = max_files < 0 ? 0 : max_files;
    if (writes_to_stderr()) {
        g_log.fd = STDERR_FD;
        g_log.max_size = 0;
    } else {
        struct stat st;
        if (stat(path, &st) == 0)
            g_log.written = static_cast<uint64_t>(st.st_size);
        g_log.fd = open_for_append(path);
    }
    ++g_log.open_count;
    return g_log.fd >= 0;
}

void log_close() {
    std::lock_guard<std::mutex> hold(g_log_lock);
    if (g_log.path.empty())
        return;
    if (--g_log.open_count >= 1)
        return;
    if (g_log.fd >= 0 && !writes_to_stderr())
        close(g_log.fd);
    g_log = log_state{};
}

void log_query(bool *is_open, int *fd, char *path, size_t path_size, uint64_t *max_size,
               int *max_files) {
    std::lock_guard<std::mutex> hold(g_log_lock);
    if (is_open)
        *is_open = !g_log.path.empty();
    if (fd)
        *fd = g_log.fd;
    if (path)
        bounded_format(path, path_size, "%s", g_log.path.c_str());
    if (max_size)
        *max_size = g_log.max_size;
    if (max_files)
        *max_files = g_log.max_files;
}

void log_write(int level, const char *format, ...) {
    KX_ASSERT(level >= 0 && level <= 5, "libutil");
    int saved_errno = errno;

    char time_text[64];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(time_text, sizeof time_text, "%Y%m%d %H:%M:%S", &local);

    // Microseconds come from the monotonic counter, not from the time of day.
    struct timespec counter;
    clock_gettime(CLOCK_MONOTONIC, &counter);
    int micros = static_cast<int>(counter.tv_nsec / 1000);

    char line[LINE_MAX_BYTES];
    char letter = "DIWEFC"[level];
    int tid = static_cast<int>(gettid());
    int prefix =
        level < 2
            ? snprintf(line, sizeof line, " %c [%s.%06d %d] ", letter, time_text, micros, tid)
            : snprintf(line, sizeof line, "(%c)[%s.%06d %d] ", letter, time_text, micros, tid);
    va_list args;
    va_start(args, format);
    int body = vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix), format, args);
    va_end(args);
    size_t length = static_cast<size_t>(prefix) + static_cast<size_t>(body);
    if (body < 0 || length >= sizeof line) {
        int n = snprintf(line, sizeof line, "(E) [%s] log message overflowed\n", time_text);
        length = static_cast<size_t>(n);
    }

    {
        std::lock_guard<std::mutex> hold(g_log_lock);
        write_line_locked(line, length);
    }
    errno = saved_errno;
}
