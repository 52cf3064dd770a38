// The program's main sequence: a set-up command when one is given, otherwise screening without
// windows (app/UHeadless.cpp). Exit status: 0 after a clean stop or a command that succeeded, 1 when
// start-up or a command failed or screening ended on an error (the reason on standard error), 2
// for a usage error.

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "app/UConsole.h"
#include "app/UHeadless.h"
#include "app/USetupCommands.h"
#include "base/UDebug.h"
#include "base/UWindows.h"

int main(int argc, char** argv) {
    OpenMissingStandardDescriptors();
    // A write to a pipe or socket whose reader has gone (the trace piped into a pager the user quit,
    // a peer that hung up) fails with EPIPE instead of ending the program with the mail programs
    // still pointing at its local servers.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + std::max(argc, 1));
    if (const int exitCode = RunCommand(arguments); exitCode >= 0)
        return exitCode;
    SetCommandLine(argc, argv);
    InitializeDebugLog();
    return RunScreening();
}
