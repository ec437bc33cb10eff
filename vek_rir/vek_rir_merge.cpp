// Merge: two log files into one merged log of twice the capacity, their records interleaved in
// time order and renumbered from 0, and the server's duty that merges the snapshot with the peer
// copy and publishes the result by rename. Works on files only: no attachment, no lock, no
// shared memory. Streaming: one header per file and one record per source in memory, each
// record read once and written once with a positioned transfer.

#include "vek_rir/vek_rir_int.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char text_no_src1[] = "src1 path not specified";
constexpr char text_no_src2[] = "src2 path not specified";
constexpr char text_no_dst[] = "dst path not specified";
constexpr char text_open_src1[] = "unable to open src1 file at %s";
constexpr char text_open_src2[] = "unable to open src2 file at %s";
constexpr char text_open_src_refused[] = "unable to open %s file at %s: %s";
constexpr char text_open_dst[] = "unable to open dst file at %s";
constexpr char text_resize_dst[] = "unable to size dst file at %s (%d)";
constexpr char text_sync_dst[] = "unable to sync dst file at %s (%d)";
constexpr char text_src1_merged[] = "src1 file is a merged log; src1 must be a normal log";
constexpr char text_dst_same[] = "dst file at %s is the same file as %s";
constexpr char text_dst_not_regular[] = "dst file at %s is not a regular file";
constexpr char text_log_merge[] = "unable to merge %s and %s to %s: %s\n";
constexpr char text_log_rename[] = "unable to rename %s to %s\n";

constexpr char which_src1[] = "src1";
constexpr char which_src2[] = "src2";
constexpr char which_dst[] = "dst";
constexpr char name_live_log[] = "the live log";

// One source of the merge: its descriptor, header, cursor and the one record buffered from it.
struct merge_source_t {
    const char *which;
    int fd;
    vek_rir_header_t header;
    vek_rir_helper_walk_info_t walk_info;
    vek_rir_record_t record;
    bool record_valid; // `record` holds a record read and not yet written
    bool record_save;  // the next step uses `record` again instead of reading one
};

// Brings the source's record buffer up to date for one step: the record kept from the last
// step, the next one of its ring, or none when the ring is walked.
int source_step(vek_rir_failure_info_t *failure_info, merge_source_t *source)
{
    if (source->record_save) {
        source->record_save = false;
        return 0;
    }
    uint64_t index;
    source->record_valid = vek_rir_helper_walk_info_next(&source->walk_info, &index);
    if (!source->record_valid)
        return 0;
    return vek_rir_helper_record_read(failure_info, source->fd, index, &source->record,
                                      source->which);
}

// Writing onto a source would cut and overwrite it before it is read, and writing onto the live
// log would cut it under running writers; a device or FIFO cannot be sized. `dst_stat` is the
// destination as found, either by path before it is opened or by descriptor after.
int dst_check(vek_rir_failure_info_t *failure_info, const char *rir_path_dst,
              const struct stat &dst_stat, const merge_source_t &src1, const merge_source_t &src2)
{
    struct stat src_stat;
    int rc = fstat(src1.fd, &src_stat);
    VEK_RIR_ASSERT(rc == 0);
    if (vek_rir_util_file_same(dst_stat, src_stat)) {
        vek_rir_failure_info_set(failure_info, text_dst_same, rir_path_dst, which_src1);
        return 1;
    }
    rc = fstat(src2.fd, &src_stat);
    VEK_RIR_ASSERT(rc == 0);
    if (vek_rir_util_file_same(dst_stat, src_stat)) {
        vek_rir_failure_info_set(failure_info, text_dst_same, rir_path_dst, which_src2);
        return 1;
    }
    struct stat live_stat;
    if (stat(vek_rir_local_path, &live_stat) == 0 && vek_rir_util_file_same(dst_stat, live_stat)) {
        vek_rir_failure_info_set(failure_info, text_dst_same, rir_path_dst, name_live_log);
        return 1;
    }
    if (!S_ISREG(dst_stat.st_mode)) {
        vek_rir_failure_info_set(failure_info, text_dst_not_regular, rir_path_dst);
        return 1;
    }
    return 0;
}

// A source must hold every slot of the ring its header promises. Found only at its first
// missing record, a short source would fail the merge after the destination had been cut and
// partly written; checked here, a merge of inputs that are not whole leaves it as it was.
int source_size_check(vek_rir_failure_info_t *failure_info, const merge_source_t &source)
{
    return vek_rir_helper_file_size_check(failure_info, source.fd, &source.header, source.which);
}

// Everything up to and including the open of the destination; nothing is written to it here.
// Both sources are checked whole (header and size) before the destination is opened for writing.
// The server's own destination is a companion in a directory others may write: it is created
// afresh and exclusively, never opened through whatever was planted at its name.
int merge_prepare(vek_rir_failure_info_t *failure_info, const char *rir_path_dst, bool own_files,
                  merge_source_t *src1, merge_source_t *src2, vek_rir_util_fd_t &dst)
{
    if (vek_rir_helper_header_read(failure_info, src1->fd, &src1->header, which_src1) != 0)
        return 1;
    if (vek_rir_helper_header_read(failure_info, src2->fd, &src2->header, which_src2) != 0)
        return 1;
    if (vek_rir_helper_header_validate(failure_info, &src1->header, which_src1) != 0)
        return 1;
    if (vek_rir_helper_header_validate(failure_info, &src2->header, which_src2) != 0)
        return 1;
    // The destination is sized for twice a normal ring; a merged first source would promise a
    // ring twice that size, which no reader accepts and the file cannot hold.
    if (vek_rir_helper_info(&src1->header).record_count != VEK_RIR_RECORD_COUNT) {
        vek_rir_failure_info_set(failure_info, text_src1_merged);
        return 1;
    }
    if (source_size_check(failure_info, *src1) != 0 || source_size_check(failure_info, *src2) != 0)
        return 1;
    struct stat dst_stat;
    if (!own_files && stat(rir_path_dst, &dst_stat) == 0 &&
        dst_check(failure_info, rir_path_dst, dst_stat, *src1, *src2) != 0)
        return 1;
    if (own_files)
        dst.fd = vek_rir_util_file_create_companion(rir_path_dst);
    else
        dst.fd = open(rir_path_dst, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (dst.fd < 0) {
        vek_rir_failure_info_set(failure_info, text_open_dst, rir_path_dst);
        return 1;
    }
    // The path may have been replaced between the look and the open; opening without
    // truncation changed nothing, so the file actually opened is checked once more.
    int rc = fstat(dst.fd, &dst_stat);
    VEK_RIR_ASSERT(rc == 0);
    return dst_check(failure_info, rir_path_dst, dst_stat, *src1, *src2);
}

// From the sized, empty destination to the final header.
int merge_records(vek_rir_failure_info_t *failure_info, int fd_dst, merge_source_t *src1,
                  merge_source_t *src2, vek_rir_header_t *header_new)
{
    vek_rir_header_info_real_t &info_new = vek_rir_helper_info(header_new);
    if (vek_rir_helper_header_write(failure_info, fd_dst, header_new, which_dst) != 0)
        return 1;
    vek_rir_helper_walk_info_populate(&src1->walk_info, &src1->header);
    vek_rir_helper_walk_info_populate(&src2->walk_info, &src2->header);
    uint64_t record_index_next = 0;
    for (;;) {
        if (source_step(failure_info, src1) != 0 || source_step(failure_info, src2) != 0)
            return 1;
        bool valid1 = src1->record_valid;
        bool valid2 = src2->record_valid;
        if (!valid1 && !valid2)
            return vek_rir_helper_header_write(failure_info, fd_dst, header_new, which_dst);
        merge_source_t *chosen = valid1 ? src1 : src2;
        if (valid1 && valid2) {
            // Equal times take the second source first: the peer's record on the server.
            if (vek_rir_helper_record_earliest(&src1->record, &src2->record) == 1) {
                chosen = src1;
                src2->record_save = true;
            } else {
                chosen = src2;
                src1->record_save = true;
            }
        }
        vek_rir_helper_real(&chosen->record).seqno = info_new.next_seqno;
        if (vek_rir_helper_record_write(failure_info, fd_dst, record_index_next, &chosen->record,
                                        chosen->which) != 0)
            return 1;
        record_index_next++;
        if (record_index_next == info_new.record_count)
            record_index_next = 0;
        info_new.next_seqno++;
    }
}

// Sources are opened without blocking so that a FIFO named by mistake fails its header read
// instead of holding the tool or the server. The server's own sources are taken only as the
// regular files it made, never through a link planted at their names.
int source_open(vek_rir_failure_info_t *failure_info, const char *path, bool own_files,
                const char *which, const char *text_open_src, vek_rir_util_fd_t &fd)
{
    const char *refusal = nullptr;
    if (own_files)
        fd.fd = vek_rir_util_file_open_own(path, O_RDONLY, 0, &refusal);
    else
        fd.fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd.fd >= 0)
        return 0;
    if (refusal != nullptr)
        vek_rir_failure_info_set(failure_info, text_open_src_refused, which, path, refusal);
    else
        vek_rir_failure_info_set(failure_info, text_open_src, path);
    return 1;
}

int merge_paths_check(vek_rir_failure_info_t *failure_info, const char *rir_path_src1,
                      const char *rir_path_src2, const char *rir_path_dst)
{
    const char *missing = rir_path_src1 == nullptr   ? text_no_src1
                          : rir_path_src2 == nullptr ? text_no_src2
                          : rir_path_dst == nullptr  ? text_no_dst
                                                     : nullptr;
    if (missing == nullptr)
        return 0;
    vek_rir_failure_info_set(failure_info, "%s", missing);
    return 1;
}

// The merged header: the first source's with twice its ring, the merged flag, and no record
// and no touch yet. Its generation is 0: the records come from two logs, each with its own.
void merged_header_make(const vek_rir_header_t &src1_header, vek_rir_header_t *header_new)
{
    memcpy(header_new, &src1_header, sizeof(*header_new));
    vek_rir_header_info_real_t &info_new = vek_rir_helper_info(header_new);
    info_new.record_count *= 2;
    info_new.flags |= VEK_RIR_HEADER_FLAG_MERGED;
    info_new.next_seqno = 0;
    info_new.last_touch_secs = 0;
    info_new.last_touch_usecs = 0;
    info_new.generation = 0;
}

// Sizes the checked destination, then fills it.
int merge_write(vek_rir_failure_info_t *failure_info, const char *rir_path_dst, int fd_dst,
                merge_source_t *src1, merge_source_t *src2)
{
    vek_rir_header_t header_new;
    merged_header_make(src1->header, &header_new);
    if (vek_rir_util_io.ftruncate(fd_dst, static_cast<off_t>(VEK_RIR_MERGED_FILE_SIZE)) != 0) {
        vek_rir_failure_info_set(failure_info, text_resize_dst, rir_path_dst, errno);
        return 1;
    }
    if (vek_rir_util_io.fsync(fd_dst) != 0) {
        vek_rir_failure_info_set(failure_info, text_sync_dst, rir_path_dst, errno);
        return 1;
    }
    return merge_records(failure_info, fd_dst, src1, src2, &header_new);
}

vek_rir_rc_t merge_files(vek_rir_failure_info_t *failure_info, const char *rir_path_src1,
                         const char *rir_path_src2, const char *rir_path_dst, bool own_files)
{
    if (merge_paths_check(failure_info, rir_path_src1, rir_path_src2, rir_path_dst) != 0)
        return VEK_RIR_RC_FAILURE;
    vek_rir_util_fd_t fd_src1;
    vek_rir_util_fd_t fd_src2;
    if (source_open(failure_info, rir_path_src1, own_files, which_src1, text_open_src1,
                    fd_src1) != 0 ||
        source_open(failure_info, rir_path_src2, own_files, which_src2, text_open_src2,
                    fd_src2) != 0)
        return VEK_RIR_RC_FAILURE;
    merge_source_t src1;
    merge_source_t src2;
    memset(&src1, 0, sizeof(src1));
    memset(&src2, 0, sizeof(src2));
    src1.which = which_src1;
    src1.fd = fd_src1.fd;
    src2.which = which_src2;
    src2.fd = fd_src2.fd;
    vek_rir_util_fd_t fd_dst;
    int rc = merge_prepare(failure_info, rir_path_dst, own_files, &src1, &src2, fd_dst);
    if (rc == 0)
        rc = merge_write(failure_info, rir_path_dst, fd_dst.fd, &src1, &src2);
    // Synced after a failure too, so that what the destination holds is on disk; only a merge
    // that went well is failed by this sync, the first failure is the one reported.
    if (fd_dst.fd >= 0 && vek_rir_util_io.fsync(fd_dst.fd) != 0 && rc == 0) {
        vek_rir_failure_info_set(failure_info, text_sync_dst, rir_path_dst, errno);
        rc = 1;
    }
    return rc == 0 ? VEK_RIR_RC_OK : VEK_RIR_RC_FAILURE;
}

} // namespace

vek_rir_rc_t vek_rir_cli_merge(vek_rir_failure_info_t *failure_info, const char *rir_path_src1,
                               const char *rir_path_src2, const char *rir_path_dst)
{
    return merge_files(failure_info, rir_path_src1, rir_path_src2, rir_path_dst, false);
}

void vek_rir_file_merge()
{
    // Nothing to merge until a snapshot was taken and a peer copy fetched; that is silent.
    if (access(vek_rir_local_snap_path, R_OK) != 0 || access(vek_rir_peer_path, R_OK) != 0)
        return;
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (merge_files(&failure_info, vek_rir_local_snap_path, vek_rir_peer_path,
                    vek_rir_merged_tmp_path, true) != VEK_RIR_RC_OK) {
        vek_rir_util_log_limited(vek_rir_merged_tmp_path, text_log_merge, vek_rir_local_snap_path,
                                 vek_rir_peer_path, vek_rir_merged_tmp_path,
                                 vek_rir_failure_info_text(&failure_info));
        // The published merged log stays; a companion that is part of a merge at most goes. A
        // disk that refuses even the removal leaves it to the next merge, which cuts it to size.
        unlink(vek_rir_merged_tmp_path);
        return;
    }
    if (rename(vek_rir_merged_tmp_path, vek_rir_merged_path) != 0)
        vek_rir_util_log_limited(vek_rir_merged_tmp_path, text_log_rename,
                                 vek_rir_merged_tmp_path, vek_rir_merged_path);
}
