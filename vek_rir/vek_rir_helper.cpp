// Format helpers and the ring cursor: header validation, positioned reads and writes of one
// header or one record of an open log file, the time order of two records, and the cursor with
// which every reader walks a ring. These functions neither open, seek, close nor sync anything;
// nothing read from a file is asserted, a bad file is a failure text naming it by `which`.

#include "vek_rir/vek_rir_int.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char text_bad_version[] = "corrupt RIR version in %s";
constexpr char text_bad_record_size[] = "corrupt RIR record size in %s";
constexpr char text_bad_record_count[] = "corrupt RIR record count in %s";
constexpr char text_bad_magic[] = "corrupt RIR magic in %s";
constexpr char text_header_read_short[] = "%s file header read short";
constexpr char text_header_write_short[] = "%s file header write short";
constexpr char text_record_read_short[] = "%s file record read short";
constexpr char text_record_write_short[] = "%s file record write short";

off_t slot_offset(uint64_t index)
{
    return static_cast<off_t>(VEK_RIR_HEADER_SIZE + index * VEK_RIR_RECORD_SIZE);
}

// A slot index read from a file can be anything; an offset beyond what off_t holds is a short
// transfer like any other, never an overflowed offset.
bool slot_offset_fits(uint64_t index)
{
    return index < (static_cast<uint64_t>(INT64_MAX) - VEK_RIR_HEADER_SIZE) / VEK_RIR_RECORD_SIZE;
}

} // namespace

vek_rir_helper_header_fault_t vek_rir_helper_header_fault(const vek_rir_header_t *header,
                                                          bool merged_allowed)
{
    const vek_rir_header_info_real_t &info = vek_rir_helper_info(header);
    if (info.version != VEK_RIR_VERSION_1)
        return vek_rir_helper_header_fault_t::version;
    if (info.record_size != VEK_RIR_RECORD_SIZE)
        return vek_rir_helper_header_fault_t::record_size;
    if (info.record_count != VEK_RIR_RECORD_COUNT &&
        !(merged_allowed && info.record_count == VEK_RIR_MERGED_RECORD_COUNT))
        return vek_rir_helper_header_fault_t::record_count;
    if (info.magic != VEK_RIR_MAGIC)
        return vek_rir_helper_header_fault_t::magic;
    return vek_rir_helper_header_fault_t::none;
}

int vek_rir_helper_header_validate(vek_rir_failure_info_t *failure_info,
                                   const vek_rir_header_t *header, const char *which)
{
    const char *text = nullptr;
    switch (vek_rir_helper_header_fault(header, true)) {
    case vek_rir_helper_header_fault_t::none:
        return 0;
    case vek_rir_helper_header_fault_t::version:
        text = text_bad_version;
        break;
    case vek_rir_helper_header_fault_t::record_size:
        text = text_bad_record_size;
        break;
    case vek_rir_helper_header_fault_t::record_count:
        text = text_bad_record_count;
        break;
    case vek_rir_helper_header_fault_t::magic:
        text = text_bad_magic;
        break;
    }
    vek_rir_failure_info_set(failure_info, text, which);
    return 1;
}

int vek_rir_helper_header_read(vek_rir_failure_info_t *failure_info, int fd,
                               vek_rir_header_t *header, const char *which)
{
    ssize_t got = pread(fd, header, sizeof(*header), 0);
    if (got != static_cast<ssize_t>(sizeof(*header))) {
        vek_rir_failure_info_set(failure_info, text_header_read_short, which);
        return 1;
    }
    return 0;
}

int vek_rir_helper_file_size_check(vek_rir_failure_info_t *failure_info, int fd,
                                   const vek_rir_header_t *header, const char *which)
{
    struct stat st;
    int rc = fstat(fd, &st);
    VEK_RIR_ASSERT(rc == 0);
    // The record count was validated (12272 or 24544), so the product cannot overflow.
    uint64_t needed =
        VEK_RIR_HEADER_SIZE + vek_rir_helper_info(header).record_count * VEK_RIR_RECORD_SIZE;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) < needed) {
        vek_rir_failure_info_set(failure_info, text_record_read_short, which);
        return 1;
    }
    return 0;
}

int vek_rir_helper_header_write(vek_rir_failure_info_t *failure_info, int fd,
                                const vek_rir_header_t *header, const char *which)
{
    ssize_t put = vek_rir_util_io.pwrite(fd, header, sizeof(*header), 0);
    if (put != static_cast<ssize_t>(sizeof(*header))) {
        vek_rir_failure_info_set(failure_info, text_header_write_short, which);
        return 1;
    }
    return 0;
}

int vek_rir_helper_record_read(vek_rir_failure_info_t *failure_info, int fd, uint64_t index,
                               vek_rir_record_t *record, const char *which)
{
    ssize_t got = -1;
    if (slot_offset_fits(index))
        got = pread(fd, record, sizeof(*record), slot_offset(index));
    if (got != static_cast<ssize_t>(sizeof(*record))) {
        vek_rir_failure_info_set(failure_info, text_record_read_short, which);
        return 1;
    }
    return 0;
}

int vek_rir_helper_record_write(vek_rir_failure_info_t *failure_info, int fd, uint64_t index,
                                const vek_rir_record_t *record, const char *which)
{
    ssize_t put = -1;
    if (slot_offset_fits(index))
        put = vek_rir_util_io.pwrite(fd, record, sizeof(*record), slot_offset(index));
    if (put != static_cast<ssize_t>(sizeof(*record))) {
        vek_rir_failure_info_set(failure_info, text_record_write_short, which);
        return 1;
    }
    return 0;
}

// Equal instants count the second record as the earlier one; the merge relies on that to put
// the peer's record first when two nodes logged in the same microsecond.
int vek_rir_helper_record_earliest(const vek_rir_record_t *record1,
                                   const vek_rir_record_t *record2)
{
    const vek_rir_record_real_t &r1 = vek_rir_helper_real(record1);
    const vek_rir_record_real_t &r2 = vek_rir_helper_real(record2);
    // Compared field by field: a damaged file's seconds times a million could overflow.
    if (r1.time_secs != r2.time_secs)
        return r1.time_secs < r2.time_secs ? 1 : 2;
    return r1.time_usecs < r2.time_usecs ? 1 : 2;
}

// A header's record_count has been validated before a walk is set up (12272 or 24544), so the
// modulo below never divides by zero. The ring holds min(n, max) records; the oldest is in
// slot 0 until the ring wraps, then in slot n mod max, and the newest in the slot before it.
static void walk_info_set_up(vek_rir_helper_walk_info_t *walk_info,
                             const vek_rir_header_t *header, int reverse)
{
    const vek_rir_header_info_real_t &info = vek_rir_helper_info(header);
    uint64_t n = info.next_seqno;
    uint64_t max = info.record_count;
    uint64_t oldest = n < max ? 0 : n % max;
    uint64_t newest = n == 0 ? 0 : n < max ? n - 1 : (oldest == 0 ? max - 1 : oldest - 1);
    walk_info->record_count_max = max;
    walk_info->record_count_left = n < max ? n : max;
    walk_info->record_index_next = reverse ? newest : oldest;
    walk_info->reverse = reverse;
}

void vek_rir_helper_walk_info_populate(vek_rir_helper_walk_info_t *walk_info,
                                       const vek_rir_header_t *header)
{
    walk_info_set_up(walk_info, header, VEK_RIR_FALSE);
}

void vek_rir_helper_walk_info_populate_reverse(vek_rir_helper_walk_info_t *walk_info,
                                               const vek_rir_header_t *header)
{
    walk_info_set_up(walk_info, header, VEK_RIR_TRUE);
}

void vek_rir_helper_walk_info_consume_one(vek_rir_helper_walk_info_t *walk_info)
{
    walk_info->record_count_left--;
    walk_info->record_index_next++;
    if (walk_info->record_index_next >= walk_info->record_count_max)
        walk_info->record_index_next = 0;
}

bool vek_rir_helper_walk_info_next(vek_rir_helper_walk_info_t *walk_info, uint64_t *index_rv)
{
    if (walk_info->record_count_left == 0)
        return false;
    *index_rv = walk_info->record_index_next;
    if (walk_info->reverse)
        vek_rir_helper_walk_info_consume_one_reverse(walk_info);
    else
        vek_rir_helper_walk_info_consume_one(walk_info);
    return true;
}

void vek_rir_helper_walk_info_consume_one_reverse(vek_rir_helper_walk_info_t *walk_info)
{
    walk_info->record_count_left--;
    if (walk_info->record_index_next == 0)
        walk_info->record_index_next = walk_info->record_count_max - 1;
    else
        walk_info->record_index_next--;
}

void vek_rir_helper_field_copy(char *field, size_t field_size, const char *source)
{
    field[field_size - 1] = 0;
    strncpy(field, source, field_size - 1);
}
