// Client-driver requests: frames both ways (layout, the limits, malformed input) and the
// exchange over a Unix-domain socket against a scripted endpoint: no endpoint, errors, short,
// malformed and missing replies.

#include "libfsmcomm/fs_driver.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

fsdrv_frame frame_of(uint32_t word, const bytes &buffer, const std::string &path) {
    fsdrv_frame f{};
    f.word = word;
    std::copy(buffer.begin(), buffer.end(), f.buffer); // an empty buffer has no data pointer
    f.buffer_size = buffer.size();
    std::snprintf(f.path, sizeof f.path, "%s", path.c_str());
    return f;
}

bytes encode(const fsdrv_frame &f) {
    bytes out(FSDRV_MAX_FRAME + 8);
    out.resize(fsdrv_frame_encode(f, out.data(), out.size()));
    return out;
}

TEST(FsDriverFrame, LayoutAndRoundTrip) {
    const bytes encoded = encode(frame_of(FSDRV_NAME_SPACE, {3, 0, 0, 0}, "/mnt/a b"));
    const bytes expected = {0x4B, 0x58, 0x46, 0x44, 0x80, 0x0E, 0x01, 0x1C, 0, 0,
                            0,    4,    0,    0,    0,    8,    3,    0,    0, 0,
                            '/',  'm',  'n',  't',  '/',  'a',  ' ',  'b'};
    EXPECT_EQ(encoded, expected);
    EXPECT_EQ(fsdrv_frame_length(encoded.data()), encoded.size());
    fsdrv_frame decoded{};
    ASSERT_EQ(fsdrv_frame_decode(encoded.data(), encoded.size(), &decoded), 0);
    EXPECT_EQ(decoded.word, FSDRV_NAME_SPACE);
    EXPECT_EQ(decoded.buffer_size, 4u);
    EXPECT_EQ(decoded.buffer[0], 3);
    EXPECT_STREQ(decoded.path, "/mnt/a b");

    // The largest frame fits exactly; a buffer or a path past the limits is never encoded.
    const fsdrv_frame largest =
        frame_of(1, bytes(FSDRV_MAX_BUFFER, 7), std::string(FSDRV_MAX_PATH - 1, 'p'));
    EXPECT_EQ(encode(largest).size(), FSDRV_MAX_FRAME);
    uint8_t small[20];
    EXPECT_EQ(fsdrv_frame_encode(frame_of(1, bytes(8), "/x"), small, sizeof small), 0u);
    fsdrv_frame too_big = largest;
    too_big.buffer_size = FSDRV_MAX_BUFFER + 1;
    EXPECT_TRUE(encode(too_big).empty());
}

TEST(FsDriverFrame, MalformedFramesAreRefused) {
    const bytes good = encode(frame_of(FSDRV_DIR_STATUS, bytes(64), "/mnt/x"));
    const struct {
        const char *what;
        std::function<void(bytes &)> spoil;
    } rows[] = {
        {"bad magic", [](bytes &b) { b[0] = 0; }},
        {"one byte short", [](bytes &b) { b.pop_back(); }},
        {"one byte long", [](bytes &b) { b.push_back('y'); }},
        {"header only", [](bytes &b) { b.resize(FSDRV_HEADER_SIZE); }},
        {"shorter than a header", [](bytes &b) { b.resize(FSDRV_HEADER_SIZE - 1); }},
        {"buffer length past the limit", [](bytes &b) { put_be32(&b[8], FSDRV_MAX_BUFFER + 1); }},
        {"path length past the limit", [](bytes &b) { put_be32(&b[12], FSDRV_MAX_PATH); }},
        {"NUL inside the path", [](bytes &b) { b[b.size() - 2] = 0; }},
    };
    for (const auto &row : rows) {
        bytes spoiled = good;
        row.spoil(spoiled);
        fsdrv_frame out{};
        EXPECT_EQ(fsdrv_frame_decode(spoiled.data(), spoiled.size(), &out), -1) << row.what;
    }
}

TEST(FsDriverFrame, BufferSizesOfEveryRequest) {
    const struct {
        uint32_t code;
        size_t request, reply;
    } rows[] = {
        {FSDRV_DIR_STATUS, 64, 64},   {FSDRV_FS_NAME, 255, 255}, {FSDRV_NAME_SPACE, 40, 40},
        {FSDRV_INODE_PATH, 32, 1024}, {0x800A0024, 0, 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(fsdrv_request_size(row.code), row.request) << std::hex << row.code;
        EXPECT_EQ(fsdrv_reply_size(row.code), row.reply) << std::hex << row.code;
    }
}

// A Unix-domain endpoint at a private path that serves one connection with `serve` (accepting
// gives up after 10 seconds).
class endpoint {
public:
    explicit endpoint(std::function<void(int)> serve, bool listen_at_all = true) {
        char pattern[] = "/tmp/fsdrv-test-XXXXXX";
        dir_ = mkdtemp(pattern);
        path = dir_ + "/kxfsdrv.sock";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        if (!listen_at_all)
            return;
        EXPECT_EQ(listen(listener_, 4), 0);
        thread_ = std::thread([this, serve] {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1)
                return;
            const int fd = accept(listener_, nullptr, nullptr);
            serve(fd);
            close(fd);
        });
    }
    ~endpoint() {
        if (thread_.joinable())
            thread_.join();
        close(listener_);
        std::filesystem::remove_all(dir_);
    }
    std::string path;

private:
    std::string dir_;
    int listener_ = -1;
    std::thread thread_;
};

bytes cut(bytes b, size_t length) {
    b.resize(length);
    return b;
}

// Reads one request, then answers `reply` as it is.
std::function<void(int)> answering(bytes reply, fsdrv_frame *seen = nullptr) {
    return [reply, seen](int fd) {
        bytes request(FSDRV_MAX_FRAME);
        const ssize_t got = recv(fd, request.data(), request.size(), 0);
        if (seen != nullptr && got > 0)
            fsdrv_frame_decode(request.data(), static_cast<size_t>(got), seen);
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    };
}

class FsDriverExchange : public ::testing::Test {
protected:
    void SetUp() override { setenv("TIMEDWAIT_VALUE", "1", 1); }
    void TearDown() override { unsetenv("TIMEDWAIT_VALUE"); }

    static int status_request(const std::string &socket_path, uint8_t *reply) {
        const uint8_t buffer[FSDRV_DIR_STATUS_SIZE] = {};
        return fsdrv_request(socket_path.c_str(), FSDRV_DIR_STATUS, buffer, sizeof buffer,
                             "/mnt/snfs1", reply);
    }
};

TEST_F(FsDriverExchange, AnswerIsTheReplyBuffer) {
    bytes status(64, 0);
    put_le32(&status[FSDRV_MODE_AT], 0x41ED);
    put_le64(&status[FSDRV_INODE_AT], 0x123456789ull);
    fsdrv_frame seen{};
    endpoint peer(answering(encode(frame_of(0, status, "")), &seen));
    uint8_t reply[FSDRV_DIR_STATUS_SIZE] = {};
    ASSERT_EQ(status_request(peer.path, reply), 0);
    EXPECT_EQ(get_le32(reply + FSDRV_MODE_AT), 0x41EDu);
    EXPECT_EQ(get_le64(reply + FSDRV_INODE_AT), 0x123456789ull);
    EXPECT_EQ(seen.word, FSDRV_DIR_STATUS);
    EXPECT_EQ(seen.buffer_size, FSDRV_DIR_STATUS_SIZE);
    EXPECT_STREQ(seen.path, "/mnt/snfs1");
}

TEST_F(FsDriverExchange, FailuresComeBackAsErrorNumbers) {
    const struct {
        const char *what;
        std::function<void(int)> serve;
        int error;
    } rows[] = {
        {"the driver's error", answering(encode(frame_of(25, {}, ""))), 25},
        {"a reply buffer of the wrong size", answering(encode(frame_of(0, bytes(63), ""))), EINVAL},
        {"a bad magic", answering(bytes(16, 0)), EINVAL},
        {"a reply cut short", answering(cut(encode(frame_of(0, bytes(64), "")), 40)),
         WSAECONNRESET},
        {"no reply before the time-out",
         [](int fd) {
             bytes sink(FSDRV_MAX_FRAME);
             recv(fd, sink.data(), sink.size(), 0);
             pollfd p{fd, POLLIN, 0};
             poll(&p, 1, 3000); // until the client gives up and closes
         },
         WSAETIMEDOUT},
    };
    for (const auto &row : rows) {
        endpoint peer(row.serve);
        uint8_t reply[FSDRV_DIR_STATUS_SIZE];
        EXPECT_EQ(status_request(peer.path, reply), row.error) << row.what;
    }
}

TEST_F(FsDriverExchange, NoEndpointMeansNotOnAFileSystemOfThisClient) {
    uint8_t reply[FSDRV_DIR_STATUS_SIZE];
    EXPECT_EQ(status_request("/tmp/no-such-dir-for-fsdrv/kxfsdrv.sock", reply),
              FSDRV_NOT_ON_CLIENT);
    {
        endpoint bound_only([](int) {}, false);
        EXPECT_EQ(status_request(bound_only.path, reply), FSDRV_NOT_ON_CLIENT)
            << "a stale socket nobody listens on";
    }
    EXPECT_EQ(status_request("/tmp/" + std::string(200, 'x'), reply), ENAMETOOLONG);
    const uint8_t buffer[64] = {};
    EXPECT_EQ(fsdrv_request("/tmp/x.sock", FSDRV_DIR_STATUS, buffer, 63, "/", reply), EINVAL)
        << "a buffer of the wrong size is not sent";
    EXPECT_EQ(fsdrv_request("/tmp/x.sock", 0x1234, buffer, 64, "/", reply), EINVAL);
}

} // namespace
