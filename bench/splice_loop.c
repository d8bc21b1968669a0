/* The floor webhaul's plain http is measured against: one HTTP/1.0 GET,
 * then the body moved from the socket through a pipe into the output with
 * splice and nothing else, no checks, no progress, no retries.
 *
 *   splice_loop ADDRESS PORT PATH OUTPUT [PIPE_BYTES]
 *
 * ADDRESS is a dotted IPv4 address. The pipe is enlarged to PIPE_BYTES
 * (default 1 MiB, the most an unprivileged process gets unless the system
 * says otherwise), or left as it is where that is refused. Body bytes that
 * came with the header section are written first. Exits 0 once the server
 * closed the connection, 1 on any failure.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int fail(const char* call) {
    perror(call);
    return 1;
}

static int connectTo(const char* address, int port) {
    struct sockaddr_in target;
    memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, address, &target.sin_addr) != 1) return -1;
    int socketFd = socket(AF_INET, SOCK_STREAM, 0);
    if (socketFd < 0 || connect(socketFd, (struct sockaddr*)&target, sizeof target) != 0) return -1;
    return socketFd;
}

/* Reads until the header section ended; writes the body bytes after it. */
static int skipHeaders(int socketFd, int output) {
    char block[16384];
    size_t held = 0;
    for (;;) {
        ssize_t got = recv(socketFd, block + held, sizeof block - held - 1, 0);
        if (got <= 0) return -1;
        held += (size_t)got;
        block[held] = '\0';
        char* end = strstr(block, "\r\n\r\n");
        if (end != NULL) {
            size_t body = held - (size_t)(end + 4 - block);
            return body == 0 || write(output, end + 4, body) == (ssize_t)body ? 0 : -1;
        }
        if (held == sizeof block - 1) return -1;
    }
}

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: splice_loop ADDRESS PORT PATH OUTPUT [PIPE_BYTES]\n");
        return 2;
    }
    int pipeBytes = argc > 5 ? atoi(argv[5]) : 1024 * 1024;
    int socketFd = connectTo(argv[1], atoi(argv[2]));
    if (socketFd < 0) return fail("connect");
    char request[1024];
    int length = snprintf(request, sizeof request, "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n", argv[3], argv[1]);
    if (length < 0 || (size_t)length >= sizeof request || send(socketFd, request, (size_t)length, 0) != length) {
        return fail("send");
    }
    int output = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (output < 0) return fail("open");
    if (skipHeaders(socketFd, output) != 0) return fail("recv");
    int ends[2];
    if (pipe(ends) != 0) return fail("pipe");
    int size = fcntl(ends[1], F_SETPIPE_SZ, pipeBytes);
    if (size <= 0) size = fcntl(ends[1], F_GETPIPE_SZ);
    for (;;) {
        ssize_t moved = splice(socketFd, NULL, ends[1], NULL, (size_t)size, SPLICE_F_MOVE);
        if (moved == 0) break;
        if (moved < 0) return fail("splice");
        while (moved > 0) {
            ssize_t put = splice(ends[0], NULL, output, NULL, (size_t)moved, SPLICE_F_MOVE);
            if (put <= 0) return fail("splice");
            moved -= put;
        }
    }
    return close(output) == 0 ? 0 : fail("close");
}
