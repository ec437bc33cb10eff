// The peer fetch against a stand-in secure-copy client placed first on the search path: the
// exact command line, the publication by rename, the previous copy kept on failure and the
// failure line at most once per interval.

#include "tests/vek_rir_persist.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

// What the stand-in saw: its arguments one per line, then where its output went.
constexpr char fake_seen_path[] = "/vek_tmp/scp-seen";
// The stand-in's behaviour: "fail" makes it exit 1 after leaving a partial file; anything else
// is copied to the destination (its last argument).
constexpr char fake_mode_path[] = "/vek_tmp/scp-mode";

constexpr char fake_scp[] = R"sh(#!/bin/sh
: > /vek_tmp/scp-seen
for arg in "$@"; do printf '%s\n' "$arg" >> /vek_tmp/scp-seen; done
printf 'stdout=%s\nstderr=%s\n' "$(readlink /proc/$$/fd/1)" "$(readlink /proc/$$/fd/2)" >> /vek_tmp/scp-seen
for last in "$@"; do :; done
echo "noise on both streams"; echo "more noise" >&2
if [ "$(cat /vek_tmp/scp-mode)" = fail ]; then printf partial > "$last"; exit 1; fi
cp /vek_tmp/scp-mode "$last"
)sh";

class PeerTest : public fake_scp_test {
protected:
    const char *fake_scp_script() const override { return fake_scp; }
};

uint64_t fake_now = 0;
uint64_t fake_clock()
{
    return fake_now;
}

const std::string fetch_line = std::string("unable to fetch ") + vek_rir_local_snap_path +
                               " from peer to " + vek_rir_peer_tmp_path + "\n";

TEST_F(PeerTest, CommandLineIsExactlyTheFixedOne)
{
    char command[512];
    size_t length = vek_rir_peer_command_format(command, sizeof(command));
    const std::string expected =
        "scp -P22 -o ServerAliveCountMax=3 -o ServerAliveInterval=5 -o ConnectTimeout=5 "
        "-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR "
        "rir@vek-rir-peer:/vek_var/vek-rir-local-snap.bin /vek_var/vek-rir-peer.bin.tmp "
        ">/dev/null 2>&1";
    EXPECT_EQ(std::string(command), expected);
    EXPECT_EQ(length, expected.size());
}

TEST_F(PeerTest, SuccessfulFetchReplacesThePeerCopyWholeAndSilencesTheClient)
{
    ASSERT_TRUE(write_file(vek_rir_peer_path, "old copy"));
    ASSERT_TRUE(write_file(fake_mode_path, "new copy"));
    uint64_t t_last_whined = 0;
    fake_now = 1000;
    vek_rir_peer_mirror_run(fake_clock, &t_last_whined);

    EXPECT_EQ(read_file(vek_rir_peer_path), "new copy");
    EXPECT_FALSE(path_exists(vek_rir_peer_tmp_path));
    EXPECT_EQ(t_last_whined, 0u);
    EXPECT_TRUE(sandbox_take_syslog_messages().empty());
    EXPECT_EQ(read_file(fake_seen_path),
              "-P22\n-o\nServerAliveCountMax=3\n-o\nServerAliveInterval=5\n-o\nConnectTimeout=5\n"
              "-o\nStrictHostKeyChecking=no\n-o\nUserKnownHostsFile=/dev/null\n-o\n"
              "LogLevel=ERROR\nrir@vek-rir-peer:/vek_var/vek-rir-local-snap.bin\n"
              "/vek_var/vek-rir-peer.bin.tmp\nstdout=/dev/null\nstderr=/dev/null\n");
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
    for (const step_t &s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.now));
        ASSERT_TRUE(write_file(fake_mode_path, s.succeed ? "fetched" : "fail"));
        fake_now = s.now;
        vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
        std::vector<std::string> lines = sandbox_take_syslog_messages();
        EXPECT_EQ(lines, s.whine ? std::vector<std::string>{fetch_line}
                                 : std::vector<std::string>{});
        EXPECT_EQ(read_file(vek_rir_peer_path), s.succeed || s.now > 221 ? "fetched" : "old copy");
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

TEST_F(PeerTest, FailedRenameIsLoggedEveryTime)
{
    ASSERT_TRUE(write_file(fake_mode_path, "fetched"));
    ASSERT_EQ(mkdir(vek_rir_peer_path, 0755), 0);
    ASSERT_TRUE(write_file(std::string(vek_rir_peer_path) + "/x", "x"));
    const std::string line = std::string("unable to rename ") + vek_rir_peer_tmp_path + " to " +
                             vek_rir_peer_path + "\n";
    uint64_t t_last_whined = 0;
    fake_now = 1000;
    vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
    vek_rir_peer_mirror_run(fake_clock, &t_last_whined);
    EXPECT_EQ(sandbox_take_syslog_messages(), (std::vector<std::string>{line, line}));
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
    ASSERT_TRUE(write_file(fake_mode_path, "fetched"));
    vek_rir_file_mirror_peer();
    EXPECT_EQ(read_file(vek_rir_peer_path), "fetched");
}

} // namespace
