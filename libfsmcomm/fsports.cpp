#include "libfsmcomm/fsports.h"

#include "libutil/fatal.h"
#include "libutil/file_read.h"
#include "libutil/install_paths.h"
#include "libutil/logging.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

constexpr size_t kLineChars = 254;
constexpr char kBlanks[] = " \t";

void report(const char *text) {
    // Code 2 (warning) for the message hook; the system-log hook gets code 4 instead.
    message_report(message_hook != nullptr ? 2 : 4, text);
}

void parse_line(char *line, int line_number, int *altpmap) {
    char text[512];
    line[strcspn(line, "\r\n")] = '\0';
    char *rest = nullptr;
    const char *directive = strtok_r(line, kBlanks, &rest);
    if (directive == nullptr || directive[0] == '#')
        return;
    const bool is_altpmap = strcasecmp(directive, "altpmap") == 0;
    if (!is_altpmap && strcasecmp(directive, "minport") != 0 &&
        strcasecmp(directive, "maxport") != 0) {
        bounded_format(text, sizeof text, "fsports: Unsupported directive '%s' on line %d\n",
                       directive, line_number);
        report(text);
        return;
    }
    const char *word = strtok_r(nullptr, kBlanks, &rest);
    if (word == nullptr) {
        bounded_format(text, sizeof text, "fsports: No value recognized on line %d - ignored.\n",
                       line_number);
        report(text);
        return;
    }
    long value = strtol(word, nullptr, 0);
    if (value < 1 || value > 65535) {
        bounded_format(text, sizeof text,
                       "fsports: Invalid value (%d) specified on line %d - ignored.\n",
                       static_cast<int>(value), line_number);
        report(text);
        return;
    }
    if (is_altpmap)
        *altpmap = static_cast<int>(value);
}

} // namespace

void fsports_parse(const char *text, size_t length, int *altpmap) {
    *altpmap = 0;
    int line_number = 0;
    for (size_t at = 0; at < length;) {
        const char *end = static_cast<const char *>(memchr(text + at, '\n', length - at));
        const size_t line_length =
            end != nullptr ? static_cast<size_t>(end - text) - at : length - at;
        char line[kLineChars + 1];
        const size_t kept = line_length < kLineChars ? line_length : kLineChars;
        memcpy(line, text + at, kept);
        line[kept] = '\0';
        parse_line(line, ++line_number, altpmap);
        at += line_length + (end != nullptr ? 1 : 0);
    }
}

void read_fsports(int *altpmap) {
    *altpmap = 0;
    char path[4096];
    char text[4300];
    if (!config_file_path("fsports", path, sizeof path)) {
        bounded_format(text, sizeof text, "fsports: path too long: %s/fsports - ignored.\n",
                       config_dir());
        report(text);
        return;
    }
    std::string content;
    const file_read_result result =
        read_regular_file(path, FSPORTS_FILE_MAX, false, &content, nullptr);
    if (result == FILE_READ_OK)
        fsports_parse(content.data(), content.size(), altpmap);
    if (result == FILE_READ_OK || result == FILE_READ_MISSING)
        return;
    char problem[4200];
    file_read_problem(result, path, FSPORTS_FILE_MAX, problem, sizeof problem);
    bounded_format(text, sizeof text, "fsports: %s - ignored.\n", problem);
    report(text);
}
