// Crash torture of one node. In every round four writer processes append self-checking records
// as fast as they can, the tool's server runs its duties for a requester that keeps asking for
// snapshots, merges and mirrors, and a reader keeps reading every published file; meanwhile a
// writer is killed with SIGKILL every 0-3 ms and replaced, and the server is killed inside a
// duty once or twice and restarted. At the round's end every writer is killed at once, a fresh
// process must append within a bounded time, the server makes one whole pass, and the live
// log, the snapshot, the merged log and the mirror copies are checked exactly.
//
// A writer is killed while every other process that takes the shared mutex (the other writers
// and the server) is stopped, so the kill's effect can be read exactly: the lock word shows
// whether the victim died holding the mutex, and the slots claimed since show whether it died
// inside a claim. Every slot cut short that a later check finds must be one recorded at a kill,
// byte for byte; every other record must be whole and in its writer's order.
//
// Length: rounds run for about 40 s by default (a round takes about 1.3 s). By hand:
//   VEK_RIR_TORTURE_SECONDS=300  rounds for that many seconds instead;
//   VEK_RIR_TORTURE_ROUNDS=50    exactly that many rounds, whatever the time;
//   VEK_RIR_TORTURE_SEED=12345   the same random choices as the run that printed that seed
//                                (timing still differs from run to run).
// e.g. VEK_RIR_TORTURE_SECONDS=300 build-t/bin/vek_rir_tests --gtest_filter='Torture*'

#include "tests/vek_rir_persist.h"
#include "tests/vek_rir_wait.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace vek_rir_test;

namespace {

using steady = std::chrono::steady_clock;

constexpr int writer_count = 4;
// The code w * 1000000 + k keeps k below a million; a writer that gets this far ends itself.
constexpr uint64_t writer_k_max = 999999;
constexpr uint64_t done_flags = VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE;
constexpr uint64_t peer_record_count = 4000;
constexpr int round_msecs = 1000;
constexpr int writer_kill_gap_usecs_max = 3000;
// A server kill comes at a random moment of the 60 ms after a request (the files, the merge,
// the copies), or, one in three, as soon as the server is seen holding the mutex: it copies the
// mapping under it for well under a millisecond, which a random moment would hardly ever hit.
constexpr int server_kill_delay_usecs_max = 60000;
constexpr int server_lock_watch_msecs = 200;
constexpr char serve_out_path[] = "/vek_tmp/serve.out";
constexpr char serve_err_path[] = "/vek_tmp/serve.err";
constexpr char fetch_failure_line[] =
    "unable to fetch /vek_var/vek-rir-local-snap.bin from peer to "
    "/vek_var/vek-rir-fetch/vek-rir-peer.bin.tmp\n";

// ---- figures and state shared with the child processes ------------------------------------

struct writer_progress_t {
    std::atomic<uint64_t> returned; // appends that returned
    std::atomic<uint64_t> last_lb;  // next_seqno read before the last returned append began
};

struct shared_t {
    // Announced before the signal is sent, so a bound read after a file never falls short.
    std::atomic<uint64_t> writer_kills;
    std::atomic<uint64_t> writers_started;
    writer_progress_t progress[writer_count];
    std::atomic<uint64_t> requests_sent;
    std::atomic<uint64_t> requests_ok;
    std::atomic<uint64_t> requests_noserver;
    std::atomic<uint64_t> requests_other;
    std::atomic<uint64_t> files_checked;
    std::atomic<uint64_t> records_checked;
    std::atomic<uint64_t> reader_passes;
    std::atomic<uint64_t> failures;
    char failure[512];
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// ---- records ------------------------------------------------------------------------------

uint64_t writer_code(uint64_t writer, uint64_t k)
{
    return writer * 1000000 + k;
}

std::string writer_text(uint64_t writer, uint64_t k)
{
    return "w" + std::to_string(writer) + " k" + std::to_string(k);
}

std::string field(const char *bytes, size_t size)
{
    return std::string(bytes, strnlen(bytes, size));
}

std::string record_bytes(const std::string &file, uint64_t index)
{
    return file.substr(VEK_RIR_HEADER_SIZE + index * VEK_RIR_RECORD_SIZE, VEK_RIR_RECORD_SIZE);
}

// Everything but the sequence number, which a merge renumbers.
bool same_but_seqno(const vek_rir_record_real_t &a, const vek_rir_record_real_t &b)
{
    return memcmp(reinterpret_cast<const char *>(&a) + 8, reinterpret_cast<const char *>(&b) + 8,
                  VEK_RIR_RECORD_SIZE - 8) == 0;
}

bool zero_but_seqno(const vek_rir_record_real_t &r)
{
    vek_rir_record_real_t zero;
    memset(&zero, 0, sizeof(zero));
    return same_but_seqno(r, zero);
}

// A record some writer made whole: its flags, identity, code and text agree.
std::string whole_error(const vek_rir_record_real_t &r, uint64_t writers_started)
{
    if (r.flags != done_flags)
        return "flags " + std::to_string(r.flags);
    if (field(r.identity, sizeof(r.identity)) != "writer")
        return "identity '" + field(r.identity, sizeof(r.identity)) + "'";
    uint64_t writer = r.code / 1000000;
    uint64_t k = r.code % 1000000;
    if (writer >= writers_started)
        return "code " + std::to_string(r.code) + " of a writer never started";
    if (field(r.text, sizeof(r.text)) != writer_text(writer, k))
        return "text '" + field(r.text, sizeof(r.text)) + "' with code " + std::to_string(r.code);
    if (r.time_usecs >= 1000000)
        return "microseconds " + std::to_string(r.time_usecs);
    return "";
}

std::string header_error(const std::string &bytes, uint64_t size, uint64_t record_count)
{
    if (bytes.size() != size)
        return "size " + std::to_string(bytes.size());
    vek_rir_header_t header;
    memcpy(&header, bytes.data(), sizeof(header));
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (vek_rir_helper_header_validate(&failure_info, &header, "file") != 0)
        return vek_rir_failure_info_text(&failure_info);
    if (vek_rir_helper_info(&header).record_count != record_count)
        return "record count " + std::to_string(vek_rir_helper_info(&header).record_count);
    bool merged = (vek_rir_helper_info(&header).flags & VEK_RIR_HEADER_FLAG_MERGED) != 0;
    if (merged != (record_count == VEK_RIR_MERGED_RECORD_COUNT))
        return "header flags " + std::to_string(vek_rir_helper_info(&header).flags);
    return "";
}

// ---- normal logs: the live log, the snapshot and its mirror copy ---------------------------

// A slot that a writer killed inside its claim left: USED without COMPLETE (stamped, maybe
// partly filled), or still its previous contents (killed after taking the sequence number and
// before stamping the slot). Keyed by the sequence number the slot should hold.
struct anomaly_t {
    uint64_t seqno;
    bool incomplete;
    std::string bytes;
};

struct log_summary_t {
    uint64_t next_seqno = 0;
    uint64_t records = 0;
    std::vector<anomaly_t> anomalies;
    std::map<uint64_t, uint64_t> last_k; // writer -> k of its newest whole record
};

bool previous_contents(const vek_rir_record_real_t &r, uint64_t seqno, uint64_t writers_started)
{
    if (r.seqno < seqno && (seqno - r.seqno) % VEK_RIR_RECORD_COUNT == 0)
        return whole_error(r, writers_started).empty();
    return seqno < VEK_RIR_RECORD_COUNT && r.seqno == 0 && zero_but_seqno(r);
}

// The ring walked oldest first: dense sequence numbers, every record whole, each writer's
// records one after another in its own order (k up by one), times never going back; a slot cut
// short is reported as an anomaly for the caller to account for.
std::string log_error(const std::string &bytes, uint64_t writers_started, log_summary_t *s)
{
    std::string error = header_error(bytes, VEK_RIR_FILE_SIZE, VEK_RIR_RECORD_COUNT);
    if (!error.empty())
        return error;
    uint64_t n = file_info(bytes).next_seqno;
    s->next_seqno = n;
    uint64_t first = n > VEK_RIR_RECORD_COUNT ? n - VEK_RIR_RECORD_COUNT : 0;
    uint64_t last_secs = 0, last_usecs = 0;
    for (uint64_t seqno = first; seqno < n; seqno++) {
        uint64_t index = seqno % VEK_RIR_RECORD_COUNT;
        vek_rir_record_real_t r = file_record(bytes, index);
        std::string where = "seqno " + std::to_string(seqno) + ": ";
        s->records++;
        if (r.seqno == seqno && r.flags == done_flags) {
            error = whole_error(r, writers_started);
            if (!error.empty())
                return where + "torn record: " + error;
            uint64_t writer = r.code / 1000000;
            uint64_t k = r.code % 1000000;
            auto it = s->last_k.find(writer);
            if (it != s->last_k.end() && k != it->second + 1)
                return where + "writer " + std::to_string(writer) + " record " +
                       std::to_string(k) + " follows its record " + std::to_string(it->second);
            s->last_k[writer] = k;
            if (r.time_secs < last_secs || (r.time_secs == last_secs && r.time_usecs < last_usecs))
                return where + "time goes back";
            last_secs = r.time_secs;
            last_usecs = r.time_usecs;
        } else if ((r.flags & done_flags) == VEK_RIR_RECORD_FLAG_USED) {
            s->anomalies.push_back({seqno, true, record_bytes(bytes, index)});
        } else if (previous_contents(r, seqno, writers_started)) {
            s->anomalies.push_back({seqno, false, record_bytes(bytes, index)});
        } else {
            return where + "slot holds seqno " + std::to_string(r.seqno) + " flags " +
                   std::to_string(r.flags) +
                   ": neither its record, nor a claim cut short, nor its previous contents";
        }
    }
    return "";
}

// ---- merged logs --------------------------------------------------------------------------

struct merged_summary_t {
    uint64_t records = 0;
    uint64_t local_anomalies = 0;
    std::vector<vek_rir_record_real_t> local; // this node's records in merged order
    std::vector<vek_rir_record_real_t> walk;
};

// Renumbered from 0; the peer's records all there, whole and in their order; this node's
// records whole, or slots cut short that the snapshot carried.
std::string merged_error(const std::string &bytes, const std::vector<vek_rir_record_real_t> &peer,
                         uint64_t writers_started, merged_summary_t *s)
{
    std::string error = header_error(bytes, VEK_RIR_MERGED_FILE_SIZE, VEK_RIR_MERGED_RECORD_COUNT);
    if (!error.empty())
        return error;
    uint64_t m = file_info(bytes).next_seqno;
    if (m < peer.size() || m - peer.size() > VEK_RIR_RECORD_COUNT)
        return "next seqno " + std::to_string(m) + " with " + std::to_string(peer.size()) +
               " peer records";
    s->walk = file_walk(bytes);
    size_t peer_next = 0;
    for (uint64_t i = 0; i < s->walk.size(); i++) {
        const vek_rir_record_real_t &r = s->walk[i];
        std::string where = "position " + std::to_string(i) + ": ";
        s->records++;
        if (r.seqno != i)
            return where + "seqno " + std::to_string(r.seqno);
        if (field(r.identity, sizeof(r.identity)) == "peer") {
            if (peer_next >= peer.size() || !same_but_seqno(r, peer[peer_next]))
                return where + "peer record '" + field(r.text, sizeof(r.text)) +
                       "' where peer record " + std::to_string(peer_next) + " belongs";
            peer_next++;
            continue;
        }
        if (r.flags == done_flags) {
            error = whole_error(r, writers_started);
            if (!error.empty())
                return where + "torn record: " + error;
        } else if ((r.flags & done_flags) == VEK_RIR_RECORD_FLAG_USED || zero_but_seqno(r)) {
            s->local_anomalies++;
        } else {
            return where + "flags " + std::to_string(r.flags);
        }
        s->local.push_back(r);
    }
    if (peer_next != peer.size())
        return std::to_string(peer.size() - peer_next) + " peer records missing";
    return "";
}


// ---- published files ----------------------------------------------------------------------

struct published_t {
    std::vector<vek_rir_record_real_t> peer_walk;
    std::string peer_bytes;
};

// What a file may hold, read after the file itself so that it covers everything in it.
struct bounds_t {
    uint64_t writers_started = 0;
    uint64_t anomalies_max = 0; // slots cut short that the kills so far account for
};

struct check_count_t {
    uint64_t files = 0;
    uint64_t records = 0;
};

enum published_files_t : unsigned {
    files_snapshot = 1,
    files_merged = 2,
    files_mirrors = 4,
    files_all = 7,
};

// Every published file of the kinds asked that exists is whole and consistent. `anomaly_known`
// returns why a slot cut short in a normal log is not accounted for, or "".
std::vector<std::string> published_errors(
    const published_t &published, unsigned files, const std::function<bounds_t()> &bounds,
    const std::function<std::string(const anomaly_t &)> &anomaly_known, check_count_t *count)
{
    std::vector<std::string> errors;
    auto asked = [files](const char *path) {
        std::string p = path;
        unsigned kind = p.rfind(vek_rir_mirror_dir_path, 0) == 0 ? files_mirrors
                        : p == vek_rir_local_snap_path          ? files_snapshot
                                                                : files_merged;
        return (files & kind) != 0;
    };
    for (const char *path : {vek_rir_local_snap_path, vek_rir_local_mirror_path}) {
        if (!asked(path) || !path_exists(path))
            continue;
        std::string bytes = read_file(path);
        bounds_t b = bounds();
        log_summary_t s;
        std::string error = log_error(bytes, b.writers_started, &s);
        if (error.empty() && s.anomalies.size() > b.anomalies_max)
            error = std::to_string(s.anomalies.size()) + " slots cut short, more than the " +
                    std::to_string(b.anomalies_max) + " the kills account for";
        for (const anomaly_t &a : s.anomalies)
            if (error.empty())
                error = anomaly_known(a);
        if (!error.empty())
            errors.push_back(std::string(path) + ": " + error);
        count->files++;
        count->records += s.records;
    }
    for (const char *path : {vek_rir_merged_path, vek_rir_merged_mirror_path}) {
        if (!asked(path) || !path_exists(path))
            continue;
        std::string bytes = read_file(path);
        bounds_t b = bounds();
        merged_summary_t s;
        std::string error = merged_error(bytes, published.peer_walk, b.writers_started, &s);
        if (error.empty() && s.local_anomalies > b.anomalies_max)
            error = std::to_string(s.local_anomalies) + " slots cut short, more than the " +
                    std::to_string(b.anomalies_max) + " the kills account for";
        if (!error.empty())
            errors.push_back(std::string(path) + ": " + error);
        count->files++;
        count->records += s.records;
    }
    for (const char *path : {vek_rir_peer_path, vek_rir_peer_mirror_path}) {
        if (!asked(path) || !path_exists(path))
            continue;
        if (!(read_file(path) == published.peer_bytes))
            errors.push_back(std::string(path) + ": not the peer copy");
        count->files++;
        count->records += published.peer_walk.size();
    }
    return errors;
}

// The temporary companions present now.
std::vector<std::string> temporaries()
{
    std::vector<std::string> found;
    for (const char *dir_path : {vek_rir_parent_path, vek_rir_mirror_dir_path}) {
        DIR *dir = opendir(dir_path);
        if (dir == nullptr)
            continue;
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)
                found.push_back(std::string(dir_path) + "/" + name);
        }
        closedir(dir);
    }
    return found;
}

// ---- child processes ----------------------------------------------------------------------

int writer_main(uint64_t writer, writer_progress_t *progress)
{
    vek_rir_failure_info_t failure_info;
    if (vek_rir_if_world_init(&failure_info) != VEK_RIR_RC_OK) {
        fprintf(stderr, "writer %" PRIu64 ": %s\n", writer, failure_info.text);
        return 3;
    }
    const uint64_t *next_seqno = &vek_rir_helper_info(vek_rir_header).next_seqno;
    char text[64];
    for (uint64_t k = 0; k <= writer_k_max; k++) {
        // Read before the append: a lower bound of the sequence number the append gets.
        uint64_t lb = __atomic_load_n(next_seqno, __ATOMIC_ACQUIRE);
        snprintf(text, sizeof(text), "w%" PRIu64 " k%" PRIu64, writer, k);
        if (vek_rir_if_record_add(&failure_info, 0, VEK_RIR_CLASS_STEP, writer_code(writer, k),
                                  "writer", text) != VEK_RIR_RC_OK) {
            fprintf(stderr, "writer %" PRIu64 ": %s\n", writer, failure_info.text);
            return 2;
        }
        // In this order a kill between the two stores leaves a bound that is lower, not higher.
        progress->returned.store(k + 1);
        progress->last_lb.store(lb);
    }
    vek_rir_if_world_deinit(nullptr);
    return 0;
}

void child_fail(shared_t *shared, const std::string &text)
{
    if (shared->failures.fetch_add(1) == 0)
        snprintf(shared->failure, sizeof(shared->failure), "%s", text.c_str());
}

// Sends requests to the server for as long as it lives (a dead server only slows it down) and
// checks what every answered request published, against the kills announced so far.
int requester_main(shared_t *shared, uint64_t seed, const published_t &published)
{
    std::mt19937_64 random(seed);
    const char *const requests[] = {"snap", "merge", "all", "flush", "mirror-local",
                                    "mirror-peer-and-merge", "all-but-mirror-peer", "nothing"};
    for (;;) {
        const char *request = requests[random() % (sizeof(requests) / sizeof(requests[0]))];
        vek_rir_failure_info_t failure_info;
        vek_rir_failure_info_clear(&failure_info);
        char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
        shared->requests_sent++;
        vek_rir_rc_t rc =
            vek_rir_server_exec(&failure_info, request, response, sizeof(response), 2);
        if (rc != VEK_RIR_RC_OK) {
            if (strcmp(failure_info.text, "noserver") == 0)
                shared->requests_noserver++;
            else
                shared->requests_other++;
        } else if (strcmp(response, "ok") != 0) {
            child_fail(shared, std::string(request) + " answered '" + response + "'");
        } else {
            shared->requests_ok++;
            unsigned files = 0;
            if (strcmp(request, "snap") == 0)
                files = files_snapshot;
            else if (strcmp(request, "merge") == 0 || strcmp(request, "mirror-peer-and-merge") == 0)
                files = files_snapshot | files_merged;
            else if (strcmp(request, "mirror-local") == 0)
                files = files_snapshot | files_mirrors;
            else if (strncmp(request, "all", 3) == 0)
                files = files_all;
            if (files != 0) {
                check_count_t count;
                auto bounds = [shared] {
                    bounds_t b;
                    b.writers_started = shared->writers_started.load();
                    b.anomalies_max = shared->writer_kills.load();
                    return b;
                };
                auto any_anomaly = [](const anomaly_t &) { return std::string(); };
                for (const std::string &e :
                     published_errors(published, files, bounds, any_anomaly, &count))
                    child_fail(shared, std::string("after ") + request + ": " + e);
                shared->files_checked += count.files;
                shared->records_checked += count.records;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 10000));
    }
}

// Reads every published file over and over, whatever the server is doing: a file is replaced
// whole or not at all, so a reader at any moment finds it whole.
int reader_main(shared_t *shared, const published_t &published)
{
    for (;;) {
        check_count_t count;
        auto bounds = [shared] {
            bounds_t b;
            b.writers_started = shared->writers_started.load();
            b.anomalies_max = shared->writer_kills.load();
            return b;
        };
        auto any_anomaly = [](const anomaly_t &) { return std::string(); };
        for (const std::string &e : published_errors(published, files_all, bounds, any_anomaly,
                                                     &count))
            child_fail(shared, "reader: " + e);
        shared->files_checked += count.files;
        shared->records_checked += count.records;
        shared->reader_passes++;
        // A pause between passes leaves the CPU to the writers and to the kills.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int checker_main(uint64_t writer)
{
    vek_rir_failure_info_t failure_info;
    if (vek_rir_if_world_init(&failure_info) != VEK_RIR_RC_OK)
        return 3;
    std::string text = writer_text(writer, 0);
    if (vek_rir_if_record_add(&failure_info, 0, VEK_RIR_CLASS_STEP, writer_code(writer, 0),
                              "writer", text.c_str()) != VEK_RIR_RC_OK)
        return 2;
    vek_rir_if_world_deinit(nullptr);
    return 0;
}

// ---- the torture --------------------------------------------------------------------------

struct settings_t {
    int seconds = 40;
    int rounds = 0; // 0: as many as the seconds allow
    uint64_t seed = 0;
};

settings_t settings_read()
{
    settings_t s;
    if (const char *v = getenv("VEK_RIR_TORTURE_SECONDS"))
        s.seconds = std::max(1, atoi(v));
    if (const char *v = getenv("VEK_RIR_TORTURE_ROUNDS"))
        s.rounds = std::max(1, atoi(v));
    s.seed = std::random_device{}();
    if (const char *v = getenv("VEK_RIR_TORTURE_SEED"))
        s.seed = strtoull(v, nullptr, 0);
    return s;
}

struct figures_t {
    uint64_t rounds = 0;
    uint64_t writer_kills = 0;
    uint64_t kills_in_mutex = 0;       // the victim died holding the mutex
    uint64_t kills_before_claim = 0;   // ... having taken it, before its claim
    uint64_t kills_claim_used = 0;     // ... between claim and complete: USED without COMPLETE
    uint64_t kills_claim_unstamped = 0;// ... claimed, slot still its previous contents
    uint64_t kills_after_complete = 0; // ... complete, before the unlock
    uint64_t server_kills = 0;
    uint64_t server_kills_in_mutex = 0;
    uint64_t server_kills_left_tmp = 0;
    uint64_t server_stops_term = 0;
    uint64_t server_stops_idle_kill = 0;
    uint64_t rounds_end_dead_owner = 0;
    uint64_t dead_owner_appends = 0;    // dead owners met by a fresh process's bounded append
    uint64_t append_usecs_max = 0;      // the longest of those appends and the rounds' last
    uint64_t cut_short_recorded = 0;    // distinct slots that kills inside a claim left
    uint64_t cut_short_found_again = 0; // ... found again by the checks of the live log
    uint64_t files_checked = 0;
    uint64_t records_checked = 0;
};

struct lock_word_t {
    uint32_t lock = 0;
    int owner = 0;
};

struct writer_proc_t {
    pid_t pid = 0;
    uint64_t id = 0;
};

struct writer_end_t {
    uint64_t id;
    uint64_t returned;
    uint64_t last_lb;
};

std::string status_text(int status)
{
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// For a child that was sent SIGKILL: its status, or -1 (and a failure) when it did not die
// within the bound.
int reap(pid_t pid)
{
    int status = -1;
    if (child_wait(pid, &status, signal_limit) == 0) {
        ADD_FAILURE() << "process " << pid << " did not die within " << signal_limit.count()
                      << " ms of SIGKILL";
        return -1;
    }
    return status;
}

class torture_t {
public:
    torture_t(const settings_t &settings, shared_t *shared, published_t published)
        : settings_(settings), shared_(shared), published_(std::move(published)),
          random_(settings.seed)
    {
    }

    ~torture_t()
    {
        // Whatever an early return left running ends before the sandbox goes away.
        for (writer_proc_t &w : writers_)
            end_child(w.pid);
        end_child(requester_);
        end_child(reader_);
        end_child(server_);
        if (live_fd_ >= 0)
            close(live_fd_);
    }

    figures_t figures() const
    {
        figures_t f = figures_;
        f.cut_short_recorded = cut_short_.size();
        return f;
    }

    void run()
    {
        steady::time_point start = steady::now();
        for (int round = 0; !failed_; round++) {
            if (settings_.rounds > 0 ? round >= settings_.rounds
                                     : round > 0 && steady::now() - start >=
                                                        std::chrono::seconds(settings_.seconds))
                break;
            run_round(round);
            figures_.rounds++;
        }
    }

private:
    void fail(const std::string &text)
    {
        ADD_FAILURE() << text;
        failed_ = true;
    }

    static void end_child(pid_t &pid)
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            reap(pid);
        }
        pid = 0;
    }

    pid_t spawn(const std::function<int()> &body)
    {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int rc = 127;
            try {
                rc = body();
            } catch (...) {
            }
            _exit(rc);
        }
        if (pid < 0)
            fail(std::string("fork: ") + strerror(errno));
        return pid;
    }

    // The tool's server, its output kept across restarts for the report of a failure.
    void server_start()
    {
        fflush(nullptr);
        server_ = fork();
        if (server_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int out = open(serve_out_path, O_WRONLY | O_CREAT | O_APPEND, 0644);
            int err = open(serve_err_path, O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
                _exit(126);
            execl(VEK_RIR_TOOL_PATH, VEK_RIR_TOOL_PATH, "-o", "rir_serve", "-r", "0",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        if (server_ < 0)
            fail(std::string("fork: ") + strerror(errno));
    }

    std::string server_output() const
    {
        return "server stdout: '" + read_file(serve_out_path) + "' stderr: '" +
               read_file(serve_err_path) + "'";
    }

    bool server_answers(int seconds)
    {
        steady::time_point deadline = steady::now() + std::chrono::seconds(seconds);
        while (steady::now() < deadline) {
            vek_rir_failure_info_t failure_info;
            char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
            if (vek_rir_server_exec(&failure_info, "nothing", response, sizeof(response), 1) ==
                VEK_RIR_RC_OK)
                return true;
            server_alive_check();
            if (failed_)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // A server ends only when the test ends it.
    void server_alive_check()
    {
        int status = 0;
        if (server_ > 0 && waitpid(server_, &status, WNOHANG) == server_) {
            server_ = 0;
            fail("the server ended by itself: " + status_text(status) + "; " + server_output());
        }
    }

    void writer_start(int pos)
    {
        writer_proc_t &w = writers_[pos];
        w.id = shared_->writers_started.fetch_add(1);
        writer_progress_t *progress = &shared_->progress[pos];
        progress->returned.store(0);
        progress->last_lb.store(0);
        uint64_t id = w.id;
        w.pid = spawn([id, progress] {
            // Below the test's priority: the writers it continues after a kill must not hold
            // the CPU it needs to time the next one.
            errno = 0;
            if (nice(10) == -1 && errno != 0)
                return 4;
            return writer_main(id, progress);
        });
    }

    // A writer ends by our SIGKILL, or by itself only at the end of its codes.
    void writer_ended(int pos, int status)
    {
        writer_proc_t &w = writers_[pos];
        writer_end_t end{w.id, shared_->progress[pos].returned.load(),
                         shared_->progress[pos].last_lb.load()};
        ended_.push_back(end);
        bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        bool finished = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                        end.returned == writer_k_max + 1;
        if (!killed && !finished)
            fail("writer " + std::to_string(w.id) + " ended with " + status_text(status) +
                 " after " + std::to_string(end.returned) + " appends");
        w.pid = 0;
    }

    // Waits until the process, sent SIGSTOP, is stopped; false when it had ended instead.
    // One that does not stop within the bound fails the test and is killed.
    static bool stopped_wait(pid_t pid, int *status)
    {
        int st = 0;
        int rc = child_wait(pid, &st, signal_limit, WUNTRACED);
        if (rc == 1 && WIFSTOPPED(st))
            return true;
        *status = rc == 1 ? st : -1;
        if (rc == 0) {
            ADD_FAILURE() << "process " << pid << " did not stop within " << signal_limit.count()
                          << " ms of SIGSTOP; killed it";
            child_kill(pid);
        }
        return false;
    }

    // Stops every process that takes the shared mutex, but the writer at `except`. All are
    // signalled first, so their ways to the stop overlap.
    std::vector<pid_t> stop_lockers(int except, bool with_server)
    {
        std::vector<pid_t> stopped;
        for (int pos = 0; pos < writer_count; pos++)
            if (pos != except && writers_[pos].pid > 0)
                kill(writers_[pos].pid, SIGSTOP);
        if (with_server && server_ > 0)
            kill(server_, SIGSTOP);
        for (int pos = 0; pos < writer_count; pos++) {
            if (pos == except || writers_[pos].pid <= 0)
                continue;
            int status = 0;
            if (stopped_wait(writers_[pos].pid, &status))
                stopped.push_back(writers_[pos].pid);
            else
                writer_ended(pos, status);
        }
        if (with_server && server_ > 0) {
            int status = 0;
            if (stopped_wait(server_, &status)) {
                stopped.push_back(server_);
            } else {
                server_ = 0;
                fail("the server ended by itself: " + status_text(status) + "; " +
                     server_output());
            }
        }
        return stopped;
    }

    static void resume(const std::vector<pid_t> &stopped)
    {
        for (pid_t pid : stopped)
            kill(pid, SIGCONT);
    }

    void live_open()
    {
        if (live_fd_ < 0)
            live_fd_ = open(vek_rir_local_path, O_RDONLY | O_CLOEXEC);
        if (live_fd_ < 0)
            fail(std::string("open the live log: ") + strerror(errno));
    }

    vek_rir_header_t live_header()
    {
        vek_rir_header_t header;
        memset(&header, 0, sizeof(header));
        if (pread(live_fd_, &header, sizeof(header), 0) != static_cast<ssize_t>(sizeof(header)))
            fail("short read of the live header");
        return header;
    }

    lock_word_t lock_read()
    {
        vek_rir_header_t header = live_header();
        const pthread_mutex_t &mutex = vek_rir_helper_lock(&header).mutex_body;
        return lock_word_t{static_cast<uint32_t>(mutex.__data.__lock), mutex.__data.__owner};
    }

    // The live log's next_seqno and the lock word, read together before a kill.
    struct before_t {
        lock_word_t word;
        uint64_t next_seqno = 0;
    };

    before_t before_read()
    {
        vek_rir_header_t header = live_header();
        const pthread_mutex_t &mutex = vek_rir_helper_lock(&header).mutex_body;
        before_t before;
        before.word = lock_word_t{static_cast<uint32_t>(mutex.__data.__lock), mutex.__data.__owner};
        before.next_seqno = vek_rir_helper_info(&header).next_seqno;
        return before;
    }

    // Read right after the deaths, while nothing alive can take the mutex: did the dead hold
    // it, and what did they leave in the slots claimed since `before`? Only the dead claimed
    // those, so every one cut short is theirs. So is the claim just before, unless a stopped
    // process holds the mutex (then that claim is its own, in progress): a victim may have
    // been inside that claim when `before` was read. `victims` holds each dead writer's
    // record in flight (writer, k).
    // Returns whether the mutex is left with a dead owner.
    bool death_inspect(const before_t &before, const std::vector<pid_t> &dead,
                       const std::vector<std::pair<uint64_t, uint64_t>> &victims, bool server,
                       bool round_end)
    {
        lock_word_t after = lock_read();
        uint32_t owner_tid = after.lock & FUTEX_TID_MASK;
        for (pid_t pid : dead)
            if (owner_tid == static_cast<uint32_t>(pid))
                fail("the mutex still names the dead process " + std::to_string(pid) +
                     " as its owner, without the owner-died mark");
        vek_rir_header_t header = live_header();
        uint64_t n = vek_rir_helper_info(&header).next_seqno;
        if (server && n != before.next_seqno)
            fail("records were claimed while every writer was stopped");
        uint64_t writers_started = shared_->writers_started.load();
        uint64_t first = n > VEK_RIR_RECORD_COUNT ? n - VEK_RIR_RECORD_COUNT : 0;
        uint64_t cut_now = 0;
        bool live_owner = owner_tid != 0 && (after.lock & FUTEX_OWNER_DIED) == 0;
        uint64_t from = before.next_seqno > 0 && !live_owner ? before.next_seqno - 1
                                                             : before.next_seqno;
        for (uint64_t seqno = std::max(first, from); seqno < n; seqno++) {
            std::string bytes(VEK_RIR_RECORD_SIZE, '\0');
            off_t offset = static_cast<off_t>(VEK_RIR_HEADER_SIZE + (seqno % VEK_RIR_RECORD_COUNT) *
                                                                        VEK_RIR_RECORD_SIZE);
            if (pread(live_fd_, bytes.data(), bytes.size(), offset) !=
                static_cast<ssize_t>(bytes.size())) {
                fail("short read of a live slot");
                return false;
            }
            vek_rir_record_real_t r;
            memcpy(&r, bytes.data(), sizeof(r));
            std::string where = "seqno " + std::to_string(seqno) + " after a death: ";
            if (r.seqno == seqno && r.flags == done_flags) {
                std::string error = whole_error(r, writers_started);
                if (!error.empty())
                    fail(where + "torn record: " + error);
                continue;
            }
            bool incomplete = (r.flags & done_flags) == VEK_RIR_RECORD_FLAG_USED;
            if (!incomplete && !previous_contents(r, seqno, writers_started)) {
                fail(where + "slot holds seqno " + std::to_string(r.seqno) + " flags " +
                     std::to_string(r.flags));
                continue;
            }
            auto it = cut_short_.find(seqno);
            if (it != cut_short_.end()) {
                // Left by an earlier kill: it must be as that kill left it.
                if (!(it->second.bytes == bytes))
                    fail(where + "changed since its claim was cut short");
                continue;
            }
            if (server) {
                fail(where + "cut short by a server kill, but the server claims no slot");
                continue;
            }
            cut_short_[seqno] = anomaly_t{seqno, incomplete, bytes};
            cut_now++;
            (incomplete ? figures_.kills_claim_used : figures_.kills_claim_unstamped)++;
        }
        // Marked before as well: an earlier death that nobody has recovered yet, so the mark
        // alone does not tell whether this one died holding the mutex too.
        bool owner_dead = (after.lock & FUTEX_OWNER_DIED) != 0;
        bool died_holding = owner_dead && (before.word.lock & FUTEX_OWNER_DIED) == 0;
        if (!died_holding && cut_now == 0)
            return owner_dead;
        if (server) {
            figures_.server_kills_in_mutex++;
            return owner_dead;
        }
        figures_.kills_in_mutex++;
        if (round_end)
            figures_.rounds_end_dead_owner++;
        if (cut_now != 0 || n == 0)
            return owner_dead;
        // The owner died outside a claim: after it had taken the mutex, or after its record was
        // complete and before it let go.
        vek_rir_record_real_t last = file_record_live(n - 1);
        bool own = false;
        for (const auto &v : victims)
            own = own || last.code == writer_code(v.first, v.second);
        (own ? figures_.kills_after_complete : figures_.kills_before_claim)++;
        return owner_dead;
    }

    vek_rir_record_real_t file_record_live(uint64_t seqno)
    {
        vek_rir_record_real_t r;
        memset(&r, 0, sizeof(r));
        off_t offset = static_cast<off_t>(VEK_RIR_HEADER_SIZE + (seqno % VEK_RIR_RECORD_COUNT) *
                                                                    VEK_RIR_RECORD_SIZE);
        if (pread(live_fd_, &r, sizeof(r), offset) != static_cast<ssize_t>(sizeof(r)))
            fail("short read of a live slot");
        return r;
    }

    // A slot cut short that a check found must be one recorded at a kill, unchanged.
    std::string anomaly_known(const anomaly_t &a) const
    {
        auto it = cut_short_.find(a.seqno);
        if (it == cut_short_.end())
            return "seqno " + std::to_string(a.seqno) + " is cut short (" +
                   (a.incomplete ? "USED without COMPLETE" : "previous contents") +
                   ") but no kill inside a claim left it";
        if (!(it->second.bytes == a.bytes))
            return "seqno " + std::to_string(a.seqno) + " differs from what its kill left";
        return "";
    }

    bounds_t bounds() const
    {
        bounds_t b;
        b.writers_started = shared_->writers_started.load();
        b.anomalies_max = cut_short_.size();
        return b;
    }

    void published_check(const std::string &when)
    {
        check_count_t count;
        std::vector<std::string> errors = published_errors(
            published_, files_all, [this] { return bounds(); },
            [this](const anomaly_t &a) { return anomaly_known(a); }, &count);
        for (const std::string &e : errors)
            fail(when + ": " + e);
        figures_.files_checked += count.files;
        figures_.records_checked += count.records;
    }

    void writer_kill(int pos)
    {
        writer_proc_t &w = writers_[pos];
        if (w.pid <= 0)
            return;
        std::vector<pid_t> stopped = stop_lockers(pos, true);
        before_t before = before_read();
        shared_->writer_kills++;
        figures_.writer_kills++;
        pid_t pid = w.pid;
        uint64_t id = w.id;
        kill(pid, SIGKILL);
        writer_ended(pos, reap(pid));
        uint64_t in_flight = ended_.back().returned;
        if (death_inspect(before, {pid}, {{id, in_flight}}, false, false))
            dead_owner_meet(stopped);
        resume(stopped);
    }

    // Every other dead owner a kill leaves is met by a fresh process while everything else is
    // still stopped; the others are left to the writers, whichever of them locks first. Not
    // while a stopped process is inside its attach: it holds the attach domain, and the fresh
    // process would wait for it, not for the mutex.
    void dead_owner_meet(const std::vector<pid_t> &stopped)
    {
        if (attach_domain_held(stopped))
            return;
        dead_owner_turn_ = !dead_owner_turn_;
        if (!dead_owner_turn_)
            return;
        checker_append(shared_->writers_started.fetch_add(1));
        figures_.dead_owner_appends++;
    }

    // Whether one of `pids` holds a file lock; the attach domain is the only one taken.
    static bool attach_domain_held(const std::vector<pid_t> &pids)
    {
        std::string locks = read_file("/proc/locks");
        size_t at = 0;
        while (at < locks.size()) {
            size_t end = locks.find('\n', at);
            if (end == std::string::npos)
                end = locks.size();
            std::string line = locks.substr(at, end - at);
            at = end + 1;
            // "1: FLOCK  ADVISORY  WRITE <pid> <dev>:<inode> 0 EOF"; waiters have "->".
            if (line.find("FLOCK") == std::string::npos || line.find("->") != std::string::npos)
                continue;
            size_t write_at = line.find("WRITE");
            if (write_at == std::string::npos)
                continue;
            pid_t holder = static_cast<pid_t>(atoi(line.c_str() + write_at + 5));
            if (std::find(pids.begin(), pids.end(), holder) != pids.end())
                return true;
        }
        return false;
    }

    // The kill follows a request, so it lands inside a duty: the snapshot under the lock, a
    // temporary file half written, a copy, a merge. The writers are stopped first, so that only
    // the server can change the lock word: it shows when the server holds the mutex and what
    // the kill left.
    void server_kill()
    {
        const char *const requests[] = {"all", "merge", "snap", "mirror-local",
                                        "mirror-peer-and-merge"};
        const char *request = requests[random_() % (sizeof(requests) / sizeof(requests[0]))];
        bool at_lock = random_() % 3 == 0;
        uint64_t delay = random_() % server_kill_delay_usecs_max;
        std::vector<pid_t> stopped = stop_lockers(-1, false);
        // A stopped writer that holds the mutex keeps the server from it.
        if ((lock_read().lock & FUTEX_TID_MASK) != 0)
            at_lock = false;
        vek_rir_failure_info_t failure_info;
        char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
        vek_rir_server_exec(&failure_info, request, response, sizeof(response), 0);
        if (at_lock) {
            steady::time_point deadline =
                steady::now() + std::chrono::milliseconds(server_lock_watch_msecs);
            while ((lock_read().lock & FUTEX_TID_MASK) == 0 && steady::now() < deadline) {
            }
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
        }
        server_alive_check();
        if (server_ <= 0) {
            resume(stopped);
            return;
        }
        before_t before = before_read();
        pid_t pid = server_;
        kill(pid, SIGKILL);
        int status = reap(pid);
        server_ = 0;
        if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL))
            fail("the server ended with " + status_text(status) + "; " + server_output());
        figures_.server_kills++;
        if (death_inspect(before, {pid}, {}, true, false))
            dead_owner_meet(stopped);
        if (!temporaries().empty())
            figures_.server_kills_left_tmp++;
        resume(stopped);
        published_check("after a server kill");
        server_start();
    }

    uint64_t progress_total() const
    {
        uint64_t total = 0;
        for (int pos = 0; pos < writer_count; pos++)
            if (writers_[pos].pid > 0)
                total += shared_->progress[pos].returned.load();
        return total;
    }

    // The writers alive after the last kill keep appending: none waits on a dead owner.
    void progress_check()
    {
        uint64_t start = progress_total();
        steady::time_point deadline = steady::now() + std::chrono::seconds(10);
        while (progress_total() < start + 100) {
            if (steady::now() >= deadline) {
                lock_word_t word = lock_read();
                fail("the writers appended " + std::to_string(progress_total() - start) +
                     " records in 10 s after the last kill; lock word " +
                     std::to_string(word.lock) + " owner " + std::to_string(word.owner));
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // One append by a fresh process while nothing else can take the mutex, bounded in time:
    // the log attaches and takes it at once, whatever the last owner left. Then the mutex is
    // free and consistent and the append is the newest record.
    void checker_append(uint64_t id)
    {
        steady::time_point start = steady::now();
        pid_t pid = spawn([id] { return checker_main(id); });
        if (pid <= 0)
            return;
        steady::time_point deadline = start + std::chrono::seconds(5);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) != pid) {
            if (steady::now() >= deadline) {
                lock_word_t word = lock_read();
                std::string wchan = read_file("/proc/" + std::to_string(pid) + "/wchan");
                std::string locks = read_file("/proc/locks");
                kill(pid, SIGKILL);
                reap(pid);
                fail("an append did not finish within 5 s; lock word " +
                     std::to_string(word.lock) + " owner " + std::to_string(word.owner) +
                     "; it waited in " + wchan + "; file locks: " + locks);
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        uint64_t usecs = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(steady::now() - start).count());
        figures_.append_usecs_max = std::max(figures_.append_usecs_max, usecs);
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            fail("a fresh process's append ended with " + status_text(status));
            return;
        }
        lock_word_t after = lock_read();
        if (after.lock != 0 || after.owner != 0)
            fail("after an append the mutex is not free and consistent: lock word " +
                 std::to_string(after.lock) + " owner " + std::to_string(after.owner));
        vek_rir_header_t header = live_header();
        uint64_t n = vek_rir_helper_info(&header).next_seqno;
        vek_rir_record_real_t last = file_record_live(n - 1);
        if (n == 0 || last.seqno != n - 1 || last.code != writer_code(id, 0) ||
            !whole_error(last, shared_->writers_started.load()).empty())
            fail("a fresh process's append is not the newest whole record");
    }

    void run_round(int round)
    {
        ended_.clear();
        if (server_ <= 0)
            server_start();
        if (!server_answers(10)) {
            fail("the server does not answer; " + server_output());
            return;
        }
        live_open();
        if (failed_)
            return;
        const published_t &published = published_;
        shared_t *shared = shared_;
        uint64_t requester_seed = random_();
        requester_ = spawn([shared, requester_seed, &published] {
            return requester_main(shared, requester_seed, published);
        });
        reader_ = spawn([shared, &published] {
            errno = 0;
            if (nice(10) == -1 && errno != 0)
                return 4;
            return reader_main(shared, published);
        });
        for (int pos = 0; pos < writer_count; pos++)
            writer_start(pos);

        std::vector<int> server_kill_at;
        for (uint64_t k = 1 + random_() % 2; k > 0; k--)
            server_kill_at.push_back(50 + static_cast<int>(random_() % (round_msecs - 100)));
        std::sort(server_kill_at.begin(), server_kill_at.end());
        size_t server_kill_next = 0;
        steady::time_point start = steady::now();
        auto elapsed_msecs = [start] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start)
                .count();
        };
        while (!failed_ && elapsed_msecs() < round_msecs) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(random_() % writer_kill_gap_usecs_max));
            server_alive_check();
            if (server_kill_next < server_kill_at.size() &&
                elapsed_msecs() >= server_kill_at[server_kill_next]) {
                server_kill_next++;
                server_kill();
                continue;
            }
            int pos = static_cast<int>(random_() % writer_count);
            writer_kill(pos);
            writer_start(pos);
        }
        if (!failed_)
            progress_check();
        if (!failed_)
            round_end(round);
    }

    // Ends the round: every writer killed at one moment, the one holding the mutex first, one
    // more append, the server's whole pass, and the exact checks of everything it left.
    void round_end(int round)
    {
        end_child(requester_);
        end_child(reader_);
        // Answered in turn, so every request the requester left queued is done: the server is
        // idle and holds no lock when it is stopped below.
        if (server_ <= 0)
            server_start();
        if (!server_answers(10)) {
            fail("the server does not answer at the round's end; " + server_output());
            return;
        }
        // Only the server is stopped; the writers die by SIGKILL at one moment, as they run.
        int server_status = 0;
        kill(server_, SIGSTOP);
        if (!stopped_wait(server_, &server_status)) {
            server_ = 0;
            fail("the server ended by itself: " + status_text(server_status) + "; " +
                 server_output());
            return;
        }
        // The writer seen holding the mutex dies first (single-threaded, so the owner's thread
        // id is its process id): when the kill comes before it lets go, the round ends with a
        // dead owner for the closing append to meet. Mostly it has let go by then; the kills
        // in the round leave dead owners far more often.
        int first_pos = -1;
        steady::time_point watch_end = steady::now() + std::chrono::milliseconds(100);
        while (first_pos < 0 && steady::now() < watch_end) {
            uint32_t tid = lock_read().lock & FUTEX_TID_MASK;
            for (int pos = 0; pos < writer_count; pos++)
                if (tid != 0 && writers_[pos].pid == static_cast<pid_t>(tid))
                    first_pos = pos;
        }
        before_t before = before_read();
        std::vector<pid_t> dead;
        std::vector<std::pair<uint64_t, uint64_t>> victims;
        std::vector<int> positions;
        for (int i = 0; i < writer_count; i++) {
            int pos = first_pos < 0 ? i : (first_pos + i) % writer_count;
            if (writers_[pos].pid <= 0)
                continue;
            shared_->writer_kills++;
            figures_.writer_kills++;
            dead.push_back(writers_[pos].pid);
            positions.push_back(pos);
            kill(writers_[pos].pid, SIGKILL);
        }
        for (size_t i = 0; i < dead.size(); i++) {
            writer_ended(positions[i], reap(dead[i]));
            victims.push_back({ended_[ended_.size() - 1].id, ended_.back().returned});
        }
        death_inspect(before, dead, victims, false, true);
        if (failed_)
            return;

        // A server that was stopped inside a periodic duty (a slow round) holds the mutex:
        // it runs on until it has let go.
        steady::time_point deadline = steady::now() + std::chrono::seconds(5);
        while ((lock_read().lock & FUTEX_TID_MASK) != 0) {
            int status = 0;
            kill(server_, SIGCONT);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            kill(server_, SIGSTOP);
            if (!stopped_wait(server_, &status) || steady::now() >= deadline) {
                fail("the server holds the mutex at the round's end; lock word " +
                     std::to_string(lock_read().lock));
                return;
            }
        }
        // With the server still stopped, nothing but this append can meet a dead owner.
        lock_word_t held = lock_read();
        if ((held.lock & FUTEX_TID_MASK) != 0)
            fail("with every writer dead the mutex has the live owner " +
                 std::to_string(held.lock & FUTEX_TID_MASK));
        uint64_t checker = shared_->writers_started.fetch_add(1);
        checker_append(checker);
        kill(server_, SIGCONT);
        if (failed_)
            return;
        vek_rir_failure_info_t failure_info;
        vek_rir_failure_info_clear(&failure_info);
        char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
        if (vek_rir_server_exec(&failure_info, "all", response, sizeof(response), 30) !=
                VEK_RIR_RC_OK ||
            strcmp(response, "ok") != 0) {
            fail(std::string("the round's last request: ") + response);
            return;
        }
        // One round in four stops the server as its service manager would; the others kill it
        // idle, as a crash of the node's server between two duties.
        if (round % 4 == 3) {
            kill(server_, SIGTERM);
            steady::time_point deadline = steady::now() + std::chrono::seconds(20);
            int status = 0;
            while (waitpid(server_, &status, WNOHANG) != server_) {
                if (steady::now() >= deadline) {
                    fail("the server did not stop within 20 s of SIGTERM");
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            server_ = 0;
            if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0))
                fail("the server stopped with " + status_text(status) + "; " + server_output());
            figures_.server_stops_term++;
        } else {
            // Idle: stopped with no temporary file in the making (a periodic duty may have
            // begun after the answer), then killed.
            steady::time_point deadline = steady::now() + std::chrono::seconds(5);
            for (;;) {
                int status = 0;
                kill(server_, SIGSTOP);
                if (!stopped_wait(server_, &status)) {
                    server_ = 0;
                    fail("the server ended by itself: " + status_text(status));
                    return;
                }
                if (temporaries().empty())
                    break;
                kill(server_, SIGCONT);
                if (steady::now() >= deadline) {
                    fail("the server is still writing a temporary file 5 s after its last pass");
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            end_child(server_);
            figures_.server_stops_idle_kill++;
        }
        exact_checks(checker);
    }

    // With nothing running: the live log as the kills left it, and the published files exactly
    // what the last pass made of it.
    void exact_checks(uint64_t checker)
    {
        std::string live = read_file(vek_rir_local_path);
        log_summary_t ls;
        std::string error = log_error(live, shared_->writers_started.load(), &ls);
        if (!error.empty()) {
            fail("live log: " + error);
            return;
        }
        figures_.files_checked++;
        figures_.records_checked += ls.records;
        for (const anomaly_t &a : ls.anomalies) {
            error = anomaly_known(a);
            if (!error.empty())
                fail("live log: " + error);
            figures_.cut_short_found_again++;
        }
        uint64_t n = ls.next_seqno;
        uint64_t first = n > VEK_RIR_RECORD_COUNT ? n - VEK_RIR_RECORD_COUNT : 0;
        vek_rir_record_real_t last = file_record(live, (n - 1) % VEK_RIR_RECORD_COUNT);
        if (n == 0 || last.seqno != n - 1 || last.code != writer_code(checker, 0))
            fail("the newest record is not the append made after the round");

        // No record lost: a writer's newest whole record is the last append that returned, or
        // the one in flight at its death, whenever that one is still within the ring.
        for (const writer_end_t &w : ended_) {
            auto it = ls.last_k.find(w.id);
            bool must = w.returned > 0 && w.last_lb >= first;
            if (it == ls.last_k.end()) {
                if (must)
                    fail("writer " + std::to_string(w.id) + ": none of its " +
                         std::to_string(w.returned) + " returned appends is in the ring");
                continue;
            }
            if (it->second > w.returned)
                fail("writer " + std::to_string(w.id) + ": record " + std::to_string(it->second) +
                     " but it began only " + std::to_string(w.returned + 1) + " appends");
            else if (it->second + 1 < w.returned)
                fail("writer " + std::to_string(w.id) + ": newest record " +
                     std::to_string(it->second) + " but " + std::to_string(w.returned) +
                     " appends returned");
        }

        // What the last round's check saw and the ring still holds is unchanged.
        if (!previous_live_.empty()) {
            uint64_t previous_n = file_info(previous_live_).next_seqno;
            for (uint64_t seqno = std::max(first, previous_n > VEK_RIR_RECORD_COUNT
                                                      ? previous_n - VEK_RIR_RECORD_COUNT
                                                      : 0);
                 seqno < previous_n; seqno++) {
                uint64_t index = seqno % VEK_RIR_RECORD_COUNT;
                if (!(record_bytes(live, index) == record_bytes(previous_live_, index))) {
                    fail("seqno " + std::to_string(seqno) + " changed since the last round");
                    break;
                }
            }
        }

        // The snapshot of the last pass is the live log as it stands (its lock block aside).
        std::string snap = read_file(vek_rir_local_snap_path);
        if (!(snap.size() == live.size() &&
              snap.compare(0, VEK_RIR_HEADER_INFO_SIZE, live, 0, VEK_RIR_HEADER_INFO_SIZE) == 0 &&
              snap.compare(VEK_RIR_HEADER_SIZE, std::string::npos, live, VEK_RIR_HEADER_SIZE,
                           std::string::npos) == 0))
            fail("the snapshot is not the live log");

        // The merged log: the snapshot's records and the peer's, each in its own order, the
        // earlier of the two next ones first (the peer's on a tie).
        std::string merged = read_file(vek_rir_merged_path);
        merged_summary_t ms;
        error = merged_error(merged, published_.peer_walk, shared_->writers_started.load(), &ms);
        if (!error.empty()) {
            fail("merged log: " + error);
            return;
        }
        figures_.files_checked += 2;
        figures_.records_checked += ms.records + ls.records;
        std::vector<vek_rir_record_real_t> local = file_walk(snap);
        bool same = ms.local.size() == local.size();
        for (size_t i = 0; same && i < local.size(); i++)
            same = same_but_seqno(ms.local[i], local[i]);
        if (!same)
            fail("the merged log's own records are not the snapshot's");
        auto earlier = [](const vek_rir_record_real_t &a, const vek_rir_record_real_t &b) {
            return a.time_secs < b.time_secs ||
                   (a.time_secs == b.time_secs && a.time_usecs < b.time_usecs);
        };
        const std::vector<vek_rir_record_real_t> &peer = published_.peer_walk;
        size_t li = 0, pi = 0;
        for (size_t i = 0; same && i < ms.walk.size(); i++) {
            bool from_peer = field(ms.walk[i].identity, sizeof(ms.walk[i].identity)) == "peer";
            bool in_order = from_peer ? li == local.size() || !earlier(local[li], peer[pi])
                                      : pi == peer.size() || earlier(local[li], peer[pi]);
            if (!in_order) {
                fail("merged position " + std::to_string(i) + " is out of time order");
                break;
            }
            (from_peer ? pi : li)++;
        }

        // The mirror copies are the files they copy, and no temporary file is left.
        if (!(read_file(vek_rir_local_mirror_path) == snap))
            fail("the mirror of the snapshot differs from it");
        if (!(read_file(vek_rir_peer_mirror_path) == published_.peer_bytes))
            fail("the mirror of the peer copy differs from it");
        if (!(read_file(vek_rir_merged_mirror_path) == merged))
            fail("the mirror of the merged log differs from it");
        if (!(read_file(vek_rir_peer_path) == published_.peer_bytes))
            fail("the peer copy changed");
        figures_.files_checked += 4;
        for (const std::string &path : temporaries())
            fail("left after a whole pass: " + path);

        // Every duty worked: the failing fetch is the only complaint.
        for (const std::string &line : sandbox_take_syslog_messages())
            if (line != fetch_failure_line)
                fail("system log: " + line);
        if (shared_->failures.load() != 0)
            fail(std::to_string(shared_->failures.load()) +
                 " failures seen by the requester and the reader; the first: " + shared_->failure);
        previous_live_ = live;
    }

    settings_t settings_;
    shared_t *shared_;
    published_t published_;
    std::mt19937_64 random_;
    writer_proc_t writers_[writer_count];
    pid_t server_ = 0;
    pid_t requester_ = 0;
    pid_t reader_ = 0;
    int live_fd_ = -1;
    bool failed_ = false;
    bool dead_owner_turn_ = false;
    figures_t figures_;
    std::vector<writer_end_t> ended_;          // writers of this round
    std::map<uint64_t, anomaly_t> cut_short_;  // slots that kills inside a claim left
    std::string previous_live_;
};

// A valid normal log of the other node whose times span the whole run, so that every merge
// interleaves its records with this node's.
published_t peer_make(int seconds)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t start = (static_cast<uint64_t>(now.tv_sec) - 2) * 1000000;
    uint64_t step = (static_cast<uint64_t>(seconds) + 120) * 1000000 / peer_record_count;
    test_log_t log;
    log.info().flags = VEK_RIR_HEADER_FLAG_NODE_B;
    for (uint64_t i = 0; i < peer_record_count; i++) {
        uint64_t t = start + i * step;
        std::string text = "peer " + std::to_string(i);
        log.append(t / 1000000, t % 1000000, "peer", text.c_str(), VEK_RIR_CLASS_EVENT, i,
                   VEK_RIR_RECORD_FLAG_NODE_B);
    }
    published_t published;
    published.peer_bytes = log.str();
    published.peer_walk = file_walk(published.peer_bytes);
    return published;
}

// The peer fetch fails at once (the stand-in client), so the server's duties stay fast.
class TortureTest : public fake_scp_test {
protected:
    sandbox_options_t sandbox_options() const override
    {
        sandbox_options_t options;
        options.mount_node = true;
        return options;
    }
};

} // namespace

TEST_F(TortureTest, KilledWritersAndServerLeaveEveryFileWhole)
{
    settings_t settings = settings_read();
    std::cout << "torture: seed " << settings.seed << ", "
              << (settings.rounds > 0 ? std::to_string(settings.rounds) + " rounds"
                                      : std::to_string(settings.seconds) + " s")
              << std::endl;
    published_t published = peer_make(settings.rounds > 0 ? settings.rounds * 3 : settings.seconds);
    ASSERT_TRUE(write_file(vek_rir_peer_path, published.peer_bytes));

    void *memory = mmap(nullptr, sizeof(shared_t), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    shared_t *shared = new (memory) shared_t();

    figures_t f;
    steady::time_point start = steady::now();
    {
        torture_t torture(settings, shared, published);
        torture.run();
        f = torture.figures();
    }
    double seconds = std::chrono::duration<double>(steady::now() - start).count();
    f.files_checked += shared->files_checked.load();
    f.records_checked += shared->records_checked.load();

    const std::pair<const char *, uint64_t> figures[] = {
        {"rounds", f.rounds},
        {"writers_started", shared->writers_started.load()},
        {"writer_kills", f.writer_kills},
        {"writer_kills_inside_mutex", f.kills_in_mutex},
        {"writer_kills_after_lock_before_claim", f.kills_before_claim},
        {"writer_kills_inside_claim_used_without_complete", f.kills_claim_used},
        {"writer_kills_inside_claim_slot_unstamped", f.kills_claim_unstamped},
        {"writer_kills_after_complete_before_unlock", f.kills_after_complete},
        {"rounds_ending_with_dead_mutex_owner", f.rounds_end_dead_owner},
        {"dead_owners_met_by_a_bounded_append", f.dead_owner_appends},
        {"bounded_append_longest_usecs", f.append_usecs_max},
        {"slots_cut_short_recorded", f.cut_short_recorded},
        {"slots_cut_short_found_again_in_live_log", f.cut_short_found_again},
        {"server_kills", f.server_kills},
        {"server_kills_inside_mutex", f.server_kills_in_mutex},
        {"server_kills_leaving_a_temporary", f.server_kills_left_tmp},
        {"server_stops_sigterm", f.server_stops_term},
        {"server_stops_idle_kill", f.server_stops_idle_kill},
        {"requests_sent", shared->requests_sent.load()},
        {"requests_answered", shared->requests_ok.load()},
        {"requests_noserver", shared->requests_noserver.load()},
        {"requests_other_failure", shared->requests_other.load()},
        {"reader_passes", shared->reader_passes.load()},
        {"files_checked", f.files_checked},
        {"records_checked", f.records_checked},
    };
    for (const auto &figure : figures) {
        RecordProperty(figure.first, std::to_string(figure.second));
        std::cout << "torture: " << figure.first << " " << figure.second << std::endl;
    }
    std::cout << "torture summary: " << f.rounds << " rounds in " << static_cast<int>(seconds)
              << " s, " << f.writer_kills << " writer kills (" << f.kills_in_mutex
              << " inside the mutex, " << f.kills_claim_used + f.kills_claim_unstamped
              << " inside a claim), " << f.server_kills << " server kills ("
              << f.server_kills_in_mutex << " inside the mutex), " << f.rounds_end_dead_owner
              << " rounds ending with a dead mutex owner, " << f.records_checked
              << " records checked, seed " << settings.seed << std::endl;
    EXPECT_GT(f.rounds, 0u);
    munmap(memory, sizeof(shared_t));
}
