// Small utilities shared by every group of the core: the system log, the monotonic clock, the
// node's boot time, the assertion that stops the process on an impossible condition and the
// table of file calls through which the core writes and syncs its files, the limits on lines
// that other processes can provoke, and the opens of the system's own files that never follow
// a link. Owns that table and the limits' state besides what the system log keeps for itself.

#include "vek_rir/vek_rir_int.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

void vek_rir_util_assert_fail(const char *condition, const char *file, int line,
                              const char *function)
{
    // stderr may be closed in a daemon; the message is best effort, the stop is not.
    fprintf(stderr, "vek_rir: assertion failed: %s (%s:%d, %s)\n", condition, file, line,
            function);
    fflush(stderr);
    abort();
}

const vek_rir_util_io_t vek_rir_util_io_real = {::write, ::pwrite, ::ftruncate, ::fsync, ::msync};
vek_rir_util_io_t vek_rir_util_io = vek_rir_util_io_real;

uint64_t vek_rir_util_monotime_secs()
{
    struct timespec now;
    int rc = clock_gettime(CLOCK_MONOTONIC, &now);
    VEK_RIR_ASSERT(rc == 0);
    return static_cast<uint64_t>(now.tv_sec);
}

uint64_t vek_rir_util_monotime_msecs()
{
    struct timespec now;
    int rc = clock_gettime(CLOCK_MONOTONIC, &now);
    VEK_RIR_ASSERT(rc == 0);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec / 1000000);
}

void vek_rir_util_log_open()
{
    openlog("vek_rir", LOG_CONS | LOG_NDELAY, LOG_USER);
}

// Every line of the system has one priority: the user facility at the critical level.
void vek_rir_util_log(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsyslog(LOG_USER | LOG_CRIT, format, args);
    va_end(args);
}

// Limits of the kinds seen so far. Kinds are fixed formats and fixed paths, a few dozen at
// most; should the table ever fill, the last slot is shared by the rest, which only logs less.
namespace {
constexpr int limit_kinds_max = 64;
struct limit_kind_t {
    const char *format;
    const char *subject;
    vek_rir_util_limiter_t limiter;
};
limit_kind_t limit_kinds[limit_kinds_max];
int limit_kinds_used = 0;
pthread_mutex_t limit_kinds_mutex = PTHREAD_MUTEX_INITIALIZER;

vek_rir_util_limiter_t *limit_kind_find(const char *subject, const char *format)
{
    for (int i = 0; i < limit_kinds_used; i++)
        if (limit_kinds[i].format == format && limit_kinds[i].subject == subject)
            return &limit_kinds[i].limiter;
    if (limit_kinds_used == limit_kinds_max)
        return &limit_kinds[limit_kinds_max - 1].limiter;
    limit_kind_t *kind = &limit_kinds[limit_kinds_used++];
    *kind = {format, subject, {false, 0, 0}};
    return &kind->limiter;
}

void log_counted_v(uint32_t left_out, const char *format, va_list args)
{
    char line[1024];
    vsnprintf(line, sizeof(line), format, args);
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n')
        line[--length] = '\0';
    if (left_out > 0)
        snprintf(line + length, sizeof(line) - length, " (%u more like it left out)", left_out);
    vek_rir_util_log("%s\n", line);
}
} // namespace

uint64_t (*vek_rir_util_log_clock_msecs)() = vek_rir_util_monotime_msecs;

bool vek_rir_util_limiter_admit(vek_rir_util_limiter_t *limiter, uint64_t t_now,
                                uint32_t *left_out_rv)
{
    if (limiter->logged && t_now - limiter->t_last_logged < vek_rir_util_limit_interval_msecs) {
        limiter->left_out++;
        return false;
    }
    *left_out_rv = limiter->left_out;
    *limiter = {true, t_now, 0};
    return true;
}

void vek_rir_util_log_counted(uint32_t left_out, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    log_counted_v(left_out, format, args);
    va_end(args);
}

void vek_rir_util_log_limited(const char *subject, const char *format, ...)
{
    uint64_t t_now = vek_rir_util_log_clock_msecs();
    int rc = pthread_mutex_lock(&limit_kinds_mutex);
    VEK_RIR_ASSERT(rc == 0);
    uint32_t left_out = 0;
    bool admitted = vek_rir_util_limiter_admit(limit_kind_find(subject, format), t_now, &left_out);
    rc = pthread_mutex_unlock(&limit_kinds_mutex);
    VEK_RIR_ASSERT(rc == 0);
    if (!admitted)
        return;
    va_list args;
    va_start(args, format);
    log_counted_v(left_out, format, args);
    va_end(args);
}

void vek_rir_util_log_limits_reset()
{
    int rc = pthread_mutex_lock(&limit_kinds_mutex);
    VEK_RIR_ASSERT(rc == 0);
    limit_kinds_used = 0;
    rc = pthread_mutex_unlock(&limit_kinds_mutex);
    VEK_RIR_ASSERT(rc == 0);
}

int vek_rir_util_file_open_own(const char *path, int flags, mode_t mode, const char **reason_rv)
{
    *reason_rv = nullptr;
    // Without O_NONBLOCK a FIFO planted at the name would hold the open for ever; on the
    // regular file that is kept the flag changes nothing.
    int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        if (errno == ELOOP)
            *reason_rv = vek_rir_util_reason_link;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *reason_rv = vek_rir_util_reason_not_regular;
        errno = EINVAL;
        return -1;
    }
    return fd;
}

int vek_rir_util_file_create_companion(const char *path)
{
    // A leftover directory cannot be unlinked; the exclusive create below then fails, as it
    // does for anything planted again after the unlink.
    unlink(path);
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

void vek_rir_util_log_close()
{
    closelog();
}

// The boot time is the kernel's "btime" line of /proc/stat. Lines are read in pieces of at most
// 62 characters; only a piece that starts a line can start with "btime", and that line is short.
uint64_t vek_rir_util_get_boot_time()
{
    FILE *stat_file = fopen("/proc/stat", "r");
    VEK_RIR_ASSERT(stat_file != nullptr);
    char piece[63];
    uint64_t boot_time = 0;
    bool at_line_start = true;
    while (fgets(piece, sizeof(piece), stat_file) != nullptr) {
        size_t length = strlen(piece);
        bool starts_line = at_line_start;
        at_line_start = length > 0 && piece[length - 1] == '\n';
        if (starts_line && strncmp(piece, "btime", 5) == 0) {
            boot_time = strtoul(piece + 6, nullptr, 0);
            break;
        }
    }
    int rc = fclose(stat_file);
    VEK_RIR_ASSERT(rc == 0);
    VEK_RIR_ASSERT(boot_time != 0);
    return boot_time;
}
