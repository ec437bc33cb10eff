// Snapshots and the local mirror: consistent copies while other processes append, the
// published file replaced whole or not at all, the tool's rir_snap, and the mirror's gate,
// copies and clean-up on a tmpfs mounted at /vek_node.

#include "tests/vek_rir_persist.h"
#include "tests/vek_rir_wait.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace vek_rir_test;

namespace {

class SnapTest : public sandbox_test {};

class MirrorTest : public sandbox_test {
protected:
    sandbox_options_t sandbox_options() const override
    {
        sandbox_options_t options;
        options.mount_node = true;
        return options;
    }
};

// A /vek_var just big enough for the live log and its lock file, so the snapshot's write
// runs out of room.
class SnapFullTest : public sandbox_test {
protected:
    sandbox_options_t sandbox_options() const override
    {
        sandbox_options_t options;
        options.var_bytes = 5ull << 20;
        return options;
    }
};

// A /vek_node with room for two normal files but not for the merged log.
class MirrorFullTest : public sandbox_test {
protected:
    sandbox_options_t sandbox_options() const override
    {
        sandbox_options_t options;
        options.mount_node = true;
        options.node_bytes = 8ull << 20;
        return options;
    }
};

// A record that checks itself: writer w's k-th record carries code w * 1000000 + k and the text
// "w<w> k<k>", so a torn or mixed record shows.
std::string writer_text(uint64_t writer, uint64_t k)
{
    return "w" + std::to_string(writer) + " k" + std::to_string(k);
}

int writer_run(uint64_t writer, uint64_t count)
{
    for (uint64_t k = 0; k < count; k++) {
        std::string text = writer_text(writer, k);
        if (vek_rir_if_record_add(nullptr, 0, VEK_RIR_CLASS_STEP, writer * 1000000 + k, "writer",
                                  text.c_str()) != VEK_RIR_RC_OK)
            return 2;
    }
    return 0;
}

// Every record of the snapshot complete and self-consistent, sequence numbers dense from the
// oldest, each writer's records in its own order.
void expect_consistent_snapshot(const std::string &bytes)
{
    ASSERT_EQ(bytes.size(), VEK_RIR_FILE_SIZE);
    vek_rir_header_info_real_t info = file_info(bytes);
    ASSERT_EQ(info.magic, VEK_RIR_MAGIC);
    std::vector<vek_rir_record_real_t> records = file_walk(bytes);
    uint64_t expected_first = info.next_seqno > VEK_RIR_RECORD_COUNT
                                  ? info.next_seqno - VEK_RIR_RECORD_COUNT
                                  : 0;
    uint64_t last_k[2] = {0, 0};
    bool seen[2] = {false, false};
    for (size_t i = 0; i < records.size(); i++) {
        const vek_rir_record_real_t &r = records[i];
        ASSERT_EQ(r.seqno, expected_first + i) << "slot walk position " << i;
        uint64_t done = VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE;
        ASSERT_EQ(r.flags & done, done) << "seqno " << r.seqno;
        uint64_t writer = r.code / 1000000;
        uint64_t k = r.code % 1000000;
        ASSERT_LT(writer, 2u);
        ASSERT_EQ(std::string(r.text), writer_text(writer, k)) << "seqno " << r.seqno;
        if (seen[writer]) {
            ASSERT_GT(k, last_k[writer]);
        }
        seen[writer] = true;
        last_k[writer] = k;
    }
}

} // namespace

TEST_F(SnapTest, SnapshotsTakenWhileTwoProcessesAppendHoldOnlyWholeRecords)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    // 2 x 20000 records wrap the ring more than three times while snapshots are taken.
    constexpr uint64_t per_writer = 20000;
    pid_t writers[2];
    for (uint64_t w = 0; w < 2; w++) {
        writers[w] = fork();
        ASSERT_GE(writers[w], 0);
        if (writers[w] == 0)
            _exit(writer_run(w, per_writer));
    }
    int snapshots = 0;
    int running = 2;
    int statuses[2] = {0, 0};
    const auto deadline = std::chrono::steady_clock::now() + child_limit_default;
    while (running > 0 || snapshots < 3) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ADD_FAILURE() << "the writers did not finish within " << child_limit_default.count()
                          << " ms";
            break;
        }
        vek_rir_file_snap();
        snapshots++;
        expect_consistent_snapshot(read_file(vek_rir_local_snap_path));
        if (HasFatalFailure())
            break;
        for (int w = 0; w < 2; w++) {
            if (writers[w] > 0 && waitpid(writers[w], &statuses[w], WNOHANG) == writers[w]) {
                writers[w] = 0;
                running--;
            }
        }
    }
    for (int w = 0; w < 2; w++) {
        if (writers[w] > 0)
            statuses[w] = child_reap(writers[w], child_limit_default, "writer " + std::to_string(w));
        EXPECT_TRUE(WIFEXITED(statuses[w]) && WEXITSTATUS(statuses[w]) == 0);
    }
    vek_rir_file_snap();
    std::string last = read_file(vek_rir_local_snap_path);
    expect_consistent_snapshot(last);
    EXPECT_EQ(file_info(last).next_seqno, 2 * per_writer);
    EXPECT_FALSE(path_exists(vek_rir_local_snap_tmp_path));
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
}

TEST_F(SnapTest, FailedRenameKeepsThePreviousSnapshotAndLogsOnce)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    live_append(7);
    ASSERT_TRUE(write_file(vek_rir_local_snap_path, "previous snapshot"));
    // A file bound over the snapshot path is a mount point: rename onto it fails with EBUSY.
    ASSERT_TRUE(write_file("/vek_tmp/bound", "previous snapshot"));
    ASSERT_EQ(mount("/vek_tmp/bound", vek_rir_local_snap_path, nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);
    vek_rir_file_snap();
    EXPECT_EQ(read_file(vek_rir_local_snap_path), "previous snapshot");
    std::string image = read_file(vek_rir_local_snap_tmp_path);
    EXPECT_EQ(image.size(), VEK_RIR_FILE_SIZE);
    EXPECT_EQ(file_info(image).next_seqno, 7u);
    EXPECT_EQ(sandbox_take_syslog_messages(),
              std::vector<std::string>{"unable to rename /vek_var/vek-rir-local-snap.bin.tmp to "
                                       "/vek_var/vek-rir-local-snap.bin\n"});
    umount(vek_rir_local_snap_path);
}

TEST_F(SnapTest, UncreatableTemporaryIsLoggedAndNothingIsPublished)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    // A directory that is not empty can neither be removed nor opened for writing.
    ASSERT_EQ(mkdir(vek_rir_local_snap_tmp_path, 0755), 0);
    ASSERT_TRUE(write_file(std::string(vek_rir_local_snap_tmp_path) + "/x", "x"));
    vek_rir_file_snap();
    EXPECT_FALSE(path_exists(vek_rir_local_snap_path));
    EXPECT_EQ(sandbox_take_syslog_messages(),
              std::vector<std::string>{"unable to open /vek_var/vek-rir-local-snap.bin.tmp\n"});
}

TEST_F(SnapFullTest, ShortWriteRemovesTheTemporaryAndKeepsThePreviousSnapshot)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    ASSERT_TRUE(write_file(vek_rir_local_snap_path, "previous snapshot"));
    vek_rir_file_snap();
    EXPECT_EQ(read_file(vek_rir_local_snap_path), "previous snapshot");
    EXPECT_FALSE(path_exists(vek_rir_local_snap_tmp_path));
    std::vector<std::string> lines = sandbox_take_syslog_messages();
    ASSERT_EQ(lines.size(), 1u);
    const std::string prefix = "unable to write to /vek_var/vek-rir-local-snap.bin.tmp (";
    ASSERT_EQ(lines[0].substr(0, prefix.size()), prefix);
    long long count = atoll(lines[0].c_str() + prefix.size());
    EXPECT_LT(count, static_cast<long long>(VEK_RIR_FILE_SIZE));
    EXPECT_GE(count, -1);
}

// ---- rir_snap -------------------------------------------------------------------------------

TEST_F(SnapTest, CliSnapWritesTheWholeImageWithModeSixHundredAndDetaches)
{
    {
        live_attach_t live;
        ASSERT_TRUE(live.ok) << live.failure_info.text;
        live_append(42);
    }
    mode_t old_mask = umask(022);
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    EXPECT_EQ(vek_rir_cli_snap(&fi, "/vek_tmp/snap.bin"), VEK_RIR_RC_OK) << fi.text;
    umask(old_mask);
    EXPECT_EQ(vek_rir_header, nullptr);
    EXPECT_EQ(vek_rir_fd, -1);
    struct stat st;
    ASSERT_EQ(stat("/vek_tmp/snap.bin", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string image = read_file("/vek_tmp/snap.bin");
    ASSERT_EQ(image.size(), VEK_RIR_FILE_SIZE);
    EXPECT_EQ(file_info(image).next_seqno, 42u);
    EXPECT_EQ(std::string(file_record(image, 41).text), "live 41");
    // The image is the mapping as it stood: the information block and the ring byte for byte
    // the live file. The lock block shows the mutex as the snapshot held it.
    std::string live_image = read_file(vek_rir_local_path);
    EXPECT_TRUE(image.substr(0, 256) == live_image.substr(0, 256));
    EXPECT_TRUE(image.substr(4096) == live_image.substr(4096));
}

TEST_F(SnapTest, CliSnapCutsALongerFileToSize)
{
    ASSERT_TRUE(write_file("/vek_tmp/long.bin", std::string(4u << 20, 'x'), 0644));
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    EXPECT_EQ(vek_rir_cli_snap(&fi, "/vek_tmp/long.bin"), VEK_RIR_RC_OK) << fi.text;
    EXPECT_EQ(path_size("/vek_tmp/long.bin"), static_cast<long long>(VEK_RIR_FILE_SIZE));
    EXPECT_EQ(file_info(read_file("/vek_tmp/long.bin")).magic, VEK_RIR_MAGIC);
}

TEST_F(SnapTest, CliSnapCreatesAMissingLiveLogAndSnapsItEmpty)
{
    ASSERT_FALSE(path_exists(vek_rir_local_path));
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    EXPECT_EQ(vek_rir_cli_snap(&fi, "/vek_tmp/first.bin"), VEK_RIR_RC_OK) << fi.text;
    EXPECT_EQ(path_size(vek_rir_local_path), static_cast<long long>(VEK_RIR_FILE_SIZE));
    vek_rir_header_info_real_t info = file_info(read_file("/vek_tmp/first.bin"));
    EXPECT_EQ(info.magic, VEK_RIR_MAGIC);
    EXPECT_EQ(info.record_count, VEK_RIR_RECORD_COUNT);
    EXPECT_EQ(info.next_seqno, 0u);
}

struct cli_snap_refusal_t {
    const char *name;
    const char *path;
    const char *text;
};

TEST_F(SnapTest, CliSnapRefusalsNameThePathAndLeaveTheProcessDetached)
{
    ASSERT_EQ(mkfifo("/vek_tmp/fifo", 0600), 0);
    ASSERT_EQ(mkdir("/vek_tmp/small", 0755), 0);
    ASSERT_EQ(sandbox_mount_tmpfs("/vek_tmp/small", 1u << 20), "");
    const cli_snap_refusal_t cases[] = {
        {"no path", nullptr, "snap path not specified"},
        {"missing directory", "/vek_tmp/nodir/s.bin", "unable to open snap file at /vek_tmp/nodir/s.bin"},
        {"directory", "/vek_tmp", "unable to open snap file at /vek_tmp"},
        {"device", "/dev/null", "snap file at /dev/null is not a regular file"},
        {"fifo without reader", "/vek_tmp/fifo", "unable to open snap file at /vek_tmp/fifo"},
        {"live log", vek_rir_local_path, "snap file at /vek_var/vek-rir-local.bin is the live log"},
        // A full disk cuts the write short without an error of its own: the reason is the one
        // the rest of the write meets, and the text says what the path now holds.
        {"short write", "/vek_tmp/small/s.bin",
         "unable to write snap file at /vek_tmp/small/s.bin (No space left on device); the copy "
         "there is incomplete"},
    };
    {
        live_attach_t live;
        ASSERT_TRUE(live.ok) << live.failure_info.text;
        live_append(3);
    }
    std::string live_before = read_file(vek_rir_local_path);
    for (const cli_snap_refusal_t &c : cases) {
        vek_rir_failure_info_t fi;
        vek_rir_failure_info_clear(&fi);
        EXPECT_EQ(vek_rir_cli_snap(&fi, c.path), VEK_RIR_RC_FAILURE) << c.name;
        EXPECT_STREQ(fi.text, c.text) << c.name;
        EXPECT_EQ(vek_rir_header, nullptr) << c.name;
        EXPECT_EQ(vek_rir_fd, -1) << c.name;
    }
    EXPECT_TRUE(read_file(vek_rir_local_path) == live_before);
    // Written in place: what fitted stays at the path.
    long long partial = path_size("/vek_tmp/small/s.bin");
    EXPECT_GT(partial, 0);
    EXPECT_LT(partial, static_cast<long long>(VEK_RIR_FILE_SIZE));
}

TEST_F(SnapTest, ToolSnapWorksEndToEndAndPrintsItsFailureLine)
{
    tool_result_t added = run_tool("-o rir_add -I op -t 'before the snap'");
    ASSERT_EQ(added.status, 0) << added.out;
    tool_result_t made = run_tool("-o rir_snap -M /vek_tmp/tool.bin");
    EXPECT_EQ(made.status, 0);
    EXPECT_EQ(made.out, "");
    std::string image = read_file("/vek_tmp/tool.bin");
    ASSERT_EQ(image.size(), VEK_RIR_FILE_SIZE);
    EXPECT_EQ(std::string(file_record(image, 0).text), "before the snap");
    tool_result_t missing = run_tool("-o rir_snap");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "rir_snap failed: snap path not specified\n");
}

// ---- file utilities -------------------------------------------------------------------------

TEST_F(SnapTest, MountTestComparesTheDevicesOfDirectoryAndParent)
{
    ASSERT_EQ(mkdir("/vek_var/sub", 0755), 0);
    struct case_t {
        const char *dir;
        const char *parent;
        int mounted;
    } cases[] = {
        {"/vek_var", "/", 1},          // a tmpfs of its own
        {"/vek_var/sub", "/vek_var", 0}, // the same file system
        {"/vek_node", "/", 0},         // left a plain directory of the root file system
        {"/vek_var/missing", "/", 0},
        {"/vek_var", "/missing", 0},
    };
    for (const case_t &c : cases)
        EXPECT_EQ(vek_rir_util_dir_is_mounted(c.dir, c.parent), c.mounted) << c.dir;
}

TEST_F(SnapTest, FileCopyOfAMissingSourceIsSilentAndRemovesTheStaleTemporary)
{
    ASSERT_TRUE(write_file("/vek_tmp/copy.tmp", "stale"));
    vek_rir_util_file_copy("/vek_tmp/none", "/vek_tmp/copy.tmp", "/vek_tmp/copy");
    EXPECT_FALSE(path_exists("/vek_tmp/copy.tmp"));
    EXPECT_FALSE(path_exists("/vek_tmp/copy"));
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
}

// ---- local mirror ---------------------------------------------------------------------------

TEST_F(SnapTest, MirrorOfAnUnmountedDirectoryCopiesAndLogsNothing)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    vek_rir_file_snap();
    ASSERT_TRUE(path_exists(vek_rir_local_snap_path));
    vek_rir_file_mirror_local();
    EXPECT_FALSE(path_exists(vek_rir_local_mirror_path));
    EXPECT_FALSE(path_exists(vek_rir_local_mirror_tmp_path));
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
}

TEST_F(MirrorTest, MountedMirrorGetsAllThreeCopiesWhole)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    live_append(5);
    vek_rir_file_snap();
    test_log_t peer;
    peer.append(10, 0, "peer", "from the peer");
    test_log_t merged(VEK_RIR_MERGED_RECORD_COUNT);
    merged.append(11, 0, "merged", "from the merge");
    ASSERT_TRUE(write_log(vek_rir_peer_path, peer));
    ASSERT_TRUE(write_log(vek_rir_merged_path, merged));
    vek_rir_file_mirror_local();
    EXPECT_TRUE(read_file(vek_rir_local_mirror_path) == read_file(vek_rir_local_snap_path));
    EXPECT_TRUE(read_file(vek_rir_peer_mirror_path) == peer.str());
    EXPECT_TRUE(read_file(vek_rir_merged_mirror_path) == merged.str());
    for (const char *tmp : {vek_rir_local_mirror_tmp_path, vek_rir_peer_mirror_tmp_path,
                            vek_rir_merged_mirror_tmp_path})
        EXPECT_FALSE(path_exists(tmp)) << tmp;
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
}

// A signal that reaches the copying thread cuts a transfer short; the copy must go on from
// there, not give the pass up. A handled signal sent every 100 us lands in every copy.
TEST_F(MirrorTest, CopiesInterruptedBySignalsStillEndWhole)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    live_append(500);
    vek_rir_file_snap();
    test_log_t peer;
    peer.append(10, 0, "peer", "from the peer");
    test_log_t merged(VEK_RIR_MERGED_RECORD_COUNT);
    for (int i = 0; i < 20000; i++)
        merged.append(11, static_cast<uint64_t>(i), "merged", "from the merge");
    ASSERT_TRUE(write_log(vek_rir_peer_path, peer));
    ASSERT_TRUE(write_log(vek_rir_merged_path, merged));

    struct sigaction action, saved;
    memset(&action, 0, sizeof(action));
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
    pthread_t copier = pthread_self();
    std::atomic<bool> stop{false};
    bounded_thread_t signaller([&] {
        while (!stop.load()) {
            pthread_kill(copier, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }, "the signalling thread");
    bool whole = true;
    for (int pass = 0; pass < 5 && whole; pass++) {
        unlink(vek_rir_local_mirror_path);
        unlink(vek_rir_peer_mirror_path);
        unlink(vek_rir_merged_mirror_path);
        vek_rir_file_mirror_local();
        whole = read_file(vek_rir_local_mirror_path) == read_file(vek_rir_local_snap_path) &&
                read_file(vek_rir_peer_mirror_path) == peer.str() &&
                read_file(vek_rir_merged_mirror_path) == merged.str();
    }
    stop.store(true);
    signaller.join();
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_TRUE(whole) << "a mirror copy is missing or differs from its source";
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
}

TEST_F(MirrorTest, MissingSourcesAreSkippedSilentlyAndTheirStaleTemporariesRemoved)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    vek_rir_file_snap();
    ASSERT_TRUE(write_file(vek_rir_peer_mirror_tmp_path, "stale"));
    ASSERT_TRUE(write_file(vek_rir_merged_mirror_tmp_path, "stale"));
    ASSERT_TRUE(write_file(vek_rir_peer_mirror_path, "earlier peer mirror"));
    vek_rir_file_mirror_local();
    EXPECT_TRUE(read_file(vek_rir_local_mirror_path) == read_file(vek_rir_local_snap_path));
    EXPECT_FALSE(path_exists(vek_rir_peer_mirror_tmp_path));
    EXPECT_FALSE(path_exists(vek_rir_merged_mirror_tmp_path));
    EXPECT_EQ(read_file(vek_rir_peer_mirror_path), "earlier peer mirror");
    EXPECT_FALSE(path_exists(vek_rir_merged_mirror_path));
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
}

TEST_F(MirrorTest, StoppingMarkerStopsThePassBeforeAnyCopy)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    vek_rir_file_snap();
    ASSERT_TRUE(write_file(vek_rir_local_mirror_tmp_path, "stale"));
    ASSERT_TRUE(write_file("/vek_tmp/vek-lumo-stopping", ""));
    vek_rir_file_mirror_local();
    EXPECT_FALSE(path_exists(vek_rir_local_mirror_path));
    // The gate comes before the first copy, so even the stale temporary is left alone.
    EXPECT_TRUE(path_exists(vek_rir_local_mirror_tmp_path));
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
}

// The marker is created from inside the first copy: its sync, the last step before the rename,
// creates it and then syncs for real. Nothing runs beside the pass, so the order is fixed: the
// first copy completes, and the gate after it closes the pass.
namespace {
std::atomic<int> first_copy_syncs{0};
std::string first_copy_sync_path;

int marker_creating_fsync(int fd)
{
    if (first_copy_syncs.fetch_add(1) == 0) {
        char path[256];
        ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path,
                            sizeof(path) - 1);
        first_copy_sync_path.assign(path, n > 0 ? static_cast<size_t>(n) : 0);
        write_file("/vek_tmp/vek-lumo-stopping", "");
    }
    return vek_rir_util_io_real.fsync(fd);
}
} // namespace

TEST_F(MirrorTest, MarkerAppearingAfterTheFirstCopyEndsThePass)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    live_append(3);
    vek_rir_file_snap();
    ASSERT_TRUE(write_log(vek_rir_peer_path, test_log_t()));
    ASSERT_TRUE(write_log(vek_rir_merged_path, test_log_t(VEK_RIR_MERGED_RECORD_COUNT)));
    first_copy_syncs = 0;
    first_copy_sync_path.clear();
    vek_rir_util_io.fsync = marker_creating_fsync;
    vek_rir_file_mirror_local();
    vek_rir_util_io = vek_rir_util_io_real;
    // The marker came while the local copy was being made, not before the pass.
    EXPECT_EQ(first_copy_sync_path, vek_rir_local_mirror_tmp_path);
    EXPECT_TRUE(read_file(vek_rir_local_mirror_path) == read_file(vek_rir_local_snap_path))
        << "the copy under way when the marker appeared is not whole";
    EXPECT_FALSE(path_exists(vek_rir_local_mirror_tmp_path));
    EXPECT_FALSE(path_exists(vek_rir_peer_mirror_path));
    EXPECT_FALSE(path_exists(vek_rir_merged_mirror_path));
    // No other copy was begun, and the pass ended before the directory's sync.
    EXPECT_EQ(first_copy_syncs.load(), 1);
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
}

TEST_F(MirrorTest, EmptySourceGivesNoCopyAndOneLineAndThePassGoesOn)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    vek_rir_file_snap();
    ASSERT_TRUE(write_file(vek_rir_peer_path, ""));
    ASSERT_TRUE(write_file(vek_rir_peer_mirror_path, "earlier peer mirror"));
    test_log_t merged(VEK_RIR_MERGED_RECORD_COUNT);
    ASSERT_TRUE(write_log(vek_rir_merged_path, merged));
    vek_rir_file_mirror_local();
    EXPECT_EQ(read_file(vek_rir_peer_mirror_path), "earlier peer mirror");
    EXPECT_FALSE(path_exists(vek_rir_peer_mirror_tmp_path));
    EXPECT_TRUE(read_file(vek_rir_merged_mirror_path) == merged.str());
    EXPECT_TRUE(read_file(vek_rir_local_mirror_path) == read_file(vek_rir_local_snap_path));
    EXPECT_EQ(sandbox_take_syslog_messages(),
              std::vector<std::string>{"unable to copy /vek_var/vek-rir-peer.bin to "
                                       "/vek_node/vek-rir-peer.bin.tmp (src empty)\n"});
}

TEST_F(MirrorTest, FailedCopiesAreLoggedAndTheOthersStillMade)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    vek_rir_file_snap();
    test_log_t peer;
    ASSERT_TRUE(write_log(vek_rir_peer_path, peer));
    ASSERT_TRUE(write_log(vek_rir_merged_path, test_log_t(VEK_RIR_MERGED_RECORD_COUNT)));
    // The local mirror's final path is a mount point (rename fails), the merged mirror's
    // temporary a non-empty directory (it cannot be removed, so its exclusive create fails with
    // EEXIST).
    ASSERT_TRUE(write_file(vek_rir_local_mirror_path, "earlier local mirror"));
    ASSERT_TRUE(write_file("/vek_tmp/bound", "earlier local mirror"));
    ASSERT_EQ(mount("/vek_tmp/bound", vek_rir_local_mirror_path, nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);
    ASSERT_EQ(mkdir(vek_rir_merged_mirror_tmp_path, 0755), 0);
    ASSERT_TRUE(write_file(std::string(vek_rir_merged_mirror_tmp_path) + "/x", "x"));
    vek_rir_file_mirror_local();
    EXPECT_EQ(read_file(vek_rir_local_mirror_path), "earlier local mirror");
    EXPECT_TRUE(read_file(vek_rir_peer_mirror_path) == peer.str());
    EXPECT_FALSE(path_exists(vek_rir_merged_mirror_path));
    std::vector<std::string> expected = {
        "unable to rename /vek_node/vek-rir-local.bin.tmp to /vek_node/vek-rir-local.bin\n",
        "unable to copy /vek_var/vek-rir-merged.bin to /vek_node/vek-rir-merged.bin.tmp "
        "(dst open failed: " + std::to_string(EEXIST) + ")\n",
    };
    EXPECT_EQ(sandbox_take_syslog_messages(), expected);
    umount(vek_rir_local_mirror_path);
}

TEST_F(MirrorFullTest, ShortSendfileIsLoggedAndLeavesNoTemporary)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    vek_rir_file_snap();
    ASSERT_TRUE(write_log(vek_rir_peer_path, test_log_t()));
    ASSERT_TRUE(write_log(vek_rir_merged_path, test_log_t(VEK_RIR_MERGED_RECORD_COUNT)));
    vek_rir_file_mirror_local();
    EXPECT_EQ(path_size(vek_rir_local_mirror_path), static_cast<long long>(VEK_RIR_FILE_SIZE));
    EXPECT_EQ(path_size(vek_rir_peer_mirror_path), static_cast<long long>(VEK_RIR_FILE_SIZE));
    EXPECT_FALSE(path_exists(vek_rir_merged_mirror_path));
    EXPECT_FALSE(path_exists(vek_rir_merged_mirror_tmp_path));
    std::vector<std::string> lines = sandbox_take_syslog_messages();
    ASSERT_EQ(lines.size(), 1u);
    const std::string prefix = "unable to copy /vek_var/vek-rir-merged.bin to "
                               "/vek_node/vek-rir-merged.bin.tmp (sendfile failed: ";
    EXPECT_EQ(lines[0].substr(0, prefix.size()), prefix);
}
