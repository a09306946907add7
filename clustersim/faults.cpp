#include "clustersim/faults.h"

#include "clustersim/frame.h"

#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>

namespace {

bool parse_number(const std::string &text, uint32_t *out) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFul)
        return false;
    *out = uint32_t(v);
    return true;
}

// Repeats `step` (a send or receive of what is left) until all of `length` went through;
// false when the peer closed or the call failed.
template <typename Byte, typename Step>
bool transfer_all(Byte *data, size_t length, Step step) {
    while (length > 0) {
        ssize_t n = step(data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

} // namespace

int fault_parse(const char *fault_text, sim_fault *fault, char *text, size_t text_size) {
    KX_ASSERT(fault_text && fault, "clustersim");
    std::string s = fault_text;
    sim_fault f;
    size_t slash = s.find('/');
    if (slash != std::string::npos) {
        uint32_t request;
        if (!parse_number(s.substr(slash + 1), &request) || request > 255) {
            bounded_format(text, text_size, "fault '%s': bad request number", fault_text);
            return -1;
        }
        f.request = int(request);
        s.resize(slash);
    }
    std::string kind = s.substr(0, s.find(':'));
    std::string args = s.size() > kind.size() ? s.substr(kind.size() + 1) : std::string();
    std::string first = args.substr(0, args.find(':'));
    std::string second = args.size() > first.size() ? args.substr(first.size() + 1) : "";
    bool ok = true;
    bool wants_value = false;
    if (kind == "none" || kind == "silent" || kind == "wrong_magic" || kind == "refuse") {
        f.kind = kind == "none"          ? SIM_FAULT_NONE
                 : kind == "silent"      ? SIM_FAULT_SILENT
                 : kind == "wrong_magic" ? SIM_FAULT_WRONG_MAGIC
                                         : SIM_FAULT_REFUSE;
        ok = args.empty();
    } else if (kind == "close_after" || kind == "oversize" || kind == "delay") {
        f.kind = kind == "close_after" ? SIM_FAULT_CLOSE_AFTER
                 : kind == "oversize"  ? SIM_FAULT_OVERSIZE
                                       : SIM_FAULT_DELAY;
        wants_value = true;
        ok = second.empty() && parse_number(first, &f.value);
    } else if (kind == "error") {
        f.kind = SIM_FAULT_ERROR;
        wants_value = true;
        uint32_t flag = 1;
        if (second.empty()) {
            ok = parse_number(first, &f.value);
        } else {
            ok = parse_number(first, &flag) && parse_number(second, &f.value) && flag >= 1 &&
                 flag <= 255;
        }
        f.flag = uint8_t(flag);
        ok = ok && f.value <= 0xFFFF;
    } else {
        bounded_format(text, text_size, "fault '%s': unknown kind '%s'", fault_text, kind.c_str());
        return -1;
    }
    if (!ok) {
        bounded_format(text, text_size, "fault '%s': %s", fault_text,
                       wants_value ? "bad or missing value" : "takes no value");
        return -1;
    }
    *fault = f;
    return 0;
}

bool fault_applies(const sim_fault &fault, int request) {
    return fault.kind != SIM_FAULT_NONE && (fault.request < 0 || fault.request == request);
}

bool sim_send_all(int socket, const uint8_t *data, size_t length) {
    return transfer_all(data, length, [socket](const uint8_t *p, size_t n) {
        return ::send(socket, p, n, MSG_NOSIGNAL);
    });
}

bool sim_recv_exact(int socket, uint8_t *data, size_t length) {
    return transfer_all(data, length,
                        [socket](uint8_t *p, size_t n) { return ::recv(socket, p, n, 0); });
}

sim_send_result fault_send(int socket, const sim_fault &fault, bool framed,
                           std::vector<uint8_t> &reply, bool (*wait_ms)(void *, uint32_t),
                           void *wait_context) {
    switch (fault.kind) {
    case SIM_FAULT_SILENT:
        return SIM_SEND_OK;
    case SIM_FAULT_CLOSE_AFTER:
        sim_send_all(socket, reply.data(), std::min<size_t>(fault.value, reply.size()));
        return SIM_SEND_CLOSE;
    case SIM_FAULT_WRONG_MAGIC:
        if (framed)
            reply[0] = 0xC1;
        else if (reply.size() == 32)
            put_be32(reply.data(), 0x61700009); // agent greeting of an unknown version
        else
            reply[0] = 0xC1;
        break;
    case SIM_FAULT_OVERSIZE:
        if (framed && fault.value > reply.size() && fault.value <= 0xFFFFFF) {
            reply.resize(fault.value, 0);
            frame_set_length(reply.data(), fault.value);
        }
        break;
    case SIM_FAULT_ERROR:
        if (reply.size() >= frame_header_size) {
            reply[11] = fault.flag;
            if (framed)
                put_be16(&reply[14], uint16_t(fault.value));
            else { // unframed name-server records carry the code least significant byte first
                reply[14] = uint8_t(fault.value);
                reply[15] = uint8_t(fault.value >> 8);
            }
        }
        break;
    case SIM_FAULT_DELAY:
        if (!wait_ms(wait_context, fault.value))
            return SIM_SEND_CLOSE;
        break;
    case SIM_FAULT_NONE:
    case SIM_FAULT_REFUSE:
        break;
    }
    return sim_send_all(socket, reply.data(), reply.size()) ? SIM_SEND_OK : SIM_SEND_CLOSE;
}
