// Fuzz targets for every reader of log files from outside: header validation and the ring
// walk, the info and dump reports, the merge of two files, the inhale of a file into the live
// log, and the snapshot fetch and walk. Files live in the sandbox's /vek_tmp.

#include "tests/fuzz/vek_rir_fuzz.h"

#include <stdio.h>
#include <sys/stat.h>

namespace {

constexpr char path_a[] = "/vek_tmp/fuzz-a.bin";
constexpr char path_b[] = "/vek_tmp/fuzz-b.bin";
constexpr char path_dst[] = "/vek_tmp/fuzz-dst.bin";

bool put(const char *path, const uint8_t *data, size_t size)
{
    return vek_rir_fuzz::write_file(path, vek_rir_fuzz::image(data, size));
}

// The reports print every record; their lines go to /dev/null for the time of the call.
struct stdout_silenced_t {
    int saved = -1;
    stdout_silenced_t()
    {
        fflush(stdout);
        saved = dup(1);
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null_fd, 1);
        close(null_fd);
    }
    ~stdout_silenced_t()
    {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

} // namespace

int vek_rir_fuzz_header_walk(const uint8_t *data, size_t size)
{
    if (!put(path_a, data, size))
        return 0;
    vek_rir_util_fd_t fd(open(path_a, O_RDONLY | O_CLOEXEC));
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    vek_rir_header_t header;
    if (vek_rir_helper_header_read(&fi, fd.fd, &header, "fuzz") != 0 ||
        vek_rir_helper_header_validate(&fi, &header, "fuzz") != 0)
        return 0;
    const vek_rir_header_info_real_t &info = vek_rir_helper_info(&header);
    VEK_RIR_FUZZ_EXPECT(info.record_count == VEK_RIR_RECORD_COUNT ||
                        info.record_count == 2 * VEK_RIR_RECORD_COUNT);
    vek_rir_helper_walk_info_t walk;
    vek_rir_helper_walk_info_populate(&walk, &header);
    VEK_RIR_FUZZ_EXPECT(walk.record_count_left <= info.record_count);
    uint64_t steps = 0;
    vek_rir_record_t record;
    uint64_t index;
    while (vek_rir_helper_walk_info_next(&walk, &index)) {
        VEK_RIR_FUZZ_EXPECT(index < info.record_count);
        if (vek_rir_helper_record_read(&fi, fd.fd, index, &record, "fuzz") != 0)
            break;
        steps++;
    }
    VEK_RIR_FUZZ_EXPECT(steps <= info.record_count);
    return 0;
}

int vek_rir_fuzz_reports(const uint8_t *data, size_t size)
{
    if (!put(path_a, data, size))
        return 0;
    stdout_silenced_t silenced;
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    vek_rir_cli_info(&fi, path_a);
    uint64_t time_after = size > 9 ? data[size - 1] * uint64_t{0x01000000} : 0;
    vek_rir_failure_info_clear(&fi);
    vek_rir_cli_dump(&fi, path_a, time_after);
    return 0;
}

int vek_rir_fuzz_merge(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t split = 1 + data[0] * (size - 1) / 256;
    if (!put(path_a, data + 1, split - 1) || !put(path_b, data + split, size - split))
        return 0;
    unlink(path_dst);
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_cli_merge(&fi, path_a, path_b, path_dst) != VEK_RIR_RC_OK)
        return 0;
    // A merge that succeeded left a whole, valid merged log.
    struct stat st;
    VEK_RIR_FUZZ_EXPECT(stat(path_dst, &st) == 0 &&
                        static_cast<uint64_t>(st.st_size) == VEK_RIR_MERGED_FILE_SIZE);
    vek_rir_util_fd_t fd(open(path_dst, O_RDONLY | O_CLOEXEC));
    vek_rir_header_t header;
    VEK_RIR_FUZZ_EXPECT(vek_rir_helper_header_read(&fi, fd.fd, &header, "dst") == 0 &&
                        vek_rir_helper_header_validate(&fi, &header, "dst") == 0);
    VEK_RIR_FUZZ_EXPECT(vek_rir_helper_info(&header).record_count == 2 * VEK_RIR_RECORD_COUNT);
    return 0;
}

int vek_rir_fuzz_inhale(const uint8_t *data, size_t size)
{
    if (vek_rir_header == nullptr) {
        vek_rir_failure_info_t fi;
        vek_rir_failure_info_clear(&fi);
        if (vek_rir_file_attach(VEK_RIR_TRUE, &fi) != 0) {
            fprintf(stderr, "fuzz inhale: cannot attach: %s\n", fi.text);
            abort();
        }
    }
    if (!put(path_a, data, size))
        return 0;
    uint64_t before = vek_rir_helper_info(vek_rir_header).next_seqno;
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    int rc = vek_rir_not_for_cli_inhale(&fi, path_a);
    uint64_t after = vek_rir_helper_info(vek_rir_header).next_seqno;
    // Every refusal comes before the live log is touched; a success leaves at most the ring.
    if (rc != 0)
        VEK_RIR_FUZZ_EXPECT(after == before);
    else
        VEK_RIR_FUZZ_EXPECT(after <= 2 * VEK_RIR_RECORD_COUNT);
    return 0;
}

namespace {

int walk_check(vek_rir_if_snap_iterate_cookie_t cookie, vek_rir_if_snap_iterate_record_t *r)
{
    VEK_RIR_FUZZ_EXPECT(strnlen(r->rir_identity, VEK_RIR_RECORD_IDENTITY_SIZE) <
                        VEK_RIR_RECORD_IDENTITY_SIZE);
    VEK_RIR_FUZZ_EXPECT(strnlen(r->rir_text, VEK_RIR_RECORD_TEXT_SIZE) < VEK_RIR_RECORD_TEXT_SIZE);
    (*static_cast<uint64_t *>(cookie))++;
    return 0;
}

} // namespace

int vek_rir_fuzz_fetch(const uint8_t *data, size_t size)
{
    if (!put(path_a, data, size))
        return 0;
    ssize_t expected = size > 0 && data[0] % 2 ? static_cast<ssize_t>(VEK_RIR_MERGED_FILE_SIZE)
                                               : static_cast<ssize_t>(VEK_RIR_FILE_SIZE);
    vek_rir_if_snap_info_t snap = {nullptr, 0};
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_if_snap_fetch(&fi, &snap, path_a, expected) != 0) {
        VEK_RIR_FUZZ_EXPECT(snap.snap_buffer == nullptr && snap.snap_size == 0);
        return 0;
    }
    uint64_t forward = 0, backward = 0;
    vek_rir_if_snap_iterate(&snap, walk_check, &forward, 0);
    vek_rir_if_snap_iterate(&snap, walk_check, &backward, 1);
    VEK_RIR_FUZZ_EXPECT(forward == backward && forward <= 2 * VEK_RIR_RECORD_COUNT);
    vek_rir_if_snap_free(&snap);
    return 0;
}

// The status document as rir_status reads it: any bytes give a verdict or a refusal, and a
// document that was taken is written back and read again to the same health.
int vek_rir_fuzz_status(const uint8_t *data, size_t size)
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    static vek_rir_status_t status, again;
    if (vek_rir_status_json_parse(&fi, reinterpret_cast<const char *>(data), size, &status) != 0) {
        VEK_RIR_FUZZ_EXPECT(fi.text[0] != '\0');
        return 0;
    }
    static char report[4096];
    for (uint64_t now : {uint64_t{0}, status.written_time, status.written_time + 31, UINT64_MAX}) {
        int level = vek_rir_status_evaluate(&status, now, report, sizeof(report));
        VEK_RIR_FUZZ_EXPECT(level >= VEK_RIR_STATUS_OK && level <= VEK_RIR_STATUS_UNKNOWN);
        VEK_RIR_FUZZ_EXPECT(strnlen(report, sizeof(report)) < sizeof(report));
    }
    static char text[16384];
    size_t length = vek_rir_status_json_format(&status, text, sizeof(text));
    VEK_RIR_FUZZ_EXPECT(length > 0);
    VEK_RIR_FUZZ_EXPECT(vek_rir_status_json_parse(&fi, text, length, &again) == 0);
    VEK_RIR_FUZZ_EXPECT(memcmp(&status, &again, sizeof(status)) == 0);
    VEK_RIR_FUZZ_EXPECT(vek_rir_status_metrics_format(&status, text, sizeof(text)) > 0);
    return 0;
}
