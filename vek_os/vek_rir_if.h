/*
 * vek_rir_if.h - the interface through which processes of the appliance log events into the
 * node's shared event log and read consistent copies of it.
 *
 * Logging:   vek_rir_if_world_init once, vek_rir_if_record_add from any thread, any number of
 *            times, vek_rir_if_world_deinit once at the end.
 * Reading:   vek_rir_if_snap_fetch_local, vek_rir_if_snap_fetch_both or vek_rir_if_snap_load,
 *            then any number of vek_rir_if_snap_iterate, then vek_rir_if_snap_free.
 *
 * Every fallible call returns a vek_rir_rc_t and describes a failure in one line of a
 * vek_rir_failure_info_t. Plain C99; the functions have C linkage.
 *
 * Conventions:
 *  1. Success is VEK_RIR_RC_OK (0) and nothing else; VEK_RIR_RC_FAILURE means the call did not
 *     do what it says, and the failure info (when one was given) holds why. A failure info is
 *     written only on failure, except that world_init, the fetches and the load clear it
 *     first.
 *  2. Threads: vek_rir_if_record_add may be called from any number of threads at once (the
 *     appends of all processes take turns under the log's own mutex, at most 5 s each).
 *     world_init and world_deinit are for one thread while no other appends; the fetch, iterate
 *     and free calls are safe from any thread on snap_info values of their own; exchanges with
 *     the server of one process take turns.
 *  3. fork: a child inherits the attachment (the same shared mapping), so it may append at
 *     once and must not call world_init again; only one of parent and child calls
 *     world_deinit for it. A snapshot fetched before the fork is a private copy in each.
 *  4. After a failed fetch or load, snap_info is empty (null, 0) and there is nothing to free;
 *     after a successful one, call vek_rir_if_snap_free exactly once.
 *  5. Calling world_init while attached, or iterate or free on an empty snap_info, is a
 *     programming error of the caller and stops the process with a message.
 */
#ifndef VEK_RIR_IF_H
#define VEK_RIR_IF_H

/* struct timespec is POSIX, not ISO C99: a strict C99 program gets it when this header comes
 * before any system header, or when it asks for POSIX itself (_POSIX_C_SOURCE 199309 or
 * later). */
#if !defined(__cplusplus) && !defined(_POSIX_C_SOURCE) && !defined(_XOPEN_SOURCE) && \
    !defined(_GNU_SOURCE) && !defined(_DEFAULT_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "vek_rir_defs.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VEK_RIR_API __attribute__((visibility("default")))
#define VEK_RIR_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VEK_RIR_API
#define VEK_RIR_PRINTF_LIKE(fmt, args)
#endif

#define VEK_RIR_TRUE 1
#define VEK_RIR_FALSE 0

typedef enum vek_rir_rc_e {
    VEK_RIR_RC_OK = 0,
    VEK_RIR_RC_FAILURE = 1
} vek_rir_rc_t;

#define VEK_RIR_FAILURE_INFO_TEXT_SIZE 120

/* One line describing the last failure; always terminated, at most 118 characters. */
typedef struct vek_rir_failure_info_s {
    char text[VEK_RIR_FAILURE_INFO_TEXT_SIZE];
} vek_rir_failure_info_t;

static inline void vek_rir_failure_info_clear(vek_rir_failure_info_t *failure_info)
{
    memset(failure_info->text, 0, sizeof(failure_info->text));
}

static inline void vek_rir_failure_info_set(vek_rir_failure_info_t *failure_info,
                                            const char *format, ...) VEK_RIR_PRINTF_LIKE(2, 3);

static inline void vek_rir_failure_info_set(vek_rir_failure_info_t *failure_info,
                                            const char *format, ...)
{
    va_list args;
    failure_info->text[VEK_RIR_FAILURE_INFO_TEXT_SIZE - 1] = 0;
    va_start(args, format);
    vsnprintf(failure_info->text, VEK_RIR_FAILURE_INFO_TEXT_SIZE - 1, format, args);
    va_end(args);
}

static inline const char *vek_rir_failure_info_text(const vek_rir_failure_info_t *failure_info)
{
    return failure_info->text;
}

/* ---- logging ------------------------------------------------------------------------------ */

/* Attaches this process to the node's live log; the log must already exist (the maintenance
 * server or the tool creates it). Call once, while detached, before any vek_rir_if_record_add.
 * failure_info may be null. */
VEK_RIR_API vek_rir_rc_t vek_rir_if_world_init(vek_rir_failure_info_t *failure_info);

/* Appends one record. failure_info may be null. identity is kept up to 31 characters, text up
 * to 175 (callers should stay within VEK_RIR_MAX_LENGTH_TEXT). With VEK_RIR_FLAG_TOKERNEL the
 * whole "identity:text" line is also written to the kernel log.
 * In a process that is not attached: on a node without /vek_var the call does nothing and
 * succeeds; where /vek_var exists it fails without a text. */
VEK_RIR_API vek_rir_rc_t vek_rir_if_record_add(vek_rir_failure_info_t *failure_info,
                                               uint64_t rir_flags, uint64_t rir_class,
                                               uint64_t rir_code, const char *rir_identity,
                                               const char *rir_text);

/* How often this process checks that /vek_var is writable and has 90 MiB free before it
 * appends. 0, the default, checks before every append (about 2 us of an append's 2.3). With
 * msecs from 1 to 1000 an append checks only when the last good check is that old, measured
 * with the wall-clock reading that stamps the record, and otherwise makes no system call but
 * the mutex: a disk that fills up or turns read-only is noticed up to msecs late. A failed
 * check is never kept; the next append checks again. A forked child checks afresh.
 * Any thread may call it at any time; it applies to the whole process. Out of range: fails and
 * changes nothing.
 * The environment variable VEK_RIR_CHECK_INTERVAL_MSECS, read at every attach (world init),
 * sets the same value; one that is not a number from 0 to 1000 gives the default and one line
 * on standard error. Without the variable an attach keeps the interval as it is. */
VEK_RIR_API vek_rir_rc_t vek_rir_if_check_interval_set(int64_t msecs);

/* Detaches: syncs the mapping to disk and releases it. Call once, while attached, when no
 * other thread of the process appends any more. In a process that is not attached (its init
 * failed, or it never called it) it changes nothing and fails with "process not attached to
 * RIR". failure_info may be null. */
VEK_RIR_API vek_rir_rc_t vek_rir_if_world_deinit(vek_rir_failure_info_t *failure_info);

/* ---- reading snapshots -------------------------------------------------------------------- */

/* A whole log file loaded into a private heap buffer; empty (null, 0) when nothing is held. */
typedef struct vek_rir_if_snap_info_s {
    void *snap_buffer;
    size_t snap_size;
} vek_rir_if_snap_info_t;

/* The view of one record handed to an iteration callback. The view itself is valid during the
 * callback only; rir_identity and rir_text point into the snapshot buffer and stay valid until
 * the snapshot is freed. */
typedef struct vek_rir_if_snap_iterate_record_s {
    struct timespec ts;
    uint64_t seqno;
    uint64_t rir_flags;
    uint64_t rir_class;
    uint64_t rir_code;
    const char *rir_identity;
    const char *rir_text;
} vek_rir_if_snap_iterate_record_t;

typedef void *vek_rir_if_snap_iterate_cookie_t;

/* Return a negative value to end the walk, zero or positive to go on. */
typedef int (*vek_rir_if_snap_iterate_callback_t)(vek_rir_if_snap_iterate_cookie_t cookie,
                                                  vek_rir_if_snap_iterate_record_t *record);

/* Fetch this node's snapshot ("snap" request first) or the merged log of both nodes
 * ("mirror-peer-and-merge" first). timeout_seconds 0 reads the file on disk without asking the
 * server; a server that does not answer in time also leaves the file on disk to be read.
 * Exchanges of one process are serialised, so a caller that waits without limit (a negative
 * timeout) holds up the other threads of its process that talk to the server. */
VEK_RIR_API vek_rir_rc_t vek_rir_if_snap_fetch_local(vek_rir_failure_info_t *failure_info,
                                                     vek_rir_if_snap_info_t *snap_info,
                                                     int timeout_seconds);
VEK_RIR_API vek_rir_rc_t vek_rir_if_snap_fetch_both(vek_rir_failure_info_t *failure_info,
                                                    vek_rir_if_snap_info_t *snap_info,
                                                    int timeout_seconds);

/* Loads a log file named by the caller (a snapshot, a peer copy, a merged log, a copy kept
 * elsewhere) without asking the server anything: the kind is taken from the file's size
 * (6287360 bytes a merged log, anything else must be a 3145728-byte log), and the file is
 * checked as the fetches check theirs, with the same failure texts. A symbolic link is not
 * followed: name the file itself. Then iterate and free as after a fetch. */
VEK_RIR_API vek_rir_rc_t vek_rir_if_snap_load(vek_rir_failure_info_t *failure_info,
                                              vek_rir_if_snap_info_t *snap_info,
                                              const char *path);

/* Walks the fetched records oldest first (reverse 0) or newest first. */
VEK_RIR_API void vek_rir_if_snap_iterate(vek_rir_if_snap_info_t *snap_info,
                                         vek_rir_if_snap_iterate_callback_t callback,
                                         vek_rir_if_snap_iterate_cookie_t cookie, int reverse);

/* Frees a fetched snapshot and empties snap_info. */
VEK_RIR_API void vek_rir_if_snap_free(vek_rir_if_snap_info_t *snap_info);

#ifdef __cplusplus
}
#endif

#endif /* VEK_RIR_IF_H */
