// The node sandbox itself: what the other suites rely on when they use the fixed paths. The
// log socket and kernel log are read back, the file systems are fresh, sized and private, the
// network namespace is the sandbox's own, and the way back leaves the host as it was.

#include "tests/vek_rir_sandbox.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace vek_rir_test;

namespace {

class SandboxTest : public sandbox_test {};

constexpr uint64_t small_var = 3ull << 20;
constexpr uint64_t small_node = 2ull << 20;

class SandboxSizedTest : public sandbox_test {
protected:
    sandbox_options_t sandbox_options() const override
    {
        sandbox_options_t opts;
        opts.var_bytes = small_var;
        opts.mount_node = true;
        opts.node_bytes = small_node;
        return opts;
    }
};

std::vector<std::string> entries(const char *path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path);
    if (dir == nullptr)
        return {"<cannot open " + std::string(path) + ">"};
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

std::string ns_of(const char *kind)
{
    char buf[64];
    std::string path = std::string("/proc/thread-self/ns/") + kind;
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf) - 1);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

// The mount points the host shows for the product's directories and /dev, one per line.
std::string host_mounts_of_interest()
{
    std::string all = read_file("/proc/thread-self/mountinfo");
    std::string kept;
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(at, end - at);
        if (line.find(" /vek_") != std::string::npos || line.find(" /dev") != std::string::npos)
            kept += line + "\n";
        at = end + 1;
    }
    return kept;
}

int kmsg_write(const std::string &line)
{
    // As the product does: a fresh O_WRONLY open, no O_APPEND, one write per line.
    int fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = write(fd, line.data(), line.size());
    close(fd);
    return n == static_cast<ssize_t>(line.size()) ? 0 : -1;
}

int bind_abstract(const char *name)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    size_t length = strlen(name);
    memcpy(address.sun_path + 1, name, length);
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST_F(SandboxTest, SyslogLinesAreCapturedWithIdentPriorityAndMessage)
{
    openlog("sandbox-ident", LOG_PID, LOG_LOCAL3);
    syslog(LOG_WARNING, "first %d", 42);
    openlog("plain", 0, LOG_USER);
    syslog(LOG_CRIT, "second: with a colon");
    closelog();

    std::vector<syslog_line_t> lines = sandbox_take_syslog();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, LOG_LOCAL3 | LOG_WARNING);
    EXPECT_EQ(lines[0].ident, "sandbox-ident");
    EXPECT_EQ(lines[0].message, "first 42");
    const std::string pid = "sandbox-ident[" + std::to_string(getpid()) + "]: first 42";
    EXPECT_NE(lines[0].raw.find(pid), std::string::npos) << lines[0].raw;
    EXPECT_EQ(lines[1].priority, LOG_USER | LOG_CRIT);
    EXPECT_EQ(lines[1].ident, "plain");
    EXPECT_EQ(lines[1].message, "second: with a colon");
    EXPECT_EQ(lines[1].raw.rfind("<10>", 0), 0u) << lines[1].raw;

    EXPECT_TRUE(sandbox_take_syslog().empty());
}

TEST_F(SandboxTest, SyslogBurstsAndChildLinesAreAllKeptInOrder)
{
    // Far more lines than the socket's queue holds: none may be lost or reordered.
    openlog("burst", 0, LOG_USER);
    for (int i = 0; i < 300; ++i)
        syslog(LOG_INFO, "line %d", i);
    int status = run_child([] {
        syslog(LOG_ERR, "from the child");
        return 0;
    });
    closelog();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::vector<std::string> messages = sandbox_take_syslog_messages();
    ASSERT_EQ(messages.size(), 301u);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(messages[i], "line " + std::to_string(i));
    EXPECT_EQ(messages[300], "from the child");
}

TEST_F(SandboxTest, DatagramsWithoutTheUsualHeaderKeepTheirText)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    const std::string bare = "no header at all";
    const std::string only_priority = "<13>just: text";
    ASSERT_EQ(send(fd, bare.data(), bare.size(), 0), static_cast<ssize_t>(bare.size()));
    ASSERT_EQ(send(fd, only_priority.data(), only_priority.size(), 0),
              static_cast<ssize_t>(only_priority.size()));
    close(fd);

    std::vector<syslog_line_t> lines = sandbox_take_syslog();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, -1);
    EXPECT_EQ(lines[0].ident, "");
    EXPECT_EQ(lines[0].message, bare);
    EXPECT_EQ(lines[0].raw, bare);
    EXPECT_EQ(lines[1].priority, 13);
    EXPECT_EQ(lines[1].ident, "");
    EXPECT_EQ(lines[1].message, "just: text");
}

TEST_F(SandboxTest, KernelLogWritesAreTakenOnceInOrder)
{
    EXPECT_EQ(sandbox_take_kmsg(), "");
    const std::string first = std::string("first:line\n") + '\0';
    const std::string second = "second\n";
    ASSERT_EQ(kmsg_write(first), 0);
    ASSERT_EQ(kmsg_write(second), 0);
    EXPECT_EQ(sandbox_take_kmsg(), first + second);
    EXPECT_EQ(sandbox_take_kmsg(), "");
    int status = run_child([] { return kmsg_write("child\n") == 0 ? 0 : 1; });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(sandbox_take_kmsg(), "child\n");
    // A test may remove it to see the product cope without a kernel log.
    ASSERT_EQ(unlink("/dev/kmsg"), 0);
    EXPECT_NE(kmsg_write("gone\n"), 0);
    EXPECT_EQ(sandbox_take_kmsg(), "");
}

TEST_F(SandboxTest, DevHoldsTheDevicesAndNothingOfTheHost)
{
    std::vector<std::string> names = entries("/dev");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"fd", "full", "kmsg", "log", "null", "random",
                                               "shm", "stderr", "stdin", "stdout", "urandom",
                                               "zero"}));
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, makedev(1, 3));
    EXPECT_TRUE(write_file("/dev/null", "discarded"));
    EXPECT_EQ(read_file("/dev/null"), "");
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char random[16] = {};
    EXPECT_EQ(read(fd, random, sizeof(random)), 16);
    close(fd);
}

TEST_F(SandboxSizedTest, FixedDirectoriesAreFreshTmpfsOfTheRequestedSize)
{
    struct case_t {
        const char *path;
        uint64_t bytes;
    } cases[] = {{"/vek_var", small_var}, {"/vek_tmp", sandbox_options_t{}.tmp_bytes},
                 {"/vek_node", small_node}};
    for (const case_t &c : cases) {
        struct statfs fs;
        ASSERT_EQ(statfs(c.path, &fs), 0) << c.path;
        EXPECT_EQ(fs.f_type, TMPFS_MAGIC) << c.path;
        EXPECT_EQ(static_cast<uint64_t>(fs.f_blocks) * fs.f_bsize, c.bytes) << c.path;
        EXPECT_EQ(fs.f_bfree, fs.f_blocks) << c.path;
        EXPECT_TRUE(entries(c.path).empty()) << c.path;
    }
}

TEST_F(SandboxTest, FilesAreGoneInTheNextSandboxAndTheHostIsUntouched)
{
    ASSERT_TRUE(write_file("/vek_var/left-behind", "x", 0600));
    struct stat st;
    ASSERT_EQ(stat("/vek_var/left-behind", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(read_file("/vek_var/left-behind"), "x");
    ASSERT_TRUE(write_file("/vek_tmp/left-behind", "y"));
    const std::string inner_mnt = ns_of("mnt");
    const std::string inner_net = ns_of("net");

    ASSERT_EQ(sandbox_leave(), "");
    EXPECT_FALSE(sandbox_active());
    EXPECT_NE(ns_of("mnt"), inner_mnt);
    EXPECT_NE(ns_of("net"), inner_net);
    const std::string ns_of_host = ns_of("mnt");
    const std::string host = host_mounts_of_interest();
    ASSERT_EQ(sandbox_enter(), "");
    ASSERT_TRUE(sandbox_active());
    EXPECT_NE(ns_of("mnt"), ns_of_host) << "the way in gave no new namespace";
    EXPECT_NE(access("/vek_var/left-behind", F_OK), 0);
    EXPECT_NE(access("/vek_tmp/left-behind", F_OK), 0);

    // Entering again while inside leaves first; the host's mount table never changes.
    ASSERT_TRUE(write_file("/vek_var/again", "z"));
    ASSERT_EQ(sandbox_enter(), "");
    EXPECT_NE(access("/vek_var/again", F_OK), 0);
    ASSERT_EQ(sandbox_leave(), "");
    EXPECT_EQ(host_mounts_of_interest(), host);
    ASSERT_EQ(sandbox_enter(), "");  // for TearDown
}

TEST_F(SandboxTest, RunChildGivesTheStatusAndSharesTheSandbox)
{
    int status = run_child([] { return 7; });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 7);
    status = run_child([]() -> int { throw std::runtime_error("thrown"); });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 127);
    status = run_child([]() -> int { abort(); });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    status = run_child([] { return write_file("/vek_tmp/from-child", "child") ? 0 : 1; });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read_file("/vek_tmp/from-child"), "child");
}

TEST_F(SandboxTest, AnExtraTmpfsCoversADirectoryAndIsRefusedOutside)
{
    ASSERT_TRUE(write_file("/vek_var/below", "hidden"));
    ASSERT_EQ(sandbox_mount_tmpfs("/vek_var", 1 << 20), "");
    struct statfs fs;
    ASSERT_EQ(statfs("/vek_var", &fs), 0);
    EXPECT_EQ(fs.f_type, TMPFS_MAGIC);
    EXPECT_EQ(static_cast<uint64_t>(fs.f_blocks) * fs.f_bsize, 1u << 20);
    EXPECT_NE(access("/vek_var/below", F_OK), 0);
    ASSERT_EQ(mkdir("/vek_tmp/sub", 0755), 0);
    ASSERT_EQ(sandbox_mount_tmpfs("/vek_tmp/sub", 2 << 20), "");
    ASSERT_EQ(statfs("/vek_tmp/sub", &fs), 0);
    EXPECT_EQ(static_cast<uint64_t>(fs.f_blocks) * fs.f_bsize, 2u << 20);
    EXPECT_NE(sandbox_mount_tmpfs("/vek_tmp/missing", 1 << 20), "");
    EXPECT_NE(sandbox_mount_tmpfs("/vek_tmp/sub", 0), "");

    ASSERT_EQ(sandbox_leave(), "");
    EXPECT_NE(sandbox_mount_tmpfs("/vek_var", 1 << 20), "");
    ASSERT_EQ(sandbox_enter(), "");
}

TEST_F(SandboxTest, NetworkNamesArePerSandboxAndLoopbackIsUp)
{
    int first = bind_abstract("RIR");
    ASSERT_GE(first, 0) << strerror(errno);
    EXPECT_LT(bind_abstract("RIR"), 0);  // the name is really taken here
    ASSERT_EQ(sandbox_leave(), "");
    ASSERT_EQ(sandbox_enter(), "");
    int second = bind_abstract("RIR");  // the first socket is still open
    EXPECT_GE(second, 0) << strerror(errno);
    close(first);
    if (second >= 0)
        close(second);

    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(server, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0)
        << strerror(errno);
    ASSERT_EQ(listen(server, 1), 0);
    socklen_t size = sizeof(address);
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr *>(&address), &size), 0);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0)
        << strerror(errno);
    close(client);
    close(server);
}

TEST_F(SandboxTest, LeavingIsRefusedWhileAThreadStartedInsideRuns)
{
    std::atomic<bool> stop{false};
    bounded_thread_t worker([&stop] {
        while (!stop)
            usleep(1000);
    }, "the worker thread");
    std::string refused = sandbox_leave();
    EXPECT_NE(refused, "");
    EXPECT_TRUE(sandbox_active());
    // Still whole after the refusal: the collector and the file systems work.
    syslog(LOG_INFO, "after the refusal");
    EXPECT_EQ(sandbox_take_syslog_messages(), std::vector<std::string>{"after the refusal"});
    EXPECT_TRUE(write_file("/vek_var/still", "here"));
    stop = true;
    worker.join();
    EXPECT_EQ(sandbox_leave(), "");
    EXPECT_FALSE(sandbox_active());
    ASSERT_EQ(sandbox_enter(), "");
}

TEST(SandboxOutside, LeavingWhenNotInsideIsHarmless)
{
    ASSERT_FALSE(sandbox_active());
    const std::string mnt = ns_of("mnt");
    EXPECT_EQ(sandbox_leave(), "");
    EXPECT_EQ(ns_of("mnt"), mnt);
    EXPECT_TRUE(sandbox_take_syslog().empty());
}

TEST(SandboxOutside, RepeatedRoundTripsLeakNoDescriptorsOrMounts)
{
    ASSERT_FALSE(sandbox_active());
    const std::string mnt = ns_of("mnt");
    const std::string net = ns_of("net");
    const std::string host = host_mounts_of_interest();
    const size_t fds = entries("/proc/self/fd").size();
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(sandbox_enter(), "") << round;
        syslog(LOG_INFO, "round %d", round);
        ASSERT_EQ(sandbox_take_syslog_messages(),
                  std::vector<std::string>{"round " + std::to_string(round)});
        ASSERT_EQ(sandbox_leave(), "") << round;
    }
    EXPECT_EQ(ns_of("mnt"), mnt);
    EXPECT_EQ(ns_of("net"), net);
    EXPECT_EQ(host_mounts_of_interest(), host);
    EXPECT_EQ(entries("/proc/self/fd").size(), fds);
}
