// This machine's own addresses, loopback names and host-name resolution into one host_addr,
// preferring addresses that other machines can reach.
#pragma once

#include "libfsmcomm/fsmcomm.h"

#include <cstdint>
#include <sys/socket.h>

constexpr int LOCAL_ADDRESS_MAX = 48;
constexpr int64_t LOCAL_ADDRESS_CACHE_US = 5000000; // the list is rebuilt when this old

// One network adapter as the platform reports it.
struct local_adapter {
    int up;
    int hw_length;
    const uint8_t *hw_address;
    int address_count;
    const sockaddr *const *addresses; // unicast addresses, any family
};

using adapter_visitor_fn = void (*)(const local_adapter *adapter, void *context);

// Calls `visit` once per adapter of the machine. Returns 0, or -1 when the adapters cannot be
// enumerated.
using adapter_enumerator_fn = int (*)(adapter_visitor_fn visit, void *context);

// Fills the 48 entries of `list` with this machine's unicast addresses (rebuilt first when the
// cached list is 5 seconds old or older; empty slots all zero). Returns the number of
// addresses. Only adapters that are up, with a 6-byte hardware address that is not all zero
// and does not begin 44 45 53 54, count; loopback never does.
int local_addresses(host_addr list[LOCAL_ADDRESS_MAX]);

// Replaces the platform's adapter list and the microsecond clock of the cache (null restores
// getifaddrs and CLOCK_MONOTONIC) and drops the cached list. For tests only.
void local_addresses_set_source_for_tests(adapter_enumerator_fn enumerator, int64_t (*clock_us)());

// 1 if `address` is one of this machine's addresses, else 0.
int is_local_address(const host_addr *address);

// 1 with `address` set when `name` is a loopback name: "localhost", "localhost.*" and
// "127.0.0.1" give ::ffff:127.0.0.1; "localhost6", "localhost6.*" and "::1" give ::1 (names
// case-insensitive). Other 127.x.y.z addresses are not: they stand for simulated hosts.
int is_localhost_name(const char *name, host_addr *address);

// 1 for ::ffff:127.0.0.1 and ::1, the loopback addresses that mean this machine.
int is_loopback_address(const host_addr *address);

// 1 when `name` means this machine: a loopback name, or a name that resolves to a loopback
// address or to one of this machine's addresses.
int names_this_machine(const char *name);

// Sets ::ffff:127.0.0.1.
void set_loopback(host_addr *address);

// Replaces an address of this machine by the loopback address of its family.
void local_to_loopback(host_addr *address);

// 1 when the first twelve bytes are 0 and the address is neither :: nor ::1.
int is_ipv4_compatible(const host_addr *address);

// Looks `name` up: the "hosts" file of the configuration directory first (/etc/hosts format,
// names compared case-insensitively), then the system resolver. `family` is AF_UNSPEC or
// AF_INET. Fills up to `capacity` results in order (IPv4 IPv4-mapped) and sets `count`.
// Returns 0, or the errno value 2 (host not found), 11 (try again) or 22 (any other error).
int host_lookup(const char *name, int family, host_addr *results, int capacity, int *count);

// Resolves `name` to one address of the host. Loopback names are answered without a lookup;
// 127.0.0.1 is replaced by this machine's first IPv4 address and unreachable IPv6 forms by a
// reachable local address; this machine's own name only yields its own addresses. A machine
// without addresses of its own (only loopback) keeps 127.0.0.1 and ::1. Returns 0, or -1 with
// errno 2, 11 or 22 and the thread's last system error errno_to_win32 of it.
int resolve_host(const char *name, host_addr *address);
