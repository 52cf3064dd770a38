// A first synchronisation: the answer to a "Synchronize" request sent with ClientDataVersion 0
// brings every domain name and sender of the web account into an empty model. Measured from the
// moment the answer is handed to the model's thread (as the service worker hands it over) until the
// model logs "Server synchronization complete.", against the sqlite3 shell inserting the rows that
// the merge stored into a fresh database of the same schema, in one transaction.
//
//   bench_first_sync [senders domains [rounds]]
//                                            default 20000 5000 5; rounds (at least 5) alternate
//                                            between the two
//   bench_first_sync --apply DIR senders domains
//                                            one synchronisation in a fresh process with an empty
//                                            model in DIR; prints the seconds to the log item, the
//                                            seconds until the call returned, the processor
//                                            seconds and the record counts

#include "bench/BenchDatabase.h"
#include "bench/BenchRounds.h"
#include "core/UMessageLoop.h"
#include "core/USQLite.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarLogItem.h"
#include "core/UTessivarSchema.h"
#include "service/UTessivarServer.h"
#include "service/UXML.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

const char* const CompleteText = "Server synchronization complete.";

double Seconds(TClock::time_point since, TClock::time_point until = TClock::now()) {
    return std::chrono::duration<double>(until - since).count();
}

double ThreadCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return CpuSeconds(usage);
}

const char* const ApprovalTexts[] = {"Approved", "Blocked", "Undefined"};
const char* const AuthenticationTexts[] = {"Imported", "Pending", "Authenticated", "Undefined"};

std::string DomainName(int index) {
    return "domain" + std::to_string(index) + (index % 3 == 0 ? ".example.com" : ".example.org");
}

// The body element of the service's answer, SynchronizeResponse/SynchronizeResult, written out and
// parsed back as the worker does with the text it receives.
std::unique_ptr<TXMLNode> BuildAnswer(int senders, int domains) {
    TXMLNode response("SynchronizeResponse");
    response.Attributes().Add("xmlns", ServiceNamespace);
    TXMLNode& result = response.Child("SynchronizeResult");
    result.Child("DataVersion").SetAsInteger(48213);
    result.Child("AccountStatus").SetText("Active");
    result.Child("SoftwareVersion").SetText("01.02.0000");

    TXMLNode& domainList = result.Child("DomainNameStatuses");
    for (int i = 0; i < domains; ++i) {
        TXMLNode& status = domainList.Children().Add("DomainNameStatus");
        status.Child("DomainName").SetText(DomainName(i));
        status.Child("ApprovalStatus").SetText(ApprovalTexts[i % 3]);
        status.Child("Notes").SetText(i % 7 == 0 ? "Suppliers & partners" : "");
        status.Child("Deleted").SetAsBoolean(false);
    }
    TXMLNode& senderList = result.Child("EmailAddressStatuses");
    for (int i = 0; i < senders; ++i) {
        TXMLNode& status = senderList.Children().Add("EmailAddressStatus");
        status.Child("EmailAddress").SetText("sender" + std::to_string(i) + "@" + DomainName(i % domains));
        status.Child("DisplayName")
            .SetText(i % 5 == 0 ? "O'Brien \"Ren\xC3\xA9\" " + std::to_string(i) : "Sender " + std::to_string(i));
        status.Child("ApprovalStatus").SetText(ApprovalTexts[i % 3]);
        status.Child("AuthenticationStatus").SetText(AuthenticationTexts[i % 4]);
        status.Child("Notes").SetText(i % 11 == 0 ? "Met at the fair <booth 12>" : "");
        status.Child("Deleted").SetAsBoolean(i % 97 == 0);
    }
    return TXMLNode::ParseString(response.AsXML());
}

// One synchronisation in this process, on this thread as the model's thread, with a message loop as
// the owner window.
int RunApply(const std::string& directory, int senders, int domains) {
    ::setenv("TESSIVAR_HOME", directory.c_str(), 1);
    ::setenv("TESSIVAR_REGISTRY_DIR", directory.c_str(), 1);
    ::setenv("HOME", directory.c_str(), 1); // no mail program profile of the user is read
    // Nothing is sent; should anything try, it finds nobody on the discard port.
    ::setenv(ServiceHostVariable, "127.0.0.1:9", 1);

    TMessageLoop loop;
    TTessivarBusinessLogic model(loop);
    model.Load();
    model.SetUsername("first.sync@example.test");
    model.SetPassword("bench-password");
    if (model.SetupRequired() || model.DataVersion() != 0 || model.DomainNameCount() != 0 ||
        model.EmailAddressCount() != 0) {
        std::fprintf(stderr, "the model is not empty with a web account set up\n");
        return 1;
    }

    std::unique_ptr<TTessivarServerRequest> request = model.Server().CreateRequest(
        "Synchronize", [&model](TTessivarServerRequest& done) { model.ApplySynchronization(done); });
    request->ArgumentNode().Child("ClientDataVersion").SetAsInteger(model.DataVersion());
    request->SetResultRoot(BuildAnswer(senders, domains));

    bool logged = false, failed = false;
    TClock::time_point loggedAt;
    double loggedCpu = 0;
    model.OnLogItem = [&](TTessivarLogItem& item) {
        if (item.Details() == CompleteText) {
            loggedAt = TClock::now();
            loggedCpu = ThreadCpuSeconds();
            logged = true;
        } else if (item.Kind() != 0) {
            failed = true;
        }
    };

    const double cpuStart = ThreadCpuSeconds();
    const auto start = TClock::now();
    loop.Post(std::move(request));
    loop.RunUntil([&] { return logged || failed; });
    // The loop frees the request once its handler has returned.
    const double returned = Seconds(start);
    if (!logged) {
        std::fprintf(stderr, "the synchronisation failed\n");
        return 1;
    }
    std::printf("%.6f %.6f %.6f %d %d\n", Seconds(start, loggedAt), returned, loggedCpu - cpuStart,
                model.DomainNameCount(), model.EmailAddressCount());
    model.Shutdown();
    return 0;
}

// The script inserting every row of the tables as the merge left them, in one transaction.
std::string InsertScript(const std::string& database) {
    TSQLite db(database);
    db.Open();
    std::string script = "BEGIN;\n";
    for (const char* table : {"DomainNames", "EmailAddresses"}) {
        TSQLiteResultSet rows;
        db.Query(std::string("SELECT * FROM ") + table + " ORDER BY ID", &rows);
        std::string columns;
        for (unsigned column = 0; column < rows.FieldCount(); ++column)
            columns += (column ? "," : "") + rows.FieldNames()[column];
        for (; !rows.Eof(); rows.Next()) {
            script += std::string("INSERT INTO ") + table + "(" + columns + ") VALUES(";
            for (unsigned column = 0; column < rows.FieldCount(); ++column)
                script += (column ? "," : "") + QuotedSQL(rows.Value(rows.Cursor(), column));
            script += ");\n";
        }
    }
    return script + "COMMIT;\n";
}

// Every value of the table, in ID order, with the type SQLite stored it as.
std::string TableContents(const std::string& database, const std::string& table) {
    TSQLite db(database);
    db.Open();
    TSQLiteResultSet rows;
    db.Query("SELECT * FROM " + table + " ORDER BY ID", &rows);
    std::string names, contents;
    for (unsigned column = 0; column < rows.FieldCount(); ++column)
        names += (column ? ", typeof(" : "typeof(") + rows.FieldNames()[column] + ")";
    TSQLiteResultSet types;
    db.Query("SELECT " + names + " FROM " + table + " ORDER BY ID", &types);
    for (; !rows.Eof(); rows.Next(), types.Next())
        for (unsigned column = 0; column < rows.FieldCount(); ++column)
            contents += types.Value(types.Cursor(), column) + ":" + rows.Value(rows.Cursor(), column) + "\n";
    return contents;
}

int CountRows(const std::string& database, const std::string& table) {
    TSQLite db(database);
    db.Open();
    return db.SingletonQuery("SELECT COUNT(*) FROM " + table);
}

struct TMeasure {
    double Wall = 0;
    double Cpu = 0;
};

// A fresh database of the program's schema, then the sqlite3 shell reading the script from its
// standard input; wall and processor time of the shell's whole process.
TMeasure RunShell(const std::string& directory, const std::string& scriptFile) {
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    const std::string database = directory + "Tessivar.db";
    {
        TSQLite db(database);
        db.CreateIfMissing = true;
        db.OnCreate = CreateTessivarSchema;
        db.Open();
    }
    const auto start = TClock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int script = ::open(scriptFile.c_str(), O_RDONLY);
        const int null = ::open("/dev/null", O_WRONLY);
        if (script < 0 || null < 0)
            ::_exit(126);
        ::dup2(script, 0);
        ::dup2(null, 1);
        ::execlp("sqlite3", "sqlite3", "-bail", database.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the sqlite3 shell failed");
    return {Seconds(start), CpuSeconds(usage)};
}

int Benchmark(int senders, int domains, int rounds) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return 1;
    const std::string base = pattern + "/";
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    const std::string modelDirectory = base + "model/", shellDirectory = base + "shell/";
    const std::string scriptFile = base + "rows.sql";

    std::printf("first synchronisation of %d senders and %d domain names into an empty model\n", senders, domains);
    TRounds applyWall, applyReturned, applyCpu, shellWall, shellCpu;
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::remove_all(modelDirectory);
        std::filesystem::create_directories(modelDirectory);
        double wall = 0, returned = 0, cpu = 0;
        int domainCount = 0, senderCount = 0;
        const std::string result = ShellOutput("'" + self + "' --apply '" + modelDirectory + "' " +
                                               std::to_string(senders) + " " + std::to_string(domains));
        if (std::sscanf(result.c_str(), "%lf %lf %lf %d %d", &wall, &returned, &cpu, &domainCount, &senderCount) != 5 ||
            domainCount != domains || senderCount != senders) {
            std::fprintf(stderr, "synchronisation failed: %s\n", result.c_str());
            return 1;
        }
        // The shell inserts what the first merge stored, row for row.
        if (round == 0) {
            std::ofstream(scriptFile) << InsertScript(modelDirectory + "Tessivar.db");
            std::printf("rows stored: %d DomainNames, %d EmailAddresses; shell script %.1f MB\n",
                        CountRows(modelDirectory + "Tessivar.db", "DomainNames"),
                        CountRows(modelDirectory + "Tessivar.db", "EmailAddresses"),
                        std::filesystem::file_size(scriptFile) / 1e6);
        }
        const TMeasure shell = RunShell(shellDirectory, scriptFile);
        if (CountRows(shellDirectory + "Tessivar.db", "DomainNames") != domains ||
            CountRows(shellDirectory + "Tessivar.db", "EmailAddresses") != senders) {
            std::fprintf(stderr, "the sqlite3 shell did not insert every row\n");
            return 1;
        }
        if (round == 0)
            for (const char* table : {"DomainNames", "EmailAddresses"})
                if (TableContents(shellDirectory + "Tessivar.db", table) !=
                    TableContents(modelDirectory + "Tessivar.db", table)) {
                    std::fprintf(stderr, "the sqlite3 shell stored other rows in %s\n", table);
                    return 1;
                }
        applyWall.Add(wall);
        applyReturned.Add(returned);
        applyCpu.Add(cpu);
        shellWall.Add(shell.Wall);
        shellCpu.Add(shell.Cpu);
        std::printf("round %d: synchronisation %.3f s (processor %.3f s, call returned after %.3f s), "
                    "sqlite3 shell %.3f s (processor %.3f s)\n",
                    round + 1, wall, cpu, returned, shell.Wall, shell.Cpu);
    }
    std::printf("median of %d rounds: synchronisation %s, sqlite3 shell %s\n", rounds, applyWall.Summary().c_str(),
                shellWall.Summary().c_str());
    std::printf("ratio of each round: %s (goal <= 1.2)\n",
                TRounds::Ratios(applyWall, shellWall).Summary("", 1, 2).c_str());
    std::printf("processor time: synchronisation %s, sqlite3 shell %s, ratio %s\n", applyCpu.Summary().c_str(),
                shellCpu.Summary().c_str(), TRounds::Ratios(applyCpu, shellCpu).Summary("", 1, 2).c_str());
    std::printf("until the handler returned and the answer was freed: %s\n", applyReturned.Summary().c_str());
    std::filesystem::remove_all(base);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--apply")
        return RunApply(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    const int senders = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int domains = argc > 2 ? std::atoi(argv[2]) : 5000;
    if (senders <= 0 || domains <= 0) {
        std::fprintf(stderr, "usage: bench_first_sync [senders domains [rounds]]\n");
        return 2;
    }
    try {
        return Benchmark(senders, domains, RoundsArgument(argc > 3 ? argv[3] : nullptr));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
