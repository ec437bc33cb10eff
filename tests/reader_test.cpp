// Reading snapshots: the checks the fetch makes on a file and their texts, walks in both
// directions over live-sized and merged rings, and the public fetches against a server running
// in this process, a server that never answers and no server at all.

#include "tests/vek_rir_persist.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

// The peer fetch would run the secure-copy client; the server of these tests counts it instead.
std::atomic<int> peer_fetches{0};

class ReaderTest : public sandbox_test {
protected:
    void SetUp() override
    {
        sandbox_test::SetUp();
        peer_fetches = 0;
        vek_rir_server_duties.mirror_peer = [] { peer_fetches++; };
    }
    void TearDown() override
    {
        vek_rir_server_duties = vek_rir_server_duties_real;
        sandbox_test::TearDown();
    }
};

// The server thread for one scope; it must end before the attachment and the sandbox do.
struct embedded_server_t {
    bool started = vek_rir_server_thread_start() == 0;
    ~embedded_server_t()
    {
        if (started)
            vek_rir_server_thread_stop();
    }
};

// Holds the server's name and reads requests, but never answers.
struct silent_server_t {
    vek_rir_command_server_t end;
    bool bound = vek_rir_command_server_create(&end, vek_rir_command_server_name) == 0;
    ~silent_server_t()
    {
        if (bound)
            vek_rir_command_server_destroy(&end);
    }
    std::string request()
    {
        char buffer[VEK_RIR_COMMAND_REQUEST_MAX_SIZE] = {};
        ssize_t got = recv(end.fd_server, buffer, sizeof(buffer) - 1, MSG_DONTWAIT);
        return got > 0 ? std::string(buffer) : std::string();
    }
};

struct snap_t {
    vek_rir_if_snap_info_t info = {nullptr, 0};
    ~snap_t()
    {
        if (info.snap_buffer != nullptr)
            vek_rir_if_snap_free(&info);
    }
};

struct seen_t {
    struct timespec ts;
    uint64_t seqno, flags, rir_class, code;
    std::string identity, text;
    const char *identity_at;
};

// Collects what the walk hands out; the call numbered stop_at answers stop_value, the others
// go_on.
struct walker_t {
    std::vector<seen_t> seen;
    size_t stop_at = 0;
    int stop_value = -1;
    int go_on = 0;
};

int walker_collect(void *cookie, vek_rir_if_snap_iterate_record_t *r)
{
    walker_t *w = static_cast<walker_t *>(cookie);
    w->seen.push_back({r->ts, r->seqno, r->rir_flags, r->rir_class, r->rir_code, r->rir_identity,
                       r->rir_text, r->rir_identity});
    return w->seen.size() == w->stop_at ? w->stop_value : w->go_on;
}

std::vector<seen_t> walk(vek_rir_if_snap_info_t *info, int reverse)
{
    walker_t w;
    vek_rir_if_snap_iterate(info, walker_collect, &w, reverse);
    return w.seen;
}

std::vector<uint64_t> seqnos(const std::vector<seen_t> &seen)
{
    std::vector<uint64_t> out;
    for (const seen_t &s : seen)
        out.push_back(s.seqno);
    return out;
}

int fetch(vek_rir_failure_info_t *fi, snap_t &snap, const std::string &path, uint64_t size)
{
    vek_rir_failure_info_clear(fi);
    return vek_rir_if_snap_fetch(fi, &snap.info, path.c_str(), static_cast<ssize_t>(size));
}

// Record k of the ring tests: every field derived from its sequence number.
void ring_append(test_log_t &log, uint64_t k)
{
    std::string text = "r" + std::to_string(k);
    log.append(1000 + k, k % 1000000, "ring", text.c_str(), 0x100 + k, ~k,
               (k & 1) ? VEK_RIR_RECORD_FLAG_NODE_A : VEK_RIR_RECORD_FLAG_NODE_B);
}

// "" when the view matches record k, else what differs.
std::string ring_mismatch(const seen_t &s, uint64_t k)
{
    uint64_t flags = VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE |
                     ((k & 1) ? VEK_RIR_RECORD_FLAG_NODE_A : VEK_RIR_RECORD_FLAG_NODE_B);
    if (s.seqno != k)
        return "seqno " + std::to_string(s.seqno) + " for " + std::to_string(k);
    if (s.ts.tv_sec != static_cast<time_t>(1000 + k) ||
        s.ts.tv_nsec != static_cast<long>((k % 1000000) * 1000))
        return "time of " + std::to_string(k);
    if (s.flags != flags || s.rir_class != 0x100 + k || s.code != ~k)
        return "flags, class or code of " + std::to_string(k);
    if (s.identity != "ring" || s.text != "r" + std::to_string(k))
        return "identity or text of " + std::to_string(k);
    return "";
}

constexpr char local_snap[] = "/vek_var/vek-rir-local-snap.bin";

} // namespace

TEST_F(ReaderTest, FetchRefusesEveryBadFileWithItsTextAndHoldsNothing)
{
    test_log_t good;
    good.append(1, 0, "a", "b");
    ASSERT_TRUE(write_log("/vek_tmp/live.bin", good));
    ASSERT_TRUE(write_log("/vek_tmp/merged.bin", test_log_t(VEK_RIR_MERGED_RECORD_COUNT)));
    ASSERT_TRUE(write_file("/vek_tmp/short.bin", std::string(100, 'x')));
    ASSERT_TRUE(write_file("/vek_tmp/zero.bin", std::string(VEK_RIR_FILE_SIZE, '\0')));
    ASSERT_EQ(symlink("/vek_tmp/nowhere", "/vek_tmp/dangling"), 0);
    // A link to a sound log, as a neighbour could plant at the snapshot's name.
    ASSERT_EQ(symlink("/vek_tmp/live.bin", "/vek_tmp/link"), 0);
    ASSERT_EQ(mkfifo("/vek_tmp/fifo", 0600), 0);
    // A socket in the file system passes the access check and cannot be opened.
    vek_rir_util_fd_t sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/vek_tmp/sock");
    ASSERT_EQ(bind(sock.fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)), 0);
    // A sparse file larger than any address space: its buffer cannot be had.
    constexpr uint64_t huge = 1ull << 48;
    ASSERT_TRUE(write_file("/vek_tmp/huge.bin", ""));
    ASSERT_EQ(truncate("/vek_tmp/huge.bin", static_cast<off_t>(huge)), 0);
    // A sysfs attribute claims a page and reads back only its few characters.
    const char *sysfs = "/sys/devices/system/cpu/online";
    ASSERT_EQ(path_size(sysfs), 4096);
    struct header_fault_t {
        const char *path;
        uint64_t vek_rir_header_info_real_t::*field;
        uint64_t value;
    } faults[] = {
        {"/vek_tmp/version.bin", &vek_rir_header_info_real_t::version, 2},
        {"/vek_tmp/size.bin", &vek_rir_header_info_real_t::record_size, 255},
        {"/vek_tmp/count.bin", &vek_rir_header_info_real_t::record_count, VEK_RIR_RECORD_COUNT + 1},
        {"/vek_tmp/magic.bin", &vek_rir_header_info_real_t::magic, VEK_RIR_MAGIC + 1},
        {"/vek_tmp/claims.bin", &vek_rir_header_info_real_t::record_count,
         VEK_RIR_MERGED_RECORD_COUNT},
    };
    for (const header_fault_t &f : faults) {
        test_log_t log = good;
        log.info().*f.field = f.value;
        ASSERT_TRUE(write_log(f.path, log));
    }
    const uint64_t live = VEK_RIR_FILE_SIZE, merged = VEK_RIR_MERGED_FILE_SIZE;
    struct case_t {
        const char *path;
        uint64_t size;
        const char *text;
    } cases[] = {
        {"/vek_tmp/none.bin", live, "missing RIR snap at /vek_tmp/none.bin"},
        {"/vek_tmp/dangling", live, "missing RIR snap at /vek_tmp/dangling"},
        {"/vek_tmp/sock", live, "unable to open MAL snap at /vek_tmp/sock"},
        {"/vek_tmp/link", live, "unable to open MAL snap at /vek_tmp/link"},
        {"/vek_tmp/short.bin", live, "insane RIR snap size at /vek_tmp/short.bin (100 vs 3145728)"},
        {"/vek_tmp/fifo", live, "insane RIR snap size at /vek_tmp/fifo (0 vs 3145728)"},
        {"/vek_tmp/live.bin", merged, "insane RIR snap size at /vek_tmp/live.bin (3145728 vs 6287360)"},
        {"/vek_tmp/merged.bin", live,
         "insane RIR snap size at /vek_tmp/merged.bin (6287360 vs 3145728)"},
        {"/vek_tmp/huge.bin", huge, "snap alloc failed"},
        {sysfs, 4096, "snap read failed"},
        {"/vek_tmp/zero.bin", live, "corrupt RIR version in fetch"},
        {"/vek_tmp/version.bin", live, "corrupt RIR version in fetch"},
        {"/vek_tmp/size.bin", live, "corrupt RIR record size in fetch"},
        {"/vek_tmp/count.bin", live, "corrupt RIR record count in fetch"},
        {"/vek_tmp/magic.bin", live, "corrupt RIR magic in fetch"},
        {"/vek_tmp/claims.bin", live, "fetch file at /vek_tmp/claims.bin claims 24544 records but "
                                      "holds 12272"},
    };
    for (const case_t &c : cases) {
        snap_t snap;
        snap.info = {&snap, 7}; // whatever the caller left there is replaced
        vek_rir_failure_info_t fi;
        EXPECT_EQ(fetch(&fi, snap, c.path, c.size), 1) << c.path;
        EXPECT_STREQ(fi.text, c.text) << c.path;
        EXPECT_EQ(snap.info.snap_buffer, nullptr) << c.path;
        EXPECT_EQ(snap.info.snap_size, 0u) << c.path;
        if (snap.info.snap_buffer == &snap)
            snap.info = {nullptr, 0};
    }
    // The public load of a named file takes the kind from the size and checks as the fetch
    // does; what is left to check is that the size decides nothing else.
    struct load_t {
        const char *path;
        const char *text; // "" when the load succeeds
        size_t records;
    } loads[] = {
        {"/vek_tmp/live.bin", "", 1},
        {"/vek_tmp/merged.bin", "", 0},
        {"/vek_tmp/none.bin", "missing RIR snap at /vek_tmp/none.bin", 0},
        {"/vek_tmp/link", "unable to open MAL snap at /vek_tmp/link", 0},
        {"/vek_tmp/short.bin", "insane RIR snap size at /vek_tmp/short.bin (100 vs 3145728)", 0},
        {"/vek_tmp/magic.bin", "corrupt RIR magic in fetch", 0},
        {"/vek_tmp/claims.bin", "fetch file at /vek_tmp/claims.bin claims 24544 records but "
                                "holds 12272", 0},
    };
    for (const load_t &l : loads) {
        snap_t snap;
        vek_rir_failure_info_t fi;
        vek_rir_failure_info_set(&fi, "left over");
        vek_rir_rc_t rc = vek_rir_if_snap_load(&fi, &snap.info, l.path);
        EXPECT_STREQ(fi.text, l.text) << l.path;
        EXPECT_EQ(rc, *l.text ? VEK_RIR_RC_FAILURE : VEK_RIR_RC_OK) << l.path;
        if (rc == VEK_RIR_RC_OK)
            EXPECT_EQ(walk(&snap.info, 0).size(), l.records) << l.path;
        else
            EXPECT_EQ(snap.info.snap_buffer, nullptr) << l.path;
    }
}

TEST_F(ReaderTest, FetchLoadsTheWholeFileAndTerminatesFieldsWithinThemOnly)
{
    test_log_t log;
    log.append(10, 1, "first", "one");
    vek_rir_record_real_t &full = log.append(11, 2, "x", "y");
    memset(full.identity, 'I', sizeof(full.identity));
    memset(full.text, 'T', sizeof(full.text));
    log.append(12, 3, "third", "three");
    ASSERT_TRUE(write_log("/vek_tmp/full.bin", log));
    snap_t snap;
    vek_rir_failure_info_t fi;
    ASSERT_EQ(fetch(&fi, snap, "/vek_tmp/full.bin", VEK_RIR_FILE_SIZE), 0) << fi.text;
    ASSERT_EQ(snap.info.snap_size, VEK_RIR_FILE_SIZE);
    std::vector<seen_t> seen = walk(&snap.info, 0);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].identity, "first");
    EXPECT_EQ(seen[1].identity, std::string(VEK_RIR_RECORD_IDENTITY_SIZE - 1, 'I'));
    EXPECT_EQ(seen[1].text, std::string(VEK_RIR_RECORD_TEXT_SIZE - 1, 'T'));
    EXPECT_EQ(seen[2].text, "three");
    // The views point into the buffer, at the slot's own field.
    const char *slot1 = static_cast<const char *>(snap.info.snap_buffer) + VEK_RIR_HEADER_SIZE +
                        VEK_RIR_RECORD_SIZE;
    EXPECT_EQ(seen[1].identity_at, slot1 + VEK_RIR_RECORD_OFFSET(identity));
    // Only the two last bytes differ from the file, which itself is left as it was.
    std::string file = read_file("/vek_tmp/full.bin");
    ASSERT_TRUE(file == log.str());
    std::string buffer(static_cast<const char *>(snap.info.snap_buffer), snap.info.snap_size);
    size_t slot1_offset = VEK_RIR_HEADER_SIZE + VEK_RIR_RECORD_SIZE;
    file[slot1_offset + VEK_RIR_RECORD_OFFSET(identity) + VEK_RIR_RECORD_IDENTITY_SIZE - 1] = 0;
    file[slot1_offset + VEK_RIR_RECORD_SIZE - 1] = 0;
    EXPECT_TRUE(buffer == file);
    vek_rir_if_snap_free(&snap.info);
    EXPECT_EQ(snap.info.snap_buffer, nullptr);
    EXPECT_EQ(snap.info.snap_size, 0u);
}

TEST_F(ReaderTest, WalksGiveEveryRecordOnceInSeqnoOrderBothWays)
{
    struct case_t {
        uint64_t slots, records;
    } cases[] = {
        {VEK_RIR_RECORD_COUNT, 0},
        {VEK_RIR_RECORD_COUNT, 5},
        {VEK_RIR_RECORD_COUNT, VEK_RIR_RECORD_COUNT},
        {VEK_RIR_RECORD_COUNT, VEK_RIR_RECORD_COUNT + 100},
        {VEK_RIR_RECORD_COUNT, 3 * VEK_RIR_RECORD_COUNT + 1},
        {VEK_RIR_MERGED_RECORD_COUNT, 3},
        {VEK_RIR_MERGED_RECORD_COUNT, VEK_RIR_MERGED_RECORD_COUNT + 7},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(std::to_string(c.records) + " records in " + std::to_string(c.slots));
        test_log_t log(c.slots);
        for (uint64_t k = 0; k < c.records; k++)
            ring_append(log, k);
        ASSERT_TRUE(write_log("/vek_tmp/ring.bin", log));
        snap_t snap;
        vek_rir_failure_info_t fi;
        ASSERT_EQ(fetch(&fi, snap, "/vek_tmp/ring.bin", log.bytes.size()), 0) << fi.text;
        uint64_t held = std::min(c.records, c.slots);
        uint64_t oldest = c.records - held;
        std::vector<seen_t> forward = walk(&snap.info, 0);
        std::vector<seen_t> reverse = walk(&snap.info, 1);
        ASSERT_EQ(forward.size(), held);
        ASSERT_EQ(reverse.size(), held);
        for (uint64_t i = 0; i < held; i++) {
            ASSERT_EQ(ring_mismatch(forward[i], oldest + i), "") << "forward " << i;
            ASSERT_EQ(ring_mismatch(reverse[i], c.records - 1 - i), "") << "reverse " << i;
        }
    }
}

TEST_F(ReaderTest, ANegativeAnswerEndsTheWalkAtThatRecord)
{
    test_log_t log;
    for (uint64_t k = 0; k < 10; k++)
        ring_append(log, k);
    ASSERT_TRUE(write_log("/vek_tmp/ten.bin", log));
    snap_t snap;
    vek_rir_failure_info_t fi;
    ASSERT_EQ(fetch(&fi, snap, "/vek_tmp/ten.bin", VEK_RIR_FILE_SIZE), 0) << fi.text;
    struct case_t {
        int reverse;
        size_t stop_at;
        int stop_value, go_on;
        std::vector<uint64_t> seqnos;
    } cases[] = {
        {0, 3, -1, 0, {0, 1, 2}},
        {1, 3, -1, 0, {9, 8, 7}},
        {0, 1, -1, 0, {0}},
        {0, 3, -1000, 1, {0, 1, 2}},
        {0, 10, -1, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        // Zero and positive answers go on to the end.
        {0, 3, 0, 5, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {1, 3, 1, 0, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
    };
    for (const case_t &c : cases) {
        walker_t w;
        w.stop_at = c.stop_at;
        w.stop_value = c.stop_value;
        w.go_on = c.go_on;
        vek_rir_if_snap_iterate(&snap.info, walker_collect, &w, c.reverse);
        EXPECT_EQ(seqnos(w.seen), c.seqnos)
            << "reverse " << c.reverse << ", " << c.stop_value << " at call " << c.stop_at;
    }
}

TEST_F(ReaderTest, LocalFetchGetsAFreshSnapshotFromTheServer)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    live_append(5);
    snap_t first, second, stale;
    vek_rir_failure_info_t fi;
    {
        embedded_server_t server;
        ASSERT_TRUE(server.started);
        ASSERT_FALSE(path_exists(local_snap));
        ASSERT_EQ(vek_rir_if_snap_fetch_local(&fi, &first.info, 5), VEK_RIR_RC_OK) << fi.text;
        EXPECT_EQ(first.info.snap_size, VEK_RIR_FILE_SIZE);
        live_append(3, "later");
        ASSERT_EQ(vek_rir_if_snap_fetch_local(&fi, &second.info, 5), VEK_RIR_RC_OK) << fi.text;
    }
    std::vector<seen_t> seen = walk(&first.info, 0);
    ASSERT_EQ(seqnos(seen), (std::vector<uint64_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(seen[4].text, "live 4");
    EXPECT_EQ(seen[4].identity, "tester");
    EXPECT_EQ(seen[4].rir_class, VEK_RIR_CLASS_EVENT);
    EXPECT_EQ(seen[4].code, 4u);
    seen = walk(&second.info, 1);
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(seen[0].seqno, 7u);
    EXPECT_EQ(seen[0].identity, "later");
    EXPECT_EQ(seen[3].identity, "tester");
    // Without a time the file on disk is read as the server last wrote it (stopping the
    // server snaps nothing).
    live_append(2, "unsnapped");
    ASSERT_EQ(vek_rir_if_snap_fetch_local(&fi, &stale.info, 0), VEK_RIR_RC_OK) << fi.text;
    EXPECT_EQ(walk(&stale.info, 0).size(), 8u);
    EXPECT_EQ(peer_fetches.load(), 1); // the server's final duties only
}

TEST_F(ReaderTest, BothFetchGetsTheMergedLogAfterTheServerMerged)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    live_append(4);
    test_log_t merged(VEK_RIR_MERGED_RECORD_COUNT);
    merged.info().flags = VEK_RIR_HEADER_FLAG_MERGED;
    for (int k = 0; k < 3; k++)
        merged.append(50 + k, 0, "merged", ("m" + std::to_string(k)).c_str());
    ASSERT_TRUE(write_log(vek_rir_merged_path, merged));
    test_log_t peer;
    peer.append(1, 0, "peer", "p0");
    peer.append(2, 0, "peer", "p1");
    snap_t as_written, remerged;
    vek_rir_failure_info_t fi;
    {
        embedded_server_t server;
        ASSERT_TRUE(server.started);
        // No peer copy yet: the merge has nothing to do and the file stays as written.
        ASSERT_EQ(vek_rir_if_snap_fetch_both(&fi, &as_written.info, 5), VEK_RIR_RC_OK) << fi.text;
        EXPECT_EQ(peer_fetches.load(), 1);
        ASSERT_TRUE(write_log(vek_rir_peer_path, peer));
        ASSERT_EQ(vek_rir_if_snap_fetch_both(&fi, &remerged.info, 5), VEK_RIR_RC_OK) << fi.text;
        EXPECT_EQ(peer_fetches.load(), 2);
    }
    EXPECT_EQ(as_written.info.snap_size, VEK_RIR_MERGED_FILE_SIZE);
    std::vector<seen_t> seen = walk(&as_written.info, 0);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].text, "m2");
    EXPECT_EQ(seen[2].ts.tv_sec, 52);
    // The peer's records are the oldest; the merge numbers everything from 0.
    seen = walk(&remerged.info, 0);
    ASSERT_EQ(seqnos(seen), (std::vector<uint64_t>{0, 1, 2, 3, 4, 5}));
    std::vector<std::string> texts;
    for (const seen_t &s : seen)
        texts.push_back(s.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"p0", "p1", "live 0", "live 1", "live 2", "live 3"}));
}

TEST_F(ReaderTest, WithoutAnAnswerTheFileOnDiskIsReadUnlessNoServerRuns)
{
    enum server_kind_t { none, silent };
    struct case_t {
        bool both;
        server_kind_t server;
        int timeout;
        bool file;
        vek_rir_rc_t rc;
        const char *text;
    } cases[] = {
        {false, none, 5, true, VEK_RIR_RC_FAILURE, "noserver"},
        {true, none, 5, true, VEK_RIR_RC_FAILURE, "noserver"},
        {false, none, 0, true, VEK_RIR_RC_OK, ""},
        {true, none, 0, true, VEK_RIR_RC_OK, ""},
        {false, silent, 1, true, VEK_RIR_RC_OK, ""},
        {true, silent, 1, true, VEK_RIR_RC_OK, ""},
        {false, silent, 1, false, VEK_RIR_RC_FAILURE,
         "missing RIR snap at /vek_var/vek-rir-local-snap.bin"},
        {true, silent, 1, false, VEK_RIR_RC_FAILURE,
         "missing RIR snap at /vek_var/vek-rir-merged.bin"},
    };
    test_log_t local_log, merged_log(VEK_RIR_MERGED_RECORD_COUNT);
    local_log.append(5, 0, "disk", "local");
    merged_log.append(6, 0, "disk", "merged");
    merged_log.append(7, 0, "disk", "merged");
    for (const case_t &c : cases) {
        SCOPED_TRACE(std::string(c.both ? "both" : "local") +
                     (c.server == silent ? ", silent server" : ", no server") + ", timeout " +
                     std::to_string(c.timeout) + (c.file ? ", file" : ", no file"));
        unlink(local_snap);
        unlink(vek_rir_merged_path);
        if (c.file) {
            ASSERT_TRUE(write_log(local_snap, local_log));
            ASSERT_TRUE(write_log(vek_rir_merged_path, merged_log));
        }
        std::unique_ptr<silent_server_t> holder;
        if (c.server == silent) {
            holder = std::make_unique<silent_server_t>();
            ASSERT_TRUE(holder->bound);
        }
        snap_t snap;
        vek_rir_failure_info_t fi;
        auto begin = std::chrono::steady_clock::now();
        vek_rir_rc_t rc = c.both ? vek_rir_if_snap_fetch_both(&fi, &snap.info, c.timeout)
                                 : vek_rir_if_snap_fetch_local(&fi, &snap.info, c.timeout);
        long long waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - begin)
                                  .count();
        EXPECT_EQ(rc, c.rc);
        EXPECT_STREQ(fi.text, c.text);
        if (rc == VEK_RIR_RC_OK) {
            EXPECT_EQ(walk(&snap.info, 0).size(), c.both ? 2u : 1u);
            EXPECT_EQ(snap.info.snap_size, c.both ? VEK_RIR_MERGED_FILE_SIZE : VEK_RIR_FILE_SIZE);
        } else {
            EXPECT_EQ(snap.info.snap_buffer, nullptr);
        }
        if (holder != nullptr) {
            EXPECT_GE(waited_ms, 900);
            EXPECT_EQ(holder->request(), c.both ? "mirror-peer-and-merge" : "snap");
        }
    }
}
