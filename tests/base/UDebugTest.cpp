#include "base/UDebug.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>
#include <thread>

#include "base/UException.h"
#include "base/UWindows.h"
#include "tests/base/TraceCapture.h"

extern char** environ;

namespace {

const char* const HeaderPattern = R"(\d\d:\d\d:\d\d\.\d\d\d: Allocated: \d+, Free: \d+ Thread ID: (\d+)\.)";

TESSIVAR_EXCEPTION(ETestFailure, Exception);

// Each case gets its own program directory and command line; afterwards tracing is off again.
class UDebug : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessivar-debug-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_Home = pattern;
        ::setenv("TESSIVAR_HOME", m_Home.c_str(), 1);
    }
    void TearDown() override {
        FinalizeDebugLog();
        SetCommandLine(std::vector<std::string>{});
        InitializeDebugLog();
        ::unsetenv("TESSIVAR_HOME");
        [[maybe_unused]] const int ignored = std::system(("rm -rf '" + m_Home + "'").c_str());
    }

    static void Start(std::vector<std::string> switches) {
        SetCommandLine(std::move(switches));
        InitializeDebugLog();
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    // The entries of a trace text: each is its header line and its body, the separating empty
    // line taken off. Fails when the text is not a sequence of whole, well-formed entries.
    static std::vector<std::pair<std::string, std::string>> Entries(const std::string& text) {
        static const std::regex entry(std::string("(") + HeaderPattern + ")\r\n((?:\t[^\r\n]*\r\n)+)\r\n");
        std::vector<std::pair<std::string, std::string>> entries;
        auto position = text.cbegin();
        std::smatch match;
        while (position != text.cend()) {
            if (!std::regex_search(position, text.cend(), match, entry, std::regex_constants::match_continuous)) {
                ADD_FAILURE() << "malformed trace from: " << std::string(position, text.cend()).substr(0, 200);
                break;
            }
            entries.emplace_back(match[1].str(), match[3].str());
            position = match[0].second;
        }
        return entries;
    }

    std::string m_Home;
};

} // namespace

TEST_F(UDebug, WritesNothingWithoutDebugEvenWithLog) {
    Start({"log", "local"});
    testing::internal::CaptureStdout();
    Debug("text");
    DebugList({"a", 1});
    DebugException("TObject", std::runtime_error("boom"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(DebugMode());
    EXPECT_FALSE(LogToFile());
    EXPECT_TRUE(UseLocalServices());
    EXPECT_EQ(DebugLogFileName(), "");
    struct stat info {};
    EXPECT_NE(::stat((m_Home + "/Logs").c_str(), &info), 0) << "no Logs directory without debug";
}

TEST_F(UDebug, DebugWithoutLogWritesToTheConsoleOnly) {
    Start({"debug"});
    testing::internal::CaptureStdout();
    Debug("hello");
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(LogToFile());
    EXPECT_EQ(DebugLogFileName(), "");
    const auto entries = Entries(text);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].second, "\thello\r\n");
    struct stat info {};
    EXPECT_NE(::stat((m_Home + "/Logs").c_str(), &info), 0);
}

TEST_F(UDebug, SwitchesMatchWholeArgumentsIgnoringCase) {
    Start({"DEBUG", "Log", "LOCAL"});
    EXPECT_TRUE(DebugMode());
    EXPECT_TRUE(LogToFile());
    EXPECT_TRUE(UseLocalServices());
    Start({"-debug", "/log", "locally"});
    EXPECT_FALSE(DebugMode());
    EXPECT_FALSE(LogToFile());
    EXPECT_FALSE(UseLocalServices());
}

TEST_F(UDebug, LogFileIsNamedByTheStartTimeAndHoldsWholeEntries) {
    Start({"debug", "log"});
    ASSERT_TRUE(LogToFile());
    const std::string name = DebugLogFileName();
    EXPECT_TRUE(
        std::regex_match(name, std::regex(std::regex_replace(m_Home, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                                          R"(/Logs/\d{17}\.log)")))
        << name;

    testing::internal::CaptureStdout();
    Debug(nullptr);
    DebugList({"a", 1, "b"});
    DebugException("TTessivarPOP3Checker", ETestFailure("Connection refused"));
    Debug(std::string("tab\tinside"));
    const std::string console = testing::internal::GetCapturedStdout();

    // Written without buffering: everything is in the file before it is closed.
    const std::string file = ReadFile(name);
    EXPECT_EQ(file, console);
    const auto entries = Entries(file);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].second, "\t\r\n");
    EXPECT_EQ(entries[1].second, "\ta1b\r\n");
    EXPECT_EQ(entries[2].second, "\tTTessivarPOP3Checker\r\n\tEXCEPTION: Connection refused\r\n");
    EXPECT_EQ(entries[3].second, "\ttab\tinside\r\n");
    std::smatch header;
    ASSERT_TRUE(std::regex_match(entries[0].first, header, std::regex(HeaderPattern)));
    EXPECT_EQ(header[1].str(), std::to_string(::gettid()));
}

TEST_F(UDebug, FinalizeClosesTheFileButKeepsTheConsole) {
    Start({"debug", "log"});
    const std::string name = DebugLogFileName();
    Debug("before");
    FinalizeDebugLog();
    EXPECT_FALSE(LogToFile());
    testing::internal::CaptureStdout();
    Debug("after");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("\tafter\r\n"), std::string::npos);
    const std::string file = ReadFile(name);
    EXPECT_NE(file.find("\tbefore\r\n"), std::string::npos);
    EXPECT_EQ(file.find("after"), std::string::npos);
}

TEST_F(UDebug, UnwritableLogsDirectoryLeavesLogToFileOff) {
    std::ofstream(m_Home + "/Logs") << "a file where the directory should be";
    Start({"debug", "log"});
    EXPECT_TRUE(DebugMode());
    EXPECT_FALSE(LogToFile());
    EXPECT_EQ(DebugLogFileName(), "");
    testing::internal::CaptureStdout();
    Debug("still traced");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("\tstill traced\r\n"), std::string::npos);
}

TEST_F(UDebug, TwoThreadsWriteSeparateWholeEntries) {
    Start({"debug", "log"});
    ASSERT_TRUE(LogToFile());
    constexpr int PerThread = 200;
    testing::internal::CaptureStdout();
    std::string threadIds[2];
    const auto writer = [&](int index) {
        threadIds[index] = std::to_string(::gettid());
        for (int i = 0; i < PerThread; ++i) {
            DebugList({"thread ", index, " entry ", i});
        }
    };
    std::thread first(writer, 0), second(writer, 1);
    first.join();
    second.join();
    testing::internal::GetCapturedStdout();

    const auto entries = Entries(ReadFile(DebugLogFileName()));
    ASSERT_EQ(entries.size(), 2u * PerThread);
    int next[2] = {0, 0};
    for (const auto& [header, body] : entries) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(body, match, std::regex("\tthread ([01]) entry (\\d+)\r\n"))) << body;
        const int index = std::stoi(match[1].str());
        EXPECT_EQ(std::stoi(match[2].str()), next[index]++) << "entries of one thread stay in order";
        EXPECT_NE(header.find(" Thread ID: " + threadIds[index] + "."), std::string::npos) << header;
    }
}

// The trace piped into a pager the user has quit: the process lives on with SIGPIPE at its
// default action, and the entries still reach the log file whole.
TEST_F(UDebug, ClosedStandardOutputPipeNeitherKillsNorStopsTheLogFile) {
    const auto traceIntoClosedPipe = [this] {
        std::signal(SIGPIPE, SIG_DFL);
        int fds[2];
        if (::pipe(fds) != 0 || ::dup2(fds[1], STDOUT_FILENO) < 0)
            std::_Exit(3);
        ::close(fds[0]);
        Start({"debug", "log"});
        Debug("first");
        DebugList({"second ", 2});
        DebugException("TObject", std::runtime_error("third"));
        const auto entries = Entries(ReadFile(DebugLogFileName()));
        std::_Exit(entries.size() == 3 && entries[1].second == "\tsecond 2\r\n" ? 0 : 5);
    };
    EXPECT_EXIT(traceIntoClosedPipe(), testing::ExitedWithCode(0), "");
}

TEST_F(UDebug, ValueTextsAreLocaleIndependentAndRoundTrip) {
    EXPECT_EQ(TDebugValue().Text(), "");
    EXPECT_TRUE(TDebugValue(nullptr).IsNull());
    EXPECT_EQ(TDebugValue(static_cast<const char*>(nullptr)).Text(), "");
    EXPECT_EQ(TDebugValue(true).Text(), "True");
    EXPECT_EQ(TDebugValue(false).Text(), "False");
    EXPECT_EQ(TDebugValue(-5).Text(), "-5");
    EXPECT_EQ(TDebugValue(std::numeric_limits<unsigned long long>::max()).Text(), "18446744073709551615");
    EXPECT_EQ(TDebugValue(std::numeric_limits<long long>::min()).Text(), "-9223372036854775808");
    EXPECT_EQ(TDebugValue(1.5).Text(), "1.5");
    EXPECT_EQ(TDebugValue(0.1).Text(), "0.1");
    EXPECT_EQ(TDebugValue(2.0).Text(), "2");
    EXPECT_EQ(std::stod(TDebugValue(1.0 / 3).Text()), 1.0 / 3);
}

TEST_F(UDebug, NothingIsWrittenAfterTracingIsSwitchedOff) {
    {
        TTraceCapture trace;
        Debug("on");
        EXPECT_NE(trace.Text().find("\ton\r\n"), std::string::npos);
    }
    testing::internal::CaptureStdout();
    Debug("off");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(UDebug, LazyInitialisationReadsTheOwnCommandLine) {
    // The child is this test program started with switches; it checks itself before main runs
    // (see ChildCheck below) and writes its entry to a file in place of standard output.
    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    std::string program = "test_base", probe = "PROBE-switch", debug = "Debug";
    char* argv[] = {program.data(), probe.data(), debug.data(), nullptr};
    const std::string marker = m_Home + "/child-passed", output = m_Home + "/child-output";
    posix_spawn_file_actions_t actions;
    ASSERT_EQ(::posix_spawn_file_actions_init(&actions), 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::setenv("TESSIVAR_DEBUG_CHILD", marker.c_str(), 1);
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, exe, &actions, nullptr, argv, environ);
    ::unsetenv("TESSIVAR_DEBUG_CHILD");
    ::posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(marker), "ok") << "switches not read from the process's own command line";
    const auto entries = Entries(ReadFile(output));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].second, "\tchild entry\r\n");
}

namespace {

// In the child of LazyInitialisationReadsTheOwnCommandLine: nobody called InitializeDebugLog or
// SetCommandLine, so the first entry must start tracing from the process's arguments.
const bool ChildCheck = [] {
    const char* marker = std::getenv("TESSIVAR_DEBUG_CHILD");
    if (marker == nullptr) {
        return false;
    }
    Debug("child entry");
    const bool passed = DebugMode() && !LogToFile() && HasParam("probe-SWITCH") && !HasParam("test_base");
    std::ofstream(marker) << (passed ? "ok" : "failed");
    std::fflush(stdout);
    std::_Exit(0);
}();

} // namespace
