#include "app/command_line.h"
#include "app/info_option.h"
#include "app/run.h"

int main(int argc, char** argv) {
    CommandLine commandLine;
    scanArguments(argc, argv, commandLine);
    if (commandLine.infoOption != infoNone) return answerInfoOption(commandLine.infoOption);
    return runCommandLine(commandLine);
}
