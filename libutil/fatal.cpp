#include "libutil/fatal.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *g_module_name = "libutil";

void syslog_before_init(int code, const char *format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format ? format : "", args);
    va_end(args);
    fprintf(stderr, "ERROR: syslog called before library initialized: level %d, text '%s'\n", code,
            text);
}

} // namespace

syslog_hook_fn syslog_hook = syslog_before_init;

void set_module_name(const char *name) {
    g_module_name = name;
}

const char *module_name() {
    return g_module_name;
}

void fatal_assert(const char *prefix, const char *expression, int abort_flag,
                  const char *source_file, int line) {
    char report[2048];
    bounded_format(report, sizeof report, "%s: %s %s\"%s\" file %s, line %d", "PANIC",
                   g_module_name ? g_module_name : "", prefix ? prefix : "",
                   expression ? expression : "", source_file ? source_file : "", line);
    syslog_hook(1, "%s", report);
    fprintf(stderr, "%s\n", report);
    fflush(stderr);
    if (abort_flag == 0)
        exit(1);
    abort();
}

size_t bounded_format(char *buffer, size_t size, const char *format, ...) {
    if (format == nullptr)
        return SIZE_MAX;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, size, format, args);
    va_end(args);
    if (n < 0) {
        if (size > 0)
            buffer[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n);
}

void bounded_copy(char *to, size_t size, const char *text) {
    const size_t length = strnlen(text, size - 1);
    memmove(to, text, length);
    to[length] = '\0';
}
