#include "libfsmcomm/hosts_file.h"

#include "libutil/fatal.h"
#include "libutil/file_read.h"
#include "libutil/install_paths.h"
#include "libutil/logging.h"

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/socket.h>

namespace {

// The addresses of `line` (terminated) if one of its names is `name`; false otherwise.
bool line_names(char *line, const char *name, int family, host_addr *address) {
    line[strcspn(line, "#\r\n")] = '\0';
    char *rest = nullptr;
    const char *address_text = strtok_r(line, " \t", &rest);
    if (address_text == nullptr)
        return false;
    uint8_t ipv4[4];
    if (inet_pton(AF_INET, address_text, ipv4) == 1)
        host_addr_set_ipv4(address, ipv4);
    else if (family != AF_UNSPEC || inet_pton(AF_INET6, address_text, address->bytes) != 1)
        return false;
    for (const char *alias = strtok_r(nullptr, " \t", &rest); alias != nullptr;
         alias = strtok_r(nullptr, " \t", &rest))
        if (strcasecmp(alias, name) == 0)
            return true;
    return false;
}

} // namespace

int hosts_text_lookup(const char *text, size_t length, const char *name, int family,
                      host_addr *results, int capacity) {
    int count = 0;
    for (size_t at = 0; at < length && count < capacity;) {
        const char *end = static_cast<const char *>(memchr(text + at, '\n', length - at));
        const size_t line_length =
            end != nullptr ? static_cast<size_t>(end - text) - at : length - at;
        if (line_length <= HOSTS_LINE_MAX) {
            char line[HOSTS_LINE_MAX + 1];
            memcpy(line, text + at, line_length);
            line[line_length] = '\0';
            if (line_names(line, name, family, &results[count]))
                ++count;
        }
        at += line_length + (end != nullptr ? 1 : 0);
    }
    return count;
}

int hosts_file_lookup(const char *name, int family, host_addr *results, int capacity) {
    char path[4096];
    char text[4200];
    if (!config_file_path("hosts", path, sizeof path)) {
        bounded_format(text, sizeof text, "hosts: path too long: %s/hosts", config_dir());
        message_report(3, text);
        return -1;
    }
    std::string content;
    const file_read_result result =
        read_regular_file(path, HOSTS_FILE_MAX, false, &content, nullptr);
    if (result == FILE_READ_OK)
        return hosts_text_lookup(content.data(), content.size(), name, family, results, capacity);
    if (result == FILE_READ_MISSING)
        return 0;
    char problem[4200];
    file_read_problem(result, path, HOSTS_FILE_MAX, problem, sizeof problem);
    bounded_format(text, sizeof text, "hosts: %s", problem);
    message_report(3, text);
    return -1;
}
