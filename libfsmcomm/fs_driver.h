// Requests to the file-system client driver: the status of an open directory (mode and inode
// number), the name of the file system it is on, marking a directory's quota name space for
// creation or destruction, and the path of an inode number.
//
// On Linux the driver is a local endpoint, the Unix-domain socket FSDRV_SOCKET_NAME in the
// configuration directory. The client opens the directory itself and sends the request code,
// the request's buffer and the directory's absolute path; the endpoint answers an error number
// and the reply buffer. Buffer fields are little-endian, as the driver lays them out.
//
// Framing, both ways: a 16-byte header (FSDRV_MAGIC, a word, the buffer length, the path
// length; big-endian), then the buffer, then the path without its terminator. In a request the
// word is the request code; in a reply it is the error number (0 = done) and the path is empty.
// Frames are built and decoded by functions over byte buffers, apart from the socket.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char *FSDRV_SOCKET_NAME = "kxfsdrv.sock";

// Request codes.
constexpr uint32_t FSDRV_DIR_STATUS = 0x800A0020;
constexpr uint32_t FSDRV_FS_NAME = 0x800D0088;
constexpr uint32_t FSDRV_NAME_SPACE = 0x800E011C;
constexpr uint32_t FSDRV_INODE_PATH = 0x800E0120;

// Request buffer sizes.
constexpr size_t FSDRV_DIR_STATUS_SIZE = 64;
constexpr size_t FSDRV_FS_NAME_SIZE = 255;
constexpr size_t FSDRV_NAME_SPACE_SIZE = 40;
constexpr size_t FSDRV_INODE_PATH_SIZE = 32;
// The inode-to-path request's output buffer: what its reply carries.
constexpr size_t FSDRV_PATH_OUT_SIZE = 1024;

// Directory status buffer: 32-bit mode at 4, 64-bit inode number at 8.
constexpr size_t FSDRV_MODE_AT = 4;
constexpr size_t FSDRV_INODE_AT = 8;
constexpr uint32_t FSDRV_MODE_TYPE_MASK = 0xF000;
constexpr uint32_t FSDRV_MODE_DIRECTORY = 0x4000;

// Name-space buffer: in, the 32-bit operation at 0; out, the 32-bit status at 0.
constexpr size_t FSDRV_NS_WORD_AT = 0;
enum : uint32_t { FSDRV_NS_DESTROY = 2, FSDRV_NS_CREATE = 3 };
// Statuses of the name-space request; other values are unexpected errors.
enum : uint32_t {
    FSDRV_NS_DONE = 0,
    FSDRV_NS_NO_SUCH = 2,
    FSDRV_NS_NO_SUPPORT = 5, // the file system has no directory quotas
    FSDRV_NS_BUSY = 6,
    FSDRV_NS_EXISTS = 7,
    FSDRV_NS_QUOTAS_OFF = 14,
};

// Inode-to-path buffer: 64-bit 0 at 0, the inode number at 8, the output buffer's address at
// 16 (meaningless over the socket: the output comes back as the reply) and its size at 24.
constexpr size_t FSDRV_PATH_INODE_AT = 8;
constexpr size_t FSDRV_PATH_SIZE_AT = 24;

// Error number of every request made on a path that no file system of this client holds, and
// of every request when there is no driver endpoint.
constexpr int FSDRV_NOT_ON_CLIENT = 25;

// ---- Frames (byte buffers only) ----

constexpr uint32_t FSDRV_MAGIC = 0x4B584644; // "KXFD"
constexpr size_t FSDRV_HEADER_SIZE = 16;
constexpr size_t FSDRV_MAX_BUFFER = 1024;
constexpr size_t FSDRV_MAX_PATH = 4096; // terminator included
constexpr size_t FSDRV_MAX_FRAME = FSDRV_HEADER_SIZE + FSDRV_MAX_BUFFER + FSDRV_MAX_PATH - 1;

struct fsdrv_frame {
    uint32_t word; // request code, or the reply's error number
    uint8_t buffer[FSDRV_MAX_BUFFER];
    size_t buffer_size;
    char path[FSDRV_MAX_PATH]; // always terminated; empty in replies
};

// The sizes of the request buffer and of the reply buffer of a request code; 0 for an unknown
// code.
size_t fsdrv_request_size(uint32_t code);
size_t fsdrv_reply_size(uint32_t code);

// Writes the frame into `out`; its length, or 0 when it does not fit `out_size` or its buffer
// or path exceed the limits above.
size_t fsdrv_frame_encode(const fsdrv_frame &frame, uint8_t *out, size_t out_size);

// The total length a 16-byte header announces; 0 for a bad magic or lengths past the limits.
size_t fsdrv_frame_length(const uint8_t *header);

// Decodes a whole frame of `length` bytes. 0, or -1 when the header is bad, the length is not
// the announced one, or the path holds a NUL.
int fsdrv_frame_decode(const uint8_t *bytes, size_t length, fsdrv_frame *out);

// ---- The exchange ----

// Sends one request (`buffer_size` must be fsdrv_request_size(code)) over the endpoint at
// `socket_path` and waits for its reply within the reply time-out (TIMEDWAIT_VALUE). Returns 0
// with the reply buffer in `reply` (exactly fsdrv_reply_size(code) bytes); the driver's error
// number; FSDRV_NOT_ON_CLIENT when there is no endpoint (no socket, nobody listening); 22 for
// a bad request or a malformed reply; or the transport error value of a failed exchange
// (10060 no reply in time, 10054 a reply cut short, ...).
int fsdrv_request(const char *socket_path, uint32_t code, const uint8_t *buffer, size_t buffer_size,
                  const char *path, uint8_t *reply);
