// vek_rir_export: the companion reader for operators and log shippers. Prints any log file's
// records oldest first as rir_dump's lines or as JSON Lines, follows a node's log as it is
// appended to, reports records that the ring overwrote before they were read and logs that
// were cleared or inhaled, and resumes after a restart from a cursor file. It reads only: no
// shared mutex, no write access to the log.

#include "vek_rir_export/vek_rir_export.h"

#include <errno.h>
#include <inttypes.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <time.h>

#include <atomic>

namespace {

// A poll of an idle log is a few small preads and a stat of its name; at this pace an idle
// follow costs far below 1 % of a core while a new record still shows within 0.2 s, and a
// replaced file is noticed within a poll or two.
constexpr long poll_msecs = 150;

constexpr char text_follow_merged[] =
    "cannot follow a merged log (its records are re-ordered at every merge)";
constexpr char text_cursor_merged[] = "a cursor file needs a node's log, not a merged log";
constexpr char text_write_failed[] = "unable to write the output (%s)";

std::atomic<int> stop_signal{0};

void on_stop(int signal_number)
{
    stop_signal.store(signal_number);
}

struct walk_cookie_t {
    vek_rir_export_follow_t *x;
    bool failed;
};

int walk_visit(void *cookie, const vek_rir_record_t *record)
{
    walk_cookie_t *walk = static_cast<walk_cookie_t *>(cookie);
    if (stop_signal.load() != 0)
        return -1;
    if (vek_rir_export_filter_pass(walk->x->options, vek_rir_helper_real(record)) &&
        vek_rir_export_out_record(&walk->x->out, record) != 0) {
        walk->failed = true;
        return -1;
    }
    return 0;
}

// The end of the run: the cursor saved, the output's state turned into the exit status. A
// reader that went away and a stop signal that cut a blocked write short end the run quietly.
int finish(vek_rir_export_follow_t *x, int rc)
{
    vek_rir_export_follow_cursor_save(x);
    if (x->out.closed || x->out.interrupted)
        return 0;
    if (x->out.error != 0) {
        vek_rir_export_warn(text_write_failed, strerror(x->out.error));
        return 1;
    }
    if (rc != 0)
        vek_rir_export_warn("%s", vek_rir_failure_info_text(&x->failure));
    return rc;
}

void signals_install()
{
    // A closed output shows as EPIPE on the write, which ends the run quietly.
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the poll's sleep and a write blocked on a full pipe end at once.
    int rc = sigaction(SIGINT, &action, nullptr);
    VEK_RIR_ASSERT(rc == 0);
    rc = sigaction(SIGTERM, &action, nullptr);
    VEK_RIR_ASSERT(rc == 0);
}

int merged_print(vek_rir_export_follow_t *x)
{
    static char buffer[1 << 16];
    setvbuf(stdout, buffer, _IOFBF, sizeof(buffer));
    walk_cookie_t walk{x, false};
    int rc = vek_rir_export_log_walk(&x->failure, &x->log, walk_visit, &walk);
    if (!walk.failed)
        vek_rir_export_out_flush(&x->out);
    return finish(x, rc);
}

// A node's log: batches until it is read (or, following, until a stop signal), with the
// cursor saved after each.
int node_log_print(vek_rir_export_follow_t *x)
{
    const vek_rir_export_options_t &options = *x->options;
    // Followed or resumable output goes out line by line, so the cursor never runs ahead of
    // what the reader was given.
    static char buffer[1 << 16];
    if (options.follow || options.cursor_path != nullptr)
        setvbuf(stdout, nullptr, _IOLBF, 0);
    else
        setvbuf(stdout, buffer, _IOFBF, sizeof(buffer));
    int rc = vek_rir_export_follow_start(x);
    if (rc != 0)
        return finish(x, rc == 1 ? 1 : 0);
    for (;;) {
        if (vek_rir_export_follow_batch(x) != 0)
            return finish(x, 1);
        if (options.follow && stop_signal.load() == 0 && vek_rir_export_follow_reopen(x) != 0)
            return finish(x, 1);
        vek_rir_export_follow_cursor_save(x);
        if (stop_signal.load() != 0 || (!options.follow && !x->waiting))
            break;
        struct timespec pause = {0, poll_msecs * 1000000L};
        nanosleep(&pause, nullptr);
    }
    return finish(x, 0);
}

} // namespace

int main(int argc, char **argv)
{
    vek_rir_export_options_t options;
    char error[256];
    if (vek_rir_export_options_parse(argc, argv, &options, error, sizeof(error)) != 0) {
        vek_rir_export_warn("%s", error);
        return 1;
    }
    if (options.help) {
        vek_rir_export_usage(stdout);
        return 0;
    }
    if (options.version) {
        printf("%s 1.1.0\n", vek_rir_export_name);
        return 0;
    }
    signals_install();
    vek_rir_export_follow_t x;
    x.options = &options;
    x.out.format = options.format;
    x.stop = &stop_signal;
    vek_rir_export_out_host_init(&x.out);
    if (vek_rir_export_log_open(&x.failure, &x.log, options.log_path, options.log_is_live) != 0) {
        vek_rir_export_warn("%s", vek_rir_failure_info_text(&x.failure));
        return 1;
    }
    if (!x.log.merged)
        return node_log_print(&x);
    if (options.follow || options.cursor_path != nullptr) {
        vek_rir_export_warn(options.follow ? text_follow_merged : text_cursor_merged);
        return 1;
    }
    return merged_print(&x);
}
