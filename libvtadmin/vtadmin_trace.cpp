#include "libvtadmin/vtadmin_trace.h"

#include "libutil/logging.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr int LEVEL_DEBUG = 0;
constexpr int LEVEL_ERROR = 3;
constexpr size_t LINE_MAX = 1024; // the facility replaces longer lines by a notice anyway

void vformat(char *buffer, const char *format, va_list args) {
    vsnprintf(buffer, LINE_MAX, format, args);
}

void write_line(log_writer_fn writer, int level, const char *format, va_list args) {
    char line[LINE_MAX];
    vformat(line, format, args);
    writer(level, "%s", line);
}

// The enter and exit lines that carry the call's arguments or results after its name.
void trace_call_line(const char *prefix, const char *call, const char *format, va_list args) {
    char rest[LINE_MAX];
    vformat(rest, format, args);
    log_info_writer(LEVEL_DEBUG, "%s%s: %s", prefix, call, rest);
}

} // namespace

bool vta_trace_on() {
    return facility_flag_on(VTA_LOG_MODULE, VTA_LOG_ENTRY_EXIT);
}
bool vta_info_on() {
    return facility_flag_on(VTA_LOG_MODULE, VTA_LOG_GENERAL);
}

void vta_trace(const char *format, ...) {
    if (!vta_trace_on())
        return;
    va_list args;
    va_start(args, format);
    write_line(log_info_writer, LEVEL_DEBUG, format, args);
    va_end(args);
}

void vta_info(const char *format, ...) {
    if (!vta_info_on())
        return;
    va_list args;
    va_start(args, format);
    write_line(log_info_writer, LEVEL_DEBUG, format, args);
    va_end(args);
}

void vta_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    write_line(log_error_writer, LEVEL_ERROR, format, args);
    va_end(args);
}

void vta_enter(const char *call) {
    if (vta_trace_on())
        log_info_writer(LEVEL_DEBUG, "Enter: %s\n", call);
}

void vta_enter_args(const char *call, const char *format, ...) {
    if (!vta_trace_on())
        return;
    va_list args;
    va_start(args, format);
    trace_call_line("Enter: ", call, format, args);
    va_end(args);
}

void vta_exit_ok(const char *call) {
    if (vta_trace_on())
        log_info_writer(LEVEL_DEBUG, " Exit: OK: %s\n", call);
}

void vta_exit_ok_args(const char *call, const char *format, ...) {
    if (!vta_trace_on())
        return;
    va_list args;
    va_start(args, format);
    trace_call_line(" Exit: OK: ", call, format, args);
    va_end(args);
}

void vta_exit_error(int code, const char *call) {
    if (vta_trace_on())
        log_info_writer(LEVEL_DEBUG, " Exit: ERROR %d: %s\n", code, call);
}

void vta_error_message(int code, const char *call, const char *message) {
    log_error_writer(LEVEL_ERROR, "ERROR %d: %s: %s\n", code, call, message);
}

void vta_error_code(int code, const char *call) {
    log_error_writer(LEVEL_ERROR, "ERROR %d: %s\n", code, call);
}
