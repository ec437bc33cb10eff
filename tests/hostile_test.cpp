// A neighbour that may write the log's directories tries to make root's server write through
// the names it plants: links to files only root may read or write, and FIFOs, re-planted at
// every temporary and published name while the server snaps, fetches, merges and mirrors. The
// planter runs as an unprivileged member of the log's group, as it would on a node; the root
// files it aims at must stay byte-identical, none of their bytes may reach the mirror, and the
// server must keep answering.

#include "tests/vek_rir_persist.h"
#include "tests/vek_rir_wait.h"

#include <errno.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

// A member of the log's group and that group, as numbers: the group need not exist here.
constexpr uid_t member_uid = 4242;
constexpr gid_t member_gid = 4242;
constexpr gid_t log_gid = 4243;

constexpr char victim_dir[] = "/vek_tmp/victims";
constexpr char planter_stop_path[] = "/vek_tmp/planter-stop";
constexpr char peer_source_path[] = "/vek_tmp/peer-source.bin";

constexpr char fake_scp[] = R"sh(#!/bin/sh
for last in "$@"; do :; done
cp /vek_tmp/peer-source.bin "$last"
)sh";

// Every name of the log's directories that the server creates, replaces or copies from.
const char *const planted_names[] = {
    vek_rir_local_snap_tmp_path,   vek_rir_local_snap_path,   vek_rir_merged_tmp_path,
    vek_rir_merged_path,           vek_rir_peer_path,         "/vek_var/vek-rir-peer.bin.tmp",
    vek_rir_local_mirror_tmp_path, vek_rir_local_mirror_path, vek_rir_peer_mirror_tmp_path,
    vek_rir_peer_mirror_path,      vek_rir_merged_mirror_tmp_path, vek_rir_merged_mirror_path,
    vek_rir_status_tmp_path,       vek_rir_status_path,
};

// For a child: becomes the member for good, with the log's group as a supplementary one.
bool drop_to_member()
{
    gid_t groups[] = {log_gid};
    return setgroups(1, groups) == 0 && setresgid(member_gid, member_gid, member_gid) == 0 &&
           setresuid(member_uid, member_uid, member_uid) == 0;
}

std::string victim_path(size_t i)
{
    return std::string(victim_dir) + "/v" + std::to_string(i);
}

std::string victim_bytes(size_t i)
{
    return "root only " + std::to_string(i) + "\n";
}

// Re-plants a link to a victim or a FIFO at every name, until told to stop or 8 s have gone.
// The targets are made before the fork: the child allocates nothing.
int planter_run(const std::vector<std::string> &targets)
{
    if (!drop_to_member())
        return 2;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    for (unsigned round = 0; access(planter_stop_path, F_OK) != 0; round++) {
        if (std::chrono::steady_clock::now() > deadline)
            return 3;
        // The fetch directory too: made first, it is the planter's own.
        mkdir(vek_rir_peer_fetch_dir_path, 0777);
        symlink(targets[0].c_str(), vek_rir_peer_tmp_path);
        for (size_t i = 0; i < sizeof(planted_names) / sizeof(planted_names[0]); i++) {
            unlink(planted_names[i]);
            if ((round + i) % 4 == 0)
                mkfifo(planted_names[i], 0666);
            else
                symlink(targets[i].c_str(), planted_names[i]);
        }
    }
    return 0;
}

class HostileTest : public fake_scp_test {
protected:
    const char *fake_scp_script() const override { return fake_scp; }
    // The log's directory as shipped: root's, the group's to write, set-group-id and sticky;
    // the mirror mount open to all, the worst a deployment could choose.
    void SetUp() override
    {
        fake_scp_test::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(chown("/vek_var", 0, log_gid), 0);
        ASSERT_EQ(chmod("/vek_var", 03775), 0);
        ASSERT_EQ(chmod("/vek_node", 01777), 0);
        ASSERT_EQ(mkdir(victim_dir, 0755), 0);
    }
    sandbox_options_t sandbox_options() const override
    {
        sandbox_options_t options;
        options.mount_node = true;
        return options;
    }
};

TEST_F(HostileTest, PlantedLinksAndFifosNeverMakeTheServerWriteOrCopyRootFiles)
{
    const size_t victims = sizeof(planted_names) / sizeof(planted_names[0]);
    std::vector<std::string> targets;
    for (size_t i = 0; i < victims; i++) {
        targets.push_back(victim_path(i));
        ASSERT_TRUE(write_file(victim_path(i), victim_bytes(i), 0600));
    }
    test_log_t peer;
    peer.append(1, 0, "peer", "from the peer");
    ASSERT_TRUE(write_file(peer_source_path, peer.str()));

    live_attach_t attached;
    ASSERT_TRUE(attached.ok) << attached.failure_info.text;
    live_append(50);
    // Forked before the server thread exists, so the child inherits no lock of it.
    pid_t planter = fork();
    ASSERT_GE(planter, 0);
    if (planter == 0)
        _exit(planter_run(targets));
    if (vek_rir_server_thread_start() != 0) {
        write_file(planter_stop_path, "");
        child_reap(planter, msecs_t(10000), "the planter");
        FAIL() << "the server did not start";
    }

    const char *const requests[] = {"all", "snap", "merge", "mirror-local", "mirror-peer",
                                    "mirror-peer-and-merge"};
    std::vector<std::string> answers;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (size_t n = 0; std::chrono::steady_clock::now() < until; n++) {
        live_append(1);
        std::string answer = server_request(requests[n % (sizeof(requests) / sizeof(requests[0]))]);
        if (answer != "ok")
            answers.push_back(answer);
    }
    ASSERT_TRUE(write_file(planter_stop_path, ""));
    int status = child_reap(planter, msecs_t(10000), "the planter");
    vek_rir_server_thread_stop();

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "planter status " << status;
    EXPECT_EQ(answers, std::vector<std::string>{}) << "the server answered something but ok";
    for (size_t i = 0; i < victims; i++) {
        struct stat st;
        ASSERT_EQ(stat(victim_path(i).c_str(), &st), 0);
        EXPECT_EQ(read_file(victim_path(i)), victim_bytes(i)) << victim_path(i);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    // Whatever regular file the mirror holds is a log the server made, never a victim's bytes.
    for (const char *path : {vek_rir_local_mirror_path, vek_rir_peer_mirror_path,
                             vek_rir_merged_mirror_path}) {
        struct stat st;
        if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0)
            continue;
        std::string bytes = read_file(path);
        EXPECT_EQ(bytes.find("root only"), std::string::npos) << path;
        EXPECT_EQ(file_info(bytes).magic, VEK_RIR_MAGIC) << path;
    }
    // The status file, when the last pass left one, is the server's document.
    struct stat status_st;
    if (lstat(vek_rir_status_path, &status_st) == 0 && S_ISREG(status_st.st_mode) &&
        status_st.st_uid == 0)
        EXPECT_EQ(read_file(vek_rir_status_path).find("root only"), std::string::npos);
    // The lines the planter provoked are limited per kind; a line per request would be
    // hundreds.
    EXPECT_LE(sandbox_take_syslog_messages().size(), 40u);
}

TEST_F(HostileTest, LiveLogAndLockFileAreNeverOpenedThroughWhatWasPlanted)
{
    const std::string live = vek_rir_local_path;
    const std::string lock = vek_rir_global_attach_domain_lock_path;
    struct case_t {
        const char *name;
        std::string path;
        bool fifo;
        std::string text;
    } cases[] = {
        {"link at the live log", live, false,
         "unable to open RIR at " + live + ": it is a symbolic link"},
        {"fifo at the live log", live, true,
         "unable to open RIR at " + live + ": it is not a regular file"},
        {"link at the lock file", lock, false,
         "unable to open RIR lock file at " + lock + ": it is a symbolic link"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(vek_rir_local_path);
        unlink(vek_rir_global_attach_domain_lock_path);
        ASSERT_TRUE(write_file(victim_path(0), victim_bytes(0), 0600));
        int planted = run_child([&] {
            if (!drop_to_member())
                return 2;
            return c.fifo ? mkfifo(c.path.c_str(), 0666) : symlink(victim_path(0).c_str(),
                                                                  c.path.c_str());
        });
        ASSERT_TRUE(WIFEXITED(planted) && WEXITSTATUS(planted) == 0);
        vek_rir_failure_info_t fi;
        vek_rir_failure_info_clear(&fi);
        EXPECT_NE(vek_rir_file_attach(VEK_RIR_TRUE, &fi), 0);
        EXPECT_EQ(std::string(fi.text), c.text);
        EXPECT_EQ(vek_rir_header, nullptr);
        EXPECT_EQ(read_file(victim_path(0)), victim_bytes(0));
        struct stat st;
        ASSERT_EQ(stat(victim_path(0).c_str(), &st), 0);
        EXPECT_EQ(st.st_size, static_cast<off_t>(victim_bytes(0).size()));
    }
}

} // namespace
