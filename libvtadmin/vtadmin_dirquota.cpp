#include "libvtadmin/vtadmin_dirquota.h"

#include "libfsmcomm/fs_driver.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/wire.h"
#include "libutil/cfg_store.h"
#include "libutil/fatal.h"
#include "libutil/install_paths.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// A caller without a message buffer gets a scratch one, so that every step can write its text.
struct message_buffer {
    char scratch[VTA_MESSAGE_SIZE];
    char *text;
    explicit message_buffer(char *msg) : text(msg != nullptr ? msg : scratch) { text[0] = '\0'; }
};

// A failure's exit: the error line with the message (when there is one) and the exit line.
int fail(int code, const char *call, const char *msg) {
    if (msg[0] != '\0')
        vta_error_message(code, call, msg);
    vta_exit_error(code, call);
    return code;
}

std::string driver_socket() {
    return std::string(config_dir()) + "/" + FSDRV_SOCKET_NAME;
}

// Opens `path` (a directory, or whatever the caller finds there) for driver requests: 0, or
// the error number.
int open_for_requests(const char *path, int extra_flags, VTA_FS_DIR *dir) {
    VTAdmin_CloseFsDirectory(dir);
    // Non-blocking, so that a FIFO or a device does not stop the console at the open.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | extra_flags);
    if (fd < 0)
        return errno;
    char absolute[PATH_MAX];
    if (realpath(path, absolute) == nullptr) {
        const int error = errno;
        close(fd);
        return error;
    }
    dir->fd = fd;
    bounded_format(dir->path, sizeof dir->path, "%s", absolute);
    return 0;
}

// One driver request on the open directory: 0 with the reply, or the error number.
int request(const VTA_FS_DIR &dir, uint32_t code, const uint8_t *buffer, uint8_t *reply) {
    return fsdrv_request(driver_socket().c_str(), code, buffer, fsdrv_request_size(code), dir.path,
                         reply);
}

std::string error_string(int code) {
    char text[VTA_MESSAGE_SIZE];
    return standard_error_text(code, text, sizeof text);
}

// The block size of the FSM's file system; 0 with `failure` in `msg` when there is none (a
// size of 0 included: amounts would vanish and the rounding divide by it).
uint32_t fs_block_size(int handle, const char *failure, char *msg) {
    VTA_FSM_STATUS status{};
    if (VTAdmin_FSMStat(handle, &status) != 0) {
        bounded_format(msg, VTA_MESSAGE_SIZE, "%s", failure);
        return 0;
    }
    if (status.block_size == 0)
        bounded_format(msg, VTA_MESSAGE_SIZE, "%s", "the file system reports a block size of 0");
    return status.block_size;
}

} // namespace

void VTAdmin_CloseFsDirectory(VTA_FS_DIR *dir) {
    if (dir->fd >= 0)
        close(dir->fd);
    dir->fd = -1;
    dir->path[0] = '\0';
}

bool vtadmin_dir_quota_name_inode(const char *name, uint64_t *inode) {
    if (name == nullptr || strncmp(name, "D:", 2) != 0)
        return false;
    const char *digits = name + 2;
    if (digits[0] == '\0' || strspn(digits, "0123456789") != strlen(digits))
        return false;
    errno = 0;
    const unsigned long long value = strtoull(digits, nullptr, 10);
    if (errno != 0 || value < 2)
        return false;
    *inode = value;
    return true;
}

int VTAdmin_FindMountPoint(const char *fsname, char *path, size_t path_size, char *msg) {
    message_buffer m(msg);
    const std::string table = std::string(config_dir()) + "/mounttab";
    cfg_store *store = nullptr;
    int rc = -1;
    if (cfg_open(table.c_str(), CFG_MODE_READ, CFG_STYLE_KEY_FIELDS, &store, nullptr, 0) == 0) {
        // Lines without a key (comments, a leading blank) are no mount entries.
        for (cfg_line *line = nullptr; cfg_next(store, &line) == CFG_OK;) {
            if (line->key == nullptr || strcmp(line->key, fsname) != 0)
                continue;
            const char *mount_point = line->fields[0] != nullptr ? line->fields[0] : line->key;
            if (strlen(mount_point) < path_size) {
                bounded_format(path, path_size, "%s", mount_point);
                rc = 0;
            }
            break;
        }
        cfg_close(&store, 0, nullptr, 0);
    }
    if (rc != 0)
        bounded_format(m.text, VTA_MESSAGE_SIZE, "could not find mount point for file system '%s'",
                       fsname);
    return rc;
}

int VTAdmin_OpenFsDirectory(const char *fsname, const char *path, uint64_t *inode, VTA_FS_DIR *dir,
                            char *msg) {
    message_buffer m(msg);
    *inode = 0;
    const int error = open_for_requests(path, 0, dir);
    if (error != 0) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Error opening directory '%s': %s", path,
                       error_string(error).c_str());
        return error;
    }
    uint8_t status[FSDRV_DIR_STATUS_SIZE] = {};
    uint8_t name[FSDRV_FS_NAME_SIZE] = {};
    char found[FSDRV_FS_NAME_SIZE] = "";
    int rc = request(*dir, FSDRV_DIR_STATUS, status, status);
    if (rc == FSDRV_NOT_ON_CLIENT) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Directory '%s' is not on a known file system.\n",
                       path);
    } else if (rc != 0) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Cannot stat directory '%s': %s", path,
                       error_string(rc).c_str());
    } else if ((get_le32(status + FSDRV_MODE_AT) & FSDRV_MODE_TYPE_MASK) != FSDRV_MODE_DIRECTORY) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "The path '%s' is not a directory", path);
        rc = -1;
    } else if ((rc = request(*dir, FSDRV_FS_NAME, name, name)) != 0) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Cannot get file system name of file '%s': %s",
                       path, error_string(rc).c_str());
    } else {
        reply_reader{name, sizeof name}.text(0, found, sizeof found);
        if (strcmp(found, fsname) != 0) {
            bounded_format(m.text, VTA_MESSAGE_SIZE,
                           "Directory '%s' is not in file system '%s' (it's in '%s')", path, fsname,
                           found);
            rc = -1;
        }
    }
    if (rc != 0) {
        VTAdmin_CloseFsDirectory(dir);
        return -1;
    }
    *inode = get_le64(status + FSDRV_INODE_AT);
    return 0;
}

int VTAdmin_DirQuotaPath2Name(const char *fsname, int kind, const char *path, char *name,
                              size_t name_size, VTA_FS_DIR *dir, char *msg) {
    static const char *const call = "DirQuotaPath2Name";
    message_buffer m(msg);
    if (name != nullptr && name_size > 0)
        name[0] = '\0';
    VTA_FS_DIR own;
    VTA_FS_DIR *opened = dir != nullptr ? dir : &own;
    VTAdmin_CloseFsDirectory(opened);
    vta_enter_args(call, "fsname=%s\n", fsname);
    char full[1024];
    if (kind == VTA_PATH_RELATIVE) {
        char mount_point[1024];
        if (VTAdmin_FindMountPoint(fsname, mount_point, sizeof mount_point, m.text) != 0) {
            bounded_format(m.text, VTA_MESSAGE_SIZE,
                           "error finding mountpoint for file system '%s'", fsname);
            return fail(-1, call, m.text);
        }
        if (bounded_format(full, sizeof full, "%s/%s", mount_point, path) >= sizeof full) {
            bounded_format(m.text, VTA_MESSAGE_SIZE, "full path too long");
            return fail(-1, call, m.text);
        }
        path = full;
    } else if (kind != VTA_PATH_ABSOLUTE) {
        return fail(-1, call, m.text);
    }
    uint64_t inode = 0;
    const int rc = VTAdmin_OpenFsDirectory(fsname, path, &inode, opened, m.text);
    if (rc != 0)
        return fail(rc, call, m.text);
    if (name != nullptr)
        bounded_format(name, name_size, "D:%" PRIu64, inode);
    if (dir == nullptr)
        VTAdmin_CloseFsDirectory(opened);
    vta_exit_ok_args(call, "fsname=%s %s -> %" PRIu64 "\n", fsname, path, inode);
    return 0;
}

int VTAdmin_DirQuotaName2Path(const char *fsname, const char *name, int kind, char *path,
                              size_t path_size, char *msg) {
    static const char *const call = "VTAdmin_DirQuotaName2Path";
    message_buffer m(msg);
    if (path_size > 0)
        path[0] = '\0';
    vta_enter_args(call, "fsname=%s\n", fsname);
    uint64_t inode = 0;
    if (!vtadmin_dir_quota_name_inode(name, &inode)) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "invalid name");
        return fail(-1, call, m.text);
    }
    if (kind != VTA_PATH_RELATIVE && kind != VTA_PATH_ABSOLUTE)
        return fail(-1, call, m.text);
    char mount_point[1024];
    if (VTAdmin_FindMountPoint(fsname, mount_point, sizeof mount_point, m.text) != 0)
        return fail(-1, call, m.text);
    VTA_FS_DIR dir;
    const int error = open_for_requests(mount_point, O_DIRECTORY, &dir);
    if (error != 0) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Error opening mount point '%s': %s", mount_point,
                       error_string(error).c_str());
        return fail(-1, call, m.text);
    }
    uint8_t buffer[FSDRV_INODE_PATH_SIZE] = {};
    put_le64(buffer + FSDRV_PATH_INODE_AT, inode);
    put_le32(buffer + FSDRV_PATH_SIZE_AT, FSDRV_PATH_OUT_SIZE);
    uint8_t answer[FSDRV_PATH_OUT_SIZE] = {};
    const int rc = request(dir, FSDRV_INODE_PATH, buffer, answer);
    VTAdmin_CloseFsDirectory(&dir);
    if (rc != 0) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "error talking to the FSM: %d", rc);
        return fail(-1, call, m.text);
    }
    char relative[FSDRV_PATH_OUT_SIZE];
    const reply_reader reply{answer, sizeof answer};
    reply.text(0, relative, sizeof relative);
    const size_t length = kind == VTA_PATH_RELATIVE
                              ? bounded_format(path, path_size, "%s", relative)
                              : bounded_format(path, path_size, "%s%s", mount_point, relative);
    if (length >= path_size) {
        if (path_size > 0)
            path[0] = '\0';
        bounded_format(m.text, VTA_MESSAGE_SIZE, "string too short to hold path");
        return fail(-1, call, m.text);
    }
    vta_exit_ok_args(call, "fsname=%s %" PRIu64 " -> %s\n", fsname, inode, path);
    return 0;
}

int MarkDestroyCreateDirQuotaNameSpace(const char *fsname, uint32_t operation, int kind,
                                       const char *path, char *msg) {
    static const char *const call = "MarkDestroyCreateDirQuotaNameSpace";
    message_buffer m(msg);
    vta_enter_args(call, "fsname=%s path=%s\n", fsname, path);
    if (!VTAdmin_IsAdmin()) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "insufficient privileges");
        return fail(VTA_EPERM, call, m.text);
    }
    VTA_FS_DIR dir;
    int rc = VTAdmin_DirQuotaPath2Name(fsname, kind, path, nullptr, 0, &dir, m.text);
    if (rc == VTA_EOF) {
        vta_exit_ok_args(call, "fsname=%s quotas disabled.\n", fsname);
        return rc;
    }
    if (rc != 0)
        return fail(rc, call, m.text);
    uint8_t buffer[FSDRV_NAME_SPACE_SIZE] = {};
    put_le32(buffer + FSDRV_NS_WORD_AT, operation);
    rc = request(dir, FSDRV_NAME_SPACE, buffer, buffer);
    VTAdmin_CloseFsDirectory(&dir);
    if (rc != 0) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Communications error with the FSM: %d", rc);
        return fail(-1, call, m.text);
    }
    const uint32_t status = get_le32(buffer + FSDRV_NS_WORD_AT);
    switch (status) {
    case FSDRV_NS_DONE:
        vta_exit_ok_args(call, "fsname=%s path=%s\n", fsname, path);
        return 0;
    case FSDRV_NS_QUOTAS_OFF:
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Quotas are disabled on this file system.");
        vta_exit_ok_args(call, "fsname=%s quotas disabled.\n", fsname);
        return VTA_EOF;
    case FSDRV_NS_EXISTS:
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Quota namespace already exists.");
        return fail(VTA_EEXIST, call, m.text);
    case FSDRV_NS_NO_SUCH:
        bounded_format(m.text, VTA_MESSAGE_SIZE, "No such namespace");
        return fail(VTA_ENOENT, call, m.text);
    case FSDRV_NS_BUSY:
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Namespace is busy");
        return fail(VTA_ERETRY, call, m.text);
    case FSDRV_NS_NO_SUPPORT:
        bounded_format(m.text, VTA_MESSAGE_SIZE,
                       "This file system does not support Directory Quotas.");
        return fail(VTA_ENOTSUP, call, m.text);
    default:
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Unexpected error from the FSM: %u", status);
        return fail(-1, call, m.text);
    }
}

int VTAdmin_DestroyDirQuotaNameSpace(const char *fsname, int kind, const char *path, char *msg) {
    return MarkDestroyCreateDirQuotaNameSpace(fsname, FSDRV_NS_DESTROY, kind, path, msg);
}

int VTAdmin_CreateDirQuotaNameSpace(const char *fsname, int kind, const char *path, char *msg) {
    return MarkDestroyCreateDirQuotaNameSpace(fsname, FSDRV_NS_CREATE, kind, path, msg);
}

int VTAdmin_ListDirQuotas(int fshandle, uint32_t type, VTA_QUOTA *record, char *msg) {
    static const char *const call = "VTAdmin_ListDirQuotas";
    message_buffer m(msg);
    vta_enter_args(call, "fshandle=%d\n", fshandle);
    if (type != VTA_QUOTA_DIR_SPACE && type != VTA_QUOTA_DIR_FILES) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "unknown quota type: %u\n", type);
        return fail(-1, call, m.text);
    }
    if (!vtadmin_fsm_handle_ok(fshandle, call)) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "invalid fshandle");
        return -1;
    }
    const uint64_t block = fs_block_size(fshandle, "error talking to the FSM", m.text);
    if (block == 0)
        return fail(-1, call, m.text);

    vtadmin_quota_answer a;
    bounded_format(a.name, sizeof a.name, "%s", record->name);
    const uint32_t code =
        type == VTA_QUOTA_DIR_SPACE ? FSM_QUOTA_NEXT_DIR_SPACE : FSM_QUOTA_NEXT_DIR_FILES;
    if (vtadmin_quota_exchange(fshandle, code, &a) != 0) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "error talking to the FSM: %d",
                       static_cast<int>(a.result));
        return fail(-1, call, m.text);
    }
    int rc = -1;
    if (a.state != FSM_QUOTA_ENABLED) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "quotas disabled");
        rc = VTA_EOF;
    } else if (a.result == FSM_QUOTA_NO_ENTRY) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "no such namespace");
        rc = VTA_EOF;
    } else if (a.result == FSM_QUOTA_NO_DIR_QUOTAS) {
        // Not the end of a list: the listing of a file system without directory quotas must
        // not look like an empty one.
        bounded_format(m.text, VTA_MESSAGE_SIZE, "no DQ support in FSM");
        return fail(VTA_ENOTSUP, call, m.text);
    } else if (a.result == FSM_QUOTA_BUSY) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "namespace is busy");
        return fail(VTA_ERETRY, call, m.text);
    } else if (a.result != FSM_QUOTA_DONE) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "error from FSM: %d", static_cast<int>(a.result));
        return fail(-1, call, m.text);
    }
    if (rc == VTA_EOF) {
        vta_exit_ok_args(call, "fshandle=%d ENOENT or quotas disabled.\n", fshandle);
        return rc;
    }
    vtadmin_quota_fill(a, type, type == VTA_QUOTA_DIR_SPACE ? block : 1, record);
    if (a.name[0] == '\0') {
        bounded_format(record->name, sizeof record->name, "%s", "????");
        return fail(-1, call, m.text);
    }
    bounded_format(record->name, sizeof record->name, "%s", a.name);
    vta_exit_ok_args(call, "fshandle=%d name=%s\n", fshandle, record->name);
    return 0;
}

int VTAdmin_SetDirQuota(int fshandle, uint32_t type, int kind, const char *path, VTA_QUOTA *record,
                        char *msg) {
    static const char *const call = "VTAdmin_SetDirQuota";
    message_buffer m(msg);
    vta_enter_args(call, "hdl=%d pth=%s(%d) typ=%u/%u Lim=%" PRId64 "/%" PRId64 "/%u\n", fshandle,
                   path, kind, type, record->type, static_cast<int64_t>(record->hard),
                   static_cast<int64_t>(record->soft), record->grace);
    if (type != VTA_QUOTA_DIR_SPACE && type != VTA_QUOTA_DIR_FILES) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Internal Error: Invalid quota type: %u\n", type);
        return fail(-1, call, m.text);
    }
    if (!vtadmin_fsm_handle_ok(fshandle, call)) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Internal Error: Invalid handle (Set Dir Quota)");
        return -1;
    }
    if (!VTAdmin_IsAdmin()) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Access denied (administrator only).");
        return fail(VTA_EPERM, call, m.text);
    }
    const uint64_t block = fs_block_size(fshandle, "Error communicating with the FSM", m.text);
    if (block == 0)
        return fail(-1, call, m.text);
    char fsname[VTA_MESSAGE_SIZE];
    vorud_slot_fsm_name(fshandle, fsname, sizeof fsname);
    vtadmin_quota_answer a;
    int rc = VTAdmin_DirQuotaPath2Name(fsname, kind, path, a.name, sizeof a.name, nullptr, m.text);
    if (rc != 0)
        return fail(rc, call, m.text);

    // Space limits go as whole blocks; counts as they are.
    const uint64_t scale = type == VTA_QUOTA_DIR_SPACE ? block : 1;
    a.hard = vtadmin_blocks_rounded_up(record->hard, scale);
    a.soft = vtadmin_blocks_rounded_up(record->soft, scale);
    a.grace = record->grace;
    if (VTAdmin_CheckQuotaLimits(a.hard * scale, a.soft * scale, a.grace, m.text,
                                 VTA_MESSAGE_SIZE) != 0)
        return fail(-1, call, m.text);
    const uint32_t code =
        type == VTA_QUOTA_DIR_SPACE ? FSM_QUOTA_SET_DIR_SPACE : FSM_QUOTA_SET_DIR_FILES;
    const std::string name = a.name;
    if (vtadmin_quota_exchange(fshandle, code, &a) != 0) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Error (%d) communicating with the FSM.",
                       static_cast<int>(a.result));
        return fail(-1, call, m.text);
    }
    if (a.state != FSM_QUOTA_ENABLED) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "Quotas are not enabled on this file system.");
        rc = VTA_ENOENT;
    } else if (a.result == FSM_QUOTA_NO_ENTRY) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "File or directory namespace not found.");
        rc = VTA_ENOENT;
    } else if (a.result == FSM_QUOTA_BUSY) {
        bounded_format(m.text, VTA_MESSAGE_SIZE, "The file system namespace is busy.");
        rc = VTA_ERETRY;
    } else if (a.result == FSM_QUOTA_NO_DIR_QUOTAS) {
        bounded_format(m.text, VTA_MESSAGE_SIZE,
                       "This file system does not support Directory Quotas.");
        rc = VTA_ENOTSUP;
    } else if (a.result != FSM_QUOTA_DONE) {
        bounded_format(m.text, VTA_MESSAGE_SIZE,
                       "Unexpected error(%d) from FSM setting file/dir quota.",
                       static_cast<int>(a.result));
        rc = -1;
    }
    if (a.state != FSM_QUOTA_ENABLED || a.result != FSM_QUOTA_DONE)
        return fail(rc, call, m.text);
    vtadmin_quota_fill(a, type, scale, record);
    bounded_format(record->name, sizeof record->name, "%s", name.c_str());
    vta_exit_ok_args(call, "fshandle=%d\n", fshandle);
    return 0;
}
