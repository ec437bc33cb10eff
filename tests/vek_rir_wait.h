// Waits with a deadline, for every suite: a child reaped within a time limit, a thread joined
// within one, a program run with one. A wait that runs out fails the test with a message naming
// what it waited for, and leaves nothing behind: the child is killed (with its process group
// when it leads one) and reaped. A thread cannot be killed, and it may still use what it
// captured, so one that does not end in time stops the test process with that message instead
// of letting it hang until CTest's time-out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vek_rir_test {

using msecs_t = std::chrono::milliseconds;

// Limits for the common cases, below CTest's time-out for a test (tests/test_timeouts.cmake),
// so that a hung wait is reported by its name rather than by CTest's kill; a test that knows
// its wait is longer passes its own.
constexpr msecs_t child_limit_default{20000};
constexpr msecs_t thread_limit_default{20000};
// A child sent SIGKILL or SIGSTOP changes state at once unless the kernel holds it.
constexpr msecs_t signal_limit{10000};

// Waits at most `limit` for the state change of `pid` that waitpid(2) with `options` (0,
// WUNTRACED) would report. 1 with *status when it came, 0 at the deadline (the child is left
// as it is), -1 when waitpid fails (no such child).
int child_wait(pid_t pid, int *status, msecs_t limit, int options = 0);

// The child's status as waitpid gives it when it ends within `limit`. Otherwise it is killed
// and reaped, the test fails with "timed out after N ms waiting for <what>", and -1 is
// returned; -1 also when waitpid fails.
int child_reap(pid_t pid, msecs_t limit, const std::string &what);

// Kills the child (its group too when it leads one) and reaps it; "" or what went wrong.
std::string child_kill(pid_t pid);

// A thread whose join has a deadline. The body runs as with std::thread; join() waits at most
// the limit for it to return. Joined by the destructor with the default limit if the test did
// not (an early ASSERT return), so the sandbox is never left with it running.
class bounded_thread_t {
public:
    bounded_thread_t() = default;
    explicit bounded_thread_t(std::function<void()> body, std::string what = "a test thread");
    bounded_thread_t(bounded_thread_t &&) noexcept = default;
    bounded_thread_t &operator=(bounded_thread_t &&) = delete;
    ~bounded_thread_t();

    // Returns once the body has returned. If it does not within `limit`, the process prints
    // what it waited for and aborts (nothing else is safe while the thread may still run).
    void join(msecs_t limit = thread_limit_default);
    bool joinable() const { return thread_.joinable(); }

private:
    struct done_t {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    std::shared_ptr<done_t> done_;
    std::string what_;
    std::thread thread_;
};

struct command_result_t {
    int status = -1;         // as waitpid gives it; -1 when it could not run or timed out
    bool timed_out = false;
    std::string out, err;    // standard output and error (err is "" when merged into out)
    int exit_code() const;   // the exit status, -1 unless it exited normally
};

// Runs argv[0] (a path, no search) with these arguments as a child in its own process group,
// its outputs in memory files (a child never blocks on a full pipe), and waits at most `limit`.
// On time-out the whole group is killed and the test fails naming `what`. The child inherits
// the calling thread's namespaces, so it runs inside the caller's sandbox.
command_result_t command_run(const std::vector<std::string> &argv, msecs_t limit,
                             const std::string &what, bool err_into_out = false);
// The same through /bin/sh -c, for a command line with quoting and redirections.
command_result_t shell_run(const std::string &command, msecs_t limit, const std::string &what,
                           bool err_into_out = false);

}  // namespace vek_rir_test
