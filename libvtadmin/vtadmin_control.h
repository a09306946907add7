// Starting, stopping, failing over and activating file systems through the name server of the
// host concerned. Each call opens its own short-lived name-server connection to that host (a
// slot is shared when one to the same host text is already open), sends one request and
// translates the answer into a library code (vtadmin_code). Every call here changes cluster
// state and is refused with 1 unless the administrator flag is set.
//
// A request exchange that fails (the request never got its answer) is reported as -1 with the
// transport's reason in the message buffer, never as success.
#pragma once

#include "libfsmcomm/fsmcomm.h"
#include "libvtadmin/vorud.h"

#include <cstddef>

// The most addresses of one host that VTAdmin_FSMStopByHost compares.
constexpr int VTA_ADDR_MAXCNT = 32;

// Actions of StartStopFsm.
enum vta_fsm_action { VTA_ACTION_START = 1, VTA_ACTION_STOP = 2, VTA_ACTION_FAILOVER = 4 };

// `message` holds VTA_MESSAGE_SIZE bytes in every call below. `nshandle` is a name-server
// handle of the cluster the console looks at.

// Starts `fs_name` on `host`: 0, 1 (no privileges), -1, or the code of the answer (3 already
// running, 2, 4, 5 not local, 10, 11, 12) with its text.
int VTAdmin_FSMStart(int nshandle, const char *fs_name, const char *host, char *message);

// Starts `fs_name` once on `host`, then searches it on `nshandle` once a second until it is
// seen started in two searches in a row: 0 with the search result, 8 when `timeout` seconds
// pass first (a time-out of 0 or less allows one search), 9 when the progress function
// (VTAdmin_SetProgress) interrupts the wait, or the codes of VTAdmin_FSMStart.
int VTAdmin_FSMStartAndWaitOnce(int nshandle, const char *fs_name, const char *host, int timeout,
                                VTA_FSM_SEARCH *result, char *message);

// Makes the FSM of `fs_name` on `host` the active one; codes as VTAdmin_FSMStart, and 25 when
// the name server answers that activation is for its internal use only.
int VTAdmin_FSMActivate(int nshandle, const char *fs_name, const char *host, char *message);

// Stops the active FSM of `fs_name` (with fail-over to a standby when `failover` is 1): 0, 1,
// 2 when there is no active FSM of that name, -1, or the code of the answer.
int VTAdmin_FSMStop(int nshandle, const char *fs_name, int failover, char *message);

// Stops every FSM of `fs_name` that the name server lists, standbys first, waiting after each
// for it to go away; `timeout` seconds bound all the waits together. 0 (also when the waits
// ran out), 1, -1, a listing error, or 9 when the progress function interrupts a wait (the
// FSMs not yet stopped are left running).
int VTAdmin_FSMStopAndWait(int nshandle, const char *fs_name, int timeout, char *message);

// Stops the FSM of `fs_name` that runs on `host` (null: this machine), matched by address: 0,
// 1, 2 unknown host, 6 not found, -1 or the code of the answer.
int VTAdmin_FSMStopByHost(int nshandle, const char *fs_name, const char *host, char *message);

// Sends the start, stop or fail-over request (vta_fsm_action) for `entry` to its host, aimed
// at its port. The translated answer, or -1 (bad action, connection or exchange failure) with
// the reason in `message` (`message_size` bytes, at least 1).
int StartStopFsm(const VTA_FSM_ENTRY *entry, int action, char *message, size_t message_size);

// Waits until no FSM `fs_name` runs on `host`, polling the host's local list once a second and
// counting `*remaining` down. A loopback host is polled on `ns_socket`, which the caller must
// hold exclusively (its slot mutex); another host through a connection of its own, opened with
// VTAdmin_NSConnectNoLock when `no_lock` is 1. 0 (gone or stopped), 8 (time-out), 9
// (interrupted by the progress function) or -1.
int WaitForStoppedFsm(kx_socket ns_socket, const char *fs_name, const char *host, int *remaining,
                      int no_lock);
