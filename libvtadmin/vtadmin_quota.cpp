#include "libvtadmin/vtadmin_quota.h"

#include "libfsmcomm/quota_requests.h"
#include "libutil/fatal.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <cinttypes>
#include <cstring>

namespace {

// What tells the user call from the group call.
struct quota_kind {
    const char *walk_call;
    const char *set_call;
    uint32_t next_operation;
    uint32_t set_operation;
    uint32_t type;
    const char *end_text;     // exit line of a walk that ends or finds quotas off
    const char *enter_format; // entry line of the set call
};

const quota_kind kUser = {"VTAdmin_ListUserQuotasWithFlags",
                          "VTAdmin_SetUserQuota",
                          FSM_QUOTA_NEXT_USER,
                          FSM_QUOTA_SET_USER,
                          VTA_QUOTA_USER,
                          "Quotas not enabled.",
                          "fshandle=%d name=%s\n"};
const quota_kind kGroup = {"VTAdmin_ListGroupQuotasWithFlags",
                           "VTAdmin_SetGroupQuota",
                           FSM_QUOTA_NEXT_GROUP,
                           FSM_QUOTA_SET_GROUP,
                           VTA_QUOTA_GROUP,
                           "ENOENT or quotas disabled.",
                           "fshandle=%d name='%s'\n"};

// The block size of the file system, the scale of every amount; 0 when it cannot be had (a
// size of 0 is refused too: the amounts would all vanish and the rounding divide by it).
uint32_t block_size(int handle, const char *call) {
    VTA_FSM_STATUS status{};
    if (VTAdmin_FSMStat(handle, &status) != 0)
        return 0;
    if (status.block_size == 0)
        vta_error_message(-1, call, "the file system reports a block size of 0");
    return status.block_size;
}

int exit_error(int code, const char *call) {
    vta_exit_error(code, call);
    return code;
}

int walk(int handle, int flags, VTA_QUOTA *record, const quota_kind &kind) {
    const char *call = kind.walk_call;
    vta_enter_args(call, "fshandle=%d\n", handle);
    if (!vtadmin_fsm_handle_ok(handle, call))
        return -1;
    const uint64_t block = block_size(handle, call);
    if (block == 0)
        return exit_error(-1, call);

    vtadmin_quota_answer a;
    bounded_format(a.name, sizeof a.name, "%s", record->name);
    // A failed exchange is an error, not the end of the list: the caller must not take a
    // broken connection for a complete listing.
    if (vtadmin_quota_exchange(handle, fsm_quota_walk_code(kind.next_operation, flags), &a) != 0)
        return exit_error(static_cast<int>(a.result), call);
    if (a.state != FSM_QUOTA_ENABLED || a.result == FSM_QUOTA_NO_ENTRY) {
        vta_exit_ok_args(call, "fshandle=%d %s\n", handle, kind.end_text);
        return VTA_EOF;
    }
    if (a.result != FSM_QUOTA_DONE)
        return exit_error(static_cast<int>(a.result), call);
    vtadmin_quota_fill(a, kind.type, block, record);
    if (a.name[0] == '\0') {
        bounded_format(record->name, sizeof record->name, "%s", "????");
        return exit_error(VTA_EINVAL, call);
    }
    bounded_format(record->name, sizeof record->name, "%s", a.name);
    vta_exit_ok_args(call, "fshandle=%d name=%s\n", handle, record->name);
    return 0;
}

int set(int handle, const char *name, VTA_QUOTA *record, const quota_kind &kind) {
    const char *call = kind.set_call;
    if (name == nullptr)
        name = "";
    vta_enter_args(call, kind.enter_format, handle, name);
    if (!vtadmin_fsm_handle_ok(handle, call))
        return -1;
    if (!VTAdmin_IsAdmin())
        return exit_error(VTA_EPERM, call);
    const uint64_t block = block_size(handle, call);
    if (block == 0)
        return exit_error(-1, call);

    vtadmin_quota_answer a;
    bounded_format(a.name, sizeof a.name, "%s", name);
    a.hard = vtadmin_blocks_rounded_up(record->hard, block);
    a.soft = vtadmin_blocks_rounded_up(record->soft, block);
    a.grace = record->grace;
    char text[VTA_MESSAGE_SIZE];
    if (VTAdmin_CheckQuotaLimits(a.hard * block, a.soft * block, a.grace, text, sizeof text) != 0) {
        vta_error_message(-1, call, text);
        return exit_error(-1, call);
    }
    if (vtadmin_quota_exchange(handle, kind.set_operation, &a) != 0)
        return exit_error(static_cast<int>(a.result), call);
    if (a.state != FSM_QUOTA_ENABLED || a.result == FSM_QUOTA_NO_SUCH_NAME)
        return exit_error(VTA_ENOENT, call);
    if (a.result != FSM_QUOTA_DONE)
        return exit_error(static_cast<int>(a.result), call);
    vtadmin_quota_fill(a, kind.type, block, record);
    bounded_format(record->name, sizeof record->name, "%s", name);
    vta_exit_ok_args(call, "fshandle=%d\n", handle);
    return 0;
}

} // namespace

int vtadmin_quota_exchange(int handle, uint32_t code, vtadmin_quota_answer *answer) {
    vtadmin_quota_answer &a = *answer;
    return vtadmin_on_slot(handle, [&](kx_socket s) {
        return fsm_quota_op(s, code, a.name, &a.hard, &a.soft, &a.grace, &a.time_remaining, &a.used,
                            &a.state, &a.result);
    });
}

void vtadmin_quota_fill(const vtadmin_quota_answer &answer, uint32_t type, uint64_t scale,
                        VTA_QUOTA *record) {
    record->type = type;
    record->used = answer.used * scale;
    record->hard = answer.hard * scale;
    record->soft = answer.soft * scale;
    record->grace = answer.grace;
    record->time_remaining = static_cast<int32_t>(answer.time_remaining);
}

uint64_t vtadmin_blocks_rounded_up(uint64_t bytes, uint64_t block) {
    return bytes / block + (bytes % block != 0 ? 1 : 0);
}

int VTAdmin_GetQuotasState(int fshandle) {
    static const char *const call = "VTAdmin_GetQuotasState";
    vta_enter_args(call, "fshandle=%d\n", fshandle);
    if (!vtadmin_fsm_handle_ok(fshandle, call))
        return -1;
    uint32_t state = 0;
    char text[VTA_MESSAGE_SIZE];
    int error = 0;
    if (vtadmin_on_slot(fshandle, [&](kx_socket s) {
            return fsm_quota_state(s, 0, 0, &state, text, sizeof text, &error);
        }) != 0)
        return exit_error(-1, call);
    const int enabled = state == FSM_QUOTA_ENABLED ? 1 : 0;
    vta_exit_ok_args(call, "fshandle=%d state=%s\n", fshandle, enabled ? "Enabled" : "Disabled");
    return enabled;
}

int VTAdmin_ListUserQuotasWithFlags(int fshandle, int flags, VTA_QUOTA *record) {
    return walk(fshandle, flags, record, kUser);
}

int VTAdmin_ListGroupQuotasWithFlags(int fshandle, int flags, VTA_QUOTA *record) {
    return walk(fshandle, flags, record, kGroup);
}

int VTAdmin_ListUserQuotas(int fshandle, VTA_QUOTA *record) {
    return VTAdmin_ListUserQuotasWithFlags(fshandle, 0, record);
}

int VTAdmin_ListGroupQuotas(int fshandle, VTA_QUOTA *record) {
    return VTAdmin_ListGroupQuotasWithFlags(fshandle, 0, record);
}

int VTAdmin_SetUserQuota(int fshandle, const char *name, VTA_QUOTA *record) {
    return set(fshandle, name, record, kUser);
}

int VTAdmin_SetGroupQuota(int fshandle, const char *name, VTA_QUOTA *record) {
    return set(fshandle, name, record, kGroup);
}

int VTAdmin_CheckQuotaLimits(uint64_t hard, uint64_t soft, uint32_t time_limit, char *msg,
                             size_t msg_size) {
    if (hard == 0 && soft == 0)
        return 0;
    const auto h = static_cast<int64_t>(hard);
    const auto s = static_cast<int64_t>(soft);
    if (hard == 0 || soft == 0) {
        bounded_format(msg, msg_size,
                       "Quota hard and soft limits must both be either zero or non-zero, HL = "
                       "%" PRId64 ", SL = %" PRId64 ".",
                       h, s);
        return -1;
    }
    if (hard < soft) {
        bounded_format(msg, msg_size,
                       "Quota hard limit is smaller than the soft limit, HL = %" PRId64
                       ", SL = %" PRId64 ".",
                       h, s);
        return -1;
    }
    if (time_limit == 0) {
        bounded_format(msg, msg_size,
                       "Quota time limit must be non-zero if the soft limit is non-zero, SL = "
                       "%" PRId64 ", TL = %u.",
                       s, time_limit);
        return -1;
    }
    return 0;
}
