// The command channel: one short text request from any process of the node to the server, one
// short answer back, over datagram sockets in the abstract namespace (nothing in the file
// system, nothing left behind by a process that ends). The request goes from "RIR_C<pid>" to
// "RIR"; the answer from a fresh socket to "RIR_C<pid>_R", a name the server derives from the
// sender address, never from the request text; the sender's user id likewise comes from the
// kernel, as credentials attached to the datagram. Any local user may bind names in the
// abstract namespace or send to ours, so nothing another process does stops an exchange on an
// assertion: a taken name, a refused send or a stranger's answer ends it with a failure word or
// is ignored. Owns the process-wide exchange mutex; touches nothing of the log but a stat of
// the live log, whose owner is the user the server runs as.

#include "vek_rir/vek_rir_int.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

namespace {

constexpr char word_noserver[] = "noserver";
constexpr char word_sendfail[] = "sendfail";
constexpr char word_timeout[] = "timeout";
constexpr char word_recvfail[] = "recvfail";
constexpr char text_request_too_long[] = "request longer than %zu characters";

// How long a client waits for room in the server's queue when it is not to wait for an answer
// (or would wait without limit): a server flooded by others must not hold it for ever.
constexpr int send_wait_msecs_default = 5000;

// The name sits in the path from its second byte, in a window of 106 bytes: at most 105
// characters, then at least its terminator and the always-zero last path byte.
constexpr size_t address_name_window = 106;
constexpr size_t address_name_max = address_name_window - 1;
// A sender name the server can answer: "%s_R" must fit the window too.
constexpr size_t sender_name_max = address_name_max - 2;

// Serialises the exchanges of this process: the client names carry only the process id, so
// two exchanges at once would collide on them.
pthread_mutex_t exchange_mutex = PTHREAD_MUTEX_INITIALIZER;

struct exchange_lock_t {
    exchange_lock_t()
    {
        int rc = pthread_mutex_lock(&exchange_mutex);
        VEK_RIR_ASSERT(rc == 0);
    }
    exchange_lock_t(const exchange_lock_t &) = delete;
    exchange_lock_t &operator=(const exchange_lock_t &) = delete;
    ~exchange_lock_t()
    {
        int rc = pthread_mutex_unlock(&exchange_mutex);
        VEK_RIR_ASSERT(rc == 0);
    }
};

socklen_t address_size()
{
    return static_cast<socklen_t>(sizeof(struct sockaddr_un));
}

struct sockaddr *address_cast(struct sockaddr_un *address)
{
    return reinterpret_cast<struct sockaddr *>(address);
}

int socket_new()
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    VEK_RIR_ASSERT(fd >= 0);
    return fd;
}

void socket_close(int fd)
{
    int rc = close(fd);
    VEK_RIR_ASSERT(rc == 0);
}

int connect_retrying(int fd, struct sockaddr_un *address, socklen_t size)
{
    int rc;
    do {
        rc = connect(fd, address_cast(address), size);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

// 1 when the descriptor became ready for `events` within the time, 0 when the time ran out.
int poll_for(int fd, short events, int timeout_msecs)
{
    struct pollfd entry;
    entry.fd = fd;
    entry.events = events;
    entry.revents = 0;
    int rc;
    do {
        rc = poll(&entry, 1, timeout_msecs);
    } while (rc < 0 && errno == EINTR);
    VEK_RIR_ASSERT(rc >= 0);
    return rc > 0 ? 1 : 0;
}

int poll_in(int fd, int timeout_msecs)
{
    return poll_for(fd, POLLIN, timeout_msecs);
}

// The reply name is the sender's name followed by "_R", bound the way the sender bound its own:
// padded with zero bytes to the whole address, as our clients bind, or with the exact length of
// the name. A whole-sized name counts as padded only when every byte after its text is zero, so
// that no sender can have its answers sent to the reply name of another client ("RIR_C812\0x"
// would otherwise answer to "RIR_C812_R"). Returns the length to connect with, 0 when the reply
// name does not fit (or the sender is bound in the file system, where the server sends nothing).
socklen_t reply_address_form(const struct sockaddr_un *sender, socklen_t sender_size,
                             struct sockaddr_un *reply)
{
    constexpr size_t path_offset = offsetof(struct sockaddr_un, sun_path);
    constexpr size_t name_bytes_max = sizeof(sender->sun_path) - 1;
    memset(reply, 0, sizeof(*reply));
    size_t size = static_cast<size_t>(sender_size);
    if (size <= path_offset + 1) {
        // Not bound: the empty name, whose reply name nobody our clients make can hold.
        vek_rir_command_address_build(reply, "%s_R", "");
        return address_size();
    }
    if (sender->sun_path[0] != '\0')
        return 0;
    size_t name_bytes = size - path_offset - 1;
    if (name_bytes > name_bytes_max)
        name_bytes = name_bytes_max;
    const char *name = sender->sun_path + 1;
    if (name_bytes == name_bytes_max) {
        size_t text_length = strnlen(name, name_bytes);
        bool padded = true;
        for (size_t i = text_length; i < name_bytes; i++)
            padded = padded && name[i] == '\0';
        if (padded && text_length <= sender_name_max) {
            vek_rir_command_address_build(reply, "%s_R", name);
            return address_size();
        }
    }
    if (name_bytes + 2 > name_bytes_max)
        return 0;
    reply->sun_family = AF_UNIX;
    memcpy(reply->sun_path + 1, name, name_bytes);
    memcpy(reply->sun_path + 1 + name_bytes, "_R", 2);
    return static_cast<socklen_t>(path_offset + 1 + name_bytes + 2);
}

// The kernel's word on who sent the datagram. A sender can pass other credentials only with
// the privilege to take them, so none that any user may claim is trusted over these.
bool sender_credentials_take(struct msghdr *msg, uid_t *uid_rv)
{
    bool found = false;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len == CMSG_LEN(sizeof(struct ucred))) {
            struct ucred credentials;
            memcpy(&credentials, CMSG_DATA(c), sizeof(credentials));
            found = true;
            *uid_rv = credentials.uid;
        }
    }
    return found;
}

void credentials_ask(int fd)
{
    int on = 1;
    int rc = setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
    VEK_RIR_ASSERT(rc == 0);
}

// Room for the credentials only: descriptors that a sender passes along do not fit, and the
// kernel drops them instead of installing them here.
union credentials_room_t {
    struct cmsghdr aligned;
    char bytes[CMSG_SPACE(sizeof(struct ucred))];
};

// An answer counts only from root, from this process's own user, or from the owner of the live
// log, the user the server runs as; anyone else on the node can send to our reply name.
bool answer_sender_trusted(uid_t uid)
{
    if (uid == 0 || uid == getuid() || uid == geteuid())
        return true;
    struct stat live_stat;
    return lstat(vek_rir_local_path, &live_stat) == 0 && S_ISREG(live_stat.st_mode) &&
           live_stat.st_uid == uid;
}

int64_t monotime_msecs()
{
    struct timespec now;
    int rc = clock_gettime(CLOCK_MONOTONIC, &now);
    VEK_RIR_ASSERT(rc == 0);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int client_fail(vek_rir_command_client_op_t *op, const char *word)
{
    memset(op->response, 0, sizeof(op->response));
    strncpy(op->response, word, sizeof(op->response) - 1);
    return 0;
}

// The milliseconds poll waits for a whole-second time-out: computed in 64 bits and capped at
// the longest wait poll takes; negative waits without limit.
int timeout_msecs_of(int timeout_seconds)
{
    if (timeout_seconds < 0)
        return -1;
    int64_t msecs = static_cast<int64_t>(timeout_seconds) * 1000;
    return msecs > INT_MAX ? INT_MAX : static_cast<int>(msecs);
}

// Waits for an answer from a trusted sender until the time runs out; datagrams from anyone else
// are read and dropped as if they had never come. At most 79 bytes are taken, so the answer
// stays terminated whoever sent it.
int client_answer_wait(vek_rir_command_client_op_t *op, int timeout_msecs)
{
    int64_t deadline = monotime_msecs() + timeout_msecs;
    for (;;) {
        int wait_msecs = -1;
        if (timeout_msecs >= 0) {
            int64_t left = deadline - monotime_msecs();
            wait_msecs = left > 0 ? static_cast<int>(left) : 0;
        }
        if (poll_in(op->fd_response, wait_msecs) == 0)
            return client_fail(op, word_timeout);
        char answer[VEK_RIR_COMMAND_RESPONSE_MAX_SIZE];
        memset(answer, 0, sizeof(answer));
        struct iovec answer_part = {answer, sizeof(answer) - 1};
        credentials_room_t control;
        struct msghdr msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_iov = &answer_part;
        msg.msg_iovlen = 1;
        msg.msg_control = control.bytes;
        msg.msg_controllen = sizeof(control.bytes);
        ssize_t got = recvmsg(op->fd_response, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (got < 0)
            return client_fail(op, word_recvfail);
        uid_t uid = 0;
        if (!sender_credentials_take(&msg, &uid) || !answer_sender_trusted(uid))
            continue;
        if (got == 0)
            return client_fail(op, word_recvfail);
        memcpy(op->response, answer, sizeof(answer));
        return 1;
    }
}

// The exchange on the two sockets already made. Any local user can bind our names before us, or
// hold the server name with a socket that is no server's: each ends the exchange with a word.
int client_exchange(vek_rir_command_client_op_t *op, int timeout_msecs)
{
    if (bind(op->fd_client, address_cast(&op->addr_client), address_size()) != 0)
        return client_fail(op, word_sendfail);
    if (timeout_msecs != 0) {
        // Asked for before the name is bound, so that no answer arrives without credentials.
        credentials_ask(op->fd_response);
        if (bind(op->fd_response, address_cast(&op->addr_reply), address_size()) != 0)
            return client_fail(op, word_sendfail);
    }
    int connect_errno = connect_retrying(op->fd_client, &op->addr_server, address_size());
    if (connect_errno == ECONNREFUSED)
        return client_fail(op, word_noserver);
    // EPERM: the name is held by a socket connected elsewhere; EPROTOTYPE: by no datagram one.
    if (connect_errno != 0)
        return client_fail(op, word_sendfail);
    // A full queue at the server (a flood) is waited for with a bound, never for ever.
    int send_wait = timeout_msecs > 0 ? timeout_msecs : send_wait_msecs_default;
    if (poll_for(op->fd_client, POLLOUT, send_wait) == 0)
        return client_fail(op, word_sendfail);
    size_t length = strlen(op->request) + 1;
    ssize_t sent = send(op->fd_client, op->request, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(length))
        return client_fail(op, word_sendfail);
    if (timeout_msecs == 0)
        return 1;
    return client_answer_wait(op, timeout_msecs);
}

} // namespace

void vek_rir_command_address_build(struct sockaddr_un *address, const char *format, ...)
{
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(address->sun_path + 1, address_name_window, format, args);
    va_end(args);
    VEK_RIR_ASSERT(length >= 0 && static_cast<size_t>(length) <= address_name_max);
}

char *vek_rir_command_address_fetch(struct sockaddr_un *address)
{
    return address->sun_path + 1;
}

int vek_rir_command_server_create(vek_rir_command_server_t *command_server,
                                  const char *command_server_name)
{
    vek_rir_command_address_build(&command_server->addr_server, "%s", command_server_name);
    command_server->fd_server = socket_new();
    // Asked for before the name is bound, so that no datagram arrives without credentials.
    credentials_ask(command_server->fd_server);
    if (bind(command_server->fd_server, address_cast(&command_server->addr_server),
             address_size()) != 0) {
        VEK_RIR_ASSERT(errno == EADDRINUSE);
        socket_close(command_server->fd_server);
        command_server->fd_server = -1;
        return 1;
    }
    return 0;
}

int vek_rir_command_server_recv_request(vek_rir_command_server_t *command_server,
                                        vek_rir_command_server_op_t *command_server_op,
                                        int timeout_msecs)
{
    vek_rir_command_server_op_t *op = command_server_op;
    memset(op->request, 0, sizeof(op->request));
    memset(op->response, 0, sizeof(op->response));
    memset(&op->addr_client, 0, sizeof(op->addr_client));
    memset(&op->addr_reply, 0, sizeof(op->addr_reply));
    op->sender_credentials = false;
    op->sender_uid = 0;
    op->addr_reply_size = 0;
    op->request_cut = false;
    if (poll_in(command_server->fd_server, timeout_msecs) == 0)
        return 0;
    // The whole buffer is offered and the datagram's true length asked for, so that a request
    // cut by the buffer is told from one that arrived whole.
    struct iovec request_part = {op->request, sizeof(op->request)};
    credentials_room_t control;
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_name = &op->addr_client;
    msg.msg_namelen = address_size();
    msg.msg_iov = &request_part;
    msg.msg_iovlen = 1;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof(control.bytes);
    ssize_t got =
        recvmsg(command_server->fd_server, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC | MSG_TRUNC);
    if (got <= 0)
        return 0;
    bool cut = got > static_cast<ssize_t>(sizeof(op->request)) || (msg.msg_flags & MSG_TRUNC) != 0 ||
               op->request[sizeof(op->request) - 1] != '\0';
    if (cut) {
        // Carrying out the part that fits could name another file than the sender meant.
        memset(op->request, 0, sizeof(op->request));
        op->request_cut = true;
    }
    op->sender_credentials = sender_credentials_take(&msg, &op->sender_uid);
    op->addr_reply_size = reply_address_form(&op->addr_client, msg.msg_namelen, &op->addr_reply);
    return 1;
}

int vek_rir_command_server_send_reponse(vek_rir_command_server_t *,
                                        vek_rir_command_server_op_t *command_server_op)
{
    vek_rir_command_server_op_t *op = command_server_op;
    size_t length = strnlen(op->response, sizeof(op->response));
    VEK_RIR_ASSERT(length < VEK_RIR_COMMAND_RESPONSE_MAX_SIZE);
    // A sender whose name leaves no room for a reply name cannot be answered.
    if (op->addr_reply_size == 0)
        return 0;
    op->fd_response = socket_new();
    int connect_errno = connect_retrying(op->fd_response, &op->addr_reply, op->addr_reply_size);
    if (connect_errno == ECONNREFUSED) {
        // Nobody waits for the answer: the client sent without waiting, or has given up.
        socket_close(op->fd_response);
        return 1;
    }
    if (connect_errno != 0) {
        // Whatever holds the reply name is no reply socket; that is the client's fault, not
        // a reason to stop serving.
        socket_close(op->fd_response);
        return 0;
    }
    // Never wait for a client that does not read its answers: a full queue is a failed send.
    ssize_t sent = send(op->fd_response, op->response, length + 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    socket_close(op->fd_response);
    return sent == static_cast<ssize_t>(length + 1) ? 1 : 0;
}

void vek_rir_command_server_destroy(vek_rir_command_server_t *command_server)
{
    socket_close(command_server->fd_server);
    command_server->fd_server = -1;
}

static int vek_rir_command_client_send_request(vek_rir_command_client_op_t *command_client_op,
                                        const char *command_server_name, int timeout_msecs)
{
    vek_rir_command_client_op_t *op = command_client_op;
    VEK_RIR_ASSERT(strnlen(op->request, sizeof(op->request)) < VEK_RIR_COMMAND_REQUEST_MAX_SIZE);
    memset(op->response, 0, sizeof(op->response));
    int pid = static_cast<int>(getpid());
    vek_rir_command_address_build(&op->addr_server, "%s", command_server_name);
    vek_rir_command_address_build(&op->addr_client, "%s_C%d", command_server_name, pid);
    vek_rir_command_address_build(&op->addr_reply, "%s_C%d_R", command_server_name, pid);

    op->fd_client = socket_new();
    op->fd_response = socket_new();
    int worked = client_exchange(op, timeout_msecs);
    socket_close(op->fd_response);
    socket_close(op->fd_client);
    return worked;
}

vek_rir_rc_t vek_rir_server_exec(vek_rir_failure_info_t *failure_info, const char *request,
                                 char *response, size_t response_size, int timeout_seconds)
{
    memset(response, 0, response_size);
    vek_rir_command_client_op_t op;
    memset(op.request, 0, sizeof(op.request));
    memset(op.response, 0, sizeof(op.response));
    // A request cut to fit would be another request ("inhale=" of another file): none is sent.
    if (strnlen(request, sizeof(op.request)) >= sizeof(op.request)) {
        client_fail(&op, word_sendfail);
        if (response_size > 0)
            strncpy(response, op.response, response_size - 1);
        vek_rir_failure_info_set(failure_info, text_request_too_long, sizeof(op.request) - 1);
        return VEK_RIR_RC_FAILURE;
    }
    strncpy(op.request, request, sizeof(op.request) - 1);
    int worked;
    {
        exchange_lock_t lock;
        worked = vek_rir_command_client_send_request(&op, vek_rir_command_server_name,
                                                     timeout_msecs_of(timeout_seconds));
    }
    if (response_size > 0)
        strncpy(response, op.response, response_size - 1);
    if (!worked) {
        vek_rir_failure_info_set(failure_info, "%s", op.response);
        return VEK_RIR_RC_FAILURE;
    }
    return VEK_RIR_RC_OK;
}
