// The info and dump reports: read-only views of any log file, the live log's size or a merged
// log's, printed on standard output. They read through the positioned header and record reads
// and never map the file, attach to the live log or take the shared lock, so they show whatever
// the file holds at the moment of the read.

#include "vek_rir/vek_rir_int.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

namespace {

constexpr char text_no_path[] = "dump path not specified";
constexpr char text_open_failed[] = "unable to open dump file at %s";
constexpr char text_bad_size[] = "dump file at %s had bad size (%ld/%ld/%ld)";
constexpr char which_dump[] = "dump";

constexpr long size_of_normal_file = static_cast<long>(VEK_RIR_FILE_SIZE);
constexpr long size_of_merged_file = static_cast<long>(VEK_RIR_MERGED_FILE_SIZE);

// Opens and checks the file the same way for both reports; on success the caller owns the
// descriptor in `fd`, the header is read and valid and the cursor stands at the oldest record.
int report_open(vek_rir_failure_info_t *failure_info, const char *rir_path,
                vek_rir_util_fd_t &fd, vek_rir_header_t *header,
                vek_rir_helper_walk_info_t *walk_info)
{
    if (rir_path == nullptr) {
        vek_rir_failure_info_set(failure_info, text_no_path);
        return 1;
    }
    fd.fd = open(rir_path, O_RDONLY | O_CLOEXEC);
    if (fd.fd < 0) {
        vek_rir_failure_info_set(failure_info, text_open_failed, rir_path);
        return 1;
    }
    struct stat status;
    int rc = fstat(fd.fd, &status);
    VEK_RIR_ASSERT(rc == 0);
    if (status.st_size != size_of_normal_file && status.st_size != size_of_merged_file) {
        vek_rir_failure_info_set(failure_info, text_bad_size, rir_path, size_of_normal_file,
                                 size_of_merged_file, static_cast<long>(status.st_size));
        return 1;
    }
    if (vek_rir_helper_header_read(failure_info, fd.fd, header, which_dump) != 0)
        return 1;
    if (vek_rir_helper_header_validate(failure_info, header, which_dump) != 0)
        return 1;
    vek_rir_helper_walk_info_populate(walk_info, header);
    return 0;
}

void report_dump_line(const vek_rir_record_real_t &real)
{
    char flags_buffer[64];
    char class_buffer[64];
    char code_buffer[64];
    char time_buffer[64];
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(real.time_secs);
    ts.tv_nsec = static_cast<long>(real.time_usecs * 1000);
    const char *code_text = vek_rir_convert_code_to_text(real.code, code_buffer, sizeof(code_buffer));
    const char *class_text =
        vek_rir_convert_class_to_text(real.rir_class, class_buffer, sizeof(class_buffer));
    const char *time_text = vek_rir_convert_time_to_text(&ts, time_buffer, sizeof(time_buffer));
    const char *flags_text = vek_rir_convert_flags_to_text(real.flags, flags_buffer, sizeof(flags_buffer));
    char identity_shown[4 * VEK_RIR_RECORD_IDENTITY_SIZE + 1];
    char text_shown[4 * VEK_RIR_RECORD_TEXT_SIZE + 1];
    vek_rir_report_field_show(real.identity, sizeof(real.identity), identity_shown);
    vek_rir_report_field_show(real.text, sizeof(real.text), text_shown);
    printf("%010lu|%s|%s|%16s|%16s|%32s|%s\n", static_cast<unsigned long>(real.seqno),
           flags_text, time_text, class_text, code_text, identity_shown, text_shown);
}

} // namespace

// Identity and text are chosen by whoever logs. A control character (below 0x20, and 0x7f) is
// shown as \xNN, so that one record is always one line and a newline in a text cannot forge
// the next record's line; every other byte is printed as it is. The field of a damaged file
// may lack its terminator: at most field_size bytes are read. `shown` holds 4 * field_size + 1.
void vek_rir_report_field_show(const char *field, size_t field_size, char *shown)
{
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < field_size && field[i] != 0; i++) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c < 0x20 || c == 0x7f) {
            *shown++ = '\\';
            *shown++ = 'x';
            *shown++ = hex[c >> 4];
            *shown++ = hex[c & 0xf];
        } else {
            *shown++ = static_cast<char>(c);
        }
    }
    *shown = 0;
}

void vek_rir_report_dump_line(const vek_rir_record_t *record)
{
    report_dump_line(vek_rir_helper_real(record));
}

vek_rir_rc_t vek_rir_cli_info(vek_rir_failure_info_t *failure_info, const char *rir_path)
{
    vek_rir_util_fd_t fd;
    vek_rir_header_t header;
    vek_rir_helper_walk_info_t walk_info;
    if (report_open(failure_info, rir_path, fd, &header, &walk_info) != 0)
        return VEK_RIR_RC_FAILURE;
    const vek_rir_header_info_real_t &info = vek_rir_helper_info(&header);
    printf("# header.magic                %016lx\n", static_cast<unsigned long>(info.magic));
    printf("# header.version              %016lx\n", static_cast<unsigned long>(info.version));
    printf("# header.flags                %016lx\n", static_cast<unsigned long>(info.flags));
    printf("# header.record_size          %016lx\n", static_cast<unsigned long>(info.record_size));
    printf("# header.record_count         %016lx\n", static_cast<unsigned long>(info.record_count));
    printf("# header.next_seqno           %016lx\n", static_cast<unsigned long>(info.next_seqno));
    printf("# header.last_touch_secs      %016lx\n",
           static_cast<unsigned long>(info.last_touch_secs));
    printf("# header.last_touch_usecs     %016lx\n",
           static_cast<unsigned long>(info.last_touch_usecs));
    printf("# walk_info.record_count_left %016lx\n",
           static_cast<unsigned long>(walk_info.record_count_left));
    printf("# walk_info.record_index_next %016lx\n",
           static_cast<unsigned long>(walk_info.record_index_next));
    return VEK_RIR_RC_OK;
}

vek_rir_rc_t vek_rir_cli_dump(vek_rir_failure_info_t *failure_info, const char *rir_path,
                              uint64_t time_after)
{
    vek_rir_util_fd_t fd;
    vek_rir_header_t header;
    vek_rir_helper_walk_info_t walk_info;
    if (report_open(failure_info, rir_path, fd, &header, &walk_info) != 0)
        return VEK_RIR_RC_FAILURE;
    vek_rir_record_t record;
    uint64_t index;
    while (vek_rir_helper_walk_info_next(&walk_info, &index)) {
        if (vek_rir_helper_record_read(failure_info, fd.fd, index, &record, which_dump) != 0)
            return VEK_RIR_RC_FAILURE;
        const vek_rir_record_real_t &real = vek_rir_helper_real(&record);
        if (time_after > real.time_secs)
            continue;
        report_dump_line(real);
    }
    return VEK_RIR_RC_OK;
}
