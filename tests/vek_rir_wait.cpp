// Waits with a deadline: children polled with WNOHANG until their time is up, threads that
// signal their own end, programs run in their own process group with outputs in memory files.
// Owns nothing past a call but what a bounded_thread_t holds.

#include "tests/vek_rir_wait.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vek_rir_test {

namespace {

using steady = std::chrono::steady_clock;

std::string test_name()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr)
        return "(outside a test)";
    return std::string(info->test_suite_name()) + "." + info->name();
}

std::string timed_out_text(msecs_t limit, const std::string &what)
{
    return "timed out after " + std::to_string(limit.count()) + " ms waiting for " + what;
}

std::string memfd_take(int fd)
{
    std::string bytes;
    off_t size = lseek(fd, 0, SEEK_END);
    if (size > 0) {
        bytes.resize(static_cast<size_t>(size));
        if (pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
            bytes = "<unreadable>";
    }
    close(fd);
    return bytes;
}

}  // namespace

int child_wait(pid_t pid, int *status, msecs_t limit, int options)
{
    steady::time_point deadline = steady::now() + limit;
    // Short naps first, so a child that ends at once costs no more than a millisecond.
    std::chrono::microseconds nap{100};
    for (;;) {
        int st = 0;
        pid_t got = waitpid(pid, &st, options | WNOHANG);
        if (got == pid) {
            *status = st;
            return 1;
        }
        if (got < 0 && errno != EINTR)
            return -1;
        if (steady::now() >= deadline)
            return 0;
        std::this_thread::sleep_for(nap);
        nap = std::min(nap * 2, std::chrono::microseconds(10000));
    }
}

std::string child_kill(pid_t pid)
{
    if (pid <= 0)
        return "";
    if (getpgid(pid) == pid)
        kill(-pid, SIGKILL);
    else
        kill(pid, SIGKILL);
    int status = 0;
    int rc = child_wait(pid, &status, signal_limit);
    if (rc == 0)
        return "process " + std::to_string(pid) + " " + timed_out_text(signal_limit, "it to die of SIGKILL");
    return "";
}

int child_reap(pid_t pid, msecs_t limit, const std::string &what)
{
    int status = 0;
    int rc = child_wait(pid, &status, limit);
    if (rc == 1)
        return status;
    if (rc < 0) {
        ADD_FAILURE() << "waitpid for " << what << ": " << strerror(errno);
        return -1;
    }
    std::string kill_text = child_kill(pid);
    ADD_FAILURE() << timed_out_text(limit, what) << " (killed it)"
                  << (kill_text.empty() ? "" : "; " + kill_text);
    return -1;
}

bounded_thread_t::bounded_thread_t(std::function<void()> body, std::string what)
    : done_(std::make_shared<done_t>()), what_(std::move(what))
{
    std::shared_ptr<done_t> done = done_;
    thread_ = std::thread([done, body = std::move(body)] {
        body();
        std::lock_guard<std::mutex> guard(done->mutex);
        done->done = true;
        done->changed.notify_all();
    });
}

bounded_thread_t::~bounded_thread_t()
{
    if (thread_.joinable())
        join();
}

void bounded_thread_t::join(msecs_t limit)
{
    if (!thread_.joinable())
        return;
    {
        std::unique_lock<std::mutex> lock(done_->mutex);
        if (!done_->changed.wait_for(lock, limit, [this] { return done_->done; })) {
            // The thread may still touch the test's stack: the only safe end is the process's.
            fprintf(stderr, "%s: %s; stopping the test process\n", test_name().c_str(),
                    timed_out_text(limit, what_ + " to end").c_str());
            fflush(nullptr);
            abort();
        }
    }
    // The body has returned; what is left of the thread is its exit.
    thread_.join();
}

int command_result_t::exit_code() const
{
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

command_result_t command_run(const std::vector<std::string> &argv, msecs_t limit,
                             const std::string &what, bool err_into_out)
{
    command_result_t result;
    if (argv.empty()) {
        ADD_FAILURE() << "no program given for " << what;
        return result;
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int out = memfd_create("run-out", MFD_CLOEXEC);
    int err = err_into_out ? -1 : memfd_create("run-err", MFD_CLOEXEC);
    if (out < 0 || (!err_into_out && err < 0)) {
        ADD_FAILURE() << "memfd_create for " << what << ": " << strerror(errno);
        if (out >= 0)
            close(out);
        return result;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Its own group, so that a time-out ends whatever it started as well.
        setpgid(0, 0);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0)
            dup2(null_fd, 0);
        dup2(out, 1);
        dup2(err_into_out ? out : err, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork for " << what << ": " << strerror(errno);
    } else {
        // Also here: the kill on time-out must find the group even if the child had no time.
        setpgid(pid, pid);
        result.status = child_reap(pid, limit, what);
        result.timed_out = result.status == -1;
    }
    result.out = memfd_take(out);
    if (err >= 0)
        result.err = memfd_take(err);
    return result;
}

command_result_t shell_run(const std::string &command, msecs_t limit, const std::string &what,
                           bool err_into_out)
{
    return command_run({"/bin/sh", "-c", command}, limit, what, err_into_out);
}

}  // namespace vek_rir_test
