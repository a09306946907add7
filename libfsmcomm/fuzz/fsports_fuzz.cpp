// fsports text: the port found is 0 or a valid port, whatever the lines hold.
#include "libfsmcomm/fsports.h"
#include "libutil/fuzz/fuzz_check.h"
#include "libutil/logging.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    message_hook = [](int, const char *text) { FUZZ_CHECK(strlen(text) < 512); };
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int altpmap = -1;
    fsports_parse(reinterpret_cast<const char *>(data), size, &altpmap);
    FUZZ_CHECK(altpmap >= 0 && altpmap <= 65535);
    return 0;
}
