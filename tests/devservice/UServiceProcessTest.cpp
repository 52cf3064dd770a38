// The tessivar-service executable as a user starts it: it serves until SIGINT or SIGTERM and then
// ends cleanly; a wrong option ends it at once.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "DevServiceFixture.h"

namespace {

int ProcessCount = 0;
const std::string Executable = std::string(TESSIVAR_BINARY_DIR) + "/bin/tessivar-service";

class TServiceProcess {
public:
    // Runs in `folder`, or in a new folder removed at the end.
    explicit TServiceProcess(std::vector<std::string> arguments, std::filesystem::path folder = {})
        : m_Folder(std::move(folder)), m_OwnsFolder(m_Folder.empty()) {
        std::random_device random;
        if (m_OwnsFolder)
            m_Folder =
                std::filesystem::temp_directory_path() / ("tessivar-service-process-" + std::to_string(random()));
        std::filesystem::create_directories(m_Folder);
        arguments.insert(arguments.begin(), Executable);
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, LogFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addchdir_np(&actions, m_Folder.c_str());
        if (posix_spawn(&m_Pid, Executable.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            m_Pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TServiceProcess() {
        if (m_Pid > 0 && !m_Ended) {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
        }
        if (m_OwnsFolder)
            std::filesystem::remove_all(m_Folder);
    }

    std::string Log() const {
        std::ifstream file(LogFile());
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
    // The port from the start-up line, or 0 when none came within ten seconds.
    int WaitForPort() const {
        for (int i = 0; i < 200; ++i) {
            const std::string log = Log();
            if (const size_t at = log.find(" port "); at != std::string::npos && log.find(';', at) != std::string::npos)
                return std::stoi(log.substr(at + 6));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return 0;
    }
    // The exit status, or -1 when the process has not ended within ten seconds.
    int WaitForExit() {
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
                m_Ended = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    pid_t Pid() const { return m_Pid; }
    const std::filesystem::path& Folder() const { return m_Folder; }

private:
    // Processes sharing a folder keep their logs apart.
    std::string LogFile() const { return (m_Folder / ("service-" + std::to_string(m_Number) + ".log")).string(); }

    std::filesystem::path m_Folder;
    const bool m_OwnsFolder;
    const int m_Number = ++ProcessCount;
    pid_t m_Pid = -1;
    bool m_Ended = false;
};

} // namespace

TEST(ServiceProcess, ServesUntilSIGINTOrSIGTERMAndThenEndsCleanly) {
    for (const int signal : {SIGINT, SIGTERM}) {
        TServiceProcess process({"--port", "0", "--database", "service.db", "--outbox", "mail"});
        ASSERT_GT(process.Pid(), 0);
        const int port = process.WaitForPort();
        ASSERT_GT(port, 0) << process.Log();
        EXPECT_NE(process.Log().find("links use http://127.0.0.1:" + std::to_string(port)), std::string::npos);
        EXPECT_EQ(HTTPGet("http://127.0.0.1:" + std::to_string(port) + "/authenticate.aspx?token=x").Status, 404);
        kill(process.Pid(), signal);
        EXPECT_EQ(process.WaitForExit(), 0) << process.Log();
        EXPECT_NE(process.Log().find("Stopped."), std::string::npos);
    }
}

TEST(ServiceProcess, WrongOptionsEndAtOnceWithTheReason) {
    TServiceProcess process({"--port", "http"});
    EXPECT_EQ(process.WaitForExit(), 2);
    EXPECT_NE(process.Log().find("Invalid port \"http\""), std::string::npos) << process.Log();
}

// The authentication requests written to an outbox folder so far.
std::vector<std::string> RequestsIn(const std::filesystem::path& outbox) {
    std::vector<std::string> requests;
    if (!std::filesystem::exists(outbox))
        return requests;
    for (const auto& entry : std::filesystem::directory_iterator(outbox)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        if (text.str().find("\r\nX-Tessivar: Authentication-Request\r\n") != std::string::npos)
            requests.push_back(text.str());
    }
    return requests;
}

// While suspended nobody is challenged, but the queued sender is kept at the service (the program
// has deleted its queue after the answer without error) and challenged once the account is active.
TEST(ServiceProcess, SuspendedAccountIsToldSoAndItsQueuedSendersAreChallengedAfterReactivation) {
    TServiceProcess service({"--port", "0", "--database", "service.db", "--outbox", "mail"});
    const int port = service.WaitForPort();
    ASSERT_GT(port, 0) << service.Log();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/Client.asmx";
    auto call = [&](const std::string& action, const std::string& argument) {
        return HTTPPost(url,
                        "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope><soap:Body><" + action + "><" +
                            action + "Argument>" + argument + "</" + action + "Argument></" + action +
                            "></soap:Body></soap:Envelope>",
                        "text/xml; charset=utf-8")
            .Body;
    };
    auto admin = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--database", "service.db"});
        TServiceProcess process(arguments, service.Folder());
        const int status = process.WaitForExit();
        return status == 0 ? std::string() : "status " + std::to_string(status) + ": " + process.Log();
    };
    const std::string credentials = "<Username>user@example.org</Username><Password>pw</Password>";
    ASSERT_NE(call("AccountCreate", credentials).find("<AccountStatus>Active</AccountStatus>"), std::string::npos);
    ASSERT_EQ(admin({"--confirm-address", "user@example.org"}), "");
    ASSERT_EQ(admin({"--set-account-status", "USER@example.org", "Suspended"}), "");

    const std::string answer =
        call("Synchronize", credentials + "<SoftwareVersion>01.02.0000</SoftwareVersion><ClientDataVersion>0"
                                          "</ClientDataVersion><EmailAddressesRequiringAuthorization>"
                                          "<EmailAddressRequiringAuthorization><FromEmailAddress>bob@example.com"
                                          "</FromEmailAddress><Subject>s</Subject></EmailAddressRequiringAuthorization>"
                                          "</EmailAddressesRequiringAuthorization>");
    EXPECT_NE(answer.find("<AccountStatus>Suspended</AccountStatus>"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("ErrorMessage"), std::string::npos) << answer;
    EXPECT_TRUE(RequestsIn(service.Folder() / "mail").empty());

    // Reactivated: the next synchronisation, which carries no queue any more, challenges Bob once.
    ASSERT_EQ(admin({"--set-account-status", "user@example.org", "Active"}), "");
    const std::string later = credentials + "<SoftwareVersion>01.02.0000</SoftwareVersion>"
                                            "<ClientDataVersion>0</ClientDataVersion>";
    EXPECT_NE(call("Synchronize", later).find("<AccountStatus>Active</AccountStatus>"), std::string::npos);
    const auto requests = RequestsIn(service.Folder() / "mail");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find("\r\nTo: bob@example.com\r\n"), std::string::npos) << requests[0];
    call("Synchronize", later);
    EXPECT_EQ(RequestsIn(service.Folder() / "mail").size(), 1u);

    EXPECT_NE(admin({"--set-account-status", "nobody@example.org", "Active"}), "");
    EXPECT_NE(admin({"--confirm-address", "nobody@example.org"}), "");
    kill(service.Pid(), SIGTERM);
    EXPECT_EQ(service.WaitForExit(), 0);
}

// A second service on the port of a running one must not start and split the traffic with it.
TEST(ServiceProcess, SecondInstanceOnTheSamePortExitsWithTheReason) {
    TServiceProcess first({"--port", "0", "--database", "service.db", "--outbox", "mail"});
    const int port = first.WaitForPort();
    ASSERT_GT(port, 0) << first.Log();
    TServiceProcess second({"--port", std::to_string(port), "--database", "other.db", "--outbox", "mail"},
                           first.Folder());
    EXPECT_EQ(second.WaitForExit(), 1);
    EXPECT_NE(second.Log().find("port " + std::to_string(port) + ": the port is in use"), std::string::npos)
        << second.Log();
    EXPECT_EQ(HTTPGet("http://127.0.0.1:" + std::to_string(port) + "/authenticate.aspx?token=x").Status, 404);
    kill(first.Pid(), SIGTERM);
    EXPECT_EQ(first.WaitForExit(), 0);
}

// The database, its write-ahead log and the outbox hold password hashes and live links.
TEST(ServiceProcess, DatabaseJournalAndOutboxAreTheOwnersAlone) {
    TServiceProcess service({"--port", "0", "--database", "service.db", "--outbox", "mail"});
    const int port = service.WaitForPort();
    ASSERT_GT(port, 0) << service.Log();
    HTTPPost("http://127.0.0.1:" + std::to_string(port) + "/Client.asmx",
             "<soap:Envelope><soap:Body><AccountCreate><AccountCreateArgument><Username>user@example.org</Username>"
             "<Password>pw</Password></AccountCreateArgument></AccountCreate></soap:Body></soap:Envelope>",
             "text/xml");
    std::vector<std::filesystem::path> files = {service.Folder() / "service.db", service.Folder() / "service.db-wal",
                                                service.Folder() / "mail"};
    for (const auto& entry : std::filesystem::directory_iterator(service.Folder() / "mail"))
        files.push_back(entry.path());
    EXPECT_GT(files.size(), 3u) << "the confirmation link is in the outbox";
    for (const auto& file : files) {
        ASSERT_TRUE(std::filesystem::exists(file)) << file;
        const auto others = std::filesystem::perms::group_all | std::filesystem::perms::others_all;
        EXPECT_EQ(std::filesystem::status(file).permissions() & others, std::filesystem::perms::none) << file;
    }
    kill(service.Pid(), SIGTERM);
    EXPECT_EQ(service.WaitForExit(), 0);
}
