// Small utilities shared by every group of the core: the system log, the monotonic clock, the
// node's boot time, the assertion that stops the process on an impossible condition and the
// table of file calls through which the core writes and syncs its files. Owns that table and
// no other state besides what the system log keeps for itself.

#include "vek_rir/vek_rir_int.h"

#include <stdarg.h>
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
