// Helpers shared by the suites of snapshots, mirrors, merges, peer fetches, inhale and clear:
// an attachment held for one test, files written and read by path, the tool run as a child,
// and a fingerprint of the live log to show that a refused operation left it alone. Every
// path these helpers touch lies inside the node sandbox of the calling test.
#pragma once

#include "tests/vek_rir_sandbox.h"
#include "tests/vek_rir_testfile.h"
#include "vek_rir/vek_rir_int.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <functional>
#include <string>
#include <vector>

namespace vek_rir_test {

// Attaches with creation for the life of the object; detaches at its end, before the sandbox
// goes away under the mapping.
struct live_attach_t {
    bool ok = false;
    vek_rir_failure_info_t failure_info;
    live_attach_t()
    {
        vek_rir_failure_info_clear(&failure_info);
        ok = vek_rir_file_attach(VEK_RIR_TRUE, &failure_info) == 0;
    }
    ~live_attach_t()
    {
        if (ok && vek_rir_header != nullptr)
            vek_rir_file_detach();
    }
    live_attach_t(const live_attach_t &) = delete;
    live_attach_t &operator=(const live_attach_t &) = delete;
};

inline void live_append(int count, const char *identity = "tester")
{
    for (int i = 0; i < count; i++) {
        std::string text = "live " + std::to_string(i);
        ASSERT_EQ(vek_rir_if_record_add(nullptr, 0, VEK_RIR_CLASS_EVENT, static_cast<uint64_t>(i),
                                        identity, text.c_str()),
                  VEK_RIR_RC_OK);
    }
}

// The live log's info block and ring as they stand in the mapping; the lock block is left out,
// since taking and releasing the mutex may change its bytes.
inline std::string live_fingerprint()
{
    const char *base = reinterpret_cast<const char *>(vek_rir_header);
    std::string out(base, VEK_RIR_HEADER_INFO_SIZE);
    out.append(base + VEK_RIR_HEADER_SIZE, VEK_RIR_FILE_SIZE - VEK_RIR_HEADER_SIZE);
    return out;
}

inline bool path_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline long long path_size(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

inline bool write_log(const std::string &path, const test_log_t &log)
{
    return write_file(path, log.str());
}

// The header and one record of a log file held as bytes.
inline vek_rir_header_info_real_t file_info(const std::string &bytes)
{
    vek_rir_header_info_real_t info;
    memset(&info, 0, sizeof(info));
    if (bytes.size() >= sizeof(info))
        memcpy(&info, bytes.data(), sizeof(info));
    return info;
}

inline vek_rir_record_real_t file_record(const std::string &bytes, uint64_t index)
{
    vek_rir_record_real_t record;
    memset(&record, 0, sizeof(record));
    size_t offset = VEK_RIR_HEADER_SIZE + index * VEK_RIR_RECORD_SIZE;
    if (bytes.size() >= offset + sizeof(record))
        memcpy(&record, bytes.data() + offset, sizeof(record));
    return record;
}

// The records of a log file in its ring order, oldest first, as every reader walks it.
inline std::vector<vek_rir_record_real_t> file_walk(const std::string &bytes)
{
    std::vector<vek_rir_record_real_t> out;
    if (bytes.size() < VEK_RIR_HEADER_SIZE)
        return out;
    vek_rir_header_t header;
    memcpy(&header, bytes.data(), sizeof(header));
    vek_rir_helper_walk_info_t walk;
    vek_rir_helper_walk_info_populate(&walk, &header);
    while (walk.record_count_left != 0) {
        out.push_back(file_record(bytes, walk.record_index_next));
        vek_rir_helper_walk_info_consume_one(&walk);
    }
    return out;
}

// Tests in which the peer fetch runs: a stand-in secure-copy client is first on the search
// path for each test, so no fetch ever leaves the sandbox; the search path is given back at the
// end. The default stand-in fails at once; a suite overrides fake_scp_script for another.
class fake_scp_test : public sandbox_test {
protected:
    static constexpr char fake_bin_dir[] = "/vek_tmp/bin";
    virtual const char *fake_scp_script() const { return "#!/bin/sh\nexit 1\n"; }
    void SetUp() override
    {
        sandbox_test::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(mkdir(fake_bin_dir, 0755), 0);
        ASSERT_TRUE(write_file(std::string(fake_bin_dir) + "/scp", fake_scp_script(), 0755));
        const char *path = getenv("PATH");
        saved_path = path != nullptr ? path : "/usr/bin:/bin";
        setenv("PATH", (std::string(fake_bin_dir) + ":" + saved_path).c_str(), 1);
    }
    void TearDown() override
    {
        if (!saved_path.empty())
            setenv("PATH", saved_path.c_str(), 1);
        sandbox_test::TearDown();
    }

private:
    std::string saved_path;
};

// One request to the node's server, waiting up to 10 s: its answer, or "failed: " and the
// failure word of the exchange.
inline std::string server_request(const char *text)
{
    char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_server_exec(&fi, text, response, sizeof(response), 10) != VEK_RIR_RC_OK)
        return std::string("failed: ") + fi.text;
    return response;
}

// Forks; the child runs body and _exit()s with its result. The wait for it is bounded: a child
// still running after `seconds` is killed, so a hang is a failed test, never a stuck suite.
// The status as waitpid gives it, or -1 when fork failed.
inline int run_child_within(int seconds, const std::function<int()> &body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
        _exit(body());
    int status = 0;
    for (int waited_ms = 0;; waited_ms += 10) {
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return status;
        if (got < 0 && errno != EINTR)
            return -1;
        if (waited_ms >= seconds * 1000) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            ADD_FAILURE() << "child still running after " << seconds << " s; killed";
            return status;
        }
        struct timespec step = {0, 10 * 1000 * 1000};
        nanosleep(&step, nullptr);
    }
}

struct tool_result_t {
    int status = -1; // exit status, or -1 when the tool did not exit normally
    std::string out; // standard output
};

// Runs the built tool with the given arguments (already quoted for the shell) inside the
// sandbox, which the shell and the tool inherit; a tool that has not ended within the limit is
// killed and the test fails naming the arguments.
inline tool_result_t run_tool(const std::string &arguments, msecs_t limit = child_limit_default)
{
    tool_result_t result;
    std::string command = std::string(VEK_RIR_TOOL_PATH) + " " + arguments;
    command_result_t run = shell_run(command, limit, "the tool: " + arguments);
    result.status = run.exit_code();
    result.out = run.out;
    return result;
}

} // namespace vek_rir_test
