/* A node's system-log collector for the two-node setup: binds a datagram socket at the given
 * path (the node's private /dev/log) and appends every datagram it receives to the given file,
 * one per line, flushed at once so that a test can read the file while the node runs. Ends on
 * SIGTERM. */
#define _GNU_SOURCE
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: vek_rir_log_sink socket_path out_file\n");
        return 2;
    }
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (strlen(argv[1]) >= sizeof(address.sun_path)) {
        fprintf(stderr, "vek_rir_log_sink: socket path too long\n");
        return 2;
    }
    strcpy(address.sun_path, argv[1]);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unlink(argv[1]);
    if (fd < 0 || bind(fd, (struct sockaddr *)&address, sizeof(address)) != 0) {
        perror("vek_rir_log_sink: bind");
        return 1;
    }
    FILE *out = fopen(argv[2], "a");
    if (out == NULL) {
        perror("vek_rir_log_sink: open");
        return 1;
    }
    char datagram[8192];
    for (;;) {
        ssize_t got = recv(fd, datagram, sizeof(datagram), 0);
        if (got <= 0)
            continue;
        size_t length = (size_t)got;
        while (length > 0 && (datagram[length - 1] == '\n' || datagram[length - 1] == '\0'))
            length--;
        fwrite(datagram, 1, length, out);
        fputc('\n', out);
        fflush(out);
    }
}
