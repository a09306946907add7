// Tracing of the admin API calls through log module 3 ("vtadmin API"). Every call writes its
// entry and exit lines and its error lines through these helpers, so that the line formats
// are the same everywhere: entry/exit lines at level 0 while facility bit 1 is on, general
// information at level 0 while bit 0 is on, error lines at level 3 always.
#pragma once

constexpr int VTA_LOG_MODULE = 3;
constexpr int VTA_LOG_GENERAL = 0;    // "general": informational lines
constexpr int VTA_LOG_ENTRY_EXIT = 1; // "entry/exit": the Enter/Exit lines

bool vta_trace_on();
bool vta_info_on();

// A whole line of its own format: level 0 under bit 1, level 0 under bit 0, level 3 always.
void vta_trace(const char *format, ...) __attribute__((format(printf, 1, 2)));
void vta_info(const char *format, ...) __attribute__((format(printf, 1, 2)));
void vta_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// "Enter: <call>\n", or "Enter: <call>: " followed by the formatted arguments (which bring
// their own line end).
void vta_enter(const char *call);
void vta_enter_args(const char *call, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// " Exit: OK: <call>\n", or " Exit: OK: <call>: " followed by the formatted results.
void vta_exit_ok(const char *call);
void vta_exit_ok_args(const char *call, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// " Exit: ERROR <code>: <call>\n" at level 0 under bit 1.
void vta_exit_error(int code, const char *call);

// "ERROR <code>: <call>: <message>\n" and "ERROR <code>: <call>\n" at level 3.
void vta_error_message(int code, const char *call, const char *message);
void vta_error_code(int code, const char *call);
