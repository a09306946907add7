// Shared-secret authentication of name-server connections: the key block read from
// ".auth_secret", the challenge digest, and both ends of the challenge/response exchange.
#pragma once

#include <cstddef>
#include <cstdint>

// Set once at library start from auth_secret_present(); name-server connects negotiate
// authentication while it is 1.
extern int network_auth_enabled;

// 1 once auth_secret_load() has filled auth_key_block; auth_secret_present() clears it so
// that the next exchange reads the file again.
extern int auth_secret_loaded;

// The secret as sixteen 32-bit words. The digest takes it as one 64-byte block, word j in
// bytes 4j..4j+3, least significant byte first.
constexpr int AUTH_KEY_WORDS = 16;
extern uint32_t auth_key_block[AUTH_KEY_WORDS];

// auth_record: 40 bytes on the wire, every word big-endian.
constexpr size_t AUTH_RECORD_SIZE = 40;
enum auth_record_offset {
    AUTH_RECORD_KIND = 0,      // 1 in every answer; the server's final record must carry 1
    AUTH_RECORD_TIME = 4,      // low 32 bits of the client's clock, seconds since 1970
    AUTH_RECORD_CHALLENGE = 8, // words x (offset 8) and y (offset 12)
    AUTH_RECORD_RESPONSE = 16, // digest words A, B, C, D over the peer's challenge
    AUTH_RECORD_ECHO = 32      // the challenge (x, y) that the response answers
};
constexpr uint32_t AUTH_RECORD_KIND_ANSWER = 1;

// Authentication query: 1024 bytes, no message framing, all zero but the command byte.
// The reply's big-endian 16-bit word at AUTH_QUERY_ANSWER_OFFSET says what the server wants.
constexpr size_t AUTH_QUERY_SIZE = 1024;
constexpr size_t AUTH_QUERY_COMMAND_OFFSET = 25;
constexpr unsigned char AUTH_QUERY_COMMAND = 19;
constexpr size_t AUTH_QUERY_ANSWER_OFFSET = 28;
constexpr uint16_t AUTH_ANSWER_REQUIRED = 0;
constexpr uint16_t AUTH_ANSWER_NOT_REQUIRED = 2;

// 1 if "<config_dir>/.auth_secret" can be opened for reading, else 0. Clears
// auth_secret_loaded. A module named "...vorud" logs that authentication is enabled.
int auth_secret_present();

// Reads the first line of the secret file into auth_key_block. 0 on success, -1 on failure
// (reported through syslog_hook with code 6).
int auth_secret_load();

// The key block of a secret file that holds `length` bytes of `text`: only its first line
// counts, up to and with its line end and at most 64 characters (auth_key_from_line of them,
// later positions zero). False, with an all-zero key, for an empty text: nothing to read.
bool auth_key_from_secret_text(const char *text, size_t length, uint32_t key[AUTH_KEY_WORDS]);

// Derives a key block from the first `length` bytes of `line` (at most 64 count; positions
// past `length` count as zero). Only ASCII letters and digits contribute: the byte at
// position i adds (byte << i/4) to word i % 16. Other bytes still occupy their position.
void auth_key_from_line(const char *line, size_t length, uint32_t key[AUTH_KEY_WORDS]);

// MD5 compression function (RFC 1321): folds one 64-byte block into `state`, including the
// final addition of the input state.
void md5_compress(uint32_t state[4], const unsigned char block[64]);

// Digest of `key` keyed by the challenge words x and y: MD5 compression of the key block
// from a start state perturbed by the challenge, then of this protocol's final block.
void auth_digest_keyed(const uint32_t key[AUTH_KEY_WORDS], uint32_t x, uint32_t y,
                       uint32_t digest[4]);

// auth_digest_keyed over the process-wide auth_key_block.
void auth_digest(uint32_t x, uint32_t y, uint32_t digest[4]);

// Answers the challenge at offsets 8..15 in place: response at 16..31, echo at 32..39.
void auth_record_answer(unsigned char record[AUTH_RECORD_SIZE], const uint32_t key[AUTH_KEY_WORDS]);

// 1 when the record's kind is 1 and its response matches the digest of its echoed
// challenge, else 0. Whose challenge the echo is, is auth_record_echoes' question.
int auth_record_check(const unsigned char record[AUTH_RECORD_SIZE],
                      const uint32_t key[AUTH_KEY_WORDS]);

// 1 when the record's echoed challenge is (x, y), else 0. Both ends require their own
// challenge back: a peer without the secret could otherwise pass by returning the other
// side's answer as its own.
int auth_record_echoes(const unsigned char record[AUTH_RECORD_SIZE], uint32_t x, uint32_t y);

// Client side of the exchange on a connected socket: answers the server's challenge, sends
// its own and checks the server's answer, which must answer that very challenge. 1 on
// success, 0 on failure (reported through syslog_hook with code 6).
int client_authenticate(int socket);

// Sends the authentication query and, when the server asks for it, runs
// client_authenticate. 1 when the connection may be used, 0 otherwise.
int auth_negotiate(int socket);

// Server side of the exchange, for the stand-in name server: sends the challenge (x, y),
// requires the client's answer to carry kind 1, echo (x, y) and the right response, then
// answers the client's challenge. 1 on success, 0 on failure or short transfer.
int server_authenticate(int socket, const uint32_t key[AUTH_KEY_WORDS], uint32_t x, uint32_t y);
