#pragma once
// What the mailbox benchmarks share: deterministic messages of about 20 KB, a Dovecot mailbox
// refilled with them, waiting until a pass has emptied it, and throw-away folders. Single-threaded.

#include <chrono>
#include <string>
#include <vector>

class TDovecotServer;

using TBenchClock = std::chrono::steady_clock;

// Message `index` of about 20 KB from one of 50 senders, with some dot-led lines.
std::string MakeBenchMessage(int index);
std::vector<std::string> MakeBenchMessages(int count);
void RefillMailbox(TDovecotServer& server, const std::string& user, const std::vector<std::string>& messages);
// Raises std::runtime_error when the mailbox is not empty within two minutes.
void WaitUntilEmpty(TDovecotServer& server, const std::string& user);
double Seconds(TBenchClock::duration duration);
// A new folder under the temporary directory, with a trailing "/".
std::string TemporaryDirectory(const char* name);
double Median(std::vector<double> values);
