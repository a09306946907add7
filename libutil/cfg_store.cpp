#include "libutil/cfg_store.h"

#include "libutil/fatal.h"
#include "libutil/size_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Writes a message into the caller's buffer when there is one.
#define CFG_REPORT(msg, msglen, ...)                                                               \
    do {                                                                                           \
        if ((msg) != nullptr && (msglen) > 0)                                                      \
            bounded_format((msg), (msglen), __VA_ARGS__);                                          \
    } while (0)

struct cfg_store {
    char path[CFG_PATH_MAX + 1];
    uint32_t mode;
    int file;
    uint32_t style;
    cfg_line *head;
    cfg_line *tail;
};

namespace {

// Lines are served from a window of the file so that reading costs one system call per window,
// not one per line; the result is the same as reading each line at its own offset.
constexpr size_t kReadWindow = 64 * 1024;
// Output is gathered and written in blocks of this size.
constexpr size_t kWriteBlock = 64 * 1024;

int open_flags(uint32_t mode) {
    int flags = (mode & CFG_MODE_WRITE) ? O_RDWR : O_RDONLY;
    if (mode & CFG_MODE_CREATE) {
        flags |= O_CREAT;
        if (mode & CFG_MODE_EXCLUSIVE)
            flags |= O_EXCL;
    }
    return flags | O_CLOEXEC;
}

// System error numbers in the store's own code table where they mean the same thing; the
// rest pass through.
int result_from_errno(int err) {
    switch (err) {
    case 0:
        return EIO;
    case ENOENT:
    case ENOTDIR:
        return CFG_NOT_FOUND;
    case EEXIST:
        return CFG_EXISTS;
    case ENOMEM:
        return CFG_NO_MEMORY;
    default:
        return err;
    }
}

bool is_quote(unsigned char c) {
    return c == '"' || c == 0x93 || c == 0x94;
}
bool is_line_end(unsigned char c) {
    return c == '\r' || c == '\n';
}
bool is_blank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

cfg_line *new_line() {
    return static_cast<cfg_line *>(calloc(1, sizeof(cfg_line)));
}

void fill_numbers(cfg_line *rec) {
    for (int i = 0; i < CFG_MAX_FIELDS && rec->fields[i] != nullptr; ++i) {
        int64_t value = 0;
        rec->is_number[i] = static_cast<uint32_t>(size_parse(rec->fields[i], &value));
        rec->number[i] = value;
    }
}

void link_before(cfg_store *s, cfg_line *rec, cfg_line *before) {
    if (before == nullptr) {
        rec->prev = s->tail;
        rec->next = nullptr;
        if (s->tail != nullptr)
            s->tail->next = rec;
        else
            s->head = rec;
        s->tail = rec;
        return;
    }
    rec->next = before;
    rec->prev = before->prev;
    if (before->prev != nullptr)
        before->prev->next = rec;
    else
        s->head = rec;
    before->prev = rec;
}

void unlink_line(cfg_store *s, cfg_line *rec) {
    if (rec->prev != nullptr)
        rec->prev->next = rec->next;
    else
        s->head = rec->next;
    if (rec->next != nullptr)
        rec->next->prev = rec->prev;
    else
        s->tail = rec->prev;
    rec->next = rec->prev = nullptr;
}

void release_store(cfg_store *s) {
    for (cfg_line *rec = s->head; rec != nullptr;) {
        cfg_line *next = rec->next;
        free(rec);
        rec = next;
    }
    if (s->file >= 0)
        close(s->file);
    free(s);
}

// ---- reading ---------------------------------------------------------------------------------

struct line_reader {
    int file;
    char *window;
    off_t start;
    size_t length;
    bool at_end; // the window reaches the end of the file
};

int refill(line_reader &r, off_t offset, char *msg, size_t msglen) {
    if (lseek(r.file, offset, SEEK_SET) == static_cast<off_t>(-1)) {
        int code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Internal Error: seek failed (%d)", code);
        return code;
    }
    r.start = offset;
    r.length = 0;
    r.at_end = false;
    while (r.length < kReadWindow) {
        ssize_t n = read(r.file, r.window + r.length, kReadWindow - r.length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int code = result_from_errno(errno);
            CFG_REPORT(msg, msglen, "VTFS Cfg: Internal error reading cfg file (%d)", code);
            return code;
        }
        if (n == 0) {
            r.at_end = true;
            break;
        }
        r.length += static_cast<size_t>(n);
    }
    return CFG_OK;
}

// Copies up to CFG_LINE_MAX bytes found at `offset` into `dest` and terminates them.
int read_line_bytes(line_reader &r, off_t offset, char *dest, size_t *count, char *msg,
                    size_t msglen) {
    off_t window_end = r.start + static_cast<off_t>(r.length);
    bool inside = offset >= r.start && offset <= window_end;
    bool whole_line = r.at_end || offset + static_cast<off_t>(CFG_LINE_MAX) <= window_end;
    if (!inside || !whole_line) {
        int code = refill(r, offset, msg, msglen);
        if (code != CFG_OK)
            return code;
        window_end = r.start + static_cast<off_t>(r.length);
    }
    size_t available = static_cast<size_t>(window_end - offset);
    size_t n = available < CFG_LINE_MAX ? available : CFG_LINE_MAX;
    memcpy(dest, r.window + (offset - r.start), n);
    dest[n] = '\0';
    *count = n;
    return CFG_OK;
}

enum class scan_state { expect_key, in_key, expect_field, in_field, comment };

// Parses the `n` bytes in rec->text into key, fields and comment. `consumed` receives the bytes
// that belong to this line, its line end included.
//
// Where the format leaves room, the reading favours a lossless rewrite:
//  - "# @" marks a line only at the very start of the line (elsewhere "#" starts a comment);
//    the rewrite restores the marker.
//  - A "#" directly after a token ends that token and starts the comment, so an inline comment
//    is not also kept as the tail of the token (which each rewrite would duplicate).
//  - Text inside quotes is literal from its first byte on: "" is an empty text, and a quoted
//    text may begin with "#" or "=".
int parse_line(cfg_line *rec, size_t n, uint32_t style, size_t *consumed, char *msg,
               size_t msglen) {
    char *t = rec->text;
    bool keyed = style == CFG_STYLE_KEY_VALUE || style == CFG_STYLE_KEY_FIELDS;
    scan_state state = keyed ? scan_state::expect_key : scan_state::expect_field;
    bool quoted = false;
    int field_count = 0;
    bool line_ended = false;
    size_t i = 0;

    if (t[0] == '#' && t[1] == ' ' && t[2] == '@') {
        rec->marked = 1;
        i = 2;
        state = scan_state::expect_key;
    }
    bool split_blanks = style == CFG_STYLE_KEY_FIELDS && !rec->marked;

    // Starts a token at t[i] when a token is expected; inside a token the byte just joins it.
    auto take = [&]() -> int {
        if (state == scan_state::expect_key) {
            rec->key = t + i;
            state = scan_state::in_key;
        } else if (state == scan_state::expect_field) {
            if (field_count == CFG_MAX_FIELDS) {
                CFG_REPORT(msg, msglen, "Line '%s' has too many fields.",
                           rec->key != nullptr ? rec->key : "");
                return CFG_TOO_LONG;
            }
            rec->fields[field_count++] = t + i;
            state = scan_state::in_field;
        }
        return CFG_OK;
    };

    for (;;) {
        unsigned char c = static_cast<unsigned char>(t[i]);
        if (c == '\0')
            break; // the bytes read end here (a NUL byte fails the next line)
        if (is_line_end(c)) {
            while (is_line_end(static_cast<unsigned char>(t[i])))
                t[i++] = '\0';
            line_ended = true;
            break;
        }
        if (state == scan_state::comment) {
            ++i;
            continue;
        }
        if (is_quote(c)) {
            if (quoted) {
                t[i++] = '\0';
                quoted = false;
                state = scan_state::expect_field;
                continue;
            }
            quoted = true;
            c = static_cast<unsigned char>(t[++i]);
            if (c == '\0' && i == n) {
                CFG_REPORT(msg, msglen, "%s", "Line is too long.");
                return CFG_TOO_LONG;
            }
            if (c == '\0' || is_line_end(c))
                continue; // a NUL byte of the file ends the line like anywhere else
            // The token starts right here, even when this is the closing quote (empty text).
            int code = take();
            if (code != CFG_OK)
                return code;
            if (is_quote(c)) {
                t[i++] = '\0';
                quoted = false;
                state = scan_state::expect_field;
            } else {
                ++i;
            }
            continue;
        }
        if (quoted) {
            ++i;
            continue;
        }
        if (c == '#') {
            if (state == scan_state::in_key || state == scan_state::in_field) {
                // Split the comment off the token: move it one byte up (the record keeps a
                // spare byte for this) so the token gets its terminator where "#" was.
                size_t end = i;
                while (t[end] != '\0' && !is_line_end(static_cast<unsigned char>(t[end])))
                    ++end;
                size_t after = end;
                while (is_line_end(static_cast<unsigned char>(t[after])))
                    ++after;
                memmove(t + i + 1, t + i, end - i);
                t[i] = '\0';
                t[end + 1] = '\0';
                rec->comment = t + i + 1;
                line_ended = after > end;
                i = after;
                break;
            }
            rec->comment = t + i;
            state = scan_state::comment;
            ++i;
            continue;
        }
        if (split_blanks && is_blank(c)) {
            t[i++] = '\0';
            state = scan_state::expect_field;
            continue;
        }
        if (c == '=') {
            t[i++] = '\0';
            state = scan_state::expect_field;
            continue;
        }
        int code = take();
        if (code != CFG_OK)
            return code;
        ++i;
    }

    // Without a line end within the bytes read, the line went on past the read limit.
    rec->cut_at_limit = !line_ended && i == n && n == CFG_LINE_MAX;
    *consumed = i;
    return CFG_OK;
}

int read_lines(cfg_store *s, char *msg, size_t msglen) {
    line_reader reader{s->file, static_cast<char *>(malloc(kReadWindow)), 0, 0, false};
    if (reader.window == nullptr) {
        CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Out of memory");
        return CFG_NO_MEMORY;
    }
    int code = CFG_OK;
    off_t offset = 0;
    for (;;) {
        cfg_line *rec = new_line();
        if (rec == nullptr) {
            CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Out of memory");
            code = CFG_NO_MEMORY;
            break;
        }
        size_t n = 0;
        code = read_line_bytes(reader, offset, rec->text, &n, msg, msglen);
        if (code != CFG_OK || n == 0) {
            free(rec);
            break;
        }
        if (rec->text[0] == '\0') {
            free(rec);
            CFG_REPORT(msg, msglen, "%s", "Invalid character in file.");
            code = CFG_BAD_ARGUMENT;
            break;
        }
        size_t consumed = 0;
        code = parse_line(rec, n, s->style, &consumed, msg, msglen);
        if (code != CFG_OK) {
            free(rec);
            break;
        }
        fill_numbers(rec);
        link_before(s, rec, nullptr);
        offset += static_cast<off_t>(consumed);
    }
    free(reader.window);
    return code;
}

// ---- writing --------------------------------------------------------------------------------

struct block_writer {
    int file;
    char *block;
    size_t used;
};

// Returns 0 or the result code of the failed write.
int flush(block_writer &w) {
    size_t done = 0;
    while (done < w.used) {
        ssize_t n = write(w.file, w.block + done, w.used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return result_from_errno(n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    w.used = 0;
    return CFG_OK;
}

int put(block_writer &w, const char *text, size_t length) {
    KX_ASSERT(length <= kWriteBlock, "cfg_store");
    if (w.used + length > kWriteBlock) {
        int code = flush(w);
        if (code != CFG_OK)
            return code;
    }
    memcpy(w.block + w.used, text, length);
    w.used += length;
    return CFG_OK;
}

// The key-and-fields line under construction; `length` counts what the full text would take.
struct line_builder {
    char text[CFG_LINE_MAX];
    size_t length;
};

void append(line_builder &b, const char *text, size_t n) {
    if (b.length < sizeof b.text - 1) {
        size_t room = sizeof b.text - 1 - b.length;
        memcpy(b.text + b.length, text, n < room ? n : room);
        b.text[b.length + (n < room ? n : room)] = '\0';
    }
    b.length += n;
}

// A token that would not read back as itself is written in double quotes: an empty text, or
// one holding "=", "#" or (where blanks separate) a blank. A text holding a quote sign cannot
// be quoted and is written as it is.
bool needs_quotes(const char *text, bool split_blanks) {
    if (*text == '\0')
        return true;
    bool special = false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (is_quote(*p))
            return false;
        if (*p == '=' || *p == '#' || (split_blanks && is_blank(*p)))
            special = true;
    }
    return special;
}

void append_token(line_builder &b, const char *text, bool split_blanks) {
    bool quote = needs_quotes(text, split_blanks);
    if (quote)
        append(b, "\"", 1);
    append(b, text, strlen(text));
    if (quote)
        append(b, "\"", 1);
}

int write_record(block_writer &w, const cfg_line *rec, uint32_t style, const char *temp_name,
                 char *msg, size_t msglen) {
    if (rec->comment != nullptr) {
        const char *c = rec->comment;
        bool hashed = c[0] == '#';
        // A comment line that begins with "# @" would read back as a marked record; a leading
        // "=" keeps it a comment (the "=" ends an absent key in every style).
        bool looks_marked = hashed ? strncmp(c, "# @", 3) == 0 : c[0] == '@';
        int code = looks_marked ? put(w, "=", 1) : CFG_OK;
        if (code == CFG_OK && !hashed)
            code = put(w, "# ", 2);
        if (code == CFG_OK)
            code = put(w, rec->comment, strlen(rec->comment));
        if (code == CFG_OK)
            code = put(w, "\r\n", 2);
        if (code != CFG_OK) {
            CFG_REPORT(msg, msglen, "VTFS Cfg: Error writing %s", temp_name);
            return code;
        }
    }

    line_builder line{};
    bool split_blanks = style == CFG_STYLE_KEY_FIELDS && !rec->marked;
    if (rec->marked)
        append(line, "# ", 2);
    if (rec->key != nullptr)
        append_token(line, rec->key, split_blanks);
    if (style == CFG_STYLE_KEY_VALUE) {
        if (rec->fields[0] != nullptr) {
            append(line, "=", 1);
            append_token(line, rec->fields[0], split_blanks);
        }
    } else {
        // Fields are parted by blanks where blanks separate; elsewhere (no key style, marked
        // lines) only "=" keeps them apart when the line is read again.
        for (int i = 0; i < CFG_MAX_FIELDS && rec->fields[i] != nullptr; ++i) {
            if (line.length > 0)
                append(line, split_blanks ? " " : "=", 1);
            append_token(line, rec->fields[i], split_blanks);
        }
    }
    // A line that was cut at the read limit would come back as two records.
    if (line.length >= CFG_LINE_MAX - 1 || rec->cut_at_limit) {
        CFG_REPORT(msg, msglen, "VTFS Cfg: Line is too long '%s'", line.text);
        return CFG_TOO_LONG;
    }
    if (line.length == 0)
        return CFG_OK;
    int code = put(w, line.text, line.length);
    if (code == CFG_OK)
        code = put(w, "\r\n", 2);
    if (code != CFG_OK)
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error writing to the configuration file (%d)", code);
    return code;
}

// Any answer other than "not found" counts as existing (a dangling link too).
bool name_taken(const char *name) {
    struct stat st;
    return lstat(name, &st) == 0 || errno != ENOENT;
}

int write_all(cfg_store *s, int temp, const char *temp_name, char *msg, size_t msglen) {
    block_writer w{temp, static_cast<char *>(malloc(kWriteBlock)), 0};
    if (w.block == nullptr) {
        CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Out of memory");
        return CFG_NO_MEMORY;
    }
    int code = CFG_OK;
    for (const cfg_line *rec = s->head; rec != nullptr && code == CFG_OK; rec = rec->next)
        code = write_record(w, rec, s->style, temp_name, msg, msglen);
    if (code == CFG_OK) {
        code = flush(w);
        if (code != CFG_OK)
            CFG_REPORT(msg, msglen, "VTFS Cfg: Error writing to the configuration file (%d)", code);
    }
    free(w.block);
    return code;
}

// Writes the records to a temporary file beside the store's file and moves it into place.
// rename() replaces the old file in one step, so unlike a remove-then-rename there is no moment
// without a file, and every failure before the rename leaves the old file untouched.
int rewrite(cfg_store *s, char *msg, size_t msglen) {
    char temp[CFG_PATH_MAX + 1];
    bounded_format(temp, sizeof temp, "%.253s~", s->path);
    size_t letter_at = strlen(temp);
    if (name_taken(temp)) {
        for (char letter = 'a'; letter <= 'z'; ++letter) {
            temp[letter_at] = letter;
            temp[letter_at + 1] = '\0';
            if (letter == 'z' || !name_taken(temp))
                break;
        }
    }

    int tf = open(temp, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (tf < 0) {
        int code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error opening %s", temp);
        return code;
    }
    // The new copy keeps the old file's permission bits where the system allows it.
    struct stat old_status;
    if (fstat(s->file, &old_status) == 0) {
        int kept = fchmod(tf, old_status.st_mode & 07777);
        (void)kept;
    }

    int code = write_all(s, tf, temp, msg, msglen);
    if (code != CFG_OK) {
        close(tf);
        return code;
    }
    int sync_error = fsync(tf) == 0 ? 0 : errno;
    int close_error = close(tf) == 0 ? 0 : errno;
    if (sync_error != 0 || close_error != 0) {
        code = result_from_errno(sync_error != 0 ? sync_error : close_error);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error closing temp configuration file (%d)", code);
        return code;
    }
    int old_file = s->file;
    s->file = -1;
    if (close(old_file) != 0) {
        code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error closing configuration file (%d)", code);
        return code;
    }
    if (rename(temp, s->path) != 0) {
        code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error renaming new copy of cfg file (%d)", code);
        return code;
    }
    // The file now exists by our own doing: an exclusive-create mode must not refuse it.
    s->file = open(s->path, open_flags(s->mode & ~CFG_MODE_EXCLUSIVE));
    if (s->file < 0) {
        code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error reopening new copy of cfg file (%d)", code);
        return code;
    }
    return CFG_OK;
}

} // namespace

// ---- public calls -------------------------------------------------------------------------------

int cfg_open(const char *path, uint32_t mode, uint32_t style, cfg_store **store, char *msg,
             size_t msglen) {
    if (store == nullptr)
        return CFG_BAD_ARGUMENT;
    *store = nullptr;
    if (path == nullptr || strlen(path) > CFG_PATH_MAX) {
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error(%d) opening '%s'", CFG_BAD_ARGUMENT,
                   path != nullptr ? path : "");
        return CFG_BAD_ARGUMENT;
    }
    cfg_store *s = static_cast<cfg_store *>(calloc(1, sizeof(cfg_store)));
    if (s == nullptr) {
        CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Out of memory");
        return CFG_NO_MEMORY;
    }
    bounded_format(s->path, sizeof s->path, "%s", path);
    s->mode = mode;
    s->style = style;
    s->file = open(path, open_flags(mode), 0666);
    if (s->file < 0) {
        int code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error(%d) opening '%s'", code, path);
        release_store(s);
        return code;
    }
    int code = read_lines(s, msg, msglen);
    if (code != CFG_OK) {
        release_store(s);
        return code;
    }
    *store = s;
    return CFG_OK;
}

int cfg_close(cfg_store **store, int write_back, char *msg, size_t msglen) {
    if (store == nullptr)
        return CFG_BAD_ARGUMENT;
    cfg_store *s = *store;
    *store = nullptr;
    if (s == nullptr)
        return CFG_OK;
    int code = write_back == 1 ? rewrite(s, msg, msglen) : CFG_OK;
    release_store(s);
    return code;
}

namespace {

bool same_text(const char *wanted, const char *held) {
    return held != nullptr && strcmp(wanted, held) == 0;
}

bool matches(const cfg_line *rec, const char *key, const char *const *fields, const char *comment) {
    if (key != nullptr && !same_text(key, rec->key))
        return false;
    if (comment != nullptr && !same_text(comment, rec->comment))
        return false;
    if (fields != nullptr) {
        for (int i = 0; i < CFG_MAX_FIELDS; ++i) {
            if ((fields[i] == nullptr) != (rec->fields[i] == nullptr))
                return false;
            if (fields[i] != nullptr && strcmp(fields[i], rec->fields[i]) != 0)
                return false;
        }
    }
    return true;
}

bool has_line_break(const char *text) {
    return text != nullptr && strpbrk(text, "\r\n") != nullptr;
}

} // namespace

int cfg_find(const cfg_store *store, const char *key, const char *const *fields,
             const char *comment, cfg_line **record, int *index) {
    if (record != nullptr)
        *record = nullptr;
    if (index != nullptr)
        *index = -1;
    if (store == nullptr)
        return CFG_BAD_ARGUMENT;
    int position = 0;
    for (cfg_line *rec = store->head; rec != nullptr; rec = rec->next, ++position) {
        if (matches(rec, key, fields, comment)) {
            if (record != nullptr)
                *record = rec;
            if (index != nullptr)
                *index = position;
            return CFG_OK;
        }
    }
    return CFG_NOT_FOUND;
}

int cfg_get(const cfg_store *store, int index, cfg_line **record) {
    if (store == nullptr || record == nullptr || index < 0)
        return CFG_BAD_ARGUMENT;
    cfg_line *rec = store->head;
    for (int i = 0; rec != nullptr && i < index; ++i)
        rec = rec->next;
    *record = rec;
    return rec != nullptr ? CFG_OK : CFG_NOT_FOUND;
}

int cfg_next(const cfg_store *store, cfg_line **cursor) {
    if (store == nullptr || cursor == nullptr)
        return CFG_BAD_ARGUMENT;
    *cursor = *cursor == nullptr ? store->head : (*cursor)->next;
    return *cursor != nullptr ? CFG_OK : CFG_NOT_FOUND;
}

int cfg_insert(cfg_store *store, int index, const char *key, const char *const *fields,
               const char *comment, char *msg, size_t msglen) {
    if (store == nullptr)
        return CFG_BAD_ARGUMENT;
    // A line break inside a text would turn one record into several when the file is read.
    bool broken = has_line_break(key) || has_line_break(comment);
    for (int i = 0; fields != nullptr && i < CFG_MAX_FIELDS && fields[i] != nullptr; ++i)
        broken = broken || has_line_break(fields[i]);
    if (broken) {
        CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Line break in text to insert into config file");
        return CFG_TOO_LONG;
    }

    cfg_line *rec = new_line();
    if (rec == nullptr) {
        CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Out of memory");
        return CFG_NO_MEMORY;
    }
    size_t used = 0;
    // Each text and its terminator must fit before the buffer's last byte.
    auto copy_text = [&](const char *text, char **slot) {
        size_t length = strlen(text);
        if (length >= CFG_LINE_MAX - used)
            return false;
        memcpy(rec->text + used, text, length + 1);
        *slot = rec->text + used;
        used += length + 1;
        return true;
    };
    const char *failure = nullptr;
    if (comment != nullptr && !copy_text(comment, &rec->comment))
        failure = "VTFS Cfg: Line is too long to insert into config file";
    else if (key != nullptr && !copy_text(key, &rec->key))
        failure = "VTFS Cfg: : Line is too long to insert into config file (2)";
    for (int i = 0; failure == nullptr && fields != nullptr && i < CFG_MAX_FIELDS &&
                    fields[i] != nullptr && used < CFG_LINE_MAX;
         ++i) {
        if (!copy_text(fields[i], &rec->fields[i]))
            failure = "VTFS Cfg: Line is too long to insert into config file(3)";
    }
    if (failure != nullptr) {
        free(rec);
        CFG_REPORT(msg, msglen, "%s", failure);
        return CFG_TOO_LONG;
    }
    fill_numbers(rec);

    cfg_line *before = nullptr;
    if (index >= 0 && cfg_get(store, index, &before) != CFG_OK)
        before = nullptr;
    link_before(store, rec, before);
    return CFG_OK;
}

int cfg_delete(cfg_store *store, int index) {
    cfg_line *rec = nullptr;
    int code = cfg_get(store, index, &rec);
    if (code != CFG_OK)
        return code;
    unlink_line(store, rec);
    free(rec);
    return CFG_OK;
}
