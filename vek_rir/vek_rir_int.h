/*
 * vek_rir_int.h - declarations shared by the core, the tool and the tests; never installed.
 *
 * The public calls are in vek_os/ (logging and reading in vek_rir_if.h, the embedded server in
 * vek_rir_server.h) and the file format in vek_rir_format.h; this header adds the fixed paths,
 * the process-wide state and the internal calls of each group of the core. A reader finds a
 * function's source file from the word after "vek_rir_".
 */
#ifndef VEK_RIR_INT_H
#define VEK_RIR_INT_H

#ifndef __cplusplus
#error "vek_rir_int.h is the core's C++ header; C programs include vek_os/vek_rir_server.h"
#endif

#include <vek_os/vek_rir_if.h>
#include <vek_os/vek_rir_server.h>

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "vek_rir/vek_rir_format.h"

/* ---- conventions ------------------------------------------------------------------------- */

/* Conditions the system treats as impossible stop the process with a message naming them. */
[[noreturn]] void vek_rir_util_assert_fail(const char *condition, const char *file, int line,
                                           const char *function);
#define VEK_RIR_ASSERT(condition)                                                  \
    do {                                                                           \
        if (!(condition))                                                          \
            vek_rir_util_assert_fail(#condition, __FILE__, __LINE__, __func__);    \
    } while (0)

#define VEK_RIR_RC_JUMP_IF_FAILURE(rc, label) \
    do {                                      \
        if ((rc) != VEK_RIR_RC_OK)            \
            goto label;                       \
    } while (0)

/* The label argument is accepted for symmetry with the jump and not used. */
#define VEK_RIR_RC_RETURN_IF_FAILURE(rc, ...) \
    do {                                      \
        if ((rc) != VEK_RIR_RC_OK)            \
            return (rc);                      \
    } while (0)

/* ---- fixed paths -------------------------------------------------------------------------- */

inline constexpr char vek_rir_mirror_parent_dir_path[] = "/";
inline constexpr char vek_rir_mirror_dir_path[] = "/vek_node";
inline constexpr char vek_rir_parent_path[] = "/vek_var";
inline constexpr char vek_rir_local_path[] = "/vek_var/vek-rir-local.bin";
inline constexpr char vek_rir_local_snap_tmp_path[] = "/vek_var/vek-rir-local-snap.bin.tmp";
inline constexpr char vek_rir_local_snap_path[] = "/vek_var/vek-rir-local-snap.bin";
inline constexpr char vek_rir_local_mirror_tmp_path[] = "/vek_node/vek-rir-local.bin.tmp";
inline constexpr char vek_rir_local_mirror_path[] = "/vek_node/vek-rir-local.bin";
inline constexpr char vek_rir_peer_path[] = "/vek_var/vek-rir-peer.bin";
/* The secure-copy client writes as the server's user into this directory of its own (mode
 * 0700), never into the log's directory where others may plant names; it lies on the same file
 * system, so the fetched copy is still published by an atomic rename. */
inline constexpr char vek_rir_peer_fetch_dir_path[] = "/vek_var/vek-rir-fetch";
inline constexpr char vek_rir_peer_tmp_path[] = "/vek_var/vek-rir-fetch/vek-rir-peer.bin.tmp";
inline constexpr char vek_rir_peer_mirror_tmp_path[] = "/vek_node/vek-rir-peer.bin.tmp";
inline constexpr char vek_rir_peer_mirror_path[] = "/vek_node/vek-rir-peer.bin";
inline constexpr char vek_rir_merged_path[] = "/vek_var/vek-rir-merged.bin";
inline constexpr char vek_rir_merged_tmp_path[] = "/vek_var/vek-rir-merged.bin.tmp";
inline constexpr char vek_rir_merged_mirror_tmp_path[] = "/vek_node/vek-rir-merged.bin.tmp";
inline constexpr char vek_rir_merged_mirror_path[] = "/vek_node/vek-rir-merged.bin";
inline constexpr char vek_rir_global_attach_domain_lock_path[] = "/vek_var/vek-rir-lock.bin";

/* ---- small utilities (vek_rir_util.cpp) -------------------------------------------------- */

uint64_t vek_rir_util_monotime_secs();
uint64_t vek_rir_util_monotime_msecs();
void vek_rir_util_log_open();
void vek_rir_util_log(const char *format, ...) VEK_RIR_PRINTF_LIKE(1, 2);
void vek_rir_util_log_close();
uint64_t vek_rir_util_get_boot_time();

/* A limit of one line every vek_rir_util_limit_interval_msecs for one kind of line: lines that
 * another process can provoke (requests, planted files) must not flood the system log. Kept in
 * milliseconds, so two lines of a kind are never less than the full interval apart. */
inline constexpr uint64_t vek_rir_util_limit_interval_msecs = 10000;
struct vek_rir_util_limiter_t {
    bool logged;
    uint64_t t_last_logged;
    uint32_t left_out; /* lines held back since the last one that went out */
};
/* Whether a line may go out at t_now (milliseconds); when it may, *left_out_rv gets the number held back
 * before it and the count starts again. */
bool vek_rir_util_limiter_admit(vek_rir_util_limiter_t *limiter, uint64_t t_now,
                                uint32_t *left_out_rv);
/* Writes one system-log line whose trailing newline, if any, is replaced by a note of how many
 * lines like it were left out, when there were some. */
void vek_rir_util_log_counted(uint32_t left_out, const char *format, ...)
    VEK_RIR_PRINTF_LIKE(2, 3);
/* One line, limited per kind: the kind is the format together with subject, a fixed path of
 * the system or nullptr (never a text another process chose, so that the kinds stay few). */
void vek_rir_util_log_limited(const char *subject, const char *format, ...)
    VEK_RIR_PRINTF_LIKE(2, 3);
/* A line that is not sent (a limit of its own holds it back) but still counts, on the server
 * thread, as the failure of the duty that runs. */
void vek_rir_util_log_note(const char *format, ...) VEK_RIR_PRINTF_LIKE(1, 2);
/* The clock of the limited lines, in milliseconds; tests replace it to pass the interval
 * without waiting. */
extern uint64_t (*vek_rir_util_log_clock_msecs)();
/* Forgets every kind's limit (a test starting afresh). */
void vek_rir_util_log_limits_reset();

/* Opens a file of the system's own directories without following a symbolic link, and only if
 * it is a regular file. On failure returns -1; *reason_rv is then one of the two reasons below
 * when something other than a regular file is at the path, else nullptr with errno set. */
inline constexpr char vek_rir_util_reason_link[] = "it is a symbolic link";
inline constexpr char vek_rir_util_reason_not_regular[] = "it is not a regular file";
int vek_rir_util_file_open_own(const char *path, int flags, mode_t mode, const char **reason_rv);
/* Creates a temporary companion afresh: removes a leftover of any kind, then creates the file
 * exclusively, so that nothing planted at the name in between is written through. Returns the
 * descriptor (write only) or -1 with errno set. */
int vek_rir_util_file_create_companion(const char *path);
/* Whether two stat results name one file. */
inline bool vek_rir_util_file_same(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/* The calls with which the core writes and syncs the files it makes. A disk may refuse any of
 * them (out of space, an I/O error), so every caller turns a failure into a failure text or a
 * system-log line naming the file. Replaced only by tests that make the disk fail, which put
 * vek_rir_util_io_real back; never while a thread of the core may be using them. */
struct vek_rir_util_io_t {
    ssize_t (*write)(int fd, const void *buffer, size_t count);
    ssize_t (*pwrite)(int fd, const void *buffer, size_t count, off_t offset);
    int (*ftruncate)(int fd, off_t length);
    int (*fsync)(int fd);
    int (*msync)(void *address, size_t length, int flags);
};
extern vek_rir_util_io_t vek_rir_util_io;
extern const vek_rir_util_io_t vek_rir_util_io_real;

/* A descriptor owned by one scope; closing it is treated as unable to fail. */
struct vek_rir_util_fd_t {
    int fd = -1;
    vek_rir_util_fd_t() = default;
    explicit vek_rir_util_fd_t(int fd_in) : fd(fd_in) {}
    vek_rir_util_fd_t(const vek_rir_util_fd_t &) = delete;
    vek_rir_util_fd_t &operator=(const vek_rir_util_fd_t &) = delete;
    ~vek_rir_util_fd_t() { reset(); }
    void reset()
    {
        if (fd >= 0) {
            int rc = close(fd);
            VEK_RIR_ASSERT(rc == 0);
        }
        fd = -1;
    }
    int release()
    {
        int out = fd;
        fd = -1;
        return out;
    }
};

/* A whole-file heap buffer owned by one scope. */
struct vek_rir_util_buffer_t {
    void *data = nullptr;
    vek_rir_util_buffer_t() = default;
    explicit vek_rir_util_buffer_t(size_t size) : data(malloc(size)) {}
    vek_rir_util_buffer_t(const vek_rir_util_buffer_t &) = delete;
    vek_rir_util_buffer_t &operator=(const vek_rir_util_buffer_t &) = delete;
    ~vek_rir_util_buffer_t() { free(data); }
    void *release()
    {
        void *out = data;
        data = nullptr;
        return out;
    }
};

/* ---- format helpers and ring cursor (vek_rir_helper.cpp) --------------------------------- */

/* The first field of a header that no reader may accept, in the order the checks are made:
 * version, record size, record count (a merged count only where allowed), magic. */
enum class vek_rir_helper_header_fault_t { none, version, record_size, record_count, magic };
vek_rir_helper_header_fault_t vek_rir_helper_header_fault(const vek_rir_header_t *header,
                                                          bool merged_allowed);
int vek_rir_helper_header_validate(vek_rir_failure_info_t *failure_info,
                                   const vek_rir_header_t *header, const char *which);
int vek_rir_helper_header_read(vek_rir_failure_info_t *failure_info, int fd,
                               vek_rir_header_t *header, const char *which);
/* Whether the file holds every slot of the ring its (validated) header promises; a short one
 * gets the text its first missing record would give. */
int vek_rir_helper_file_size_check(vek_rir_failure_info_t *failure_info, int fd,
                                   const vek_rir_header_t *header, const char *which);
int vek_rir_helper_header_write(vek_rir_failure_info_t *failure_info, int fd,
                                const vek_rir_header_t *header, const char *which);
int vek_rir_helper_record_read(vek_rir_failure_info_t *failure_info, int fd, uint64_t index,
                               vek_rir_record_t *record, const char *which);
int vek_rir_helper_record_write(vek_rir_failure_info_t *failure_info, int fd, uint64_t index,
                                const vek_rir_record_t *record, const char *which);
int vek_rir_helper_record_earliest(const vek_rir_record_t *record1,
                                   const vek_rir_record_t *record2);
void vek_rir_helper_walk_info_populate(vek_rir_helper_walk_info_t *walk_info,
                                       const vek_rir_header_t *header);
void vek_rir_helper_walk_info_populate_reverse(vek_rir_helper_walk_info_t *walk_info,
                                               const vek_rir_header_t *header);
void vek_rir_helper_walk_info_consume_one(vek_rir_helper_walk_info_t *walk_info);
/* The one step of every walk: false when no slot is left, else the slot to visit now in
 * *index_rv, and the cursor moves on in its direction. */
bool vek_rir_helper_walk_info_next(vek_rir_helper_walk_info_t *walk_info, uint64_t *index_rv);
void vek_rir_helper_walk_info_consume_one_reverse(vek_rir_helper_walk_info_t *walk_info);
/* Copies a caller's string into a record field of field_size bytes: at most field_size - 1
 * characters, the rest of the field zero, so the field is always terminated. */
void vek_rir_helper_field_copy(char *field, size_t field_size, const char *source);

/* ---- attachment, lock and append (vek_rir_store.cpp) ------------------------------------- */

inline constexpr uint64_t vek_rir_freespace_min = 0x5a00000; /* 90 MiB */
/* The longest interval between two free-space checks a process may ask for (in ms). */
inline constexpr uint32_t vek_rir_check_interval_max_msecs = 1000;

extern int vek_rir_fd;
extern vek_rir_header_t *vek_rir_header;
/* Whether this process holds the attachment: the descriptor and the shared mapping. */
inline bool vek_rir_file_attached()
{
    return vek_rir_header != nullptr && vek_rir_fd != -1;
}
extern struct timespec vek_rir_last_lock_start;
extern struct timespec vek_rir_last_lock_end;
extern struct timespec vek_rir_last_unlock_start;
extern struct timespec vek_rir_last_unlock_end;

int vek_mem_file_work_safe(vek_rir_failure_info_t *failure_info);
/* This process's interval between free-space checks in ms (0: before every append), as set by
 * vek_rir_if_check_interval_set or by VEK_RIR_CHECK_INTERVAL_MSECS at the last attach. */
uint32_t vek_rir_file_check_interval_get();
int vek_rir_file_attach(int create_if_needed, vek_rir_failure_info_t *failure_info);
/* Syncs, unmaps and closes; the process is detached even when the sync fails (1 and a text). */
int vek_rir_file_detach(vek_rir_failure_info_t *failure_info = nullptr);
/* Why a file the tool or the server is asked to read or write in place must be refused while
 * attached: it is no regular file (a FIFO would hold the process, a device cannot be sized),
 * or it is the live log itself. */
enum class vek_rir_file_refusal_t { none, not_regular, live_log };
vek_rir_file_refusal_t vek_rir_file_refusal(int fd);
/* One command's attachment (the tool's add and snap): attached, creating the log if needed, at
 * construction; detached on every way out. detach() ends it early with the detach's own result,
 * for the one way out on which that result counts. */
struct vek_rir_file_attachment_t {
    bool held;
    explicit vek_rir_file_attachment_t(vek_rir_failure_info_t *failure_info)
        : held(vek_rir_file_attach(1, failure_info) == 0)
    {
    }
    vek_rir_file_attachment_t(const vek_rir_file_attachment_t &) = delete;
    vek_rir_file_attachment_t &operator=(const vek_rir_file_attachment_t &) = delete;
    ~vek_rir_file_attachment_t()
    {
        if (held)
            vek_rir_file_detach();
    }
    int detach(vek_rir_failure_info_t *failure_info)
    {
        held = false;
        return vek_rir_file_detach(failure_info);
    }
};
/* Syncs the mapping and the file: 0, or 1 and "unable to sync RIR at <path> (<errno>)". */
int vek_rir_file_sync(vek_rir_failure_info_t *failure_info);
/* The server's flush duty: the sync, with one system-log line when it fails. */
void vek_rir_file_flush();
/* How long any process waits for the shared mutex, and for the lock file's flock, before it
 * gives up: every process that may log can write the live log and the lock file, so a holder
 * that never lets go must cost a failure, not a process stopped for ever. Legitimate holds
 * (an append, the snapshot's copy, a clear, an inhale with its flush) last milliseconds. */
inline constexpr int vek_rir_lock_wait_secs = 5;
/* Takes the shared mutex, waiting at most vek_rir_lock_wait_secs: 0 when it is held, or 1 and
 * a text naming the live log (and the holder's thread id when the mutex shows one). */
[[nodiscard]] int vek_rir_file_lock(vek_rir_failure_info_t *failure_info);
/* Releases it: 0, or 1 after a rate-limited system-log line ("unable to unlock RIR: ..."),
 * since a mutex that another process wrote over is no reason to stop this one. */
int vek_rir_file_unlock();

/* Holds the shared mutex for one scope, when it could be had: check held() first. */
struct vek_rir_file_lock_guard_t {
    int rc;
    explicit vek_rir_file_lock_guard_t(vek_rir_failure_info_t *failure_info)
        : rc(vek_rir_file_lock(failure_info))
    {
    }
    bool held() const { return rc == 0; }
    vek_rir_file_lock_guard_t(const vek_rir_file_lock_guard_t &) = delete;
    vek_rir_file_lock_guard_t &operator=(const vek_rir_file_lock_guard_t &) = delete;
    ~vek_rir_file_lock_guard_t()
    {
        if (rc == 0)
            vek_rir_file_unlock();
    }
};

/* With dolock the claim takes the mutex first and may fail as vek_rir_file_lock does (1 and
 * the text, nothing claimed); without it the caller holds the mutex and the claim cannot fail. */
[[nodiscard]] int vek_rir_next_record_get(vek_rir_record_t **record_rv, int dolock,
                                          vek_rir_failure_info_t *failure_info);
/* With dounlock, the unlock's result; else 0. The record is complete either way. */
int vek_rir_next_record_return(vek_rir_record_t *record, int dounlock);
/* Fills a claimed slot with the caller's fields. Of the caller's flags, USED and COMPLETE are
 * dropped (the claim and the return set them); every other bit is kept. */
void vek_rir_next_record_fill(vek_rir_record_t *record, uint64_t rir_flags, uint64_t rir_class,
                              uint64_t rir_code, const char *rir_identity, const char *rir_text);

vek_rir_rc_t vek_rir_cli_add(vek_rir_failure_info_t *failure_info, uint64_t rir_flags,
                             uint64_t rir_class, uint64_t rir_code, const char *rir_identity,
                             const char *rir_text, int rir_flush);
void vek_rir_cli_chokage_intercept_begin();
void vek_rir_cli_chokage_intercept_end();

/* ---- snapshot, mirror and file utilities (vek_rir_snap.cpp) ----------------------------- */

void vek_rir_file_snap();
vek_rir_rc_t vek_rir_cli_snap(vek_rir_failure_info_t *failure_info, const char *rir_path_snap);
void vek_rir_file_mirror_local();
void vek_rir_util_file_copy(const char *src_path, const char *dst_path_tmp, const char *dst_path);
int vek_rir_util_dir_is_mounted(const char *dir_path, const char *dir_parent_path);

/* ---- merge (vek_rir_merge.cpp) ----------------------------------------------------------- */

vek_rir_rc_t vek_rir_cli_merge(vek_rir_failure_info_t *failure_info, const char *rir_path_src1,
                               const char *rir_path_src2, const char *rir_path_dst);
void vek_rir_file_merge();

/* ---- peer fetch (vek_rir_peer.cpp) ------------------------------------------------------- */

void vek_rir_file_mirror_peer();
/* The fetch itself, with the clock and the time of the last failure line passed in, so that
 * the rate limit can be driven without waiting; vek_rir_file_mirror_peer runs it with the
 * monotonic clock and a state of its own. */
void vek_rir_peer_mirror_run(uint64_t (*monotime_secs)(), uint64_t *t_last_whined);
/* The longest a fetch's client may run before its process group is killed (30 s); tests
 * shorten it. */
extern uint64_t vek_rir_peer_fetch_limit_msecs;
/* Formats the secure-copy command line into scp_command; returns its length. */
size_t vek_rir_peer_command_format(char *scp_command, size_t scp_command_size);

/* ---- inhale and clear (vek_rir_inhale.cpp) ----------------------------------------------- */

int vek_rir_not_for_cli_inhale(vek_rir_failure_info_t *failure_info, const char *rir_path);
int vek_rir_not_for_cli_clear(vek_rir_failure_info_t *failure_info);
/* The server's wrappers: 0 when the operation was carried out; 1 when it failed or was refused,
 * after a system-log line saying why (one of a kind every 10 s). */
int vek_rir_file_inhale(const char *rir_path);
int vek_rir_file_clear();

/* ---- command channel (vek_rir_channel.cpp) ----------------------------------------------- */

inline constexpr size_t VEK_RIR_COMMAND_REQUEST_MAX_SIZE = 80;
inline constexpr size_t VEK_RIR_COMMAND_RESPONSE_MAX_SIZE = 80;
inline constexpr char vek_rir_command_server_name[] = "RIR";
/* The answer to a request the sender may not make. */
inline constexpr char vek_rir_command_answer_denied[] = "denied";
/* The answer to an inhale or a clear that was refused or failed (the system log says why). */
inline constexpr char vek_rir_command_answer_failed[] = "failed";

struct vek_rir_command_server_t {
    struct sockaddr_un addr_server;
    int fd_server;
};

struct vek_rir_command_server_op_t {
    struct sockaddr_un addr_client;
    struct sockaddr_un addr_reply;
    char request[VEK_RIR_COMMAND_REQUEST_MAX_SIZE];
    char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
    int fd_response;
    /* The sender's user id as the kernel attached it to the datagram, when it did. */
    bool sender_credentials;
    uid_t sender_uid;
    /* The length to bind addr_reply with; 0 when the sender's name leaves no room for a reply
     * name (the answer then cannot be delivered). */
    socklen_t addr_reply_size;
    /* The datagram was longer than a request, or filled the buffer without its terminator:
     * request is left empty, so that nothing of it is carried out. */
    bool request_cut;
};

struct vek_rir_command_client_op_t {
    char request[VEK_RIR_COMMAND_REQUEST_MAX_SIZE];
    char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
    struct sockaddr_un addr_client;
    struct sockaddr_un addr_server;
    struct sockaddr_un addr_reply;
    int fd_client;
    int fd_response;
};

void vek_rir_command_address_build(struct sockaddr_un *address, const char *format, ...)
    VEK_RIR_PRINTF_LIKE(2, 3);
char *vek_rir_command_address_fetch(struct sockaddr_un *address);
/* 0 when the name is bound; 1 when another socket holds it (nothing is left open). The socket
 * asks the kernel for the credentials of every sender. */
int vek_rir_command_server_create(vek_rir_command_server_t *command_server,
                                  const char *command_server_name);
int vek_rir_command_server_recv_request(vek_rir_command_server_t *command_server,
                                        vek_rir_command_server_op_t *command_server_op,
                                        int timeout_msecs);
int vek_rir_command_server_send_reponse(vek_rir_command_server_t *command_server,
                                        vek_rir_command_server_op_t *command_server_op);
void vek_rir_command_server_destroy(vek_rir_command_server_t *command_server);

/* ---- maintenance server (vek_rir_server.cpp) --------------------------------------------- */

inline constexpr uint32_t interval_msecs_poll = 1000;
inline constexpr uint32_t interval_secs_flush = 5;
inline constexpr uint32_t interval_secs_mirror_local = 10;
inline constexpr uint32_t interval_secs_mirror_peer = 20;
inline constexpr uint32_t interval_secs_merge = 20;

/* The server thread's four timers, monotonic whole seconds. */
struct vek_rir_server_timers_t {
    uint64_t t_last_flush;
    uint64_t t_last_mirror_peer;
    uint64_t t_last_merge;
    uint64_t t_last_mirror_local;
};

/* Which periodic duties a pass at t_now runs. */
struct vek_rir_server_due_t {
    bool flush;
    bool snap;
    bool mirror_peer;
    bool merge;
    bool mirror_local;
};

/* The operations the server runs; replaced only by tests that watch what the server decides. */
struct vek_rir_server_duties_t {
    void (*flush)();
    void (*snap)();
    void (*mirror_peer)();
    void (*merge)();
    void (*mirror_local)();
    int (*inhale)(const char *rir_path);
    int (*clear)();
};
extern vek_rir_server_duties_t vek_rir_server_duties;
extern const vek_rir_server_duties_t vek_rir_server_duties_real;

vek_rir_server_due_t vek_rir_server_duties_due(const vek_rir_server_timers_t *timers,
                                               uint64_t t_now);
void vek_rir_server_duties_run(vek_rir_server_timers_t *timers, uint64_t t_now);
/* Whether a sender may have the live log cleared or a file inhaled: its user id, as the kernel
 * gave it, is 0 or the server's effective one. A sender without credentials may not. */
bool vek_rir_server_sender_privileged(bool credentials, uid_t sender_uid, uid_t server_euid);
/* Carries out one request and writes its answer into response: "ok", "unknown", "denied"
 * for "clear" and "inhale=" from a sender that is not privileged (nothing is run then), or
 * "failed" for a clear or an inhale that did not succeed. */
void vek_rir_server_request_carry_out(const char *request, bool privileged,
                                      vek_rir_server_timers_t *timers, char *response,
                                      size_t response_size);
/* The limit of the denial lines. */
typedef vek_rir_util_limiter_t vek_rir_server_denials_t;
/* Writes the system-log line of a denied request, at most one every 10 s, the next one saying
 * how many were left out; the clock and the state are passed in so that the limit can be
 * driven without waiting. */
void vek_rir_server_denial_log(const char *request, bool credentials, uid_t sender_uid,
                               uint64_t (*monotime_msecs)(), vek_rir_server_denials_t *denials);
/* 0 when the thread runs; 1 when the name "RIR" is taken (no thread was started). */
int vek_rir_server_thread_start();
void vek_rir_server_thread_stop();
/* Async-signal-safe: makes a running vek_rir_server_run stop as at the end of its runtime. */
void vek_rir_server_run_stop_request();

/* ---- duty health and the status file (vek_rir_status.cpp, vek_rir_health.cpp) ----------- */

/* Where the server publishes its health for people and monitors; readable by every local user.
 * Its fields are a contract (docs/status.md): they are only ever added to. */
inline constexpr char vek_rir_status_path[] = "/vek_var/vek-rir-status.json";
inline constexpr char vek_rir_status_tmp_path[] = "/vek_var/vek-rir-status.json.tmp";
/* The metrics file, in the directory named by VEK_RIR_METRICS_DIR when the server starts. */
inline constexpr char vek_rir_metrics_file_name[] = "vek_rir.prom";
inline constexpr char vek_rir_metrics_tmp_name[] = "vek_rir.prom.tmp";

/* The duties whose health is kept, in the order a pass runs them. */
enum vek_rir_status_duty_id_t : int {
    vek_rir_status_duty_flush,
    vek_rir_status_duty_snap,
    vek_rir_status_duty_fetch,
    vek_rir_status_duty_merge,
    vek_rir_status_duty_mirror,
    vek_rir_status_duty_count,
};
extern const char *const vek_rir_status_duty_names[vek_rir_status_duty_count];

/* A duty's last outcome: not run since the server started, succeeded, failed, or found nothing
 * to do (no peer copy to merge yet, no mirror mount, the platform stopping). */
enum class vek_rir_status_state_t { never, ok, failed, idle };
inline constexpr size_t vek_rir_status_text_size = 128;

/* Times are wall-clock seconds since the epoch, 0 for never. */
struct vek_rir_status_duty_t {
    vek_rir_status_state_t state;
    uint64_t last_attempt;
    uint64_t last_success;
    uint64_t last_failure;
    uint64_t consecutive_failures;
    uint64_t runs_total;
    uint64_t failures_total;
    char last_failure_reason[vek_rir_status_text_size];
    char nothing_to_do_reason[vek_rir_status_text_size];
};

/* Everything the status file and the metrics say. */
struct vek_rir_status_t {
    uint64_t format;
    uint64_t server_pid;
    bool server_running;
    uint64_t server_start_time;
    uint64_t written_time;
    vek_rir_status_duty_t duties[vek_rir_status_duty_count];
    uint64_t peer_newest_record_time;
    uint64_t merged_newest_record_time;
    uint64_t records_appended_total;
    uint64_t records_overwritten_total;
    uint64_t var_free_bytes;
    uint64_t var_free_floor_bytes;
    bool appends_refused;
    char appends_refused_reason[vek_rir_status_text_size];
};

/* The thresholds of rir_status, in seconds. A fetch or merge is late after three of its
 * intervals and stale after fifteen; a status file not rewritten for 30 s (six flush intervals)
 * means a server that is dead or stuck. */
inline constexpr uint64_t vek_rir_status_file_stale_secs = 30;
inline constexpr uint64_t vek_rir_status_late_secs = 3 * 20;
inline constexpr uint64_t vek_rir_status_stale_secs = 15 * 20;

/* Monitoring-plugin exit codes. */
inline constexpr int VEK_RIR_STATUS_OK = 0;
inline constexpr int VEK_RIR_STATUS_WARNING = 1;
inline constexpr int VEK_RIR_STATUS_CRITICAL = 2;
inline constexpr int VEK_RIR_STATUS_UNKNOWN = 3;

/* The status as JSON: the length written, or 0 when the buffer is too small. */
size_t vek_rir_status_json_format(const vek_rir_status_t *status, char *out, size_t out_size);
/* Reads a status document; unknown fields are skipped, missing ones stay 0. 0, or 1 and a text
 * naming what is wrong with it. Never trusts the text: any bytes give a result. */
int vek_rir_status_json_parse(vek_rir_failure_info_t *failure_info, const char *text,
                              size_t length, vek_rir_status_t *status);
/* The metrics in the text exposition format: the length written, or 0 when it does not fit. */
size_t vek_rir_status_metrics_format(const vek_rir_status_t *status, char *out, size_t out_size);
/* The verdict on a status read at wall-clock time now (OK to UNKNOWN above), with the report:
 * a first line with the verdict and its reasons, then one line per duty and the figures. */
int vek_rir_status_evaluate(const vek_rir_status_t *status, uint64_t now, char *report,
                            size_t report_size);
/* One line for the service manager: the verdict and its reasons, then how long ago the last
 * fetch and merge succeeded and how old the peer's newest record is, in parentheses. */
void vek_rir_status_summary(const vek_rir_status_t *status, uint64_t now, char *summary,
                            size_t summary_size);
/* rir_status: reads the status file, prints the report and returns the exit code. */
int vek_rir_cli_status(uint64_t now);

/* Wall-clock seconds as the health sees them; tests shift them to reach the thresholds. */
extern std::atomic<int64_t> vek_rir_health_clock_shift_secs;
uint64_t vek_rir_health_wall_secs();
/* Forgets every duty's health and starts the server's record at this moment; the directory of
 * the metrics is taken from VEK_RIR_METRICS_DIR (none when unset or empty). Called by the
 * thread that starts the server, before the server thread runs. */
void vek_rir_health_server_start();
/* Around one duty on the server thread: every system-log line between the two (also one that
 * its limit holds back) is a failure of that duty, the first one its reason; a duty that says
 * it had nothing to do is neither success nor failure. */
void vek_rir_health_duty_begin();
void vek_rir_health_duty_end(vek_rir_status_duty_id_t duty);
/* Called by the system-log functions with every line, sent or held back. */
void vek_rir_health_line_note(const char *format, va_list args);
/* Called by a duty that found nothing to do, with why. */
void vek_rir_health_duty_idle(const char *why);
/* Gathers the figures, writes the status file and the metrics file, and puts a one-line
 * summary into summary (for the service manager). */
void vek_rir_health_publish(bool server_running, char *summary, size_t summary_size);

/* ---- service manager notifications (vek_rir_notify.cpp) ---------------------------------- */

/* Takes NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID from the environment and removes
 * NOTIFY_SOCKET from it, so no child of the server speaks for it. Without NOTIFY_SOCKET nothing
 * is ever sent. Called by the thread that starts the server, before the server thread runs. */
void vek_rir_notify_init();
/* Sends one notification ("READY=1", "STATUS=...", ...); 0 when sent or nothing to send to. */
int vek_rir_notify_send(const char *text);
/* WATCHDOG=1, at most once per second, when the manager asked for it. */
void vek_rir_notify_watchdog();
/* Forgets the socket: nothing more is sent. */
void vek_rir_notify_end();

/* ---- snapshot reading (vek_rir_reader.cpp) ----------------------------------------------- */

int vek_rir_if_snap_fetch(vek_rir_failure_info_t *failure_info,
                          vek_rir_if_snap_info_t *snap_info, const char *snap_path,
                          ssize_t snap_size_expected);

/* ---- text conversions (vek_rir_convert.cpp) and reports (vek_rir_report.cpp) ------------- */

uint64_t vek_rir_convert_text_to_class(const char *text);
uint64_t vek_rir_convert_text_to_code(const char *text);
char *vek_rir_convert_flags_to_text(uint64_t rir_flags, char *tmp_buffer, size_t tmp_buffer_size);
const char *vek_rir_convert_class_to_text(uint64_t rir_class, char *tmp_buffer,
                                          size_t tmp_buffer_size);
const char *vek_rir_convert_code_to_text(uint64_t rir_code, char *tmp_buffer,
                                         size_t tmp_buffer_size);
char *vek_rir_convert_time_to_text(const struct timespec *ts, char *tmp_buffer,
                                   size_t tmp_buffer_size);

/* One record as rir_dump prints it, on standard output; the companion reader's text form. */
void vek_rir_report_dump_line(const vek_rir_record_t *record);
/* A field chosen by another process (a record's identity or text, a request) as one line: control
 * characters as \xNN, at most field_size bytes read; `shown` holds 4 * field_size + 1. */
void vek_rir_report_field_show(const char *field, size_t field_size, char *shown);

vek_rir_rc_t vek_rir_cli_info(vek_rir_failure_info_t *failure_info, const char *rir_path);
vek_rir_rc_t vek_rir_cli_dump(vek_rir_failure_info_t *failure_info, const char *rir_path,
                              uint64_t time_after);

#endif /* VEK_RIR_INT_H */
