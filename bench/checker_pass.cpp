// Benchmark: one mailbox checker pass that takes 1,000 messages of about 20 KB off a Dovecot
// mailbox on loopback (retrieve, classify, store durably, delete), side by side with mpop fetching
// the same mailbox from the same server into a maildir: over plain POP3, and over POP3S (implicit
// TLS, the certificate of a throw-away authority that both trust). The mailbox is refilled
// identically before each run; all timings end when the server's mailbox is empty again.
//
//     checker_pass [messages] [rounds]      (default 1000 5; at least 5 rounds, mpop and the checker
//                                           alternating; run as root: the Dovecot fixture needs it)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchMailbox.h"
#include "bench/BenchRounds.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCallTarget.h"
#include "mail/UTessivarPOP3Checker.h"
#include "tests/support/DovecotServer.h"
#include "tests/support/TestCertificates.h"

namespace {

namespace fs = std::filesystem;
using TClock = TBenchClock;

// The model's message loop, timing the calls the model's thread runs (storing and classifying).
class TTimedTarget : public IThreadedCallTarget {
public:
    TMessageLoop Loop;
    double ModelSeconds = 0; // model's thread only

    void SetDispatcher(TDispatcher dispatcher) override {
        if (!dispatcher)
            return Loop.SetDispatcher(nullptr);
        Loop.SetDispatcher([this, dispatcher = std::move(dispatcher)](TThreadedCallData& data) {
            const auto start = TClock::now();
            dispatcher(data);
            ModelSeconds += Seconds(TClock::now() - start);
        });
    }
    bool Send(TThreadedCallData& data) override { return Loop.Send(data); }
    void Post(std::unique_ptr<TThreadedCallData> data) override { Loop.Post(std::move(data)); }
    bool ServeSentCallsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) override {
        return Loop.ServeSentCallsUntil(done, timeout);
    }
};

// How a run reaches the mailbox: plain POP3 on the server's plain port, or POP3S.
struct TRoute {
    const char* Name;
    bool TLS;
    int Port;
    std::string TrustFile; // the authority of the server's certificate, with TLS
};

struct TCheckerTimes {
    double Total = 0;
    double Model = 0;
    double Processor = 0; // every thread of the checker and the model, user and system
};

struct TMpopTimes {
    double Total = 0;
    double Processor = 0;
};

double TimevalSeconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

double ProcessorSeconds(const rusage& usage) {
    return TimevalSeconds(usage.ru_utime) + TimevalSeconds(usage.ru_stime);
}

double OwnProcessorSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return ProcessorSeconds(usage);
}

// One pass of the checker into a fresh model.
TCheckerTimes RunChecker(TDovecotServer& server, const TRoute& route, int expected) {
    const std::string home = TemporaryDirectory("checker-bench");
    if (route.TLS)
        fs::copy_file(route.TrustFile, home + std::string(TrustedCertificatesFileName));
    ::setenv("TESSIVAR_HOME", home.c_str(), 1);
    ::setenv("TESSIVAR_REGISTRY_DIR", home.c_str(), 1);
    TCheckerTimes times;
    int stored = 0;
    {
        TTimedTarget target;
        TMessageLoop& loop = target.Loop;
        TTessivarBusinessLogic model(target);
        TTessivarAccount& account = model.AddAccount("alice@example.test", "alice", "localhost", route.Port);
        account.SetLogin("alice", "secret");
        account.SetConnectionSecurity(route.TLS ? TConnectionSecurity::ImplicitTLS : TConnectionSecurity::Plain);
        TTessivarPOP3Checker checker(model, account);

        const double processorStart = OwnProcessorSeconds();
        const auto start = TClock::now();
        checker.StartCheck();
        // The model's thread serves the pass's calls as the main window would.
        while (!loop.ServeSentCallsUntil([&] { return !checker.Busy(); }, std::chrono::seconds(600))) {
        }
        loop.ProcessPending();
        WaitUntilEmpty(server, "alice");
        times.Total = Seconds(TClock::now() - start);
        times.Processor = OwnProcessorSeconds() - processorStart;
        times.Model = target.ModelSeconds;
        stored = model.EmailCount();
    }
    fs::remove_all(home);
    if (stored != expected)
        throw std::runtime_error("the checker stored " + std::to_string(stored) + " messages");
    return times;
}

// mpop into a maildir, configured like the checker: USER/PASS, messages deleted; TLS from the first
// byte trusting the same authority, or no TLS.
TMpopTimes RunMpop(TDovecotServer& server, const TRoute& route, int expected) {
    const std::string dir = TemporaryDirectory("mpop-bench");
    for (const char* folder : {"cur", "new", "tmp"})
        fs::create_directories(dir + "maildir/" + folder);
    const std::string config = dir + "mpoprc";
    const std::string tls = route.TLS ? "tls on\ntls_starttls off\ntls_trust_file " + route.TrustFile : "tls off";
    std::ofstream(config) << "defaults\n"
                          << tls << "\nauth user\n\naccount bench\nhost localhost\nport " << route.Port
                          << "\nuser alice\npassword secret\ndelivery maildir " << dir << "maildir\nkeep off\n"
                          << "uidls_file " << dir << "uidls\n";
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);

    const auto start = TClock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::execlp("mpop", "mpop", "--quiet", "-C", config.c_str(), "bench", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    WaitUntilEmpty(server, "alice");
    const TMpopTimes times{Seconds(TClock::now() - start), ProcessorSeconds(usage)};

    const auto delivered = std::distance(fs::directory_iterator(dir + "maildir/new"), fs::directory_iterator());
    fs::remove_all(dir);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || delivered != expected)
        throw std::runtime_error("mpop failed (status " + std::to_string(status) + ", " + std::to_string(delivered) +
                                 " delivered)");
    return times;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = RoundsArgument(argc > 2 ? argv[2] : nullptr);
    try {
        const std::vector<std::string> messages = MakeBenchMessages(count);
        size_t bytes = 0;
        for (const std::string& message : messages)
            bytes += message.size();
        std::printf("%d messages, %.1f KB each on average, %d rounds\n", count, bytes / 1024.0 / count, rounds);

        TTestCertificates certificates;
        const TTestCertificate certificate = certificates.Issue("server", "localhost");
        TDovecotServer server(TDovecotTLS{certificate.CertificateFile, certificate.KeyFile});
        server.AddUser("alice", "secret");
        const TRoute routes[] = {{"plain POP3", false, server.Port(), ""},
                                 {"POP3S", true, server.POP3SPort(), certificates.AuthorityFile()}};
        for (const TRoute& route : routes) {
            TRounds checker, model, mpop, checkerProcessor, mpopProcessor;
            for (int round = 1; round <= rounds; ++round) {
                RefillMailbox(server, "alice", messages);
                const TMpopTimes mpopTimes = RunMpop(server, route, count);
                mpop.Add(mpopTimes.Total);
                mpopProcessor.Add(mpopTimes.Processor);
                RefillMailbox(server, "alice", messages);
                const TCheckerTimes times = RunChecker(server, route, count);
                checker.Add(times.Total);
                model.Add(times.Model);
                checkerProcessor.Add(times.Processor);
                std::printf("%s round %d: mpop %.3f s (processor %.3f s), checker %.3f s (processor %.3f s, model's "
                            "thread storing %.3f s)\n",
                            route.Name, round, mpop.Last(), mpopProcessor.Last(), checker.Last(),
                            checkerProcessor.Last(), model.Last());
            }
            std::printf("%s median of %d rounds: mpop %s, checker %s (model's thread %s)\n", route.Name, rounds,
                        mpop.Summary().c_str(), checker.Summary().c_str(), model.Summary().c_str());
            std::printf("%s ratio checker/mpop of each round: %s\n", route.Name,
                        TRounds::Ratios(checker, mpop).Summary("", 1, 2).c_str());
            std::printf("%s processor time: mpop %s, checker %s, ratio %s\n", route.Name,
                        mpopProcessor.Summary().c_str(), checkerProcessor.Summary().c_str(),
                        TRounds::Ratios(checkerProcessor, mpopProcessor).Summary("", 1, 2).c_str());
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "checker_pass: %s\n", error.what());
        return 1;
    }
    return 0;
}
