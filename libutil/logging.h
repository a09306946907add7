// Process-wide log: writer slots, message hook, facilities, the line writer and rotation.
#pragma once

// Log writer slots: level (0..5, letters "DIWEFC"), printf format, arguments. Both start as a
// sink; the admin API library points them at log_write when it opens its log.
using log_writer_fn = void (*)(int level, const char *format, ...);
extern log_writer_fn log_info_writer;
extern log_writer_fn log_error_writer;

// Message hook: a system-log style code and an already formatted text. Empty (null) until the
// log is set up.
using message_hook_fn = void (*)(int code, const char *text);
extern message_hook_fn message_hook;

// Reports a formatted text through the message hook, or through the system-log hook when the
// message hook is empty.
void message_report(int code, const char *text);
