#include "bench/BenchDatabase.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "base/LDates.h"
#include "core/USQLite.h"
#include "core/UTessivarSchema.h"

// Rows in a few set-based statements inside one transaction: senders spread over the domains,
// emails over the senders, with a mix of statuses that all survive the cleanup.
void BuildBenchDatabase(const std::string& directory, int emails, int senders, int domains) {
    TSQLite db(directory + "Tessivar.db");
    db.CreateIfMissing = true;
    db.OnCreate = CreateTessivarSchema;
    db.Open();
    // As the program stores it: local time with the machine's standard offset.
    const std::string received = DateTimeToText(ZonedLocal(EncodeDateTime(2026, 1, 2, 3, 4, 5, 123)));
    const std::string sequence = "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < ";
    db.Execute("BEGIN");
    db.Execute("INSERT INTO Accounts(ID, EmailAddress, RemoteServer, RemotePort, Username, Enabled) "
               "VALUES(1, 'me@example.test', 'pop.example.test', 110, 'me', 0)");
    db.Execute(sequence + std::to_string(domains) +
               ") INSERT INTO DomainNames(ID, DomainName, Notes, ApprovalStatus, Deleted, Modified) "
               "SELECT x, 'domain' || x || '.example.com', '', CASE x % 3 WHEN 0 THEN 'A' WHEN 1 THEN 'B' "
               "ELSE '?' END, 0, x % 2 FROM n");
    db.Execute(sequence + std::to_string(senders) +
               ") INSERT INTO EmailAddresses(ID, Username, DomainNameID, DisplayName, Notes, ApprovalStatus, "
               "AuthenticationStatus, Deleted, Modified) SELECT x, 'sender' || x, 1 + x % " +
               std::to_string(domains) +
               ", 'Sender Number ' || x, '', CASE x % 4 WHEN 0 THEN 'A' WHEN 1 THEN 'B' ELSE '?' END, "
               "CASE x % 3 WHEN 0 THEN 'A' ELSE 'P' END, 0, x % 2 FROM n");
    db.Execute(sequence + std::to_string(emails) +
               ") INSERT INTO Emails(ID, AccountID, MessageID, FromEmailAddressID, FromDisplayName, Subject, "
               "Received, ApprovalStatus, WordBlocked, AdultBlocked, Deleted) SELECT x, 1, '<' || x || "
               "'.message@mail.example.com>', 1 + x % " +
               std::to_string(senders) +
               ", 'Sender Number ' || x, 'A subject line of ordinary length, number ' || x, "
               "'" +
               received + "', '?', x % 7 = 0, x % 11 = 0, 0 FROM n");
    db.Execute("COMMIT");
}

std::string ShellOutput(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            text += buffer;
        ::pclose(pipe);
    }
    return text;
}

double CpuSeconds(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string PrepareBenchHome(int argc, char** argv) {
    const int emails = argc > 3 ? std::atoi(argv[1]) : 100000;
    const int senders = argc > 3 ? std::atoi(argv[2]) : 20000;
    const int domains = argc > 3 ? std::atoi(argv[3]) : 5000;
    std::string directory = (std::filesystem::temp_directory_path() / "tessivar-bench-XXXXXX").string();
    if (!::mkdtemp(directory.data()))
        return {};
    directory += "/";
    ::setenv("TESSIVAR_HOME", directory.c_str(), 1);
    ::setenv("TESSIVAR_REGISTRY_DIR", directory.c_str(), 1);
    BuildBenchDatabase(directory, emails, senders, domains);
    return directory;
}
