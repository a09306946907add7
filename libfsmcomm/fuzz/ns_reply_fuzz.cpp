// Name-server replies: the first byte picks the decoder and its form, the rest is the reply.
// Results stay in their tables; a disk walk never takes more entries than asked for or
// announced, and every text it hands on lies in the reply, holds no NUL and fits its field.
#include "libfsmcomm/ns_requests.h"
#include "libfsmcomm/wire.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The bytes a disk's texts may come from, and how many disks were handed on.
struct disk_check {
    const uint8_t *begin, *end;
    int taken;
};

void check_string(const disk_check &c, disk_string t, size_t kept) {
    const uint8_t *chars = reinterpret_cast<const uint8_t *>(t.chars);
    FUZZ_CHECK(t.length <= kept);
    FUZZ_CHECK(chars >= c.begin && chars + t.length <= c.end);
    FUZZ_CHECK(memchr(chars, 0, t.length) == nullptr);
}

void check_disk(void *context, int index, const disk_fields &d) {
    auto *c = static_cast<disk_check *>(context);
    FUZZ_CHECK(index == c->taken);
    ++c->taken;
    check_string(*c, d.label, DISK_STRING_KEPT);
    check_string(*c, d.serial, DISK_SERIAL_KEPT);
    check_string(*c, d.block_device, DISK_STRING_KEPT);
    check_string(*c, d.raw_device, DISK_STRING_KEPT);
    check_string(*c, d.inquiry, DISK_INQUIRY_KEPT);
    check_string(*c, d.controller, DISK_CONTROLLER_KEPT);
    check_string(*c, d.string5, DISK_STRING_KEPT);
    check_string(*c, d.string6, DISK_STRING_KEPT);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3)
        return 0;
    const int choice = data[0] % 6;
    const int form = data[1] % 3;
    const uint8_t *reply = data + 2;
    const size_t length = size - 2;
    pm_message message{};
    memcpy(message.bytes, reply, length < sizeof message.bytes ? length : sizeof message.bytes);
    char text[NS_TEXT_SIZE] = "";
    switch (choice) {
    case 0: {
        const int result = ns_list_fsm_decode(&message, form);
        FUZZ_CHECK(result == 0 || result == 2);
        if (form > 0)
            FUZZ_CHECK(pm_get16(&message, PM_ENTRY_TYPE) == PM_ENTRY_FSM);
        break;
    }
    case 1: {
        const int result = ns_list_local_decode(&message, text);
        FUZZ_CHECK(result == 0 || result == 2);
        break;
    }
    case 2: {
        const int result = ns_control_decode(&message, reply[0] % 4, form, text);
        FUZZ_CHECK(result >= 0 && result <= 8);
        break;
    }
    case 3: {
        // Its own refusals (2, 5) and those of the start/stop table.
        const int result = ns_activate_decode(&message, text);
        FUZZ_CHECK(result >= 0 && result <= 8);
        break;
    }
    case 4: {
        // A page: the reply's own bytes only, as received.
        const int count = data[1] % 64;
        const int announced = length >= 28 ? get_be16(reply + 26) : 0;
        disk_check c = {reply, reply + length, 0};
        const int taken =
            ns_disk_walk(reply, length, announced, count, check_disk, &c, text, sizeof text);
        FUZZ_CHECK(taken >= -1 && taken <= count && taken <= announced);
        FUZZ_CHECK(c.taken == (taken < 0 ? 0 : taken)); // a failed walk hands on nothing
        break;
    }
    default: {
        std::vector<uint8_t> room(NS_DISK_ROOM_OLD + 16, 0);
        memcpy(room.data(), reply, length < room.size() ? length : room.size());
        disk_check c = {room.data(), room.data() + NS_DISK_ROOM_OLD, 0};
        check_disk(&c, 0, ns_disk_decode_old(room.data()));
        break;
    }
    }
    FUZZ_CHECK(strnlen(text, sizeof text) < sizeof text);
    return 0;
}
