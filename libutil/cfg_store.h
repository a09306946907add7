// Configuration-file store: a text file read whole into an ordered list of line records (key,
// up to 64 fields, optional comment), looked up by key, edited, and optionally written back
// through a temporary file that takes the old file's place.
//
// Every call returns 0 or a result code (cfg_result); calls taking `msg`/`msglen` write a
// message for the user there on failure when `msg` is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int CFG_MAX_FIELDS = 64;
constexpr size_t CFG_LINE_MAX = 1024; // bytes read per line; also the record's text budget
constexpr size_t CFG_PATH_MAX = 255;
// Larger files are refused unread (and a rewrite that would make one fails): the store holds
// every line in memory.
constexpr size_t CFG_FILE_MAX = 1 << 20;
// How long cfg_open with CFG_MODE_LOCK waits for another program's lock.
constexpr int CFG_LOCK_WAIT_MS = 30000;

enum cfg_result : int {
    CFG_OK = 0,
    CFG_NOT_FOUND = 2,     // no such record, or the file or its directory does not exist
    CFG_EXISTS = 7,        // the file already exists (create with CFG_MODE_EXCLUSIVE)
    CFG_BAD_ARGUMENT = 11, // an argument absent or out of range; a NUL byte in the file
    CFG_BUSY = 16,         // locked by another program for longer than CFG_LOCK_WAIT_MS
    CFG_NOT_REGULAR = 21,  // a directory, FIFO, device or socket, not a file
    CFG_NO_MEMORY = 20,
    CFG_TOO_LONG = 22,  // a line too long or with too many fields; a line that would not read back
    CFG_TOO_LARGE = 27, // a file of more than CFG_FILE_MAX bytes
    // any other value: the system error number of the file operation that failed
};

// Open-mode flags. Reading is always granted.
enum : uint32_t {
    CFG_MODE_READ = 1,
    CFG_MODE_WRITE = 2,
    CFG_MODE_CREATE = 4,
    CFG_MODE_EXCLUSIVE = 8, // with CFG_MODE_CREATE: fail when the file exists
    // Holds an exclusive advisory lock on the file from the open to the close, so that a
    // read-modify-write by another program cannot interleave (see cfg_lock_acquire).
    CFG_MODE_LOCK = 16,
};

// Line styles; any other value means fields only, without a key.
enum : uint32_t {
    CFG_STYLE_KEY_VALUE = 2,  // key=value
    CFG_STYLE_KEY_FIELDS = 3, // key, then fields separated by blanks or tabs (or "=")
};

// One line of the file, in one allocation sized to the line. key, fields and comment point
// into `text`; absent ones are null. The three field arrays have `field_count` slots and one
// more after them, which holds null / 0 / 0: slot field_count ends the list.
struct cfg_line {
    char *key;
    char **fields;
    char *comment;         // starts with "#" when read from a file
    int64_t *number;       // the field's size value, else 0
    uint32_t *is_number;   // 1 when the field is a valid size text
    int field_count;       // at most CFG_MAX_FIELDS
    uint32_t marked;       // 1 when the line began with "# @"; written back with that marker
    uint32_t cut_at_limit; // 1 when the line had no line end within CFG_LINE_MAX bytes
    cfg_line *next;
    cfg_line *prev;
    char *text; // the line's texts, NUL-terminated
};

struct cfg_store;

// Opens `path` with `mode` and reads every line in `style`. On success *store is the new store;
// on failure it is null, nothing is kept and the code is returned. Only a regular file of at
// most CFG_FILE_MAX bytes is read (CFG_NOT_REGULAR, CFG_TOO_LARGE otherwise).
int cfg_open(const char *path, uint32_t mode, uint32_t style, cfg_store **store, char *msg,
             size_t msglen);

// Reads `length` bytes of configuration text in `style` into a store without a file, exactly
// as cfg_open reads a file of these bytes. Such a store cannot be written back (cfg_format
// gives the text a rewrite would write).
int cfg_parse(const char *text, size_t length, uint32_t style, cfg_store **store, char *msg,
              size_t msglen);

// The text a rewrite of `store` writes, into `out`. Fails (CFG_TOO_LONG) rather than write a
// record that would read back as something else, and (CFG_TOO_LARGE) for a text of more than
// CFG_FILE_MAX bytes.
int cfg_format(const cfg_store *store, std::string *out, char *msg, size_t msglen);

// Clears *store, then (write_back 1) writes the records back and releases the store, also when
// the rewrite fails. Returns the rewrite's code; 0 for an absent store.
int cfg_close(cfg_store **store, int write_back, char *msg, size_t msglen);

// First record matching every criterion given (null criteria are ignored): the key, the 64
// field slots (an absent slot matches only an absent slot), the comment. 0 with the record and
// its position, or 2 with null and -1. Both outputs are optional.
int cfg_find(const cfg_store *store, const char *key, const char *const *fields,
             const char *comment, cfg_line **record, int *index);

// The record at position `index`: 0, 2 past the end, 11 for a bad argument.
int cfg_get(const cfg_store *store, int index, cfg_line **record);

// Null cursor: the first record; else the one after it. 0, or 2 at the end (cursor null).
int cfg_next(const cfg_store *store, cfg_line **cursor);

// Builds a record from comment, key and fields (up to the first null slot; `fields` may be
// null) and inserts it before position `index`; a negative or too large index appends.
int cfg_insert(cfg_store *store, int index, const char *key, const char *const *fields,
               const char *comment, char *msg, size_t msglen);

// Unlinks and frees the record at position `index`; the code of cfg_get otherwise.
int cfg_delete(cfg_store *store, int index);

// Unlinks and frees `record`, a record of `store` (as a walk with cfg_next found it), without
// counting positions. 0, or 11 for an absent argument.
int cfg_remove(cfg_store *store, cfg_line *record);

// An exclusive advisory lock (flock) on a configuration file, for a read-modify-write that
// spans more than one store. It locks the file that is at `path` when the lock is granted
// (waiting up to CFG_LOCK_WAIT_MS for another program; the file is created when missing) and
// follows the file when a rewrite by a CFG_MODE_LOCK store of this process replaces it.
// Within one process locks of the same file nest: a second acquire counts and returns at once.
struct cfg_lock;
int cfg_lock_acquire(const char *path, cfg_lock **lock, char *msg, size_t msglen);
void cfg_lock_release(cfg_lock **lock);
