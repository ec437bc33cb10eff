// Snapshot, merge, peer fetch, inhale and clear, whose groups are not part of this build yet.
// Each fails honestly with one text
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

vek_rir_rc_t vek_rir_cli_snap(vek_rir_failure_info_t *failure_info, const char *)
{
    return pending_fail(failure_info);
}

vek_rir_rc_t vek_rir_cli_merge(vek_rir_failure_info_t *failure_info, const char *, const char *,
                               const char *)
{
    return pending_fail(failure_info);
}

void vek_rir_file_snap() { vek_rir_util_log("RIR snap %s\n", text_not_available); }
void vek_rir_file_mirror_local() {}
void vek_rir_file_merge() { vek_rir_util_log("RIR merge %s\n", text_not_available); }
void vek_rir_file_mirror_peer() {}
void vek_rir_file_inhale(const char *) { vek_rir_util_log("RIR inhale %s\n", text_not_available); }
void vek_rir_file_clear() { vek_rir_util_log("RIR clear %s\n", text_not_available); }
