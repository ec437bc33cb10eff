// What the server decides: which periodic duties a pass runs for given timer readings, and
// what each request runs, answers and which timers it restarts. The duties are replaced by
// recorders, so nothing of the node is touched.

#include "vek_rir/vek_rir_int.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string calls;

class ServerDecisionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls.clear();
        vek_rir_server_duties = {
            [] { calls += "flush "; },        [] { calls += "snap "; },
            [] { calls += "mirror-peer "; },  [] { calls += "merge "; },
            [] { calls += "mirror-local "; }, [](const char *path) { calls += "inhale(" + std::string(path) + ") "; },
            [] { calls += "clear "; },
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
    struct case_t {
        const char *request, *runs, *answer;
        bool flush_reset, peer_reset, merge_reset, local_reset;
    } cases[] = {
        {"nothing", "", "ok", false, false, false, false},
        {"snap", "snap ", "ok", false, false, false, false},
        {"flush", "flush ", "ok", true, false, false, false},
        {"mirror-peer", "mirror-peer ", "ok", false, true, false, false},
        {"merge", "snap merge ", "ok", false, false, true, false},
        {"mirror-peer-and-merge", "snap mirror-peer merge ", "ok", false, true, true, false},
        {"mirror-local", "snap mirror-local ", "ok", false, false, false, true},
        {"all", "flush snap mirror-peer merge mirror-local ", "ok", false, true, true, true},
        {"all-but-mirror-peer", "flush snap merge mirror-local ", "ok", false, false, true, true},
        {"clear", "clear ", "ok", false, false, false, false},
        {"inhale=/vek_tmp/x", "inhale(/vek_tmp/x) ", "ok", false, false, false, false},
        {"inhale=", "inhale() ", "ok", false, false, false, false},
        {"SNAP", "", "unknown", false, false, false, false},
        {"snap ", "", "unknown", false, false, false, false},
        {"inhale", "", "unknown", false, false, false, false},
        {"", "", "unknown", false, false, false, false},
    };
    for (const case_t &c : cases) {
        vek_rir_server_timers_t timers = {1, 1, 1, 1};
        char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
        calls.clear();
        vek_rir_server_request_carry_out(c.request, &timers, response, sizeof(response));
        EXPECT_EQ(calls, c.runs) << '"' << c.request << '"';
        EXPECT_STREQ(response, c.answer) << '"' << c.request << '"';
        EXPECT_EQ(timers.t_last_flush != 1, c.flush_reset) << c.request;
        EXPECT_EQ(timers.t_last_mirror_peer != 1, c.peer_reset) << c.request;
        EXPECT_EQ(timers.t_last_merge != 1, c.merge_reset) << c.request;
        EXPECT_EQ(timers.t_last_mirror_local != 1, c.local_reset) << c.request;
    }
}
