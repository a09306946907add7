#include "libfsmcomm/addresses.h"

#include "libfsmcomm/hosts_file.h"
#include "libfsmcomm/poll_set.h"

#include "libfsmcomm/platform_error.h"
#include "libutil/fatal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <strings.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kLookupMax = 64;

// Platform adapters from getifaddrs: entries are grouped by interface name; the link-layer
// (AF_PACKET) entry carries the hardware address.
int enumerate_getifaddrs(adapter_visitor_fn visit, void *context) {
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return -1;
    std::vector<const char *> names;
    for (ifaddrs *ifa = all; ifa != nullptr; ifa = ifa->ifa_next) {
        bool seen = false;
        for (const char *name : names)
            seen = seen || strcmp(name, ifa->ifa_name) == 0;
        if (!seen)
            names.push_back(ifa->ifa_name);
    }
    for (const char *name : names) {
        local_adapter adapter{0, 0, nullptr, 0, nullptr};
        std::vector<const sockaddr *> addresses;
        for (ifaddrs *ifa = all; ifa != nullptr; ifa = ifa->ifa_next) {
            if (strcmp(ifa->ifa_name, name) != 0)
                continue;
            if (ifa->ifa_flags & IFF_UP)
                adapter.up = 1;
            if (ifa->ifa_addr == nullptr)
                continue;
            if (ifa->ifa_addr->sa_family == AF_PACKET) {
                const auto *link = reinterpret_cast<const sockaddr_ll *>(ifa->ifa_addr);
                adapter.hw_length = link->sll_halen;
                adapter.hw_address = link->sll_addr;
            } else {
                addresses.push_back(ifa->ifa_addr);
            }
        }
        adapter.address_count = static_cast<int>(addresses.size());
        adapter.addresses = addresses.data();
        visit(&adapter, context);
    }
    freeifaddrs(all);
    return 0;
}

bool adapter_qualifies(const local_adapter *adapter) {
    if (!adapter->up || adapter->hw_length != 6 || adapter->hw_address == nullptr)
        return false;
    const uint8_t *hw = adapter->hw_address;
    bool all_zero = true;
    for (int i = 0; i < 6; ++i)
        all_zero = all_zero && hw[i] == 0;
    return !all_zero && !(hw[0] == 0x44 && hw[1] == 0x45 && hw[2] == 0x53 && hw[3] == 0x54);
}

bool is_loopback6(const host_addr *address) {
    for (int i = 0; i < 15; ++i)
        if (address->bytes[i] != 0)
            return false;
    return address->bytes[15] == 1;
}

bool is_loopback4(const host_addr *address) {
    static const uint8_t loopback[4] = {127, 0, 0, 1};
    return host_addr_is_ipv4(address) && memcmp(address->bytes + 12, loopback, 4) == 0;
}

bool is_multicast6(const host_addr *address) {
    return address->bytes[0] == 0xFF;
}

bool is_link_local6(const host_addr *address) {
    return address->bytes[0] == 0xFE && (address->bytes[1] & 0xC0) == 0x80;
}

// An IPv6 address that other machines cannot use to reach this one.
bool is_unreachable6(const host_addr *address) {
    return host_addr_is_zero(address) || is_loopback6(address) || is_multicast6(address) ||
           is_link_local6(address) || is_ipv4_compatible(address);
}

// Converts an IPv4 or IPv6 socket address; other families give false.
bool host_addr_from_sockaddr(const sockaddr *sa, host_addr *address) {
    if (sa->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        host_addr_set_ipv4(address, reinterpret_cast<const uint8_t *>(&in->sin_addr));
        return true;
    }
    if (sa->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        memcpy(address->bytes, &in6->sin6_addr, 16);
        return true;
    }
    return false;
}

struct address_build {
    host_addr list[LOCAL_ADDRESS_MAX];
    int count;
    int qualified;
};

bool usable_unicast(const sockaddr *sa, host_addr *address) {
    if (!host_addr_from_sockaddr(sa, address))
        return false;
    if (sa->sa_family == AF_INET) {
        static const uint8_t any[4] = {0, 0, 0, 0};
        return memcmp(address->bytes + 12, any, 4) != 0 && !is_loopback4(address);
    }
    return !is_unreachable6(address) && !host_addr_is_ipv4(address);
}

void collect_adapter(const local_adapter *adapter, void *context) {
    auto *build = static_cast<address_build *>(context);
    if (!adapter_qualifies(adapter))
        return;
    ++build->qualified;
    for (int i = 0; i < adapter->address_count && build->count < LOCAL_ADDRESS_MAX; ++i) {
        host_addr address;
        if (!usable_unicast(adapter->addresses[i], &address))
            continue;
        bool duplicate = false;
        for (int j = 0; j < build->count && !duplicate; ++j)
            duplicate = host_addr_equal(&build->list[j], &address);
        if (!duplicate)
            build->list[build->count++] = address;
    }
}

struct address_cache {
    std::mutex lock;
    adapter_enumerator_fn enumerator = enumerate_getifaddrs;
    int64_t (*clock_us)() = monotonic_us;
    bool valid = false;
    int64_t built_us = 0;
    int count = 0;
    host_addr list[LOCAL_ADDRESS_MAX] = {};
};

address_cache g_cache;

void set_loopback6(host_addr *address) {
    memset(address->bytes, 0, sizeof address->bytes);
    address->bytes[15] = 1;
}

int fail_resolution(int code) {
    errno = code;
    set_last_system_error(errno_to_win32(code));
    return -1;
}

} // namespace

int local_addresses(host_addr list[LOCAL_ADDRESS_MAX]) {
    std::lock_guard<std::mutex> hold(g_cache.lock);
    const int64_t now = g_cache.clock_us();
    if (g_cache.valid && now - g_cache.built_us < LOCAL_ADDRESS_CACHE_US) {
        memcpy(list, g_cache.list, sizeof g_cache.list);
        return g_cache.count;
    }
    address_build build{};
    if (g_cache.enumerator(collect_adapter, &build) != 0)
        build = address_build{};
    if (build.qualified > 0) {
        memcpy(g_cache.list, build.list, sizeof build.list);
        g_cache.count = build.count;
        g_cache.built_us = now;
        g_cache.valid = true;
    }
    memcpy(list, build.list, sizeof build.list);
    return build.count;
}

void local_addresses_set_source_for_tests(adapter_enumerator_fn enumerator, int64_t (*clock_us)()) {
    std::lock_guard<std::mutex> hold(g_cache.lock);
    g_cache.enumerator = enumerator ? enumerator : enumerate_getifaddrs;
    g_cache.clock_us = clock_us ? clock_us : monotonic_us;
    g_cache.valid = false;
}

int is_local_address(const host_addr *address) {
    host_addr list[LOCAL_ADDRESS_MAX];
    const int count = local_addresses(list);
    for (int i = 0; i < count; ++i)
        if (host_addr_equal(&list[i], address))
            return 1;
    return 0;
}

int is_localhost_name(const char *name, host_addr *address) {
    if (name == nullptr)
        return 0;
    // Only 127.0.0.1 itself: in a simulated cluster 127.0.0.2, 127.0.0.3, ... are other hosts.
    if (strcasecmp(name, "localhost") == 0 || strncasecmp(name, "localhost.", 10) == 0 ||
        strcmp(name, "127.0.0.1") == 0) {
        set_loopback(address);
        return 1;
    }
    if (strcasecmp(name, "localhost6") == 0 || strncasecmp(name, "localhost6.", 11) == 0 ||
        strcmp(name, "::1") == 0) {
        set_loopback6(address);
        return 1;
    }
    return 0;
}

int is_loopback_address(const host_addr *address) {
    return is_loopback4(address) || is_loopback6(address) ? 1 : 0;
}

int names_this_machine(const char *name) {
    host_addr address;
    if (is_localhost_name(name, &address))
        return 1;
    if (resolve_host(name, &address) != 0)
        return 0;
    return is_loopback_address(&address) || is_local_address(&address) ? 1 : 0;
}

void set_loopback(host_addr *address) {
    static const uint8_t loopback[4] = {127, 0, 0, 1};
    host_addr_set_ipv4(address, loopback);
}

void local_to_loopback(host_addr *address) {
    host_addr list[LOCAL_ADDRESS_MAX];
    const int count = local_addresses(list);
    for (int i = 0; i < count; ++i) {
        if (!host_addr_equal(&list[i], address))
            continue;
        if (host_addr_is_ipv4(&list[i]))
            set_loopback(address);
        else
            set_loopback6(address);
        return;
    }
}

int is_ipv4_compatible(const host_addr *address) {
    for (int i = 0; i < 12; ++i)
        if (address->bytes[i] != 0)
            return 0;
    return !host_addr_is_zero(address) && !is_loopback6(address);
}

int host_lookup(const char *name, int family, host_addr *results, int capacity, int *count) {
    *count = hosts_file_lookup(name, family, results, capacity);
    if (*count < 0) {
        *count = 0;
        return 22; // a hosts file that cannot be used is no reason to ask someone else
    }
    if (*count > 0)
        return 0;
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int status = getaddrinfo(name, nullptr, &hints, &found);
    if (status != 0) {
        if (status == EAI_NONAME || status == EAI_NODATA)
            return 2;
        return status == EAI_AGAIN ? 11 : 22;
    }
    for (addrinfo *ai = found; ai != nullptr && *count < capacity; ai = ai->ai_next)
        if (host_addr_from_sockaddr(ai->ai_addr, &results[*count]))
            ++*count;
    freeaddrinfo(found);
    return *count > 0 ? 0 : 2;
}

int resolve_host(const char *name, host_addr *address) {
    if (name == nullptr)
        return fail_resolution(EINVAL);
    if (is_localhost_name(name, address))
        return 0;
    char own_name[256] = {};
    const bool names_this_machine =
        gethostname(own_name, sizeof own_name - 1) == 0 && strcmp(name, own_name) == 0;
    host_addr local[LOCAL_ADDRESS_MAX];
    const int local_count = local_addresses(local);

    host_addr results[kLookupMax];
    int result_count = 0;
    int code = host_lookup(name, AF_UNSPEC, results, kLookupMax, &result_count);
    bool found = false;
    for (int i = 0; code == 0 && i < result_count && !found; ++i) {
        bool acceptable = !names_this_machine;
        for (int j = 0; j < local_count && !acceptable; ++j)
            acceptable = host_addr_equal(&results[i], &local[j]);
        if (acceptable) {
            *address = results[i];
            found = true;
        }
    }
    if (!found && code == 0)
        code = 2; // this machine's name without one of its own addresses
    if (!found && names_this_machine && !host_addr_is_zero(&local[0])) {
        *address = local[0];
        found = true;
    }
    if (!found)
        return fail_resolution(code);

    // On a machine whose only interface is loopback, loopback is the only way to reach it.
    if (local_count == 0 && is_loopback_address(address))
        return 0;
    if (is_loopback4(address)) {
        for (int i = 0; i < local_count; ++i) {
            if (host_addr_is_ipv4(&local[i])) {
                *address = local[i];
                return 0;
            }
        }
        return fail_resolution(ENOENT);
    }
    if (host_addr_is_ipv4(address) || !is_unreachable6(address))
        return 0;
    for (int i = 0; i < local_count; ++i) {
        if (!is_unreachable6(&local[i]) && !host_addr_is_ipv4(&local[i])) {
            *address = local[i];
            return 0;
        }
    }
    for (int i = 0; i < local_count; ++i) {
        if (host_addr_is_ipv4(&local[i])) {
            *address = local[i];
            return 0;
        }
    }
    return fail_resolution(ENOENT);
}
