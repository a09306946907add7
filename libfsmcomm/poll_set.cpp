#include "libfsmcomm/poll_set.h"

#include <ctime>

#include "libfsmcomm/platform_error.h"
#include "libutil/fatal.h"

#include <poll.h>

namespace {

poll_entry *find_entry(const poll_set *set, kx_socket socket) {
    for (int i = 0; i < set->nfds; ++i)
        if (set->entries[i].socket == socket)
            return &set->entries[i];
    return nullptr;
}

short poll_events_of(uint16_t events) {
    short wanted = 0;
    if (events & POLLSET_READABLE)
        wanted |= POLLIN;
    if (events & POLLSET_WRITABLE)
        wanted |= POLLOUT;
    if (events & POLLSET_URGENT)
        wanted |= POLLPRI;
    return wanted;
}

uint16_t revents_of(uint16_t requested, short returned) {
    if (returned & POLLNVAL)
        return POLLSET_INVALID;
    uint16_t result = 0;
    const bool broken = (returned & (POLLERR | POLLHUP)) != 0;
    if ((requested & POLLSET_READABLE) && ((returned & POLLIN) || broken))
        result |= POLLSET_READABLE;
    if ((requested & POLLSET_WRITABLE) && ((returned & POLLOUT) || broken))
        result |= POLLSET_WRITABLE;
    if ((requested & POLLSET_URGENT) && (returned & POLLPRI))
        result |= POLLSET_URGENT;
    if (result == 0 && (returned & POLLERR))
        result = POLLSET_ERROR;
    return result;
}

} // namespace

void pollset_init(poll_set *set, poll_entry *storage, int capacity) {
    set->entries = storage;
    set->maxfds = capacity;
    set->nfds = 0;
    for (int i = 0; i < capacity; ++i)
        storage[i] = poll_entry{invalid_socket, 0, 0};
}

void pollset_add(poll_set *set, kx_socket socket, uint16_t events) {
    poll_entry *entry = find_entry(set, socket);
    if (entry == nullptr) {
        if (set->nfds >= set->maxfds)
            fatal_assert("ASSERT failed ", "q->d.nfds < q->d.maxfds", 1, "pollutil", __LINE__);
        entry = &set->entries[set->nfds++];
        entry->socket = socket;
    }
    entry->events = events;
    entry->revents = 0;
}

uint16_t pollset_revents(const poll_set *set, kx_socket socket) {
    const poll_entry *entry = find_entry(set, socket);
    return entry ? entry->revents : 0;
}

uint16_t pollset_take_revents(poll_set *set, kx_socket socket) {
    poll_entry *entry = find_entry(set, socket);
    if (entry == nullptr)
        return 0;
    uint16_t revents = entry->revents;
    entry->revents = 0;
    return revents;
}

int pollset_wait(poll_set *set, int timeout_ms) {
    if (set == nullptr) {
        set_last_system_error(WSAEINVAL);
        return -1;
    }
    if (set->nfds > POLLSET_MAX_ENTRIES)
        fatal_assert("ASSERT failed ", "nfds <= FD_SETSIZE", 1, "winpoll", __LINE__);
    pollfd fds[POLLSET_MAX_ENTRIES];
    for (int i = 0; i < set->nfds; ++i) {
        poll_entry &entry = set->entries[i];
        entry.revents = 0;
        fds[i] = pollfd{entry.socket, poll_events_of(entry.events), 0};
    }
    int result = poll(fds, static_cast<nfds_t>(set->nfds), timeout_ms < 0 ? -1 : timeout_ms);
    if (result < 0) {
        save_socket_error();
        return -1;
    }
    int ready = 0;
    for (int i = 0; i < set->nfds; ++i) {
        poll_entry &entry = set->entries[i];
        entry.revents = revents_of(entry.events, fds[i].revents);
        if (entry.revents != 0)
            ++ready;
    }
    return ready;
}

int64_t monotonic_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}
