// Google Benchmark view of the single-process cases: the append against its floor with one and
// two threads, the snapshot against a plain copy of the mapping, and one publication of the
// server's health. Mean times per operation;
// the percentiles come from vek_rir_bench. Runs inside the private /vek_var of scripts/bench.

#include "vek_rir/vek_rir_int.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace {

const char text[] =
    "pump 3 pressure 4.71 bar above warning level 4.50 bar; valve V12 opened to 35 percent, "
    "controller loop 7 in manual mode since 00:00:12 by request 4711 of the op";

void attach_once()
{
    static bool done = false;
    if (done)
        return;
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_file_attach(VEK_RIR_TRUE, &fi) != 0) {
        fprintf(stderr, "vek_rir_gbench: %s\n", fi.text);
        exit(1);
    }
    done = true;
}

void BM_Append(benchmark::State &state)
{
    if (state.thread_index() == 0)
        attach_once();
    for (auto _ : state)
        vek_rir_if_record_add(nullptr, 0, VEK_RIR_CLASS_EVENT, 7, "bench.writer", text);
}
BENCHMARK(BM_Append)->Threads(1)->Threads(2)->UseRealTime();

struct floor_t {
    pthread_mutex_t *mutex = nullptr;
    uint8_t *base = nullptr;
    floor_t()
    {
        int fd = open("/vek_var/gbench-floor.bin", O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(VEK_RIR_FILE_SIZE)) != 0)
            exit(1);
        base = static_cast<uint8_t *>(
            mmap(nullptr, VEK_RIR_FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        mutex = reinterpret_cast<pthread_mutex_t *>(base + 1024);
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(mutex, &attr);
    }
};

// What one append needs by design, done bare: the free-space check, the lock, one clock
// reading, the record and the header stores, the unlock.
void BM_Floor(benchmark::State &state)
{
    static floor_t floor_file;
    uint8_t record[VEK_RIR_RECORD_SIZE] = {};
    for (auto _ : state) {
        struct statfs fs;
        access("/vek_var", W_OK);
        statfs("/vek_var", &fs);
        pthread_mutex_lock(floor_file.mutex);
        uint64_t *info = reinterpret_cast<uint64_t *>(floor_file.base);
        uint64_t seqno = info[3]++;
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        info[4] = static_cast<uint64_t>(ts.tv_sec);
        info[5] = static_cast<uint64_t>(ts.tv_nsec);
        memcpy(record, &seqno, sizeof(seqno));
        memcpy(floor_file.base + VEK_RIR_HEADER_SIZE +
                   (seqno % VEK_RIR_RECORD_COUNT) * VEK_RIR_RECORD_SIZE,
               record, sizeof(record));
        pthread_mutex_unlock(floor_file.mutex);
    }
}
BENCHMARK(BM_Floor)->Threads(1)->Threads(2)->UseRealTime();

void BM_Snapshot(benchmark::State &state)
{
    attach_once();
    for (auto _ : state)
        vek_rir_file_snap();
}
BENCHMARK(BM_Snapshot)->Unit(benchmark::kMicrosecond);

void BM_Memcpy3MiB(benchmark::State &state)
{
    attach_once();
    std::vector<uint8_t> buffer(VEK_RIR_FILE_SIZE);
    for (auto _ : state) {
        memcpy(buffer.data(), vek_rir_header, VEK_RIR_FILE_SIZE);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Memcpy3MiB)->Unit(benchmark::kMicrosecond);

// One publication of the server's health after a pass: the figures gathered (the peer copy's
// and merged log's newest records, the live log's counter, the free space), the status file and,
// with the argument 1, the metrics file, each written to a fresh companion, synced and renamed.
void BM_HealthPublish(benchmark::State &state)
{
    attach_once();
    mkdir("/vek_var/metrics", 0755);
    if (state.range(0) != 0)
        setenv("VEK_RIR_METRICS_DIR", "/vek_var/metrics", 1);
    else
        unsetenv("VEK_RIR_METRICS_DIR");
    vek_rir_health_server_start();
    char summary[200];
    for (auto _ : state)
        vek_rir_health_publish(true, summary, sizeof(summary));
    unsetenv("VEK_RIR_METRICS_DIR");
}
BENCHMARK(BM_HealthPublish)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
