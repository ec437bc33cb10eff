// The tool's command line, run as a child process inside the node sandbox: usage errors, the
// failure line of each operation, the exchange with a server, and how the options that fill a
// record or filter a dump read their values.

#include "tests/vek_rir_persist.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

const std::string tool = VEK_RIR_TOOL_PATH;

const std::string usage =
    "vek_rir [-v] [-o rir_serve] [-r runtime_seconds]\n"
    "vek_rir [-v] [-o rir_add] [-C class] [-c code] [-I identity] [-t text] [-F]\n"
    "vek_rir [-v] [-o rir_snap] [-M path]\n"
    "vek_rir [-v] [-o rir_merge] [-M path] [-G src1_path] [-H src2_path]\n"
    "vek_rir [-v] [-o rir_info] [-M path]\n"
    "vek_rir [-v] [-o rir_dump] [-M path] [-T time_after]\n"
    "vek_rir [-v] [-o rir_run] [-A request] [-O timeout_seconds]\n"
    "vek_rir [-v] [-o rir_status]\n";

struct cli_result_t {
    int status = -1; // exit status, -1 when the tool did not exit normally
    std::string out, err;
    bool operator==(const cli_result_t &) const = default;
};

std::ostream &operator<<(std::ostream &os, const cli_result_t &r)
{
    return os << "status " << r.status << ", out \"" << r.out << "\", err \"" << r.err << "\"";
}

// Runs the tool with exactly these arguments (no shell), both outputs captured apart.
cli_result_t cli(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{tool};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string what = "the tool:";
    for (const std::string &a : args)
        what += " " + a;
    command_result_t run = command_run(argv, child_limit_default, what);
    cli_result_t result;
    result.status = run.exit_code();
    result.out = run.out;
    result.err = run.err;
    return result;
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator))
        parts.push_back(part);
    return parts;
}

std::string trimmed(const std::string &field)
{
    size_t first = field.find_first_not_of(' ');
    return first == std::string::npos ? "" : field.substr(first);
}

// One dump line cut into its columns: seqno, flags, time, class, code, identity, text.
std::vector<std::string> dump_lines_columns(const std::string &dump, size_t line)
{
    std::vector<std::string> lines = split(dump, '\n');
    if (line >= lines.size())
        return {};
    std::vector<std::string> columns = split(lines[line], '|');
    for (std::string &c : columns)
        c = trimmed(c);
    return columns;
}

std::vector<std::string> dump_seqnos(const std::string &dump)
{
    std::vector<std::string> out;
    for (const std::string &line : split(dump, '\n'))
        out.push_back(line.substr(0, line.find('|')));
    return out;
}

class CliTest : public sandbox_test {
protected:
    void TearDown() override
    {
        vek_rir_server_duties = vek_rir_server_duties_real;
        sandbox_test::TearDown();
    }
};

// A server thread in this process; the peer fetch (the secure-copy client) is left out.
struct embedded_server_t {
    live_attach_t live;
    bool started = false;
    embedded_server_t()
    {
        vek_rir_server_duties.mirror_peer = [] {};
        started = live.ok && vek_rir_server_thread_start() == 0;
    }
    ~embedded_server_t()
    {
        if (started)
            vek_rir_server_thread_stop();
    }
};

// Three records a hundred seconds apart, at 100, 200 and 300.
void write_timed_log(const char *path)
{
    test_log_t log;
    log.append(100, 0, "t", "at 100");
    log.append(200, 0, "t", "at 200");
    log.append(300, 0, "t", "at 300");
    ASSERT_TRUE(write_log(path, log));
}

} // namespace

TEST_F(CliTest, UsageErrorsPrintTheUsageOnStandardErrorAndExitOne)
{
    const std::string invalid = tool + ": invalid option -- 'x'\n";
    auto needs = [&](char letter) {
        return tool + ": option requires an argument -- '" + letter + "'\n";
    };
    struct case_t {
        std::vector<std::string> args;
        std::string before_usage; // what the option parser itself says first
    } cases[] = {
        {{}, ""},
        {{"-v"}, ""},
        {{"-M", "/vek_tmp/x.bin"}, ""},
        {{"-o", "rir_bogus"}, ""},
        {{"-o", "rir_inf"}, ""},
        {{"-o", "rir_info2"}, ""},
        {{"-o", "RIR_INFO"}, ""},
        {{"-o", ""}, ""},
        {{"-o", " rir_info"}, ""},
        {{"-x"}, invalid},
        {{"-o", "rir_info", "-x"}, invalid},
        {{"-o"}, needs('o')},
        {{"-o", "rir_info", "-M"}, needs('M')},
        {{"-o", "rir_run", "-A"}, needs('A')},
    };
    for (const case_t &c : cases) {
        cli_result_t r = cli(c.args);
        std::string shown;
        for (const std::string &a : c.args)
            shown += "'" + a + "' ";
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err, c.before_usage + usage) << shown;
    }
}

TEST_F(CliTest, FailuresPrintOneLineOnStandardOutputAndExitOne)
{
    ASSERT_TRUE(write_file("/vek_tmp/short.bin", "short"));
    ASSERT_TRUE(write_file("/vek_tmp/zero.bin", std::string(VEK_RIR_FILE_SIZE, '\0')));
    struct case_t {
        std::vector<std::string> args;
        const char *out;
    } cases[] = {
        {{"-o", "rir_info", "-M", "/vek_tmp/missing.bin"},
         "rir_info failed: unable to open dump file at /vek_tmp/missing.bin\n"},
        {{"-o", "rir_info", "-M", "/vek_tmp/short.bin"},
         "rir_info failed: dump file at /vek_tmp/short.bin had bad size (3145728/6287360/5)\n"},
        {{"-o", "rir_dump"}, "rir_dump failed: dump path not specified\n"},
        {{"-o", "rir_dump", "-M", "/vek_tmp/zero.bin"},
         "rir_dump failed: corrupt RIR version in dump\n"},
        {{"-o", "rir_merge", "-H", "/vek_tmp/zero.bin", "-M", "/vek_tmp/out.bin"},
         "rir_merge failed: src1 path not specified\n"},
        {{"-o", "rir_merge", "-G", "/vek_tmp/missing.bin", "-H", "/vek_tmp/zero.bin", "-M",
          "/vek_tmp/out.bin"},
         "rir_merge failed: unable to open src1 file at /vek_tmp/missing.bin\n"},
        {{"-o", "rir_snap"}, "rir_snap failed: snap path not specified\n"},
        {{"-o", "rir_run"}, "rir_server_exec failed: noserver\n"},
        {{"-o", "rir_run", "-A", "snap", "-O", "0"}, "rir_server_exec failed: noserver\n"},
    };
    for (const case_t &c : cases) {
        cli_result_t r = cli(c.args);
        EXPECT_EQ(r, (cli_result_t{1, c.out, ""})) << c.args[1];
    }
    EXPECT_FALSE(path_exists("/vek_tmp/out.bin"));
}

TEST_F(CliTest, RunPrintsTheServersAnswerToTheRequest)
{
    embedded_server_t server;
    ASSERT_TRUE(server.started) << server.live.failure_info.text;
    struct case_t {
        std::vector<std::string> args;
        int status;
        const char *out;
    } cases[] = {
        {{"-o", "rir_run"}, 0, "nothing: ok\n"},
        {{"-o", "rir_run", "-A", "nothing"}, 0, "nothing: ok\n"},
        {{"-o", "rir_run", "-A", "flush", "-O", "2"}, 0, "flush: ok\n"},
        // The exchange worked, so an unknown request still ends with status 0.
        {{"-o", "rir_run", "-A", "bogus"}, 0, "bogus: unknown\n"},
        // Sent without waiting: no answer to print.
        {{"-o", "rir_run", "-A", "nothing", "-O", "0"}, 0, "nothing: \n"},
        {{"-o", "rir_serve", "-r", "1"}, 1,
         "rir_server_run failed: another RIR server already runs on this node\n"},
    };
    for (const case_t &c : cases) {
        cli_result_t r = cli(c.args);
        EXPECT_EQ(r, (cli_result_t{c.status, c.out, ""})) << c.args.back();
    }
    EXPECT_FALSE(path_exists(vek_rir_local_snap_path));
    EXPECT_EQ(cli({"-o", "rir_run", "-A", "snap"}), (cli_result_t{0, "snap: ok\n", ""}));
    EXPECT_TRUE(path_exists(vek_rir_local_snap_path));
}

TEST_F(CliTest, RunReportsTheTimeOutOfAServerThatNeverAnswers)
{
    vek_rir_command_server_t silent;
    ASSERT_EQ(vek_rir_command_server_create(&silent, vek_rir_command_server_name), 0);
    cli_result_t r = cli({"-o", "rir_run", "-A", "flush", "-O", "1"});
    vek_rir_command_server_destroy(&silent);
    EXPECT_EQ(r, (cli_result_t{1, "rir_server_exec failed: timeout\n", ""}));
}

TEST_F(CliTest, AddTakesClassNamesAndNumbersCodesInEveryBaseAndFlags)
{
    struct case_t {
        std::vector<std::string> args;
        const char *flags, *rir_class, *code, *identity, *text;
    } cases[] = {
        {{}, "00000000:..UC", "0000000000000000", "0000000000000000", "unknown", "empty"},
        {{"-C", "START"}, "00000000:..UC", "START", "0000000000000000", "unknown", "empty"},
        {{"-C", "ACTION"}, "00000000:..UC", "ACTION", "0000000000000000", "unknown", "empty"},
        {{"-C", "0x20"}, "00000000:..UC", "0000000000000020", "0000000000000000", "unknown", "empty"},
        {{"-C", "32"}, "00000000:..UC", "0000000000000020", "0000000000000000", "unknown", "empty"},
        {{"-C", "040"}, "00000000:..UC", "0000000000000020", "0000000000000000", "unknown", "empty"},
        {{"-C", "0xf07fffffffffffff"}, "00000000:..UC", "EVENT", "0000000000000000", "unknown",
         "empty"},
        {{"-C", "event"}, "00000000:..UC", "0000000000000000", "0000000000000000", "unknown",
         "empty"},
        {{"-c", "0x10"}, "00000000:..UC", "0000000000000000", "0000000000000010", "unknown", "empty"},
        {{"-c", "16"}, "00000000:..UC", "0000000000000000", "0000000000000010", "unknown", "empty"},
        {{"-c", "020"}, "00000000:..UC", "0000000000000000", "0000000000000010", "unknown", "empty"},
        {{"-c", "NA"}, "00000000:..UC", "0000000000000000", "NA", "unknown", "empty"},
        {{"-c", "18446744073709551615"}, "00000000:..UC", "0000000000000000", "NA", "unknown",
         "empty"},
        {{"-c", "na"}, "00000000:..UC", "0000000000000000", "0000000000000000", "unknown", "empty"},
        {{"-f", "0x500000000"}, "00000005:..UC", "0000000000000000", "0000000000000000", "unknown",
         "empty"},
        {{"-f", "1"}, "00000000:A.UC", "0000000000000000", "0000000000000000", "unknown", "empty"},
        {{"-f", "0x300000002"}, "00000003:.BUC", "0000000000000000", "0000000000000000", "unknown",
         "empty"},
        {{"-C", "FAIL", "-c", "7", "-I", "daemon", "-t", "went wrong", "-F"}, "00000000:..UC",
         "FAIL", "0000000000000007", "daemon", "went wrong"},
    };
    for (const case_t &c : cases) {
        std::vector<std::string> args{"-o", "rir_add"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_EQ(cli(args), (cli_result_t{0, "", ""}));
    }
    cli_result_t dump = cli({"-o", "rir_dump", "-M", vek_rir_local_path});
    ASSERT_EQ(dump.status, 0) << dump.err;
    size_t line = 0;
    for (const case_t &c : cases) {
        std::vector<std::string> expected{std::to_string(line), c.flags, c.rir_class, c.code,
                                          c.identity, c.text};
        std::vector<std::string> columns = dump_lines_columns(dump.out, line);
        ASSERT_EQ(columns.size(), 7u) << "line " << line;
        columns.erase(columns.begin() + 2); // the time of the append
        columns[0] = std::to_string(std::stoull(columns[0]));
        EXPECT_EQ(columns, expected) << "line " << line;
        line++;
    }
    EXPECT_EQ(split(dump.out, '\n').size(), line);
}

TEST_F(CliTest, DumpTimeAfterTakesEveryNumberForm)
{
    write_timed_log("/vek_tmp/timed.bin");
    struct case_t {
        std::vector<std::string> time_after;
        std::vector<std::string> seqnos;
    } cases[] = {
        {{}, {"0000000000", "0000000001", "0000000002"}},
        {{"-T", "0"}, {"0000000000", "0000000001", "0000000002"}},
        {{"-T", "200"}, {"0000000001", "0000000002"}},
        {{"-T", "0xc8"}, {"0000000001", "0000000002"}},
        {{"-T", "0310"}, {"0000000001", "0000000002"}},
        {{"-T", "201"}, {"0000000002"}},
        {{"-T", "300"}, {"0000000002"}},
        {{"-T", "301"}, {}},
        {{"-T", "abc"}, {"0000000000", "0000000001", "0000000002"}},
    };
    for (const case_t &c : cases) {
        std::vector<std::string> args{"-o", "rir_dump", "-M", "/vek_tmp/timed.bin"};
        args.insert(args.end(), c.time_after.begin(), c.time_after.end());
        cli_result_t r = cli(args);
        std::string shown = c.time_after.empty() ? "no -T" : c.time_after[1];
        EXPECT_EQ(r.status, 0) << shown;
        EXPECT_EQ(r.err, "") << shown;
        EXPECT_EQ(dump_seqnos(r.out), c.seqnos) << shown;
    }
}

TEST_F(CliTest, VerboseChangesNothing)
{
    write_timed_log("/vek_tmp/timed.bin");
    const std::vector<std::vector<std::string>> calls = {
        {"-o", "rir_dump", "-M", "/vek_tmp/timed.bin"},
        {"-o", "rir_info", "-M", "/vek_tmp/timed.bin"},
        {"-o", "rir_info", "-M", "/vek_tmp/missing.bin"},
        {"-o", "rir_run"},
        {"-o", "rir_bogus"},
    };
    for (const std::vector<std::string> &args : calls) {
        cli_result_t plain = cli(args);
        std::vector<std::string> verbose{"-v"};
        verbose.insert(verbose.end(), args.begin(), args.end());
        EXPECT_EQ(cli(verbose), plain) << args[1];
        verbose = args;
        verbose.push_back("-v");
        EXPECT_EQ(cli(verbose), plain) << args[1];
    }
    // An add with -v stores the same record.
    ASSERT_EQ(cli({"-v", "-o", "rir_add", "-I", "quiet", "-t", "same"}), (cli_result_t{0, "", ""}));
    std::vector<std::string> columns =
        dump_lines_columns(cli({"-o", "rir_dump", "-M", vek_rir_local_path}).out, 0);
    ASSERT_EQ(columns.size(), 7u);
    EXPECT_EQ(columns[5], "quiet");
    EXPECT_EQ(columns[6], "same");
}

TEST_F(CliTest, ARepeatedOptionTakesItsLastValue)
{
    write_timed_log("/vek_tmp/timed.bin");
    const std::string good = "/vek_tmp/timed.bin", missing = "/vek_tmp/missing.bin";
    struct case_t {
        std::vector<std::string> args, same_as;
    } cases[] = {
        {{"-o", "rir_info", "-M", missing, "-M", good}, {"-o", "rir_info", "-M", good}},
        {{"-o", "rir_info", "-M", good, "-M", missing}, {"-o", "rir_info", "-M", missing}},
        {{"-o", "rir_bogus", "-o", "rir_info", "-M", good}, {"-o", "rir_info", "-M", good}},
        {{"-o", "rir_info", "-o", "rir_bogus", "-M", good}, {"-o", "rir_bogus"}},
        {{"-o", "rir_dump", "-M", good, "-T", "300", "-T", "0"}, {"-o", "rir_dump", "-M", good}},
        {{"-o", "rir_dump", "-M", good, "-T", "0", "-T", "300"},
         {"-o", "rir_dump", "-M", good, "-T", "300"}},
    };
    for (const case_t &c : cases) {
        cli_result_t expected = cli(c.same_as);
        EXPECT_EQ(cli(c.args), expected) << c.args[1] << " " << c.args[3];
    }
    // The references differ, so the cases above tell the values apart.
    EXPECT_NE(cli(cases[0].same_as), cli(cases[1].same_as));
    EXPECT_NE(cli(cases[4].same_as), cli(cases[5].same_as));
    ASSERT_EQ(cli({"-o", "rir_add", "-I", "first", "-I", "second", "-c", "1", "-c", "NA"}),
              (cli_result_t{0, "", ""}));
    std::vector<std::string> columns =
        dump_lines_columns(cli({"-o", "rir_dump", "-M", vek_rir_local_path}).out, 0);
    ASSERT_EQ(columns.size(), 7u);
    EXPECT_EQ(columns[4], "NA");
    EXPECT_EQ(columns[5], "second");
}
