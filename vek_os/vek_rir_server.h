/*
 * vek_rir_server.h - running the maintenance server inside a process of one's own, and talking
 * to the node's server.
 *
 * A process that embeds the server calls vek_rir_server_world_create once (it attaches to the
 * live log and starts the server thread) and vek_rir_server_world_destroy once at its end; or
 * it hands a thread to vek_rir_server_run. Any process may send a request with
 * vek_rir_server_exec. Reading snapshots is in vek_rir_if.h. Plain C99; C linkage.
 *
 * Requests (at most 79 characters): "nothing", "snap", "flush", "mirror-peer", "merge",
 * "mirror-peer-and-merge", "mirror-local", "all", "all-but-mirror-peer", and, for a sender of
 * user id 0 or the server's own only, "clear" and "inhale=<path>". Answers: "ok", "unknown",
 * "denied", and "failed" for a clear or an inhale that could not be carried out.
 */
#ifndef VEK_RIR_SERVER_H
#define VEK_RIR_SERVER_H

#include "vek_rir_if.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Runs the maintenance server in this process for runtime_seconds, or until stopped when 0. */
VEK_RIR_API vek_rir_rc_t vek_rir_server_run(vek_rir_failure_info_t *failure_info,
                                            int runtime_seconds);

/* Attaches this process to the live log (creating it if needed) and starts the server thread;
 * failures go to the system log. */
VEK_RIR_API void vek_rir_server_world_create(void);

/* Stops the server thread (it runs its final duties first) and detaches. */
VEK_RIR_API void vek_rir_server_world_destroy(void);

/* Sends one request to the node's server and waits up to timeout_seconds for its answer.
 * timeout_seconds 0 sends without waiting; a negative one waits without limit. On failure the
 * answer and the failure text hold one of "noserver", "sendfail", "timeout", "recvfail"; a
 * request the server refuses ("denied") or could not carry out ("failed") is an exchange that
 * worked, and returns VEK_RIR_RC_OK with that answer. Only answers sent by root, by this
 * process's user or by the owner of the live log are taken.
 * The exchanges of one process take turns (their socket names carry only the process id), so
 * concurrent callers wait for each other: a caller that waits without limit holds up every
 * other thread of its process that talks to the server, snapshot fetches included, until
 * the answer comes. */
VEK_RIR_API vek_rir_rc_t vek_rir_server_exec(vek_rir_failure_info_t *failure_info,
                                             const char *request, char *response,
                                             size_t response_size, int timeout_seconds);

#ifdef __cplusplus
}
#endif

#endif /* VEK_RIR_SERVER_H */
