#include "libfsmcomm/ns_requests.h"

#include "libfsmcomm/addresses.h"
#include "libfsmcomm/auth.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

const pm_form NS_CONTROL_FORMS[4][PM_FORMS] = {
    {{8, 5}, {0, 133}, {0, 5}},   // stop
    {{8, 4}, {0, 132}, {0, 4}},   // start
    {{8, 13}, {0, 141}, {0, 13}}, // stop with fail-over
    {{8, 27}, {0, 0}, {0, 0}}};   // start once: no older form

namespace {

constexpr uint8_t LOOPBACK_IPV4[4] = {127, 0, 0, 1};

// The next request form: clears the header and the status, writes the form and command.
void prepare_form(uint8_t *m, pm_form form) {
    std::memset(m, 0, MSG_HEADER_SIZE);
    m[PM_FORM] = form.form;
    m[PM_COMMAND] = form.command;
    put_be16(m + PM_STATUS, 0);
}

enum send_result { SENT = 0, FAILED = -1, ALL_REFUSED = -2 };

// Sends the forms of a request newest first while the name server answers "not supported".
// `before_send(form_index)` adds what an older form needs. Returns the index of the form that
// was answered, FAILED with `*error` set, or ALL_REFUSED.
template <typename BeforeSend>
int send_forms(kx_socket socket, uint8_t *m, const pm_form *forms, int form_count, int send_length,
               int capacity, int *error, BeforeSend before_send) {
    for (int i = 0; i < form_count && forms[i].command != 0; ++i) {
        prepare_form(m, forms[i]);
        before_send(i);
        if (fsm_send_and_wait(socket, m, send_length, capacity, error, 1) == 0)
            return i;
        if (!msg_reply_not_supported(m))
            return FAILED;
    }
    return ALL_REFUSED;
}

// The start/stop status table: the result code, with its text in `text`.
int control_status(uint16_t status, int kind, char *text) {
    int result = 0;
    const char *status_text = "Success";
    switch (status) {
    case 1:
        result = 2, status_text = "No FSM found";
        break;
    case 2:
        result = 1;
        status_text = kind == NS_START ? "FSM is already running" : "FSM already exists";
        break;
    case 3:
        result = 3, status_text = "FSM not configured";
        break;
    case 4:
        result = 4, status_text = "FSM not local";
        break;
    case 10:
        result = 7, status_text = "FSM cannot start on non-Primary server";
        break;
    case 11:
        result = 6, status_text = "HA timers mis-configured";
        break;
    case 13:
        result = 8, status_text = "Cannot start non-approved daemons";
        break;
    default:
        break;
    }
    bounded_format(text, NS_TEXT_SIZE, "%s", status_text);
    return result;
}

// The text at `from`: up to its terminator, at most `kept` characters.
disk_string kept_string(const uint8_t *from, size_t kept) {
    const char *chars = reinterpret_cast<const char *>(from);
    return {chars, strnlen(chars, kept)};
}

// Every entry a walk takes must hold its fixed fields and end within the reply; checked for
// all of them before the first is handed on, so a bad reply hands on nothing.
int check_disk_entries(const uint8_t *reply, size_t reply_length, int wanted, char *text,
                       size_t text_size) {
    size_t at = PM_NAME;
    for (int i = 0; i < wanted; ++i) {
        if (at + DISK_ENTRY_HEADER > reply_length) {
            bounded_format(text, text_size, "VORUD disk entry %d lies past the reply", i);
            return -1;
        }
        const uint32_t length = get_be32(reply + at);
        if (length < DISK_ENTRY_HEADER || length > reply_length - at) {
            bounded_format(text, text_size, "VORUD disk entry %d has a bad length (%u)", i, length);
            return -1;
        }
        at += length;
    }
    return 0;
}

} // namespace

uint16_t pm_get16(const pm_message *message, int offset) {
    uint16_t value;
    std::memcpy(&value, message->bytes + offset, sizeof value);
    return value;
}

uint32_t pm_get32(const pm_message *message, int offset) {
    uint32_t value;
    std::memcpy(&value, message->bytes + offset, sizeof value);
    return value;
}

void pm_set16(pm_message *message, int offset, uint16_t value) {
    std::memcpy(message->bytes + offset, &value, sizeof value);
}

void pm_set32(pm_message *message, int offset, uint32_t value) {
    std::memcpy(message->bytes + offset, &value, sizeof value);
}

void pm_to_host16(pm_message *message, int offset) {
    pm_set16(message, offset, get_be16(message->bytes + offset));
}

void pm_to_host32(pm_message *message, int offset) {
    pm_set32(message, offset, get_be32(message->bytes + offset));
}

void pm_set_command(pm_message *message, uint8_t form, uint8_t command) {
    message->bytes[PM_FORM] = form;
    message->bytes[PM_COMMAND] = command;
}

void pm_set_name(pm_message *message, const char *name) {
    char *out = reinterpret_cast<char *>(message->bytes + PM_NAME);
    std::memset(out, 0, PM_NAME_SIZE);
    if (name != nullptr)
        bounded_format(out, PM_NAME_SIZE, "%s", name);
}

const char *pm_name(const pm_message *message) {
    return reinterpret_cast<const char *>(message->bytes + PM_NAME);
}

host_addr pm_address(const pm_message *message) {
    host_addr address;
    std::memcpy(address.bytes, message->bytes + PM_ADDRESS, sizeof address.bytes);
    return address;
}

void pm_address_from_ipv4(pm_message *message) {
    host_addr address;
    host_addr_set_ipv4(&address, message->bytes + PM_IPV4);
    std::memcpy(message->bytes + PM_ADDRESS, address.bytes, sizeof address.bytes);
}

// ---- Disk list decoding ----

int ns_disk_walk(const uint8_t *reply, size_t reply_length, int announced, int count,
                 disk_sink sink, void *context, char *text, size_t text_size) {
    const int wanted = std::min(announced, count);
    if (check_disk_entries(reply, reply_length, wanted, text, text_size) != 0)
        return -1;
    size_t at = PM_NAME;
    int taken = 0;
    for (; taken < wanted; ++taken) {
        const uint8_t *e = reply + at;
        const uint32_t length = get_be32(e);
        disk_fields d;
        d.word_a = get_be32(e + 4);
        d.word_b = get_be32(e + 8);
        d.state = get_be32(e + 12);
        d.size = get_be64(e + 16);
        d.word_c = get_be32(e + 24);
        d.word_d = get_be32(e + 28);
        d.hba_id = e[32];
        d.lun_id = e[33];
        d.byte_e = e[34];
        d.word_f = get_be32(e + 36);

        struct field {
            disk_string *text;
            size_t kept;
        };
        const field strings[8] = {
            {&d.label, DISK_STRING_KEPT},        {&d.serial, DISK_SERIAL_KEPT},
            {&d.block_device, DISK_STRING_KEPT}, {&d.raw_device, DISK_STRING_KEPT},
            {&d.string5, DISK_STRING_KEPT},      {&d.string6, DISK_STRING_KEPT},
            {&d.inquiry, DISK_INQUIRY_KEPT},     {&d.controller, DISK_CONTROLLER_KEPT}};
        // Strings never reach past their own entry; a missing terminator ends them there. A cut
        // string is followed to its own terminator.
        size_t s = DISK_ENTRY_HEADER;
        for (const field &f : strings) {
            const size_t available = length - s;
            const void *nul = std::memchr(e + s, 0, available);
            const size_t full =
                nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - (e + s)) : available;
            *f.text = {reinterpret_cast<const char *>(e + s), std::min(full, f.kept)};
            s = nul ? s + full + 1 : length;
        }
        sink(context, taken, d);
        at += length;
    }
    return taken;
}

disk_fields ns_disk_decode_old(const uint8_t *reply) {
    disk_fields d;
    d.word_a = get_be32(reply + 1024);
    d.word_b = get_be32(reply + 1028);
    d.size = get_be64(reply + 1032);
    d.word_c = get_be32(reply + 1040);
    d.word_d = get_be32(reply + 1044);
    d.state = get_be32(reply + 1976);
    d.word_f = get_be32(reply + 1984);
    d.hba_id = reply[1980];
    d.lun_id = reply[1981];
    d.byte_e = 0;
    d.label = kept_string(reply + 1048, DISK_STRING_KEPT);
    d.inquiry = kept_string(reply + 1304, DISK_INQUIRY_KEPT);
    d.controller = kept_string(reply + 1336, DISK_CONTROLLER_KEPT);
    d.serial = kept_string(reply + 1400, DISK_SERIAL_KEPT);
    d.block_device = kept_string(reply + 1464, DISK_STRING_KEPT);
    d.raw_device = kept_string(reply + 1720, DISK_STRING_KEPT);
    d.string5 = d.string6 = {reinterpret_cast<const char *>(reply + 1048), 0};
    return d;
}

// ---- Fixed-size reply decoders ----

int ns_list_fsm_decode(pm_message *message, int form_index) {
    // The older form carries the address in its wire bytes; take them before conversion.
    if (form_index == 2)
        pm_address_from_ipv4(message);
    for (int offset : {PM_ENTRY_TYPE, PM_PORT, PM_STATUS, PM_STATE})
        pm_to_host16(message, offset);
    pm_to_host32(message, PM_IPV4);
    pm_to_host32(message, PM_PID);
    if (form_index > 0)
        pm_set16(message, PM_ENTRY_TYPE, PM_ENTRY_FSM);
    return pm_get16(message, PM_STATUS) != 0 ? 2 : 0;
}

int ns_list_local_decode(pm_message *message, char *text) {
    for (int offset : {PM_ENTRY_TYPE, PM_PORT, PM_STATUS, PM_STATE, PM_RUN_STATE, PM_LOCAL_W314,
                       PM_LOCAL_W320, PM_LOCAL_W340})
        pm_to_host16(message, offset);
    for (int offset : {PM_PID, PM_LOCAL_W316, PM_LOCAL_W324, PM_LOCAL_W328, PM_LOCAL_W332,
                       PM_LOCAL_W336, PM_LOCAL_W344})
        pm_to_host32(message, offset);
    if (pm_get16(message, PM_STATUS) != 0) {
        bounded_format(text, NS_TEXT_SIZE, "%s", "VORUD List Local Fsm: End of File");
        return 2;
    }
    text[0] = '\0';
    return 0;
}

int ns_control_decode(pm_message *message, int kind, int form_index, char *text) {
    for (int offset : {PM_ENTRY_TYPE, PM_PORT, PM_STATUS, PM_STATE})
        pm_to_host16(message, offset);
    pm_to_host32(message, PM_PID);
    if (form_index < 2) {
        pm_address_from_ipv4(message);
        std::memset(message->bytes + PM_IPV4, 0, 4);
    }
    return control_status(pm_get16(message, PM_STATUS), kind, text);
}

int ns_activate_decode(pm_message *message, char *text) {
    for (int offset : {PM_ENTRY_TYPE, PM_PORT, PM_STATUS, PM_STATE})
        pm_to_host16(message, offset);
    pm_to_host32(message, PM_PID);
    const uint16_t status = pm_get16(message, PM_STATUS);
    if (status == 1) {
        bounded_format(text, NS_TEXT_SIZE, "%s", "FSM Not found");
        return 2;
    }
    if (status == 6) {
        bounded_format(text, NS_TEXT_SIZE, "%s", "Internal use only");
        return NS_ACTIVATE_INTERNAL_ONLY;
    }
    // A status of the start/stop table ("FSM not local", ...) refuses with that table's result
    // and text; any other means the FSM was activated.
    const int result = control_status(status, NS_STOP, text);
    if (result == 0)
        bounded_format(text, NS_TEXT_SIZE, "%s", "FSM Activated");
    return result;
}

int ns_unframed_not_supported(const pm_message *message) {
    return message->bytes[11] == 255 && message->bytes[14] == 1 && message->bytes[15] == 0;
}

// ---- Requests ----

kx_socket ns_connect(const char *host, char *text, size_t text_size) {
    text[0] = '\0';
    host_addr address;
    if (host != nullptr && host[0] != '\0') {
        if (resolve_host(host, &address) != 0) {
            char reason[128];
            bounded_format(text, text_size, "%s - %s", "Cannot get host by name",
                           standard_error_text(errno, reason, sizeof reason));
            return invalid_socket;
        }
        local_to_loopback(&address);
    } else {
        set_loopback(&address);
    }

    const int port = service_port_lookup(&address, NAME_SERVER_SERVICE_TAG,
                                         NAME_SERVER_SERVICE_NUMBER, NAME_SERVER_SERVICE_VERSION);
    if (port == 0) {
        char address_text[64];
        bounded_format(text, text_size, "The File System Services on %s may be stopped.",
                       addr_to_string(&address, address_text, sizeof address_text));
        return invalid_socket;
    }

    int error = 0;
    const kx_socket socket = sock_connect_addr(&address, port, &error);
    if (socket == invalid_socket) {
        char reason[NS_TEXT_SIZE];
        bounded_format(text, text_size, "Cannot open socket: %s",
                       error_text(error, reason, sizeof reason));
        return invalid_socket;
    }
    set_last_system_error(0);
    if (network_auth_enabled && auth_negotiate(socket) < 1) {
        // A name server that never answers is told apart from a refused exchange.
        char reason[NS_TEXT_SIZE];
        if (last_system_error() == WSAETIMEDOUT)
            bounded_format(text, text_size, "%s - %s", "Authentication Failed",
                           last_error_text(reason, sizeof reason));
        else
            bounded_format(text, text_size, "%s", "Authentication Failed");
        close(socket);
        return invalid_socket;
    }
    return socket;
}

int ns_list_fsm(kx_socket socket, int ordinal, pm_message *message, char *text) {
    uint8_t *m = message->bytes;
    text[0] = '\0';
    int error = 0;
    const int form = send_forms(socket, m, NS_LIST_FORMS, PM_FORMS, PM_MESSAGE_SIZE,
                                PM_MESSAGE_SIZE, &error, [&](int) {
                                    std::memset(m + PM_PORT, 0, 4);
                                    put_be16(m + PM_INDEX, static_cast<uint16_t>(ordinal));
                                    std::memset(m + PM_IPV4, 0, 8);
                                    std::memset(m + PM_ADDRESS, 0, sizeof(host_addr));
                                    m[PM_NAME] = 0;
                                });
    if (form == ALL_REFUSED) {
        bounded_format(text, NS_TEXT_SIZE, "%s", "unsupported message");
        return -22;
    }
    if (form == FAILED) {
        if (error == WSAETIMEDOUT)
            bounded_format(text, NS_TEXT_SIZE, "%s", "Timeout communicating with Name Server");
        else
            error_text(error, text, NS_TEXT_SIZE);
        // An error flag without a code still has to read as a failure.
        return error > 0 ? -error : (error < 0 ? error : -1);
    }
    return ns_list_fsm_decode(message, form);
}

int ns_list_local_fsm(kx_socket socket, int index, pm_message *message, char *text) {
    uint8_t *m = message->bytes;
    text[0] = '\0';
    prepare_form(m, NS_LIST_LOCAL_FORM);
    std::memset(m + PM_PORT, 0, 4);
    std::memset(m + PM_IPV4, 0, 8);
    std::memset(m + PM_ADDRESS, 0, sizeof(host_addr));
    put_be16(m + PM_INDEX, static_cast<uint16_t>(index < 0 ? 0 : index));
    if (index >= 0)
        m[PM_NAME] = 0;
    int error = 0;
    if (fsm_send_and_wait(socket, m, PM_MESSAGE_SIZE, PM_MESSAGE_SIZE, &error, 1) != 0) {
        if (msg_reply_not_supported(m))
            bounded_format(text, NS_TEXT_SIZE, "%s", "unsupported message");
        else
            error_text(error, text, NS_TEXT_SIZE);
        return -1;
    }
    return ns_list_local_decode(message, text);
}

int ns_find_fsm(kx_socket socket, const char *name, pm_message *message) {
    if (name == nullptr || name[0] == '\0')
        return 0;
    char text[NS_TEXT_SIZE];
    pm_set_name(message, name);
    const int by_name = ns_list_local_fsm(socket, -1, message, text);
    if (by_name < 0)
        return 0;
    if (by_name == 0 && std::strncmp(pm_name(message), name, PM_NAME_SIZE) == 0)
        return 1;
    const int limit = ns_list_walk_limit();
    for (int index = 0; index < limit; ++index) {
        if (ns_list_local_fsm(socket, index, message, text) != 0)
            return 0;
        if (std::strncmp(pm_name(message), name, PM_NAME_SIZE) == 0)
            return 1;
    }
    return -1;
}

int ns_list_walk_limit() {
    return static_cast<int>(std::min<uint32_t>(NS_LIST_INDEX_COUNT, list_walk_limit()));
}

int ns_get_disks(kx_socket socket, int first, int count, disk_sink sink, void *context,
                 uint32_t *checksum, char *text) {
    text[0] = '\0';
    uint8_t m[NS_DISK_ROOM_NEW + 16];
    for (int form = 0; form < PM_FORMS; ++form) {
        const int room = form < 2 ? NS_DISK_ROOM_NEW : NS_DISK_ROOM_OLD;
        const int capacity = room + 16;
        // The newer forms read no reply byte past what arrived, so clearing the request is
        // enough; the third form's disk sits at fixed offsets whatever arrived.
        std::memset(m, 0, static_cast<size_t>(form < 2 ? PM_MESSAGE_SIZE : room));
        m[PM_FORM] = NS_DISK_FORMS[form].form;
        m[PM_COMMAND] = NS_DISK_FORMS[form].command;
        if (form < 2) {
            put_be16(m + PM_PORT, static_cast<uint16_t>(room - PM_NAME));
            put_be32(m + PM_PID, static_cast<uint32_t>(count));
        }
        put_be16(m + PM_INDEX, static_cast<uint16_t>(first));

        int error = 0;
        if (fsm_send_and_wait(socket, m, PM_MESSAGE_SIZE, capacity, &error, 1) != 0) {
            if (msg_reply_not_supported(m))
                continue;
            errno = error;
            set_last_system_error(errno_to_win32(error));
            standard_error_text(error, text, NS_TEXT_SIZE);
            return -1;
        }
        const uint16_t status = get_be16(m + PM_STATUS);
        if (status != 0) {
            bounded_format(text, NS_TEXT_SIZE, "VORUD returned status=%d", status);
            return 0;
        }
        if (form == 2) {
            if (checksum != nullptr)
                *checksum = 0;
            sink(context, 0, ns_disk_decode_old(m));
            return 1;
        }
        const uint32_t reply_checksum = get_be32(m + PM_IPV4);
        if (first == 0) {
            if (checksum != nullptr)
                *checksum = reply_checksum;
        } else if (checksum != nullptr && *checksum != reply_checksum) {
            const uint32_t wanted = *checksum;
            *checksum = reply_checksum;
            bounded_format(text, NS_TEXT_SIZE, "VORUD checksum mismatch: Wanted=%d Got=%d",
                           static_cast<int>(wanted), static_cast<int>(reply_checksum));
            return -2;
        }
        const size_t received =
            std::min<size_t>(msg_header_length(m), static_cast<size_t>(capacity));
        return ns_disk_walk(m, received, get_be16(m + PM_PORT), count, sink, context, text,
                            NS_TEXT_SIZE);
    }
    bounded_format(text, NS_TEXT_SIZE, "%s", "message not supported");
    return -1;
}

int ns_fsm_control(kx_socket socket, int kind, const char *name, pm_message *message, char *text) {
    KX_ASSERT(kind >= NS_STOP && kind <= NS_START_ONCE, "fsmcomm");
    uint8_t *m = message->bytes;
    text[0] = '\0';
    const uint16_t port = pm_get16(message, PM_PORT);
    host_addr loopback;
    host_addr_set_ipv4(&loopback, LOOPBACK_IPV4);
    int error = 0;
    // A refusal overwrites the request, so every form is written out in full.
    const int form = send_forms(socket, m, NS_CONTROL_FORMS[kind], PM_FORMS, PM_MESSAGE_SIZE,
                                PM_MESSAGE_SIZE, &error, [&](int form_index) {
                                    pm_set_name(message, name);
                                    put_be16(m + PM_PORT, port);
                                    std::memset(m + PM_STATUS, 0, 4);
                                    std::memset(m + PM_IPV4, 0, 8);
                                    if (form_index > 0)
                                        std::memcpy(m + PM_IPV4, LOOPBACK_IPV4, 4);
                                    std::memcpy(m + PM_ADDRESS, loopback.bytes, 16);
                                });
    if (form == ALL_REFUSED) {
        bounded_format(text, NS_TEXT_SIZE, "%s", "unsupported message");
        return -1;
    }
    if (form == FAILED) {
        error_text(error, text, NS_TEXT_SIZE);
        return -1;
    }
    return ns_control_decode(message, kind, form, text);
}

int ns_fsm_activate(kx_socket socket, const char *name, pm_message *message, char *text) {
    uint8_t *m = message->bytes;
    text[0] = '\0';
    for (int form = 0; form < 2; ++form) {
        std::memset(m, 0, MSG_HEADER_SIZE); // unframed: no magic, no length
        pm_set_name(message, name);
        m[PM_FORM] = NS_ACTIVATE_FORMS[form].form;
        m[PM_COMMAND] = NS_ACTIVATE_FORMS[form].command;
        std::memset(m + PM_PORT, 0, 6);
        std::memset(m + PM_PID, 0, 4);
        std::memset(m + PM_ADDRESS, 0, sizeof(host_addr));

        const ssize_t sent = send(socket, m, PM_MESSAGE_SIZE, MSG_NOSIGNAL);
        if (sent < 0) {
            save_socket_error();
            last_error_text(text, NS_TEXT_SIZE);
            return -1;
        }
        if (sent < PM_MESSAGE_SIZE) {
            bounded_format(text, NS_TEXT_SIZE, "%s", "Unexpected short write");
            return -1;
        }
        // Unframed, so fsm_send_and_wait cannot carry it; a silent name server must still end
        // in the reply time-out.
        const int received =
            sock_recv_all_within(socket, m, PM_MESSAGE_SIZE, fsm_reply_timeout_ms(1));
        if (received < 0) {
            last_error_text(text, NS_TEXT_SIZE);
            return -1;
        }
        if (received < PM_MESSAGE_SIZE) {
            bounded_format(text, NS_TEXT_SIZE, "%s", "Connection reset");
            return -1;
        }
        if (!ns_unframed_not_supported(message))
            return ns_activate_decode(message, text);
    }
    // Refused in both forms: nothing was activated.
    bounded_format(text, NS_TEXT_SIZE, "%s", "unsupported message");
    return -1;
}
