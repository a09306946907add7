#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/poll_set.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connected pair of local stream sockets.
struct socket_pair {
    socket_pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~socket_pair() {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    int fd[2] = {-1, -1};
};

// Adding a socket again replaces its events and clears what was returned, without growing;
// events are read, taken, and cleared again by a wait that times out.
TEST(PollSet, EventsAddedReturnedAndTaken) {
    socket_pair pair;
    poll_entry storage[4];
    poll_set set;
    pollset_init(&set, storage, 4);
    EXPECT_EQ(storage[3].socket, invalid_socket);
    for (int i = 0; i < 10; ++i)
        pollset_add(&set, pair.fd[0], POLLSET_READABLE);
    EXPECT_EQ(set.nfds, 1);
    set.entries[0].revents = POLLSET_READABLE;
    EXPECT_EQ(pollset_wait(&set, 50), 0);
    EXPECT_EQ(pollset_revents(&set, pair.fd[0]), 0) << "a time-out clears earlier events";

    set.entries[0].revents = POLLSET_READABLE;
    pollset_add(&set, pair.fd[0], POLLSET_WRITABLE);
    EXPECT_EQ(set.nfds, 1);
    EXPECT_EQ(set.entries[0].events, POLLSET_WRITABLE);
    EXPECT_EQ(pollset_revents(&set, pair.fd[0]), 0) << "re-adding clears returned events";
    pollset_add(&set, pair.fd[0], POLLSET_READABLE | POLLSET_WRITABLE);
    pollset_add(&set, pair.fd[1], POLLSET_READABLE);
    EXPECT_EQ(set.nfds, 2);

    ASSERT_EQ(write(pair.fd[1], "x", 1), 1);
    EXPECT_EQ(pollset_wait(&set, 1000), 1) << "only the first end has something to read";
    EXPECT_EQ(pollset_revents(&set, pair.fd[0]), POLLSET_READABLE | POLLSET_WRITABLE);
    EXPECT_EQ(pollset_revents(&set, pair.fd[1]), 0);
    EXPECT_EQ(pollset_revents(&set, 999), 0) << "not in the set";
    EXPECT_EQ(pollset_take_revents(&set, pair.fd[0]), POLLSET_READABLE | POLLSET_WRITABLE);
    EXPECT_EQ(pollset_revents(&set, pair.fd[0]), 0);
    EXPECT_EQ(pollset_take_revents(&set, 999), 0);
}

TEST(PollSet, HangUpCountsAsReadableAndAClosedDescriptorAsInvalid) {
    socket_pair pair;
    close(pair.fd[1]);
    pair.fd[1] = -1;
    int closed = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(closed, 0);
    close(closed);
    poll_entry storage[4];
    poll_set set;
    pollset_init(&set, storage, 4);
    pollset_add(&set, pair.fd[0], POLLSET_READABLE);
    pollset_add(&set, closed, POLLSET_READABLE);
    EXPECT_EQ(pollset_wait(&set, 1000), 2);
    EXPECT_EQ(pollset_revents(&set, pair.fd[0]), POLLSET_READABLE);
    EXPECT_EQ(pollset_revents(&set, closed), POLLSET_INVALID);
}

TEST(PollSet, DescriptorsAbove1023Work) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur <= 1500)
        GTEST_SKIP() << "descriptor limit too low";
    socket_pair pair;
    ASSERT_EQ(dup2(pair.fd[0], 1500), 1500);
    ASSERT_EQ(write(pair.fd[1], "x", 1), 1);
    poll_entry storage[4];
    poll_set set;
    pollset_init(&set, storage, 4);
    pollset_add(&set, 1500, POLLSET_READABLE);
    EXPECT_EQ(pollset_wait(&set, 1000), 1);
    EXPECT_EQ(pollset_revents(&set, 1500), POLLSET_READABLE);
    close(1500);
}

TEST(PollSet, WaitWithoutASetIsInvalid) {
    EXPECT_EQ(pollset_wait(nullptr, 0), -1);
    EXPECT_EQ(last_system_error(), 10022);
}

TEST(PollSetDeathTest, AddingToAFullSetIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    poll_entry storage[4];
    poll_set set;
    pollset_init(&set, storage, 4);
    for (int fd = 10; fd < 14; ++fd)
        pollset_add(&set, fd, POLLSET_READABLE);
    pollset_add(&set, 13, POLLSET_WRITABLE); // already present: no growth, no report
    EXPECT_DEATH(pollset_add(&set, 14, POLLSET_READABLE),
                 "ASSERT failed \"q->d.nfds < q->d.maxfds\" file pollutil, line");
}

TEST(PollSetDeathTest, WaitingOnMoreThan1024EntriesIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static poll_entry storage[1025];
    poll_set set;
    pollset_init(&set, storage, 1025);
    for (int fd = 0; fd < 1025; ++fd)
        pollset_add(&set, 3000 + fd, POLLSET_READABLE);
    EXPECT_DEATH(pollset_wait(&set, 0), "ASSERT failed \"nfds <= FD_SETSIZE\" file winpoll");
}

} // namespace
