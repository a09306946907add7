#include "libfsmcomm/platform_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace {

TEST(TransportErrors, SocketErrnoValuesTakeTheProgramsNumbers) {
    const struct {
        int err;
        int expected;
    } rows[] = {
        {EINTR, 10004},      {EINVAL, 10022},      {EAGAIN, 10035},       {EINPROGRESS, 10035},
        {ENOTSOCK, 10038},   {ECONNRESET, 10054},  {ENOTCONN, 10057},     {ESHUTDOWN, 10058},
        {EPIPE, 10058},      {ETIMEDOUT, 10060},   {ECONNREFUSED, 10061}, {EHOSTUNREACH, 10065},
        {EADDRINUSE, 10048}, {ENETUNREACH, 10051},
    };
    for (const auto &row : rows)
        EXPECT_EQ(transport_error_from_errno(row.err), row.expected) << strerror(row.err);
    EXPECT_EQ(transport_error_from_errno(ENOMEM), ENOMEM) << "no transport value: unchanged";
}

TEST(TransportErrors, LastSystemErrorBelongsToTheThread) {
    errno = ECONNRESET;
    EXPECT_EQ(save_socket_error(), 10054);
    EXPECT_EQ(last_system_error(), 10054);
    int other_thread_value = -1;
    std::thread([&] {
        other_thread_value = last_system_error();
        set_last_system_error(10060);
    }).join();
    EXPECT_EQ(other_thread_value, 0);
    EXPECT_EQ(last_system_error(), 10054);
    set_last_system_error(0);
}

TEST(ErrnoToWin32, CompleteTable) {
    const struct {
        int in;
        int out;
    } rows[] = {
        {0, 0},          {EPERM, 5},          {EACCES, 5},   {ENOENT, 2},      {ESRCH, 87},
        {EINVAL, 87},    {E2BIG, 111},        {ENOEXEC, 11}, {EBADF, 6},       {ENOMEM, 14},
        {EFAULT, 1784},  {EBUSY, 170},        {EEXIST, 80},  {ENODEV, 1200},   {ENFILE, 36},
        {EMFILE, 4},     {ENOSPC, 112},       {ESPIPE, 132}, {EPIPE, 109},     {ERANGE, 534},
        {EDEADLK, 1131}, {ENAMETOOLONG, 206}, {ENOSYS, 120}, {ENOTEMPTY, 145}, {10060, 1460},
    };
    for (const auto &row : rows)
        EXPECT_EQ(errno_to_win32(row.in), row.out) << row.in;
    EXPECT_EQ(errno_to_win32(4), 1117);
    EXPECT_EQ(errno_to_win32(EAGAIN), 1117);
    EXPECT_EQ(errno_to_win32(ETIMEDOUT), 1117) << "only the transport's 10060 maps to 1460";
    EXPECT_EQ(errno_to_win32(-1), 1117);
}

// Small codes are errno values; 87 is the system code of a failed resolution; -1 is the
// thread's last system error.
TEST(ErrorText, FormatsCodeAndTheMatchingErrnoText) {
    set_last_system_error(10061);
    const struct {
        int code;
        int shown;
        int err;
    } rows[] = {{10054, 10054, ECONNRESET}, {10060, 10060, ETIMEDOUT}, {1460, 1460, ETIMEDOUT},
                {22, 22, EINVAL},           {87, 87, EINVAL},          {1117, 1117, EIO},
                {-1, 10061, ECONNREFUSED}};
    char text[256];
    for (const auto &row : rows)
        EXPECT_EQ(std::string(error_text(row.code, text, sizeof text)),
                  "[Win32 error " + std::to_string(row.shown) + "]: " + strerror(row.err));
    char other[256];
    EXPECT_STREQ(last_error_text(other, sizeof other), text);
    set_last_system_error(0);
}

TEST(ErrorText, NeverWritesPastSizeNorLeavesATrailingBlank) {
    const std::string full = std::string("[Win32 error 10054]: ") + strerror(ECONNRESET);
    for (size_t size = 1; size <= full.size() + 2; ++size) {
        char buffer[128];
        memset(buffer, 'x', sizeof buffer);
        error_text(10054, buffer, size);
        const size_t length = strlen(buffer);
        EXPECT_LT(length, size);
        EXPECT_EQ(buffer[size], 'x') << size;
        if (length > 0) {
            EXPECT_NE(buffer[length - 1], ' ') << size;
            EXPECT_EQ(full.compare(0, length, buffer), 0) << size;
        }
    }
    char buffer[4] = "abc";
    EXPECT_EQ(error_text(10054, buffer, 0), buffer);
    EXPECT_STREQ(buffer, "abc") << "size 0 leaves the buffer alone";
    char cut[22];
    EXPECT_STREQ(error_text(10054, cut, sizeof cut), "[Win32 error 10054]:")
        << "the blank after the colon is stripped";
}

} // namespace
