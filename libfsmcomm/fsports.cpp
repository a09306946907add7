#include "libfsmcomm/fsports.h"

#include "libutil/fatal.h"
#include "libutil/install_paths.h"
#include "libutil/logging.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

constexpr int kLineLimit = 255; // 254 characters and the terminator
constexpr char kBlanks[] = " \t";

void report(const char *text) {
    // Code 2 (warning) for the message hook; the system-log hook gets code 4 instead.
    message_report(message_hook != nullptr ? 2 : 4, text);
}

} // namespace

void read_fsports(int *altpmap) {
    *altpmap = 0;
    char path[512];
    bounded_format(path, sizeof path, "%s/%s", config_dir(), "fsports");
    FILE *file = fopen(path, "r");
    if (file == nullptr)
        return;
    char line[kLineLimit];
    char text[512];
    int line_number = 0;
    while (fgets(line, sizeof line, file) != nullptr) {
        ++line_number;
        line[strcspn(line, "\r\n")] = '\0';
        char *rest = nullptr;
        const char *directive = strtok_r(line, kBlanks, &rest);
        if (directive == nullptr || directive[0] == '#')
            continue;
        const bool is_altpmap = strcasecmp(directive, "altpmap") == 0;
        if (!is_altpmap && strcasecmp(directive, "minport") != 0 &&
            strcasecmp(directive, "maxport") != 0) {
            bounded_format(text, sizeof text, "fsports: Unsupported directive '%s' on line %d\n",
                           directive, line_number);
            report(text);
            continue;
        }
        const char *word = strtok_r(nullptr, kBlanks, &rest);
        if (word == nullptr) {
            bounded_format(text, sizeof text,
                           "fsports: No value recognized on line %d - ignored.\n", line_number);
            report(text);
            continue;
        }
        long value = strtol(word, nullptr, 0);
        if (value < 1 || value > 65535) {
            bounded_format(text, sizeof text,
                           "fsports: Invalid value (%d) specified on line %d - ignored.\n",
                           static_cast<int>(value), line_number);
            report(text);
            continue;
        }
        if (is_altpmap)
            *altpmap = static_cast<int>(value);
    }
    fclose(file);
}
