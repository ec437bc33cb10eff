// The peer fetch against a stand-in secure-copy client placed first on the search path: the
// exact command line, the private directory it writes into, the publication by rename of a
// fetched file that is a whole log, the previous copy kept on failure or on a bad fetch, and
// the failure lines at most once per interval.

#include "tests/vek_rir_persist.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

// What the stand-in saw: its arguments one per line, then where its output went.
constexpr char fake_seen_path[] = "/vek_tmp/scp-seen";
// The stand-in's behaviour: "fail" makes it exit 1 after leaving a partial file; "copy" copies
// the log at fake_source_path to the destination (its last argument); anything else is written
// there as it stands, as a peer that sends what is no log.
constexpr char fake_mode_path[] = "/vek_tmp/scp-mode";
constexpr char fake_source_path[] = "/vek_tmp/peer-source.bin";

constexpr char fake_scp[] = R"sh(#!/bin/sh
: > /vek_tmp/scp-seen
for arg in "$@"; do printf '%s\n' "$arg" >> /vek_tmp/scp-seen; done
printf 'stdout=%s\nstderr=%s\n' "$(readlink /proc/$$/fd/1)" "$(readlink /proc/$$/fd/2)" >> /vek_tmp/scp-seen
for last in "$@"; do :; done
echo "noise on both streams"; echo "more noise" >&2
if [ "$(cat /vek_tmp/scp-mode)" = fail ]; then printf partial > "$last"; exit 1; fi
if [ "$(cat /vek_tmp/scp-mode)" = copy ]; then cp /vek_tmp/peer-source.bin "$last"; exit; fi
cp /vek_tmp/scp-mode "$last"
)sh";

class PeerTest : public fake_scp_test {
protected:
    const char *fake_scp_script() const override { return fake_scp; }
    // The peer's snapshot as the stand-in delivers it: a whole log holding `text`.
    static std::string peer_log(const char *text)
    {
        test_log_t log;
        log.append(1000, 0, "peer", text);
        return log.str();
    }
    static bool peer_serves(const std::string &bytes)
    {
        return write_file(fake_source_path, bytes) && write_file(fake_mode_path, "copy");
    }
};

uint64_t fake_now = 0;
uint64_t fake_clock()
{
    return fake_now;
}

const std::string fetch_line = std::string("unable to fetch ") + vek_rir_local_snap_path +
                               " from peer to " + vek_rir_peer_tmp_path + "\n";

// What the client was asked to do, read from the arguments the stand-in got: fetch the peer's
// snapshot as the fixed account on port 22, into the private directory, never waiting on a
// prompt about the host key and carrying no credential on the command line.
TEST_F(PeerTest, TheClientIsAskedForThePeersSnapshotWithoutPromptsOrCredentials)
{
    ASSERT_TRUE(peer_serves(peer_log("fresh")));
    uint64_t t_last_whined = 0;
    fake_now = 1000;
    vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
    std::vector<std::string> args;
    std::string seen = read_file(fake_seen_path);
    for (size_t at = 0, end; (end = seen.find('\n', at)) != std::string::npos; at = end + 1)
        args.push_back(seen.substr(at, end - at));
    ASSERT_GE(args.size(), 4u) << seen;
    // The two last arguments before the stand-in's own lines about its output.
    std::vector<std::string> operands(args.end() - 4, args.end() - 2);
    EXPECT_EQ(operands[0], std::string("rir@vek-rir-peer:") + vek_rir_local_snap_path);
    EXPECT_EQ(operands[1], vek_rir_peer_tmp_path);
    std::vector<std::string> options;
    for (size_t i = 0; i + 1 < args.size(); i++)
        if (args[i] == "-o")
            options.push_back(args[i + 1]);
    for (const char *wanted : {"StrictHostKeyChecking=no", "UserKnownHostsFile=/dev/null",
                               "ConnectTimeout=5", "ServerAliveInterval=5",
                               "ServerAliveCountMax=3"})
        EXPECT_NE(std::find(options.begin(), options.end(), wanted), options.end()) << wanted;
    EXPECT_NE(std::find(args.begin(), args.end(), "-P22"), args.end());
    for (const std::string &arg : args)
        EXPECT_TRUE(arg != "-i" && arg.find("Password") == std::string::npos) << arg;
    EXPECT_TRUE(read_file(vek_rir_peer_path) == peer_log("fresh"));
}

TEST_F(PeerTest, SuccessfulFetchReplacesThePeerCopyWholeAndSilencesTheClient)
{
    ASSERT_TRUE(write_file(vek_rir_peer_path, "old copy"));
    const std::string fresh = peer_log("new copy");
    ASSERT_TRUE(peer_serves(fresh));
    uint64_t t_last_whined = 0;
    fake_now = 1000;
    vek_rir_peer_mirror_run(fake_clock, &t_last_whined);

    EXPECT_TRUE(read_file(vek_rir_peer_path) == fresh);
    EXPECT_FALSE(path_exists(vek_rir_peer_tmp_path));
    EXPECT_EQ(t_last_whined, 0u);
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
    EXPECT_EQ(read_file(fake_seen_path),
              "-P22\n-o\nServerAliveCountMax=3\n-o\nServerAliveInterval=5\n-o\nConnectTimeout=5\n"
              "-o\nStrictHostKeyChecking=no\n-o\nUserKnownHostsFile=/dev/null\n-o\n"
              "LogLevel=ERROR\nrir@vek-rir-peer:/vek_var/vek-rir-local-snap.bin\n"
              "/vek_var/vek-rir-fetch/vek-rir-peer.bin.tmp\nstdout=/dev/null\nstderr=/dev/null\n");
    // The client wrote as root into a directory only root may enter.
    struct stat st;
    ASSERT_EQ(lstat(vek_rir_peer_fetch_dir_path, &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
}

TEST_F(PeerTest, FetchedFileThatIsNoWholeLogNeverReplacesTheCopy)
{
    const std::string good = peer_log("kept");
    test_log_t wrong_magic;
    wrong_magic.info().magic ^= 1;
    struct case_t {
        const char *name;
        std::string sent;
        std::string reason;
    } cases[] = {
        {"text", "fetched", "fetched file header read short"},
        {"header only", good.substr(0, VEK_RIR_HEADER_SIZE), "fetched file record read short"},
        {"one record short", good.substr(0, good.size() - VEK_RIR_RECORD_SIZE),
         "fetched file record read short"},
        {"wrong magic", wrong_magic.str(), ""},
    };
    fake_now = 1000;
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        vek_rir_util_log_limits_reset();
        ASSERT_TRUE(write_file(vek_rir_peer_path, good));
        ASSERT_TRUE(peer_serves(c.sent));
        uint64_t t_last_whined = 0;
        vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
        EXPECT_TRUE(read_file(vek_rir_peer_path) == good);
        EXPECT_FALSE(path_exists(vek_rir_peer_tmp_path));
        std::vector<std::string> lines = sandbox_take_syslog_messages();
        ASSERT_EQ(lines.size(), 1u);
        const std::string head =
            std::string("unable to take ") + vek_rir_peer_tmp_path + " as the peer copy: ";
        EXPECT_EQ(lines[0].substr(0, head.size()), head);
        if (!c.reason.empty())
            EXPECT_EQ(lines[0], head + c.reason + "\n");
    }
    // A peer that keeps sending garbage writes one line per interval, not one per fetch.
    vek_rir_util_log_limits_reset();
    ASSERT_TRUE(peer_serves("fetched"));
    uint64_t t_last_whined = 0;
    for (int i = 0; i < 5; i++)
        vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
    EXPECT_EQ(sandbox_take_syslog_messages().size(), 1u);
}

TEST_F(PeerTest, FetchDirectoryIsMadePrivateOrTheFetchIsSkipped)
{
    // Root-only files a planter would like the client to write through.
    const std::string victim_dir = "/vek_tmp/victim";
    ASSERT_EQ(mkdir(victim_dir.c_str(), 0700), 0);
    ASSERT_TRUE(write_file(victim_dir + "/vek-rir-peer.bin.tmp", "secret", 0600));
    const std::string good = peer_log("fresh");
    struct case_t {
        const char *name;
        std::function<void()> plant;
        bool fetched;
    } cases[] = {
        {"link to a directory",
         [&] { ASSERT_EQ(symlink(victim_dir.c_str(), vek_rir_peer_fetch_dir_path), 0); }, true},
        {"plain file", [] { ASSERT_TRUE(write_file(vek_rir_peer_fetch_dir_path, "x")); }, true},
        {"open directory", [] { ASSERT_EQ(mkdir(vek_rir_peer_fetch_dir_path, 0777), 0);
                               ASSERT_EQ(chmod(vek_rir_peer_fetch_dir_path, 0777), 0); },
         true},
        {"directory of another user",
         [] {
             ASSERT_EQ(mkdir(vek_rir_peer_fetch_dir_path, 0700), 0);
             ASSERT_EQ(chown(vek_rir_peer_fetch_dir_path, 65534, 65534), 0);
         },
         false},
    };
    fake_now = 1000;
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        vek_rir_util_log_limits_reset();
        unlink(vek_rir_peer_path);
        unlink(fake_seen_path);
        ASSERT_EQ(system("rm -rf /vek_var/vek-rir-fetch"), 0);
        c.plant();
        ASSERT_TRUE(peer_serves(good));
        uint64_t t_last_whined = 0;
        vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
        EXPECT_EQ(read_file(victim_dir + "/vek-rir-peer.bin.tmp"), "secret");
        EXPECT_EQ(path_exists(fake_seen_path), c.fetched) << "whether the client ran";
        EXPECT_EQ(read_file(vek_rir_peer_path) == good, c.fetched);
        std::vector<std::string> lines = sandbox_take_syslog_messages();
        if (c.fetched) {
            EXPECT_TRUE(lines.empty());
            struct stat st;
            ASSERT_EQ(lstat(vek_rir_peer_fetch_dir_path, &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == geteuid());
            EXPECT_EQ(st.st_mode & 07777, 0700u);
        } else {
            EXPECT_EQ(lines, std::vector<std::string>{
                                 std::string("unable to prepare ") + vek_rir_peer_fetch_dir_path +
                                 " for the peer fetch: it is not a directory of the server's "
                                 "own\n"});
        }
    }
}

TEST_F(PeerTest, FailedFetchKeepsThePreviousCopyAndWhinesAtMostOncePerInterval)
{
    ASSERT_TRUE(write_file(vek_rir_peer_path, "old copy"));
    ASSERT_TRUE(write_file(fake_mode_path, "fail"));
    // Fetches every 20 s from the node's boot; a success in the middle does not reset the
    // interval.
    struct step_t {
        uint64_t now;
        bool succeed;
        bool whine;
    };
    const step_t steps[] = {
        {20, false, false},   // within the first interval after boot
        {120, false, false},  // exactly 120 s is not more than the interval
        {121, false, true},   //
        {141, false, false},  //
        {221, true, false},   // recovered
        {241, false, false},  // 120 s after the last line
        {242, false, true},   //
        {262, false, false},  //
        {1000, false, true},  //
    };
    uint64_t t_last_whined = 0;
    const std::string fetched = peer_log("fetched");
    ASSERT_TRUE(write_file(fake_source_path, fetched));
    for (const step_t &s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.now));
        ASSERT_TRUE(write_file(fake_mode_path, s.succeed ? "copy" : "fail"));
        fake_now = s.now;
        vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
        std::vector<std::string> lines = sandbox_take_syslog_messages();
        EXPECT_EQ(lines, s.whine ? std::vector<std::string>{fetch_line}
                                 : std::vector<std::string>{});
        EXPECT_TRUE(read_file(vek_rir_peer_path) ==
                    (s.succeed || s.now > 221 ? fetched : std::string("old copy")));
    }
    // What the failing client left stays at the temporary path for the next fetch to replace.
    EXPECT_EQ(read_file(vek_rir_peer_tmp_path), "partial");
}

TEST_F(PeerTest, ClientThatCannotBeRunIsAFailure)
{
    setenv("PATH", "/vek_tmp/nothing-here", 1);
    uint64_t t_last_whined = 0;
    fake_now = 500;
    vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
    EXPECT_EQ(sandbox_take_syslog_messages(), std::vector<std::string>{fetch_line});
    EXPECT_EQ(t_last_whined, 500u);
    EXPECT_FALSE(path_exists(vek_rir_peer_path));
}

// A client that hangs (a peer that accepts and never sends, a stuck shell) is ended at the
// bound with everything it started, and the fetch is a failure like any other.
TEST_F(PeerTest, AClientPastTheBoundIsEndedWithWhatItStarted)
{
    ASSERT_TRUE(write_file(std::string(fake_bin_dir) + "/scp",
                           "#!/bin/sh\nsleep 60 &\necho $! >/vek_tmp/sleep.pid\nwait\n", 0755));
    vek_rir_peer_fetch_limit_msecs = 300;
    uint64_t t_last_whined = 0;
    fake_now = 500;
    uint64_t start = vek_rir_util_monotime_msecs();
    vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
    uint64_t took = vek_rir_util_monotime_msecs() - start;
    vek_rir_peer_fetch_limit_msecs = 30000;
    EXPECT_GE(took, 300u);
    EXPECT_LT(took, 5000u);
    EXPECT_EQ(sandbox_take_syslog_messages(), std::vector<std::string>{fetch_line});
    // The client's own child went with it (gone, or a zombie waiting for its new parent).
    std::string pid = read_file("/vek_tmp/sleep.pid");
    ASSERT_FALSE(pid.empty());
    std::string stat = read_file("/proc/" + pid.substr(0, pid.size() - 1) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
}

TEST_F(PeerTest, FailedRenameIsLoggedOncePerInterval)
{
    ASSERT_TRUE(peer_serves(peer_log("fetched")));
    ASSERT_EQ(mkdir(vek_rir_peer_path, 0755), 0);
    ASSERT_TRUE(write_file(std::string(vek_rir_peer_path) + "/x", "x"));
    const std::string line = std::string("unable to rename ") + vek_rir_peer_tmp_path + " to " +
                             vek_rir_peer_path;
    uint64_t t_last_whined = 0;
    fake_now = 1000;
    for (int i = 0; i < 3; i++)
        vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
    EXPECT_EQ(sandbox_take_syslog_messages(), (std::vector<std::string>{line + "\n"}));
    vek_rir_util_log_clock_msecs = [] { return vek_rir_util_monotime_msecs() + 10000; };
    vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
    EXPECT_EQ(sandbox_take_syslog_messages(),
              (std::vector<std::string>{line + " (2 more like it left out)\n"}));
}

TEST_F(PeerTest, ServerDutyKeepsItsIntervalAcrossCalls)
{
    ASSERT_TRUE(write_file(fake_mode_path, "fail"));
    // The duty's interval lives for the whole process, so an earlier failure in this process
    // (or less than the interval of uptime) may keep even the first line back; the second
    // failure right after the first is never logged.
    vek_rir_file_mirror_peer();
    size_t first = sandbox_take_syslog_messages().size();
    EXPECT_LE(first, 1u);
    vek_rir_file_mirror_peer();
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
    const std::string fetched = peer_log("fetched");
    ASSERT_TRUE(peer_serves(fetched));
    vek_rir_file_mirror_peer();
    EXPECT_TRUE(read_file(vek_rir_peer_path) == fetched);
}

} // namespace
