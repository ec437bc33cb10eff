// Peer fetch: pulls the other node's snapshot into this node's peer copy with one run of the
// secure-copy client through the shell, and publishes it by rename. Each node pulls, neither
// pushes; both use the same paths, so the remote file is the peer's own snapshot. Needs no
// attachment and takes no lock; writes only the peer copy, its temporary companion and the
// private directory that holds it. A fetched file replaces the peer copy only if the merge
// could take it. Keeps one datum across calls: when the last failure line went out, so that an
// unreachable peer (a normal condition) fills the system log with at most one line per interval.

#include "vek_rir/vek_rir_int.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>

extern char **environ;

namespace {

constexpr char text_log_fetch[] = "unable to fetch %s from peer to %s\n";
constexpr char text_log_rename[] = "unable to rename %s to %s\n";
constexpr char text_log_fetch_dir[] = "unable to prepare %s for the peer fetch: %s\n";
constexpr char text_log_fetched_bad[] = "unable to take %s as the peer copy: %s\n";
constexpr char text_fetch_dir_foreign[] = "it is not a directory of the server's own";
constexpr char which_fetched[] = "fetched";

// The account and host alias that name the other node on both nodes alike; the alias resolves
// through each node's host table and the account logs in with its key, so the command line
// carries no credentials.
constexpr char peer_account[] = "rir";
constexpr char peer_host_alias[] = "vek-rir-peer";

// Give up connecting after 5 s, probe a silent peer every 5 s and drop it after 3 unanswered
// probes, so a dead peer holds the server thread for seconds, not minutes. The peer's host key
// is neither asked about nor remembered: the server thread must never wait on a prompt, and a
// re-installed peer must not be refused.
constexpr char ssh_options[] =
    "-o ServerAliveCountMax=3 -o ServerAliveInterval=5 -o ConnectTimeout=5 "
    "-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR";
static_assert(sizeof(ssh_options) - 1 == 147);

constexpr char scp_format[] = "scp -P22 %s %s@%s:%s %s >/dev/null 2>&1";
constexpr size_t scp_command_size = 512;
// The fixed parts (236 characters with the at sign and the colon) and the chosen account and
// alias, plus the terminator, must fit the buffer.
static_assert(sizeof("scp -P22 ") - 1 + sizeof(ssh_options) - 1 + 1 + sizeof(peer_account) - 1 +
                      1 + sizeof(peer_host_alias) - 1 + 1 + sizeof(vek_rir_local_snap_path) - 1 +
                      1 + sizeof(vek_rir_peer_tmp_path) - 1 + sizeof(" >/dev/null 2>&1") - 1 + 1 <=
                  scp_command_size);

// The least number of seconds between two failure lines.
const uint32_t interval_secs_peer_incommunicado_whine = 120;

constexpr long fetch_poll_nsecs = 10 * 1000 * 1000;

} // namespace

// The client's own time-outs end a dead or silent peer within about 20 s; a client stuck
// beyond this (or a transfer that crawls) is ended, and the fetch has failed. Well below the
// service manager's watchdog interval, so a fetch never trips it.
uint64_t vek_rir_peer_fetch_limit_msecs = 30000;

size_t vek_rir_peer_command_format(char *scp_command, size_t scp_command_size_in)
{
    int length = snprintf(scp_command, scp_command_size_in, scp_format, ssh_options, peer_account,
                          peer_host_alias, vek_rir_local_snap_path, vek_rir_peer_tmp_path);
    VEK_RIR_ASSERT(length > 0 && static_cast<size_t>(length) < scp_command_size_in);
    return static_cast<size_t>(length);
}

namespace {

bool fetch_dir_private(const struct stat &st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// Looked at before every fetch: made when missing, a planted file or link in its place is
// removed, and its mode is put back to 0700. A directory of another user is not ours to empty;
// the fetch waits until the operator removes it.
int fetch_dir_ready(const char **problem_rv)
{
    struct stat st;
    int rc = lstat(vek_rir_peer_fetch_dir_path, &st);
    if (rc == 0 && !S_ISDIR(st.st_mode) && unlink(vek_rir_peer_fetch_dir_path) == 0)
        rc = -1;
    if (rc != 0 && mkdir(vek_rir_peer_fetch_dir_path, 0700) != 0 && errno != EEXIST) {
        *problem_rv = strerror(errno);
        return 1;
    }
    if (lstat(vek_rir_peer_fetch_dir_path, &st) != 0 || !fetch_dir_private(st)) {
        *problem_rv = text_fetch_dir_foreign;
        return 1;
    }
    if ((st.st_mode & 077) != 0 && chmod(vek_rir_peer_fetch_dir_path, 0700) != 0) {
        *problem_rv = strerror(errno);
        return 1;
    }
    return 0;
}

// The checks the merge makes of its sources, made before the fetched file may replace a copy
// the merge can read: a regular file, a sound header, every slot of its ring present.
int fetched_check(vek_rir_failure_info_t *failure_info)
{
    const char *refusal = nullptr;
    vek_rir_util_fd_t fd(
        vek_rir_util_file_open_own(vek_rir_peer_tmp_path, O_RDONLY, 0, &refusal));
    if (fd.fd < 0) {
        vek_rir_failure_info_set(failure_info, "%s",
                                 refusal != nullptr ? refusal : strerror(errno));
        return 1;
    }
    vek_rir_header_t header;
    if (vek_rir_helper_header_read(failure_info, fd.fd, &header, which_fetched) != 0 ||
        vek_rir_helper_header_validate(failure_info, &header, which_fetched) != 0)
        return 1;
    return vek_rir_helper_file_size_check(failure_info, fd.fd, &header, which_fetched);
}

// Runs the command line through /bin/sh as system() would, without system()'s side effect of
// ignoring SIGINT and SIGQUIT in the caller while it runs: a stop asked for during a fetch
// must reach the server. The child starts with default signal handling and no signal blocked,
// in a process group of its own, so that the bound ends the client and what it started.
// The wait status, or -1 when the shell could not be started or was ended at the bound.
int shell_run_bounded(const char *command, uint64_t limit_msecs)
{
    posix_spawnattr_t attr;
    int rc = posix_spawnattr_init(&attr);
    VEK_RIR_ASSERT(rc == 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal_number : {SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, signal_number);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);
    char shell[] = "sh", dash_c[] = "-c";
    char *argv[] = {shell, dash_c, const_cast<char *>(command), nullptr};
    pid_t pid = -1;
    rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return -1;
    uint64_t deadline = vek_rir_util_monotime_msecs() + limit_msecs;
    for (;;) {
        int status = 0;
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return status;
        if (got < 0 && errno != EINTR)
            return -1;
        if (vek_rir_util_monotime_msecs() >= deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            // Killed: it goes at once.
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        struct timespec pause = {0, fetch_poll_nsecs};
        nanosleep(&pause, nullptr);
    }
}

void fetched_publish()
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (fetched_check(&failure_info) != 0) {
        // The previous peer copy stays: a peer that sends what is no log replaces nothing.
        vek_rir_util_log_limited(vek_rir_peer_tmp_path, text_log_fetched_bad,
                                 vek_rir_peer_tmp_path, vek_rir_failure_info_text(&failure_info));
        unlink(vek_rir_peer_tmp_path);
        return;
    }
    if (rename(vek_rir_peer_tmp_path, vek_rir_peer_path) != 0)
        vek_rir_util_log_limited(vek_rir_peer_tmp_path, text_log_rename, vek_rir_peer_tmp_path,
                                 vek_rir_peer_path);
}

} // namespace

void vek_rir_peer_mirror_run(uint64_t (*monotime_secs)(), uint64_t *t_last_whined)
{
    const char *problem = nullptr;
    if (fetch_dir_ready(&problem) != 0) {
        vek_rir_util_log_limited(vek_rir_peer_fetch_dir_path, text_log_fetch_dir,
                                 vek_rir_peer_fetch_dir_path, problem);
        return;
    }
    // A leftover of a failed fetch is no part of the next one.
    unlink(vek_rir_peer_tmp_path);
    char scp_command[scp_command_size];
    vek_rir_peer_command_format(scp_command, sizeof(scp_command));
    int result = shell_run_bounded(scp_command, vek_rir_peer_fetch_limit_msecs);
    if (result == 0) {
        fetched_publish();
        return;
    }
    // The previous peer copy stays. A success does not reset the interval. The line the
    // interval holds back still makes this fetch a failure in the server's health.
    vek_rir_util_log_note(text_log_fetch, vek_rir_local_snap_path, vek_rir_peer_tmp_path);
    uint64_t t_now = monotime_secs();
    if (t_now - *t_last_whined > interval_secs_peer_incommunicado_whine) {
        *t_last_whined = t_now;
        vek_rir_util_log(text_log_fetch, vek_rir_local_snap_path, vek_rir_peer_tmp_path);
    }
}

void vek_rir_file_mirror_peer()
{
    // Only the server thread runs the fetch, so the interval's state needs no lock.
    static uint64_t t_last_whined = 0;
    vek_rir_peer_mirror_run(vek_rir_util_monotime_secs, &t_last_whined);
}
