#include "app/command_line.h"
#include "app/run.h"

int main(int argc, char** argv) {
    CommandLine commandLine;
    scanArguments(argc, argv, commandLine);
    return runCommandLine(commandLine);
}
