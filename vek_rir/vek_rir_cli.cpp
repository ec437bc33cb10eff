// The tool vek_rir: parses the command line, makes the one core call of the chosen operation
// and prints its failure line (or the server's answer). No logic of the log lives here.

#include "vek_rir/vek_rir_int.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// For rir_serve only: SIGTERM (a service manager) and SIGINT (an operator's Ctrl-C) stop the
// server as the end of its runtime would, so its final flush, snapshot, fetch, merge and mirror
// run.
static void vek_rir_cli_serve_stop(int)
{
    vek_rir_server_run_stop_request();
}

static void vek_rir_cli_serve_signals_install()
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = vek_rir_cli_serve_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

[[noreturn]] static void vek_rir_cli_usage()
{
    fprintf(stderr, "vek_rir [-v] [-o rir_serve] [-r runtime_seconds]\n");
    fprintf(stderr, "vek_rir [-v] [-o rir_add] [-C class] [-c code] [-I identity] [-t text] [-F]\n");
    fprintf(stderr, "vek_rir [-v] [-o rir_snap] [-M path]\n");
    fprintf(stderr, "vek_rir [-v] [-o rir_merge] [-M path] [-G src1_path] [-H src2_path]\n");
    fprintf(stderr, "vek_rir [-v] [-o rir_info] [-M path]\n");
    fprintf(stderr, "vek_rir [-v] [-o rir_dump] [-M path] [-T time_after]\n");
    fprintf(stderr, "vek_rir [-v] [-o rir_run] [-A request] [-O timeout_seconds]\n");
    fprintf(stderr, "vek_rir [-v] [-o rir_status]\n");
    exit(1);
}

namespace {

// Everything the command line can say; each operation reads the options it takes.
struct cli_args_t {
    const char *option = nullptr;
    const char *rir_path = nullptr;
    const char *rir_path_src1 = nullptr;
    const char *rir_path_src2 = nullptr;
    const char *rir_identity = nullptr;
    const char *rir_text = nullptr;
    uint64_t rir_flags = 0;
    uint64_t rir_class = 0;
    uint64_t rir_code = 0;
    int rir_flush = 0;
    const char *request = "nothing";
    int runtime_seconds = 0;
    int timeout_seconds = 5;
    uint64_t time_after = 0;
};

void cli_args_parse(int argc, char **argv, cli_args_t *args)
{
    int letter;
    while ((letter = getopt(argc, argv, "o:M:G:H:I:t:f:C:c:FA:r:O:T:v")) != -1) {
        switch (letter) {
        case 'o': args->option = optarg; break;
        case 'M': args->rir_path = optarg; break;
        case 'G': args->rir_path_src1 = optarg; break;
        case 'H': args->rir_path_src2 = optarg; break;
        case 'I': args->rir_identity = optarg; break;
        case 't': args->rir_text = optarg; break;
        case 'f': args->rir_flags = strtoull(optarg, nullptr, 0); break;
        case 'C': args->rir_class = vek_rir_convert_text_to_class(optarg); break;
        case 'c': args->rir_code = vek_rir_convert_text_to_code(optarg); break;
        case 'F': args->rir_flush = 1; break;
        case 'A': args->request = optarg; break;
        case 'r': args->runtime_seconds = atoi(optarg); break;
        case 'O': args->timeout_seconds = atoi(optarg); break;
        case 'T': args->time_after = strtoul(optarg, nullptr, 0); break;
        case 'v': break; // accepted and recorded only
        default: vek_rir_cli_usage();
        }
    }
    if (args->option == nullptr)
        vek_rir_cli_usage();
}

vek_rir_rc_t cli_serve(vek_rir_failure_info_t *fi, const cli_args_t &a)
{
    vek_rir_cli_serve_signals_install();
    return vek_rir_server_run(fi, a.runtime_seconds);
}

vek_rir_rc_t cli_add(vek_rir_failure_info_t *fi, const cli_args_t &a)
{
    return vek_rir_cli_add(fi, a.rir_flags, a.rir_class, a.rir_code, a.rir_identity, a.rir_text,
                           a.rir_flush);
}

vek_rir_rc_t cli_snap(vek_rir_failure_info_t *fi, const cli_args_t &a)
{
    return vek_rir_cli_snap(fi, a.rir_path);
}

vek_rir_rc_t cli_merge(vek_rir_failure_info_t *fi, const cli_args_t &a)
{
    return vek_rir_cli_merge(fi, a.rir_path_src1, a.rir_path_src2, a.rir_path);
}

vek_rir_rc_t cli_info(vek_rir_failure_info_t *fi, const cli_args_t &a)
{
    return vek_rir_cli_info(fi, a.rir_path);
}

vek_rir_rc_t cli_dump(vek_rir_failure_info_t *fi, const cli_args_t &a)
{
    return vek_rir_cli_dump(fi, a.rir_path, a.time_after);
}

// The operations whose only output besides their own is one failure line.
struct cli_operation_t {
    const char *name;
    vek_rir_rc_t (*run)(vek_rir_failure_info_t *failure_info, const cli_args_t &args);
    const char *failure_format;
};
constexpr cli_operation_t cli_operations[] = {
    {"rir_serve", cli_serve, "rir_server_run failed: %s\n"},
    {"rir_add", cli_add, "rir_add failed: %s\n"},
    {"rir_snap", cli_snap, "rir_snap failed: %s\n"},
    {"rir_merge", cli_merge, "rir_merge failed: %s\n"},
    {"rir_info", cli_info, "rir_info failed: %s\n"},
    {"rir_dump", cli_dump, "rir_dump failed: %s\n"},
};

// rir_run prints the answer; an exchange that worked but brought a refusal or a failed inhale
// or clear is no success either.
int cli_run(const cli_args_t &a)
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    char response[512];
    memset(response, 0, sizeof(response));
    vek_rir_rc_t rc = vek_rir_server_exec(&failure_info, a.request, response, sizeof(response),
                                          a.timeout_seconds);
    if (rc != VEK_RIR_RC_OK) {
        printf("rir_server_exec failed: %s\n", vek_rir_failure_info_text(&failure_info));
        return rc;
    }
    printf("%s: %s\n", a.request, response);
    if (strcmp(response, vek_rir_command_answer_denied) == 0 ||
        strcmp(response, vek_rir_command_answer_failed) == 0)
        return VEK_RIR_RC_FAILURE;
    return VEK_RIR_RC_OK;
}

} // namespace

int main(int argc, char **argv)
{
    cli_args_t args;
    cli_args_parse(argc, argv, &args);
    if (strcmp(args.option, "rir_run") == 0)
        return cli_run(args);
    // Exit codes of a monitoring plugin: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
    if (strcmp(args.option, "rir_status") == 0)
        return vek_rir_cli_status(vek_rir_health_wall_secs());
    for (const cli_operation_t &operation : cli_operations) {
        if (strcmp(args.option, operation.name) != 0)
            continue;
        vek_rir_failure_info_t failure_info;
        vek_rir_failure_info_clear(&failure_info);
        vek_rir_rc_t rc = operation.run(&failure_info, args);
        if (rc != VEK_RIR_RC_OK)
            printf(operation.failure_format, vek_rir_failure_info_text(&failure_info));
        return rc;
    }
    vek_rir_cli_usage();
}
