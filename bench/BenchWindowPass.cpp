// The main window on a large model: the median time of one rebuild of its lists, and one mailbox
// checker pass of 1,000 messages of about 20 KB from Dovecot into that model with the main window
// open, side by side with the same pass into the same model without windows (its message loop
// serving the pass, as the windowless program's does). Offscreen; run as root (Dovecot fixture).
//
//   bench_window_pass [emails senders domains messages rounds]   (default 100000 20000 5000 1000 5;
//                                                                 at least 5 rounds, alternating)

#include "bench/BenchDatabase.h"
#include "bench/BenchMailbox.h"
#include "bench/BenchRounds.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "mail/UTessivarPOP3Checker.h"
#include "tests/support/DovecotServer.h"
#include "ui/UTessivarLists.h"
#include "ui/UTessivarPages.h"
#include "ui/UfrmTessivar.h"

#include <QApplication>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>

namespace {

struct TSizes {
    int Emails = 100000;
    int Senders = 20000;
    int Domains = 5000;
};

// A fresh copy of the large model's folder, as the environment of the next model.
std::string FreshHome(const TSizes& sizes) {
    const std::string home = TemporaryDirectory("window-pass-bench");
    ::setenv("TESSIVAR_HOME", home.c_str(), 1);
    ::setenv("TESSIVAR_REGISTRY_DIR", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "config").c_str(), 1);
    BuildBenchDatabase(home, sizes.Emails, sizes.Senders, sizes.Domains);
    return home;
}

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return CpuSeconds(usage);
}

// Wall and processor time of one pass: the processor time of this process (the model's thread and
// the checker's, not the server's) tells the window's own work from waiting on a busy machine.
struct TPassTime {
    double Wall = 0;
    double Cpu = 0;
};

// One pass into the model; `serve` runs the model's thread until the pass is over. Seconds from
// the start of the pass until the server's mailbox is empty and every stored message is listed.
TPassTime TimedPass(TTessivarBusinessLogic& model, TDovecotServer& server, int count,
                    const std::function<void(TTessivarPOP3Checker&)>& serve) {
    TTessivarAccount& account = model.AddAccount("alice@example.test", "alice", "127.0.0.1", server.Port());
    account.SetLogin("alice", "secret");
    const int before = model.EmailCount();
    TTessivarPOP3Checker checker(model, account);
    const auto start = TBenchClock::now();
    const double cpuStart = ProcessCpuSeconds();
    checker.StartCheck();
    serve(checker);
    WaitUntilEmpty(server, "alice");
    const TPassTime time{Seconds(TBenchClock::now() - start), ProcessCpuSeconds() - cpuStart};
    if (model.EmailCount() - before != count)
        throw std::runtime_error("the pass stored " + std::to_string(model.EmailCount() - before) + " messages");
    return time;
}

TPassTime WindowlessPass(const TSizes& sizes, TDovecotServer& server, int count) {
    const std::string home = FreshHome(sizes);
    TPassTime seconds;
    {
        TMessageLoop loop;
        TTessivarBusinessLogic model(loop);
        model.Startup();
        seconds = TimedPass(model, server, count, [&loop](TTessivarPOP3Checker& checker) {
            while (!loop.ServeSentCallsUntil([&] { return !checker.Busy(); }, std::chrono::seconds(600))) {
            }
            loop.ProcessPending();
        });
        model.Shutdown();
    }
    std::filesystem::remove_all(home);
    return seconds;
}

TPassTime WindowPass(const TSizes& sizes, TDovecotServer& server, int count, double& refreshMs, double& fromMs) {
    const std::string home = FreshHome(sizes);
    TPassTime seconds;
    {
        TMessageLoop loop;
        loop.SetQuitBeginsShutdown(false);
        TfrmTessivar window(loop, true, TPageCommands{});
        window.FormCreate();
        window.show();
        window.Pages().SelectAwaitingAuthorization();
        QApplication::processEvents();
        const auto medianRefresh = [&window] {
            std::vector<double> times;
            for (int round = 0; round < 9; ++round) {
                const auto start = TBenchClock::now();
                window.RefreshViews();
                QApplication::processEvents();
                times.push_back(Seconds(TBenchClock::now() - start) * 1000);
            }
            return Median(times);
        };
        refreshMs = medianRefresh();
        seconds = TimedPass(window.Model(), server, count, [&window](TTessivarPOP3Checker& checker) {
            // Qt's event loop serves the pass, as in the program: asleep until an event comes, here
            // at least the poll that checks every 5 ms whether the pass is over and the lists show
            // it all. Spinning instead would take a core from the checker and the server.
            QTimer poll;
            poll.start(5);
            while (checker.Busy() || window.RefreshPending())
                QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            QApplication::processEvents();
        });
        for (TEmailGrid* grid : {&window.Views().AwaitingDelivery(), &window.Views().AwaitingAuthorization(),
                                 &window.Views().BlockedMail()})
            grid->HeaderClicked(TEmailGrid::FromColumn);
        fromMs = medianRefresh();
        window.Stop();
    }
    std::filesystem::remove_all(home);
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    TSizes sizes;
    if (argc > 3) {
        sizes.Emails = std::atoi(argv[1]);
        sizes.Senders = std::atoi(argv[2]);
        sizes.Domains = std::atoi(argv[3]);
    }
    const int count = argc > 4 ? std::atoi(argv[4]) : 1000;
    const int rounds = RoundsArgument(argc > 5 ? argv[5] : nullptr);
    try {
        const std::vector<std::string> messages = MakeBenchMessages(count);
        TDovecotServer server;
        server.AddUser("alice", "secret");
        std::printf("%d emails, %d senders, %d domain names; a pass of %d messages, %d rounds\n", sizes.Emails,
                    sizes.Senders, sizes.Domains, count, rounds);
        TRounds windowless, window, windowlessCpu, windowCpu, refresh, refreshFrom;
        for (int round = 1; round <= rounds; ++round) {
            RefillMailbox(server, "alice", messages);
            const TPassTime alone = WindowlessPass(sizes, server, count);
            windowless.Add(alone.Wall);
            windowlessCpu.Add(alone.Cpu);
            RefillMailbox(server, "alice", messages);
            double refreshMs = 0, fromMs = 0;
            const TPassTime shown = WindowPass(sizes, server, count, refreshMs, fromMs);
            window.Add(shown.Wall);
            windowCpu.Add(shown.Cpu);
            refresh.Add(refreshMs);
            refreshFrom.Add(fromMs);
            std::printf("round %d: pass windowless %.3f s (processor %.3f s), with the window %.3f s (processor "
                        "%.3f s); refresh %.1f ms (mail by \"From\" %.1f ms)\n",
                        round, alone.Wall, alone.Cpu, shown.Wall, shown.Cpu, refreshMs, fromMs);
        }
        std::printf("median of %d rounds: refresh %s (mail by \"From\" %s)\n", rounds,
                    refresh.Summary("ms", 1, 1).c_str(), refreshFrom.Summary("ms", 1, 1).c_str());
        std::printf("pass windowless %s, with the window %s\n", windowless.Summary().c_str(), window.Summary().c_str());
        std::printf("ratio with the window/windowless of each round: %s (goal <= 1.2)\n",
                    TRounds::Ratios(window, windowless).Summary("", 1, 2).c_str());
        std::printf("processor time: windowless %s, with the window %s, ratio %s\n", windowlessCpu.Summary().c_str(),
                    windowCpu.Summary().c_str(), TRounds::Ratios(windowCpu, windowlessCpu).Summary("", 1, 2).c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_window_pass: %s\n", error.what());
        return 1;
    }
    return 0;
}
