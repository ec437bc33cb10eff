// vek_rir_export: the companion reader for operators and log shippers. Prints any log file's
// records oldest first as rir_dump's lines or as JSON Lines, follows a node's log as it is
// appended to, reports records that the ring overwrote before they were read and logs that
// were cleared or inhaled, and resumes after a restart from a cursor file. It reads only: no
// shared mutex, no write access to the log.

#include "vek_rir_export/vek_rir_export.h"

#include <errno.h>
#include <inttypes.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <time.h>

#include <atomic>

namespace {

// A poll of an idle log is two small preads; at this pace an idle follow costs far below 1 % of
// a core while a new record still shows within 0.5 s.
constexpr long poll_msecs = 150;
// How long a follower waits for the writer of a slot that is claimed but not yet complete (a
// writer holds it for microseconds); after that the slot is shown marked incomplete.
constexpr uint64_t incomplete_grace_msecs = 2000;

constexpr char text_follow_merged[] =
    "cannot follow a merged log (its records are re-ordered at every merge)";
constexpr char text_cursor_merged[] = "a cursor file needs a node's log, not a merged log";
constexpr char text_write_failed[] = "unable to write the output (%s)";

std::atomic<int> stop_signal{0};

void on_stop(int signal_number)
{
    stop_signal.store(signal_number);
}

void warn(const char *format, ...) __attribute__((format(printf, 1, 2)));
void warn(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    fprintf(stderr, "%s: %s\n", vek_rir_export_name, line);
}

uint64_t monotime_msecs()
{
    struct timespec ts;
    int rc = clock_gettime(CLOCK_MONOTONIC, &ts);
    VEK_RIR_ASSERT(rc == 0);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

struct export_t {
    const vek_rir_export_options_t *options = nullptr;
    vek_rir_export_log_t log;
    vek_rir_export_out_t out;
    bool wait_for_writers = false; // a log that writers may be appending to
    // The position in a node's log: the first record not yet read, and the last one read.
    uint64_t next = 0;
    bool last_known = false;
    uint64_t last_seqno = 0, last_secs = 0, last_usecs = 0;
    bool moved = false;     // the position changed since the cursor was saved
    bool waiting = false;   // the batch stopped at a slot whose writer is still at work
    bool pending = false;   // a slot is being waited for since pending_since
    uint64_t pending_seqno = 0, pending_since = 0;
    bool save_failing = false;
    vek_rir_failure_info_t failure;
};

uint64_t node_flags(const vek_rir_export_log_t *log)
{
    return vek_rir_helper_info(&log->header).flags &
           (VEK_RIR_HEADER_FLAG_NODE_A | VEK_RIR_HEADER_FLAG_NODE_B);
}

void cursor_save(export_t *x)
{
    if (x->options->cursor_path == nullptr || !x->moved)
        return;
    vek_rir_export_cursor_t cursor;
    cursor.next_seqno = x->next;
    cursor.last_known = x->last_known;
    cursor.last_secs = x->last_secs;
    cursor.last_usecs = x->last_usecs;
    cursor.header_flags = node_flags(&x->log);
    vek_rir_failure_info_t failure;
    vek_rir_failure_info_clear(&failure);
    if (vek_rir_export_cursor_save(&failure, x->options->cursor_path, &cursor) != 0) {
        // A failed save skips this round; the next batch tries again. One line per outage.
        if (!x->save_failing)
            warn("%s", vek_rir_failure_info_text(&failure));
        x->save_failing = true;
        return;
    }
    x->save_failing = false;
    x->moved = false;
}

int emit_reset(export_t *x, const char *why)
{
    warn("%s: sequence numbers start again", why);
    int rc = vek_rir_export_out_reset(&x->out, x->next > 0, x->next - 1);
    x->last_known = false;
    x->moved = true;
    return rc;
}

int emit_lost(export_t *x, uint64_t count)
{
    warn("lost %" PRIu64 " records that the ring overwrote before they were read", count);
    x->moved = true;
    return vek_rir_export_out_lost(&x->out, count, x->next > 0, x->next - 1);
}

// The slot at x->next waits for its writer: true once the wait has lasted long enough (or at
// once in a file that nobody writes), after which the slot is taken as it is.
bool pending_expired(export_t *x)
{
    if (!x->wait_for_writers)
        return true;
    uint64_t now = monotime_msecs();
    if (!x->pending || x->pending_seqno != x->next) {
        x->pending = true;
        x->pending_seqno = x->next;
        x->pending_since = now;
        return false;
    }
    return now - x->pending_since >= incomplete_grace_msecs;
}

void advance(export_t *x, const vek_rir_record_real_t &real)
{
    x->last_known = true;
    x->last_seqno = x->next;
    x->last_secs = real.time_secs;
    x->last_usecs = real.time_usecs;
    x->next++;
    x->moved = true;
    x->pending = false;
}

// One pass over what a node's log holds beyond the position: 0, or 1 when reading or writing
// failed (x->failure or x->out says which).
int batch(export_t *x)
{
    x->waiting = false;
    uint64_t n = 0;
    if (vek_rir_export_log_next_seqno(&x->failure, &x->log, &n) != 0)
        return 1;
    if (n < x->next) {
        if (emit_reset(x, "the log was cleared or inhaled") != 0)
            return 1;
        x->next = vek_rir_export_log_oldest(&x->log, n);
    } else if (x->last_known && x->last_seqno >= vek_rir_export_log_oldest(&x->log, n)) {
        // Cleared and written past our position between two polls: the last record read is
        // no longer in its slot, another one with its sequence number is.
        uint64_t seqno = 0, secs = 0, usecs = 0;
        if (vek_rir_export_log_slot_peek(&x->failure, &x->log, x->last_seqno, &seqno, &secs,
                                         &usecs) != 0)
            return 1;
        if (seqno == x->last_seqno && (secs != x->last_secs || usecs != x->last_usecs)) {
            if (emit_reset(x, "the log was cleared or inhaled") != 0)
                return 1;
            x->next = vek_rir_export_log_oldest(&x->log, n);
        }
    }
    uint64_t oldest = vek_rir_export_log_oldest(&x->log, n);
    if (x->next < oldest) {
        if (emit_lost(x, oldest - x->next) != 0)
            return 1;
        x->next = oldest;
    }
    vek_rir_record_t record;
    while (x->next < n && stop_signal.load() == 0) {
        vek_rir_export_slot_t state;
        if (vek_rir_export_log_slot_read(&x->failure, &x->log, x->next, &record, &state) != 0)
            return 1;
        const vek_rir_record_real_t &real = vek_rir_helper_real(&record);
        switch (state) {
        case VEK_RIR_EXPORT_SLOT_RECORD:
            break;
        case VEK_RIR_EXPORT_SLOT_INCOMPLETE:
            // A later claim means this slot's writer let the mutex go: it died while filling.
            if (n > x->next + 1 || pending_expired(x))
                break;
            x->waiting = true;
            return 0;
        case VEK_RIR_EXPORT_SLOT_PENDING:
            if (n > x->next + 1 || pending_expired(x)) {
                // Claimed, never stamped: its writer died before it wrote a byte.
                if (emit_lost(x, 1) != 0)
                    return 1;
                x->next++;
                x->pending = false;
                continue;
            }
            x->waiting = true;
            return 0;
        case VEK_RIR_EXPORT_SLOT_OVERWRITTEN: {
            if (vek_rir_export_log_next_seqno(&x->failure, &x->log, &n) != 0)
                return 1;
            oldest = vek_rir_export_log_oldest(&x->log, n);
            uint64_t lost = oldest > x->next ? oldest - x->next : 1;
            if (emit_lost(x, lost) != 0)
                return 1;
            x->next += lost;
            x->pending = false;
            continue;
        }
        }
        if (vek_rir_export_filter_pass(x->options, real) &&
            vek_rir_export_out_record(&x->out, &record) != 0)
            return 1;
        advance(x, real);
    }
    return vek_rir_export_out_flush(&x->out);
}

// Where a node's log is read from first: after the cursor when it fits the log, else the
// oldest record. 0, or 1 when the cursor file could not be read at all.
int start_position(export_t *x, uint64_t n)
{
    uint64_t oldest = vek_rir_export_log_oldest(&x->log, n);
    x->next = oldest;
    const char *cursor_path = x->options->cursor_path;
    if (cursor_path == nullptr)
        return 0;
    vek_rir_export_cursor_t cursor;
    switch (vek_rir_export_cursor_load(&x->failure, cursor_path, &cursor)) {
    case VEK_RIR_EXPORT_CURSOR_MISSING:
        x->moved = true;
        return 0;
    case VEK_RIR_EXPORT_CURSOR_FAILED:
        return 1;
    case VEK_RIR_EXPORT_CURSOR_BAD:
        warn("%s; starting from the oldest record", vek_rir_failure_info_text(&x->failure));
        x->moved = true;
        return vek_rir_export_out_reset(&x->out, false, 0) != 0 ? 2 : 0;
    case VEK_RIR_EXPORT_CURSOR_LOADED:
        break;
    }
    const char *misfit = nullptr;
    if (cursor.header_flags != node_flags(&x->log)) {
        misfit = "the cursor was saved for another log";
    } else if (cursor.next_seqno > n) {
        misfit = "the log was cleared or inhaled since the cursor was saved";
    } else if (cursor.last_known && cursor.next_seqno - 1 >= oldest) {
        uint64_t seqno = 0, secs = 0, usecs = 0;
        if (vek_rir_export_log_slot_peek(&x->failure, &x->log, cursor.next_seqno - 1, &seqno,
                                         &secs, &usecs) != 0)
            return 1;
        // A later record in the slot was written since we looked: the batch reports the loss.
        if (seqno <= cursor.next_seqno - 1 &&
            (seqno != cursor.next_seqno - 1 || secs != cursor.last_secs ||
             usecs != cursor.last_usecs))
            misfit = "the cursor does not fit the log (another log, or a cleared one)";
    }
    if (misfit != nullptr) {
        x->next = cursor.next_seqno;
        int rc = emit_reset(x, misfit);
        x->next = oldest;
        return rc != 0 ? 2 : 0;
    }
    x->next = cursor.next_seqno;
    x->last_known = cursor.last_known;
    x->last_seqno = cursor.next_seqno - 1;
    x->last_secs = cursor.last_secs;
    x->last_usecs = cursor.last_usecs;
    return 0;
}

struct walk_cookie_t {
    export_t *x;
    bool failed;
};

int walk_visit(void *cookie, const vek_rir_record_t *record)
{
    walk_cookie_t *walk = static_cast<walk_cookie_t *>(cookie);
    if (stop_signal.load() != 0)
        return -1;
    if (vek_rir_export_filter_pass(walk->x->options, vek_rir_helper_real(record)) &&
        vek_rir_export_out_record(&walk->x->out, record) != 0) {
        walk->failed = true;
        return -1;
    }
    return 0;
}

// The end of the run: the cursor saved, the output's state turned into the exit status.
int finish(export_t *x, int rc)
{
    cursor_save(x);
    if (x->out.closed)
        return 0; // the reader went away: nothing more to say
    if (x->out.error != 0) {
        warn(text_write_failed, strerror(x->out.error));
        return 1;
    }
    if (rc != 0)
        warn("%s", vek_rir_failure_info_text(&x->failure));
    return rc;
}

void signals_install()
{
    // A closed output shows as EPIPE on the write, which ends the run quietly.
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the poll's sleep ends at once.
    int rc = sigaction(SIGINT, &action, nullptr);
    VEK_RIR_ASSERT(rc == 0);
    rc = sigaction(SIGTERM, &action, nullptr);
    VEK_RIR_ASSERT(rc == 0);
}

} // namespace

int main(int argc, char **argv)
{
    vek_rir_export_options_t options;
    char error[256];
    if (vek_rir_export_options_parse(argc, argv, &options, error, sizeof(error)) != 0) {
        warn("%s", error);
        return 1;
    }
    if (options.help) {
        vek_rir_export_usage(stdout);
        return 0;
    }
    if (options.version) {
        printf("%s 1.0.0\n", vek_rir_export_name);
        return 0;
    }
    signals_install();
    export_t x;
    x.options = &options;
    x.out.format = options.format;
    vek_rir_failure_info_clear(&x.failure);
    if (vek_rir_export_log_open(&x.failure, &x.log, options.log_path, options.log_is_live) != 0) {
        warn("%s", vek_rir_failure_info_text(&x.failure));
        return 1;
    }
    if (x.log.merged) {
        if (options.follow || options.cursor_path != nullptr) {
            warn(options.follow ? text_follow_merged : text_cursor_merged);
            return 1;
        }
        static char buffer[1 << 16];
        setvbuf(stdout, buffer, _IOFBF, sizeof(buffer));
        walk_cookie_t walk{&x, false};
        int rc = vek_rir_export_log_walk(&x.failure, &x.log, walk_visit, &walk);
        if (!walk.failed)
            vek_rir_export_out_flush(&x.out);
        return finish(&x, rc);
    }
    // Followed or resumable output goes out line by line, so the cursor never runs ahead of
    // what the reader was given.
    static char buffer[1 << 16];
    if (options.follow || options.cursor_path != nullptr)
        setvbuf(stdout, nullptr, _IOLBF, 0);
    else
        setvbuf(stdout, buffer, _IOFBF, sizeof(buffer));
    x.wait_for_writers = options.log_is_live || options.follow;
    uint64_t n = 0;
    if (vek_rir_export_log_next_seqno(&x.failure, &x.log, &n) != 0)
        return finish(&x, 1);
    int rc = start_position(&x, n);
    if (rc != 0)
        return finish(&x, rc == 1 ? 1 : 0);
    for (;;) {
        if (batch(&x) != 0)
            return finish(&x, 1);
        cursor_save(&x);
        if (stop_signal.load() != 0 || (!options.follow && !x.waiting))
            break;
        struct timespec pause = {0, poll_msecs * 1000000L};
        nanosleep(&pause, nullptr);
    }
    return finish(&x, 0);
}
