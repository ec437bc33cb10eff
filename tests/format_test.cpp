// The file format helpers: header validation in its order, positioned header and record
// transfers against files of every size, the time order of two records and the ring cursor.
// Files live in anonymous memory files, so no fixed path is touched.

#include "tests/vek_rir_testfile.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

using vek_rir_test::test_log_t;

namespace {

struct memfile_t {
    int fd;
    explicit memfile_t(const std::string &bytes) : fd(memfd_create("rir-test", MFD_CLOEXEC))
    {
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    ~memfile_t() { close(fd); }
};

std::string validate_text(test_log_t &log)
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    int rc = vek_rir_helper_header_validate(&fi, log.header(), "src1");
    EXPECT_EQ(rc, fi.text[0] != 0 ? 1 : 0) << fi.text;
    return fi.text;
}

} // namespace

TEST(FormatHeader, ValidateReportsTheFirstFaultInItsOrder)
{
    struct case_t {
        const char *name;
        std::function<void(vek_rir_header_info_real_t &)> damage;
        const char *text;
    } cases[] = {
        {"sound", [](vek_rir_header_info_real_t &) {}, ""},
        {"merged count", [](vek_rir_header_info_real_t &i) { i.record_count = 24544; }, ""},
        {"version", [](vek_rir_header_info_real_t &i) { i.version = 2; },
         "corrupt RIR version in src1"},
        {"record size", [](vek_rir_header_info_real_t &i) { i.record_size = 128; },
         "corrupt RIR record size in src1"},
        {"record count", [](vek_rir_header_info_real_t &i) { i.record_count = 12271; },
         "corrupt RIR record count in src1"},
        {"zero count", [](vek_rir_header_info_real_t &i) { i.record_count = 0; },
         "corrupt RIR record count in src1"},
        {"magic", [](vek_rir_header_info_real_t &i) { i.magic ^= 1; },
         "corrupt RIR magic in src1"},
        {"magic and version: version first",
         [](vek_rir_header_info_real_t &i) { i.magic = 0; i.version = 0; },
         "corrupt RIR version in src1"},
        {"size and count: size first",
         [](vek_rir_header_info_real_t &i) { i.record_size = 0; i.record_count = 0; },
         "corrupt RIR record size in src1"},
        {"all zero", [](vek_rir_header_info_real_t &i) { memset(&i, 0, sizeof(i)); },
         "corrupt RIR version in src1"},
    };
    for (const case_t &c : cases) {
        test_log_t log;
        c.damage(log.info());
        EXPECT_EQ(validate_text(log), c.text) << c.name;
    }
}

TEST(FormatHeader, ReadAndWriteReportShortTransfers)
{
    vek_rir_failure_info_t fi;
    vek_rir_header_t header;
    for (size_t size : {size_t{0}, size_t{100}, size_t{4095}}) {
        memfile_t file(std::string(size, 'x'));
        vek_rir_failure_info_clear(&fi);
        EXPECT_EQ(vek_rir_helper_header_read(&fi, file.fd, &header, "peer"), 1) << size;
        EXPECT_STREQ(fi.text, "peer file header read short");
    }
    test_log_t log;
    log.info().next_seqno = 77;
    memfile_t file(std::string(4096, 0));
    ASSERT_EQ(vek_rir_helper_header_write(&fi, file.fd, log.header(), "dst"), 0);
    ASSERT_EQ(vek_rir_helper_header_read(&fi, file.fd, &header, "dst"), 0);
    EXPECT_EQ(memcmp(&header, log.header(), sizeof(header)), 0);

    vek_rir_failure_info_clear(&fi);
    EXPECT_EQ(vek_rir_helper_header_write(&fi, -1, log.header(), "dst"), 1);
    EXPECT_STREQ(fi.text, "dst file header write short");
}

TEST(FormatRecord, TransfersUseTheSlotOffsetAndReportShortOnes)
{
    test_log_t log;
    memfile_t file(log.str());
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    vek_rir_record_t record;
    memset(&record, 0xab, sizeof(record));
    ASSERT_EQ(vek_rir_helper_record_write(&fi, file.fd, 5, &record, "dst"), 0);
    uint8_t raw[256];
    ASSERT_EQ(pread(file.fd, raw, sizeof(raw), 4096 + 5 * 256), 256);
    EXPECT_EQ(memcmp(raw, &record, 256), 0);
    ASSERT_EQ(pread(file.fd, raw, 1, 4096 + 5 * 256 - 1), 1);
    EXPECT_EQ(raw[0], 0) << "the write spilled into the slot before";

    vek_rir_record_t back;
    ASSERT_EQ(vek_rir_helper_record_read(&fi, file.fd, 5, &back, "src2"), 0);
    EXPECT_EQ(memcmp(&back, &record, sizeof(record)), 0);
    ASSERT_EQ(vek_rir_helper_record_read(&fi, file.fd, 12271, &back, "src2"), 0);

    // Beyond the end, at the end of what off_t holds, and at an index whose offset overflows.
    for (uint64_t index : {uint64_t{12272}, uint64_t{24543}, UINT64_MAX / 256, UINT64_MAX}) {
        vek_rir_failure_info_clear(&fi);
        EXPECT_EQ(vek_rir_helper_record_read(&fi, file.fd, index, &back, "src2"), 1) << index;
        EXPECT_STREQ(fi.text, "src2 file record read short");
    }
    for (uint64_t index : {UINT64_MAX / 256, UINT64_MAX}) {
        vek_rir_failure_info_clear(&fi);
        EXPECT_EQ(vek_rir_helper_record_write(&fi, file.fd, index, &record, "dst"), 1);
        EXPECT_STREQ(fi.text, "dst file record write short");
    }
}

TEST(FormatRecord, EarliestOrdersByTimeAndCountsTiesAsTheSecond)
{
    struct case_t {
        uint64_t s1, u1, s2, u2;
        int earliest;
    } cases[] = {
        {10, 0, 11, 0, 1},
        {11, 0, 10, 999999, 2},
        {10, 5, 10, 6, 1},
        {10, 6, 10, 5, 2},
        {10, 5, 10, 5, 2},
        {0, 0, 0, 0, 2},
        // Seconds from a damaged file that would overflow when turned into microseconds.
        {UINT64_MAX / 1000000 + 1, 0, 1, 0, 2},
        {1, 0, UINT64_MAX, 0, 1},
    };
    for (const case_t &c : cases) {
        vek_rir_record_t r1, r2;
        memset(&r1, 0, sizeof(r1));
        memset(&r2, 0, sizeof(r2));
        vek_rir_helper_real(&r1).time_secs = c.s1;
        vek_rir_helper_real(&r1).time_usecs = c.u1;
        vek_rir_helper_real(&r2).time_secs = c.s2;
        vek_rir_helper_real(&r2).time_usecs = c.u2;
        EXPECT_EQ(vek_rir_helper_record_earliest(&r1, &r2), c.earliest)
            << c.s1 << "." << c.u1 << " vs " << c.s2 << "." << c.u2;
    }
}

TEST(FormatCursor, PopulateStartsAtTheOldestAndCountsWhatTheRingHolds)
{
    struct case_t {
        uint64_t record_count, next_seqno;
        uint64_t left, forward_first, reverse_first;
    } cases[] = {
        {12272, 0, 0, 0, 0},
        {12272, 1, 1, 0, 0},
        {12272, 100, 100, 0, 99},
        {12272, 12271, 12271, 0, 12270},
        {12272, 12272, 12272, 0, 12271},
        {12272, 12273, 12272, 1, 0},
        {12272, 12300, 12272, 28, 27},
        {24544, 20000, 20000, 0, 19999},
        {24544, 30000, 24544, 30000 - 24544, 30000 - 24544 - 1},
        {12272, UINT64_MAX, 12272, UINT64_MAX % 12272, UINT64_MAX % 12272 - 1},
    };
    for (const case_t &c : cases) {
        test_log_t log(c.record_count);
        log.info().next_seqno = c.next_seqno;
        vek_rir_helper_walk_info_t walk;
        vek_rir_helper_walk_info_populate(&walk, log.header());
        EXPECT_EQ(walk.record_count_left, c.left) << c.next_seqno;
        EXPECT_EQ(walk.record_index_next, c.forward_first) << c.next_seqno;
        EXPECT_EQ(walk.record_count_max, c.record_count);
        vek_rir_helper_walk_info_populate_reverse(&walk, log.header());
        EXPECT_EQ(walk.record_count_left, c.left) << c.next_seqno;
        EXPECT_EQ(walk.record_index_next, c.reverse_first) << c.next_seqno;
    }
}

// The one step every reader takes gives the same slots, in the cursor's own direction, as
// the set-up and the steps it is made of, and stops after at most the ring's size.
TEST(FormatCursor, NextStepsInTheDirectionTheCursorWasSetUpFor)
{
    for (uint64_t n : {uint64_t{0}, uint64_t{1}, uint64_t{5}, VEK_RIR_RECORD_COUNT - 1,
                       VEK_RIR_RECORD_COUNT, VEK_RIR_RECORD_COUNT + 7, 3 * VEK_RIR_RECORD_COUNT}) {
        SCOPED_TRACE("next_seqno " + std::to_string(n));
        test_log_t log;
        for (uint64_t k = 0; k < n; k++)
            log.append(k, 0, "id", "text");
        for (bool reverse : {false, true}) {
            vek_rir_helper_walk_info_t walk;
            if (reverse)
                vek_rir_helper_walk_info_populate_reverse(&walk, log.header());
            else
                vek_rir_helper_walk_info_populate(&walk, log.header());
            std::vector<uint64_t> seen;
            uint64_t index;
            while (vek_rir_helper_walk_info_next(&walk, &index) && seen.size() <= log.slots())
                seen.push_back(log.slot(index).seqno);
            uint64_t held = std::min<uint64_t>(n, VEK_RIR_RECORD_COUNT);
            ASSERT_EQ(seen.size(), held);
            for (size_t k = 0; k < seen.size(); k++)
                EXPECT_EQ(seen[k], reverse ? n - 1 - k : n - held + k);
        }
    }
}

TEST(FormatCursor, WalksOfAWrappedRingVisitEverySeqnoOnceInOrder)
{
    test_log_t log;
    const uint64_t total = VEK_RIR_RECORD_COUNT + 1000;
    for (uint64_t n = 0; n < total; n++)
        log.append(1000 + n, 0, "id", "text");
    vek_rir_helper_walk_info_t walk;
    std::vector<uint64_t> seen;
    for (vek_rir_helper_walk_info_populate(&walk, log.header()); walk.record_count_left != 0;
         vek_rir_helper_walk_info_consume_one(&walk))
        seen.push_back(log.slot(walk.record_index_next).seqno);
    ASSERT_EQ(seen.size(), VEK_RIR_RECORD_COUNT);
    for (size_t k = 0; k < seen.size(); k++)
        ASSERT_EQ(seen[k], 1000 + k);

    seen.clear();
    for (vek_rir_helper_walk_info_populate_reverse(&walk, log.header());
         walk.record_count_left != 0; vek_rir_helper_walk_info_consume_one_reverse(&walk))
        seen.push_back(log.slot(walk.record_index_next).seqno);
    ASSERT_EQ(seen.size(), VEK_RIR_RECORD_COUNT);
    for (size_t k = 0; k < seen.size(); k++)
        ASSERT_EQ(seen[k], total - 1 - k);
}

TEST(FormatField, CopyKeepsTheLastByteATerminator)
{
    char field[8];
    memset(field, 'z', sizeof(field));
    vek_rir_helper_field_copy(field, sizeof(field), "abcdefghij");
    EXPECT_EQ(std::string(field, 8), std::string("abcdefg\0", 8));
    memset(field, 'z', sizeof(field));
    vek_rir_helper_field_copy(field, sizeof(field), "ab");
    EXPECT_EQ(std::string(field, 8), std::string("ab\0\0\0\0\0\0", 8));
}

namespace {

// One row of the offset table of docs/format.md: area, field, offset, size.
struct format_row_t {
    std::string area;
    std::string field;
    size_t offset;
    size_t size;
};

std::vector<format_row_t> format_page_rows()
{
    std::vector<format_row_t> rows;
    FILE *page = fopen(VEK_RIR_SOURCE_DIR "/docs/format.md", "r");
    if (page == nullptr)
        return rows;
    char line[512];
    while (fgets(line, sizeof(line), page) != nullptr) {
        char area[32], field[64];
        size_t offset, size;
        if (sscanf(line, "| %31[a-z] | %63[a-z_] | %zu | %zu |", area, field, &offset, &size) == 4)
            rows.push_back({area, field, offset, size});
    }
    fclose(page);
    return rows;
}

TEST(FormatPageTest, OffsetTableMatchesTheFormatHeader)
{
    const std::vector<format_row_t> expected = {
        {"header", "magic", VEK_RIR_HEADER_OFFSET(magic), 8},
        {"header", "version", VEK_RIR_HEADER_OFFSET(version), 8},
        {"header", "flags", VEK_RIR_HEADER_OFFSET(flags), 8},
        {"header", "record_size", VEK_RIR_HEADER_OFFSET(record_size), 8},
        {"header", "record_count", VEK_RIR_HEADER_OFFSET(record_count), 8},
        {"header", "next_seqno", VEK_RIR_HEADER_OFFSET(next_seqno), 8},
        {"header", "last_touch_secs", VEK_RIR_HEADER_OFFSET(last_touch_secs), 8},
        {"header", "last_touch_usecs", VEK_RIR_HEADER_OFFSET(last_touch_usecs), 8},
        {"header", "generation", VEK_RIR_HEADER_OFFSET(generation), 8},
        {"header", "mutex_attr", VEK_RIR_LOCK_OFFSET(mutex_attr), sizeof(pthread_mutexattr_t)},
        {"header", "mutex_body", VEK_RIR_LOCK_OFFSET(mutex_body), sizeof(pthread_mutex_t)},
        {"header", "mutex_init_boot_time", VEK_RIR_LOCK_OFFSET(mutex_init_boot_time), 8},
        {"record", "seqno", VEK_RIR_RECORD_OFFSET(seqno), 8},
        {"record", "flags", VEK_RIR_RECORD_OFFSET(flags), 8},
        {"record", "time_secs", VEK_RIR_RECORD_OFFSET(time_secs), 8},
        {"record", "time_usecs", VEK_RIR_RECORD_OFFSET(time_usecs), 8},
        {"record", "rir_class", VEK_RIR_RECORD_OFFSET(rir_class), 8},
        {"record", "code", VEK_RIR_RECORD_OFFSET(code), 8},
        {"record", "identity", VEK_RIR_RECORD_OFFSET(identity), VEK_RIR_RECORD_IDENTITY_SIZE},
        {"record", "text", VEK_RIR_RECORD_OFFSET(text), VEK_RIR_RECORD_TEXT_SIZE},
    };
    std::vector<format_row_t> rows = format_page_rows();
    ASSERT_EQ(rows.size(), expected.size()) << "rows of the offset table in docs/format.md";
    for (size_t i = 0; i < rows.size(); i++) {
        SCOPED_TRACE(expected[i].area + " " + expected[i].field);
        EXPECT_EQ(rows[i].area, expected[i].area);
        EXPECT_EQ(rows[i].field, expected[i].field);
        EXPECT_EQ(rows[i].offset, expected[i].offset);
        EXPECT_EQ(rows[i].size, expected[i].size);
    }
}

} // namespace
