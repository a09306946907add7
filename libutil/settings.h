// Settings files: name=value lines read from the configuration directory, with ${NAME}
// references to earlier values and an optional override by environment variables.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct settings;

// Longest value after ${NAME} expansion (the line limit of the file); longer ones are cut and
// reported through the message hook.
constexpr size_t SETTINGS_VALUE_MAX = 1023;

// Opens (and reads) the settings file `file_name`: a name starting with "/" or "./" is used as
// it is, any other is taken from the configuration directory. A missing file gives an object
// without entries. Opening the same file again (same override choice) while it is open returns
// the same object, read again if the file changed since; each open needs its own close.
// Returns null only when out of memory.
settings *settings_open(const char *file_name, bool env_override);

// The value of `name`, or null. When `s` is null or overrides from the environment, a set
// environment variable of that name wins. A value from the file stays valid until the last
// settings_close of its object, also when a later read replaces it.
const char *settings_get(settings *s, const char *name);

// Ends one open; the last one frees the object and every value it handed out.
void settings_close(settings *s);

// The entries (name, expanded value), in file order, that reading a settings file holding
// `length` bytes of `text` gives; none when the text cannot be read.
std::vector<std::pair<std::string, std::string>> settings_parse_text(const char *text,
                                                                     size_t length);
