#include "libfsmcomm/fsm_requests.h"

#include "libfsmcomm/ns_requests.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace {

// Builds an FSM request of `type` with `send_length` bytes (body zero), sends it and waits.
struct fsm_request {
    uint8_t bytes[FSM_REPLY_CAPACITY];

    explicit fsm_request(int type) {
        std::memset(bytes, 0, sizeof bytes);
        fsm_msg_init(bytes, type, 0);
    }
    int exchange(kx_socket socket, int send_length, int *error_out) {
        return fsm_send_and_wait(socket, bytes, send_length, FSM_REPLY_CAPACITY, error_out, 1);
    }
    size_t received() const {
        return std::min<size_t>(msg_header_length(bytes), FSM_REPLY_CAPACITY);
    }
};

} // namespace

void fsm_status_decode(const uint8_t *reply, fsm_status *status) {
    std::memset(status, 0, sizeof *status);
    status->capability_flags = get_be16(reply + 24);
    status->word1 = get_be16(reply + 26);
    status->stripe_groups = get_be16(reply + 28);
    status->word3 = get_be16(reply + 30);
    status->block_size = get_be32(reply + 32);
    status->word5 = get_be16(reply + 36);
    status->word6 = get_be16(reply + 38);
    status->word7 = get_be16(reply + 40);
    status->word8 = get_be16(reply + 42);
    status->word9 = get_be32(reply + 44);
    status->counter1 = get_be64(reply + 56);
    status->counter2 = get_be64(reply + 64);
    status->counter3 = get_be64(reply + 72);
    status->total_blocks = get_be64(reply + 80);
    status->free_blocks = get_be64(reply + 88);
}

void sg_status_decode(const uint8_t *reply, size_t reply_length, int type, sg_status *status) {
    std::memset(status, 0, sizeof *status);
    // Fields past the received bytes read as 0: the rest of the buffer still holds the request.
    const reply_reader r{reply, reply_length};
    // The older form lacks the reserved-blocks word; everything after it sits 8 bytes earlier.
    const bool current = type == FSM_REQ_SG_STATUS;
    const size_t shift = current ? 0 : 8;
    status->flags = r.be32(24);
    status->word = r.be32(28);
    status->total_blocks = r.be64(32);
    status->reserved_blocks = current ? r.be64(40) : 0;
    status->free_blocks = r.be64(48 - shift);
    status->counter1 = r.be64(56 - shift);
    status->counter2 = r.be64(64 - shift);
    status->counter3 = r.be64(72 - shift);
    status->disks = r.be32(80 - shift);
    status->access = r.be32(88 - shift);
    status->multipath = r.be16(92 - shift);
    status->breadth = r.be32(96 - shift);
    status->affinity_count = r.be32(100 - shift);
    status->word2 = r.be32(104 - shift);
    r.text(112 - shift, status->name, sizeof status->name);
}

void qos_status_decode(const uint8_t *reply, qos_status *status) {
    std::memset(status, 0, sizeof *status);
    status->limit_iops = get_be32(reply + 24);
    status->current_iops = get_be32(reply + 28);
    status->reserved_iops = get_be32(reply + 32);
    status->hint_iops = get_be32(reply + 40);
    status->clients_iops = get_be32(reply + 44);
    status->limit_mbps = get_be32(reply + 48);
    for (int i = 0; i < 4; ++i)
        status->words[i] = get_be32(reply + 52 + 4 * i);
}

kx_socket fsm_connect(const char *host, const char *fs_name, char *text, size_t text_size,
                      uint32_t *tap_value) {
    text[0] = '\0';
    if (fs_name == nullptr)
        return invalid_socket;
    const kx_socket ns = ns_connect(host, text, text_size);
    if (ns == invalid_socket)
        return invalid_socket;

    pm_message locate;
    int error = 0;
    int form = 0;
    for (;; ++form) {
        // A refusal overwrites the request; write the older form out in full.
        std::memset(locate.bytes, 0, sizeof locate.bytes);
        pm_set_name(&locate, fs_name);
        pm_set_command(&locate, NS_LOCATE_FORMS[form].form, NS_LOCATE_FORMS[form].command);
        if (fsm_send_and_wait(ns, locate.bytes, PM_MESSAGE_SIZE, PM_MESSAGE_SIZE, &error, 1) == 0)
            break;
        const bool refused = msg_reply_not_supported(locate.bytes);
        if (refused && form == 0)
            continue;
        if (refused) {
            bounded_format(text, text_size, "%s", "unsupported request");
        } else {
            char reason[NS_TEXT_SIZE];
            bounded_format(text, text_size, "fsmportmapper request failed: %s",
                           error_text(error, reason, sizeof reason));
        }
        close(ns);
        return invalid_socket;
    }

    const uint16_t status = get_be16(locate.bytes + PM_STATUS);
    if (status != 0) {
        if (status == 5)
            bounded_format(text, text_size,
                           "File System Manager \"%s\" on %s is in standby mode.\n", fs_name,
                           host ? host : "");
        else
            bounded_format(text, text_size,
                           "Could not find File System Manager for \"%s\" on %s.\n", fs_name,
                           host ? host : "");
        close(ns);
        return invalid_socket;
    }
    close(ns);

    const int port = get_be16(locate.bytes + PM_PORT);
    if (form == 1)
        pm_address_from_ipv4(&locate);
    const host_addr address = pm_address(&locate);

    const kx_socket socket = sock_connect_addr(&address, port, &error);
    if (socket == invalid_socket) {
        char reason[NS_TEXT_SIZE];
        bounded_format(text, text_size, "Connect to FSM failed: %s",
                       error_text(error, reason, sizeof reason));
        return invalid_socket;
    }
    uint32_t tap = 0;
    if (fsm_admin_tap(socket, &error, &tap) != 0) {
        char reason[NS_TEXT_SIZE];
        error_text(error, reason, sizeof reason);
        const bool lost = error == WSAESHUTDOWN || error == WSAECONNRESET;
        bounded_format(text, text_size, "Admin Tap Connection to FSM failed: %s%s", reason,
                       lost ? "\nFSM may have ended abnormally. Check the kxlog for details.\n"
                            : "");
        close(socket);
        return invalid_socket;
    }
    if (tap_value != nullptr)
        *tap_value = tap;
    return socket;
}

int fsm_admin_tap(kx_socket socket, int *error_out, uint32_t *tap_value) {
    fsm_request request(FSM_REQ_ADMIN_TAP);
    if (request.exchange(socket, 32, error_out) != 0)
        return -1;
    *tap_value = get_be32(request.bytes + 24);
    return 0;
}

int ns_ping(kx_socket socket, char *text, size_t text_size) {
    pm_message message = {};
    pm_set_command(&message, NS_PING_FORM.form, NS_PING_FORM.command);
    int error = 0;
    if (fsm_send_and_wait(socket, message.bytes, PM_MESSAGE_SIZE, PM_MESSAGE_SIZE, &error, 1) ==
            0 ||
        error == 1)
        return 0;
    char reason[NS_TEXT_SIZE];
    bounded_format(text, text_size, "FSM ping returned error (%d): %s", error,
                   standard_error_text(error, reason, sizeof reason));
    return error;
}

int fsm_alive(kx_socket socket) {
    fsm_status status;
    int error = 0;
    return fsm_stat(socket, &status, &error) == 0 ? 0 : error;
}

int fsm_stat(kx_socket socket, fsm_status *status, int *error_out) {
    fsm_request request(FSM_REQ_STATUS);
    if (request.exchange(socket, MSG_HEADER_SIZE, error_out) != 0)
        return -1;
    fsm_status_decode(request.bytes, status);
    return 0;
}

int fsm_sg_stat(kx_socket socket, int sg_number, uint16_t capability_flags, sg_status *status,
                int *error_out) {
    const int type =
        (capability_flags & FSM_CAP_SG_STATUS_CURRENT) ? FSM_REQ_SG_STATUS : FSM_REQ_SG_STATUS_OLD;
    fsm_request request(type);
    put_be32(request.bytes + 24, static_cast<uint32_t>(sg_number));
    if (request.exchange(socket, 32, error_out) != 0)
        return -1;
    sg_status_decode(request.bytes, request.received(), type, status);
    return 0;
}

int fsm_debug(kx_socket socket, int operation, uint32_t flags, uint32_t *current_flags, char *text,
              size_t text_size, int *error_out) {
    fsm_request request(FSM_REQ_DEBUG);
    put_be32(request.bytes + 24, static_cast<uint32_t>(operation));
    put_be32(request.bytes + 28, flags);
    if (request.exchange(socket, 32, error_out) != 0)
        return -1;
    *current_flags = get_be32(request.bytes + 24);
    if (operation == 1 && *current_flags != flags) {
        *error_out = FSM_DEBUG_NOT_SET;
        return -1;
    }
    if (text != nullptr && text_size > 0) {
        const size_t received = request.received();
        const size_t available = received > 32 ? received - 32 : 0;
        const size_t limit = std::min(available, text_size - 1);
        const void *nul = std::memchr(request.bytes + 32, 0, limit);
        const size_t n =
            nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - (request.bytes + 32))
                : limit;
        std::memcpy(text, request.bytes + 32, n);
        text[n] = '\0';
    }
    return 0;
}

int fsm_qos_stat(kx_socket socket, int sg_number, qos_status *status, int *error_out) {
    fsm_request request(FSM_REQ_QOS);
    put_be32(request.bytes + 24, static_cast<uint32_t>(sg_number));
    put_be32(request.bytes + 28, 2);
    put_be32(request.bytes + 32, 1);
    if (request.exchange(socket, 40, error_out) != 0)
        return -1;
    qos_status_decode(request.bytes, status);
    return 0;
}
