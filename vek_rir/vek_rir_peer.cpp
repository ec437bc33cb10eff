// Peer fetch: pulls the other node's snapshot into this node's peer copy with one run of the
// secure-copy client through the shell, and publishes it by rename. Each node pulls, neither
// pushes; both use the same paths, so the remote file is the peer's own snapshot. Needs no
// attachment and takes no lock; writes only the peer copy and its temporary companion. Keeps one
// datum across calls: when the last failure line went out, so that an unreachable peer (a normal
// condition) fills the system log with at most one line per interval.

#include "vek_rir/vek_rir_int.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

constexpr char text_log_fetch[] = "unable to fetch %s from peer to %s\n";
constexpr char text_log_rename[] = "unable to rename %s to %s\n";

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

} // namespace

size_t vek_rir_peer_command_format(char *scp_command, size_t scp_command_size_in)
{
    int length = snprintf(scp_command, scp_command_size_in, scp_format, ssh_options, peer_account,
                          peer_host_alias, vek_rir_local_snap_path, vek_rir_peer_tmp_path);
    VEK_RIR_ASSERT(length > 0 && static_cast<size_t>(length) < scp_command_size_in);
    return static_cast<size_t>(length);
}

void vek_rir_peer_mirror_run(uint64_t (*monotime_secs)(), uint64_t *t_last_whined)
{
    char scp_command[scp_command_size];
    vek_rir_peer_command_format(scp_command, sizeof(scp_command));
    int result = system(scp_command);
    if (result == 0) {
        if (rename(vek_rir_peer_tmp_path, vek_rir_peer_path) != 0)
            vek_rir_util_log(text_log_rename, vek_rir_peer_tmp_path, vek_rir_peer_path);
        return;
    }
    // The previous peer copy stays; whatever the client left at the temporary path is
    // overwritten by the next fetch. A success does not reset the interval.
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
