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

static void vek_rir_server_duties_final();

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
                                          vek_rir_util_monotime_msecs, &denials);
            // Who emptied the log stays on record; privileged senders only, so the uid is known.
            if (strcmp(op.request, "clear") == 0 && strcmp(op.response, answer_ok) == 0)
                vek_rir_util_log_limited(nullptr, text_cleared,
                                         static_cast<unsigned>(op.sender_uid));
            // The request text is the sender's, so it never makes a kind of its own, and its
            // control characters are shown as \xNN, as the dump shows a record's.
            if (!vek_rir_command_server_send_reponse(&server_end, &op)) {
                char shown[4 * sizeof(op.request) + 1];
                vek_rir_report_field_show(op.request, sizeof(op.request), shown);
                vek_rir_util_log_limited(nullptr, text_send_failed, shown);
            }
        }
        // Due duties run after every request, so at most one request comes between two looks
        // at the timers: senders that never pause must not stop the flush, the replication
        // and the mirror.
        vek_rir_server_duties_run(&timers, vek_rir_util_monotime_secs());
    }
    vek_rir_command_server_destroy(&server_end);
    vek_rir_server_duties_final();
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

namespace {

// The duties a pass or a request runs, always in this order: the snapshot is rewritten before
// everything that reads it, and the peer copy is fetched before the merge reads it.
constexpr unsigned duty_flush = 1;
constexpr unsigned duty_snap = 2;
constexpr unsigned duty_mirror_peer = 4;
constexpr unsigned duty_merge = 8;
constexpr unsigned duty_mirror_local = 16;
constexpr unsigned duties_every = duty_flush | duty_snap | duty_mirror_peer | duty_merge |
                                  duty_mirror_local;

// What a request does besides its duties.
enum class request_act_t { none, clear, inhale };

// One word of the request vocabulary: what it runs, what it may answer besides "ok", and
// whether only a privileged sender may make it. "inhale=" is a prefix; the rest of the request
// names the file.
struct request_word_t {
    std::string_view word;
    bool prefix;
    unsigned duties;
    request_act_t act;
    bool privileged_only;
};
constexpr request_word_t request_words[] = {
    {"nothing", false, 0, request_act_t::none, false},
    {"snap", false, duty_snap, request_act_t::none, false},
    {"flush", false, duty_flush, request_act_t::none, false},
    {"mirror-peer", false, duty_mirror_peer, request_act_t::none, false},
    {"merge", false, duty_snap | duty_merge, request_act_t::none, false},
    {"mirror-peer-and-merge", false, duty_snap | duty_mirror_peer | duty_merge,
     request_act_t::none, false},
    {"mirror-local", false, duty_snap | duty_mirror_local, request_act_t::none, false},
    {"all", false, duties_every, request_act_t::none, false},
    {"all-but-mirror-peer", false, duties_every & ~duty_mirror_peer, request_act_t::none, false},
    // Answered "failed" when it could not be carried out.
    {"clear", false, 0, request_act_t::clear, true},
    {"inhale=", true, 0, request_act_t::inhale, true},
};

const request_word_t *request_word_find(std::string_view request)
{
    for (const request_word_t &w : request_words)
        if (w.prefix ? request.substr(0, w.word.size()) == w.word : request == w.word)
            return &w;
    return nullptr;
}

// Every duty that ran restarts its timer as soon as it has finished (the snapshot has none of
// its own: it runs for the merge and the mirror).
void duties_run_marked(unsigned duties, vek_rir_server_timers_t *timers)
{
    const vek_rir_server_duties_t &run = vek_rir_server_duties;
    if (duties & duty_flush) {
        run.flush();
        timers->t_last_flush = vek_rir_util_monotime_secs();
    }
    if (duties & duty_snap)
        run.snap();
    if (duties & duty_mirror_peer) {
        run.mirror_peer();
        timers->t_last_mirror_peer = vek_rir_util_monotime_secs();
    }
    if (duties & duty_merge) {
        run.merge();
        timers->t_last_merge = vek_rir_util_monotime_secs();
    }
    if (duties & duty_mirror_local) {
        run.mirror_local();
        timers->t_last_mirror_local = vek_rir_util_monotime_secs();
    }
}

// "ok", or "failed" when a clear or an inhale did not succeed.
const char *request_act_run(request_act_t act, const char *request, size_t word_size)
{
    int rc = 0;
    if (act == request_act_t::clear)
        rc = vek_rir_server_duties.clear();
    else if (act == request_act_t::inhale)
        rc = vek_rir_server_duties.inhale(request + word_size);
    return rc == 0 ? answer_ok : vek_rir_command_answer_failed;
}

} // namespace

void vek_rir_server_duties_run(vek_rir_server_timers_t *timers, uint64_t t_now)
{
    vek_rir_server_due_t d = vek_rir_server_duties_due(timers, t_now);
    unsigned duties = (d.flush ? duty_flush : 0u) | (d.snap ? duty_snap : 0u) |
                      (d.mirror_peer ? duty_mirror_peer : 0u) | (d.merge ? duty_merge : 0u) |
                      (d.mirror_local ? duty_mirror_local : 0u);
    duties_run_marked(duties, timers);
}

// The last pass publishes what the log holds at the stop: a fresh snapshot first, as before a
// periodic merge, so that records logged since the last periodic one reach the merged log and
// the mirror, and a server stopped before its first periodic snapshot still leaves them.
static void vek_rir_server_duties_final()
{
    vek_rir_server_timers_t timers;
    duties_run_marked(duties_every, &timers);
}

bool vek_rir_server_sender_privileged(bool credentials, uid_t sender_uid, uid_t server_euid)
{
    return credentials && (sender_uid == 0 || sender_uid == server_euid);
}

void vek_rir_server_request_carry_out(const char *request, bool privileged,
                                      vek_rir_server_timers_t *timers, char *response,
                                      size_t response_size)
{
    const request_word_t *word = request_word_find(request);
    const char *answer = answer_unknown;
    if (word != nullptr && word->privileged_only && !privileged) {
        answer = vek_rir_command_answer_denied;
    } else if (word != nullptr) {
        duties_run_marked(word->duties, timers);
        answer = request_act_run(word->act, request, word->word.size());
    }
    memset(response, 0, response_size);
    strncpy(response, answer, response_size - 1);
}

void vek_rir_server_denial_log(const char *request, bool credentials, uid_t sender_uid,
                               uint64_t (*monotime_msecs)(), vek_rir_server_denials_t *denials)
{
    uint32_t left_out = 0;
    if (!vek_rir_util_limiter_admit(denials, monotime_msecs(), &left_out))
        return;
    // The sender chose the text: one line in the system log whatever it holds.
    char shown[4 * VEK_RIR_COMMAND_REQUEST_MAX_SIZE + 1];
    vek_rir_report_field_show(request, VEK_RIR_COMMAND_REQUEST_MAX_SIZE, shown);
    if (credentials)
        vek_rir_util_log_counted(left_out, text_denied, shown, static_cast<unsigned>(sender_uid));
    else
        vek_rir_util_log_counted(left_out, text_denied_anonymous, shown);
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
