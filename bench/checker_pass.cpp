// Benchmark: one mailbox checker pass that takes 1,000 messages of about 20 KB off a Dovecot
// mailbox on loopback (retrieve, classify, store durably, delete), side by side with mpop fetching
// the same mailbox from the same server into a maildir. The mailbox is refilled identically before
// each run; both timings end when the server's mailbox is empty again.
//
//     checker_pass [messages] [rounds]      (run as root: the Dovecot fixture needs it)

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

#include "core/UMessageLoop.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCallTarget.h"
#include "mail/UTessivarPOP3Checker.h"
#include "tests/support/DovecotServer.h"

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

// A deterministic message of about 20 KB from one of 50 senders, with some dot-led lines.
std::string MakeMessage(int index) {
    uint32_t seed = 2463534242u + static_cast<uint32_t>(index) * 7919u;
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
    };
    const int sender = index % 50;
    std::string text = "From: Sender " + std::to_string(sender) + " <sender" + std::to_string(sender) + "@domain" +
                       std::to_string(sender % 7) + ".example>\r\n" +
                       "To: alice@example.test\r\nSubject: Benchmark message " + std::to_string(index) +
                       "\r\nDate: Tue, 02 Mar 2004 10:00:00 +0200\r\nMessage-Id: <bench" + std::to_string(index) +
                       "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n";
    static const char Letters[] = "abcdefghijklmnopqrstuvwxyz     ";
    while (text.size() < 20000) {
        std::string line = (next() % 40 == 0) ? "." : "";
        while (line.size() < 76)
            line += Letters[next() % (sizeof Letters - 1)];
        text += line + "\r\n";
    }
    return text;
}

void Refill(TDovecotServer& server, const std::vector<std::string>& messages) {
    for (const std::string& message : messages)
        server.AddMessage("alice", message);
}

void WaitUntilEmpty(TDovecotServer& server) {
    const auto deadline = TClock::now() + std::chrono::seconds(120);
    while (server.MessageCount("alice") != 0) {
        if (TClock::now() > deadline)
            throw std::runtime_error("the mailbox was not emptied");
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

double Seconds(TClock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

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

struct TCheckerTimes {
    double Total = 0;
    double Model = 0;
};

std::string TemporaryDirectory(const char* name) {
    std::string pattern = (fs::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory");
    return pattern + "/";
}

// One pass of the checker into a fresh model.
TCheckerTimes RunChecker(TDovecotServer& server, int expected) {
    const std::string home = TemporaryDirectory("checker-bench");
    ::setenv("TESSIVAR_HOME", home.c_str(), 1);
    ::setenv("TESSIVAR_REGISTRY_DIR", home.c_str(), 1);
    TCheckerTimes times;
    int stored = 0;
    {
        TTimedTarget target;
        TMessageLoop& loop = target.Loop;
        TTessivarBusinessLogic model(target);
        TTessivarAccount& account = model.AddAccount("alice@example.test", "alice", "127.0.0.1", server.Port());
        account.SetLogin("alice", "secret");
        TTessivarPOP3Checker checker(model, account);

        const auto start = TClock::now();
        checker.StartCheck();
        // The model's thread serves the pass's calls as the main window would.
        while (!loop.ServeSentCallsUntil([&] { return !checker.Busy(); }, std::chrono::seconds(600))) {
        }
        loop.ProcessPending();
        WaitUntilEmpty(server);
        times.Total = Seconds(TClock::now() - start);
        times.Model = target.ModelSeconds;
        stored = model.EmailCount();
    }
    fs::remove_all(home);
    if (stored != expected)
        throw std::runtime_error("the checker stored " + std::to_string(stored) + " messages");
    return times;
}

// mpop into a maildir, configured like the checker: plain USER/PASS, no TLS, messages deleted.
double RunMpop(TDovecotServer& server, int expected) {
    const std::string dir = TemporaryDirectory("mpop-bench");
    for (const char* folder : {"cur", "new", "tmp"})
        fs::create_directories(dir + "maildir/" + folder);
    const std::string config = dir + "mpoprc";
    std::ofstream(config) << "defaults\ntls off\nauth user\n\naccount bench\nhost 127.0.0.1\nport " << server.Port()
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
    ::waitpid(child, &status, 0);
    WaitUntilEmpty(server);
    const double seconds = Seconds(TClock::now() - start);

    const auto delivered = std::distance(fs::directory_iterator(dir + "maildir/new"), fs::directory_iterator());
    fs::remove_all(dir);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || delivered != expected)
        throw std::runtime_error("mpop failed (status " + std::to_string(status) + ", " + std::to_string(delivered) +
                                 " delivered)");
    return seconds;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    try {
        std::vector<std::string> messages;
        size_t bytes = 0;
        for (int i = 0; i < count; ++i) {
            messages.push_back(MakeMessage(i));
            bytes += messages.back().size();
        }
        std::printf("%d messages, %.1f KB each on average, %d rounds\n", count, bytes / 1024.0 / count, rounds);

        TDovecotServer server;
        server.AddUser("alice", "secret");
        std::vector<double> checker, model, mpop;
        for (int round = 1; round <= rounds; ++round) {
            Refill(server, messages);
            mpop.push_back(RunMpop(server, count));
            Refill(server, messages);
            const TCheckerTimes times = RunChecker(server, count);
            checker.push_back(times.Total);
            model.push_back(times.Model);
            std::printf("round %d: mpop %.3f s, checker %.3f s (model's thread storing %.3f s)\n", round, mpop.back(),
                        checker.back(), model.back());
        }
        const double mpopTime = Median(mpop), checkerTime = Median(checker);
        std::printf("median: mpop %.3f s, checker %.3f s (model's thread %.3f s), ratio checker/mpop %.2f\n", mpopTime,
                    checkerTime, Median(model), checkerTime / mpopTime);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "checker_pass: %s\n", error.what());
        return 1;
    }
    return 0;
}
