// The program's main sequence: a set-up command when one is given, otherwise screening with the tray
// application and its windows (ui/UTessivarApplication.cpp), or without windows (app/UHeadless.cpp)
// with the switch "headless" or when there is no display. Exit status: 0 after a clean stop or a command that succeeded, 1 when
// start-up or a command failed or screening ended on an error (the reason on standard error), 2
// for a usage error.

#include <algorithm>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "app/UConsole.h"
#include "app/UHeadless.h"
#include "app/USetupCommands.h"
#include "base/UDebug.h"
#include "base/UWindows.h"
#include "clients/UThunderbirdWatcher.h"
#include "ui/UTessivarApplication.h"

int main(int argc, char** argv) {
    OpenMissingStandardDescriptors();
    // A write to a pipe or socket whose reader has gone (the trace piped into a pager the user quit,
    // a peer that hung up) fails with EPIPE instead of ending the program with the mail programs
    // still pointing at its local servers.
    std::signal(SIGPIPE, SIG_IGN);
    // A watcher left behind by a stop while Thunderbird ran (clients/UThunderbirdWatcher.h).
    if (argc == 3 && std::string(argv[1]) == ThunderbirdWatchCommand)
        return ThunderbirdWatcherMain(argv[2]);
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + std::max(argc, 1));
    if (const int exitCode = RunCommand(arguments); exitCode >= 0)
        return exitCode;
    SetCommandLine(argc, argv);
    InitializeDebugLog();
    if (HasParam("headless"))
        return RunScreening();
    switch (FindDisplay()) {
    case TDisplay::None:
        std::cerr << "tessivar: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set); running without "
                     "windows."
                  << std::endl;
        return RunScreening();
    case TDisplay::Unreachable:
        std::cerr << "tessivar: the display named in the environment cannot be opened; running without windows."
                  << std::endl;
        return RunScreening();
    default:
        return RunWindows(argc, argv);
    }
}
