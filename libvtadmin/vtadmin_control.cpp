#include "libvtadmin/vtadmin_control.h"

#include "libfsmcomm/addresses.h"
#include "libfsmcomm/ns_requests.h"
#include "libutil/fatal.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>

namespace {

const char *text_or_empty(const char *text) {
    return text ? text : "";
}

// Answer of a start/stop or activate request -> library code. -1 is a failed exchange and
// stays a failure.
int translate_answer(int answer) {
    switch (answer) {
    case -1:
        return -1;
    case 1:
        return VTA_EEXIST;
    case 2:
        return VTA_ENOENT;
    case 3:
        return VTA_ENOCONFIG;
    case 4:
        return VTA_ENOTLOCAL;
    case 6:
        return VTA_EHACONFIG;
    case 7:
        return VTA_EHABLOCKED;
    case 8:
        return VTA_ENOTAPPROVED;
    default:
        return VTA_NO_ERROR;
    }
}

enum class exchange_result { done, connect_failed, disconnect_failed };

// Opens a name-server connection to `host`, runs `request(socket)` under its slot mutex and
// closes the connection again. `message` (VTA_MESSAGE_SIZE) gets the connect's reason.
template <typename Request>
exchange_result on_host(const char *host, char *message, int *answer, Request request) {
    const int handle = VTAdmin_NSConnect(host, message);
    if (handle < 0)
        return exchange_result::connect_failed;
    vorud_slot_lock(handle);
    *answer = request(vorud_slot_socket(handle));
    vorud_slot_unlock(handle);
    return VTAdmin_NSDisconnect(handle) == 0 ? exchange_result::done
                                             : exchange_result::disconnect_failed;
}

void set_message(char *message, const char *text) {
    bounded_format(message, VTA_MESSAGE_SIZE, "%s", text);
}

// The two refusal texts of start and activate, which differ only in their final stop.
struct admin_texts {
    const char *no_privilege;
    const char *disconnect_failed;
};

// Start and activate: the handle and privilege checks, one exchange with the host's name
// server and the closing trace line. `code_of(answer)` gives the call's result from the answer.
template <typename Request, typename AnswerCode>
int admin_exchange(const char *call, int nshandle, const char *host, char *message,
                   const admin_texts &texts, Request request, AnswerCode code_of) {
    int code = -1;
    int answer = -1;
    if (VTAdmin_CheckHandle(nshandle, VTA_CONN_NS, message, VTA_MESSAGE_SIZE) != 0) {
        code = -1;
    } else if (!VTAdmin_IsAdmin()) {
        set_message(message, texts.no_privilege);
        code = VTA_EPERM;
    } else {
        switch (on_host(host, message, &answer, request)) {
        case exchange_result::connect_failed:
            code = -1;
            break;
        case exchange_result::disconnect_failed:
            set_message(message, texts.disconnect_failed);
            code = -1;
            break;
        case exchange_result::done:
            code = code_of(answer);
            break;
        }
    }
    if (code == 0) {
        vta_exit_ok_args(call, "nshandle=%d\n", nshandle);
        return 0;
    }
    vta_error_message(code, call, message);
    return code;
}

// True when the name-server connection `handle` goes to this machine (no host text means
// this machine).
bool connection_is_here(int handle) {
    VTA_CONN_INFO info;
    if (VTAdmin_NSGetConnInfo(handle, &info) != 0)
        return false;
    return info.host[0] == '\0' || names_this_machine(info.host);
}

bool same_fsm_name(const VTA_FSM_ENTRY &entry, const char *name) {
    return std::strncmp(entry.name, name, sizeof entry.name) == 0;
}

// ---- Waiting for an FSM to go away ----

// Where the wait's list requests go. With `lock_handle` set, each exchange takes that slot's
// mutex and reads its socket there; otherwise `socket` is used as it is and the caller
// answers for exclusive use.
struct poll_channel {
    int lock_handle = -1;
    kx_socket socket = invalid_socket;
};

int list_local(const poll_channel &channel, int index, pm_message *reply, char *text) {
    if (channel.lock_handle < 0)
        return ns_list_local_fsm(channel.socket, index, reply, text);
    vorud_slot_lock(channel.lock_handle);
    const int result =
        ns_list_local_fsm(vorud_slot_socket(channel.lock_handle), index, reply, text);
    vorud_slot_unlock(channel.lock_handle);
    return result;
}

constexpr int POLL_STILL_RUNNING = 1;

// One walk of the host's local list: 0 when the FSM is missing or stopped, POLL_STILL_RUNNING,
// or -1.
int poll_local_list(const poll_channel &channel, const char *fs_name, const char *host) {
    for (int index = 0; index < NS_LIST_INDEX_COUNT; ++index) {
        pm_message reply = {};
        char text[NS_TEXT_SIZE] = "";
        const int result = list_local(channel, index, &reply, text);
        if (result < 0)
            return -1;
        if (result != 0) {
            vta_info("WaitForStoppedFsm: Didn't find %s on %s Wait is over.\n", fs_name, host);
            return 0;
        }
        char found[PM_NAME_SIZE + 1];
        bounded_format(found, sizeof found, "%.256s", pm_name(&reply));
        vta_info("need=%s found=%s pid=%d on=%s\n", fs_name, found,
                 static_cast<int>(pm_get32(&reply, PM_PID)), host);
        if (std::strcmp(found, fs_name) != 0)
            continue;
        const int stopped = pm_get16(&reply, PM_RUN_STATE) == 0 ? 1 : 0;
        vta_info("WaitForStoppedFsm: Found %s at %s. stopped = %d\n", fs_name, host, stopped);
        return stopped ? 0 : POLL_STILL_RUNNING;
    }
    return -1;
}

// `caller` is the caller's name-server connection: a slot to lock per exchange
// (`lock_per_exchange`), or a socket the caller already holds exclusively. An FSM of this
// machine is looked for there only when that connection is to this machine (`caller_is_here`);
// otherwise the wait asks this machine's name server itself. `waited` is the seconds waited
// before this wait, for the progress reports.
int wait_for_stopped(const poll_channel &caller, bool lock_per_exchange, bool caller_is_here,
                     const char *fs_name, const char *host, int *remaining, int no_lock,
                     int waited) {
    if (!VTAdmin_IsReady()) {
        vta_error("VT Admin module is not initialized\n");
        return -1;
    }
    vta_info("WaitForStoppedFsm: Wait for %s on %s to go away.\n", fs_name, host);
    host_addr address;
    if (resolve_host(host, &address) != 0) {
        vta_error("WaitForStoppedFsm: GetHostByName(%s) failed: %s\n", host, strerror(errno));
        return -1;
    }

    poll_channel channel = caller;
    int own_handle = -1;
    if (is_localhost_name(host, &address) && caller_is_here) {
        vta_info("WaitForStoppedFsm: Need to find an fsm with a local IP address at %s\n", host);
    } else {
        vta_info("WaitForStoppedFsm: Need to find an fsm at %s\n", host);
        char message[VTA_MESSAGE_SIZE] = "";
        own_handle = no_lock == 1 ? VTAdmin_NSConnectNoLock(host, message)
                                  : VTAdmin_NSConnect(host, message);
        if (own_handle < 0) {
            vta_info("WaitForStoppedFsm: VTAdmin_NSConnect(%s) failed: %s\n", host, message);
            return -1;
        }
        if (lock_per_exchange)
            channel = {own_handle, invalid_socket};
        else
            channel = {-1, vorud_slot_socket(own_handle)};
    }

    int result = -1;
    for (bool first = true;; first = false) {
        if (!first) {
            if (vtadmin_wait_poll_interval(waited++) != 0) {
                result = VTA_EINTR;
                break;
            }
            --*remaining;
        }
        result = poll_local_list(channel, fs_name, host);
        if (result != POLL_STILL_RUNNING)
            break;
        if (*remaining <= 0) {
            result = VTA_ETIMEDOUT;
            break;
        }
    }
    if (own_handle >= 0 && VTAdmin_NSDisconnect(own_handle) != 0 && result == 0)
        result = -1;
    return result;
}

} // namespace

// ---- Start and activate ----

int VTAdmin_FSMStart(int nshandle, const char *fs_name, const char *host, char *message) {
    static const char *const call = "VTAdmin_FSMStart";
    vta_enter_args(call, "nshandle=%d fsname='%s' hostname=%s\n", nshandle, text_or_empty(fs_name),
                   text_or_empty(host));
    const admin_texts texts = {"Insufficient privileges", "Disconnect failed"};
    return admin_exchange(
        call, nshandle, host, message, texts,
        [&](kx_socket s) {
            pm_message request = {};
            return ns_fsm_control(s, NS_START, fs_name, &request, message);
        },
        translate_answer);
}

int VTAdmin_FSMActivate(int nshandle, const char *fs_name, const char *host, char *message) {
    static const char *const call = "VTAdmin_FSMActivate";
    vta_enter_args(call, "nshandle=%d fsname=%s hostname=%s\n", nshandle, text_or_empty(fs_name),
                   text_or_empty(host));
    const admin_texts texts = {"Insufficient privileges.", "Disconnect failed."};
    return admin_exchange(
        call, nshandle, host, message, texts,
        [&](kx_socket s) {
            pm_message request = {};
            return ns_fsm_activate(s, fs_name, &request, message);
        },
        [](int answer) {
            // An activation the name server keeps to itself did not happen: not a success.
            return answer == NS_ACTIVATE_INTERNAL_ONLY ? VTA_ENOTSUP : translate_answer(answer);
        });
}

int VTAdmin_FSMStartAndWaitOnce(int nshandle, const char *fs_name, const char *host, int timeout,
                                VTA_FSM_SEARCH *result, char *message) {
    static const char *const call = "VTAdmin_FSMStartAndWaitOnce";
    vta_enter_args(call, "nshandle=%d fsname=%s hostname=%s timeout=%d\n", nshandle,
                   text_or_empty(fs_name), text_or_empty(host), timeout);
    message[0] = '\0';
    if (VTAdmin_CheckHandle(nshandle, VTA_CONN_NS, message, VTA_MESSAGE_SIZE) != 0)
        return -1;

    int code = VTA_ETIMEDOUT;
    int answer = -1;
    if (!VTAdmin_IsAdmin()) {
        code = VTA_EPERM;
    } else if (on_host(host, message, &answer, [&](kx_socket s) {
                   pm_message request = {};
                   return ns_fsm_control(s, NS_START_ONCE, fs_name, &request, message);
               }) != exchange_result::done) {
        code = -1;
    } else if (translate_answer(answer) != 0) {
        code = translate_answer(answer);
    } else {
        // Started: it must be seen running in two searches in a row.
        bool seen_running = false;
        for (int poll = 0;; ++poll) {
            if (VTAdmin_NSFsmSearch(nshandle, fs_name, result, message) != 0) {
                seen_running = false;
            } else if (result->run_state == 2) {
                if (seen_running) {
                    code = 0;
                    break;
                }
                seen_running = true;
            }
            if (poll >= timeout)
                break;
            if (vtadmin_wait_poll_interval(poll) != 0) {
                code = VTA_EINTR;
                break;
            }
        }
        if (code != 0)
            set_message(message, VTAdmin_StrError(code));
    }
    if (code == 0) {
        vta_exit_ok_args(call, "nshandle=%d\n", nshandle);
        return 0;
    }
    vta_error_message(code, call, message);
    return code;
}

// ---- Stop ----

int StartStopFsm(const VTA_FSM_ENTRY *entry, int action, char *message, size_t message_size) {
    char host[256] = "";
    VTAdmin_AddrToString(&entry->address, host);
    vta_info("VTA StartStopFsm: h='%s' VTA action=%d\n", host, action);
    message[message_size - 1] = '\0';

    int kind;
    switch (action) {
    case VTA_ACTION_START:
        kind = NS_START;
        break;
    case VTA_ACTION_STOP:
        kind = NS_STOP;
        break;
    case VTA_ACTION_FAILOVER:
        kind = NS_STOP_FAILOVER;
        break;
    default:
        vta_error("VTA StartStopFsm: Invalid VTA action=%d\n", action);
        bounded_format(message, message_size, "Invalid FSM Action (%d)", action);
        return -1;
    }

    char reason[VTA_MESSAGE_SIZE] = "";
    const int handle = VTAdmin_NSConnect(host, reason);
    if (handle < 0) {
        vta_error("VTA StartStopFsm: Connect failed ERROR=%d\n", -handle);
        bounded_format(message, message_size, "%s", reason);
        return -1;
    }
    char name[sizeof entry->name + 1];
    bounded_format(name, sizeof name, "%.256s", entry->name);
    pm_message request = {};
    pm_set16(&request, PM_PORT, static_cast<uint16_t>(entry->port));
    vorud_slot_lock(handle);
    const int answer = ns_fsm_control(vorud_slot_socket(handle), kind, name, &request, reason);
    vorud_slot_unlock(handle);
    bounded_format(message, message_size, "%s", reason);
    if (message[message_size - 1] != '\0')
        fatal_assert("ASSERT failed ", "Errmsg[Errmsg_sz - 1] == '\\0'", 1, "vorud", __LINE__);

    const int disconnect = VTAdmin_NSDisconnect(handle);
    if (disconnect != 0) {
        vta_error("VTA StartStopFsm: Disonnect failed ERROR=%d\n", disconnect);
        bounded_format(message, message_size, "NS Disconnect failed (error %d)", disconnect);
        return -1;
    }
    vta_trace(" Exit: VTA StartStopFsm: FSM err=%d\n", answer);
    return translate_answer(answer);
}

int VTAdmin_FSMStop(int nshandle, const char *fs_name, int failover, char *message) {
    static const char *const call = "VTAdmin_FSMStop";
    vta_enter_args(call, "hndl=%d fs='%s' fail=%d\n", nshandle, text_or_empty(fs_name), failover);
    if (VTAdmin_CheckHandle(nshandle, VTA_CONN_NS, message, VTA_MESSAGE_SIZE) != 0)
        return -1;
    if (!VTAdmin_IsAdmin())
        return VTA_EPERM;
    VTA_FSM_ENTRY active;
    if (VTAdmin_NSFsmLocate(nshandle, fs_name, -1, &active) != 0)
        return VTA_ENOENT;

    char host[256] = "";
    VTAdmin_AddrToString(&active.address, host);
    int answer = -1;
    const exchange_result done = on_host(host, message, &answer, [&](kx_socket s) {
        pm_message request = {};
        pm_set16(&request, PM_PORT, static_cast<uint16_t>(active.port));
        return ns_fsm_control(s, failover == 1 ? NS_STOP_FAILOVER : NS_STOP, fs_name, &request,
                              message);
    });
    if (done != exchange_result::done)
        return -1;
    vta_trace(" Exit: %s: hndl=%d fs='%s' fail=%d FSMERR=%d\n", call, nshandle, fs_name, failover,
              answer);
    return translate_answer(answer);
}

int WaitForStoppedFsm(kx_socket ns_socket, const char *fs_name, const char *host, int *remaining,
                      int no_lock) {
    return wait_for_stopped({-1, ns_socket}, false, true, fs_name, host, remaining, no_lock, 0);
}

int VTAdmin_FSMStopAndWait(int nshandle, const char *fs_name, int timeout, char *message) {
    static const char *const call = "VTAdmin_FSMStopAndWait";
    message[0] = '\0';
    vta_enter_args(call, "nshandle=%d name=%s tmout=%d\n", nshandle, text_or_empty(fs_name),
                   timeout);
    int code = 0;
    if (VTAdmin_CheckHandle(nshandle, VTA_CONN_NS, message, VTA_MESSAGE_SIZE) != 0) {
        code = -1;
    } else if (!VTAdmin_IsAdmin()) {
        set_message(message, "Permission denied");
        code = VTA_EPERM;
    }
    if (code != 0) {
        vta_error("VTAdmin_FSMStopAndWait: ERROR=%d\n", code);
        return code;
    }

    int remaining = timeout;
    const bool caller_is_here = connection_is_here(nshandle);
    for (int pass = 0; pass < 2; ++pass) {
        const bool standbys_only = pass == 0;
        for (int ordinal = 0; ordinal < NS_LIST_INDEX_COUNT; ++ordinal) {
            VTA_FSM_ENTRY entry;
            char list_message[VTA_MESSAGE_SIZE] = "";
            const int listed = VTAdmin_NSListFsm(nshandle, ordinal, &entry, list_message);
            if (listed == VTA_EEXIST)
                continue;
            if (listed == VTA_EOF)
                break;
            if (listed != 0) {
                vta_error("VTAdmin_FSMStopAndWait: ERROR=%d\n", listed);
                return listed;
            }
            if (!same_fsm_name(entry, fs_name) || (standbys_only && entry.state == VTA_FSM_ACTIVE))
                continue;
            if (StartStopFsm(&entry, VTA_ACTION_STOP, message, VTA_MESSAGE_SIZE) != 0) {
                vta_error("VTAdmin_FSMStopAndWait: ERROR=%d\n", -1);
                return -1;
            }
            char host[256] = "";
            VTAdmin_AddrToString(&entry.address, host);
            // Lock order: con_list_lock comes before any slot mutex, and the wait may connect
            // (which takes con_list_lock) and sleeps for seconds. Holding the caller's slot
            // mutex across the whole wait would invert that order against every other thread
            // that connects. So no slot mutex is held while waiting: the wait takes the
            // caller's slot mutex only around each single list exchange on the caller's
            // socket, and opens any connection of its own with the ordinary connect, holding
            // nothing. Other threads may use the caller's connection between two polls.
            // The wait's result does not change the outcome, the stop itself was answered,
            // unless the wait was interrupted: then the stops still due are not sent.
            if (wait_for_stopped({nshandle, invalid_socket}, true, caller_is_here, fs_name, host,
                                 &remaining, 0, timeout - remaining) == VTA_EINTR) {
                set_message(message, VTAdmin_StrError(VTA_EINTR));
                vta_error("VTAdmin_FSMStopAndWait: ERROR=%d\n", VTA_EINTR);
                return VTA_EINTR;
            }
            if (remaining < 1)
                break;
        }
    }
    vta_info("VTAdmin_FSMStopAndWait: SUCCESS\n");
    return 0;
}

int VTAdmin_FSMStopByHost(int nshandle, const char *fs_name, const char *host, char *message) {
    static const char *const call = "VTAdmin_FSMStopByHost";
    message[0] = '\0';
    // Without a host name the FSM of this machine is meant.
    const char *wanted_host = host ? host : "localhost";
    vta_enter_args(call, "nshndl=%d fs='%s' host='%s'\n", nshandle, text_or_empty(fs_name),
                   wanted_host);
    if (VTAdmin_CheckHandle(nshandle, VTA_CONN_NS, message, VTA_MESSAGE_SIZE) != 0)
        return -1;
    if (!VTAdmin_IsAdmin()) {
        set_message(message, "Permission denied");
        return VTA_EPERM;
    }

    host_addr addresses[VTA_ADDR_MAXCNT + 1];
    int count = 0;
    const int lookup = host_lookup(wanted_host, AF_INET, addresses, VTA_ADDR_MAXCNT + 1, &count);
    if (lookup != 0 || count == 0) {
        vta_error("%s: ERROR %d: gethostbyname(%s)\n", call, lookup != 0 ? lookup : ENOENT,
                  wanted_host);
        set_message(message, "Unknown Host");
        return VTA_ENOENT;
    }
    vta_info("Hostent structure:\n");
    vta_info("\tHostname: %s\n", wanted_host);
    vta_info("\tType: %d\n", AF_INET);
    vta_info("\tLength: %d\n", 4);
    for (int i = 0; i < count; ++i)
        if (!host_addr_is_ipv4(&addresses[i]))
            fatal_assert("ASSERT failed ", "hostent_targ->h_length == 4", 1, "vorud", __LINE__);
    if (count > VTA_ADDR_MAXCNT) {
        vta_info("WARNING: %s reached VTA_ADDR_MAXCNT\n", wanted_host);
        count = VTA_ADDR_MAXCNT;
    }

    int code = VTA_EOF;
    for (int ordinal = 0; ordinal < NS_LIST_INDEX_COUNT && code == VTA_EOF; ++ordinal) {
        VTA_FSM_ENTRY entry;
        char list_message[VTA_MESSAGE_SIZE] = "";
        const int listed = VTAdmin_NSListFsm(nshandle, ordinal, &entry, list_message);
        if (listed == VTA_ENOENT || listed == VTA_EEXIST)
            continue;
        if (listed == VTA_EOF)
            break;
        if (listed != 0) {
            code = listed;
            break;
        }
        const bool entry_is_here =
            is_loopback_address(&entry.address) || is_local_address(&entry.address);
        char entry_text[256] = "";
        VTAdmin_AddrToString(&entry.address, entry_text);
        for (int i = 0; i < count; ++i) {
            char wanted_text[256] = "";
            VTAdmin_AddrToString(&addresses[i], wanted_text);
            vta_info("%s: Ord=%d Addr#=%d: Trg=%s@%s Cur=%.256s@%s\n", call, ordinal, i, fs_name,
                     wanted_text, entry.name, entry_text);
            if (!same_fsm_name(entry, fs_name))
                continue;
            if (!host_addr_equal(&entry.address, &addresses[i]) &&
                !(entry_is_here && is_loopback_address(&addresses[i])))
                continue;
            vta_info("VTAdmin_FSMStopByHost found it!\n");
            code = StartStopFsm(&entry, VTA_ACTION_STOP, message, VTA_MESSAGE_SIZE);
            if (code == 0) {
                vta_trace(" Exit: %s: nshndl=%d fs='%s' host='%s'\n", call, nshandle, fs_name,
                          wanted_host);
                return 0;
            }
            break;
        }
    }
    if (code == VTA_EOF) {
        vta_error("VTadmin_FSMStopByHost: ERROR: FSM not found\n");
        set_message(message, "FSM not found (incorrect name or not a backchannel IP address)");
    }
    vta_error("%s: ERROR %d: nshndl=%d fs='%s' host='%s'\n", call, code, nshandle, fs_name,
              wanted_host);
    return code;
}
