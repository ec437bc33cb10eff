// The maintenance server: one thread that keeps the live log on disk and shared with the peer
// node (flush, snapshot, peer fetch, merge, local mirror on their timers) and carries out the
// requests of the command channel. Every request is open to every local process except the two
// that destroy the log or read a file with the server's privileges, "clear" and "inhale=":
// those only a sender of user id 0 or the server's own may make. Any local user may send, and as
// fast as it likes: every line a request can cause is limited to one of a kind every 10 s, and
// the timers are looked at after every single request, so a flood neither fills the system log
// nor holds back the flush and the replication. Owns the server thread, its stop flag, the
// timers and the state of the denial lines; the work itself is done by the duties of the
// store, snapshot, merge, peer and inhale groups.

#include "vek_rir/vek_rir_int.h"

#include <pthread.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string_view>

namespace {

constexpr char text_send_failed[] = "unable to send response to: %s\n";
constexpr char text_attach_failed[] = "unable to attach to RIR: %s\n";
constexpr char text_detach_failed[] = "unable to detach from RIR: %s\n";
constexpr char text_name_taken[] = "unable to serve RIR: another server holds the name %s\n";
constexpr char text_run_name_taken[] = "another RIR server already runs on this node";
constexpr char text_denied[] = "denied request %s from uid %u\n";
constexpr char text_denied_anonymous[] = "denied request %s from a sender without credentials\n";
constexpr char text_cleared[] = "cleared RIR on request of uid %u\n";

constexpr char answer_ok[] = "ok";
constexpr char answer_unknown[] = "unknown";

pthread_t vek_rir_server_thread_id;
std::atomic<int> vek_rir_server_thread_stop_flag{0};
bool server_thread_started = false;
bool server_world_attached = false;

// The server end is bound by the starting thread, before the server thread exists, so a
// second server on the node is refused before it could run a single duty.
vek_rir_command_server_t server_end;

// Set from a signal handler of the tool; read by the sleep of vek_rir_server_run.
std::atomic<int> run_stop_requested{0};
static_assert(std::atomic<int>::is_always_lock_free);

bool due(uint64_t t_now, uint64_t t_last, uint32_t interval)
{
    return t_now - t_last >= interval;
}

// The last pass publishes what the log holds at the stop: a fresh snapshot first, as before a
// periodic merge, so that records logged since the last periodic one reach the merged log and
// the mirror, and a server stopped before its first periodic snapshot still leaves them.
void duties_final()
{
    vek_rir_server_duties.flush();
    vek_rir_server_duties.snap();
    vek_rir_server_duties.mirror_peer();
    vek_rir_server_duties.merge();
    vek_rir_server_duties.mirror_local();
}

void *vek_rir_server_thread(void *)
{
    VEK_RIR_ASSERT(vek_rir_header != nullptr && vek_rir_fd != -1);
    vek_rir_server_timers_t timers;
    uint64_t t_start = vek_rir_util_monotime_secs();
    timers.t_last_flush = t_start;
    timers.t_last_mirror_peer = t_start;
    timers.t_last_merge = t_start;
    timers.t_last_mirror_local = t_start;
    vek_rir_server_denials_t denials = {false, 0, 0};
    vek_rir_command_server_op_t op;
    while (vek_rir_server_thread_stop_flag.load() == 0) {
        if (vek_rir_command_server_recv_request(&server_end, &op,
                                                static_cast<int>(interval_msecs_poll)) == 1) {
            bool privileged = vek_rir_server_sender_privileged(op.sender_credentials,
                                                               op.sender_uid, geteuid());
            vek_rir_server_request_carry_out(op.request, privileged, &timers, op.response,
                                             sizeof(op.response));
            if (strcmp(op.response, vek_rir_command_answer_denied) == 0)
                vek_rir_server_denial_log(op.request, op.sender_credentials, op.sender_uid,
                                          vek_rir_util_monotime_secs, &denials);
            // Who emptied the log stays on record; privileged senders only, so the uid is known.
            if (strcmp(op.request, "clear") == 0 && strcmp(op.response, answer_ok) == 0)
                vek_rir_util_log_limited(nullptr, text_cleared,
                                         static_cast<unsigned>(op.sender_uid));
            // The request text is the sender's, so it never makes a kind of its own.
            if (!vek_rir_command_server_send_reponse(&server_end, &op))
                vek_rir_util_log_limited(nullptr, text_send_failed, op.request);
        }
        // Due duties run after every request, so at most one request comes between two looks
        // at the timers: senders that never pause must not stop the flush, the replication
        // and the mirror.
        vek_rir_server_duties_run(&timers, vek_rir_util_monotime_secs());
    }
    vek_rir_command_server_destroy(&server_end);
    duties_final();
    return nullptr;
}

// Sleeps in steps of at most a second, so a stop requested by a signal that arrives between
// two steps is still seen within a second.
void run_sleep(uint32_t seconds, bool for_ever)
{
    uint64_t deadline = vek_rir_util_monotime_secs() + seconds;
    while (run_stop_requested.load() == 0) {
        uint64_t now = vek_rir_util_monotime_secs();
        if (!for_ever && now >= deadline)
            return;
        struct timespec step = {1, 0};
        nanosleep(&step, nullptr);
    }
}

} // namespace

const vek_rir_server_duties_t vek_rir_server_duties_real = {
    vek_rir_file_flush,       vek_rir_file_snap,   vek_rir_file_mirror_peer, vek_rir_file_merge,
    vek_rir_file_mirror_local, vek_rir_file_inhale, vek_rir_file_clear,
};
vek_rir_server_duties_t vek_rir_server_duties = vek_rir_server_duties_real;

vek_rir_server_due_t vek_rir_server_duties_due(const vek_rir_server_timers_t *timers,
                                               uint64_t t_now)
{
    vek_rir_server_due_t d;
    bool merge_due = due(t_now, timers->t_last_merge, interval_secs_merge);
    bool local_due = due(t_now, timers->t_last_mirror_local, interval_secs_mirror_local);
    d.flush = due(t_now, timers->t_last_flush, interval_secs_flush);
    d.snap = local_due || merge_due;
    d.mirror_peer = due(t_now, timers->t_last_mirror_peer, interval_secs_mirror_peer) || merge_due;
    d.merge = merge_due;
    d.mirror_local = local_due;
    return d;
}

// In this order the snapshot is rewritten before everything that reads it, and the peer copy
// is fetched before the merge reads it. Each timer restarts after its duty has finished.
void vek_rir_server_duties_run(vek_rir_server_timers_t *timers, uint64_t t_now)
{
    vek_rir_server_due_t d = vek_rir_server_duties_due(timers, t_now);
    if (d.flush) {
        vek_rir_server_duties.flush();
        timers->t_last_flush = vek_rir_util_monotime_secs();
    }
    if (d.snap)
        vek_rir_server_duties.snap();
    if (d.mirror_peer) {
        vek_rir_server_duties.mirror_peer();
        timers->t_last_mirror_peer = vek_rir_util_monotime_secs();
    }
    if (d.merge) {
        vek_rir_server_duties.merge();
        timers->t_last_merge = vek_rir_util_monotime_secs();
    }
    if (d.mirror_local) {
        vek_rir_server_duties.mirror_local();
        timers->t_last_mirror_local = vek_rir_util_monotime_secs();
    }
}

bool vek_rir_server_sender_privileged(bool credentials, uid_t sender_uid, uid_t server_euid)
{
    return credentials && (sender_uid == 0 || sender_uid == server_euid);
}

void vek_rir_server_request_carry_out(const char *request, bool privileged,
                                      vek_rir_server_timers_t *timers, char *response,
                                      size_t response_size)
{
    const vek_rir_server_duties_t &run = vek_rir_server_duties;
    std::string_view word(request);
    const char *answer = answer_ok;
    bool guarded = word == "clear" || word.substr(0, 7) == "inhale=";
    if (guarded && !privileged) {
        answer = vek_rir_command_answer_denied;
    } else if (word == "nothing") {
    } else if (word == "snap") {
        run.snap();
    } else if (word == "flush") {
        run.flush();
        timers->t_last_flush = vek_rir_util_monotime_secs();
    } else if (word == "mirror-peer") {
        run.mirror_peer();
        timers->t_last_mirror_peer = vek_rir_util_monotime_secs();
    } else if (word == "merge") {
        run.snap();
        run.merge();
        timers->t_last_merge = vek_rir_util_monotime_secs();
    } else if (word == "mirror-peer-and-merge") {
        run.snap();
        run.mirror_peer();
        timers->t_last_mirror_peer = vek_rir_util_monotime_secs();
        run.merge();
        timers->t_last_merge = vek_rir_util_monotime_secs();
    } else if (word == "mirror-local") {
        run.snap();
        run.mirror_local();
        timers->t_last_mirror_local = vek_rir_util_monotime_secs();
    } else if (word == "all" || word == "all-but-mirror-peer") {
        // Every duty that ran restarts its timer, the flush too: otherwise the next quiet pass
        // would flush again at once.
        run.flush();
        timers->t_last_flush = vek_rir_util_monotime_secs();
        run.snap();
        if (word == "all") {
            run.mirror_peer();
            timers->t_last_mirror_peer = vek_rir_util_monotime_secs();
        }
        run.merge();
        timers->t_last_merge = vek_rir_util_monotime_secs();
        run.mirror_local();
        timers->t_last_mirror_local = vek_rir_util_monotime_secs();
    } else if (word == "clear") {
        if (run.clear() != 0)
            answer = vek_rir_command_answer_failed;
    } else if (word.substr(0, 7) == "inhale=") {
        if (run.inhale(request + 7) != 0)
            answer = vek_rir_command_answer_failed;
    } else {
        answer = answer_unknown;
    }
    memset(response, 0, response_size);
    strncpy(response, answer, response_size - 1);
}

void vek_rir_server_denial_log(const char *request, bool credentials, uid_t sender_uid,
                               uint64_t (*monotime_secs)(), vek_rir_server_denials_t *denials)
{
    uint32_t left_out = 0;
    if (!vek_rir_util_limiter_admit(denials, monotime_secs(), &left_out))
        return;
    if (credentials)
        vek_rir_util_log_counted(left_out, text_denied, request, static_cast<unsigned>(sender_uid));
    else
        vek_rir_util_log_counted(left_out, text_denied_anonymous, request);
}

int vek_rir_server_thread_start()
{
    VEK_RIR_ASSERT(!server_thread_started);
    if (vek_rir_command_server_create(&server_end, vek_rir_command_server_name) != 0)
        return 1;
    vek_rir_server_thread_stop_flag.store(0);
    int rc = pthread_create(&vek_rir_server_thread_id, nullptr, vek_rir_server_thread, nullptr);
    VEK_RIR_ASSERT(rc == 0);
    server_thread_started = true;
    return 0;
}

void vek_rir_server_thread_stop()
{
    VEK_RIR_ASSERT(server_thread_started);
    vek_rir_server_thread_stop_flag.store(1);
    int rc = pthread_join(vek_rir_server_thread_id, nullptr);
    VEK_RIR_ASSERT(rc == 0);
    server_thread_started = false;
}

void vek_rir_server_run_stop_request()
{
    run_stop_requested.store(1);
}

vek_rir_rc_t vek_rir_server_run(vek_rir_failure_info_t *failure_info, int runtime_seconds)
{
    vek_rir_util_log_open();
    if (vek_rir_file_attach(VEK_RIR_TRUE, failure_info) != 0) {
        vek_rir_util_log_close();
        return VEK_RIR_RC_FAILURE;
    }
    if (vek_rir_server_thread_start() != 0) {
        vek_rir_failure_info_set(failure_info, text_run_name_taken);
        vek_rir_file_detach();
        vek_rir_util_log_close();
        return VEK_RIR_RC_FAILURE;
    }
    run_sleep(static_cast<uint32_t>(runtime_seconds), runtime_seconds == 0);
    vek_rir_server_thread_stop();
    // The server ran its course; a last sync the disk refuses still makes the run a failure.
    int detached_rc = vek_rir_file_detach(failure_info);
    vek_rir_util_log_close();
    run_stop_requested.store(0);
    return detached_rc == 0 ? VEK_RIR_RC_OK : VEK_RIR_RC_FAILURE;
}

void vek_rir_server_world_create(void)
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (vek_rir_file_attach(VEK_RIR_TRUE, &failure_info) != 0) {
        vek_rir_util_log(text_attach_failed, vek_rir_failure_info_text(&failure_info));
        return;
    }
    server_world_attached = true;
    if (vek_rir_server_thread_start() != 0)
        vek_rir_util_log(text_name_taken, vek_rir_command_server_name);
}

// Joins only a thread that was started and detaches only what create attached, so a host
// whose create failed still shuts down normally.
void vek_rir_server_world_destroy(void)
{
    if (server_thread_started)
        vek_rir_server_thread_stop();
    if (server_world_attached) {
        vek_rir_failure_info_t failure_info;
        vek_rir_failure_info_clear(&failure_info);
        if (vek_rir_file_detach(&failure_info) != 0)
            vek_rir_util_log(text_detach_failed, vek_rir_failure_info_text(&failure_info));
        server_world_attached = false;
    }
}
