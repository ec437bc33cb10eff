// Server, channel and snapshot reading, whose groups are not part of this build yet. Each fails
// honestly with one text
// instead of pretending to work; the tool prints it in the operation's own failure line.

#include "vek_rir/vek_rir_int.h"

namespace {

constexpr char text_not_available[] = "not available in this build";

vek_rir_rc_t pending_fail(vek_rir_failure_info_t *failure_info)
{
    if (failure_info != nullptr)
        vek_rir_failure_info_set(failure_info, text_not_available);
    return VEK_RIR_RC_FAILURE;
}

} // namespace

vek_rir_rc_t vek_rir_server_run(vek_rir_failure_info_t *failure_info, int)
{
    return pending_fail(failure_info);
}

void vek_rir_server_world_create(void)
{
    vek_rir_util_log("RIR server %s", text_not_available);
}

void vek_rir_server_world_destroy(void) {}

vek_rir_rc_t vek_rir_server_exec(vek_rir_failure_info_t *failure_info, const char *, char *response,
                                 size_t response_size, int)
{
    if (response != nullptr && response_size > 0)
        response[0] = 0;
    return pending_fail(failure_info);
}

vek_rir_rc_t vek_rir_if_snap_fetch_local(vek_rir_failure_info_t *failure_info,
                                         vek_rir_if_snap_info_t *snap_info, int)
{
    snap_info->snap_buffer = nullptr;
    snap_info->snap_size = 0;
    return pending_fail(failure_info);
}

vek_rir_rc_t vek_rir_if_snap_fetch_both(vek_rir_failure_info_t *failure_info,
                                        vek_rir_if_snap_info_t *snap_info, int)
{
    snap_info->snap_buffer = nullptr;
    snap_info->snap_size = 0;
    return pending_fail(failure_info);
}

void vek_rir_if_snap_iterate(vek_rir_if_snap_info_t *, vek_rir_if_snap_iterate_callback_t,
                             vek_rir_if_snap_iterate_cookie_t, int)
{
}

void vek_rir_if_snap_free(vek_rir_if_snap_info_t *snap_info)
{
    snap_info->snap_buffer = nullptr;
    snap_info->snap_size = 0;
}
