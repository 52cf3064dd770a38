// Storing incoming mail as a pass of the mailbox checker does: InsertEmail of messages of about
// 20 KB from a worker thread, through the threaded call the checker uses, each with the server's
// id of the message, into a model that already holds many emails, and a FlushStore after every
// 500 messages and at the end, after which everything is on disk. The baseline writes the same
// message files durably one by one (data, rename, directory) and nothing else.
//
//   bench_insert_email [messages senders existing rounds]
//       defaults 5000 1000 20000 5; rounds (at least 5) alternate between the baseline and the model

#include "base/LStrings.h"
#include "base/UFileUtils.h"
#include "bench/BenchDatabase.h"
#include "bench/BenchRounds.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCalls.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point since) {
    return std::chrono::duration<double>(TClock::now() - since).count();
}

struct TMessage {
    std::string MessageId, From, Subject;
    std::vector<std::string> Lines;
    std::string Text; // the lines as stored, for the baseline
};

// About 20 KB of headers and 76-character body lines of pseudo-random words.
std::vector<TMessage> MakeMessages(int count, int senders) {
    static const char* const words[] = {"meeting", "report", "invoice", "holiday", "project", "budget", "summary",
                                        "draft",   "review", "agenda",  "minutes", "update",  "status", "plan"};
    std::mt19937 random(20260102);
    std::vector<TMessage> messages(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        TMessage& message = messages[static_cast<size_t>(i)];
        const int sender = i % senders;
        message.MessageId = "<" + std::to_string(i) + ".bench@mail.example.net>";
        message.From = "sender" + std::to_string(sender) + "@host" + std::to_string(sender % 250) + ".example.net";
        message.Subject = "Bench message " + std::to_string(i);
        message.Lines = {"Return-Path: <" + message.From + ">",
                         "Received: from mail.example.net by pop.example.test; Mon, 2 Mar 2026 10:00:00 +0100",
                         "Message-ID: " + message.MessageId,
                         "Date: Mon, 2 Mar 2026 10:00:00 +0100",
                         "From: Sender " + std::to_string(sender) + " <" + message.From + ">",
                         "To: me@example.test",
                         "Subject: " + message.Subject,
                         "MIME-Version: 1.0",
                         "Content-Type: text/plain; charset=us-ascii",
                         ""};
        size_t size = 0;
        while (size < 20000) {
            std::string line;
            while (line.size() < 68)
                line += std::string(words[random() % (sizeof words / sizeof *words)]) + " ";
            line.resize(76, '.');
            size += line.size() + 2;
            message.Lines.push_back(std::move(line));
        }
        for (const std::string& line : message.Lines)
            message.Text += line + "\r\n";
    }
    return messages;
}

// The same files, the same durable writes, nothing else.
double RunBaseline(const std::string& directory, const std::vector<TMessage>& messages) {
    MakeDirectoryPath(directory);
    const auto start = TClock::now();
    for (size_t i = 0; i < messages.size(); ++i)
        WriteFileDurably(directory + IntToHex(static_cast<uint32_t>(i + 1), 8) + ".eml", messages[i].Text);
    const double seconds = Seconds(start);
    std::filesystem::remove_all(directory);
    return seconds;
}

// A fresh model holding `existing` emails takes the messages from a worker, as a pass of the
// checker does. Raises when a message was not stored.
double RunInserting(const std::string& directory, const std::vector<TMessage>& messages, int existing) {
    MakeDirectoryPath(directory);
    ::setenv("TESSIVAR_HOME", directory.c_str(), 1);
    ::setenv("TESSIVAR_REGISTRY_DIR", directory.c_str(), 1);
    BuildBenchDatabase(directory, existing, std::max(1, existing / 10), std::max(1, existing / 50));
    const int count = static_cast<int>(messages.size());
    TMessageLoop loop;
    double seconds = 0;
    int failed = 0;
    int emails = 0;
    {
        TTessivarBusinessLogic model(loop);
        model.Startup();
        model.SetBlockedWords("lottery, winner, casino, free money, act now, limited offer, click here, unsubscribe");
        model.SetAdultWords("xxx, adult, explicit, nsfw, escort, dating, webcam, hot singles");
        TTessivarAccount& account = *model.FindAccountByID(1);

        // The checker's side: one worker sends each message and waits until it is stored.
        const auto start = TClock::now();
        std::thread worker([&] {
            for (int i = 0; i < count; ++i) {
                const TMessage& message = messages[static_cast<size_t>(i)];
                if (!InsertEmail(model, account, message.MessageId, message.Lines, EncodeDateTime(2026, 3, 2, 10),
                                 message.Subject, message.From, "Sender", account.EmailAddress(), "",
                                 "uid-" + std::to_string(i)))
                    ++failed;
                if ((i + 1) % 500 == 0 && !FlushStore(model))
                    ++failed;
            }
            if (!FlushStore(model))
                ++failed;
            loop.Quit();
        });
        loop.Run();
        worker.join();
        seconds = Seconds(start);
        emails = model.EmailCount();
        model.Shutdown();
    }
    std::filesystem::remove_all(directory);
    if (failed > 0 || emails != existing + count)
        throw std::runtime_error(std::to_string(failed) + " inserts failed; the model holds " + std::to_string(emails) +
                                 " emails");
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const int count = arguments.size() > 0 ? std::atoi(arguments[0].c_str()) : 5000;
    const int senders = arguments.size() > 1 ? std::atoi(arguments[1].c_str()) : 1000;
    const int existing = arguments.size() > 2 ? std::atoi(arguments[2].c_str()) : 20000;
    const int rounds = RoundsArgument(arguments.size() > 3 ? arguments[3].c_str() : nullptr);
    if (count < 1 || senders < 1 || existing < 1) {
        std::fprintf(stderr, "usage: bench_insert_email [messages senders existing rounds]\n");
        return 2;
    }

    std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return 1;
    const std::string directory = pattern + "/";
    const std::vector<TMessage> messages = MakeMessages(count, senders);
    std::printf("%d messages of %zu bytes on average from %d senders; the model holds %d emails; %d rounds\n", count,
                messages.back().Text.size(), senders, existing, rounds);

    // Rounds alternate between the two so that both see the same load on the machine.
    TRounds baseline, inserting;
    try {
        for (int round = 1; round <= rounds; ++round) {
            baseline.Add(RunBaseline(directory + "baseline/", messages));
            inserting.Add(RunInserting(directory + "model/", messages, existing));
            std::printf("round %d: baseline %.2f s, InsertEmail and flushes %.2f s\n", round, baseline.Last(),
                        inserting.Last());
        }
    } catch (const std::exception& error) {
        std::filesystem::remove_all(directory);
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::filesystem::remove_all(directory);
    std::printf("baseline (durable file writes only): %s, %.1f messages/s\n", baseline.Summary().c_str(),
                count / baseline.Median());
    std::printf("InsertEmail and flushes: %s, %.1f messages/s\n", inserting.Summary().c_str(),
                count / inserting.Median());
    std::printf("ratio of each round: %s (goal <= 1.5)\n",
                TRounds::Ratios(inserting, baseline).Summary("", 1, 2).c_str());
    return 0;
}
