// Knowing whether the log is being kept: the verdict rir_status gives at each threshold, the
// status document read back whatever its bytes, and the server as an operator meets it - a
// peer fetch failing and then working, the mirror without its mount, /vek_var below its floor,
// a server killed or stopped - through the tool itself; the metrics as the node's metrics
// collector serves them; and the service manager's notifications on a socket of the test's own.

#include "tests/vek_rir_persist.h"
#include "tests/vek_rir_wait.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace vek_rir_test;

namespace {

constexpr uint64_t t_now = 1765000000;

vek_rir_status_t status_healthy()
{
    vek_rir_status_t s;
    memset(&s, 0, sizeof(s));
    s.format = 1;
    s.server_pid = 42;
    s.server_running = true;
    s.server_start_time = t_now - 1000;
    s.written_time = t_now - 2;
    for (vek_rir_status_duty_t &d : s.duties) {
        d.state = vek_rir_status_state_t::ok;
        d.last_attempt = d.last_success = t_now - 3;
        d.runs_total = 10;
    }
    s.var_free_bytes = 500ull << 20;
    s.var_free_floor_bytes = vek_rir_freespace_min;
    return s;
}

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

vek_rir_status_duty_t &duty(vek_rir_status_t &s, vek_rir_status_duty_id_t id)
{
    return s.duties[id];
}

} // namespace

TEST(StatusVerdictTest, EachThresholdGivesItsMonitoringLevel)
{
    using change_t = std::function<void(vek_rir_status_t &)>;
    const auto fetch = vek_rir_status_duty_fetch;
    const auto merge = vek_rir_status_duty_merge;
    struct case_t {
        const char *name;
        change_t change;
        int level;
        const char *first_line;
    } cases[] = {
        {"all well", [](vek_rir_status_t &) {}, 0, "RIR OK - every duty is well"},
        {"status 30 s old", [](vek_rir_status_t &s) { s.written_time = t_now - 30; }, 0,
         "RIR OK - every duty is well"},
        {"status 31 s old", [](vek_rir_status_t &s) { s.written_time = t_now - 31; }, 2,
         "RIR CRITICAL - status not rewritten for 31 s: server dead or stuck"},
        {"server stopped", [](vek_rir_status_t &s) { s.server_running = false; }, 2,
         "RIR CRITICAL - the server has stopped"},
        {"appends refused",
         [](vek_rir_status_t &s) {
             s.appends_refused = true;
             strcpy(s.appends_refused_reason, "unable to work RIR - parent out of space");
         },
         2, "RIR CRITICAL - appends refused: unable to work RIR - parent out of space"},
        {"fetch 59 s without success",
         [&](vek_rir_status_t &s) { duty(s, fetch).last_success = t_now - 59; }, 0,
         "RIR OK - every duty is well"},
        {"fetch 60 s without success",
         [&](vek_rir_status_t &s) { duty(s, fetch).last_success = t_now - 60; }, 1,
         "RIR WARNING - fetch has not succeeded for 1 min 0 s"},
        {"merge 299 s without success",
         [&](vek_rir_status_t &s) { duty(s, merge).last_success = t_now - 299; }, 1,
         "RIR WARNING - merge has not succeeded for 4 min 59 s"},
        {"fetch 300 s without success, failing",
         [&](vek_rir_status_t &s) {
             duty(s, fetch).last_success = t_now - 300;
             duty(s, fetch).state = vek_rir_status_state_t::failed;
         },
         2, "RIR CRITICAL - fetch has not succeeded for 5 min 0 s; fetch failed"},
        {"fetch never, server up 61 s",
         [&](vek_rir_status_t &s) {
             s.server_start_time = t_now - 61;
             duty(s, fetch).last_success = 0;
         },
         1, "RIR WARNING - fetch has not succeeded for 1 min 1 s"},
        {"merge with nothing to do for an hour",
         [&](vek_rir_status_t &s) {
             duty(s, merge).last_success = 0;
             duty(s, merge).state = vek_rir_status_state_t::idle;
         },
         0, "RIR OK - every duty is well"},
        {"mirror with nothing to do",
         [](vek_rir_status_t &s) {
             s.duties[vek_rir_status_duty_mirror].state = vek_rir_status_state_t::idle;
         },
         0, "RIR OK - every duty is well"},
        {"the snapshot's last run failed",
         [](vek_rir_status_t &s) {
             s.duties[vek_rir_status_duty_snap].state = vek_rir_status_state_t::failed;
         },
         1, "RIR WARNING - snap failed"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        vek_rir_status_t s = status_healthy();
        c.change(s);
        char report[4096];
        EXPECT_EQ(vek_rir_status_evaluate(&s, t_now, report, sizeof(report)), c.level);
        EXPECT_EQ(first_line(report), c.first_line);
        char summary[200];
        vek_rir_status_summary(&s, t_now, summary, sizeof(summary));
        // The service manager's line: the verdict and its reasons, without the report's prefix,
        // then the replication's freshness.
        std::string expected = std::string(c.first_line).substr(4);
        expected = c.level == 0 ? "OK" : expected.replace(expected.find(" - "), 3, ": ");
        EXPECT_EQ(std::string(summary).substr(0, expected.size() + 2), expected + " (") << summary;
    }
    vek_rir_status_t s = status_healthy();
    char summary[200];
    vek_rir_status_summary(&s, t_now, summary, sizeof(summary));
    EXPECT_STREQ(summary, "OK (fetched 3 s ago, merged 3 s ago, no peer record yet)");
    s.duties[vek_rir_status_duty_fetch].last_success = 0;
    s.duties[vek_rir_status_duty_merge].last_success = 0;
    s.peer_newest_record_time = t_now - 75;
    vek_rir_status_summary(&s, t_now, summary, sizeof(summary));
    EXPECT_STREQ(summary, "CRITICAL: fetch has not succeeded for 16 min 40 s; merge has not "
                          "succeeded for 16 min 40 s (no fetch yet, no merge yet, peer's newest "
                          "record 1 min 15 s old)");
}

// What the writer makes the reader takes back whole, reasons of any bytes included; a field
// added by a later server is skipped; and no bytes at all stop the reader.
TEST(StatusDocumentTest, WhatIsWrittenIsReadBackAndNoBytesStopTheReader)
{
    vek_rir_status_t s = status_healthy();
    vek_rir_status_duty_t &fetch = s.duties[vek_rir_status_duty_fetch];
    fetch.state = vek_rir_status_state_t::failed;
    fetch.consecutive_failures = 3;
    fetch.failures_total = 7;
    fetch.last_failure = t_now - 1;
    strcpy(fetch.last_failure_reason, "unable to fetch \"/vek_var/x\"\\ \x01\t\x7f end");
    s.duties[vek_rir_status_duty_merge].state = vek_rir_status_state_t::idle;
    strcpy(s.duties[vek_rir_status_duty_merge].nothing_to_do_reason, "no peer copy fetched yet");
    s.peer_newest_record_time = t_now - 12;
    s.records_appended_total = 20000;
    s.records_overwritten_total = 20000 - VEK_RIR_RECORD_COUNT;
    char text[16384];
    size_t length = vek_rir_status_json_format(&s, text, sizeof(text));
    ASSERT_GT(length, 0u);
    vek_rir_status_t back;
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    ASSERT_EQ(vek_rir_status_json_parse(&fi, text, length, &back), 0) << fi.text;
    EXPECT_STREQ(back.duties[vek_rir_status_duty_fetch].last_failure_reason,
                 fetch.last_failure_reason);
    EXPECT_EQ(memcmp(&back, &s, sizeof(s)), 0);
    // A buffer too small refuses the whole document rather than cutting it.
    EXPECT_EQ(vek_rir_status_json_format(&s, text, length), 0u);
    length = vek_rir_status_json_format(&s, text, sizeof(text));

    std::string later(text, length);
    later.insert(later.find("\"server_pid\""),
                 "\"added_later\": {\"list\": [1, -2.5e3, \"x\", {\"deep\": [[true]]}], "
                 "\"none\": null},\n  \"ratio\": 0.5, ");
    ASSERT_EQ(vek_rir_status_json_parse(&fi, later.data(), later.size(), &back), 0) << fi.text;
    EXPECT_EQ(memcmp(&back, &s, sizeof(s)), 0);

    // Every cut of the document is refused; every byte replaced by one of a few that matter to
    // a reader gives an answer, never a crash.
    for (size_t cut = 0; cut + 2 < length; cut++)
        EXPECT_EQ(vek_rir_status_json_parse(&fi, text, cut, &back), 1) << "cut at " << cut;
    for (size_t at = 0; at < length; at++) {
        for (char byte : {'"', '{', '}', '[', '\\', ',', '9', '\0', '\xff'}) {
            std::string mutated(text, length);
            mutated[at] = byte;
            vek_rir_status_json_parse(&fi, mutated.data(), mutated.size(), &back);
        }
    }
    std::string deep = "{\"a\": " + std::string(100, '[');
    EXPECT_EQ(vek_rir_status_json_parse(&fi, deep.data(), deep.size(), &back), 1);
    EXPECT_NE(std::string(fi.text).find("nested too deep"), std::string::npos) << fi.text;
}

namespace {

constexpr char peer_fresh_path[] = "/vek_tmp/peer-fresh.bin";
constexpr char scp_ok_path[] = "/vek_tmp/scp-ok";
constexpr char metrics_dir[] = "/vek_tmp/metrics";

// The stand-in secure-copy client fails until the test lets it deliver the peer's snapshot.
constexpr char fake_scp[] = R"sh(#!/bin/sh
for last in "$@"; do :; done
[ -e /vek_tmp/scp-ok ] || exit 1
cp /vek_tmp/peer-fresh.bin "$last"
)sh";

// The status file as it stands; format 0 when it is missing or unreadable.
vek_rir_status_t status_read()
{
    std::string text = read_file(vek_rir_status_path);
    vek_rir_status_t s;
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_status_json_parse(&fi, text.data(), text.size(), &s) != 0)
        memset(&s, 0, sizeof(s));
    return s;
}

// Waits at most 10 s for the status file to say what the test waits for.
bool status_wait(const std::function<bool(const vek_rir_status_t &)> &ready)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready(status_read()))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool merged_after_request(const vek_rir_status_t &s)
{
    return s.duties[vek_rir_status_duty_merge].runs_total >= 1;
}

// The server thread of this process, started with its clock shifted so that it believes it
// started `started_secs_ago` seconds ago; its stop is bounded.
struct server_t {
    bool ok = false;
    explicit server_t(int64_t started_secs_ago = 0)
    {
        vek_rir_health_clock_shift_secs.store(-started_secs_ago);
        ok = vek_rir_server_thread_start() == 0;
        vek_rir_health_clock_shift_secs.store(0);
    }
    ~server_t() { stop(); }
    void stop()
    {
        if (!ok)
            return;
        ok = false;
        bounded_thread_t stopper([] { vek_rir_server_thread_stop(); }, "the server's stop");
        stopper.join();
    }
};

class StatusServerTest : public fake_scp_test {
protected:
    const char *fake_scp_script() const override { return fake_scp; }
    sandbox_options_t sandbox_options() const override
    {
        sandbox_options_t options;
        options.var_bytes = 256ull << 20;
        return options;
    }
};

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

// A peer that cannot be reached, then one that can: WARNING after a minute without a fetch,
// CRITICAL after five, OK once it works, with the peer's lag in seconds; the merge and the
// mirror (no mount of its own here) have nothing to do, which is no failure.
TEST_F(StatusServerTest, AFailingFetchWarnsThenIsCriticalThenRecovers)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    live_append(3);
    const uint64_t peer_time = static_cast<uint64_t>(time(nullptr)) - 12;
    test_log_t peer;
    peer.info().flags = VEK_RIR_HEADER_FLAG_NODE_B;
    peer.append(peer_time, 0, "peer", "from the peer");
    ASSERT_TRUE(write_log(peer_fresh_path, peer));
    struct step_t {
        int64_t started_ago;
        bool scp_works;
        int exit;
        std::vector<std::string> lines;
    } steps[] = {
        {61, false, 1,
         {"RIR WARNING - fetch has not succeeded for 1 min ", "s; fetch failed\n",
          "\nfetch   failed         no success yet; last failure ",
          " ago (1 in a row): unable to fetch /vek_var/vek-rir-local-snap.bin from peer to "
          "/vek_var/vek-rir-fetch/vek-rir-peer.bin.tmp\n",
          "\nmerge   nothing to do  no success yet; no peer copy fetched yet\n",
          "\nmirror  nothing to do  no success yet; /vek_node is not a mount of its own\n",
          "\npeer    no peer copy yet, no merged log yet\n"}},
        {301, false, 2, {"RIR CRITICAL - fetch has not succeeded for 5 min ", "s; fetch failed\n"}},
        {301, true, 0,
         {"RIR OK - every duty is well\n", "\nfetch   ok             last success ",
          "\nmerge   ok             last success ",
          "\nmirror  nothing to do  no success yet; /vek_node is not a mount of its own\n",
          "\nappends 3 since the log was created, 0 overwritten by the ring\n"}},
    };
    for (const step_t &step : steps) {
        SCOPED_TRACE("started " + std::to_string(step.started_ago) + " s ago, scp " +
                     (step.scp_works ? "works" : "fails"));
        if (step.scp_works)
            ASSERT_TRUE(write_file(scp_ok_path, ""));
        server_t server(step.started_ago);
        ASSERT_TRUE(server.ok);
        ASSERT_EQ(server_request("all"), "ok");
        ASSERT_TRUE(status_wait(merged_after_request));
        tool_result_t r = run_tool("-o rir_status");
        const uint64_t lag = static_cast<uint64_t>(time(nullptr)) - peer_time;
        EXPECT_EQ(r.status, step.exit) << r.out;
        for (const std::string &line : step.lines)
            EXPECT_TRUE(contains("\n" + r.out, line)) << "missing \"" << line << "\" in\n" << r.out;
        if (step.scp_works) {
            EXPECT_EQ(status_read().peer_newest_record_time, peer_time);
            // The lag as the tool saw it, give or take the second the test may have crossed.
            bool lag_shown = false;
            for (uint64_t seen : {lag - 1, lag})
                lag_shown |= contains(r.out, "peer    newest record of the peer copy " +
                                                 std::to_string(seen) + " s old");
            EXPECT_TRUE(lag_shown) << lag << " s expected in\n" << r.out;
        }
        if (getenv("VEK_RIR_SHOW_STATUS") != nullptr)
            printf("exit %d\n%s", r.status, r.out.c_str());
        server.stop();
    }
    sandbox_take_syslog_messages();
}

// /vek_var below the floor appends need: CRITICAL while it lasts, OK again once space is back.
TEST_F(StatusServerTest, SpaceBelowTheFloorIsCriticalUntilItIsFreed)
{
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    ASSERT_TRUE(write_log(peer_fresh_path, test_log_t()));
    ASSERT_TRUE(write_file(scp_ok_path, ""));
    server_t server;
    ASSERT_TRUE(server.ok);
    const char filler[] = "/vek_var/filler";
    struct step_t {
        uint64_t filler_bytes;
        int exit;
        const char *first_line;
    } steps[] = {
        {200ull << 20, 2, "RIR CRITICAL - appends refused: unable to work RIR - parent out of space"},
        {0, 0, "RIR OK - every duty is well"},
    };
    for (const step_t &step : steps) {
        SCOPED_TRACE(std::to_string(step.filler_bytes) + " bytes of filler");
        unlink(filler);
        if (step.filler_bytes != 0) {
            int fd = open(filler, O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(posix_fallocate(fd, 0, static_cast<off_t>(step.filler_bytes)), 0);
            close(fd);
        }
        ASSERT_EQ(server_request("mirror-peer-and-merge"), "ok");
        bool refused = step.filler_bytes != 0;
        ASSERT_TRUE(status_wait([&](const vek_rir_status_t &s) {
            return merged_after_request(s) && s.appends_refused == refused;
        }));
        tool_result_t r = run_tool("-o rir_status");
        EXPECT_EQ(r.status, step.exit) << r.out;
        EXPECT_EQ(first_line(r.out), step.first_line);
        EXPECT_TRUE(contains(r.out, "MiB free on /vek_var, appends refused below 90.0 MiB"))
            << r.out;
    }
}

// What the tool says when there is no server to speak for the log: none ever ran, one was
// killed (by a clock the test sets forward past the status file's age limit), one stopped, or
// the status file is not what the server writes.
TEST_F(StatusServerTest, NoLiveServerIsCriticalOrUnknown)
{
    struct case_t {
        const char *name;
        std::function<void()> setup;
        int exit;
        const char *first_line;
    } cases[] = {
        {"no server ever", [] {}, 3,
         "RIR UNKNOWN - no status file at /vek_var/vek-rir-status.json: no server has run on "
         "this node"},
        {"a live log but no status",
         [] { ASSERT_TRUE(write_file(vek_rir_local_path, "")); }, 2,
         "RIR CRITICAL - no status file at /vek_var/vek-rir-status.json although the live log "
         "exists: the server is not running"},
        {"a link at the status file's name",
         [] {
             ASSERT_TRUE(write_file("/vek_tmp/elsewhere.json", "{}"));
             ASSERT_EQ(symlink("/vek_tmp/elsewhere.json", vek_rir_status_path), 0);
         },
         3, "RIR UNKNOWN - unable to read /vek_var/vek-rir-status.json: it is a symbolic link"},
        {"no document", [] { ASSERT_TRUE(write_file(vek_rir_status_path, "{\"format\": 1,")); },
         3,
         "RIR UNKNOWN - /vek_var/vek-rir-status.json is not a status document (a string "
         "expected at byte 13)"},
        {"a server stopped", [] { ASSERT_EQ(run_tool("-o rir_serve -r 1").status, 0); }, 2,
         "RIR CRITICAL - the server has stopped; fetch failed"},
        // The server cannot write its file on a read-only /vek_var: the tool looks itself.
        {"/vek_var read-only",
         [] {
             vek_rir_status_t s = status_healthy();
             s.server_start_time = s.written_time = static_cast<uint64_t>(time(nullptr));
             for (vek_rir_status_duty_t &d : s.duties)
                 d.last_attempt = d.last_success = s.written_time;
             char text[16384];
             size_t length = vek_rir_status_json_format(&s, text, sizeof(text));
             ASSERT_TRUE(write_file(vek_rir_status_path, std::string(text, length)));
             ASSERT_EQ(mount(nullptr, "/vek_var", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
                 << strerror(errno);
         },
         2, "RIR CRITICAL - appends refused: /vek_var is read-only"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        for (const char *path : {vek_rir_local_path, vek_rir_status_path})
            unlink(path);
        c.setup();
        tool_result_t r = run_tool("-o rir_status");
        EXPECT_EQ(r.status, c.exit) << r.out;
        EXPECT_EQ(first_line(r.out), c.first_line);
    }
    ASSERT_EQ(mount(nullptr, "/vek_var", nullptr, MS_REMOUNT, nullptr), 0) << strerror(errno);

    // A server killed outright leaves its last status, which ages.
    unlink(vek_rir_status_path);
    pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        execl(VEK_RIR_TOOL_PATH, "vek_rir", "-o", "rir_serve", static_cast<char *>(nullptr));
        _exit(127);
    }
    bool written = status_wait([](const vek_rir_status_t &s) { return s.format == 1; });
    tool_result_t alive = run_tool("-o rir_status");
    kill(server, SIGKILL);
    child_reap(server, signal_limit, "the killed server");
    ASSERT_TRUE(written);
    EXPECT_EQ(alive.status, 0) << alive.out;
    vek_rir_status_t last = status_read();
    EXPECT_TRUE(last.server_running);
    char report[4096];
    for (uint64_t later : {30, 31, 3600}) {
        int level = vek_rir_status_evaluate(&last, last.written_time + later, report,
                                            sizeof(report));
        EXPECT_EQ(level, later > 30 ? 2 : 0) << report;
        EXPECT_EQ(contains(first_line(report), "server dead or stuck"), later > 30) << report;
    }
    sandbox_take_syslog_messages();
}

namespace {

// One GET of the collector's page over loopback; "" when it could not be had within 10 s.
std::string http_get_metrics(uint16_t port)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return "";
        struct timeval tv = {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        struct sockaddr_in address;
        memset(&address, 0, sizeof(address));
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0) {
            close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        const char get[] = "GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n";
        std::string out;
        if (send(fd, get, sizeof(get) - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(get) - 1)) {
            char buffer[8192];
            ssize_t got;
            while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0)
                out.append(buffer, static_cast<size_t>(got));
        }
        close(fd);
        return out;
    }
    return "";
}

// The value of one sample line ("name{labels} value"), as the collector prints it; -1 when the
// page has no such line.
double sample(const std::string &page, const std::string &series)
{
    size_t at = page.find("\n" + series + " ");
    if (at == std::string::npos)
        return -1;
    return strtod(page.c_str() + at + series.size() + 2, nullptr);
}

} // namespace

// The metrics through their real consumer: the node's metrics collector, reading the directory
// the server was given, serves every metric with the server's values and no scrape error.
TEST_F(StatusServerTest, MetricsReachTheCollectorWithTheServersValues)
{
    const char collector[] = "/usr/bin/prometheus-node-exporter";
    ASSERT_EQ(access(collector, X_OK), 0) << collector << " is missing (Debian package "
                                          << "prometheus-node-exporter)";
    live_attach_t live;
    ASSERT_TRUE(live.ok) << live.failure_info.text;
    live_append(5);
    ASSERT_TRUE(write_log(peer_fresh_path, test_log_t()));
    // First without the directory (no collector installed): nothing written, nothing logged.
    for (bool dir_exists : {false, true}) {
        if (dir_exists)
            ASSERT_EQ(mkdir(metrics_dir, 0755), 0);
        setenv("VEK_RIR_METRICS_DIR", metrics_dir, 1);
        server_t server;
        unsetenv("VEK_RIR_METRICS_DIR");
        ASSERT_TRUE(server.ok);
        ASSERT_EQ(server_request("mirror-peer-and-merge"), "ok");
        ASSERT_TRUE(status_wait(merged_after_request));
        // Stopped before the scrape, so the file the collector reads stays as the status says.
        server.stop();
        EXPECT_EQ(path_exists(metrics_dir), dir_exists);
        for (const std::string &line : sandbox_take_syslog_messages())
            EXPECT_FALSE(contains(line, "metrics")) << line;
    }
    vek_rir_status_t s = status_read();
    ASSERT_EQ(s.format, 1u);
    ASSERT_FALSE(path_exists(std::string(metrics_dir) + "/" + vek_rir_metrics_tmp_name));

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execl(collector, collector, "--collector.disable-defaults", "--collector.textfile",
              "--collector.textfile.directory=/vek_tmp/metrics",
              "--web.listen-address=127.0.0.1:9100", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string page = http_get_metrics(9100);
    EXPECT_EQ(child_kill(pid), "");
    ASSERT_NE(page, "") << "no answer from the collector";
    EXPECT_EQ(sample(page, "node_textfile_scrape_error"), 0) << page;
    for (int i = 0; i < vek_rir_status_duty_count; i++) {
        const vek_rir_status_duty_t &d = s.duties[i];
        std::string label = std::string("{duty=\"") + vek_rir_status_duty_names[i] + "\"}";
        SCOPED_TRACE(label);
        EXPECT_EQ(sample(page, "vek_rir_duty_last_success_timestamp_seconds" + label),
                  static_cast<double>(d.last_success));
        EXPECT_EQ(sample(page, "vek_rir_duty_last_attempt_timestamp_seconds" + label),
                  static_cast<double>(d.last_attempt));
        EXPECT_EQ(sample(page, "vek_rir_duty_runs_total" + label),
                  static_cast<double>(d.runs_total));
        EXPECT_EQ(sample(page, "vek_rir_duty_failures_total" + label),
                  static_cast<double>(d.failures_total));
        EXPECT_EQ(sample(page, "vek_rir_duty_nothing_to_do" + label),
                  d.state == vek_rir_status_state_t::idle ? 1 : 0);
    }
    // The fetch failed (the stand-in client fails until told otherwise), the merge had no peer
    // copy, the mirror no mount: the figures above are not all alike.
    EXPECT_GE(s.duties[vek_rir_status_duty_fetch].failures_total, 1u);
    EXPECT_EQ(s.duties[vek_rir_status_duty_merge].state, vek_rir_status_state_t::idle);
    struct single_t {
        const char *name;
        uint64_t value;
    } singles[] = {
        {"vek_rir_peer_newest_record_timestamp_seconds", s.peer_newest_record_time},
        {"vek_rir_records_appended_total", s.records_appended_total},
        {"vek_rir_records_overwritten_total", s.records_overwritten_total},
        {"vek_rir_var_free_bytes", s.var_free_bytes},
        {"vek_rir_var_free_floor_bytes", s.var_free_floor_bytes},
        {"vek_rir_status_written_timestamp_seconds", s.written_time},
    };
    for (const single_t &m : singles)
        EXPECT_EQ(sample(page, m.name), static_cast<double>(m.value)) << m.name;
    EXPECT_EQ(s.records_appended_total, 5u);
    EXPECT_TRUE(contains(page, "# TYPE vek_rir_duty_runs_total counter")) << page;
    if (getenv("VEK_RIR_SHOW_SCRAPE") != nullptr)
        printf("%s", page.c_str());
    sandbox_take_syslog_messages();
}

// The service manager's protocol, heard on a socket of the test's own: READY=1 first, STATUS=
// lines, WATCHDOG=1 when asked for (and only for the process it names), STOPPING=1 at the end;
// nothing at all without NOTIFY_SOCKET.
TEST_F(StatusServerTest, TheServiceManagerHearsReadinessStatusAndWatchdog)
{
    struct case_t {
        const char *socket_name; // nullptr: NOTIFY_SOCKET unset
        const char *watchdog_pid;
        bool ready, watchdog;
    } cases[] = {
        {"/vek_tmp/notify.sock", "", true, true},
        {"@vek-rir-test-notify", "", true, true},
        {"/vek_tmp/notify.sock", "1", true, false},
        {nullptr, "", false, false},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(std::string(c.socket_name ? c.socket_name : "no socket") + " pid " +
                     c.watchdog_pid);
        const char *bound = c.socket_name != nullptr ? c.socket_name : "/vek_tmp/notify.sock";
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        struct sockaddr_un address;
        memset(&address, 0, sizeof(address));
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, bound);
        socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) +
                                                strlen(bound) + (bound[0] == '@' ? 0 : 1));
        if (bound[0] == '@')
            address.sun_path[0] = '\0';
        unlink(bound);
        ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&address), size), 0);

        std::string env = c.socket_name != nullptr
                              ? std::string("NOTIFY_SOCKET=") + c.socket_name + " "
                              : std::string("");
        env += "WATCHDOG_USEC=30000000 ";
        if (c.watchdog_pid[0] != '\0')
            env += std::string("WATCHDOG_PID=") + c.watchdog_pid + " ";
        command_result_t run = shell_run(env + "exec " + VEK_RIR_TOOL_PATH + " -o rir_serve -r 3",
                                         msecs_t(20000), "the server under a notify socket");
        EXPECT_EQ(run.exit_code(), 0) << run.out << run.err;
        std::vector<std::string> heard;
        char buffer[512];
        ssize_t got;
        while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0)
            heard.emplace_back(buffer, static_cast<size_t>(got));
        close(fd);
        std::string all;
        for (const std::string &m : heard)
            all += m + "\n";
        auto index_of = [&](const std::string &prefix) {
            for (size_t i = 0; i < heard.size(); i++)
                if (heard[i].rfind(prefix, 0) == 0)
                    return static_cast<long>(i);
            return -1L;
        };
        if (!c.ready) {
            EXPECT_EQ(all, "");
            continue;
        }
        // The first status comes from the thread as it starts, READY once the start returned.
        EXPECT_GE(index_of("READY=1"), 0) << all;
        EXPECT_LE(index_of("READY=1"), 1) << all;
        EXPECT_GE(index_of("STATUS=OK"), 0) << all;
        EXPECT_EQ(index_of("WATCHDOG=1") >= 0, c.watchdog) << all;
        long stopping = index_of("STOPPING=1");
        ASSERT_GE(stopping, 0) << all;
        // The last word is the final pass's status: the server has stopped.
        EXPECT_EQ(heard.back().rfind("STATUS=CRITICAL: the server has stopped", 0), 0u) << all;
        if (getenv("VEK_RIR_SHOW_NOTIFY") != nullptr)
            printf("%s", all.c_str());
    }
    sandbox_take_syslog_messages();
}
