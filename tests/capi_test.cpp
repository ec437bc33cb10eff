// The public headers as a C program sees them: compiled with the C compiler in C99 with every
// warning an error, linked against the shared library, logging one record through the
// interface, and read back from the live log.

#include "tests/vek_rir_sandbox.h"
#include "tests/vek_rir_testfile.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

using namespace vek_rir_test;

namespace {

const char c_program[] = R"(
#include <vek_os/vek_rir_if.h>
#include <vek_os/vek_rir_defs.h>
#include <vek_os/vek_rir_server.h>

static int count_one(vek_rir_if_snap_iterate_cookie_t cookie, vek_rir_if_snap_iterate_record_t *record)
{
    (void)record;
    ++*(int *)cookie;
    return 0;
}

int main(void)
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (vek_rir_if_world_init(&failure_info) != VEK_RIR_RC_OK) {
        printf("init: %s\n", vek_rir_failure_info_text(&failure_info));
        return 1;
    }
    if (vek_rir_if_check_interval_set(100) != VEK_RIR_RC_OK ||
        vek_rir_if_check_interval_set(1001) != VEK_RIR_RC_FAILURE)
        return 6;
    if (vek_rir_if_record_add(&failure_info, VEK_RIR_FLAGS_NONE, VEK_RIR_CLASS_STEP, 7,
                              "c99-program", "logged from C") != VEK_RIR_RC_OK)
        return 2;
    if (vek_rir_if_record_add(NULL, VEK_RIR_FLAG_TOKERNEL, VEK_RIR_CLASS_EVENT, VEK_RIR_CODE_NA,
                              "c99-program", "and to the kernel") != VEK_RIR_RC_OK)
        return 3;
    /* The live log read back as a named file: the record of the test, then the two above. */
    vek_rir_if_snap_info_t snap;
    if (vek_rir_if_snap_load(&failure_info, &snap, "/vek_var/vek-rir-local.bin") != VEK_RIR_RC_OK) {
        printf("load: %s\n", vek_rir_failure_info_text(&failure_info));
        return 7;
    }
    int count = 0;
    vek_rir_if_snap_iterate(&snap, count_one, &count, 0);
    vek_rir_if_snap_free(&snap);
    if (count != 3)
        return 8;
    vek_rir_failure_info_set(&failure_info, "%d-%s", 42, "x");
    if (strcmp(vek_rir_failure_info_text(&failure_info), "42-x") != 0)
        return 4;
    if (vek_rir_if_world_deinit(&failure_info) != VEK_RIR_RC_OK)
        return 5;
    return 0;
}
)";

// A process whose attach failed (no live log yet) goes on as the README shows: it may still log
// and end with a deinit, which reports that it was never attached instead of stopping it.
const char c_unattached_program[] = R"(
#include <vek_os/vek_rir_if.h>
#include <vek_os/vek_rir_defs.h>

int main(void)
{
    vek_rir_failure_info_t failure_info;
    int init = vek_rir_if_world_init(&failure_info);
    printf("init %d: %s\n", init, vek_rir_failure_info_text(&failure_info));
    int add = vek_rir_if_record_add(NULL, VEK_RIR_FLAGS_NONE, VEK_RIR_CLASS_EVENT, 1, "c99", "x");
    printf("add %d\n", add);
    int deinit = vek_rir_if_world_deinit(&failure_info);
    printf("deinit %d: %s\n", deinit, vek_rir_failure_info_text(&failure_info));
    printf("deinit null %d\n", vek_rir_if_world_deinit(NULL));
    printf("add %d\n", vek_rir_if_record_add(NULL, VEK_RIR_FLAGS_NONE, 0, 0, "c99", "y"));
    return 0;
}
)";

int shell(const std::string &command, std::string *output)
{
    command_result_t run = shell_run(command, child_limit_default, command, true);
    output->append(run.out);
    return run.status;
}

} // namespace

// Compiles a C99 program into /vek_tmp/program against the shared library; the compiler's
// complaints, or "".
std::string compile_c(const char *source)
{
    if (!write_file("/vek_tmp/program.c", source))
        return "cannot write /vek_tmp/program.c";
    std::string output;
    std::string compile = std::string(VEK_RIR_C_COMPILER) + " -std=c99 -Wall -Wextra -Werror " +
                          VEK_RIR_C_FLAGS + " -I" VEK_RIR_SOURCE_DIR +
                          " /vek_tmp/program.c -o /vek_tmp/program -L" VEK_RIR_SHARED_LIB_DIR
                          " -lvek_rir -Wl,-rpath," VEK_RIR_SHARED_LIB_DIR;
    if (shell(compile, &output) != 0)
        return compile + "\n" + output + (output.empty() ? "failed" : "");
    return "";
}

class CInterfaceTest : public sandbox_test {};

TEST_F(CInterfaceTest, AC99ProgramLogsThroughTheSharedLibrary)
{
    ASSERT_EQ(compile_c(c_program), "");
    std::string output;

    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    ASSERT_EQ(vek_rir_cli_add(&fi, 0, 0, 0, "test", "creates the log", 0), VEK_RIR_RC_OK);
    sandbox_take_kmsg();
    output.clear();
    int status = shell("/vek_tmp/program", &output);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), 0) << output;

    std::string bytes = read_file(vek_rir_local_path);
    ASSERT_EQ(bytes.size(), VEK_RIR_FILE_SIZE);
    test_log_t log;
    memcpy(log.bytes.data(), bytes.data(), bytes.size());
    EXPECT_EQ(log.info().next_seqno, 3u);
    EXPECT_STREQ(log.slot(1).identity, "c99-program");
    EXPECT_STREQ(log.slot(1).text, "logged from C");
    EXPECT_EQ(log.slot(1).rir_class, VEK_RIR_CLASS_STEP);
    EXPECT_EQ(log.slot(2).code, VEK_RIR_CODE_NA);
    EXPECT_EQ(sandbox_take_kmsg(), std::string("c99-program:and to the kernel\n") + '\0');
}

TEST_F(CInterfaceTest, DeinitAfterAFailedInitReportsNotAttachedAndReturns)
{
    ASSERT_EQ(compile_c(c_unattached_program), "");
    std::string output;
    int status = shell("/vek_tmp/program", &output);
    ASSERT_TRUE(WIFEXITED(status)) << "the program ended by a signal: " << status << "\n"
                                   << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_EQ(output, "init 1: unable to open RIR at /vek_var/vek-rir-local.bin\n"
                      "add 1\n"
                      "deinit 1: process not attached to RIR\n"
                      "deinit null 1\n"
                      "add 1\n");
    EXPECT_NE(access(vek_rir_local_path, F_OK), 0) << "the failed attach left a live log";
}

// The example of the README, as a user copies it: it must run to its end whether or not the
// node has a live log yet.
TEST_F(CInterfaceTest, TheReadmeExampleRunsWithAndWithoutALiveLog)
{
    std::string readme = read_file(VEK_RIR_SOURCE_DIR "/README.md");
    const std::string first = "    #include <vek_os/vek_rir_if.h>\n";
    size_t begin = readme.find(first);
    ASSERT_NE(begin, std::string::npos) << "no C example in README.md";
    std::string body;
    for (size_t at = begin + first.size(); at < readme.size();) {
        size_t end = readme.find('\n', at);
        std::string line = readme.substr(at, end - at);
        if (!line.empty() && line.rfind("    ", 0) != 0)
            break;
        body += line + "\n";
        at = end + 1;
    }
    ASSERT_EQ(compile_c(("#include <vek_os/vek_rir_if.h>\n#include <vek_os/vek_rir_defs.h>\n"
                         "int main(void)\n{\n" + body + "    return 0;\n}\n").c_str()),
              "");
    for (bool with_log : {false, true}) {
        SCOPED_TRACE(with_log ? "with a live log" : "without a live log");
        if (with_log) {
            vek_rir_failure_info_t fi;
            ASSERT_EQ(vek_rir_cli_add(&fi, 0, 0, 0, "test", "creates the log", 0), VEK_RIR_RC_OK);
        }
        std::string output;
        int status = shell("/vek_tmp/program", &output);
        ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << output;
        EXPECT_EQ(WEXITSTATUS(status), 0) << output;
        if (!with_log) {
            EXPECT_EQ(output, "no event log: unable to open RIR at /vek_var/vek-rir-local.bin\n");
        } else {
            EXPECT_EQ(output, "");
            test_log_t log;
            std::string bytes = read_file(vek_rir_local_path);
            ASSERT_EQ(bytes.size(), VEK_RIR_FILE_SIZE);
            memcpy(log.bytes.data(), bytes.data(), bytes.size());
            EXPECT_EQ(log.info().next_seqno, 2u);
            EXPECT_STREQ(log.slot(1).text, "something worth remembering");
        }
    }
}
