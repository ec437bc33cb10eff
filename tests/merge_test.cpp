// Merges: two log files into one time-ordered merged log, the refusals that protect the sources
// and the live log, the server's merge duty and the tool's rir_merge.

#include "tests/vek_rir_persist.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

class MergeTest : public sandbox_test {};

constexpr char src1_path[] = "/vek_tmp/src1.bin";
constexpr char src2_path[] = "/vek_tmp/src2.bin";
constexpr char dst_path[] = "/vek_tmp/dst.bin";

// A normal log of `count` records of one node at times start, start + step, ...; each record's
// code is its index within this log, so it can be traced through the merge.
test_log_t node_log(uint64_t header_flags, uint64_t record_flags, uint64_t count, uint64_t start,
                    uint64_t step, uint64_t record_count = VEK_RIR_RECORD_COUNT)
{
    test_log_t log(record_count);
    log.info().flags = header_flags;
    for (uint64_t k = 0; k < count; k++) {
        uint64_t t = start + k * step;
        std::string text = "r" + std::to_string(k);
        log.append(t / 1000000, t % 1000000, "node", text.c_str(), VEK_RIR_CLASS_EVENT, k,
                   record_flags);
    }
    return log;
}

test_log_t log_a(uint64_t count, uint64_t start = 1000000, uint64_t step = 2)
{
    return node_log(VEK_RIR_HEADER_FLAG_NODE_A, VEK_RIR_RECORD_FLAG_NODE_A, count, start, step);
}

test_log_t log_b(uint64_t count, uint64_t start = 1000001, uint64_t step = 2)
{
    return node_log(VEK_RIR_HEADER_FLAG_NODE_B, VEK_RIR_RECORD_FLAG_NODE_B, count, start, step);
}

struct merge_result_t {
    vek_rir_rc_t rc = VEK_RIR_RC_FAILURE;
    std::string failure;
};

merge_result_t merge(const char *src1, const char *src2, const char *dst)
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    merge_result_t result;
    result.rc = vek_rir_cli_merge(&failure_info, src1, src2, dst);
    result.failure = vek_rir_failure_info_text(&failure_info);
    return result;
}

uint64_t record_time(const vek_rir_record_real_t &r)
{
    return r.time_secs * 1000000 + r.time_usecs;
}

// The merged ring walked oldest first: sequence numbers from `first_seqno` on, times never
// going back.
void expect_merged_in_order(const std::vector<vek_rir_record_real_t> &walk, uint64_t first_seqno)
{
    for (size_t i = 0; i < walk.size(); i++) {
        ASSERT_EQ(walk[i].seqno, first_seqno + i) << "at " << i;
        if (i > 0)
            ASSERT_LE(record_time(walk[i - 1]), record_time(walk[i])) << "at " << i;
    }
}

TEST_F(MergeTest, HundredAndFiftyRecordsInterleaveByTimeAndAreRenumbered)
{
    test_log_t a = log_a(100);
    a.info().generation = 7; // the sources' generations are theirs, not the merged log's
    ASSERT_TRUE(write_log(src1_path, a));
    ASSERT_TRUE(write_log(src2_path, log_b(50)));
    merge_result_t result = merge(src1_path, src2_path, dst_path);
    ASSERT_EQ(result.rc, VEK_RIR_RC_OK) << result.failure;

    std::string bytes = read_file(dst_path);
    ASSERT_EQ(bytes.size(), VEK_RIR_MERGED_FILE_SIZE);
    vek_rir_header_info_real_t info = file_info(bytes);
    EXPECT_EQ(info.magic, VEK_RIR_MAGIC);
    EXPECT_EQ(info.record_count, 2 * VEK_RIR_RECORD_COUNT);
    EXPECT_EQ(info.next_seqno, 150u);
    EXPECT_EQ(info.flags, VEK_RIR_HEADER_FLAG_NODE_A | VEK_RIR_HEADER_FLAG_MERGED);
    EXPECT_EQ(info.last_touch_secs, 0u);
    EXPECT_EQ(info.last_touch_usecs, 0u);
    EXPECT_EQ(info.generation, 0u);

    // The first 100 time units alternate A, B; after B's 50 records only A's remain.
    uint64_t next_a = 0, next_b = 0;
    for (uint64_t slot = 0; slot < 150; slot++) {
        vek_rir_record_real_t r = file_record(bytes, slot);
        ASSERT_EQ(r.seqno, slot);
        bool from_b = slot < 100 && slot % 2 == 1;
        uint64_t expected_code = from_b ? next_b++ : next_a++;
        ASSERT_EQ(r.code, expected_code) << "slot " << slot;
        ASSERT_EQ(r.flags & (VEK_RIR_RECORD_FLAG_NODE_A | VEK_RIR_RECORD_FLAG_NODE_B),
                  from_b ? VEK_RIR_RECORD_FLAG_NODE_B : VEK_RIR_RECORD_FLAG_NODE_A);
        ASSERT_NE(r.flags & VEK_RIR_RECORD_FLAG_COMPLETE, 0u);
        ASSERT_EQ(std::string(r.text), "r" + std::to_string(expected_code));
    }
    EXPECT_EQ(file_record(bytes, 150).flags, 0u);
    expect_merged_in_order(file_walk(bytes), 0);
}

TEST_F(MergeTest, EqualTimesTakeTheSecondSourceFirst)
{
    // Same second, same microsecond: the microseconds alone must not decide either.
    ASSERT_TRUE(write_log(src1_path, log_a(3, 5000000, 1000)));
    ASSERT_TRUE(write_log(src2_path, log_b(3, 5000000, 1000)));
    ASSERT_EQ(merge(src1_path, src2_path, dst_path).rc, VEK_RIR_RC_OK);
    std::vector<vek_rir_record_real_t> walk = file_walk(read_file(dst_path));
    ASSERT_EQ(walk.size(), 6u);
    for (size_t i = 0; i < walk.size(); i++)
        EXPECT_EQ(walk[i].flags & VEK_RIR_RECORD_FLAG_NODE_B,
                  i % 2 == 0 ? VEK_RIR_RECORD_FLAG_NODE_B : 0u)
            << "at " << i;
    expect_merged_in_order(walk, 0);
}

TEST_F(MergeTest, EmptySourcesContributeNothing)
{
    struct case_t {
        uint64_t count1, count2;
    };
    for (case_t c : {case_t{0, 10}, case_t{10, 0}, case_t{0, 0}}) {
        SCOPED_TRACE(std::to_string(c.count1) + "+" + std::to_string(c.count2));
        ASSERT_TRUE(write_log(src1_path, log_a(c.count1)));
        ASSERT_TRUE(write_log(src2_path, log_b(c.count2)));
        ASSERT_EQ(merge(src1_path, src2_path, dst_path).rc, VEK_RIR_RC_OK);
        std::string bytes = read_file(dst_path);
        EXPECT_EQ(file_info(bytes).next_seqno, c.count1 + c.count2);
        std::vector<vek_rir_record_real_t> walk = file_walk(bytes);
        ASSERT_EQ(walk.size(), c.count1 + c.count2);
        for (size_t i = 0; i < walk.size(); i++)
            EXPECT_EQ(walk[i].code, i);
        expect_merged_in_order(walk, 0);
    }
}

TEST_F(MergeTest, FullSourceContributesItsNewestRecordsOldestFirst)
{
    const uint64_t written = VEK_RIR_RECORD_COUNT + 500;
    ASSERT_TRUE(write_log(src1_path, log_a(written)));
    ASSERT_TRUE(write_log(src2_path, log_b(0)));
    ASSERT_EQ(merge(src1_path, src2_path, dst_path).rc, VEK_RIR_RC_OK);
    std::string bytes = read_file(dst_path);
    EXPECT_EQ(file_info(bytes).next_seqno, VEK_RIR_RECORD_COUNT);
    std::vector<vek_rir_record_real_t> walk = file_walk(bytes);
    ASSERT_EQ(walk.size(), VEK_RIR_RECORD_COUNT);
    EXPECT_EQ(walk.front().code, 500u);
    EXPECT_EQ(walk.back().code, written - 1);
    expect_merged_in_order(walk, 0);
}

TEST_F(MergeTest, MoreRecordsThanTheMergedRingWrapAndKeepTheNewest)
{
    // Only a merged second source can bring that many.
    const uint64_t merged_count = 2 * VEK_RIR_RECORD_COUNT;
    test_log_t big = node_log(VEK_RIR_HEADER_FLAG_NODE_B | VEK_RIR_HEADER_FLAG_MERGED,
                              VEK_RIR_RECORD_FLAG_NODE_B, merged_count, 2000000, 2, merged_count);
    ASSERT_TRUE(write_log(src2_path, big));
    ASSERT_TRUE(write_log(src1_path, log_a(100, 1000000, 1)));
    ASSERT_EQ(merge(src1_path, src2_path, dst_path).rc, VEK_RIR_RC_OK);
    std::string bytes = read_file(dst_path);
    ASSERT_EQ(bytes.size(), VEK_RIR_MERGED_FILE_SIZE);
    EXPECT_EQ(file_info(bytes).next_seqno, merged_count + 100);
    // Source 1's records are all older, so they were written first and then overwritten: the
    // walk starts at source 2's first record.
    std::vector<vek_rir_record_real_t> walk = file_walk(bytes);
    ASSERT_EQ(walk.size(), merged_count);
    EXPECT_EQ(walk.front().code, 0u);
    EXPECT_EQ(walk.front().flags & VEK_RIR_RECORD_FLAG_NODE_B, VEK_RIR_RECORD_FLAG_NODE_B);
    EXPECT_EQ(walk.back().code, merged_count - 1);
    expect_merged_in_order(walk, 100);
}

TEST_F(MergeTest, LongerDestinationIsCutToTheMergedSize)
{
    ASSERT_TRUE(write_file(dst_path, std::string(VEK_RIR_MERGED_FILE_SIZE + 123456, '\xaa')));
    ASSERT_TRUE(write_log(src1_path, log_a(5)));
    ASSERT_TRUE(write_log(src2_path, log_b(5)));
    ASSERT_EQ(merge(src1_path, src2_path, dst_path).rc, VEK_RIR_RC_OK);
    std::string bytes = read_file(dst_path);
    ASSERT_EQ(bytes.size(), VEK_RIR_MERGED_FILE_SIZE);
    EXPECT_EQ(file_info(bytes).next_seqno, 10u);
    EXPECT_EQ(file_walk(bytes).size(), 10u);
}

TEST_F(MergeTest, FailureTextsComeInTheirOrder)
{
    std::string good1 = log_a(3).str();
    std::string good2 = log_b(3).str();
    test_log_t bad_version = log_b(3);
    bad_version.info().version = 9;
    test_log_t bad_magic = log_a(3);
    bad_magic.info().magic = 1;
    std::string short_header = good1.substr(0, VEK_RIR_HEADER_SIZE - 1);
    std::string short_records = good2.substr(0, VEK_RIR_HEADER_SIZE + VEK_RIR_RECORD_SIZE);
    const std::string missing = "";

    struct case_t {
        const char *name;
        const char *src1, *src2, *dst; // null stays null; others are src1_path etc.
        std::string bytes1, bytes2;    // "" leaves the file missing
        std::string failure;
    };
    const case_t cases[] = {
        {"all null", nullptr, nullptr, nullptr, good1, good2, "src1 path not specified"},
        {"src2 null", src1_path, nullptr, dst_path, good1, good2, "src2 path not specified"},
        {"dst null", src1_path, src2_path, nullptr, good1, good2, "dst path not specified"},
        {"src1 missing", src1_path, src2_path, dst_path, missing, missing,
         std::string("unable to open src1 file at ") + src1_path},
        {"src2 missing", src1_path, src2_path, dst_path, good1, missing,
         std::string("unable to open src2 file at ") + src2_path},
        {"dst uncreatable", src1_path, src2_path, "/vek_tmp/no/dst.bin", good1, good2,
         "unable to open dst file at /vek_tmp/no/dst.bin"},
        // Both headers are read before either is validated.
        {"src2 header short", src1_path, src2_path, dst_path, bad_magic.str(), short_header,
         "src2 file header read short"},
        {"src1 invalid", src1_path, src2_path, dst_path, bad_magic.str(), bad_version.str(),
         "corrupt RIR magic in src1"},
        {"src2 invalid", src1_path, src2_path, dst_path, good1, bad_version.str(),
         "corrupt RIR version in src2"},
        {"src2 records cut", src1_path, src2_path, dst_path, good1, short_records,
         "src2 file record read short"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(src1_path);
        unlink(src2_path);
        unlink(dst_path);
        if (!c.bytes1.empty())
            ASSERT_TRUE(write_file(src1_path, c.bytes1));
        if (!c.bytes2.empty())
            ASSERT_TRUE(write_file(src2_path, c.bytes2));
        merge_result_t result = merge(c.src1, c.src2, c.dst);
        EXPECT_EQ(result.rc, VEK_RIR_RC_FAILURE);
        EXPECT_EQ(result.failure, c.failure);
    }
}

// Both sources are checked whole (header and size) before the destination is opened for
// writing, so a bad source leaves an operator's existing file as it was and creates none.
TEST_F(MergeTest, BadSourceLeavesTheDestinationByteIdenticalOrAbsent)
{
    const std::string good1 = log_a(3).str();
    const std::string good2 = log_b(3).str();
    const std::string header_only = good2.substr(0, VEK_RIR_HEADER_SIZE);
    const std::string empty_header_only = log_b(0).str().substr(0, VEK_RIR_HEADER_SIZE);
    const std::string one_record = good2.substr(0, VEK_RIR_HEADER_SIZE + VEK_RIR_RECORD_SIZE);
    const std::string one_byte_short = good2.substr(0, good2.size() - 1);
    // A merged second source promises twice the ring; a normal-sized file cannot hold it.
    test_log_t merged_claim = log_b(3);
    merged_claim.info().record_count = VEK_RIR_MERGED_RECORD_COUNT;
    const std::string not_a_log(VEK_RIR_FILE_SIZE, 'x');

    struct case_t {
        const char *name;
        std::string bytes1, bytes2;
        std::string failure;
    };
    const case_t cases[] = {
        {"src2 header only", good1, header_only, "src2 file record read short"},
        {"src2 header only, no records", good1, empty_header_only, "src2 file record read short"},
        {"src1 header only", header_only, good2, "src1 file record read short"},
        {"src2 one record", good1, one_record, "src2 file record read short"},
        {"src2 one byte short", good1, one_byte_short, "src2 file record read short"},
        {"src2 claims the merged ring", good1, merged_claim.str(), "src2 file record read short"},
        {"src2 not a log", good1, not_a_log, "corrupt RIR version in src2"},
        {"src2 empty", good1, "", "src2 file header read short"},
    };
    // An operator's earlier merged log, and a file that is no log at all.
    const std::string earlier = [&] {
        EXPECT_TRUE(write_log(src1_path, log_a(5)));
        EXPECT_TRUE(write_log(src2_path, log_b(5)));
        EXPECT_EQ(merge(src1_path, src2_path, dst_path).rc, VEK_RIR_RC_OK);
        return read_file(dst_path);
    }();
    ASSERT_EQ(earlier.size(), VEK_RIR_MERGED_FILE_SIZE);
    for (const std::string &before : {earlier, std::string("keep me"), std::string()}) {
        for (const case_t &c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", destination of " +
                         std::to_string(before.size()) + " bytes");
            ASSERT_TRUE(write_file(src1_path, c.bytes1));
            ASSERT_TRUE(write_file(src2_path, c.bytes2));
            unlink(dst_path);
            if (!before.empty())
                ASSERT_TRUE(write_file(dst_path, before));
            merge_result_t result = merge(src1_path, src2_path, dst_path);
            EXPECT_EQ(result.rc, VEK_RIR_RC_FAILURE);
            EXPECT_EQ(result.failure, c.failure);
            if (before.empty())
                EXPECT_FALSE(path_exists(dst_path));
            else
                EXPECT_TRUE(read_file(dst_path) == before);
        }
    }
}

TEST_F(MergeTest, DestinationThatWouldDestroyAnInputIsRefusedAndNothingChanges)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << vek_rir_failure_info_text(&live.failure_info);
    live_append(7);
    const std::string live_before = live_fingerprint();
    const std::string bytes1 = log_a(4).str();
    const std::string bytes2 = log_b(4).str();
    constexpr char link_path[] = "/vek_tmp/src2-link.bin";
    constexpr char dir_path[] = "/vek_tmp/dir";

    struct case_t {
        const char *dst;
        std::string failure;
    };
    const case_t cases[] = {
        {src1_path, std::string("dst file at ") + src1_path + " is the same file as src1"},
        {link_path, std::string("dst file at ") + link_path + " is the same file as src2"},
        {vek_rir_local_path,
         std::string("dst file at ") + vek_rir_local_path + " is the same file as the live log"},
        {dir_path, std::string("dst file at ") + dir_path + " is not a regular file"},
        {"/dev/null", "dst file at /dev/null is not a regular file"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.dst);
        ASSERT_TRUE(write_file(src1_path, bytes1));
        ASSERT_TRUE(write_file(src2_path, bytes2));
        unlink(link_path);
        ASSERT_EQ(link(src2_path, link_path), 0);
        rmdir(dir_path);
        ASSERT_EQ(mkdir(dir_path, 0755), 0);
        merge_result_t result = merge(src1_path, src2_path, c.dst);
        EXPECT_EQ(result.rc, VEK_RIR_RC_FAILURE);
        EXPECT_EQ(result.failure, c.failure);
        EXPECT_TRUE(read_file(src1_path) == bytes1);
        EXPECT_TRUE(read_file(src2_path) == bytes2);
        EXPECT_TRUE(live_fingerprint() == live_before);
        EXPECT_EQ(path_size(vek_rir_local_path), static_cast<long long>(VEK_RIR_FILE_SIZE));
    }
}

TEST_F(MergeTest, MergedFirstSourceIsRefusedBeforeTheDestinationIsTouched)
{
    const uint64_t merged_count = 2 * VEK_RIR_RECORD_COUNT;
    ASSERT_TRUE(write_log(src1_path, node_log(VEK_RIR_HEADER_FLAG_MERGED, 0, 3, 1, 1,
                                              merged_count)));
    ASSERT_TRUE(write_log(src2_path, log_b(3)));
    merge_result_t missing = merge(src1_path, src2_path, dst_path);
    EXPECT_EQ(missing.rc, VEK_RIR_RC_FAILURE);
    EXPECT_EQ(missing.failure, "src1 file is a merged log; src1 must be a normal log");
    EXPECT_FALSE(path_exists(dst_path));

    ASSERT_TRUE(write_file(dst_path, "keep me"));
    EXPECT_EQ(merge(src1_path, src2_path, dst_path).rc, VEK_RIR_RC_FAILURE);
    EXPECT_EQ(read_file(dst_path), "keep me");
}

TEST_F(MergeTest, ServerMergeWaitsForBothInputsThenPublishesByRename)
{
    ASSERT_TRUE(write_log(vek_rir_local_snap_path, log_a(20)));
    vek_rir_file_merge();
    EXPECT_FALSE(path_exists(vek_rir_merged_tmp_path));
    EXPECT_FALSE(path_exists(vek_rir_merged_path));
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());

    ASSERT_TRUE(write_log(vek_rir_peer_path, log_b(30)));
    vek_rir_file_merge();
    EXPECT_FALSE(path_exists(vek_rir_merged_tmp_path));
    std::string published = read_file(vek_rir_merged_path);
    ASSERT_EQ(published.size(), VEK_RIR_MERGED_FILE_SIZE);
    EXPECT_EQ(file_info(published).next_seqno, 50u);
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());

    // A damaged peer copy is logged; the merged log published before stays.
    std::string cut = log_b(30).str().substr(0, VEK_RIR_HEADER_SIZE + 10 * VEK_RIR_RECORD_SIZE);
    ASSERT_TRUE(write_file(vek_rir_peer_path, cut));
    vek_rir_file_merge();
    EXPECT_TRUE(read_file(vek_rir_merged_path) == published);
    EXPECT_EQ(sandbox_take_syslog_messages(),
              std::vector<std::string>{std::string("unable to merge ") + vek_rir_local_snap_path +
                                       " and " + vek_rir_peer_path + " to " +
                                       vek_rir_merged_tmp_path +
                                       ": src2 file record read short\n"});
}

TEST_F(MergeTest, ServerMergeLogsAFailedRename)
{
    ASSERT_TRUE(write_log(vek_rir_local_snap_path, log_a(2)));
    ASSERT_TRUE(write_log(vek_rir_peer_path, log_b(2)));
    // A non-empty directory in the way of the published name cannot be replaced by a file.
    ASSERT_EQ(mkdir(vek_rir_merged_path, 0755), 0);
    ASSERT_TRUE(write_file(std::string(vek_rir_merged_path) + "/x", "x"));
    vek_rir_file_merge();
    EXPECT_EQ(sandbox_take_syslog_messages(),
              std::vector<std::string>{std::string("unable to rename ") +
                                       vek_rir_merged_tmp_path + " to " + vek_rir_merged_path +
                                       "\n"});
}

TEST_F(MergeTest, ToolMergeTakesItsPathsFromItsOptions)
{
    ASSERT_TRUE(write_log(src1_path, log_a(4)));
    ASSERT_TRUE(write_log(src2_path, log_b(6)));
    tool_result_t made = run_tool(std::string("-o rir_merge -G ") + src1_path + " -H " +
                                  src2_path + " -M " + dst_path);
    EXPECT_EQ(made.status, 0);
    EXPECT_EQ(made.out, "");
    EXPECT_EQ(file_info(read_file(dst_path)).next_seqno, 10u);

    tool_result_t onto_source = run_tool(std::string("-o rir_merge -G ") + src1_path + " -H " +
                                         src2_path + " -M " + src1_path);
    EXPECT_EQ(onto_source.status, 1);
    EXPECT_EQ(onto_source.out, std::string("rir_merge failed: dst file at ") + src1_path +
                                   " is the same file as src1\n");
    EXPECT_EQ(file_info(read_file(src1_path)).next_seqno, 4u);

    tool_result_t no_src2 = run_tool(std::string("-o rir_merge -G ") + src1_path);
    EXPECT_EQ(no_src2.status, 1);
    EXPECT_EQ(no_src2.out, "rir_merge failed: src2 path not specified\n");
}

} // namespace
