// Admin API library lifecycle: one-time initialisation, the ready and administrator flags,
// the library's log (module 3, "vtadmin API"), the error-code texts and two small formatters.
// Calls are traced through vtadmin_trace.h; the connection table lives in vorud.h.
#pragma once

#include "libfsmcomm/fsmcomm.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

// Library result codes with a text of their own (VTAdmin_StrError).
enum vtadmin_code {
    VTA_NO_ERROR = 0,      // "No Error."
    VTA_EPERM = 1,         // "Permission denied."
    VTA_ENOENT = 2,        // "Entry not found."
    VTA_EEXIST = 3,        // "Object already exists."
    VTA_ENOCONFIG = 4,     // "No configuration."
    VTA_ENOTLOCAL = 5,     // "Object is not local."
    VTA_EOF = 6,           // "End of file/list."
    VTA_ERETRY = 7,        // "Retry from start."
    VTA_ETIMEDOUT = 8,     // "A timeout occured."
    VTA_EINTR = 9,         // "The operation was interrupted."
    VTA_EHABLOCKED = 10,   // "Blocked by HA operation."
    VTA_EHACONFIG = 11,    // "Blocaked by HA mis-configuration."
    VTA_ENOTAPPROVED = 12, // "Non-approved daemon."
    VTA_EINVAL = 22,       // library not ready, bad argument
    VTA_ETOOMANY = 23,     // every connection slot in use
    VTA_ENOTSUP = 25,      // "Operation is not supported."
    VTA_ECONNECT = 113     // could not (re)connect
};

// Always 0. Safe to call again, also after VTAdmin_Teardown.
int VTAdmin_Init();
// Always 0. Closes every open connection and the library's log.
int VTAdmin_Teardown();

// Opens or re-opens the library's log "<debug dir>/<name>.log" (name null or empty:
// "vtadmin"), with the limits VT_MAX_LOGSIZE_<name> (at least 1 MiB) and VT_MAX_LOGFILES_<name>
// (at least 10) from the environment or vtadmin.conf. Null keeps a log already open.
void VTAdmin_LogInit(const char *name);
void VTAdmin_LogTeardown();
// Sets facility bit `bit` of log module `module`; the facility's result (0 or 22).
int VTAdmin_LogEnable(int bit, int module);

const char *VTAdmin_StrError(int code);

// Start of the library for a program (the console, kxadmin): module name `program`,
// VTAdmin_Init, the log "<program>.log" with its "general" and "entry/exit" classes on, and
// the system-log hook pointed at that log, so that diagnostics of the support code
// (authentication failures, ...) never reach the terminal. `program` must outlive the process.
void vtadmin_program_start(const char *program);

int VTAdmin_IsReady();
int VTAdmin_IsAdmin();
int VTAdmin_OnceDone();

// Text of a disk state word ("Active", "Standby", ..., "<Unknwon>"), bounded by `size`.
void VTAdmin_DiskStateString(uint32_t state, char *buffer, size_t size);

// Text of `address` copied into `buffer` (at least 256 bytes); null when there is no text.
char *VTAdmin_AddrToString(const host_addr *address, char *buffer);

// ---- Progress of long listings ----

// Told, on the calling thread, how many entries of a list have arrived so far while a client
// list or the pages of a disk list are read, so that a window can show it.
using VTAdmin_ProgressFunc = void (*)(void *context, int entries);
// Sets the process's progress function (null: none). A null function clears only a function
// set with the same `context`, so that an owner going away does not remove another's.
void VTAdmin_SetProgress(VTAdmin_ProgressFunc func, void *context);

// ---- Internal to the library ----

// Tells the progress function, if one is set, that `entries` entries have arrived.
void vtadmin_report_progress(int entries);

// Guards the ready flag and the connection table; taken before any slot mutex.
pthread_mutex_t *vtadmin_con_list_lock();

// The administrator-rights probe: 1 when the effective user is root, holds CAP_SYS_ADMIN, or
// belongs to the group named by VT_ADMIN_GROUP (environment, then vtadmin.conf; default
// "kxfsadmin"); any failure gives 0.
int vtadmin_rights_probe();
// 1 when the process's effective or supplementary groups contain the group `name`.
int vtadmin_in_group(const char *name);

// Tests only: overrides the administrator flag until the next VTAdmin_Init that probes again.
void vtadmin_set_admin_for_tests(int admin);
