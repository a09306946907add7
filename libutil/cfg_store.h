// Configuration-file store: a text file read whole into an ordered list of line records (key,
// up to 64 fields, optional comment), looked up by key, edited, and optionally written back
// through a temporary file that takes the old file's place.
//
// Every call returns 0 or a result code (cfg_result); calls taking `msg`/`msglen` write a
// message for the user there on failure when `msg` is given.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int CFG_MAX_FIELDS = 64;
constexpr size_t CFG_LINE_MAX = 1024; // bytes read per line; also the record's text budget
constexpr size_t CFG_PATH_MAX = 255;

enum cfg_result : int {
    CFG_OK = 0,
    CFG_NOT_FOUND = 2,     // no such record, or the file or its directory does not exist
    CFG_EXISTS = 7,        // the file already exists (create with CFG_MODE_EXCLUSIVE)
    CFG_BAD_ARGUMENT = 11, // an argument absent or out of range; a NUL byte in the file
    CFG_NO_MEMORY = 20,
    CFG_TOO_LONG = 22, // a line too long or with too many fields
    // any other value: the system error number of the file operation that failed
};

// Open-mode flags. Reading is always granted.
enum : uint32_t {
    CFG_MODE_READ = 1,
    CFG_MODE_WRITE = 2,
    CFG_MODE_CREATE = 4,
    CFG_MODE_EXCLUSIVE = 8, // with CFG_MODE_CREATE: fail when the file exists
};

// Line styles; any other value means fields only, without a key.
enum : uint32_t {
    CFG_STYLE_KEY_VALUE = 2,  // key=value
    CFG_STYLE_KEY_FIELDS = 3, // key, then fields separated by blanks or tabs (or "=")
};

// One line of the file. key, fields and comment point into `text`; absent ones are null.
// Fields fill slots from 0 without gaps.
struct cfg_line {
    char *key;
    char *fields[CFG_MAX_FIELDS];
    char *comment;                      // starts with "#" when read from a file
    uint32_t is_number[CFG_MAX_FIELDS]; // 1 when the field is a valid size text
    int64_t number[CFG_MAX_FIELDS];     // the field's size value, else 0
    uint32_t marked;       // 1 when the line began with "# @"; written back with that marker
    uint32_t cut_at_limit; // 1 when the line had no line end within CFG_LINE_MAX bytes
    cfg_line *next;
    cfg_line *prev;
    // The line as read (CFG_LINE_MAX bytes and a terminator), plus one spare byte so that a
    // comment written right after a token can be split off with its own terminator.
    char text[CFG_LINE_MAX + 2];
};

struct cfg_store;

// Opens `path` with `mode` and reads every line in `style`. On success *store is the new store;
// on failure it is null, nothing is kept and the code is returned.
int cfg_open(const char *path, uint32_t mode, uint32_t style, cfg_store **store, char *msg,
             size_t msglen);

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
