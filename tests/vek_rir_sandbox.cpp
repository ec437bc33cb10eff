// The node sandbox: private mount and network namespaces for the calling thread, fresh tmpfs
// file systems on the product's fixed directories, and a private /dev whose log socket and
// kernel log are read back by the tests. Owns the sandbox's mounts, its two namespace fds and
// the collector thread; touches nothing on the host but the three empty mount points.
//
// /dev/kmsg is a FIFO rather than a plain file: the product opens it O_WRONLY without
// O_APPEND for every line, as the real device allows, and a plain file would let each line
// overwrite the one before it. The collector keeps the FIFO open for reading and writing, so a
// writer's open never blocks, and drains it as it drains the log socket.

#include "tests/vek_rir_sandbox.h"

#include "vek_rir/vek_rir_int.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

namespace vek_rir_test {

namespace {

const char *const host_mount_points[] = {"/vek_var", "/vek_tmp", "/vek_node"};
// The devices bound back from the host's /dev; nothing else of it is visible inside.
const char *const host_devices[] = {"null", "zero", "full", "random", "urandom"};
// /dev is staged on /vek_tmp, populated, then moved; /vek_tmp gets its own tmpfs afterwards.
const char stage_dir[] = "/vek_tmp";
constexpr uint64_t dev_bytes = 16ull << 20;

struct sandbox_state_t {
    bool active = false;
    int outer_mnt_fd = -1;
    int outer_net_fd = -1;
    int outer_cwd_fd = -1;
    std::string inner_mnt_id;            // readlink of /proc/self/ns/mnt inside
    std::vector<std::string> mounts;     // in mounting order, unmounted in reverse
    int log_fd = -1;
    int kmsg_fd = -1;
    int stop_fd = -1;
    std::optional<bounded_thread_t> collector;
    std::atomic<pid_t> collector_tid{0};
    std::mutex mutex;                    // guards the two buffers and the reads that fill them
    std::vector<syslog_line_t> lines;
    std::string kmsg;
};

sandbox_state_t state;

std::string errno_text(const std::string &what)
{
    return what + ": " + strerror(errno);
}

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string ns_id(const char *path)
{
    char buf[64];
    ssize_t n = readlink(path, buf, sizeof(buf) - 1);
    if (n < 0)
        return "";
    return std::string(buf, static_cast<size_t>(n));
}

std::string tmpfs_options(uint64_t bytes, const char *mode)
{
    return "size=" + std::to_string(bytes) + ",mode=" + mode;
}

std::string mount_tmpfs(const char *path, uint64_t bytes, const char *mode, unsigned long flags)
{
    if (bytes == 0)
        return std::string("refusing a tmpfs of size 0 on ") + path + " (it would be unbounded)";
    std::string options = tmpfs_options(bytes, mode);
    if (mount("tmpfs", path, "tmpfs", flags, options.c_str()) != 0)
        return errno_text(std::string("mount tmpfs on ") + path);
    state.mounts.push_back(path);
    return "";
}

bool is_timestamp(const std::string &s, size_t at)
{
    // "Mmm dd hh:mm:ss " with the day padded by a space, as strftime's "%h %e %T " writes it.
    static const char pattern[] = "Aaa Dd dd:dd:dd ";
    if (s.size() < at + sizeof(pattern) - 1)
        return false;
    for (size_t i = 0; i + 1 < sizeof(pattern); ++i) {
        unsigned char c = static_cast<unsigned char>(s[at + i]);
        switch (pattern[i]) {
        case 'A':
            if (!isupper(c))
                return false;
            break;
        case 'a':
            if (!islower(c))
                return false;
            break;
        case 'D':
            if (c != ' ' && !isdigit(c))
                return false;
            break;
        case 'd':
            if (!isdigit(c))
                return false;
            break;
        default:
            if (c != static_cast<unsigned char>(pattern[i]))
                return false;
        }
    }
    return true;
}

syslog_line_t parse_datagram(std::string raw)
{
    syslog_line_t line;
    // A sender on a stream socket ends each line with a zero; keep the text without it.
    while (!raw.empty() && raw.back() == '\0')
        raw.pop_back();
    line.raw = raw;
    size_t at = 0;
    if (raw.size() >= 3 && raw[0] == '<') {
        size_t end = raw.find('>');
        bool digits = end != std::string::npos && end > 1 && end <= 4;
        for (size_t i = 1; digits && i < end; ++i)
            digits = isdigit(static_cast<unsigned char>(raw[i])) != 0;
        if (digits) {
            line.priority = std::stoi(raw.substr(1, end - 1));
            at = end + 1;
        }
    }
    if (!is_timestamp(raw, at)) {
        line.message = raw.substr(at);
        return line;
    }
    at += 16;
    size_t colon = raw.find(": ", at);
    if (colon == std::string::npos) {
        line.message = raw.substr(at);
        return line;
    }
    std::string tag = raw.substr(at, colon - at);
    if (!tag.empty() && tag.back() == ']') {
        size_t open = tag.rfind('[');
        bool pid = open != std::string::npos && open + 2 < tag.size();
        for (size_t i = open + 1; pid && i + 1 < tag.size(); ++i)
            pid = isdigit(static_cast<unsigned char>(tag[i])) != 0;
        if (pid)
            tag.resize(open);
    }
    line.ident = tag;
    line.message = raw.substr(colon + 2);
    return line;
}

// Both the collector and the takers call these with the mutex held, so each datagram and each
// byte is read exactly once and in order.
void drain_log_locked()
{
    if (state.log_fd < 0)
        return;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(state.log_fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return;
        state.lines.push_back(parse_datagram(std::string(buf, static_cast<size_t>(n))));
    }
}

void drain_kmsg_locked()
{
    if (state.kmsg_fd < 0)
        return;
    char buf[65536];
    for (;;) {
        ssize_t n = read(state.kmsg_fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        state.kmsg.append(buf, static_cast<size_t>(n));
    }
}

void collector_main()
{
    state.collector_tid = gettid();
    for (;;) {
        pollfd fds[3] = {{state.stop_fd, POLLIN, 0},
                         {state.log_fd, POLLIN, 0},
                         {state.kmsg_fd, POLLIN, 0}};
        // The stop comes through the eventfd; the time-out only keeps the wait bounded.
        int rc = poll(fds, 3, 1000);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || (fds[0].revents & POLLIN) != 0)
            return;
        std::lock_guard<std::mutex> guard(state.mutex);
        drain_log_locked();
        drain_kmsg_locked();
    }
}

std::string loopback_up()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno_text("socket for loopback");
    ifreq request;
    memset(&request, 0, sizeof(request));
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    std::string result;
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
        result = errno_text("SIOCGIFFLAGS lo");
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        if (ioctl(fd, SIOCSIFFLAGS, &request) != 0)
            result = errno_text("SIOCSIFFLAGS lo");
    }
    close(fd);
    return result;
}

// Builds the private /dev on the staging tmpfs and moves it over the host's copy.
std::string dev_build()
{
    std::string error = mount_tmpfs(stage_dir, dev_bytes, "0755", MS_NOSUID);
    if (!error.empty())
        return error;
    const std::string stage = stage_dir;
    for (const char *name : host_devices) {
        std::string target = stage + "/" + name;
        std::string source = std::string("/dev/") + name;
        int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return errno_text("create " + target);
        close(fd);
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return errno_text("bind " + source);
    }
    if (mkdir((stage + "/shm").c_str(), 0) != 0 || chmod((stage + "/shm").c_str(), 01777) != 0)
        return errno_text("create /dev/shm");
    const char *const links[][2] = {{"/proc/self/fd", "fd"},
                                    {"/proc/self/fd/0", "stdin"},
                                    {"/proc/self/fd/1", "stdout"},
                                    {"/proc/self/fd/2", "stderr"}};
    for (const auto &link : links)
        if (symlink(link[0], (stage + "/" + link[1]).c_str()) != 0)
            return errno_text(std::string("symlink /dev/") + link[1]);

    std::string kmsg = stage + "/kmsg";
    if (mkfifo(kmsg.c_str(), 0) != 0 || chmod(kmsg.c_str(), 0644) != 0)
        return errno_text("create " + kmsg);
    state.kmsg_fd = open(kmsg.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (state.kmsg_fd < 0)
        return errno_text("open " + kmsg);

    state.log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (state.log_fd < 0)
        return errno_text("socket for /dev/log");
    // A roomy queue as well as the collector, so a burst of lines never waits on the thread.
    int bytes = 4 << 20;
    setsockopt(state.log_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::string log = stage + "/log";
    strncpy(address.sun_path, log.c_str(), sizeof(address.sun_path) - 1);
    if (bind(state.log_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0)
        return errno_text("bind " + log);
    if (chmod(log.c_str(), 0666) != 0)
        return errno_text("chmod " + log);

    if (mount(stage_dir, "/dev", nullptr, MS_MOVE, nullptr) != 0)
        return errno_text("move the staged /dev");
    state.mounts.back() = "/dev";
    return "";
}

// The thread ids of this process, other than the caller and the collector, that live in the
// sandbox's mount namespace: threads started inside it and still running.
std::vector<std::string> sandbox_threads()
{
    std::vector<std::string> found;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return found;
    const std::string self = std::to_string(gettid());
    const std::string collector = std::to_string(state.collector_tid.load());
    while (dirent *entry = readdir(dir)) {
        std::string tid = entry->d_name;
        if (tid == "." || tid == ".." || tid == self || tid == collector)
            continue;
        if (ns_id(("/proc/self/task/" + tid + "/ns/mnt").c_str()) == state.inner_mnt_id)
            found.push_back(tid);
    }
    closedir(dir);
    return found;
}

// Tears down whatever enter built, in reverse; used by leave and by a failed enter.
std::string teardown()
{
    if (state.collector && state.collector->joinable()) {
        uint64_t one = 1;
        // Joining a collector that was never woken would hang the test run; report instead.
        if (write(state.stop_fd, &one, sizeof(one)) < 0)
            return errno_text("wake the collector");
        state.collector->join(msecs_t(10000));
        state.collector.reset();
    }
    state.collector_tid = 0;
    close_fd(state.stop_fd);
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        close_fd(state.log_fd);
        close_fd(state.kmsg_fd);
    }
    // Unmounting frees the tmpfs memory even when a stray child keeps the namespace alive.
    for (auto it = state.mounts.rbegin(); it != state.mounts.rend(); ++it)
        umount2(it->c_str(), MNT_DETACH);
    state.mounts.clear();

    std::string result;
    if (setns(state.outer_mnt_fd, CLONE_NEWNS) != 0)
        result = errno_text("setns back to the original mount namespace");
    else if (state.outer_cwd_fd >= 0 && fchdir(state.outer_cwd_fd) != 0)
        result = errno_text("restore the working directory");
    if (setns(state.outer_net_fd, CLONE_NEWNET) != 0 && result.empty())
        result = errno_text("setns back to the original network namespace");
    if (!result.empty())
        return result;  // still inside: keep the fds for another try
    close_fd(state.outer_mnt_fd);
    close_fd(state.outer_net_fd);
    close_fd(state.outer_cwd_fd);
    state.inner_mnt_id.clear();
    state.active = false;
    closelog();
    return "";
}

std::string enter_inside(const sandbox_options_t &opts)
{
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return errno_text("make / private");
    std::string error = loopback_up();
    if (error.empty())
        error = mount_tmpfs("/vek_var", opts.var_bytes, "0755", 0);
    if (error.empty())
        error = dev_build();
    if (error.empty())
        error = mount_tmpfs("/vek_tmp", opts.tmp_bytes, "1777", 0);
    if (error.empty() && opts.mount_node)
        error = mount_tmpfs("/vek_node", opts.node_bytes, "0755", 0);
    if (!error.empty())
        return error;
    state.stop_fd = eventfd(0, EFD_CLOEXEC);
    if (state.stop_fd < 0)
        return errno_text("eventfd for the collector");
    // Created now, so it shares the sandbox's namespaces and is among the threads the way
    // back waits for; it holds its fds either way.
    state.collector.emplace(collector_main, "the sandbox's log collector");
    // A leave right after the enter must already know which thread is the collector; it
    // says so first thing.
    for (int k = 0; k < 10000 && state.collector_tid.load() == 0; k++)
        usleep(1000);
    if (state.collector_tid.load() == 0)
        return "the log collector did not start within 10 s";
    return "";
}

} // namespace

std::string sandbox_enter(const sandbox_options_t &opts)
{
    if (state.active) {
        std::string error = sandbox_leave();
        if (!error.empty())
            return "leaving the previous sandbox: " + error;
    }
    for (const char *path : host_mount_points)
        if (mkdir(path, 0755) != 0 && errno != EEXIST)
            return errno_text(std::string("mkdir ") + path);
    // A sanitizer runtime may start a helper thread of its own at the process's first thread
    // creation; that must happen out here, or it would count as a thread left in the sandbox.
    static bool first_thread_made = false;
    if (!first_thread_made) {
        std::thread([] {}).join();
        first_thread_made = true;
    }
    state.outer_mnt_fd = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    state.outer_net_fd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    state.outer_cwd_fd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (state.outer_mnt_fd < 0 || state.outer_net_fd < 0) {
        std::string error = errno_text("open /proc/self/ns");
        close_fd(state.outer_mnt_fd);
        close_fd(state.outer_net_fd);
        close_fd(state.outer_cwd_fd);
        return error;
    }
    // CLONE_FS as well: the thread's root and cwd must be its own before it may change
    // mount namespace, and again before setns may take it back.
    if (unshare(CLONE_FS | CLONE_NEWNS | CLONE_NEWNET) != 0) {
        std::string error = errno_text("unshare mount and network namespaces (needs root)");
        close_fd(state.outer_mnt_fd);
        close_fd(state.outer_net_fd);
        close_fd(state.outer_cwd_fd);
        return error;
    }
    state.active = true;
    state.inner_mnt_id = ns_id("/proc/thread-self/ns/mnt");
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        state.lines.clear();
        state.kmsg.clear();
    }
    std::string error = enter_inside(opts);
    if (!error.empty()) {
        std::string undo = teardown();
        return undo.empty() ? error : error + "; then " + undo;
    }
    // glibc keeps its log connection across calls; make it reconnect to this /dev/log.
    closelog();
    return "";
}

std::string sandbox_leave()
{
    if (!state.active)
        return "";
    std::vector<std::string> threads = sandbox_threads();
    if (!threads.empty()) {
        std::string list;
        for (const std::string &tid : threads)
            list += (list.empty() ? "" : ", ") + tid;
        return "threads started inside the sandbox still run (" + list +
               "); stop them before leaving";
    }
    return teardown();
}

bool sandbox_active()
{
    return state.active;
}

std::vector<syslog_line_t> sandbox_take_syslog()
{
    std::lock_guard<std::mutex> guard(state.mutex);
    drain_log_locked();
    std::vector<syslog_line_t> taken;
    taken.swap(state.lines);
    return taken;
}

std::vector<std::string> sandbox_take_syslog_messages()
{
    std::vector<std::string> messages;
    for (syslog_line_t &line : sandbox_take_syslog())
        messages.push_back(std::move(line.message));
    return messages;
}

std::string sandbox_take_kmsg()
{
    std::lock_guard<std::mutex> guard(state.mutex);
    drain_kmsg_locked();
    std::string taken;
    taken.swap(state.kmsg);
    return taken;
}

std::string sandbox_mount_tmpfs(const char *path, uint64_t bytes)
{
    if (!state.active)
        return std::string("not inside a sandbox: refusing to mount on ") + path;
    return mount_tmpfs(path, bytes, "0755", 0);
}

std::string read_file(const std::string &path)
{
    // Non-blocking, so a FIFO such as /dev/kmsg gives what it holds instead of hanging.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return bytes;
}

bool write_file(const std::string &path, const std::string &bytes, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    if (close(fd) != 0)
        ok = false;
    return ok;
}

int run_child(const std::function<int()> &body, msecs_t limit, const std::string &what)
{
    // Nothing buffered may be written twice, once by each process.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int result = 127;
        try {
            result = body();
        } catch (...) {
            result = 127;
        }
        _exit(result);
    }
    return child_reap(pid, limit, what);
}

void sandbox_test::SetUp()
{
    std::string error = sandbox_enter(sandbox_options());
    ASSERT_EQ(error, "") << "cannot enter the node sandbox";
    // Each test starts with no line held back by an earlier test's limits.
    vek_rir_util_log_limits_reset();
    vek_rir_util_log_clock_msecs = vek_rir_util_monotime_msecs;
}

void sandbox_test::TearDown()
{
    EXPECT_EQ(sandbox_leave(), "");
}

} // namespace vek_rir_test
