// Authentication records: a key (from the first 64 bytes) and a 40-byte record. Checking any
// record is safe; an answer made with the key passes the check with it (kind 1), and one
// changed bit of its response makes it fail.
#include "libfsmcomm/auth.h"
#include "libfsmcomm/wire.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint32_t key[AUTH_KEY_WORDS];
    const size_t key_bytes = size < 64 ? size : 64;
    auth_key_from_line(reinterpret_cast<const char *>(data), key_bytes, key);
    unsigned char record[AUTH_RECORD_SIZE] = {};
    const size_t record_bytes =
        size - key_bytes < AUTH_RECORD_SIZE ? size - key_bytes : AUTH_RECORD_SIZE;
    memcpy(record, data + key_bytes, record_bytes);
    const int accepted = auth_record_check(record, key);
    FUZZ_CHECK(accepted == 0 || accepted == 1);

    auth_record_answer(record, key);
    FUZZ_CHECK(memcmp(record + AUTH_RECORD_ECHO, record + AUTH_RECORD_CHALLENGE, 8) == 0);
    put_be32(record + AUTH_RECORD_KIND, AUTH_RECORD_KIND_ANSWER);
    FUZZ_CHECK(auth_record_check(record, key) == 1);
    const size_t bit = size > 0 ? data[size - 1] % 128 : 0;
    record[AUTH_RECORD_RESPONSE + bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
    FUZZ_CHECK(auth_record_check(record, key) == 0);
    return 0;
}
