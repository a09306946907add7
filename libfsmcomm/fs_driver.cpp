#include "libfsmcomm/fs_driver.h"

#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

size_t fsdrv_request_size(uint32_t code) {
    switch (code) {
    case FSDRV_DIR_STATUS:
        return FSDRV_DIR_STATUS_SIZE;
    case FSDRV_FS_NAME:
        return FSDRV_FS_NAME_SIZE;
    case FSDRV_NAME_SPACE:
        return FSDRV_NAME_SPACE_SIZE;
    case FSDRV_INODE_PATH:
        return FSDRV_INODE_PATH_SIZE;
    default:
        return 0;
    }
}

size_t fsdrv_reply_size(uint32_t code) {
    // The inode-to-path request answers with its output buffer; the others with their own.
    return code == FSDRV_INODE_PATH ? FSDRV_PATH_OUT_SIZE : fsdrv_request_size(code);
}

size_t fsdrv_frame_encode(const fsdrv_frame &frame, uint8_t *out, size_t out_size) {
    const size_t path_length = strnlen(frame.path, FSDRV_MAX_PATH);
    if (frame.buffer_size > FSDRV_MAX_BUFFER || path_length >= FSDRV_MAX_PATH)
        return 0;
    const size_t length = FSDRV_HEADER_SIZE + frame.buffer_size + path_length;
    if (length > out_size)
        return 0;
    put_be32(out, FSDRV_MAGIC);
    put_be32(out + 4, frame.word);
    put_be32(out + 8, static_cast<uint32_t>(frame.buffer_size));
    put_be32(out + 12, static_cast<uint32_t>(path_length));
    memcpy(out + FSDRV_HEADER_SIZE, frame.buffer, frame.buffer_size);
    memcpy(out + FSDRV_HEADER_SIZE + frame.buffer_size, frame.path, path_length);
    return length;
}

size_t fsdrv_frame_length(const uint8_t *header) {
    const uint32_t buffer_size = get_be32(header + 8);
    const uint32_t path_length = get_be32(header + 12);
    if (get_be32(header) != FSDRV_MAGIC || buffer_size > FSDRV_MAX_BUFFER ||
        path_length >= FSDRV_MAX_PATH)
        return 0;
    return FSDRV_HEADER_SIZE + buffer_size + path_length;
}

int fsdrv_frame_decode(const uint8_t *bytes, size_t length, fsdrv_frame *out) {
    if (length < FSDRV_HEADER_SIZE || fsdrv_frame_length(bytes) != length)
        return -1;
    out->word = get_be32(bytes + 4);
    out->buffer_size = get_be32(bytes + 8);
    const size_t path_length = get_be32(bytes + 12);
    const uint8_t *path = bytes + FSDRV_HEADER_SIZE + out->buffer_size;
    if (memchr(path, 0, path_length) != nullptr)
        return -1;
    memcpy(out->buffer, bytes + FSDRV_HEADER_SIZE, out->buffer_size);
    memcpy(out->path, path, path_length);
    out->path[path_length] = '\0';
    return 0;
}

namespace {

// A connected stream socket to the endpoint, or -1 with the error number in `*error`: no
// socket file or nobody listening means there is no driver on this machine.
int connect_endpoint(const char *socket_path, int *error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (strlen(socket_path) >= sizeof address.sun_path) {
        *error = ENAMETOOLONG;
        return -1;
    }
    strcpy(address.sun_path, socket_path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    int rc;
    do
        rc = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return fd;
    const int err = errno;
    close(fd);
    *error = err == ENOENT || err == ECONNREFUSED || err == ENOTDIR ? FSDRV_NOT_ON_CLIENT : err;
    return -1;
}

// Receives exactly `length` bytes within the reply time-out: 0, or the error value.
int receive(int fd, uint8_t *into, size_t length) {
    const int got =
        sock_recv_all_within(fd, into, static_cast<int>(length), fsm_reply_timeout_ms(1));
    if (got < 0)
        return last_system_error();
    return static_cast<size_t>(got) == length ? 0 : WSAECONNRESET;
}

int exchange(int fd, const fsdrv_frame &request, size_t reply_size, uint8_t *reply) {
    uint8_t bytes[FSDRV_MAX_FRAME];
    const size_t length = fsdrv_frame_encode(request, bytes, sizeof bytes);
    if (length == 0)
        return EINVAL;
    if (sock_send_all(fd, bytes, static_cast<int>(length)) < 0)
        return last_system_error();
    int rc = receive(fd, bytes, FSDRV_HEADER_SIZE);
    if (rc != 0)
        return rc;
    const size_t total = fsdrv_frame_length(bytes);
    if (total == 0)
        return EINVAL;
    rc = receive(fd, bytes + FSDRV_HEADER_SIZE, total - FSDRV_HEADER_SIZE);
    if (rc != 0)
        return rc;
    fsdrv_frame answer;
    if (fsdrv_frame_decode(bytes, total, &answer) != 0)
        return EINVAL;
    if (answer.word != 0)
        return static_cast<int>(answer.word);
    if (answer.buffer_size != reply_size)
        return EINVAL;
    memcpy(reply, answer.buffer, reply_size);
    return 0;
}

} // namespace

int fsdrv_request(const char *socket_path, uint32_t code, const uint8_t *buffer, size_t buffer_size,
                  const char *path, uint8_t *reply) {
    const size_t reply_size = fsdrv_reply_size(code);
    if (reply_size == 0 || buffer_size != fsdrv_request_size(code) ||
        strlen(path) >= FSDRV_MAX_PATH)
        return EINVAL;
    int error = 0;
    const int fd = connect_endpoint(socket_path, &error);
    if (fd < 0)
        return error;
    fsdrv_frame request;
    request.word = code;
    memcpy(request.buffer, buffer, buffer_size);
    request.buffer_size = buffer_size;
    strcpy(request.path, path);
    const int rc = exchange(fd, request, reply_size, reply);
    close(fd);
    return rc;
}
