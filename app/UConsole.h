#pragma once
// What the windowless program and its set-up commands share on the console: the quit signals, the
// exit statuses, reporting failures, unbuffered standard output and the table of mail program
// accounts. Main thread only, except QuitOnSignals' handler.

#include <exception>
#include <functional>
#include <string>
#include <vector>

class TMessageLoop;
class TTessivarAccount;
class TTessivarBusinessLogic;

inline constexpr int ExitFailure = 1;
inline constexpr int ExitUsage = 2;

// The quit signals (interrupt, termination, and the hang-up of a logout or a closed terminal) end
// the loop's Run while this object lives, so that the program stops the orderly way, pointing the
// mail programs back at their real servers.
class TQuitOnSignals {
public:
    explicit TQuitOnSignals(TMessageLoop& loop);
    ~TQuitOnSignals();
    TQuitOnSignals(const TQuitOnSignals&) = delete;
    TQuitOnSignals& operator=(const TQuitOnSignals&) = delete;
};

// "tessivar: " and the message on standard error, and the exception in the trace.
void Report(const std::exception& error);
// "tessivar: " and the text on standard error; returns ExitFailure.
int Fail(const std::string& text);

// Writes the text whole with unbuffered writes, so that each line reaches a pipe or a file as it is
// written, in one piece beside the trace entries of other threads. A failed write (standard output
// closed, or a pipe whose reader has gone; SIGPIPE is ignored) is dropped: screening goes on.
void WriteOut(const std::string& text);
// A standard descriptor that the program was started without (a shell's ">&-", a careless service
// manager) is opened on /dev/null: otherwise the next descriptor opened (the message loop's wake-up
// event, a message file, a socket) would get its number, and the activity lines and the trace meant
// for standard output would be written into it.
void OpenMissingStandardDescriptors();

// One "@" with something on either side.
bool IsWholeAddress(const std::string& address);

using TTable = std::vector<std::vector<std::string>>;
// The rows in columns two spaces apart, each line after the indent.
std::string TableText(const TTable& rows, const std::string& indent);
// The mail program accounts found, one row each after a heading row, with the address and the real
// server of the account that screens them; the caller words the last column.
TTable MailProgramAccounts(const TTessivarBusinessLogic& model,
                           const std::function<std::string(const TTessivarAccount&)>& screening);
// The IMAP accounts screened in place, likewise: address, server and port, security, user name.
TTable IMAPAccountRows(const TTessivarBusinessLogic& model,
                       const std::function<std::string(const TTessivarAccount&)>& screening);
