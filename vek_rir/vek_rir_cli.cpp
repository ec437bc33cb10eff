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
    exit(1);
}

int main(int argc, char **argv)
{
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
    int verbose = 0;
    uint64_t time_after = 0;

    int letter;
    while ((letter = getopt(argc, argv, "o:M:G:H:I:t:f:C:c:FA:r:O:T:v")) != -1) {
        switch (letter) {
        case 'o': option = optarg; break;
        case 'M': rir_path = optarg; break;
        case 'G': rir_path_src1 = optarg; break;
        case 'H': rir_path_src2 = optarg; break;
        case 'I': rir_identity = optarg; break;
        case 't': rir_text = optarg; break;
        case 'f': rir_flags = strtoull(optarg, nullptr, 0); break;
        case 'C': rir_class = vek_rir_convert_text_to_class(optarg); break;
        case 'c': rir_code = vek_rir_convert_text_to_code(optarg); break;
        case 'F': rir_flush = 1; break;
        case 'A': request = optarg; break;
        case 'r': runtime_seconds = atoi(optarg); break;
        case 'O': timeout_seconds = atoi(optarg); break;
        case 'T': time_after = strtoul(optarg, nullptr, 0); break;
        case 'v': verbose = 1; break;
        default: vek_rir_cli_usage();
        }
    }
    (void)verbose; // accepted and recorded only

    vek_rir_rc_t rc = VEK_RIR_RC_OK;
    if (option == nullptr)
        vek_rir_cli_usage();
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    char response[512];
    memset(response, 0, sizeof(response));

    const char *failure_format = nullptr;
    if (strcmp(option, "rir_serve") == 0) {
        vek_rir_cli_serve_signals_install();
        rc = vek_rir_server_run(&failure_info, runtime_seconds);
        failure_format = "rir_server_run failed: %s\n";
    } else if (strcmp(option, "rir_add") == 0) {
        rc = vek_rir_cli_add(&failure_info, rir_flags, rir_class, rir_code, rir_identity,
                             rir_text, rir_flush);
        failure_format = "rir_add failed: %s\n";
    } else if (strcmp(option, "rir_snap") == 0) {
        rc = vek_rir_cli_snap(&failure_info, rir_path);
        failure_format = "rir_snap failed: %s\n";
    } else if (strcmp(option, "rir_merge") == 0) {
        rc = vek_rir_cli_merge(&failure_info, rir_path_src1, rir_path_src2, rir_path);
        failure_format = "rir_merge failed: %s\n";
    } else if (strcmp(option, "rir_info") == 0) {
        rc = vek_rir_cli_info(&failure_info, rir_path);
        failure_format = "rir_info failed: %s\n";
    } else if (strcmp(option, "rir_dump") == 0) {
        rc = vek_rir_cli_dump(&failure_info, rir_path, time_after);
        failure_format = "rir_dump failed: %s\n";
    } else if (strcmp(option, "rir_run") == 0) {
        rc = vek_rir_server_exec(&failure_info, request, response, sizeof(response),
                                 timeout_seconds);
        if (rc != VEK_RIR_RC_OK) {
            printf("rir_server_exec failed: %s\n", vek_rir_failure_info_text(&failure_info));
        } else {
            printf("%s: %s\n", request, response);
            // The exchange worked, but a refusal or a failed inhale or clear is no success.
            if (strcmp(response, vek_rir_command_answer_denied) == 0 ||
                strcmp(response, vek_rir_command_answer_failed) == 0)
                rc = VEK_RIR_RC_FAILURE;
        }
        return rc;
    } else {
        vek_rir_cli_usage();
    }
    if (rc != VEK_RIR_RC_OK)
        printf(failure_format, vek_rir_failure_info_text(&failure_info));
    return rc;
}
