#include "libutil/settings.h"

#include "libutil/cfg_store.h"
#include "libutil/fatal.h"
#include "libutil/install_paths.h"
#include "libutil/logging.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

namespace {

struct settings_entry {
    settings_entry *next;
    unsigned use_count; // values handed out; such an entry lives until the object is freed
    char *name;         // name and value share the entry's allocation
    char *value;
};

// What identifies one version of the file. Besides the modification time, size and inode catch
// a replacement within the time stamp's resolution.
struct file_stamp {
    int64_t modified_ns;
    int64_t size;
    uint64_t inode;
    uint64_t device;
    bool operator==(const file_stamp &) const = default;
};

} // namespace

struct settings {
    settings *next_open;
    int open_count;
    bool env_override;
    file_stamp modified; // all zero before the first read
    settings_entry *entries;
    settings_entry *entries_tail;
    settings_entry *retired;
    char *path;
};

namespace {

// Guards the list of open objects and every object's entries.
std::mutex g_settings_lock;
settings *g_open_settings = nullptr;

const settings_entry *find_entry(const settings_entry *list, const char *name, size_t length) {
    for (const settings_entry *e = list; e != nullptr; e = e->next) {
        if (strncmp(e->name, name, length) == 0 && e->name[length] == '\0')
            return e;
    }
    return nullptr;
}

// Appends up to `n` bytes of `text` to `out`, which holds at most SETTINGS_VALUE_MAX bytes.
// False when something had to be left out.
bool emit(char *out, size_t &length, const char *text, size_t n) {
    const size_t room = SETTINGS_VALUE_MAX - length;
    const size_t taken = n < room ? n : room;
    memcpy(out + length, text, taken);
    length += taken;
    return taken == n;
}

// Replaces each ${NAME} in `value` by the value of the entry NAME loaded so far, or by nothing.
// A "${" without a closing "}" is kept as it is, with the rest of the text. Writes into `out`
// (SETTINGS_VALUE_MAX + 1 bytes) and returns false when the result had to be cut there: each
// value stays within the line limit, so values that refer to each other cannot grow without
// bound.
bool expand(const settings_entry *loaded, const char *value, char *out) {
    size_t length = 0;
    bool whole = true;
    const char *p = value;
    for (;;) {
        const char *ref = strstr(p, "${");
        const char *close = ref != nullptr ? strchr(ref + 2, '}') : nullptr;
        if (close == nullptr) {
            whole = emit(out, length, p, strlen(p)) && whole;
            break;
        }
        whole = emit(out, length, p, static_cast<size_t>(ref - p)) && whole;
        const settings_entry *e = find_entry(loaded, ref + 2, static_cast<size_t>(close - ref - 2));
        if (e != nullptr)
            whole = emit(out, length, e->value, strlen(e->value)) && whole;
        p = close + 1;
    }
    out[length] = '\0';
    return whole;
}

settings_entry *new_entry(const settings_entry *loaded, const char *name, const char *raw,
                          const char *path) {
    char value[SETTINGS_VALUE_MAX + 1];
    if (!expand(loaded, raw, value)) {
        char text[512];
        bounded_format(text, sizeof text,
                       "settings: the value of %s in %s is longer than %zu bytes once expanded "
                       "and was cut there",
                       name, path, SETTINGS_VALUE_MAX);
        message_report(2, text);
    }
    size_t name_size = strlen(name) + 1;
    size_t value_size = strlen(value) + 1;
    auto *e =
        static_cast<settings_entry *>(malloc(sizeof(settings_entry) + name_size + value_size));
    if (e == nullptr)
        return nullptr;
    e->next = nullptr;
    e->use_count = 0;
    e->name = reinterpret_cast<char *>(e + 1);
    e->value = e->name + name_size;
    memcpy(e->name, name, name_size);
    memcpy(e->value, value, value_size);
    return e;
}

void free_list(settings_entry *e) {
    while (e != nullptr) {
        settings_entry *next = e->next;
        free(e);
        e = next;
    }
}

// Entries whose values were handed out move to the retired list; the rest are freed.
void drop_entries(settings *s) {
    settings_entry *e = s->entries;
    while (e != nullptr) {
        settings_entry *next = e->next;
        if (e->use_count > 0) {
            e->next = s->retired;
            s->retired = e;
        } else {
            free(e);
        }
        e = next;
    }
    s->entries = s->entries_tail = nullptr;
}

file_stamp stamp_of(const struct stat &st) {
    return {static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            static_cast<int64_t>(st.st_size), static_cast<uint64_t>(st.st_ino),
            static_cast<uint64_t>(st.st_dev)};
}

// Adds an entry per keyed record of `store`, in order, until one cannot be allocated.
void load_entries(settings *s, const cfg_store *store) {
    cfg_line *rec = nullptr;
    while (cfg_next(store, &rec) == CFG_OK) {
        if (rec->key == nullptr)
            continue;
        settings_entry *e =
            new_entry(s->entries, rec->key, rec->field_count > 0 ? rec->fields[0] : "", s->path);
        if (e == nullptr)
            break;
        if (s->entries_tail != nullptr)
            s->entries_tail->next = e;
        else
            s->entries = e;
        s->entries_tail = e;
    }
}

// Reads the file again when it changed since the last read. A missing file empties the
// object; a file that cannot be read leaves it as it was.
void read_settings(settings *s) {
    struct stat st;
    if (stat(s->path, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            s->modified = {};
            drop_entries(s);
        }
        return;
    }
    file_stamp now = stamp_of(st);
    if (now == s->modified)
        return;
    cfg_store *store = nullptr;
    if (cfg_open(s->path, CFG_MODE_READ, CFG_STYLE_KEY_VALUE, &store, nullptr, 0) != CFG_OK)
        return;
    s->modified = now;
    drop_entries(s);
    load_entries(s, store);
    cfg_close(&store, 0, nullptr, 0);
}

char *settings_path(const char *file_name) {
    bool as_is = file_name[0] == '/' || (file_name[0] == '.' && file_name[1] == '/');
    const char *dir = as_is ? "" : config_dir();
    size_t size = strlen(dir) + 1 + strlen(file_name) + 1;
    char *path = static_cast<char *>(malloc(size));
    if (path != nullptr)
        bounded_format(path, size, "%s%s%s", dir, as_is ? "" : "/", file_name);
    return path;
}

} // namespace

settings *settings_open(const char *file_name, bool env_override) {
    if (file_name == nullptr)
        return nullptr;
    char *path = settings_path(file_name);
    if (path == nullptr)
        return nullptr;

    std::lock_guard<std::mutex> lock(g_settings_lock);
    for (settings *s = g_open_settings; s != nullptr; s = s->next_open) {
        if (s->env_override == env_override && strcmp(s->path, path) == 0) {
            free(path);
            ++s->open_count;
            read_settings(s);
            return s;
        }
    }
    auto *s = static_cast<settings *>(calloc(1, sizeof(settings)));
    if (s == nullptr) {
        free(path);
        return nullptr;
    }
    s->path = path;
    s->env_override = env_override;
    s->open_count = 1;
    read_settings(s);
    s->next_open = g_open_settings;
    g_open_settings = s;
    return s;
}

const char *settings_get(settings *s, const char *name) {
    if (name == nullptr || *name == '\0')
        return nullptr;
    if (s == nullptr || s->env_override) {
        const char *from_env = getenv(name);
        if (from_env != nullptr || s == nullptr)
            return from_env;
    }
    std::lock_guard<std::mutex> lock(g_settings_lock);
    for (settings_entry *e = s->entries; e != nullptr; e = e->next) {
        if (strcmp(e->name, name) == 0) {
            ++e->use_count;
            return e->value;
        }
    }
    return nullptr;
}

void settings_close(settings *s) {
    if (s == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_settings_lock);
    KX_ASSERT(s->open_count > 0, "settings");
    if (--s->open_count > 0)
        return;
    for (settings **link = &g_open_settings; *link != nullptr; link = &(*link)->next_open) {
        if (*link == s) {
            *link = s->next_open;
            break;
        }
    }
    free_list(s->entries);
    free_list(s->retired);
    free(s->path);
    free(s);
}

std::vector<std::pair<std::string, std::string>> settings_parse_text(const char *text,
                                                                     size_t length) {
    std::vector<std::pair<std::string, std::string>> result;
    cfg_store *store = nullptr;
    if (cfg_parse(text, length, CFG_STYLE_KEY_VALUE, &store, nullptr, 0) != CFG_OK)
        return result;
    settings s{};
    char path[] = "(text)";
    s.path = path;
    load_entries(&s, store);
    cfg_close(&store, 0, nullptr, 0);
    for (const settings_entry *e = s.entries; e != nullptr; e = e->next)
        result.emplace_back(e->name, e->value);
    free_list(s.entries);
    return result;
}
