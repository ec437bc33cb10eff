// Snapshot reading for other processes: ask the server to refresh a file (or take a file the
// caller names), load it whole into a private buffer, check it, and walk its records through a
// callback. Never touches the live mapping; the buffer belongs to the caller until
// vek_rir_if_snap_free.

#include "vek_rir/vek_rir_int.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

constexpr char text_missing[] = "missing RIR snap at %s";
constexpr char text_open[] = "unable to open MAL snap at %s";
constexpr char text_size[] = "insane RIR snap size at %s (%zd vs %zd)";
constexpr char text_alloc[] = "snap alloc failed";
constexpr char text_read[] = "snap read failed";
constexpr char text_ring_too_big[] = "fetch file at %s claims %lu records but holds %lu";
constexpr char which_fetch[] = "fetch";
constexpr char word_timeout[] = "timeout";

constexpr ssize_t merged_size = static_cast<ssize_t>(VEK_RIR_MERGED_FILE_SIZE);

// Every walk hands out pointers into the buffer: a field without its terminator would let a
// caller read into the next field or beyond the buffer.
void fields_terminate(vek_rir_header_t *header, uint64_t slots)
{
    for (uint64_t index = 0; index < slots; index++) {
        vek_rir_record_real_t &real = vek_rir_helper_real(vek_rir_helper_slot(header, index));
        real.identity[sizeof(real.identity) - 1] = 0;
        real.text[sizeof(real.text) - 1] = 0;
    }
}

vek_rir_rc_t fetch_named(vek_rir_failure_info_t *failure_info, vek_rir_if_snap_info_t *snap_info,
                         int timeout_seconds, const char *request, const char *path,
                         ssize_t size_expected)
{
    vek_rir_failure_info_clear(failure_info);
    snap_info->snap_buffer = nullptr;
    snap_info->snap_size = 0;
    if (timeout_seconds != 0) {
        char response[512];
        // A server that does not answer in time still leaves the file on disk to be read.
        if (vek_rir_server_exec(failure_info, request, response, sizeof(response),
                                timeout_seconds) != VEK_RIR_RC_OK &&
            strcmp(response, word_timeout) != 0)
            return VEK_RIR_RC_FAILURE;
        vek_rir_failure_info_clear(failure_info);
    }
    return vek_rir_if_snap_fetch(failure_info, snap_info, path, size_expected) == 0
               ? VEK_RIR_RC_OK
               : VEK_RIR_RC_FAILURE;
}

} // namespace

int vek_rir_if_snap_fetch(vek_rir_failure_info_t *failure_info, vek_rir_if_snap_info_t *snap_info,
                          const char *snap_path, ssize_t snap_size_expected)
{
    snap_info->snap_buffer = nullptr;
    snap_info->snap_size = 0;
    if (access(snap_path, R_OK) != 0) {
        vek_rir_failure_info_set(failure_info, text_missing, snap_path);
        return 1;
    }
    // The snapshot and the merged log are the server's own files in a directory others may
    // write: a link planted at their names is not read through. Anything else that is no
    // regular file fails the size check below.
    vek_rir_util_fd_t fd(open(snap_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (fd.fd < 0) {
        vek_rir_failure_info_set(failure_info, text_open, snap_path);
        return 1;
    }
    struct stat st;
    int rc = fstat(fd.fd, &st);
    VEK_RIR_ASSERT(rc == 0);
    if (static_cast<ssize_t>(st.st_size) != snap_size_expected) {
        vek_rir_failure_info_set(failure_info, text_size, snap_path,
                                 static_cast<ssize_t>(st.st_size), snap_size_expected);
        return 1;
    }
    size_t size = static_cast<size_t>(snap_size_expected);
    vek_rir_util_buffer_t buffer(size);
    if (buffer.data == nullptr) {
        vek_rir_failure_info_set(failure_info, text_alloc);
        return 1;
    }
    if (read(fd.fd, buffer.data, size) != snap_size_expected) {
        vek_rir_failure_info_set(failure_info, text_read);
        return 1;
    }
    vek_rir_header_t *header = static_cast<vek_rir_header_t *>(buffer.data);
    if (vek_rir_helper_header_validate(failure_info, header, which_fetch) != 0)
        return 1;
    uint64_t slots = (size - VEK_RIR_HEADER_SIZE) / VEK_RIR_RECORD_SIZE;
    uint64_t claimed = vek_rir_helper_info(header).record_count;
    if (claimed > slots) {
        vek_rir_failure_info_set(failure_info, text_ring_too_big, snap_path,
                                 static_cast<unsigned long>(claimed),
                                 static_cast<unsigned long>(slots));
        return 1;
    }
    fields_terminate(header, slots);
    snap_info->snap_buffer = buffer.release();
    snap_info->snap_size = size;
    return 0;
}

vek_rir_rc_t vek_rir_if_snap_fetch_local(vek_rir_failure_info_t *failure_info,
                                         vek_rir_if_snap_info_t *snap_info, int timeout_seconds)
{
    return fetch_named(failure_info, snap_info, timeout_seconds, "snap", vek_rir_local_snap_path,
                       static_cast<ssize_t>(VEK_RIR_FILE_SIZE));
}

vek_rir_rc_t vek_rir_if_snap_fetch_both(vek_rir_failure_info_t *failure_info,
                                        vek_rir_if_snap_info_t *snap_info, int timeout_seconds)
{
    return fetch_named(failure_info, snap_info, timeout_seconds, "mirror-peer-and-merge",
                       vek_rir_merged_path, merged_size);
}

vek_rir_rc_t vek_rir_if_snap_load(vek_rir_failure_info_t *failure_info,
                                  vek_rir_if_snap_info_t *snap_info, const char *path)
{
    vek_rir_failure_info_clear(failure_info);
    // The size only picks which kind to expect; the load checks the file it opened again, so
    // a file replaced in between fails its size check instead of being misread.
    struct stat st;
    ssize_t expected = static_cast<ssize_t>(VEK_RIR_FILE_SIZE);
    if (lstat(path, &st) == 0 && static_cast<ssize_t>(st.st_size) == merged_size)
        expected = merged_size;
    return vek_rir_if_snap_fetch(failure_info, snap_info, path, expected) == 0
               ? VEK_RIR_RC_OK
               : VEK_RIR_RC_FAILURE;
}

void vek_rir_if_snap_iterate(vek_rir_if_snap_info_t *snap_info,
                             vek_rir_if_snap_iterate_callback_t callback,
                             vek_rir_if_snap_iterate_cookie_t cookie, int reverse)
{
    VEK_RIR_ASSERT(snap_info->snap_buffer != nullptr && snap_info->snap_size != 0);
    vek_rir_header_t *header = static_cast<vek_rir_header_t *>(snap_info->snap_buffer);
    vek_rir_helper_walk_info_t walk;
    if (reverse == 0)
        vek_rir_helper_walk_info_populate(&walk, header);
    else
        vek_rir_helper_walk_info_populate_reverse(&walk, header);
    vek_rir_if_snap_iterate_record_t view;
    uint64_t index;
    while (vek_rir_helper_walk_info_next(&walk, &index)) {
        const vek_rir_record_real_t &real = vek_rir_helper_real(vek_rir_helper_slot(header, index));
        view.ts.tv_sec = static_cast<time_t>(real.time_secs);
        view.ts.tv_nsec = static_cast<long>(real.time_usecs * 1000);
        view.seqno = real.seqno;
        view.rir_flags = real.flags;
        view.rir_class = real.rir_class;
        view.rir_code = real.code;
        view.rir_identity = real.identity;
        view.rir_text = real.text;
        if (callback(cookie, &view) < 0)
            return;
    }
}

void vek_rir_if_snap_free(vek_rir_if_snap_info_t *snap_info)
{
    VEK_RIR_ASSERT(snap_info->snap_buffer != nullptr && snap_info->snap_size != 0);
    free(snap_info->snap_buffer);
    snap_info->snap_buffer = nullptr;
    snap_info->snap_size = 0;
}
