// The command channel and the server that answers on it: exchanges with a stand-in server
// driven by the test (time-outs, late and oversized answers, senders that misbehave, many
// threads at once, the senders' credentials), what another user can do to an exchange (take its
// names or the server's, forge answers, fill the queue, flood the server), then the real server
// embedded in this process and run by the tool, and what it lets a user other than root do.

#include "tests/vek_rir_persist.h"
#include "tests/vek_rir_wait.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace vek_rir_test;

namespace {

class ChannelTest : public sandbox_test {};

struct exchange_t {
    vek_rir_rc_t rc = VEK_RIR_RC_FAILURE;
    std::string response;
    std::string failure;
};

exchange_t exchange(const char *request, int timeout_seconds, size_t response_size = 80)
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    std::vector<char> response(response_size + 1, 'Z');
    exchange_t result;
    result.rc = vek_rir_server_exec(&failure_info, request, response.data(), response_size,
                                    timeout_seconds);
    // The byte after the caller's buffer must never be written.
    EXPECT_EQ(response[response_size], 'Z');
    result.response = std::string(response.data(), strnlen(response.data(), response_size));
    result.failure = vek_rir_failure_info_text(&failure_info);
    return result;
}

// A stand-in server on "RIR" whose every move the test decides.
struct fake_server_t {
    vek_rir_command_server_t end;
    bool bound = false;
    fake_server_t() { bound = vek_rir_command_server_create(&end, vek_rir_command_server_name) == 0; }
    ~fake_server_t()
    {
        if (bound)
            vek_rir_command_server_destroy(&end);
    }
    // 1 and the request when one came within the time.
    int receive(vek_rir_command_server_op_t *op, int timeout_msecs = 5000)
    {
        return vek_rir_command_server_recv_request(&end, op, timeout_msecs);
    }
    int answer(vek_rir_command_server_op_t *op, const char *text)
    {
        memset(op->response, 0, sizeof(op->response));
        memcpy(op->response, text, strnlen(text, sizeof(op->response) - 1));
        return vek_rir_command_server_send_reponse(&end, op);
    }
};

// A socket bound to an abstract name given as raw bytes, with the whole address size as the
// product's own sockets bind (the name padded with zero bytes), or with the name's exact length.
int bound_socket(const std::string &name, int type = SOCK_DGRAM, bool exact_length = false)
{
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.data(), std::min(name.size(), sizeof(address.sun_path) - 1));
    socklen_t length = exact_length ? static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) +
                                                             1 + name.size())
                                    : static_cast<socklen_t>(sizeof(address));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// For a child: gives up root for the unprivileged "nobody" for good.
bool drop_to_nobody()
{
    return setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
           setresuid(65534, 65534, 65534) == 0;
}

// For a child: one exchange without the test framework; the answer, or the failure word.
std::string child_exchange(const char *request, int timeout_seconds = 5)
{
    char response[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
    vek_rir_failure_info_t fi;
    vek_rir_failure_info_clear(&fi);
    vek_rir_server_exec(&fi, request, response, sizeof(response), timeout_seconds);
    return response;
}

bool send_to_server(int fd, const char *request)
{
    struct sockaddr_un address;
    vek_rir_command_address_build(&address, "%s", vek_rir_command_server_name);
    return sendto(fd, request, strlen(request) + 1, 0, reinterpret_cast<struct sockaddr *>(&address),
                  sizeof(address)) == static_cast<ssize_t>(strlen(request) + 1);
}

TEST_F(ChannelTest, AddressesAreZeroedAbstractAndWholeSized)
{
    struct sockaddr_un address;
    memset(&address, 0xee, sizeof(address));
    vek_rir_command_address_build(&address, "%s_C%d_R", "RIR", 42);
    EXPECT_EQ(address.sun_family, AF_UNIX);
    EXPECT_EQ(address.sun_path[0], '\0');
    EXPECT_STREQ(vek_rir_command_address_fetch(&address), "RIR_C42_R");
    for (size_t i = 1 + strlen("RIR_C42_R"); i < sizeof(address.sun_path); i++)
        ASSERT_EQ(address.sun_path[i], '\0') << i;
    EXPECT_EQ(sizeof(address), 110u);
}

TEST_F(ChannelTest, WithoutServerTheExchangeFailsWithNoserver)
{
    for (int timeout : {0, 1}) {
        exchange_t result = exchange("nothing", timeout);
        EXPECT_EQ(result.rc, VEK_RIR_RC_FAILURE);
        EXPECT_EQ(result.failure, "noserver");
        EXPECT_EQ(result.response, "noserver");
    }
}

TEST_F(ChannelTest, ZeroTimeoutSendsWithoutWaitingAndTheAnswerFindsNobody)
{
    fake_server_t server;
    ASSERT_TRUE(server.bound);
    exchange_t result = exchange("snap", 0);
    EXPECT_EQ(result.rc, VEK_RIR_RC_OK);
    EXPECT_EQ(result.response, "");
    vek_rir_command_server_op_t op;
    ASSERT_EQ(server.receive(&op), 1);
    EXPECT_STREQ(op.request, "snap");
    EXPECT_STREQ(vek_rir_command_address_fetch(&op.addr_reply),
                 ("RIR_C" + std::to_string(getpid()) + "_R").c_str());
    // Nobody listens on the reply name: a normal outcome, not a failed send.
    EXPECT_EQ(server.answer(&op, "ok"), 1);
}

TEST_F(ChannelTest, LongRequestsAreRefusedBeforeAnythingIsSent)
{
    fake_server_t server;
    ASSERT_TRUE(server.bound);
    vek_rir_command_server_op_t op;
    struct case_t {
        size_t length;
        bool sent;
    };
    for (case_t c : {case_t{0, true}, case_t{79, true}, case_t{80, false}, case_t{100, false}}) {
        SCOPED_TRACE(c.length);
        // The path of a longer inhale cut to 79 characters would name another file.
        std::string request =
            c.length < 8 ? std::string(c.length, 'q') : "inhale=/" + std::string(c.length - 8, 'q');
        exchange_t result = exchange(request.c_str(), 0);
        if (c.sent) {
            EXPECT_EQ(result.rc, VEK_RIR_RC_OK);
            ASSERT_EQ(server.receive(&op), 1);
            EXPECT_EQ(std::string(op.request), request);
            EXPECT_FALSE(op.request_cut);
        } else {
            EXPECT_EQ(result.rc, VEK_RIR_RC_FAILURE);
            EXPECT_EQ(result.response, "sendfail");
            EXPECT_EQ(result.failure, "request longer than 79 characters");
            EXPECT_EQ(server.receive(&op, 200), 0);
        }
    }
}

TEST_F(ChannelTest, DatagramsThatDidNotArriveWholeLeaveNothingToCarryOut)
{
    fake_server_t server;
    ASSERT_TRUE(server.bound);
    struct case_t {
        std::string bytes;
        bool cut;
        std::string request; // what the server is left with
    } cases[] = {
        {std::string(79, 'a') + '\0', false, std::string(79, 'a')},
        {"snap", false, "snap"}, // short, without its terminator: taken as before
        {std::string(80, 'a'), true, ""},
        {"inhale=/vek_tmp/x" + std::string(63, 'b'), true, ""},
        {std::string(81, 'a'), true, ""},
        {"clear" + std::string(300, '\0'), true, ""},
    };
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un to;
    vek_rir_command_address_build(&to, "%s", vek_rir_command_server_name);
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.bytes.size());
        ASSERT_EQ(sendto(fd, c.bytes.data(), c.bytes.size(), 0,
                         reinterpret_cast<struct sockaddr *>(&to), sizeof(to)),
                  static_cast<ssize_t>(c.bytes.size()));
        vek_rir_command_server_op_t op;
        ASSERT_EQ(server.receive(&op), 1);
        EXPECT_EQ(op.request_cut, c.cut);
        EXPECT_EQ(std::string(op.request), c.request);
    }
    close(fd);
}

TEST_F(ChannelTest, BusyServerTimesOutAndItsLateAnswerIsNeverTakenForTheNext)
{
    fake_server_t server;
    ASSERT_TRUE(server.bound);
    exchange_t first = exchange("first", 1);
    EXPECT_EQ(first.rc, VEK_RIR_RC_FAILURE);
    EXPECT_EQ(first.failure, "timeout");

    vek_rir_command_server_op_t late;
    ASSERT_EQ(server.receive(&late), 1);
    EXPECT_EQ(server.answer(&late, "late"), 1);

    bounded_thread_t answering([&server] {
        vek_rir_command_server_op_t op;
        if (server.receive(&op) == 1)
            server.answer(&op, (std::string("to ") + op.request).c_str());
    }, "the answering thread");
    exchange_t second = exchange("second", 5);
    answering.join();
    EXPECT_EQ(second.rc, VEK_RIR_RC_OK);
    EXPECT_EQ(second.response, "to second");
}

TEST_F(ChannelTest, AnswersAreCutToTheCallersBufferAndTo79Bytes)
{
    fake_server_t server;
    ASSERT_TRUE(server.bound);
    struct case_t {
        std::string answer;
        size_t response_size;
        std::string expected;
    };
    const case_t cases[] = {
        {"unknown", 4, "unk"},
        {"unknown", 1, ""},
        {"ok", 80, "ok"},
    };
    for (const case_t &c : cases) {
        bounded_thread_t answering([&] {
            vek_rir_command_server_op_t op;
            if (server.receive(&op) == 1)
                server.answer(&op, c.answer.c_str());
        }, "the answering thread");
        exchange_t result = exchange("nothing", 5, c.response_size);
        answering.join();
        EXPECT_EQ(result.rc, VEK_RIR_RC_OK);
        EXPECT_EQ(result.response, c.expected);
    }

    // Whatever holds the server name may answer 80 bytes without a terminator.
    bounded_thread_t rogue([&server] {
        vek_rir_command_server_op_t op;
        if (server.receive(&op) != 1)
            return;
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        std::string flood(80, 'A');
        sendto(fd, flood.data(), flood.size(), 0, reinterpret_cast<struct sockaddr *>(&op.addr_reply),
               sizeof(op.addr_reply));
        close(fd);
    }, "the rogue answering thread");
    exchange_t result = exchange("nothing", 5, 200);
    rogue.join();
    EXPECT_EQ(result.rc, VEK_RIR_RC_OK);
    EXPECT_EQ(result.response, std::string(79, 'A'));
}

TEST_F(ChannelTest, HugeTimeoutStillWaitsForTheAnswer)
{
    fake_server_t server;
    ASSERT_TRUE(server.bound);
    // 4294968 s in milliseconds wraps a 32-bit int to 704 ms; the answer comes later than that.
    bounded_thread_t answering([&server] {
        vek_rir_command_server_op_t op;
        if (server.receive(&op) != 1)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        server.answer(&op, "slow");
    }, "the slow answering thread");
    exchange_t result = exchange("nothing", 4294968);
    answering.join();
    EXPECT_EQ(result.rc, VEK_RIR_RC_OK);
    EXPECT_EQ(result.response, "slow");
}

TEST_F(ChannelTest, ExchangesOfManyThreadsTakeTurnsAndGetTheirOwnAnswers)
{
    fake_server_t server;
    ASSERT_TRUE(server.bound);
    std::atomic<bool> stop{false};
    bounded_thread_t echo([&] {
        vek_rir_command_server_op_t op;
        while (!stop.load())
            if (server.receive(&op, 100) == 1)
                server.answer(&op, op.request);
    }, "the echoing server thread");
    std::atomic<int> wrong{0};
    std::vector<bounded_thread_t> clients;
    for (int t = 0; t < 4; t++)
        clients.emplace_back([t, &wrong] {
            for (int k = 0; k < 25; k++) {
                std::string request = "t" + std::to_string(t) + "k" + std::to_string(k);
                exchange_t result = exchange(request.c_str(), 5);
                if (result.rc != VEK_RIR_RC_OK || result.response != request)
                    wrong++;
            }
        }, "client thread " + std::to_string(t));
    for (bounded_thread_t &c : clients)
        c.join();
    stop = true;
    echo.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ChannelTest, MisbehavingSendersNeverStopTheServer)
{
    fake_server_t server;
    ASSERT_TRUE(server.bound);
    vek_rir_command_server_op_t op;

    // Not bound: the empty sender name; the answer goes nowhere.
    int unbound = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(send_to_server(unbound, "nothing"));
    ASSERT_EQ(server.receive(&op), 1);
    EXPECT_STREQ(vek_rir_command_address_fetch(&op.addr_reply), "_R");
    EXPECT_EQ(server.answer(&op, "ok"), 1);
    close(unbound);

    // Every request is taken. Its answer goes to the sender's name followed by "_R", bound as the
    // sender bound its own (padded or exact); a name that leaves no room for that, or whose
    // padding hides more bytes, cannot be answered, and the send says so.
    struct case_t {
        std::string name;
        bool exact_length;
        std::string reply; // the reply name's bytes, "" when none can be formed
    };
    const std::string hidden = "RIR_C812" + std::string(1, '\0') + "x";
    for (const case_t &c : {case_t{std::string(103, 'n'), false, std::string(103, 'n') + "_R"},
                            case_t{std::string(104, 'n'), false, ""},
                            case_t{std::string(107, 'n'), false, ""},
                            case_t{std::string(5, 'n'), true, "nnnnn_R"},
                            case_t{std::string(105, 'n'), true, std::string(105, 'n') + "_R"},
                            case_t{std::string(106, 'n'), true, ""},
                            case_t{hidden, false, ""}}) {
        SCOPED_TRACE(std::to_string(c.name.size()) + (c.exact_length ? " exact" : ""));
        int fd = bound_socket(c.name, SOCK_DGRAM, c.exact_length);
        ASSERT_GE(fd, 0);
        // Bound the way the server must address it: only then does the answer arrive.
        int reply = c.reply.empty() ? -1 : bound_socket(c.reply, SOCK_DGRAM, c.exact_length);
        ASSERT_TRUE(send_to_server(fd, "nothing"));
        ASSERT_EQ(server.receive(&op), 1);
        EXPECT_EQ(server.answer(&op, "ok"), c.reply.empty() ? 0 : 1);
        if (reply >= 0) {
            char got[8] = {};
            EXPECT_EQ(recv(reply, got, sizeof(got), MSG_DONTWAIT), 3);
            EXPECT_STREQ(got, "ok");
            close(reply);
        }
        close(fd);
    }

    // A reply name held by a stream socket: the kernel refuses the connection (by type, or as
    // refused, depending on its version) and the server goes on.
    int stream = bound_socket("deaf_R", SOCK_STREAM);
    ASSERT_GE(stream, 0);
    ASSERT_EQ(listen(stream, 1), 0);
    int deaf = bound_socket("deaf");
    ASSERT_TRUE(send_to_server(deaf, "nothing"));
    ASSERT_EQ(server.receive(&op), 1);
    server.answer(&op, "ok");
    close(stream);

    // A reply socket whose owner never reads: the answers fill its queue, and the first that
    // does not fit is a failed send rather than a wait.

    int full = bound_socket("deaf_R");
    ASSERT_GE(full, 0);
    int sent = 0, refused = 0;
    for (int k = 0; k < 2000 && refused == 0; k++) {
        ASSERT_TRUE(send_to_server(deaf, "nothing"));
        ASSERT_EQ(server.receive(&op), 1);
        if (server.answer(&op, "ok") == 1)
            sent++;
        else
            refused++;
    }
    EXPECT_GT(sent, 0);
    EXPECT_EQ(refused, 1);
    close(full);
    close(deaf);
}

TEST_F(ChannelTest, EveryRequestCarriesTheSendersUidAsTheKernelGivesIt)
{
    vek_rir_command_server_op_t op;
    {
        fake_server_t server;
        ASSERT_TRUE(server.bound);
        exchange("nothing", 0);
        ASSERT_EQ(server.receive(&op), 1);
        EXPECT_TRUE(op.sender_credentials);
        EXPECT_EQ(op.sender_uid, 0u);
        int status = run_child([] {
            if (!drop_to_nobody())
                return 2;
            child_exchange("clear uid=0", 0);
            return 0;
        });
        ASSERT_EQ(status, 0);
        ASSERT_EQ(server.receive(&op), 1);
        EXPECT_STREQ(op.request, "clear uid=0");
        EXPECT_TRUE(op.sender_credentials);
        EXPECT_EQ(op.sender_uid, 65534u);
    }
    // A socket that never asked for credentials gets none, and the request says so.
    vek_rir_command_server_t bare;
    bare.fd_server = bound_socket(vek_rir_command_server_name);
    ASSERT_GE(bare.fd_server, 0);
    exchange("nothing", 0);
    ASSERT_EQ(vek_rir_command_server_recv_request(&bare, &op, 5000), 1);
    EXPECT_FALSE(op.sender_credentials);
    vek_rir_command_server_destroy(&bare);
}

// ---- the real server -----------------------------------------------------------------------

// The server's peer fetch must not reach out of the sandbox: a client that always fails.
class ServerRunTest : public fake_scp_test {};

// Starts the tool with its standard output in `out_path`; returns its process id.
pid_t tool_start(const std::vector<std::string> &arguments, const std::string &out_path)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(VEK_RIR_TOOL_PATH));
        for (const std::string &a : arguments)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(VEK_RIR_TOOL_PATH, argv.data());
        _exit(127);
    }
    return pid;
}

// The exit status, or -1 when the process did not exit by itself within the time (then it is
// killed and the test fails).
int tool_wait(pid_t pid, int seconds)
{
    int status = child_reap(pid, std::chrono::seconds(seconds), "the tool's server to end");
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool server_answers(int seconds)
{
    for (int k = 0; k < seconds * 10; k++) {
        if (exchange("nothing", 1).rc == VEK_RIR_RC_OK)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool name_free()
{
    fake_server_t probe;
    return probe.bound;
}

TEST_F(ServerRunTest, ToolServerAnswersRefusesASecondAndFreesTheNameAtItsEnd)
{
    ASSERT_TRUE(run_tool("-o rir_add -I before -t 'first record'").status == 0);
    pid_t server = tool_start({"-o", "rir_serve", "-r", "4"}, "/vek_tmp/serve.out");
    ASSERT_TRUE(server_answers(3));

    exchange_t snap = exchange("snap", 5);
    EXPECT_EQ(snap.rc, VEK_RIR_RC_OK);
    EXPECT_EQ(snap.response, "ok");
    std::string snapshot = read_file(vek_rir_local_snap_path);
    ASSERT_EQ(snapshot.size(), VEK_RIR_FILE_SIZE);
    ASSERT_EQ(file_walk(snapshot).size(), 1u);
    EXPECT_STREQ(file_walk(snapshot)[0].identity, "before");
    EXPECT_EQ(exchange("no such request", 5).response, "unknown");

    tool_result_t second = run_tool("-o rir_serve -r 1");
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "rir_server_run failed: another RIR server already runs on this node\n");
    // The refused server ran no duty of its own, and the first one still answers.
    EXPECT_EQ(exchange("nothing", 5).rc, VEK_RIR_RC_OK);

    EXPECT_EQ(tool_wait(server, 10), 0);
    EXPECT_EQ(read_file("/vek_tmp/serve.out"), "");
    EXPECT_TRUE(name_free());
    EXPECT_EQ(exchange("nothing", 1).failure, "noserver");
}

TEST_F(ServerRunTest, SignalsStopTheToolServerCleanlyWithAndWithoutRuntime)
{
    struct case_t {
        int signal;
        const char *runtime;
        bool during_fetch; // the signal comes while the secure-copy client runs
    };
    // A client that is slow to fail, and says when it has started.
    const std::string slow_scp = "#!/bin/sh\ntouch /vek_tmp/scp-running\nsleep 2\nexit 1\n";
    for (case_t c : {case_t{SIGTERM, "0", false}, case_t{SIGINT, "0", false},
                     case_t{SIGTERM, "600", false}, case_t{SIGINT, "0", true},
                     case_t{SIGTERM, "0", true}}) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + " runtime " + c.runtime +
                     (c.during_fetch ? " during a fetch" : ""));
        if (c.during_fetch)
            ASSERT_TRUE(write_file(std::string(fake_bin_dir) + "/scp", slow_scp, 0755));
        pid_t server = tool_start({"-o", "rir_serve", "-r", c.runtime}, "/vek_tmp/serve.out");
        ASSERT_TRUE(server_answers(3));
        live_attach_t live;
        ASSERT_TRUE(live.ok);
        live_append(3, "signalled");
        if (c.during_fetch) {
            unlink("/vek_tmp/scp-running");
            EXPECT_EQ(exchange("mirror-peer", 0).rc, VEK_RIR_RC_OK);
            for (int waited_ms = 0; !path_exists("/vek_tmp/scp-running"); waited_ms += 10) {
                ASSERT_LT(waited_ms, 5000) << "the fetch did not start";
                usleep(10000);
            }
        }
        kill(server, c.signal);
        EXPECT_EQ(tool_wait(server, 10), 0);
        EXPECT_TRUE(name_free());
        // The final flush put the records on disk.
        EXPECT_GE(file_info(read_file(vek_rir_local_path)).next_seqno, 3u);
    }
}

TEST_F(ServerRunTest, EmbeddedServerServesWhileThreadsLog)
{
    vek_rir_server_world_create();
    ASSERT_TRUE(server_answers(3));
    std::vector<bounded_thread_t> writers;
    for (int w = 0; w < 2; w++)
        writers.emplace_back([w] {
            std::string identity = "writer" + std::to_string(w);
            for (int k = 0; k < 3000; k++)
                vek_rir_if_record_add(nullptr, 0, VEK_RIR_CLASS_STEP, static_cast<uint64_t>(k),
                                      identity.c_str(), "embedded");
        }, "writer thread " + std::to_string(w));
    int answered = 0;
    for (int k = 0; k < 20; k++)
        answered += exchange(k % 2 ? "snap" : "flush", 5).rc == VEK_RIR_RC_OK;
    for (bounded_thread_t &w : writers)
        w.join();
    EXPECT_EQ(answered, 20);
    EXPECT_EQ(exchange("snap", 5).response, "ok");
    vek_rir_server_world_destroy();
    EXPECT_TRUE(name_free());

    std::string snapshot = read_file(vek_rir_local_snap_path);
    ASSERT_EQ(snapshot.size(), VEK_RIR_FILE_SIZE);
    EXPECT_EQ(file_info(snapshot).next_seqno, 6000u);
    std::vector<vek_rir_record_real_t> walk = file_walk(snapshot);
    ASSERT_EQ(walk.size(), 6000u);
    for (size_t i = 0; i < walk.size(); i++)
        ASSERT_EQ(walk[i].seqno, i);
    EXPECT_EQ(vek_rir_header, nullptr);
}

// Runs the exchanges in a child as user `uid` (0: as root) and gives their answers, each
// followed by a space; "child failed <status>" when the child could not do them.
std::string exchanges_as(uid_t uid, const std::vector<const char *> &requests)
{
    int answers[2];
    // Read only after the child is reaped; non-blocking all the same, so a child that died
    // before writing gives an empty read instead of a wait.
    if (pipe2(answers, O_NONBLOCK | O_CLOEXEC) != 0)
        return "no pipe";
    int status = run_child([&] {
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                         setresuid(uid, uid, uid) != 0))
            return 2;
        std::string all;
        for (const char *request : requests)
            all += child_exchange(request) + " ";
        return write(answers[1], all.data(), all.size()) == static_cast<ssize_t>(all.size()) ? 0
                                                                                          : 3;
    });
    close(answers[1]);
    char got[256] = {};
    ssize_t length = read(answers[0], got, sizeof(got) - 1);
    close(answers[0]);
    if (status != 0)
        return "child failed " + std::to_string(status);
    return std::string(got, length > 0 ? static_cast<size_t>(length) : 0);
}

// Who may clear, as the senders meet it: a server that runs as an ordinary user (4242) takes a
// clear from root and from its own user, and denies it to anyone else.
TEST_F(ServerRunTest, OnlyRootAndTheServersOwnUserMayClear)
{
    constexpr uid_t server_uid = 4242;
    {
        live_attach_t attached;
        ASSERT_TRUE(attached.ok) << attached.failure_info.text;
        live_append(3);
    }
    ASSERT_EQ(chown(vek_rir_local_path, server_uid, server_uid), 0);
    ASSERT_EQ(chown(vek_rir_global_attach_domain_lock_path, server_uid, server_uid), 0);
    ASSERT_EQ(chmod("/vek_var", 01777), 0);
    pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd < 0 || dup2(null_fd, 1) != 1 || setgroups(0, nullptr) != 0 ||
            setresgid(server_uid, server_uid, server_uid) != 0 ||
            setresuid(server_uid, server_uid, server_uid) != 0)
            _exit(2);
        execl(VEK_RIR_TOOL_PATH, VEK_RIR_TOOL_PATH, "-o", "rir_serve", "-r", "4", nullptr);
        _exit(127);
    }
    ASSERT_TRUE(server_answers(3));
    sandbox_take_syslog();
    struct sender_t {
        const char *name;
        uid_t uid; // 0: this test's root
        const char *answer;
        size_t records_after;
    } senders[] = {
        {"nobody", 65534, "denied", 3},
        {"the server's user", server_uid, "ok", 0},
        {"root", 0, "ok", 0},
    };
    for (const sender_t &sender : senders) {
        SCOPED_TRACE(sender.name);
        EXPECT_EQ(exchanges_as(sender.uid, {"clear"}), std::string(sender.answer) + " ");
        EXPECT_EQ(file_walk(read_file(vek_rir_local_path)).size(), sender.records_after);
    }
    // The denial and who emptied the log stay on record (root's clear comes within the same
    // 10 s as the first one, so its line is held back).
    EXPECT_EQ(sandbox_take_syslog_messages(),
              (std::vector<std::string>{"denied request clear from uid 65534\n",
                                        "cleared RIR on request of uid 4242\n"}));
    EXPECT_EQ(tool_wait(server, 20), 0);
}

TEST_F(ServerRunTest, ClearAndInhaleFromAnotherUserAreDeniedLoggedOnceAndChangeNothing)
{
    vek_rir_server_world_create();
    ASSERT_TRUE(server_answers(3));
    live_append(5);
    test_log_t other;
    other.append(1, 0, "other", "inhaled");
    ASSERT_TRUE(write_log("/vek_tmp/in.bin", other));
    EXPECT_EQ(exchanges_as(65534, {"clear", "inhale=/vek_tmp/in.bin", "snap"}),
              "denied denied ok ");
    // The tool, run by that user, prints the refusal and fails.
    int tool_status = run_child([] {
        int fd = open("/vek_tmp/run.out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || dup2(fd, 1) != 1 || !drop_to_nobody())
            return 2;
        execl(VEK_RIR_TOOL_PATH, VEK_RIR_TOOL_PATH, "-o", "rir_run", "-A", "clear", nullptr);
        return 127;
    });
    EXPECT_TRUE(WIFEXITED(tool_status) && WEXITSTATUS(tool_status) == 1) << tool_status;
    EXPECT_EQ(read_file("/vek_tmp/run.out"), "clear: denied\n");
    EXPECT_EQ(sandbox_take_syslog_messages(),
              std::vector<std::string>{"denied request clear from uid 65534\n"});
    std::vector<vek_rir_record_real_t> walk = file_walk(read_file(vek_rir_local_path));
    ASSERT_EQ(walk.size(), 5u);
    EXPECT_STREQ(walk[4].text, "live 4");
    EXPECT_EQ(file_info(read_file(vek_rir_local_snap_path)).next_seqno, 5u);

    EXPECT_EQ(exchange("clear", 5).response, "ok");
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 0u);
    vek_rir_server_world_destroy();
}

TEST_F(ServerRunTest, EmbeddedServerThatCannotAttachOrBindStartsNoThread)
{
    {
        fake_server_t other;
        ASSERT_TRUE(other.bound);
        vek_rir_server_world_create();
        EXPECT_EQ(sandbox_take_syslog_messages(),
                  std::vector<std::string>{
                      "unable to serve RIR: another server holds the name RIR\n"});
        EXPECT_NE(vek_rir_header, nullptr);
        vek_rir_server_world_destroy();
        EXPECT_EQ(vek_rir_header, nullptr);
    }

    ASSERT_EQ(mount(nullptr, "/vek_var", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    vek_rir_server_world_create();
    EXPECT_EQ(sandbox_take_syslog_messages(),
              std::vector<std::string>{"unable to attach to RIR: unable to open RIR lock file at "
                                       "/vek_var/vek-rir-lock.bin\n"});
    EXPECT_EQ(exchange("nothing", 1).failure, "noserver");
    vek_rir_server_world_destroy();
}

// ---- what another user can do to an exchange -----------------------------------------------

class ChannelHostileTest : public sandbox_test {};

// A child of the test that has given up root holds a name until it is released; every wait
// of it has a bound (an alarm), so a test that fails midway leaves nothing running.
struct squatter_t {
    pid_t pid = -1;
    int release = -1;
    bool ready = false;
    // what: 0 binds `name`; 1 binds `name` and connects it to another socket of its own; 2 listens
    // on `name` with a stream socket.
    squatter_t(const std::string &name, int what)
    {
        int ready_pipe[2], release_pipe[2];
        if (pipe2(ready_pipe, O_CLOEXEC) != 0 || pipe2(release_pipe, O_CLOEXEC) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            alarm(30);
            close(ready_pipe[0]);
            close(release_pipe[1]);
            if (!drop_to_nobody())
                _exit(2);
            int fd = bound_socket(name, what == 2 ? SOCK_STREAM : SOCK_DGRAM);
            if (fd < 0 || (what == 2 && listen(fd, 1) != 0))
                _exit(3);
            if (what == 1) {
                int other = bound_socket("squatter_other");
                struct sockaddr_un to;
                vek_rir_command_address_build(&to, "%s", "squatter_other");
                if (other < 0 ||
                    connect(fd, reinterpret_cast<struct sockaddr *>(&to), sizeof(to)) != 0)
                    _exit(4);
            }
            char byte = 'r';
            if (write(ready_pipe[1], &byte, 1) != 1)
                _exit(5);
            read(release_pipe[0], &byte, 1);
            _exit(0);
        }
        close(ready_pipe[1]);
        close(release_pipe[0]);
        release = release_pipe[1];
        struct pollfd entry = {ready_pipe[0], POLLIN, 0};
        char byte = 0;
        ready = poll(&entry, 1, 10000) == 1 && read(ready_pipe[0], &byte, 1) == 1;
        close(ready_pipe[0]);
    }
    // The squatter's exit status: 0 when it held the name as asked.
    int end()
    {
        if (release >= 0)
            close(release);
        release = -1;
        int status = pid > 0 ? child_reap(pid, std::chrono::seconds(10), "the squatter") : -1;
        pid = -1;
        return status;
    }
    ~squatter_t()
    {
        if (pid > 0)
            end();
    }
};

TEST_F(ChannelHostileTest, TakenNamesAndAForeignServerNameEndTheToolWithAFailureLine)
{
    struct case_t {
        const char *what;
        std::string format; // %d: the tool's process id
        int squat;
        const char *word, *word_too; // the kernel refuses a stream socket by type or as refused
    } cases[] = {
        {"client name taken", "RIR_C%d", 0, "sendfail", "sendfail"},
        {"reply name taken", "RIR_C%d_R", 0, "sendfail", "sendfail"},
        {"server name held by a connected socket", "RIR", 1, "sendfail", "sendfail"},
        {"server name held by a stream socket", "RIR", 2, "noserver", "sendfail"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.what);
        // The tool waits for a go before it runs, so its names are known and taken first.
        int go[2];
        ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
        pid_t tool = fork();
        if (tool == 0) {
            alarm(30);
            close(go[1]);
            char byte;
            int fd = open("/vek_tmp/run.out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (read(go[0], &byte, 1) != 1 || fd < 0 || dup2(fd, 1) != 1)
                _exit(126);
            execl(VEK_RIR_TOOL_PATH, VEK_RIR_TOOL_PATH, "-o", "rir_run", "-A", "nothing", "-O",
                  "2", nullptr);
            _exit(127);
        }
        close(go[0]);
        char name[64];
        snprintf(name, sizeof(name), c.format.c_str(), static_cast<int>(tool));
        squatter_t squatter(name, c.squat);
        EXPECT_TRUE(squatter.ready);
        char byte = 'g';
        EXPECT_EQ(write(go[1], &byte, 1), 1);
        close(go[1]);
        int status = child_reap(tool, std::chrono::seconds(15), "the tool");
        EXPECT_TRUE(WIFEXITED(status)) << "ended by a signal: " << status;
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
        std::string out = read_file("/vek_tmp/run.out");
        EXPECT_TRUE(out == std::string("rir_server_exec failed: ") + c.word + "\n" ||
                    out == std::string("rir_server_exec failed: ") + c.word_too + "\n")
            << out;
        EXPECT_EQ(squatter.end(), 0);
    }
}

// A squatter holding "RIR" answers every request "ok" at once; a client takes that only when the
// squatter's user is the one the server runs as (the owner of the live log).
TEST_F(ChannelHostileTest, ForgedAnswersFromAnotherUserAreIgnoredUntilTheTimeOut)
{
    struct case_t {
        const char *what;
        bool live_log;
        uid_t live_owner;
        vek_rir_rc_t rc;
        const char *response;
    } cases[] = {
        {"no live log", false, 0, VEK_RIR_RC_FAILURE, "timeout"},
        {"live log of root", true, 0, VEK_RIR_RC_FAILURE, "timeout"},
        {"live log of the squatter's user", true, 65534, VEK_RIR_RC_OK, "ok"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(vek_rir_local_path);
        if (c.live_log) {
            ASSERT_TRUE(write_file(vek_rir_local_path, "live", 0664));
            ASSERT_EQ(chown(vek_rir_local_path, c.live_owner, 0), 0);
        }
        int ready[2];
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        pid_t forger = fork();
        if (forger == 0) {
            alarm(30);
            close(ready[0]);
            vek_rir_command_server_t end;
            if (!drop_to_nobody() || vek_rir_command_server_create(&end, "RIR") != 0)
                _exit(2);
            char byte = 'r';
            if (write(ready[1], &byte, 1) != 1)
                _exit(3);
            vek_rir_command_server_op_t op;
            if (vek_rir_command_server_recv_request(&end, &op, 10000) != 1)
                _exit(4);
            strcpy(op.response, "ok");
            _exit(vek_rir_command_server_send_reponse(&end, &op) == 1 ? 0 : 5);
        }
        close(ready[1]);
        char byte = 0;
        struct pollfd entry = {ready[0], POLLIN, 0};
        ASSERT_TRUE(poll(&entry, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1);
        close(ready[0]);
        auto started = std::chrono::steady_clock::now();
        exchange_t result = exchange("mirror-peer-and-merge", 2);
        auto waited = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(result.rc, c.rc);
        EXPECT_EQ(result.response, c.response);
        // The forged answer came at once; ignoring it means waiting for the whole time-out.
        if (c.rc != VEK_RIR_RC_OK)
            EXPECT_GE(waited, std::chrono::milliseconds(1900));
        int status = child_reap(forger, std::chrono::seconds(10), "the forger");
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

TEST_F(ChannelHostileTest, AForgedAnswerBeforeTheServersIsPassedOver)
{
    fake_server_t server;
    ASSERT_TRUE(server.bound);
    std::atomic<int> forger_status{-1};
    bounded_thread_t answering([&] {
        vek_rir_command_server_op_t op;
        if (server.receive(&op) != 1)
            return;
        struct sockaddr_un reply = op.addr_reply;
        forger_status = run_child([&reply] {
            if (!drop_to_nobody())
                return 2;
            int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            return sendto(fd, "forged", 7, 0, reinterpret_cast<struct sockaddr *>(&reply),
                          sizeof(reply)) == 7
                       ? 0
                       : 3;
        });
        server.answer(&op, "real");
    }, "the answering thread");
    exchange_t result = exchange("nothing", 5);
    answering.join();
    EXPECT_EQ(forger_status.load(), 0);
    EXPECT_EQ(result.rc, VEK_RIR_RC_OK);
    EXPECT_EQ(result.response, "real");
}

// Another user fills the queue of a server that is busy: the client waits for room with its
// time-out as the bound, then fails instead of blocking in its send.
TEST_F(ChannelHostileTest, AServerQueueFilledByAnotherUserFailsTheSendAfterTheTimeOut)
{
    fake_server_t server; // never reads while the client tries
    ASSERT_TRUE(server.bound);
    int status = run_child([] {
        if (!drop_to_nobody())
            return 2;
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un to;
        vek_rir_command_address_build(&to, "%s", vek_rir_command_server_name);
        int queued = 0;
        while (queued < 100000 && sendto(fd, "nothing", 8, MSG_DONTWAIT,
                                         reinterpret_cast<struct sockaddr *>(&to),
                                         sizeof(to)) == 8)
            queued++;
        return queued < 100000 && errno == EAGAIN ? 0 : 3;
    });
    ASSERT_EQ(status, 0);
    auto started = std::chrono::steady_clock::now();
    exchange_t result = exchange("flush", 1);
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.rc, VEK_RIR_RC_FAILURE);
    EXPECT_EQ(result.response, "sendfail");
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

// The server's duties replaced by recorders of when they ran, in milliseconds since `t0`.
std::mutex duty_times_mutex;
std::vector<int64_t> flush_times;
std::chrono::steady_clock::time_point duty_t0;

void flush_record()
{
    std::lock_guard<std::mutex> lock(duty_times_mutex);
    flush_times.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - duty_t0)
                              .count());
}

class ServerFloodTest : public sandbox_test {
protected:
    void TearDown() override
    {
        vek_rir_server_duties = vek_rir_server_duties_real;
        sandbox_test::TearDown();
    }
};

// Another user floods the server with requests whose answers cannot be delivered: from a name
// whose reply socket never reads (its queue fills), and from names that leave no room for a
// reply name. The system log gets one line for the lot, and the flush still runs on time.
TEST_F(ServerFloodTest, UndeliverableAnswersWriteABoundedNumberOfLinesAndDutiesStayOnTime)
{
    flush_times.clear();
    vek_rir_server_duties = {flush_record, [] {}, [] {}, [] {}, [] {},
                             [](const char *) { return 0; }, [] { return 0; }};
    live_attach_t live;
    ASSERT_TRUE(live.ok);
    sandbox_take_syslog_messages();
    duty_t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(vek_rir_server_thread_start(), 0);
    static constexpr int flood_msecs = 6500;
    int counts[2];
    ASSERT_EQ(pipe2(counts, O_NONBLOCK | O_CLOEXEC), 0);
    int status = run_child([&counts] {
        if (!drop_to_nobody())
            return 2;
        int deaf = bound_socket("deaf");
        int deaf_reply = bound_socket("deaf_R");
        int full_name = bound_socket(std::string(107, 'n'), SOCK_DGRAM, true);
        if (deaf < 0 || deaf_reply < 0 || full_name < 0)
            return 3;
        uint32_t sent = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(flood_msecs);
        while (std::chrono::steady_clock::now() < end) {
            int fd = sent % 2 ? deaf : full_name;
            struct pollfd entry = {fd, POLLOUT, 0};
            struct sockaddr_un to;
            vek_rir_command_address_build(&to, "%s", "RIR");
            if (sendto(fd, "nothing", 8, MSG_DONTWAIT, reinterpret_cast<struct sockaddr *>(&to),
                       sizeof(to)) == 8)
                sent++;
            else
                poll(&entry, 1, 10);
        }
        return write(counts[1], &sent, sizeof(sent)) == sizeof(sent) ? 0 : 4;
    }, std::chrono::seconds(20), "the flooding child");
    vek_rir_server_thread_stop();
    uint32_t sent = 0;
    close(counts[1]);
    EXPECT_EQ(read(counts[0], &sent, sizeof(sent)), static_cast<ssize_t>(sizeof(sent)));
    close(counts[0]);
    ASSERT_EQ(status, 0);
    std::vector<std::string> lines = sandbox_take_syslog_messages();
    size_t send_lines = static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [](const std::string &l) {
            return l.rfind("unable to send response to: nothing", 0) == 0;
        }));
    std::vector<int64_t> flushes;
    {
        std::lock_guard<std::mutex> lock(duty_times_mutex);
        flushes = flush_times;
    }
    std::string shown;
    for (int64_t t : flushes)
        shown += std::to_string(t) + " ms ";
    printf("flood of %u requests in %d ms: %zu system-log lines; flushes at %s\n", sent,
           flood_msecs, lines.size(), shown.c_str());
    EXPECT_GT(sent, 1000u);
    // The flood lasts less than the limit's 10 s: the first line only.
    EXPECT_EQ(lines, std::vector<std::string>{"unable to send response to: nothing\n"});
    EXPECT_EQ(send_lines, 1u);
    // The first flush is due 5 s after the start; the flood must not delay it by more than the
    // second the timers count in (the last entry is the final pass at the stop).
    ASSERT_GE(flushes.size(), 2u);
    EXPECT_GE(flushes[0], 3900);
    EXPECT_LE(flushes[0], 6500);
}

// ---- what the tool shows of an inhale, a clear and a request too long ----------------------

uint64_t tool_log_now = 0;
uint64_t tool_log_clock()
{
    return tool_log_now;
}

TEST_F(ServerRunTest, FailedInhaleIsAnsweredFailedAClearLeavesATraceAndLongRequestsAreRefused)
{
    vek_rir_util_log_clock_msecs = tool_log_clock;
    vek_rir_server_world_create();
    ASSERT_TRUE(server_answers(3));
    sandbox_take_syslog_messages();
    test_log_t good;
    good.append(1, 0, "other", "inhaled");
    ASSERT_TRUE(write_log("/vek_tmp/in.bin", good));
    ASSERT_TRUE(write_file("/vek_tmp/short.bin", "no log"));
    const std::string too_long = "inhale=/vek_tmp/" + std::string(64, 'x');
    struct case_t {
        std::string request;
        int status;
        std::string out;
        std::vector<std::string> lines;
    } cases[] = {
        {"inhale=/vek_tmp/missing.bin", 1, "inhale=/vek_tmp/missing.bin: failed\n",
         {"unable to inhale /vek_tmp/missing.bin: unable to open inhale file at "
          "/vek_tmp/missing.bin\n"}},
        {"inhale=/vek_tmp/short.bin", 1, "inhale=/vek_tmp/short.bin: failed\n",
         {"unable to inhale /vek_tmp/short.bin: inhale file at /vek_tmp/short.bin had bad size "
          "(3145728/6287360/6)\n"}},
        {"inhale=/vek_tmp/in.bin", 0, "inhale=/vek_tmp/in.bin: ok\n", {}},
        {"clear", 0, "clear: ok\n", {"cleared RIR on request of uid 0\n"}},
        {too_long, 1, "rir_server_exec failed: request longer than 79 characters\n", {}},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.request);
        // Each case past the limit of the one before.
        tool_log_now += 100000;
        live_append(1, "before");
        tool_result_t r = run_tool("-o rir_run -A '" + c.request + "'");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(sandbox_take_syslog_messages(), c.lines);
    }
    // The long request (a cleared log refilled by one append) ran nothing.
    EXPECT_EQ(vek_rir_helper_info(vek_rir_header).next_seqno, 1u);
    vek_rir_server_world_destroy();
}

} // namespace
