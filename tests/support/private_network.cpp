#include "tests/support/private_network.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int writeFile(const char* path, const char* text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0) return -1;
    ssize_t length = static_cast<ssize_t>(std::strlen(text));
    int ok = write(fd, text, static_cast<size_t>(length)) == length;
    close(fd);
    return ok ? 0 : -1;
}

int bringLoopbackUp() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strcpy(request.ifr_name, "lo");
    int status = ioctl(fd, SIOCGIFFLAGS, &request);
    if (status == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        status = ioctl(fd, SIOCSIFFLAGS, &request);
    }
    close(fd);
    return status;
}

}  // namespace

int enterPrivateNetwork() {
    unsigned uid = getuid();
    unsigned gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "cannot create a private network namespace: %s\n", std::strerror(errno));
        return -1;
    }
    char map[64];
    std::snprintf(map, sizeof map, "0 %u 1", uid);
    writeFile("/proc/self/setgroups", "deny");
    if (writeFile("/proc/self/uid_map", map) != 0) return -1;
    std::snprintf(map, sizeof map, "0 %u 1", gid);
    if (writeFile("/proc/self/gid_map", map) != 0) return -1;
    if (bringLoopbackUp() != 0) {
        std::fprintf(stderr, "cannot bring loopback up: %s\n", std::strerror(errno));
        return -1;
    }
    return 0;
}
