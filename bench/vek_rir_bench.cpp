// The benchmark driver: each subcommand runs one case and prints one tab-separated row per
// figure (name, writers, median ns, p99 ns, p99.9 ns, operations per second, records lost),
// which scripts/bench turns into the results table. Every operation is timed on its own with
// the monotonic clock, so the percentiles are of single calls, not of batches. Runs inside a
// private /vek_var and /vek_tmp that the script provides; never on the host's directories.

#include "vek_rir/vek_rir_int.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef VEK_BENCH_HAVE_QB
#include <qb/qblog.h>
#endif

namespace {

uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

[[noreturn]] void die(const std::string &what)
{
    fprintf(stderr, "vek_rir_bench: %s\n", what.c_str());
    exit(1);
}

// The message every alternative carries: an identity and about 150 characters of text.
const char bench_identity[] = "bench.writer";
const std::string bench_text =
    "pump 3 pressure 4.71 bar above warning level 4.50 bar; valve V12 opened to 35 percent, "
    "controller loop 7 in manual mode since 00:00:12 by request 4711 of the op";

void row(const std::string &name, int writers, std::vector<uint64_t> &lat, double seconds,
         uint64_t lost)
{
    std::sort(lat.begin(), lat.end());
    auto pct = [&](double p) {
        if (lat.empty())
            return uint64_t{0};
        size_t i = std::min(lat.size() - 1, static_cast<size_t>(p * static_cast<double>(lat.size())));
        return lat[i];
    };
    printf("%s\t%d\t%lu\t%lu\t%lu\t%.0f\t%lu\n", name.c_str(), writers, pct(0.5), pct(0.99),
           pct(0.999), seconds > 0 ? static_cast<double>(lat.size()) / seconds : 0.0, lost);
    fflush(stdout);
}

// ---- writers: one call of each kind -------------------------------------------------------

// The floor: exactly what one append needs by design, done bare on a mapping of our own.
struct floor_file_t {
    pthread_mutex_t *mutex;
    uint8_t *base;
};
floor_file_t floor_file;

void floor_setup()
{
    const char path[] = "/vek_var/bench-floor.bin";
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(VEK_RIR_FILE_SIZE)) != 0)
        die("cannot make the floor file");
    void *map = mmap(nullptr, VEK_RIR_FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        die("cannot map the floor file");
    close(fd);
    floor_file.base = static_cast<uint8_t *>(map);
    floor_file.mutex = reinterpret_cast<pthread_mutex_t *>(floor_file.base + 1024);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(floor_file.mutex, &attr);
}

void floor_append(bool free_space_check)
{
    static thread_local uint8_t record[VEK_RIR_RECORD_SIZE];
    if (free_space_check) {
        struct statfs fs;
        if (access("/vek_var", W_OK) != 0 || statfs("/vek_var", &fs) != 0)
            die("floor check failed");
    }
    if (pthread_mutex_lock(floor_file.mutex) == EOWNERDEAD)
        pthread_mutex_consistent(floor_file.mutex);
    uint64_t *info = reinterpret_cast<uint64_t *>(floor_file.base);
    uint64_t seqno = info[3]++;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    info[4] = static_cast<uint64_t>(ts.tv_sec);
    info[5] = static_cast<uint64_t>(ts.tv_nsec / 1000);
    memcpy(record, &seqno, sizeof(seqno));
    memcpy(floor_file.base + VEK_RIR_HEADER_SIZE + (seqno % VEK_RIR_RECORD_COUNT) * VEK_RIR_RECORD_SIZE,
           record, sizeof(record));
    pthread_mutex_unlock(floor_file.mutex);
}

int write_fd = -1;

#ifdef VEK_BENCH_HAVE_QB
void qb_setup()
{
    qb_log_init("vek_rir_bench", LOG_USER, LOG_INFO);
    qb_log_ctl(QB_LOG_SYSLOG, QB_LOG_CONF_ENABLED, QB_FALSE);
    qb_log_ctl(QB_LOG_STDERR, QB_LOG_CONF_ENABLED, QB_FALSE);
    qb_log_ctl(QB_LOG_BLACKBOX, QB_LOG_CONF_SIZE, static_cast<int32_t>(VEK_RIR_FILE_SIZE));
    qb_log_filter_ctl(QB_LOG_BLACKBOX, QB_LOG_FILTER_ADD, QB_LOG_FILTER_FILE, "*", LOG_DEBUG);
    qb_log_ctl(QB_LOG_BLACKBOX, QB_LOG_CONF_ENABLED, QB_TRUE);
}
#endif

// The library's append, with the default check before every append ("rir") or with the check
// at most once per 100 ms ("rir-interval100").
bool is_rir(const std::string &kind)
{
    return kind == "rir" || kind == "rir-interval100";
}

// Prepares the calling process for `kind`; returns the call to time.
std::function<bool()> writer_setup(const std::string &kind)
{
    if (kind == "rir-interval100" && vek_rir_if_check_interval_set(100) != VEK_RIR_RC_OK)
        die("cannot set the check interval");
    if (is_rir(kind))
        return [] {
            return vek_rir_if_record_add(nullptr, 0, VEK_RIR_CLASS_EVENT, 7, bench_identity,
                                         bench_text.c_str()) == VEK_RIR_RC_OK;
        };
    if (kind == "floor")
        return [] { floor_append(true); return true; };
    if (kind == "floor-nocheck")
        return [] { floor_append(false); return true; };
    if (kind == "syslog") {
        openlog(bench_identity, LOG_NDELAY, LOG_USER);
        return [] { syslog(LOG_INFO, "%s", bench_text.c_str()); return true; };
    }
    if (kind == "write") {
        return [] {
            char line[VEK_RIR_RECORD_SIZE];
            memset(line, ' ', sizeof(line));
            memcpy(line, bench_text.data(), bench_text.size());
            line[sizeof(line) - 1] = '\n';
            return write(write_fd, line, sizeof(line)) == static_cast<ssize_t>(sizeof(line));
        };
    }
#ifdef VEK_BENCH_HAVE_QB
    if (kind == "qb") {
        qb_setup();
        return [] { qb_log(LOG_INFO, "%s: %s", bench_identity, bench_text.c_str()); return true; };
    }
#endif
    die("unknown writer kind " + kind);
}

// Untimed calls each writer makes first; they count among the records to account for.
constexpr size_t warmup_calls = 200;

// Latencies of all writers land in a shared anonymous mapping, so processes can report them.
struct shared_run_t {
    std::atomic<int> ready;
    std::atomic<int> go;
    std::atomic<uint64_t> failed;
    uint64_t lat[1];
};

shared_run_t *shared_run_new(size_t total)
{
    size_t bytes = sizeof(shared_run_t) + total * sizeof(uint64_t);
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        die("cannot map the shared results");
    return static_cast<shared_run_t *>(p);
}

void writer_body(shared_run_t *run, int writers, const std::function<bool()> &call, uint64_t *lat,
                 size_t count)
{
    for (size_t k = 0; k < warmup_calls; k++)
        call();
    run->ready++;
    while (run->ready.load() < writers)
        ;
    while (run->go.load() == 0)
        ;
    for (size_t k = 0; k < count; k++) {
        uint64_t t0 = now_ns();
        bool ok = call();
        lat[k] = now_ns() - t0;
        if (!ok)
            run->failed++;
    }
}

// Runs `writers` writers, as threads of this process or as processes, each making `count`
// timed calls. Returns the latencies and the wall time of the timed part.
std::vector<uint64_t> writers_run(const std::string &kind, int writers, bool processes,
                                  size_t count, double *seconds, uint64_t *failed)
{
    shared_run_t *run = shared_run_new(static_cast<size_t>(writers) * count);
    if (kind == "floor" || kind == "floor-nocheck")
        floor_setup();
    if (kind == "write") {
        write_fd = open("/vek_var/bench-append.txt", O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0644);
        if (write_fd < 0)
            die("cannot open the append file");
    }
    uint64_t t0 = 0;
    if (processes) {
        std::vector<pid_t> pids;
        for (int w = 0; w < writers; w++) {
            pid_t pid = fork();
            if (pid == 0) {
                if (is_rir(kind) && vek_rir_if_world_init(nullptr) != VEK_RIR_RC_OK)
                    _exit(3);
                std::function<bool()> call = writer_setup(kind);
                writer_body(run, writers, call, run->lat + static_cast<size_t>(w) * count, count);
                if (is_rir(kind))
                    vek_rir_if_world_deinit(nullptr);
#ifdef VEK_BENCH_HAVE_QB
                if (kind == "qb") {
                    std::string path = "/vek_tmp/qb-" + std::to_string(w) + ".bb";
                    qb_log_blackbox_write_to_file(path.c_str());
                }
#endif
                _exit(0);
            }
            pids.push_back(pid);
        }
        while (run->ready.load() < writers)
            usleep(100);
        t0 = now_ns();
        run->go = 1;
        for (pid_t pid : pids) {
            int status;
            waitpid(pid, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                die("a writer process failed");
        }
    } else {
        if (is_rir(kind) && vek_rir_if_world_init(nullptr) != VEK_RIR_RC_OK)
            die("cannot attach");
        std::function<bool()> call = writer_setup(kind);
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; w++)
            threads.emplace_back([&, w] {
                writer_body(run, writers, call, run->lat + static_cast<size_t>(w) * count, count);
            });
        while (run->ready.load() < writers)
            usleep(100);
        t0 = now_ns();
        run->go = 1;
        for (std::thread &t : threads)
            t.join();
        if (is_rir(kind))
            vek_rir_if_world_deinit(nullptr);
#ifdef VEK_BENCH_HAVE_QB
        if (kind == "qb")
            qb_log_blackbox_write_to_file("/vek_tmp/qb-0.bb");
#endif
    }
    *seconds = static_cast<double>(now_ns() - t0) / 1e9;
    *failed = run->failed.load();
    std::vector<uint64_t> lat(run->lat, run->lat + static_cast<size_t>(writers) * count);
    return lat;
}

// Records of the live log accounted for after a run that began at `seqno_before`: every call
// that succeeded must have taken a sequence number, and the ring must hold only complete ones.
uint64_t rir_lost(uint64_t seqno_before, uint64_t calls)
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_if_world_init(&fi) != VEK_RIR_RC_OK)
        die(std::string("cannot attach: ") + fi.text);
    const vek_rir_header_info_real_t &info = vek_rir_helper_info(vek_rir_header);
    uint64_t taken = info.next_seqno - seqno_before;
    uint64_t lost = taken < calls ? calls - taken : 0;
    vek_rir_helper_walk_info_t walk;
    vek_rir_helper_walk_info_populate(&walk, vek_rir_header);
    while (walk.record_count_left != 0) {
        const vek_rir_record_real_t &r =
            vek_rir_helper_real(vek_rir_helper_slot(vek_rir_header, walk.record_index_next));
        if ((r.flags & VEK_RIR_RECORD_FLAG_COMPLETE) == 0)
            lost++;
        vek_rir_helper_walk_info_consume_one(&walk);
    }
    vek_rir_if_world_deinit(nullptr);
    return lost;
}

uint64_t rir_next_seqno()
{
    vek_rir_failure_info_t fi;
    if (vek_rir_cli_add(&fi, 0, 0, 0, "bench", "start", 0) != VEK_RIR_RC_OK)
        die(std::string("cannot create the live log: ") + fi.text);
    vek_rir_if_world_init(nullptr);
    uint64_t seqno = vek_rir_helper_info(vek_rir_header).next_seqno;
    vek_rir_if_world_deinit(nullptr);
    return seqno;
}

size_t file_lines(const char *path, const char *needle)
{
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return 0;
    size_t n = 0;
    char line[4096];
    while (fgets(line, sizeof(line), f) != nullptr)
        if (strstr(line, needle) != nullptr)
            n++;
    fclose(f);
    return n;
}

#ifdef VEK_BENCH_HAVE_QB
// Reads each writer's blackbox back with the library's own reader and counts our records.
size_t qb_read_back(int files)
{
    size_t n = 0;
    for (int w = 0; w < files; w++) {
        std::string path = "/vek_tmp/qb-" + std::to_string(w) + ".bb";
        int pipe_fd[2];
        if (pipe(pipe_fd) != 0)
            die("pipe");
        pid_t pid = fork();
        if (pid == 0) {
            dup2(pipe_fd[1], 1);
            int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, 2);
            close(pipe_fd[0]);
            qb_log_blackbox_print_from_file(path.c_str());
            fflush(stdout);
            _exit(0);
        }
        close(pipe_fd[1]);
        FILE *f = fdopen(pipe_fd[0], "r");
        char line[8192];
        while (fgets(line, sizeof(line), f) != nullptr)
            if (strstr(line, "pump 3 pressure") != nullptr)
                n++;
        fclose(f);
        waitpid(pid, nullptr, 0);
    }
    return n;
}
#endif

// ---- the server in a child process -------------------------------------------------------

pid_t server_child()
{
    pid_t pid = fork();
    if (pid == 0) {
        vek_rir_failure_info_t fi;
        vek_rir_failure_info_clear(&fi);
        vek_rir_server_run(&fi, 0);
        _exit(0);
    }
    for (int k = 0; k < 100; k++) {
        char answer[80];
        vek_rir_failure_info_t fi;
        if (vek_rir_server_exec(&fi, "nothing", answer, sizeof(answer), 1) == VEK_RIR_RC_OK)
            return pid;
        usleep(50000);
    }
    die("the server does not answer");
}

void server_child_stop(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// ---- subcommands -------------------------------------------------------------------------

int cmd_append(const std::string &kind, int writers, bool processes, size_t count,
               bool with_snaps)
{
    uint64_t seqno_before = is_rir(kind) ? rir_next_seqno() : 0;
    const char *syslog_out = getenv("VEK_BENCH_SYSLOG_FILE");
    if (kind == "syslog" && syslog_out == nullptr)
        die("VEK_BENCH_SYSLOG_FILE not set");
    size_t syslog_before = kind == "syslog" ? file_lines(syslog_out, "pump 3 pressure") : 0;
    pid_t server = -1, snapper = -1;
    if (with_snaps) {
        server = server_child();
        snapper = fork();
        if (snapper == 0) {
            for (;;) {
                char answer[80];
                vek_rir_failure_info_t fi;
                vek_rir_server_exec(&fi, "snap", answer, sizeof(answer), 5);
            }
        }
    }
    double seconds = 0;
    uint64_t failed = 0;
    std::vector<uint64_t> lat = writers_run(kind, writers, processes, count, &seconds, &failed);
    uint64_t t_start_drain = now_ns();
    if (with_snaps) {
        kill(snapper, SIGKILL);
        waitpid(snapper, nullptr, 0);
        server_child_stop(server);
    }
    // Every call made, timed or not, must be found again.
    uint64_t calls = lat.size() + static_cast<uint64_t>(writers) * warmup_calls;
    uint64_t lost = failed;
    std::string name = kind + (processes ? "/procs" : "/threads") + (with_snaps ? "+snaps" : "");
    if (is_rir(kind)) {
        lost += rir_lost(seqno_before, calls - failed);
    } else if (kind == "syslog") {
        // Client side as timed; then until the collector has written everything.
        // The collector has written everything when all lines are there, or when nothing new
        // came for 3 s (the rest was dropped).
        size_t got = 0, last = 0;
        uint64_t t_change = now_ns();
        while (now_ns() - t_change < 3000000000u) {
            got = file_lines(syslog_out, "pump 3 pressure") - syslog_before;
            if (got >= calls)
                break;
            if (got != last) {
                last = got;
                t_change = now_ns();
            }
            usleep(20000);
        }
        uint64_t t_done = got >= calls ? now_ns() : t_change;
        double until_written = seconds + static_cast<double>(t_done - t_start_drain) / 1e9;
        lost += got < calls ? calls - got : 0;
        row(name, writers, lat, seconds, lost);
        printf("#drain\t%s\t%d\t%.0f\n", name.c_str(), writers,
               static_cast<double>(got) / until_written);
        return 0;
    }
#ifdef VEK_BENCH_HAVE_QB
    else if (kind == "qb") {
        size_t got = qb_read_back(processes ? writers : 1);
        lost += got < calls ? calls - got : 0;
    }
#endif
    else if (kind == "write") {
        struct stat st;
        if (fstat(write_fd, &st) == 0) {
            uint64_t lines = static_cast<uint64_t>(st.st_size) / VEK_RIR_RECORD_SIZE;
            lost += lines < calls ? calls - lines : 0;
        }
    }
    row(name, writers, lat, seconds, lost);
    return 0;
}

} // namespace

// The snapshot's time under the shared mutex, measured from inside: the binary is linked so
// that the snapshot's calls of lock and unlock come here first.
extern "C" {
int __real__Z17vek_rir_file_lockP22vek_rir_failure_info_s(vek_rir_failure_info_t *failure_info);
int __real__Z19vek_rir_file_unlockv();
}
static uint64_t lock_taken_ns;
static std::vector<uint64_t> *lock_holds;
extern "C" int __wrap__Z17vek_rir_file_lockP22vek_rir_failure_info_s(
    vek_rir_failure_info_t *failure_info)
{
    int rc = __real__Z17vek_rir_file_lockP22vek_rir_failure_info_s(failure_info);
    lock_taken_ns = now_ns();
    return rc;
}
extern "C" int __wrap__Z19vek_rir_file_unlockv()
{
    uint64_t held = now_ns() - lock_taken_ns;
    if (lock_holds != nullptr)
        lock_holds->push_back(held);
    return __real__Z19vek_rir_file_unlockv();
}

namespace {

int cmd_snap(size_t count)
{
    rir_next_seqno();
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_file_attach(VEK_RIR_TRUE, &fi) != 0)
        die(fi.text);
    for (uint64_t k = 0; k < VEK_RIR_RECORD_COUNT; k++)
        vek_rir_if_record_add(nullptr, 0, 0, k, bench_identity, bench_text.c_str());
    std::vector<uint64_t> holds, whole, copies;
    lock_holds = &holds;
    uint64_t t0 = now_ns();
    for (size_t k = 0; k < count; k++) {
        uint64_t t = now_ns();
        vek_rir_file_snap();
        whole.push_back(now_ns() - t);
    }
    double whole_secs = static_cast<double>(now_ns() - t0) / 1e9;
    lock_holds = nullptr;
    std::vector<uint8_t> buffer(VEK_RIR_FILE_SIZE);
    t0 = now_ns();
    for (size_t k = 0; k < count; k++) {
        uint64_t t = now_ns();
        memcpy(buffer.data(), vek_rir_header, VEK_RIR_FILE_SIZE);
        asm volatile("" : : "r"(buffer.data()) : "memory");
        copies.push_back(now_ns() - t);
    }
    double copy_secs = static_cast<double>(now_ns() - t0) / 1e9;
    // The same copy with a cold cache, as the snapshot's copy finds it after its own 3 MiB file
    // write: 32 MiB of other memory is touched before each copy, outside the timing.
    std::vector<uint8_t> evict(32u << 20);
    std::vector<uint64_t> cold;
    double cold_secs = 0;
    for (size_t k = 0; k < count; k++) {
        memset(evict.data(), static_cast<int>(k), evict.size());
        uint64_t t = now_ns();
        memcpy(buffer.data(), vek_rir_header, VEK_RIR_FILE_SIZE);
        asm volatile("" : : "r"(buffer.data()) : "memory");
        uint64_t took = now_ns() - t;
        cold.push_back(took);
        cold_secs += static_cast<double>(took) / 1e9;
    }
    double hold_secs = 0;
    for (uint64_t h : holds)
        hold_secs += static_cast<double>(h) / 1e9;
    vek_rir_file_detach();
    row("snap-lock-hold", 1, holds, hold_secs, 0);
    row("memcpy-3MiB", 1, copies, copy_secs, 0);
    row("memcpy-3MiB-cold", 1, cold, cold_secs, 0);
    row("snap-whole", 1, whole, whole_secs, 0);
    return 0;
}

// Two full normal logs: the live log filled past its ring, snapshotted twice with appends
// between so the two interleave.
void two_full_logs()
{
    rir_next_seqno();
    vek_rir_if_world_init(nullptr);
    for (int pass = 0; pass < 2; pass++) {
        for (uint64_t k = 0; k < VEK_RIR_RECORD_COUNT; k++)
            vek_rir_if_record_add(nullptr, 0, 0, k, bench_identity, bench_text.c_str());
        vek_rir_file_snap();
        rename(vek_rir_local_snap_path, pass == 0 ? "/vek_var/bench-src1.bin" : "/vek_var/bench-src2.bin");
    }
    vek_rir_if_world_deinit(nullptr);
}

int cmd_merge(size_t count)
{
    two_full_logs();
    std::vector<uint64_t> merges, bares;
    uint64_t t0 = now_ns();
    for (size_t k = 0; k < count; k++) {
        vek_rir_failure_info_t fi;
        uint64_t t = now_ns();
        if (vek_rir_cli_merge(&fi, "/vek_var/bench-src1.bin", "/vek_var/bench-src2.bin",
                              "/vek_var/bench-merged.bin") != VEK_RIR_RC_OK)
            die(fi.text);
        merges.push_back(now_ns() - t);
    }
    double merge_secs = static_cast<double>(now_ns() - t0) / 1e9;
    // The same system calls with nothing between them: open, header reads, size, sync, header
    // write, one positioned read per source record and one positioned write per merged record,
    // the final header, sync, close.
    t0 = now_ns();
    for (size_t k = 0; k < count; k++) {
        uint64_t t = now_ns();
        int s1 = open("/vek_var/bench-src1.bin", O_RDONLY);
        int s2 = open("/vek_var/bench-src2.bin", O_RDONLY);
        int d = open("/vek_var/bench-bare.bin", O_WRONLY | O_CREAT, 0644);
        static uint8_t header[VEK_RIR_HEADER_SIZE], record[VEK_RIR_RECORD_SIZE];
        bool ok = pread(s1, header, sizeof(header), 0) == sizeof(header) &&
                  pread(s2, header, sizeof(header), 0) == sizeof(header) &&
                  ftruncate(d, static_cast<off_t>(VEK_RIR_MERGED_FILE_SIZE)) == 0 && fsync(d) == 0 &&
                  pwrite(d, header, sizeof(header), 0) == sizeof(header);
        for (uint64_t i = 0; ok && i < 2 * VEK_RIR_RECORD_COUNT; i++) {
            int s = i % 2 ? s2 : s1;
            off_t at = static_cast<off_t>(VEK_RIR_HEADER_SIZE + (i / 2) * VEK_RIR_RECORD_SIZE);
            off_t to = static_cast<off_t>(VEK_RIR_HEADER_SIZE + i * VEK_RIR_RECORD_SIZE);
            ok = pread(s, record, sizeof(record), at) == sizeof(record) &&
                 pwrite(d, record, sizeof(record), to) == sizeof(record);
        }
        ok = ok && pwrite(d, header, sizeof(header), 0) == sizeof(header) && fsync(d) == 0;
        close(s1);
        close(s2);
        close(d);
        if (!ok)
            die("bare merge loop failed");
        bares.push_back(now_ns() - t);
    }
    double bare_secs = static_cast<double>(now_ns() - t0) / 1e9;
    row("merge-2-full", 1, merges, merge_secs, 0);
    row("bare-pread-pwrite", 1, bares, bare_secs, 0);
    return 0;
}

int walk_count(vek_rir_if_snap_iterate_cookie_t cookie, vek_rir_if_snap_iterate_record_t *)
{
    (*static_cast<uint64_t *>(cookie))++;
    return 0;
}

int cmd_exchange(size_t count)
{
    // A full merged log to fetch: two full snapshots as snapshot and peer copy.
    two_full_logs();
    rename("/vek_var/bench-src1.bin", vek_rir_local_snap_path);
    rename("/vek_var/bench-src2.bin", vek_rir_peer_path);
    pid_t server = server_child();
    std::vector<uint64_t> trips, fetches;
    uint64_t t0 = now_ns();
    for (size_t k = 0; k < count; k++) {
        char answer[80];
        vek_rir_failure_info_t fi;
        uint64_t t = now_ns();
        if (vek_rir_server_exec(&fi, "nothing", answer, sizeof(answer), 5) != VEK_RIR_RC_OK)
            die(fi.text);
        trips.push_back(now_ns() - t);
    }
    double trip_secs = static_cast<double>(now_ns() - t0) / 1e9;
    size_t fetch_count = std::max<size_t>(count / 100, 5);
    uint64_t walked = 0;
    t0 = now_ns();
    for (size_t k = 0; k < fetch_count; k++) {
        vek_rir_if_snap_info_t snap = {nullptr, 0};
        vek_rir_failure_info_t fi;
        uint64_t t = now_ns();
        if (vek_rir_if_snap_fetch_both(&fi, &snap, 30) != VEK_RIR_RC_OK)
            die(fi.text);
        uint64_t n = 0;
        vek_rir_if_snap_iterate(&snap, walk_count, &n, 0);
        vek_rir_if_snap_free(&snap);
        fetches.push_back(now_ns() - t);
        walked += n;
    }
    double fetch_secs = static_cast<double>(now_ns() - t0) / 1e9;
    server_child_stop(server);
    uint64_t expected = fetch_count * 2 * VEK_RIR_RECORD_COUNT;

    // The bare round trip: an abstract datagram to an echoing process and back.
    pid_t echo = fork();
    if (echo == 0) {
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        struct sockaddr_un a;
        vek_rir_command_address_build(&a, "BENCH_ECHO");
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        for (;;) {
            char b[80];
            struct sockaddr_un from;
            socklen_t len = sizeof(from);
            ssize_t got = recvfrom(fd, b, sizeof(b), 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (got > 0)
                sendto(fd, b, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un me, to;
    vek_rir_command_address_build(&me, "BENCH_CLIENT");
    vek_rir_command_address_build(&to, "BENCH_ECHO");
    bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof(me));
    usleep(100000);
    std::vector<uint64_t> bare;
    t0 = now_ns();
    for (size_t k = 0; k < count; k++) {
        char b[80] = "nothing";
        uint64_t t = now_ns();
        sendto(fd, b, 8, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
        if (recv(fd, b, sizeof(b), 0) <= 0)
            die("bare round trip failed");
        bare.push_back(now_ns() - t);
    }
    double bare_secs = static_cast<double>(now_ns() - t0) / 1e9;
    kill(echo, SIGKILL);
    waitpid(echo, nullptr, 0);
    row("nothing-round-trip", 1, trips, trip_secs, 0);
    row("bare-datagram-round-trip", 1, bare, bare_secs, 0);
    row("fetch-both+walk-24544", 1, fetches, fetch_secs, walked < expected ? expected - walked : 0);
    return 0;
}

// Appends without timing, for counting system calls and resident memory.
int cmd_plain(size_t count, bool report_rss)
{
    rir_next_seqno();
    if (vek_rir_if_world_init(nullptr) != VEK_RIR_RC_OK)
        die("cannot attach");
    for (size_t k = 0; k < count; k++)
        vek_rir_if_record_add(nullptr, 0, 0, k, bench_identity, bench_text.c_str());
    if (report_rss) {
        FILE *f = fopen("/proc/self/status", "r");
        char line[256];
        while (f != nullptr && fgets(line, sizeof(line), f) != nullptr)
            if (strncmp(line, "VmRSS:", 6) == 0 || strncmp(line, "RssAnon:", 8) == 0 ||
                strncmp(line, "RssFile:", 8) == 0 || strncmp(line, "RssShmem:", 9) == 0)
                printf("%s", line);
        if (f != nullptr)
            fclose(f);
    }
    vek_rir_if_world_deinit(nullptr);
    return 0;
}

// The longest legitimate holds of the shared mutex, against which its wait bound (5 s) is set:
// the snapshot's copy, a clear with its flush, and inhales of a normal and of a merged file
// with their flushes, each on a full live log. The rows give the percentiles; one "#max" line
// per kind gives the longest hold seen.
int cmd_holds(size_t count)
{
    two_full_logs();
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_cli_merge(&fi, "/vek_var/bench-src1.bin", "/vek_var/bench-src2.bin",
                          "/vek_var/bench-merged.bin") != VEK_RIR_RC_OK)
        die(fi.text);
    if (vek_rir_file_attach(VEK_RIR_TRUE, &fi) != 0)
        die(fi.text);
    auto fill = [] {
        for (uint64_t k = 0; k < VEK_RIR_RECORD_COUNT; k++)
            vek_rir_if_record_add(nullptr, 0, 0, k, bench_identity, bench_text.c_str());
    };
    struct kind_t {
        const char *name;
        std::vector<uint64_t> holds;
        double seconds;
    } kinds[] = {{"snap-lock-hold", {}, 0}, {"clear-lock-hold", {}, 0},
                 {"inhale-lock-hold", {}, 0}, {"inhale-merged-lock-hold", {}, 0}};
    for (size_t k = 0; k < count; k++) {
        for (size_t which = 0; which < 4; which++) {
            fill();
            lock_holds = &kinds[which].holds;
            uint64_t t = now_ns();
            if (which == 0)
                vek_rir_file_snap();
            else if (which == 1)
                vek_rir_file_clear();
            else
                vek_rir_file_inhale(which == 2 ? "/vek_var/bench-src1.bin"
                                               : "/vek_var/bench-merged.bin");
            kinds[which].seconds += static_cast<double>(now_ns() - t) / 1e9;
            lock_holds = nullptr;
        }
    }
    vek_rir_file_detach();
    for (kind_t &kind : kinds) {
        uint64_t longest = 0;
        for (uint64_t h : kind.holds)
            longest = std::max(longest, h);
        row(kind.name, 1, kind.holds, kind.seconds, 0);
        printf("#max\t%s\t%lu\n", kind.name, longest);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> a(argv + 1, argv + argc);
    auto num = [&](size_t i, size_t fallback) {
        return a.size() > i ? static_cast<size_t>(strtoull(a[i].c_str(), nullptr, 0)) : fallback;
    };
    if (a.size() >= 4 && a[0] == "append")
        return cmd_append(a[1], static_cast<int>(num(2, 1)), a[3] == "procs", num(4, 20000),
                          a.size() > 5 && a[5] == "snaps");
    if (!a.empty() && a[0] == "has-qb") {
#ifdef VEK_BENCH_HAVE_QB
        return 0;
#else
        return 1;
#endif
    }
    if (!a.empty() && a[0] == "snap")
        return cmd_snap(num(1, 200));
    if (!a.empty() && a[0] == "merge")
        return cmd_merge(num(1, 20));
    if (!a.empty() && a[0] == "holds")
        return cmd_holds(num(1, 20));
    if (!a.empty() && a[0] == "exchange")
        return cmd_exchange(num(1, 5000));
    if (!a.empty() && a[0] == "plain")
        return cmd_plain(num(1, 10000), a.size() > 2 && a[2] == "rss");
    fprintf(stderr,
            "usage: vek_rir_bench append rir|rir-interval100|floor|floor-nocheck|syslog|qb|write WRITERS "
            "threads|procs [COUNT] [snaps]\n"
            "       vek_rir_bench snap [COUNT] | merge [COUNT] | exchange [COUNT] | "
            "plain [COUNT] [rss] | holds [COUNT]\n");
    return 2;
}
