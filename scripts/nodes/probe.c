/* A small program that uses the library's C interface the way another process of the node
 * would. "add IDENTITY TEXT" attaches, appends one EVENT record and detaches; "both" fetches
 * the merged log of both nodes and prints one line per record, oldest first:
 * seqno|flags in hex|seconds.microseconds|identity|text. "write IDENTITY COUNT RATE" is a
 * writer for the shipping test and benchmark: COUNT EVENT records with the texts
 * "IDENTITY 1" to "IDENTITY COUNT" and codes 1 to COUNT, RATE a second on a steady schedule
 * (0: as fast as it can); it prints how many it appended and stops at the first failure. */
#include "vek_os/vek_rir_if.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int print_record(vek_rir_if_snap_iterate_cookie_t cookie,
                        vek_rir_if_snap_iterate_record_t *record)
{
    unsigned long *count = (unsigned long *)cookie;
    (*count)++;
    printf("%llu|0x%llx|%lld.%06ld|%s|%s\n", (unsigned long long)record->seqno,
           (unsigned long long)record->rir_flags, (long long)record->ts.tv_sec,
           (long)(record->ts.tv_nsec / 1000), record->rir_identity, record->rir_text);
    return 0;
}

static int probe_add(const char *identity, const char *text)
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (vek_rir_if_world_init(&failure_info) != VEK_RIR_RC_OK) {
        printf("probe add failed: %s\n", vek_rir_failure_info_text(&failure_info));
        return 1;
    }
    vek_rir_rc_t rc = vek_rir_if_record_add(&failure_info, 0, VEK_RIR_CLASS_EVENT, 1, identity,
                                            text);
    if (rc != VEK_RIR_RC_OK)
        printf("probe add failed: %s\n", vek_rir_failure_info_text(&failure_info));
    vek_rir_if_world_deinit(NULL);
    return rc == VEK_RIR_RC_OK ? 0 : 1;
}

static int probe_both(void)
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    vek_rir_if_snap_info_t snap_info = {NULL, 0};
    if (vek_rir_if_snap_fetch_both(&failure_info, &snap_info, 30) != VEK_RIR_RC_OK) {
        printf("probe both failed: %s\n", vek_rir_failure_info_text(&failure_info));
        return 1;
    }
    unsigned long count = 0;
    vek_rir_if_snap_iterate(&snap_info, print_record, &count, 0);
    vek_rir_if_snap_free(&snap_info);
    return count > 0 ? 0 : 1;
}

static int probe_write(const char *identity, const char *count_text, const char *rate_text)
{
    char *end = NULL;
    unsigned long count = strtoul(count_text, &end, 10);
    if (end == count_text || *end != 0)
        return 2;
    unsigned long rate = strtoul(rate_text, &end, 10);
    if (end == rate_text || *end != 0 || rate > 1000000)
        return 2;
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (vek_rir_if_world_init(&failure_info) != VEK_RIR_RC_OK) {
        printf("probe write failed: %s\n", vek_rir_failure_info_text(&failure_info));
        return 1;
    }
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    long step_nsecs = rate ? (long)(1000000000UL / rate) : 0;
    unsigned long written = 0;
    int rc = 0;
    for (unsigned long i = 1; i <= count; i++) {
        if (step_nsecs) {
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
            next.tv_nsec += step_nsecs;
            while (next.tv_nsec >= 1000000000L) {
                next.tv_nsec -= 1000000000L;
                next.tv_sec++;
            }
        }
        char text[64];
        snprintf(text, sizeof(text), "%.40s %lu", identity, i);
        if (vek_rir_if_record_add(&failure_info, 0, VEK_RIR_CLASS_EVENT, i, identity, text) !=
            VEK_RIR_RC_OK) {
            printf("probe write failed after %lu: %s\n", written,
                   vek_rir_failure_info_text(&failure_info));
            rc = 1;
            break;
        }
        written++;
    }
    printf("%lu\n", written);
    vek_rir_if_world_deinit(NULL);
    return rc;
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "add") == 0)
        return probe_add(argv[2], argv[3]);
    if (argc == 2 && strcmp(argv[1], "both") == 0)
        return probe_both();
    if (argc == 5 && strcmp(argv[1], "write") == 0) {
        int rc = probe_write(argv[2], argv[3], argv[4]);
        if (rc != 2)
            return rc;
    }
    fprintf(stderr, "usage: vek_rir_probe add IDENTITY TEXT | vek_rir_probe both | "
                    "vek_rir_probe write IDENTITY COUNT RATE\n");
    return 2;
}
