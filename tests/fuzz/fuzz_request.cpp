// Fuzz target for the server's handling of one request datagram: any sender name (bound with
// any length, or not at all) and any bytes as the request, received, carried out and answered
// as the server thread does. The duties only count their calls, so nothing of the node changes.

#include "tests/fuzz/vek_rir_fuzz.h"

#include <sys/socket.h>
#include <sys/un.h>

namespace {

int duty_calls = 0;

void count_call()
{
    duty_calls++;
}

// Inhale and clear report a failure every other call, so both answers are reached.
int count_inhale(const char *path)
{
    VEK_RIR_FUZZ_EXPECT(strnlen(path, VEK_RIR_COMMAND_REQUEST_MAX_SIZE) <
                        VEK_RIR_COMMAND_REQUEST_MAX_SIZE);
    duty_calls++;
    return duty_calls % 2;
}

int count_clear()
{
    duty_calls++;
    return duty_calls % 2;
}

vek_rir_command_server_t end;
bool bound = false;

vek_rir_command_server_t *server_end()
{
    if (!bound) {
        vek_rir_server_duties = {count_call, count_call,   count_call, count_call,
                                 count_call, count_inhale, count_clear};
        if (vek_rir_command_server_create(&end, "RIR_FUZZ") != 0)
            abort();
        bound = true;
    }
    return &end;
}

} // namespace

void vek_rir_fuzz_request_reset()
{
    if (bound)
        vek_rir_command_server_destroy(&end);
    bound = false;
    vek_rir_server_duties = vek_rir_server_duties_real;
}

int vek_rir_fuzz_request(const uint8_t *data, size_t size)
{
    vek_rir_command_server_t *end = server_end();
    // First byte: how many of the following bytes name the sender (0: not bound).
    size_t name_length = size > 0 ? std::min<size_t>(data[0] % 112, size - 1) : 0;
    const uint8_t *request = data + (size > 0 ? 1 + name_length : 0);
    size_t request_size = size > 0 ? size - 1 - name_length : 0;

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    VEK_RIR_FUZZ_EXPECT(fd >= 0);
    if (name_length > 0) {
        struct sockaddr_un me;
        memset(&me, 0, sizeof(me));
        me.sun_family = AF_UNIX;
        size_t n = std::min(name_length, sizeof(me.sun_path) - 1);
        memcpy(me.sun_path + 1, data + 1, n);
        socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + n);
        bind(fd, reinterpret_cast<struct sockaddr *>(&me), length);
    }
    struct sockaddr_un to;
    vek_rir_command_address_build(&to, "%s", "RIR_FUZZ");
    request_size = std::min<size_t>(request_size, 4096);
    if (sendto(fd, request, request_size, 0,
               reinterpret_cast<struct sockaddr *>(&to), sizeof(to)) < 0) {
        close(fd);
        return 0;
    }
    vek_rir_command_server_op_t op;
    if (vek_rir_command_server_recv_request(end, &op, 100) == 1) {
        VEK_RIR_FUZZ_EXPECT(strnlen(op.request, sizeof(op.request)) < sizeof(op.request));
        // Nothing of a datagram that did not arrive whole is left to carry out.
        bool whole = request_size <= sizeof(op.request) &&
                     (request_size < sizeof(op.request) || request[request_size - 1] == 0);
        VEK_RIR_FUZZ_EXPECT(op.request_cut == !whole);
        VEK_RIR_FUZZ_EXPECT(!op.request_cut || op.request[0] == '\0');
        vek_rir_server_timers_t timers = {0, 0, 0, 0};
        bool privileged = vek_rir_server_sender_privileged(op.sender_credentials, op.sender_uid,
                                                           geteuid());
        vek_rir_server_request_carry_out(op.request, privileged, &timers, op.response,
                                         sizeof(op.response));
        VEK_RIR_FUZZ_EXPECT(strnlen(op.response, sizeof(op.response)) < sizeof(op.response));
        vek_rir_command_server_send_reponse(end, &op);
    }
    close(fd);
    return 0;
}
