#include "libutil/cfg_store.h"

#include "libutil/fatal.h"
#include "libutil/file_read.h"
#include "libutil/size_text.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// Writes a message into the caller's buffer when there is one.
#define CFG_REPORT(msg, msglen, ...)                                                               \
    do {                                                                                           \
        if ((msg) != nullptr && (msglen) > 0)                                                      \
            bounded_format((msg), (msglen), __VA_ARGS__);                                          \
    } while (0)

struct cfg_lock {
    int fd; // open on the locked file; the flock belongs to this descriptor's open file
    dev_t device;
    ino_t inode;
    int holds; // nested acquires within this process
    cfg_lock *next;
};

struct cfg_store {
    char path[CFG_PATH_MAX + 1];
    uint32_t mode;
    int file; // -1 for a store read from a text
    uint32_t style;
    cfg_line *head;
    cfg_line *tail;
    cfg_lock *lock; // with CFG_MODE_LOCK
};

namespace {

int open_flags(uint32_t mode) {
    int flags = (mode & CFG_MODE_WRITE) ? O_RDWR : O_RDONLY;
    if (mode & CFG_MODE_CREATE) {
        flags |= O_CREAT;
        if (mode & CFG_MODE_EXCLUSIVE)
            flags |= O_EXCL;
    }
    return flags;
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

// A line while it is scanned: its bytes (CFG_LINE_MAX, a terminator and one spare byte, so that
// a comment written right after a token can be split off with its own terminator) and the
// texts found in them.
struct line_scan {
    char text[CFG_LINE_MAX + 2];
    char *key;
    char *fields[CFG_MAX_FIELDS];
    char *comment;
    int field_count;
    uint32_t marked;
    uint32_t cut_at_limit;
};

// Puts `n` bytes (at most CFG_LINE_MAX) into a cleared scan.
void scan_start(line_scan *scan, const char *bytes, size_t n) {
    scan->key = scan->comment = nullptr;
    scan->field_count = 0;
    scan->marked = scan->cut_at_limit = 0;
    memcpy(scan->text, bytes, n);
    scan->text[n] = '\0';
    scan->text[n + 1] = '\0';
}

void fill_numbers(cfg_line *rec) {
    for (int i = 0; i < rec->field_count; ++i) {
        int64_t value = 0;
        rec->is_number[i] = static_cast<uint32_t>(size_parse(rec->fields[i], &value));
        rec->number[i] = value;
    }
}

// A record holding the texts of `scan` that lie in its first `text_size` bytes, in one block:
// the record, its field, number and flag arrays (one slot more than fields), then the texts.
cfg_line *make_record(const line_scan &scan, size_t text_size) {
    const size_t slots = static_cast<size_t>(scan.field_count) + 1;
    const size_t size = sizeof(cfg_line) + slots * (sizeof(char *) + sizeof(int64_t)) +
                        slots * sizeof(uint32_t) + text_size;
    auto *rec = static_cast<cfg_line *>(calloc(1, size));
    if (rec == nullptr)
        return nullptr;
    rec->fields = reinterpret_cast<char **>(rec + 1);
    rec->number = reinterpret_cast<int64_t *>(rec->fields + slots);
    rec->is_number = reinterpret_cast<uint32_t *>(rec->number + slots);
    rec->text = reinterpret_cast<char *>(rec->is_number + slots);
    memcpy(rec->text, scan.text, text_size);
    auto moved = [&](const char *p) {
        return p != nullptr ? rec->text + (p - scan.text) : nullptr;
    };
    rec->key = moved(scan.key);
    rec->comment = moved(scan.comment);
    for (int i = 0; i < scan.field_count; ++i)
        rec->fields[i] = moved(scan.fields[i]);
    rec->field_count = scan.field_count;
    rec->marked = scan.marked;
    rec->cut_at_limit = scan.cut_at_limit;
    fill_numbers(rec);
    return rec;
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

// ---- locks ------------------------------------------------------------------------------------

// The locks this process holds; flock locks belong to an open file, so a second open of a file
// this process has locked would wait for itself.
std::mutex g_lock_table;
cfg_lock *g_locks = nullptr;

cfg_lock *held_lock(dev_t device, ino_t inode) {
    for (cfg_lock *l = g_locks; l != nullptr; l = l->next)
        if (l->device == device && l->inode == inode)
            return l;
    return nullptr;
}

bool same_file(const struct stat &a, dev_t device, ino_t inode) {
    return a.st_dev == device && a.st_ino == inode;
}

// Locks the file at `path`: opens it (creating it when `create`), waits for the lock, and
// tries again when the path was replaced meanwhile by the writer it waited for.
int lock_path(const char *path, bool create, cfg_lock **out, char *msg, size_t msglen) {
    *out = nullptr;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(CFG_LOCK_WAIT_MS);
    for (;;) {
        file_read_result opened = FILE_READ_OK;
        int error = 0;
        int fd = open_regular_file(path, O_RDONLY | (create ? O_CREAT : 0), 0666, SIZE_MAX, &opened,
                                   &error);
        if (fd < 0) {
            int code = opened == FILE_READ_NOT_REGULAR ? CFG_NOT_REGULAR : result_from_errno(error);
            CFG_REPORT(msg, msglen, "VTFS Cfg: Error(%d) locking '%s'", code, path);
            return code;
        }
        struct stat mine;
        fstat(fd, &mine);
        {
            std::lock_guard<std::mutex> hold(g_lock_table);
            if (cfg_lock *l = held_lock(mine.st_dev, mine.st_ino)) {
                ++l->holds;
                close(fd);
                *out = l;
                return CFG_OK;
            }
        }
        int refused = 0;
        while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            refused = errno;
            if ((refused != EWOULDBLOCK && refused != EINTR) ||
                std::chrono::steady_clock::now() >= deadline)
                break;
            refused = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (refused != 0) {
            int code = refused == EWOULDBLOCK ? CFG_BUSY : result_from_errno(refused);
            close(fd);
            if (code == CFG_BUSY)
                CFG_REPORT(msg, msglen, "VTFS Cfg: '%s' is locked by another program", path);
            else
                CFG_REPORT(msg, msglen, "VTFS Cfg: Error(%d) locking '%s'", code, path);
            return code;
        }
        struct stat now;
        if (stat(path, &now) != 0 || !same_file(now, mine.st_dev, mine.st_ino)) {
            close(fd); // replaced while we waited: lock the new file
            continue;
        }
        auto *l = static_cast<cfg_lock *>(calloc(1, sizeof(cfg_lock)));
        if (l == nullptr) {
            close(fd);
            CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Out of memory");
            return CFG_NO_MEMORY;
        }
        *l = {fd, mine.st_dev, mine.st_ino, 1, nullptr};
        std::lock_guard<std::mutex> hold(g_lock_table);
        l->next = g_locks;
        g_locks = l;
        *out = l;
        return CFG_OK;
    }
}

void unlock(cfg_lock *l) {
    std::lock_guard<std::mutex> hold(g_lock_table);
    if (--l->holds > 0)
        return;
    for (cfg_lock **link = &g_locks; *link != nullptr; link = &(*link)->next) {
        if (*link == l) {
            *link = l->next;
            break;
        }
    }
    close(l->fd);
    free(l);
}

// After a rewrite replaced the locked file: the lock moves to the new file (already locked
// through `fd`), with no moment in which neither is locked.
void move_lock(cfg_lock *l, int fd) {
    struct stat st;
    fstat(fd, &st);
    std::lock_guard<std::mutex> hold(g_lock_table);
    close(l->fd);
    l->fd = fd;
    l->device = st.st_dev;
    l->inode = st.st_ino;
}

void release_store(cfg_store *s) {
    for (cfg_line *rec = s->head; rec != nullptr;) {
        cfg_line *next = rec->next;
        free(rec);
        rec = next;
    }
    if (s->file >= 0)
        close(s->file);
    if (s->lock != nullptr)
        unlock(s->lock);
    free(s);
}

// ---- reading ---------------------------------------------------------------------------------

enum class scan_state { expect_key, in_key, expect_field, in_field, comment };

// Parses the `n` bytes in rec->text (terminated, with a spare byte after the terminator) into
// key, fields and comment. `consumed` receives the bytes that belong to this line, its line end
// included.
//
// Where the format leaves room, the reading favours a lossless rewrite:
//  - "# @" marks a line only at the very start of the line (elsewhere "#" starts a comment);
//    the rewrite restores the marker.
//  - A "#" directly after a token ends that token and starts the comment, so an inline comment
//    is not also kept as the tail of the token (which each rewrite would duplicate).
//  - Text inside quotes is literal from its first byte on: "" is an empty text, and a quoted
//    text may begin with "#" or "=".
int parse_line(line_scan *rec, size_t n, uint32_t style, size_t *consumed, char *msg,
               size_t msglen) {
    char *t = rec->text;
    bool keyed = style == CFG_STYLE_KEY_VALUE || style == CFG_STYLE_KEY_FIELDS;
    scan_state state = keyed ? scan_state::expect_key : scan_state::expect_field;
    bool quoted = false;
    int &field_count = rec->field_count;
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

// Reads every line of `text` into records; a line is what the file reading would take from
// its offset: at most CFG_LINE_MAX bytes up to and with its line end.
int read_lines(cfg_store *s, const char *text, size_t length, char *msg, size_t msglen) {
    line_scan scan;
    for (size_t offset = 0; offset < length;) {
        const size_t n = length - offset < CFG_LINE_MAX ? length - offset : CFG_LINE_MAX;
        scan_start(&scan, text + offset, n);
        if (scan.text[0] == '\0') {
            CFG_REPORT(msg, msglen, "%s", "Invalid character in file.");
            return CFG_BAD_ARGUMENT;
        }
        size_t consumed = 0;
        int code = parse_line(&scan, n, s->style, &consumed, msg, msglen);
        if (code != CFG_OK)
            return code;
        // Every text lies before the line's end; the comment split may use one byte past it.
        cfg_line *rec = make_record(scan, consumed + 2 < n + 2 ? consumed + 2 : n + 2);
        if (rec == nullptr) {
            CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Out of memory");
            return CFG_NO_MEMORY;
        }
        link_before(s, rec, nullptr);
        offset += consumed;
    }
    return CFG_OK;
}

int read_file(cfg_store *s, char *msg, size_t msglen) {
    struct stat st;
    if (fstat(s->file, &st) != 0) {
        int code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Internal error reading cfg file (%d)", code);
        return code;
    }
    // One byte more than the limit tells a file that grew after the open.
    size_t capacity = static_cast<size_t>(st.st_size) < CFG_FILE_MAX
                          ? static_cast<size_t>(st.st_size) + 1
                          : CFG_FILE_MAX + 1;
    std::string text(capacity, '\0');
    size_t used = 0;
    while (used < capacity) {
        ssize_t n = pread(s->file, text.data() + used, capacity - used, static_cast<off_t>(used));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int code = result_from_errno(errno);
            CFG_REPORT(msg, msglen, "VTFS Cfg: Internal error reading cfg file (%d)", code);
            return code;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    if (used > CFG_FILE_MAX) {
        CFG_REPORT(msg, msglen, "VTFS Cfg: '%s' is larger than %zu bytes", s->path, CFG_FILE_MAX);
        return CFG_TOO_LARGE;
    }
    return read_lines(s, text.data(), used, msg, msglen);
}

// ---- writing --------------------------------------------------------------------------------

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

bool same_text(const char *wanted, const char *held) {
    return held != nullptr && strcmp(wanted, held) == 0;
}

bool same_optional(const char *a, const char *b) {
    return a == nullptr ? b == nullptr : same_text(a, b);
}

// True when `line` (without its line end) reads back as the key, fields and marker of `rec`
// that a rewrite keeps (in key=value style only the first field is written).
bool reads_back(const char *line, size_t length, const cfg_line *rec, uint32_t style) {
    line_scan scan;
    scan_start(&scan, line, length);
    size_t consumed = 0;
    if (parse_line(&scan, length, style, &consumed, nullptr, 0) != CFG_OK || consumed != length ||
        scan.comment != nullptr || scan.marked != rec->marked || !same_optional(rec->key, scan.key))
        return false;
    int kept = style == CFG_STYLE_KEY_VALUE && rec->field_count > 1 ? 1 : rec->field_count;
    if (scan.field_count != kept)
        return false;
    for (int i = 0; i < kept; ++i)
        if (strcmp(rec->fields[i], scan.fields[i]) != 0)
            return false;
    return true;
}

int write_record(std::string &out, const cfg_line *rec, uint32_t style, char *msg, size_t msglen) {
    if (rec->comment != nullptr) {
        const char *c = rec->comment;
        bool hashed = c[0] == '#';
        // A comment line that begins with "# @" would read back as a marked record; a leading
        // "=" keeps it a comment (the "=" ends an absent key in every style).
        bool looks_marked = hashed ? strncmp(c, "# @", 3) == 0 : c[0] == '@';
        if (looks_marked)
            out += "=";
        if (!hashed)
            out += "# ";
        out += c;
        out += "\r\n";
    }

    line_builder line{};
    bool split_blanks = style == CFG_STYLE_KEY_FIELDS && !rec->marked;
    if (rec->marked)
        append(line, "# ", 2);
    if (rec->key != nullptr)
        append_token(line, rec->key, split_blanks);
    else if (split_blanks && rec->field_count > 0)
        append(line, " ", 1); // a blank before the first field: it is no key
    if (style == CFG_STYLE_KEY_VALUE) {
        if (rec->field_count > 0) {
            append(line, "=", 1);
            append_token(line, rec->fields[0], split_blanks);
        }
    } else {
        // Fields are parted by blanks where blanks separate; elsewhere (no key style, marked
        // lines) only "=" keeps them apart when the line is read again.
        for (int i = 0; i < rec->field_count; ++i) {
            if (line.length > 0 && !(i == 0 && rec->key == nullptr && split_blanks))
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
    if (!reads_back(line.text, line.length, rec, style)) {
        CFG_REPORT(msg, msglen, "VTFS Cfg: Line would not read back as written '%s'", line.text);
        return CFG_TOO_LONG;
    }
    out.append(line.text, line.length);
    out += "\r\n";
    return CFG_OK;
}

int format_records(const cfg_store *s, std::string &out, char *msg, size_t msglen) {
    out.clear();
    for (const cfg_line *rec = s->head; rec != nullptr; rec = rec->next) {
        int code = write_record(out, rec, s->style, msg, msglen);
        if (code != CFG_OK)
            return code;
        if (out.size() > CFG_FILE_MAX) {
            CFG_REPORT(msg, msglen, "VTFS Cfg: '%s' would be larger than %zu bytes", s->path,
                       CFG_FILE_MAX);
            return CFG_TOO_LARGE;
        }
    }
    return CFG_OK;
}

int write_text(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return result_from_errno(n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    return CFG_OK;
}

// Any answer other than "not found" counts as existing (a dangling link too).
bool name_taken(const char *name) {
    struct stat st;
    return lstat(name, &st) == 0 || errno != ENOENT;
}

// The names a rewrite of `path` may write to: "<path>~", then "<path>~a" to "<path>~z".
void temp_name(const char *path, int candidate, char *out, size_t size) {
    if (candidate == 0)
        bounded_format(out, size, "%s~", path);
    else
        bounded_format(out, size, "%s~%c", path, 'a' + candidate - 1);
}
constexpr int kTempNames = 27;

// Under the lock no other writer of the file is at work, so every temporary file beside it
// was left by a writer that died; they go (links themselves, never what they point to).
void remove_leftovers(const char *path) {
    char name[CFG_PATH_MAX + 3];
    for (int candidate = 0; candidate < kTempNames; ++candidate) {
        temp_name(path, candidate, name, sizeof name);
        struct stat st;
        if (lstat(name, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
            unlink(name);
    }
}

// Creates the temporary file of a rewrite: the first free name, else the last name, whose
// old entry (a leftover, or a link planted there) is removed first. Created exclusively and
// never through a link, so no other file can be written in its place.
int create_temp(const cfg_store *s, char *temp, size_t size) {
    for (int candidate = 0; candidate < kTempNames; ++candidate) {
        temp_name(s->path, candidate, temp, size);
        if (!name_taken(temp))
            break;
        if (candidate == kTempNames - 1)
            unlink(temp);
    }
    return open(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

// Writes the records to a temporary file beside the store's file and moves it into place.
// rename() replaces the old file in one step, so unlike a remove-then-rename there is no moment
// without a file, and every failure before the rename leaves the old file untouched.
int rewrite(cfg_store *s, char *msg, size_t msglen) {
    if (s->file < 0) {
        CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: No file to write");
        return CFG_BAD_ARGUMENT;
    }
    std::string text;
    int code = format_records(s, text, msg, msglen);
    if (code != CFG_OK)
        return code;

    if (s->lock != nullptr)
        remove_leftovers(s->path);
    char temp[CFG_PATH_MAX + 3];
    int tf = create_temp(s, temp, sizeof temp);
    if (tf < 0) {
        code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error opening %s", temp);
        return code;
    }
    // The new copy keeps the old file's permission bits where the system allows it.
    struct stat old_status;
    if (fstat(s->file, &old_status) == 0) {
        int kept = fchmod(tf, old_status.st_mode & 07777);
        (void)kept;
    }
    // The new file is locked before it takes the old one's place, so that a writer waiting
    // for the old file's lock finds the new file locked too.
    int new_lock = -1;
    if (s->lock != nullptr && (flock(tf, LOCK_EX | LOCK_NB) != 0 || (new_lock = dup(tf)) < 0)) {
        code = result_from_errno(errno);
        close(tf);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error(%d) locking %s", code, temp);
        return code;
    }

    code = write_text(tf, text);
    if (code != CFG_OK) {
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error writing to the configuration file (%d)", code);
        close(tf);
        if (new_lock >= 0)
            close(new_lock);
        return code;
    }
    int sync_error = fsync(tf) == 0 ? 0 : errno;
    int close_error = close(tf) == 0 ? 0 : errno;
    if (sync_error != 0 || close_error != 0) {
        code = result_from_errno(sync_error != 0 ? sync_error : close_error);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error closing temp configuration file (%d)", code);
        if (new_lock >= 0)
            close(new_lock);
        return code;
    }
    int old_file = s->file;
    s->file = -1;
    if (close(old_file) != 0) {
        code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error closing configuration file (%d)", code);
        if (new_lock >= 0)
            close(new_lock);
        return code;
    }
    if (rename(temp, s->path) != 0) {
        code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error renaming new copy of cfg file (%d)", code);
        if (new_lock >= 0)
            close(new_lock);
        return code;
    }
    if (new_lock >= 0)
        move_lock(s->lock, new_lock);
    // The file now exists by our own doing: an exclusive-create mode must not refuse it.
    s->file = open(s->path, open_flags(s->mode & ~CFG_MODE_EXCLUSIVE) | O_CLOEXEC);
    if (s->file < 0) {
        code = result_from_errno(errno);
        CFG_REPORT(msg, msglen, "VTFS Cfg: Error reopening new copy of cfg file (%d)", code);
        return code;
    }
    return CFG_OK;
}

cfg_store *new_store(uint32_t mode, uint32_t style) {
    auto *s = static_cast<cfg_store *>(calloc(1, sizeof(cfg_store)));
    if (s != nullptr) {
        s->mode = mode;
        s->style = style;
        s->file = -1;
    }
    return s;
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
    cfg_store *s = new_store(mode, style);
    if (s == nullptr) {
        CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Out of memory");
        return CFG_NO_MEMORY;
    }
    bounded_format(s->path, sizeof s->path, "%s", path);
    int code = CFG_OK;
    // The lock comes first: what is read under it is what the rewrite replaces.
    if (mode & CFG_MODE_LOCK)
        code = lock_path(path, (mode & CFG_MODE_CREATE) != 0 && !(mode & CFG_MODE_EXCLUSIVE),
                         &s->lock, msg, msglen);
    if (code == CFG_OK) {
        file_read_result opened = FILE_READ_OK;
        int error = 0;
        s->file = open_regular_file(path, open_flags(mode), 0666, SIZE_MAX, &opened, &error);
        if (s->file < 0) {
            code = opened == FILE_READ_NOT_REGULAR ? CFG_NOT_REGULAR : result_from_errno(error);
            if (code == CFG_NOT_REGULAR)
                CFG_REPORT(msg, msglen, "VTFS Cfg: '%s' is not a regular file", path);
            else
                CFG_REPORT(msg, msglen, "VTFS Cfg: Error(%d) opening '%s'", code, path);
        }
    }
    if (code == CFG_OK)
        code = read_file(s, msg, msglen);
    if (code != CFG_OK) {
        release_store(s);
        return code;
    }
    *store = s;
    return CFG_OK;
}

int cfg_parse(const char *text, size_t length, uint32_t style, cfg_store **store, char *msg,
              size_t msglen) {
    if (store == nullptr || (text == nullptr && length > 0))
        return CFG_BAD_ARGUMENT;
    *store = nullptr;
    cfg_store *s = new_store(CFG_MODE_READ, style);
    if (s == nullptr) {
        CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Out of memory");
        return CFG_NO_MEMORY;
    }
    int code = length > CFG_FILE_MAX ? CFG_TOO_LARGE : read_lines(s, text, length, msg, msglen);
    if (code == CFG_TOO_LARGE && length > CFG_FILE_MAX)
        CFG_REPORT(msg, msglen, "VTFS Cfg: text is larger than %zu bytes", CFG_FILE_MAX);
    if (code != CFG_OK) {
        release_store(s);
        return code;
    }
    *store = s;
    return CFG_OK;
}

int cfg_format(const cfg_store *store, std::string *out, char *msg, size_t msglen) {
    if (store == nullptr || out == nullptr)
        return CFG_BAD_ARGUMENT;
    return format_records(store, *out, msg, msglen);
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

int cfg_lock_acquire(const char *path, cfg_lock **lock, char *msg, size_t msglen) {
    if (lock == nullptr)
        return CFG_BAD_ARGUMENT;
    *lock = nullptr;
    if (path == nullptr)
        return CFG_BAD_ARGUMENT;
    return lock_path(path, true, lock, msg, msglen);
}

void cfg_lock_release(cfg_lock **lock) {
    if (lock == nullptr || *lock == nullptr)
        return;
    unlock(*lock);
    *lock = nullptr;
}

namespace {

bool matches(const cfg_line *rec, const char *key, const char *const *fields, const char *comment) {
    if (key != nullptr && !same_text(key, rec->key))
        return false;
    if (comment != nullptr && !same_text(comment, rec->comment))
        return false;
    if (fields != nullptr) {
        // Slot by slot up to the record's end slot, which must meet the wanted list's end.
        for (int i = 0; i <= rec->field_count && i < CFG_MAX_FIELDS; ++i) {
            if ((fields[i] == nullptr) != (rec->fields[i] == nullptr))
                return false;
            if (fields[i] == nullptr)
                return true;
            if (strcmp(fields[i], rec->fields[i]) != 0)
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

    line_scan scan;
    scan_start(&scan, "", 0);
    size_t used = 0;
    // Each text and its terminator must fit before the buffer's last byte.
    auto copy_text = [&](const char *text, char **slot) {
        size_t length = strlen(text);
        if (length >= CFG_LINE_MAX - used)
            return false;
        memcpy(scan.text + used, text, length + 1);
        *slot = scan.text + used;
        used += length + 1;
        return true;
    };
    const char *failure = nullptr;
    if (comment != nullptr && !copy_text(comment, &scan.comment))
        failure = "VTFS Cfg: Line is too long to insert into config file";
    else if (key != nullptr && !copy_text(key, &scan.key))
        failure = "VTFS Cfg: : Line is too long to insert into config file (2)";
    for (int i = 0; failure == nullptr && fields != nullptr && i < CFG_MAX_FIELDS &&
                    fields[i] != nullptr && used < CFG_LINE_MAX;
         ++i) {
        if (!copy_text(fields[i], &scan.fields[i]))
            failure = "VTFS Cfg: Line is too long to insert into config file(3)";
        else
            scan.field_count = i + 1;
    }
    if (failure != nullptr) {
        CFG_REPORT(msg, msglen, "%s", failure);
        return CFG_TOO_LONG;
    }
    cfg_line *rec = make_record(scan, used);
    if (rec == nullptr) {
        CFG_REPORT(msg, msglen, "%s", "VTFS Cfg: Out of memory");
        return CFG_NO_MEMORY;
    }
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
    return cfg_remove(store, rec);
}

int cfg_remove(cfg_store *store, cfg_line *record) {
    if (store == nullptr || record == nullptr)
        return CFG_BAD_ARGUMENT;
    unlink_line(store, record);
    free(record);
    return CFG_OK;
}
