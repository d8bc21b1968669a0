#include "tests/real_server/nginx_server.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/run_program.h"
#include "tests/support/test_certificates.h"

namespace {

// The server blocks: one that serves root, or, for a name-based virtual
// host, a default one that answers 404 and one for the name that serves root.
// The plain one also listens on [::1] where the network has IPv6, and on
// the next port, the target of a redirect to another port; /private/ asks
// for the login in the directory's htpasswd.
std::string serverBlocks(const std::string& directory, const std::string& root, unsigned short port,
                         const std::string& serverName) {
    std::string listen = "    listen 127.0.0.1:" + std::to_string(port);
    std::string nextPort = std::to_string(port + 1);
    std::string ipv6 = loopbackHasIpv6() ? "    listen [::1]:" + std::to_string(port) + ";\n" : "";
    if (serverName.empty()) {
        return "  server {\n" + listen + ";\n    listen 127.0.0.1:" + nextPort + ";\n" + ipv6 + "    root " + root +
               ";\n    location = /moved { return 301 /big.bin; }\n"
               "    location = /other-port { return 302 http://127.0.0.1:" + nextPort + "/big.bin; }\n"
               "    location = /to-https { return 301 https://localhost:8443/big.bin; }\n"
               "    location /private/ { auth_basic private; auth_basic_user_file " + directory + "htpasswd; alias " +
               root + "/; }\n  }\n";
    }
    return "  server {\n" + listen + " default_server;\n    return 404;\n  }\n"
           "  server {\n" + listen + ";\n    server_name " + serverName + ";\n    root " + root + ";\n  }\n";
}

// daemon off and master_process off keep nginx one child process of the
// test; user root: inside the private namespace only root is mapped.
std::string configurationText(const std::string& directory, const std::string& blocks) {
    const std::string& d = directory;
    return "daemon off;\n"
           "master_process off;\n"
           "user root root;\n"
           "worker_processes 1;\n"
           "pid " + d + "nginx.pid;\n"
           "error_log " + d + "error.log warn;\n"
           "events { worker_connections 64; }\n"
           "http {\n"
           "  access_log off;\n"
           "  client_body_temp_path " + d + "client_body;\n"
           "  proxy_temp_path " + d + "proxy;\n"
           "  fastcgi_temp_path " + d + "fastcgi;\n"
           "  uwsgi_temp_path " + d + "uwsgi;\n"
           "  scgi_temp_path " + d + "scgi;\n"
           "  sendfile on;\n"
           "  default_type application/octet-stream;\n" +
           blocks +
           "}\n";
}

// A server block that serves root over TLS with a leaf of the test certificates.
std::string tlsServerBlock(const std::string& root, unsigned short port, const std::string& leaf) {
    std::string files = testCertificateDirectory() + leaf;
    return "  server {\n    listen 127.0.0.1:" + std::to_string(port) + " ssl;\n    ssl_certificate " + files +
           ".pem;\n    ssl_certificate_key " + files + ".key;\n    root " + root + ";\n  }\n";
}


// Returns 1 once the port accepts a connection, 0 when the process ended
// or the time ran out.
int waitUntilListening(pid_t process, unsigned short port) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int probe = connectToLoopback(port);
        if (probe >= 0) {
            close(probe);
            return 1;
        }
        if (waitpid(process, nullptr, WNOHANG) == process) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

// Writes the configuration with the blocks and starts nginx. Returns 1
// once the port accepts connections, 0 after stopping it again.
int startWithBlocks(NginxServer& server, const std::string& directory, unsigned short port, const std::string& blocks) {
    server.directory = directory;
    server.errorLog = directory + "error.log";
    std::string configuration = directory + "nginx.conf";
    if (!writeFileBytes(configuration, configurationText(directory, blocks))) return 0;
    server.pid = startInBackground({findNginx(), "-c", configuration, "-p", directory, "-e", server.errorLog},
                                   directory + "nginx.stderr");
    if (server.pid > 0 && waitUntilListening(server.pid, port)) return 1;
    stopNginx(server);
    return 0;
}

}  // namespace

int loopbackHasIpv6() {
    int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return 0;
    sockaddr_in6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    int bound = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return bound;
}

std::string findNginx() {
    for (const char* candidate : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"}) {
        if (access(candidate, X_OK) == 0) return candidate;
    }
    return "";
}

int startNginx(NginxServer& server, const std::string& directory, const std::string& root, unsigned short port,
               const std::string& serverName) {
    if (!writeFileBytes(directory + "htpasswd", "build:{PLAIN}s3cret\n")) return 0;
    return startWithBlocks(server, directory, port, serverBlocks(directory, root, port, serverName));
}

int startTlsNginx(NginxServer& server, const std::string& directory, const std::string& root, unsigned short port,
                  const std::string& leaf) {
    return startWithBlocks(server, directory, port, tlsServerBlock(root, port, leaf));
}

int startTinyproxy(NginxServer& server, const std::string& directory, unsigned short port) {
    server.directory = directory;
    server.errorLog = directory + "tinyproxy.stderr";
    std::string configuration = directory + "tinyproxy.conf";
    std::string text = "Port " + std::to_string(port) + "\nListen 127.0.0.1\nTimeout 60\nMaxClients 16\n"
                       "ConnectPort 443\nConnectPort 8443\n";
    if (access("/usr/bin/tinyproxy", X_OK) != 0 || !writeFileBytes(configuration, text)) return 0;
    server.pid = startInBackground({"/usr/bin/tinyproxy", "-d", "-c", configuration}, server.errorLog);
    if (server.pid > 0 && waitUntilListening(server.pid, port)) return 1;
    stopNginx(server);
    return 0;
}

void stopNginx(NginxServer& server) {
    if (server.pid <= 0) return;
    kill(server.pid, SIGTERM);
    waitpid(server.pid, nullptr, 0);
    server.pid = -1;
}

std::string nginxErrors(const NginxServer& server) {
    std::string text;
    readFileBytes(server.errorLog, text);
    return text;
}
