// What the two sources of the POSIX stand-in share: the waits and the
// interrupt of platform_posix.cpp, and the body pipe of posix_output.cpp.
#pragma once

// Records errno as the last socket error. Returns -1 for the caller to pass on.
int failWithErrno();

// Runs the interrupt handler when an interrupt is pending.
void runInterruptHandlerIfPending();

// Waits until the socket is ready for events, within the idle limit.
// Returns 0 when ready, -1 on failure or when the limit passed.
int waitForSocket(int socket, short events);

// Notes that the output took bytes: the watchdog waits for it again.
void noteOutputMoving();

// Closes the body pipe and forgets what the output is and how the socket
// was read: with the socket.
void forgetSocketOutput(int socket);
