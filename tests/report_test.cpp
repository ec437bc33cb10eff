// The info and dump reports, byte for byte, on files of both sizes and on every bad file.
// Files are anonymous memory files reached through /proc/self/fd, so no fixed path is used.

#include "tests/vek_rir_testfile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>

using vek_rir_test::test_log_t;

namespace {

struct memfile_t {
    int fd;
    std::string path;
    explicit memfile_t(const std::string &bytes) : fd(memfd_create("rir-report", MFD_CLOEXEC))
    {
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    ~memfile_t() { close(fd); }
};

struct report_result_t {
    vek_rir_rc_t rc;
    std::string out;
    std::string failure;
};

// Runs one report with standard output going into a memory file.
template <typename F>
report_result_t capture(F report)
{
    fflush(stdout);
    int sink = memfd_create("rir-stdout", MFD_CLOEXEC);
    int saved = dup(1);
    dup2(sink, 1);
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    report_result_t result;
    result.rc = report(&fi);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    off_t size = lseek(sink, 0, SEEK_END);
    result.out.resize(static_cast<size_t>(size));
    EXPECT_EQ(pread(sink, result.out.data(), result.out.size(), 0), size);
    close(sink);
    result.failure = fi.text;
    return result;
}

report_result_t info(const char *path)
{
    return capture([&](vek_rir_failure_info_t *fi) { return vek_rir_cli_info(fi, path); });
}

report_result_t dump(const char *path, uint64_t time_after = 0)
{
    return capture(
        [&](vek_rir_failure_info_t *fi) { return vek_rir_cli_dump(fi, path, time_after); });
}

} // namespace

TEST(ReportInfo, ShowsTheHeaderAndTheForwardCursor)
{
    test_log_t log;
    log.info().flags = VEK_RIR_HEADER_FLAG_NODE_B;
    log.info().next_seqno = 12300;
    log.info().last_touch_secs = 0x6b17177c;
    log.info().last_touch_usecs = 0xe9760;
    memfile_t file(log.str());
    report_result_t r = info(file.path.c_str());
    ASSERT_EQ(r.rc, VEK_RIR_RC_OK) << r.failure;
    EXPECT_EQ(r.out, "# header.magic                deadbeeaf00d1234\n"
                     "# header.version              0000000000000001\n"
                     "# header.flags                0000000000000002\n"
                     "# header.record_size          0000000000000100\n"
                     "# header.record_count         0000000000002ff0\n"
                     "# header.next_seqno           000000000000300c\n"
                     "# header.last_touch_secs      000000006b17177c\n"
                     "# header.last_touch_usecs     00000000000e9760\n"
                     "# walk_info.record_count_left 0000000000002ff0\n"
                     "# walk_info.record_index_next 000000000000001c\n");
}

TEST(ReportInfo, AcceptsAMergedFileAndAnEmptyLog)
{
    test_log_t merged(VEK_RIR_MERGED_RECORD_COUNT);
    merged.info().flags = VEK_RIR_HEADER_FLAG_MERGED;
    merged.info().next_seqno = 3;
    memfile_t file(merged.str());
    report_result_t r = info(file.path.c_str());
    ASSERT_EQ(r.rc, VEK_RIR_RC_OK) << r.failure;
    EXPECT_NE(r.out.find("# header.flags                0000000000000004\n"), std::string::npos);
    EXPECT_NE(r.out.find("# header.record_count         0000000000005fe0\n"), std::string::npos);
    EXPECT_NE(r.out.find("# walk_info.record_count_left 0000000000000003\n"), std::string::npos);

    test_log_t empty;
    memfile_t empty_file(empty.str());
    r = info(empty_file.path.c_str());
    ASSERT_EQ(r.rc, VEK_RIR_RC_OK);
    EXPECT_NE(r.out.find("# walk_info.record_count_left 0000000000000000\n"
                         "# walk_info.record_index_next 0000000000000000\n"),
              std::string::npos);
}

TEST(ReportDump, PrintsOneLinePerRecordOldestFirst)
{
    test_log_t log;
    log.append(0, 0, "epoch", "first", VEK_RIR_CLASS_START, VEK_RIR_CODE_NA,
               VEK_RIR_RECORD_FLAG_NODE_A);
    log.append(86400, 5, "an-identity-of-exactly-31-chars", "second", 16, 42);
    log.append(86401, 999999, "", "", VEK_RIR_CLASS_EVENT - 1, 0, UINT64_C(5) << 32);
    memfile_t file(log.str());
    report_result_t r = dump(file.path.c_str());
    ASSERT_EQ(r.rc, VEK_RIR_RC_OK) << r.failure;
    EXPECT_EQ(r.out,
              "0000000000|00000000:A.UC|01/01/1970 00:00:00.000000|           START|"
              "              NA|                           epoch|first\n"
              "0000000001|00000000:..UC|01/02/1970 00:00:00.000005|0000000000000010|"
              "000000000000002a| an-identity-of-exactly-31-chars|second\n"
              "0000000002|00000005:..UC|01/02/1970 00:00:01.999999|f07ffffffffffffe|"
              "0000000000000000|                                |\n");
}

TEST(ReportDump, TimeAfterIsTestedPerRecord)
{
    test_log_t log;
    log.append(100, 0, "a", "at-100");
    log.append(50, 0, "b", "at-50");  // a clock step back: older, but later in the ring
    log.append(101, 0, "c", "at-101");
    memfile_t file(log.str());
    auto texts = [&](uint64_t after) {
        std::string out = dump(file.path.c_str(), after).out, texts_only;
        for (size_t begin = 0, end; (end = out.find('\n', begin)) != std::string::npos;
             begin = end + 1) {
            std::string line = out.substr(begin, end - begin);
            texts_only += line.substr(line.rfind('|') + 1) + "\n";
        }
        return texts_only;
    };
    EXPECT_EQ(texts(0), "at-100\nat-50\nat-101\n");
    EXPECT_EQ(texts(100), "at-100\nat-101\n");
    EXPECT_EQ(texts(101), "at-101\n");
    EXPECT_EQ(texts(UINT64_MAX), "");
}

TEST(ReportDump, WrappedRingStartsAtTheOldestAndUnfinishedSlotsShowAsTheyAre)
{
    test_log_t log;
    for (uint64_t n = 0; n < VEK_RIR_RECORD_COUNT + 5; n++)
        log.append(1000, n, "w", "t");
    log.slot(4).flags = VEK_RIR_RECORD_FLAG_USED;  // the newest: claimed, never completed
    memfile_t file(log.str());
    report_result_t r = dump(file.path.c_str());
    ASSERT_EQ(r.rc, VEK_RIR_RC_OK);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 12272);
    EXPECT_EQ(r.out.substr(0, 11), "0000000005|");
    size_t last = r.out.rfind('\n', r.out.size() - 2) + 1;
    EXPECT_EQ(r.out.substr(last, 25), "0000012276|00000000:..U.|");
}

TEST(ReportDump, FieldsWithoutTerminatorStayInsideTheirField)
{
    test_log_t log;
    vek_rir_record_real_t &r = log.append(0, 0, "x", "y");
    memset(r.identity, 'I', sizeof(r.identity));
    memset(r.text, 'T', sizeof(r.text));
    memfile_t file(log.str());
    report_result_t out = dump(file.path.c_str());
    ASSERT_EQ(out.rc, VEK_RIR_RC_OK);
    EXPECT_NE(out.out.find("|" + std::string(32, 'I') + "|" + std::string(176, 'T') + "\n"),
              std::string::npos);
}

// Whoever may log chooses identity and text: a control character must never start what looks
// like a record line of its own, so every one of them is shown as \xNN and nothing else changes.
TEST(ReportDump, ControlCharactersOfIdentityAndTextAreShownEscapedOnTheirOneLine)
{
    struct case_t {
        const char *name;
        std::string identity, text;
        std::string shown_identity, shown_text; // the identity before its 32-column alignment
    } cases[] = {
        {"forged line", "evil\nid",
         "boot ok\n0000000001|00000000:A.UC|01/01/1970 00:00:00.000000|           START|",
         "evil\\x0aid",
         "boot ok\\x0a0000000001|00000000:A.UC|01/01/1970 00:00:00.000000|           START|"},
        {"carriage return and tab", "a\tb", "over\rwrite", "a\\x09b", "over\\x0dwrite"},
        {"lowest, highest, delete", "\x01", std::string("\x1f") + "\x7f" + "\x1b[2J", "\\x01",
         "\\x1f\\x7f\\x1b[2J"},
        {"printable and high bytes stay", " ~|\\x0a", "caf\xc3\xa9 \x80\xff", " ~|\\x0a",
         "caf\xc3\xa9 \x80\xff"},
        {"an identity that grows past its column", std::string(31, '\n'), "t",
         [] {
             std::string out;
             for (int i = 0; i < 31; i++)
                 out += "\\x0a";
             return out;
         }(),
         "t"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        test_log_t log;
        log.append(0, 0, c.identity.c_str(), c.text.c_str(), VEK_RIR_CLASS_START, 0);
        memfile_t file(log.str());
        report_result_t r = dump(file.path.c_str());
        ASSERT_EQ(r.rc, VEK_RIR_RC_OK) << r.failure;
        std::string identity = c.shown_identity;
        if (identity.size() < 32)
            identity.insert(0, 32 - identity.size(), ' ');
        EXPECT_EQ(r.out, "0000000000|00000000:..UC|01/01/1970 00:00:00.000000|           START|"
                         "0000000000000000|" +
                             identity + "|" + c.shown_text + "\n");
    }
}

TEST(ReportBadFiles, EachFaultGivesItsTextInBothReports)
{
    std::string sound = test_log_t().str();
    struct case_t {
        const char *name;
        std::string bytes;
        const char *text;  // %s stands for the path
    } cases[] = {
        {"empty", "", "dump file at %s had bad size (3145728/6287360/0)"},
        {"one byte short", sound.substr(1), "dump file at %s had bad size (3145728/6287360/3145727)"},
        {"one byte long", sound + "x", "dump file at %s had bad size (3145728/6287360/3145729)"},
        {"bad version", [&] { test_log_t l; l.info().version = 7; return l.str(); }(),
         "corrupt RIR version in dump"},
        {"bad record size", [&] { test_log_t l; l.info().record_size = 255; return l.str(); }(),
         "corrupt RIR record size in dump"},
        {"bad record count", [&] { test_log_t l; l.info().record_count = 1; return l.str(); }(),
         "corrupt RIR record count in dump"},
        {"bad magic", [&] { test_log_t l; l.info().magic = 0; return l.str(); }(),
         "corrupt RIR magic in dump"},
    };
    for (const case_t &c : cases) {
        memfile_t file(c.bytes);
        char expected[256];
        snprintf(expected, sizeof(expected), c.text, file.path.c_str());
        for (report_result_t r : {info(file.path.c_str()), dump(file.path.c_str())}) {
            EXPECT_EQ(r.rc, VEK_RIR_RC_FAILURE) << c.name;
            EXPECT_EQ(r.failure, expected) << c.name;
            EXPECT_EQ(r.out, "") << c.name;
        }
    }
    for (report_result_t r : {info(nullptr), dump(nullptr)}) {
        EXPECT_EQ(r.rc, VEK_RIR_RC_FAILURE);
        EXPECT_EQ(r.failure, "dump path not specified");
    }
    for (report_result_t r : {info("/nonexistent/rir"), dump("/nonexistent/rir")}) {
        EXPECT_EQ(r.rc, VEK_RIR_RC_FAILURE);
        EXPECT_EQ(r.failure, "unable to open dump file at /nonexistent/rir");
    }
}

TEST(ReportBadFiles, NormalSizeClaimingTheMergedCountStopsAtTheEnd)
{
    test_log_t log(VEK_RIR_MERGED_RECORD_COUNT);
    for (uint64_t n = 0; n < 12280; n++)
        log.append(1, 0, "i", "t");
    std::string bytes = log.str().substr(0, VEK_RIR_FILE_SIZE);
    memfile_t file(bytes);
    report_result_t r = dump(file.path.c_str());
    EXPECT_EQ(r.rc, VEK_RIR_RC_FAILURE);
    EXPECT_EQ(r.failure, "dump file record read short");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 12272);
}
