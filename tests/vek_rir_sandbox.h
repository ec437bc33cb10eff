// The node sandbox: lets a test run the product against its real, compiled-in paths
// (/vek_var, /vek_tmp, /vek_node, /dev/kmsg, /dev/log, abstract socket names) without
// touching the host. Entering gives the calling thread a private mount and network
// namespace with fresh tmpfs file systems and a private /dev; leaving returns it to the
// namespaces it came from, so many tests can run one after another in one process.
//
// Rules for callers:
//  - Enter and leave from the same thread (the gtest main thread). Threads that exist
//    before the enter stay outside the sandbox; threads created inside it inherit it.
//    Stop every thread you started before leaving, or the way back is refused.
//  - Needs root (CAP_SYS_ADMIN). A failed enter is a test failure, never a skip.
//  - Only the empty mount points /vek_var, /vek_tmp, /vek_node are ever created on the host.
#pragma once

#include "tests/vek_rir_wait.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vek_rir_test {

struct sandbox_options_t {
    uint64_t var_bytes = 512ull << 20;  // tmpfs on /vek_var; the product wants 90 MiB free
    uint64_t tmp_bytes = 64ull << 20;   // tmpfs on /vek_tmp
    bool mount_node = false;            // false: /vek_node stays a plain host directory
    uint64_t node_bytes = 64ull << 20;  // tmpfs on /vek_node when mount_node is set
};

// One datagram received on /dev/log.
struct syslog_line_t {
    int priority = -1;    // facility|severity, -1 when the datagram had no "<n>" header
    std::string ident;    // the tag without "[pid]", "" when absent
    std::string message;  // the text exactly as the sender formatted it
    std::string raw;      // the whole datagram
};

// "" on success, else why the sandbox could not be set up (the caller FAILs with it).
// Entering again without leaving first leaves the old sandbox implicitly.
std::string sandbox_enter(const sandbox_options_t &opts = {});
// Stops the syslog collector, drops the mounts and returns to the original namespaces.
// "" on success (also when not inside a sandbox), else what went wrong.
std::string sandbox_leave();
bool sandbox_active();

// Lines received since the last take (or the enter), in arrival order. Everything that
// a syslog(3) call which has already returned sent is included.
std::vector<syslog_line_t> sandbox_take_syslog();
std::vector<std::string> sandbox_take_syslog_messages();
// The current bytes of /dev/kmsg, after which the file is truncated to 0.
std::string sandbox_take_kmsg();
// Mounts an extra tmpfs of the given size on an existing directory inside the sandbox
// (over whatever is there); refused outside a sandbox. "" or the error.
std::string sandbox_mount_tmpfs(const char *path, uint64_t bytes);

// Whole file, "" if it is missing or unreadable.
std::string read_file(const std::string &path);
// Creates or replaces the file's contents and sets exactly this mode (umask ignored).
bool write_file(const std::string &path, const std::string &bytes, mode_t mode = 0644);
// Forks; the child runs body and _exit()s with its result (127 if it throws). Returns the
// status as waitpid gives it, or -1 if fork failed or the child did not end within `limit`
// (then it is killed and the test fails naming `what`). The child must not call the
// sandbox_take_* functions (the collector lives in the parent).
int run_child(const std::function<int()> &body, msecs_t limit = child_limit_default,
              const std::string &what = "a child process");

// Fixture: every test gets a fresh sandbox. Override sandbox_options() for other sizes.
class sandbox_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual sandbox_options_t sandbox_options() const { return {}; }
};

}  // namespace vek_rir_test
