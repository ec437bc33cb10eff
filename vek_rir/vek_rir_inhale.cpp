// Inhale and clear: the two maintenance operations that rewrite the live log in place. Inhale
// empties the live log and appends, as new records of this node, the contents of every record of
// a log file in that file's order; clear only empties it. Both hold the shared lock for their
// whole run, so no other writer's record is interleaved, and flush the mapping at the end. The
// server's wrappers tell the server whether the request was carried out, so that its sender is
// not told "ok" for a refusal, and write the failure to the system log, one line of a kind every
// 10 s, since a request can cause it. Touches the live mapping and reads the inhale file;
// writes no file but the live log.

#include "vek_rir/vek_rir_int.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char text_no_path[] = "inhale path not specified";
constexpr char text_open_failed[] = "unable to open inhale file at %s";
constexpr char text_not_regular[] = "inhale file at %s is not a regular file";
constexpr char text_is_live_log[] = "inhale file at %s is the live log";
constexpr char text_bad_size[] = "inhale file at %s had bad size (%ld/%ld/%ld)";
constexpr char text_ring_beyond[] = "inhale file at %s holds fewer records than its header claims";
constexpr char text_log_inhale[] = "unable to inhale %s: %s\n";
constexpr char text_log_clear[] = "unable to clear RIR: %s\n";
constexpr char which_inhale[] = "inhale";

constexpr long size_of_normal_file = static_cast<long>(VEK_RIR_FILE_SIZE);
constexpr long size_of_merged_file = static_cast<long>(VEK_RIR_MERGED_FILE_SIZE);

// Under the shared lock. The generation is raised before next_seqno goes back and before any
// slot is rewritten, with a release fence between: a reader without the lock that copied a
// slot of the refilled log and then reads the generation sees it raised.
void live_log_empty()
{
    vek_rir_header_info_real_t &info = vek_rir_helper_info(vek_rir_header);
    __atomic_store_n(&info.generation, info.generation + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    info.next_seqno = 0;
    info.last_touch_secs = 0;
    info.last_touch_usecs = 0;
}

// Every refusal happens here, before the lock is taken, so a refused file leaves the live log
// as it was. Beyond the size and the header, three files are refused that would do harm once the
// live log is emptied: one that is no regular file (a FIFO would block the server for ever), the
// live log itself (each claim would overwrite a record not yet read), and one whose header
// claims a ring larger than the file (the walk would fail halfway, the earlier log lost).
int inhale_check(vek_rir_failure_info_t *failure_info, const char *rir_path, int fd,
                 vek_rir_header_t *header)
{
    vek_rir_file_refusal_t refusal = vek_rir_file_refusal(fd);
    if (refusal != vek_rir_file_refusal_t::none) {
        vek_rir_failure_info_set(failure_info,
                                 refusal == vek_rir_file_refusal_t::not_regular ? text_not_regular
                                                                               : text_is_live_log,
                                 rir_path);
        return 1;
    }
    struct stat file_stat;
    int rc = fstat(fd, &file_stat);
    VEK_RIR_ASSERT(rc == 0);
    if (file_stat.st_size != size_of_normal_file && file_stat.st_size != size_of_merged_file) {
        vek_rir_failure_info_set(failure_info, text_bad_size, rir_path, size_of_normal_file,
                                 size_of_merged_file, static_cast<long>(file_stat.st_size));
        return 1;
    }
    if (vek_rir_helper_header_read(failure_info, fd, header, which_inhale) != 0)
        return 1;
    if (vek_rir_helper_header_validate(failure_info, header, which_inhale) != 0)
        return 1;
    // record_count is 12272 or 24544 after validation, so the product cannot overflow.
    uint64_t ring_end =
        VEK_RIR_HEADER_SIZE + vek_rir_helper_info(header).record_count * VEK_RIR_RECORD_SIZE;
    if (ring_end > static_cast<uint64_t>(file_stat.st_size)) {
        vek_rir_failure_info_set(failure_info, text_ring_beyond, rir_path);
        return 1;
    }
    return 0;
}

// Runs under the shared lock: empties the live log, then appends every record of the file's ring
// oldest first. A failed read (the file changed under us) stops with the records so far; a sync
// the disk refuses fails the inhale with every record already in the live log.
int inhale_locked(vek_rir_failure_info_t *failure_info, int fd, const vek_rir_header_t *header)
{
    live_log_empty();
    vek_rir_helper_walk_info_t walk_info;
    vek_rir_helper_walk_info_populate(&walk_info, header);
    vek_rir_record_t source;
    uint64_t index;
    while (vek_rir_helper_walk_info_next(&walk_info, &index)) {
        if (vek_rir_helper_record_read(failure_info, fd, index, &source, which_inhale) != 0)
            return 1;
        vek_rir_record_t *record = nullptr;
        // Without locking the claim cannot fail.
        int claimed_rc = vek_rir_next_record_get(&record, VEK_RIR_FALSE, failure_info);
        VEK_RIR_ASSERT(claimed_rc == 0);
        const vek_rir_record_real_t &from = vek_rir_helper_real(&source);
        vek_rir_record_real_t &to = vek_rir_helper_real(record);
        to.rir_class = from.rir_class;
        to.code = from.code;
        // A source field may lack its terminator; the bounded copy reads no further than the
        // field and always ends the stored one.
        vek_rir_helper_field_copy(to.identity, sizeof(to.identity), from.identity);
        vek_rir_helper_field_copy(to.text, sizeof(to.text), from.text);
        vek_rir_next_record_return(record, VEK_RIR_FALSE);
    }
    return vek_rir_file_sync(failure_info);
}

int inhale_run(vek_rir_failure_info_t *failure_info, const char *rir_path)
{
    if (rir_path == nullptr) {
        vek_rir_failure_info_set(failure_info, text_no_path);
        return 1;
    }
    // Without blocking: a FIFO at the path must not hold the server until a writer comes.
    vek_rir_util_fd_t fd(open(rir_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0) {
        vek_rir_failure_info_set(failure_info, text_open_failed, rir_path);
        return 1;
    }
    vek_rir_header_t header;
    if (inhale_check(failure_info, rir_path, fd.fd, &header) != 0)
        return 1;
    vek_rir_file_lock_guard_t lock(failure_info);
    if (!lock.held())
        return 1;
    return inhale_locked(failure_info, fd.fd, &header);
}

int clear_run(vek_rir_failure_info_t *failure_info)
{
    vek_rir_file_lock_guard_t lock(failure_info);
    if (!lock.held())
        return 1;
    live_log_empty();
    return vek_rir_file_sync(failure_info);
}

} // namespace

int vek_rir_not_for_cli_inhale(vek_rir_failure_info_t *failure_info, const char *rir_path)
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    return inhale_run(failure_info, rir_path);
}

int vek_rir_not_for_cli_clear(vek_rir_failure_info_t *failure_info)
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    return clear_run(failure_info);
}

int vek_rir_file_inhale(const char *rir_path)
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (vek_rir_not_for_cli_inhale(&failure_info, rir_path) == 0)
        return 0;
    vek_rir_util_log_limited(nullptr, text_log_inhale, rir_path != nullptr ? rir_path : "",
                             vek_rir_failure_info_text(&failure_info));
    return 1;
}

int vek_rir_file_clear()
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (vek_rir_not_for_cli_clear(&failure_info) == 0)
        return 0;
    vek_rir_util_log_limited(nullptr, text_log_clear, vek_rir_failure_info_text(&failure_info));
    return 1;
}
