// The log file the export reads: opening and checking it, and reading its records. A merged log
// (or any file as it lies) is walked with the core's ring cursor; a node's own log, which
// writers may be appending to while we read, is read one slot at a time by sequence number,
// with every copy checked against a rewrite of the slot (see vek_rir_export_log_slot_read).
// This file is the only one of the program that uses the core's reading internals: the header
// checks, the positioned record read and the ring cursor.

#include "vek_rir_export/vek_rir_export.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

namespace {

constexpr char which_export[] = "export";
constexpr char text_open_failed[] = "unable to open log file at %s (%s)";
constexpr char text_not_regular[] = "log file at %s is not a regular file";
constexpr char text_bad_size[] = "log file at %s had bad size (%ld/%ld/%ld)";
constexpr char text_header_bad[] = "%s: %s";
constexpr char text_ring_beyond[] = "log file at %s claims a ring beyond its end";
constexpr char text_read_failed[] = "log file at %s: read failed (%s)";

// The sequence number and flags words at the start of a slot.
struct slot_head_t {
    uint64_t seqno;
    uint64_t flags;
    bool operator==(const slot_head_t &) const = default;
};

constexpr uint64_t used_complete = VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE;

off_t slot_offset(const vek_rir_export_log_t *log, uint64_t seqno)
{
    return static_cast<off_t>(VEK_RIR_HEADER_SIZE +
                              (seqno % log->record_count) * VEK_RIR_RECORD_SIZE);
}

int read_exact(vek_rir_failure_info_t *failure_info, const vek_rir_export_log_t *log,
               void *buffer, size_t count, off_t offset)
{
    ssize_t got = log->pread(log->fd.fd, buffer, count, offset);
    if (got != static_cast<ssize_t>(count)) {
        vek_rir_failure_info_set(failure_info, text_read_failed, log->path,
                                 got < 0 ? strerror(errno) : "short");
        return 1;
    }
    return 0;
}

} // namespace

int vek_rir_export_log_open(vek_rir_failure_info_t *failure_info, vek_rir_export_log_t *log,
                            const char *path, bool live)
{
    log->path = path;
    log->nofollow = live;
    // The live log lies in the system's own directory: never through a link. O_NONBLOCK keeps
    // a FIFO put at the path from holding us.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (live ? O_NOFOLLOW : 0);
    log->fd.fd = open(path, flags);
    if (log->fd.fd < 0) {
        vek_rir_failure_info_set(failure_info, text_open_failed, path, strerror(errno));
        return 1;
    }
    struct stat status;
    int rc = fstat(log->fd.fd, &status);
    VEK_RIR_ASSERT(rc == 0);
    if (!S_ISREG(status.st_mode)) {
        vek_rir_failure_info_set(failure_info, text_not_regular, path);
        return 1;
    }
    // The live log, however it was named: writers may be between claim and complete in it.
    struct stat live_status;
    log->live = lstat(vek_rir_local_path, &live_status) == 0 &&
                live_status.st_dev == status.st_dev && live_status.st_ino == status.st_ino;
    if (status.st_size != static_cast<off_t>(VEK_RIR_FILE_SIZE) &&
        status.st_size != static_cast<off_t>(VEK_RIR_MERGED_FILE_SIZE)) {
        vek_rir_failure_info_set(failure_info, text_bad_size, path,
                                 static_cast<long>(VEK_RIR_FILE_SIZE),
                                 static_cast<long>(VEK_RIR_MERGED_FILE_SIZE),
                                 static_cast<long>(status.st_size));
        return 1;
    }
    vek_rir_failure_info_t inner;
    vek_rir_failure_info_clear(&inner);
    if (vek_rir_helper_header_read(&inner, log->fd.fd, &log->header, which_export) != 0 ||
        vek_rir_helper_header_validate(&inner, &log->header, which_export) != 0) {
        vek_rir_failure_info_set(failure_info, text_header_bad, path,
                                 vek_rir_failure_info_text(&inner));
        return 1;
    }
    const vek_rir_header_info_real_t &info = vek_rir_helper_info(&log->header);
    log->record_count = info.record_count;
    log->merged = (info.flags & VEK_RIR_HEADER_FLAG_MERGED) != 0 ||
                  info.record_count == VEK_RIR_MERGED_RECORD_COUNT;
    // Reading by sequence number must never leave the file: a normal file whose header claims
    // the merged ring is refused here rather than failing halfway.
    if (VEK_RIR_HEADER_SIZE + info.record_count * VEK_RIR_RECORD_SIZE >
        static_cast<uint64_t>(status.st_size)) {
        vek_rir_failure_info_set(failure_info, text_ring_beyond, path);
        return 1;
    }
    return 0;
}

int vek_rir_export_log_state(vek_rir_failure_info_t *failure_info,
                             const vek_rir_export_log_t *log, vek_rir_export_log_state_t *state)
{
    // next_seqno to generation in one read: the two are never torn apart by a clear, which
    // raises the generation before next_seqno goes back.
    constexpr size_t from = VEK_RIR_HEADER_OFFSET(next_seqno);
    constexpr size_t to = VEK_RIR_HEADER_OFFSET(generation) + sizeof(uint64_t);
    uint64_t words[(to - from) / sizeof(uint64_t)];
    static_assert(sizeof(words) == 32);
    if (read_exact(failure_info, log, words, sizeof(words), from))
        return 1;
    state->next_seqno = words[0];
    state->generation = words[(VEK_RIR_HEADER_OFFSET(generation) - from) / sizeof(uint64_t)];
    return 0;
}

int vek_rir_export_log_writer_may_hold(vek_rir_failure_info_t *failure_info,
                                       const vek_rir_export_log_t *log, bool *may_hold)
{
    // The lock word's owner bits (0 when free; the kernel clears them when the owner dies) and
    // the boot in which the mutex was made: an owner of an earlier boot holds nothing now.
    int lock_word = 0;
    uint64_t boot_time = 0;
    if (read_exact(failure_info, log, &lock_word, sizeof(lock_word),
                   VEK_RIR_LOCK_OFFSET(mutex_body)) ||
        read_exact(failure_info, log, &boot_time, sizeof(boot_time),
                   VEK_RIR_LOCK_OFFSET(mutex_init_boot_time)))
        return 1;
    static const uint64_t this_boot = vek_rir_util_get_boot_time();
    constexpr unsigned owner_bits = 0x3fffffff;
    static_assert(offsetof(pthread_mutex_t, __data.__lock) == 0);
    *may_hold = (static_cast<unsigned>(lock_word) & owner_bits) != 0 && boot_time == this_boot;
    return 0;
}

bool vek_rir_export_log_same_file(const vek_rir_export_log_t *log)
{
    struct stat open_status, path_status;
    int rc = fstat(log->fd.fd, &open_status);
    VEK_RIR_ASSERT(rc == 0);
    // The live log's name is never followed through a link; an operator's own path may be one.
    if ((log->nofollow ? lstat(log->path, &path_status) : stat(log->path, &path_status)) != 0)
        return false;
    return open_status.st_dev == path_status.st_dev && open_status.st_ino == path_status.st_ino;
}

uint64_t vek_rir_export_log_oldest(const vek_rir_export_log_t *log, uint64_t next_seqno)
{
    return next_seqno > log->record_count ? next_seqno - log->record_count : 0;
}

// How a slot that is being rewritten is detected, without the shared mutex and without write
// access. A writer claims a slot under the mutex by storing its flags (USED, without COMPLETE)
// and its new sequence number, then - after a release fence - fills the rest, and sets COMPLETE
// last with a release store (vek_rir_next_record_get and _return). We read the slot's head
// (sequence number and flags), then the whole slot, then the head again, each read a separate
// pread and an acquire fence between them. A copy that saw any byte of a writer's fill was made
// after that writer's stamp reached memory, so the second head shows the new sequence number or
// the missing COMPLETE: only when both heads are equal to each other and to the copy's, name
// the sequence number asked for and carry USED|COMPLETE, is the copy the record, whole. A
// clear or inhale resets next_seqno before it writes any slot; the caller checks next_seqno
// after each batch's reads, which catches a record copied while the log was being emptied.
int vek_rir_export_log_slot_read(vek_rir_failure_info_t *failure_info,
                                 const vek_rir_export_log_t *log, uint64_t seqno,
                                 vek_rir_record_t *record, vek_rir_export_slot_t *state)
{
    off_t offset = slot_offset(log, seqno);
    // A writer rewriting the slot over and over could change it during every copy; after a few
    // tries the slot counts as one we cannot read yet, and the caller comes back to it.
    for (int attempt = 0; attempt < 4; attempt++) {
        slot_head_t before;
        if (read_exact(failure_info, log, &before, sizeof(before), offset))
            return 1;
        if (before.seqno > seqno && (before.flags & VEK_RIR_RECORD_FLAG_USED)) {
            *state = VEK_RIR_EXPORT_SLOT_OVERWRITTEN;
            return 0;
        }
        if (before.seqno != seqno || !(before.flags & VEK_RIR_RECORD_FLAG_USED)) {
            *state = VEK_RIR_EXPORT_SLOT_PENDING;
            return 0;
        }
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if (read_exact(failure_info, log, record, sizeof(*record), offset))
            return 1;
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        slot_head_t after;
        if (read_exact(failure_info, log, &after, sizeof(after), offset))
            return 1;
        const vek_rir_record_real_t &real = vek_rir_helper_real(record);
        slot_head_t copied{real.seqno, real.flags};
        if (after == before && copied == before) {
            *state = (before.flags & used_complete) == used_complete
                         ? VEK_RIR_EXPORT_SLOT_RECORD
                         : VEK_RIR_EXPORT_SLOT_INCOMPLETE;
            return 0;
        }
        if (after.seqno > seqno && (after.flags & VEK_RIR_RECORD_FLAG_USED)) {
            *state = VEK_RIR_EXPORT_SLOT_OVERWRITTEN;
            return 0;
        }
    }
    *state = VEK_RIR_EXPORT_SLOT_PENDING;
    return 0;
}

int vek_rir_export_log_slot_peek(vek_rir_failure_info_t *failure_info,
                                 const vek_rir_export_log_t *log, uint64_t seqno,
                                 uint64_t *slot_seqno, uint64_t *secs, uint64_t *usecs)
{
    uint64_t words[4];
    if (read_exact(failure_info, log, words, sizeof(words), slot_offset(log, seqno)))
        return 1;
    static_assert(VEK_RIR_RECORD_OFFSET(time_secs) == 2 * sizeof(uint64_t));
    *slot_seqno = words[0];
    *secs = words[2];
    *usecs = words[3];
    return 0;
}

int vek_rir_export_log_walk(vek_rir_failure_info_t *failure_info, const vek_rir_export_log_t *log,
                            int (*visit)(void *cookie, const vek_rir_record_t *record),
                            void *cookie)
{
    vek_rir_helper_walk_info_t walk_info;
    vek_rir_helper_walk_info_populate(&walk_info, &log->header);
    vek_rir_record_t record;
    vek_rir_failure_info_t inner;
    vek_rir_failure_info_clear(&inner);
    uint64_t index;
    while (vek_rir_helper_walk_info_next(&walk_info, &index)) {
        if (vek_rir_helper_record_read(&inner, log->fd.fd, index, &record, which_export) != 0) {
            vek_rir_failure_info_set(failure_info, text_header_bad, log->path,
                                     vek_rir_failure_info_text(&inner));
            return 1;
        }
        if (visit(cookie, &record) < 0)
            break;
    }
    return 0;
}
