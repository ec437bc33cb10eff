// What the server decides: which periodic duties a pass runs for given timer readings, what
// each request runs, answers and which timers it restarts, who may clear or inhale, and how
// often a denial is logged. The duties are replaced by recorders, so nothing of the node is
// touched. Last, what the final pass at a stop leaves on the node, with the real duties.

#include "tests/vek_rir_persist.h"
#include "vek_rir/vek_rir_int.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string calls;
// What the recording inhale and clear report: 0 carried out, 1 failed.
int inhale_result = 0;
int clear_result = 0;

class ServerDecisionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls.clear();
        inhale_result = 0;
        clear_result = 0;
        vek_rir_server_duties = {
            [] { calls += "flush "; },        [] { calls += "snap "; },
            [] { calls += "mirror-peer "; },  [] { calls += "merge "; },
            [] { calls += "mirror-local "; },
            [](const char *path) {
                calls += "inhale(" + std::string(path) + ") ";
                return inhale_result;
            },
            [] {
                calls += "clear ";
                return clear_result;
            },
        };
    }
    void TearDown() override { vek_rir_server_duties = vek_rir_server_duties_real; }
};

} // namespace

TEST_F(ServerDecisionTest, DueDutiesFollowTheirIntervalsFromTheLastRun)
{
    struct case_t {
        uint64_t since_flush, since_peer, since_merge, since_local;
        const char *runs;
    } cases[] = {
        {0, 0, 0, 0, ""},
        {4, 4, 4, 4, ""},
        {5, 5, 5, 5, "flush "},
        {5, 10, 10, 10, "flush snap mirror-local "},
        {5, 20, 20, 10, "flush snap mirror-peer merge mirror-local "},
        {0, 20, 19, 9, "mirror-peer "},
        {0, 0, 20, 0, "snap mirror-peer merge "},
        {0, 0, 0, 10, "snap mirror-local "},
    };
    const uint64_t now = 1000;
    for (const case_t &c : cases) {
        vek_rir_server_timers_t timers = {now - c.since_flush, now - c.since_peer,
                                          now - c.since_merge, now - c.since_local};
        calls.clear();
        vek_rir_server_duties_run(&timers, now);
        EXPECT_EQ(calls, c.runs) << c.since_flush << "/" << c.since_peer << "/" << c.since_merge
                                 << "/" << c.since_local;
    }
    // A clock reading below a timer (taken as unsigned) makes everything due, never nothing.
    vek_rir_server_timers_t ahead = {now + 1, now + 1, now + 1, now + 1};
    vek_rir_server_due_t due = vek_rir_server_duties_due(&ahead, now);
    EXPECT_TRUE(due.flush && due.merge);
}

TEST_F(ServerDecisionTest, RequestsRunTheirDutiesAnswerAndRestartTheirTimers)
{
    // `open`: the same for every sender; otherwise an unprivileged one is denied and nothing runs.
    struct case_t {
        const char *request, *runs, *answer;
        bool flush_reset, peer_reset, merge_reset, local_reset, open;
    } cases[] = {
        {"nothing", "", "ok", false, false, false, false, true},
        {"snap", "snap ", "ok", false, false, false, false, true},
        {"flush", "flush ", "ok", true, false, false, false, true},
        {"mirror-peer", "mirror-peer ", "ok", false, true, false, false, true},
        {"merge", "snap merge ", "ok", false, false, true, false, true},
        {"mirror-peer-and-merge", "snap mirror-peer merge ", "ok", false, true, true, false, true},
        {"mirror-local", "snap mirror-local ", "ok", false, false, false, true, true},
        {"all", "flush snap mirror-peer merge mirror-local ", "ok", true, true, true, true, true},
        {"all-but-mirror-peer", "flush snap merge mirror-local ", "ok", true, false, true, true,
         true},
        {"clear", "clear ", "ok", false, false, false, false, false},
        {"inhale=/vek_tmp/x", "inhale(/vek_tmp/x) ", "ok", false, false, false, false, false},
        {"inhale=", "inhale() ", "ok", false, false, false, false, false},
        {"SNAP", "", "unknown", false, false, false, false, true},
        {"snap ", "", "unknown", false, false, false, false, true},
        {"inhale", "", "unknown", false, false, false, false, true},
        {"clear ", "", "unknown", false, false, false, false, true},
        {"", "", "unknown", false, false, false, false, true},
    };
    for (bool privileged : {true, false}) {
        for (const case_t &c : cases) {
            SCOPED_TRACE(std::string(privileged ? "privileged " : "unprivileged ") + '"' +
                         c.request + '"');
            bool runs = privileged || c.open;
            vek_rir_server_timers_t timers = {1, 1, 1, 1};
            char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
            calls.clear();
            vek_rir_server_request_carry_out(c.request, privileged, &timers, response,
                                             sizeof(response));
            EXPECT_EQ(calls, runs ? c.runs : "");
            EXPECT_STREQ(response, runs ? c.answer : "denied");
            EXPECT_EQ(timers.t_last_flush != 1, c.flush_reset);
            EXPECT_EQ(timers.t_last_mirror_peer != 1, c.peer_reset);
            EXPECT_EQ(timers.t_last_merge != 1, c.merge_reset);
            EXPECT_EQ(timers.t_last_mirror_local != 1, c.local_reset);
        }
    }
}

// An inhale or clear that fails is not "ok": the sender hears "failed"; a denial stays "denied".
TEST_F(ServerDecisionTest, FailedInhaleOrClearIsAnsweredFailed)
{
    struct case_t {
        const char *request;
        int inhale_rc, clear_rc;
        bool privileged;
        const char *answer;
    } cases[] = {
        {"inhale=/vek_tmp/missing", 1, 0, true, "failed"},
        {"inhale=/vek_tmp/missing", 0, 1, true, "ok"},
        {"clear", 0, 1, true, "failed"},
        {"clear", 1, 0, true, "ok"},
        {"clear", 1, 1, false, "denied"},
        {"snap", 1, 1, true, "ok"},
    };
    for (const case_t &c : cases) {
        inhale_result = c.inhale_rc;
        clear_result = c.clear_rc;
        vek_rir_server_timers_t timers = {1, 1, 1, 1};
        char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
        vek_rir_server_request_carry_out(c.request, c.privileged, &timers, response,
                                         sizeof(response));
        EXPECT_STREQ(response, c.answer) << c.request << " " << c.inhale_rc << c.clear_rc;
    }
}

namespace {

uint64_t fake_now = 0;
uint64_t fake_clock()
{
    return fake_now;
}

class ServerDenialTest : public vek_rir_test::sandbox_test {};

} // namespace

TEST_F(ServerDenialTest, DenialLinesComeAtMostOnceEveryTenSecondsAndCountTheRest)
{
    // The first denial is logged even right after boot, when the clock is still below 10.
    // The sender's text reaches the system log with its control characters as \xNN.
    struct step_t {
        uint64_t now; // milliseconds
        bool credentials;
        const char *request;
        const char *line; // null: nothing logged
    } steps[] = {
        {3000, true, "clear", "denied request clear from uid 65534\n"},
        {12000, true, "clear", nullptr},
        {13000, false, "clear", "denied request clear from a sender without credentials "
                                "(1 more like it left out)\n"},
        {18000, true, "clear", nullptr},
        {22000, true, "clear", nullptr},
        {22999, true, "clear", nullptr}, // 9.999 s after the last line
        {40000, true, "clear\nforged line\x1b[2J",
         "denied request clear\\x0aforged line\\x1b[2J from uid 65534 (3 more like it left "
         "out)\n"},
        {50000, true, "clear", "denied request clear from uid 65534\n"},
    };
    vek_rir_server_denials_t denials = {false, 0, 0};
    for (const step_t &s : steps) {
        fake_now = s.now;
        char request[VEK_RIR_COMMAND_REQUEST_MAX_SIZE] = {};
        strncpy(request, s.request, sizeof(request) - 1);
        vek_rir_server_denial_log(request, s.credentials, 65534, fake_clock, &denials);
        std::vector<std::string> expected;
        if (s.line != nullptr)
            expected.push_back(s.line);
        EXPECT_EQ(vek_rir_test::sandbox_take_syslog_messages(), expected) << "at " << s.now;
    }
}

namespace {

// The stand-in secure-copy client delivers the peer's snapshot prepared here.
constexpr char fresh_peer_path[] = "/vek_tmp/peer-fresh.bin";

class ServerFinalPassTest : public vek_rir_test::fake_scp_test {
protected:
    vek_rir_test::sandbox_options_t sandbox_options() const override
    {
        vek_rir_test::sandbox_options_t options;
        options.mount_node = true;
        return options;
    }
    const char *fake_scp_script() const override
    {
        return "#!/bin/sh\nfor last in \"$@\"; do :; done\ncp /vek_tmp/peer-fresh.bin \"$last\"\n";
    }
};

std::vector<std::string> texts_of(const std::string &bytes)
{
    std::vector<std::string> out;
    for (const vek_rir_record_real_t &r : vek_rir_test::file_walk(bytes))
        out.push_back(r.text);
    return out;
}

vek_rir_test::test_log_t one_record_log(uint64_t header_flags, const char *text)
{
    vek_rir_test::test_log_t log;
    log.info().flags = header_flags;
    log.append(1000, 0, "before", text);
    return log;
}

} // namespace

// The last pass at a stop takes a fresh snapshot and fetches the peer's before it merges and
// mirrors: the files it publishes hold the record logged just before the stop and the peer copy
// fetched in that very pass, whether or not a periodic snapshot was ever taken.
TEST_F(ServerFinalPassTest, StopPublishesAFreshSnapshotMergedWithThePeerCopyJustFetched)
{
    using namespace vek_rir_test;
    ASSERT_TRUE(
        write_log(fresh_peer_path, one_record_log(VEK_RIR_HEADER_FLAG_NODE_B, "fresh peer")));
    for (bool earlier_snapshot : {false, true}) {
        SCOPED_TRACE(earlier_snapshot ? "after an earlier snapshot" : "before any snapshot");
        for (const char *path : {vek_rir_local_path, vek_rir_local_snap_path, vek_rir_merged_path,
                                 vek_rir_local_mirror_path, vek_rir_peer_mirror_path,
                                 vek_rir_merged_mirror_path})
            unlink(path);
        if (earlier_snapshot)
            ASSERT_TRUE(write_log(vek_rir_local_snap_path,
                                  one_record_log(VEK_RIR_HEADER_FLAG_NODE_A, "stale snapshot")));
        ASSERT_TRUE(write_log(vek_rir_peer_path,
                              one_record_log(VEK_RIR_HEADER_FLAG_NODE_B, "stale peer")));

        // The server runs in a child, so that a stop that never ends is a failure with a bound.
        int status = run_child_within(30, [] {
            live_attach_t live;
            if (!live.ok || vek_rir_server_thread_start() != 0)
                return 2;
            int added = vek_rir_if_record_add(nullptr, 0, VEK_RIR_CLASS_EVENT, 1, "tester",
                                              "logged before the stop");
            vek_rir_server_thread_stop();
            return added == VEK_RIR_RC_OK ? 0 : 3;
        });
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        const std::string snapshot = read_file(vek_rir_local_snap_path);
        EXPECT_EQ(texts_of(snapshot), std::vector<std::string>{"logged before the stop"});
        const std::string merged = read_file(vek_rir_merged_path);
        EXPECT_EQ(texts_of(merged),
                  (std::vector<std::string>{"fresh peer", "logged before the stop"}));
        EXPECT_EQ(texts_of(read_file(vek_rir_peer_path)), std::vector<std::string>{"fresh peer"});
        EXPECT_TRUE(read_file(vek_rir_local_mirror_path) == snapshot);
        EXPECT_TRUE(read_file(vek_rir_merged_mirror_path) == merged);
        EXPECT_EQ(texts_of(read_file(vek_rir_peer_mirror_path)),
                  std::vector<std::string>{"fresh peer"});
        EXPECT_EQ(sandbox_take_syslog_messages(), std::vector<std::string>{});
    }
}
