#include "libfsmcomm/auth.h"

#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"
#include "libutil/file_read.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int network_auth_enabled = 0;
int auth_secret_loaded = 0;
uint32_t auth_key_block[AUTH_KEY_WORDS];

namespace {

constexpr int AUTH_LOG_CODE = 6;
constexpr size_t SECRET_LINE_CHARS = 64;

// False when the path does not fit: the file is then as good as missing.
bool secret_path(char *path, size_t size) {
    return config_file_path(".auth_secret", path, size);
}

bool ends_with(const char *text, const char *suffix) {
    size_t text_length = strlen(text);
    size_t suffix_length = strlen(suffix);
    return text_length >= suffix_length && strcmp(text + text_length - suffix_length, suffix) == 0;
}

// Letters and digits of the C locale, whatever locale the process runs in: both ends of
// the exchange must derive the same key from the same file.
bool is_key_char(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool ensure_secret_loaded() {
    return auth_secret_loaded || auth_secret_load() == 0;
}

// Every answer of the name server is awaited for the reply time-out at most: a silent server
// fails the exchange instead of holding the connect for ever.
int receive_answer(int socket, void *buffer, int length) {
    return sock_recv_all_within(socket, buffer, length, fsm_reply_timeout_ms(1));
}

uint32_t clock_seconds_low32() {
    return static_cast<uint32_t>(time(nullptr));
}

constexpr uint32_t MD5_SINE_TABLE[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int MD5_SHIFTS[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t rotate_left(uint32_t v, int bits) {
    return (v << bits) | (v >> (32 - bits));
}

} // namespace

int auth_secret_present() {
    char path[4096];
    auth_secret_loaded = 0;
    // Without blocking: a FIFO there must not hold up the library's start.
    const int fd =
        secret_path(path, sizeof path) ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0)
        return 0;
    close(fd);
    if (ends_with(module_name(), "vorud"))
        syslog_hook(AUTH_LOG_CODE,
                    "Info: A .auth_secret file has been found. Enabling Network Authentication.");
    return 1;
}

int auth_secret_load() {
    char path[4096];
    struct stat status;
    if (!secret_path(path, sizeof path) || stat(path, &status) != 0) {
        syslog_hook(AUTH_LOG_CODE, "failed to access secret file: %s", path);
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        syslog_hook(AUTH_LOG_CODE, "invalid secret file: %s", path);
        return -1;
    }
    // Only the first line's first characters count; the rest of the file is never read.
    std::string head;
    switch (read_regular_file(path, SECRET_LINE_CHARS, true, &head, nullptr)) {
    case FILE_READ_OK:
        break;
    case FILE_READ_NOT_REGULAR: // replaced since the check above
        syslog_hook(AUTH_LOG_CODE, "invalid secret file: %s", path);
        return -1;
    default:
        syslog_hook(AUTH_LOG_CODE, "failed to open secret file: %s", path);
        return -1;
    }
    if (!auth_key_from_secret_text(head.data(), head.size(), auth_key_block)) {
        syslog_hook(AUTH_LOG_CODE, "failed to read secret file");
        return -1;
    }
    auth_secret_loaded = 1;
    return 0;
}

bool auth_key_from_secret_text(const char *text, size_t length, uint32_t key[AUTH_KEY_WORDS]) {
    memset(key, 0, AUTH_KEY_WORDS * sizeof key[0]);
    if (length == 0)
        return false;
    // The first line as a line read of at most 64 characters takes it: up to and with its
    // line end; every position after it counts as zero.
    char line[SECRET_LINE_CHARS] = {};
    size_t taken = length < SECRET_LINE_CHARS ? length : SECRET_LINE_CHARS;
    const void *newline = memchr(text, '\n', taken);
    if (newline != nullptr)
        taken = static_cast<size_t>(static_cast<const char *>(newline) - text) + 1;
    memcpy(line, text, taken);
    auth_key_from_line(line, SECRET_LINE_CHARS, key);
    return true;
}

void auth_key_from_line(const char *line, size_t length, uint32_t key[AUTH_KEY_WORDS]) {
    memset(key, 0, AUTH_KEY_WORDS * sizeof key[0]);
    if (length > SECRET_LINE_CHARS)
        length = SECRET_LINE_CHARS;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (is_key_char(c))
            key[i % AUTH_KEY_WORDS] += uint32_t(c) << (i / 4);
    }
}

void md5_compress(uint32_t state[4], const unsigned char block[64]) {
    uint32_t m[16];
    for (int j = 0; j < 16; ++j)
        m[j] = get_le32(block + 4 * j);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        int round = i / 16;
        uint32_t f;
        int word;
        switch (round) {
        case 0:
            f = (b & c) | (~b & d);
            word = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            word = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            word = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            word = (7 * i) % 16;
            break;
        }
        uint32_t rotated =
            rotate_left(a + f + MD5_SINE_TABLE[i] + m[word], MD5_SHIFTS[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void auth_digest_keyed(const uint32_t key[AUTH_KEY_WORDS], uint32_t x, uint32_t y,
                       uint32_t digest[4]) {
    digest[0] = 0x67452301u ^ x;
    digest[1] = 0xEFCDAB89u ^ y;
    digest[2] = 0x98BADCFEu ^ y;
    digest[3] = 0x10325476u ^ x;

    unsigned char block[64];
    for (int j = 0; j < AUTH_KEY_WORDS; ++j)
        put_le32(block + 4 * j, key[j]);
    md5_compress(digest, block);

    // Not MD5's padding: 0x80 sits in byte 3, then the length 512 as 64-bit little-endian.
    unsigned char final_block[64] = {};
    final_block[3] = 0x80;
    final_block[57] = 0x02;
    md5_compress(digest, final_block);
}

void auth_digest(uint32_t x, uint32_t y, uint32_t digest[4]) {
    auth_digest_keyed(auth_key_block, x, y, digest);
}

void auth_record_answer(unsigned char record[AUTH_RECORD_SIZE],
                        const uint32_t key[AUTH_KEY_WORDS]) {
    uint32_t digest[4];
    auth_digest_keyed(key, get_be32(record + AUTH_RECORD_CHALLENGE),
                      get_be32(record + AUTH_RECORD_CHALLENGE + 4), digest);
    for (int j = 0; j < 4; ++j)
        put_be32(record + AUTH_RECORD_RESPONSE + 4 * j, digest[j]);
    memcpy(record + AUTH_RECORD_ECHO, record + AUTH_RECORD_CHALLENGE, 8);
}

int auth_record_check(const unsigned char record[AUTH_RECORD_SIZE],
                      const uint32_t key[AUTH_KEY_WORDS]) {
    if (get_be32(record + AUTH_RECORD_KIND) != AUTH_RECORD_KIND_ANSWER)
        return 0;
    uint32_t digest[4];
    auth_digest_keyed(key, get_be32(record + AUTH_RECORD_ECHO),
                      get_be32(record + AUTH_RECORD_ECHO + 4), digest);
    for (int j = 0; j < 4; ++j)
        if (get_be32(record + AUTH_RECORD_RESPONSE + 4 * j) != digest[j])
            return 0;
    return 1;
}

int auth_record_echoes(const unsigned char record[AUTH_RECORD_SIZE], uint32_t x, uint32_t y) {
    return get_be32(record + AUTH_RECORD_ECHO) == x && get_be32(record + AUTH_RECORD_ECHO + 4) == y
               ? 1
               : 0;
}

int client_authenticate(int socket) {
    unsigned char record[AUTH_RECORD_SIZE];
    if (receive_answer(socket, record, sizeof record) < static_cast<int>(sizeof record)) {
        syslog_hook(AUTH_LOG_CODE, "client_authenticate: RECV ERROR");
        return 0;
    }
    // Without a usable secret the answer goes out unanswered and the final check fails.
    if (ensure_secret_loaded())
        auth_record_answer(record, auth_key_block);

    uint32_t now = clock_seconds_low32();
    put_be32(record + AUTH_RECORD_TIME, now);
    const uint32_t own_x = static_cast<uint32_t>(rand());
    put_be32(record + AUTH_RECORD_CHALLENGE, own_x);
    put_le32(record + AUTH_RECORD_CHALLENGE + 4, now);
    const uint32_t own_y = get_be32(record + AUTH_RECORD_CHALLENGE + 4);
    put_be32(record + AUTH_RECORD_KIND, AUTH_RECORD_KIND_ANSWER);
    if (sock_send_all(socket, record, sizeof record) < 0) {
        syslog_hook(AUTH_LOG_CODE, "client_authenticate: SEND ERROR");
        return 0;
    }

    if (receive_answer(socket, record, sizeof record) < static_cast<int>(sizeof record)) {
        syslog_hook(AUTH_LOG_CODE, "client_authenticate: RECV ERROR");
        return 0;
    }
    if (!ensure_secret_loaded() || !auth_record_echoes(record, own_x, own_y) ||
        !auth_record_check(record, auth_key_block)) {
        syslog_hook(AUTH_LOG_CODE, "client_authenticate: SERVER AUTH FAILED");
        return 0;
    }
    return 1;
}

int auth_negotiate(int socket) {
    unsigned char message[AUTH_QUERY_SIZE] = {};
    message[AUTH_QUERY_COMMAND_OFFSET] = AUTH_QUERY_COMMAND;
    if (sock_send_all(socket, message, sizeof message) < 0)
        return 0;
    if (receive_answer(socket, message, sizeof message) < static_cast<int>(sizeof message))
        return 0;
    switch (get_be16(message + AUTH_QUERY_ANSWER_OFFSET)) {
    case AUTH_ANSWER_NOT_REQUIRED:
        return 1;
    case AUTH_ANSWER_REQUIRED:
        return client_authenticate(socket);
    default:
        return 0;
    }
}

int server_authenticate(int socket, const uint32_t key[AUTH_KEY_WORDS], uint32_t x, uint32_t y) {
    unsigned char record[AUTH_RECORD_SIZE] = {};
    put_be32(record + AUTH_RECORD_KIND, AUTH_RECORD_KIND_ANSWER);
    put_be32(record + AUTH_RECORD_TIME, clock_seconds_low32());
    put_be32(record + AUTH_RECORD_CHALLENGE, x);
    put_be32(record + AUTH_RECORD_CHALLENGE + 4, y);
    if (sock_send_all(socket, record, sizeof record) < 0)
        return 0;
    if (sock_recv_all(socket, record, sizeof record) < static_cast<int>(sizeof record))
        return 0;
    if (!auth_record_echoes(record, x, y) || !auth_record_check(record, key))
        return 0;
    auth_record_answer(record, key);
    return sock_send_all(socket, record, sizeof record) >= 0 ? 1 : 0;
}
