#include "tests/support/private_network.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <arpa/inet.h>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <sstream>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
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

// The loopback alias that carries a name server address outside 127/8.
const char kNameServerAlias[] = "lo:53";

// Returns the first IPv4 name server of the resolver configuration, or "".
std::string firstNameServer() {
    std::ifstream configuration("/etc/resolv.conf");
    std::string line;
    while (std::getline(configuration, line)) {
        std::istringstream words(line);
        std::string keyword, address;
        in_addr parsed;
        if (words >> keyword >> address && keyword == "nameserver" && inet_pton(AF_INET, address.c_str(), &parsed) == 1) {
            return address;
        }
    }
    return "";
}

// Sets or clears the address of the loopback alias. Returns the ioctl's result.
int setAliasAddress(const in_addr& address, bool up) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strcpy(request.ifr_name, kNameServerAlias);
    int status = 0;
    if (up) {
        sockaddr_in* place = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
        place->sin_family = AF_INET;
        place->sin_addr = address;
        status = ioctl(fd, SIOCSIFADDR, &request);
    } else {
        status = ioctl(fd, SIOCGIFFLAGS, &request);
        request.ifr_flags = static_cast<short>(request.ifr_flags & ~IFF_UP);
        if (status == 0) status = ioctl(fd, SIOCSIFFLAGS, &request);
    }
    close(fd);
    return status;
}

}  // namespace

int startSilentNameServer(SilentNameServer& server, std::string& why) {
    std::string address = firstNameServer();
    if (address.empty()) {
        why = "no IPv4 name server in /etc/resolv.conf";
        return 0;
    }
    sockaddr_in place;
    std::memset(&place, 0, sizeof place);
    place.sin_family = AF_INET;
    place.sin_port = htons(53);
    inet_pton(AF_INET, address.c_str(), &place.sin_addr);
    bool onLoopback = (ntohl(place.sin_addr.s_addr) >> 24) == 127;
    if (!onLoopback) {
        if (setAliasAddress(place.sin_addr, true) != 0) {
            why = "cannot put " + address + " on loopback: " + std::strerror(errno);
            return 0;
        }
        server.addedAddress = 1;
    }
    server.socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (server.socket < 0 || bind(server.socket, reinterpret_cast<sockaddr*>(&place), sizeof place) != 0) {
        why = "cannot listen on " + address + ":53: " + std::strerror(errno);
        stopSilentNameServer(server);
        return 0;
    }
    return 1;
}

void stopSilentNameServer(SilentNameServer& server) {
    if (server.socket >= 0) close(server.socket);
    server.socket = -1;
    if (server.addedAddress) setAliasAddress(in_addr(), false);
    server.addedAddress = 0;
}

int placeHostsFile(const std::string& path) {
    if (unshare(CLONE_NEWNS) != 0) return -1;
    // Nothing done in this namespace may reach the machine's.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return -1;
    return mount(path.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr);
}

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
