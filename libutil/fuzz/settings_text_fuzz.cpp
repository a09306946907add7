// Settings text: no value grows past the line limit however its ${NAME} references nest, and
// no name or value holds a line break (each entry is one line of the file).
#include "libutil/fuzz/fuzz_check.h"
#include "libutil/logging.h"
#include "libutil/settings.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Cut values are reported; the reports stay within their line.
    message_hook = [](int, const char *text) { FUZZ_CHECK(strlen(text) < 512); };
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (const auto &[name, value] :
         settings_parse_text(reinterpret_cast<const char *>(data), size)) {
        FUZZ_CHECK(value.size() <= SETTINGS_VALUE_MAX);
        FUZZ_CHECK(name.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(value.find_first_of("\r\n") == std::string::npos);
    }
    return 0;
}
