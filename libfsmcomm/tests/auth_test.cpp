#include "libfsmcomm/auth.h"

#include "libfsmcomm/ns_requests.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"
#include "libutil/tests/bounded_child.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
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
constexpr unsigned char UNANSWERED_FILL = 0xA5;

Key key_from(const std::string &line) {
    Key key;
    auth_key_from_line(line.data(), line.size(), key.data());
    return key;
}

// Runs `client` on a connection to a loopback peer served by `serve`; the client socket is closed
// before the peer is joined, so a client that stops early cannot hold the peer up.
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
    // Without the secret: return the client's record (1), or that record with its echo claiming the
    // client's challenge (2).
    int reflect = 0;
};

struct ServerSeen {
    size_t answer_bytes = 0;
    Record answer{};
};

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
    if (plan.reflect == 2)
        memcpy(&final_record[AUTH_RECORD_ECHO], &final_record[AUTH_RECORD_CHALLENGE], 8);
    if (plan.reflect == 0) {
        uint32_t x = get_be32(&seen.answer[AUTH_RECORD_CHALLENGE]) + plan.final_echo_x_offset;
        uint32_t y = get_be32(&seen.answer[AUTH_RECORD_CHALLENGE + 4]);
        uint32_t digest[4];
        auth_digest_keyed(plan.key.data(), x, y, digest);
        put_be32(&final_record[AUTH_RECORD_KIND], plan.final_kind);
        for (int j = 0; j < 4; ++j)
            put_be32(&final_record[AUTH_RECORD_RESPONSE + 4 * j], digest[j]);
        put_be32(&final_record[AUTH_RECORD_ECHO], x);
        put_be32(&final_record[AUTH_RECORD_ECHO + 4], y);
    }
    send_bytes(fd, final_record.data(), final_record.size());
}

// Answers the 1024-byte query with `answer`; `query` receives what the client sent.
void serve_query(int fd, uint16_t answer, size_t reply_bytes, bytes *query = nullptr) {
    bytes received(AUTH_QUERY_SIZE);
    received.resize(recv_bytes(fd, received.data(), AUTH_QUERY_SIZE, PEER_WAIT_SECONDS));
    if (query != nullptr)
        *query = received;
    bytes reply(AUTH_QUERY_SIZE, 0);
    put_be16(&reply[AUTH_QUERY_ANSWER_OFFSET], answer);
    send_bytes(fd, reply.data(), reply_bytes);
}

// A private configuration directory, a captured system log and a secret not yet loaded.
class Auth : public testing::Test {
protected:
    void SetUp() override { auth_secret_loaded = 0; }
    void TearDown() override {
        auth_secret_loaded = 0;
        network_auth_enabled = 0;
    }

    void write_secret(const std::string &content) {
        std::ofstream(secret_path_, std::ios::binary) << content;
        auth_secret_loaded = 0;
    }

    // Loads `content` as the secret file and returns the key block it gives.
    Key key_of_file(const std::string &content) {
        write_secret(content);
        EXPECT_EQ(auth_secret_load(), 0);
        Key key;
        std::copy(std::begin(auth_key_block), std::end(auth_key_block), key.begin());
        return key;
    }

    int run_client(const ServerPlan &plan, ServerSeen &seen) {
        return run_against([&](int fd) { serve_exchange(fd, plan, seen); }, client_authenticate);
    }

    private_root root_;
    syslog_capture log_;
    const std::string secret_path_ = root_.config_dir() + "/.auth_secret";
    const std::string secret_ = "Correct-Horse 42";
};

// --- MD5 compression, key block and secret file -----------------------------------------------

// Reference values computed with an independent implementation of the same rule.
TEST(AuthDigest, KnownAnswers) {
    const Key zero{};
    const Key line = key_from("Veltrane0Shared1Secret2Line3With4Many5Letters6And7Digits8Here9XY");
    struct Case {
        const Key *key;
        uint32_t x, y;
        std::array<uint32_t, 4> expected;
    } cases[] = {
        {&zero, 0, 0, {0x1b5c2266, 0x8a287682, 0xa8504293, 0x36d4a3fa}},
        {&zero, 0xffffffff, 1, {0x6c189211, 0x040bc0b3, 0x7b7a5817, 0xf8e41d66}},
        {&line, 0x12345678, 0x9ABCDEF0, {0xf80771b1, 0x4c489f85, 0x69fb37cf, 0x6e7655a6}},
        {&line, 0x9ABCDEF0, 0x12345678, {0x894e024c, 0xcb6fcf12, 0xfb0d7b33, 0x862dc2fd}},
    };
    for (const Case &c : cases) {
        std::array<uint32_t, 4> digest;
        auth_digest_keyed(c.key->data(), c.x, c.y, digest.data());
        EXPECT_EQ(digest, c.expected) << "x " << c.x;
    }
}

// Each letter and digit of the first line adds itself at its position and shift; other bytes take a
// position but add nothing. The secret text over a byte buffer gives the key that loading the same
// file gives.
TEST_F(Auth, KeyBlockOfTheFirst64CharactersOfTheFirstLine) {
    const std::string x64(64, 'x');
    const uint32_t x = 'x';
    Key last{};
    last[15] = uint32_t('z') << 15;
    const struct {
        const char *name;
        std::string text;
        Key expected;
    } rows[] = {
        {"two letters", "ab\n", Key{'a', 'b'}},
        {"seventeenth", std::string(16, '.') + "Q\n", Key{'Q' << 4}},
        {"last", std::string(63, '-') + "z", last},
        {"gaps and bytes beyond ASCII",
         "a-b \xE9"
         "7\n",
         Key{'a', 0, 'b', 0, 0, '7' << 1}},
        {"bytes after a NUL keep their positions", std::string("a\0b\n", 4), Key{'a', 0, 'b'}},
        {"punctuation only", "!!! --- ??? ...\n", Key{}},
        {"CR ends the line", "x\r\ny", Key{'x'}},
        {"empty first line", "\nsecret\n", Key{}},
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
    EXPECT_TRUE(log_.lines.empty());
    EXPECT_EQ(key_of_file(x64 + "\n")[5], (x << 1) + (x << 5) + (x << 9) + (x << 13));
    EXPECT_EQ(key_of_file(x64 + "ZZZZ9\nsecond line\n"), key_of_file(x64));
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
    if (geteuid() != 0) { // root opens unreadable files
        write_secret("secret\n");
        chmod(secret_path_.c_str(), 0);
        EXPECT_EQ(auth_secret_load(), -1);
    }
    std::vector<std::pair<int, std::string>> expected = {
        {6, "failed to access secret file: " + secret_path_},
        {6, "invalid secret file: " + secret_path_},
        {6, "failed to read secret file"}};
    if (geteuid() != 0)
        expected.emplace_back(6, "failed to open secret file: " + secret_path_);
    EXPECT_EQ(log_.lines, expected);
}

TEST_F(Auth, SecretPresenceFollowsTheFileAndForgetsTheLoadedKey) {
    EXPECT_EQ(auth_secret_present(), 0);
    write_secret("secret\n");
    ASSERT_EQ(auth_secret_load(), 0);
    EXPECT_EQ(auth_secret_present(), 1);
    EXPECT_EQ(auth_secret_loaded, 0);
    EXPECT_TRUE(log_.lines.empty()) << "only the name server announces the secret";

    const char *saved_name = module_name();
    set_module_name("vorud");
    EXPECT_EQ(auth_secret_present(), 1);
    set_module_name(saved_name);
    EXPECT_EQ(log_.lines, (std::vector<std::pair<int, std::string>>{
                              {6, "Info: A .auth_secret file has been found. "
                                  "Enabling Network Authentication."}}));
}

// A FIFO at the secret's place neither holds up the presence test nor the load: the load reports it
// as no regular file. Run in a child that is killed if it blocks.
TEST_F(Auth, FifoAsSecretFileIsRefusedWithoutBlocking) {
    ASSERT_EQ(mkfifo(secret_path_.c_str(), 0600), 0);
    const int outcome = run_bounded_child(
        [&] {
            if (auth_secret_present() != 1 || auth_secret_load() != -1)
                return 1;
            return log_.texts() == std::vector<std::string>{"invalid secret file: " + secret_path_}
                       ? 0
                       : 2;
        },
        5000);
    EXPECT_EQ(outcome, 0);
}

// --- the exchange ---------------------------------------------------------------------------

TEST_F(Auth, SharedSecretSucceedsAndAnswerCarriesEveryField) {
    write_secret(secret_ + "\n");
    const ServerPlan plan{.key = key_from(secret_)};
    ServerSeen seen;
    srand(11);
    const uint32_t expected_x = static_cast<uint32_t>(rand());
    srand(11);
    const uint32_t before = static_cast<uint32_t>(time(nullptr));
    EXPECT_EQ(run_client(plan, seen), 1);
    const uint32_t after = static_cast<uint32_t>(time(nullptr));
    EXPECT_TRUE(log_.lines.empty());

    ASSERT_EQ(seen.answer_bytes, AUTH_RECORD_SIZE);
    const unsigned char *answer = seen.answer.data();
    EXPECT_EQ(get_be32(answer + AUTH_RECORD_KIND), 1u);
    const uint32_t stamp = get_be32(answer + AUTH_RECORD_TIME);
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

// How the client ends against each server behaviour, and the one report it makes. Only a server
// that answers the client's own challenge with the secret passes: one that reflects the client's
// record back (it answers the server's challenge correctly) must not.
TEST_F(Auth, OutcomeAndReportForEachServerBehaviour) {
    const std::string failed = "client_authenticate: SERVER AUTH FAILED";
    const std::string recv_error = "client_authenticate: RECV ERROR";
    const Key key = key_from(secret_);
    const struct {
        const char *what;
        std::string secret_file;
        ServerPlan plan;
        int expected;
        std::string logged; // empty: nothing
    } cases[] = {
        {"final record of kind 0", secret_, {.key = key, .final_kind = 0}, 0, failed},
        {"server with another secret", secret_, {.key = key_from("Correct-Horse 43")}, 0, failed},
        {"echoed challenge differs", secret_, {.key = key, .final_echo_x_offset = 1}, 0, failed},
        {"reflects the client's record", secret_, {.reflect = 1}, 0, failed},
        {"reflects it claiming the client's challenge", secret_, {.reflect = 2}, 0, failed},
        {"punctuation-only secret is the zero key", "#!%&*", {}, 1, ""},
        {"first record cut short", secret_, {.first_record_bytes = 39}, 0, recv_error},
        {"no final record", secret_, {.send_final = false}, 0, recv_error},
    };
    for (const auto &c : cases) {
        write_secret(c.secret_file + "\n");
        log_.lines.clear();
        ServerSeen seen;
        EXPECT_EQ(run_client(c.plan, seen), c.expected) << c.what;
        EXPECT_EQ(log_.lines,
                  (c.logged.empty() ? std::vector<std::pair<int, std::string>>{}
                                    : std::vector<std::pair<int, std::string>>{{6, c.logged}}))
            << c.what;
    }

    log_.lines.clear();
    ServerSeen seen;
    EXPECT_EQ(run_against([&](int fd) { serve_exchange(fd, ServerPlan{}, seen); },
                          [](int fd) {
                              shutdown(fd, SHUT_WR);
                              return client_authenticate(fd);
                          }),
              0);
    EXPECT_EQ(log_.texts(), std::vector<std::string>{"client_authenticate: SEND ERROR"});
}

TEST_F(Auth, UnusableSecretSendsTheChallengeUnansweredAndFails) {
    ServerSeen seen;
    EXPECT_EQ(run_client(ServerPlan{}, seen), 0);
    ASSERT_EQ(seen.answer_bytes, AUTH_RECORD_SIZE);
    for (size_t i = AUTH_RECORD_RESPONSE; i < AUTH_RECORD_SIZE; ++i)
        EXPECT_EQ(seen.answer[i], UNANSWERED_FILL) << "byte " << i;
    const std::string access = "failed to access secret file: " + secret_path_;
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{access, access,
                                                      "client_authenticate: SERVER AUTH FAILED"}));
}

// --- the query ------------------------------------------------------------------------------

// Answer 2 skips the exchange, answer 0 runs it; other answers and short replies refuse silently.
// Without an exchange the client sends nothing after the reply.
TEST_F(Auth, QueryAnswers) {
    write_secret(secret_ + "\n");
    const struct {
        uint16_t answer;
        size_t reply_bytes;
        int expected;
    } rows[] = {{AUTH_ANSWER_NOT_REQUIRED, AUTH_QUERY_SIZE, 1},
                {AUTH_ANSWER_REQUIRED, AUTH_QUERY_SIZE, 1},
                {1, AUTH_QUERY_SIZE, 0},
                {0x0200, AUTH_QUERY_SIZE, 0},
                {AUTH_ANSWER_NOT_REQUIRED, 1023, 0}};
    bytes expected_query(AUTH_QUERY_SIZE, 0);
    expected_query[AUTH_QUERY_COMMAND_OFFSET] = 0x13;
    for (const auto &row : rows) {
        const std::string name =
            "answer " + std::to_string(row.answer) + ", " + std::to_string(row.reply_bytes);
        bytes query;
        ServerSeen seen;
        unsigned char sink[64];
        size_t after_reply = 0;
        EXPECT_EQ(run_against(
                      [&](int fd) {
                          serve_query(fd, row.answer, row.reply_bytes, &query);
                          if (row.answer == AUTH_ANSWER_REQUIRED)
                              serve_exchange(fd, ServerPlan{.key = key_from(secret_)}, seen);
                          else if (row.reply_bytes == AUTH_QUERY_SIZE)
                              after_reply = recv_bytes(fd, sink, sizeof sink, PEER_WAIT_SECONDS);
                      },
                      auth_negotiate),
                  row.expected)
            << name;
        EXPECT_EQ(after_reply, 0u) << name;
        EXPECT_EQ(query, expected_query) << name;
    }
    EXPECT_TRUE(log_.lines.empty());
}

// A server that stops answering at any step holds the client for the reply time-out at most.
TEST_F(Auth, SilentServerAtEachStepEndsInTheReplyTimeOut) {
    write_secret(secret_ + "\n");
    reply_timeout one_second("1");
    const ServerPlan silent_at_end{.key = key_from(secret_), .send_final = false};
    const struct {
        const char *step;
        std::function<void(int)> serve; // stops answering, then waits for the client to close
        std::function<int(int)> client;
        std::vector<std::string> logged;
    } rows[] = {
        {"query unanswered", [](int fd) { serve_query(fd, 0, 0); }, auth_negotiate, {}},
        {"challenge never sent",
         [](int fd) { serve_query(fd, AUTH_ANSWER_REQUIRED, AUTH_QUERY_SIZE); },
         auth_negotiate,
         {"client_authenticate: RECV ERROR"}},
        {"half the final record",
         [&](int fd) {
             ServerSeen seen;
             serve_exchange(fd, silent_at_end, seen);
             send_bytes(fd, seen.answer.data(), AUTH_RECORD_SIZE / 2);
         },
         client_authenticate,
         {"client_authenticate: RECV ERROR"}},
    };
    for (const auto &row : rows) {
        log_.lines.clear();
        set_last_system_error(0);
        const auto start = std::chrono::steady_clock::now();
        const int result = run_against(
            [&](int fd) {
                row.serve(fd);
                wait_for_close(fd, PEER_WAIT_SECONDS + 2);
            },
            row.client);
        const double took = seconds_since(start);
        EXPECT_EQ(result, 0) << row.step;
        EXPECT_EQ(last_system_error(), WSAETIMEDOUT) << row.step;
        EXPECT_GT(took, 0.9) << row.step;
        EXPECT_LT(took, 2.0) << row.step;
        EXPECT_EQ(log_.texts(), row.logged) << row.step;
    }
}

// The name server's side lets in only a client with the same secret and never answers a record that
// answers another challenge correctly.
TEST_F(Auth, ServerSideAcceptsOnlyTheSameSecretAndItsOwnChallenge) {
    write_secret(secret_ + "\n");
    for (const std::string &server_secret : {secret_, std::string("Wrong-Horse 42")}) {
        const Key key = key_from(server_secret);
        int server_result = -1;
        const int client_result =
            run_against([&](int fd) { server_result = server_authenticate(fd, key.data(), 5, 6); },
                        client_authenticate);
        const int same = server_secret == secret_ ? 1 : 0;
        EXPECT_EQ(server_result, same) << server_secret;
        EXPECT_EQ(client_result, same) << server_secret;
    }

    const Key key = key_from(secret_);
    int server_result = -1;
    size_t final_bytes = 1;
    run_against([&](int fd) { server_result = server_authenticate(fd, key.data(), 5, 6); },
                [&](int fd) {
                    Record record;
                    recv_bytes(fd, record.data(), record.size(), PEER_WAIT_SECONDS);
                    put_be32(&record[AUTH_RECORD_CHALLENGE],
                             7); // a correct answer, but to (7, 6)
                    auth_record_answer(record.data(), key.data());
                    EXPECT_EQ(auth_record_check(record.data(), key.data()), 1);
                    send_bytes(fd, record.data(), record.size());
                    final_bytes = recv_bytes(fd, record.data(), record.size(), PEER_WAIT_SECONDS);
                    return 0;
                });
    EXPECT_EQ(server_result, 0);
    EXPECT_EQ(final_bytes, 0u) << "no final record";
}

// The client gets the name server's verdict as a text when it connects.
TEST_F(Auth, AReflectingNameServerIsRefusedAtConnect) {
    write_secret(secret_ + "\n");
    loopback_peer name_server([](int fd) {
        serve_query(fd, AUTH_ANSWER_REQUIRED, AUTH_QUERY_SIZE);
        ServerSeen seen;
        serve_exchange(fd, ServerPlan{.reflect = 1}, seen);
        wait_for_close(fd, PEER_WAIT_SECONDS);
    });
    const int name_server_port = name_server.port();
    loopback_peer agent([name_server_port](int fd) { serve_agent(fd, name_server_port); });
    root_.use_agent_port(agent.port());
    network_auth_enabled = 1;

    char text[NS_TEXT_SIZE] = "";
    const kx_socket s = ns_connect("127.0.0.1", text, sizeof text);
    EXPECT_EQ(s, invalid_socket);
    EXPECT_STREQ(text, "Authentication Failed");
    if (s != invalid_socket)
        close(s);
}

} // namespace
