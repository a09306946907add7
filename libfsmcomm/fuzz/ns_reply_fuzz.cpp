// Name-server replies: the first byte picks the decoder and its form, the rest is the reply.
// Results stay in their tables; a disk walk never takes more entries than asked for or
// announced, and every text it stores is terminated within its field.
#include "libfsmcomm/ns_requests.h"
#include "libfsmcomm/wire.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void check_disk(const disk_info &d) {
    FUZZ_CHECK(strnlen(d.label, sizeof d.label) < sizeof d.label);
    FUZZ_CHECK(strnlen(d.serial, sizeof d.serial) < sizeof d.serial);
    FUZZ_CHECK(strnlen(d.block_device, sizeof d.block_device) < sizeof d.block_device);
    FUZZ_CHECK(strnlen(d.raw_device, sizeof d.raw_device) < sizeof d.raw_device);
    FUZZ_CHECK(strnlen(d.inquiry, sizeof d.inquiry) < sizeof d.inquiry);
    FUZZ_CHECK(strnlen(d.controller, sizeof d.controller) < sizeof d.controller);
    FUZZ_CHECK(strnlen(d.string5, sizeof d.string5) < sizeof d.string5);
    FUZZ_CHECK(strnlen(d.string6, sizeof d.string6) < sizeof d.string6);
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
        std::vector<disk_info> disks(static_cast<size_t>(count) + 1);
        const int taken =
            ns_disk_walk(reply, length, announced, count, disks.data(), text, sizeof text);
        FUZZ_CHECK(taken >= -1 && taken <= count && taken <= announced);
        for (int i = 0; i < taken; ++i)
            check_disk(disks[static_cast<size_t>(i)]);
        break;
    }
    default: {
        std::vector<uint8_t> room(NS_DISK_ROOM_OLD + 16, 0);
        memcpy(room.data(), reply, length < room.size() ? length : room.size());
        disk_info disk;
        ns_disk_decode_old(room.data(), &disk);
        check_disk(disk);
        break;
    }
    }
    FUZZ_CHECK(strnlen(text, sizeof text) < sizeof text);
    return 0;
}
