#include "libfsmcomm/auth.h"

#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"
#include "libutil/install_paths.h"
#include "libutil/tests/bounded_child.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Key = std::array<uint32_t, AUTH_KEY_WORDS>;
using Record = std::array<unsigned char, AUTH_RECORD_SIZE>;

constexpr int PEER_WAIT_SECONDS = 3;

Key key_from(const std::string &line) {
    Key key;
    auth_key_from_line(line.data(), line.size(), key.data());
    return key;
}

Key loaded_key() {
    Key key;
    std::copy(std::begin(auth_key_block), std::end(auth_key_block), key.begin());
    return key;
}

std::vector<std::string> g_logged;
std::vector<int> g_logged_codes;

void capture_syslog(int code, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_logged.emplace_back(text);
    g_logged_codes.push_back(code);
}

// Runs `client` on a connection to a loopback peer served by `serve`; the client socket is
// closed before the peer is joined, so a client that stops early cannot hold the peer up.
int run_against(std::function<void(int)> serve, const std::function<int(int)> &client) {
    loopback_peer peer(std::move(serve));
    int fd = connect_loopback(peer.port());
    EXPECT_GE(fd, 0);
    int result = client(fd);
    close(fd);
    peer.join();
    return result;
}

// A test-written server side of the exchange, with knobs for each way it can go wrong.
struct ServerPlan {
    Key key{};
    uint32_t x = 0x0BADF00D, y = 0xC0FFEE11;
    size_t first_record_bytes = AUTH_RECORD_SIZE;
    bool send_final = true;
    uint32_t final_kind = 1;
    uint32_t final_echo_x_offset = 0; // answer a challenge other than the client's
};

struct ServerSeen {
    size_t answer_bytes = 0;
    Record answer{};
};

constexpr unsigned char UNANSWERED_FILL = 0xA5;

void serve_exchange(int fd, const ServerPlan &plan, ServerSeen &seen) {
    Record record;
    record.fill(UNANSWERED_FILL);
    put_be32(&record[AUTH_RECORD_KIND], 1);
    put_be32(&record[AUTH_RECORD_CHALLENGE], plan.x);
    put_be32(&record[AUTH_RECORD_CHALLENGE + 4], plan.y);
    if (!send_bytes(fd, record.data(), plan.first_record_bytes) ||
        plan.first_record_bytes < AUTH_RECORD_SIZE)
        return;
    seen.answer_bytes = recv_bytes(fd, seen.answer.data(), AUTH_RECORD_SIZE, PEER_WAIT_SECONDS);
    if (seen.answer_bytes < AUTH_RECORD_SIZE || !plan.send_final)
        return;
    Record final_record = seen.answer;
    uint32_t x = get_be32(&seen.answer[AUTH_RECORD_CHALLENGE]) + plan.final_echo_x_offset;
    uint32_t y = get_be32(&seen.answer[AUTH_RECORD_CHALLENGE + 4]);
    uint32_t digest[4];
    auth_digest_keyed(plan.key.data(), x, y, digest);
    put_be32(&final_record[AUTH_RECORD_KIND], plan.final_kind);
    for (int j = 0; j < 4; ++j)
        put_be32(&final_record[AUTH_RECORD_RESPONSE + 4 * j], digest[j]);
    put_be32(&final_record[AUTH_RECORD_ECHO], x);
    put_be32(&final_record[AUTH_RECORD_ECHO + 4], y);
    send_bytes(fd, final_record.data(), final_record.size());
}

// Answers the 1024-byte query with `answer`; what the client sends afterwards is counted.
struct QuerySeen {
    size_t query_bytes = 0;
    std::vector<unsigned char> query = std::vector<unsigned char>(AUTH_QUERY_SIZE);
    size_t bytes_after_reply = 0;
};

void serve_query(int fd, uint16_t answer, size_t reply_bytes, QuerySeen &seen) {
    seen.query_bytes = recv_bytes(fd, seen.query.data(), AUTH_QUERY_SIZE, PEER_WAIT_SECONDS);
    std::vector<unsigned char> reply(AUTH_QUERY_SIZE, 0);
    put_be16(&reply[AUTH_QUERY_ANSWER_OFFSET], answer);
    send_bytes(fd, reply.data(), reply_bytes);
}

// A private configuration directory and a captured system log.
class Auth : public testing::Test {
protected:
    void SetUp() override {
        secret_path_ = std::string(config_dir()) + "/.auth_secret";
        saved_hook_ = syslog_hook;
        syslog_hook = capture_syslog;
        g_logged.clear();
        g_logged_codes.clear();
        auth_secret_loaded = 0;
    }
    void TearDown() override {
        syslog_hook = saved_hook_;
        auth_secret_loaded = 0;
    }

    void write_secret(const std::string &content) {
        std::ofstream(secret_path_, std::ios::binary) << content;
    }

    // Loads `content` as the secret file and returns the key block it gives.
    Key key_of_file(const std::string &content) {
        write_secret(content);
        EXPECT_EQ(auth_secret_load(), 0);
        return loaded_key();
    }

    private_root root_;
    std::string secret_path_;
    syslog_hook_fn saved_hook_ = nullptr;
};

// --- MD5 compression ---------------------------------------------------------------------------

// Reference values computed with an independent implementation of the same rule.
TEST(AuthDigest, KnownAnswers) {
    const Key zero{};
    const Key line = key_from("Veltrane0Shared1Secret2Line3With4Many5Letters6And7Digits8Here9XY");
    struct Case {
        const Key *key;
        uint32_t x, y;
        uint32_t expected[4];
    } cases[] = {
        {&zero, 0, 0, {0x1b5c2266, 0x8a287682, 0xa8504293, 0x36d4a3fa}},
        {&zero, 0xffffffff, 1, {0x6c189211, 0x040bc0b3, 0x7b7a5817, 0xf8e41d66}},
        {&line, 0x12345678, 0x9ABCDEF0, {0xf80771b1, 0x4c489f85, 0x69fb37cf, 0x6e7655a6}},
        {&line, 0x9ABCDEF0, 0x12345678, {0x894e024c, 0xcb6fcf12, 0xfb0d7b33, 0x862dc2fd}},
    };
    for (const Case &c : cases) {
        uint32_t digest[4];
        auth_digest_keyed(c.key->data(), c.x, c.y, digest);
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(digest[j], c.expected[j]) << "x " << c.x << " word " << j;
    }
}

// --- key block and secret file ------------------------------------------------------------------

// Each letter and digit of the first line adds itself at its position and shift; other bytes
// take a position but add nothing. The secret text over a byte buffer gives the key that
// loading the same file gives.
TEST_F(Auth, KeyBlockOfTheFirst64CharactersOfTheFirstLine) {
    const std::string x64(64, 'x');
    const uint32_t x = 'x';
    const struct {
        const char *name;
        std::string text;
        Key expected;
    } rows[] = {
        {"two letters", "ab\n", Key{'a', 'b'}},
        {"seventeenth", std::string(16, '.') + "Q\n", Key{'Q' << 4}},
        {"last", std::string(63, '-') + "z",
         [] {
             Key k{};
             k[15] = uint32_t('z') << 15;
             return k;
         }()},
        {"gaps and bytes beyond ASCII",
         "a-b \xE9"
         "7\n",
         Key{'a', 0, 'b', 0, 0, '7' << 1}},
        {"bytes after a NUL keep their positions", std::string("a\0b\n", 4), Key{'a', 0, 'b'}},
        {"punctuation only", "!!! --- ??? ...\n", Key{}},
    };
    for (const auto &row : rows) {
        Key from_text{};
        ASSERT_TRUE(auth_key_from_secret_text(row.text.data(), row.text.size(), from_text.data()))
            << row.name;
        EXPECT_EQ(from_text, row.expected) << row.name;
        auth_key_block[3] = 99;
        EXPECT_EQ(key_of_file(row.text), row.expected) << row.name;
        EXPECT_EQ(auth_secret_loaded, 1) << row.name;
    }
    EXPECT_TRUE(g_logged.empty());
    EXPECT_EQ(key_of_file(x64 + "\n")[5], (x << 1) + (x << 5) + (x << 9) + (x << 13));
    EXPECT_EQ(key_of_file(x64 + "ZZZZ9\nsecond line\n"), key_of_file(x64));
    EXPECT_EQ(key_of_file("ab\ncd\n"), key_of_file("ab"));
    EXPECT_NE(key_of_file("ba\n"), key_of_file("ab\n"));
    for (const std::string text : {"x\r\ny", "\nsecret\n", "!!!"}) {
        Key from_text{};
        ASSERT_TRUE(auth_key_from_secret_text(text.data(), text.size(), from_text.data()));
        EXPECT_EQ(from_text, key_of_file(text)) << text;
    }
    Key empty{};
    empty[0] = 5;
    EXPECT_FALSE(auth_key_from_secret_text("", 0, empty.data()));
    EXPECT_EQ(empty, Key{});
}

TEST_F(Auth, LoadFailuresAreReportedWithCode6) {
    EXPECT_EQ(auth_secret_load(), -1);
    std::filesystem::create_directory(secret_path_);
    EXPECT_EQ(auth_secret_load(), -1);
    std::filesystem::remove(secret_path_);
    write_secret("");
    auth_key_block[0] = 7;
    EXPECT_EQ(auth_secret_load(), -1);
    EXPECT_EQ(auth_key_block[0], 0u) << "the block is cleared before the read";
    EXPECT_EQ(auth_secret_loaded, 0);
    EXPECT_EQ(g_logged, (std::vector<std::string>{"failed to access secret file: " + secret_path_,
                                                  "invalid secret file: " + secret_path_,
                                                  "failed to read secret file"}));
    EXPECT_EQ(g_logged_codes, (std::vector<int>{6, 6, 6}));
}

TEST_F(Auth, UnreadableSecretIsReportedAsNotOpened) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root opens unreadable files";
    write_secret("secret\n");
    chmod(secret_path_.c_str(), 0);
    EXPECT_EQ(auth_secret_load(), -1);
    EXPECT_EQ(g_logged, std::vector<std::string>{"failed to open secret file: " + secret_path_});
}

TEST_F(Auth, SecretPresenceFollowsTheFileAndForgetsTheLoadedKey) {
    EXPECT_EQ(auth_secret_present(), 0);
    write_secret("secret\n");
    ASSERT_EQ(auth_secret_load(), 0);
    EXPECT_EQ(auth_secret_present(), 1);
    EXPECT_EQ(auth_secret_loaded, 0);
    EXPECT_TRUE(g_logged.empty()) << "only the name server announces the secret";

    const char *saved_name = module_name();
    set_module_name("vorud");
    EXPECT_EQ(auth_secret_present(), 1);
    set_module_name(saved_name);
    EXPECT_EQ(g_logged, std::vector<std::string>{"Info: A .auth_secret file has been found. "
                                                 "Enabling Network Authentication."});
    EXPECT_EQ(g_logged_codes, std::vector<int>{6});
}

// A FIFO at the secret's place neither holds up the presence test nor the load: the load
// reports it as no regular file. Run in a child that is killed if it blocks.
TEST_F(Auth, FifoAsSecretFileIsRefusedWithoutBlocking) {
    ASSERT_EQ(mkfifo(secret_path_.c_str(), 0600), 0);
    const int outcome = run_bounded_child(
        [&] {
            if (auth_secret_present() != 1)
                return 1;
            if (auth_secret_load() != -1)
                return 2;
            return g_logged == std::vector<std::string>{"invalid secret file: " + secret_path_} ? 0
                                                                                                : 3;
        },
        5000);
    EXPECT_EQ(outcome, 0);
}

// --- the exchange ---------------------------------------------------------------------------

class AuthExchange : public Auth {
protected:
    // Runs client_authenticate against a test-written server following `plan`.
    int run_client(const ServerPlan &plan, ServerSeen &seen, bool shut_client_writes = false) {
        return run_against([&](int fd) { serve_exchange(fd, plan, seen); },
                           [&](int fd) {
                               if (shut_client_writes)
                                   shutdown(fd, SHUT_WR);
                               return client_authenticate(fd);
                           });
    }

    const std::string secret_ = "Correct-Horse 42";
};

TEST_F(AuthExchange, SharedSecretSucceedsAndAnswerCarriesEveryField) {
    write_secret(secret_ + "\n");
    ServerPlan plan;
    plan.key = key_from(secret_);
    ServerSeen seen;
    srand(11);
    uint32_t expected_x = static_cast<uint32_t>(rand());
    srand(11);
    uint32_t before = static_cast<uint32_t>(time(nullptr));
    EXPECT_EQ(run_client(plan, seen), 1);
    uint32_t after = static_cast<uint32_t>(time(nullptr));
    EXPECT_TRUE(g_logged.empty());

    ASSERT_EQ(seen.answer_bytes, AUTH_RECORD_SIZE);
    const unsigned char *answer = seen.answer.data();
    EXPECT_EQ(get_be32(answer + AUTH_RECORD_KIND), 1u);
    uint32_t stamp = get_be32(answer + AUTH_RECORD_TIME);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(get_be32(answer + AUTH_RECORD_CHALLENGE), expected_x);
    EXPECT_EQ(get_le32(answer + AUTH_RECORD_CHALLENGE + 4), stamp);
    uint32_t digest[4];
    auth_digest_keyed(plan.key.data(), plan.x, plan.y, digest);
    for (int j = 0; j < 4; ++j)
        EXPECT_EQ(get_be32(answer + AUTH_RECORD_RESPONSE + 4 * j), digest[j]);
    EXPECT_EQ(get_be32(answer + AUTH_RECORD_ECHO), plan.x);
    EXPECT_EQ(get_be32(answer + AUTH_RECORD_ECHO + 4), plan.y);
}

// How the client ends against each server behaviour, and the one report it makes.
TEST_F(AuthExchange, OutcomeAndReportForEachServerBehaviour) {
    const std::string failed = "client_authenticate: SERVER AUTH FAILED";
    const std::string recv_error = "client_authenticate: RECV ERROR";
    struct Case {
        const char *what;
        std::string secret_file;
        ServerPlan plan;
        int expected;
        std::vector<std::string> logged;
    } cases[] = {
        {"final record of kind 0",
         secret_,
         {.key = key_from(secret_), .final_kind = 0},
         0,
         {failed}},
        {"server with another secret", secret_, {.key = key_from("Correct-Horse 43")}, 0, {failed}},
        {"echoed challenge differs",
         secret_,
         {.key = key_from(secret_), .final_echo_x_offset = 1},
         0,
         {failed}},
        {"punctuation-only secret is the zero key", "#!%&*", {}, 1, {}},
        {"first record cut short", secret_, {.first_record_bytes = 39}, 0, {recv_error}},
        {"no final record", secret_, {.send_final = false}, 0, {recv_error}},
    };
    for (const Case &c : cases) {
        write_secret(c.secret_file + "\n");
        auth_secret_loaded = 0; // read the new file
        g_logged.clear();
        g_logged_codes.clear();
        ServerSeen seen;
        EXPECT_EQ(run_client(c.plan, seen), c.expected) << c.what;
        EXPECT_EQ(g_logged, c.logged) << c.what;
        EXPECT_EQ(g_logged_codes, std::vector<int>(c.logged.size(), 6)) << c.what;
    }

    g_logged.clear();
    ServerSeen seen;
    EXPECT_EQ(run_client(ServerPlan{}, seen, /*shut_client_writes=*/true), 0);
    EXPECT_EQ(g_logged, std::vector<std::string>{"client_authenticate: SEND ERROR"});
    EXPECT_EQ(seen.answer_bytes, 0u);
}

TEST_F(AuthExchange, UnusableSecretSendsTheChallengeUnansweredAndFails) {
    ServerPlan plan;
    ServerSeen seen;
    EXPECT_EQ(run_client(plan, seen), 0);
    ASSERT_EQ(seen.answer_bytes, AUTH_RECORD_SIZE);
    for (size_t i = AUTH_RECORD_RESPONSE; i < AUTH_RECORD_SIZE; ++i)
        EXPECT_EQ(seen.answer[i], UNANSWERED_FILL) << "byte " << i;
    std::string access = "failed to access secret file: " + secret_path_;
    EXPECT_EQ(g_logged, (std::vector<std::string>{access, access,
                                                  "client_authenticate: SERVER AUTH FAILED"}));
}

// --- the query ------------------------------------------------------------------------------

class AuthNegotiate : public AuthExchange {
protected:
    int run_negotiate(uint16_t answer, QuerySeen &seen, size_t reply_bytes = AUTH_QUERY_SIZE) {
        return run_against(
            [&](int fd) {
                serve_query(fd, answer, reply_bytes, seen);
                unsigned char sink[64];
                if (reply_bytes == AUTH_QUERY_SIZE)
                    seen.bytes_after_reply = recv_bytes(fd, sink, sizeof sink, PEER_WAIT_SECONDS);
            },
            auth_negotiate);
    }
};

// Answer 2 skips the exchange; other answers and short replies refuse silently. Either way
// the client sends nothing after the reply.
TEST_F(AuthNegotiate, AnswersThatNeedNoExchange) {
    const struct {
        uint16_t answer;
        size_t reply_bytes;
        int expected;
    } rows[] = {{AUTH_ANSWER_NOT_REQUIRED, AUTH_QUERY_SIZE, 1},
                {1, AUTH_QUERY_SIZE, 0},
                {3, AUTH_QUERY_SIZE, 0},
                {0x0200, AUTH_QUERY_SIZE, 0},
                {0xFFFF, AUTH_QUERY_SIZE, 0},
                {AUTH_ANSWER_NOT_REQUIRED, 1023, 0}};
    std::vector<unsigned char> query(AUTH_QUERY_SIZE, 0);
    query[25] = 0x13;
    for (const auto &row : rows) {
        const std::string name =
            "answer " + std::to_string(row.answer) + ", " + std::to_string(row.reply_bytes);
        QuerySeen seen;
        EXPECT_EQ(run_negotiate(row.answer, seen, row.reply_bytes), row.expected) << name;
        EXPECT_EQ(seen.bytes_after_reply, 0u) << name;
        EXPECT_EQ(seen.query, query) << name;
    }
    EXPECT_TRUE(g_logged.empty());
}

TEST_F(AuthNegotiate, AnswerZeroRunsTheExchange) {
    write_secret(secret_ + "\n");
    ServerPlan plan;
    plan.key = key_from(secret_);
    QuerySeen query;
    ServerSeen seen;
    EXPECT_EQ(run_against(
                  [&](int fd) {
                      serve_query(fd, AUTH_ANSWER_REQUIRED, AUTH_QUERY_SIZE, query);
                      serve_exchange(fd, plan, seen);
                  },
                  auth_negotiate),
              1);
    EXPECT_EQ(seen.answer_bytes, AUTH_RECORD_SIZE);
}

// A server that stops answering at any step holds the client for the reply time-out at most.
TEST_F(AuthNegotiate, SilentServerAtEachStepEndsInTheReplyTimeOut) {
    write_secret(secret_ + "\n");
    setenv("TIMEDWAIT_VALUE", "1", 1);
    const ServerPlan plan{.key = key_from(secret_)};
    std::vector<unsigned char> query(AUTH_QUERY_SIZE);
    Record record;
    const struct {
        const char *step;
        std::function<void(int)> serve; // stops answering, then waits for the client to close
        std::function<int(int)> client;
        std::vector<std::string> logged;
    } rows[] = {
        {"query unanswered",
         [&](int fd) { recv_bytes(fd, query.data(), query.size(), PEER_WAIT_SECONDS); },
         auth_negotiate,
         {}},
        {"challenge never sent",
         [&](int fd) {
             QuerySeen seen;
             serve_query(fd, AUTH_ANSWER_REQUIRED, AUTH_QUERY_SIZE, seen);
         },
         auth_negotiate,
         {"client_authenticate: RECV ERROR"}},
        {"final record never sent",
         [&](int fd) {
             ServerSeen seen;
             serve_exchange(fd, ServerPlan{.key = plan.key, .send_final = false}, seen);
         },
         client_authenticate,
         {"client_authenticate: RECV ERROR"}},
        {"half a record",
         [&](int fd) { send_bytes(fd, record.data(), AUTH_RECORD_SIZE / 2); },
         client_authenticate,
         {"client_authenticate: RECV ERROR"}},
    };
    for (const auto &row : rows) {
        g_logged.clear();
        set_last_system_error(0);
        const auto start = std::chrono::steady_clock::now();
        const int result = run_against(
            [&](int fd) {
                row.serve(fd);
                wait_for_close(fd, PEER_WAIT_SECONDS + 2);
            },
            row.client);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(result, 0) << row.step;
        EXPECT_EQ(last_system_error(), WSAETIMEDOUT) << row.step;
        EXPECT_GT(took, 0.9) << row.step;
        EXPECT_LT(took, 2.0) << row.step;
        EXPECT_EQ(g_logged, row.logged) << row.step;
    }
    unsetenv("TIMEDWAIT_VALUE");
}

// --- the server side against the client -------------------------------------------------------

TEST_F(AuthExchange, ServerSideAcceptsOnlyTheSameSecret) {
    write_secret(secret_ + "\n");
    for (const std::string &server_secret : {secret_, std::string("Wrong-Horse 42")}) {
        g_logged.clear();
        Key key = key_from(server_secret);
        int server_result = -1;
        int client_result =
            run_against([&](int fd) { server_result = server_authenticate(fd, key.data(), 5, 6); },
                        client_authenticate);
        bool same = server_secret == secret_;
        EXPECT_EQ(server_result, same ? 1 : 0);
        EXPECT_EQ(client_result, same ? 1 : 0);
        if (!same) {
            EXPECT_EQ(g_logged, std::vector<std::string>{"client_authenticate: RECV ERROR"});
        }
    }
}

TEST_F(AuthExchange, ServerSideRejectsAnAnswerToAnotherChallenge) {
    Key key = key_from(secret_);
    int server_result = -1;
    run_against([&](int fd) { server_result = server_authenticate(fd, key.data(), 5, 6); },
                [&](int fd) {
                    Record record;
                    EXPECT_EQ(recv_bytes(fd, record.data(), record.size(), PEER_WAIT_SECONDS),
                              AUTH_RECORD_SIZE);
                    put_be32(&record[AUTH_RECORD_CHALLENGE], 7); // a correct answer, but to (7, 6)
                    auth_record_answer(record.data(), key.data());
                    EXPECT_EQ(auth_record_check(record.data(), key.data()), 1);
                    EXPECT_TRUE(send_bytes(fd, record.data(), record.size()));
                    EXPECT_EQ(recv_bytes(fd, record.data(), record.size(), PEER_WAIT_SECONDS), 0u)
                        << "no final record";
                    return 0;
                });
    EXPECT_EQ(server_result, 0);
}

} // namespace
