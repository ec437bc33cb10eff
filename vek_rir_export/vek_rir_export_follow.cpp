// Reading a node's log by sequence number while writers append to it, without its mutex: the
// position, the cursor that carries it across runs, and the lines that account for every record
// not printed. Owns the follower's state (vek_rir_export_follow_t); reads the log only through
// vek_rir_export_log.cpp and writes only through vek_rir_export_output.cpp and the cursor file.
//
// What a reader downstream may rely on: no record is printed twice, and every record of the
// log is printed, or counted by a loss line (the ring overwrote it, or its writer left it
// unfinished), or lies before a reset line (the log was emptied and started again). The log's
// generation tells an emptied log from one merely appended to: a copy of a slot is taken for a
// record of the log being read only when the generation read after the copy is still that
// log's and next_seqno has not gone back.

#include "vek_rir_export/vek_rir_export.h"

#include <inttypes.h>
#include <stdarg.h>
#include <string.h>

namespace {

constexpr char why_emptied[] = "the log was cleared or inhaled";
constexpr char why_went_back[] =
    "the log went back to an earlier state (restored, or cut short by a power failure)";
constexpr char why_other_log[] = "the cursor was saved for another log";
constexpr char why_misfit[] = "the cursor does not fit the log (another log, or a cleared one)";
constexpr char why_replaced[] = "the file at %s was replaced";

bool stopped(const vek_rir_export_follow_t *x)
{
    return x->stop != nullptr && x->stop->load() != 0;
}

uint64_t node_flags(const vek_rir_export_log_t *log)
{
    return vek_rir_helper_info(&log->header).flags &
           (VEK_RIR_HEADER_FLAG_NODE_A | VEK_RIR_HEADER_FLAG_NODE_B);
}

uint64_t oldest(const vek_rir_export_follow_t *x, uint64_t next_seqno)
{
    return vek_rir_export_log_oldest(&x->log, next_seqno);
}

// Sequence numbers start again: one line, and the position moves to the oldest record of the
// log as it is now. Nothing changes unless the line went out.
int emit_reset(vek_rir_export_follow_t *x, const char *why,
               const vek_rir_export_log_state_t &state)
{
    vek_rir_export_warn("%s: sequence numbers start again", why);
    if (vek_rir_export_out_reset(&x->out, x->last_known, x->last_seqno) != 0)
        return 1;
    x->generation = state.generation;
    x->out.generation = static_cast<int64_t>(state.generation);
    x->next = oldest(x, state.next_seqno);
    x->last_known = false;
    x->unfinished_count = 0;
    x->pending = false;
    x->moved = true;
    return 0;
}

int emit_lost(vek_rir_export_follow_t *x, uint64_t count, vek_rir_export_lost_t cause,
              uint64_t seqno)
{
    switch (cause) {
    case VEK_RIR_EXPORT_LOST_OVERWRITTEN:
        vek_rir_export_warn("lost %" PRIu64 " records that the ring overwrote before they were read",
                            count);
        break;
    case VEK_RIR_EXPORT_LOST_OVERWRITTEN_OR_RESET:
        vek_rir_export_warn("lost %" PRIu64 " records: the ring overwrote them before they were "
                            "read, or the log was cleared or inhaled meanwhile (it keeps no "
                            "count of that)",
                            count);
        break;
    case VEK_RIR_EXPORT_LOST_UNFINISHED:
        vek_rir_export_warn("record %" PRIu64 " was left unfinished by its writer", seqno);
        break;
    }
    if (vek_rir_export_out_lost(&x->out, count, x->last_known, x->last_seqno, cause, seqno) != 0)
        return 1;
    x->moved = true;
    return 0;
}

// Records before `to` are gone from the ring: one loss line for them, and the position after.
int skip_overwritten(vek_rir_export_follow_t *x, uint64_t to)
{
    // A log that keeps no generation cannot tell a refill past the ring from appends.
    vek_rir_export_lost_t cause = x->generation == 0 ? VEK_RIR_EXPORT_LOST_OVERWRITTEN_OR_RESET
                                                     : VEK_RIR_EXPORT_LOST_OVERWRITTEN;
    if (emit_lost(x, to - x->next, cause, 0) != 0)
        return 1;
    x->next = to;
    x->pending = false;
    return 0;
}

int take(vek_rir_export_follow_t *x, const vek_rir_record_t *record, bool in_order)
{
    const vek_rir_record_real_t &real = vek_rir_helper_real(record);
    if (vek_rir_export_filter_pass(x->options, real) &&
        vek_rir_export_out_record(&x->out, record) != 0)
        return 1;
    if (!in_order)
        return 0;
    x->last_known = true;
    x->last_seqno = x->next;
    x->last_secs = real.time_secs;
    x->last_usecs = real.time_usecs;
    x->next++;
    x->moved = true;
    x->pending = false;
    return 0;
}

// The log went back (next_seqno below the position) in the same generation: the file restored
// to an earlier state (a power cut loses what was not flushed), or, in a log that keeps no
// generation, perhaps a clear. Restored, it holds the records read already, and after them
// those appended since, which are later than the last record read: reading goes on at the
// first of those, so that nothing is printed twice, after a reset line that says the sequence
// numbers from there on name new records.
int went_back(vek_rir_export_follow_t *x, const vek_rir_export_log_state_t &state)
{
    uint64_t n = state.next_seqno;
    uint64_t resume = n;
    bool read_before = false; // a record not later than the last one read is still there
    while (x->last_known && resume > oldest(x, n)) {
        uint64_t seqno = 0, secs = 0, usecs = 0;
        if (vek_rir_export_log_slot_peek(&x->failure, &x->log, resume - 1, &seqno, &secs,
                                         &usecs) != 0)
            return 1;
        if (seqno != resume - 1)
            break;
        if (secs < x->last_secs || (secs == x->last_secs && usecs <= x->last_usecs)) {
            read_before = true;
            break;
        }
        resume--;
    }
    // Without a generation, a log that kept none of the records read was emptied.
    if (x->generation == 0 && !read_before)
        return emit_reset(x, why_emptied, state);
    if (emit_reset(x, why_went_back, state) != 0)
        return 1;
    x->next = resume;
    return 0;
}

// Whether the position still belongs to the log as the header shows it now; resets and losses
// are reported here, before a batch reads a slot. `why_emptied_text` names the cause when the
// generation moved. 0, or 1 when reading or writing failed.
int position_check(vek_rir_export_follow_t *x, const vek_rir_export_log_state_t &state,
                   const char *why_emptied_text)
{
    if (state.generation != x->generation)
        return emit_reset(x, why_emptied_text, state);
    if (state.next_seqno < x->next)
        return went_back(x, state);
    uint64_t first = oldest(x, state.next_seqno);
    // In a log that keeps a generation, an unchanged one says the log is the one read (a slot
    // that lost its record to a power cut shows as unfinished when it is read). Without one, the
    // slot of the last record read tells whether the log was emptied and refilled past it.
    if (x->generation == 0 && x->last_known && x->last_seqno >= first) {
        uint64_t seqno = 0, secs = 0, usecs = 0;
        if (vek_rir_export_log_slot_peek(&x->failure, &x->log, x->last_seqno, &seqno, &secs,
                                         &usecs) != 0)
            return 1;
        if (seqno < x->last_seqno ||
            (seqno == x->last_seqno && (secs != x->last_secs || usecs != x->last_usecs)))
            return emit_reset(x, why_emptied_text, state);
    }
    if (x->next < first)
        return skip_overwritten(x, first);
    return 0;
}

// After a slot was copied: whether the copy belongs to the log being read. The generation is
// raised before an emptied log's first slot is rewritten, so a copy that saw any byte of the
// new log is followed by a generation read that sees it raised.
int copy_confirm(vek_rir_export_follow_t *x, uint64_t *n, bool *same_log)
{
    vek_rir_export_log_state_t state;
    if (vek_rir_export_log_state(&x->failure, &x->log, &state) != 0)
        return 1;
    *same_log = state.generation == x->generation && state.next_seqno >= *n;
    if (*same_log)
        *n = state.next_seqno;
    return 0;
}

void unfinished_remember(vek_rir_export_follow_t *x, uint64_t seqno)
{
    if (x->unfinished_count == VEK_RIR_EXPORT_UNFINISHED_MAX) {
        memmove(x->unfinished, x->unfinished + 1,
                sizeof(x->unfinished[0]) * (VEK_RIR_EXPORT_UNFINISHED_MAX - 1));
        x->unfinished_count--;
    }
    x->unfinished[x->unfinished_count++] = seqno;
}

// One more look at the slot at `seqno` once its writer let the mutex go: it is final now,
// complete or never to be. *state is what the slot holds, *same_log whether the copy belongs
// to the log being read (when not, the caller ends the batch). 0, or 1 when reading failed.
int slot_final_read(vek_rir_export_follow_t *x, uint64_t seqno, vek_rir_record_t *record,
                    vek_rir_export_slot_t *state, bool *same_log)
{
    if (vek_rir_export_log_slot_read(&x->failure, &x->log, seqno, record, state) != 0)
        return 1;
    uint64_t n_now = seqno + 1;
    return copy_confirm(x, &n_now, same_log);
}

// A slot claimed but not complete at the position. Its writer holds the shared mutex from
// claim to complete, so it is gone when a later claim was made before the copy (n_before), and
// it let go since the copy when a later claim exists now (n_after) or the mutex shows no holder
// of this boot: then one more look decides between complete and unfinished for good. Otherwise
// the slot is waited for as long as a writer may hold the mutex, then given up (and looked at
// again in later batches). 0 with *wait set when the batch should stop and come back; 0 with
// the position moved past the slot; 1 when reading or writing failed.
int slot_unfinished(vek_rir_export_follow_t *x, uint64_t n_before, uint64_t n_after, bool *wait)
{
    *wait = false;
    bool gone = n_before > x->next + 1;
    bool let_go = !gone && n_after > x->next + 1;
    if (!gone && !let_go) {
        bool may_hold = false;
        if (vek_rir_export_log_writer_may_hold(&x->failure, &x->log, &may_hold) != 0)
            return 1;
        let_go = !may_hold;
    }
    if (let_go) {
        vek_rir_record_t record;
        vek_rir_export_slot_t state;
        bool same_log = false;
        if (slot_final_read(x, x->next, &record, &state, &same_log) != 0)
            return 1;
        if (!same_log) {
            *wait = true; // the next batch's position check reports what happened
            return 0;
        }
        if (state == VEK_RIR_EXPORT_SLOT_RECORD)
            return take(x, &record, true);
        gone = true;
    }
    if (!gone) {
        uint64_t now = x->clock_msecs();
        if (!x->pending) {
            x->pending = true;
            x->pending_since = now;
        }
        if (now - x->pending_since < x->slot_wait_msecs) {
            *wait = true;
            return 0;
        }
    }
    if (emit_lost(x, 1, VEK_RIR_EXPORT_LOST_UNFINISHED, x->next) != 0)
        return 1;
    if (!gone)
        unfinished_remember(x, x->next);
    x->next++;
    x->pending = false;
    return 0;
}

// Slots given up earlier: one that its writer completed since is printed now; one overwritten,
// or whose writer let the mutex go without completing it, is forgotten (its loss line stands).
int unfinished_recheck(vek_rir_export_follow_t *x, uint64_t n)
{
    int kept = 0;
    for (int i = 0; i < x->unfinished_count; i++) {
        uint64_t seqno = x->unfinished[i];
        if (seqno < oldest(x, n))
            continue;
        vek_rir_record_t record;
        vek_rir_export_slot_t state;
        bool same_log = false;
        if (slot_final_read(x, seqno, &record, &state, &same_log) != 0)
            return 1;
        if (!same_log)
            return 0; // the next position check resets and forgets them
        if (state == VEK_RIR_EXPORT_SLOT_RECORD) {
            if (take(x, &record, false) != 0)
                return 1;
            continue;
        }
        // Still open while no later claim was made before the look (n was read before it).
        if (state != VEK_RIR_EXPORT_SLOT_OVERWRITTEN && n == seqno + 1)
            x->unfinished[kept++] = seqno;
    }
    x->unfinished_count = kept;
    return 0;
}

// A slot that is not what it should be in a file that nobody writes (a snapshot, a copy): a
// record whose writer died while filling it is shown as it is (its flags say so); a slot
// claimed and never stamped has nothing of its own to show.
int slot_unfinished_at_rest(vek_rir_export_follow_t *x, const vek_rir_record_t *record,
                            vek_rir_export_slot_t state)
{
    if (state == VEK_RIR_EXPORT_SLOT_INCOMPLETE)
        return take(x, record, true);
    if (emit_lost(x, 1, VEK_RIR_EXPORT_LOST_UNFINISHED, x->next) != 0)
        return 1;
    x->next++;
    return 0;
}

int batch_read(vek_rir_export_follow_t *x, uint64_t n)
{
    bool writers = x->log.live || x->options->follow;
    vek_rir_record_t record;
    while (x->next < n && !stopped(x)) {
        uint64_t n_before = n;
        vek_rir_export_slot_t state;
        if (vek_rir_export_log_slot_read(&x->failure, &x->log, x->next, &record, &state) != 0)
            return 1;
        bool same_log = false;
        if (copy_confirm(x, &n, &same_log) != 0)
            return 1;
        if (!same_log) {
            // Emptied while we read: nothing of this copy is taken. The next batch's position
            // check reports the reset; come back at once.
            x->waiting = true;
            return 0;
        }
        switch (state) {
        case VEK_RIR_EXPORT_SLOT_RECORD:
            if (take(x, &record, true) != 0)
                return 1;
            break;
        case VEK_RIR_EXPORT_SLOT_INCOMPLETE:
        case VEK_RIR_EXPORT_SLOT_PENDING: {
            if (!writers) {
                if (slot_unfinished_at_rest(x, &record, state) != 0)
                    return 1;
                break;
            }
            bool wait = false;
            if (slot_unfinished(x, n_before, n, &wait) != 0)
                return 1;
            if (wait) {
                x->waiting = true;
                return 0;
            }
            break;
        }
        case VEK_RIR_EXPORT_SLOT_OVERWRITTEN: {
            uint64_t first = oldest(x, n);
            if (skip_overwritten(x, first > x->next ? first : x->next + 1) != 0)
                return 1;
            break;
        }
        }
    }
    return 0;
}

int cursor_apply(vek_rir_export_follow_t *x, const vek_rir_export_log_state_t &state)
{
    vek_rir_export_cursor_t cursor;
    switch (vek_rir_export_cursor_load(&x->failure, x->options->cursor_path, &cursor)) {
    case VEK_RIR_EXPORT_CURSOR_MISSING:
        x->moved = true;
        return 0;
    case VEK_RIR_EXPORT_CURSOR_FAILED:
        return 1;
    case VEK_RIR_EXPORT_CURSOR_BAD:
        vek_rir_export_warn("%s; starting from the oldest record",
                            vek_rir_failure_info_text(&x->failure));
        x->moved = true;
        return vek_rir_export_out_reset(&x->out, false, 0) != 0 ? 2 : 0;
    case VEK_RIR_EXPORT_CURSOR_LOADED:
        break;
    }
    x->next = cursor.next_seqno;
    x->last_known = cursor.last_known;
    x->last_seqno = cursor.last_seqno;
    x->last_secs = cursor.last_secs;
    x->last_usecs = cursor.last_usecs;
    x->generation = cursor.generation;
    if (cursor.header_flags != node_flags(&x->log))
        return emit_reset(x, why_other_log, state) != 0 ? 2 : 0;
    int rc = position_check(x, state, "the log was cleared or inhaled since the cursor was saved");
    if (rc != 0)
        return x->out.closed || x->out.interrupted || x->out.error ? 2 : 1;
    return 0;
}

} // namespace

void vek_rir_export_warn(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    fprintf(stderr, "%s: %s\n", vek_rir_export_name, line);
}

int vek_rir_export_follow_start(vek_rir_export_follow_t *x)
{
    vek_rir_export_log_state_t state;
    if (vek_rir_export_log_state(&x->failure, &x->log, &state) != 0)
        return 1;
    x->generation = state.generation;
    x->out.generation = static_cast<int64_t>(state.generation);
    x->next = oldest(x, state.next_seqno);
    if (x->options->cursor_path == nullptr)
        return 0;
    return cursor_apply(x, state);
}

int vek_rir_export_follow_batch(vek_rir_export_follow_t *x)
{
    x->waiting = false;
    vek_rir_export_log_state_t state;
    if (vek_rir_export_log_state(&x->failure, &x->log, &state) != 0)
        return 1;
    if (position_check(x, state, why_emptied) != 0 ||
        unfinished_recheck(x, state.next_seqno) != 0 || batch_read(x, state.next_seqno) != 0)
        return 1;
    return vek_rir_export_out_flush(&x->out);
}

int vek_rir_export_follow_reopen(vek_rir_export_follow_t *x)
{
    if (vek_rir_export_log_same_file(&x->log))
        return 0;
    vek_rir_export_log_t fresh;
    fresh.pread = x->log.pread;
    vek_rir_failure_info_t ignored;
    // A file not yet (or no longer) a log at the path: the open one is read until one is.
    if (vek_rir_export_log_open(&ignored, &fresh, x->log.path, x->log.nofollow) != 0 ||
        fresh.merged)
        return 0;
    // What the open file still holds beyond the position comes first.
    if (vek_rir_export_follow_batch(x) != 0)
        return 1;
    bool was_live = x->log.live;
    bool same_node = node_flags(&x->log) == node_flags(&fresh);
    x->log.fd.reset();
    x->log.fd.fd = fresh.fd.fd;
    fresh.fd.fd = -1;
    x->log.header = fresh.header;
    x->log.record_count = fresh.record_count;
    x->log.live = fresh.live;
    vek_rir_export_log_state_t state;
    if (vek_rir_export_log_state(&x->failure, &x->log, &state) != 0)
        return 1;
    // A new live log is another log, whatever its numbers say. A renewed snapshot of the same
    // log (same node, same generation) goes on where the old file was left.
    bool continues = !was_live && same_node && state.generation == x->generation &&
                     state.generation != 0;
    if (!continues) {
        char why[600];
        snprintf(why, sizeof(why), why_replaced, x->log.path);
        return emit_reset(x, why, state);
    }
    return position_check(x, state, why_emptied);
}

void vek_rir_export_follow_cursor_save(vek_rir_export_follow_t *x)
{
    if (x->options->cursor_path == nullptr || !x->moved)
        return;
    vek_rir_export_cursor_t cursor;
    cursor.next_seqno = x->next;
    cursor.last_known = x->last_known;
    cursor.last_seqno = x->last_seqno;
    cursor.last_secs = x->last_secs;
    cursor.last_usecs = x->last_usecs;
    cursor.header_flags = node_flags(&x->log);
    cursor.generation = x->generation;
    vek_rir_failure_info_t failure;
    vek_rir_failure_info_clear(&failure);
    if (vek_rir_export_cursor_save(&failure, x->options->cursor_path, &cursor) != 0) {
        // A failed save skips this round; the next batch tries again. One line per outage.
        if (!x->save_failing)
            vek_rir_export_warn("%s", vek_rir_failure_info_text(&failure));
        x->save_failing = true;
        return;
    }
    x->save_failing = false;
    x->moved = false;
}
