#include "bench/BenchMailbox.h"

#include "tests/support/DovecotServer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

std::string MakeBenchMessage(int index) {
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

std::vector<std::string> MakeBenchMessages(int count) {
    std::vector<std::string> messages;
    for (int i = 0; i < count; ++i)
        messages.push_back(MakeBenchMessage(i));
    return messages;
}

void RefillMailbox(TDovecotServer& server, const std::string& user, const std::vector<std::string>& messages) {
    for (const std::string& message : messages)
        server.AddMessage(user, message);
}

void WaitUntilEmpty(TDovecotServer& server, const std::string& user) {
    const auto deadline = TBenchClock::now() + std::chrono::seconds(120);
    while (server.MessageCount(user) != 0) {
        if (TBenchClock::now() > deadline)
            throw std::runtime_error("the mailbox was not emptied");
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

double Seconds(TBenchClock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

std::string TemporaryDirectory(const char* name) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory");
    return pattern + "/";
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
