// A real nginx for tests, started inside the test's private network with
// a configuration the test writes: it serves one directory of files on a
// loopback port, single process, everything it writes kept in its own
// directory.
#pragma once

#include <string>
#include <sys/types.h>

struct NginxServer {
    pid_t pid = -1;
    std::string directory;  // configuration, logs and temporary files
    std::string errorLog;
};

// Returns the path of the nginx program, or "" when it is not installed.
std::string findNginx();

// Writes the configuration into directory and starts nginx serving root
// on 127.0.0.1:port (and on [::1]:port and 127.0.0.1:port+1, where /moved,
// /other-port and /to-https redirect to /big.bin on the same port, the next
// port and https://localhost:8443, and /private/ serves root to the login
// build:s3cret alone).
// With a serverName, root is served only to requests whose Host names it, and every other request gets a 404. Returns 1 once
// the port accepts connections, 0 after stopping it again when it did not
// come up within 10 s.
int startNginx(NginxServer& server, const std::string& directory, const std::string& root, unsigned short port,
               const std::string& serverName = "");

// Starts nginx serving root over TLS on 127.0.0.1:port with a leaf of
// the test certificates. Returns as startNginx does.
int startTlsNginx(NginxServer& server, const std::string& directory, const std::string& root, unsigned short port,
                  const std::string& leaf);

// Returns 1 when the network has the IPv6 loopback address ::1.
int loopbackHasIpv6();

// Starts tinyproxy as a web proxy on 127.0.0.1:port, CONNECT allowed to
// 443 and 8443, its configuration and output in directory; stopNginx
// stops it. Returns as startNginx does, 0 also when it is not installed.
int startTinyproxy(NginxServer& server, const std::string& directory, unsigned short port);

// Stops nginx and waits for it.
void stopNginx(NginxServer& server);

// Returns the text of nginx's error log, for failure messages.
std::string nginxErrors(const NginxServer& server);
