// The records of a configuration store as a rewrite keeps them, for comparing what was read
// with what a rewrite reads back (the cfg_text fuzz target and the store's tests): each
// comment as an item of its own, then per record its marker, key and fields (only the first
// field in key=value style), parts set apart by the unit separator 0x1F.
#pragma once

#include "libutil/cfg_store.h"
#include "libutil/fuzz/fuzz_check.h"

#include <string>
#include <vector>

inline std::vector<std::string> cfg_written_form(const cfg_store *store, uint32_t style) {
    std::vector<std::string> items;
    for (cfg_line *rec = nullptr; cfg_next(store, &rec) == CFG_OK;) {
        FUZZ_CHECK(rec->field_count >= 0 && rec->field_count <= CFG_MAX_FIELDS);
        FUZZ_CHECK(rec->fields[rec->field_count] == nullptr);
        if (rec->comment != nullptr)
            items.push_back(std::string("comment ") + rec->comment);
        if (rec->key == nullptr && rec->field_count == 0)
            continue;
        std::string item = rec->marked ? "marked " : "";
        item += rec->key != nullptr ? "key " + std::string(rec->key) : "no key";
        const int kept =
            style == CFG_STYLE_KEY_VALUE && rec->field_count > 1 ? 1 : rec->field_count;
        for (int i = 0; i < kept; ++i)
            item += std::string("\x1f") + rec->fields[i];
        items.push_back(item);
    }
    return items;
}
