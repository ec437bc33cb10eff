// The free-space check interval: an append that relies on the last good check for at most the
// interval, a full disk noticed within it, the default that checks before every append, a
// failed check that is never kept, a forked child that checks afresh, and the two ways of
// setting it (the call and the environment variable read at attach). Every case runs in its
// own node sandbox on a /vek_var just big enough for the log and the free space it needs, so
// that one 4096-byte file puts it below the limit.

#include "tests/vek_rir_persist.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

const char env_name[] = "VEK_RIR_CHECK_INTERVAL_MSECS";
const char filler[] = "/vek_var/filler";
const char text_space[] = "unable to work RIR - parent out of space";

uint64_t wall_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

vek_rir_rc_t add(vek_rir_failure_info_t *fi)
{
    vek_rir_failure_info_clear(fi);
    return vek_rir_if_record_add(fi, 0, 1, 2, "interval", "check");
}

uint64_t next_seqno()
{
    return vek_rir_helper_info(vek_rir_header).next_seqno;
}

bool disk_fill()
{
    return write_file(filler, std::string(4096, 'f'));
}

// What an attach wrote to standard error, read back from a memory file put in its place.
struct stderr_capture_t {
    int saved = -1, file = -1;
    stderr_capture_t()
    {
        fflush(stderr);
        file = memfd_create("stderr", 0);
        saved = dup(2);
        dup2(file, 2);
    }
    std::string take()
    {
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        std::string text;
        char buffer[512];
        ssize_t got;
        lseek(file, 0, SEEK_SET);
        while ((got = read(file, buffer, sizeof(buffer))) > 0)
            text.append(buffer, static_cast<size_t>(got));
        close(file);
        return text;
    }
};

class CheckIntervalTest : public sandbox_test {
protected:
    void SetUp() override
    {
        sandbox_test::SetUp();
        // Room for the log plus exactly the required free space.
        ASSERT_EQ(sandbox_mount_tmpfs("/vek_var", 94371840 + 3145728), "");
    }
    void TearDown() override
    {
        if (vek_rir_header != nullptr)
            vek_rir_file_detach();
        // The interval belongs to the process, which runs the other suites too.
        unsetenv(env_name);
        EXPECT_EQ(vek_rir_if_check_interval_set(0), VEK_RIR_RC_OK);
        sandbox_test::TearDown();
    }
    std::string attach()
    {
        vek_rir_failure_info_t fi;
        vek_rir_failure_info_clear(&fi);
        return vek_rir_file_attach(VEK_RIR_TRUE, &fi) == 0 ? "" : fi.text;
    }
};

} // namespace

TEST_F(CheckIntervalTest, TheDefaultChecksBeforeEveryAppend)
{
    ASSERT_EQ(attach(), "");
    EXPECT_EQ(vek_rir_file_check_interval_get(), 0u);
    vek_rir_failure_info_t fi;
    ASSERT_EQ(add(&fi), VEK_RIR_RC_OK) << fi.text;
    ASSERT_TRUE(disk_fill());
    EXPECT_EQ(add(&fi), VEK_RIR_RC_FAILURE);
    EXPECT_STREQ(fi.text, text_space);
    EXPECT_EQ(next_seqno(), 1u);
    unlink(filler);
    EXPECT_EQ(add(&fi), VEK_RIR_RC_OK) << fi.text;
}

// Set by the call or by the environment, the interval lets appends rely on the last good check
// until it is 100 ms old, then the first append after that notices the full disk; once the
// disk has room again, the very next append succeeds, since the failure was not kept.
TEST_F(CheckIntervalTest, AFullDiskIsNoticedWithinTheIntervalPlusOneAppend)
{
    constexpr uint64_t interval_ns = 100 * 1000000u;
    for (bool by_environment : {false, true}) {
        SCOPED_TRACE(by_environment ? "set by the environment" : "set by the call");
        if (by_environment) {
            ASSERT_EQ(vek_rir_if_check_interval_set(0), VEK_RIR_RC_OK);
            ASSERT_EQ(setenv(env_name, "100", 1), 0);
        } else {
            ASSERT_EQ(vek_rir_if_check_interval_set(100), VEK_RIR_RC_OK);
        }
        ASSERT_EQ(attach(), "");
        EXPECT_EQ(vek_rir_file_check_interval_get(), 100u);
        vek_rir_failure_info_t fi;
        uint64_t seqno_before = next_seqno();
        uint64_t before_good = wall_ns();
        ASSERT_EQ(add(&fi), VEK_RIR_RC_OK) << fi.text;
        ASSERT_TRUE(disk_fill());
        uint64_t filled = wall_ns();

        // The first append after the fill: it relies on the good check if it ended within the
        // interval of the time before that check.
        uint64_t start = wall_ns();
        vek_rir_rc_t first = add(&fi);
        if (wall_ns() - before_good < interval_ns)
            EXPECT_EQ(first, VEK_RIR_RC_OK) << "the good check was not relied on: " << fi.text;
        if (first == VEK_RIR_RC_OK)
            ASSERT_LT(start, filled + interval_ns);

        // Then append every 2 ms, for at most 3 s, until one fails; none that starts an interval
        // after the fill may succeed.
        uint64_t successes = first == VEK_RIR_RC_OK ? 2 : 1;
        vek_rir_rc_t rc = first;
        while (rc == VEK_RIR_RC_OK && wall_ns() - filled < 3000 * 1000000ull) {
            usleep(2000);
            start = wall_ns();
            rc = add(&fi);
            if (rc == VEK_RIR_RC_OK) {
                successes++;
                ASSERT_LT(start, filled + interval_ns)
                    << "an append " << (start - filled) / 1000 << " us after the fill succeeded";
            }
        }
        ASSERT_EQ(rc, VEK_RIR_RC_FAILURE) << "the full disk was never noticed";
        EXPECT_STREQ(fi.text, text_space);
        EXPECT_EQ(next_seqno() - seqno_before, successes);
        // Right after a refusal, well within the interval: refused again, nothing claimed.
        EXPECT_EQ(add(&fi), VEK_RIR_RC_FAILURE) << "a failed check was remembered as a good one";
        EXPECT_STREQ(fi.text, text_space);
        EXPECT_EQ(next_seqno() - seqno_before, successes);

        ASSERT_EQ(unlink(filler), 0);
        EXPECT_EQ(add(&fi), VEK_RIR_RC_OK) << "a failed check was kept: " << fi.text;
        vek_rir_file_detach();
        unsetenv(env_name);
    }
}

// The parent relies on its good check; a child forked within the interval checks for itself.
TEST_F(CheckIntervalTest, AForkedChildChecksAfresh)
{
    ASSERT_EQ(vek_rir_if_check_interval_set(1000), VEK_RIR_RC_OK);
    ASSERT_EQ(attach(), "");
    vek_rir_failure_info_t fi;
    uint64_t before_good = wall_ns();
    ASSERT_EQ(add(&fi), VEK_RIR_RC_OK) << fi.text;
    ASSERT_TRUE(disk_fill());
    int status = run_child([] {
        vek_rir_failure_info_t child_fi;
        if (add(&child_fi) != VEK_RIR_RC_FAILURE)
            return 1;
        return strcmp(child_fi.text, text_space) == 0 ? 0 : 2;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child relied on its parent's check: " << status;
    EXPECT_EQ(next_seqno(), 1u);
    vek_rir_rc_t rc = add(&fi);
    if (wall_ns() - before_good < 1000 * 1000000ull)
        EXPECT_EQ(rc, VEK_RIR_RC_OK) << "the parent lost its good check: " << fi.text;
}

// Threads of one process share the interval and the last good check without a lock (the
// ThreadSanitizer build runs this too); every append lands once, densely numbered.
TEST_F(CheckIntervalTest, ThreadsAppendingWithAnIntervalLoseNothing)
{
    ASSERT_EQ(vek_rir_if_check_interval_set(1), VEK_RIR_RC_OK);
    ASSERT_EQ(attach(), "");
    constexpr int threads = 4, per_thread = 3000;
    int failures = 0;
    std::vector<bounded_thread_t> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&failures, t] {
            for (int n = 0; n < per_thread; n++) {
                if (vek_rir_if_record_add(nullptr, 0, static_cast<uint64_t>(t), 0, "thread",
                                          "x") != VEK_RIR_RC_OK)
                    __atomic_add_fetch(&failures, 1, __ATOMIC_RELAXED);
                if (n % 1000 == 0 && t == 0)
                    EXPECT_EQ(vek_rir_if_check_interval_set(n % 2000 == 0 ? 1 : 0),
                              VEK_RIR_RC_OK);
            }
        }, "appending thread " + std::to_string(t));
    for (bounded_thread_t &th : pool)
        th.join();
    EXPECT_EQ(failures, 0);
    static_assert(threads * per_thread <= VEK_RIR_RECORD_COUNT, "the ring keeps them all");
    ASSERT_EQ(next_seqno(), static_cast<uint64_t>(threads * per_thread));
    for (uint64_t seqno = 0; seqno < next_seqno(); seqno++) {
        const vek_rir_record_real_t &r = vek_rir_helper_real(vek_rir_helper_slot(vek_rir_header, seqno));
        ASSERT_EQ(r.seqno, seqno);
        ASSERT_EQ(r.flags, VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE);
    }
}

TEST_F(CheckIntervalTest, TheCallRefusesValuesOutOfRangeAndKeepsTheInterval)
{
    struct case_t {
        int64_t msecs;
        vek_rir_rc_t rc;
        uint32_t after;
    };
    const case_t cases[] = {
        {0, VEK_RIR_RC_OK, 0},          {1, VEK_RIR_RC_OK, 1},
        {1000, VEK_RIR_RC_OK, 1000},    {1001, VEK_RIR_RC_FAILURE, 1000},
        {-1, VEK_RIR_RC_FAILURE, 1000}, {250, VEK_RIR_RC_OK, 250},
        {INT64_MAX, VEK_RIR_RC_FAILURE, 250}, {INT64_MIN, VEK_RIR_RC_FAILURE, 250},
        {INT64_C(1) << 32, VEK_RIR_RC_FAILURE, 250},
    };
    for (const case_t &c : cases) {
        EXPECT_EQ(vek_rir_if_check_interval_set(c.msecs), c.rc) << c.msecs;
        EXPECT_EQ(vek_rir_file_check_interval_get(), c.after) << c.msecs;
    }
}

// Every attach reads the variable: a number from 0 to 1000 is taken quietly, anything else
// gives the default and one line on standard error, whatever the call had set before; without
// the variable the call's value stays.
TEST_F(CheckIntervalTest, TheEnvironmentIsReadAtAttachAndBadValuesGiveTheDefault)
{
    struct case_t {
        const char *value;  // nullptr: the variable is not set
        uint32_t interval;
        bool complains;
    };
    const case_t cases[] = {
        {"0", 0, false},      {"100", 100, false},   {"1000", 1000, false},
        {"007", 7, false},    {nullptr, 500, false}, {"1001", 0, true},
        {"-1", 0, true},      {"", 0, true},         {"abc", 0, true},
        {"12x", 0, true},     {"+5", 0, true},       {" 7", 0, true},
        {"1e2", 0, true},     {"99999999999999999999", 0, true},
        {"10\nsecond line", 0, true},
    };
    for (const case_t &c : cases) {
        std::string shown = c.value == nullptr ? "(unset)" : c.value;
        SCOPED_TRACE("value \"" + shown + "\"");
        ASSERT_EQ(vek_rir_if_check_interval_set(500), VEK_RIR_RC_OK);
        if (c.value == nullptr)
            unsetenv(env_name);
        else
            ASSERT_EQ(setenv(env_name, c.value, 1), 0);
        stderr_capture_t capture;
        std::string attached = attach();
        std::string err = capture.take();
        ASSERT_EQ(attached, "");
        EXPECT_EQ(vek_rir_file_check_interval_get(), c.interval);
        if (c.complains) {
            EXPECT_NE(err.find("VEK_RIR_CHECK_INTERVAL_MSECS"), std::string::npos) << err;
            EXPECT_NE(err.find("before every append"), std::string::npos) << err;
            ASSERT_FALSE(err.empty());
            EXPECT_EQ(err.find('\n'), err.size() - 1) << "not one line: " << err;
        } else {
            EXPECT_EQ(err, "");
        }
        vek_rir_file_detach();
    }
    // The default it falls back to is the real one: the very next append sees a full disk.
    ASSERT_EQ(vek_rir_if_check_interval_set(1000), VEK_RIR_RC_OK);
    ASSERT_EQ(setenv(env_name, "soon", 1), 0);
    stderr_capture_t capture;
    ASSERT_EQ(attach(), "");
    capture.take();
    vek_rir_failure_info_t fi;
    ASSERT_EQ(add(&fi), VEK_RIR_RC_OK) << fi.text;
    ASSERT_TRUE(disk_fill());
    EXPECT_EQ(add(&fi), VEK_RIR_RC_FAILURE);
    EXPECT_STREQ(fi.text, text_space);
}
