// The live log's store: attaching (creation, every refusal, the boot-time check of the lock),
// the robust shared mutex, the free-space check, appends from many threads and processes, the
// logging interface and the command-line add. Every case runs in its own node sandbox.

#include "tests/vek_rir_persist.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace vek_rir_test;

namespace {

const std::string live = vek_rir_local_path;

std::string attach_text(int create_if_needed)
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    int rc = vek_rir_file_attach(create_if_needed, &fi);
    EXPECT_EQ(rc, fi.text[0] != 0 ? 1 : 0) << fi.text;
    return fi.text;
}

// The live log as a test reads it, through the file rather than the mapping.
test_log_t live_read()
{
    test_log_t log;
    std::string bytes = read_file(live);
    EXPECT_EQ(bytes.size(), VEK_RIR_FILE_SIZE);
    if (bytes.size() == VEK_RIR_FILE_SIZE)
        memcpy(log.bytes.data(), bytes.data(), bytes.size());
    return log;
}

vek_rir_rc_t add(uint64_t flags, const char *identity, const char *text,
                 vek_rir_failure_info_t *fi = nullptr)
{
    return vek_rir_if_record_add(fi, flags, 7, 9, identity, text);
}

class StoreTest : public sandbox_test {
protected:
    void TearDown() override
    {
        if (vek_rir_header != nullptr)
            vek_rir_file_detach();
        sandbox_test::TearDown();
    }
};

} // namespace

TEST_F(StoreTest, AttachCreatesAReservedValidLogWithTheNodeFlags)
{
    struct case_t {
        const char *marker;
        uint64_t header_flags;
    } cases[] = {
        {nullptr, 0},
        {"/vek_var/VEK_I_AM_A", VEK_RIR_HEADER_FLAG_NODE_A},
        {"/vek_var/VEK_I_AM_B", VEK_RIR_HEADER_FLAG_NODE_B},
    };
    for (const case_t &c : cases) {
        unlink(live.c_str());
        unlink("/vek_var/VEK_I_AM_A");
        unlink("/vek_var/VEK_I_AM_B");
        if (c.marker != nullptr)
            ASSERT_TRUE(write_file(c.marker, ""));
        ASSERT_EQ(attach_text(1), "");
        struct stat st;
        ASSERT_EQ(stat(live.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 3145728);
        EXPECT_GE(st.st_blocks * 512, 3145728) << "the blocks were not reserved";
        const vek_rir_header_info_real_t &info = vek_rir_helper_info(vek_rir_header);
        EXPECT_EQ(info.magic, VEK_RIR_MAGIC);
        EXPECT_EQ(info.version, 1u);
        EXPECT_EQ(info.record_size, 256u);
        EXPECT_EQ(info.record_count, 12272u);
        EXPECT_EQ(info.next_seqno, 0u);
        EXPECT_EQ(info.flags, c.header_flags);
        EXPECT_NE(info.last_touch_secs, 0u);
        EXPECT_EQ(vek_rir_helper_lock(vek_rir_header).mutex_init_boot_time,
                  vek_rir_util_get_boot_time());
        vek_rir_file_detach();
    }
}

TEST_F(StoreTest, AttachRefusalsLeaveTheProcessDetached)
{
    auto with_header = [](auto change) {
        test_log_t log;
        change(log.info());
        return log.str();
    };
    struct case_t {
        const char *name;
        std::string bytes;  // "" with absent: no file at all
        bool absent;
        int create;
        std::string text;
    } cases[] = {
        {"missing, no create", "", true, 0, "unable to open RIR at " + live},
        {"4096 bytes", std::string(4096, 0), false, 1,
         "invalid RIR file size at " + live + " 4096/3145728"},
        {"empty, no create", "", false, 0, "invalid RIR file size at " + live + " 0/3145728"},
        {"all zero, no create", std::string(VEK_RIR_FILE_SIZE, 0), false, 0,
         "unavailable RIR at " + live},
        {"bad magic, no create",
         with_header([](vek_rir_header_info_real_t &i) { i.magic = 1; }), false, 0,
         "unavailable RIR at " + live},
        {"bad magic, create",
         with_header([](vek_rir_header_info_real_t &i) { i.magic = 0x1234; i.next_seqno = 3; }),
         false, 1, "corrupt RIR magic at " + live + " (1234)"},
        {"version",
         with_header([](vek_rir_header_info_real_t &i) { i.version = 7; }), false, 0,
         "corrupt RIR version at " + live + " (7)"},
        {"record size",
         with_header([](vek_rir_header_info_real_t &i) { i.record_size = 512; }), false, 0,
         "corrupt RIR record size at " + live + " (512)"},
        {"merged count is never live",
         with_header([](vek_rir_header_info_real_t &i) { i.record_count = 24544; }), false, 1,
         "corrupt RIR record count at " + live + " (24544)"},
    };
    for (const case_t &c : cases) {
        unlink(live.c_str());
        if (!c.absent)
            ASSERT_TRUE(write_file(live, c.bytes));
        EXPECT_EQ(attach_text(c.create), c.text) << c.name;
        EXPECT_EQ(vek_rir_header, nullptr) << c.name;
        EXPECT_EQ(vek_rir_fd, -1) << c.name;
        if (c.absent)
            EXPECT_NE(access(live.c_str(), F_OK), 0) << "created without permission";
        else {
            // The lock block may get the node's boot time (checked before the header); the
            // information block and the ring must stay as they were.
            std::string now = read_file(live);
            EXPECT_EQ(now.size(), c.bytes.size()) << c.name;
            EXPECT_TRUE(now.substr(0, 256) == c.bytes.substr(0, 256) &&
                        now.substr(std::min<size_t>(4096, now.size())) ==
                            c.bytes.substr(std::min<size_t>(4096, c.bytes.size())))
                << c.name << ": the refused file was changed";
        }
    }
}

// Only version 1 is ever attached, whatever else the header holds and whether or not the attach
// may create: a neighbouring version, one that differs only above the low 32 bits and the
// extremes are each refused with the value.
TEST_F(StoreTest, AttachRefusesEveryOtherVersionWithItsText)
{
    struct case_t {
        uint64_t version;
        const char *shown;
    } cases[] = {
        {0, "0"}, {2, "2"}, {3, "3"}, {7, "7"}, {UINT64_C(0x100000001), "4294967297"},
        {UINT64_C(0x8000000000000001), "-9223372036854775807"}, {UINT64_MAX, "-1"},
    };
    for (const case_t &c : cases) {
        for (int create : {0, 1}) {
            SCOPED_TRACE(std::string(c.shown) + (create ? " with creation" : " without"));
            test_log_t log;
            log.info().version = c.version;
            ASSERT_TRUE(write_file(live, log.str()));
            EXPECT_EQ(attach_text(create), "corrupt RIR version at " + live + " (" + c.shown + ")");
            EXPECT_EQ(vek_rir_header, nullptr);
            EXPECT_EQ(vek_rir_fd, -1);
            if (vek_rir_header != nullptr)
                vek_rir_file_detach(); // accepted by mistake: the next case starts detached
        }
    }
}

// A first attach that died after creating the file leaves it empty or sized without a
// magic; the next attach that may create finishes the job instead of refusing for ever.
TEST_F(StoreTest, AttachWithCreationFinishesAnInitialisationCutShort)
{
    for (std::string bytes : {std::string(), std::string(VEK_RIR_FILE_SIZE, 0)}) {
        ASSERT_TRUE(write_file(live, bytes));
        ASSERT_EQ(attach_text(1), "");
        EXPECT_EQ(vek_rir_helper_info(vek_rir_header).magic, VEK_RIR_MAGIC);
        vek_rir_file_detach();
    }
}

TEST_F(StoreTest, LockFileAndSpaceFailures)
{
    ASSERT_EQ(mkdir(vek_rir_global_attach_domain_lock_path, 0755), 0);
    EXPECT_EQ(attach_text(1), std::string("unable to open RIR lock file at ") +
                                  vek_rir_global_attach_domain_lock_path);
    EXPECT_NE(access(live.c_str(), F_OK), 0);
    ASSERT_EQ(rmdir(vek_rir_global_attach_domain_lock_path), 0);

    // Too small to hold the log: the reservation fails and no half-backed file is left.
    ASSERT_EQ(sandbox_mount_tmpfs("/vek_var", 1 << 20), "");
    EXPECT_EQ(attach_text(1), "unable to reserve RIR space at " + live + " (28)");
    EXPECT_NE(access(live.c_str(), F_OK), 0);
}

TEST_F(StoreTest, SecondAttachIsRefusedAndTheFirstStillWorks)
{
    ASSERT_EQ(attach_text(1), "");
    EXPECT_EQ(attach_text(1), "process already attached to RIR memory");
    vek_rir_failure_info_t fi;
    EXPECT_EQ(add(0, "still", "works", &fi), VEK_RIR_RC_OK) << fi.text;
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 1u);
}

TEST_F(StoreTest, AChangedBootTimeKeepsAFreeMutexAndReplacesAStaleOne)
{
    ASSERT_EQ(attach_text(1), "");
    vek_rir_header_lock_real_t &lock = vek_rir_helper_lock(vek_rir_header);
    // A free mutex from "another boot": kept, only the boot time is renewed.
    lock.mutex_init_boot_time = 1;
    vek_rir_file_detach();
    ASSERT_EQ(attach_text(0), "");
    EXPECT_EQ(vek_rir_helper_lock(vek_rir_header).mutex_init_boot_time,
              vek_rir_util_get_boot_time());
    ASSERT_EQ(add(0, "after", "free"), VEK_RIR_RC_OK);

    // A mutex an owner of an earlier boot holds for ever: the owner id names no live thread.
    pthread_mutex_t *mutex = &vek_rir_helper_lock(vek_rir_header).mutex_body;
    mutex->__data.__lock = 0x3ffffff0;
    mutex->__data.__owner = 0x3ffffff0;
    vek_rir_helper_lock(vek_rir_header).mutex_init_boot_time = 1;
    vek_rir_file_detach();
    ASSERT_EQ(attach_text(0), "");
    EXPECT_EQ(vek_rir_helper_lock(vek_rir_header).mutex_init_boot_time,
              vek_rir_util_get_boot_time());
    vek_rir_failure_info_t fi;
    ASSERT_EQ(add(0, "after", "stale", &fi), VEK_RIR_RC_OK) << fi.text;
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 2u);
}

TEST_F(StoreTest, AWriterThatDiesHoldingTheMutexBlocksNobody)
{
    ASSERT_EQ(attach_text(1), "");
    vek_rir_file_detach();
    int status = run_child([] {
        vek_rir_failure_info_t fi;
        if (vek_rir_if_world_init(&fi) != VEK_RIR_RC_OK)
            return 2;
        vek_rir_record_t *record = nullptr;
        if (vek_rir_next_record_get(&record, VEK_RIR_TRUE, &fi) != 0)
            return 4;
        raise(SIGKILL);  // claimed, then killed mid-append
        return 3;
    });
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    // The first locker after the death recovers the mutex; the appends after it find it as
    // any other. They run in a child, so a mutex left unusable fails this test, not the suite.
    status = run_child_within(20, [] {
        vek_rir_failure_info_t fi;
        if (vek_rir_if_world_init(&fi) != VEK_RIR_RC_OK)
            return 2;
        if (add(0, "survivor", "next") != VEK_RIR_RC_OK)
            return 3;
        if (add(0, "survivor", "after the next") != VEK_RIR_RC_OK)
            return 4;
        return vek_rir_if_world_deinit(&fi) == VEK_RIR_RC_OK ? 0 : 5;
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    vek_rir_failure_info_t fi;
    ASSERT_EQ(vek_rir_if_world_init(&fi), VEK_RIR_RC_OK) << fi.text;
    ASSERT_EQ(add(0, "parent", "third"), VEK_RIR_RC_OK);
    const test_log_t log = live_read();
    test_log_t copy = log;
    EXPECT_EQ(copy.info().next_seqno, 4u);
    EXPECT_EQ(copy.slot(0).flags & (VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE),
              VEK_RIR_RECORD_FLAG_USED) << "the dead writer's slot shows USED without COMPLETE";
    EXPECT_EQ(copy.slot(1).seqno, 1u);
    EXPECT_STREQ(copy.slot(1).identity, "survivor");
    EXPECT_STREQ(copy.slot(2).text, "after the next");
    EXPECT_STREQ(copy.slot(3).text, "third");
    ASSERT_EQ(vek_rir_if_world_deinit(&fi), VEK_RIR_RC_OK);
}

TEST_F(StoreTest, ConcurrentThreadsAndProcessesGetDenseSeqnosInTheirOwnOrder)
{
    ASSERT_EQ(attach_text(1), "");
    vek_rir_file_detach();
    constexpr int processes = 3, threads = 2, per_thread = 3000;
    auto writer = [] {
        vek_rir_failure_info_t fi;
        if (vek_rir_if_world_init(&fi) != VEK_RIR_RC_OK)
            return 2;
        std::vector<bounded_thread_t> pool;
        int failures = 0;
        for (int t = 0; t < threads; t++)
            pool.emplace_back([t, &failures] {
                char identity[32], text[64];
                snprintf(identity, sizeof(identity), "w%d-%d", static_cast<int>(getpid()), t);
                for (int n = 0; n < per_thread; n++) {
                    snprintf(text, sizeof(text), "%d", n);
                    if (add(0, identity, text) != VEK_RIR_RC_OK)
                        __atomic_add_fetch(&failures, 1, __ATOMIC_RELAXED);
                }
            }, "writer thread " + std::to_string(t));
        for (bounded_thread_t &th : pool)
            th.join();
        vek_rir_if_world_deinit(&fi);
        return failures == 0 ? 0 : 1;
    };
    std::vector<pid_t> children;
    for (int p = 0; p < processes; p++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(writer());
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = child_reap(pid, child_limit_default, "writer process " + std::to_string(pid));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    test_log_t log = live_read();
    const uint64_t total = processes * threads * per_thread;
    ASSERT_EQ(log.info().next_seqno, total);
    std::map<std::string, int> next_of_writer;
    uint64_t first = total - VEK_RIR_RECORD_COUNT;
    for (uint64_t seqno = first; seqno < total; seqno++) {
        const vek_rir_record_real_t &r = log.slot(seqno % VEK_RIR_RECORD_COUNT);
        ASSERT_EQ(r.seqno, seqno);
        ASSERT_EQ(r.flags, VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE);
        int n = atoi(r.text);
        auto it = next_of_writer.find(r.identity);
        if (it != next_of_writer.end())
            ASSERT_EQ(n, it->second) << r.identity << " out of its own order";
        next_of_writer[r.identity] = n + 1;
    }
    // The ring holds the newest records only, so a writer that finished early may be gone from
    // it; one that is there must be there up to its last record, which is newer than any other.
    EXPECT_LE(next_of_writer.size(), static_cast<size_t>(processes * threads));
    EXPECT_GE(next_of_writer.size(), 2u);
    for (const auto &writer : next_of_writer)
        EXPECT_EQ(writer.second, per_thread) << writer.first << " lost its newest records";
}

TEST_F(StoreTest, RecordFieldsFlagsAndWrap)
{
    ASSERT_TRUE(write_file("/vek_var/VEK_I_AM_A", ""));
    ASSERT_EQ(attach_text(1), "");
    const std::string id40(40, 'i'), text200(200, 't');
    ASSERT_EQ(add(0, id40.c_str(), text200.c_str()), VEK_RIR_RC_OK);
    ASSERT_EQ(add(VEK_RIR_FLAG_NODE_B | (UINT64_C(5) << 32), "b", "x"), VEK_RIR_RC_OK);
    vek_rir_record_real_t &first = vek_rir_helper_real(vek_rir_helper_slot(vek_rir_header, 0));
    EXPECT_EQ(first.seqno, 0u);
    EXPECT_EQ(first.flags, 13u);
    EXPECT_EQ(first.rir_class, 7u);
    EXPECT_EQ(first.code, 9u);
    EXPECT_EQ(std::string(first.identity), id40.substr(0, 31));
    EXPECT_EQ(std::string(first.text), text200.substr(0, 175));
    vek_rir_record_real_t &second = vek_rir_helper_real(vek_rir_helper_slot(vek_rir_header, 1));
    EXPECT_EQ(second.flags, (UINT64_C(5) << 32) | 15u);
    // A caller's USED and COMPLETE are dropped: while it is being filled, a slot never looks
    // complete. Its other bits, upper and lower, stay.
    vek_rir_record_t *claimed = nullptr;
    vek_rir_failure_info_t fi;
    ASSERT_EQ(vek_rir_next_record_get(&claimed, VEK_RIR_TRUE, &fi), 0) << fi.text;
    vek_rir_next_record_fill(claimed, VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE |
                                          VEK_RIR_FLAG_NODE_B | (UINT64_C(3) << 40),
                             7, 9, "forger", "complete too early?");
    vek_rir_record_real_t &forged = vek_rir_helper_real(claimed);
    EXPECT_EQ(forged.flags, (UINT64_C(3) << 40) | VEK_RIR_RECORD_FLAG_USED |
                                VEK_RIR_RECORD_FLAG_NODE_A | VEK_RIR_FLAG_NODE_B);
    ASSERT_EQ(vek_rir_next_record_return(claimed, VEK_RIR_TRUE), 0);
    EXPECT_EQ(forged.flags, (UINT64_C(3) << 40) | 15u);

    // Seqno 12272 replaces seqno 0 whole, shorter fields included.
    vek_rir_helper_info(vek_rir_header).next_seqno = VEK_RIR_RECORD_COUNT;
    ASSERT_EQ(add(0, "s", "t"), VEK_RIR_RC_OK);
    EXPECT_EQ(first.seqno, VEK_RIR_RECORD_COUNT);
    EXPECT_EQ(std::string(first.identity, 32), std::string("s") + std::string(31, '\0'));
    EXPECT_EQ(std::string(first.text, 176), std::string("t") + std::string(175, '\0'));
}

TEST_F(StoreTest, KernelCopyCarriesTheWholeLine)
{
    ASSERT_EQ(attach_text(1), "");
    const std::string id40(40, 'i');
    sandbox_take_kmsg();
    ASSERT_EQ(add(VEK_RIR_FLAG_TOKERNEL, id40.c_str(), "hello"), VEK_RIR_RC_OK);
    EXPECT_EQ(sandbox_take_kmsg(), id40 + ":hello\n" + std::string(1, '\0'));
    ASSERT_EQ(add(0, "quiet", "no copy"), VEK_RIR_RC_OK);
    EXPECT_EQ(sandbox_take_kmsg(), "");
    // Without a kernel log the record is still stored.
    ASSERT_EQ(umount2("/dev/kmsg", MNT_DETACH) == 0 || unlink("/dev/kmsg") == 0, true);
    ASSERT_EQ(add(VEK_RIR_FLAG_TOKERNEL, "no", "kmsg"), VEK_RIR_RC_OK);
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 3u);
}

TEST_F(StoreTest, WorkSafeBoundaryAndReadOnlyParent)
{
    // Room for the log plus exactly the required free space.
    ASSERT_EQ(sandbox_mount_tmpfs("/vek_var", 94371840 + 3145728), "");
    ASSERT_EQ(attach_text(1), "");
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    EXPECT_EQ(vek_mem_file_work_safe(&fi), VEK_RIR_TRUE) << fi.text;
    ASSERT_TRUE(write_file("/vek_var/filler", std::string(4096, 'f')));
    EXPECT_EQ(vek_mem_file_work_safe(&fi), VEK_RIR_FALSE);
    EXPECT_STREQ(fi.text, "unable to work RIR - parent out of space");
    EXPECT_EQ(add(0, "full", "disk", &fi), VEK_RIR_RC_FAILURE);
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 0u);
    vek_rir_file_detach();

    unlink("/vek_var/filler");
    ASSERT_EQ(mount(nullptr, "/vek_var", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    vek_rir_failure_info_clear(&fi);
    EXPECT_EQ(vek_mem_file_work_safe(&fi), VEK_RIR_FALSE);
    EXPECT_STREQ(fi.text, "unable to work RIR - parent missing or readonly");
    // The command-line add cannot even enter the attach domain on a read-only parent.
    vek_rir_failure_info_clear(&fi);
    EXPECT_EQ(vek_rir_cli_add(&fi, 0, 0, 0, "ro", "parent", 0), VEK_RIR_RC_FAILURE);
    EXPECT_EQ(std::string(fi.text), std::string("unable to open RIR lock file at ") +
                                        vek_rir_global_attach_domain_lock_path);
    EXPECT_EQ(vek_rir_header, nullptr) << "the failed add stayed attached";
}

TEST_F(StoreTest, UnattachedAddDependsOnTheNodeHavingTheLog)
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_set(&fi, "before");
    EXPECT_EQ(add(0, "nobody", "attached", &fi), VEK_RIR_RC_FAILURE);
    EXPECT_STREQ(fi.text, "before");
    EXPECT_EQ(add(0, "null", "failure info"), VEK_RIR_RC_FAILURE);
    // A node without /vek_var: a root without it.
    ASSERT_EQ(mkdir("/vek_tmp/root", 0755), 0);
    int status = run_child([] {
        if (chroot("/vek_tmp/root") != 0)
            return 2;
        return add(0, "no", "log") == VEK_RIR_RC_OK ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(StoreTest, CommandLineAddCreatesFillsDefaultsAndDetaches)
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    ASSERT_EQ(vek_rir_cli_add(&fi, 0, VEK_RIR_CLASS_EVENT, 42, nullptr, nullptr, 1),
              VEK_RIR_RC_OK) << fi.text;
    ASSERT_EQ(vek_rir_cli_add(&fi, UINT64_C(1) << 40, 0, 0, "me", "hi", 0), VEK_RIR_RC_OK);
    EXPECT_EQ(vek_rir_header, nullptr);
    test_log_t log = live_read();
    EXPECT_EQ(log.info().next_seqno, 2u);
    EXPECT_STREQ(log.slot(0).identity, "unknown");
    EXPECT_STREQ(log.slot(0).text, "empty");
    EXPECT_EQ(log.slot(0).rir_class, VEK_RIR_CLASS_EVENT);
    EXPECT_EQ(log.slot(0).code, 42u);
    EXPECT_EQ(log.slot(1).flags, (UINT64_C(1) << 40) | 12u);
}

TEST_F(StoreTest, WorldInitNeedsAnExistingSoundLog)
{
    vek_rir_failure_info_t fi;
    EXPECT_EQ(vek_rir_if_world_init(&fi), VEK_RIR_RC_FAILURE);
    EXPECT_EQ(std::string(fi.text), "unable to open RIR at " + live);
    EXPECT_NE(access(live.c_str(), F_OK), 0);
}

TEST_F(StoreTest, WorldInitAndDeinitTakeANullFailureInfo)
{
    EXPECT_EQ(vek_rir_if_world_init(nullptr), VEK_RIR_RC_FAILURE);
    vek_rir_failure_info_t fi;
    ASSERT_EQ(vek_rir_cli_add(&fi, 0, 0, 0, "maker", "made", 0), VEK_RIR_RC_OK) << fi.text;
    ASSERT_EQ(vek_rir_if_world_init(nullptr), VEK_RIR_RC_OK);
    EXPECT_EQ(vek_rir_if_record_add(nullptr, 0, 0, 0, "user", "logged"), VEK_RIR_RC_OK);
    EXPECT_EQ(vek_rir_if_world_deinit(nullptr), VEK_RIR_RC_OK);
    EXPECT_EQ(vek_rir_header, nullptr);
    test_log_t after = live_read();
    EXPECT_EQ(after.info().next_seqno, 2u);
}

// Another process can write over the mutex while this one holds it; the unlock then fails,
// says so once in a while, and this process goes on appending.
TEST_F(StoreTest, AFailedUnlockIsLoggedOnceInAWhileAndTheProcessGoesOn)
{
    ASSERT_EQ(attach_text(1), "");
    sandbox_take_syslog();
    int status = run_child([] {
        if (vek_rir_file_unlock() != 1)  // not held by this process
            return 2;
        if (vek_rir_file_unlock() != 1)
            return 3;
        return add(0, "after", "unlock") == VEK_RIR_RC_OK ? 0 : 4;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::string> lines = sandbox_take_syslog_messages();
    ASSERT_EQ(lines.size(), 1u) << "the second failure within the interval is held back";
    EXPECT_EQ(lines[0].rfind("unable to unlock RIR: 1(", 0), 0u) << lines[0];
    EXPECT_EQ(live_read().info().next_seqno, 1u);
}

TEST_F(StoreTest, TheFaultInterceptEndsTheProcessWithAFailureStatus)
{
    int status = run_child([] {
        vek_rir_cli_chokage_intercept_begin();
        raise(SIGBUS);
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    status = run_child([] {
        vek_rir_cli_chokage_intercept_begin();
        vek_rir_cli_chokage_intercept_end();
        raise(SIGBUS);
        return 0;
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) << status;
}
