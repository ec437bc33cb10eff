// Inhale and clear: the live log emptied and refilled from a log file as new records of this
// node, every refusal leaving the live log exactly as it was, and the server wrappers' lines.

#include "tests/vek_rir_persist.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

constexpr char inhale_path[] = "/vek_tmp/inhale.bin";

// The node marker is read when the live log is created, so it goes first.
class InhaleTest : public sandbox_test {
protected:
    void SetUp() override
    {
        sandbox_test::SetUp();
        ASSERT_TRUE(write_file("/vek_var/VEK_I_AM_B", ""));
    }
};

struct inhale_result_t {
    int rc = -1;
    std::string failure;
};

inhale_result_t inhale(const char *path)
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    inhale_result_t result;
    result.rc = vek_rir_not_for_cli_inhale(&failure_info, path);
    result.failure = vek_rir_failure_info_text(&failure_info);
    return result;
}

// A source whose records carry flags and times of their own, which the inhale must not take.
test_log_t source_log(uint64_t count, uint64_t record_count = VEK_RIR_RECORD_COUNT)
{
    test_log_t log(record_count);
    log.info().flags = VEK_RIR_HEADER_FLAG_NODE_A;
    for (uint64_t k = 0; k < count; k++) {
        std::string identity = "id" + std::to_string(k);
        std::string text = "text " + std::to_string(k);
        log.append(1000 + k, 7, identity.c_str(), text.c_str(), k % 8, 50000 + k,
                   VEK_RIR_RECORD_FLAG_NODE_A | (uint64_t{0x5a} << 32));
    }
    return log;
}

// The whole live mapping as a file image.
std::string live_bytes()
{
    return std::string(reinterpret_cast<const char *>(vek_rir_header), VEK_RIR_FILE_SIZE);
}

uint64_t now_secs()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec);
}

TEST_F(InhaleTest, SnapshotOfAHundredRecordsBecomesNewRecordsOfThisNode)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok);
    live_append(30);
    ASSERT_TRUE(write_log(inhale_path, source_log(100)));
    uint64_t before = now_secs();
    inhale_result_t result = inhale(inhale_path);
    uint64_t after = now_secs();
    ASSERT_EQ(result.rc, 0) << result.failure;

    const vek_rir_header_info_real_t &info = vek_rir_helper_info(vek_rir_header);
    EXPECT_EQ(info.next_seqno, 100u);
    EXPECT_EQ(info.flags, VEK_RIR_HEADER_FLAG_NODE_B);
    for (uint64_t k = 0; k < 100; k++) {
        SCOPED_TRACE("record " + std::to_string(k));
        const vek_rir_record_real_t &r = vek_rir_helper_real(vek_rir_helper_slot(vek_rir_header, k));
        ASSERT_EQ(r.seqno, k);
        ASSERT_EQ(r.flags, VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE |
                               VEK_RIR_RECORD_FLAG_NODE_B);
        ASSERT_GE(r.time_secs, before);
        ASSERT_LE(r.time_secs, after);
        ASSERT_EQ(r.rir_class, k % 8);
        ASSERT_EQ(r.code, 50000 + k);
        ASSERT_EQ(std::string(r.identity), "id" + std::to_string(k));
        ASSERT_EQ(std::string(r.text), "text " + std::to_string(k));
    }
    // The flush wrote the result to the file itself.
    std::string on_disk = read_file(vek_rir_local_path);
    EXPECT_EQ(file_info(on_disk).next_seqno, 100u);
    EXPECT_EQ(file_walk(on_disk).size(), 100u);
}

TEST_F(InhaleTest, MergedFileWrapsTheLiveRingAndKeepsTheNewest)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok);
    ASSERT_TRUE(write_log(inhale_path, source_log(20000, 2 * VEK_RIR_RECORD_COUNT)));
    ASSERT_EQ(inhale(inhale_path).rc, 0);
    const vek_rir_header_info_real_t &info = vek_rir_helper_info(vek_rir_header);
    EXPECT_EQ(info.next_seqno, 20000u);
    std::vector<vek_rir_record_real_t> walk = file_walk(live_bytes());
    ASSERT_EQ(walk.size(), VEK_RIR_RECORD_COUNT);
    EXPECT_EQ(walk.front().seqno, 20000 - VEK_RIR_RECORD_COUNT);
    EXPECT_EQ(walk.front().code, 50000 + 20000 - VEK_RIR_RECORD_COUNT);
    EXPECT_EQ(walk.back().code, 50000 + 19999u);
}

TEST_F(InhaleTest, FieldsWithoutTerminatorAreCutToOneByteLess)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok);
    test_log_t log = source_log(1);
    memset(log.slot(0).identity, 'I', sizeof(log.slot(0).identity));
    memset(log.slot(0).text, 'T', sizeof(log.slot(0).text));
    ASSERT_TRUE(write_log(inhale_path, log));
    ASSERT_EQ(inhale(inhale_path).rc, 0);
    const vek_rir_record_real_t &r = vek_rir_helper_real(vek_rir_helper_slot(vek_rir_header, 0));
    EXPECT_EQ(std::string(r.identity, sizeof(r.identity)),
              std::string(sizeof(r.identity) - 1, 'I') + '\0');
    EXPECT_EQ(std::string(r.text, sizeof(r.text)), std::string(sizeof(r.text) - 1, 'T') + '\0');
}

TEST_F(InhaleTest, EmptySourceLeavesAnEmptyLiveLog)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok);
    live_append(5);
    ASSERT_TRUE(write_log(inhale_path, source_log(0)));
    ASSERT_EQ(inhale(inhale_path).rc, 0);
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 0u);
    EXPECT_EQ(file_info(read_file(vek_rir_local_path)).next_seqno, 0u);
}

TEST_F(InhaleTest, EveryRefusalLeavesTheLiveLogAsItWas)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok);
    live_append(12);
    const std::string before = live_fingerprint();
    const std::string good = source_log(3).str();
    test_log_t bad_count = source_log(3);
    bad_count.info().record_count = 100;
    // A normal-sized file whose header claims the merged ring.
    test_log_t claims_merged = source_log(3);
    claims_merged.info().record_count = 2 * VEK_RIR_RECORD_COUNT;
    constexpr char fifo_path[] = "/vek_tmp/fifo";
    ASSERT_EQ(mkfifo(fifo_path, 0600), 0);
    const std::string p = inhale_path;

    struct case_t {
        const char *name;
        const char *path;
        std::string bytes; // written to inhale_path when path is inhale_path
        std::string failure;
    };
    const case_t cases[] = {
        {"no path", nullptr, "", "inhale path not specified"},
        {"missing", "/vek_tmp/missing.bin", "", "unable to open inhale file at /vek_tmp/missing.bin"},
        {"empty path", "", "", "unable to open inhale file at "},
        {"one byte short", inhale_path, good.substr(0, VEK_RIR_FILE_SIZE - 1),
         "inhale file at " + p + " had bad size (3145728/6287360/3145727)"},
        {"bad record count", inhale_path, bad_count.str(), "corrupt RIR record count in inhale"},
        {"ring beyond the file", inhale_path, claims_merged.str(),
         "inhale file at " + p + " holds fewer records than its header claims"},
        {"fifo", fifo_path, "", "inhale file at /vek_tmp/fifo is not a regular file"},
        {"directory", "/vek_tmp", "", "inhale file at /vek_tmp is not a regular file"},
        {"the live log", vek_rir_local_path, "",
         std::string("inhale file at ") + vek_rir_local_path + " is the live log"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.path == inhale_path)
            ASSERT_TRUE(write_file(inhale_path, c.bytes));
        inhale_result_t result = inhale(c.path);
        EXPECT_EQ(result.rc, 1);
        EXPECT_EQ(result.failure, c.failure);
        EXPECT_TRUE(live_fingerprint() == before);
    }
}

TEST_F(InhaleTest, ClearEmptiesTheLogAndTheNextAppendStartsAtZero)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok);
    live_append(40);
    const vek_rir_header_info_real_t &info = vek_rir_helper_info(vek_rir_header);
    EXPECT_EQ(info.generation, 1u); // a log made new
    vek_rir_file_clear();
    EXPECT_EQ(info.generation, 2u);
    EXPECT_EQ(file_info(read_file(vek_rir_local_path)).generation, 2u);
    EXPECT_EQ(info.next_seqno, 0u);
    EXPECT_EQ(info.last_touch_secs, 0u);
    EXPECT_EQ(file_info(read_file(vek_rir_local_path)).next_seqno, 0u);
    EXPECT_TRUE(file_walk(live_bytes()).empty());

    live_append(2, "after");
    std::vector<vek_rir_record_real_t> walk = file_walk(live_bytes());
    ASSERT_EQ(walk.size(), 2u);
    EXPECT_EQ(walk[0].seqno, 0u);
    EXPECT_EQ(std::string(walk[0].identity), "after");
    EXPECT_EQ(std::string(vek_rir_helper_real(vek_rir_helper_slot(vek_rir_header, 0)).identity),
              "after");
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
}

uint64_t log_now = 0;
uint64_t log_clock()
{
    return log_now;
}

// A request can cause these lines, so one of a kind goes out every 10 s, the next one counting
// those left out; the result tells the server what to answer.
TEST_F(InhaleTest, ServerWrapperReportsTheFailureAndLogsItWithItsPathLimited)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok);
    vek_rir_util_log_clock_msecs = log_clock;
    ASSERT_TRUE(write_log(inhale_path, source_log(4)));
    struct step_t {
        uint64_t now;
        const char *path;
        int rc;
        const char *line; // null: nothing logged
    } steps[] = {
        {100, "", 1, "unable to inhale : unable to open inhale file at \n"},
        {101, "/vek_tmp/missing.bin", 1, nullptr},
        {105, "/vek_tmp", 1, nullptr},
        {111, "/vek_tmp/missing.bin", 1,
         "unable to inhale /vek_tmp/missing.bin: unable to open inhale file at "
         "/vek_tmp/missing.bin (2 more like it left out)\n"},
        {112, inhale_path, 0, nullptr},
    };
    for (const step_t &s : steps) {
        log_now = s.now * 1000;
        EXPECT_EQ(vek_rir_file_inhale(s.path), s.rc) << s.now;
        std::vector<std::string> expected;
        if (s.line != nullptr)
            expected.push_back(s.line);
        EXPECT_EQ(sandbox_take_syslog_messages(), expected) << s.now;
    }
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 4u);
    // Refused inhales leave the generation; the one carried out raised it.
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).generation, 2u);
    EXPECT_EQ(vek_rir_file_clear(), 0);
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 0u);
}

} // namespace
