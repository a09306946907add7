// Opening and reading the program's own small files (configuration, settings, secret, hosts)
// so that a FIFO, a device or a huge file given in their place can neither block the program
// nor fill its memory: only regular files are read, and only up to a size limit.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

enum file_read_result {
    FILE_READ_OK = 0,
    FILE_READ_MISSING = 1,     // no such file or directory
    FILE_READ_NOT_REGULAR = 2, // a directory, FIFO, device or socket
    FILE_READ_TOO_LARGE = 3,   // more bytes than the limit
    FILE_READ_FAILED = 4,      // any other failure; the errno value is passed out
};

// Opens `path` with `flags` (O_NONBLOCK, O_NOCTTY and O_CLOEXEC are added, so that the open of
// a FIFO or a device cannot block; O_NONBLOCK is dropped again once the file is accepted) and
// `mode` for a file it creates. Accepts only a regular file of at most `limit` bytes. Returns
// the descriptor, or -1 with `*result` set (and `*error` to the errno value, when given).
int open_regular_file(const char *path, int flags, mode_t mode, size_t limit,
                      file_read_result *result, int *error);

// Reads the regular file `path` into `content`: the whole file when it holds at most `limit`
// bytes (else FILE_READ_TOO_LARGE and nothing is read), or with `head_only` its first `limit`
// bytes whatever its size. `error` (optional) receives the errno value of a failure.
file_read_result read_regular_file(const char *path, size_t limit, bool head_only,
                                   std::string *content, int *error);

// What went wrong with `path`, for a report: "PATH is not a regular file", "PATH is larger than
// LIMIT bytes", "cannot read PATH" (empty for FILE_READ_OK and FILE_READ_MISSING).
void file_read_problem(file_read_result result, const char *path, size_t limit, char *out,
                       size_t size);

// Joins the configuration directory and `name` into `out`. False (and `out` empty) when the
// result would not fit in `size` bytes: a path is never used cut short.
bool config_file_path(const char *name, char *out, size_t size);
