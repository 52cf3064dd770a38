// The program's main sequence, without windows: the model runs on the main thread, which serves
// the workers' threaded calls until SIGINT, SIGTERM or SIGHUP.

#include <csignal>
#include <exception>
#include <iostream>

#include "base/UDebug.h"
#include "base/UWindows.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarBusinessLogic.h"

namespace {

TMessageLoop* SignalledLoop = nullptr;

extern "C" void QuitOnSignal(int) {
    SignalledLoop->QuitFromSignal();
}

// The signals that end the program the orderly way, pointing the mail programs back at their real
// servers: interrupt, termination, and the hang-up of a logout or a closed terminal.
constexpr int QuitSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The quit signals end the loop's Run while this object lives.
class TQuitOnSignals {
public:
    explicit TQuitOnSignals(TMessageLoop& loop) {
        SignalledLoop = &loop;
        struct sigaction action {};
        action.sa_handler = QuitOnSignal;
        sigemptyset(&action.sa_mask);
        for (int signal : QuitSignals)
            sigaction(signal, &action, nullptr);
    }
    ~TQuitOnSignals() {
        for (int signal : QuitSignals)
            std::signal(signal, SIG_DFL);
    }
    TQuitOnSignals(const TQuitOnSignals&) = delete;
    TQuitOnSignals& operator=(const TQuitOnSignals&) = delete;
};

void Report(const std::exception& error) {
    std::cerr << "tessivar: " << error.what() << std::endl;
    DebugException("main", error);
}

// Stops screening: each redirected mail program account is pointed back at its real server and its
// local server stopped, while this thread still serves the session releases of open connections
// so that their deletions apply. Then the workers' calls are refused, and the model lets go of its
// records (which ends the mailbox checkers without passing them on to a half-emptied model).
void StopScreening(TMessageLoop& loop, TTessivarBusinessLogic& model) {
    // An account whose restore failed is no longer redirected, so each retry goes on with the rest.
    for (int attempt = 0; attempt <= model.AccountCount(); ++attempt) {
        try {
            model.UnprotectAccounts();
            break;
        } catch (const std::exception& error) {
            Report(error);
        }
    }
    loop.BeginShutdown();
    try {
        model.Shutdown();
    } catch (const std::exception& error) {
        Report(error);
    }
}

} // namespace

int main(int argc, char** argv) {
    // A write to a pipe or socket whose reader has gone (the trace piped into a pager the user quit,
    // a peer that hung up) fails with EPIPE instead of ending the program with the mail programs
    // still pointing at its local servers.
    std::signal(SIGPIPE, SIG_IGN);
    SetCommandLine(argc, argv);
    InitializeDebugLog();
    if (!HasParam("headless"))
        std::cerr << "tessivar: windows are not available yet; running without windows." << std::endl;

    TMessageLoop loop;
    loop.SetQuitBeginsShutdown(false);
    TQuitOnSignals signals(loop);
    int exitCode = 0;
    try {
        TTessivarBusinessLogic model(loop);
        try {
            model.AddLogItem("Starting up...", 0);
            model.Startup();
            model.AddLogItem("Startup complete.", 0);
            loop.Run();
        } catch (const std::exception& error) {
            Report(error);
            exitCode = 1;
        }
        StopScreening(loop, model);
    } catch (const std::exception& error) {
        Report(error);
        exitCode = 1;
    }
    return exitCode;
}
