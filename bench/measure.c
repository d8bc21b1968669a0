/* Runs one command and reports its wall time, CPU time and peak memory:
 *
 *   measure [-e FILE|-t] -- PROGRAM ARGUMENT...
 *
 * -e FILE  standard error of the command goes to FILE (default /dev/null)
 * -t       standard error of the command is a pseudo-terminal, read and
 *          thrown away here as a terminal would show it
 * Standard output of the command goes to /dev/null, standard input comes
 * from /dev/null. Prints one line: wall seconds, user seconds, system
 * seconds, peak resident set in KiB, exit status (-1 when killed).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timespec t) { return (double)t.tv_sec + (double)t.tv_nsec / 1e9; }

static double cpuSeconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

/* Opens a pseudo-terminal; returns the main side, stores the other's name. */
static int openTerminal(char* name, size_t size) {
    int main = posix_openpt(O_RDWR | O_NOCTTY);
    if (main < 0 || grantpt(main) != 0 || unlockpt(main) != 0) return -1;
    if (ptsname_r(main, name, size) != 0) return -1;
    return main;
}

static void startChild(char** command, const char* errorFile, const char* terminalName) {
    int input = open("/dev/null", O_RDONLY);
    int output = open("/dev/null", O_WRONLY);
    int error;
    if (terminalName != NULL) {
        setsid();
        error = open(terminalName, O_RDWR);
    } else {
        error = open(errorFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (input < 0 || output < 0 || error < 0) _exit(126);
    dup2(input, 0);
    dup2(output, 1);
    dup2(error, 2);
    execvp(command[0], command);
    _exit(127);
}

/* Reads the terminal until the command closed its side. */
static void drainTerminal(int main) {
    char block[65536];
    for (;;) {
        ssize_t count = read(main, block, sizeof block);
        if (count > 0) continue;
        if (count < 0 && errno == EINTR) continue;
        return; /* EIO once no process holds the other side */
    }
}

int main(int argc, char** argv) {
    const char* errorFile = "/dev/null";
    int useTerminal = 0;
    int option;
    while ((option = getopt(argc, argv, "+e:t")) != -1) {
        if (option == 'e') errorFile = optarg;
        else if (option == 't') useTerminal = 1;
        else return 2;
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: measure [-e FILE|-t] -- PROGRAM ARGUMENT...\n");
        return 2;
    }
    char terminalName[128];
    int main = -1;
    if (useTerminal && (main = openTerminal(terminalName, sizeof terminalName)) < 0) {
        perror("posix_openpt");
        return 1;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) startChild(argv + optind, errorFile, useTerminal ? terminalName : NULL);
    if (useTerminal) drainTerminal(main);
    int status = 0;
    struct rusage usage;
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    printf("%.6f %.6f %.6f %ld %d\n", seconds(end) - seconds(start), cpuSeconds(usage.ru_utime),
           cpuSeconds(usage.ru_stime), usage.ru_maxrss, exitStatus);
    return 0;
}
