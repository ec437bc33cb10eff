// The command channel: one short text request from any process of the node to the server, one
// short answer back, over datagram sockets in the abstract namespace (nothing in the file
// system, nothing left behind by a process that ends). The request goes from "RIR_C<pid>" to
// "RIR"; the answer from a fresh socket to "RIR_C<pid>_R", a name the server derives from the
// sender address, never from the request text; the sender's user id likewise comes from the
// kernel, as credentials attached to the datagram. Owns the process-wide exchange mutex;
// touches nothing of the log.

#include "vek_rir/vek_rir_int.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

constexpr char word_noserver[] = "noserver";
constexpr char word_sendfail[] = "sendfail";
constexpr char word_timeout[] = "timeout";
constexpr char word_recvfail[] = "recvfail";

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

int connect_retrying(int fd, struct sockaddr_un *address)
{
    int rc;
    do {
        rc = connect(fd, address_cast(address), address_size());
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

// 1 when the descriptor became readable within the time, 0 when the time ran out.
int poll_in(int fd, int timeout_msecs)
{
    struct pollfd entry;
    entry.fd = fd;
    entry.events = POLLIN;
    entry.revents = 0;
    int rc;
    do {
        rc = poll(&entry, 1, timeout_msecs);
    } while (rc < 0 && errno == EINTR);
    VEK_RIR_ASSERT(rc >= 0);
    return rc > 0 ? 1 : 0;
}

// A sender name is usable only when it is terminated inside its address and short enough
// that its reply name still fits; a sender that is not bound has the empty name.
bool sender_name_usable(const struct sockaddr_un *address, socklen_t length)
{
    if (length <= static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1))
        return true;
    size_t path_bytes = static_cast<size_t>(length) - offsetof(struct sockaddr_un, sun_path) - 1;
    if (path_bytes > sizeof(address->sun_path) - 1)
        path_bytes = sizeof(address->sun_path) - 1;
    size_t name_length = strnlen(address->sun_path + 1, path_bytes);
    return name_length < path_bytes && name_length <= sender_name_max;
}

// The kernel's word on who sent the datagram. A sender can pass other credentials only with
// the privilege to take them, so none that any user may claim is trusted over these.
void sender_credentials_take(struct msghdr *msg, vek_rir_command_server_op_t *op)
{
    for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len == CMSG_LEN(sizeof(struct ucred))) {
            struct ucred credentials;
            memcpy(&credentials, CMSG_DATA(c), sizeof(credentials));
            op->sender_credentials = true;
            op->sender_uid = credentials.uid;
        }
    }
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
    int on = 1;
    int rc = setsockopt(command_server->fd_server, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
    VEK_RIR_ASSERT(rc == 0);
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
    if (poll_in(command_server->fd_server, timeout_msecs) == 0)
        return 0;
    // The request keeps its last byte zero, so it is always terminated; the rest of a longer
    // datagram goes with it. The control room holds the credentials only: descriptors that a
    // sender passes along do not fit, and the kernel drops them.
    struct iovec request_part = {op->request, sizeof(op->request) - 1};
    union {
        struct cmsghdr aligned;
        char bytes[CMSG_SPACE(sizeof(struct ucred))];
    } control;
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_name = &op->addr_client;
    msg.msg_namelen = address_size();
    msg.msg_iov = &request_part;
    msg.msg_iovlen = 1;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof(control.bytes);
    ssize_t got = recvmsg(command_server->fd_server, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got <= 0)
        return 0;
    if (!sender_name_usable(&op->addr_client, msg.msg_namelen))
        return 0;
    sender_credentials_take(&msg, op);
    vek_rir_command_address_build(&op->addr_reply, "%s_R",
                                  vek_rir_command_address_fetch(&op->addr_client));
    return 1;
}

int vek_rir_command_server_send_reponse(vek_rir_command_server_t *,
                                        vek_rir_command_server_op_t *command_server_op)
{
    vek_rir_command_server_op_t *op = command_server_op;
    size_t length = strnlen(op->response, sizeof(op->response));
    VEK_RIR_ASSERT(length < VEK_RIR_COMMAND_RESPONSE_MAX_SIZE);
    op->fd_response = socket_new();
    int connect_errno = connect_retrying(op->fd_response, &op->addr_reply);
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
    ssize_t sent = send(op->fd_response, op->response, length + 1, MSG_DONTWAIT);
    socket_close(op->fd_response);
    return sent == static_cast<ssize_t>(length + 1) ? 1 : 0;
}

void vek_rir_command_server_destroy(vek_rir_command_server_t *command_server)
{
    socket_close(command_server->fd_server);
    command_server->fd_server = -1;
}

int vek_rir_command_client_send_request(vek_rir_command_client_op_t *command_client_op,
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
    int rc = bind(op->fd_client, address_cast(&op->addr_client), address_size());
    VEK_RIR_ASSERT(rc == 0);
    op->fd_response = socket_new();
    if (timeout_msecs != 0) {
        rc = bind(op->fd_response, address_cast(&op->addr_reply), address_size());
        VEK_RIR_ASSERT(rc == 0);
    }

    int worked = 1;
    int connect_errno = connect_retrying(op->fd_client, &op->addr_server);
    if (connect_errno == ECONNREFUSED) {
        worked = client_fail(op, word_noserver);
    } else {
        VEK_RIR_ASSERT(connect_errno == 0);
        size_t length = strlen(op->request) + 1;
        ssize_t sent = send(op->fd_client, op->request, length, 0);
        if (sent != static_cast<ssize_t>(length)) {
            worked = client_fail(op, word_sendfail);
        } else if (timeout_msecs != 0) {
            if (poll_in(op->fd_response, timeout_msecs) == 0) {
                worked = client_fail(op, word_timeout);
            } else {
                // At most 79 bytes: whoever holds the server name, the answer stays terminated.
                ssize_t got = recv(op->fd_response, op->response, sizeof(op->response) - 1, 0);
                if (got <= 0)
                    worked = client_fail(op, word_recvfail);
            }
        }
    }
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
