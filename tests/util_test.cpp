// The small utilities that guard the system's own directories and the system log: opens that
// refuse what is no regular file of ours, companions made afresh, and lines limited per kind.

#include "tests/vek_rir_persist.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

class UtilTest : public sandbox_test {};

constexpr char own_path[] = "/vek_var/own.bin";
constexpr char target_path[] = "/vek_tmp/target";

TEST_F(UtilTest, OwnOpenTakesOnlyARegularFileAndNamesWhatElseIsThere)
{
    struct case_t {
        const char *name;
        std::function<void()> make;
        const char *reason; // nullptr: opened, or an ordinary error with errno
        int error;
    } cases[] = {
        {"regular file", [] { ASSERT_TRUE(write_file(own_path, "mine")); }, nullptr, 0},
        {"link to a file", [] { ASSERT_EQ(symlink(target_path, own_path), 0); },
         vek_rir_util_reason_link, 0},
        {"dangling link", [] { ASSERT_EQ(symlink("/vek_tmp/none", own_path), 0); },
         vek_rir_util_reason_link, 0},
        {"fifo", [] { ASSERT_EQ(mkfifo(own_path, 0666), 0); }, vek_rir_util_reason_not_regular,
         0},
        {"directory", [] { ASSERT_EQ(mkdir(own_path, 0755), 0); }, nullptr, EISDIR},
        {"missing", [] {}, nullptr, ENOENT},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(system("rm -rf /vek_var/own.bin"), 0);
        ASSERT_TRUE(write_file(target_path, "target"));
        c.make();
        const char *reason = "unset";
        errno = 0;
        int fd = vek_rir_util_file_open_own(own_path, O_RDWR, 0, &reason);
        int error = errno;
        if (fd >= 0)
            close(fd);
        bool expect_open = c.reason == nullptr && c.error == 0;
        EXPECT_EQ(fd >= 0, expect_open);
        if (c.reason != nullptr)
            EXPECT_STREQ(reason, c.reason);
        else
            EXPECT_EQ(reason, nullptr);
        if (c.error != 0)
            EXPECT_EQ(error, c.error);
        EXPECT_EQ(read_file(target_path), "target");
    }
}

TEST_F(UtilTest, CompanionIsMadeAfreshAndNeverThroughWhatWasPlanted)
{
    ASSERT_TRUE(write_file(target_path, "target", 0600));
    ASSERT_EQ(symlink(target_path, own_path), 0);
    int fd = vek_rir_util_file_create_companion(own_path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "new", 3), 3);
    close(fd);
    struct stat st;
    ASSERT_EQ(lstat(own_path, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(own_path), "new");
    EXPECT_EQ(read_file(target_path), "target");

    // A directory cannot be removed: the create fails and nothing is written.
    ASSERT_EQ(unlink(own_path), 0);
    ASSERT_EQ(mkdir(own_path, 0755), 0);
    ASSERT_TRUE(write_file(std::string(own_path) + "/x", "x"));
    EXPECT_EQ(vek_rir_util_file_create_companion(own_path), -1);
    EXPECT_EQ(errno, EEXIST);
}

uint64_t fake_now = 0;
uint64_t fake_clock()
{
    return fake_now;
}

constexpr char format_a[] = "kind a %s\n";
constexpr char format_b[] = "kind b %s\n";
constexpr char subject_1[] = "/vek_var/one";
constexpr char subject_2[] = "/vek_var/two";

TEST_F(UtilTest, LimitedLinesComeOncePerKindAndIntervalAndCountTheRest)
{
    vek_rir_util_log_clock_msecs = fake_clock;
    struct step_t {
        uint64_t now; // milliseconds
        const char *subject;
        const char *format;
        const char *line; // nullptr: held back
    } steps[] = {
        {100900, subject_1, format_a, "kind a x\n"},
        {101000, subject_1, format_a, nullptr},
        {101000, subject_2, format_a, "kind a x\n"}, // another subject is another kind
        {102000, subject_1, format_b, "kind b x\n"}, // so is another format
        {105000, nullptr, format_a, "kind a x\n"},
        {109000, subject_1, format_a, nullptr},
        // In whole seconds this is 110 - 100 = 10, but only 9.1 s have passed.
        {110000, subject_1, format_a, nullptr},
        {110899, subject_1, format_a, nullptr},
        {110900, subject_1, format_a, "kind a x (4 more like it left out)\n"},
        {125000, subject_1, format_a, "kind a x\n"},
    };
    for (const step_t &s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.now));
        fake_now = s.now;
        vek_rir_util_log_limited(s.subject, s.format, "x");
        std::vector<std::string> expected;
        if (s.line != nullptr)
            expected.push_back(s.line);
        EXPECT_EQ(sandbox_take_syslog_messages(), expected);
    }
}

} // namespace
