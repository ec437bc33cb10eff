// Who may log, as the install sets it up: the shipped tmpfiles.d lines applied to the sandbox's
// /vek_var (the group they name given a number, since it need not exist on this machine), root
// running the tool and the server with the unit's file-creation mask, and forked children that
// drop to a member of the group or to an account outside it before they log or do harm.

#include "tests/vek_rir_persist.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

constexpr gid_t group_gid = 4710;     // stands for vek-rir
constexpr uid_t member_uid = 4711;    // has the group as a supplementary group only
constexpr gid_t member_gid = 4711;
constexpr uid_t outsider_uid = 65534; // nobody: outside the group
constexpr gid_t outsider_gid = 65534;

const std::string live = vek_rir_local_path;
const std::string lock_file = vek_rir_global_attach_domain_lock_path;
const std::string fetch_dir = "/vek_var/vek-rir-fetch";
const std::string lock_refused = "unable to open RIR lock file at " + lock_file;
const std::string work_refused = "unable to work RIR - parent missing or readonly";

struct tmpfiles_line_t {
    char type;
    std::string path;
    mode_t mode;
    uid_t uid;
    gid_t gid;
};

bool owner_id(const std::string &name, bool group, unsigned *id)
{
    if (name == "root")
        *id = 0;
    else if (group && name == "vek-rir")
        *id = group_gid;
    else
        return false;
    return true;
}

// The lines of the shipped file: "type path mode user group age", the types this setup uses
// (d, f) and nothing that the test would have to guess at. "" or what it could not read.
std::string tmpfiles_parse(const std::string &text, std::vector<tmpfiles_line_t> *lines)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string type, path, mode, user, group, age, extra;
        fields >> type >> path >> mode >> user >> group >> age >> extra;
        tmpfiles_line_t parsed{};
        char *end = nullptr;
        unsigned long mode_value = strtoul(mode.c_str(), &end, 8);
        unsigned uid = 0, gid = 0;
        if ((type != "d" && type != "f") || path.rfind("/vek_var", 0) != 0 || mode.size() != 4 ||
            *end != 0 || !owner_id(user, false, &uid) || !owner_id(group, true, &gid) ||
            age != "-" || !extra.empty())
            return "a line this test cannot apply: " + line;
        parsed.type = type[0];
        parsed.path = path;
        parsed.mode = static_cast<mode_t>(mode_value);
        parsed.uid = uid;
        parsed.gid = gid;
        lines->push_back(parsed);
    }
    return lines->empty() ? "no lines" : "";
}

// What systemd-tmpfiles does with these lines: make what is missing (a file empty), then give
// what is there its owner and mode. The mode is set after the owner, which may clear it.
std::string tmpfiles_apply(const std::vector<tmpfiles_line_t> &lines)
{
    for (const tmpfiles_line_t &l : lines) {
        if (l.type == 'd') {
            if (mkdir(l.path.c_str(), l.mode) != 0 && errno != EEXIST)
                return "mkdir " + l.path;
        } else {
            int fd = open(l.path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, l.mode);
            if (fd < 0)
                return "create " + l.path;
            close(fd);
        }
        struct stat st;
        if (lstat(l.path.c_str(), &st) != 0 || (l.type == 'd' ? !S_ISDIR(st.st_mode)
                                                             : !S_ISREG(st.st_mode)))
            return "not of its type: " + l.path;
        if (lchown(l.path.c_str(), l.uid, l.gid) != 0 || chmod(l.path.c_str(), l.mode) != 0)
            return "owner or mode of " + l.path;
    }
    return "";
}

// The file-creation mask of the shipped unit, as text ("0002").
std::string unit_umask()
{
    std::istringstream in(read_file(VEK_RIR_UNIT_IN_PATH));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("UMask=", 0) == 0)
            return line.substr(6);
    return "";
}

enum class who_t { member, outsider };

// The calling child becomes the account: groups first, while it may still set them.
bool become(who_t who)
{
    if (who == who_t::member) {
        gid_t groups[] = {group_gid};
        return setgroups(1, groups) == 0 && setresgid(member_gid, member_gid, member_gid) == 0 &&
               setresuid(member_uid, member_uid, member_uid) == 0;
    }
    return setgroups(0, nullptr) == 0 && setresgid(outsider_gid, outsider_gid, outsider_gid) == 0 &&
           setresuid(outsider_uid, outsider_uid, outsider_uid) == 0;
}

// A step's end: exit 0 and "" when it logged, else its failure text (or a note of what went
// wrong in the child, with another exit status).
struct outcome_t {
    int status = -1;
    std::string text;
};

outcome_t child_outcome(const std::function<std::string()> &body, const std::string &what)
{
    outcome_t outcome;
    int fds[2];
    if (pipe(fds) != 0)
        return outcome;
    outcome.status = run_child(
        [&] {
            close(fds[0]);
            std::string text = body();
            // The texts are short: the pipe never fills.
            ssize_t written = write(fds[1], text.data(), text.size());
            return written == static_cast<ssize_t>(text.size()) && text.empty() ? 0 : 1;
        },
        child_limit_default, what);
    close(fds[1]);
    char buffer[512];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof(buffer))) > 0)
        outcome.text.append(buffer, static_cast<size_t>(got));
    close(fds[0]);
    return outcome;
}

// A user's daemons keep the mask they were given, here one without group write: whatever a
// member can write was made writable for it by the setup, not by its own mask.
std::string tool_add_as(who_t who, const std::string &text)
{
    if (!become(who))
        return "could not become the account";
    umask(022);
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    vek_rir_rc_t rc = vek_rir_cli_add(&fi, 0, VEK_RIR_CLASS_EVENT, 1, "tool", text.c_str(), 0);
    if (rc == VEK_RIR_RC_OK)
        return fi.text[0] == 0 ? "" : "logged, with a text: " + std::string(fi.text);
    return fi.text[0] != 0 ? fi.text : "refused without a text";
}

std::string daemon_add_as(who_t who, const std::string &text)
{
    if (!become(who))
        return "could not become the account";
    umask(022);
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_if_world_init(&fi) != VEK_RIR_RC_OK) {
        std::string refused = fi.text;
        // A careless daemon logs anyway: that must be refused too.
        if (vek_rir_if_record_add(nullptr, 0, VEK_RIR_CLASS_EVENT, 2, "daemon", text.c_str()) ==
            VEK_RIR_RC_OK)
            return "logged without an attachment";
        return refused;
    }
    vek_rir_rc_t rc =
        vek_rir_if_record_add(&fi, 0, VEK_RIR_CLASS_EVENT, 2, "daemon", text.c_str());
    std::string result = rc == VEK_RIR_RC_OK ? "" : fi.text;
    vek_rir_if_world_deinit(nullptr);
    return result;
}

// A daemon that attaches as root and then drops to an account outside the group keeps its
// mapping; only the check before every append stands between it and the log.
std::string dropped_add(const std::string &text)
{
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    if (vek_rir_if_world_init(&fi) != VEK_RIR_RC_OK)
        return std::string("root could not attach: ") + fi.text;
    if (!become(who_t::outsider))
        return "could not become the account";
    vek_rir_rc_t rc =
        vek_rir_if_record_add(&fi, 0, VEK_RIR_CLASS_EVENT, 3, "dropped", text.c_str());
    return rc == VEK_RIR_RC_OK ? "" : fi.text;
}

enum class step_t {
    member_tool, member_daemon, root_tool, root_server, outsider_tool, outsider_daemon, dropped
};

const char *step_name(step_t step)
{
    switch (step) {
    case step_t::member_tool: return "member's tool add";
    case step_t::member_daemon: return "member daemon";
    case step_t::root_tool: return "root's tool add";
    case step_t::root_server: return "root's server";
    case step_t::outsider_tool: return "outsider's tool add";
    case step_t::outsider_daemon: return "outsider daemon";
    case step_t::dropped: return "daemon dropped out of the group";
    }
    return "?";
}

outcome_t step_run(step_t step, const std::string &text)
{
    switch (step) {
    case step_t::member_tool:
        return child_outcome([&] { return tool_add_as(who_t::member, text); }, step_name(step));
    case step_t::member_daemon:
        return child_outcome([&] { return daemon_add_as(who_t::member, text); }, step_name(step));
    case step_t::outsider_tool:
        return child_outcome([&] { return tool_add_as(who_t::outsider, text); }, step_name(step));
    case step_t::outsider_daemon:
        return child_outcome([&] { return daemon_add_as(who_t::outsider, text); },
                             step_name(step));
    case step_t::dropped:
        return child_outcome([&] { return dropped_add(text); }, step_name(step));
    case step_t::root_tool: {
        command_result_t r = command_run(
            {VEK_RIR_TOOL_PATH, "-o", "rir_add", "-I", "tool", "-t", text}, msecs_t(10000),
            step_name(step), true);
        return {r.status, r.out};
    }
    case step_t::root_server: {
        // As the unit runs it: root, with the unit's mask, for one second.
        command_result_t r = shell_run("umask " + unit_umask() + " && exec " VEK_RIR_TOOL_PATH
                                       " -o rir_serve -r 1",
                                       msecs_t(15000), step_name(step), true);
        return {r.status, r.out};
    }
    }
    return {};
}

bool adds_a_record(step_t step)
{
    return step != step_t::root_server;
}

// Every name in /vek_var with its owner, mode and size: a refused step must change none.
std::string var_listing()
{
    std::vector<std::string> names;
    if (DIR *dir = opendir("/vek_var")) {
        while (struct dirent *entry = readdir(dir))
            names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string &name : names) {
        struct stat st;
        std::string path = "/vek_var/" + name;
        if (lstat(path.c_str(), &st) == 0)
            out += name + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
                   std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + "\n";
    }
    return out;
}

class PermissionTest : public sandbox_test {
protected:
    void SetUp() override
    {
        sandbox_test::SetUp();
        if (HasFatalFailure())
            return;
        // An operator's shell: what root's tool makes owes nothing to a mask of its own.
        saved_mask_ = umask(022);
        setup_apply();
    }
    void TearDown() override
    {
        umask(saved_mask_);
        sandbox_test::TearDown();
    }
    void setup_apply()
    {
        std::vector<tmpfiles_line_t> lines;
        std::string setup = read_file(VEK_RIR_TMPFILES_PATH);
        ASSERT_FALSE(setup.empty()) << "cannot read " VEK_RIR_TMPFILES_PATH;
        ASSERT_EQ(tmpfiles_parse(setup, &lines), "");
        ASSERT_EQ(tmpfiles_apply(lines), "");
    }
    mode_t saved_mask_ = 022;
};

} // namespace

// Whichever starts first, a member or root's tool or server, members log and the others change
// nothing. A member daemon that starts before the log is made is refused (it does not create)
// and logs once the log is there.
TEST_F(PermissionTest, MembersLogInEitherOrderAndOutsidersChangeNothing)
{
    ASSERT_FALSE(unit_umask().empty()) << "no UMask= in " VEK_RIR_UNIT_IN_PATH;
    const std::string size_refused = "invalid RIR file size at " + live + " 0/3145728";
    struct expect_t {
        step_t step;
        std::string text;  // "" when the step logs (or, for the server, runs)
    };
    const std::vector<expect_t> outsiders = {
        {step_t::outsider_tool, lock_refused},
        {step_t::outsider_daemon, lock_refused},
        {step_t::dropped, work_refused},
    };
    struct case_t {
        const char *name;
        bool files_removed;  // the log and its lock file gone since the setup ran (at boot)
        std::vector<expect_t> steps;
    } cases[] = {
        {"member's tool first, then root's tool", false,
         {{step_t::member_tool, ""}, {step_t::root_tool, ""}, {step_t::member_daemon, ""}}},
        {"member's tool first, then root's server", false,
         {{step_t::member_tool, ""}, {step_t::root_server, ""}, {step_t::member_daemon, ""}}},
        {"root's tool first, then members", false,
         {{step_t::root_tool, ""}, {step_t::member_daemon, ""}, {step_t::member_tool, ""}}},
        {"member daemon first, then root's server, then members", false,
         {{step_t::member_daemon, size_refused}, {step_t::root_server, ""},
          {step_t::member_daemon, ""}, {step_t::member_tool, ""}}},
        // Only the unit's mask gives the group write on what the server makes itself.
        {"root's server makes the log anew, then members", true,
         {{step_t::root_server, ""}, {step_t::member_daemon, ""}, {step_t::member_tool, ""}}},
    };
    for (case_t &c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh /vek_var for every order, set up again from the shipped lines.
        ASSERT_EQ(sandbox_mount_tmpfs("/vek_var", 512ull << 20), "");
        ASSERT_NO_FATAL_FAILURE(setup_apply());
        if (c.files_removed) {
            ASSERT_EQ(unlink(live.c_str()), 0);
            ASSERT_EQ(unlink(lock_file.c_str()), 0);
        }
        c.steps.insert(c.steps.end(), outsiders.begin(), outsiders.end());
        std::vector<std::string> logged;
        int n = 0;
        for (const expect_t &e : c.steps) {
            std::string text = std::string(step_name(e.step)) + " " + std::to_string(n++);
            std::string log_before = read_file(live), var_before = var_listing();
            outcome_t outcome = step_run(e.step, text);
            if (e.text.empty()) {
                EXPECT_EQ(outcome.status, 0) << step_name(e.step) << ": " << outcome.text;
                if (e.step == step_t::root_server)
                    continue;  // the server's own output may say what it did
                EXPECT_EQ(outcome.text, "") << step_name(e.step);
                if (adds_a_record(e.step))
                    logged.push_back(text);
            } else {
                EXPECT_NE(outcome.status, 0) << step_name(e.step) << " was not refused";
                EXPECT_EQ(outcome.text, e.text) << step_name(e.step);
                EXPECT_TRUE(read_file(live) == log_before) << step_name(e.step) << " changed the log";
                EXPECT_EQ(var_listing(), var_before) << step_name(e.step) << " changed /vek_var";
            }
        }
        // Each record that was logged is there, in its order; the log is still root's, the
        // group's and writable by the group alone.
        std::string bytes = read_file(live);
        ASSERT_EQ(bytes.size(), VEK_RIR_FILE_SIZE);
        test_log_t log;
        memcpy(log.bytes.data(), bytes.data(), bytes.size());
        ASSERT_EQ(log.info().magic, VEK_RIR_MAGIC);
        ASSERT_EQ(log.info().next_seqno, logged.size());
        for (size_t k = 0; k < logged.size(); k++) {
            EXPECT_STREQ(log.slot(k).text, logged[k].c_str()) << k;
            EXPECT_EQ(log.slot(k).flags & VEK_RIR_RECORD_FLAG_COMPLETE, VEK_RIR_RECORD_FLAG_COMPLETE);
        }
        struct stat st;
        ASSERT_EQ(stat(live.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, group_gid);
        EXPECT_EQ(st.st_mode & 07777, 0664u);
        // Whatever the server made in /vek_var is the group's and readable by the peer node's
        // fetch account, and no one outside the group may write it.
        if (DIR *dir = opendir("/vek_var")) {
            while (struct dirent *entry = readdir(dir)) {
                std::string path = std::string("/vek_var/") + entry->d_name;
                if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                    EXPECT_EQ(st.st_gid, group_gid) << path;
                    EXPECT_EQ(st.st_mode & 0002, 0u) << path;
                    if (path != lock_file)
                        EXPECT_EQ(st.st_mode & 0004, 0004u) << path;
                }
            }
            closedir(dir);
        }
    }
}

// A member can write the log, but it cannot take away or replace what root owns in /vek_var,
// and an outsider cannot even open the lock file, whose lock would stop every attach.
TEST_F(PermissionTest, AMemberCannotRemoveWhatRootOwnsAndAnOutsiderCannotHoldTheLock)
{
    ASSERT_TRUE(write_file(vek_rir_local_snap_path, "snapshot", 0644));
    ASSERT_TRUE(write_file("/vek_var/VEK_I_AM_A", "", 0644));
    struct case_t {
        const char *name;
        who_t who;
        std::function<int()> harm;  // 0 when the harm was done
        std::string survivor;       // what must still be there, as it was
    } cases[] = {
        {"remove the live log", who_t::member, [] { return unlink(live.c_str()); }, live},
        {"remove the lock file", who_t::member, [] { return unlink(lock_file.c_str()); },
         lock_file},
        {"replace the fetch directory", who_t::member,
         [] { return rename(fetch_dir.c_str(), "/vek_var/moved"); }, fetch_dir},
        {"replace the snapshot", who_t::member,
         [] {
             return write_file("/vek_var/mine", "forged", 0644) &&
                            rename("/vek_var/mine", vek_rir_local_snap_path) == 0
                        ? 0
                        : -1;
         },
         vek_rir_local_snap_path},
        {"remove the node marker", who_t::member,
         [] { return unlink("/vek_var/VEK_I_AM_A"); }, "/vek_var/VEK_I_AM_A"},
        {"write into the fetch directory", who_t::member,
         [] { return write_file(fetch_dir + "/x", "x", 0644) ? 0 : -1; }, fetch_dir},
        {"hold the attach lock", who_t::outsider,
         [] {
             int fd = open(lock_file.c_str(), O_RDONLY | O_CLOEXEC);
             return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : -1;
         },
         lock_file},
        {"write the live log", who_t::outsider,
         [] { return open(live.c_str(), O_WRONLY | O_CLOEXEC) >= 0 ? 0 : -1; }, live},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        struct stat before, after;
        ASSERT_EQ(lstat(c.survivor.c_str(), &before), 0);
        std::string var_before = var_listing();
        std::string content_before = read_file(c.survivor);
        who_t who = c.who;
        int status = run_child([&] { return become(who) ? (c.harm() == 0 ? 0 : 1) : 2; },
                               child_limit_default, c.name);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
        ASSERT_EQ(lstat(c.survivor.c_str(), &after), 0) << c.survivor << " is gone";
        EXPECT_EQ(after.st_ino, before.st_ino) << c.survivor << " was replaced";
        EXPECT_EQ(read_file(c.survivor), content_before);
        unlink("/vek_var/mine");  // the one name a member may make and remove
        EXPECT_EQ(var_listing(), var_before);
    }
    // The member could have done all of it through its own files: the refusals come from the
    // setup, not from a child that could do nothing.
    int status = run_child([] {
        if (!become(who_t::member) || !write_file("/vek_var/mine", "mine", 0644))
            return 2;
        return rename("/vek_var/mine", "/vek_var/mine2") == 0 && unlink("/vek_var/mine2") == 0
                   ? 0
                   : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
