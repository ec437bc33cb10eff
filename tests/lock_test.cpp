// Waits for the shared mutex and the lock file against processes that mean harm: any process
// that may log can write the live log, the mutex in its lock block included, and hold the lock
// file's flock. A forger that runs as an unprivileged user makes every locker of the node (the
// tool, a logging process, the server) fail within the bound with a text naming what it waited
// for, the server goes on answering, and appends resume when the forger lets go. Also: a boot
// time that moved under a live holder re-makes nothing, while a dead owner's mutex is re-made.

#include "tests/vek_rir_persist.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

const std::string live = vek_rir_local_path;
const std::string lock_file = vek_rir_global_attach_domain_lock_path;

using steady = std::chrono::steady_clock;

long long msecs_since(steady::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count();
}

// For a child: gives up root for the unprivileged "nobody" for good, supplementary groups too.
bool drop_to_nobody()
{
    return setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
           setresuid(65534, 65534, 65534) == 0 && geteuid() == 65534;
}

// For a child: waits for the parent's word on fd, at most `seconds`; false when none came.
bool child_await(int fd, int seconds)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, seconds * 1000) != 1)
        return false;
    char byte = 0;
    return read(fd, &byte, 1) == 1;
}

// A child of the test: the two pipes by which it says it is ready and is told to go on.
struct hostile_child_t {
    pid_t pid = -1;
    int ready_fd = -1; // the parent reads
    int go_fd = -1;    // the parent writes

    // Starts body in a child; body gets the two ends it needs and returns its exit status.
    bool start(const std::function<int(int ready, int go)> &body)
    {
        int ready[2], go[2];
        if (pipe(ready) != 0 || pipe(go) != 0)
            return false;
        fflush(nullptr);
        pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            close(ready[0]);
            close(go[1]);
            _exit(body(ready[1], go[0]));
        }
        close(ready[1]);
        close(go[0]);
        ready_fd = ready[0];
        go_fd = go[1];
        return true;
    }
    // The child's "ready", at most 10 s.
    bool ready()
    {
        struct pollfd p = {ready_fd, POLLIN, 0};
        char byte = 0;
        return poll(&p, 1, 10000) == 1 && read(ready_fd, &byte, 1) == 1 && byte == 'r';
    }
    // Tells the child to go on and returns its status within the default limit.
    int finish()
    {
        char byte = 'g';
        if (write(go_fd, &byte, 1) != 1)
            return -1;
        int status = child_reap(pid, child_limit_default, "the hostile child");
        pid = -1;
        return status;
    }
    ~hostile_child_t()
    {
        if (pid > 0)
            child_kill(pid);
        if (ready_fd >= 0)
            close(ready_fd);
        if (go_fd >= 0)
            close(go_fd);
    }
};

// For a child running as nobody: maps the live log and writes its own thread id into the
// mutex's lock word, as if it held the mutex; says so and sleeps until told to go on, then
// puts back a free word. It never takes the mutex: the word is just bytes of a shared file.
int forge_mutex_word(int ready, int go)
{
    if (!drop_to_nobody())
        return 10;
    int fd = open(vek_rir_local_path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 11;
    void *mapping = mmap(nullptr, VEK_RIR_FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED)
        return 12;
    pthread_mutex_t *mutex =
        &vek_rir_helper_lock(static_cast<vek_rir_header_t *>(mapping)).mutex_body;
    __atomic_store_n(&mutex->__data.__lock, static_cast<int>(gettid()), __ATOMIC_RELAXED);
    if (write(ready, "r", 1) != 1)
        return 13;
    if (!child_await(go, 60))
        return 14;
    __atomic_store_n(&mutex->__data.__lock, 0, __ATOMIC_RELAXED);
    return 0;
}

// For a child running as nobody: holds the flock of the lock file until told to go on.
int hold_lock_file(int ready, int go)
{
    if (!drop_to_nobody())
        return 10;
    int fd = open(vek_rir_global_attach_domain_lock_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 11;
    if (flock(fd, LOCK_EX) != 0)
        return 12;
    if (write(ready, "r", 1) != 1)
        return 13;
    return child_await(go, 60) ? 0 : 14;
}

std::string held_text(pid_t tid)
{
    return "unable to lock RIR at " + live + ": held for more than " +
           std::to_string(vek_rir_lock_wait_secs) + " s by thread " + std::to_string(tid);
}

// The live log created by root and opened to every user, as a node whose loggers are many.
void live_create_open_to_all()
{
    {
        live_attach_t attach;
        ASSERT_TRUE(attach.ok) << attach.failure_info.text;
        live_append(1, "before");
    }
    ASSERT_EQ(chmod(live.c_str(), 0666), 0);
    ASSERT_EQ(chmod(lock_file.c_str(), 0666), 0);
}

class LockTest : public sandbox_test {};

} // namespace

TEST_F(LockTest, AForgedOwnerFailsTheToolAndTheInterfaceWithinTheBoundThenAppendsResume)
{
    ASSERT_NO_FATAL_FAILURE(live_create_open_to_all());
    live_attach_t attach;
    ASSERT_TRUE(attach.ok) << attach.failure_info.text;
    hostile_child_t forger;
    ASSERT_TRUE(forger.start(forge_mutex_word));
    ASSERT_TRUE(forger.ready());

    // The interface, the tool's add and the tool's snap wait side by side.
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    vek_rir_rc_t added = VEK_RIR_RC_OK;
    long long added_msecs = 0;
    bounded_thread_t logger(
        [&] {
            steady::time_point start = steady::now();
            added = vek_rir_if_record_add(&fi, 0, VEK_RIR_CLASS_EVENT, 1, "hostage", "waits");
            added_msecs = msecs_since(start);
        },
        "an append against a forged mutex");
    tool_result_t snap;
    bounded_thread_t snapper([&] { snap = run_tool("-o rir_snap -M /vek_tmp/snap.bin"); },
                             "the tool's snap against a forged mutex");
    steady::time_point start = steady::now();
    tool_result_t tool_add = run_tool("-o rir_add -I hostage -t waits");
    long long tool_msecs = msecs_since(start);
    logger.join();
    snapper.join();

    EXPECT_EQ(added, VEK_RIR_RC_FAILURE);
    EXPECT_EQ(std::string(fi.text), held_text(forger.pid));
    EXPECT_GE(added_msecs, vek_rir_lock_wait_secs * 1000 - 50);
    EXPECT_EQ(tool_add.status, 1);
    EXPECT_EQ(tool_add.out, "rir_add failed: " + held_text(forger.pid) + "\n");
    EXPECT_EQ(snap.status, 1);
    EXPECT_EQ(snap.out, "rir_snap failed: " + held_text(forger.pid) + "\n");
    printf("failed after %lld ms (interface), %lld ms (tool's add)\n", added_msecs, tool_msecs);
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 1u) << "nothing was appended";

    pid_t forger_pid = forger.pid;
    int status = forger.finish();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << " of " << forger_pid;
    EXPECT_EQ(vek_rir_if_record_add(&fi, 0, VEK_RIR_CLASS_EVENT, 2, "freed", "again"),
              VEK_RIR_RC_OK)
        << fi.text;
    tool_add = run_tool("-o rir_add -I freed -t tool");
    EXPECT_EQ(tool_add.status, 0) << tool_add.out;
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 3u);
    EXPECT_EQ(sandbox_take_syslog_messages(), std::vector<std::string>{});
}

TEST_F(LockTest, AServerFacingAForgedOwnerSkipsItsDutiesWithOneLineAndGoesOnAnswering)
{
    ASSERT_NO_FATAL_FAILURE(live_create_open_to_all());
    hostile_child_t server;
    ASSERT_TRUE(server.start([](int ready, int go) {
        // The limit's clock stands still in the server, so however long the test takes no
        // interval passes: every line beyond the first of its kind is held back.
        vek_rir_util_log_clock_msecs = [] { return uint64_t{1}; };
        live_attach_t attach;
        if (!attach.ok || vek_rir_server_thread_start() != 0)
            return 2;
        if (write(ready, "r", 1) != 1)
            return 3;
        bool told = child_await(go, 90);
        vek_rir_server_thread_stop();
        return told ? 0 : 4;
    }));
    ASSERT_TRUE(server.ready());
    hostile_child_t forger;
    ASSERT_TRUE(forger.start(forge_mutex_word));
    ASSERT_TRUE(forger.ready());
    sandbox_take_syslog();

    auto exchange = [](const char *request) {
        char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
        memset(response, 0, sizeof(response));
        vek_rir_failure_info_t fi;
        vek_rir_failure_info_clear(&fi);
        // Room for a wait on the mutex, and for a periodic snapshot waiting before it.
        vek_rir_server_exec(&fi, request, response, sizeof(response),
                            3 * vek_rir_lock_wait_secs);
        return std::string(response);
    };
    EXPECT_EQ(exchange("snap"), "ok");
    EXPECT_EQ(exchange("snap"), "ok");
    // A clear that could not be carried out is answered as failed; the snapshot's duty answers
    // "ok" as every duty does and leaves the previous snapshot published.
    EXPECT_EQ(exchange("clear"), "failed");
    EXPECT_EQ(exchange("nothing"), "ok");
    // Only the lines about the lock: the periodic merge's peer fetch has its own, unrelated.
    const std::string cause = held_text(forger.pid);
    std::vector<std::string> lines;
    for (const std::string &line : sandbox_take_syslog_messages())
        if (line.find("unable to lock RIR") != std::string::npos)
            lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"unable to snap RIR: " + cause + "\n",
                                               "unable to clear RIR: " + cause + "\n"}))
        << "one line for each kind, the second snapshot's held back";

    int status = forger.finish();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(exchange("snap"), "ok");
    std::vector<vek_rir_record_real_t> records = file_walk(read_file(vek_rir_local_snap_path));
    ASSERT_EQ(records.size(), 1u) << "the clear that could not lock left the log as it was";
    EXPECT_STREQ(records[0].text, "live 0");
    status = server.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (const std::string &line : sandbox_take_syslog_messages())
        EXPECT_EQ(line.find("unable to lock RIR"), std::string::npos) << line;
}

TEST_F(LockTest, AHeldLockFileFailsEveryAttachWithinTheBoundThenAttachesResume)
{
    ASSERT_NO_FATAL_FAILURE(live_create_open_to_all());
    hostile_child_t holder;
    ASSERT_TRUE(holder.start(hold_lock_file));
    ASSERT_TRUE(holder.ready());

    const std::string text = "unable to lock RIR lock file at " + lock_file +
                             ": held for more than " + std::to_string(vek_rir_lock_wait_secs) +
                             " s";
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    vek_rir_rc_t init = VEK_RIR_RC_OK;
    long long init_msecs = 0;
    bounded_thread_t initer(
        [&] {
            steady::time_point start = steady::now();
            init = vek_rir_if_world_init(&fi);
            init_msecs = msecs_since(start);
        },
        "an attach against a held lock file");
    tool_result_t tool_add = run_tool("-o rir_add -I hostage -t waits");
    initer.join();
    EXPECT_EQ(init, VEK_RIR_RC_FAILURE);
    EXPECT_EQ(std::string(fi.text), text);
    EXPECT_GE(init_msecs, vek_rir_lock_wait_secs * 1000 - 50);
    EXPECT_EQ(vek_rir_header, nullptr);
    EXPECT_EQ(tool_add.status, 1);
    EXPECT_EQ(tool_add.out, "rir_add failed: " + text + "\n");

    int status = holder.finish();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    tool_add = run_tool("-o rir_add -I freed -t tool");
    EXPECT_EQ(tool_add.status, 0) << tool_add.out;
    ASSERT_EQ(vek_rir_if_world_init(&fi), VEK_RIR_RC_OK) << fi.text;
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 2u);
    ASSERT_EQ(vek_rir_if_world_deinit(&fi), VEK_RIR_RC_OK);
}

namespace {

// The lock block of the live log as the file holds it, changed by the test without attaching
// (an attach would run the very check under test).
struct live_lock_view_t {
    void *mapping = MAP_FAILED;
    vek_rir_header_lock_real_t *lock = nullptr;
    live_lock_view_t()
    {
        int fd = open(vek_rir_local_path, O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return;
        mapping = mmap(nullptr, VEK_RIR_HEADER_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (mapping != MAP_FAILED)
            lock = &vek_rir_helper_lock(static_cast<vek_rir_header_t *>(mapping));
    }
    ~live_lock_view_t()
    {
        if (mapping != MAP_FAILED)
            munmap(mapping, VEK_RIR_HEADER_SIZE);
    }
    int owner() const
    {
        return __atomic_load_n(&lock->mutex_body.__data.__lock, __ATOMIC_RELAXED) & 0x3fffffff;
    }
};

} // namespace

// After a wall-clock step the reported boot time moves while the node runs on: a holder that
// is merely slow (here stopped) keeps its mutex and unlocks it normally later.
TEST_F(LockTest, AMovedBootTimeUnderALiveHolderFailsTheAttachAndRemakesNothing)
{
    ASSERT_NO_FATAL_FAILURE(live_create_open_to_all());
    hostile_child_t holder;
    ASSERT_TRUE(holder.start([](int ready, int go) {
        vek_rir_failure_info_t fi;
        if (vek_rir_if_world_init(&fi) != VEK_RIR_RC_OK)
            return 2;
        if (vek_rir_file_lock(&fi) != 0)
            return 3;
        if (write(ready, "r", 1) != 1)
            return 4;
        raise(SIGSTOP);
        if (!child_await(go, 60))
            return 5;
        if (vek_rir_file_unlock() != 0)
            return 6;
        return vek_rir_if_world_deinit(&fi) == VEK_RIR_RC_OK ? 0 : 7;
    }));
    ASSERT_TRUE(holder.ready());
    int status = 0;
    ASSERT_EQ(child_wait(holder.pid, &status, signal_limit, WUNTRACED), 1);
    ASSERT_TRUE(WIFSTOPPED(status)) << status;

    live_lock_view_t view;
    ASSERT_NE(view.lock, nullptr);
    ASSERT_EQ(view.owner(), holder.pid);
    view.lock->mutex_init_boot_time = 1;
    // Beyond the lock word, which a waiter marks, the mutex is as the holder left it.
    auto beyond_word = [&view] {
        return std::string(reinterpret_cast<const char *>(&view.lock->mutex_body) + sizeof(int),
                           sizeof(pthread_mutex_t) - sizeof(int));
    };
    const std::string before = beyond_word();

    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    EXPECT_EQ(vek_rir_file_attach(VEK_RIR_FALSE, &fi), 1);
    EXPECT_EQ(std::string(fi.text), "unable to renew RIR lock at " + live + ": thread " +
                                        std::to_string(holder.pid) +
                                        " of this boot still holds it");
    EXPECT_EQ(vek_rir_header, nullptr);
    EXPECT_EQ(view.owner(), holder.pid) << "the mutex was not re-made";
    EXPECT_TRUE(beyond_word() == before) << "the mutex was not re-made";
    EXPECT_EQ(view.lock->mutex_init_boot_time, 1u) << "the boot time was not renewed";

    ASSERT_EQ(kill(holder.pid, SIGCONT), 0);
    status = holder.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the holder's unlock failed: " << status;
    // Free again: the next attach keeps the mutex and renews the boot time.
    ASSERT_EQ(vek_rir_if_world_init(&fi), VEK_RIR_RC_OK) << fi.text;
    EXPECT_EQ(vek_rir_helper_lock(vek_rir_header).mutex_init_boot_time,
              vek_rir_util_get_boot_time());
    EXPECT_EQ(vek_rir_if_record_add(&fi, 0, 0, 0, "after", "renewal"), VEK_RIR_RC_OK) << fi.text;
    ASSERT_EQ(vek_rir_if_world_deinit(&fi), VEK_RIR_RC_OK);
}

// An owner id that names no live thread mapping this log is one from an earlier boot (or a
// forgery): the mutex is re-made as at every first attach of a boot.
TEST_F(LockTest, AMovedBootTimeRemakesAMutexWhoseOwnerIsNoLiveHolder)
{
    ASSERT_NO_FATAL_FAILURE(live_create_open_to_all());
    // A process that ended: its id names no thread any more.
    pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0)
        _exit(0);
    ASSERT_GE(child_reap(dead, child_limit_default, "a child that ends at once"), 0);
    // A process alive, sleeping, that never mapped the log.
    hostile_child_t sleeper;
    ASSERT_TRUE(sleeper.start([](int ready, int go) {
        if (write(ready, "r", 1) != 1)
            return 2;
        return child_await(go, 60) ? 0 : 3;
    }));
    ASSERT_TRUE(sleeper.ready());

    struct case_t {
        const char *what;
        pid_t owner;
    } cases[] = {
        {"an owner that ended", dead},
        {"an owner alive that does not map the log", sleeper.pid},
        // Ids repeat from boot to boot: the stale owner may be the attaching thread itself,
        // whose own mapping of the log must not make it a holder.
        {"an owner id that is the attaching thread's own", static_cast<pid_t>(gettid())},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.what);
        {
            live_lock_view_t view;
            ASSERT_NE(view.lock, nullptr);
            __atomic_store_n(&view.lock->mutex_body.__data.__lock, static_cast<int>(c.owner),
                             __ATOMIC_RELAXED);
            view.lock->mutex_init_boot_time = 1;
        }
        vek_rir_failure_info_t fi;
        vek_rir_failure_info_clear(&fi);
        ASSERT_EQ(vek_rir_if_world_init(&fi), VEK_RIR_RC_OK) << fi.text;
        EXPECT_EQ(vek_rir_helper_lock(vek_rir_header).mutex_init_boot_time,
                  vek_rir_util_get_boot_time());
        EXPECT_EQ(vek_rir_helper_lock(vek_rir_header).mutex_body.__data.__lock, 0);
        EXPECT_EQ(vek_rir_if_record_add(&fi, 0, 0, 0, "after", "remade"), VEK_RIR_RC_OK)
            << fi.text;
        ASSERT_EQ(vek_rir_if_world_deinit(&fi), VEK_RIR_RC_OK);
    }
    int status = sleeper.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
