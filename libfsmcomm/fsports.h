// The "fsports" file of the configuration directory: the server port range ("minport",
// "maxport") and the port of the port-mapper agent ("altpmap").
#pragma once

#include <cstddef>

// Larger files are not read (reported, and taken as giving no port).
constexpr size_t FSPORTS_FILE_MAX = 64 * 1024;

// Reads "<config_dir>/fsports". `altpmap` receives the value of the last valid "altpmap" line,
// 0 when there is none or no file. Bad lines are reported through the message hook (code 2),
// or the system-log hook (code 4) while the message hook is empty, and skipped. Anything but a
// regular file of at most FSPORTS_FILE_MAX bytes is reported and not read.
void read_fsports(int *altpmap);

// The same for `length` bytes of file text. Only the first 254 characters of a line count;
// the rest of a longer line is skipped with it, never read as a line of its own.
void fsports_parse(const char *text, size_t length, int *altpmap);
