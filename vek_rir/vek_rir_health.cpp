// Duty health: what the server thread knows of each of its duties (when it last ran, succeeded
// and failed, why it failed, how often), the figures beside them (how old the peer's newest
// record is, how many records were appended and overwritten, the free space that appends
// need), and their publication as the status file in /vek_var and as a metrics file for the
// node's metrics collector. A duty's outcome is taken around its call: every system-log line
// the duty writes on the server thread in between, also one its limit holds back, makes that
// run a failure, and a duty that finds nothing to do says so. Owns the health, kept by the
// server thread alone, and the two published files and their companions. Reads the live
// mapping's sequence number only; the append path knows nothing of it.

#include "vek_rir/vek_rir_int.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char text_log_publish[] = "unable to write %s: %s\n";
constexpr char text_log_publish_short[] = "the health does not fit its buffer";

// The health as the server thread keeps it; written only by that thread, and by the starting
// thread before the server thread exists.
vek_rir_status_t health;

// The metrics directory named at the start, "" for none.
char metrics_dir[PATH_MAX];
char metrics_path[PATH_MAX + sizeof(vek_rir_metrics_file_name) + 1];
char metrics_tmp_path[PATH_MAX + sizeof(vek_rir_metrics_tmp_name) + 1];

// What one duty run has said so far. Per thread, so that other threads of a process that
// embeds the server, logging meanwhile, never count against a duty.
struct duty_capture_t {
    bool active;
    bool failed;
    bool idle;
    uint64_t started;
    char reason[vek_rir_status_text_size];
    char idle_reason[vek_rir_status_text_size];
};
thread_local duty_capture_t capture;

void text_copy(char *out, const char *text)
{
    snprintf(out, vek_rir_status_text_size, "%s", text);
}

// The time of the newest record in one of the server's own files, 0 when there is none or the
// file is missing or is no log. The file is taken only as the regular file the server made.
uint64_t newest_record_time(const char *path)
{
    const char *refusal = nullptr;
    vek_rir_util_fd_t fd(vek_rir_util_file_open_own(path, O_RDONLY, 0, &refusal));
    if (fd.fd < 0)
        return 0;
    vek_rir_header_t header;
    if (pread(fd.fd, &header, sizeof(header), 0) != static_cast<ssize_t>(sizeof(header)) ||
        vek_rir_helper_header_fault(&header, true) != vek_rir_helper_header_fault_t::none)
        return 0;
    const vek_rir_header_info_real_t &info = vek_rir_helper_info(&header);
    if (info.next_seqno == 0)
        return 0;
    uint64_t index = (info.next_seqno - 1) % info.record_count;
    vek_rir_record_t record;
    off_t offset = static_cast<off_t>(VEK_RIR_HEADER_SIZE + index * VEK_RIR_RECORD_SIZE);
    if (pread(fd.fd, &record, sizeof(record), offset) != static_cast<ssize_t>(sizeof(record)))
        return 0;
    const vek_rir_record_real_t &real = vek_rir_helper_real(&record);
    return (real.flags & VEK_RIR_RECORD_FLAG_USED) != 0 ? real.time_secs : 0;
}

void figures_gather()
{
    health.peer_newest_record_time = newest_record_time(vek_rir_peer_path);
    health.merged_newest_record_time = newest_record_time(vek_rir_merged_path);
    uint64_t next = 0;
    if (vek_rir_file_attached() &&
        pread(vek_rir_fd, &next, sizeof(next), VEK_RIR_HEADER_OFFSET(next_seqno)) ==
            static_cast<ssize_t>(sizeof(next))) {
        // Appenders move the counter under the shared mutex. The health reads it through the
        // file (the same pages as the mapping) without the lock: one read, nothing asked of
        // appenders, and no plain memory access racing their stores.
        health.records_appended_total = next;
        health.records_overwritten_total =
            next > VEK_RIR_RECORD_COUNT ? next - VEK_RIR_RECORD_COUNT : 0;
    }
    struct statfs fs;
    // The same reckoning as the check before an append: blocks free to root.
    health.var_free_bytes = statfs(vek_rir_parent_path, &fs) == 0
                                ? static_cast<uint64_t>(fs.f_bsize) *
                                      static_cast<uint64_t>(fs.f_bfree)
                                : 0;
    health.var_free_floor_bytes = vek_rir_freespace_min;
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    health.appends_refused = !vek_mem_file_work_safe(&failure_info);
    text_copy(health.appends_refused_reason,
              health.appends_refused ? vek_rir_failure_info_text(&failure_info) : "");
}

// Written to a companion created afresh (never through anything planted at its name), made
// readable by every local user, synced and renamed over the published name.
void file_publish(const char *tmp_path, const char *path, const char *bytes, size_t length)
{
    vek_rir_util_fd_t fd(vek_rir_util_file_create_companion(tmp_path));
    if (fd.fd < 0) {
        vek_rir_util_log_limited(tmp_path, text_log_publish, tmp_path, strerror(errno));
        return;
    }
    size_t done = 0;
    int failure = 0;
    if (fchmod(fd.fd, 0644) != 0)
        failure = errno;
    while (failure == 0 && done < length) {
        ssize_t put = vek_rir_util_io.write(fd.fd, bytes + done, length - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            failure = put < 0 ? errno : ENOSPC;
        else
            done += static_cast<size_t>(put);
    }
    if (failure == 0 && vek_rir_util_io.fsync(fd.fd) != 0)
        failure = errno;
    fd.reset();
    if (failure == 0 && rename(tmp_path, path) != 0)
        failure = errno;
    if (failure != 0) {
        vek_rir_util_log_limited(tmp_path, text_log_publish, path, strerror(failure));
        unlink(tmp_path);
    }
}

} // namespace

std::atomic<int64_t> vek_rir_health_clock_shift_secs{0};

uint64_t vek_rir_health_wall_secs()
{
    struct timespec now;
    int rc = clock_gettime(CLOCK_REALTIME, &now);
    VEK_RIR_ASSERT(rc == 0);
    return static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec) +
                                 vek_rir_health_clock_shift_secs.load());
}

void vek_rir_health_server_start()
{
    memset(&health, 0, sizeof(health));
    health.format = 1;
    health.server_pid = static_cast<uint64_t>(getpid());
    health.server_running = true;
    health.server_start_time = vek_rir_health_wall_secs();
    health.var_free_floor_bytes = vek_rir_freespace_min;
    metrics_dir[0] = '\0';
    const char *dir = getenv("VEK_RIR_METRICS_DIR");
    if (dir != nullptr && dir[0] != '\0' && strlen(dir) < sizeof(metrics_dir)) {
        snprintf(metrics_dir, sizeof(metrics_dir), "%s", dir);
        snprintf(metrics_path, sizeof(metrics_path), "%s/%s", dir, vek_rir_metrics_file_name);
        snprintf(metrics_tmp_path, sizeof(metrics_tmp_path), "%s/%s", dir,
                 vek_rir_metrics_tmp_name);
    }
}

void vek_rir_health_duty_begin()
{
    memset(&capture, 0, sizeof(capture));
    capture.active = true;
    capture.started = vek_rir_health_wall_secs();
}

void vek_rir_health_line_note(const char *format, va_list args)
{
    if (!capture.active || capture.failed)
        return;
    // The first line of a run is its reason: later ones of the same run mostly follow from it.
    capture.failed = true;
    va_list copy;
    va_copy(copy, args);
    vsnprintf(capture.reason, sizeof(capture.reason), format, copy);
    va_end(copy);
    size_t length = strlen(capture.reason);
    if (length > 0 && capture.reason[length - 1] == '\n')
        capture.reason[length - 1] = '\0';
}

void vek_rir_health_duty_idle(const char *why)
{
    if (!capture.active)
        return;
    capture.idle = true;
    text_copy(capture.idle_reason, why);
}

void vek_rir_health_duty_end(vek_rir_status_duty_id_t duty)
{
    vek_rir_status_duty_t &d = health.duties[duty];
    uint64_t now = vek_rir_health_wall_secs();
    d.last_attempt = capture.started;
    d.runs_total++;
    if (capture.failed) {
        d.state = vek_rir_status_state_t::failed;
        d.last_failure = now;
        d.consecutive_failures++;
        d.failures_total++;
        text_copy(d.last_failure_reason, capture.reason);
    } else if (capture.idle) {
        // Neither success nor failure: the count of failures in a row stands.
        d.state = vek_rir_status_state_t::idle;
        text_copy(d.nothing_to_do_reason, capture.idle_reason);
    } else {
        d.state = vek_rir_status_state_t::ok;
        d.last_success = now;
        d.consecutive_failures = 0;
    }
    capture.active = false;
}

void vek_rir_health_publish(bool server_running, char *summary, size_t summary_size)
{
    figures_gather();
    health.server_running = server_running;
    health.written_time = vek_rir_health_wall_secs();
    static char text[16384];
    size_t length = vek_rir_status_json_format(&health, text, sizeof(text));
    if (length == 0)
        vek_rir_util_log_limited(vek_rir_status_path, text_log_publish, vek_rir_status_path,
                                 text_log_publish_short);
    else
        file_publish(vek_rir_status_tmp_path, vek_rir_status_path, text, length);
    // A directory that does not exist means no collector is installed (the unit names Debian's
    // directory whether or not it is there): nothing to write, and nothing to complain about.
    struct stat dir_stat;
    if (metrics_dir[0] != '\0' && stat(metrics_dir, &dir_stat) == 0 && S_ISDIR(dir_stat.st_mode)) {
        length = vek_rir_status_metrics_format(&health, text, sizeof(text));
        if (length == 0)
            vek_rir_util_log_limited(vek_rir_metrics_file_name, text_log_publish, metrics_path,
                                     text_log_publish_short);
        else
            file_publish(metrics_tmp_path, metrics_path, text, length);
    }
    if (summary != nullptr)
        vek_rir_status_summary(&health, health.written_time, summary, summary_size);
}
