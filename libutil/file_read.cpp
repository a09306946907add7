#include "libutil/file_read.h"

#include "libutil/fatal.h"
#include "libutil/install_paths.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

file_read_result fail(file_read_result result, int code, int *error) {
    if (error != nullptr)
        *error = code;
    return result;
}

} // namespace

int open_regular_file(const char *path, int flags, mode_t mode, size_t limit,
                      file_read_result *result, int *error) {
    if (error != nullptr)
        *error = 0;
    int fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        const int code = errno;
        *result = fail(code == ENOENT || code == ENOTDIR ? FILE_READ_MISSING
                       : code == EISDIR                  ? FILE_READ_NOT_REGULAR
                                                         : FILE_READ_FAILED,
                       code, error);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int code = errno;
        close(fd);
        *result = fail(FILE_READ_FAILED, code, error);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        *result = fail(FILE_READ_NOT_REGULAR, 0, error);
        return -1;
    }
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        close(fd);
        *result = fail(FILE_READ_TOO_LARGE, 0, error);
        return -1;
    }
    const int status_flags = fcntl(fd, F_GETFL);
    if (status_flags >= 0)
        fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK);
    *result = FILE_READ_OK;
    return fd;
}

file_read_result read_regular_file(const char *path, size_t limit, bool head_only,
                                   std::string *content, int *error) {
    content->clear();
    file_read_result result = FILE_READ_OK;
    const int fd =
        open_regular_file(path, O_RDONLY, 0, head_only ? SIZE_MAX : limit, &result, error);
    if (fd < 0)
        return result;
    // One byte more than the limit tells a file that grew since it was checked.
    content->resize(head_only ? limit : limit + 1);
    size_t used = 0;
    while (used < content->size()) {
        const ssize_t n = read(fd, content->data() + used, content->size() - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int code = errno;
            close(fd);
            content->clear();
            return fail(FILE_READ_FAILED, code, error);
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    if (!head_only && used > limit) {
        content->clear();
        return fail(FILE_READ_TOO_LARGE, 0, error);
    }
    content->resize(used);
    return FILE_READ_OK;
}

void file_read_problem(file_read_result result, const char *path, size_t limit, char *out,
                       size_t size) {
    switch (result) {
    case FILE_READ_NOT_REGULAR:
        bounded_format(out, size, "%s is not a regular file", path);
        break;
    case FILE_READ_TOO_LARGE:
        bounded_format(out, size, "%s is larger than %zu bytes", path, limit);
        break;
    case FILE_READ_FAILED:
        bounded_format(out, size, "cannot read %s", path);
        break;
    default:
        bounded_format(out, size, "%s", "");
    }
}

bool config_file_path(const char *name, char *out, size_t size) {
    if (bounded_format(out, size, "%s/%s", config_dir(), name) < size)
        return true;
    if (size > 0)
        out[0] = '\0';
    return false;
}
