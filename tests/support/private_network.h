// Puts the test process into a network namespace of its own with only
// loopback up, so servers may bind port 80 and nothing leaves the machine.
#pragma once

#include <string>

// Returns 0 on success, -1 with a message on standard error otherwise.
// Must be called while the process has a single thread.
int enterPrivateNetwork();

// Gives the process a mount namespace of its own in which the file at
// path stands in place of /etc/hosts, for it and the programs it starts.
// Returns 0, or -1 where the system does not allow it.
int placeHostsFile(const std::string& path);

// A name server inside the private network that takes queries and never
// answers, at the first IPv4 address the resolver configuration names:
// lookups of names outside the hosts file then wait for the resolver's
// own timeout. The machine's configuration is only read.
struct SilentNameServer {
    int socket = -1;
    int addedAddress = 0;  // loopback carries the address for it
};

// Returns 1 when it runs, 0 with the reason in why otherwise.
int startSilentNameServer(SilentNameServer& server, std::string& why);

// Closes it and takes the address it needed off loopback again.
void stopSilentNameServer(SilentNameServer& server);
