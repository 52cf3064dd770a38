// Start-up of the model on a large database: the cleanup and the loading of every record, timed
// against the sqlite3 shell reading the same tables, with the peak memory of a fresh process.
//
//   bench_startup [emails senders domains [rounds]]
//                                                 builds the database in a temporary directory,
//                                                 then measures rounds (at least 5) alternating
//                                                 between the two
//   bench_startup --build DIR [emails senders domains]
//                                                 only builds the database in DIR (for profiling)
//   bench_startup --startup DIR                   one start-up in a fresh process; prints the
//                                                 seconds, the peak kB and the record counts

#include "base/LDates.h"
#include "bench/BenchDatabase.h"
#include "bench/BenchRounds.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCallTarget.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point since) {
    return std::chrono::duration<double>(TClock::now() - since).count();
}

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return CpuSeconds(usage);
}

struct TMeasure {
    double Wall = 0;
    double Cpu = 0;
};

// Runs the sqlite3 shell on the database with its output going to /dev/null; wall and processor
// time of the whole process.
TMeasure RunShell(const std::string& database) {
    const char* statements = "SELECT * FROM Configuration; SELECT * FROM Accounts; SELECT * FROM DomainNames; "
                             "SELECT * FROM EmailAddresses; SELECT * FROM Emails;";
    const auto start = TClock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execlp("sqlite3", "sqlite3", database.c_str(), statements, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the sqlite3 shell failed");
    return {Seconds(start), CpuSeconds(usage)};
}

// Peak resident set of this process in kB.
long PeakKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

int RunStartup(const std::string& directory) {
    ::setenv("TESSIVAR_HOME", directory.c_str(), 1);
    ::setenv("TESSIVAR_REGISTRY_DIR", directory.c_str(), 1);
    TIdleCallTarget target;
    TTessivarBusinessLogic model(target);
    const auto start = TClock::now();
    const double cpuStart = ProcessCpuSeconds();
    model.Startup();
    const double seconds = Seconds(start), cpu = ProcessCpuSeconds() - cpuStart;
    if (model.EmailCount() == 0)
        return 1;
    std::printf("%.6f %.6f %ld %d %d %d\n", seconds, cpu, PeakKilobytes(), model.EmailCount(),
                model.EmailAddressCount(), model.DomainNameCount());
    model.Shutdown();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--startup")
        return RunStartup(std::string(argv[2]) + "/");
    const bool buildOnly = argc > 2 && std::string(argv[1]) == "--build";
    const int first = buildOnly ? 3 : 1;
    const int emails = argc > first ? std::atoi(argv[first]) : 100000;
    const int senders = argc > first + 1 ? std::atoi(argv[first + 1]) : 20000;
    const int domains = argc > first + 2 ? std::atoi(argv[first + 2]) : 5000;
    if (buildOnly) {
        const std::string directory = std::string(argv[2]) + "/";
        std::filesystem::create_directories(directory);
        BuildBenchDatabase(directory, emails, senders, domains);
        return 0;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return 1;
    const std::string directory = pattern + "/";
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    const std::string database = directory + "Tessivar.db";

    auto start = TClock::now();
    BuildBenchDatabase(directory, emails, senders, domains);
    std::printf("database: %d emails, %d senders, %d domain names, built in %.2f s, %.1f MB\n", emails, senders,
                domains, Seconds(start), std::filesystem::file_size(database) / 1e6);

    // One start-up in a fresh process: wall and processor seconds and peak kB, or false.
    const auto startup = [&](double& wall, double& cpu, long& peak) {
        int loaded = 0;
        const std::string result = ShellOutput("'" + self + "' --startup '" + directory + "'");
        if (std::sscanf(result.c_str(), "%lf %lf %ld %d", &wall, &cpu, &peak, &loaded) == 4 && loaded == emails)
            return true;
        std::fprintf(stderr, "start-up failed: %s\n", result.c_str());
        return false;
    };
    // The database is built as an older version left it, without the UIDL column: the first start
    // adds and fills it, once. That start is reported apart from the rounds, which measure every
    // later start.
    double firstWall = 0, firstCpu = 0;
    long firstPeak = 0;
    if (!startup(firstWall, firstCpu, firstPeak))
        return 1;
    std::printf("first start-up (adds and fills the UIDL column, once): %.3f s, peak memory %.1f MB\n", firstWall,
                firstPeak / 1024.0);

    // Rounds alternate between the two so that both see the same load on the machine.
    const int rounds = RoundsArgument(argc > 4 ? argv[4] : nullptr);
    TRounds startupWall, startupCpu, shellWall, shellCpu;
    long peak = 0;
    for (int round = 0; round < rounds; ++round) {
        double wall = 0, cpu = 0;
        long roundPeak = 0;
        if (!startup(wall, cpu, roundPeak))
            return 1;
        startupWall.Add(wall);
        startupCpu.Add(cpu);
        peak = std::max(peak, roundPeak);
        const TMeasure shell = RunShell(database);
        shellWall.Add(shell.Wall);
        shellCpu.Add(shell.Cpu);
        std::printf("round %d: start-up %.3f s (processor %.3f s), sqlite3 shell %.3f s (processor %.3f s)\n",
                    round + 1, wall, cpu, shell.Wall, shell.Cpu);
    }
    std::printf("median of %d rounds: start-up %s, sqlite3 shell %s\n", rounds, startupWall.Summary().c_str(),
                shellWall.Summary().c_str());
    std::printf("ratio of each round: %s (goal <= 1.5)\n",
                TRounds::Ratios(startupWall, shellWall).Summary("", 1, 2).c_str());
    std::printf("processor time: start-up %s, sqlite3 shell %s, ratio %s\n", startupCpu.Summary().c_str(),
                shellCpu.Summary().c_str(), TRounds::Ratios(startupCpu, shellCpu).Summary("", 1, 2).c_str());
    std::printf("peak memory of a start-up process in the rounds: %.1f MB (goal < 100)\n", peak / 1024.0);
    std::filesystem::remove_all(directory);
    return 0;
}
