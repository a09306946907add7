// The hosts file of the configuration directory: its lines over a byte buffer, and which files
// are read at all.
#include "libfsmcomm/addresses.h"
#include "libfsmcomm/hosts_file.h"
#include "libfsmcomm/transport.h"
#include "libutil/logging.h"
#include "libutil/tests/bounded_child.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> lookup(const std::string &text, const char *name, int family = AF_UNSPEC,
                                int capacity = 8) {
    std::vector<host_addr> results(static_cast<size_t>(capacity));
    const int count =
        hosts_text_lookup(text.data(), text.size(), name, family, results.data(), capacity);
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i) {
        char buffer[64];
        texts.push_back(addr_to_string(&results[static_cast<size_t>(i)], buffer, sizeof buffer));
    }
    return texts;
}

// Lookups of "alpha" in each kind of line.
TEST(HostsText, LinesNamesAndComments) {
    const std::string long_comment = "#" + std::string(HOSTS_LINE_MAX, ' ') + "10.7.7.7 alpha\n";
    const std::string long_entry = "10.8.8.8 alpha" + std::string(HOSTS_LINE_MAX, ' ') + "\n";
    const struct {
        const char *name;
        std::string text;
        std::vector<std::string> found;
    } cases[] = {
        {"names in any case, in file order",
         "127.0.0.2 Alpha a2\n10.1.1.1 x ALPHA\n",
         {"127.0.0.2", "10.1.1.1"}},
        {"comments and line ends",
         "# 10.0.0.9 alpha\r\n10.0.0.1 beta # alpha\r\n10.0.0.2 alpha\r",
         {"10.0.0.2"}},
        {"IPv6 kept", "2001:db8::1 alpha\n", {"2001:db8::1"}},
        {"not an address", "alpha 10.0.0.1\nnonsense alpha\n", {}},
        {"a line ends at a NUL byte",
         std::string("10.0.0.4 x\0alpha\n10.0.0.5 alpha", 31),
         {"10.0.0.5"}},
        // A long commented-out line stays a comment: no part of it is read as a line.
        {"long commented line", long_comment + "10.0.0.6 alpha\n", {"10.0.0.6"}},
        {"long line skipped whole", long_entry + "10.0.0.7 alpha\n", {"10.0.0.7"}},
        {"longest line read",
         "10.0.0.8 alpha" + std::string(HOSTS_LINE_MAX - 14, ' '),
         {"10.0.0.8"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(lookup(c.text, "alpha"), c.found) << c.name;
    EXPECT_EQ(lookup("2001:db8::1 alpha\n10.0.0.3 alpha\n", "alpha", AF_INET),
              std::vector<std::string>{"10.0.0.3"})
        << "IPv4 only";
    EXPECT_EQ(lookup("10.0.0.1 a\n10.0.0.2 a\n10.0.0.3 a\n", "a", AF_UNSPEC, 2).size(), 2u);
}

class HostsFile : public testing::Test {
protected:
    void TearDown() override { message_hook = nullptr; }
    std::string path() const { return root_.config_dir() + "/hosts"; }
    private_root root_;
};

// A FIFO in place of the file, or a file beyond the size limit, is reported and
// fails the lookup (error 22) at once, rather than blocking, reading for ever or being passed
// over for the system resolver.
TEST_F(HostsFile, OnlyARegularFileOfLimitedSizeIsRead) {
    const struct {
        const char *name;
        std::function<void()> make;
        std::string report;
    } cases[] = {
        {"fifo", [&] { mkfifo(path().c_str(), 0600); }, path() + " is not a regular file"},
        {"too large", [&] { root_.write_config("hosts", std::string(HOSTS_FILE_MAX + 1, '#')); },
         path() + " is larger than 1048576 bytes"},
    };
    for (const auto &c : cases) {
        unlink(path().c_str());
        c.make();
        const int outcome = run_bounded_child(
            [&] {
                static std::string seen;
                message_hook = [](int, const char *text) { seen = text; };
                host_addr results[4];
                int count = -1;
                const int code = host_lookup("beta", AF_UNSPEC, results, 4, &count);
                if (code != 22 || count != 0)
                    return 1;
                return seen == "hosts: " + c.report ? 0 : 2;
            },
            5000);
        EXPECT_EQ(outcome, 0) << c.name;
    }
}

} // namespace
