// Notifications to the service manager: one datagram per message to the socket the manager
// names in NOTIFY_SOCKET (a path, or an abstract name written with a leading '@'), as its
// documented notify protocol has it, so that the server needs no library of the manager's.
// READY=1 once the live log exists and the server's name is bound, STATUS= with the health in
// one line after every pass that ran duties, WATCHDOG=1 from the server thread's loop when the
// manager asked for it, STOPPING=1 at the stop. Without NOTIFY_SOCKET nothing is ever sent, and
// a manager that does not listen costs one failed send, never a wait. Owns the socket's address.

#include "vek_rir/vek_rir_int.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct notify_target_t {
    bool on;
    bool watchdog;
    struct sockaddr_un address;
    socklen_t address_size;
    uint64_t t_last_watchdog;
    bool watchdog_sent;
};
// Set by the starting thread before the server thread exists, read by both afterwards; the
// server thread alone updates the watchdog's time.
notify_target_t target;

} // namespace

void vek_rir_notify_init()
{
    memset(&target, 0, sizeof(target));
    const char *socket_name = getenv("NOTIFY_SOCKET");
    if (socket_name == nullptr)
        return;
    size_t length = strlen(socket_name);
    // Only an absolute path or an abstract name; anything else is not the manager's.
    if (length < 2 || length >= sizeof(target.address.sun_path) ||
        (socket_name[0] != '/' && socket_name[0] != '@')) {
        unsetenv("NOTIFY_SOCKET");
        return;
    }
    target.address.sun_family = AF_UNIX;
    memcpy(target.address.sun_path, socket_name, length);
    if (socket_name[0] == '@')
        target.address.sun_path[0] = '\0';
    target.address_size =
        static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length +
                               (socket_name[0] == '@' ? 0 : 1));
    target.on = true;
    // The watchdog is meant for this process only when the manager named it, or named none.
    const char *usec = getenv("WATCHDOG_USEC");
    const char *pid = getenv("WATCHDOG_PID");
    target.watchdog = usec != nullptr && strtoull(usec, nullptr, 10) > 0 &&
                      (pid == nullptr || strtol(pid, nullptr, 10) == static_cast<long>(getpid()));
    unsetenv("NOTIFY_SOCKET");
}

int vek_rir_notify_send(const char *text)
{
    if (!target.on)
        return 0;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    VEK_RIR_ASSERT(fd >= 0);
    ssize_t sent = sendto(fd, text, strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT,
                          reinterpret_cast<const struct sockaddr *>(&target.address),
                          target.address_size);
    int rc = close(fd);
    VEK_RIR_ASSERT(rc == 0);
    return sent == static_cast<ssize_t>(strlen(text)) ? 0 : 1;
}

void vek_rir_notify_watchdog()
{
    if (!target.on || !target.watchdog)
        return;
    // A pass lasts at most about a second when idle and less under requests; one beat per
    // second is plenty for any watchdog interval a unit can sensibly set.
    uint64_t now = vek_rir_util_monotime_secs();
    if (target.watchdog_sent && now == target.t_last_watchdog)
        return;
    target.watchdog_sent = true;
    target.t_last_watchdog = now;
    vek_rir_notify_send("WATCHDOG=1");
}

void vek_rir_notify_end()
{
    target.on = false;
}
