// Disks that refuse: a write, a size or a sync failed on purpose for each writer of files, a
// nearly full /vek_var under a running server, a /vek_var read-only before anything attaches
// and a full mirror mount. Each writer fails with its text or one line naming the file, leaves
// no companion, keeps the published file and every record already appended.

#include "tests/vek_rir_persist.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

// The calls of one kind on one file that fail while an io_fault_t lives; the product's table
// holds plain functions, so the fault they consult is this one global.
struct fault_t {
    std::string call;      // "write", "pwrite", "ftruncate", "fsync" or "msync"
    std::string path;      // the file (or directory) whose calls fail; "" for every one
    int pass = 0;          // matching calls let through before the first failure
    int error = EIO;
};

fault_t fault;
std::atomic<int> fault_passed{0};
std::atomic<int> fault_hits{0};

std::string fd_path(int fd)
{
    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof(target) - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
}

bool fault_strikes(const char *call, int fd)
{
    if (fault.call != call || (!fault.path.empty() && fd_path(fd) != fault.path))
        return false;
    if (fault_passed++ < fault.pass)
        return false;
    fault_hits++;
    errno = fault.error;
    return true;
}

const vek_rir_util_io_t faulty_io = {
    [](int fd, const void *b, size_t n) { return fault_strikes("write", fd) ? -1 : write(fd, b, n); },
    [](int fd, const void *b, size_t n, off_t o) {
        return fault_strikes("pwrite", fd) ? -1 : pwrite(fd, b, n, o);
    },
    [](int fd, off_t n) { return fault_strikes("ftruncate", fd) ? -1 : ftruncate(fd, n); },
    [](int fd) { return fault_strikes("fsync", fd) ? -1 : fsync(fd); },
    [](void *a, size_t n, int f) { return fault_strikes("msync", -1) ? -1 : msync(a, n, f); },
};

struct io_fault_t {
    explicit io_fault_t(const fault_t &f)
    {
        fault = f;
        fault_passed = 0;
        fault_hits = 0;
        vek_rir_util_io = faulty_io;
    }
    ~io_fault_t() { vek_rir_util_io = vek_rir_util_io_real; }
};

class DiskTest : public sandbox_test {
protected:
    sandbox_options_t sandbox_options() const override
    {
        sandbox_options_t options;
        options.mount_node = true;
        return options;
    }
    void TearDown() override
    {
        vek_rir_util_io = vek_rir_util_io_real;
        vek_rir_server_duties = vek_rir_server_duties_real;
        sandbox_test::TearDown();
    }
};

constexpr char inhale_path[] = "/vek_tmp/inhale.bin";
constexpr char out_path[] = "/vek_tmp/out.bin";
const std::string live = vek_rir_local_path;

test_log_t small_log(uint64_t count, uint64_t start, const char *text,
                     uint64_t record_count = VEK_RIR_RECORD_COUNT)
{
    test_log_t log(record_count);
    for (uint64_t k = 0; k < count; k++)
        log.append(start + k, 0, "disk", text);
    return log;
}

// Every file a writer could touch, as a case finds them: a live log of five records, valid
// inputs and published files, earlier mirror copies.
void files_prepare()
{
    for (const char *path :
         {vek_rir_local_path, vek_rir_local_snap_path, vek_rir_local_snap_tmp_path,
          vek_rir_peer_path, vek_rir_merged_path, vek_rir_merged_tmp_path,
          vek_rir_local_mirror_path, vek_rir_local_mirror_tmp_path, vek_rir_peer_mirror_path,
          vek_rir_merged_mirror_path, out_path})
        unlink(path);
    {
        live_attach_t attached;
        ASSERT_TRUE(attached.ok) << attached.failure_info.text;
        live_append(5);
    }
    ASSERT_TRUE(write_log(vek_rir_local_snap_path, small_log(3, 100, "snap")));
    ASSERT_TRUE(write_log(vek_rir_peer_path, small_log(3, 101, "peer")));
    ASSERT_TRUE(write_log(vek_rir_merged_path,
                          small_log(1, 50, "merged", VEK_RIR_MERGED_RECORD_COUNT)));
    ASSERT_TRUE(write_log(inhale_path, small_log(2, 200, "inhaled")));
    ASSERT_TRUE(write_file(vek_rir_local_mirror_path, "earlier mirror"));
    ASSERT_TRUE(write_file(out_path, "earlier out"));
    sandbox_take_syslog_messages();
}

std::string lines()
{
    std::string joined;
    for (const std::string &line : sandbox_take_syslog_messages())
        joined += line;
    return joined;
}

std::string text_of(int rc, const vek_rir_failure_info_t &fi)
{
    return std::string(rc != 0 ? "failed: " : "ok: ") + fi.text;
}

std::string cli_snap()
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    return text_of(vek_rir_cli_snap(&fi, out_path), fi);
}

std::string cli_merge()
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    return text_of(vek_rir_cli_merge(&fi, vek_rir_local_snap_path, vek_rir_peer_path, out_path),
                   fi);
}

std::string cli_add(int flush)
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    return text_of(vek_rir_cli_add(&fi, 0, 0, 0, "disk", "added", flush), fi);
}

std::string attach_new()
{
    unlink(vek_rir_local_path);
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    std::string text = text_of(vek_rir_file_attach(VEK_RIR_TRUE, &fi), fi);
    if (vek_rir_header != nullptr)
        vek_rir_file_detach();
    return text + (path_exists(live) ? " (log left)" : "");
}

// An attach to a log whose mutex dates from an earlier boot stores the new boot time and syncs.
std::string attach_after_reboot()
{
    uint64_t earlier_boot = 1;
    int fd = open(vek_rir_local_path, O_WRONLY | O_CLOEXEC);
    bool stamped = pwrite(fd, &earlier_boot, sizeof(earlier_boot),
                          VEK_RIR_LOCK_OFFSET(mutex_init_boot_time)) == sizeof(earlier_boot);
    close(fd);
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    std::string text = text_of(vek_rir_file_attach(VEK_RIR_FALSE, &fi), fi);
    if (vek_rir_header != nullptr)
        vek_rir_file_detach();
    return stamped ? text : "unstamped";
}

std::string deinit()
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    return text_of(vek_rir_if_world_deinit(&fi), fi);
}

std::string merge_line(const std::string &why)
{
    return std::string("unable to merge ") + vek_rir_local_snap_path + " and " +
           vek_rir_peer_path + " to " + vek_rir_merged_tmp_path + ": " + why + "\n";
}

const std::string live_sync = "unable to sync RIR at /vek_var/vek-rir-local.bin (5)";
const std::string tmp_merged = vek_rir_merged_tmp_path;

enum class attach_t { none, live, world };
enum class ring_t { kept, replaced };

struct fault_case_t {
    const char *name;
    fault_t fault;
    attach_t attach;
    std::function<std::string()> run; // the writer's failure text, or the lines it logged
    std::string expected;
    const char *kept;    // a published file that must stay as it was, or null
    const char *removed; // a companion that must not be left, or null
    ring_t ring;
};

} // namespace

TEST_F(DiskTest, EveryWriterTurnsARefusedCallIntoItsTextAndKeepsWhatWasPublished)
{
    const fault_case_t cases[] = {
        {"snapshot write", {"write", vek_rir_local_snap_tmp_path}, attach_t::live,
         [] { vek_rir_file_snap(); return lines(); },
         "unable to write to /vek_var/vek-rir-local-snap.bin.tmp (-1/5)\n",
         vek_rir_local_snap_path, vek_rir_local_snap_tmp_path, ring_t::kept},
        {"snapshot sync", {"fsync", vek_rir_local_snap_tmp_path}, attach_t::live,
         [] { vek_rir_file_snap(); return lines(); },
         "unable to sync /vek_var/vek-rir-local-snap.bin.tmp (5)\n", vek_rir_local_snap_path,
         vek_rir_local_snap_tmp_path, ring_t::kept},
        {"merge size", {"ftruncate", tmp_merged}, attach_t::none,
         [] { vek_rir_file_merge(); return lines(); },
         merge_line("unable to size dst file at " + tmp_merged + " (5)"), vek_rir_merged_path,
         vek_rir_merged_tmp_path, ring_t::kept},
        {"merge first sync", {"fsync", tmp_merged}, attach_t::none,
         [] { vek_rir_file_merge(); return lines(); },
         merge_line("unable to sync dst file at " + tmp_merged + " (5)"), vek_rir_merged_path,
         vek_rir_merged_tmp_path, ring_t::kept},
        {"merge last sync", {"fsync", tmp_merged, 1}, attach_t::none,
         [] { vek_rir_file_merge(); return lines(); },
         merge_line("unable to sync dst file at " + tmp_merged + " (5)"), vek_rir_merged_path,
         vek_rir_merged_tmp_path, ring_t::kept},
        {"merge header write", {"pwrite", tmp_merged, 0, ENOSPC}, attach_t::none,
         [] { vek_rir_file_merge(); return lines(); }, merge_line("dst file header write short"),
         vek_rir_merged_path, vek_rir_merged_tmp_path, ring_t::kept},
        {"mirror copy sync", {"fsync", vek_rir_local_mirror_tmp_path}, attach_t::live,
         [] { vek_rir_file_mirror_local(); return lines(); },
         "unable to copy /vek_var/vek-rir-local-snap.bin to /vek_node/vek-rir-local.bin.tmp "
         "(dst fsync failed: 5)\n",
         vek_rir_local_mirror_path, vek_rir_local_mirror_tmp_path, ring_t::kept},
        // The copies were synced and renamed; only the names may be lost.
        {"mirror directory sync", {"fsync", vek_rir_mirror_dir_path}, attach_t::live,
         [] {
             vek_rir_file_mirror_local();
             return lines() + (path_exists(vek_rir_merged_mirror_path) ? "copied" : "");
         },
         "unable to sync /vek_node (5)\ncopied", nullptr, nullptr, ring_t::kept},
        {"flush msync", {"msync", ""}, attach_t::live,
         [] { vek_rir_file_flush(); return lines(); }, live_sync + "\n", nullptr, nullptr,
         ring_t::kept},
        {"flush fsync", {"fsync", live}, attach_t::live,
         [] { vek_rir_file_flush(); return lines(); }, live_sync + "\n", nullptr, nullptr,
         ring_t::kept},
        {"clear", {"msync", ""}, attach_t::live, [] { vek_rir_file_clear(); return lines(); },
         "unable to clear RIR: " + live_sync + "\n", nullptr, nullptr, ring_t::kept},
        {"inhale", {"fsync", live}, attach_t::live,
         [] { vek_rir_file_inhale(inhale_path); return lines(); },
         std::string("unable to inhale ") + inhale_path + ": " + live_sync + "\n", inhale_path,
         nullptr, ring_t::replaced},
        {"rir_snap size", {"ftruncate", out_path}, attach_t::none, cli_snap,
         "failed: unable to size snap file at /vek_tmp/out.bin (5)", nullptr, nullptr,
         ring_t::kept},
        {"rir_snap sync", {"fsync", out_path}, attach_t::none, cli_snap,
         "failed: unable to sync snap file at /vek_tmp/out.bin (5)", nullptr, nullptr,
         ring_t::kept},
        {"rir_snap write", {"write", out_path}, attach_t::none, cli_snap,
         "failed: unable to write snap file at /vek_tmp/out.bin (Input/output error); the copy "
         "there is incomplete",
         nullptr, nullptr,
         ring_t::kept},
        {"rir_snap detach", {"fsync", live}, attach_t::none, cli_snap, "failed: " + live_sync,
         nullptr, nullptr, ring_t::kept},
        {"rir_merge size", {"ftruncate", out_path}, attach_t::none, cli_merge,
         "failed: unable to size dst file at /vek_tmp/out.bin (5)", nullptr, nullptr,
         ring_t::kept},
        {"rir_merge last sync", {"fsync", out_path, 1}, attach_t::none, cli_merge,
         "failed: unable to sync dst file at /vek_tmp/out.bin (5)", nullptr, nullptr,
         ring_t::kept},
        {"rir_add -F", {"msync", ""}, attach_t::none, [] { return cli_add(1); },
         "failed: " + live_sync, nullptr, nullptr, ring_t::kept},
        {"rir_add detach", {"fsync", live}, attach_t::none, [] { return cli_add(0); },
         "failed: " + live_sync, nullptr, nullptr, ring_t::kept},
        {"world deinit", {"msync", ""}, attach_t::world, deinit, "failed: " + live_sync, nullptr,
         nullptr, ring_t::kept},
        {"attach after a reboot", {"msync", ""}, attach_t::none, attach_after_reboot,
         "failed: " + live_sync, nullptr, nullptr, ring_t::kept},
        {"new log size", {"ftruncate", live}, attach_t::none, attach_new,
         "failed: unable to size RIR at /vek_var/vek-rir-local.bin (5)", nullptr, nullptr,
         ring_t::replaced},
        {"new log sync", {"fsync", live}, attach_t::none, attach_new, "failed: " + live_sync,
         nullptr, nullptr, ring_t::replaced},
        {"new log header sync", {"msync", ""}, attach_t::none, attach_new,
         "failed: " + live_sync, nullptr, nullptr, ring_t::replaced},
    };
    for (const fault_case_t &c : cases) {
        SCOPED_TRACE(c.name);
        // Each case is a round of its own, as if 10 s apart: no line is held back.
        vek_rir_util_log_limits_reset();
        files_prepare();
        ASSERT_FALSE(HasFatalFailure());
        std::unique_ptr<live_attach_t> attached;
        if (c.attach == attach_t::live)
            attached = std::make_unique<live_attach_t>();
        if (c.attach == attach_t::world)
            ASSERT_EQ(vek_rir_if_world_init(nullptr), VEK_RIR_RC_OK);
        std::string ring_before = read_file(live).substr(VEK_RIR_HEADER_SIZE, 5 * 256);
        std::string kept_before = c.kept != nullptr ? read_file(c.kept) : "";
        std::string got;
        {
            io_fault_t injected(c.fault);
            got = c.run();
            EXPECT_GE(fault_hits.load(), 1);
        }
        attached.reset();
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(vek_rir_header, nullptr);
        if (c.kept != nullptr)
            EXPECT_TRUE(read_file(c.kept) == kept_before);
        if (c.removed != nullptr)
            EXPECT_FALSE(path_exists(c.removed));
        if (c.ring == ring_t::kept)
            EXPECT_TRUE(read_file(live).substr(VEK_RIR_HEADER_SIZE, 5 * 256) == ring_before);
    }
}

// Leaves `free_bytes` of /vek_var free by growing one filler file.
void var_fill(uint64_t free_bytes)
{
    struct statfs fs;
    ASSERT_EQ(statfs("/vek_var", &fs), 0);
    uint64_t available = static_cast<uint64_t>(fs.f_bsize) * fs.f_bavail;
    int fd = open("/vek_var/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    ASSERT_GE(available, free_bytes);
    ASSERT_EQ(fallocate(fd, 0, st.st_size, static_cast<off_t>(available - free_bytes)), 0)
        << strerror(errno);
    close(fd);
}

std::string request(const char *text)
{
    char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    vek_rir_server_exec(&fi, text, response, sizeof(response), 10);
    return response;
}

TEST_F(DiskTest, ServerOnAFillingVarKeepsItsFilesAndRecordsAndAnswersOn)
{
    live_attach_t attached;
    ASSERT_TRUE(attached.ok) << attached.failure_info.text;
    vek_rir_server_duties.mirror_peer = [] {};
    ASSERT_EQ(vek_rir_server_thread_start(), 0);
    const uint64_t count = VEK_RIR_RECORD_COUNT;
    live_append(static_cast<int>(count));
    // Both rings full, the peer's older than every live record: a merge writes 6 MiB, the
    // peer's 3 first.
    test_log_t peer;
    for (uint64_t k = 0; k < count; k++)
        peer.append(1000 + k, 0, "peer", "p");
    ASSERT_TRUE(write_log(vek_rir_peer_path, peer));
    EXPECT_EQ(request("merge"), "ok");
    std::string merged = read_file(vek_rir_merged_path);
    ASSERT_EQ(file_info(merged).next_seqno, 2 * count);

    // Room for a snapshot beside the old one, not for a merged log beside the old one.
    var_fill(9u << 19);
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    EXPECT_EQ(vek_rir_if_record_add(&fi, 0, 0, 0, "full", "refused"), VEK_RIR_RC_FAILURE);
    EXPECT_STREQ(fi.text, "unable to work RIR - parent out of space");
    EXPECT_EQ(request("merge"), "ok");
    EXPECT_EQ(sandbox_take_syslog_messages(),
              std::vector<std::string>{merge_line("src1 file record write short")});
    EXPECT_EQ(file_info(read_file(vek_rir_local_snap_path)).next_seqno, count);
    EXPECT_TRUE(read_file(vek_rir_merged_path) == merged);
    EXPECT_FALSE(path_exists(vek_rir_merged_tmp_path));

    var_fill(0);
    std::string snapshot = read_file(vek_rir_local_snap_path);
    // As a round of the duty more than 10 s later: the merge's line is not held back.
    vek_rir_util_log_limits_reset();
    EXPECT_EQ(request("merge"), "ok");
    std::vector<std::string> full = sandbox_take_syslog_messages();
    // The server's status file finds no room either; its line may come before or after the
    // answer, so it is not counted here.
    std::erase_if(full, [](const std::string &line) {
        return line.find(vek_rir_status_path) != std::string::npos;
    });
    ASSERT_EQ(full.size(), 2u);
    const std::string short_snap = "unable to write to /vek_var/vek-rir-local-snap.bin.tmp (";
    EXPECT_EQ(full[0].substr(0, short_snap.size()), short_snap);
    EXPECT_EQ(full[1], merge_line("dst file header write short"));
    EXPECT_TRUE(read_file(vek_rir_local_snap_path) == snapshot);
    EXPECT_TRUE(read_file(vek_rir_merged_path) == merged);
    EXPECT_FALSE(path_exists(vek_rir_local_snap_tmp_path));
    EXPECT_FALSE(path_exists(vek_rir_merged_tmp_path));

    ASSERT_EQ(unlink("/vek_var/filler"), 0);
    EXPECT_EQ(request("nothing"), "ok");
    vek_rir_server_thread_stop();
    std::vector<vek_rir_record_real_t> walk = file_walk(read_file(live));
    ASSERT_EQ(walk.size(), count);
    for (size_t i = 0; i < walk.size(); i++)
        ASSERT_EQ(std::string(walk[i].text), "live " + std::to_string(i));
}

TEST_F(DiskTest, ReadOnlyVarBeforeAnyAttachRefusesEveryWriterAndKeepsTheOldLog)
{
    for (bool old_log : {false, true}) {
        SCOPED_TRACE(old_log ? "with an old log" : "empty");
        if (old_log)
            ASSERT_EQ(run_tool("-o rir_add -I old -t kept").status, 0);
        ASSERT_TRUE(write_log("/vek_tmp/a", small_log(1, 1, "a")));
        ASSERT_TRUE(write_log("/vek_tmp/b", small_log(1, 2, "b")));
        std::string before = read_file(live);
        ASSERT_EQ(mount(nullptr, "/vek_var", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        const std::string lock = "unable to open RIR lock file at /vek_var/vek-rir-lock.bin\n";
        struct case_t {
            const char *arguments, *out;
        } cases[] = {
            {"-o rir_add -I ro -t x", "rir_add failed: "},
            {"-o rir_snap -M /vek_tmp/s.bin", "rir_snap failed: "},
            {"-o rir_serve -r 1", "rir_server_run failed: "},
        };
        for (const case_t &c : cases) {
            tool_result_t r = run_tool(c.arguments);
            EXPECT_EQ(r.status, 1) << c.arguments;
            EXPECT_EQ(r.out, c.out + lock) << c.arguments;
        }
        tool_result_t merge = run_tool("-o rir_merge -G /vek_tmp/a -H /vek_tmp/b -M /vek_var/m");
        EXPECT_EQ(merge.out, "rir_merge failed: unable to open dst file at /vek_var/m\n");
        vek_rir_failure_info_t fi;
        vek_rir_failure_info_clear(&fi);
        EXPECT_EQ(vek_rir_if_world_init(&fi), VEK_RIR_RC_FAILURE);
        EXPECT_EQ(fi.text + std::string("\n"), lock);
        EXPECT_EQ(vek_rir_if_record_add(nullptr, 0, 0, 0, "ro", "x"), VEK_RIR_RC_FAILURE);
        EXPECT_FALSE(path_exists("/vek_tmp/s.bin"));
        EXPECT_TRUE(read_file(live) == before);
        EXPECT_TRUE(sandbox_take_syslog_messages().empty());
        ASSERT_EQ(mount(nullptr, "/vek_var", nullptr, MS_REMOUNT, nullptr), 0);
    }
}

TEST_F(DiskTest, FullMirrorMountKeepsEveryEarlierCopy)
{
    // 13 MiB: the three earlier copies take 12, none of the new ones fits beside its own.
    ASSERT_EQ(sandbox_mount_tmpfs(vek_rir_mirror_dir_path, 13u << 20), "");
    live_attach_t attached;
    ASSERT_TRUE(attached.ok) << attached.failure_info.text;
    live_append(3);
    vek_rir_file_snap();
    ASSERT_TRUE(write_log(vek_rir_peer_path, small_log(2, 10, "peer")));
    ASSERT_TRUE(write_log(vek_rir_merged_path,
                          small_log(2, 10, "merged", VEK_RIR_MERGED_RECORD_COUNT)));
    const char *mirrors[] = {vek_rir_local_mirror_path, vek_rir_peer_mirror_path,
                             vek_rir_merged_mirror_path};
    ASSERT_TRUE(write_log(mirrors[0], small_log(1, 1, "earlier")));
    ASSERT_TRUE(write_log(mirrors[1], small_log(1, 1, "earlier")));
    ASSERT_TRUE(write_log(mirrors[2], small_log(1, 1, "earlier", VEK_RIR_MERGED_RECORD_COUNT)));
    std::vector<std::string> earlier;
    for (const char *m : mirrors)
        earlier.push_back(read_file(m));
    vek_rir_file_mirror_local();
    std::vector<std::string> logged = sandbox_take_syslog_messages();
    ASSERT_EQ(logged.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_NE(logged[i].find(" (sendfile failed: "), std::string::npos) << logged[i];
        EXPECT_TRUE(read_file(mirrors[i]) == earlier[i]) << mirrors[i];
        EXPECT_FALSE(path_exists(std::string(mirrors[i]) + ".tmp")) << mirrors[i];
    }
    EXPECT_EQ(file_info(read_file(live)).next_seqno, 3u);
}

// The install makes the live log empty, root's, with the group and mode that let the group's
// members log; the code's own creation could not give them back. The first attach that may
// create makes it a log in place; one that cannot leaves it empty with them, and the next one
// that can finishes the job.
TEST_F(DiskTest, APreCreatedEmptyLogKeepsItsOwnerGroupAndModeWhateverTheAttachMeets)
{
    constexpr gid_t group = 4710;
    struct case_t {
        const char *name;
        fault_t fault;           // no call: nothing refused
        uint64_t var_bytes;      // non-zero: /vek_var too small for the log
        std::string text;
    } cases[] = {
        {"nothing refused", {}, 0, ""},
        {"size refused", {"ftruncate", live}, 0, "unable to size RIR at " + live + " (5)"},
        {"size sync refused", {"fsync", live}, 0, live_sync},
        {"header sync refused", {"msync", ""}, 0, live_sync},
        {"no room for the log", {}, 1u << 20, "unable to reserve RIR space at " + live + " (28)"},
    };
    mode_t saved_mask = umask(022);
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.var_bytes != 0)
            ASSERT_EQ(sandbox_mount_tmpfs("/vek_var", c.var_bytes), "");
        unlink(live.c_str());
        int fd = open(live.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchown(fd, 0, group), 0);
        ASSERT_EQ(fchmod(fd, 0664), 0);
        close(fd);
        std::string text = "no fault";
        {
            std::unique_ptr<io_fault_t> refusing;
            if (!c.fault.call.empty())
                refusing = std::make_unique<io_fault_t>(c.fault);
            vek_rir_failure_info_t fi;
            vek_rir_failure_info_clear(&fi);
            text = text_of(vek_rir_file_attach(VEK_RIR_TRUE, &fi), fi);
        }
        EXPECT_EQ(text, c.text.empty() ? "ok: " : "failed: " + c.text);
        bool attached = vek_rir_header != nullptr;
        EXPECT_EQ(attached, c.text.empty());
        if (attached) {
            EXPECT_EQ(vek_rir_helper_info(vek_rir_header).magic, VEK_RIR_MAGIC);
            vek_rir_file_detach();
        }
        struct stat st;
        ASSERT_EQ(stat(live.c_str(), &st), 0) << "the pre-created log was removed";
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, group);
        EXPECT_EQ(st.st_mode & 07777, 0664u);
        EXPECT_EQ(st.st_size, attached ? static_cast<off_t>(VEK_RIR_FILE_SIZE) : 0);
        if (attached || c.var_bytes != 0)
            continue;
        // The disk takes it now: the same file becomes the log.
        live_attach_t again;
        ASSERT_TRUE(again.ok) << again.failure_info.text;
        ASSERT_EQ(stat(live.c_str(), &st), 0);
        EXPECT_EQ(st.st_gid, group);
        EXPECT_EQ(st.st_mode & 07777, 0664u);
    }
    umask(saved_mask);
}
