// Snapshot, local mirror and file utilities: the server's snapshot of the live mapping, the
// tool's snapshot to an operator's path, the copies of the snapshot, the peer copy and the
// merged log into the mirror directory while it is a mount of its own, and the small file
// helpers behind them. Touches the live mapping only for one memory copy under the shared lock;
// everything else is file work outside it. Writes the snapshot, the mirror copies and their
// temporary companions, and the file the operator names to rir_snap. A write or sync the disk
// refuses fails the one copy with a line or text naming the file: the companion is removed and
// the published file stays as it was.

#include "vek_rir/vek_rir_int.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// System-log lines of the server's duties.
constexpr char text_log_open[] = "unable to open %s\n";
constexpr char text_log_write[] = "unable to write to %s (%zd/%d)\n";
constexpr char text_log_sync[] = "unable to sync %s (%d)\n";
constexpr char text_log_rename[] = "unable to rename %s to %s\n";
constexpr char text_log_copy_open[] = "unable to copy %s to %s (dst open failed: %d)\n";
constexpr char text_log_copy_sendfile[] = "unable to copy %s to %s (sendfile failed: %zd/%d)\n";
constexpr char text_log_copy_fsync[] = "unable to copy %s to %s (dst fsync failed: %d)\n";
constexpr char text_log_copy_empty[] = "unable to copy %s to %s (src empty)\n";
constexpr char text_log_copy_refused[] = "unable to copy %s to %s (src refused: %s)\n";
// Limited: a process that holds the shared mutex for ever would have one every pass.
constexpr char text_log_snap_lock[] = "unable to snap RIR: %s\n";

// Why the mirror had nothing to do.
constexpr char text_idle_unmounted[] = "/vek_node is not a mount of its own";
constexpr char text_idle_stopping[] = "the platform is stopping";

// Failure texts of the tool's snapshot.
constexpr char text_no_path[] = "snap path not specified";
constexpr char text_open_failed[] = "unable to open snap file at %s";
constexpr char text_not_regular[] = "snap file at %s is not a regular file";
constexpr char text_is_live_log[] = "snap file at %s is the live log";
constexpr char text_write_short[] =
    "unable to write snap file at %s (%s); the copy there is incomplete";
constexpr char text_resize[] = "unable to size snap file at %s (%d)";
constexpr char text_sync[] = "unable to sync snap file at %s (%d)";

// The mapping is copied whole under the shared lock and nothing else happens there, so the
// time appenders wait does not depend on the disk. Every append holds the lock from claim to
// complete, so the copy holds no half-written record except one whose writer died.
// 0, or 1 and the lock's text when the mutex could not be had in time.
int mapping_copy(vek_rir_failure_info_t *failure_info, void *buffer)
{
    // A fresh buffer of this size is mapped on demand: touching it here takes its page faults
    // before the lock, so appenders wait only for the copy itself.
    memset(buffer, 0, VEK_RIR_FILE_SIZE);
    vek_rir_file_lock_guard_t lock(failure_info);
    if (!lock.held())
        return 1;
    memcpy(buffer, vek_rir_header, VEK_RIR_FILE_SIZE);
    return 0;
}

// The mirror copies only while its directory is a mount of its own and the platform is not
// stopping; tested again before every step, so a mount that goes away ends the pass at once.
bool mirror_gate_open()
{
    if (vek_rir_util_dir_is_mounted(vek_rir_mirror_dir_path, vek_rir_mirror_parent_dir_path) == 0)
        return false;
    return access("/vek_tmp/vek-lumo-stopping", R_OK) != 0;
}

// A disk that failed a write may refuse the removal too (a file system remounted read-only
// after an error); the companion is then left for the next pass, which removes it before it
// writes, and no reader takes a companion for the published file.
void companion_remove(const char *path)
{
    unlink(path);
}

// Writes the whole image, carrying on after a part: a write cut short by a signal goes on, and
// one cut short by a full disk is followed by the call that tells why. 0, or the errno of the
// failure (ENOSPC when the disk took nothing more and gave no error of its own).
int image_write(int fd, const void *buffer)
{
    const char *bytes = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < VEK_RIR_FILE_SIZE) {
        errno = 0;
        ssize_t put = vek_rir_util_io.write(fd, bytes + done, VEK_RIR_FILE_SIZE - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return errno != 0 ? errno : EIO;
        if (put == 0)
            return ENOSPC;
        done += static_cast<size_t>(put);
    }
    return 0;
}

// The operator's path, opened for writing in place and refused when it is no regular file or
// the live log itself.
int snap_target_open(vek_rir_failure_info_t *failure_info, const char *rir_path_snap,
                     vek_rir_util_fd_t &fd)
{
    fd.fd = open(rir_path_snap, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd.fd < 0) {
        vek_rir_failure_info_set(failure_info, text_open_failed, rir_path_snap);
        return 1;
    }
    vek_rir_file_refusal_t refusal = vek_rir_file_refusal(fd.fd);
    if (refusal == vek_rir_file_refusal_t::none)
        return 0;
    vek_rir_failure_info_set(failure_info,
                             refusal == vek_rir_file_refusal_t::not_regular ? text_not_regular
                                                                           : text_is_live_log,
                             rir_path_snap);
    return 1;
}

// Never reported as made unless whole and synced: the file, written in place, holds a part of
// an image at most after a failure, and the text says so.
int snap_image_put(vek_rir_failure_info_t *failure_info, const char *rir_path_snap, int fd,
                   const void *image)
{
    int write_errno = image_write(fd, image);
    if (write_errno != 0) {
        vek_rir_failure_info_set(failure_info, text_write_short, rir_path_snap,
                                 strerror(write_errno));
        return 1;
    }
    const char *failure = nullptr;
    if (vek_rir_util_io.ftruncate(fd, static_cast<off_t>(VEK_RIR_FILE_SIZE)) != 0)
        failure = text_resize;
    else if (vek_rir_util_io.fsync(fd) != 0)
        failure = text_sync;
    if (failure == nullptr)
        return 0;
    vek_rir_failure_info_set(failure_info, failure, rir_path_snap, errno);
    return 1;
}

} // namespace

void vek_rir_file_snap()
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    vek_rir_util_buffer_t buffer(VEK_RIR_FILE_SIZE);
    VEK_RIR_ASSERT(buffer.data != nullptr);
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (mapping_copy(&failure_info, buffer.data) != 0) {
        // This snapshot is skipped; the previous one stays published.
        vek_rir_util_log_limited(vek_rir_local_path, text_log_snap_lock,
                                 vek_rir_failure_info_text(&failure_info));
        return;
    }

    vek_rir_util_fd_t fd(vek_rir_util_file_create_companion(vek_rir_local_snap_tmp_path));
    if (fd.fd < 0) {
        vek_rir_util_log_limited(vek_rir_local_snap_tmp_path, text_log_open,
                                 vek_rir_local_snap_tmp_path);
        return;
    }
    // errno is cleared first so that a short write without an error reports 0, not a stale
    // value from an earlier call.
    errno = 0;
    ssize_t put = vek_rir_util_io.write(fd.fd, buffer.data, VEK_RIR_FILE_SIZE);
    if (put != static_cast<ssize_t>(VEK_RIR_FILE_SIZE)) {
        vek_rir_util_log_limited(vek_rir_local_snap_tmp_path, text_log_write,
                                 vek_rir_local_snap_tmp_path, put, errno);
        fd.reset();
        companion_remove(vek_rir_local_snap_tmp_path);
        return;
    }
    // An image the disk may not hold is never published: the previous snapshot stays.
    if (vek_rir_util_io.fsync(fd.fd) != 0) {
        vek_rir_util_log_limited(vek_rir_local_snap_tmp_path, text_log_sync,
                                 vek_rir_local_snap_tmp_path, errno);
        fd.reset();
        companion_remove(vek_rir_local_snap_tmp_path);
        return;
    }
    fd.reset();
    if (rename(vek_rir_local_snap_tmp_path, vek_rir_local_snap_path) != 0)
        vek_rir_util_log_limited(vek_rir_local_snap_tmp_path, text_log_rename,
                                 vek_rir_local_snap_tmp_path, vek_rir_local_snap_path);
}

// The operator's path is written in place (no companion, no rename). Two things are refused
// that would otherwise do harm: a path that is no regular file (a device or a FIFO cannot be
// cut to size, and a FIFO would hold the tool until a reader comes), and the live log itself,
// whose records appended after the copy would be overwritten by the older image.
vek_rir_rc_t vek_rir_cli_snap(vek_rir_failure_info_t *failure_info, const char *rir_path_snap)
{
    vek_rir_file_attachment_t attachment(failure_info);
    if (!attachment.held)
        return VEK_RIR_RC_FAILURE;
    if (rir_path_snap == nullptr) {
        vek_rir_failure_info_set(failure_info, text_no_path);
        return VEK_RIR_RC_FAILURE;
    }
    vek_rir_util_fd_t fd;
    if (snap_target_open(failure_info, rir_path_snap, fd) != 0)
        return VEK_RIR_RC_FAILURE;
    vek_rir_util_buffer_t buffer(VEK_RIR_FILE_SIZE);
    VEK_RIR_ASSERT(buffer.data != nullptr);
    if (mapping_copy(failure_info, buffer.data) != 0 ||
        snap_image_put(failure_info, rir_path_snap, fd.fd, buffer.data) != 0)
        return VEK_RIR_RC_FAILURE;
    fd.reset();
    return attachment.detach(failure_info) == 0 ? VEK_RIR_RC_OK : VEK_RIR_RC_FAILURE;
}

namespace {

// The sources are the system's own files, replaced only by rename: anything else at their names
// (a link to a file only root may read) is refused, never copied to the mirror. Returns the
// source's size, or 0 when there is nothing to copy.
size_t copy_source_open(const char *src_path, const char *dst_path_tmp, vek_rir_util_fd_t &src)
{
    const char *refusal = nullptr;
    src.fd = vek_rir_util_file_open_own(src_path, O_RDONLY, 0, &refusal);
    if (src.fd < 0) {
        if (refusal != nullptr)
            vek_rir_util_log_limited(src_path, text_log_copy_refused, src_path, dst_path_tmp,
                                     refusal);
        return 0;
    }
    struct stat src_stat;
    int rc = fstat(src.fd, &src_stat);
    VEK_RIR_ASSERT(rc == 0);
    if (src_stat.st_size <= 0) {
        vek_rir_util_log_limited(src_path, text_log_copy_empty, src_path, dst_path_tmp);
        return 0;
    }
    return static_cast<size_t>(src_stat.st_size);
}

// One call may move only a part: a signal that reaches the thread during the transfer (a stop
// and continue, a handler of the process that embeds the server) cuts it short with the count
// so far. The copy goes on from the offset until the whole file is there, and is synced; it
// fails only on an error or when the source ends early.
bool copy_transfer(const char *src_path, const char *dst_path_tmp, int src_fd, int dst_fd,
                   size_t size)
{
    off_t offset = 0;
    errno = 0;
    ssize_t sent = 0;
    while (static_cast<size_t>(offset) < size) {
        sent = sendfile(dst_fd, src_fd, &offset, size - static_cast<size_t>(offset));
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            break;
    }
    if (static_cast<size_t>(offset) != size) {
        vek_rir_util_log_limited(src_path, text_log_copy_sendfile, src_path, dst_path_tmp, sent,
                                 errno);
        return false;
    }
    if (vek_rir_util_io.fsync(dst_fd) != 0) {
        vek_rir_util_log_limited(src_path, text_log_copy_fsync, src_path, dst_path_tmp, errno);
        return false;
    }
    return true;
}

} // namespace

// A missing source is normal (no peer copy fetched yet, no merge made yet) and silent. An empty
// source is no log file of ours: it yields no mirror copy, and one line says why.
void vek_rir_util_file_copy(const char *src_path, const char *dst_path_tmp, const char *dst_path)
{
    unlink(dst_path_tmp);
    vek_rir_util_fd_t src;
    size_t size = copy_source_open(src_path, dst_path_tmp, src);
    if (size == 0)
        return;
    vek_rir_util_fd_t dst(vek_rir_util_file_create_companion(dst_path_tmp));
    if (dst.fd < 0) {
        vek_rir_util_log_limited(src_path, text_log_copy_open, src_path, dst_path_tmp, errno);
        return;
    }
    bool ok = copy_transfer(src_path, dst_path_tmp, src.fd, dst.fd, size);
    dst.reset();
    if (!ok) {
        companion_remove(dst_path_tmp);
        return;
    }
    src.reset();
    if (rename(dst_path_tmp, dst_path) != 0)
        vek_rir_util_log_limited(dst_path_tmp, text_log_rename, dst_path_tmp, dst_path);
}

int vek_rir_util_dir_is_mounted(const char *dir_path, const char *dir_parent_path)
{
    struct stat parent_stat;
    struct stat dir_stat;
    if (stat(dir_parent_path, &parent_stat) != 0)
        return 0;
    if (stat(dir_path, &dir_stat) != 0)
        return 0;
    return parent_stat.st_dev != dir_stat.st_dev ? 1 : 0;
}

// Makes the renames done in the directory durable. The copies themselves were synced before
// their rename, so a failure here costs at most the names of this pass: one line says so.
static void vek_rir_util_dir_sync(const char *dir_path)
{
    DIR *dir = opendir(dir_path);
    if (dir == nullptr)
        return;
    if (vek_rir_util_io.fsync(dirfd(dir)) != 0)
        vek_rir_util_log_limited(dir_path, text_log_sync, dir_path, errno);
    int rc = closedir(dir);
    VEK_RIR_ASSERT(rc == 0);
}

// Copies whatever the last snap, peer fetch and merge left; it takes no snapshot itself and no
// lock, since each source is replaced only by rename and so is always one whole version.
void vek_rir_file_mirror_local()
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    if (!mirror_gate_open()) {
        vek_rir_health_duty_idle(vek_rir_util_dir_is_mounted(vek_rir_mirror_dir_path,
                                                             vek_rir_mirror_parent_dir_path) == 0
                                     ? text_idle_unmounted
                                     : text_idle_stopping);
        return;
    }
    vek_rir_util_file_copy(vek_rir_local_snap_path, vek_rir_local_mirror_tmp_path,
                           vek_rir_local_mirror_path);
    if (!mirror_gate_open())
        return;
    vek_rir_util_file_copy(vek_rir_peer_path, vek_rir_peer_mirror_tmp_path,
                           vek_rir_peer_mirror_path);
    if (!mirror_gate_open())
        return;
    vek_rir_util_file_copy(vek_rir_merged_path, vek_rir_merged_mirror_tmp_path,
                           vek_rir_merged_mirror_path);
    if (!mirror_gate_open())
        return;
    vek_rir_util_dir_sync(vek_rir_mirror_dir_path);
}
