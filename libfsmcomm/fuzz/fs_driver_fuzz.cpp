// Client-driver frames as they arrive: the length a header announces stays within the frame
// limits, a frame that decodes has a terminated path and a buffer within its room, and encodes
// back to the very same bytes.
#include "libfsmcomm/fs_driver.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size >= FSDRV_HEADER_SIZE) {
        const size_t announced = fsdrv_frame_length(data);
        FUZZ_CHECK(announced == 0 ||
                   (announced >= FSDRV_HEADER_SIZE && announced <= FSDRV_MAX_FRAME));
    }
    auto frame = std::make_unique<fsdrv_frame>();
    if (fsdrv_frame_decode(data, size, frame.get()) != 0)
        return 0;
    FUZZ_CHECK(fsdrv_frame_length(data) == size);
    FUZZ_CHECK(frame->buffer_size <= FSDRV_MAX_BUFFER);
    FUZZ_CHECK(strnlen(frame->path, sizeof frame->path) < sizeof frame->path);
    auto encoded = std::make_unique<uint8_t[]>(FSDRV_MAX_FRAME);
    FUZZ_CHECK(fsdrv_frame_encode(*frame, encoded.get(), FSDRV_MAX_FRAME) == size);
    FUZZ_CHECK(memcmp(encoded.get(), data, size) == 0);
    return 0;
}
