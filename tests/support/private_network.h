// Puts the test process into a network namespace of its own with only
// loopback up, so servers may bind port 80 and nothing leaves the machine.
#pragma once

// Returns 0 on success, -1 with a message on standard error otherwise.
// Must be called while the process has a single thread.
int enterPrivateNetwork();
