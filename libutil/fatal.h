// Process-wide module name, system-log hook, fatal assertion report, bounded formatting and
// copying.
#pragma once

#include <cstddef>

// Name of the running program in fatal reports; "libutil" until the program sets it.
void set_module_name(const char *name);
const char *module_name();

// System-log style hook: code, printf format, arguments. Its initial function writes
// "ERROR: syslog called before library initialized: ..." to standard error.
using syslog_hook_fn = void (*)(int code, const char *format, ...);
extern syslog_hook_fn syslog_hook;

// Reports "PANIC: <module> <prefix>"<expression>" file <source>, line <n>" through the hook
// and to standard error, then aborts (abort_flag != 0) or exits with status 1.
[[noreturn]] void fatal_assert(const char *prefix, const char *expression, int abort_flag,
                               const char *source_file, int line);

// Stops the process when an internal invariant is broken; `source` names the module.
#define KX_ASSERT(expr, source)                                                                    \
    ((expr) ? (void)0 : fatal_assert("ASSERT failed ", #expr, 1, source, __LINE__))

// snprintf that always terminates inside `size` (when size > 0). Returns the length the full
// text would have had, or SIZE_MAX (buffer untouched) when `format` is null.
size_t bounded_format(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Copies at most `size` - 1 bytes of `text`, up to its NUL, and terminates the copy (size > 0).
// The text may be the target itself.
void bounded_copy(char *to, size_t size, const char *text);
