// The suite's bounded waits: a child that outlives its limit is killed, reaped and named in
// the failure; a program run with a limit takes what it started down with it; a thread that
// does not end stops the test process with the name of the wait instead of hanging it.

#include "tests/vek_rir_wait.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

using namespace vek_rir_test;

namespace {

// 'Z' for a zombie, 0 when the process is gone, else its state letter.
char process_state(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *file = fopen(path.c_str(), "r");
    if (file == nullptr)
        return 0;
    char line[512] = {};
    size_t n = fread(line, 1, sizeof(line) - 1, file);
    fclose(file);
    std::string stat(line, n);
    size_t close_paren = stat.rfind(')');
    return close_paren != std::string::npos && close_paren + 2 < stat.size() ? stat[close_paren + 2]
                                                                             : 0;
}

// Whether the process is dead (gone or a zombie) within a few seconds.
bool dies_soon(pid_t pid)
{
    for (int k = 0; k < 500; k++) {
        char state = process_state(pid);
        if (state == 0 || state == 'Z')
            return true;
        usleep(10000);
    }
    return false;
}

} // namespace

TEST(WaitTest, ChildReapGivesTheStatusOfAChildThatEndsInTime)
{
    struct case_t {
        const char *name;
        int how;  // > 0: exit code; < 0: the negated signal
    } cases[] = {{"exit 0", 0}, {"exit 3", 3}, {"abort", -SIGABRT}};
    for (const case_t &c : cases) {
        fflush(nullptr);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (c.how < 0)
                raise(-c.how);
            _exit(c.how);
        }
        int status = child_reap(pid, msecs_t(10000), c.name);
        if (c.how >= 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.how) << c.name << " " << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == -c.how) << c.name << " " << status;
        }
    }
}

TEST(WaitTest, ChildPastItsLimitIsKilledReapedAndNamed)
{
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (;;)
            pause();
    }
    int status = 0;
    EXPECT_NONFATAL_FAILURE(status = child_reap(pid, msecs_t(200), "the pausing child"),
                            "timed out after 200 ms waiting for the pausing child");
    EXPECT_EQ(status, -1);
    // Reaped: no zombie is left for this process to collect.
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(WaitTest, ChildWaitSeesAStopAndGivesUpWithoutTouchingTheChild)
{
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (;;)
            pause();
    }
    int status = 0;
    EXPECT_EQ(child_wait(pid, &status, msecs_t(100)), 0);
    EXPECT_NE(process_state(pid), 0);
    kill(pid, SIGSTOP);
    ASSERT_EQ(child_wait(pid, &status, msecs_t(10000), WUNTRACED), 1);
    EXPECT_TRUE(WIFSTOPPED(status));
    EXPECT_EQ(child_kill(pid), "");
    EXPECT_EQ(child_wait(pid, &status, msecs_t(100)), -1);
}

TEST(WaitTest, ProgramsRunWithTheirOutputsApartOrMerged)
{
    struct case_t {
        bool merged;
        const char *out;
        const char *err;
    } cases[] = {{false, "to out\n", "to err\n"}, {true, "to out\nto err\n", ""}};
    for (const case_t &c : cases) {
        command_result_t run =
            shell_run("echo to out; echo to err >&2; exit 4", msecs_t(10000), "echo", c.merged);
        EXPECT_EQ(run.exit_code(), 4);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.out, c.out) << c.merged;
        EXPECT_EQ(run.err, c.err) << c.merged;
    }
    command_result_t missing = command_run({"/nonexistent/program"}, msecs_t(10000), "nothing");
    EXPECT_EQ(missing.exit_code(), 127);
}

TEST(WaitTest, ProgramPastItsLimitIsKilledWithWhatItStarted)
{
    command_result_t run;
    // The shell starts a long sleep of its own and waits for it: both must go.
    EXPECT_NONFATAL_FAILURE(
        run = shell_run("sleep 60 & echo $!; wait", msecs_t(300), "the sleeping shell"),
        "timed out after 300 ms waiting for the sleeping shell");
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(run.exit_code(), -1);
    pid_t grandchild = static_cast<pid_t>(atoi(run.out.c_str()));
    ASSERT_GT(grandchild, 0) << run.out;
    EXPECT_TRUE(dies_soon(grandchild)) << "the shell's own child still runs";
}

TEST(WaitTest, ThreadsThatEndAreJoinedAndOneThatDoesNotStopsTheProcessNamingIt)
{
    std::atomic<int> ran{0};
    {
        bounded_thread_t quick([&ran] { ran++; }, "the quick thread");
        quick.join(msecs_t(10000));
        EXPECT_FALSE(quick.joinable());
        bounded_thread_t joined_at_scope_end([&ran] { ran++; });
    }
    EXPECT_EQ(ran.load(), 2);

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::atomic<bool> never{false};
            bounded_thread_t stuck([&never] {
                while (!never.load())
                    usleep(1000);
            }, "the stuck thread");
            stuck.join(msecs_t(100));
        },
        "WaitTest.ThreadsThatEndAreJoinedAndOneThatDoesNotStopsTheProcessNamingIt: timed out "
        "after 100 ms waiting for the stuck thread to end");
}
