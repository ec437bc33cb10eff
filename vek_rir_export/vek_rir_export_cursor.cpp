// The cursor file: where a restarted export resumes. It is a few lines of text (so an operator
// can read it) naming the first record not yet read, and the sequence number and time of the
// last one read and the log's generation, by which a resumed export recognises the log it
// read. The first version (without last_seqno and generation) is still read. It is replaced whole: written to a
// companion created exclusively (a leftover removed first, no link followed), synced, and
// renamed over the cursor, so a crash leaves the old cursor or the new one, never half of one.

#include "vek_rir_export/vek_rir_export.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

namespace {

constexpr char cursor_magic_1[] = "vek_rir_export cursor 1\n";
constexpr char cursor_magic[] = "vek_rir_export cursor 2\n";
constexpr char text_open_failed[] = "unable to open cursor file at %s (%s)";
constexpr char text_not_regular[] = "cursor file at %s is not a regular file";
constexpr char text_not_cursor[] = "cursor file at %s is not a cursor";
constexpr char text_read_failed[] = "unable to read cursor file at %s (%s)";
constexpr char text_tmp_remove[] = "unable to remove leftover %s (%s)";
constexpr char text_tmp_create[] = "unable to create %s (%s)";
constexpr char text_tmp_write[] = "unable to write %s (%s)";
constexpr char text_rename[] = "unable to rename %s to %s (%s)";
constexpr char text_path_long[] = "cursor file path too long: %s";

constexpr size_t cursor_size_max = 512;

} // namespace

vek_rir_export_cursor_load_t vek_rir_export_cursor_load(vek_rir_failure_info_t *failure_info,
                                                        const char *path,
                                                        vek_rir_export_cursor_t *cursor)
{
    *cursor = vek_rir_export_cursor_t{};
    vek_rir_util_fd_t fd(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.fd < 0) {
        if (errno == ENOENT)
            return VEK_RIR_EXPORT_CURSOR_MISSING;
        vek_rir_failure_info_set(failure_info, text_open_failed, path, strerror(errno));
        return VEK_RIR_EXPORT_CURSOR_FAILED;
    }
    struct stat status;
    int rc = fstat(fd.fd, &status);
    VEK_RIR_ASSERT(rc == 0);
    if (!S_ISREG(status.st_mode)) {
        vek_rir_failure_info_set(failure_info, text_not_regular, path);
        return VEK_RIR_EXPORT_CURSOR_FAILED;
    }
    char text[cursor_size_max + 1];
    ssize_t got = pread(fd.fd, text, cursor_size_max, 0);
    if (got < 0) {
        vek_rir_failure_info_set(failure_info, text_read_failed, path, strerror(errno));
        return VEK_RIR_EXPORT_CURSOR_FAILED;
    }
    text[got] = 0;
    uint64_t next_seqno = 0, last_known = 0, last_seqno = 0, last_secs = 0, last_usecs = 0,
             header_flags = 0, generation = 0;
    int used = 0, n = 0;
    bool first_version = strncmp(text, cursor_magic_1, sizeof(cursor_magic_1) - 1) == 0;
    if (first_version) {
        n = sscanf(text,
                   "vek_rir_export cursor 1\nnext_seqno %" SCNu64 "\nlast_known %" SCNu64
                   "\nlast_secs %" SCNu64 "\nlast_usecs %" SCNu64 "\nheader_flags %" SCNu64
                   "\n%n",
                   &next_seqno, &last_known, &last_secs, &last_usecs, &header_flags, &used);
        n += 2;
        last_seqno = next_seqno - 1;
    } else if (strncmp(text, cursor_magic, sizeof(cursor_magic) - 1) == 0) {
        n = sscanf(text,
                   "vek_rir_export cursor 2\nnext_seqno %" SCNu64 "\nlast_known %" SCNu64
                   "\nlast_seqno %" SCNu64 "\nlast_secs %" SCNu64 "\nlast_usecs %" SCNu64
                   "\nheader_flags %" SCNu64 "\ngeneration %" SCNu64 "\n%n",
                   &next_seqno, &last_known, &last_seqno, &last_secs, &last_usecs, &header_flags,
                   &generation, &used);
    }
    // Every field, then nothing more: a cut or edited file is no cursor.
    if (n != 7 || used != got || last_known > 1 ||
        (last_known == 1 && (next_seqno == 0 || last_seqno >= next_seqno))) {
        vek_rir_failure_info_set(failure_info, text_not_cursor, path);
        return VEK_RIR_EXPORT_CURSOR_BAD;
    }
    cursor->next_seqno = next_seqno;
    cursor->last_known = last_known == 1;
    cursor->last_seqno = last_known == 1 ? last_seqno : 0;
    cursor->last_secs = last_secs;
    cursor->last_usecs = last_usecs;
    cursor->header_flags = header_flags;
    cursor->generation = generation;
    return VEK_RIR_EXPORT_CURSOR_LOADED;
}

int vek_rir_export_cursor_save(vek_rir_failure_info_t *failure_info, const char *path,
                               const vek_rir_export_cursor_t *cursor)
{
    char tmp_path[4096];
    if (snprintf(tmp_path, sizeof(tmp_path), "%s.tmp", path) >= static_cast<int>(sizeof(tmp_path))) {
        vek_rir_failure_info_set(failure_info, text_path_long, path);
        return 1;
    }
    // unlink removes a link itself, never what it points to.
    if (unlink(tmp_path) != 0 && errno != ENOENT) {
        vek_rir_failure_info_set(failure_info, text_tmp_remove, tmp_path, strerror(errno));
        return 1;
    }
    vek_rir_util_fd_t fd(
        open(tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.fd < 0) {
        vek_rir_failure_info_set(failure_info, text_tmp_create, tmp_path, strerror(errno));
        return 1;
    }
    char text[cursor_size_max];
    int length = snprintf(text, sizeof(text),
                          "%snext_seqno %" PRIu64 "\nlast_known %d\nlast_seqno %" PRIu64
                          "\nlast_secs %" PRIu64 "\nlast_usecs %" PRIu64
                          "\nheader_flags %" PRIu64 "\ngeneration %" PRIu64 "\n",
                          cursor_magic, cursor->next_seqno, cursor->last_known ? 1 : 0,
                          cursor->last_seqno, cursor->last_secs, cursor->last_usecs,
                          cursor->header_flags, cursor->generation);
    VEK_RIR_ASSERT(length > 0 && static_cast<size_t>(length) < sizeof(text));
    ssize_t put = write(fd.fd, text, static_cast<size_t>(length));
    if (put != length || fsync(fd.fd) != 0) {
        int saved = put < 0 || put == length ? errno : ENOSPC;
        vek_rir_failure_info_set(failure_info, text_tmp_write, tmp_path, strerror(saved));
        fd.reset();
        unlink(tmp_path);
        return 1;
    }
    fd.reset();
    if (rename(tmp_path, path) != 0) {
        vek_rir_failure_info_set(failure_info, text_rename, tmp_path, path, strerror(errno));
        unlink(tmp_path);
        return 1;
    }
    return 0;
}
