// Configuration-file text in every style (the first byte picks it: byte % 4). Whatever is
// read must be written so that it reads back as the same records, and a second rewrite must
// give the same bytes; the store never fails otherwise than with one of its codes.
#include "libutil/cfg_store.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// The records as a rewrite keeps them: comments on lines of their own, then marker, key and
// fields (only the first field in key=value style).
std::vector<std::string> written_form(const cfg_store *store, uint32_t style) {
    std::vector<std::string> items;
    for (cfg_line *rec = nullptr; cfg_next(store, &rec) == CFG_OK;) {
        FUZZ_CHECK(rec->field_count >= 0 && rec->field_count <= CFG_MAX_FIELDS);
        FUZZ_CHECK(rec->fields[rec->field_count] == nullptr);
        if (rec->comment != nullptr)
            items.push_back(std::string("#") + rec->comment);
        if (rec->key == nullptr && rec->field_count == 0)
            continue;
        std::string item = rec->marked ? "m" : "-";
        item += rec->key != nullptr ? "k" + std::string(rec->key) : "n";
        const int kept =
            style == CFG_STYLE_KEY_VALUE && rec->field_count > 1 ? 1 : rec->field_count;
        for (int i = 0; i < kept; ++i)
            item += std::string(1, '\0') + rec->fields[i];
        items.push_back(item);
    }
    return items;
}

} // namespace

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
        FUZZ_CHECK(written_form(second, style) == written_form(first, style));
        std::string again;
        FUZZ_CHECK(cfg_format(second, &again, msg, sizeof msg) == CFG_OK);
        FUZZ_CHECK(again == written);
        cfg_close(&second, 0, nullptr, 0);
    }
    cfg_close(&first, 0, nullptr, 0);
    return 0;
}
