#include "libutil/logging.h"

#include "libutil/fatal.h"

namespace {

void log_sink(int, const char *, ...) {}

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
