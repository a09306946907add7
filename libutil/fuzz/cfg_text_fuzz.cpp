// Configuration-file text in every style (the first byte picks it: byte % 4). Whatever is
// read must be written so that it reads back as the same records, and a second rewrite must
// give the same bytes; the store never fails otherwise than with one of its codes.
#include "libutil/cfg_store.h"
#include "libutil/fuzz/cfg_written_form.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const uint32_t style = data[0] % 4;
    const char *text = reinterpret_cast<const char *>(data + 1);
    cfg_store *first = nullptr;
    char msg[256];
    int code = cfg_parse(text, size - 1, style, &first, msg, sizeof msg);
    FUZZ_CHECK(code == CFG_OK || code == CFG_BAD_ARGUMENT || code == CFG_TOO_LONG ||
               code == CFG_TOO_LARGE);
    if (code != CFG_OK) {
        FUZZ_CHECK(first == nullptr);
        return 0;
    }
    std::string written;
    code = cfg_format(first, &written, msg, sizeof msg);
    FUZZ_CHECK(code == CFG_OK || code == CFG_TOO_LONG || code == CFG_TOO_LARGE);
    if (code == CFG_OK) {
        cfg_store *second = nullptr;
        FUZZ_CHECK(cfg_parse(written.data(), written.size(), style, &second, msg, sizeof msg) ==
                   CFG_OK);
        FUZZ_CHECK(cfg_written_form(second, style) == cfg_written_form(first, style));
        std::string again;
        FUZZ_CHECK(cfg_format(second, &again, msg, sizeof msg) == CFG_OK);
        FUZZ_CHECK(again == written);
        cfg_close(&second, 0, nullptr, 0);
    }
    cfg_close(&first, 0, nullptr, 0);
    return 0;
}
