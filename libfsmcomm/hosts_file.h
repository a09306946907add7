// The "hosts" file of the configuration directory, in the /etc/hosts format (an address, then
// its names; "#" starts a comment), read before the system resolver for every host lookup.
#pragma once

#include "libfsmcomm/fsmcomm.h"

#include <cstddef>

// Lines longer than this are skipped whole: a part of one is never read as a line.
constexpr size_t HOSTS_LINE_MAX = 1023;
// A larger file is not read.
constexpr size_t HOSTS_FILE_MAX = 1 << 20;

// The addresses listed for `name` (names compared case-insensitively) in `length` bytes of
// hosts text, in file order, at most `capacity` (IPv4 as IPv4-mapped). `family` AF_UNSPEC or
// AF_INET (IPv6 lines are then skipped). Returns their number.
int hosts_text_lookup(const char *text, size_t length, const char *name, int family,
                      host_addr *results, int capacity);

// The same over "<config_dir>/hosts": the number found, 0 when there is no file, or -1 when a
// file is there but cannot be used (not a regular file, larger than HOSTS_FILE_MAX, unreadable,
// or its path too long), which is reported through the message hook.
int hosts_file_lookup(const char *name, int family, host_addr *results, int capacity);
