// The companion reader vek_rir_export: its JSON strings and times, its command line, the slot
// reader that must never take a record being rewritten, the cursor file, and the program run
// as a child in the node sandbox with jq as the consumer of its JSON Lines: a full merged log,
// a follow while writers append (by an unprivileged user), a restart from the cursor, a
// follower overrun while stopped, a cleared log, and a reader that goes away.

#include "tests/vek_rir_persist.h"
#include "vek_rir_export/vek_rir_export.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

const std::string export_tool = VEK_RIR_EXPORT_PATH;

// ---- JSON strings, times, options ---------------------------------------------------------

// What a consumer gets back from an escaped field: \xNN is the byte, \\ one backslash.
std::string unescape(const std::string &decoded)
{
    std::string out;
    for (size_t i = 0; i < decoded.size(); i++) {
        if (decoded[i] == '\\' && i + 1 < decoded.size() && decoded[i + 1] == '\\') {
            out += '\\';
            i++;
        } else if (decoded[i] == '\\' && i + 3 < decoded.size() && decoded[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(decoded.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += decoded[i];
        }
    }
    return out;
}

TEST(ExportJsonTest, StringsAreEscapedSoEveryLineParses)
{
    struct {
        std::string field;
        std::string json;
        bool escaped;
    } cases[] = {
        {"plain", "\"plain\"", false},
        {"q\"b\\s/", "\"q\\\"b\\\\s/\"", false},
        {"\t\n\r\b\f\x01\x1f\x7f", "\"\\t\\n\\r\\b\\f\\u0001\\u001f\\u007f\"", false},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"",
         false},
        {"\xff", "\"\\\\xff\"", true},
        {"a\xc3(b", "\"a\\\\xc3(b\"", true},                // a lead byte without its follower
        {"\xc0\xaf", "\"\\\\xc0\\\\xaf\"", true},           // an overlong slash
        {"\xed\xa0\x80", "\"\\\\xed\\\\xa0\\\\x80\"", true}, // a surrogate
        {"\xf4\x90\x80\x80", "\"\\\\xf4\\\\x90\\\\x80\\\\x80\"", true}, // above U+10FFFF
        {"\xe2\x82", "\"\\\\xe2\\\\x82\"", true},           // cut at the end of the field
        {"\\x41\xfe", "\"\\\\\\\\x41\\\\xfe\"", true}, // a literal \x41 stays apart from a byte
    };
    for (const auto &c : cases) {
        char out[512];
        bool escaped = false;
        size_t n = vek_rir_export_json_string(c.field.data(), c.field.size(), out, sizeof(out),
                                              &escaped);
        EXPECT_EQ(std::string(out, n), c.json) << c.field;
        EXPECT_EQ(escaped, c.escaped) << c.field;
    }
    // A field without its terminator ends at the field's end.
    char field[4] = {'a', 'b', 'c', 'd'};
    char out[64];
    bool escaped = false;
    size_t n = vek_rir_export_json_string(field, 2, out, sizeof(out), &escaped);
    EXPECT_EQ(std::string(out, n), "\"ab\"");
}

TEST(ExportJsonTest, TimesAreRfc3339InUtcWithMicroseconds)
{
    struct {
        uint64_t secs, usecs;
        const char *text;
    } cases[] = {
        {0, 0, "1970-01-01T00:00:00.000000Z"},
        {86400, 5, "1970-01-02T00:00:00.000005Z"},
        {1796728608, 923225, "2026-12-08T11:16:48.923225Z"},
        {UINT64_MAX, 1, "@18446744073709551615.000001"},
    };
    for (const auto &c : cases) {
        char out[64];
        size_t n = vek_rir_export_time_rfc3339(c.secs, c.usecs, out, sizeof(out));
        EXPECT_EQ(std::string(out, n), c.text);
    }
}

TEST(ExportJsonTest, RecordFieldsFollowTheirRules)
{
    test_log_t log;
    vek_rir_record_real_t &named = log.append(1, 2, "who", "what", VEK_RIR_CLASS_FAIL,
                                              VEK_RIR_CODE_NA, VEK_RIR_RECORD_FLAG_NODE_B);
    char line[VEK_RIR_EXPORT_LINE_SIZE];
    vek_rir_export_out_t out;
    strcpy(out.host_json, "\"node-\\\"b\\\"\"");
    out.generation = 3;
    vek_rir_export_json_record(&out, named, line, sizeof(line));
    EXPECT_STREQ(line, "{\"seqno\":0,\"time\":\"1970-01-01T00:00:01.000002Z\",\"node\":\"B\","
                       "\"class\":\"FAIL\",\"code\":null,\"identity\":\"who\",\"text\":\"what\","
                       "\"flags\":\"00000000:.BUC\",\"complete\":true,\"host\":\"node-\\\"b\\\"\","
                       "\"generation\":3}\n");
    out.generation = -1; // a merged log's records carry no generation
    vek_rir_record_real_t &other = log.append(3, 4, "x", "y", VEK_RIR_CLASS_FAIL - 1, 7,
                                              VEK_RIR_RECORD_FLAG_NODE_A);
    other.flags &= ~VEK_RIR_RECORD_FLAG_COMPLETE;
    vek_rir_export_json_record(&out, other, line, sizeof(line));
    EXPECT_NE(strstr(line, "\"node\":\"A\",\"class\":17316340567239557118,\"code\":7,"), nullptr)
        << line;
    EXPECT_NE(strstr(line, "\"flags\":\"00000000:A.U.\",\"complete\":false,\"host\":"), nullptr)
        << line;
    EXPECT_NE(strstr(line, ",\"generation\":null}"), nullptr) << line;
}

TEST(ExportOptionsTest, CommandLine)
{
    struct {
        std::vector<std::string> args;
        std::string error; // "" when the line is good
    } cases[] = {
        {{}, ""},
        {{"-f", "-o", "json", "--since", "10", "--until", "2026-12-08 10:00:00"}, ""},
        {{"--class", "EVENT,0x10,7", "--identity", "me", "--node", "B", "--cursor-file", "c"}, ""},
        {{"-o", "xml"}, "unknown output format: xml (text or json)"},
        {{"--since", "yesterday"},
         "bad time: yesterday (seconds since the epoch or \"YYYY-MM-DD HH:MM:SS\")"},
        {{"--since", "20", "--until", "10"}, "--since is after --until"},
        {{"--class", "event"}, "unknown class: event"},
        {{"--class", ","}, "no class given"},
        {{"--node", "C"}, "unknown node: C (A or B)"},
        {{"--identity", std::string(32, 'i')}, "identity longer than 31 characters"},
        {{"--frobnicate"}, "unknown option --frobnicate (see --help)"},
        {{"-x"}, "unknown option -x (see --help)"},
        {{"-M"}, "option -M needs a value"},
        {{"stray"}, "unexpected argument: stray (see --help)"},
    };
    for (const auto &c : cases) {
        std::vector<char *> argv{const_cast<char *>("vek_rir_export")};
        for (const std::string &a : c.args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        vek_rir_export_options_t options;
        char error[256];
        int rc = vek_rir_export_options_parse(static_cast<int>(argv.size() - 1), argv.data(),
                                              &options, error, sizeof(error));
        EXPECT_EQ(rc, c.error.empty() ? 0 : 1) << c.args.size();
        EXPECT_EQ(std::string(error), c.error);
    }
    const char *args[] = {"x", "--until", "2026-12-08 10:00:00", "--class", "EVENT,0x10",
                          "--node", "A", nullptr};
    vek_rir_export_options_t options;
    char error[256];
    ASSERT_EQ(vek_rir_export_options_parse(7, const_cast<char **>(args), &options, error,
                                           sizeof(error)),
              0);
    EXPECT_EQ(options.until, 1796724000u);
    ASSERT_EQ(options.class_count, 2);
    EXPECT_EQ(options.classes[0], VEK_RIR_CLASS_EVENT);
    EXPECT_EQ(options.classes[1], 16u);
    EXPECT_EQ(options.node_flag, VEK_RIR_RECORD_FLAG_NODE_A);
}

TEST(ExportOptionsTest, FilterPassesOnlyMatchingRecords)
{
    test_log_t log;
    vek_rir_record_real_t &r =
        log.append(100, 0, "ident", "t", VEK_RIR_CLASS_STEP, 0, VEK_RIR_RECORD_FLAG_NODE_A);
    struct {
        std::vector<std::string> args;
        bool pass;
    } cases[] = {
        {{}, true},
        {{"--since", "100", "--until", "100"}, true},
        {{"--since", "101"}, false},
        {{"--until", "99"}, false},
        {{"--class", "EVENT,STEP"}, true},
        {{"--class", "EVENT"}, false},
        {{"--identity", "ident"}, true},
        {{"--identity", "iden"}, false},
        {{"--identity", "identity"}, false},
        {{"--node", "A"}, true},
        {{"--node", "B"}, false},
    };
    for (const auto &c : cases) {
        std::vector<char *> argv{const_cast<char *>("x")};
        for (const std::string &a : c.args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        vek_rir_export_options_t options;
        char error[256];
        ASSERT_EQ(vek_rir_export_options_parse(static_cast<int>(argv.size() - 1), argv.data(),
                                               &options, error, sizeof(error)),
                  0)
            << error;
        EXPECT_EQ(vek_rir_export_filter_pass(&options, r), c.pass) << c.args[0];
    }
}

// ---- the slot reader --------------------------------------------------------------------

// A writer that acts between two of the reader's preads: before read number `at`, it changes
// the slot in the file as one step of an append would.
struct interfering_writer_t {
    int call = 0;
    int at = -1;
    std::function<void(int fd)> step;
};
interfering_writer_t *writer = nullptr;

ssize_t interfering_pread(int fd, void *buffer, size_t count, off_t offset)
{
    if (writer != nullptr && writer->call++ == writer->at)
        writer->step(fd);
    return pread(fd, buffer, count, offset);
}

void slot_write(int fd, uint64_t index, const vek_rir_record_real_t &real)
{
    ASSERT_EQ(pwrite(fd, &real, sizeof(real), static_cast<off_t>(4096 + index * 256)), 256);
}

TEST(ExportSlotTest, ARecordBeingRewrittenIsNeverTakenForWhole)
{
    char path[] = "/tmp/vek-export-slot.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    test_log_t log;
    for (int i = 0; i < 12272 + 5; i++) // wrapped: seqnos 12272 to 12276 are in slots 0 to 4
        log.append(1000 + i, 0, "w", "old");
    ASSERT_EQ(write(fd, log.bytes.data(), log.bytes.size()),
              static_cast<ssize_t>(log.bytes.size()));
    vek_rir_record_real_t old = log.slot(5);     // seqno 5, the oldest but one
    vek_rir_record_real_t next = old;            // its successor in the slot, whole
    next.seqno = old.seqno + 12272;
    next.time_secs += 99999;
    vek_rir_record_real_t stamped = next;        // claimed: USED, not yet COMPLETE, old fill
    stamped.flags = VEK_RIR_RECORD_FLAG_USED;
    memcpy(stamped.text, old.text, sizeof(old.text));
    vek_rir_record_real_t incomplete = old;
    incomplete.flags = VEK_RIR_RECORD_FLAG_USED;
    struct {
        const char *what;
        int at;                       // before which pread the writer acts (-1: never)
        const vek_rir_record_real_t *put;
        vek_rir_export_slot_t state;  // what the reader must say
    } cases[] = {
        {"untouched", -1, nullptr, VEK_RIR_EXPORT_SLOT_RECORD},
        {"stamped before the first look", 0, &stamped, VEK_RIR_EXPORT_SLOT_OVERWRITTEN},
        {"stamped during the copy", 1, &stamped, VEK_RIR_EXPORT_SLOT_OVERWRITTEN},
        {"rewritten whole during the copy", 1, &next, VEK_RIR_EXPORT_SLOT_OVERWRITTEN},
        {"stamped just before the second look", 2, &stamped, VEK_RIR_EXPORT_SLOT_OVERWRITTEN},
        {"claimed and never completed", 0, &incomplete, VEK_RIR_EXPORT_SLOT_INCOMPLETE},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(pwrite(fd, &old, sizeof(old), 4096 + 5 * 256), 256);
        vek_rir_export_log_t export_log;
        vek_rir_failure_info_t fi;
        vek_rir_failure_info_clear(&fi);
        ASSERT_EQ(vek_rir_export_log_open(&fi, &export_log, path, false), 0) << fi.text;
        interfering_writer_t w;
        w.at = c.at;
        w.step = [&](int) { slot_write(fd, 5, *c.put); }; // through the test's own descriptor
        writer = &w;
        export_log.pread = interfering_pread;
        vek_rir_record_t record;
        vek_rir_export_slot_t state;
        ASSERT_EQ(vek_rir_export_log_slot_read(&fi, &export_log, old.seqno, &record, &state), 0);
        writer = nullptr;
        EXPECT_EQ(state, c.state) << c.what;
        if (state == VEK_RIR_EXPORT_SLOT_RECORD)
            EXPECT_STREQ(vek_rir_helper_real(&record).text, "old") << c.what;
    }
    // Asked for a record not yet stamped, the slot still holds the one a ring before it.
    vek_rir_export_log_t export_log;
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    ASSERT_EQ(vek_rir_export_log_open(&fi, &export_log, path, false), 0) << fi.text;
    vek_rir_record_t record;
    vek_rir_export_slot_t state;
    ASSERT_EQ(vek_rir_export_log_slot_read(&fi, &export_log, old.seqno + 12272, &record, &state),
              0);
    EXPECT_EQ(state, VEK_RIR_EXPORT_SLOT_PENDING);
    close(fd);
    unlink(path);
}

// jq reads the export's JSON Lines and prints one summary line per object:
// "R seqno identity "text"" (the text as JSON) for a record, "L count after cause" for a loss,
// "Z after" for a reset.
// Returns jq's exit status; its lines in `lines`.
int jq_summary(const std::string &json_path, std::vector<std::string> *lines)
{
    std::string out_path = json_path + ".jq";
    std::string command =
        "jq -r 'if has(\"lost\") then \"L \\(.lost) \\(.after_seqno) \\(.cause)\" "
        "elif has(\"reset\") then \"Z \\(.after_seqno)\" "
        "else \"R \\(.seqno) \\(.identity) \\(.text | tojson)\" end' <" +
        json_path + " >" + out_path + " 2>&1";
    int status = system(command.c_str());
    std::istringstream in(read_file(out_path));
    lines->clear();
    for (std::string line; std::getline(in, line);)
        lines->push_back(line);
    return status == -1 ? -1 : WEXITSTATUS(status);
}

// ---- following a log that changes under the reader ---------------------------------------

// A node's log in a file of the test's own, changed the way appends, claims and clears change
// the live log, one pwrite at a time.
struct file_log_t {
    int fd = -1;
    uint64_t next = 0, generation = 1, secs = 1796000000;

    void header_put()
    {
        ASSERT_EQ(pwrite(fd, &next, 8, VEK_RIR_HEADER_OFFSET(next_seqno)), 8);
        ASSERT_EQ(pwrite(fd, &generation, 8, VEK_RIR_HEADER_OFFSET(generation)), 8);
    }
    vek_rir_record_real_t record(const char *identity, uint64_t flags)
    {
        vek_rir_record_real_t r;
        memset(&r, 0, sizeof(r));
        r.seqno = next;
        r.flags = flags | VEK_RIR_RECORD_FLAG_NODE_A;
        r.time_secs = ++secs;
        snprintf(r.identity, sizeof(r.identity), "%s", identity);
        snprintf(r.text, sizeof(r.text), "%s %llu", identity, static_cast<unsigned long long>(next));
        return r;
    }
    void slot_put(const vek_rir_record_real_t &r)
    {
        ASSERT_EQ(pwrite(fd, &r, sizeof(r), static_cast<off_t>(4096 + (r.seqno % 12272) * 256)),
                  256);
    }
    void append(const char *identity, int count = 1)
    {
        for (int k = 0; k < count; k++) {
            slot_put(record(identity, VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE));
            next++;
        }
        header_put();
    }
    // A writer's claim: next_seqno moved, the slot stamped USED without COMPLETE, and the
    // mutex held by `tid` in this boot (0: its holder died, the kernel cleared the owner).
    void claim(const char *identity, int tid)
    {
        slot_put(record(identity, VEK_RIR_RECORD_FLAG_USED));
        next++;
        header_put();
        holder_put(tid);
    }
    void holder_put(int tid)
    {
        uint64_t boot = vek_rir_util_get_boot_time();
        ASSERT_EQ(pwrite(fd, &tid, 4, VEK_RIR_LOCK_OFFSET(mutex_body)), 4);
        ASSERT_EQ(pwrite(fd, &boot, 8, VEK_RIR_LOCK_OFFSET(mutex_init_boot_time)), 8);
    }
    // The claimed record `seqno` finished by its writer, which lets the mutex go.
    void complete(uint64_t seqno, const char *identity)
    {
        uint64_t saved = next;
        next = seqno;
        slot_put(record(identity, VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE));
        next = saved;
        holder_put(0);
    }
    // A clear of a build that keeps the generation (raise = true) or of one that does not.
    void clear(bool raise = true)
    {
        generation += raise ? 1 : 0;
        next = 0;
        header_put();
    }
};

// The follower of a file_log_t, run batch by batch in this process, its JSON Lines in a file.
struct follower_t {
    vek_rir_export_options_t options;
    vek_rir_export_follow_t x;
    std::string out_path;
    size_t lines_seen = 0;
    uint64_t now_ms = 0;
    static uint64_t *clock_now;

    follower_t(const std::string &log_path, const char *cursor_path = nullptr)
        : out_path(log_path + ".json")
    {
        options.follow = true;
        options.format = VEK_RIR_EXPORT_FORMAT_JSON;
        options.cursor_path = cursor_path;
        x.options = &options;
        x.out.format = options.format;
        x.out.stream = fopen(out_path.c_str(), "w");
        clock_now = &now_ms;
        x.clock_msecs = [] { return *clock_now; };
        vek_rir_failure_info_clear(&x.failure);
        EXPECT_EQ(vek_rir_export_log_open(&x.failure, &x.log, log_path.c_str(), false), 0)
            << x.failure.text;
        EXPECT_EQ(vek_rir_export_follow_start(&x), 0) << x.failure.text;
    }
    ~follower_t() { fclose(x.out.stream); }
    // One batch; the summary lines it added.
    std::vector<std::string> batch()
    {
        EXPECT_EQ(vek_rir_export_follow_batch(&x), 0) << x.failure.text;
        fflush(x.out.stream);
        std::vector<std::string> all;
        EXPECT_EQ(jq_summary(out_path, &all), 0);
        std::vector<std::string> added(all.begin() + static_cast<long>(lines_seen), all.end());
        lines_seen = all.size();
        return added;
    }
};
uint64_t *follower_t::clock_now = nullptr;

class ExportFollowTest : public ::testing::Test {
protected:
    char path[64] = "";
    file_log_t log;
    void SetUp() override { fresh(); }
    // A new empty log of node A, generation 1, in place of the last one.
    void fresh()
    {
        if (log.fd >= 0)
            TearDown();
        log = file_log_t{};
        snprintf(path, sizeof(path), "/tmp/vek-export-follow.XXXXXX");
        log.fd = mkstemp(path);
        ASSERT_GE(log.fd, 0);
        test_log_t empty;
        empty.info().flags = VEK_RIR_HEADER_FLAG_NODE_A;
        ASSERT_EQ(write(log.fd, empty.bytes.data(), empty.bytes.size()),
                  static_cast<ssize_t>(empty.bytes.size()));
        log.header_put();
    }
    void TearDown() override
    {
        writer = nullptr;
        if (log.fd < 0)
            return;
        close(log.fd);
        log.fd = -1;
        unlink(path);
        unlink((std::string(path) + ".json").c_str());
        unlink((std::string(path) + ".json.jq").c_str());
        unlink((std::string(path) + ".cursor").c_str());
    }
};

// The log is emptied and written again while a batch reads it, at a chosen read of the
// batch: every old record read before is printed once, then one reset line, then the new
// log's records from its oldest. A copy of a slot that the new log rewrote - same sequence
// number, whole and complete - is never printed as the old record.
TEST_F(ExportFollowTest, AClearAndARefillInTheMiddleOfABatchAreAResetNeverARepeat)
{
    struct case_t {
        const char *what;
        int at;          // before which read of the batch the log changes (see below)
        int refill;      // records of the new log
        bool generation; // the clear raises the generation
        std::vector<std::string> tail; // the lines after the old records 0..9
    } cases[] = {
        // A batch reads the header (read 0), then per slot its head, the whole slot, its head
        // again and the header: read 41 is the head of slot 10, 42 its copy.
        {"a few new records, before slot 10 is looked at", 41, 5, true,
         {"Z 9", "R 0 new \"new 0\"", "R 4 new \"new 4\""}},
        {"refilled past the position during the copy of slot 10", 42, 40, true,
         {"Z 9", "R 0 new \"new 0\"", "R 39 new \"new 39\""}},
        {"refilled past the whole ring", 42, 12272 + 100, true,
         {"Z 9", "R 100 new \"new 100\"", "R 12371 new \"new 12371\""}},
        // In a log that keeps no generation, a clear is noticed as long as next_seqno is below
        // the position when the copy is checked.
        {"a log without a generation, a few new records", 41, 5, false,
         {"Z 9", "R 0 new \"new 0\"", "R 4 new \"new 4\""}},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(fresh());
        if (!c.generation) {
            log.generation = 0;
            log.header_put();
        }
        log.append("old", 50);
        follower_t f(path);
        interfering_writer_t w;
        w.at = c.at;
        w.step = [&](int) {
            log.clear(c.generation);
            log.append("new", c.refill);
        };
        writer = &w;
        f.x.log.pread = interfering_pread;
        std::vector<std::string> lines;
        for (int b = 0; b < 4; b++)
            for (const std::string &l : f.batch())
                lines.push_back(l);
        writer = nullptr;
        ASSERT_GE(lines.size(), 10u + c.tail.size());
        for (int k = 0; k < 10; k++)
            EXPECT_EQ(lines[k], "R " + std::to_string(k) + " old \"old " + std::to_string(k) + "\"");
        EXPECT_EQ(lines[10], c.tail[0]);
        EXPECT_EQ(lines[11], c.tail[1]);
        EXPECT_EQ(lines.back(), c.tail[2]);
        // Each new record once, in order, after the reset; nothing else.
        uint64_t first = std::stoull(c.tail[1].substr(2));
        EXPECT_EQ(lines.size(), 11 + (c.refill - first)) << lines.back();
        for (size_t k = 11; k < lines.size(); k++)
            EXPECT_EQ(lines[k].substr(0, lines[k].find(' ', 2)), "R " + std::to_string(first + k - 11));
    }
}

// Between two batches: the ring refilled past the position, with and without the generation
// that tells a refill from appends, and records overwritten before the first one was read.
TEST_F(ExportFollowTest, BetweenTwoBatchesARefillIsAResetAndOnlyTheRingBlamesTheRing)
{
    struct case_t {
        const char *what;
        int before;                 // records before the follower starts
        std::function<void(file_log_t &)> change;
        std::vector<std::string> expect; // the second batch's first lines
    } cases[] = {
        {"an inhale of a full merged log", 20,
         [](file_log_t &l) { l.clear(); l.append("new", 24544); },
         {"Z 19", "R 12272 new \"new 12272\""}},
        // A power cut: the file went back to its last flush, then the node appended again.
        // What the reader had read stays read; the sequence numbers after it are new records.
        {"restored to an earlier state", 20,
         [](file_log_t &l) { l.next = 15; l.append("after", 2); },
         {"Z 19", "R 15 after \"after 15\"", "R 16 after \"after 16\""}},
        {"appends past the ring", 20, [](file_log_t &l) { l.append("more", 13000); },
         {"L 728 19 overwritten", "R 748 more \"more 748\""}},
        {"a refill past the ring that no generation counted", 20,
         [](file_log_t &l) { l.clear(false); l.append("new", 13000); },
         {"L 708 19 overwritten_or_reset", "R 728 new \"new 728\""}},
        // Started with the ring already wrapped: nothing was read before the gap.
        {"a gap before the first record read", 13000,
         [](file_log_t &l) { l.append("more", 13000); },
         {"L 13000 null overwritten", "R 13728 more \"more 13728\""}},
    };
    for (case_t &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(fresh());
        if (std::string(c.what).find("no generation") != std::string::npos) {
            log.generation = 0;
            log.header_put();
        }
        log.append("old", c.before);
        follower_t f(path);
        if (c.before < 13000) {
            EXPECT_EQ(f.batch().size(), static_cast<size_t>(c.before));
        }
        c.change(log);
        std::vector<std::string> lines = f.batch();
        ASSERT_GE(lines.size(), c.expect.size());
        for (size_t k = 0; k < c.expect.size(); k++)
            EXPECT_EQ(lines[k], c.expect[k]);
    }
}

// A writer between claim and complete: waited for as long as it may hold the mutex, then
// reported unfinished (never printed with another record's fields) and printed when it
// completes; a writer that died leaves a line at once. A cursor saved after an unfinished
// tail resumes right after the last record read.
TEST_F(ExportFollowTest, SlotsOfWritersAtWorkAreWaitedForReportedAndPrintedWhenDone)
{
    std::string cursor = std::string(path) + ".cursor";
    log.append("a", 3);
    {
        follower_t f(path, cursor.c_str());
        EXPECT_EQ(f.batch().size(), 3u);
        // A writer of this boot holds the mutex over its claim of seqno 3.
        log.claim("slow", 4242);
        EXPECT_TRUE(f.batch().empty());
        EXPECT_TRUE(f.x.waiting);
        f.now_ms += 4999;
        EXPECT_TRUE(f.batch().empty());
        f.now_ms += 1;
        EXPECT_EQ(f.batch(), (std::vector<std::string>{"L 1 2 unfinished"}));
        EXPECT_FALSE(f.x.waiting);
        // It completes; another writer appends after it.
        log.complete(3, "slow");
        log.append("b");
        EXPECT_EQ(f.batch(), (std::vector<std::string>{"R 3 slow \"slow 3\"", "R 4 b \"b 4\""}));
        // A writer that dies after its claim: the mutex shows no holder, the line comes at once.
        log.claim("dead", 0);
        EXPECT_EQ(f.batch(), (std::vector<std::string>{"L 1 4 unfinished"}));
        vek_rir_export_follow_cursor_save(&f.x);
    }
    // A restart from the cursor saved after the unfinished tail prints only what is new.
    log.append("c", 2);
    follower_t again(path, cursor.c_str());
    EXPECT_EQ(again.batch(), (std::vector<std::string>{"R 6 c \"c 6\"", "R 7 c \"c 7\""}));
}

// ---- the cursor file --------------------------------------------------------------------

TEST(ExportCursorTest, SavedAtomicallyWithoutFollowingLinks)
{
    char dir[] = "/tmp/vek-export-cursor.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/cursor";
    std::string victim = std::string(dir) + "/victim";
    ASSERT_TRUE(write_file(victim, "precious"));
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    vek_rir_export_cursor_t cursor, loaded;
    EXPECT_EQ(vek_rir_export_cursor_load(&fi, path.c_str(), &loaded), VEK_RIR_EXPORT_CURSOR_MISSING);
    // A leftover companion that is a link to someone's file: removed, never written through.
    ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
    cursor.next_seqno = 42;
    cursor.last_known = true;
    cursor.last_secs = 1796728608;
    cursor.last_usecs = 17;
    cursor.header_flags = VEK_RIR_HEADER_FLAG_NODE_B;
    ASSERT_EQ(vek_rir_export_cursor_save(&fi, path.c_str(), &cursor), 0) << fi.text;
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_FALSE(path_exists(path + ".tmp"));
    ASSERT_EQ(vek_rir_export_cursor_load(&fi, path.c_str(), &loaded), VEK_RIR_EXPORT_CURSOR_LOADED);
    EXPECT_EQ(loaded.next_seqno, 42u);
    EXPECT_TRUE(loaded.last_known);
    EXPECT_EQ(loaded.last_secs, 1796728608u);
    EXPECT_EQ(loaded.last_usecs, 17u);
    EXPECT_EQ(loaded.header_flags, VEK_RIR_HEADER_FLAG_NODE_B);
    // Cut, edited or foreign contents are no cursor.
    std::string good = read_file(path);
    for (const std::string &bad : {good.substr(0, good.size() - 10), good + "x\n",
                                   std::string("hello\n"), std::string()}) {
        ASSERT_TRUE(write_file(path, bad));
        EXPECT_EQ(vek_rir_export_cursor_load(&fi, path.c_str(), &loaded), VEK_RIR_EXPORT_CURSOR_BAD)
            << bad;
    }
    // A cursor of the first version still loads: its last record is the one before next_seqno.
    ASSERT_TRUE(write_file(path, "vek_rir_export cursor 1\nnext_seqno 9\nlast_known 1\n"
                                 "last_secs 5\nlast_usecs 6\nheader_flags 1\n"));
    ASSERT_EQ(vek_rir_export_cursor_load(&fi, path.c_str(), &loaded), VEK_RIR_EXPORT_CURSOR_LOADED);
    EXPECT_EQ(loaded.last_seqno, 8u);
    EXPECT_EQ(loaded.generation, 0u);
    // A save cut short (the file size limit stands in for a full file system) leaves the
    // previous cursor whole, loadable with its old values.
    ASSERT_TRUE(write_file(path, good));
    vek_rir_export_cursor_t moved = cursor;
    moved.next_seqno = 4242;
    int status = run_child_within(10, [&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {40, 40};
        vek_rir_failure_info_t child_fi;
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        return vek_rir_export_cursor_save(&child_fi, path.c_str(), &moved) == 1 ? 0 : 3;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(vek_rir_export_cursor_load(&fi, path.c_str(), &loaded), VEK_RIR_EXPORT_CURSOR_LOADED);
    EXPECT_EQ(loaded.next_seqno, 42u);
    EXPECT_FALSE(path_exists(path + ".tmp"));
    // A cursor that is a link is refused when read, and replaced (not written through) on save.
    unlink(path.c_str());
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    EXPECT_EQ(vek_rir_export_cursor_load(&fi, path.c_str(), &loaded), VEK_RIR_EXPORT_CURSOR_FAILED);
    ASSERT_EQ(vek_rir_export_cursor_save(&fi, path.c_str(), &cursor), 0) << fi.text;
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_EQ(vek_rir_export_cursor_load(&fi, path.c_str(), &loaded), VEK_RIR_EXPORT_CURSOR_LOADED);
    unlink(path.c_str());
    unlink(victim.c_str());
    rmdir(dir);
}

// ---- the program in the node sandbox ----------------------------------------------------

uint64_t now_msecs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Polls until `done` holds or `limit_msecs` pass; whether it held.
bool wait_until(const std::function<bool()> &done, uint64_t limit_msecs)
{
    uint64_t start = now_msecs();
    while (!done()) {
        if (now_msecs() - start > limit_msecs)
            return false;
        usleep(20000);
    }
    return true;
}

// Reaps a child within the deadline (killing it after that); its wait status, -1 if killed.
int reap(pid_t pid, uint64_t limit_msecs)
{
    int status = 0;
    bool done = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit_msecs);
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return status;
}

// Starts the export with its output and errors in files; as "nobody" when unprivileged.
pid_t export_start(const std::vector<std::string> &args, const std::string &out_path,
                   const std::string &err_path, bool unprivileged = false)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(126);
    if (unprivileged && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                         setresuid(65534, 65534, 65534) != 0))
        _exit(125);
    std::vector<char *> argv{const_cast<char *>(export_tool.c_str())};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(export_tool.c_str(), argv.data());
    _exit(127);
}

int exit_code(int status)
{
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

size_t count_prefix(const std::vector<std::string> &lines, const std::string &prefix)
{
    size_t n = 0;
    for (const std::string &l : lines)
        n += l.compare(0, prefix.size(), prefix) == 0;
    return n;
}

// Appends `count` records as identity `who`, texts "who:k" from `first`, in a child.
pid_t writer_start(const std::string &who, int first, int count, int pause_usecs = 0)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (int k = first; k < first + count; k++) {
        std::string text = who + ":" + std::to_string(k);
        if (vek_rir_if_record_add(nullptr, 0, VEK_RIR_CLASS_EVENT, static_cast<uint64_t>(k),
                                  who.c_str(), text.c_str()) != VEK_RIR_RC_OK)
            _exit(1);
        if (pause_usecs)
            usleep(static_cast<useconds_t>(pause_usecs));
    }
    _exit(0);
}

class ExportRunTest : public sandbox_test {};

TEST_F(ExportRunTest, FullMergedLogParsesLineByLineAndRoundTrips)
{
    test_log_t merged(VEK_RIR_MERGED_RECORD_COUNT);
    merged.info().flags = VEK_RIR_HEADER_FLAG_MERGED;
    const std::string nasty[] = {"quote \" backslash \\ tab \t nl \n", "bytes \xff\xfe\xc3(",
                                 "caf\xc3\xa9 \xe2\x82\xac", "\\x41 literal", "\x01\x1f\x7f"};
    for (uint64_t i = 0; i < VEK_RIR_MERGED_RECORD_COUNT; i++) {
        std::string text = i % 100 < 5 ? nasty[i % 100] : "text " + std::to_string(i);
        merged.append(1796000000 + i, i % 1000000, "id", text.c_str(), VEK_RIR_CLASS_EVENT, i,
                      i % 2 ? VEK_RIR_RECORD_FLAG_NODE_A : VEK_RIR_RECORD_FLAG_NODE_B);
    }
    ASSERT_TRUE(write_log("/vek_tmp/merged.bin", merged));
    pid_t pid = export_start({"-o", "json", "-M", "/vek_tmp/merged.bin"}, "/vek_tmp/out.json",
                             "/vek_tmp/err");
    ASSERT_EQ(exit_code(reap(pid, 60000)), 0) << read_file("/vek_tmp/err");
    EXPECT_EQ(read_file("/vek_tmp/err"), "");
    std::vector<std::string> lines;
    ASSERT_EQ(jq_summary("/vek_tmp/out.json", &lines), 0) << (lines.empty() ? "" : lines[0]);
    // Every record, in order; special texts come back as they were written.
    std::string texts = "jq -r 'select(.seqno % 100 < 5 and .seqno < 500) | "
                        "[.seqno, .text, (.text_escaped // false)] | @json' "
                        "</vek_tmp/out.json >/vek_tmp/texts";
    ASSERT_EQ(system(texts.c_str()), 0);
    std::string all = read_file("/vek_tmp/out.json");
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 24544);
    std::istringstream in(read_file("/vek_tmp/texts"));
    int checked = 0;
    for (std::string line; std::getline(in, line);) {
        // [seqno,"text",escaped]: the text decoded by jq and re-encoded plainly is compared by
        // a second jq run, too slow per line; decode the simple JSON here instead.
        size_t comma = line.find(',');
        uint64_t seqno = std::stoull(line.substr(1, comma - 1));
        bool escaped = line.size() > 6 && line.substr(line.size() - 5) == "true]";
        std::string quoted = line.substr(comma + 1, line.rfind(',') - comma - 1);
        std::string decoded;
        for (size_t i = 1; i + 1 < quoted.size(); i++) {
            if (quoted[i] != '\\') {
                decoded += quoted[i];
                continue;
            }
            char e = quoted[++i];
            if (e == 'u') {
                decoded += static_cast<char>(std::stoi(quoted.substr(i + 1, 4), nullptr, 16));
                i += 4;
            } else {
                decoded += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            }
        }
        std::string original = nasty[seqno % 100];
        EXPECT_EQ(escaped ? unescape(decoded) : decoded, original) << line;
        checked++;
    }
    EXPECT_EQ(checked, 25);
    EXPECT_EQ(lines.size(), 24544u);
    EXPECT_EQ(lines.front().substr(0, 7), "R 0 id ");
}

TEST_F(ExportRunTest, UnprivilegedFollowWhileWritersAppendLosesAndRepeatsNothing)
{
    live_attach_t attach;
    ASSERT_TRUE(attach.ok) << attach.failure_info.text;
    ASSERT_EQ(chmod(vek_rir_local_path, 0644), 0); // others may read, not write
    live_append(10);
    pid_t follower = export_start({"--follow", "-o", "json"}, "/vek_tmp/follow.json",
                                  "/vek_tmp/follow.err", true);
    std::vector<pid_t> writers;
    for (int w = 0; w < 3; w++)
        writers.push_back(writer_start("w" + std::to_string(w), 0, 2000, w * 50));
    for (pid_t pid : writers)
        EXPECT_EQ(exit_code(reap(pid, 120000)), 0);
    auto lines_now = [] {
        std::string s = read_file("/vek_tmp/follow.json");
        return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
    };
    EXPECT_TRUE(wait_until([&] { return lines_now() >= 6010; }, 20000)) << lines_now();
    kill(follower, SIGTERM);
    EXPECT_EQ(exit_code(reap(follower, 10000)), 0) << read_file("/vek_tmp/follow.err");
    EXPECT_EQ(read_file("/vek_tmp/follow.err"), "");
    std::vector<std::string> lines;
    ASSERT_EQ(jq_summary("/vek_tmp/follow.json", &lines), 0);
    ASSERT_EQ(lines.size(), 6010u);
    std::map<std::string, int> next_k;
    for (size_t i = 0; i < lines.size(); i++) {
        std::istringstream in(lines[i]);
        std::string kind, identity, text;
        uint64_t seqno = 0;
        in >> kind >> seqno >> identity >> text;
        ASSERT_EQ(kind, "R") << lines[i];
        EXPECT_EQ(seqno, i) << lines[i];
        if (i < 10)
            continue;
        // Each writer's records arrive in its own order, each once.
        EXPECT_EQ(text, "\"" + identity + ":" + std::to_string(next_k[identity]++) + "\"")
            << lines[i];
    }
    EXPECT_EQ(next_k.size(), 3u);
}

TEST_F(ExportRunTest, RestartFromCursorUnderWritersResumesRightAfterIt)
{
    live_attach_t attach;
    ASSERT_TRUE(attach.ok) << attach.failure_info.text;
    const std::vector<std::string> args = {"-f", "-o", "json", "--cursor-file",
                                           "/vek_tmp/cursor"};
    pid_t writer_pid = writer_start("w", 0, 3000, 300);
    std::set<uint64_t> seen;
    bool repeated = false;
    for (int run = 0; run < 4; run++) {
        std::string out = "/vek_tmp/run" + std::to_string(run) + ".json";
        pid_t follower = export_start(args, out, "/vek_tmp/cursor.err");
        usleep(400000);
        kill(follower, run % 2 ? SIGINT : SIGTERM);
        EXPECT_EQ(exit_code(reap(follower, 10000)), 0);
        std::vector<std::string> lines;
        ASSERT_EQ(jq_summary(out, &lines), 0);
        for (const std::string &l : lines) {
            ASSERT_EQ(l[0], 'R') << l;
            repeated |= !seen.insert(std::stoull(l.substr(2))).second;
        }
    }
    EXPECT_EQ(exit_code(reap(writer_pid, 120000)), 0);
    pid_t last = export_start({"-o", "json", "--cursor-file", "/vek_tmp/cursor"},
                              "/vek_tmp/last.json", "/vek_tmp/cursor.err");
    EXPECT_EQ(exit_code(reap(last, 20000)), 0);
    std::vector<std::string> lines;
    ASSERT_EQ(jq_summary("/vek_tmp/last.json", &lines), 0);
    for (const std::string &l : lines) {
        ASSERT_EQ(l[0], 'R') << l;
        repeated |= !seen.insert(std::stoull(l.substr(2))).second;
    }
    EXPECT_FALSE(repeated);
    EXPECT_EQ(seen.size(), 3000u);
    EXPECT_EQ(*seen.rbegin(), 2999u);
    EXPECT_EQ(read_file("/vek_tmp/cursor.err"), "");
}

TEST_F(ExportRunTest, StoppedFollowerOverrunGetsTheExactLossCount)
{
    live_attach_t attach;
    ASSERT_TRUE(attach.ok) << attach.failure_info.text;
    live_append(10);
    pid_t follower = export_start({"-f", "-o", "json"}, "/vek_tmp/lossy.json", "/vek_tmp/lossy.err");
    auto lines_now = [] {
        std::string s = read_file("/vek_tmp/lossy.json");
        return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
    };
    ASSERT_TRUE(wait_until([&] { return lines_now() == 10; }, 10000));
    kill(follower, SIGSTOP);
    EXPECT_EQ(exit_code(reap(writer_start("fast", 0, 13000), 120000)), 0);
    kill(follower, SIGCONT);
    // 13010 appended, 12272 kept: seqnos 10 to 737 were overwritten before they were read.
    EXPECT_TRUE(wait_until([&] { return lines_now() == 10 + 1 + 12272; }, 20000)) << lines_now();
    kill(follower, SIGTERM);
    EXPECT_EQ(exit_code(reap(follower, 10000)), 0);
    std::vector<std::string> lines;
    ASSERT_EQ(jq_summary("/vek_tmp/lossy.json", &lines), 0);
    ASSERT_EQ(lines.size(), 10u + 1 + 12272);
    EXPECT_EQ(lines[10], "L 728 9 overwritten");
    EXPECT_EQ(lines[11].substr(0, 6), "R 738 ");
    EXPECT_EQ(lines.back().substr(0, 8), "R 13009 ");
    EXPECT_NE(read_file("/vek_tmp/lossy.err").find("lost 728 records"), std::string::npos);
}

TEST_F(ExportRunTest, ClearWhileFollowingIsAResetNotALoss)
{
    live_attach_t attach;
    ASSERT_TRUE(attach.ok) << attach.failure_info.text;
    live_append(20);
    pid_t follower = export_start({"-f", "-o", "json", "-C", "/vek_tmp/c"}, "/vek_tmp/r.json",
                                  "/vek_tmp/r.err");
    auto lines_now = [] {
        std::string s = read_file("/vek_tmp/r.json");
        return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
    };
    ASSERT_TRUE(wait_until([&] { return lines_now() == 20; }, 10000));
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    ASSERT_EQ(vek_rir_not_for_cli_clear(&fi), 0) << fi.text;
    live_append(30, "after"); // past the follower's position before it looks again, likely
    ASSERT_TRUE(wait_until([&] { return lines_now() == 20 + 1 + 30; }, 10000)) << lines_now();
    kill(follower, SIGTERM);
    EXPECT_EQ(exit_code(reap(follower, 10000)), 0);
    std::vector<std::string> lines;
    ASSERT_EQ(jq_summary("/vek_tmp/r.json", &lines), 0);
    ASSERT_EQ(lines.size(), 51u);
    EXPECT_EQ(lines[20], "Z 19");
    EXPECT_EQ(lines[21], "R 0 after \"live 0\"");
    EXPECT_EQ(count_prefix(lines, "L "), 0u);
    // A cursor saved before another clear does not fit the refilled log: reported, and the
    // export starts again from the oldest record.
    ASSERT_EQ(vek_rir_not_for_cli_clear(&fi), 0) << fi.text;
    usleep(2000);
    live_append(60, "again");
    pid_t again = export_start({"-o", "json", "-C", "/vek_tmp/c"}, "/vek_tmp/a.json",
                               "/vek_tmp/a.err");
    EXPECT_EQ(exit_code(reap(again, 10000)), 0);
    ASSERT_EQ(jq_summary("/vek_tmp/a.json", &lines), 0);
    ASSERT_EQ(lines.size(), 61u);
    EXPECT_EQ(lines[0], "Z 29");
    EXPECT_EQ(lines[1], "R 0 again \"live 0\"");
    EXPECT_NE(read_file("/vek_tmp/a.err").find("cleared or inhaled since the cursor was saved"),
              std::string::npos)
        << read_file("/vek_tmp/a.err");
}

// SIGTERM and SIGINT that come while the follower is blocked on a full pipe end it with exit 0
// and a cursor right after the last line the pipe took: a restart goes on from there.
TEST_F(ExportRunTest, AStopSignalWhileBlockedOnAFullPipeSavesTheCursorAndExitsZero)
{
    live_attach_t attach;
    ASSERT_TRUE(attach.ok) << attach.failure_info.text;
    live_append(3000); // about 1 MB of JSON Lines, far more than a pipe holds
    uint64_t expected_next = 0;
    for (int stop_signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(stop_signal_number));
        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int err = open("/vek_tmp/blocked.err", O_WRONLY | O_CREAT | O_APPEND, 0666);
            if (err < 0 || dup2(pipe_fds[1], 1) < 0 || dup2(err, 2) < 0)
                _exit(126);
            close(pipe_fds[0]);
            execl(export_tool.c_str(), export_tool.c_str(), "-f", "-o", "json", "-C",
                  "/vek_tmp/blocked.cursor", nullptr);
            _exit(127);
        }
        close(pipe_fds[1]);
        // Blocked once the pipe is full and nothing reads it.
        EXPECT_TRUE(wait_until(
            [&] {
                std::string stat = read_file("/proc/" + std::to_string(pid) + "/wchan");
                return stat.find("pipe_write") != std::string::npos;
            },
            10000));
        kill(pid, stop_signal_number);
        EXPECT_EQ(exit_code(reap(pid, 10000)), 0) << read_file("/vek_tmp/blocked.err");
        std::string out;
        char buffer[65536];
        for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof(buffer))) > 0;)
            out.append(buffer, static_cast<size_t>(got));
        close(pipe_fds[0]);
        ASSERT_FALSE(out.empty());
        ASSERT_EQ(out.back(), '\n') << "a line was cut";
        size_t lines = static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
        EXPECT_LT(lines, 3000u);
        // The first line is the one after the last line of the run before.
        EXPECT_EQ(out.substr(0, out.find(',')), "{\"seqno\":" + std::to_string(expected_next));
        vek_rir_export_cursor_t cursor;
        vek_rir_failure_info_t fi;
        ASSERT_EQ(vek_rir_export_cursor_load(&fi, "/vek_tmp/blocked.cursor", &cursor),
                  VEK_RIR_EXPORT_CURSOR_LOADED);
        expected_next += lines;
        EXPECT_EQ(cursor.next_seqno, expected_next);
        EXPECT_EQ(cursor.last_seqno, expected_next - 1);
    }
    EXPECT_EQ(read_file("/vek_tmp/blocked.err"), "");
}

// Followed by name: the live log moved aside and made anew (as the procedure to start a fresh
// log does) is noticed within a poll or two, and the new one is followed after a reset line.
TEST_F(ExportRunTest, AReplacedLiveLogIsFollowedByNameAfterAReset)
{
    live_attach_t attach;
    ASSERT_TRUE(attach.ok) << attach.failure_info.text;
    live_append(5, "first");
    pid_t follower = export_start({"-f", "-o", "json"}, "/vek_tmp/moved.json", "/vek_tmp/moved.err");
    auto lines_now = [] {
        std::string s = read_file("/vek_tmp/moved.json");
        return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
    };
    ASSERT_TRUE(wait_until([&] { return lines_now() == 5; }, 10000));
    ASSERT_EQ(rename(vek_rir_local_path, "/vek_var/aside.bin"), 0);
    vek_rir_file_detach();
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    ASSERT_EQ(vek_rir_file_attach(VEK_RIR_TRUE, &fi), 0) << fi.text;
    live_append(3, "second");
    EXPECT_TRUE(wait_until([&] { return lines_now() == 5 + 1 + 3; }, 10000)) << lines_now();
    kill(follower, SIGTERM);
    EXPECT_EQ(exit_code(reap(follower, 10000)), 0);
    std::vector<std::string> lines;
    ASSERT_EQ(jq_summary("/vek_tmp/moved.json", &lines), 0);
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[4], "R 4 first \"live 4\"");
    EXPECT_EQ(lines[5], "Z 4");
    EXPECT_EQ(lines[6], "R 0 second \"live 0\"");
    EXPECT_EQ(lines[8], "R 2 second \"live 2\"");
    EXPECT_NE(read_file("/vek_tmp/moved.err").find("was replaced"), std::string::npos);
}

// The live log named with -M, read once: a tail slot whose writer is still at work is waited
// for, and one whose writer died is reported as such, not as a record the ring overwrote.
TEST_F(ExportRunTest, TheLiveLogReadOnceWaitsForATailSlotAndNamesAnUnfinishedOne)
{
    live_attach_t attach;
    ASSERT_TRUE(attach.ok) << attach.failure_info.text;
    struct case_t {
        const char *what;
        bool dies; // the writer dies after its claim instead of finishing 1 s later
        std::string last_line, warning;
    } cases[] = {
        {"a slow writer", false, "R 5 slow \"late\"", ""},
        {"a writer that dies", true, "L 1 6 unfinished",
         "vek_rir_export: record 7 was left unfinished by its writer\n"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.what);
        live_append(c.dies ? 1 : 5);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t writer_pid = fork();
        ASSERT_GE(writer_pid, 0);
        if (writer_pid == 0) {
            vek_rir_record_t *record = nullptr;
            vek_rir_failure_info_t fi;
            if (vek_rir_next_record_get(&record, VEK_RIR_TRUE, &fi) != 0 || write(ready[1], "r", 1) != 1)
                _exit(1);
            if (c.dies)
                _exit(0); // holding the mutex: the kernel marks its owner dead
            usleep(1000000);
            vek_rir_next_record_fill(record, 0, VEK_RIR_CLASS_EVENT, 0, "slow", "late");
            vek_rir_next_record_return(record, VEK_RIR_TRUE);
            _exit(0);
        }
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        close(ready[1]);
        unlink("/vek_tmp/once.json");
        unlink("/vek_tmp/once.err");
        pid_t pid = export_start({"-o", "json", "-M", vek_rir_local_path}, "/vek_tmp/once.json",
                                 "/vek_tmp/once.err");
        EXPECT_EQ(exit_code(reap(pid, 10000)), 0);
        EXPECT_EQ(exit_code(reap(writer_pid, 10000)), 0);
        std::vector<std::string> lines;
        ASSERT_EQ(jq_summary("/vek_tmp/once.json", &lines), 0);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.last_line);
        EXPECT_EQ(read_file("/vek_tmp/once.err"), c.warning);
    }
}

TEST_F(ExportRunTest, ReaderThatGoesAwayAndBadFilesEndAsTheyShould)
{
    test_log_t merged(VEK_RIR_MERGED_RECORD_COUNT);
    for (uint64_t i = 0; i < VEK_RIR_MERGED_RECORD_COUNT; i++)
        merged.append(1796000000 + i, 0, "id", "text");
    ASSERT_TRUE(write_log("/vek_tmp/merged.bin", merged));
    std::string command = "bash -c '" + export_tool +
                          " -o json -M /vek_tmp/merged.bin 2>/vek_tmp/pipe.err | head -1 "
                          ">/dev/null; echo ${PIPESTATUS[0]} >/vek_tmp/pipe.rc'";
    ASSERT_EQ(system(command.c_str()), 0);
    EXPECT_EQ(read_file("/vek_tmp/pipe.rc"), "0\n");
    EXPECT_EQ(read_file("/vek_tmp/pipe.err"), "");
    ASSERT_TRUE(write_file("/vek_tmp/short.bin", "not a log"));
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-M", "/vek_tmp/missing.bin"},
         "vek_rir_export: unable to open log file at /vek_tmp/missing.bin (No such file or "
         "directory)\n"},
        {{"-M", "/vek_tmp/short.bin"},
         "vek_rir_export: log file at /vek_tmp/short.bin had bad size (3145728/6287360/9)\n"},
        {{"-f", "-M", "/vek_tmp/merged.bin"},
         "vek_rir_export: cannot follow a merged log (its records are re-ordered at every "
         "merge)\n"},
        {{"-C", "/vek_tmp/c", "-M", "/vek_tmp/merged.bin"},
         "vek_rir_export: a cursor file needs a node's log, not a merged log\n"},
        {{}, "vek_rir_export: unable to open log file at /vek_var/vek-rir-local.bin (No such "
             "file or directory)\n"},
    };
    for (const auto &c : cases) {
        unlink("/vek_tmp/bad.err");
        pid_t pid = export_start(c.args, "/vek_tmp/bad.out", "/vek_tmp/bad.err");
        EXPECT_EQ(exit_code(reap(pid, 10000)), 1);
        EXPECT_EQ(read_file("/vek_tmp/bad.err"), c.err);
    }
    // The live log reached through a link is refused.
    ASSERT_EQ(symlink("/vek_tmp/merged.bin", vek_rir_local_path), 0);
    unlink("/vek_tmp/bad.err");
    EXPECT_EQ(exit_code(reap(export_start({}, "/vek_tmp/bad.out", "/vek_tmp/bad.err"), 10000)), 1);
    EXPECT_NE(read_file("/vek_tmp/bad.err").find("Too many levels of symbolic links"),
              std::string::npos);
}

} // namespace
