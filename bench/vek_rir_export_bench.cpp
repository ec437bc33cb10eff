// The export's benchmark, run by scripts/bench_export inside its own namespaces (it writes the
// live log at /vek_var): records per second of a full merged log exported as JSON to /dev/null
// beside rir_dump of the same file, the CPU time of an idle follow, and the time from an append
// to its line on the follower's output. Prints a markdown table.
// Usage: vek_rir_export_bench EXPORT_TOOL DUMP_TOOL [IDLE_SECONDS] [SAMPLES]

#include "vek_rir/vek_rir_int.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

extern char **environ;

namespace {

constexpr char merged_path[] = "/vek_tmp/bench-merged.bin";

double now_secs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool merged_write()
{
    std::vector<uint8_t> bytes(VEK_RIR_MERGED_FILE_SIZE, 0);
    auto *header = reinterpret_cast<vek_rir_header_t *>(bytes.data());
    vek_rir_header_info_real_t &info = vek_rir_helper_info(header);
    info.magic = VEK_RIR_MAGIC;
    info.version = VEK_RIR_VERSION_1;
    info.record_size = VEK_RIR_RECORD_SIZE;
    info.record_count = VEK_RIR_MERGED_RECORD_COUNT;
    info.flags = VEK_RIR_HEADER_FLAG_MERGED | VEK_RIR_HEADER_FLAG_NODE_A;
    info.next_seqno = VEK_RIR_MERGED_RECORD_COUNT;
    for (uint64_t i = 0; i < VEK_RIR_MERGED_RECORD_COUNT; i++) {
        vek_rir_record_real_t &r = vek_rir_helper_real(vek_rir_helper_slot(header, i));
        r.seqno = i;
        r.flags = VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE |
                  (i % 2 ? VEK_RIR_RECORD_FLAG_NODE_A : VEK_RIR_RECORD_FLAG_NODE_B);
        r.time_secs = 1796000000 + i / 10;
        r.time_usecs = (i % 10) * 100000;
        r.rir_class = i % 3 ? VEK_RIR_CLASS_EVENT : 0x1234;
        r.code = i % 5 ? i : VEK_RIR_CODE_NA;
        snprintf(r.identity, sizeof(r.identity), "service-%llu", (unsigned long long)(i % 17));
        snprintf(r.text, sizeof(r.text), "request %llu handled in %llu ms, \"status\" ok",
                 (unsigned long long)i, (unsigned long long)(i % 997));
    }
    FILE *f = fopen(merged_path, "w");
    if (f == nullptr)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// Runs argv with standard output on /dev/null; its wall time, or -1 when it failed.
double run_timed(const std::vector<const char *> &argv)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char *> args;
    for (const char *a : argv)
        args.push_back(const_cast<char *>(a));
    args.push_back(nullptr);
    double start = now_secs();
    pid_t pid;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        return -1;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    double took = now_secs() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took : -1;
}

double median_of(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    if (v.empty())
        return 0;
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Starts a follower with its output on a pipe; the read end in *read_fd.
pid_t follower_start(const char *export_tool, int *read_fd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    char *args[] = {const_cast<char *>(export_tool), const_cast<char *>("--follow"),
                    const_cast<char *>("-o"), const_cast<char *>("json"), nullptr};
    pid_t pid;
    int rc = posix_spawn(&pid, export_tool, &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    *read_fd = fds[0];
    return rc == 0 ? pid : -1;
}

// utime + stime of a process, in seconds.
double cpu_secs(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return -1;
    char buffer[1024];
    size_t n = fread(buffer, 1, sizeof(buffer) - 1, f);
    fclose(f);
    buffer[n] = 0;
    const char *p = strrchr(buffer, ')'); // the command name may hold blanks
    unsigned long utime = 0, stime = 0;
    if (p == nullptr || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                               &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Time on a CPU from the scheduler, in seconds: finer than the clock ticks of utime+stime.
double run_secs(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/schedstat", pid);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return -1;
    unsigned long long ns = 0;
    int n = fscanf(f, "%llu", &ns);
    fclose(f);
    return n == 1 ? static_cast<double>(ns) / 1e9 : -1;
}

// Reads from the pipe until a newline arrives or the deadline passes; true on a line.
bool line_wait(int fd, double deadline)
{
    char c[4096];
    while (now_secs() < deadline) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        ssize_t n = read(fd, c, sizeof(c));
        if (n <= 0)
            return false;
        if (memchr(c, '\n', static_cast<size_t>(n)) != nullptr)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: vek_rir_export_bench EXPORT_TOOL DUMP_TOOL [IDLE_SECONDS] [SAMPLES]\n");
        return 1;
    }
    const char *export_tool = argv[1];
    const char *dump_tool = argv[2];
    int idle_secs = argc > 3 ? atoi(argv[3]) : 30;
    int samples = argc > 4 ? atoi(argv[4]) : 200;
    if (!merged_write()) {
        fprintf(stderr, "cannot write %s\n", merged_path);
        return 1;
    }
    // Export and dump of the same file, alternating, five runs each; the medians.
    std::vector<double> json_runs, dump_runs;
    for (int i = 0; i < 5; i++) {
        json_runs.push_back(run_timed({export_tool, "-o", "json", "-M", merged_path}));
        dump_runs.push_back(run_timed({dump_tool, "-o", "rir_dump", "-M", merged_path}));
        if (json_runs.back() < 0 || dump_runs.back() < 0) {
            fprintf(stderr, "a run failed\n");
            return 1;
        }
    }
    double records = static_cast<double>(VEK_RIR_MERGED_RECORD_COUNT);
    double json_rate = records / median_of(json_runs);
    double dump_rate = records / median_of(dump_runs);

    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_file_attach(VEK_RIR_TRUE, &fi) != 0) {
        fprintf(stderr, "%s\n", fi.text);
        return 1;
    }
    vek_rir_if_record_add(&fi, 0, VEK_RIR_CLASS_START, 0, "bench", "start");
    int out_fd = -1;
    pid_t follower = follower_start(export_tool, &out_fd);
    if (follower < 0 || !line_wait(out_fd, now_secs() + 5)) {
        fprintf(stderr, "the follower did not start\n");
        return 1;
    }
    // Idle: nothing is logged while the follower polls.
    double cpu_before = cpu_secs(follower);
    double run_before = run_secs(follower);
    sleep(static_cast<unsigned>(idle_secs));
    double cpu_idle = cpu_secs(follower) - cpu_before;
    double run_idle = run_secs(follower) - run_before;
    // Latency: one append at a random phase of the poll, until its line is read.
    std::vector<double> latencies;
    unsigned seed = 12345;
    for (int i = 0; i < samples; i++) {
        seed = seed * 1103515245 + 12345;
        usleep(20000 + (seed >> 8) % 200000);
        double start = now_secs();
        vek_rir_if_record_add(&fi, 0, VEK_RIR_CLASS_EVENT, static_cast<uint64_t>(i), "bench",
                              "latency probe");
        if (!line_wait(out_fd, start + 2)) {
            fprintf(stderr, "no line within 2 s for sample %d\n", i);
            return 1;
        }
        latencies.push_back((now_secs() - start) * 1000);
    }
    kill(follower, SIGTERM);
    int status = 0;
    waitpid(follower, &status, 0);
    vek_rir_file_detach();

    printf("| Export case | Figure |\n|---|---|\n");
    printf("| `vek_rir_export -o json` of a full merged log (24,544 records) to /dev/null | "
           "%.0f records/s (%.1f ms) |\n",
           json_rate, median_of(json_runs) * 1000);
    printf("| `vek_rir -o rir_dump` of the same file | %.0f records/s (%.1f ms) |\n", dump_rate,
           median_of(dump_runs) * 1000);
    printf("| idle `--follow`, CPU over %d s | %.4f %% of a core (%.1f ms on a CPU by "
           "/proc/PID/schedstat; utime+stime %.2f s) |\n",
           idle_secs, 100.0 * run_idle / idle_secs, run_idle * 1000, cpu_idle);
    printf("| append to its line on the follower's output, %d samples | median %.1f ms, p99 "
           "%.1f ms, max %.1f ms |\n",
           samples, percentile(latencies, 0.5), percentile(latencies, 0.99),
           percentile(latencies, 1.0));
    return 0;
}
