// Process-wide log: writer slots, message hook, facilities, the line writer and rotation.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Fills the message hook, when still empty, with a forwarder to the error writer (codes 0 I,
// 1 D, 2 W, 3 E, 4 F, 7 C; other codes dropped) and points both writer slots at log_write.
void log_install_writers();

// Points the system-log hook (fatal.h) at the error writer: a message of system-log priority
// 0 to 7 becomes a line of level C, C, F, E, W, I, I or D (other codes E) with a line end
// added. For programs that keep support-code diagnostics off the terminal; fatal reports still
// reach standard error on their own.
void log_capture_system_log();

// ---- Facilities: named classes of messages that their owner switches on by bit ----

constexpr int FACILITY_SLOTS = 10;
constexpr size_t FACILITY_NAME_MAX = 63;

// One entry of a facility's flag table; the table ends with an entry whose keyword is null.
struct facility_flag {
    int bit;
    const char *keyword;
    const char *description;
};

// Returns 0; 22 for a slot outside 0..9 or a table without entries; 16 when the slot is taken.
// The flag table is kept by pointer and must outlive the registration.
int facility_register(int slot, const char *name, const facility_flag *flag_table);

// Frees the slot's mask and forgets its table; the name becomes "_facility_at_exit()_".
void facility_release(int slot);

// Sets bit `bit` of the slot's mask. Returns 0, or 22 for a slot that is not registered or a
// bit beyond its mask.
int facility_enable(int slot, int bit);

// True when the slot is registered and bit `bit` of its mask is set.
bool facility_flag_on(int slot, int bit);

// The slot's name ("" for a slot never registered), or null for a slot outside 0..9.
const char *facility_name(int slot);

// ---- The log file ----

// Opens (or re-targets) the process log. "-" writes to standard error and never rotates.
// Otherwise the file is opened for appending, created with mode 0644 when missing, and
// rotated once more than max_size bytes were written (0: never), keeping max_files numbered
// old files. Nests: every call counts one open. Returns true when a descriptor is open.
bool log_open(const char *path, uint64_t max_size, int max_files);

// Undoes one log_open; the last one closes the file (never standard error) and forgets the path.
void log_close();

// Fills whichever out-arguments are non-null. `is_open` is true while a path is set (even when
// its file could not be opened); `path` receives "" when none is set.
void log_query(bool *is_open, int *fd, char *path, size_t path_size, uint64_t *max_size,
               int *max_files);

// Writes one stamped line: " L [YYYYmmdd HH:MM:SS.uuuuuu tid] " for levels 0 and 1,
// "(L)[YYYYmmdd HH:MM:SS.uuuuuu tid] " for 2 to 5, then the message, which brings its own line
// end. Lines of 1024 bytes or more are replaced by an overflow notice. Safe from any thread.
void log_write(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
